#pragma once
// Both outside libraries use __cdecl for every entry point and callback, on the
// library side and on ours. (The 32-bit build is the only one where it matters.)
#if defined(_WIN32) && !defined(_WIN64)
#define VENDOR_CALL __cdecl
#else
#define VENDOR_CALL
#endif

#if defined(_WIN32)
#define VENDOR_EXPORT extern "C" __declspec(dllexport)
#define VENDOR_IMPORT extern "C" __declspec(dllimport)
#else
#define VENDOR_EXPORT extern "C" __attribute__((visibility("default")))
#define VENDOR_IMPORT extern "C"
#endif
