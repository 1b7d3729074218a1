// Interrupt objects, the interrupt lines of the machine's devices, and delivery of their
// interrupts to the connected service routines: on the interrupt processor's thread beside
// everything else, or, on a uniprocessor, in the thread that notified the line. What one
// interrupt does with the routines is in interrupt_dispatch.cpp.
//
// A level-sensitive vector keeps interrupting while its line is asserted; a latched one
// interrupts once per rising edge (the PIC latches edges). As ReactOS's KeConnectInterrupt
// (ntoskrnl/ke/i386/irqobj.c) does, connecting refuses FloatingSave (x86 has no floating
// interrupt dispatch) and a sharer whose mode differs; as its IoConnectInterrupt
// (ntoskrnl/io/iomgr/irq.c), a processor mask that names no active processor. The
// ProcessorEnableMask, Irql, Vector and InterruptMode a driver passes come from its translated
// interrupt resource (Microsoft's IoConnectInterrupt reference): the kernel holds them against
// what the PnP manager assigned (InterruptConnectParameters). Connecting enables the vector
// (HalEnableSystemInterrupt): a level line already asserted interrupts at once.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "driver_activity.h"
#include "interrupt_object.h"
#include "kernel_internal.h"
#include "sim/kernel.h"

namespace sim::kernel {
namespace {

// The processors the machine has (KeActiveProcessors).
constexpr KAFFINITY kActiveProcessors = 0x3;

struct Source {
  uint32_t vector;
  std::function<LineLevel()> level;
};

using Levels = std::vector<std::function<LineLevel()>>;

struct VectorState {
  std::vector<PKINTERRUPT> chain;  // connection order
  // Copies of the chain and of its sources' level functions for delivery rounds, which run
  // without g_lock: replaced on every change, so a round takes them without allocating.
  std::shared_ptr<const Chain> roundChain = std::make_shared<const Chain>();
  std::shared_ptr<const Levels> levels = std::make_shared<const Levels>();
  int delivering = 0;              // threads inside a delivery round
  bool pending = false;            // uniprocessor: asserted while a thread at or above its IRQL ran
  bool latched = false;            // the connected routines' mode
  bool lineHigh = false;           // latched: the line as last seen, to find rising edges
  // The interrupt processor: notifications posted to it, and those whose rounds have finished.
  uint64_t requested = 0;
  uint64_t completed = 0;
  bool queued = false;
  InterruptStats stats;
};

std::mutex g_lock;
std::condition_variable g_idle;
std::condition_variable g_processorWork;
std::condition_variable g_roundsDone;
std::deque<uint32_t> g_processorQueue;
std::thread g_processor;
bool g_processorStop = false;
std::map<InterruptSourceId, Source> g_sources;
// Vectors with `pending` set: a thread dropping its IRQL looks at them only when there are any.
std::atomic<int> g_pendingVectors{0};
std::map<uint32_t, VectorState> g_vectors;
InterruptSourceId g_nextSource = 1;

// Renews the copies delivery rounds take. Called with g_lock held.
void PublishChain(VectorState& v) { v.roundChain = std::make_shared<const Chain>(v.chain); }

void PublishLevels(uint32_t vector) {
  Levels levels;
  for (const auto& [id, source] : g_sources) {
    if (source.vector == vector) levels.push_back(source.level);
  }
  g_vectors[vector].levels = std::make_shared<const Levels>(std::move(levels));
}

// The line as its sources drive it: asserted when any source asserts it, floating when only
// floating inputs hold it. Called without g_lock: a level function reads its device, which may
// be busy calling NotifyInterruptLine.
LineLevel Sample(const Levels& levels) {
  LineLevel line = LineLevel::Low;
  for (const auto& level : levels) {
    LineLevel one = level();
    if (one == LineLevel::Asserted) return one;
    if (one == LineLevel::Floating) line = one;
  }
  return line;
}

// Wakes IoDisconnectInterrupt waiting for rounds to finish; called with g_lock held.
int g_disconnectWaiters = 0;
void NoteRoundsFinished() {
  if (g_disconnectWaiters != 0) g_idle.notify_all();
}

// Whether a latched line's sample is a rising edge; remembers it. Takes g_lock.
bool TakeEdge(uint32_t vector, LineLevel line) {
  std::lock_guard guard(g_lock);
  VectorState& v = g_vectors[vector];
  bool rising = line != LineLevel::Low && !v.lineHigh;
  v.lineHigh = line != LineLevel::Low;
  return rising;
}

// Runs rounds in this thread: while the line is asserted on a level-sensitive vector, once
// for a rising edge on a latched one.
void Deliver(uint32_t vector) {
  StormWatch storm;
  // Held between rounds: one round's bookkeeping and the next one's start share it.
  std::unique_lock guard(g_lock);
  for (;;) {
    std::shared_ptr<const Chain> roundChain;
    std::shared_ptr<const Levels> levels;
    bool latched;
    {
      VectorState& v = g_vectors[vector];
      if (v.stats.masked) return;
      roundChain = v.roundChain;
      levels = v.levels;
      latched = v.latched;
      KIRQL irql = roundChain->empty() ? HIGH_LEVEL : roundChain->front()->Irql;
      if (CurrentThread().Irql >= irql) {
        // This processor is at or above the line's IRQL.
        if (!std::exchange(v.pending, true)) g_pendingVectors.fetch_add(1);
        return;
      }
      v.delivering++;
    }
    guard.unlock();
    const Chain& chain = *roundChain;
    LineLevel line = Sample(*levels);
    bool run = line != LineLevel::Low && !chain.empty();
    if (latched) run = TakeEdge(vector, line) && !chain.empty();
    PKINTERRUPT claimer = run ? RunServiceRoutines(chain, latched) : nullptr;
    if (run && latched) TakeEdge(vector, Sample(*levels));
    guard.lock();
    VectorState& v = g_vectors[vector];
    v.delivering--;
    NoteRoundsFinished();
    if (!run) return;
    v.stats.deliveries++;
    if (latched) {
      (claimer != nullptr ? v.stats.claimed : v.stats.unclaimed)++;
      return;
    }
    if (auto masked = storm.Count(vector, line, claimer, v.stats)) {
      v.stats.masked = true;
      guard.unlock();
      if (!masked->empty()) verifier::Report("InterruptStorm", std::move(*masked));
      return;
    }
  }
}

KIRQL VectorIrql(const VectorState& v) {
  return v.chain.empty() ? HIGH_LEVEL : v.chain.front()->Irql;
}

// Hands the vector to the interrupt processor; returns the ticket its rounds will finish.
// Called with g_lock held.
uint64_t PostToProcessor(uint32_t vector, VectorState& v) {
  uint64_t ticket = ++v.requested;
  if (!v.queued) {
    v.queued = true;
    g_processorQueue.push_back(vector);
    g_processorWork.notify_one();
  }
  return ticket;
}

void WaitForRounds(uint32_t vector, uint64_t ticket) {
  NoteBlocking();
  std::unique_lock guard(g_lock);
  bool done = g_roundsDone.wait_for(guard, DeadlockLimit(), [&] {
    return g_processorStop || g_vectors[vector].completed >= ticket;
  });
  if (!done) {
    std::fprintf(stderr,
                 "emulated kernel: interrupt rounds on vector %u did not finish within %lld ms; "
                 "stopping instead of hanging (a service routine spins on a lock forever?)\n",
                 vector, static_cast<long long>(DeadlockLimit().count()));
    std::abort();
  }
}

void ProcessorMain() {
  SetThreadRole(sim::schedule::Role::Interrupt);
  std::unique_lock guard(g_lock);
  for (;;) {
    g_processorWork.wait(guard, [] { return g_processorStop || !g_processorQueue.empty(); });
    if (g_processorStop) break;
    uint32_t vector = g_processorQueue.front();
    g_processorQueue.pop_front();
    g_vectors[vector].queued = false;
    uint64_t upTo = g_vectors[vector].requested;
    guard.unlock();
    Deliver(vector);
    guard.lock();
    VectorState& v = g_vectors[vector];
    v.completed = std::max(v.completed, upTo);
    g_roundsDone.notify_all();
  }
}

// Whether the notifying thread may play the interrupt processor for these rounds itself: it
// would only wait for them, so running them here changes nothing another thread can see,
// provided it is a test thread outside the kernel's and the driver's routines (passive level,
// no spin lock, no dispatch routine under way, nothing owed), so the rounds interrupt
// nothing; kernel-started threads and injectors keep their roles' meaning. And the vector
// must be idle (no rounds running or queued), so one processor at a time serves it. Called
// with g_lock held.
bool CanRunRoundsHere(const VectorState& v) {
  auto& thread = CurrentThread();
  return sim::schedule::CurrentRole() == sim::schedule::Role::Test &&
         thread.Irql == PASSIVE_LEVEL && thread.HeldSpinLocks.empty() && thread.Frames.empty() &&
         thread.OwedInterruptRounds.empty() && !v.queued && v.delivering == 0 &&
         v.completed == v.requested;
}

// Runs the rounds of `ticket` in this thread as the interrupt processor, then hands the
// processor the notifications that came in meanwhile (their notifiers wait for those).
void RunRoundsHere(uint32_t vector, uint64_t ticket) {
  SetThreadRole(sim::schedule::Role::Interrupt);
  Deliver(vector);
  SetThreadRole(sim::schedule::Role::Test);
  std::lock_guard guard(g_lock);
  VectorState& v = g_vectors[vector];
  v.completed = std::max(v.completed, ticket);
  if (v.requested > ticket && !g_processorStop) {
    g_processorQueue.push_back(vector);  // still marked queued
    g_processorWork.notify_one();
  } else {
    v.queued = false;
    v.completed = v.requested;
  }
  g_roundsDone.notify_all();
}

PKINTERRUPT FindConnected(PKINTERRUPT interrupt) {
  for (auto& [number, v] : g_vectors) {
    if (std::find(v.chain.begin(), v.chain.end(), interrupt) != v.chain.end()) return interrupt;
  }
  return nullptr;
}

}  // namespace

InterruptSourceId AttachInterruptSource(uint32_t vector, std::function<bool()> level) {
  return AttachInterruptSource(vector, [level = std::move(level)] {
    return level() ? LineLevel::Asserted : LineLevel::Low;
  });
}

InterruptSourceId AttachInterruptSource(uint32_t vector, std::function<LineLevel()> level) {
  std::lock_guard guard(g_lock);
  InterruptSourceId id = g_nextSource++;
  g_sources[id] = {vector, std::move(level)};
  PublishLevels(vector);
  return id;
}

void DetachInterruptSource(InterruptSourceId source) {
  std::lock_guard guard(g_lock);
  auto it = g_sources.find(source);
  if (it == g_sources.end()) return;
  uint32_t vector = it->second.vector;
  g_sources.erase(it);
  PublishLevels(vector);
}

namespace {

// The line of the source (or, for source 0, the vector) may have changed: its rounds run as
// the delivery mode says.
void NotifyLine(InterruptSourceId source, uint32_t vector) {
  using sim::schedule::InterruptDelivery;
  InterruptDelivery mode = sim::schedule::CurrentInterruptDelivery();
  uint64_t ticket;
  KIRQL irql;
  bool inHere = false;
  {
    std::lock_guard guard(g_lock);
    if (source != 0) {
      auto it = g_sources.find(source);
      if (it == g_sources.end()) return;
      vector = it->second.vector;
    }
    if (mode != InterruptDelivery::Uniprocessor && g_processor.joinable() && !g_processorStop) {
      VectorState& v = g_vectors[vector];
      irql = VectorIrql(v);
      inHere = mode == InterruptDelivery::OtherProcessor && CanRunRoundsHere(v);
      if (inHere) {
        // Claimed like a queued vector: the processor leaves it alone, and notifications from
        // others meanwhile only take tickets, served below.
        v.queued = true;
        ticket = ++v.requested;
      } else {
        ticket = PostToProcessor(vector, v);
      }
    } else {
      mode = InterruptDelivery::Uniprocessor;
    }
  }
  if (mode == InterruptDelivery::Uniprocessor) {
    Deliver(vector);
    return;
  }
  if (inHere) {
    RunRoundsHere(vector, ticket);
    return;
  }
  // The processor's own routines and free-running delivery never wait for the rounds.
  if (mode == InterruptDelivery::FreeRunning ||
      sim::schedule::CurrentRole() == sim::schedule::Role::Interrupt) {
    return;
  }
  auto& thread = CurrentThread();
  if (thread.Irql >= irql) {
    // This thread holds the interrupt's lock or runs at or above its IRQL: the other processor
    // spins until it drops, and this thread waits for the rounds then.
    thread.OwedInterruptRounds.emplace_back(vector, ticket);
    return;
  }
  WaitForRounds(vector, ticket);
}

}  // namespace

void NotifyInterruptLine(InterruptSourceId source) {
  if (source != 0) NotifyLine(source, 0);
}

InterruptStats GetInterruptStats(uint32_t vector) {
  std::lock_guard guard(g_lock);
  return g_vectors[vector].stats;
}

void DeliverPendingInterrupts() {
  auto& thread = CurrentThread();
  if (!thread.OwedInterruptRounds.empty()) {
    std::vector<std::pair<uint32_t, uint64_t>> due;
    {
      std::lock_guard guard(g_lock);
      std::erase_if(thread.OwedInterruptRounds, [&](const std::pair<uint32_t, uint64_t>& owed) {
        if (thread.Irql >= VectorIrql(g_vectors[owed.first])) return false;
        due.push_back(owed);
        return true;
      });
    }
    for (auto [vector, ticket] : due) WaitForRounds(vector, ticket);
  }
  if (g_pendingVectors.load() == 0) return;
  std::vector<uint32_t> pending;
  {
    std::lock_guard guard(g_lock);
    for (auto& [number, v] : g_vectors) {
      if (!v.pending) continue;
      KIRQL irql = v.chain.empty() ? HIGH_LEVEL : v.chain.front()->Irql;
      if (CurrentThread().Irql < irql) {
        v.pending = false;
        g_pendingVectors.fetch_sub(1);
        pending.push_back(number);
      }
    }
  }
  for (uint32_t vector : pending) Deliver(vector);
}

bool InterruptConnectedWithin(const void* begin, const void* end) {
  std::lock_guard guard(g_lock);
  for (const auto& [number, v] : g_vectors) {
    for (PKINTERRUPT interrupt : v.chain) {
      if (interrupt->ServiceContext >= begin && interrupt->ServiceContext < end) return true;
    }
  }
  return false;
}

void StartInterruptProcessor() {
  std::lock_guard guard(g_lock);
  if (g_processor.joinable()) return;
  g_processorStop = false;
  g_processorQueue.clear();
  g_processor = std::thread(ProcessorMain);
}

void StopInterruptProcessor() {
  {
    std::lock_guard guard(g_lock);
    if (!g_processor.joinable()) return;
    g_processorStop = true;
    g_processorWork.notify_all();
    g_roundsDone.notify_all();
  }
  g_processor.join();
  g_processor = std::thread();
}

void ResetInterrupts() {
  std::lock_guard guard(g_lock);
  for (auto& [number, v] : g_vectors) {
    for (PKINTERRUPT interrupt : v.chain) {
      verifier::Report("InterruptConnectedAtShutdown",
                       "interrupt on vector " + std::to_string(number) +
                           " still connected when the kernel stopped");
      delete interrupt;
    }
  }
  g_vectors.clear();
  g_pendingVectors = 0;
  g_sources.clear();
  g_nextSource = 1;
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" NTSTATUS NTAPI IoConnectInterrupt(PKINTERRUPT* InterruptObject,
                                             PKSERVICE_ROUTINE ServiceRoutine, PVOID ServiceContext,
                                             PKSPIN_LOCK SpinLock, ULONG Vector, KIRQL Irql,
                                             KIRQL SynchronizeIrql, KINTERRUPT_MODE InterruptMode,
                                             BOOLEAN ShareVector, KAFFINITY ProcessorEnableMask,
                                             BOOLEAN FloatingSave) {
  EnterService("IoConnectInterrupt");
  *InterruptObject = nullptr;
  if (!CheckIrqlAtMost(PASSIVE_LEVEL, "IoConnectInterrupt")) return STATUS_INVALID_PARAMETER;
  if (SynchronizeIrql < Irql || Irql <= DISPATCH_LEVEL) return STATUS_INVALID_PARAMETER;
  if (FloatingSave || (ProcessorEnableMask & kActiveProcessors) == 0) {
    return STATUS_INVALID_PARAMETER;
  }
  bool latched = InterruptMode == Latched;
  ResourceOwner* owner = CurrentOwner();
  if (owner != nullptr) {
    std::string why = CheckConnectAgainstResources(*owner, Vector, Irql, ProcessorEnableMask,
                                                   latched, ShareVector != FALSE);
    if (!why.empty()) {
      verifier::Report("InterruptConnectParameters",
                       "IoConnectInterrupt in " + t_activity->Describe() + ": " + why);
      return STATUS_INVALID_PARAMETER;
    }
  }
  std::shared_ptr<const Levels> levels;
  {
    std::lock_guard guard(g_lock);
    VectorState& v = g_vectors[Vector];
    for (PKINTERRUPT other : v.chain) {
      // Everyone on a vector must agree to share it, at one IRQL and in one mode.
      if (!ShareVector || !other->Shared || other->Irql != Irql || other->Mode != InterruptMode) {
        return STATUS_INVALID_PARAMETER;
      }
    }
    auto* interrupt = new _KINTERRUPT{ServiceRoutine, ServiceContext, 0, nullptr, Vector, Irql,
                                      SynchronizeIrql, InterruptMode, ShareVector,
                                      CurrentActivityDevice(), owner};
    interrupt->Lock = SpinLock != nullptr ? SpinLock : &interrupt->OwnLock;
    v.chain.push_back(interrupt);
    PublishChain(v);
    v.stats.masked = false;
    v.latched = latched;
    levels = v.levels;
    *InterruptObject = interrupt;
  }
  // The vector is enabled now: a level line already asserted interrupts at once; a latched
  // line's present level is no edge.
  LineLevel line = Sample(*levels);
  if (latched) {
    TakeEdge(Vector, line);
  } else if (line != LineLevel::Low) {
    NotifyLine(0, Vector);
  }
  return STATUS_SUCCESS;
}

extern "C" void NTAPI IoDisconnectInterrupt(PKINTERRUPT InterruptObject) {
  EnterService("IoDisconnectInterrupt");
  CheckIrqlAtMost(PASSIVE_LEVEL, "IoDisconnectInterrupt");
  std::unique_lock guard(g_lock);
  if (FindConnected(InterruptObject) == nullptr) {
    verifier::Report("DisconnectNotConnected",
                     "IoDisconnectInterrupt of " + Describe(InterruptObject) + ", not connected");
    return;
  }
  VectorState& v = g_vectors[InterruptObject->Vector];
  std::erase(v.chain, InterruptObject);
  PublishChain(v);
  // A round that started before the removal may still run the routine: wait for it.
  if (v.delivering != 0) NoteBlocking();
  ++g_disconnectWaiters;
  g_idle.wait(guard, [&v] { return v.delivering == 0; });
  --g_disconnectWaiters;
  ForgetLocksWithin(InterruptObject, InterruptObject + 1);
  delete InterruptObject;
}

namespace sim::schedule {

Action DeliverInterrupt(uint32_t vector) {
  return [vector] {
    std::shared_ptr<const Chain> roundChain;
    bool latched;
    {
      std::lock_guard guard(g_lock);
      VectorState& v = g_vectors[vector];
      roundChain = v.roundChain;
      v.delivering++;
      latched = v.latched;
    }
    const Chain& chain = *roundChain;
    bool claimed = !chain.empty() && RunServiceRoutines(chain, latched) != nullptr;
    std::lock_guard guard(g_lock);
    VectorState& v = g_vectors[vector];
    v.delivering--;
    NoteRoundsFinished();
    if (chain.empty()) return;
    v.stats.deliveries++;
    (claimed ? v.stats.claimed : v.stats.unclaimed)++;
  };
}

}  // namespace sim::schedule
