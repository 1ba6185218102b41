#pragma once
// The mouse's report protocol, as its vendor libraries speak it: requests go
// out as 64-byte output reports and answers come back as 64-byte input
// reports, both under report ID 1 of the programming channel (interface 02).
// The application speaks the Kestrel transfer and the switch to the MCU's boot
// loader; the boot loader speaks the MCU write. Both answer Identify.
//
// Shared by the libraries (the host's side) and the simulated mouse (the
// device's side); nothing here reaches a file or the environment.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace simmouse {

constexpr uint16_t kVendorId = 0x7C3E;
constexpr uint16_t kAppProductId = 0x5D1A;
constexpr uint16_t kBootProductId = 0x5E1A;

// Feature-report length of the vendor interface (MI_02) in either mode.
constexpr uint16_t kVendorFeatureLength = 65;
// Full-speed HID: one 64-byte report per millisecond.
constexpr uint32_t kReportBytes = 64;

// Behaviours a real vendor library may show and the stand-ins otherwise
// would not (see simmouse/README.md). The mouse carries the name so that the
// libraries learn it from Identify.
const std::vector<std::string>& ScenarioNames();
bool IsScenarioName(const std::string& name);
// The status an early-N scenario reports, 0 for any other scenario.
int EarlyStatusOf(const std::string& scenario);

enum class TransferResult {
  Done,
  NoDevice,      // not plugged in, or not with the identity asked for
  Unplugged,     // the cable was pulled during the transfer
  Disconnected,  // the link dropped during the transfer
  Silent,        // the device stopped answering
  Refused,       // the device refused the image; nothing was written
  VerifyFailed,  // the written image did not verify
  Cancelled,     // the host gave up
  StoreError,    // the mouse could not keep its state
};
const char* TransferResultName(TransferResult result);

struct TransferHooks {
  // Each new whole percentage of the transfer, 0 to 100, on the caller's thread.
  std::function<void(int percent)> progress;
  // Polled between reports; true stops the transfer.
  std::function<bool()> cancelled;
};

namespace proto {

constexpr uint8_t kReportId = 1;
// A report without its ID.
constexpr size_t kReportSize = 64;
using Report = std::array<uint8_t, kReportSize>;

// Bytes 0-7 of every report: command, sequence number (answers repeat the
// request's), flags (requests) or status (answers), data length, and a 32-bit
// little-endian argument (offset, size, checksum, version). Data follows.
constexpr size_t kCommandAt = 0, kSequenceAt = 1, kFlagsAt = 2, kStatusAt = 2, kLengthAt = 3, kArgumentAt = 4;
constexpr size_t kDataAt = 8;
// Code bytes in one data report.
constexpr size_t kBlockBytes = kReportSize - kDataAt;

enum Command : uint8_t {
  kIdentify = 0x01,       // answer: IdentifyAnswer
  kKestrelBegin = 0x10,   // argument: image bytes; data: version, NUL, category
  kKestrelData = 0x11,    // argument: offset; data: code
  kKestrelEnd = 0x12,     // checks the whole image: Ok, VerifyFailed
  kKestrelApply = 0x13,   // runs the checked image: Ok, OutOfOrder
  kKestrelAbort = 0x14,   // drops a transfer; no answer
  kMcuEnterBoot = 0x20,   // no answer: the mouse comes back with its boot loader's IDs
  kMcuBegin = 0x21,       // argument: code bytes
  kMcuData = 0x22,        // argument: offset; data: code
  kMcuVerify = 0x23,      // argument: the byte sum of the code: Ok, VerifyFailed
  kMcuFinish = 0x24,      // argument: new version; no answer: back with the application's IDs
  kMcuAbandon = 0x25,     // no answer: back to the application when its code is intact
};

// Data requests are answered only when they ask to be; a sender asks every
// few reports and so keeps the link full.
constexpr uint8_t kFlagAnswer = 0x01;

enum Status : uint8_t {
  kOk = 0,
  kRefused = 1,       // nothing was written
  kVerifyFailed = 2,
  kLinkLost = 3,      // the transfer broke off; the mouse stays plugged in
  kWrongMode = 4,     // a request of the other mode's protocol
  kBadRequest = 5,    // malformed: unknown command, length past the report
  kOutOfOrder = 6,    // data without a transfer, a gap in the offsets, nothing to apply
};
const char* StatusName(uint8_t status);

enum Mode : uint8_t { kApplication = 1, kBootLoader = 2 };

struct IdentifyAnswer {
  uint8_t mode = kApplication;
  uint16_t mcuVersion = 0;     // the application's revision, or the boot loader's
  std::string kestrelVersion;  // empty in the boot loader
  std::string kestrelCategory;
  std::string scenario = "none";
  double timeScale = 1.0;      // factor on every simulated delay
};

Report Request(Command command, uint8_t sequence, uint32_t argument = 0);
// Data after the header, at most kBlockBytes; false when it does not fit.
bool PutData(Report* report, const uint8_t* data, size_t size);
Report Answer(const Report& request, Status status, uint32_t argument = 0);
uint32_t Argument(const Report& report);
// The data the header claims, clipped to the report.
size_t DataLength(const Report& report);

Report EncodeIdentify(const Report& request, const IdentifyAnswer& answer);
bool DecodeIdentify(const Report& report, IdentifyAnswer* answer);
// Begin's data: the version and the category, NUL-separated.
bool PutVersionAndCategory(Report* report, const std::string& version, const std::string& category);
bool GetVersionAndCategory(const Report& report, std::string* version, std::string* category);

}  // namespace proto
}  // namespace simmouse
