// Page faults the verifier causes on purpose (special pool's guard pages, freed pool, trimmed
// pageable memory, a loaded image's discarded sections) arrive as SIGSEGV. One handler serves
// them all: each checker registers a claim, which decides in the handler whether a fault is
// its own, records it and makes the page accessible so that the instruction can go on; its
// flush reports what it recorded, outside the handler (FlushDeferredReports). A fault nobody
// claims goes to the handler installed before (the sanitizer's, or the default action).
#pragma once

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

}  // namespace sim::kernel
