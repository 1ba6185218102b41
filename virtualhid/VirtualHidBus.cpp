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
      if (m_handle != INVALID_HANDLE_VALUE) return true;
      m_error = GetLastError();
    } else {
      m_error = ERROR_DEV_NOT_EXIST;
    }
    if (GetTickCount() - start >= timeoutMs) return false;
    Sleep(100);
  }
}

void BusControl::Close() {
  if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
  m_handle = INVALID_HANDLE_VALUE;
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
  for (DWORD i = 0; i < returned / sizeof(VHID_IDENTITY); ++i) {
    Identity id;
    id.vendorId = wire[i].VendorId;
    id.productId = wire[i].ProductId;
    id.revision = wire[i].Revision;
    id.interfaceNumber = wire[i].Interface;
    children->push_back(id);
  }
  return true;
}

}  // namespace vhid
