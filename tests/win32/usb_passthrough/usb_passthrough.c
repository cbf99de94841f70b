/* FOR TESTS ONLY; never part of a shipped program.
 *
 * A kernel driver for wine that makes a serial port look like the PLC's USB
 * device. The program finds the PLC by its USB device interface and opens the
 * interface path followed by "\", which no dosdevices entry accepts. This
 * driver creates a device and links the interface name to it in the object
 * namespace, where the trailing "\" is simply the name of a file on the
 * device, and forwards every open file's reads, writes and device controls
 * (the serial time-outs and line settings among them) to \??\COM7: a
 * dosdevices entry that points at the simulated PLC's pseudo-terminal.
 *
 * The port is opened at a file's first request, not at its creation: the
 * program opens the device once only to see that it opens, and the simulated
 * PLC takes every open of its line for a replug. Closing the file closes the
 * port, which is the replug the PLC sees. */
#include <ntddk.h>

#define INTERFACE_LINK \
  L"\\??\\usb#vid_3e9a&pid_0001#0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"

static const WCHAR kDeviceName[] = L"\\Device\\MorvixUsbPassThrough";
static const WCHAR kInterfaceLink[] = INTERFACE_LINK;
static const WCHAR kTargetPort[] = L"\\??\\COM7";

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

/* The port behind a file, opened on first use and kept in FsContext. */
static NTSTATUS TargetOf(PFILE_OBJECT file, HANDLE* port) {
  if (file->FsContext != NULL) {
    *port = file->FsContext;
    return STATUS_SUCCESS;
  }
  UNICODE_STRING name;
  OBJECT_ATTRIBUTES attributes;
  IO_STATUS_BLOCK io;
  HANDLE opened = NULL;
  RtlInitUnicodeString(&name, kTargetPort);
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                             NULL);
  NTSTATUS status = ZwCreateFile(&opened, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes,
                                 &io, NULL, FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN,
                                 FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0);
  if (!NT_SUCCESS(status)) return status;
  file->FsContext = opened;
  *port = opened;
  return STATUS_SUCCESS;
}

static void ClosePort(PFILE_OBJECT file) {
  if (file != NULL && file->FsContext != NULL) {
    ZwClose(file->FsContext);
    file->FsContext = NULL;
  }
}

static void* BufferOf(PIRP irp) {
  if (irp->AssociatedIrp.SystemBuffer != NULL) return irp->AssociatedIrp.SystemBuffer;
  return irp->UserBuffer;
}

static NTSTATUS DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext = NULL;
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  ClosePort(IoGetCurrentIrpStackLocation(irp)->FileObject);
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS DispatchReadWrite(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  HANDLE port;
  NTSTATUS status = TargetOf(stack->FileObject, &port);
  if (!NT_SUCCESS(status)) return Complete(irp, status, 0);
  IO_STATUS_BLOCK io = {0};
  if (stack->MajorFunction == IRP_MJ_READ) {
    status = ZwReadFile(port, NULL, NULL, NULL, &io, BufferOf(irp), stack->Parameters.Read.Length,
                        NULL, NULL);
  } else {
    status = ZwWriteFile(port, NULL, NULL, NULL, &io, BufferOf(irp),
                         stack->Parameters.Write.Length, NULL, NULL);
  }
  return Complete(irp, status, io.Information);
}

static NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  HANDLE port;
  NTSTATUS status = TargetOf(stack->FileObject, &port);
  if (!NT_SUCCESS(status)) return Complete(irp, status, 0);
  /* The serial controls are all METHOD_BUFFERED: one buffer carries the
   * input in and the output back. */
  void* buffer = irp->AssociatedIrp.SystemBuffer;
  IO_STATUS_BLOCK io = {0};
  status = ZwDeviceIoControlFile(port, NULL, NULL, NULL, &io,
                                 stack->Parameters.DeviceIoControl.IoControlCode, buffer,
                                 stack->Parameters.DeviceIoControl.InputBufferLength, buffer,
                                 stack->Parameters.DeviceIoControl.OutputBufferLength);
  return Complete(irp, status, io.Information);
}

static NTSTATUS DispatchOther(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  return Complete(irp, STATUS_SUCCESS, 0);
}

static void Unload(PDRIVER_OBJECT driver) {
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, kInterfaceLink);
  IoDeleteSymbolicLink(&link);
  if (driver->DeviceObject != NULL) IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS WINAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  (void)registryPath;
  UNICODE_STRING deviceName;
  UNICODE_STRING link;
  PDEVICE_OBJECT device = NULL;
  RtlInitUnicodeString(&deviceName, kDeviceName);
  NTSTATUS status =
      IoCreateDevice(driver, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  device->Flags |= DO_BUFFERED_IO;
  RtlInitUnicodeString(&link, kInterfaceLink);
  status = IoCreateSymbolicLink(&link, &deviceName);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = DispatchOther;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driver->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
  driver->MajorFunction[IRP_MJ_WRITE] = DispatchReadWrite;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  driver->DriverUnload = Unload;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}
