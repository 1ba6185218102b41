#include "simmouse/Protocol.h"

#include <cmath>
#include <cstring>

namespace simmouse {

const std::vector<std::string>& ScenarioNames() {
  static const std::vector<std::string> names = {"none",    "all-events", "early-1",     "early-2",
                                                  "early-3", "early-4",    "early-7",     "early-8",
                                                  "late-events", "late-retry", "chatty", "updater-thread"};
  return names;
}

bool IsScenarioName(const std::string& name) {
  for (const std::string& n : ScenarioNames())
    if (n == name) return true;
  return false;
}

int EarlyStatusOf(const std::string& scenario) {
  if (scenario.size() != 7 || scenario.compare(0, 6, "early-") != 0 || !IsScenarioName(scenario)) return 0;
  return scenario[6] - '0';
}

const char* TransferResultName(TransferResult result) {
  switch (result) {
    case TransferResult::Done: return "done";
    case TransferResult::NoDevice: return "no device";
    case TransferResult::Unplugged: return "unplugged";
    case TransferResult::Disconnected: return "disconnected";
    case TransferResult::Silent: return "silent";
    case TransferResult::Refused: return "refused";
    case TransferResult::VerifyFailed: return "verify failed";
    case TransferResult::Cancelled: return "cancelled";
    case TransferResult::StoreError: return "mouse state not kept";
  }
  return "?";
}

namespace proto {

namespace {

void PutU16(uint8_t* at, uint16_t v) {
  at[0] = static_cast<uint8_t>(v);
  at[1] = static_cast<uint8_t>(v >> 8);
}
uint16_t GetU16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }
void PutU32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t GetU32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}

// Identify's answer: mode, revision, scenario number, time scale in
// millionths, then the Kestrel version and category, 16 bytes each.
constexpr size_t kModeAt = kDataAt, kRevisionAt = kDataAt + 1, kScenarioAt = kDataAt + 3, kScaleAt = kDataAt + 4;
constexpr size_t kVersionAt = kDataAt + 8, kCategoryAt = kVersionAt + 16, kTextBytes = 16;

void PutText(uint8_t* at, const std::string& text) {
  size_t n = text.size() < kTextBytes ? text.size() : kTextBytes - 1;
  std::memcpy(at, text.data(), n);
}
std::string GetText(const uint8_t* at) {
  size_t n = 0;
  while (n < kTextBytes && at[n]) ++n;
  return std::string(reinterpret_cast<const char*>(at), n);
}

}  // namespace

const char* StatusName(uint8_t status) {
  switch (status) {
    case kOk: return "ok";
    case kRefused: return "refused";
    case kVerifyFailed: return "verify failed";
    case kLinkLost: return "link lost";
    case kWrongMode: return "wrong mode";
    case kBadRequest: return "bad request";
    case kOutOfOrder: return "out of order";
  }
  return "?";
}

Report Request(Command command, uint8_t sequence, uint32_t argument) {
  Report r{};
  r[kCommandAt] = command;
  r[kSequenceAt] = sequence;
  PutU32(&r[kArgumentAt], argument);
  return r;
}

bool PutData(Report* report, const uint8_t* data, size_t size) {
  if (size > kBlockBytes) return false;
  if (size) std::memcpy(&(*report)[kDataAt], data, size);
  (*report)[kLengthAt] = static_cast<uint8_t>(size);
  return true;
}

Report Answer(const Report& request, Status status, uint32_t argument) {
  Report r{};
  r[kCommandAt] = request[kCommandAt];
  r[kSequenceAt] = request[kSequenceAt];
  r[kStatusAt] = status;
  PutU32(&r[kArgumentAt], argument);
  return r;
}

uint32_t Argument(const Report& report) { return GetU32(&report[kArgumentAt]); }

size_t DataLength(const Report& report) {
  size_t n = report[kLengthAt];
  return n < kBlockBytes ? n : kBlockBytes;
}

Report EncodeIdentify(const Report& request, const IdentifyAnswer& a) {
  Report r = Answer(request, kOk);
  r[kModeAt] = a.mode;
  PutU16(&r[kRevisionAt], a.mcuVersion);
  const std::vector<std::string>& names = ScenarioNames();
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] == a.scenario) r[kScenarioAt] = static_cast<uint8_t>(i);
  double scale = a.timeScale * 1e6;
  PutU32(&r[kScaleAt], scale <= 0 ? 0 : scale >= 4e9 ? 4000000000u : static_cast<uint32_t>(std::lround(scale)));
  PutText(&r[kVersionAt], a.kestrelVersion);
  PutText(&r[kCategoryAt], a.kestrelCategory);
  r[kLengthAt] = static_cast<uint8_t>(kCategoryAt + kTextBytes - kDataAt);
  return r;
}

bool DecodeIdentify(const Report& r, IdentifyAnswer* a) {
  if (r[kCommandAt] != kIdentify || r[kStatusAt] != kOk) return false;
  if (r[kModeAt] != kApplication && r[kModeAt] != kBootLoader) return false;
  const std::vector<std::string>& names = ScenarioNames();
  if (r[kScenarioAt] >= names.size()) return false;
  a->mode = r[kModeAt];
  a->mcuVersion = GetU16(&r[kRevisionAt]);
  a->scenario = names[r[kScenarioAt]];
  a->timeScale = GetU32(&r[kScaleAt]) / 1e6;
  a->kestrelVersion = GetText(&r[kVersionAt]);
  a->kestrelCategory = GetText(&r[kCategoryAt]);
  return true;
}

bool PutVersionAndCategory(Report* report, const std::string& version, const std::string& category) {
  std::string data = version + '\0' + category;
  return PutData(report, reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

bool GetVersionAndCategory(const Report& report, std::string* version, std::string* category) {
  const char* data = reinterpret_cast<const char*>(&report[kDataAt]);
  std::string text(data, DataLength(report));
  size_t nul = text.find('\0');
  if (nul == std::string::npos || nul == 0 || nul + 1 >= text.size()) return false;
  *version = text.substr(0, nul);
  *category = text.substr(nul + 1);
  return category->find('\0') == std::string::npos;
}

}  // namespace proto
}  // namespace simmouse
