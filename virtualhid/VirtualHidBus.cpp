#include "virtualhid/VirtualHidBus.h"

#include <setupapi.h>
#include <winioctl.h>

#include <cstring>

#include "virtualhid/VirtualHidControl.h"

namespace vhid {

namespace {

const GUID kControlInterface = VHID_CONTROL_GUID_INIT;

VHID_IDENTITY ToWire(const Identity& id) {
  VHID_IDENTITY w = {};
  w.VendorId = id.vendorId;
  w.ProductId = id.productId;
  w.Revision = id.revision;
  w.Interface = id.interfaceNumber;
  return w;
}

Identity FromWire(const VHID_IDENTITY& w) {
  Identity id;
  id.vendorId = w.VendorId;
  id.productId = w.ProductId;
  id.revision = w.Revision;
  id.interfaceNumber = w.Interface;
  return id;
}

// Reports handed over by one take at most; the driver gives as many as fit.
constexpr size_t kTakeBatch = 64;

}  // namespace

std::wstring FindControlInterface() {
  std::wstring path;
  HDEVINFO set = SetupDiGetClassDevsW(&kControlInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return path;
  SP_DEVICE_INTERFACE_DATA data = {};
  data.cbSize = sizeof data;
  if (SetupDiEnumDeviceInterfaces(set, nullptr, &kControlInterface, 0, &data)) {
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
    std::vector<BYTE> buffer(size ? size : 1);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (size && SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, nullptr)) path = detail->DevicePath;
  }
  SetupDiDestroyDeviceInfoList(set);
  return path;
}

BusControl::~BusControl() { Close(); }

bool BusControl::Open(DWORD timeoutMs) {
  Close();
  DWORD start = GetTickCount();
  for (;;) {
    std::wstring path = FindControlInterface();
    if (!path.empty()) {
      m_handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
      if (m_handle != INVALID_HANDLE_VALUE) {
        m_takeHandle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        m_takeDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (m_takeHandle != INVALID_HANDLE_VALUE && m_takeDone) return true;
      }
      m_error = GetLastError();
      Close();
    } else {
      m_error = ERROR_DEV_NOT_EXIST;
    }
    if (GetTickCount() - start >= timeoutMs) return false;
    Sleep(100);
  }
}

void BusControl::Close() {
  if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
  if (m_takeHandle != INVALID_HANDLE_VALUE) CloseHandle(m_takeHandle);
  if (m_takeDone) CloseHandle(m_takeDone);
  m_handle = m_takeHandle = INVALID_HANDLE_VALUE;
  m_takeDone = nullptr;
}

bool BusControl::Control(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned) {
  DWORD got = 0;
  if (!DeviceIoControl(m_handle, code, const_cast<void*>(in), inSize, out, outSize, &got, nullptr)) {
    m_error = GetLastError();
    return false;
  }
  if (returned) *returned = got;
  return true;
}

bool BusControl::Plug(const Child& child) {
  if (child.reportDescriptor.empty() || child.reportDescriptor.size() > VHID_MAX_DESCRIPTOR ||
      child.location.size() >= VHID_MAX_LOCATION) {
    m_error = ERROR_INVALID_PARAMETER;
    return false;
  }
  // Large for the stack, and the wire format is fixed-size.
  std::vector<BYTE> buffer(sizeof(VHID_CHILD), 0);
  auto* wire = reinterpret_cast<VHID_CHILD*>(buffer.data());
  wire->Size = sizeof(VHID_CHILD);
  wire->Identity = ToWire(child.identity);
  std::memcpy(wire->Location, child.location.c_str(), child.location.size() * sizeof(wchar_t));
  wire->DescriptorLength = static_cast<USHORT>(child.reportDescriptor.size());
  std::memcpy(wire->Descriptor, child.reportDescriptor.data(), child.reportDescriptor.size());
  return Control(IOCTL_VHID_PLUG, wire, sizeof(VHID_CHILD), nullptr, 0, nullptr);
}

bool BusControl::Unplug(const Identity& identity) {
  VHID_IDENTITY wire = ToWire(identity);
  return Control(IOCTL_VHID_UNPLUG, &wire, sizeof wire, nullptr, 0, nullptr);
}

bool BusControl::List(std::vector<Identity>* children) {
  VHID_IDENTITY wire[VHID_MAX_CHILDREN] = {};
  DWORD returned = 0;
  if (!Control(IOCTL_VHID_LIST, nullptr, 0, wire, sizeof wire, &returned)) return false;
  children->clear();
  for (DWORD i = 0; i < returned / sizeof(VHID_IDENTITY); ++i) children->push_back(FromWire(wire[i]));
  return true;
}

bool BusControl::TakeOutputs(std::vector<Report>* outputs, HANDLE stopEvent) {
  outputs->clear();
  if (m_takeHandle == INVALID_HANDLE_VALUE) {
    m_error = ERROR_INVALID_HANDLE;
    return false;
  }
  std::vector<VHID_REPORT> wire(kTakeBatch);
  OVERLAPPED overlapped = {};
  overlapped.hEvent = m_takeDone;
  ResetEvent(m_takeDone);
  DWORD got = 0;
  if (!DeviceIoControl(m_takeHandle, IOCTL_VHID_TAKE_OUTPUT, nullptr, 0, wire.data(),
                       static_cast<DWORD>(wire.size() * sizeof(VHID_REPORT)), &got, &overlapped)) {
    if (GetLastError() != ERROR_IO_PENDING) {
      m_error = GetLastError();
      return false;
    }
    HANDLE waits[2] = {m_takeDone, stopEvent};
    if (WaitForMultipleObjects(stopEvent ? 2 : 1, waits, FALSE, INFINITE) != WAIT_OBJECT_0)
      CancelIo(m_takeHandle);
    // The buffer and the OVERLAPPED stay until the driver is done with them;
    // a take that completed before the cancel keeps its reports.
    if (!GetOverlappedResult(m_takeHandle, &overlapped, &got, TRUE)) {
      m_error = GetLastError();
      return false;
    }
  }
  for (DWORD i = 0; i < got / sizeof(VHID_REPORT); ++i) {
    const VHID_REPORT& w = wire[i];
    size_t length = w.Length <= VHID_MAX_REPORT ? w.Length : VHID_MAX_REPORT;
    outputs->push_back(Report{FromWire(w.Identity), std::vector<uint8_t>(w.Data, w.Data + length)});
  }
  return true;
}

bool BusControl::PushInput(const Report& report) {
  if (report.data.empty() || report.data.size() > VHID_MAX_REPORT) {
    m_error = ERROR_INVALID_PARAMETER;
    return false;
  }
  VHID_REPORT wire = {};
  wire.Identity = ToWire(report.identity);
  wire.Length = static_cast<USHORT>(report.data.size());
  std::memcpy(wire.Data, report.data.data(), report.data.size());
  return Control(IOCTL_VHID_PUSH_INPUT, &wire, sizeof wire, nullptr, 0, nullptr);
}

}  // namespace vhid
