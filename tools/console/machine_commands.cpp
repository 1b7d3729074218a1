// The console's machine commands: boot, the PnP sequences (the card unplugged among them),
// power, clock steps, foreign interrupts and the card pulled from its slot.
#include <chrono>

#include "session_impl.h"

namespace tarvik::console {

Reply ConsoleSession::Impl::Boot(const Args& args) {
  sim::MachineOptions machineOptions = options.machine;
  if (!args.empty()) {
    std::string wdm = Lower(args[0]);
    if (wdm == "wdm10") {
      machineOptions.wdm = sim::kernel::WdmSupport::Wdm10Only;
    } else if (wdm == "wdm110") {
      machineOptions.wdm = sim::kernel::WdmSupport::Wdm110;
    } else {
      return Reply::Fail("usage: boot [wdm10|wdm110]");
    }
  }
  Shutdown();
  machine.emplace(machineOptions);
  foreignSource = sim::kernel::AttachInterruptSource(
      machineOptions.interrupt.vector, [this] {
        int shots = foreignShots.load();
        while (shots > 0 && !foreignShots.compare_exchange_weak(shots, shots - 1)) {
        }
        return shots > 0;
      });
  int32_t entry = machine->LoadDriver(sim::TarvikDriverImage());
  if (entry < 0) return Reply::Fail("driver entry status=" + Status(entry));
  int32_t add = machine->AddDevice();
  if (add < 0) return Reply::Fail("add device status=" + Status(add));
  return Reply::Ok("entry=" + Status(entry) + " add=" + Status(add));
}

Reply ConsoleSession::Impl::Pnp(int32_t status) {
  if (status == sim::kPnpSequenceRefused && !machine->LastRefusal().empty()) {
    Reply reply = Reply::Fail("refused: " + machine->LastRefusal());
    return reply;
  }
  return Reply::Ok("status=" + Status(status) + " pnp=" + PnpName(machine->DevicePnpState()));
}

int32_t ConsoleSession::Impl::RunRemoval(RemovalKind kind) {
  switch (kind) {
    case RemovalKind::Orderly: return machine->RemoveDevice();
    case RemovalKind::Surprise: return machine->SurpriseRemoveDevice();
    case RemovalKind::Unplug: return machine->UnplugCard();
  }
  return 0;
}

// A removal waits for every handle to be closed (the driver's remove lock), so `remove`,
// `surprise` and `unplug` run on a thread of their own and their end is an event. The reply
// comes once the sequence has moved the device's state (or ended); the session waits for the
// end here, and at `close` of the last handle, when no handle of its own holds it back.
Reply ConsoleSession::Impl::Removal(RemovalKind kind) {
  auto state = machine->DevicePnpState();
  bool win98 = machine->Options().wdm == sim::kernel::WdmSupport::Wdm10Only;
  bool allowed = kind == RemovalKind::Surprise
                     ? !win98 && (state == sim::PnpState::Started || state == sim::PnpState::Stopped)
                     : state != sim::PnpState::Removed;
  if (!allowed) return Pnp(RunRemoval(kind));
  if (removal) return Reply::Fail("a removal is already under way");
  removal = std::make_unique<RemovalJob>();
  removal->id = nextRequest++;
  removal->thread = std::thread([this, kind, job = removal.get()] {
    job->status = RunRemoval(kind);
    job->done = true;
  });
  auto deadline = std::chrono::steady_clock::now() + options.waitLimit;
  while (!removal->done && machine->DevicePnpState() == state &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // On 98/Me a pulled card's removal waits for nothing: it has ended already.
  if (handles.empty() || (kind == RemovalKind::Unplug && win98)) FinishRemoval();
  return Reply::Ok("r" + std::to_string(removal->id));
}

void ConsoleSession::Impl::FinishRemoval() {
  if (removal && removal->thread.joinable()) removal->thread.join();
}

Reply ConsoleSession::Impl::Power(const Args& args) {
  std::string state = Lower(args[0]);
  if (state.size() != 2 || state[0] != 's' || state[1] < '0' || state[1] > '5') {
    return Reply::Fail("usage: power s0|s1|s2|s3|s4|s5");
  }
  int target = sim::kSystemWorking + (state[1] - '0');
  return Reply::Ok("status=" + Status(machine->SetSystemPower(target)));
}

Reply ConsoleSession::Impl::Step(const Args& args) {
  auto ticks = ParseNumber(args[0]);
  if (!ticks) return Reply::Fail("usage: step TICKS");
  return Reply::Ok("ticks=" + std::to_string(machine->Card().window().Step(*ticks)));
}

Reply ConsoleSession::Impl::ForeignIrq(const Args& args) {
  auto rounds = args.empty() ? std::optional<uint64_t>(1) : ParseNumber(args[0]);
  if (!rounds || *rounds == 0 || *rounds > 1000000) return Reply::Fail("usage: foreign_irq [ROUNDS]");
  uint32_t vector = machine->Options().interrupt.vector;
  auto before = sim::kernel::GetInterruptStats(vector);
  if (before.masked) return Reply::Fail("the line is masked");
  foreignShots.fetch_add(static_cast<int>(*rounds));
  sim::kernel::NotifyInterruptLine(foreignSource);
  auto after = sim::kernel::GetInterruptStats(vector);
  return Reply::Ok("claimed=" + std::to_string(after.claimed - before.claimed));
}

Reply ConsoleSession::Impl::Pull(const Args& args) {
  bool floats = !args.empty();
  if (floats && Lower(args[0]) != "float") return Reply::Fail("usage: pull [float]");
  if (machine->CardPulled()) return Reply::Fail("the card is out already");
  machine->PullCard(floats);
  auto stats = sim::kernel::GetInterruptStats(machine->Options().interrupt.vector);
  return Reply::Ok(std::string("pin=") + (floats ? "floating" : "low") +
                   " masked=" + (stats.masked ? "1" : "0"));
}

}  // namespace tarvik::console
