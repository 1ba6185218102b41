#pragma once
// Writing one payload into the work folder and holding it until it is used.
#include <windows.h>

// WriteFile's shape; a seam so tests can make a write fail or fall short.
typedef BOOL(WINAPI* PayloadWriteFn)(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED);

// Writes the bytes to path (created, or truncated when it exists) in one
// write, then reopens the file for reading with neither writing nor deleting
// shared and checks that it holds exactly these bytes. Returns that handle:
// while it is open no other process can change, replace or delete the file,
// yet libraries and readers can still open it. A failed or short write, or
// bytes that differ, give INVALID_HANDLE_VALUE, one debugger line, and no file.
HANDLE WritePayloadFile(const wchar_t* path, const void* data, DWORD size, PayloadWriteFn write = ::WriteFile);

// TRUE when the file behind the handle is exactly these bytes. The file
// position is left at the start.
BOOL PayloadMatches(HANDLE file, const void* data, DWORD size);

// Closes a hold from WritePayloadFile and resets it to INVALID_HANDLE_VALUE.
void ReleasePayload(HANDLE& hold);
