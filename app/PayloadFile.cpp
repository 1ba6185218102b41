#include "app/Payloads.h"

#include <cstring>
#include <string>

#include "app/Format.h"
#include "app/FolderTree.h"
#include "app/Log.h"
#include "app/SafeFiles.h"

BOOL PayloadMatches(HANDLE file, const void* data, DWORD size) {
  LARGE_INTEGER length = {};
  if (!::GetFileSizeEx(file, &length) || length.QuadPart != static_cast<LONGLONG>(size)) return FALSE;
  LARGE_INTEGER start = {};
  if (!::SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return FALSE;
  const BYTE* expected = static_cast<const BYTE*>(data);
  BYTE chunk[16384];
  DWORD done = 0;
  BOOL same = TRUE;
  while (same && done < size) {
    DWORD want = size - done < sizeof(chunk) ? size - done : static_cast<DWORD>(sizeof(chunk));
    DWORD got = 0;
    if (!::ReadFile(file, chunk, want, &got, nullptr) || got != want) {
      same = FALSE;
    } else {
      same = std::memcmp(chunk, expected + done, got) == 0;
      done += got;
    }
  }
  ::SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
  return same;
}

void ReleasePayload(HANDLE& hold) {
  if (hold != INVALID_HANDLE_VALUE) ::CloseHandle(hold);
  hold = INVALID_HANDLE_VALUE;
}

namespace {

// Which file a handle names: volume and file ID. The ID class (number 18,
// FILE_ID_INFO's layout) exists from Windows 8 on, above the headers' floor
// here; before it, the older call's serial and index say the same.
struct FileIdentity {
  ULONGLONG volume;
  BYTE id[16];
};
const FILE_INFO_BY_HANDLE_CLASS kFileIdInfoClass = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);

bool IdentityOf(HANDLE file, FileIdentity* identity) {
  *identity = FileIdentity();
  if (::GetFileInformationByHandleEx(file, kFileIdInfoClass, identity, sizeof(*identity))) return true;
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!::GetFileInformationByHandle(file, &info)) return false;
  identity->volume = info.dwVolumeSerialNumber;
  std::memcpy(identity->id, &info.nFileIndexLow, sizeof(info.nFileIndexLow));
  std::memcpy(identity->id + sizeof(info.nFileIndexLow), &info.nFileIndexHigh, sizeof(info.nFileIndexHigh));
  return true;
}

bool SameFile(const FileIdentity& a, const FileIdentity& b) {
  return a.volume == b.volume && std::memcmp(a.id, b.id, sizeof(a.id)) == 0;
}

// Facts about the file behind a handle, for IsOwnPlainFile. From the by-handle
// classes that answer from the file alone: GetFileInformationByHandle also
// asks for the volume's serial number, a round trip that costs more than all
// the rest of a payload's writing where the platform asks a volume service.
OpenedFileFacts FactsOf(HANDLE file) {
  OpenedFileFacts facts;
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  FILE_STANDARD_INFO standard = {};
  FileIdentity identity;
  if (!::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof(tag)) ||
      !::GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof(standard)) ||
      !IdentityOf(file, &identity))
    return facts;
  facts.attributes = tag.FileAttributes;
  facts.links = standard.NumberOfLinks;
  facts.volume = identity.volume;
  facts.finalPath = PathWithinVolumeOf(file);
  return facts;
}

// The folder that the payload path names, itself never followed through a
// link: its volume and its final path within it.
std::wstring FolderFinalPath(const std::wstring& path, std::wstring* name, uint64_t* volume) {
  const size_t slash = path.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return std::wstring();
  *name = path.substr(slash + 1);
  size_t end = slash;
  while (end > 0 && (path[end - 1] == L'\\' || path[end - 1] == L'/')) --end;  // the doubled separator
  HANDLE folder = ::CreateFileW(path.substr(0, end).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr);
  if (folder == INVALID_HANDLE_VALUE) return std::wstring();
  FileIdentity identity;
  std::wstring final = IdentityOf(folder, &identity) ? PathWithinVolumeOf(folder) : std::wstring();
  *volume = identity.volume;
  ::CloseHandle(folder);
  return final;
}

}  // namespace

HANDLE WritePayloadFile(const wchar_t* path, const void* data, DWORD size, PayloadWriteFn write) {
  // Always a new file: an existing name (a planted file, a hard link to a
  // file elsewhere, a link) is never opened, so never written through.
  HANDLE file = ::CreateFileW(path, GENERIC_WRITE | GENERIC_READ | DELETE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;  // skipped silently, as before

  // Before a byte is written: the handle must name a plain file with one name,
  // directly inside the folder. Someone may have linked to it in between.
  std::wstring name;
  uint64_t volume = 0;
  const std::wstring folder = FolderFinalPath(path, &name, &volume);
  FileIdentity written_id;
  if (!IsOwnPlainFile(FactsOf(file), volume, folder, name) || !IdentityOf(file, &written_id)) {
    FILE_DISPOSITION_INFO dispose = {TRUE};
    ::SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof(dispose));
    ::CloseHandle(file);
    ::DeleteFileW(path);
    DebugTrace(L"Payload file not plain : %ls", path);
    return INVALID_HANDLE_VALUE;
  }

  DWORD written = 0;
  const BOOL ok = write(file, data, size, &written, nullptr);
  const DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
  ::CloseHandle(file);
  if (!ok || written != size) {
    // A partial payload must not be loaded or flashed.
    ::DeleteFileW(path);
    DebugTrace(L"WriteFile fail : %d, %u of %u bytes, %ls", static_cast<int>(error), static_cast<unsigned>(written),
               static_cast<unsigned>(size), path);
    return INVALID_HANDLE_VALUE;
  }

  // From here until the payload has been used nobody may write, rename or
  // delete it. The checks cover the moment between the close and the reopen:
  // the same file, still with one name, still these bytes.
  HANDLE hold = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (hold == INVALID_HANDLE_VALUE) {
    DebugTrace(L"Payload hold fail : %d, %ls", static_cast<int>(::GetLastError()), path);
    ::DeleteFileW(path);
    return INVALID_HANDLE_VALUE;
  }
  FileIdentity held_id;
  if (!IdentityOf(hold, &held_id) || !SameFile(held_id, written_id) ||
      !IsOwnPlainFile(FactsOf(hold), volume, folder, name) || !PayloadMatches(hold, data, size)) {
    ::CloseHandle(hold);
    ::DeleteFileW(path);
    DebugTrace(L"Payload changed after writing : %ls", path);
    return INVALID_HANDLE_VALUE;
  }
  return hold;
}
