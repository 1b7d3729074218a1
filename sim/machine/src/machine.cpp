// The emulated machine: boots the kernel, the PCI bus with the card's physical device object,
// and the driver under test. The PnP manager's and the power manager's parts for the card's
// stack are in pnp_manager.cpp and power_manager.cpp.
#include "sim/machine.h"

#include <cstdio>

#include "sim/driver_loader.h"
#include "sim/io_bus.h"
#include "machine_state.h"
#include "machine_rules.h"
#include "sim/io.h"
#include "sim/machine_kernel.h"
#include "sim/verifier.h"

namespace sim {

Machine::Machine(MachineOptions options) : options_(std::move(options)) {
  kernel::Boot(options_.wdm);
  state_ = std::make_unique<State>(options_.card);
  if (!state_->card.Attach(PortBus())) {
    std::fprintf(stderr, "emulated machine: the card's port ranges overlap\n");
  }
  State* state = state_.get();
  uint32_t vector = options_.interrupt.vector;
  state->cardInterrupt = kernel::AttachInterruptSource(vector, [state] {
    switch (state->card.InterruptPin()) {
      case card::Pin::High: return kernel::LineLevel::Asserted;
      case card::Pin::Floating: return kernel::LineLevel::Floating;
      case card::Pin::Low: break;
    }
    return kernel::LineLevel::Low;
  });
  state->foreignInterrupt =
      kernel::AttachInterruptSource(vector, [state] { return state->foreignLevel.load(); });
  // On a level-sensitive line only a rise can start rounds (rounds under way see a fall); a
  // latched line's edges need its falls seen too.
  state->card.SetInterruptCallback(
      [source = state->cardInterrupt, falls = options_.interrupt.latched](card::Pin pin) {
        if (pin != card::Pin::Low || falls) kernel::NotifyInterruptLine(source);
      });
  state->bus.SetDecodeSwitch([state](bool on) { state->card.SetDecoding(on); });
}

Machine::~Machine() {
  // As at process exit, handles left open are closed; then the device goes away as at an
  // orderly removal, and the drivers unload.
  kernel::CloseAllHandles();
  if (DevicePresent()) SendPnp(IRP_MN_REMOVE_DEVICE);
  if (state_->driver != nullptr) UnloadDriver();
  state_->bus.Stop();
  state_->card.SetInterruptCallback(nullptr);
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
  if (NT_SUCCESS(status)) {
    std::lock_guard guard(state_->pnpLock);
    state_->pnp = PnpState::NotStarted;
    state_->startFailed = false;
    state_->lists = {};
    state_->capabilities.reset();
  }
  CheckAddDevice(*this, status, irql);
  return status;
}

bool Machine::DevicePresent() const { return FunctionalDeviceObject() != nullptr; }


card::Card& Machine::Card() { return state_->card; }

void Machine::SetForeignInterruptLevel(bool asserted) {
  state_->foreignLevel = asserted;
  if (asserted) kernel::NotifyInterruptLine(state_->foreignInterrupt);
}

bool Machine::ForeignInterruptLevel() const { return state_->foreignLevel; }

void Machine::PullCard(bool pinFloats) { state_->card.Pull(pinFloats); }

bool Machine::CardPulled() const { return state_->card.Pulled(); }

void* Machine::DriverObject() const { return state_->driver; }

void* Machine::PhysicalDeviceObject() const { return state_->bus.Pdo(); }

void* Machine::FunctionalDeviceObject() const {
  PDEVICE_OBJECT pdo = state_->bus.Pdo();
  if (pdo == nullptr) return nullptr;
  PDEVICE_OBJECT top = io::GetAttachedDevice(pdo);
  return top == pdo ? nullptr : top;
}

NTSTATUS SendManagerRequest(PDEVICE_OBJECT top, UCHAR major, UCHAR minor,
                            const std::function<void(PIO_STACK_LOCATION)>& fill) {
  PIRP irp = io::AllocateManagerIrp(top->StackSize);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // PnP and power requests start out unsupported
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = major;
  stack->MinorFunction = minor;
  if (fill) fill(stack);
  return io::CallAndWait(top, irp).Status;
}

}  // namespace sim
