// Deferred procedure calls: one queue served by two DPC processors running at DISPATCH_LEVEL.
// Processor 0 takes every DPC it is free for; processor 1 only those queued while processor 0
// is busy, so a scenario with one DPC at a time always runs it on processor 0 (repeatable call
// counts), while a DPC queued again during its own run runs beside itself, as on the platform.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "driver_activity.h"
#include "kernel_internal.h"
#include "sim/kernel.h"
#include "special_pool.h"

namespace sim::kernel {
namespace {

// DpcData marks a queued DPC, as the platform's does; any non-null value works.
PVOID const kQueuedMark = reinterpret_cast<PVOID>(1);

std::mutex g_dpcLock;
std::condition_variable g_dpcCv;
// A queued DPC, with the device whose driver code queued it (its routine runs as that code).
struct QueuedDpc {
  PKDPC dpc;
  const void* device;
};
std::deque<QueuedDpc> g_queue;
bool g_running[2] = {false, false};  // a DPC routine is executing on processor 0 / 1
bool g_stop = false;
std::thread g_threads[2];

void DpcThreadMain(int processor) {
  SetThreadRole(processor == 0 ? sim::schedule::Role::Dpc0 : sim::schedule::Role::Dpc1);
  CurrentThread().Irql = DISPATCH_LEVEL;
  std::unique_lock lock(g_dpcLock);
  for (;;) {
    g_dpcCv.wait(lock, [processor] {
      return g_stop || (!g_queue.empty() && (processor == 0 || g_running[0]));
    });
    if (g_queue.empty()) break;  // stopping, nothing left
    auto [dpc, device] = g_queue.front();
    g_queue.pop_front();
    __atomic_store_n(&dpc->DpcData, nullptr, __ATOMIC_RELEASE);
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext;
    PVOID arg1 = dpc->SystemArgument1;
    PVOID arg2 = dpc->SystemArgument2;
    g_running[processor] = true;
    g_dpcCv.notify_all();  // processor 1 may take the next one now
    lock.unlock();
    CheckRaisedCallback(reinterpret_cast<const void*>(routine), "DPC routine");
    special_pool::TrimAtRaise();  // a new routine in an arbitrary context
    {
      std::optional<DriverActivity> activity;
      if (device != nullptr) {
        activity.emplace(device, "DPC routine", reinterpret_cast<const void*>(routine));
      }
      routine(dpc, context, arg1, arg2);
    }
    auto& thread = CurrentThread();
    if (thread.CriticalRegions != 0) {
      CheckCriticalRegionsLeft(0, "DPC routine " + Describe(reinterpret_cast<void*>(routine)));
    }
    if (thread.Irql != DISPATCH_LEVEL) {
      verifier::Report("IrqlReturn", "DPC routine " + Describe(reinterpret_cast<void*>(routine)) +
                                         " returned at IRQL " + std::to_string(thread.Irql));
      thread.Irql = DISPATCH_LEVEL;
    }
    if (!thread.HeldSpinLocks.empty()) {
      verifier::Report("SpinLock", "DPC routine returned holding a spin lock");
      thread.HeldSpinLocks.clear();
    }
    lock.lock();
    g_running[processor] = false;
    g_dpcCv.notify_all();
  }
}

}  // namespace

void StartDpcThread() {
  std::lock_guard guard(g_dpcLock);
  if (g_threads[0].joinable()) return;
  g_stop = false;
  g_queue.clear();
  for (int processor = 0; processor < 2; ++processor) {
    g_threads[processor] = std::thread(DpcThreadMain, processor);
  }
}

void StopDpcThread() {
  {
    std::lock_guard guard(g_dpcLock);
    if (!g_threads[0].joinable()) return;
    for (auto [dpc, device] : g_queue) {
      verifier::Report("DpcQueuedAtShutdown",
                       "DPC " + Describe(dpc) + " still queued when the kernel stopped");
      dpc->DpcData = nullptr;
    }
    g_queue.clear();
    g_stop = true;
  }
  g_dpcCv.notify_all();
  for (auto& thread : g_threads) thread.join();
}

std::vector<std::string> RemoveQueuedDpcsWithin(const void* begin, const void* end) {
  std::vector<std::string> removed;
  std::lock_guard guard(g_dpcLock);
  for (auto it = g_queue.begin(); it != g_queue.end();) {
    PKDPC dpc = it->dpc;
    if (dpc < begin || dpc >= end) {
      ++it;
      continue;
    }
    removed.push_back("DPC " + Describe(dpc) + " (routine " +
                      Describe(reinterpret_cast<void*>(dpc->DeferredRoutine)) + ")");
    __atomic_store_n(&dpc->DpcData, nullptr, __ATOMIC_RELEASE);
    it = g_queue.erase(it);
  }
  return removed;
}

bool IsDpcQueued(PKDPC dpc) { return __atomic_load_n(&dpc->DpcData, __ATOMIC_ACQUIRE) != nullptr; }

void WaitForDpcsIdle() {
  NoteBlocking();
  std::unique_lock lock(g_dpcLock);
  g_dpcCv.wait(lock, [] { return g_queue.empty() && !g_running[0] && !g_running[1]; });
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" void NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine,
                                      PVOID DeferredContext) {
  EnterService("KeInitializeDpc");
  Dpc->Type = 19;  // DpcObject
  Dpc->Importance = 1;
  Dpc->Number = 0;
  InitializeListHead(&Dpc->DpcListEntry);
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = nullptr;
  Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
}

extern "C" BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1,
                                          PVOID SystemArgument2) {
  EnterService("KeInsertQueueDpc");
  std::lock_guard guard(g_dpcLock);
  if (Dpc->DpcData != nullptr) return FALSE;
  if (!g_threads[0].joinable() || g_stop) {
    sim::verifier::Report("DpcNoKernel", "KeInsertQueueDpc while the kernel is not running");
    return FALSE;
  }
  Dpc->SystemArgument1 = SystemArgument1;
  Dpc->SystemArgument2 = SystemArgument2;
  __atomic_store_n(&Dpc->DpcData, kQueuedMark, __ATOMIC_RELEASE);
  g_queue.push_back({Dpc, CurrentActivityDevice()});
  g_dpcCv.notify_all();
  return TRUE;
}

extern "C" BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
  EnterService("KeRemoveQueueDpc");
  std::lock_guard guard(g_dpcLock);
  if (Dpc->DpcData == nullptr) return FALSE;
  for (auto it = g_queue.begin(); it != g_queue.end(); ++it) {
    if (it->dpc == Dpc) {
      g_queue.erase(it);
      break;
    }
  }
  Dpc->DpcData = nullptr;
  return TRUE;
}

extern "C" void NTAPI KeFlushQueuedDpcs(void) {
  EnterService("KeFlushQueuedDpcs");
  if (CurrentThread().Irql > PASSIVE_LEVEL) {
    sim::verifier::Report("IrqlTooHigh", "KeFlushQueuedDpcs above PASSIVE_LEVEL");
    return;
  }
  WaitForDpcsIdle();
}
