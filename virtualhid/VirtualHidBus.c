/* The virtual HID bus: a root-enumerated bus driver whose children are HID
 * devices described by a user-mode program through the bus's control
 * interface. A child carries its identity (vendor, product, interface,
 * revision), its report descriptor and, optionally, a location text; it
 * answers the HID class driver's requests (forwarded by the HID minidriver
 * that the INF loads above it) and nothing more. Output reports go to the bus's
 * output queue, which the program takes from; input reports come from the
 * program. What the device does stays in the program that plugs it in. */
#include <ntddk.h>

#include "HidMinidriver.h"
#include "VirtualHidControl.h"

static const GUID kControlInterface = VHID_CONTROL_GUID_INIT;

typedef struct BUS_FDO BUS_FDO;

/* Both kinds of device object start with this, so a dispatch routine can tell
 * the bus itself from one of its children. */
typedef struct DEVICE_COMMON {
  BOOLEAN IsChild;
} DEVICE_COMMON;

typedef struct BUS_CHILD {
  DEVICE_COMMON Common;
  BUS_FDO* Bus;
  PDEVICE_OBJECT Self;
  /* All flags and both queues are guarded by the bus's lock. */
  BOOLEAN Present;  /* plugged: part of the bus's relations */
  BOOLEAN Reported; /* has been in an answer to the plug-and-play manager */
  BOOLEAN Removed;  /* unplugged or removed: HID requests fail */
  LIST_ENTRY PendingReads;
  /* Input reports pushed while no read waited, oldest first. */
  VHID_REPORT Inputs[VHID_INPUT_QUEUE];
  ULONG InputFirst, InputCount;
  VHID_CHILD Description;
  WCHAR DeviceId[64];
  WCHAR HardwareIds[128];
  WCHAR InstanceId[32];
} BUS_CHILD;

struct BUS_FDO {
  DEVICE_COMMON Common;
  PDEVICE_OBJECT Self;
  PDEVICE_OBJECT RootPdo;
  PDEVICE_OBJECT Lower;
  UNICODE_STRING ControlLink;
  KSPIN_LOCK Lock;
  /* Guarded by the lock: */
  BUS_CHILD* Children[VHID_MAX_CHILDREN]; /* present children, in plug order */
  ULONG ChildCount;
  BOOLEAN Gone; /* removed: nothing more is taken */
  LIST_ENTRY PendingTakes;
  /* Every child's output reports, oldest first, until a program takes them. */
  VHID_REPORT Outputs[VHID_OUTPUT_QUEUE];
  ULONG OutputFirst, OutputCount;
  LONG NextNumber; /* names of child device objects */
};

/* Text helpers: the kernel's formatting functions differ between the C
 * libraries this may be built with, and these few forms are all it needs. */
static WCHAR* Append(WCHAR* out, const WCHAR* text) {
  while (*text) *out++ = *text++;
  *out = 0;
  return out;
}

static WCHAR* AppendHex(WCHAR* out, ULONG value, int digits) {
  static const WCHAR kDigits[] = L"0123456789ABCDEF";
  int i;
  for (i = digits - 1; i >= 0; --i) out[digits - 1 - i] = kDigits[(value >> (4 * i)) & 0xF];
  out[digits] = 0;
  return out + digits;
}

static SIZE_T TextBytes(const WCHAR* text) {
  SIZE_T n = 0;
  while (text[n]) ++n;
  return (n + 1) * sizeof(WCHAR);
}

/* ORVANEVHID\VID_vvvv&PID_pppp[&REV_rrrr][&MI_ii] */
static WCHAR* AppendDeviceId(WCHAR* out, const VHID_IDENTITY* id, BOOLEAN withRevision) {
  out = Append(out, VHID_ENUMERATOR L"\\VID_");
  out = AppendHex(out, id->VendorId, 4);
  out = Append(out, L"&PID_");
  out = AppendHex(out, id->ProductId, 4);
  if (withRevision) {
    out = Append(out, L"&REV_");
    out = AppendHex(out, id->Revision, 4);
  }
  if (id->Interface != VHID_NO_INTERFACE) {
    out = Append(out, L"&MI_");
    out = AppendHex(out, id->Interface, 2);
  }
  return out;
}

static BOOLEAN SameIdentity(const VHID_IDENTITY* a, const VHID_IDENTITY* b) {
  return a->VendorId == b->VendorId && a->ProductId == b->ProductId && a->Revision == b->Revision &&
         a->Interface == b->Interface;
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

/* ---- waiting requests: the class driver's reads, the program's takes ---- */

/* The lock that guards the lists a request of this device waits on. */
static KSPIN_LOCK* WaitLock(PDEVICE_OBJECT device) {
  DEVICE_COMMON* common = (DEVICE_COMMON*)device->DeviceExtension;
  return common->IsChild ? &((BUS_CHILD*)common)->Bus->Lock : &((BUS_FDO*)common)->Lock;
}

static VOID NTAPI CancelWaiting(PDEVICE_OBJECT device, PIRP irp) {
  KSPIN_LOCK* lock = WaitLock(device);
  KIRQL irql;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KeAcquireSpinLock(lock, &irql);
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(lock, irql);
  Complete(irp, STATUS_CANCELLED, 0);
}

/* Call with the lock held: puts the request on `list` (STATUS_PENDING), or
 * gives STATUS_CANCELLED for the caller to complete once it has let go. */
static NTSTATUS WaitLocked(LIST_ENTRY* list, PIRP irp) {
  IoSetCancelRoutine(irp, CancelWaiting);
  if (irp->Cancel && IoSetCancelRoutine(irp, NULL)) return STATUS_CANCELLED;
  /* If the cancel routine already runs it takes the request off this list. */
  IoMarkIrpPending(irp);
  InsertTailList(list, &irp->Tail.Overlay.ListEntry);
  return STATUS_PENDING;
}

/* Call with the lock held: the oldest request on `list` that is not being
 * cancelled, taken off; NULL when there is none. */
static PIRP PopWaitingLocked(LIST_ENTRY* list) {
  while (!IsListEmpty(list)) {
    PLIST_ENTRY entry = RemoveHeadList(list);
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(irp, NULL)) return irp;
    /* Being cancelled: its cancel routine completes it. */
    InitializeListHead(entry);
  }
  return NULL;
}

/* Call with the lock held: moves the waiting requests (those sent through
 * `file` only, unless it is NULL) to `out`. */
static void TakeWaitingLocked(LIST_ENTRY* list, PFILE_OBJECT file, LIST_ENTRY* out) {
  PLIST_ENTRY entry, next;
  for (entry = list->Flink; entry != list; entry = next) {
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    next = entry->Flink;
    if (file && IoGetCurrentIrpStackLocation(irp)->FileObject != file) continue;
    /* One being cancelled stays for its cancel routine to take off. */
    if (!IoSetCancelRoutine(irp, NULL)) continue;
    RemoveEntryList(entry);
    InsertTailList(out, entry);
  }
}

static void CompleteAll(LIST_ENTRY* irps, NTSTATUS status) {
  while (!IsListEmpty(irps)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(irps), IRP, Tail.Overlay.ListEntry);
    Complete(irp, status, 0);
  }
}

/* ---- reports ----------------------------------------------------------- */

/* Gives a read of the class driver one input report. A report ID of 0 means
 * a device without report IDs, whose reports the class driver reads without
 * it. */
static void CompleteRead(PIRP irp, const VHID_REPORT* report) {
  ULONG room = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  ULONG skip = report->Data[0] == 0 ? 1 : 0;
  ULONG n = report->Length - skip;
  if (!irp->UserBuffer) {
    Complete(irp, STATUS_INVALID_PARAMETER, 0);
    return;
  }
  /* A longer report than the device describes: the class driver judges the rest. */
  if (n > room) n = room;
  RtlCopyMemory(irp->UserBuffer, report->Data + skip, n);
  Complete(irp, STATUS_SUCCESS, n);
}

/* Reads wait until an input report comes, or until the device goes away:
 * the class driver keeps one pending at all times. */
static NTSTATUS QueueRead(BUS_CHILD* child, PIRP irp) {
  VHID_REPORT report;
  BOOLEAN queued = FALSE;
  NTSTATUS status;
  KIRQL irql;
  KeAcquireSpinLock(&child->Bus->Lock, &irql);
  if (child->Removed) {
    status = STATUS_DEVICE_NOT_CONNECTED;
  } else if (child->InputCount) {
    report = child->Inputs[child->InputFirst];
    child->InputFirst = (child->InputFirst + 1) % VHID_INPUT_QUEUE;
    --child->InputCount;
    queued = TRUE;
    status = STATUS_SUCCESS;
  } else {
    status = WaitLocked(&child->PendingReads, irp);
  }
  KeReleaseSpinLock(&child->Bus->Lock, irql);
  if (queued) {
    CompleteRead(irp, &report);
    return STATUS_SUCCESS;
  }
  if (status == STATUS_PENDING) return status;
  return Complete(irp, status, 0);
}

/* Call with the bus's lock held: moves as many queued output reports as fit
 * into a take's buffer; gives the bytes filled. */
static ULONG_PTR FillTakeLocked(BUS_FDO* bus, PIRP irp) {
  ULONG room = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength / sizeof(VHID_REPORT);
  VHID_REPORT* out = (VHID_REPORT*)irp->AssociatedIrp.SystemBuffer;
  ULONG n = 0;
  while (n < room && bus->OutputCount) {
    out[n++] = bus->Outputs[bus->OutputFirst];
    bus->OutputFirst = (bus->OutputFirst + 1) % VHID_OUTPUT_QUEUE;
    --bus->OutputCount;
  }
  return n * sizeof(VHID_REPORT);
}

/* Call with the bus's lock held: forgets the queued output reports of one
 * identity, keeping the others in their order. */
static void DropOutputsLocked(BUS_FDO* bus, const VHID_IDENTITY* identity) {
  ULONG i, kept = 0;
  for (i = 0; i < bus->OutputCount; ++i) {
    const VHID_REPORT* r = &bus->Outputs[(bus->OutputFirst + i) % VHID_OUTPUT_QUEUE];
    if (SameIdentity(&r->Identity, identity)) continue;
    if (kept != i) bus->Outputs[(bus->OutputFirst + kept) % VHID_OUTPUT_QUEUE] = *r;
    ++kept;
  }
  bus->OutputCount = kept;
}

/* An output report of a child (WriteFile or HidD_SetOutputReport on its HID
 * device): queued for the program, and accepted at once, as an interrupt OUT
 * endpoint accepts it. A report ID of 0 means a device without report IDs,
 * whose reports the class driver passes without it. */
static NTSTATUS ChildOutput(BUS_CHILD* child, PIRP irp) {
  HID_XFER_PACKET* packet = (HID_XFER_PACKET*)irp->UserBuffer;
  BUS_FDO* bus = child->Bus;
  VHID_REPORT report;
  PIRP take = NULL;
  ULONG_PTR taken = 0;
  BOOLEAN removed;
  ULONG offset;
  KIRQL irql;

  if (!packet || !packet->reportBuffer || !packet->reportBufferLen) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  offset = packet->reportId ? 0 : 1;
  if (packet->reportBufferLen + offset > VHID_MAX_REPORT) return Complete(irp, STATUS_INVALID_BUFFER_SIZE, 0);
  report.Identity = child->Description.Identity;
  report.Length = (USHORT)(packet->reportBufferLen + offset);
  report.Data[0] = packet->reportId;
  RtlCopyMemory(report.Data + offset, packet->reportBuffer, packet->reportBufferLen);

  KeAcquireSpinLock(&bus->Lock, &irql);
  removed = child->Removed;
  /* Full: a program that does not take them loses the newest. */
  if (!removed && bus->OutputCount < VHID_OUTPUT_QUEUE) {
    bus->Outputs[(bus->OutputFirst + bus->OutputCount) % VHID_OUTPUT_QUEUE] = report;
    ++bus->OutputCount;
    if ((take = PopWaitingLocked(&bus->PendingTakes))) taken = FillTakeLocked(bus, take);
  }
  KeReleaseSpinLock(&bus->Lock, irql);
  if (take) Complete(take, STATUS_SUCCESS, taken);
  if (removed) return Complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
  return Complete(irp, STATUS_SUCCESS, packet->reportBufferLen);
}

static void* CopyToPool(const void* data, SIZE_T bytes) {
  void* copy = ExAllocatePool(PagedPool, bytes);
  if (copy) RtlCopyMemory(copy, data, bytes);
  return copy;
}

/* The HID device that the class driver makes of a child keeps its registry
 * key under Enum\HID\<last part of the child's device ID>\<instance ID>, and
 * its location information is read from there. The key is only written once
 * the plug-and-play manager has made it: a key made before would keep the
 * manager from creating the device. So the location shows from the second
 * plugging of an identity in a prefix on. */
static void WriteLocation(BUS_CHILD* child) {
  static const WCHAR kValueName[] = L"LocationInformation";
  WCHAR path[256];
  WCHAR* end = Append(path, L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\HID\\");
  const WCHAR* tail = child->DeviceId;
  const WCHAR* p;
  UNICODE_STRING name, value;
  OBJECT_ATTRIBUTES attributes;
  HANDLE key;

  for (p = child->DeviceId; *p; ++p)
    if (*p == L'\\') tail = p + 1;
  end = Append(end, tail);
  end = Append(end, L"\\");
  Append(end, child->InstanceId);
  RtlInitUnicodeString(&name, path);
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_SET_VALUE, &attributes))) return;
  RtlInitUnicodeString(&value, kValueName);
  if (child->Description.Location[0])
    ZwSetValueKey(key, &value, 0, REG_SZ, child->Description.Location, (ULONG)TextBytes(child->Description.Location));
  else
    ZwDeleteValueKey(key, &value);
  ZwClose(key);
}

/* ---- the children: plug-and-play and HID requests ---------------------- */

static NTSTATUS ChildQueryId(BUS_CHILD* child, PIRP irp, BUS_QUERY_ID_TYPE type) {
  WCHAR compatible[64];
  const WCHAR* id;
  SIZE_T bytes;
  void* copy;

  switch (type) {
    case BusQueryDeviceID:
      id = child->DeviceId;
      bytes = TextBytes(id);
      break;
    case BusQueryInstanceID:
      id = child->InstanceId;
      bytes = TextBytes(id);
      break;
    case BusQueryHardwareIDs: {
      /* A multi-string: each ID with its terminator, and one more. */
      SIZE_T first = TextBytes(child->HardwareIds);
      id = child->HardwareIds;
      bytes = first + TextBytes((const WCHAR*)((const char*)id + first)) + sizeof(WCHAR);
      break;
    }
    case BusQueryCompatibleIDs: {
      WCHAR* end = Append(compatible, VHID_CHILD_COMPATIBLE_ID);
      end[1] = 0;
      id = compatible;
      bytes = TextBytes(compatible) + sizeof(WCHAR);
      break;
    }
    default:
      return irp->IoStatus.Status;
  }
  if (!(copy = CopyToPool(id, bytes))) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Information = (ULONG_PTR)copy;
  return STATUS_SUCCESS;
}

static NTSTATUS ChildQueryText(BUS_CHILD* child, PIRP irp, DEVICE_TEXT_TYPE type) {
  const WCHAR* text;
  void* copy;
  if (type == DeviceTextDescription)
    text = L"Virtual HID device";
  else if (type == DeviceTextLocationInformation && child->Description.Location[0])
    text = child->Description.Location;
  else
    return irp->IoStatus.Status;
  if (!(copy = CopyToPool(text, TextBytes(text)))) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Information = (ULONG_PTR)copy;
  return STATUS_SUCCESS;
}

static NTSTATUS ChildPnp(BUS_CHILD* child, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  LIST_ENTRY reads;
  KIRQL irql;

  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      KeAcquireSpinLock(&child->Bus->Lock, &irql);
      child->Removed = !child->Present;
      KeReleaseSpinLock(&child->Bus->Lock, irql);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE: {
      BOOLEAN gone;
      InitializeListHead(&reads);
      KeAcquireSpinLock(&child->Bus->Lock, &irql);
      child->Removed = TRUE;
      child->InputCount = 0;
      TakeWaitingLocked(&child->PendingReads, NULL, &reads);
      gone = !child->Present;
      KeReleaseSpinLock(&child->Bus->Lock, irql);
      CompleteAll(&reads, STATUS_DEVICE_NOT_CONNECTED);
      if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        Complete(irp, STATUS_SUCCESS, irp->IoStatus.Information);
        /* A child still plugged in stays until it is unplugged or the bus goes. */
        if (gone) IoDeleteDevice(child->Self);
        return STATUS_SUCCESS;
      }
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_ID:
      status = ChildQueryId(child, irp, stack->Parameters.QueryId.IdType);
      break;
    case IRP_MN_QUERY_DEVICE_TEXT:
      status = ChildQueryText(child, irp, stack->Parameters.QueryDeviceText.DeviceTextType);
      break;
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
      caps->Removable = TRUE;
      caps->SurpriseRemovalOK = TRUE;
      caps->SilentInstall = TRUE;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
        PDEVICE_RELATIONS relations = (PDEVICE_RELATIONS)ExAllocatePool(PagedPool, sizeof(DEVICE_RELATIONS));
        if (!relations) {
          status = STATUS_INSUFFICIENT_RESOURCES;
          break;
        }
        ObReferenceObject(child->Self);
        relations->Count = 1;
        relations->Objects[0] = child->Self;
        irp->IoStatus.Information = (ULONG_PTR)relations;
        status = STATUS_SUCCESS;
      }
      break;
    default:
      break;
  }
  return Complete(irp, status, irp->IoStatus.Information);
}

static NTSTATUS ChildHidRequest(BUS_CHILD* child, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const VHID_CHILD* d = &child->Description;
  BOOLEAN removed;
  KIRQL irql;

  if (code == IOCTL_HID_READ_REPORT) return QueueRead(child, irp);

  KeAcquireSpinLock(&child->Bus->Lock, &irql);
  removed = child->Removed;
  KeReleaseSpinLock(&child->Bus->Lock, irql);
  if (removed) return Complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);

  switch (code) {
    case IOCTL_HID_GET_DEVICE_DESCRIPTOR: {
      HID_DESCRIPTOR* out = (HID_DESCRIPTOR*)irp->UserBuffer;
      if (outLength < sizeof(HID_DESCRIPTOR)) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      RtlZeroMemory(out, sizeof(HID_DESCRIPTOR));
      out->bLength = sizeof(HID_DESCRIPTOR);
      out->bDescriptorType = HID_HID_DESCRIPTOR_TYPE;
      out->bcdHID = 0x0111;
      out->bNumDescriptors = 1;
      out->DescriptorList[0].bReportType = HID_REPORT_DESCRIPTOR_TYPE;
      out->DescriptorList[0].wReportLength = d->DescriptorLength;
      return Complete(irp, STATUS_SUCCESS, sizeof(HID_DESCRIPTOR));
    }
    case IOCTL_HID_GET_REPORT_DESCRIPTOR:
      if (outLength < d->DescriptorLength) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      RtlCopyMemory(irp->UserBuffer, d->Descriptor, d->DescriptorLength);
      return Complete(irp, STATUS_SUCCESS, d->DescriptorLength);
    case IOCTL_HID_GET_DEVICE_ATTRIBUTES: {
      HID_DEVICE_ATTRIBUTES* out = (HID_DEVICE_ATTRIBUTES*)irp->UserBuffer;
      if (outLength < sizeof(HID_DEVICE_ATTRIBUTES)) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      RtlZeroMemory(out, sizeof(HID_DEVICE_ATTRIBUTES));
      out->Size = sizeof(HID_DEVICE_ATTRIBUTES);
      out->VendorID = d->Identity.VendorId;
      out->ProductID = d->Identity.ProductId;
      out->VersionNumber = d->Identity.Revision;
      return Complete(irp, STATUS_SUCCESS, sizeof(HID_DEVICE_ATTRIBUTES));
    }
    case IOCTL_HID_GET_FEATURE:
    case IOCTL_HID_GET_INPUT_REPORT: {
      /* No device behind it yet: a report of zeros under the asked-for ID. */
      HID_XFER_PACKET* packet = (HID_XFER_PACKET*)irp->UserBuffer;
      if (!packet || !packet->reportBuffer || !packet->reportBufferLen) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
      RtlZeroMemory(packet->reportBuffer, packet->reportBufferLen);
      packet->reportBuffer[0] = packet->reportId;
      return Complete(irp, STATUS_SUCCESS, packet->reportBufferLen);
    }
    case IOCTL_HID_SET_FEATURE: {
      HID_XFER_PACKET* packet = (HID_XFER_PACKET*)irp->UserBuffer;
      return Complete(irp, STATUS_SUCCESS, packet ? packet->reportBufferLen : 0);
    }
    case IOCTL_HID_SET_OUTPUT_REPORT:
    case IOCTL_HID_WRITE_REPORT:
      return ChildOutput(child, irp);
    case IOCTL_HID_ACTIVATE_DEVICE:
    case IOCTL_HID_DEACTIVATE_DEVICE:
      return Complete(irp, STATUS_SUCCESS, 0);
    default:
      /* No strings, no physical descriptor, no idle notification. */
      return Complete(irp, STATUS_NOT_SUPPORTED, 0);
  }
}

/* ---- the bus: plug-and-play and the control interface ------------------ */

static NTSTATUS Plug(BUS_FDO* bus, const VHID_CHILD* description, ULONG length) {
  WCHAR nameText[40];
  UNICODE_STRING name;
  PDEVICE_OBJECT device;
  BUS_CHILD* child;
  NTSTATUS status = STATUS_SUCCESS;
  WCHAR* end;
  KIRQL irql;
  ULONG i;

  if (length < sizeof(VHID_CHILD) || description->Size != sizeof(VHID_CHILD) || !description->DescriptorLength ||
      description->DescriptorLength > VHID_MAX_DESCRIPTOR)
    return STATUS_INVALID_PARAMETER;

  end = Append(nameText, L"\\Device\\OrvaneVirtualHid");
  AppendHex(end, (ULONG)InterlockedIncrement(&bus->NextNumber), 8);
  RtlInitUnicodeString(&name, nameText);
  status = IoCreateDevice(bus->Self->DriverObject, sizeof(BUS_CHILD), &name, FILE_DEVICE_UNKNOWN,
                          FILE_DEVICE_SECURE_OPEN, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;

  child = (BUS_CHILD*)device->DeviceExtension;
  RtlZeroMemory(child, sizeof(BUS_CHILD));
  child->Common.IsChild = TRUE;
  child->Bus = bus;
  child->Self = device;
  InitializeListHead(&child->PendingReads);
  /* RtlZeroMemory left both report queues empty. */
  RtlCopyMemory(&child->Description, description, sizeof(VHID_CHILD));
  child->Description.Location[VHID_MAX_LOCATION - 1] = 0;
  AppendDeviceId(child->DeviceId, &description->Identity, FALSE);
  end = AppendDeviceId(child->HardwareIds, &description->Identity, TRUE);
  AppendDeviceId(end + 1, &description->Identity, FALSE);
  end = Append(child->InstanceId, L"REV_");
  end = AppendHex(end, description->Identity.Revision, 4);
  Append(end, L"&0000");
  WriteLocation(child);
  device->Flags &= ~DO_DEVICE_INITIALIZING;

  KeAcquireSpinLock(&bus->Lock, &irql);
  for (i = 0; i < bus->ChildCount; ++i)
    if (SameIdentity(&bus->Children[i]->Description.Identity, &description->Identity))
      status = STATUS_OBJECT_NAME_COLLISION;
  if (NT_SUCCESS(status) && bus->ChildCount == VHID_MAX_CHILDREN) status = STATUS_TOO_MANY_NODES;
  if (NT_SUCCESS(status)) {
    child->Present = TRUE;
    bus->Children[bus->ChildCount++] = child;
  }
  KeReleaseSpinLock(&bus->Lock, irql);

  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  IoInvalidateDeviceRelations(bus->RootPdo, BusRelations);
  return STATUS_SUCCESS;
}

static NTSTATUS Unplug(BUS_FDO* bus, const VHID_IDENTITY* identity, ULONG length) {
  BUS_CHILD* child = NULL;
  BOOLEAN neverReported = FALSE;
  LIST_ENTRY reads;
  KIRQL irql;
  ULONG i;

  if (length < sizeof(VHID_IDENTITY)) return STATUS_INVALID_PARAMETER;
  InitializeListHead(&reads);
  KeAcquireSpinLock(&bus->Lock, &irql);
  for (i = 0; i < bus->ChildCount && !child; ++i) {
    if (!SameIdentity(&bus->Children[i]->Description.Identity, identity)) continue;
    child = bus->Children[i];
    for (; i + 1 < bus->ChildCount; ++i) bus->Children[i] = bus->Children[i + 1];
    --bus->ChildCount;
    child->Present = FALSE;
    child->Removed = TRUE;
    neverReported = !child->Reported;
    TakeWaitingLocked(&child->PendingReads, NULL, &reads);
    /* What the unplugged device had not yet said or been told is lost with it. */
    child->InputCount = 0;
    DropOutputsLocked(bus, identity);
  }
  KeReleaseSpinLock(&bus->Lock, irql);
  if (!child) return STATUS_NO_SUCH_DEVICE;

  /* The class driver waits for its read before it lets the device go. */
  CompleteAll(&reads, STATUS_DEVICE_NOT_CONNECTED);
  if (neverReported)
    IoDeleteDevice(child->Self); /* the manager never saw it, so never removes it */
  else
    IoInvalidateDeviceRelations(bus->RootPdo, BusRelations);
  return STATUS_SUCCESS;
}

static NTSTATUS List(BUS_FDO* bus, PIRP irp, ULONG outLength) {
  VHID_IDENTITY* out = (VHID_IDENTITY*)irp->AssociatedIrp.SystemBuffer;
  ULONG i, n;
  KIRQL irql;
  NTSTATUS status = STATUS_SUCCESS;
  KeAcquireSpinLock(&bus->Lock, &irql);
  n = bus->ChildCount;
  if (outLength < n * sizeof(VHID_IDENTITY))
    status = STATUS_BUFFER_TOO_SMALL;
  else
    for (i = 0; i < n; ++i) out[i] = bus->Children[i]->Description.Identity;
  KeReleaseSpinLock(&bus->Lock, irql);
  return Complete(irp, status, NT_SUCCESS(status) ? n * sizeof(VHID_IDENTITY) : 0);
}

/* An input report for the child of that identity: to the class driver's
 * waiting read, or queued until the next one, the oldest going first when
 * the queue is full. */
static NTSTATUS PushInput(BUS_FDO* bus, const VHID_REPORT* report, ULONG length) {
  BUS_CHILD* child = NULL;
  PIRP read = NULL;
  KIRQL irql;
  ULONG i;

  if (length < sizeof(VHID_REPORT) || !report->Length || report->Length > VHID_MAX_REPORT)
    return STATUS_INVALID_PARAMETER;
  KeAcquireSpinLock(&bus->Lock, &irql);
  for (i = 0; i < bus->ChildCount && !child; ++i)
    if (SameIdentity(&bus->Children[i]->Description.Identity, &report->Identity)) child = bus->Children[i];
  if (child && !(read = PopWaitingLocked(&child->PendingReads))) {
    if (child->InputCount == VHID_INPUT_QUEUE) {
      child->InputFirst = (child->InputFirst + 1) % VHID_INPUT_QUEUE;
      --child->InputCount;
    }
    child->Inputs[(child->InputFirst + child->InputCount) % VHID_INPUT_QUEUE] = *report;
    ++child->InputCount;
  }
  KeReleaseSpinLock(&bus->Lock, irql);
  if (!child) return STATUS_NO_SUCH_DEVICE;
  if (read) CompleteRead(read, report);
  return STATUS_SUCCESS;
}

/* Queued output reports at once, or a wait for the next one. */
static NTSTATUS TakeOutput(BUS_FDO* bus, PIRP irp, ULONG outLength) {
  ULONG_PTR taken = 0;
  NTSTATUS status;
  KIRQL irql;

  if (outLength < sizeof(VHID_REPORT)) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
  KeAcquireSpinLock(&bus->Lock, &irql);
  if (bus->Gone) {
    status = STATUS_DEVICE_NOT_CONNECTED;
  } else if (bus->OutputCount) {
    taken = FillTakeLocked(bus, irp);
    status = STATUS_SUCCESS;
  } else {
    status = WaitLocked(&bus->PendingTakes, irp);
  }
  KeReleaseSpinLock(&bus->Lock, irql);
  if (status == STATUS_PENDING) return status;
  return Complete(irp, status, taken);
}

/* The bus goes away: waiting takes end, queued output reports are lost. */
static void EndTakes(BUS_FDO* bus) {
  LIST_ENTRY takes;
  KIRQL irql;
  InitializeListHead(&takes);
  KeAcquireSpinLock(&bus->Lock, &irql);
  bus->Gone = TRUE;
  bus->OutputCount = 0;
  TakeWaitingLocked(&bus->PendingTakes, NULL, &takes);
  KeReleaseSpinLock(&bus->Lock, irql);
  CompleteAll(&takes, STATUS_DEVICE_NOT_CONNECTED);
}

static NTSTATUS BusControl(BUS_FDO* bus, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  void* buffer = irp->AssociatedIrp.SystemBuffer;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_VHID_PLUG:
      return Complete(irp, Plug(bus, (const VHID_CHILD*)buffer, inLength), 0);
    case IOCTL_VHID_UNPLUG:
      return Complete(irp, Unplug(bus, (const VHID_IDENTITY*)buffer, inLength), 0);
    case IOCTL_VHID_LIST:
      return List(bus, irp, stack->Parameters.DeviceIoControl.OutputBufferLength);
    case IOCTL_VHID_TAKE_OUTPUT:
      return TakeOutput(bus, irp, stack->Parameters.DeviceIoControl.OutputBufferLength);
    case IOCTL_VHID_PUSH_INPUT:
      return Complete(irp, PushInput(bus, (const VHID_REPORT*)buffer, inLength), 0);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

static NTSTATUS BusRelationsAnswer(BUS_FDO* bus, PIRP irp) {
  PDEVICE_RELATIONS previous = (PDEVICE_RELATIONS)irp->IoStatus.Information;
  ULONG kept = previous ? previous->Count : 0;
  PDEVICE_RELATIONS relations = (PDEVICE_RELATIONS)ExAllocatePool(
      PagedPool, sizeof(DEVICE_RELATIONS) + (kept + VHID_MAX_CHILDREN) * sizeof(PDEVICE_OBJECT));
  KIRQL irql;
  ULONG i;

  if (!relations) return STATUS_INSUFFICIENT_RESOURCES;
  relations->Count = 0;
  for (i = 0; i < kept; ++i) relations->Objects[relations->Count++] = previous->Objects[i];
  KeAcquireSpinLock(&bus->Lock, &irql);
  for (i = 0; i < bus->ChildCount; ++i) {
    BUS_CHILD* child = bus->Children[i];
    child->Reported = TRUE;
    ObReferenceObject(child->Self);
    relations->Objects[relations->Count++] = child->Self;
  }
  KeReleaseSpinLock(&bus->Lock, irql);
  if (previous) ExFreePool(previous);
  irp->IoStatus.Information = (ULONG_PTR)relations;
  return STATUS_SUCCESS;
}

static NTSTATUS PassDown(BUS_FDO* bus, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(bus->Lower, irp);
}

static NTSTATUS BusPnp(BUS_FDO* bus, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      IoSetDeviceInterfaceState(&bus->ControlLink, TRUE);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(bus, irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
        NTSTATUS status = BusRelationsAnswer(bus, irp);
        if (!NT_SUCCESS(status)) return Complete(irp, status, 0);
        irp->IoStatus.Status = STATUS_SUCCESS;
      }
      return PassDown(bus, irp);
    case IRP_MN_SURPRISE_REMOVAL:
      IoSetDeviceInterfaceState(&bus->ControlLink, FALSE);
      EndTakes(bus);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(bus, irp);
    case IRP_MN_REMOVE_DEVICE: {
      BUS_CHILD* children[VHID_MAX_CHILDREN];
      ULONG count, i;
      NTSTATUS status;
      KIRQL irql;
      IoSetDeviceInterfaceState(&bus->ControlLink, FALSE);
      EndTakes(bus);
      KeAcquireSpinLock(&bus->Lock, &irql);
      count = bus->ChildCount;
      for (i = 0; i < count; ++i) {
        children[i] = bus->Children[i];
        children[i]->Present = FALSE;
      }
      bus->ChildCount = 0;
      KeReleaseSpinLock(&bus->Lock, irql);
      /* The manager has removed the children already; the bus goes with them. */
      for (i = 0; i < count; ++i) IoDeleteDevice(children[i]->Self);
      irp->IoStatus.Status = STATUS_SUCCESS;
      status = PassDown(bus, irp);
      IoDetachDevice(bus->Lower);
      RtlFreeUnicodeString(&bus->ControlLink);
      IoDeleteDevice(bus->Self);
      return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(bus, irp);
    default:
      return PassDown(bus, irp);
  }
}

/* ---- dispatch ---------------------------------------------------------- */

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  DEVICE_COMMON* common = (DEVICE_COMMON*)device->DeviceExtension;
  if (common->IsChild) return ChildPnp((BUS_CHILD*)common, irp);
  return BusPnp((BUS_FDO*)common, irp);
}

static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  DEVICE_COMMON* common = (DEVICE_COMMON*)device->DeviceExtension;
  PoStartNextPowerIrp(irp);
  if (!common->IsChild) {
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(((BUS_FDO*)common)->Lower, irp);
  }
  {
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    NTSTATUS status = (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) ? STATUS_SUCCESS : irp->IoStatus.Status;
    return Complete(irp, status, irp->IoStatus.Information);
  }
}

static NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
  return Complete(irp, STATUS_SUCCESS, 0);
}

/* A program's handle on the bus is done with: its waiting takes end, so a
 * host that stops or dies leaves nothing waiting. Wine 8 sends no
 * IRP_MJ_CLEANUP: the close of the last handle comes while its requests may
 * still wait, so the close ends them too. */
static NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
  DEVICE_COMMON* common = (DEVICE_COMMON*)device->DeviceExtension;
  if (!common->IsChild) {
    BUS_FDO* bus = (BUS_FDO*)common;
    LIST_ENTRY takes;
    KIRQL irql;
    InitializeListHead(&takes);
    KeAcquireSpinLock(&bus->Lock, &irql);
    TakeWaitingLocked(&bus->PendingTakes, IoGetCurrentIrpStackLocation(irp)->FileObject, &takes);
    KeReleaseSpinLock(&bus->Lock, irql);
    CompleteAll(&takes, STATUS_CANCELLED);
  }
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
  DEVICE_COMMON* common = (DEVICE_COMMON*)device->DeviceExtension;
  if (common->IsChild) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  return BusControl((BUS_FDO*)common, irp);
}

static NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT device, PIRP irp) {
  DEVICE_COMMON* common = (DEVICE_COMMON*)device->DeviceExtension;
  if (!common->IsChild) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  return ChildHidRequest((BUS_CHILD*)common, irp);
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT rootPdo) {
  PDEVICE_OBJECT device;
  BUS_FDO* bus;
  NTSTATUS status = IoCreateDevice(driver, sizeof(BUS_FDO), NULL, FILE_DEVICE_BUS_EXTENDER, FILE_DEVICE_SECURE_OPEN,
                                   FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  bus = (BUS_FDO*)device->DeviceExtension;
  RtlZeroMemory(bus, sizeof(BUS_FDO));
  bus->Self = device;
  bus->RootPdo = rootPdo;
  KeInitializeSpinLock(&bus->Lock);
  InitializeListHead(&bus->PendingTakes);
  status = IoRegisterDeviceInterface(rootPdo, &kControlInterface, NULL, &bus->ControlLink);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  bus->Lower = IoAttachDeviceToDeviceStack(device, rootPdo);
  if (!bus->Lower) {
    RtlFreeUnicodeString(&bus->ControlLink);
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

static VOID NTAPI Unload(PDRIVER_OBJECT driver) {}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCleanup;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
  return STATUS_SUCCESS;
}
