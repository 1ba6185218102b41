#include "app/Payloads.h"

#include <cstring>
#include <string>

#include "app/Format.h"
#include "app/Log.h"

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

HANDLE WritePayloadFile(const wchar_t* path, const void* data, DWORD size, PayloadWriteFn write) {
  HANDLE file = ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;  // skipped silently, as before

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
  // delete it. The check covers the moment between the close and the reopen.
  HANDLE hold = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
  if (hold == INVALID_HANDLE_VALUE) {
    DebugTrace(L"Payload hold fail : %d, %ls", static_cast<int>(::GetLastError()), path);
    ::DeleteFileW(path);
    return INVALID_HANDLE_VALUE;
  }
  if (!PayloadMatches(hold, data, size)) {
    ::CloseHandle(hold);
    ::DeleteFileW(path);
    DebugTrace(L"Payload changed after writing : %ls", path);
    return INVALID_HANDLE_VALUE;
  }
  return hold;
}

