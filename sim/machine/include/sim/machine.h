// The emulated machine: the kernel, the card on the I/O bus, the PCI bus driver with the
// card's physical device object, and the driver under test, booted together. Free of platform types so that user-mode code
// can boot a machine too; kernel-side code reaches the objects through sim/machine_kernel.h.
//
// One machine exists at a time (the emulated kernel is process-wide). Destroying it closes
// the handles left open (as a process exit would), removes the device, unloads the drivers
// and stops the kernel; leaks and broken rules found on the way go to the verifier.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "card/card.h"
#include "sim/kernel.h"

namespace sim {

// A driver as the loader sees it: its name and its entry point (DriverEntry).
struct DriverImage {
  std::u16string name;
  void* entry = nullptr;  // DRIVER_INITIALIZE*, kept opaque here
};

// The Tarvik driver (defined by the tarvik_emulated_driver target): the one linked into this
// program, or the PE32 image the environment variable TARVIK_DRIVER_IMAGE names, loaded anew
// for each call under forced IRQL checking (i686 build only; a failure to load ends the
// process with the loader's reason).
DriverImage TarvikDriverImage();
// Makes TarvikDriverImage() load the image at path from now on (sets the variable).
void SetDriverImagePath(const std::string& path);

// The card's interrupt as the PCI bus assigns it: its raw line and the translated vector and
// IRQL that connecting takes.
struct InterruptAssignment {
  uint32_t rawLine = 11;
  uint32_t vector = 0x3B;
  uint8_t irql = 16;
  // The line as the interrupt controller takes it: level-sensitive and shared (a PCI line), or
  // latched and device-exclusive, interrupting once per rising edge of the card's pin.
  bool latched = false;
};

// The resources the PnP manager hands the driver at start, as a raw and a translated list,
// each with one full descriptor (PCI bus 0). Standard is what the machine's card gets:
//   [0] port    the bridge's registers: card.bridgeBase, 128 bytes, I/O space
//   [1] port    the card's window: card.windowBase, 64 bytes, I/O space
//   [2] memory  the bridge's memory-mapped copy of its registers: bridgeMemoryBase, 128 bytes
//   [3] interrupt, shared, level-sensitive, affinity 1: raw Level = Vector = rawLine;
//               translated Level = irql, Vector = vector
// Ports and memory are device-exclusive. The other layouts are what a driver must cope with
// (or refuse) on other machines and with broken assignments:
enum class ResourceLayout {
  Standard,
  MemorySpacePorts,  // the translated list has both port ranges in memory space: flags
                     // CM_RESOURCE_PORT_MEMORY, Start = kPortSpaceInMemory + the port (raw: I/O)
  BridgeInMemorySpace,  // as MemorySpacePorts for the bridge's range only; the window stays I/O
  TwoInterrupts,     // Standard plus a second interrupt after the first: raw line rawLine + 1,
                     // translated vector + 1 at the same IRQL
  NoMemoryRange,     // [bridge][window][interrupt]
  OnePortRange,      // [bridge][memory][interrupt]: the card's window is missing
  ShortWindow,       // Standard with a 32-byte window
  WindowFirst,       // three port ranges: the window (64), the bridge (128), and another 64-byte
                     // range at windowBase + 0x400; then memory and interrupt
  SevenPortRanges,   // bridge, window, then five 64-byte ranges from windowBase + 0x400, 0x100
                     // apart; then memory and interrupt
  FiveMemoryRanges,  // bridge, window, the bridge's memory range, then four more 128-byte
                     // ranges 4 KiB apart below it; then interrupt
  TranslatedOnly,    // Standard translated list, no raw list (AllocatedResources null)
  NoLists,           // neither list
};

// How far a rebalance moves the card's port ranges.
inline constexpr uint32_t kRebalanceShift = 0x1000;

// Where MemorySpacePorts puts port space in the physical address space.
inline constexpr uint64_t kPortSpaceInMemory = 0xFE000000;

// What a PnP sequence that the platform would never send returns (STATUS_INVALID_DEVICE_STATE);
// nothing is sent to the driver.
inline constexpr int32_t kPnpSequenceRefused = static_cast<int32_t>(0xC0000184);

// The device's PnP state as the PnP manager keeps it.
enum class PnpState {
  NotStarted,       // added (or not yet), never started or its start failed
  Started,
  StopPending,      // query-stop succeeded; stop or cancel-stop comes next
  Stopped,          // stopped to rebalance; start (with new lists) or removal comes next
  RemovePending,    // query-remove succeeded; remove or cancel-remove comes next
  SurpriseRemoved,  // surprise removal sent; only removal may follow
  Removed,
};
const char* PnpStateName(PnpState state);

// The platform family the machine plays (MachineOptions::wdm); README "The two platforms":
//   Wdm110     Windows 2000/XP, the default
//   Wdm10Only  Windows 98/Me (WDM 1.0: the driver's Win98Mode)
// The environment variable TARVIK_PLATFORM ("2000" or "98") picks the default for a whole
// process; the tool's --platform sets it.
kernel::WdmSupport DefaultPlatform();
void SetDefaultPlatform(kernel::WdmSupport wdm);
// "2000" or "xp", "98" or "me" (any case); nullopt for anything else.
std::optional<kernel::WdmSupport> ParsePlatform(std::string_view name);
const char* PlatformName(kernel::WdmSupport wdm);  // "2000", "98" or "none"

// The clock tick machines get unless their options say otherwise: TARVIK_CLOCK_TICK_US
// (microseconds; 0 makes timers exact) or the kernel's default (kernel::kDefaultClockTick).
std::chrono::microseconds DefaultClockTick();

struct MachineOptions {
  kernel::WdmSupport wdm = DefaultPlatform();
  std::chrono::microseconds clockTick = DefaultClockTick();  // see kernel::SetClockTick
  card::CardConfig card;  // the card on the machine's I/O bus
  InterruptAssignment interrupt;
  ResourceLayout resources = ResourceLayout::Standard;
  uint64_t bridgeMemoryBase = 0xFEBFF000;  // the bridge's memory-mapped registers (128 bytes)
  // A start after a stop moves the card's port ranges (kRebalanceShift below the configured
  // bases, and back on the next restart), as a rebalance of resources does: a driver that
  // keeps the old bases touches ports it no longer holds.
  bool rebalanceOnRestart = false;
  std::u16string registryPath = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tarvik";
};

// How the PCI bus driver answers a PnP or power request that reaches the card's physical
// device object.
struct BusAnswer {
  enum class Kind {
    Succeed,        // complete at once with STATUS_SUCCESS
    Fail,           // complete at once with `status`
    CompleteLater,  // mark pending, return STATUS_PENDING, complete after `delay` from another
                    // thread with `status`: at DISPATCH_LEVEL on Windows 2000/XP (as from a
                    // DPC), at PASSIVE_LEVEL on 98/Me, where drivers may complete power
                    // requests only there; `raised` completes at DISPATCH_LEVEL on either
  };
  Kind kind = Kind::Succeed;
  int32_t status = 0;
  std::chrono::milliseconds delay{50};
  bool raised = false;

  static BusAnswer Succeed() { return {}; }
  static BusAnswer Fail(int32_t status) { return {Kind::Fail, status, {}}; }
  static BusAnswer Later(int32_t status = 0, std::chrono::milliseconds delay = std::chrono::milliseconds(50)) {
    return {Kind::CompleteLater, status, delay};
  }
  // Later at DISPATCH_LEVEL whatever the platform: on 98/Me a lower driver breaking its rule.
  static BusAnswer LaterRaised(int32_t status = 0,
                               std::chrono::milliseconds delay = std::chrono::milliseconds(50)) {
    return {Kind::CompleteLater, status, delay, true};
  }
};

// A PnP request as the bus driver saw it.
struct BusPnpRecord {
  uint8_t minor = 0;
  int32_t statusOnArrival = 0;  // IoStatus.Status when it reached the bus driver
  uint64_t order = 0;           // place among all requests (PnP and power) the bus received
};

// The platform's power-state numbers, as plain integers for code without <wdm.h>.
inline constexpr int kSystemWorking = 1;  // S0 (PowerSystemWorking)
inline constexpr int kSystemSleeping3 = 4;  // S3 (PowerSystemSleeping3)
inline constexpr int kSystemHibernate = 5;  // S4
inline constexpr int kSystemShutdown = 6;  // S5
inline constexpr int kDeviceD0 = 1;
inline constexpr int kDeviceD3 = 4;
// Parameters.Power.Type
inline constexpr int kSystemPowerType = 0;
inline constexpr int kDevicePowerType = 1;

// A power request as the bus driver saw it.
struct BusPowerRecord {
  uint8_t minor = 0;
  int type = 0;          // Parameters.Power.Type: kSystemPowerType or kDevicePowerType
  int state = 0;         // Parameters.Power.State (system or device state by type)
  int shutdownType = 0;  // Parameters.Power.ShutdownType (POWER_ACTION)
  int32_t statusOnArrival = 0;
  uint8_t irql = 0;      // the IRQL it arrived at
  uint64_t order = 0;    // place among all requests (PnP and power) the bus received
};

class Machine {
 public:
  explicit Machine(MachineOptions options = {});
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // Loads the driver: DriverEntry with the registry path. Returns its NTSTATUS.
  int32_t LoadDriver(const DriverImage& image);
  bool DriverLoaded() const;
  // Unloads it; false (and a violation) when it still has device objects.
  bool UnloadDriver();

  // Creates the card's physical device object (once) and calls the driver's AddDevice. On
  // 2000/XP the PnP manager first enumerates the device at its bus driver (IDs,
  // capabilities, texts, bus information, resources; pnp_manager.cpp); when the capabilities
  // cannot be read the driver is not called and that failure is returned. After the card was
  // unplugged there is nothing to add: STATUS_NO_SUCH_DEVICE.
  int32_t AddDevice();
  // True while the driver's device object is attached on the card's stack.
  bool DevicePresent() const;

  // Sends a PnP request with the given minor code to the top of the card's stack, as the PnP
  // manager does (status starts as STATUS_NOT_SUPPORTED), and returns its final status. No
  // parameters and no check of the sequence; the outcome still moves DevicePnpState() (see below).
  int32_t SendPnp(uint8_t minor);

  // PnP sequences as the platform's PnP manager sends them. Each returns the final status of
  // the last request it sent. A sequence the platform would never send in the current state
  // (start of a removed device, stop of one never started...) sends nothing and returns
  // kPnpSequenceRefused, with the reason in LastRefusal() and on stderr; without a device on
  // the stack the status is STATUS_NO_SUCH_DEVICE.
  //
  // The start with both lists of Options().resources; the lists stay alive until stop,
  // removal or a failed start. From NotStarted or Stopped. Around it, as each platform sends
  // them (pnp_manager.cpp; query-capabilities prepares DEVICE_CAPABILITIES zeroed, Size,
  // Version 1, Address and UINumber -1):
  //   2000/XP: filter-resource-requirements before a first start; after a successful start
  //     query-capabilities, query-PnP-device-state (first start only), the bus relations and
  //     the WMI registration (first start only). Opens of the device fail until the first
  //     start succeeds. A failed start is followed at once by the removal, without a query:
  //     the device is gone when this returns the failure.
  //   98/Me: query-capabilities first (its failure: no start); a failed start is followed by a
  //     stop without a query, and the device stays (Stopped).
  int32_t StartDevice();
  int32_t QueryStopDevice();   // from Started
  int32_t CancelStopDevice();  // from StopPending, or Started after a failed query-stop
  // Query-stop, then stop; when the query fails, cancel-stop, and the query's failure is
  // returned. From StopPending only the stop is sent. On 2000/XP the resource requirements
  // are queried and filtered before the stop.
  int32_t StopDevice();
  int32_t QueryRemoveDevice();   // from Started
  int32_t CancelRemoveDevice();  // from RemovePending, or Started after a failed query-remove
  // Query-remove, then removal; when the query fails, cancel-remove, and the query's failure
  // is returned. Removal alone for a device that is not running (never started, failed start,
  // stopped, already queried, surprise-removed), as the platform does. On 2000/XP the removal
  // relations are queried between an agreed query and the removal.
  int32_t RemoveDevice();
  // Surprise removal, then the removal, which the platform sends only once the last handle of
  // the device is closed (and its file objects gone): the call waits for that, so a test
  // closes them from another thread. Returns the failure of the surprise removal if it
  // failed, otherwise the status of the removal. From Started or Stopped. Windows 2000/XP
  // only: Windows 98/Me never sends a surprise removal (refused).
  int32_t SurpriseRemoveDevice();
  // The card pulled from its slot: its hardware is gone at once, then the device is removed
  // as the platform removes it. Windows 2000/XP: surprise removal (in whatever state the
  // device is in) and, once the last handle is closed, the removal (this call waits, as
  // SurpriseRemoveDevice does). Windows 98/Me: the removal at once, with handles open and
  // requests in flight. Returns the status of the removal (or of a failed surprise removal).
  int32_t UnplugCard();

  // A WMI request (IRP_MJ_SYSTEM_CONTROL) as WMI sends it to the top of the card's stack for
  // the PCI bus driver's provider (Parameters.WMI.ProviderId is the card's physical device
  // object; the bus driver registered it with no data blocks, so a request that reaches it
  // succeeds); its final status. A request that never reached the bus driver breaks
  // WmiForward. The start sends IRP_MN_REGINFO on Windows 2000/XP.
  int32_t SendWmiRequest(uint8_t minor);
  std::vector<uint8_t> BusWmiRequests() const;

  PnpState DevicePnpState() const;
  // Why the last refused sequence was refused (empty when none was).
  std::string LastRefusal() const;

  // The bus driver's answer for PnP requests with this minor code. By default the codes it
  // handles succeed (start, stop and removal with their queries and cancellations,
  // query-capabilities, surprise removal); any other is completed with the status it came with.
  void SetBusPnpAnswer(uint8_t minor, BusAnswer answer);
  std::vector<BusPnpRecord> BusPnpRequests() const;

  // The power manager. Each sends one power request to the top of the card's stack, from
  // PASSIVE_LEVEL, with IoStatus.Status STATUS_NOT_SUPPORTED, waits until it has completed
  // past the top, and returns its final status. Requests the driver asks for meanwhile
  // (PoRequestPowerIrp) travel on their own. Without the card's physical device object the
  // result is STATUS_NO_SUCH_DEVICE; a system state outside S0..S5 (1..6) or a device state
  // outside D0..D3 (1..4) is STATUS_INVALID_PARAMETER and nothing is sent.
  //
  // System set-power: Type SystemPowerState, State the target, ShutdownType the action
  // (S1..S3 PowerActionSleep, S4 PowerActionHibernate, S5 PowerActionShutdownOff; S0 carries
  // the action of the sleep it resumes from, or PowerActionNone). The system is in the target
  // state afterwards whatever the status: a set-power cannot be refused.
  int32_t SetSystemPower(int target);
  // System query-power, the same request with IRP_MN_QUERY_POWER; the system state stays.
  int32_t QuerySystemPower(int target);
  // A device power request (set or query; Type DevicePowerState) sent by a test directly.
  int32_t SendDevicePower(uint8_t minor, int deviceState);
  // The system state the power manager last set (S0 at boot).
  int CurrentSystemPower() const;

  // The bus driver's answer for power requests with this minor code and Parameters.Power.Type.
  // Default: set-power and query-power succeed; other minor codes complete with the status
  // they arrive with. The bus driver calls PoStartNextPowerIrp for every power request it
  // completes, also when it completes later.
  void SetBusPowerAnswer(uint8_t minor, int type, BusAnswer answer);
  std::vector<BusPowerRecord> BusPowerRequests() const;

  const MachineOptions& Options() const { return options_; }

  // The card, attached to the machine's I/O bus (sim::PortBus()) from boot to shutdown. Its
  // bridge's PCI interrupt output drives the interrupt line of Options().interrupt.vector.
  card::Card& Card();

  // The bench pulls the card from its slot (card::Card::Pull): from now on its ranges read all
  // ones and drop writes, and its interrupt pin is low, or floats asserted when `pinFloats`.
  // Only the hardware changes: the PnP manager learns of it when the test sends the surprise
  // removal, which may come before, during or after the pull, as on the platform.
  void PullCard(bool pinFloats = false);
  bool CardPulled() const;

  // Another device on the card's interrupt line (the line is shared): while its level is set
  // the line is asserted. Whoever serves it (a test's service routine) clears the level.
  void SetForeignInterruptLevel(bool asserted);
  bool ForeignInterruptLevel() const;

  // Kernel-side access (see sim/machine_kernel.h): opaque pointers to the platform objects.
  void* DriverObject() const;
  void* PhysicalDeviceObject() const;
  void* FunctionalDeviceObject() const;
  // The lists handed over at the last start (CM_RESOURCE_LIST*), null when not kept (see
  // StartDevice) or not given by the layout.
  void* RawResources() const;
  void* TranslatedResources() const;
  // The capabilities as the last successful query-capabilities left them
  // (DEVICE_CAPABILITIES*), null before one.
  const void* Capabilities() const;

  struct State;  // the machine's kernel-side state

 private:
  friend struct MachineAccess;
  // STATUS_SUCCESS when the sequence may be sent in the current state, otherwise the refusal.
  int32_t CheckSequence(const char* sequence, std::initializer_list<PnpState> allowed);
  void WaitForLastFileObject();
  int32_t SurpriseThenRemove();
  void MovePortsForRestart();
  MachineOptions options_;
  std::unique_ptr<State> state_;
};

}  // namespace sim
