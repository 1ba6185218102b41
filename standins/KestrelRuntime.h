#pragma once
// Stand-in for the Kestrel SDK's runtime library, KestrelRuntime.dll, which
// the SDK imports: here it reads the firmware image file the SDK is handed.
#include <cstdint>

#include "vendor/VendorCall.h"

#ifdef KESTREL_BUILDING_RUNTIME
#define KESTREL_RUNTIME_API VENDOR_EXPORT
#elif defined(_WIN32)
#define KESTREL_RUNTIME_API VENDOR_IMPORT
#else
#define KESTREL_RUNTIME_API extern "C"
#endif

// Reads the whole file into buffer: 0 when it fit (size set), 1 when it is
// larger than capacity, -1 when it cannot be read.
KESTREL_RUNTIME_API int32_t VENDOR_CALL KestrelReadFile(const char* path, uint8_t* buffer, uint32_t capacity,
                                                        uint32_t* size);
