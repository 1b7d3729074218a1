// The emulated kernel's export tables. A routine is listed by taking its address through the
// emulated <wdm.h> declaration, so the i686 build binds each import to a routine compiled with
// the convention that header gives it (NTAPI stdcall, FASTCALL, cdecl).
//
// Two platform families, two tables. Windows 2000/XP exports every entry. On Windows 98/Me
// there is no ntoskrnl.exe or HAL.dll: NTKERN.VXD fills the loader's tables for both names
// with the routines it supports, and a driver importing anything else does not load (Oney,
// "Programming the Microsoft Windows Driver Model", 2nd ed., Appendix A: NTKERN initialises
// the table with the several hundred functions it supports; "Windows 98 simply won't load the
// driver because it can't resolve the reference"; its WDMCHECK sample resolves ntoskrnl.exe
// and hal.dll imports through that table).
//
// Where each entry's 98/Me answer comes from:
//   - every routine here but the marked ones is documented in the Windows 98 DDK's kernel-mode
//     reference (MSDN July 1999 release, WDM 1.0 wdm.h) and in the NT 4.0-era DDK reference
//     before it (KeInitializeMutex, KeReleaseMutex and KeReadStateMutex among the
//     synchronisation routines); the C run-time routines are NTKERN's for drivers;
//   - a routine whose reference page gives it a later first version is marked with it and is
//     missing on 98/Me ("Differences in WDM Versions": each routine's page says when it is
//     restricted to a WDM version): KeFlushQueuedDpcs, Windows XP. Oney names others a driver
//     must not import there (the IoXxxWorkItem routines, MmMapLockedPagesSpecifyCache); the
//     driver uses none, so the emulated kernel offers none.
// Every routine the driver imports is on both tables (PeLoaderTest checks the shipped image);
// KeFlushQueuedDpcs is why the driver waits for its DPCs by a count instead.
#include "sim/kernel_exports.h"

#include <wdm.h>

#include <cstring>

#include "sim/kernel.h"

namespace sim::loader {
namespace {

struct Export {
  const char* module;
  const char* name;
  uintptr_t address;
  bool wdm10 = true;  // in NTKERN's table (Windows 98/Me) too
};

template <typename T>
uintptr_t Address(T* routine) {
  return reinterpret_cast<uintptr_t>(routine);
}

// The platform's compiler returns an aggregate of up to 8 bytes in EAX (and EDX); the i386
// System V compiler returns every aggregate through a hidden pointer. A routine returning one
// is exported through a thunk that returns its bits as an integer, which both put in EAX.
ULONG NTAPI PoSetPowerStateForImage(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                    POWER_STATE State) {
  static_assert(sizeof(POWER_STATE) == sizeof(ULONG));
  POWER_STATE previous = PoSetPowerState(DeviceObject, Type, State);
  ULONG bits;
  std::memcpy(&bits, &previous, sizeof bits);
  return bits;
}

#define TARVIK_EXPORT(module, routine) Export{module, #routine, Address(&routine)}

const std::vector<Export>& Exports() {
  static const std::vector<Export> exports = {
      TARVIK_EXPORT("HAL.dll", KeGetCurrentIrql),
      TARVIK_EXPORT("HAL.dll", KfAcquireSpinLock),
      TARVIK_EXPORT("HAL.dll", KfReleaseSpinLock),
      TARVIK_EXPORT("HAL.dll", KfRaiseIrql),
      TARVIK_EXPORT("HAL.dll", KfLowerIrql),
      TARVIK_EXPORT("HAL.dll", READ_PORT_UCHAR),
      TARVIK_EXPORT("HAL.dll", READ_PORT_USHORT),
      TARVIK_EXPORT("HAL.dll", READ_PORT_ULONG),
      TARVIK_EXPORT("HAL.dll", WRITE_PORT_UCHAR),
      TARVIK_EXPORT("HAL.dll", WRITE_PORT_USHORT),
      TARVIK_EXPORT("HAL.dll", WRITE_PORT_ULONG),
      TARVIK_EXPORT("ntoskrnl.exe", ExAllocatePoolWithTag),
      TARVIK_EXPORT("ntoskrnl.exe", ExFreePool),
      TARVIK_EXPORT("ntoskrnl.exe", ExQueueWorkItem),
      TARVIK_EXPORT("ntoskrnl.exe", IoAttachDeviceToDeviceStack),
      TARVIK_EXPORT("ntoskrnl.exe", IoConnectInterrupt),
      TARVIK_EXPORT("ntoskrnl.exe", IoCreateDevice),
      TARVIK_EXPORT("ntoskrnl.exe", IoCreateSymbolicLink),
      TARVIK_EXPORT("ntoskrnl.exe", IoDeleteDevice),
      TARVIK_EXPORT("ntoskrnl.exe", IoDeleteSymbolicLink),
      TARVIK_EXPORT("ntoskrnl.exe", IoDetachDevice),
      TARVIK_EXPORT("ntoskrnl.exe", IoDisconnectInterrupt),
      TARVIK_EXPORT("ntoskrnl.exe", IoIsWdmVersionAvailable),
      TARVIK_EXPORT("ntoskrnl.exe", IoReleaseCancelSpinLock),
      TARVIK_EXPORT("ntoskrnl.exe", IofCallDriver),
      TARVIK_EXPORT("ntoskrnl.exe", IofCompleteRequest),
      TARVIK_EXPORT("ntoskrnl.exe", KeDelayExecutionThread),
      Export{"ntoskrnl.exe", "KeFlushQueuedDpcs", Address(&KeFlushQueuedDpcs), false},  // XP
      TARVIK_EXPORT("ntoskrnl.exe", KeInitializeDpc),
      TARVIK_EXPORT("ntoskrnl.exe", KeInitializeEvent),
      TARVIK_EXPORT("ntoskrnl.exe", KeInsertQueueDpc),
      TARVIK_EXPORT("ntoskrnl.exe", KeRemoveQueueDpc),
      TARVIK_EXPORT("ntoskrnl.exe", KeSetEvent),
      TARVIK_EXPORT("ntoskrnl.exe", KeSynchronizeExecution),
      TARVIK_EXPORT("ntoskrnl.exe", KeWaitForSingleObject),
      TARVIK_EXPORT("ntoskrnl.exe", KeInitializeMutex),
      TARVIK_EXPORT("ntoskrnl.exe", KeReleaseMutex),
      TARVIK_EXPORT("ntoskrnl.exe", KeReadStateMutex),
      TARVIK_EXPORT("ntoskrnl.exe", KefAcquireSpinLockAtDpcLevel),
      TARVIK_EXPORT("ntoskrnl.exe", KefReleaseSpinLockFromDpcLevel),
      TARVIK_EXPORT("ntoskrnl.exe", MmMapIoSpace),
      TARVIK_EXPORT("ntoskrnl.exe", MmMapLockedPages),
      TARVIK_EXPORT("ntoskrnl.exe", MmUnmapIoSpace),
      TARVIK_EXPORT("ntoskrnl.exe", ObReferenceObjectByHandle),
      TARVIK_EXPORT("ntoskrnl.exe", ObfDereferenceObject),
      TARVIK_EXPORT("ntoskrnl.exe", PoCallDriver),
      TARVIK_EXPORT("ntoskrnl.exe", PoRequestPowerIrp),
      Export{"ntoskrnl.exe", "PoSetPowerState", Address(&PoSetPowerStateForImage)},
      TARVIK_EXPORT("ntoskrnl.exe", PoStartNextPowerIrp),
      TARVIK_EXPORT("ntoskrnl.exe", RtlCopyUnicodeString),
      TARVIK_EXPORT("ntoskrnl.exe", RtlFreeUnicodeString),
      TARVIK_EXPORT("ntoskrnl.exe", RtlInitUnicodeString),
      // A data export: the import slot receives the variable's address.
      Export{"ntoskrnl.exe", "ExEventObjectType", Address(&ExEventObjectType)},
      // The C run-time routines the kernel exports (cdecl). swprintf is the kernel's, with
      // 16-bit wide characters, not the C library's; memcpy and memset are the kernel's
      // memory routines, which count what they move at device IRQL.
      Export{"ntoskrnl.exe", "memcpy",
             Address<void*(void*, const void*, size_t)>(&SimKernelCopyMemory)},
      Export{"ntoskrnl.exe", "memset", Address<void*(void*, int, size_t)>(&SimKernelFillMemory)},
      Export{"ntoskrnl.exe", "swprintf",
             Address<int(wchar_t*, const wchar_t*, ...)>(&swprintf)},
  };
  return exports;
}

ExportTable TableOf(bool win98) {
  ExportTable t;
  for (const Export& e : Exports()) {
    if (e.wdm10 || !win98) t.Add(e.module, e.name, e.address);
  }
  return t;
}

}  // namespace

const ExportTable& KernelExports() {
  static const ExportTable win2000 = TableOf(false);
  static const ExportTable win98 = TableOf(true);
  return kernel::CurrentWdmSupport() == kernel::WdmSupport::Wdm10Only ? win98 : win2000;
}

std::vector<std::string> KernelExportNames() {
  bool win98 = kernel::CurrentWdmSupport() == kernel::WdmSupport::Wdm10Only;
  std::vector<std::string> names;
  for (const Export& e : Exports()) {
    if (e.wdm10 || !win98) names.push_back(std::string(e.module) + "!" + e.name);
  }
  return names;
}

}  // namespace sim::loader
