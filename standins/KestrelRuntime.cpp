#define KESTREL_BUILDING_RUNTIME
#include "standins/KestrelRuntime.h"

#include <cstdio>

int32_t VENDOR_CALL KestrelReadFile(const char* path, uint8_t* buffer, uint32_t capacity, uint32_t* size) {
  if (!path || !size || (!buffer && capacity)) return -1;
  FILE* f = std::fopen(path, "rb");
  if (!f) return -1;
  uint32_t got = 0;
  int32_t result = 0;
  for (;;) {
    if (got == capacity) {
      result = std::fgetc(f) == EOF ? 0 : 1;  // exactly full, or more to come
      break;
    }
    const size_t n = std::fread(buffer + got, 1, capacity - got, f);
    if (n == 0) break;
    got += static_cast<uint32_t>(n);
  }
  if (std::ferror(f)) result = -1;
  std::fclose(f);
  *size = got;
  return result;
}
