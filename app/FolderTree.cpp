#include "app/FolderTree.h"

#include <sddl.h>

#include <map>
#include <string>
#include <vector>

#include "app/Format.h"
#include "app/Log.h"
#include "framework/AfxWin.h"

namespace {

const DWORD kFolderShare = FILE_SHARE_READ | FILE_SHARE_WRITE;  // no delete: no rename, no swap

// Opens the folder itself, never a link's target.
HANDLE OpenFolder(const wchar_t* path, DWORD access) {
  return ::CreateFileW(path, access, kFolderShare, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// A real folder both by its handle and by its name (some platforms show a
// link only by name). The attributes class, not GetFileInformationByHandle,
// which also makes a slow query of the volume.
bool IsPlainFolder(HANDLE folder, const wchar_t* path) {
  FILE_ATTRIBUTE_TAG_INFO info = {};
  if (!::GetFileInformationByHandleEx(folder, FileAttributeTagInfo, &info, sizeof(info))) return false;
  const DWORD byName = ::GetFileAttributesW(path);
  const DWORD link = FILE_ATTRIBUTE_REPARSE_POINT;
  return (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(info.FileAttributes & link) &&
         byName != INVALID_FILE_ATTRIBUTES && !(byName & link);
}

class WinFolderTreeOps : public IFolderTreeOps {
 public:
  ~WinFolderTreeOps() override {
    for (auto& pin : m_pins) ::CloseHandle(pin.second);
  }
  DWORD Attributes(const std::wstring& path) override { return ::GetFileAttributesW(path.c_str()); }
  bool Pin(const std::wstring& folder) override {
    HANDLE h = OpenFolder(folder.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE);
    if (h == INVALID_HANDLE_VALUE) return false;
    if (!IsPlainFolder(h, folder.c_str())) {
      ::CloseHandle(h);
      return false;
    }
    m_pins[folder] = h;
    return true;
  }
  void Unpin(const std::wstring& folder) override {
    auto it = m_pins.find(folder);
    if (it == m_pins.end()) return;
    ::CloseHandle(it->second);
    m_pins.erase(it);
  }
  std::vector<Entry> List(const std::wstring& folder) override {
    std::vector<Entry> entries;
    CFileFind finder;
    BOOL more = finder.FindFile(FormatText(L"%ls\\*.*", folder.c_str()).c_str());
    while (more) {
      more = finder.FindNextFile();
      DWORD attributes = 0;
      if (finder.MatchesMask(FILE_ATTRIBUTE_DIRECTORY)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
      if (finder.MatchesMask(FILE_ATTRIBUTE_REPARSE_POINT)) attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
      entries.push_back(Entry{finder.GetFileName(), attributes});
    }
    finder.Close();
    return entries;
  }
  // On a link these remove the link itself.
  bool RemoveFolder(const std::wstring& path) override { return ::RemoveDirectoryW(path.c_str()) != FALSE; }
  bool RemoveFile(const std::wstring& path) override { return ::DeleteFileW(path.c_str()) != FALSE; }

 private:
  std::map<std::wstring, HANDLE> m_pins;
};

// The user of this process as an SDDL SID text; empty when it cannot be read.
std::wstring CurrentUserSid() {
  std::wstring sid;
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return sid;
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<BYTE> buffer(size ? size : 1);
  wchar_t* text = nullptr;
  if (size && ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
      ::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
    sid = text;
    ::LocalFree(text);
  }
  ::CloseHandle(token);
  return sid;
}

// Creates the folder with the descriptor; FALSE with the error kept.
BOOL CreateWithDescriptor(const wchar_t* folder, const std::wstring& sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
    return FALSE;
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
  const BOOL made = ::CreateDirectoryW(folder, &attributes);
  const DWORD error = ::GetLastError();
  ::LocalFree(descriptor);
  ::SetLastError(error);
  return made;
}

}  // namespace

BOOL DeleteFolderTree(const wchar_t* folder) {
  if (!folder) return FALSE;
  WinFolderTreeOps ops;
  return RemoveFolderTree(ops, folder);
}

int DeleteStaleWorkFolders(const wchar_t* usual) {
  if (!usual) return 0;
  WinFolderTreeOps ops;
  return RemoveStaleWorkFolders(ops, usual);
}

HANDLE CreatePrivateFolder(const wchar_t* folder) {
  const std::wstring user = CurrentUserSid();
  if (user.empty()) {
    DebugTrace(L"Work folder not used : no user SID, %ls", folder);
    return INVALID_HANDLE_VALUE;
  }
  // Full access for the user, SYSTEM and Administrators, nothing inherited
  // from the temporary folder; the high integrity label keeps the user's
  // programs that run without elevation from writing into it.
  const std::wstring dacl = FormatText(L"D:P(A;OICI;FA;;;%ls)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", user.c_str());
  BOOL made = CreateWithDescriptor(folder, dacl + L"S:(ML;OICI;NW;;;HI)");
  if (!made && ::GetLastError() != ERROR_ALREADY_EXISTS) {
    // A process that is not elevated may not set that label.
    made = CreateWithDescriptor(folder, dacl);
  }
  if (!made) {
    DebugTrace(L"Work folder not used : not created fresh (%d), %ls", static_cast<int>(::GetLastError()), folder);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE pin = OpenFolder(folder, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE);
  if (pin == INVALID_HANDLE_VALUE) {
    DebugTrace(L"Work folder not used : cannot be opened (%d), %ls", static_cast<int>(::GetLastError()), folder);
    return INVALID_HANDLE_VALUE;
  }
  bool empty = true;
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW(FormatText(L"%ls\\*", folder).c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = data.cFileName;
      if (name != L"." && name != L"..") empty = false;
    } while (empty && ::FindNextFileW(find, &data));
    ::FindClose(find);
  }
  if (!IsPlainFolder(pin, folder) || !empty) {
    ::CloseHandle(pin);
    DebugTrace(L"Work folder not used : replaced after creation, %ls", folder);
    return INVALID_HANDLE_VALUE;
  }
  return pin;
}

std::wstring FinalPathOf(HANDLE handle) {
  wchar_t path[1024];
  const DWORD n = ::GetFinalPathNameByHandleW(handle, path, 1024, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n == 0 || n >= 1024) return std::wstring();
  std::wstring text(path, n);
  if (text.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\\\" + text.substr(8);
  if (text.compare(0, 4, L"\\\\?\\") == 0) return text.substr(4);
  return text;
}

std::wstring PathWithinVolumeOf(HANDLE handle) {
  wchar_t path[1024];
  const DWORD n = ::GetFinalPathNameByHandleW(handle, path, 1024, FILE_NAME_NORMALIZED | VOLUME_NAME_NONE);
  if (n == 0 || n >= 1024) return std::wstring();
  return std::wstring(path, n);
}
