/* The control interface of the virtual HID bus: what a user-mode program sends
 * to plug and unplug children, shared by the bus driver (C, kernel mode) and
 * the programs that drive it (C++, user mode). Include <wdm.h> or <windows.h>
 * with <winioctl.h> first. */
#ifndef ORVANE_VIRTUALHID_CONTROL_H
#define ORVANE_VIRTUALHID_CONTROL_H

/* Interface class of the bus's control device. A program finds it with
 * SetupDiGetClassDevs(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE). */
#define VHID_CONTROL_GUID_INIT \
  { 0x6b1c9f52, 0x3d7e, 0x4c1a, { 0x9e, 0x08, 0x5a, 0x2f, 0x71, 0xc4, 0xd3, 0x96 } }

/* Hardware ID of the root device that the bus driver serves, and the device
 * instance the installer creates for it. */
#define VHID_BUS_HARDWARE_ID L"ROOT\\ORVANE_VHID_BUS"
#define VHID_BUS_INSTANCE_ID L"ROOT\\ORVANE_VHID_BUS\\0000"

/* Enumerator of the children; their compatible ID selects the HID minidriver. */
#define VHID_ENUMERATOR L"ORVANEVHID"
#define VHID_CHILD_COMPATIBLE_ID L"ORVANEVHID\\HID_DEVICE"

#define VHID_IOCTL(n, access) CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x800 + (n), METHOD_BUFFERED, (access))
/* in: VHID_CHILD; fails with STATUS_OBJECT_NAME_COLLISION when a child of the
 * same identity is plugged. */
#define IOCTL_VHID_PLUG VHID_IOCTL(0, FILE_WRITE_DATA)
/* in: VHID_IDENTITY; fails with STATUS_NO_SUCH_DEVICE when none matches. */
#define IOCTL_VHID_UNPLUG VHID_IOCTL(1, FILE_WRITE_DATA)
/* out: VHID_IDENTITY[n], one for each plugged child, in plug order. */
#define IOCTL_VHID_LIST VHID_IOCTL(2, FILE_ANY_ACCESS)
/* out: VHID_REPORT[n]: the output reports that the children's HID devices
 * were given (WriteFile, HidD_SetOutputReport), oldest first, as many as fit
 * and at least one. Waits until there is one. Completes with STATUS_CANCELLED
 * when cancelled or when the handle that sent it is closed, and with
 * STATUS_DEVICE_NOT_CONNECTED when the bus goes away. */
#define IOCTL_VHID_TAKE_OUTPUT VHID_IOCTL(3, FILE_READ_DATA)
/* in: VHID_REPORT: an input report from the child of that identity, for the
 * HID device's readers; STATUS_NO_SUCH_DEVICE when no such child is plugged. */
#define IOCTL_VHID_PUSH_INPUT VHID_IOCTL(4, FILE_WRITE_DATA)

#define VHID_NO_INTERFACE 0xFF
#define VHID_MAX_DESCRIPTOR 1024
#define VHID_MAX_LOCATION 128
#define VHID_MAX_CHILDREN 16
/* The report ID and 64 bytes: the vendor interface's reports. */
#define VHID_MAX_REPORT 65
/* Input reports a child keeps while the class driver has no read waiting;
 * the oldest goes first when it is full. */
#define VHID_INPUT_QUEUE 32
/* Output reports the bus keeps until a program takes them; a report that
 * finds it full is dropped. */
#define VHID_OUTPUT_QUEUE 1024

/* What makes a child itself: its device ID is
 * ORVANEVHID\VID_vvvv&PID_pppp[&MI_ii], its instance ID REV_rrrr&0000. */
typedef struct VHID_IDENTITY {
  USHORT VendorId;
  USHORT ProductId;
  USHORT Revision;
  UCHAR Interface; /* VHID_NO_INTERFACE: not a composite device's interface */
  UCHAR Reserved;
} VHID_IDENTITY;

typedef struct VHID_CHILD {
  ULONG Size; /* sizeof(VHID_CHILD) */
  VHID_IDENTITY Identity;
  /* Shown as the HID device's location information; empty for none. */
  WCHAR Location[VHID_MAX_LOCATION];
  USHORT DescriptorLength;
  UCHAR Descriptor[VHID_MAX_DESCRIPTOR];
} VHID_CHILD;

/* One report on its way to or from a child. Data holds the report ID first
 * (0 for a device without report IDs), then the report's bytes. */
typedef struct VHID_REPORT {
  VHID_IDENTITY Identity;
  USHORT Length; /* bytes of Data in use, 1 to VHID_MAX_REPORT */
  UCHAR Data[VHID_MAX_REPORT];
} VHID_REPORT;

#endif
