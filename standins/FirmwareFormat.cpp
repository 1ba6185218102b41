#include "standins/FirmwareFormat.h"

#include <cstring>

namespace fwformat {

namespace {

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

// The package's cipher: the code XORed with an xorshift keystream. Applying
// it twice gives the plain code back.
void Cipher(uint8_t* data, size_t size, uint32_t seed) {
  uint32_t x = seed ^ 0xA5C3E17Bu;
  if (x == 0) x = 0x6D2B79F5u;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    data[i] ^= static_cast<uint8_t>(x >> 24);
  }
}

uint32_t ByteSum(const uint8_t* data, size_t size) {
  uint32_t sum = 0;
  for (size_t i = 0; i < size; ++i) sum += data[i];
  return sum;
}

// A NUL-terminated text that fills at most its field.
bool ReadField(const uint8_t* p, size_t width, std::string* out) {
  const void* nul = std::memchr(p, 0, width);
  if (!nul) return false;
  out->assign(reinterpret_cast<const char*>(p), static_cast<const uint8_t*>(nul) - p);
  return true;
}

}  // namespace

uint32_t Crc32(const uint8_t* data, size_t size) {
  static uint32_t table[256];
  static const bool ready = [] {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
    return true;
  }();
  (void)ready;
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) c = table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

const char* FormatErrorName(FormatError error) {
  switch (error) {
    case FormatError::None: return "ok";
    case FormatError::Truncated: return "truncated";
    case FormatError::BadMagic: return "bad magic";
    case FormatError::BadHeader: return "bad header";
    case FormatError::BadSize: return "bad size";
    case FormatError::BadCheck: return "bad check";
  }
  return "?";
}

std::vector<uint8_t> BuildSfw(const SfwPackage& p, uint32_t seed) {
  std::vector<uint8_t> b(kSfwHeaderSize + p.code.size() + 4, 0);
  b[0] = 'S';
  b[1] = 'F';
  b[2] = 'W';
  b[3] = kSfwFormat;
  Put16(b, 4, static_cast<uint16_t>(kSfwHeaderSize));
  Put16(b, 6, 0);
  Put16(b, 8, p.vid);
  Put16(b, 10, p.pid);
  Put32(b, 12, p.deviceVersion);
  Put32(b, 16, p.firmwareVersion);
  Put32(b, 20, static_cast<uint32_t>(p.code.size()));
  Put32(b, 24, seed);
  Put32(b, 28, ByteSum(p.code.data(), p.code.size()));
  Put32(b, 32, Crc32(b.data(), 32));
  if (!p.code.empty()) std::memcpy(&b[kSfwHeaderSize], p.code.data(), p.code.size());
  Cipher(&b[kSfwHeaderSize], p.code.size(), seed);
  Put32(b, b.size() - 4, Crc32(b.data(), b.size() - 4));
  return b;
}

FormatError ParseSfw(const uint8_t* data, size_t size, SfwPackage* out) {
  if (size < 4) return FormatError::Truncated;
  if (std::memcmp(data, "SFW", 3) != 0 || data[3] != kSfwFormat) return FormatError::BadMagic;
  if (size < kSfwHeaderSize + 4) return FormatError::Truncated;
  if (Get32(data + 32) != Crc32(data, 32) || Get16(data + 4) != kSfwHeaderSize) return FormatError::BadHeader;
  uint64_t codeSize = Get32(data + 20);
  uint64_t total = kSfwHeaderSize + codeSize + 4;
  if (size < total) return FormatError::Truncated;
  if (size > total) return FormatError::BadSize;
  if (Get32(data + size - 4) != Crc32(data, size - 4)) return FormatError::BadCheck;
  std::vector<uint8_t> code(data + kSfwHeaderSize, data + kSfwHeaderSize + codeSize);
  Cipher(code.data(), code.size(), Get32(data + 24));
  if (ByteSum(code.data(), code.size()) != Get32(data + 28)) return FormatError::BadCheck;
  out->vid = Get16(data + 8);
  out->pid = Get16(data + 10);
  out->deviceVersion = Get32(data + 12);
  out->firmwareVersion = Get32(data + 16);
  out->codeChecksum = Get32(data + 28);
  out->code.swap(code);
  return FormatError::None;
}

uint16_t McuVersionOf(uint32_t v) {
  return static_cast<uint16_t>((((v >> 24) & 0xF) << 12) | (((v >> 16) & 0xF) << 8) | (((v >> 8) & 0xF) << 4) |
                               (v & 0xF));
}

std::vector<uint8_t> BuildBin(const KestrelImage& image) {
  if (image.category.size() > 31 || image.version.size() > 15) return {};
  std::vector<uint8_t> b(kBinHeaderSize + image.code.size() + 4, 0);
  std::memcpy(&b[0], "KBIN", 4);
  Put32(b, 4, 1);
  std::memcpy(&b[8], image.category.data(), image.category.size());
  std::memcpy(&b[40], image.version.data(), image.version.size());
  Put32(b, 56, static_cast<uint32_t>(image.code.size()));
  Put32(b, 60, Crc32(b.data(), 60));
  if (!image.code.empty()) std::memcpy(&b[kBinHeaderSize], image.code.data(), image.code.size());
  Put32(b, b.size() - 4, Crc32(b.data(), b.size() - 4));
  return b;
}

FormatError ParseBin(const uint8_t* data, size_t size, KestrelImage* out) {
  if (size < 4) return FormatError::Truncated;
  if (std::memcmp(data, "KBIN", 4) != 0) return FormatError::BadMagic;
  if (size < kBinHeaderSize + 4) return FormatError::Truncated;
  if (Get32(data + 60) != Crc32(data, 60) || Get32(data + 4) != 1) return FormatError::BadHeader;
  KestrelImage image;
  if (!ReadField(data + 8, 32, &image.category) || !ReadField(data + 40, 16, &image.version) ||
      image.version.empty())
    return FormatError::BadHeader;
  uint64_t codeSize = Get32(data + 56);
  uint64_t total = kBinHeaderSize + codeSize + 4;
  if (size < total) return FormatError::Truncated;
  if (size > total) return FormatError::BadSize;
  if (Get32(data + size - 4) != Crc32(data, size - 4)) return FormatError::BadCheck;
  image.code.assign(data + kBinHeaderSize, data + kBinHeaderSize + codeSize);
  *out = std::move(image);
  return FormatError::None;
}

}  // namespace fwformat
