#include "ui/LocalizedText.h"

#include <atomic>
#include <cwchar>

namespace {

bool DefaultStringResource(UINT id, wchar_t* buffer, size_t cchBuffer) {
#ifdef _WIN32
  int cch = cchBuffer > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(cchBuffer);
  return LoadStringW(GetModuleHandleW(nullptr), id, buffer, cch) > 0;
#else
  (void)id;
  (void)buffer;
  (void)cchBuffer;
  return false;
#endif
}

std::atomic<StringResourceFn> g_loader{&DefaultStringResource};

void CopyBounded(wchar_t* buffer, size_t cchBuffer, const wchar_t* text) {
  size_t len = wcslen(text);
  if (len > cchBuffer - 1) len = cchBuffer - 1;
  wmemcpy(buffer, text, len);
  buffer[len] = L'\0';
}

}  // namespace

void SetStringResourceLoader(StringResourceFn fn) { g_loader.store(fn ? fn : &DefaultStringResource); }

BOOL LoadLocalizedString(WORD language, UINT id, wchar_t* buffer, size_t cchBuffer, const wchar_t* def) {
  if (!buffer || cchBuffer == 0) return TRUE;
  StringResourceFn load = g_loader.load();
  if (load(id + 1000u * language, buffer, cchBuffer)) return TRUE;
  if (load(id, buffer, cchBuffer)) return TRUE;
  // Never past the caller's buffer, whatever the default's length.
  CopyBounded(buffer, cchBuffer, def ? def : L"");
  return TRUE;
}
