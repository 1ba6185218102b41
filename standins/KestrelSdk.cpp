// Stand-in for the Kestrel HID SDK, KestrelHidCoreLib.dll, driving the
// simulated mouse. Every callback runs on the SDK's own thread, and never
// while a lock is held that the callback could need: the application calls
// ApplyNewFirmwareEx from inside its event callback.
#define KESTREL_BUILDING_SDK
#include "vendor/KestrelHidCore.h"

#include <atomic>
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
#include "simmouse/Programmer.h"
#include "simmouse/SimMouse.h"
#include "standins/FirmwareFormat.h"
#include "standins/KestrelSdkStandIn.h"

namespace {

// The handle's low 16 bits are what callers pass back; the high bits carry a
// session number, which callers drop.
constexpr uint16_t kHandle = 0x2A01;

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

std::shared_ptr<Session> Current() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_session;
}

// The session that `handle` belongs to, or null.
std::shared_ptr<Session> ForHandle(uint16_t handle) {
  if (handle != kHandle) return nullptr;
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

SdkEventRecord MakeEvent(int32_t status, int32_t msgID, const std::string& msg) {
  SdkEventRecord r;
  std::memset(&r, 0, sizeof r);
  r.status = status;
  r.msgID = msgID;
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
void Emit(Session& s, int32_t status, int32_t msgID, const std::string& msg) {
  if (s.event && !s.stop) s.event(MakeEvent(status, msgID, msg));
}
void EmitLog(Session& s, const std::string& text) {
  if (s.log && !s.stop) s.log(0, text.c_str());
}

// Images are tens of KiB; a file far larger is not one and is not read
// into memory.
constexpr size_t kMaxImageBytes = 16u << 20;

bool ReadImage(const char* path, std::vector<uint8_t>* bytes) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  bytes->clear();
  uint8_t buf[8192];
  size_t got;
  bool ok = true;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) {
    bytes->insert(bytes->end(), buf, buf + got);
    if (bytes->size() > kMaxImageBytes) {
      ok = false;
      break;
    }
  }
  ok = ok && !std::ferror(f);
  std::fclose(f);
  return ok;
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
  simmouse::Store store;
  simmouse::MouseState now = store.Load();
  if (now.state == simmouse::DeviceState::Unplugged) {
    EmitLog(s, "DFU: device gone");
    Emit(s, SDK_STATUS_CANCEL, 0, "device not found");
    return;
  }
  if (image.category != now.kestrelCategory) {
    EmitLog(s, FormatTextA("DFU: image is for a %s, device is a %s", image.category.c_str(),
                           now.kestrelCategory.c_str()));
    Emit(s, SDK_STATUS_TIMEOUT2, 0, "image not for this device");
    return;
  }

  EmitLog(s, FormatTextA("DFU: sending %s image %s, %u bytes", image.category.c_str(), image.version.c_str(),
                         static_cast<unsigned>(image.code.size())));
  simmouse::TransferHooks hooks;
  hooks.progress = [&s](int percent) { Emit(s, SDK_STATUS_NOTIFY, SDK_MSG_DFU_PROGRESS, FormatTextA("%d", percent)); };
  hooks.cancelled = [&s] { return s.stop.load(); };
  simmouse::TransferResult r = simmouse::ProgramKestrel(store, static_cast<uint32_t>(image.code.size()), hooks);
  EmitLog(s, FormatTextA("DFU: transfer %s", simmouse::TransferResultName(r)));
  switch (r) {
    case simmouse::TransferResult::Done: {
      std::lock_guard<std::mutex> lock(s.mutex);
      s.imagePending = true;
      s.pendingVersion = image.version;
      s.pendingCategory = image.category;
    }
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
  simmouse::Store store;
  if (!simmouse::ApplyKestrel(store, version, category)) {
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
}

}  // namespace

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
  if (!params.event) return KESTREL_E_INVALID;
  simmouse::Store store;
  uint16_t vid = 0, pid = 0;
  if (!simmouse::CurrentIdentity(store.Load(), &vid, &pid) || vid != params.vid || pid != params.pid)
    return KESTREL_E_NO_DEVICE;

  auto s = std::make_shared<Session>();
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
  std::shared_ptr<Session> s = ForHandle(handle);
  if (!s) return KESTREL_E_HANDLE;
  {
    std::lock_guard<std::mutex> lock(s->mutex);
    s->target = target;
  }
  QueueLog(*s, FormatTextA("KestrelHidCore: target %d", target));
  return 0;
}

int32_t VENDOR_CALL RequestDFUInfoEx(uint16_t handle) {
  std::shared_ptr<Session> s = ForHandle(handle);
  if (!s) return KESTREL_E_HANDLE;
  simmouse::Store store;
  simmouse::MouseState now = store.Load();
  if (now.state == simmouse::DeviceState::Unplugged) {
    QueueEvent(*s, SDK_STATUS_CANCEL, 0, "device not found");
    return KESTREL_E_NO_DEVICE;
  }
  QueueEvent(*s, SDK_STATUS_ANSWER, SDK_MSG_VERSION_PRODUCT_CATEGORY,
             now.kestrelVersion + "," + now.kestrelCategory);
  return 0;
}

int32_t VENDOR_CALL SetDfuDeviceFilepathEx(uint16_t handle, const char* path) {
  std::shared_ptr<Session> s = ForHandle(handle);
  if (!s) return KESTREL_E_HANDLE;
  if (!path) return KESTREL_E_INVALID;
  {
    std::lock_guard<std::mutex> lock(s->mutex);
    s->imagePath = path;
  }
  QueueLog(*s, FormatTextA("KestrelHidCore: image %s", path));
  return 0;
}

int32_t VENDOR_CALL StartDataTransferEx(uint16_t handle) {
  std::shared_ptr<Session> s = ForHandle(handle);
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
  std::shared_ptr<Session> s = ForHandle(handle);
  if (!s) return KESTREL_E_HANDLE;
  Job j;
  j.kind = Job::Apply;
  Queue(*s, std::move(j));
  return 0;
}

int32_t VENDOR_CALL closeKestrelSDK(void) {
  StopSession();
  return 0;
}
