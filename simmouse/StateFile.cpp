#include "simmouse/StateFile.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "app/Format.h"

namespace simmouse {
namespace detail {

namespace {

std::atomic<unsigned> g_tempCounter{0};

// Lock files older than this belong to a dead process.
constexpr auto kStaleLock = std::chrono::seconds(5);
// Nobody holds the lock for long: one read and one small write.
constexpr auto kLockWait = std::chrono::seconds(10);

#ifdef _WIN32
std::wstring Widen(const std::string& s) {
  if (s.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
  return w;
}
#endif

}  // namespace

#ifdef _WIN32

bool ReadWholeFile(const std::string& path, std::string* out) {
  // Share everything, delete included: a writer renames over the file while
  // readers may have it open.
  HANDLE h = CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  out->clear();
  char buf[4096];
  DWORD got = 0;
  bool ok = true;
  for (;;) {
    if (!ReadFile(h, buf, sizeof buf, &got, nullptr)) {
      ok = false;
      break;
    }
    if (got == 0) break;
    out->append(buf, got);
  }
  CloseHandle(h);
  return ok;
}

bool WriteFileAtomically(const std::string& path, const std::string& data) {
  std::string temp = FormatTextA("%s.%lu.%u.tmp", path.c_str(), static_cast<unsigned long>(GetCurrentProcessId()),
                                 g_tempCounter.fetch_add(1));
  std::wstring wtemp = Widen(temp);
  HANDLE h = CreateFileW(wtemp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
  CloseHandle(h);
  if (!ok || written != data.size()) {
    DeleteFileW(wtemp.c_str());
    return false;
  }
  std::wstring wpath = Widen(path);
  // A reader that opened the file without delete sharing blocks the rename
  // for a moment; try again briefly.
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (MoveFileExW(wtemp.c_str(), wpath.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    Sleep(5);
  }
  DeleteFileW(wtemp.c_str());
  return false;
}

std::string GetEnvironment(const char* name) {
  // The process environment, not the C library's copy: each DLL has its own.
  std::wstring wname = Widen(name);
  DWORD n = GetEnvironmentVariableW(wname.c_str(), nullptr, 0);
  if (n == 0) return std::string();
  std::wstring value(n, L'\0');
  n = GetEnvironmentVariableW(wname.c_str(), &value[0], n);
  value.resize(n);
  int bytes = WideCharToMultiByte(CP_UTF8, 0, value.data(), static_cast<int>(value.size()), nullptr, 0, nullptr,
                                  nullptr);
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, value.data(), static_cast<int>(value.size()), &out[0], bytes, nullptr, nullptr);
  return out;
}

namespace {
bool TryCreateLock(const std::string& lockPath) {
  HANDLE h = CreateFileW(Widen(lockPath).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}
bool LockIsStale(const std::string& lockPath) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(Widen(lockPath).c_str(), GetFileExInfoStandard, &data)) return false;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER a, b;
  a.LowPart = data.ftLastWriteTime.dwLowDateTime;
  a.HighPart = data.ftLastWriteTime.dwHighDateTime;
  b.LowPart = now.dwLowDateTime;
  b.HighPart = now.dwHighDateTime;
  return b.QuadPart > a.QuadPart &&
         (b.QuadPart - a.QuadPart) / 10000ULL > static_cast<ULONGLONG>(
                                                    std::chrono::milliseconds(kStaleLock).count());
}
void RemoveLock(const std::string& lockPath) { DeleteFileW(Widen(lockPath).c_str()); }
}  // namespace

#else

bool ReadWholeFile(const std::string& path, std::string* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  out->clear();
  char buf[4096];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, got);
  bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

bool WriteFileAtomically(const std::string& path, const std::string& data) {
  std::string temp = FormatTextA("%s.%ld.%u.tmp", path.c_str(), static_cast<long>(getpid()),
                                 g_tempCounter.fetch_add(1));
  FILE* f = std::fopen(temp.c_str(), "wb");
  if (!f) return false;
  bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
  ok = (std::fclose(f) == 0) && ok;
  if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

std::string GetEnvironment(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

namespace {
bool TryCreateLock(const std::string& lockPath) {
  int fd = ::open(lockPath.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}
bool LockIsStale(const std::string& lockPath) {
  struct stat st;
  if (::stat(lockPath.c_str(), &st) != 0) return false;
  auto age = std::chrono::system_clock::now() - std::chrono::system_clock::from_time_t(st.st_mtime);
  return age > kStaleLock;
}
void RemoveLock(const std::string& lockPath) { ::unlink(lockPath.c_str()); }
}  // namespace

#endif

FileLock::FileLock(const std::string& statePath) : m_lockPath(statePath + ".lock") {
  auto deadline = std::chrono::steady_clock::now() + kLockWait;
  while (!(m_held = TryCreateLock(m_lockPath))) {
    if (LockIsStale(m_lockPath)) {
      RemoveLock(m_lockPath);
      continue;
    }
    if (std::chrono::steady_clock::now() > deadline) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

FileLock::~FileLock() {
  if (m_held) RemoveLock(m_lockPath);
}

}  // namespace detail
}  // namespace simmouse
