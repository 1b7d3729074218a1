// The driver frame: entry, device creation, create/close, PnP routing and the request
// routines the other parts of the driver use.
#pragma once

#include "platform.h"

// Driver-wide state, written only by DriverEntry before any device exists.
extern BOOLEAN Win98Mode;              // the kernel lacks WDM 1.10 (the 98/Me family)
extern UNICODE_STRING RegistryPathCopy; // NUL-terminated copy of the registry path

// Device name and the link user mode opens.
#define TARVIK_DEVICE_NAME_FORMAT L"\\Device\\%ws"
#define TARVIK_LINK_NAME_FORMAT L"\\DosDevices\\%ws"
#define TARVIK_BASE_NAME L"Tarvik"

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;
DRIVER_ADD_DEVICE AddDevice;
DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchClose;
DRIVER_DISPATCH DispatchPnp;
DRIVER_DISPATCH DispatchSystemControl;

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
NTSTATUS CompleteRequestStatus(PIRP Irp, NTSTATUS Status);
NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void DetachAndDeleteDevice(PDEVICE_OBJECT DeviceObject);

// PnP minor-function handlers, indexed by minor code 0x00..0x17.
typedef NTSTATUS PNP_HANDLER(PDEVICE_OBJECT DeviceObject, PIRP Irp);
constexpr ULONG PNP_HANDLER_COUNT = 24;
extern PNP_HANDLER* const PnpMinorHandlers[PNP_HANDLER_COUNT];

NTSTATUS HandleStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleQueryStop(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleCancelStop(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleQueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleCancelRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp);
