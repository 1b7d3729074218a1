// The PCI bus driver of the emulated machine: it owns the card's physical device object and
// answers the PnP and power requests that function drivers pass down to it.
#pragma once

#include <wdm.h>

#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "card/eeprom_93c46.h"
#include "sim/machine.h"

namespace sim {

class PciBus {
 public:
  // `identity` gives the card's PCI identity (what its configuration space shows) whenever
  // the bus reports its IDs.
  explicit PciBus(std::function<card::PciIdentity()> identity);
  ~PciBus();  // joins completions still in flight; the PDO and driver must be gone already

  // Loads the bus driver and creates the card's physical device object.
  void Start();
  // Deletes the physical device object and unloads the bus driver.
  void Stop();

  PDEVICE_OBJECT Pdo() const { return pdo_; }

  void SetPnpAnswer(uint8_t minor, BusAnswer answer);
  std::vector<BusPnpRecord> PnpRequests() const;
  void SetPowerAnswer(uint8_t minor, int type, BusAnswer answer);
  std::vector<BusPowerRecord> PowerRequests() const;
  std::vector<uint8_t> WmiRequests() const;  // minor codes of the WMI requests received
  // Waits until every delayed completion has run.
  void JoinCompletions();
  // How the bus switches the card's I/O decoding (its command register) at a device
  // set-power: off on the way into D1..D3, on again at D0.
  void SetDecodeSwitch(std::function<void(bool)> decode);

 private:
  static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
  static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
  static NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
  NTSTATUS HandlePnp(PIRP irp);
  NTSTATUS HandlePower(PIRP irp);
  // Completes at once, or marks the request pending and completes it after the answer's delay
  // from another thread at DISPATCH_LEVEL; `complete` does the completing.
  NTSTATUS Answer(PIRP irp, NTSTATUS status, const BusAnswer& answer,
                  std::function<NTSTATUS(PIRP, NTSTATUS)> complete);
  // Fill in what the request returns (on success) and complete it with the status; return the
  // status it was completed with (a failed allocation changes it).
  NTSTATUS Complete(PIRP irp, NTSTATUS status);
  static NTSTATUS CompletePower(PIRP irp, NTSTATUS status);

  const std::function<card::PciIdentity()> identity_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  mutable std::mutex lock_;
  std::map<uint8_t, BusAnswer> answers_;
  std::vector<BusPnpRecord> requests_;
  std::map<std::pair<uint8_t, int>, BusAnswer> powerAnswers_;
  std::vector<BusPowerRecord> powerRequests_;
  std::vector<uint8_t> wmiRequests_;
  uint64_t received_ = 0;  // requests of either kind received so far
  std::vector<std::thread> completions_;
  std::function<void(bool)> decode_;
};

}  // namespace sim
