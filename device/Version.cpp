#include "device/Version.h"

#include <cwchar>
#include <cwctype>

#include "app/Format.h"
#include "ui/MainView.h"

std::wstring GetDeviceRevision(const wchar_t* hardwareIds) {
  if (!hardwareIds) return std::wstring();
  // Only the first string of the multi-string: the search stops at its terminator.
  const wchar_t* first = hardwareIds;
  size_t len = wcslen(first);
  static const wchar_t kTag[] = L"rev_";
  for (size_t i = 0; i + 4 <= len; ++i) {
    bool match = true;
    for (size_t k = 0; k < 4; ++k) {
      if (std::towlower(first[i + k]) != kTag[k]) {
        match = false;
        break;
      }
    }
    if (match) {
      size_t start = i + 4;
      size_t count = len - start < 4 ? len - start : 4;
      return std::wstring(first + start, count);
    }
  }
  return std::wstring();
}

DWORD RevisionToNumber(const std::wstring& revision) {
  long value = std::wcstol(revision.c_str(), nullptr, 10);
  return static_cast<DWORD>(static_cast<unsigned long>(value) & 0xFFFFu);
}

std::wstring FormatDeviceVersion(DWORD d) {
  return FormatText(L"%X.%X.%X.%X", (d >> 12) & 0xF, (d >> 8) & 0xF, (d >> 4) & 0xF, d & 0xF);
}

std::wstring FormatFileVersion(DWORD v) {
  return FormatText(L"%X.%X.%X.%X", (v >> 24) & 0xF, (v >> 16) & 0xF, (v >> 8) & 0xF, v & 0xF);
}

LONG FileVersionToNumber(DWORD v) {
  std::wstring digits = FormatText(L"%X%X%X%X", (v >> 24) & 0xF, (v >> 16) & 0xF, (v >> 8) & 0xF, v & 0xF);
  return static_cast<LONG>(std::wcstol(digits.c_str(), nullptr, 10));
}

BOOL IsPackageNewer(DWORD deviceNumber, DWORD packageVersion) {
  return deviceNumber < static_cast<DWORD>(FileVersionToNumber(packageVersion)) ? TRUE : FALSE;
}

std::wstring VersionDisplayText(const std::wstring& text) {
  if (text.size() != 4) return text;
  std::wstring c[4] = {text.substr(0, 1), text.substr(1, 1), text.substr(2, 1), text.substr(3, 1)};
  return FormatText(L"%ls.%ls.%ls.%ls", c[0].c_str(), c[1].c_str(), c[2].c_str(), c[3].c_str());
}

void SetVersionText(IMainView& view, int controlId, const std::wstring& text) {
  view.SetControlText(controlId, VersionDisplayText(text));
}
