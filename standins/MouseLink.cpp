#include "standins/MouseLink.h"

#include <chrono>
#include <deque>
#include <thread>

namespace standins {

namespace {

using namespace simmouse::proto;
using simmouse::TransferHooks;
using simmouse::TransferResult;

// A mouse that has not answered within a simulated second has stopped
// answering; the link itself is given at least this long in real time.
constexpr double kAnswerMs = 1000.0;
constexpr uint32_t kAnswerFloorMs = 500;
// A re-enumeration shows the new device within this long, in real time.
constexpr uint32_t kReappearMs = 5000;
constexpr uint32_t kPollMs = 10;
// Data reports sent before the mouse is asked to answer: enough to keep the
// link busy while the answer travels, few enough that a fault is heard soon.
constexpr int kWindow = 16;

TransferResult ResultOf(uint8_t status) {
  switch (status) {
    case kOk: return TransferResult::Done;
    case kRefused:
    case kBadRequest: return TransferResult::Refused;
    case kVerifyFailed: return TransferResult::VerifyFailed;
    case kLinkLost: return TransferResult::Disconnected;
    default: return TransferResult::NoDevice;
  }
}

uint64_t NowMs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

}  // namespace

MouseLink::MouseLink() : m_transport(MakeTransport()) {}
MouseLink::MouseLink(std::unique_ptr<Transport> transport) : m_transport(std::move(transport)) {}

bool MouseLink::Find(uint16_t* vid, uint16_t* pid) {
  for (uint16_t p : {simmouse::kAppProductId, simmouse::kBootProductId}) {
    if (m_transport->Present(simmouse::kVendorId, p)) {
      *vid = simmouse::kVendorId;
      *pid = p;
      return true;
    }
  }
  return false;
}

TransferResult MouseLink::Open(uint16_t vid, uint16_t pid) {
  Close();
  if (!m_transport->Open(vid, pid)) return TransferResult::NoDevice;
  m_open = true;
  m_vid = vid;
  m_pid = pid;
  TransferResult r = Identify();
  if (r != TransferResult::Done) Close();
  return r == TransferResult::Unplugged ? TransferResult::NoDevice : r;
}

void MouseLink::Close() {
  if (m_open) m_transport->Close();
  m_open = false;
}

uint32_t MouseLink::AnswerTimeoutMs() const {
  double ms = kAnswerMs * m_identity.timeScale;
  return ms > kAnswerFloorMs ? static_cast<uint32_t>(ms) : kAnswerFloorMs;
}

TransferResult MouseLink::Exchange(Report request, Report* answer) {
  if (!m_open) return TransferResult::NoDevice;
  request[kSequenceAt] = ++m_sequence;
  if (m_transport->Send(request) != Transport::Io::Ok) return TransferResult::Unplugged;
  return Await(request[kCommandAt], request[kSequenceAt], answer);
}

TransferResult MouseLink::Await(uint8_t command, uint8_t sequence, Report* answer) {
  const uint64_t deadline = NowMs() + AnswerTimeoutMs();
  for (;;) {
    uint64_t now = NowMs();
    if (now >= deadline) return TransferResult::Silent;
    Transport::Io io = m_transport->Receive(answer, static_cast<uint32_t>(deadline - now));
    if (io == Transport::Io::Gone) return TransferResult::Unplugged;
    if (io == Transport::Io::Timeout) return TransferResult::Silent;
    // Answers to requests given up on are dropped here.
    if ((*answer)[kCommandAt] == command && ((*answer)[kSequenceAt] == sequence || (*answer)[kStatusAt] != kOk))
      return ResultOf((*answer)[kStatusAt]);
  }
}

TransferResult MouseLink::Identify() {
  Report answer;
  TransferResult r = Exchange(Request(kIdentify, 0), &answer);
  if (r != TransferResult::Done) return r;
  IdentifyAnswer a;
  if (!DecodeIdentify(answer, &a)) return TransferResult::NoDevice;
  m_identity = a;
  return TransferResult::Done;
}

TransferResult MouseLink::Stream(Command command, const uint8_t* code, uint32_t size, const TransferHooks& hooks) {
  int lastPercent = 0;
  if (hooks.progress) hooks.progress(0);
  auto advance = [&](const Report& answer) {
    uint32_t acked = Argument(answer);
    int percent = static_cast<int>(static_cast<uint64_t>(acked > size ? size : acked) * 100 / size);
    for (int p = lastPercent + 1; p <= percent; ++p)
      if (hooks.progress) hooks.progress(p);
    if (percent > lastPercent) lastPercent = percent;
  };
  // The questions not yet answered. A second window goes out while the first
  // one's answer travels, so the mouse never waits for the link.
  std::deque<uint8_t> asked;
  auto awaitOldest = [&]() {
    Report answer;
    TransferResult r = Await(command, asked.front(), &answer);
    asked.pop_front();
    if (r == TransferResult::Done) advance(answer);
    return r;
  };
  uint32_t sent = 0;
  int inFlight = 0;
  while (sent < size) {
    if (hooks.cancelled && hooks.cancelled()) return TransferResult::Cancelled;
    uint32_t n = size - sent < kBlockBytes ? size - sent : static_cast<uint32_t>(kBlockBytes);
    Report request = Request(command, ++m_sequence, sent);
    PutData(&request, code + sent, n);
    sent += n;
    if (++inFlight == kWindow || sent == size) {
      inFlight = 0;
      request[kFlagsAt] |= kFlagAnswer;
      asked.push_back(request[kSequenceAt]);
    }
    if (m_transport->Send(request) != Transport::Io::Ok) return TransferResult::Unplugged;
    // A fault answers at once; it need not wait for the next question.
    Report early;
    if (m_transport->Receive(&early, 0) == Transport::Io::Ok && early[kCommandAt] == command) {
      if (early[kStatusAt] != kOk) return ResultOf(early[kStatusAt]);
      if (!asked.empty() && early[kSequenceAt] == asked.front()) {
        asked.pop_front();
        advance(early);
      }
    }
    if (asked.size() > 1) {
      TransferResult r = awaitOldest();
      if (r != TransferResult::Done) return r;
    }
  }
  while (!asked.empty()) {
    TransferResult r = awaitOldest();
    if (r != TransferResult::Done) return r;
  }
  return TransferResult::Done;
}

TransferResult MouseLink::ProgramKestrel(const uint8_t* code, uint32_t size, const std::string& version,
                                         const std::string& category, const TransferHooks& hooks) {
  Report begin = Request(kKestrelBegin, 0, size);
  if (!PutVersionAndCategory(&begin, version, category)) return TransferResult::Refused;
  Report answer;
  TransferResult r = Exchange(begin, &answer);
  if (r == TransferResult::Done) r = Stream(kKestrelData, code, size, hooks);
  if (r == TransferResult::Done) r = Exchange(Request(kKestrelEnd, 0), &answer);
  // Whatever ended the transfer short (the host gave up, an answer came past
  // the time-out, a fault), the mouse is told to drop it, or it would stay in
  // the middle of a transfer and refuse the next begin. A mouse that is gone
  // or has finished with the transfer ignores it.
  if (r != TransferResult::Done && m_open) m_transport->Send(Request(kKestrelAbort, ++m_sequence));
  return r;
}

TransferResult MouseLink::ApplyKestrel() {
  Report answer;
  return Exchange(Request(kKestrelApply, 0), &answer);
}

TransferResult MouseLink::Reappear(uint16_t vid, uint16_t pid) {
  const uint64_t deadline = NowMs() + kReappearMs;
  for (;;) {
    if (m_transport->Present(vid, pid)) {
      TransferResult r = Open(vid, pid);
      // Shown a moment before it opens: try again while there is time.
      if (r == TransferResult::Done || NowMs() >= deadline) return r;
    } else if (NowMs() >= deadline) {
      return TransferResult::NoDevice;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
}

TransferResult MouseLink::EnterBootLoader(uint16_t bootVid, uint16_t bootPid) {
  uint16_t vid = 0, pid = 0;
  if (!Find(&vid, &pid)) return TransferResult::NoDevice;
  if (pid == simmouse::kAppProductId) {
    TransferResult r = Open(vid, pid);
    if (r != TransferResult::Done) return r;
    if (m_transport->Send(Request(kMcuEnterBoot, ++m_sequence)) != Transport::Io::Ok) return TransferResult::Unplugged;
    Close();
    // The application resets; whatever comes back, it is the boot loader
    // this mouse has, which must be the one asked for.
    const uint64_t deadline = NowMs() + kReappearMs;
    while (!m_transport->Present(simmouse::kVendorId, simmouse::kBootProductId) && !m_transport->Present(bootVid, bootPid)) {
      if (NowMs() >= deadline) return TransferResult::NoDevice;
      std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
  }
  if (!m_transport->Present(bootVid, bootPid)) return TransferResult::NoDevice;
  TransferResult r = Reappear(bootVid, bootPid);
  if (r != TransferResult::Done) return r;
  return m_identity.mode == kBootLoader ? TransferResult::Done : TransferResult::NoDevice;
}

TransferResult MouseLink::WriteMcu(const uint8_t* code, uint32_t size, const TransferHooks& hooks) {
  Report answer;
  TransferResult r = Exchange(Request(kMcuBegin, 0, size), &answer);
  if (r != TransferResult::Done) return r;
  return Stream(kMcuData, code, size, hooks);
}

TransferResult MouseLink::VerifyMcu(uint32_t checksum) {
  Report answer;
  return Exchange(Request(kMcuVerify, 0, checksum), &answer);
}

TransferResult MouseLink::FinishMcu(uint16_t newVersion) {
  if (!m_open) return TransferResult::NoDevice;
  if (m_transport->Send(Request(kMcuFinish, ++m_sequence, newVersion)) != Transport::Io::Ok)
    return TransferResult::Unplugged;
  // A boot loader that will not finish says why; one that finishes goes away
  // and the application comes back.
  const uint64_t deadline = NowMs() + kReappearMs;
  for (;;) {
    Report answer;
    Transport::Io io = m_transport->Receive(&answer, kPollMs);
    if (io == Transport::Io::Ok && answer[kCommandAt] == kMcuFinish) return ResultOf(answer[kStatusAt]);
    if (io == Transport::Io::Gone || io == Transport::Io::Timeout) {
      if (m_transport->Present(simmouse::kVendorId, simmouse::kAppProductId)) break;
      if (NowMs() >= deadline) return TransferResult::NoDevice;
    }
    if (io == Transport::Io::Gone) std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
  Close();
  return TransferResult::Done;
}

TransferResult MouseLink::AbandonMcu() {
  if (!m_open) return TransferResult::NoDevice;
  Transport::Io io = m_transport->Send(Request(kMcuAbandon, ++m_sequence));
  Close();
  return io == Transport::Io::Ok ? TransferResult::Done : TransferResult::NoDevice;
}

}  // namespace standins
