#pragma once
// The diagnostic sinks: standard output, console log, SDK log, log file and
// debugger output. Any thread may call any of them.
#include <cstdint>
#include <cstdio>
#include <string>

#include "vendor/VendorCall.h"

// Log-file switch; off in the delivered build, and nothing changes it.
extern bool g_bWriteLog;
// Console-log stream; never opened in the delivered build.
extern FILE* g_fpConsoleLog;
// Base folder of the log file; empty.
extern std::wstring g_strLogDir;

void TracePrint(const char* format, ...);
void ConsoleLog(const char* format, ...);
void VENDOR_CALL OnSdkLog(int32_t level, const char* text);
// ticks: 100-ns units since 1970-01-01 UTC.
std::string FormatConsoleTime(int64_t ticks);
void WriteLogFile(const wchar_t* text);
void WriteLogFile(const std::wstring& text);
std::wstring GetLogTimestamp();
void BuildLogFilePath(wchar_t* buffer260);
bool EnsureFolder(const wchar_t* path, bool create);
void DebugTrace(const wchar_t* format, ...);

// Where DebugTrace's text goes: OutputDebugStringW on Windows, nowhere
// elsewhere. Tests install a sink to read the lines.
typedef void (*DebugOutputFn)(const wchar_t* text);
void SetDebugOutput(DebugOutputFn fn);  // null restores the default
