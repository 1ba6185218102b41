#pragma once
// The two firmware files, shared by the stand-in libraries that read them and
// the build-time tool that writes them. Pure byte work, no I/O.
//
// Mouse_TMB.sfw, the Tamber package (little-endian):
//   0  "SFW" and the byte 2
//   4  u16 header size (36)      6  u16 flags (0)
//   8  u16 vendor ID            10  u16 product ID
//  12  u32 device version       16  u32 firmware version
//  20  u32 code size            24  u32 cipher seed
//  28  u32 code checksum (byte sum of the plain code, as the MCU's boot loader counts it)
//  32  u32 CRC-32 of bytes 0..31
//  36  the code, enciphered
//  end u32 CRC-32 of everything before it
//
// MouseFW.bin, the Kestrel image:
//   0  "KBIN"                    4  u32 format (1)
//   8  char[32] product category, NUL-terminated
//  40  char[16] version, NUL-terminated
//  56  u32 code size            60  u32 CRC-32 of bytes 0..59
//  64  the code
//  end u32 CRC-32 of everything before it
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fwformat {

uint32_t Crc32(const uint8_t* data, size_t size);

constexpr size_t kSfwHeaderSize = 36;
constexpr size_t kBinHeaderSize = 64;
constexpr uint8_t kSfwFormat = 2;

struct SfwPackage {
  uint16_t vid = 0;
  uint16_t pid = 0;
  uint32_t deviceVersion = 0;
  uint32_t firmwareVersion = 0;
  std::vector<uint8_t> code;  // plain
  uint32_t codeChecksum = 0;  // as stored; set by ParseSfw, computed by BuildSfw
};

enum class FormatError {
  None,
  Truncated,  // shorter than its header or its declared size
  BadMagic,   // not this kind of file
  BadHeader,  // header check or fields wrong
  BadSize,    // longer than declared
  BadCheck,   // integrity check of the content failed
};
const char* FormatErrorName(FormatError error);

std::vector<uint8_t> BuildSfw(const SfwPackage& package, uint32_t seed);
// Checks the whole file before handing anything out: a package that fails
// any check yields no fields at all.
FormatError ParseSfw(const uint8_t* data, size_t size, SfwPackage* out);

// The MCU version a package's firmware version stands for: the low nibbles of
// its four bytes, so 0x00010002 (shown 0.1.0.2) is MCU version 0x0102.
uint16_t McuVersionOf(uint32_t firmwareVersion);

struct KestrelImage {
  std::string version;   // at most 15 characters
  std::string category;  // at most 31 characters
  std::vector<uint8_t> code;
};

// Empty when a text does not fit its field.
std::vector<uint8_t> BuildBin(const KestrelImage& image);
FormatError ParseBin(const uint8_t* data, size_t size, KestrelImage* out);

}  // namespace fwformat
