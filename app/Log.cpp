#include "app/Log.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <mutex>
#include <vector>

#include "app/Format.h"
#include "app/Platform.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

bool g_bWriteLog = false;
FILE* g_fpConsoleLog = nullptr;
std::wstring g_strLogDir;

namespace {

std::mutex g_consoleLogLock;
std::mutex g_fileLogLock;

void DefaultDebugOutput(const wchar_t* text) {
#ifdef _WIN32
  OutputDebugStringW(text);
#else
  (void)text;
#endif
}

std::atomic<DebugOutputFn> g_debugOutput{&DefaultDebugOutput};

int64_t NowTicks() {
  using namespace std::chrono;
  return duration_cast<duration<int64_t, std::ratio<1, 10000000>>>(system_clock::now().time_since_epoch()).count();
}

bool LocalTime(time_t t, struct tm* out) {
#ifdef _WIN32
  return localtime_s(out, &t) == 0;
#else
  return localtime_r(&t, out) != nullptr;
#endif
}

// Appends src to the 260-unit buffer, never past its end.
void AppendBounded(wchar_t* buffer, size_t units, const wchar_t* src) {
  size_t len = wcslen(buffer);
  while (*src && len + 1 < units) buffer[len++] = *src++;
  buffer[len] = L'\0';
}

#ifndef _WIN32
// The Windows path with backslashes as the native file functions want it.
std::string NativePath(const wchar_t* path) {
  std::string out;
  for (const wchar_t* p = path; *p; ++p) {
    wchar_t c = *p == L'\\' ? L'/' : *p;
    out += c < 0x80 ? static_cast<char>(c) : '_';
  }
  return out;
}
#endif

// Read and write, created when missing, never cut, every write at the end,
// and (on Windows) no sharing while it is open.
FILE* OpenLogFileExclusive(const wchar_t* path) {
#ifdef _WIN32
  return _wfsopen(path, L"a+b", 0x10 /* _SH_DENYRW */);
#else
  return std::fopen(NativePath(path).c_str(), "a+b");
#endif
}

// The text-mode stream's bytes: CR LF for each line feed, one byte for each
// character (characters above U+00FF become '?', as the C locale's conversion fails them).
std::string LogFileBytes(const std::wstring& text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (wchar_t c : text) {
    if (c == L'\n') {
      out += "\r\n";
    } else {
      out += static_cast<unsigned>(c) <= 0xFF ? static_cast<char>(static_cast<unsigned char>(c)) : '?';
    }
  }
  return out;
}

}  // namespace

void SetDebugOutput(DebugOutputFn fn) { g_debugOutput.store(fn ? fn : &DefaultDebugOutput); }

void TracePrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

std::string FormatConsoleTime(int64_t ticks) {
  int64_t seconds = ticks / 10000000;
  struct tm local = {};
  char buffer[100] = {0};
  if (LocalTime(static_cast<time_t>(seconds), &local)) std::strftime(buffer, sizeof buffer, "%X.", &local);
  int64_t ms = ticks / 10000 - seconds * 1000;
  return std::string(buffer) + FormatTextA("%03d", static_cast<int>(ms));
}

void ConsoleLog(const char* format, ...) {
  std::lock_guard<std::mutex> lock(g_consoleLogLock);
  if (!g_fpConsoleLog) return;
  char stackBuffer[15360] = {0};
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(stackBuffer, sizeof stackBuffer, format, copy);
  va_end(copy);
  std::vector<char> heap;
  const char* message = stackBuffer;
  if (n >= static_cast<int>(sizeof stackBuffer)) {
    heap.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(heap.data(), heap.size(), format, args);
    message = heap.data();
  }
  va_end(args);
  std::string time = FormatConsoleTime(NowTicks());
  std::fprintf(g_fpConsoleLog, "%s [console] %s\n", time.c_str(), message);
  std::fflush(g_fpConsoleLog);
  std::printf("%s\n", message);
}

void VENDOR_CALL OnSdkLog(int32_t level, const char* text) {
  std::lock_guard<std::mutex> lock(g_consoleLogLock);
  if (!g_fpConsoleLog) return;
  std::string time = FormatConsoleTime(NowTicks());
  std::fprintf(g_fpConsoleLog, "%s %s\n", time.c_str(), text ? text : "");
}

bool EnsureFolder(const wchar_t* path, bool create) {
#ifdef _WIN32
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(path, &data);
  bool isDir = find != INVALID_HANDLE_VALUE && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  if (find != INVALID_HANDLE_VALUE) FindClose(find);
  if (isDir) return true;
  if (!create) return false;
  CreateDirectoryW(path, nullptr);
  return true;
#else
  std::string p = NativePath(path);
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  struct stat st;
  if (stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
  if (!create) return false;
  mkdir(p.c_str(), 0755);
  return true;
#endif
}

void BuildLogFilePath(wchar_t* buffer260) {
  AppendBounded(buffer260, 260, g_strLogDir.c_str());
  AppendBounded(buffer260, 260, L"\\Log\\");
  EnsureFolder(buffer260, true);
  AppendBounded(buffer260, 260, L"log.txt");
}

std::wstring GetLogTimestamp() {
  wchar_t buffer[30] = {0};
  struct tm local = {};
  if (LocalTime(std::time(nullptr), &local)) std::wcsftime(buffer, 30, L"[%Y-%m-%d %H:%M:%S] ", &local);
  return buffer;
}

void WriteLogFile(const std::wstring& text) { WriteLogFile(text.c_str()); }

void WriteLogFile(const wchar_t* text) {
  std::lock_guard<std::mutex> lock(g_fileLogLock);
  wchar_t path[260] = {0};
  BuildLogFilePath(path);
  std::wstring line = FormatText(L"%ls %ls\n", GetLogTimestamp().c_str(), text ? text : L"");
  // A file that does not open gets nothing: there is no stream to write to.
  FILE* f = OpenLogFileExclusive(path);
  if (!f) return;
  std::string bytes = LogFileBytes(line) + LogFileBytes(L"\n");
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

void DebugTrace(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring text = FormatTextV(format, args);
  va_end(args);
  // The line is cut to what a 1,024-unit buffer holds, never overrun; a cut
  // does not split a surrogate pair.
  const size_t kMax = 1023;
  if (text.size() > kMax) {
    size_t cut = kMax;
    if (text[cut - 1] >= 0xD800 && text[cut - 1] <= 0xDBFF) --cut;
    text.resize(cut);
  }
  DebugOutputFn out = g_debugOutput.load();
  out(text.c_str());
  out(L"\n");
}
