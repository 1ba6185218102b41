// Finding the mouse among the HID interfaces and following its arrival and
// removal: the ready and absent states of the window.
#include <algorithm>
#include <cwctype>
#include <memory>
#include <vector>

#include "device/Version.h"
#include "resources/resource.h"
#include "ui/MainDialogLogic.h"
#include "update/Progress.h"

// Set while a scan enumerates, so that a scan started meanwhile does not enumerate again.
bool g_bScanning = false;

namespace {

constexpr UINT kDbtDeviceArrival = 0x8000;
constexpr UINT kDbtDeviceRemoveComplete = 0x8004;
constexpr DWORD kDbtDevtypDeviceInterface = 5;

std::wstring UpperCase(const wchar_t* text) {
  std::wstring out(text);
  for (wchar_t& c : out) c = static_cast<wchar_t>(std::towupper(c));
  return out;
}

// StrStrIW's test: does text contain pattern, ignoring case.
bool ContainsNoCase(const wchar_t* text, const std::wstring& pattern) {
  if (!text) return false;
  return UpperCase(text).find(UpperCase(pattern.c_str())) != std::wstring::npos;
}

// The device instance an interface path belongs to: the instance part of
// "\\?\HID#<ids>#<instance>#<class>" without its last field, the number of
// the collection. A path of another shape gives the empty key.
std::wstring DeviceInstanceKey(const std::wstring& path) {
  const size_t first = path.find(L'#');
  const size_t second = first == std::wstring::npos ? first : path.find(L'#', first + 1);
  const size_t third = second == std::wstring::npos ? second : path.find(L'#', second + 1);
  if (third == std::wstring::npos) return std::wstring();
  const std::wstring instance = path.substr(second + 1, third - second - 1);
  const size_t last = instance.rfind(L'&');
  return last == std::wstring::npos ? instance : instance.substr(0, last);
}

}  // namespace

int CMainDialogLogic::CountMatchingMice() {
  std::vector<std::wstring> mice;
  m_hid.EnumerateInterfaces(kHidInterfaceClass, [&](const IHidBackend::Interface& i) {
    const std::wstring path = UpperCase(i.path.c_str());
    if (path.find(m_settings.m_strDevicePattern) == std::wstring::npos) return true;
    const std::wstring key = DeviceInstanceKey(path);
    if (std::find(mice.begin(), mice.end(), key) == mice.end()) mice.push_back(key);
    return true;
  });
  return static_cast<int>(mice.size());
}

void CMainDialogLogic::ScanDevices() {
  // A fresh list each scan; on the heap, since it is about 330 KiB.
  auto list = std::make_unique<CHidDeviceList>(m_hid);
  if (!g_bScanning) {
    g_bScanning = true;
    list->EnumerateDevices(kHidInterfaceClass);
    g_bScanning = false;
  }
  for (int i = 0; i < list->m_nDevices; ++i) CheckDeviceEntry(list->m_aDevices[i]);
}

BOOL CMainDialogLogic::CheckDeviceEntry(const HID_DEVICE_ENTRY& entry) {
  std::wstring path = UpperCase(entry.szDevicePath);
  if (path.find(m_settings.m_strDevicePattern) == std::wstring::npos) return FALSE;
  // Every matching entry refreshes the version, whether or not it is recorded.
  m_strDeviceVersion = GetDeviceRevision(entry.szHardwareIds);
  m_dwDeviceVersion = RevisionToNumber(m_strDeviceVersion);
  if (path == m_strDevicePath) return FALSE;
  if (!m_strDevicePath.empty()) return FALSE;
  if (!m_DeviceList.OpenDevice(entry.szDevicePath)) return FALSE;
  m_strDevicePath = path;
  m_hid.Close(m_DeviceList.m_hDevice);
  m_DeviceList.m_hDevice = INVALID_HANDLE_VALUE;
  // A device first recorded during or after an update is not offered one.
  if (IsIdle() && !m_bUpdateStarted.load()) ShowDeviceReady();
  return TRUE;
}

void CMainDialogLogic::ShowDeviceReady() {
  SetVersionText(m_view, IDC_DEVICE_VERSION, m_strDeviceVersion);
  m_view.EnableUpdateButton(true);
  m_view.SetUpdateAppearance(IDB_PNG_READY, IDB_PNG_READY, RGB(255, 255, 255), nullptr, nullptr);
}

bool CMainDialogLogic::IsIdle() const {
  // The state word reads 0 from the worker's start until its first report;
  // the running flag covers that gap.
  return g_iUpdateState.load() == 0 && !IsWorkerRunning();
}

BOOL CMainDialogLogic::HandleDeviceChange(UINT eventCode, DWORD deviceType, const wchar_t* name) {
  if (deviceType != kDbtDevtypDeviceInterface) return TRUE;
  if (eventCode == kDbtDeviceArrival) {
    OnDeviceArrived(name);
  } else if (eventCode == kDbtDeviceRemoveComplete) {
    if (ContainsNoCase(name, m_settings.m_strDevicePattern) && IsIdle()) ShowDeviceAbsent();
  }
  return TRUE;
}

void CMainDialogLogic::OnDeviceArrived(const wchar_t* name) {
  if (!ContainsNoCase(name, m_settings.m_strDevicePattern)) return;
  if (g_iUpdateState.load() == 255) return;
  ScanDevices();
  if (!IsIdle()) return;
  ShowDeviceReady();
}

void CMainDialogLogic::ShowDeviceAbsent() {
  m_view.SetControlText(IDC_DEVICE_VERSION, L"");
  m_view.SetUpdateAppearance(IDB_PNG_INACTIVE, IDB_PNG_INACTIVE, RGB(176, 176, 176), nullptr, nullptr);
  m_view.EnableUpdateButton(false);
}
