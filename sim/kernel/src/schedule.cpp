// The kernel-call hook every exported service passes first: per-role call counts,
// deterministic injections held at a chosen call, and the seeded perturbation of timing.
#include "sim/schedule.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "kernel_internal.h"
#include "sim/kernel.h"

namespace sim::schedule {
namespace {

// The thread that reached an injection point waits on this until the injector lets it go.
struct Hold {
  std::mutex lock;
  std::condition_variable cv;
  bool released = false;
};

struct Armed {
  InjectionPoint at;
  Action action;
  std::string what;
  uint64_t seen = 0;  // matching calls counted since arming
};

struct ThreadSchedule {
  Role role = Role::Test;
  std::shared_ptr<Hold> hold;  // set on an injector thread until it finishes or blocks
  uint64_t seedEpoch = 0;      // the seed this thread's generator was drawn from
  uint64_t prng = 0;
};

ThreadSchedule& This() {
  thread_local ThreadSchedule state;
  return state;
}

std::array<std::atomic<uint64_t>, kRoleCount> g_calls{};
std::atomic<bool> g_countServices{false};
std::mutex g_serviceCountLock;
std::map<std::pair<int, std::string>, uint64_t> g_serviceCounts;

std::mutex g_injectLock;
std::vector<std::unique_ptr<Armed>> g_armed;
std::atomic<size_t> g_armedCount{0};
std::vector<std::thread> g_injectors;
std::optional<InjectionPoint> g_last;
std::string g_lastDescription;

std::atomic<bool> g_seeded{false};
std::atomic<uint64_t> g_seed{0};
std::atomic<uint64_t> g_seedEpoch{1};
std::atomic<bool> g_seedSetByApi{false};

std::atomic<InterruptDelivery> g_delivery{InterruptDelivery::OtherProcessor};

uint64_t SplitMix(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

void Release(Hold& hold) {
  {
    std::lock_guard guard(hold.lock);
    if (hold.released) return;
    hold.released = true;
  }
  hold.cv.notify_all();
}

void ResetCounts(bool perService) {
  for (auto& count : g_calls) count.store(0, std::memory_order_relaxed);
  std::lock_guard guard(g_serviceCountLock);
  g_serviceCounts.clear();
  g_countServices = perService;
}

// Runs `armed` on a new injector thread and holds the calling thread until the injector lets
// it go. Called with g_injectLock held; returns with it released.
void Fire(std::unique_ptr<Armed> armed, const char* service, std::unique_lock<std::mutex>& guard) {
  std::string text = "emulated kernel: injection at " + Describe(armed->at) +
                     std::string(armed->at.afterReturn ? " (returning from " : " (entering ") + service + ")" +
                     (armed->what.empty() ? "" : ": " + armed->what);
  std::fprintf(stderr, "%s\n", text.c_str());
  g_last = armed->at;
  g_lastDescription = text;
  auto hold = std::make_shared<Hold>();
  g_injectors.emplace_back([armed = std::move(armed), hold] {
    This().role = Role::Injector;
    This().hold = hold;
    armed->action();
    This().hold = nullptr;
    Release(*hold);
  });
  guard.unlock();
  // An injector held by a further injection waits for another processor: what it holds goes on.
  sim::kernel::NoteBlocking();
  std::unique_lock wait(hold->lock);
  if (!hold->cv.wait_for(wait, sim::kernel::DeadlockLimit(), [&] { return hold->released; })) {
    std::fprintf(stderr,
                 "emulated kernel: an injected action neither finished nor blocked in a kernel "
                 "wait within %lld ms; the held thread goes on\n",
                 static_cast<long long>(sim::kernel::DeadlockLimit().count()));
  }
}

// Counts the call for every armed injection it matches (at its entry, or at its return for
// those armed after a return), and fires the first that it reaches. Every matching injection
// counts the call, so several armed together each fire at their own call.
void CheckInjections(Role role, const char* service, bool returning) {
  std::unique_lock guard(g_injectLock);
  auto firing = g_armed.end();
  for (auto it = g_armed.begin(); it != g_armed.end(); ++it) {
    Armed& armed = **it;
    if (armed.at.role != role || armed.at.afterReturn != returning) continue;
    if (!armed.at.service.empty() && armed.at.service != service) continue;
    if (++armed.seen == armed.at.call && firing == g_armed.end()) firing = it;
  }
  if (firing == g_armed.end()) return;
  std::unique_ptr<Armed> armed = std::move(*firing);
  g_armed.erase(firing);
  g_armedCount = g_armed.size();
  Fire(std::move(armed), service, guard);
}

void Perturb(ThreadSchedule& self) {
  uint64_t epoch = g_seedEpoch.load(std::memory_order_acquire);
  if (self.seedEpoch != epoch) {
    self.seedEpoch = epoch;
    self.prng = g_seed.load() ^ (0xD1B54A32D192ED03ull * (static_cast<uint64_t>(self.role) + 1));
  }
  uint64_t draw = SplitMix(self.prng);
  switch (draw % 8) {
    case 0:
      std::this_thread::yield();
      break;
    case 1:
      std::this_thread::sleep_for(std::chrono::microseconds((draw >> 8) % 50));
      break;
    default:
      break;
  }
}

}  // namespace

const char* RoleName(Role role) {
  switch (role) {
    case Role::Test: return "test";
    case Role::Dpc0: return "DPC processor 0";
    case Role::Dpc1: return "DPC processor 1";
    case Role::Worker0: return "worker 0";
    case Role::Worker1: return "worker 1";
    case Role::Interrupt: return "interrupt processor";
    case Role::Injector: return "injector";
  }
  return "?";
}

Role CurrentRole() { return This().role; }

void StartCounting() { ResetCounts(true); }

uint64_t CallCount(Role role, std::string_view service) {
  if (service.empty()) return g_calls[static_cast<int>(role)].load();
  std::lock_guard guard(g_serviceCountLock);
  auto it = g_serviceCounts.find({static_cast<int>(role), std::string(service)});
  return it == g_serviceCounts.end() ? 0 : it->second;
}

std::string Describe(const InjectionPoint& point) {
  std::string text = (point.afterReturn ? "the return of call " : "call ") + std::to_string(point.call);
  if (!point.service.empty()) text += " of " + point.service;
  return text + " by the " + RoleName(point.role) + " thread";
}

void Inject(InjectionPoint at, Action action, std::string what) {
  ResetCounts(g_countServices.load());
  std::lock_guard guard(g_injectLock);
  g_armed.push_back(std::make_unique<Armed>(Armed{std::move(at), std::move(action), std::move(what)}));
  g_armedCount = g_armed.size();
}

bool AllInjectionsFired() {
  std::lock_guard guard(g_injectLock);
  return g_armed.empty();
}

void WaitForInjections() {
  for (;;) {
    std::vector<std::thread> threads;
    {
      std::lock_guard guard(g_injectLock);
      threads.swap(g_injectors);
    }
    if (threads.empty()) return;
    for (auto& thread : threads) thread.join();
  }
}

void DisarmInjections() {
  std::lock_guard guard(g_injectLock);
  g_armed.clear();
  g_armedCount = 0;
}

std::optional<InjectionPoint> LastInjection() {
  std::lock_guard guard(g_injectLock);
  return g_last;
}

std::string LastInjectionDescription() {
  std::lock_guard guard(g_injectLock);
  return g_lastDescription;
}

Action FailPoolAllocation(size_t n) {
  return [n] { sim::kernel::FailNthPoolAllocation(n); };
}

void SetScheduleSeed(std::optional<uint64_t> seed) {
  g_seedSetByApi = seed.has_value();
  g_seed = seed.value_or(0);
  g_seedEpoch.fetch_add(1);
  g_seeded = seed.has_value();
}

std::optional<uint64_t> ScheduleSeed() {
  if (!g_seeded) return std::nullopt;
  return g_seed.load();
}

void SetInterruptDelivery(InterruptDelivery mode) { g_delivery = mode; }
InterruptDelivery CurrentInterruptDelivery() { return g_delivery; }

}  // namespace sim::schedule

namespace sim::kernel {

namespace {

// What EnterService does only while a test counts services, has injections armed or runs
// seeded: kept out of line, so the common path saves no registers and builds no frame.
[[gnu::noinline]] void EnterServiceWatched(sim::schedule::ThreadSchedule& self,
                                           const char* service) {
  using namespace sim::schedule;
  if (g_countServices.load(std::memory_order_relaxed)) {
    std::lock_guard guard(g_serviceCountLock);
    g_serviceCounts[{static_cast<int>(self.role), service}]++;
  }
  if (g_armedCount.load(std::memory_order_acquire) != 0) CheckInjections(self.role, service, false);
  if (g_seeded.load(std::memory_order_relaxed)) Perturb(self);
}

[[gnu::noinline]] void CheckWaitOwed(const char* service) {
  if (std::strncmp(service, "KeWaitFor", 9) != 0) CheckNoWaitOwed(service);
}

}  // namespace

void EnterService(const char* service) {
  using namespace sim::schedule;
  sim::verifier::FlushDeferredReports();
  ThreadSchedule& self = This();
  g_calls[static_cast<int>(self.role)].fetch_add(1, std::memory_order_relaxed);
  // A thread that set an event with Wait TRUE owes a wait as its very next kernel call.
  if (CurrentThread().WaitOwed) [[unlikely]] CheckWaitOwed(service);
  if (g_countServices.load(std::memory_order_relaxed) ||
      g_armedCount.load(std::memory_order_acquire) != 0 ||
      g_seeded.load(std::memory_order_relaxed)) [[unlikely]] {
    EnterServiceWatched(self, service);
  }
}

void NoteBlocking() {
  auto& self = sim::schedule::This();
  if (self.hold == nullptr) return;
  sim::schedule::Release(*self.hold);
  self.hold = nullptr;
}

void SetThreadRole(sim::schedule::Role role) { sim::schedule::This().role = role; }

void ScheduleAtBoot() {
  using namespace sim::schedule;
  if (!g_seedSetByApi) {
    const char* text = std::getenv("TARVIK_SCHEDULE_SEED");
    if (text != nullptr && *text != '\0') {
      g_seed = std::strtoull(text, nullptr, 0);
      g_seedEpoch.fetch_add(1);
      g_seeded = true;
    }
  }
  if (g_seeded) {
    std::fprintf(stderr, "emulated kernel: schedule seed %llu (TARVIK_SCHEDULE_SEED=%llu replays it)\n",
                 static_cast<unsigned long long>(g_seed.load()),
                 static_cast<unsigned long long>(g_seed.load()));
  }
}

void ScheduleAtShutdown() {
  sim::schedule::WaitForInjections();
  sim::schedule::DisarmInjections();
}

}  // namespace sim::kernel

// The platform's IoSetCancelRoutine is a macro; the emulated one is an inline that reports
// its entry here, so that an injection can land right after a cancel routine is installed.
void SimEnterKernelService(const char* Service) { sim::kernel::EnterService(Service); }
void SimLeaveKernelService(const char* Service) {
  if (sim::schedule::g_armedCount.load(std::memory_order_acquire) != 0) [[unlikely]] {
    sim::schedule::CheckInjections(sim::schedule::This().role, Service, true);
  }
}
