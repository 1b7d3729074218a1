// The emulated machine: boots the kernel, the PCI bus with the card's physical device object,
// and the driver under test; plays the PnP manager's part for the card's stack.
#include "sim/machine.h"

#include <atomic>
#include <cstdio>

#include "pci_bus.h"
#include "sim/driver_loader.h"
#include "sim/io.h"
#include "sim/io_bus.h"
#include "sim/machine_kernel.h"
#include "sim/verifier.h"

namespace sim {

struct Machine::State {
  explicit State(const card::CardConfig& config) : card(config) {}
  card::Card card;
  PciBus bus;
  kernel::InterruptSourceId cardInterrupt = 0;
  kernel::InterruptSourceId foreignInterrupt = 0;
  std::atomic<bool> foreignLevel{false};
  PDRIVER_OBJECT driver = nullptr;
  bool pdoCreated = false;
};

Machine::Machine(MachineOptions options) : options_(std::move(options)) {
  kernel::Boot(options_.wdm);
  state_ = std::make_unique<State>(options_.card);
  if (!state_->card.Attach(PortBus())) {
    std::fprintf(stderr, "emulated machine: the card's port ranges overlap\n");
  }
  State* state = state_.get();
  uint32_t vector = options_.interrupt.vector;
  state->cardInterrupt = kernel::AttachInterruptSource(
      vector, [state] { return state->card.bridge().PciInterrupt(); });
  state->foreignInterrupt =
      kernel::AttachInterruptSource(vector, [state] { return state->foreignLevel.load(); });
  state->card.bridge().SetInterruptCallback(
      [source = state->cardInterrupt](bool) { kernel::NotifyInterruptLine(source); });
}

Machine::~Machine() {
  // As at process exit, handles left open are closed; then the device goes away as at an
  // orderly removal, and the drivers unload.
  kernel::CloseAllHandles();
  if (DevicePresent()) SendPnp(IRP_MN_REMOVE_DEVICE);
  if (state_->driver != nullptr) UnloadDriver();
  state_->bus.Stop();
  state_->card.bridge().SetInterruptCallback(nullptr);
  kernel::DetachInterruptSource(state_->cardInterrupt);
  kernel::DetachInterruptSource(state_->foreignInterrupt);
  state_->card.Detach();
  state_.reset();
  kernel::Shutdown();
}

int32_t Machine::LoadDriver(const DriverImage& image) {
  auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(image.entry);
  return kernel::LoadDriver(entry, u"\\Driver\\" + image.name, options_.registryPath,
                            &state_->driver);
}

bool Machine::DriverLoaded() const { return state_->driver != nullptr; }

bool Machine::UnloadDriver() {
  if (state_->driver == nullptr) return false;
  if (!kernel::UnloadDriver(state_->driver)) return false;
  state_->driver = nullptr;
  return true;
}

int32_t Machine::AddDevice() {
  if (state_->driver == nullptr || state_->driver->DriverExtension->AddDevice == nullptr) {
    std::fprintf(stderr, "emulated machine: AddDevice without a loaded PnP driver\n");
    return STATUS_NO_SUCH_DEVICE;
  }
  if (!state_->pdoCreated) {
    state_->bus.Start();
    state_->pdoCreated = true;
  }
  KIRQL irql = KeGetCurrentIrql();
  NTSTATUS status = state_->driver->DriverExtension->AddDevice(state_->driver, state_->bus.Pdo());
  if (KeGetCurrentIrql() != irql) {
    verifier::Report("IrqlReturn", "AddDevice returned at another IRQL");
  }
  PDEVICE_OBJECT fdo = FdoOf(*this);
  if (NT_SUCCESS(status) && fdo != nullptr && (fdo->Flags & DO_DEVICE_INITIALIZING)) {
    verifier::Report("DeviceInitializing",
                     "AddDevice succeeded but left DO_DEVICE_INITIALIZING set on its device");
  }
  return status;
}

bool Machine::DevicePresent() const { return FunctionalDeviceObject() != nullptr; }

int32_t Machine::SendPnp(uint8_t minor) { return SendPnpRequest(*this, minor, nullptr); }

void Machine::SetBusPnpAnswer(uint8_t minor, BusAnswer answer) {
  state_->bus.SetPnpAnswer(minor, answer);
}

std::vector<BusPnpRecord> Machine::BusPnpRequests() const { return state_->bus.PnpRequests(); }

card::Card& Machine::Card() { return state_->card; }

void Machine::SetForeignInterruptLevel(bool asserted) {
  state_->foreignLevel = asserted;
  if (asserted) kernel::NotifyInterruptLine(state_->foreignInterrupt);
}

bool Machine::ForeignInterruptLevel() const { return state_->foreignLevel; }

void* Machine::DriverObject() const { return state_->driver; }

void* Machine::PhysicalDeviceObject() const { return state_->bus.Pdo(); }

void* Machine::FunctionalDeviceObject() const {
  PDEVICE_OBJECT pdo = state_->bus.Pdo();
  if (pdo == nullptr) return nullptr;
  PDEVICE_OBJECT top = io::GetAttachedDevice(pdo);
  return top == pdo ? nullptr : top;
}

NTSTATUS SendPnpRequest(Machine& machine, UCHAR minor,
                        const std::function<void(PIO_STACK_LOCATION)>& fill) {
  PDEVICE_OBJECT pdo = PdoOf(machine);
  if (pdo == nullptr) return STATUS_NO_SUCH_DEVICE;
  PDEVICE_OBJECT top = io::GetAttachedDevice(pdo);
  PDEVICE_OBJECT fdoBefore = FdoOf(machine);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // PnP requests start out unsupported
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_PNP;
  stack->MinorFunction = minor;
  if (fill) fill(stack);
  NTSTATUS status = io::CallAndWait(top, irp).Status;
  IoFreeIrp(irp);

  // Requests a function driver must never fail, and what must follow them.
  bool mustSucceed = minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL ||
                     minor == IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_CANCEL_REMOVE_DEVICE;
  if (mustSucceed && !NT_SUCCESS(status) && fdoBefore != nullptr) {
    char text[96];
    std::snprintf(text, sizeof text, "PnP minor 0x%02X failed with 0x%08X", minor,
                  static_cast<unsigned>(status));
    verifier::Report("PnpRemove", text);
  }
  if (fdoBefore != nullptr && minor == IRP_MN_REMOVE_DEVICE && FdoOf(machine) != nullptr) {
    verifier::Report("PnpRemove", "after IRP_MN_REMOVE_DEVICE the driver's device is still attached");
  }
  if (fdoBefore != nullptr && minor == IRP_MN_SURPRISE_REMOVAL && FdoOf(machine) != fdoBefore) {
    verifier::Report("PnpSurpriseRemove", "the driver detached or deleted its device during surprise removal");
  }
  return status;
}

}  // namespace sim
