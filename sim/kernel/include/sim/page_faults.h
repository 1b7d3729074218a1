// Page faults the verifier causes on purpose (special pool's guard pages, freed pool, trimmed
// pageable memory, a loaded image's discarded sections) arrive as SIGSEGV. One handler serves
// them all: each checker registers a claim, which decides in the handler whether a fault is
// its own, records it and makes the page accessible so that the instruction can go on; its
// flush reports what it recorded, outside the handler (FlushDeferredReports). A fault nobody
// claims goes to the handler installed before (the sanitizer's, or the default action).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace sim::kernel {

// Called in the signal handler: async-signal-safe, no allocation, no locks another thread may
// hold. Returns true when the fault was the claimer's and the instruction may run again.
using FaultClaim = bool (*)(uintptr_t address, void* context);
using FaultFlush = void (*)();

// Registers a claim and its flush (a few at most); the handler is installed with the first
// and stays for the rest of the process. Registering a claim again only updates its flush.
void AddFaultClaim(FaultClaim claim, FaultFlush flush);
void RemoveFaultClaim(FaultClaim claim);

// From a handler's context (a ucontext_t*): the faulting instruction, and the words at the
// top of the stack (a return address there names the caller of a library routine that
// faulted, such as memcpy). Fills up to `count` words; returns how many.
uintptr_t FaultingInstruction(void* context);
int FaultingStackWords(void* context, uintptr_t* words, int count);

// Faults a claim records in the handler (which may not allocate) for its flush to report: a
// fixed set of slots; faults beyond them are only counted.
template <typename Fault, size_t Slots = 64>
class RecordedFaults {
 public:
  // In the handler: fill writes the fault into its slot.
  template <typename Fill>
  __attribute__((no_sanitize("address", "undefined", "thread"))) void Record(Fill fill) {
    size_t slot = seen_.fetch_add(1);
    if (slot >= Slots || ready_[slot].load()) {
      lost_.fetch_add(1);
      return;
    }
    fill(faults_[slot]);
    ready_[slot].store(true, std::memory_order_release);
  }

  // Outside it: hands each recorded fault to report, and returns how many were only counted.
  template <typename Report>
  size_t Drain(Report report) {
    if (seen_.load(std::memory_order_acquire) == 0 && lost_.load() == 0) return 0;
    size_t seen = std::min(seen_.load(), Slots);
    for (size_t slot = 0; slot < seen; ++slot) {
      if (!ready_[slot].load(std::memory_order_acquire)) continue;
      Fault fault = faults_[slot];
      ready_[slot].store(false);
      report(fault);
    }
    // Every slot taken is reported: start over once all recorded faults are out.
    bool pending = false;
    for (size_t slot = 0; slot < Slots; ++slot) pending = pending || ready_[slot].load();
    if (!pending && seen > 0) seen_ = 0;
    return lost_.exchange(0);
  }

 private:
  Fault faults_[Slots];
  std::atomic<bool> ready_[Slots] = {};
  std::atomic<size_t> seen_{0};
  std::atomic<size_t> lost_{0};
};

}  // namespace sim::kernel
