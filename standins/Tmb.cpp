// Stand-in for Tmb.dll: the Tamber programming steps, spoken to the mouse's
// boot loader over its programming channel.
#define TMB_BUILDING
#include "standins/TmbApi.h"

#include <memory>
#include <mutex>

#include "standins/MouseLink.h"

namespace {

using simmouse::TransferResult;

// One programming session at a time, from EnterIsp to ReturnUserMode or
// AbortIsp.
std::mutex g_mutex;
std::unique_ptr<standins::MouseLink> g_session;

int32_t CodeOf(TransferResult r) {
  switch (r) {
    case TransferResult::Done: return TMB_OK;
    case TransferResult::NoDevice: return TMB_E_NO_DEVICE;
    case TransferResult::Unplugged: return TMB_E_GONE;
    case TransferResult::Disconnected: return TMB_E_LINK;
    case TransferResult::Silent: return TMB_E_TIMEOUT;
    case TransferResult::Refused: return TMB_E_REFUSED;
    case TransferResult::VerifyFailed: return TMB_E_VERIFY;
    case TransferResult::Cancelled:
    case TransferResult::StoreError: return TMB_E_LINK;
  }
  return TMB_E_LINK;
}

}  // namespace

int32_t VENDOR_CALL TMB_FindDevice(uint16_t* vid, uint16_t* pid) {
  if (!vid || !pid) return TMB_E_STATE;
  standins::MouseLink link;
  return link.Find(vid, pid) ? TMB_OK : TMB_E_NO_DEVICE;
}

int32_t VENDOR_CALL TMB_EnterIsp(uint16_t bootVid, uint16_t bootPid) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_session.reset(new standins::MouseLink());
  return CodeOf(g_session->EnterBootLoader(bootVid, bootPid));
}

int32_t VENDOR_CALL TMB_WriteCode(const uint8_t* code, uint32_t size, TMB_ProgressFn progress, void* context) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_session || (!code && size)) return TMB_E_STATE;
  simmouse::TransferHooks hooks;
  if (progress) hooks.progress = [=](int percent) { progress(context, percent); };
  return CodeOf(g_session->WriteMcu(code, size, hooks));
}

int32_t VENDOR_CALL TMB_VerifyCode(uint32_t checksum) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_session) return TMB_E_STATE;
  return CodeOf(g_session->VerifyMcu(checksum));
}

int32_t VENDOR_CALL TMB_ReturnUserMode(uint16_t newVersion) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_session) return TMB_E_STATE;
  int32_t r = CodeOf(g_session->FinishMcu(newVersion));
  g_session.reset();
  return r;
}

int32_t VENDOR_CALL TMB_AbortIsp(void) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_session) return TMB_E_STATE;
  int32_t r = CodeOf(g_session->AbandonMcu());
  g_session.reset();
  return r;
}
