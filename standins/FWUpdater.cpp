// Stand-in for the updater library FWUpdater.dll: reads and checks the
// Tamber package, then programs the mouse's MCU through Tmb.dll.
#define FWUPDATER_BUILDING
#include "standins/FWUpdaterStandIn.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <sys/stat.h>
#endif

#include "standins/FirmwareFormat.h"
#include "standins/MouseLink.h"

namespace {

std::atomic<int32_t> g_lastError{0};
// Vendor ID high, product ID low. Until the caller names the mouse's boot
// loader the library looks for a generic one, which this mouse is not.
constexpr uint32_t kDefaultBootIds = (0x0416u << 16) | 0xB000u;
std::atomic<uint32_t> g_bootIds{kDefaultBootIds};

// Packages are about 90 KiB; anything far larger is not one, and is not read
// into memory.
constexpr uint64_t kMaxPackageBytes = 16u << 20;

int32_t Fail(int32_t code) {
  g_lastError = code;
  return 0;
}

#ifndef _WIN32
std::string ToUtf8(const wchar_t* w) {
  std::string out;
  for (; *w; ++w) {
    uint32_t c = static_cast<uint32_t>(*w);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}
#endif

// The file's bytes, or the code that says why not.
int32_t ReadPackageFile(const wchar_t* path, std::vector<uint8_t>* bytes) {
  if (!path || !*path) return FWU_ERR_FILE_NOT_EXIST;
#ifdef _WIN32
  DWORD attr = GetFileAttributesW(path);
  if (attr == INVALID_FILE_ATTRIBUTES) {
    DWORD e = GetLastError();
    return (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || e == ERROR_INVALID_NAME)
               ? FWU_ERR_FILE_NOT_EXIST
               : FWU_ERR_FILE_OPEN;
  }
  if (attr & FILE_ATTRIBUTE_DIRECTORY) return FWU_ERR_FILE_OPEN;
  HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FWU_ERR_FILE_OPEN;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(h, &size) || static_cast<uint64_t>(size.QuadPart) > kMaxPackageBytes) {
    CloseHandle(h);
    return FWU_ERR_INVALID_FILE;
  }
  bytes->resize(static_cast<size_t>(size.QuadPart));
  DWORD got = 0;
  BOOL ok = bytes->empty() || ReadFile(h, bytes->data(), static_cast<DWORD>(bytes->size()), &got, nullptr);
  CloseHandle(h);
  if (!ok || got != bytes->size()) return FWU_ERR_LOAD_FILE;
  return FWU_OK;
#else
  std::string p = ToUtf8(path);
  struct stat st;
  if (::stat(p.c_str(), &st) != 0) return (errno == ENOENT || errno == ENOTDIR) ? FWU_ERR_FILE_NOT_EXIST : FWU_ERR_FILE_OPEN;
  if (S_ISDIR(st.st_mode)) return FWU_ERR_FILE_OPEN;
  if (static_cast<uint64_t>(st.st_size) > kMaxPackageBytes) return FWU_ERR_INVALID_FILE;
  FILE* f = std::fopen(p.c_str(), "rb");
  if (!f) return FWU_ERR_FILE_OPEN;
  bytes->clear();
  uint8_t buf[8192];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    bytes->insert(bytes->end(), buf, buf + n);
    if (bytes->size() > kMaxPackageBytes) break;
  }
  bool ok = !std::ferror(f);
  std::fclose(f);
  if (!ok) return FWU_ERR_LOAD_FILE;
  if (bytes->size() > kMaxPackageBytes) return FWU_ERR_INVALID_FILE;
  return FWU_OK;
#endif
}

int32_t LoadPackage(const wchar_t* path, fwformat::SfwPackage* package) {
  std::vector<uint8_t> bytes;
  int32_t code = ReadPackageFile(path, &bytes);
  if (code != FWU_OK) return code;
  if (fwformat::ParseSfw(bytes.data(), bytes.size(), package) != fwformat::FormatError::None)
    return FWU_ERR_INVALID_FILE;
  return FWU_OK;
}

// ---- Reaching Tmb.dll -------------------------------------------------------

#ifdef _WIN32
// Tmb.dll from the folder this library was loaded from, bound by name. It is
// released after each update so that its file can be deleted with ours.
class TmbLibrary {
 public:
  TmbLibrary() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&FWU_Update), &self))
      return;
    std::vector<wchar_t> buf(MAX_PATH);
    for (;;) {
      DWORD n = GetModuleFileNameW(self, buf.data(), static_cast<DWORD>(buf.size()));
      if (n == 0) return;
      if (n < buf.size()) break;
      if (buf.size() > 32768) return;
      buf.resize(buf.size() * 2);
    }
    std::wstring dir(buf.data());
    size_t slash = dir.find_last_of(L"\\/");
    dir = slash == std::wstring::npos ? std::wstring() : dir.substr(0, slash + 1);
    m_module = LoadLibraryW((dir + L"Tmb.dll").c_str());
    if (!m_module) return;
    m_api.FindDevice = Bind<PFN_TMB_FindDevice>(TMB_NAME_FINDDEVICE);
    m_api.EnterIsp = Bind<PFN_TMB_EnterIsp>(TMB_NAME_ENTERISP);
    m_api.WriteCode = Bind<PFN_TMB_WriteCode>(TMB_NAME_WRITECODE);
    m_api.VerifyCode = Bind<PFN_TMB_VerifyCode>(TMB_NAME_VERIFYCODE);
    m_api.ReturnUserMode =
        Bind<PFN_TMB_ReturnUserMode>(TMB_NAME_RETURNUSERMODE);
    m_api.AbortIsp = Bind<PFN_TMB_AbortIsp>(TMB_NAME_ABORTISP);
  }
  ~TmbLibrary() {
    if (m_module) FreeLibrary(m_module);
  }
  // Through the generic function type, as GetProcAddress's own type is not
  // the entry point's.
  template <typename T>
  T Bind(const char* name) const {
    return reinterpret_cast<T>(reinterpret_cast<void (*)()>(GetProcAddress(m_module, name)));
  }
  TmbLibrary(const TmbLibrary&) = delete;
  TmbLibrary& operator=(const TmbLibrary&) = delete;
  bool ok() const { return m_module && m_api.complete(); }
  const TmbApi& api() const { return m_api; }

 private:
  HMODULE m_module = nullptr;
  TmbApi m_api;
};
#else
std::mutex g_tmbMutex;
bool g_tmbOverridden = false;
TmbApi g_tmbOverride;

TmbApi LinkedTmb() {
  TmbApi api;
  api.FindDevice = TMB_FindDevice;
  api.EnterIsp = TMB_EnterIsp;
  api.WriteCode = TMB_WriteCode;
  api.VerifyCode = TMB_VerifyCode;
  api.ReturnUserMode = TMB_ReturnUserMode;
  api.AbortIsp = TMB_AbortIsp;
  return api;
}

// Natively the library is linked: the table is filled directly.
class TmbLibrary {
 public:
  TmbLibrary() {
    std::lock_guard<std::mutex> lock(g_tmbMutex);
    m_api = g_tmbOverridden ? g_tmbOverride : LinkedTmb();
  }
  bool ok() const { return m_api.complete(); }
  const TmbApi& api() const { return m_api; }

 private:
  TmbApi m_api;
};
#endif

// ---- Progress ---------------------------------------------------------------

// Reports (7, percent) to the caller. Plainly each value once, rising; in
// the updater-thread scenario each value twice, and once a step back.
struct Progress {
  FWU_ProgressCallback callback = nullptr;
  bool untidy = false;
  bool wentBack = false;
  int last = -1;
  void Report(int percent) {
    if (percent <= last) return;
    last = percent;
    if (!callback) return;
    callback(7, percent);
    if (!untidy) return;
    callback(7, percent);
    if (!wentBack && percent >= 60) {
      wentBack = true;
      callback(7, percent - 7);
    }
  }
};

// The write takes most of the run: its 0 to 100 shows as 2 to 95.
void VENDOR_CALL OnWriteProgress(void* context, int32_t percent) {
  static_cast<Progress*>(context)->Report(2 + percent * 93 / 100);
}

int32_t CodeForWrite(int32_t tmb) {
  switch (tmb) {
    case TMB_E_NO_DEVICE:
    case TMB_E_GONE:
    case TMB_E_LINK: return FWU_ERR_WRITE;
    case TMB_E_TIMEOUT: return FWU_ERR_HANDSHAKE;
    case TMB_E_REFUSED: return FWU_ERR_NOT_FOR_DEVICE;
    case TMB_E_VERIFY: return FWU_ERR_VERIFY;
    default: return FWU_ERR_WRITE;
  }
}

}  // namespace

int VENDOR_CALL FWU_GetDllVersion(void) { return 0x00010000; }

int VENDOR_CALL Set_Bootloader_ID(unsigned short vid, unsigned short pid) {
  g_bootIds = (static_cast<uint32_t>(vid) << 16) | pid;
  return 1;
}

int VENDOR_CALL FWU_GetFileInfo(const wchar_t* path, unsigned short* vid, unsigned short* pid,
                                unsigned int* deviceVersion, unsigned int* fileVersion, unsigned int* reserved1,
                                unsigned int* reserved2) {
  fwformat::SfwPackage package;
  int32_t code = LoadPackage(path, &package);
  if (code != FWU_OK) {
    // No package: no version, so the caller goes on with its own IDs.
    if (fileVersion) *fileVersion = 0;
    return Fail(code);
  }
  if (vid) *vid = package.vid;
  if (pid) *pid = package.pid;
  if (deviceVersion) *deviceVersion = package.deviceVersion;
  if (fileVersion) *fileVersion = package.firmwareVersion;
  if (reserved1) *reserved1 = static_cast<unsigned int>(package.code.size());
  if (reserved2) *reserved2 = package.codeChecksum;
  g_lastError = FWU_OK;
  return 1;
}

namespace {

int RunUpdate(const wchar_t* path, FWU_ProgressCallback callback, bool untidy) {
  g_lastError = FWU_OK;
  // Everything about the package is settled before the mouse is touched.
  fwformat::SfwPackage package;
  int32_t code = LoadPackage(path, &package);
  if (code != FWU_OK) return Fail(code);

  TmbLibrary tmb;
  if (!tmb.ok()) return Fail(FWU_ERR_NO_TMB);
  const TmbApi& api = tmb.api();

  uint16_t vid = 0, pid = 0;
  if (api.FindDevice(&vid, &pid) != TMB_OK) return Fail(FWU_ERR_NO_DEVICE);
  if (vid != package.vid) return Fail(FWU_ERR_WRONG_VID);
  if (pid != package.pid) return Fail(FWU_ERR_WRONG_PID);

  Progress progress;
  progress.callback = callback;
  progress.untidy = untidy;
  progress.Report(0);

  uint32_t boot = g_bootIds;
  int32_t r = api.EnterIsp(static_cast<uint16_t>(boot >> 16), static_cast<uint16_t>(boot));
  if (r != TMB_OK) return Fail(r == TMB_E_NO_DEVICE ? FWU_ERR_NO_HID_DEVICE : FWU_ERR_WRITE);
  progress.Report(1);

  r = api.WriteCode(package.code.data(), static_cast<uint32_t>(package.code.size()), OnWriteProgress, &progress);
  if (r != TMB_OK) {
    // A refusal wrote nothing: hand the mouse back to its old code.
    if (r == TMB_E_REFUSED) api.AbortIsp();
    return Fail(CodeForWrite(r));
  }
  r = api.VerifyCode(package.codeChecksum);
  if (r != TMB_OK) return Fail(CodeForWrite(r));
  progress.Report(97);

  r = api.ReturnUserMode(fwformat::McuVersionOf(package.firmwareVersion));
  if (r != TMB_OK) return Fail(r == TMB_E_GONE ? FWU_ERR_WRITE : FWU_ERR_RETURN_USER);
  progress.Report(100);
  return 1;
}

}  // namespace

// The scenario the mouse names, asked in whichever mode it is; none when
// there is no mouse to ask.
static std::string ScenarioOfTheMouse() {
  standins::MouseLink link;
  uint16_t vid = 0, pid = 0;
  if (!link.Find(&vid, &pid) || link.Open(vid, pid) != simmouse::TransferResult::Done) return "none";
  return link.identity().scenario;
}

int VENDOR_CALL FWU_Update(const wchar_t* path, FWU_ProgressCallback callback) {
  if (ScenarioOfTheMouse() != "updater-thread") return RunUpdate(path, callback, false);
  // The work, and so every report, on a thread of the library's own.
  int result = 0;
  try {
    std::thread worker([&] { result = RunUpdate(path, callback, true); });
    worker.join();
  } catch (...) {
    return Fail(FWU_ERR_WRITE);
  }
  return result;
}

int VENDOR_CALL FWU_Get_FW_ErrorCode(void) { return g_lastError; }

#ifndef _WIN32
UpdaterApi BindLinkedUpdater() {
  UpdaterApi api;
  api.fnFWU_GetFileInfo = FWU_GetFileInfo;
  api.fnFWU_Update = FWU_Update;
  api.fnFWU_Get_FW_ErrorCode = FWU_Get_FW_ErrorCode;
  api.fnSet_Bootloader_ID = Set_Bootloader_ID;
  return api;
}

void FWU_SetTmbApi(const TmbApi* api) {
  std::lock_guard<std::mutex> lock(g_tmbMutex);
  g_tmbOverridden = true;
  g_tmbOverride = api ? *api : TmbApi();
}

void FWU_ForgetBootloaderId() { g_bootIds = kDefaultBootIds; }

void FWU_UseLinkedTmb() {
  std::lock_guard<std::mutex> lock(g_tmbMutex);
  g_tmbOverridden = false;
}
#endif
