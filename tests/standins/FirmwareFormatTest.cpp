#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "standins/FirmwareFormat.h"

using namespace fwformat;

namespace {

std::vector<uint8_t> Code(size_t n, uint8_t salt = 0) {
  std::vector<uint8_t> code(n);
  for (size_t i = 0; i < n; ++i) code[i] = static_cast<uint8_t>(i * 31 + salt);
  return code;
}

SfwPackage Package() {
  SfwPackage p;
  p.vid = 0x7C3E;
  p.pid = 0x5D1A;
  p.deviceVersion = 0x0102;
  p.firmwareVersion = 0x00010002;
  p.code = Code(1000);
  return p;
}

// Recomputes the file's trailing CRC, so that a change further in is caught
// by its own check and not by the outer one.
void Reseal(std::vector<uint8_t>& b) {
  uint32_t c = Crc32(b.data(), b.size() - 4);
  for (int i = 0; i < 4; ++i) b[b.size() - 4 + i] = static_cast<uint8_t>(c >> (8 * i));
}

void ResealHeader(std::vector<uint8_t>& b, size_t headerCrcAt) {
  uint32_t c = Crc32(b.data(), headerCrcAt);
  for (int i = 0; i < 4; ++i) b[headerCrcAt + i] = static_cast<uint8_t>(c >> (8 * i));
}

struct Damage {
  const char* name;
  std::function<void(std::vector<uint8_t>&)> apply;
  FormatError error;
};

}  // namespace

TEST(Crc32, MatchesTheStandardCheckValue) {
  const char* text = "123456789";
  EXPECT_EQ(Crc32(reinterpret_cast<const uint8_t*>(text), 9), 0xCBF43926u);
}

TEST(SfwFormat, RoundTripsAndBeginsWithItsMagic) {
  SfwPackage in = Package();
  std::vector<uint8_t> file = BuildSfw(in, 0x1234);
  ASSERT_EQ(file.size(), kSfwHeaderSize + 1000 + 4);
  EXPECT_EQ(std::memcmp(file.data(), "SFW\x02", 4), 0);
  SfwPackage out;
  ASSERT_EQ(ParseSfw(file.data(), file.size(), &out), FormatError::None);
  EXPECT_EQ(out.vid, in.vid);
  EXPECT_EQ(out.pid, in.pid);
  EXPECT_EQ(out.deviceVersion, in.deviceVersion);
  EXPECT_EQ(out.firmwareVersion, in.firmwareVersion);
  EXPECT_EQ(out.code, in.code);
}

TEST(SfwFormat, TheCodeIsEncipheredInTheFile) {
  SfwPackage in = Package();
  std::vector<uint8_t> file = BuildSfw(in, 0x1234);
  EXPECT_NE(std::vector<uint8_t>(file.begin() + kSfwHeaderSize, file.end() - 4), in.code);
  // Another seed, other bytes; the same code comes out.
  std::vector<uint8_t> other = BuildSfw(in, 0x9999);
  EXPECT_NE(other, file);
  SfwPackage out;
  ASSERT_EQ(ParseSfw(other.data(), other.size(), &out), FormatError::None);
  EXPECT_EQ(out.code, in.code);
}

TEST(SfwFormat, RejectsEveryKindOfDamageAndHandsOutNothing) {
  const Damage cases[] = {
      {"empty", [](std::vector<uint8_t>& b) { b.clear(); }, FormatError::Truncated},
      {"three bytes", [](std::vector<uint8_t>& b) { b.resize(3); }, FormatError::Truncated},
      {"header only", [](std::vector<uint8_t>& b) { b.resize(kSfwHeaderSize); }, FormatError::Truncated},
      {"last byte missing", [](std::vector<uint8_t>& b) { b.pop_back(); }, FormatError::Truncated},
      {"half the code", [](std::vector<uint8_t>& b) { b.resize(kSfwHeaderSize + 500); }, FormatError::Truncated},
      {"one byte too many", [](std::vector<uint8_t>& b) { b.push_back(0); }, FormatError::BadSize},
      {"other magic", [](std::vector<uint8_t>& b) { b[2] = 'X'; }, FormatError::BadMagic},
      {"format byte 1", [](std::vector<uint8_t>& b) { b[3] = 1; }, FormatError::BadMagic},
      {"vendor ID changed", [](std::vector<uint8_t>& b) { b[8] ^= 1; }, FormatError::BadHeader},
      {"header size changed, resealed",
       [](std::vector<uint8_t>& b) {
         b[4] = 40;
         ResealHeader(b, 32);
         Reseal(b);
       },
       FormatError::BadHeader},
      {"code size grown, resealed",
       [](std::vector<uint8_t>& b) {
         b[20] += 1;
         ResealHeader(b, 32);
       },
       FormatError::Truncated},
      {"code byte flipped", [](std::vector<uint8_t>& b) { b[kSfwHeaderSize + 10] ^= 0x40; }, FormatError::BadCheck},
      {"trailing check flipped", [](std::vector<uint8_t>& b) { b.back() ^= 1; }, FormatError::BadCheck},
      {"code byte flipped, resealed",
       [](std::vector<uint8_t>& b) {
         b[kSfwHeaderSize + 10] ^= 0x40;
         Reseal(b);
       },
       FormatError::BadCheck},
  };
  for (const Damage& d : cases) {
    std::vector<uint8_t> file = BuildSfw(Package(), 0x1234);
    d.apply(file);
    SfwPackage out;
    out.vid = 0xAAAA;
    EXPECT_EQ(ParseSfw(file.data(), file.size(), &out), d.error) << d.name;
    EXPECT_EQ(out.vid, 0xAAAA) << d.name;
    EXPECT_TRUE(out.code.empty()) << d.name;
  }
}

TEST(SfwFormat, McuVersionIsTheLowNibbleOfEachByte) {
  const struct {
    uint32_t firmware;
    uint16_t mcu;
  } cases[] = {{0x00010002, 0x0102}, {0x01020304, 0x1234}, {0x12345678, 0x2468}, {0, 0}, {0xFFFFFFFF, 0xFFFF}};
  for (const auto& c : cases) EXPECT_EQ(McuVersionOf(c.firmware), c.mcu) << std::hex << c.firmware;
}

TEST(BinFormat, RoundTripsVersionCategoryAndCode) {
  KestrelImage in{"1.2.0", "mouse", Code(3000, 5)};
  std::vector<uint8_t> file = BuildBin(in);
  ASSERT_EQ(file.size(), kBinHeaderSize + 3000 + 4);
  KestrelImage out;
  ASSERT_EQ(ParseBin(file.data(), file.size(), &out), FormatError::None);
  EXPECT_EQ(out.version, "1.2.0");
  EXPECT_EQ(out.category, "mouse");
  EXPECT_EQ(out.code, in.code);
}

TEST(BinFormat, RejectsEveryKindOfDamage) {
  const Damage cases[] = {
      {"empty", [](std::vector<uint8_t>& b) { b.clear(); }, FormatError::Truncated},
      {"header only", [](std::vector<uint8_t>& b) { b.resize(kBinHeaderSize); }, FormatError::Truncated},
      {"last byte missing", [](std::vector<uint8_t>& b) { b.pop_back(); }, FormatError::Truncated},
      {"one byte too many", [](std::vector<uint8_t>& b) { b.push_back(0); }, FormatError::BadSize},
      {"other magic", [](std::vector<uint8_t>& b) { b[0] = 'X'; }, FormatError::BadMagic},
      {"version changed", [](std::vector<uint8_t>& b) { b[40] = '9'; }, FormatError::BadHeader},
      {"category without terminator, resealed",
       [](std::vector<uint8_t>& b) {
         std::memset(&b[8], 'm', 32);
         ResealHeader(b, 60);
         Reseal(b);
       },
       FormatError::BadHeader},
      {"empty version, resealed",
       [](std::vector<uint8_t>& b) {
         std::memset(&b[40], 0, 16);
         ResealHeader(b, 60);
         Reseal(b);
       },
       FormatError::BadHeader},
      {"code byte flipped", [](std::vector<uint8_t>& b) { b[kBinHeaderSize + 7] ^= 2; }, FormatError::BadCheck},
  };
  for (const Damage& d : cases) {
    std::vector<uint8_t> file = BuildBin({"1.2.0", "mouse", Code(3000)});
    d.apply(file);
    KestrelImage out;
    EXPECT_EQ(ParseBin(file.data(), file.size(), &out), d.error) << d.name;
    EXPECT_TRUE(out.version.empty()) << d.name;
  }
}
