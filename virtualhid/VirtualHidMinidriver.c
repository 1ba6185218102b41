/* The HID minidriver above each child of the virtual HID bus. The HID class
 * driver owns the device and sends its requests here; every one of them goes
 * down to the bus's child, which holds the device's identity and reports. */
#include <ntddk.h>

#include "HidMinidriver.h"

static NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
  HID_DEVICE_EXTENSION* ext = (HID_DEVICE_EXTENSION*)device->DeviceExtension;
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(ext->NextDeviceObject, irp);
}

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
      /* Nothing of our own to start or stop; the class driver deletes the
       * device object after a removal. */
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  return PassDown(device, irp);
}

static NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT device, PIRP irp) { return PassDown(device, irp); }

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT device) {
  /* The class driver has created and attached the device; it only needs to
   * be marked ready. */
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

static VOID NTAPI Unload(PDRIVER_OBJECT driver) {}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  HID_MINIDRIVER_REGISTRATION registration;

  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;

  RtlZeroMemory(&registration, sizeof registration);
  registration.Revision = HID_REVISION;
  registration.DriverObject = driver;
  registration.RegistryPath = registryPath;
  registration.DeviceExtensionSize = 0;
  /* The bus answers reads when it has something to say, not when polled. */
  registration.DevicesArePolled = FALSE;
  return HidRegisterMinidriver(&registration);
}
