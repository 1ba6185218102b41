#include "device/HidDeviceList.h"

#include <cwchar>

const GUID kHidInterfaceClass = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

namespace {

// Copies a text (or multi-string, with its embedded terminators) into a
// 260-unit field when it fits whole with its terminator(s); a text that does
// not fit leaves the field as it was, as a too-small property buffer does.
bool CopyWhole(wchar_t (&field)[HID_TEXT_UNITS], const std::wstring& text, size_t terminators) {
  if (text.size() + terminators > HID_TEXT_UNITS) return false;
  wmemcpy(field, text.data(), text.size());
  for (size_t i = 0; i < terminators; ++i) field[text.size() + i] = L'\0';
  return true;
}

}  // namespace

CHidDeviceList::CHidDeviceList(IHidBackend& backend) : m_aDevices(), m_backend(backend) {}

void CHidDeviceList::EnumerateDevices(GUID interfaceClass) {
  m_backend.EnumerateInterfaces(interfaceClass, [&](const IHidBackend::Interface& found) {
    if (m_nDevices >= MAX_HID_DEVICES) return false;
    HID_DEVICE_ENTRY& entry = m_aDevices[m_nDevices];
    // A path that does not fit is skipped: a cut path could name another device.
    // An interface without a path (its detail could not be read) cannot be opened or matched.
    if (found.path.empty() || !CopyWhole(entry.szDevicePath, found.path, 1)) return true;
    CopyWhole(entry.szDriverKey, found.driverKey, 1);
    CopyWhole(entry.szLocationInfo, found.locationInfo, 1);
    CopyWhole(entry.szDeviceDesc, found.deviceDesc, 1);
    // A multi-string ends in a second terminator unless it already carries one.
    size_t extra = !found.hardwareIds.empty() && found.hardwareIds.back() == L'\0' ? 1 : 2;
    CopyWhole(entry.szHardwareIds, found.hardwareIds, extra);
    entry.guidInterfaceClass = interfaceClass;
    ++m_nDevices;
    return true;
  });
}

BOOL CHidDeviceList::OpenDevice(const wchar_t* path) {
  HANDLE device = m_backend.OpenForWrite(path);
  if (device == INVALID_HANDLE_VALUE) return FALSE;
  USHORT featureLength = 0;
  bool capsRead = m_backend.GetFeatureReportLength(device, &featureLength);
  if (capsRead && (featureLength == 64 || featureLength == 65 || featureLength == 0)) {
    if (m_hDevice != INVALID_HANDLE_VALUE) m_backend.Close(m_hDevice);
    m_hDevice = device;
    return TRUE;
  }
  m_backend.Close(device);
  return FALSE;
}

void CHidDeviceList::RegisterNotification(HWND window) { m_hDevNotify = m_backend.RegisterNotification(window); }
