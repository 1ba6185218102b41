// Stand-in for the Kestrel HID SDK, KestrelHidCoreLib.dll, driving the
// simulated mouse. Every callback runs on the SDK's own thread, and never
// while a lock is held that the callback could need: the application calls
// ApplyNewFirmwareEx from inside its event callback.
//
// Every argument is checked as a strict library would: a wrong kind, target,
// apply argument or handle fails the call with a line on standard output.
// The mouse is reached through its programming channel only (MouseLink); the
// scenario it names when asked who it is makes the SDK behave as less tidy
// real ones do: more kinds of events, early outcomes, events after closing,
// progress that never ends.
#define KESTREL_BUILDING_SDK
#include "vendor/KestrelHidCore.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/Format.h"
#include "standins/FirmwareFormat.h"
#include "standins/KestrelRuntime.h"
#include "standins/KestrelSdkStandIn.h"
#include "standins/MouseLink.h"

namespace {

// The handle's low 16 bits are what callers pass back; the high bits carry a
// session number, which callers drop.
constexpr uint16_t kHandle = 0x2A01;
// The only values the mouse's chip takes.
constexpr int32_t kKind = 2;
constexpr int32_t kTarget = 12;
constexpr int32_t kApplyArg = 20;
// How long, in simulated ms, a closed SDK of the late-events scenario goes on
// reporting, and how often.
constexpr double kLateReportMs = 8000.0;
constexpr double kLateIntervalMs = 250.0;
// How long, in simulated ms, the first closed session of the late-retry
// scenario goes on reporting: past the pause before the next attempt, its
// initialisation and well into its wait.
constexpr double kStrayReportMs = 30000.0;
// The chatty scenario's progress interval, simulated ms.
constexpr double kChattyIntervalMs = 1000.0;

struct Job {
  enum Kind { Event, Log, Transfer, Apply } kind = Event;
  SdkEventRecord record{};
  std::string text;
};

struct Session {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Job> jobs;        // guarded by mutex
  std::atomic<bool> stop{false};
  SdkLogCallback log = nullptr;
  SdkEventCallback event = nullptr;
  uint16_t vid = 0, pid = 0;
  // What the mouse said at initialisation.
  std::string scenario;
  double timeScale = 1.0;
  // Guarded by mutex:
  int32_t target = 0;
  std::string imagePath;
  bool transferQueued = false;
  bool imagePending = false;  // transferred and verified, waiting for ApplyNewFirmwareEx
  std::string pendingVersion, pendingCategory;
};

// Guards the two below; never held while a callback runs or a thread is joined.
std::mutex g_mutex;
std::shared_ptr<Session> g_session;
std::thread* g_thread = nullptr;  // kept on the heap: a process may end without closeKestrelSDK
uint32_t g_sessionNumber = 0;
// The late-events scenario's reporter after a close, and its stop word.
std::thread* g_lateThread = nullptr;
std::atomic<bool> g_lateStop{false};
// Set while the late-retry scenario's reporter runs, which the next
// initialisation does not stop.
bool g_lateOutlastsInit = false;

// A wrong argument: the call fails, and says so where a developer looks.
int32_t Wrong(const char* function, const char* what, long value) {
  std::printf("KestrelHidCore: %s: wrong %s %ld, call refused\n", function, what, value);
  std::fflush(stdout);
  return KESTREL_E_INVALID;
}

std::shared_ptr<Session> Current() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_session;
}

// The session that `handle` belongs to, or null.
std::shared_ptr<Session> ForHandle(const char* function, uint16_t handle) {
  if (handle != kHandle) {
    Wrong(function, "handle", handle);
    return nullptr;
  }
  return Current();
}

void Queue(Session& s, Job job) {
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.jobs.push_back(std::move(job));
  }
  s.wake.notify_one();
}

void QueueLog(Session& s, const std::string& text) {
  Job j;
  j.kind = Job::Log;
  j.text = text;
  Queue(s, std::move(j));
}

SdkEventRecord MakeEvent(int32_t status, int32_t msgID, const std::string& msg, double value1 = 0,
                         double value2 = 0) {
  SdkEventRecord r;
  std::memset(&r, 0, sizeof r);
  r.status = status;
  r.msgID = msgID;
  r.value1 = value1;
  r.value2 = value2;
  size_t n = msg.size() < sizeof r.msg - 1 ? msg.size() : sizeof r.msg - 1;
  std::memcpy(r.msg, msg.data(), n);
  return r;
}

void QueueEvent(Session& s, int32_t status, int32_t msgID, const std::string& msg) {
  Job j;
  j.kind = Job::Event;
  j.record = MakeEvent(status, msgID, msg);
  Queue(s, std::move(j));
}

// On the SDK thread: these call straight out.
void Emit(Session& s, int32_t status, int32_t msgID, const std::string& msg, double value1 = 0,
          double value2 = 0) {
  if (s.event && !s.stop) s.event(MakeEvent(status, msgID, msg, value1, value2));
}
void EmitLog(Session& s, const std::string& text) {
  if (s.log && !s.stop) s.log(0, text.c_str());
}

// Images are a few hundred KiB; a file far larger is not one and is not read
// into memory.
constexpr size_t kMaxImageBytes = 16u << 20;

// Through the vendor's runtime library, as the SDK reads every file.
bool ReadImage(const char* path, std::vector<uint8_t>* bytes) {
  for (size_t capacity = size_t(1) << 20; capacity <= kMaxImageBytes; capacity *= 2) {
    bytes->resize(capacity);
    uint32_t size = 0;
    const int32_t result = KestrelReadFile(path, bytes->data(), static_cast<uint32_t>(capacity), &size);
    if (result == 1) continue;  // larger: again with room for it
    bytes->resize(result == 0 ? size : 0);
    return result == 0;
  }
  bytes->clear();
  return false;
}

// The chatty scenario: progress that climbs to 37 and stays there, every
// second, until the SDK is closed. Nothing reaches the mouse.
void RunChatty(Session& s) {
  const auto interval = std::chrono::microseconds(static_cast<int64_t>(kChattyIntervalMs * 1000.0 * s.timeScale));
  for (int percent = 0; !s.stop; percent = percent < 37 ? percent + 1 : 37) {
    Emit(s, SDK_STATUS_NOTIFY, SDK_MSG_DFU_PROGRESS, FormatTextA("%d", percent));
    std::unique_lock<std::mutex> lock(s.mutex);
    s.wake.wait_for(lock, interval, [&] { return s.stop.load(); });
  }
}

// The late-events scenario after a close: outcomes and progress, as from an
// SDK whose thread does not stop when told. The late-retry scenario's first
// session reports only success, for longer.
void ReportLate(SdkEventCallback event, bool successOnly, double scale) {
  const int reports = static_cast<int>((successOnly ? kStrayReportMs : kLateReportMs) / kLateIntervalMs);
  const int32_t statuses[] = {SDK_STATUS_CONNECT, SDK_STATUS_SUCCESS, SDK_STATUS_CANCEL, SDK_STATUS_DISCONNECT,
                              SDK_STATUS_TIMEOUT};
  for (int i = 0; i < reports && !g_lateStop; ++i) {
    if (i % 2 == 0)
      event(MakeEvent(SDK_STATUS_NOTIFY, SDK_MSG_DFU_PROGRESS, i % 4 == 0 ? "100" : "20"));
    else
      event(MakeEvent(successOnly ? SDK_STATUS_SUCCESS : statuses[(i / 2) % 5], 0, "late"));
    std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(kLateIntervalMs * 1000.0 * scale)));
  }
}

void StopLateReports() {
  std::thread* t = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    t = g_lateThread;
    g_lateThread = nullptr;
  }
  if (!t) return;
  g_lateStop = true;
  if (t->joinable()) t->join();
  delete t;
  g_lateStop = false;
  std::lock_guard<std::mutex> lock(g_mutex);
  g_lateOutlastsInit = false;
}

void RunTransfer(Session& s) {
  std::string path;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    path = s.imagePath;
    s.imagePending = false;
  }
  // The whole image is read and checked before the first byte goes out.
  std::vector<uint8_t> bytes;
  fwformat::KestrelImage image;
  if (!ReadImage(path.c_str(), &bytes)) {
    EmitLog(s, FormatTextA("DFU: cannot read %s", path.c_str()));
    Emit(s, SDK_STATUS_TIMEOUT2, 0, "image not readable");
    return;
  }
  fwformat::FormatError err = fwformat::ParseBin(bytes.data(), bytes.size(), &image);
  if (err != fwformat::FormatError::None) {
    EmitLog(s, FormatTextA("DFU: image rejected (%s)", fwformat::FormatErrorName(err)));
    Emit(s, SDK_STATUS_TIMEOUT2, 0, "invalid image");
    return;
  }
  standins::MouseLink link;
  if (link.Open(s.vid, s.pid) != simmouse::TransferResult::Done) {
    EmitLog(s, "DFU: device gone");
    Emit(s, SDK_STATUS_CANCEL, 0, "device not found");
    return;
  }
  const std::string category = link.identity().kestrelCategory;
  if (image.category != category) {
    EmitLog(s, FormatTextA("DFU: image is for a %s, device is a %s", image.category.c_str(), category.c_str()));
    Emit(s, SDK_STATUS_TIMEOUT2, 0, "image not for this device");
    return;
  }

  if (s.scenario == "chatty") {
    RunChatty(s);
    return;
  }
  if (s.scenario == "late-retry") {
    // The first attempt times out; the next one hears nothing from the device.
    bool first;
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      first = !g_lateOutlastsInit;
    }
    if (first) Emit(s, SDK_STATUS_TIMEOUT, 0, "verify timeout");
    return;
  }
  const bool all = s.scenario == "all-events";
  if (all) {
    // The USB MCU is switched to its programming mode and the link comes up.
    Emit(s, SDK_STATUS_ANSWER, SDK_MSG_IAP_MODE_SET, "IAP");
    Emit(s, SDK_STATUS_NOTIFY, SDK_MSG_LEA_REMOTE_CONNECTED, "", 2.9, kHandle);
    Emit(s, SDK_STATUS_CONNECT, 0, "connected");
  }
  EmitLog(s, FormatTextA("DFU: sending %s image %s, %u bytes", image.category.c_str(), image.version.c_str(),
                         static_cast<unsigned>(image.code.size())));
  simmouse::TransferHooks hooks;
  hooks.progress = [&s, all](int percent) {
    Emit(s, SDK_STATUS_NOTIFY, SDK_MSG_DFU_PROGRESS, FormatTextA("%d", percent));
    if (!all) return;
    // Interim states and notices a real SDK sends that mean nothing here.
    if (percent == 25 || percent == 75) Emit(s, 6, 0, "busy");
    if (percent == 40) Emit(s, SDK_STATUS_NOTIFY, 10001, "notice");
    if (percent == 60) Emit(s, 12, 0, "vendor status");
    if (percent == 80) Emit(s, SDK_STATUS_ANSWER, 30099, "answer");
  };
  hooks.cancelled = [&s] { return s.stop.load(); };
  simmouse::TransferResult r = link.ProgramKestrel(image.code.data(), static_cast<uint32_t>(image.code.size()),
                                                   image.version, image.category, hooks);
  EmitLog(s, FormatTextA("DFU: transfer %s", simmouse::TransferResultName(r)));
  switch (r) {
    case simmouse::TransferResult::Done: {
      std::lock_guard<std::mutex> lock(s.mutex);
      s.imagePending = true;
      s.pendingVersion = image.version;
      s.pendingCategory = image.category;
    }
      if (all) Emit(s, SDK_STATUS_NOTIFY, SDK_MSG_LEA_REMOTE_DISCONNECTED, "", 2.0, kHandle);
      Emit(s, SDK_STATUS_READY_TO_APPLY, 0, "ready to apply");
      break;
    case simmouse::TransferResult::NoDevice:
    case simmouse::TransferResult::Unplugged: Emit(s, SDK_STATUS_CANCEL, 0, "device disconnected"); break;
    case simmouse::TransferResult::Disconnected: Emit(s, SDK_STATUS_DISCONNECT, 0, "link lost"); break;
    case simmouse::TransferResult::Refused: Emit(s, SDK_STATUS_TIMEOUT2, 0, "image refused"); break;
    case simmouse::TransferResult::VerifyFailed:
    case simmouse::TransferResult::StoreError: Emit(s, SDK_STATUS_TIMEOUT, 0, "verify timeout"); break;
    case simmouse::TransferResult::Silent:     // the device says nothing more
    case simmouse::TransferResult::Cancelled:  // closing: nobody listens
      break;
  }
}

void RunApply(Session& s) {
  std::string version, category;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.imagePending) {
      version = s.pendingVersion;  // never empty: the image format requires a version
      category = s.pendingCategory;
      s.imagePending = false;
    }
  }
  if (version.empty()) {
    EmitLog(s, "DFU: nothing to apply");
    return;
  }
  standins::MouseLink link;
  if (link.Open(s.vid, s.pid) != simmouse::TransferResult::Done || link.ApplyKestrel() != simmouse::TransferResult::Done) {
    EmitLog(s, "DFU: device gone before the new image was applied");
    Emit(s, SDK_STATUS_CANCEL, 0, "device disconnected");
    return;
  }
  EmitLog(s, FormatTextA("DFU: image %s applied", version.c_str()));
  Emit(s, SDK_STATUS_SUCCESS, 0, "DFU success");
}

void EventThread(std::shared_ptr<Session> s) {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(s->mutex);
      s->wake.wait(lock, [&] { return s->stop || !s->jobs.empty(); });
      if (s->stop) return;
      job = std::move(s->jobs.front());
      s->jobs.pop_front();
    }
    switch (job.kind) {
      case Job::Event:
        if (s->event && !s->stop) s->event(job.record);
        break;
      case Job::Log: EmitLog(*s, job.text); break;
      case Job::Transfer:
        RunTransfer(*s);
        {
          std::lock_guard<std::mutex> lock(s->mutex);
          s->transferQueued = false;
        }
        break;
      case Job::Apply: RunApply(*s); break;
    }
  }
}

// Ends the running session, if any. The thread is joined unless this is the
// thread itself (closing from inside a callback), which then ends on return.
// A session of the late-events scenario goes on reporting from a thread of
// its own.
void StopSession() {
  std::shared_ptr<Session> s;
  std::thread* t = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    s.swap(g_session);
    t = g_thread;
    g_thread = nullptr;
  }
  if (s) {
    {
      std::lock_guard<std::mutex> lock(s->mutex);
      s->stop = true;
    }
    s->wake.notify_all();
  }
  if (t) {
    if (t->get_id() == std::this_thread::get_id())
      t->detach();
    else if (t->joinable())
      t->join();
    delete t;
  }
  bool stray = false;
  if (s && s->scenario == "late-retry") {
    std::lock_guard<std::mutex> lock(g_mutex);
    stray = !g_lateOutlastsInit;  // after the first session only
  }
  if (s && (s->scenario == "late-events" || stray) && s->event) {
    StopLateReports();
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lateOutlastsInit = stray;
    try {
      g_lateThread = new std::thread(ReportLate, s->event, stray, s->timeScale);
    } catch (...) {
      g_lateThread = nullptr;
    }
  }
}

bool CheckParams(const char* function, const SdkInitParams& params) {
  if (params.kind != kKind) return Wrong(function, "kind", params.kind), false;
  if (params.target != kTarget) return Wrong(function, "target", params.target), false;
  return true;
}

}  // namespace

void VENDOR_CALL KestrelStandInEndLateReports(void) { StopLateReports(); }

int32_t VENDOR_CALL GetDfuDeviceBinInfoEx(const char* path, DfuBinInfo* info) {
  if (!path || !info) return KESTREL_BIN_E_ARGS;
  std::vector<uint8_t> bytes;
  if (!ReadImage(path, &bytes)) return KESTREL_BIN_E_OPEN;
  fwformat::KestrelImage image;
  if (fwformat::ParseBin(bytes.data(), bytes.size(), &image) != fwformat::FormatError::None)
    return KESTREL_BIN_E_FORMAT;
  std::memset(info, 0, sizeof *info);
  // The format keeps both texts within the record's fields.
  std::memcpy(info->product_category, image.category.data(), image.category.size());
  std::memcpy(info->version, image.version.data(), image.version.size());
  return 0;
}

int32_t VENDOR_CALL InitializeKestrelSDKEx(SdkInitParams params) {
  // A caller may initialise again without closing first.
  StopSession();
  bool outlasts;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    outlasts = g_lateOutlastsInit;
  }
  if (!outlasts) StopLateReports();
  if (!params.event) return KESTREL_E_INVALID;
  if (!CheckParams("InitializeKestrelSDKEx", params)) return KESTREL_E_INVALID;
  standins::MouseLink link;
  if (link.Open(params.vid, params.pid) != simmouse::TransferResult::Done) return KESTREL_E_NO_DEVICE;

  auto s = std::make_shared<Session>();
  s->scenario = link.identity().scenario;
  s->timeScale = link.identity().timeScale;
  s->log = params.log;
  s->event = params.event;
  s->vid = params.vid;
  s->pid = params.pid;
  QueueLog(*s, FormatTextA("KestrelHidCore: opened %04X:%04X (kind %d, target %d)", params.vid, params.pid,
                           params.kind, params.target));
  std::thread* t = nullptr;
  try {
    t = new std::thread(EventThread, s);
  } catch (...) {
    delete t;
    return KESTREL_E_THREAD;
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  g_session = s;
  g_thread = t;
  ++g_sessionNumber;
  return 0;
}

int32_t VENDOR_CALL GetDeviceHandleEx(SdkInitParams params) {
  if (!CheckParams("GetDeviceHandleEx", params)) return KESTREL_E_INVALID;
  std::shared_ptr<Session> s = Current();
  if (!s || s->vid != params.vid || s->pid != params.pid) return KESTREL_E_NO_DEVICE;
  uint32_t number;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    number = g_sessionNumber;
  }
  return static_cast<int32_t>(((number & 0x7FFFu) << 16) | kHandle);
}

int32_t VENDOR_CALL SetTargetDeviceEx(uint16_t handle, int32_t target) {
  std::shared_ptr<Session> s = ForHandle("SetTargetDeviceEx", handle);
  if (!s) return KESTREL_E_HANDLE;
  if (target != kTarget) return Wrong("SetTargetDeviceEx", "target", target);
  {
    std::lock_guard<std::mutex> lock(s->mutex);
    s->target = target;
  }
  QueueLog(*s, FormatTextA("KestrelHidCore: target %d", target));
  return 0;
}

int32_t VENDOR_CALL RequestDFUInfoEx(uint16_t handle) {
  std::shared_ptr<Session> s = ForHandle("RequestDFUInfoEx", handle);
  if (!s) return KESTREL_E_HANDLE;
  standins::MouseLink link;
  if (link.Open(s->vid, s->pid) != simmouse::TransferResult::Done) {
    QueueEvent(*s, SDK_STATUS_CANCEL, 0, "device not found");
    return KESTREL_E_NO_DEVICE;
  }
  const simmouse::proto::IdentifyAnswer& now = link.identity();
  QueueEvent(*s, SDK_STATUS_ANSWER, SDK_MSG_VERSION_PRODUCT_CATEGORY,
             now.kestrelVersion + "," + now.kestrelCategory);
  if (s->scenario == "all-events") QueueEvent(*s, SDK_STATUS_ANSWER, SDK_MSG_USB_MCU_VERSION, FormatTextA("%04X", now.mcuVersion));
  return 0;
}

int32_t VENDOR_CALL SetDfuDeviceFilepathEx(uint16_t handle, const char* path) {
  std::shared_ptr<Session> s = ForHandle("SetDfuDeviceFilepathEx", handle);
  if (!s) return KESTREL_E_HANDLE;
  if (!path) return KESTREL_E_INVALID;
  {
    std::lock_guard<std::mutex> lock(s->mutex);
    s->imagePath = path;
  }
  QueueLog(*s, FormatTextA("KestrelHidCore: image %s", path));
  // An SDK that decides at once, before any transfer.
  if (int early = simmouse::EarlyStatusOf(s->scenario)) QueueEvent(*s, early, 0, "early outcome");
  return 0;
}

int32_t VENDOR_CALL StartDataTransferEx(uint16_t handle) {
  std::shared_ptr<Session> s = ForHandle("StartDataTransferEx", handle);
  if (!s) return KESTREL_E_HANDLE;
  {
    std::lock_guard<std::mutex> lock(s->mutex);
    if (s->imagePath.empty() || s->transferQueued) return KESTREL_E_STATE;
    s->transferQueued = true;
  }
  Job j;
  j.kind = Job::Transfer;
  Queue(*s, std::move(j));
  return 0;
}

int32_t VENDOR_CALL ApplyNewFirmwareEx(uint16_t handle, int32_t arg) {
  std::shared_ptr<Session> s = ForHandle("ApplyNewFirmwareEx", handle);
  if (!s) return KESTREL_E_HANDLE;
  if (arg != kApplyArg) return Wrong("ApplyNewFirmwareEx", "argument", arg);
  Job j;
  j.kind = Job::Apply;
  Queue(*s, std::move(j));
  return 0;
}

int32_t VENDOR_CALL closeKestrelSDK(void) {
  StopSession();
  return 0;
}
