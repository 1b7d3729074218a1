#!/usr/bin/env python3
# Writes scripts/mutants.d/*.patch: each re-introduces one mended fault (or one fault the
# added tests are meant to catch) into the current tree, without touching the tree itself.
import difflib, os, sys
root = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..')
M = {}
def m(name, path, old, new):
    M.setdefault(name, []).append((path, old, new))

m('01-notify-location-after-cancel-routine', 'SYS/ioctl/notify.cpp',
'''    PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION below = IoGetNextIrpStackLocation(Irp);
    below->DeviceObject = Extension->DeviceObject;
    below->FileObject = own->FileObject;
    IoSetCompletionRoutine(Irp, NotifyCompletionRoutine, Extension, TRUE, TRUE, TRUE);
    Irp->Tail.Overlay.DriverContext[0] = Slot;
    IoSetCancelRoutine(Irp, NotifyCancelRoutine);''',
'''    PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(Irp);
    IoSetCancelRoutine(Irp, NotifyCancelRoutine);''')
m('01-notify-location-after-cancel-routine', 'SYS/ioctl/notify.cpp',
'''      IoMarkIrpPending(Irp);
      IoSetNextIrpStackLocation(Irp);
      *Slot = Irp;''',
'''      IoMarkIrpPending(Irp);
      Irp->Tail.Overlay.DriverContext[0] = Slot;
      IoSetCompletionRoutine(Irp, NotifyCompletionRoutine, Extension, TRUE, TRUE, TRUE);
      IoSetNextIrpStackLocation(Irp);
      PIO_STACK_LOCATION below = IoGetCurrentIrpStackLocation(Irp);
      below->DeviceObject = Extension->DeviceObject;
      below->FileObject = own->FileObject;
      *Slot = Irp;''')
m('03-reject-status-read-twice', 'SYS/ioctl/notify.cpp',
'''    status = rejectStatus;''',
'''    status = InterlockedCompareExchange(&Extension->PendingRejectStatus, 0, 0);''')
m('07-disconnect-outside-lock', 'SYS/hw/resources.cpp',
'''  extension->ResourcesAssigned = FALSE;
  if (extension->InterruptObject != nullptr) {''',
'''  UnlockAcquisition(extension);
  extension->ResourcesAssigned = FALSE;
  if (extension->InterruptObject != nullptr) {''')
m('07-disconnect-outside-lock', 'SYS/hw/resources.cpp',
'''  UnmapRanges(extension);
  UnlockAcquisition(extension);
  RejectAndCancelPending''', '''  UnmapRanges(extension);
  RejectAndCancelPending''')
m('08a-unacknowledged-frame-reenables', 'SYS/hw/interrupt_service.cpp',
'''  if (CaptureAcknowledgesCard(Extension)) {''', '''  if (true || CaptureAcknowledgesCard(Extension)) {''')
m('08b-other-path-reenables-lint1', 'SYS/hw/interrupt_service.cpp',
'''    extension->OtherIntCount++;
    EnableBridgePciInterrupt(extension);''', '''    extension->OtherIntCount++;
    EnableBridgeInterrupt(extension);''')
m('09-claim-ignores-enables', 'SYS/hw/bridge_interrupt.cpp',
'''  return (Value & INTCSR_LINT2_ENABLE) && (Value & INTCSR_LINT2_ACTIVE);''',
'''  return (Value & INTCSR_LINT2_ACTIVE) != 0;''')
m('12-slow-rate-overflow', 'SYS/acq/start_stop.cpp',
'''  if (Extension->RequestedRate < SLOWEST_RATE) {''', '''  if (false && Extension->RequestedRate < SLOWEST_RATE) {''')
m('13-mapped-range-as-port', 'SYS/hw/resources.cpp',
'''  if (extension->PortCount >= 2 && extension->MemCount >= 1 && !extension->PortMapped[0] &&
      extension->PortLength[0] >= BRIDGE_INTERRUPT_CONTROL + sizeof(ULONG)) {
    for (USHORT i = 1; i < extension->PortCount; ++i) {
      if (!extension->PortMapped[i] && extension->PortLength[i] == CARD_WINDOW_LENGTH) {''',
'''  if (extension->PortCount >= 2 && extension->MemCount >= 1 &&
      extension->PortLength[0] >= BRIDGE_INTERRUPT_CONTROL + sizeof(ULONG)) {
    for (USHORT i = 1; i < extension->PortCount; ++i) {
      if (extension->PortLength[i] == CARD_WINDOW_LENGTH) {''')
m('15-power-course-without-reference', 'SYS/power/power_machine.cpp',
'''        if (!NT_SUCCESS(AcquireRemoveLock(&extension->RemoveLock))) {
          PoStartNextPowerIrp(Context->Irp);
          Context->Irp->IoStatus.Status = STATUS_DELETE_PENDING;
          IoCompleteRequest(Context->Irp, IO_NO_INCREMENT);
          ExFreePool(Context);
          return STATUS_DELETE_PENDING;
        }
        Context->HoldsRemoveLock = TRUE;
        result = STATUS_PENDING;
        IoMarkIrpPending(Context->Irp);''',
'''        result = STATUS_PENDING;
        IoMarkIrpPending(Context->Irp);
        Context->HoldsRemoveLock = NT_SUCCESS(AcquireRemoveLock(&extension->RemoveLock));''')
m('16-win98-device-request-at-dispatch', 'SYS/power/power_machine.cpp',
'''        if (Win98Mode && KeGetCurrentIrql() > PASSIVE_LEVEL) {''',
'''        if (false && Win98Mode && KeGetCurrentIrql() > PASSIVE_LEVEL) {''')
m('17-system-set-power-failed', 'SYS/power/power_machine.cpp',
'''        if (!NT_SUCCESS(Context->Status) && Context->Minor != IRP_MN_SET_POWER) {''',
'''        if (!NT_SUCCESS(Context->Status)) {''')
m('17-system-set-power-failed', 'SYS/power/power_machine.cpp',
'''        if (Context->Minor == IRP_MN_SET_POWER) Context->Status = Context->LowerStatus;''', '')
m('18-registry-path-length-wraps', 'SYS/frame/driver_entry.cpp',
'''  if (RegistryPath->Length + sizeof(WCHAR) > LONGEST_STRING_BYTES) {''',
'''  if (false && RegistryPath->Length + sizeof(WCHAR) > LONGEST_STRING_BYTES) {''')
m('02-unwritten-output-not-cleared', 'SYS/ioctl/device_control.cpp',
'''  if (METHOD_FROM_CTL_CODE(code) == METHOD_BUFFERED && buffer != nullptr &&''',
'''  if (false && METHOD_FROM_CTL_CODE(code) == METHOD_BUFFERED && buffer != nullptr &&''')
m('10-lock-holder-inlinable', 'SYS/acq/start_stop.cpp',
'''TARVIK_RESIDENT_CODE void ReleaseUserEvent(DEVICE_EXTENSION* Extension) {''',
'''static inline void ReleaseUserEvent(DEVICE_EXTENSION* Extension) {''')
m('11-event-referenced-kernel-mode', 'SYS/acq/start_stop.cpp',
'''    NTSTATUS status = ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType,
                                                RequestorMode, &event, nullptr);''',
'''    UNREFERENCED_PARAMETER(RequestorMode);
    NTSTATUS status = ObReferenceObjectByHandle(handle, 0, *ExEventObjectType,
                                                KernelMode, &event, nullptr);''')
m('t1-refusal-skips-start-next-power', 'SYS/power/dispatch_power.cpp',
'''  if (!NT_SUCCESS(status)) {
    PoStartNextPowerIrp(Irp);''', '''  if (!NT_SUCCESS(status)) {''')
m('t2-add-device-without-set-power-state', 'SYS/frame/add_device.cpp',
'''    PoSetPowerState(deviceObject, DevicePowerState, state);''', '''    (void)state;''')
m('t4-lint2-alone-leaves-pci-off', 'SYS/hw/interrupt_service.cpp',
'''    extension->OtherIntCount++;
    EnableBridgePciInterrupt(extension);''', '''    extension->OtherIntCount++;''')
m('t5-start-leaves-bridge-enables', 'SYS/acq/start_stop.cpp',
'''  KeSynchronizeExecution(Extension->InterruptObject, EnableBridgeInterrupt, Extension);''', '')
m('05-serial-without-range-check', 'SYS/hw/serial_number.cpp',
'''  } else if (!PortAccessAssigned(Extension, ports.Bridge + BRIDGE_CONTROL, sizeof(ULONG))) {''',
'''  } else if (false && !PortAccessAssigned(Extension, ports.Bridge + BRIDGE_CONTROL, sizeof(ULONG))) {''')
m('04-index-data-without-lock', 'SYS/ioctl/subcommands.cpp',
'''  const ULONG_PTR board = AssignedPorts(Extension).Board;
  for (ULONG i = 0; i < Count; ++i) {
    WriteBoard(board, CARD_INDEX, Pairs[i][0]);
    WriteBoard(board, CARD_DATA, Pairs[i][1]);
  }
  return DAQ_OK;''',
'''  const ULONG_PTR board = AssignedPorts(Extension).Board;
  UnlockAcquisition(Extension);
  for (ULONG i = 0; i < Count; ++i) {
    WriteBoard(board, CARD_INDEX, Pairs[i][0]);
    WriteBoard(board, CARD_DATA, Pairs[i][1]);
  }
  LockAcquisition(Extension);
  return DAQ_OK;''')
m('06-owned-registers-unlocked', 'SYS/hw/caller_port_access.cpp',
'''  if (!coversInterruptControl) {''', '''  if (true || !coversInterruptControl) {''')
m('t3-stream-head-offset', 'SYS/acq/data_reads.cpp',
'''  ULONG index = (FramesEnd(Copy.Snapshot, ringSamples) + ringSamples - Copy.Count + From) %
                ringSamples;''', '''  ULONG index = (FramesEnd(Copy.Snapshot, ringSamples) + Copy.Count + From) % ringSamples;''')
m('20-all-ones-status-claimed', 'SYS/hw/bridge_interrupt.cpp',
'''  if (BridgeAbsent(value) || !(value & INTCSR_PCI_INTERRUPT_ENABLE)) return FALSE;''',
'''  if (!(value & INTCSR_PCI_INTERRUPT_ENABLE)) return FALSE;''')
m('21-raw-port-after-the-lock', 'SYS/ioctl/port_io.cpp',
'''  } else {
    error = AccessPortForCaller(Extension, Direction == PortOut, port, Width, &value);
    if (error != DAQ_OK) status = STATUS_UNSUCCESSFUL;
  }
  UnlockAcquisition(Extension);''', '''  } else {
    UnlockAcquisition(Extension);
    error = AccessPortForCaller(Extension, Direction == PortOut, port, Width, &value);
    if (error != DAQ_OK) status = STATUS_UNSUCCESSFUL;
    LockAcquisition(Extension);
  }
  UnlockAcquisition(Extension);''')
m('22-register-operations-unlocked', 'SYS/ioctl/device_command.cpp',
'''  bool words = error == DAQ_OK && UsesEepromWords(operation, Input);
  if (error == DAQ_OK && !words) error = RunRegisterOperation(Extension, operation, Input, Output);
  UnlockAcquisition(Extension);''', '''  bool words = error == DAQ_OK && UsesEepromWords(operation, Input);
  UnlockAcquisition(Extension);
  if (error == DAQ_OK && !words) error = RunRegisterOperation(Extension, operation, Input, Output);''')
m('23-whole-ring-copied-at-device-irql', 'SYS/acq/data_reads.cpp',
'''                     samples < channels ? samples : channels};''', '''                     samples};''')
m('24-caller-writes-driver-bits', 'SYS/hw/caller_port_access.cpp',
'''    value = CallerWriteValue(access->Port, access->Width, value, access->InterruptControl,
                             current);''', '''    (void)current;''')
m('25-remove-lock-released-after-removal', 'SYS/frame/pnp_dispatch.cpp',
'''  if (minor != IRP_MN_REMOVE_DEVICE) ReleaseRemoveLock(&extension->RemoveLock);''',
'''  ReleaseRemoveLock(&extension->RemoveLock);''')
m('26-reject-status-tested-twice', 'SYS/ioctl/notify.cpp',
'''  } else if (rejectStatus != 0) {''', '''  } else if (Extension->PendingRejectStatus != 0) {''')
m('28-claim-lint1-without-enable', 'SYS/hw/bridge_interrupt.cpp',
'''  return (Value & INTCSR_LINT1_ENABLE) && (Value & INTCSR_LINT1_ACTIVE);''',
'''  return (Value & INTCSR_LINT1_ACTIVE) != 0;''')
m('29-claim-ignores-pci-enable', 'SYS/hw/bridge_interrupt.cpp',
'''  if (BridgeAbsent(value) || !(value & INTCSR_PCI_INTERRUPT_ENABLE)) return FALSE;''',
'''  if (BridgeAbsent(value)) return FALSE;''')
m('30-bridge-range-in-memory-space', 'SYS/hw/resources.cpp',
'''  if (extension->PortCount >= 2 && extension->MemCount >= 1 && !extension->PortMapped[0] &&''',
'''  if (extension->PortCount >= 2 && extension->MemCount >= 1 &&''')
m('31-stream-copy-unchecked', 'SYS/acq/data_reads.cpp',
'''    if (!CopyIntactFrom(Copy->Snapshot, now, ringSamples, Copy->Count, done)) return false;''',
'''    (void)now;''')
m('32-stream-room-without-partial-frame', 'SYS/acq/data_reads.cpp',
'''  LONGLONG room = static_cast<LONGLONG>(RingSamples) - Samples - Earlier.Phase + First;''',
'''  LONGLONG room = static_cast<LONGLONG>(RingSamples) - Samples + First;''')
m('33-read-index-published-unsynchronised', 'SYS/acq/data_reads.cpp',
'''  KeSynchronizeExecution(Extension->InterruptObject, PublishReadIndex, &indices);''',
'''  PublishReadIndex(&indices);''')
m('35-eeprom-waits-tenfold-shorter', 'SYS/hw/eeprom.cpp',
'''  LARGE_INTEGER interval = RtlConvertLongToLargeInteger(Milliseconds * -10000);''',
'''  LARGE_INTEGER interval = RtlConvertLongToLargeInteger(Milliseconds * -1000);''')

out = os.path.join(root, 'scripts/mutants.d')
m('19-release-ignores-running-dpc', 'SYS/acq/start_stop.cpp',
'''  WaitForRunningDpcs(Extension);
  ObDereferenceObject(event);''',
'''  ObDereferenceObject(event);''')

m('p1-deferred-refusal-left-hanging', 'SYS/power/power_machine.cpp',
'''    context->Status = status;
    RunPowerMachine(context, EvDeviceRequestDone);''', '''    context->Status = status;''')
m('p2-wmi-completed-not-passed-down', 'SYS/frame/system_control.cpp',
'''  status = PassDown(DeviceObject, Irp);''', '''  status = CompleteRequestStatus(Irp, Irp->IoStatus.Status);''')
m('p3-power-up-unreported', 'SYS/power/power_machine.cpp',
'''        ReportDevicePower(extension, extension->DevicePower);''', '')
m('p4-power-down-reported-late', 'SYS/power/power_machine.cpp',
'''          extension->DevicePower = target;
          ReportDevicePower(extension, target);''', '''          extension->DevicePower = target;''')
m('p5-win98-requests-the-current-state', 'SYS/power/power_machine.cpp',
'''        if (Win98Mode && Context->TargetDeviceState == extension->DevicePower) {''',
'''        if (false && Win98Mode && Context->TargetDeviceState == extension->DevicePower) {''')
m('p6-win98-power-call-raised', 'SYS/power/power_machine.cpp',
'''  if (!Win98Mode || KeGetCurrentIrql() == PASSIVE_LEVEL) return PoCallDriver(Target, Irp);''',
'''  if (true || KeGetCurrentIrql() == PASSIVE_LEVEL) return PoCallDriver(Target, Irp);''')

for name, edits in M.items():
    files = {}
    for path, old, new in edits:
        text = files.get(path) or open(os.path.join(root, path)).read()
        if text.count(old) != 1:
            sys.exit(f'{name}: {path}: the text to change occurs {text.count(old)} times')
        files[path] = text.replace(old, new)
    patch = ''
    for path, text in files.items():
        before = open(os.path.join(root, path)).read().splitlines(keepends=True)
        patch += ''.join(difflib.unified_diff(before, text.splitlines(keepends=True),
                                              'a/' + path, 'b/' + path))
    open(os.path.join(out, name + '.patch'), 'w').write(patch)
print(len(M), 'patches')
