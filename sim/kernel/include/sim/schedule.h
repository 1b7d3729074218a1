// The emulated machine's processors and how a test steers them: which thread plays which
// processor, counts of kernel calls, deterministic injections at a chosen kernel call, a
// seeded perturbation of timing, and how interrupts reach their service routines. Free of
// platform types, like sim/kernel.h.
//
// Every exported kernel and HAL service (KeAcquireSpinLock, IofCallDriver, KeSetEvent,
// READ_PORT_UCHAR, IoSetCancelRoutine, ...) first passes one entry hook, which counts the call
// for the calling thread's role and may act on it.
//
// Replay. An injection point (role, call number, optionally a service) replays exactly: the
// same scenario reaches the same call of the same role in the same state, because the held
// thread stops there until the injected action finished or blocked. A schedule seed replays
// the decisions (yield, short sleep or nothing) each thread makes at each of its kernel
// calls, not the host's scheduling of threads: it makes a race that the seed exposed likely to
// show again, and is the number to quote, but only an injection point is a reproduction.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace sim::schedule {

// What a thread plays on the emulated machine. Threads the kernel did not start are Test
// threads (the test body, the Win32 callers, the bench).
enum class Role : uint8_t { Test, Dpc0, Dpc1, Worker0, Worker1, Interrupt, Injector };
constexpr int kRoleCount = 7;
const char* RoleName(Role role);
Role CurrentRole();

// Kernel calls counted from the last StartCounting() (or from the start of the process), per
// role, summed over the threads of that role; with a service name, only that service's calls.
void StartCounting();
uint64_t CallCount(Role role, std::string_view service = {});

// Where an injection fires: the `call`-th kernel call (1 = the first) made by a thread of
// `role` after the injection was armed, or, with `service`, the `call`-th call of that service.
struct InjectionPoint {
  Role role = Role::Test;
  uint64_t call = 1;
  std::string service;
  // Fire when the call returns instead of at its entry: for a result the caller goes on to
  // act on with no kernel call in between (the interlocked operations pass this point; other
  // services only their entry).
  bool afterReturn = false;
};
std::string Describe(const InjectionPoint& point);

using Action = std::function<void()>;

// Arms an injection and restarts the counts (as StartCounting does). When the point is
// reached, `action` runs on a new injector thread, as on another processor, while the thread
// that reached it is held at the entry of that call; the held thread resumes when the action
// has finished or when the injector blocks (enters a kernel wait that is not satisfied at
// once, spins on a lock someone holds, sleeps, or waits for an interrupt round). Then both run
// freely. Fires once; several injections may be armed. The point is printed on stderr as it
// fires, with `what`, so a failing sweep step names itself.
void Inject(InjectionPoint at, Action action, std::string what = {});
// Whether every armed injection has fired; waits for their actions to finish; drops those that
// have not fired. The kernel's shutdown does all of it, too.
bool AllInjectionsFired();
void WaitForInjections();
void DisarmInjections();
// The point of the injection that fired last, and its description.
std::optional<InjectionPoint> LastInjection();
std::string LastInjectionDescription();

// Ready actions. A machine-level action (a PnP stop, a surprise removal, a power request) is
// a lambda over sim::Machine that the test passes itself.
// One round of the vector's connected service routines, on the injector, under their interrupt
// lock at their IRQL: an interrupt on a shared line whether or not a source is asserted.
Action DeliverInterrupt(uint32_t vector);
// IoCancelIrp of the newest outstanding device-control request with this control code (the
// I/O manager's list of requests it sent for user mode); nothing when there is none.
Action CancelRequest(uint32_t ioControlCode);
// Makes the n-th pool allocation from then on fail.
Action FailPoolAllocation(size_t n = 1);

// Seeded schedule mode: at every kernel service entry each thread draws from its own PRNG
// (seeded from the seed and its role) whether to yield, sleep a few microseconds or go on.
// Set by API or, at boot when the API has not set one, by TARVIK_SCHEDULE_SEED. The seed is
// printed on stderr when the kernel boots with it. nullopt turns the mode off (the variable
// decides again at the next boot).
void SetScheduleSeed(std::optional<uint64_t> seed);
std::optional<uint64_t> ScheduleSeed();

// How an asserted interrupt line reaches its service routines.
enum class InterruptDelivery {
  // On the interrupt processor's thread, beside everything else; the thread that notified the
  // line waits until the rounds it caused have finished (at once, or, when it holds the
  // interrupt's lock or runs at or above its IRQL, as soon as it drops below). The default.
  // A test thread that runs nothing of the kernel's or driver's (passive level, no lock, no
  // dispatch routine under way) would only wait: it plays the interrupt processor itself
  // while the vector is idle, saving two thread switches per interrupt.
  OtherProcessor,
  // On the interrupt processor's thread; the notifying thread never waits.
  FreeRunning,
  // In the notifying thread, or when it drops below the vector's IRQL: a single processor.
  Uniprocessor,
};
void SetInterruptDelivery(InterruptDelivery mode);
InterruptDelivery CurrentInterruptDelivery();

}  // namespace sim::schedule
