// The emulated machine: boots the kernel, the PCI bus with the card's physical device object,
// and the driver under test. The PnP manager's and the power manager's parts for the card's
// stack are in pnp_manager.cpp and power_manager.cpp.
#include "sim/machine.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "sim/driver_loader.h"
#include "sim/io_bus.h"
#include "machine_state.h"
#include "machine_rules.h"
#include "sim/io.h"
#include "sim/machine_kernel.h"
#include "sim/verifier.h"

namespace sim {

kernel::WdmSupport DefaultPlatform() {
  const char* name = std::getenv("TARVIK_PLATFORM");
  if (name == nullptr || *name == 0) return kernel::WdmSupport::Wdm110;
  if (auto platform = ParsePlatform(name)) return *platform;
  std::fprintf(stderr, "emulated machine: TARVIK_PLATFORM=%s is neither 2000 nor 98; playing 2000\n",
               name);
  return kernel::WdmSupport::Wdm110;
}

void SetDefaultPlatform(kernel::WdmSupport wdm) { setenv("TARVIK_PLATFORM", PlatformName(wdm), 1); }

std::optional<kernel::WdmSupport> ParsePlatform(std::string_view name) {
  std::string lower;
  for (char c : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower == "2000" || lower == "xp") return kernel::WdmSupport::Wdm110;
  if (lower == "98" || lower == "me") return kernel::WdmSupport::Wdm10Only;
  return std::nullopt;
}

const char* PlatformName(kernel::WdmSupport wdm) {
  switch (wdm) {
    case kernel::WdmSupport::Wdm110: return "2000";
    case kernel::WdmSupport::Wdm10Only: return "98";
    case kernel::WdmSupport::None: return "none";
  }
  return "?";
}

std::chrono::microseconds DefaultClockTick() {
  const char* text = std::getenv("TARVIK_CLOCK_TICK_US");
  if (text == nullptr || *text == 0) return kernel::kDefaultClockTick;
  char* end = nullptr;
  long long us = std::strtoll(text, &end, 10);
  if (*end != 0 || us < 0) {
    std::fprintf(stderr, "emulated machine: TARVIK_CLOCK_TICK_US=%s is no tick; using the default\n",
                 text);
    return kernel::kDefaultClockTick;
  }
  return std::chrono::microseconds(us);
}

Machine::Machine(MachineOptions options) : options_(std::move(options)) {
  kernel::Boot(options_.wdm);
  kernel::SetClockTick(options_.clockTick);
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
  if (state_->card.Pulled()) {
    std::fprintf(stderr, "emulated machine: AddDevice of a card that was unplugged\n");
    return STATUS_NO_SUCH_DEVICE;
  }
  if (!state_->pdoCreated) {
    state_->bus.Start();
    state_->pdoCreated = true;
  }
  bool win2000 = options_.wdm != kernel::WdmSupport::Wdm10Only;
  if (win2000 && !DevicePresent()) {
    {
      std::lock_guard guard(state_->pnpLock);
      state_->capabilities.reset();
    }
    if (NTSTATUS status = EnumerateDevice(*this); !NT_SUCCESS(status)) return status;
  }
  KIRQL irql = KeGetCurrentIrql();
  NTSTATUS status = state_->driver->DriverExtension->AddDevice(state_->driver, state_->bus.Pdo());
  if (NT_SUCCESS(status)) {
    std::lock_guard guard(state_->pnpLock);
    state_->pnp = PnpState::NotStarted;
    state_->startFailed = false;
    state_->everStarted = false;
    state_->lists = {};
    if (!win2000) state_->capabilities.reset();
  }
  // Windows 2000/XP lets nobody open the device until its first start succeeds.
  if (NT_SUCCESS(status) && win2000) io::SetStackStartPending(state_->bus.Pdo(), true);
  CheckAddDevice(*this, status, irql);
  return status;
}

int32_t Machine::SendWmiRequest(uint8_t minor) {
  PDEVICE_OBJECT pdo = PdoOf(*this);
  if (pdo == nullptr) return STATUS_NO_SUCH_DEVICE;
  UCHAR buffer[256] = {};  // room for the provider's WMIREGINFO or data
  // A driver that completes it instead of passing it down breaks rule WmiForward (the
  // kernel's I/O verification sees it).
  return SendManagerRequest(io::GetAttachedDevice(pdo), IRP_MJ_SYSTEM_CONTROL, minor,
                            [&](PIO_STACK_LOCATION stack) {
                              stack->Parameters.WMI.ProviderId = reinterpret_cast<ULONG_PTR>(pdo);
                              stack->Parameters.WMI.DataPath = nullptr;
                              stack->Parameters.WMI.BufferSize = sizeof buffer;
                              stack->Parameters.WMI.Buffer = buffer;
                            });
}

std::vector<uint8_t> Machine::BusWmiRequests() const { return state_->bus.WmiRequests(); }

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

IO_STATUS_BLOCK SendManagerRequestForResult(PDEVICE_OBJECT top, UCHAR major, UCHAR minor,
                                            const std::function<void(PIO_STACK_LOCATION)>& fill) {
  PIRP irp = io::AllocateManagerIrp(top->StackSize);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // PnP and power requests start out unsupported
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = major;
  stack->MinorFunction = minor;
  if (fill) fill(stack);
  return io::CallAndWait(top, irp);
}

NTSTATUS SendManagerRequest(PDEVICE_OBJECT top, UCHAR major, UCHAR minor,
                            const std::function<void(PIO_STACK_LOCATION)>& fill) {
  return SendManagerRequestForResult(top, major, minor, fill).Status;
}

}  // namespace sim
