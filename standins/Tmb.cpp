// Stand-in for Tmb.dll: the Tamber programming steps, on the simulated mouse.
#define TMB_BUILDING
#include "standins/TmbApi.h"

#include <memory>
#include <mutex>

#include "simmouse/Programmer.h"
#include "simmouse/SimMouse.h"

namespace {

// One programming session at a time, from EnterIsp to ReturnUserMode or
// AbortIsp.
std::mutex g_mutex;
std::unique_ptr<simmouse::Store> g_store;
std::unique_ptr<simmouse::McuProgrammer> g_session;

int32_t CodeOf(simmouse::TransferResult r) {
  switch (r) {
    case simmouse::TransferResult::Done: return TMB_OK;
    case simmouse::TransferResult::NoDevice: return TMB_E_NO_DEVICE;
    case simmouse::TransferResult::Unplugged: return TMB_E_GONE;
    case simmouse::TransferResult::Disconnected: return TMB_E_LINK;
    case simmouse::TransferResult::Silent: return TMB_E_TIMEOUT;
    case simmouse::TransferResult::Refused: return TMB_E_REFUSED;
    case simmouse::TransferResult::VerifyFailed: return TMB_E_VERIFY;
    case simmouse::TransferResult::Cancelled:
    case simmouse::TransferResult::StoreError: return TMB_E_LINK;
  }
  return TMB_E_LINK;
}

// A device that stops answering is given up after this long.
constexpr double kAnswerTimeoutMs = 1000.0;

}  // namespace

int32_t VENDOR_CALL TMB_FindDevice(uint16_t* vid, uint16_t* pid) {
  if (!vid || !pid) return TMB_E_STATE;
  simmouse::Store store;
  return simmouse::CurrentIdentity(store.Load(), vid, pid) ? TMB_OK : TMB_E_NO_DEVICE;
}

int32_t VENDOR_CALL TMB_EnterIsp(uint16_t bootVid, uint16_t bootPid) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_store.reset(new simmouse::Store());
  g_session.reset(new simmouse::McuProgrammer(*g_store));
  return CodeOf(g_session->EnterBootLoader(bootVid, bootPid));
}

int32_t VENDOR_CALL TMB_WriteCode(const uint8_t* code, uint32_t size, TMB_ProgressFn progress, void* context) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_session || (!code && size)) return TMB_E_STATE;
  simmouse::TransferHooks hooks;
  if (progress) hooks.progress = [=](int percent) { progress(context, percent); };
  simmouse::TransferResult r = g_session->Write(code, size, hooks);
  if (r == simmouse::TransferResult::Silent) simmouse::SimSleep(kAnswerTimeoutMs);
  return CodeOf(r);
}

int32_t VENDOR_CALL TMB_VerifyCode(uint32_t checksum) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_session) return TMB_E_STATE;
  return CodeOf(g_session->Verify(checksum));
}

int32_t VENDOR_CALL TMB_ReturnUserMode(uint16_t newVersion) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_session) return TMB_E_STATE;
  int32_t r = CodeOf(g_session->Finish(newVersion));
  g_session.reset();
  g_store.reset();
  return r;
}

int32_t VENDOR_CALL TMB_AbortIsp(void) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_session) return TMB_E_STATE;
  int32_t r = CodeOf(g_session->Abandon());
  g_session.reset();
  g_store.reset();
  return r;
}
