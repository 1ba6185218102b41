// The transport under Windows: the mouse's programming channel as the HID
// class driver shows it. Found through SetupAPI by its IDs and its vendor
// collection; requests are written as output reports and answers read as
// input reports, both overlapped so that a mouse that says nothing costs a
// time-out, not a thread.
#include <windows.h>
// clang-format off
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}
// clang-format on

#include <cstring>
#include <string>
#include <vector>

#include "standins/MouseLink.h"

namespace standins {

namespace {

using simmouse::proto::Report;
using simmouse::proto::kReportId;
using simmouse::proto::kReportSize;

constexpr USHORT kVendorPage = 0xFF00;
constexpr USHORT kReportLength = static_cast<USHORT>(kReportSize + 1);
// A write that the driver has not taken within this long went nowhere.
constexpr DWORD kWriteMs = 2000;

// The path of the programming channel with these IDs; empty when none shows.
std::wstring FindChannel(uint16_t vid, uint16_t pid) {
  GUID hidClass;
  HidD_GetHidGuid(&hidClass);
  HDEVINFO set = SetupDiGetClassDevsW(&hidClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return std::wstring();
  std::wstring found;
  SP_DEVICE_INTERFACE_DATA item;
  item.cbSize = sizeof item;
  for (DWORD i = 0; found.empty() && SetupDiEnumDeviceInterfaces(set, nullptr, &hidClass, i, &item); ++i) {
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &item, nullptr, 0, &size, nullptr);
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
    std::vector<BYTE> buffer(size);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(set, &item, detail, size, nullptr, nullptr)) continue;
    // No access asked: attributes and capabilities only.
    HANDLE h = CreateFileW(detail->DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) continue;
    HIDD_ATTRIBUTES attributes;
    attributes.Size = sizeof attributes;
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    HIDP_CAPS caps;
    if (HidD_GetAttributes(h, &attributes) && attributes.VendorID == vid && attributes.ProductID == pid &&
        HidD_GetPreparsedData(h, &preparsed)) {
      if (HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS && caps.UsagePage == kVendorPage &&
          caps.OutputReportByteLength == kReportLength && caps.InputReportByteLength == kReportLength)
        found = detail->DevicePath;
      HidD_FreePreparsedData(preparsed);
    }
    CloseHandle(h);
  }
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

class HidTransport : public Transport {
 public:
  HidTransport() {
    m_read.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_write.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  ~HidTransport() override {
    Close();
    if (m_read.hEvent) CloseHandle(m_read.hEvent);
    if (m_write.hEvent) CloseHandle(m_write.hEvent);
  }
  HidTransport(const HidTransport&) = delete;
  HidTransport& operator=(const HidTransport&) = delete;

  bool Present(uint16_t vid, uint16_t pid) override { return !FindChannel(vid, pid).empty(); }

  bool Open(uint16_t vid, uint16_t pid) override {
    Close();
    if (!m_read.hEvent || !m_write.hEvent) return false;
    std::wstring path = FindChannel(vid, pid);
    if (path.empty()) return false;
    m_handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    return m_handle != INVALID_HANDLE_VALUE;
  }

  void Close() override {
    if (m_handle == INVALID_HANDLE_VALUE) return;
    if (m_reading) {
      CancelIo(m_handle);
      DWORD got = 0;
      GetOverlappedResult(m_handle, &m_read, &got, TRUE);
      m_reading = false;
    }
    CloseHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
  }

  Io Send(const Report& report) override {
    if (m_handle == INVALID_HANDLE_VALUE) return Io::Gone;
    BYTE buffer[kReportLength];
    buffer[0] = kReportId;
    std::memcpy(buffer + 1, report.data(), kReportSize);
    ResetEvent(m_write.hEvent);
    DWORD written = 0;
    if (!WriteFile(m_handle, buffer, sizeof buffer, nullptr, &m_write)) {
      if (GetLastError() != ERROR_IO_PENDING) return Io::Gone;
      if (WaitForSingleObject(m_write.hEvent, kWriteMs) != WAIT_OBJECT_0) {
        CancelIo(m_handle);
        GetOverlappedResult(m_handle, &m_write, &written, TRUE);
        // The read shares the handle's cancellation; start it again later.
        if (m_reading) Reap();
        return Io::Gone;
      }
    }
    return GetOverlappedResult(m_handle, &m_write, &written, FALSE) ? Io::Ok : Io::Gone;
  }

  Io Receive(Report* report, uint32_t timeoutMs) override {
    if (m_handle == INVALID_HANDLE_VALUE) return Io::Gone;
    // A read left waiting by an earlier time-out goes on; no answer is lost
    // between two reads.
    if (!m_reading) {
      ResetEvent(m_read.hEvent);
      if (!ReadFile(m_handle, m_buffer, sizeof m_buffer, nullptr, &m_read) && GetLastError() != ERROR_IO_PENDING)
        return Io::Gone;
      m_reading = true;
    }
    if (WaitForSingleObject(m_read.hEvent, timeoutMs) != WAIT_OBJECT_0) {
      if (timeoutMs == 0) return Io::Timeout;  // only looking
      // Silence, unless the device has gone: its handle then fails.
      HIDD_ATTRIBUTES attributes;
      attributes.Size = sizeof attributes;
      return HidD_GetAttributes(m_handle, &attributes) ? Io::Timeout : Io::Gone;
    }
    DWORD got = 0;
    BOOL ok = GetOverlappedResult(m_handle, &m_read, &got, FALSE);
    m_reading = false;
    if (!ok) return Io::Gone;
    // The class driver hands on only whole reports of the one ID; anything
    // else is not an answer, and the caller asks again.
    if (got == kReportLength && m_buffer[0] == kReportId) std::memcpy(report->data(), m_buffer + 1, kReportSize);
    else report->fill(0);
    return Io::Ok;
  }

 private:
  void Reap() {
    DWORD got = 0;
    GetOverlappedResult(m_handle, &m_read, &got, TRUE);
    m_reading = false;
  }

  HANDLE m_handle = INVALID_HANDLE_VALUE;
  OVERLAPPED m_read{};
  OVERLAPPED m_write{};
  bool m_reading = false;
  BYTE m_buffer[kReportLength];
};

}  // namespace

std::unique_ptr<Transport> MakeTransport() { return std::unique_ptr<Transport>(new HidTransport()); }

}  // namespace standins
