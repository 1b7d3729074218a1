// Executive work items: ExQueueWorkItem hands a routine to the kernel's worker threads, which
// run it at PASSIVE_LEVEL. The kernel queues its own deferred work (PoCallDriver) there too.
// Every queue type is served by the two workers from one queue, in order: worker 0 takes what
// it is free for, worker 1 what is queued while worker 0 is busy (so one item at a time always
// runs on worker 0, and call counts repeat).
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "driver_activity.h"
#include "kernel_internal.h"
#include "sim/kernel.h"
#include "special_pool.h"

namespace sim::kernel {
namespace {

// A driver's work item, or the kernel's own work (Item null).
struct WorkEntry {
  PWORK_QUEUE_ITEM Item = nullptr;
  std::function<void()> Work;
  std::string What;
  PDRIVER_OBJECT Driver = nullptr;  // the driver that queued the item, when known
  const void* Device = nullptr;  // whose driver code queued the item
};

// Marks an item as queued, in its list link (ExInitializeWorkItem leaves it null).
PLIST_ENTRY const kQueuedMark = reinterpret_cast<PLIST_ENTRY>(1);

std::mutex g_workLock;
std::condition_variable g_workCv;
std::deque<WorkEntry> g_workQueue;
bool g_workRunning[2] = {false, false};
// The driver work item routine each worker runs now and its driver, or null.
PWORKER_THREAD_ROUTINE g_driverRoutine[2] = {nullptr, nullptr};
PDRIVER_OBJECT g_routineDriver[2] = {nullptr, nullptr};
bool g_workStop = false;
std::thread g_workThreads[2];

// Checks what a routine left behind on the worker thread and restores it.
void CheckAfterRoutine(const std::string& who) {
  auto& thread = CurrentThread();
  if (thread.CriticalRegions != 0) CheckCriticalRegionsLeft(0, who);
  if (thread.Irql != PASSIVE_LEVEL) {
    verifier::Report("IrqlReturn",
                     who + " returned at IRQL " + std::to_string(thread.Irql) + ", not PASSIVE_LEVEL");
    thread.Irql = PASSIVE_LEVEL;
  }
  if (!thread.HeldSpinLocks.empty()) {
    verifier::Report("SpinLock", who + " returned holding a spin lock");
    thread.HeldSpinLocks.clear();
  }
}

void WorkerThreadMain(int worker) {
  SetThreadRole(worker == 0 ? sim::schedule::Role::Worker0 : sim::schedule::Role::Worker1);
  CurrentThread().Irql = PASSIVE_LEVEL;
  std::unique_lock lock(g_workLock);
  for (;;) {
    g_workCv.wait(lock, [worker] {
      return g_workStop || (!g_workQueue.empty() && (worker == 0 || g_workRunning[0]));
    });
    if (g_workQueue.empty()) break;  // stopping, nothing left
    WorkEntry entry = std::move(g_workQueue.front());
    g_workQueue.pop_front();
    g_workRunning[worker] = true;
    g_workCv.notify_all();  // worker 1 may take the next one now
    // The item may live in memory that the routine frees (a request's driver context):
    // nothing touches it once the routine runs, and it may be queued again from then on.
    PWORKER_THREAD_ROUTINE routine = nullptr;
    PVOID parameter = nullptr;
    if (entry.Item != nullptr) {
      routine = entry.Item->WorkerRoutine;
      parameter = entry.Item->Parameter;
      entry.Item->List.Flink = nullptr;
    }
    g_driverRoutine[worker] = routine;
    g_routineDriver[worker] = entry.Driver;
    CurrentThread().RunningDriver = entry.Driver;
    lock.unlock();
    if (routine != nullptr) {
      CheckCallback(reinterpret_cast<const void*>(routine), "work item routine");
      special_pool::TrimAtRaise();  // a new routine in the system process's context
      std::optional<DriverActivity> activity;
      if (entry.Device != nullptr) {
        activity.emplace(entry.Device, "work item routine", reinterpret_cast<const void*>(routine));
      }
      routine(parameter);
      activity.reset();
      CheckAfterRoutine("work item routine " + Describe(reinterpret_cast<void*>(routine)));
    } else {
      entry.Work();
      CheckAfterRoutine(entry.What);
    }
    lock.lock();
    CurrentThread().RunningDriver = nullptr;
    g_driverRoutine[worker] = nullptr;
    g_routineDriver[worker] = nullptr;
    g_workRunning[worker] = false;
    g_workCv.notify_all();
  }
}

}  // namespace

void StartWorkerThread() {
  std::lock_guard guard(g_workLock);
  if (g_workThreads[0].joinable()) return;
  g_workStop = false;
  g_workQueue.clear();
  for (int worker = 0; worker < 2; ++worker) {
    g_workThreads[worker] = std::thread(WorkerThreadMain, worker);
  }
}

void StopWorkerThread() {
  {
    std::lock_guard guard(g_workLock);
    if (!g_workThreads[0].joinable()) return;
    for (WorkEntry& entry : g_workQueue) {
      if (entry.Item != nullptr) {
        verifier::Report("WorkItemQueuedAtShutdown",
                         "work item " + Describe(entry.Item) + " (routine " +
                             Describe(reinterpret_cast<void*>(entry.Item->WorkerRoutine)) +
                             ") still queued when the kernel stopped");
        entry.Item->List.Flink = nullptr;
      } else {
        verifier::Report("WorkItemQueuedAtShutdown",
                         entry.What + " still queued when the kernel stopped");
      }
    }
    g_workQueue.clear();
    g_workStop = true;
  }
  g_workCv.notify_all();
  for (auto& thread : g_workThreads) thread.join();
}

std::vector<std::string> DriverWorkItemsLeft(PDRIVER_OBJECT driver) {
  std::vector<std::string> left;
  std::lock_guard guard(g_workLock);
  for (int worker = 0; worker < 2; ++worker) {
    if (g_driverRoutine[worker] != nullptr && g_routineDriver[worker] == driver) {
      left.push_back("work item routine " + RoutineAt(reinterpret_cast<void*>(g_driverRoutine[worker])) +
                     " still runs");
    }
  }
  for (const WorkEntry& entry : g_workQueue) {
    if (entry.Item != nullptr && entry.Driver == driver) {
      left.push_back("work item " + Describe(entry.Item) + " (routine " +
                     RoutineAt(reinterpret_cast<void*>(entry.Item->WorkerRoutine)) + ") is still queued");
    }
  }
  return left;
}

std::vector<std::string> RemoveQueuedWorkItemsWithin(const void* begin, const void* end) {
  std::vector<std::string> removed;
  std::lock_guard guard(g_workLock);
  for (auto it = g_workQueue.begin(); it != g_workQueue.end();) {
    PWORK_QUEUE_ITEM item = it->Item;
    if (item == nullptr || item < begin || item >= end) {
      ++it;
      continue;
    }
    removed.push_back("work item " + Describe(item) + " (routine " +
                      Describe(reinterpret_cast<void*>(item->WorkerRoutine)) + ")");
    item->List.Flink = nullptr;
    it = g_workQueue.erase(it);
  }
  return removed;
}

bool QueueKernelWork(std::function<void()> work, std::string what) {
  std::lock_guard guard(g_workLock);
  if (!g_workThreads[0].joinable() || g_workStop) return false;
  g_workQueue.push_back({nullptr, std::move(work), std::move(what)});
  g_workCv.notify_all();
  return true;
}

void WaitForWorkItemsIdle() {
  NoteBlocking();
  std::unique_lock lock(g_workLock);
  g_workCv.wait(lock,
                [] { return g_workQueue.empty() && !g_workRunning[0] && !g_workRunning[1]; });
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" void NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType) {
  EnterService("ExQueueWorkItem");
  (void)QueueType;
  CheckIrqlAtMost(DISPATCH_LEVEL, "ExQueueWorkItem");
  if (WorkItem->WorkerRoutine == nullptr) {
    sim::verifier::Report("WorkItemNoRoutine",
                          "ExQueueWorkItem of " + Describe(WorkItem) + " without a routine");
    return;
  }
  std::lock_guard guard(g_workLock);
  if (WorkItem->List.Flink == kQueuedMark) {
    sim::verifier::Report("WorkItemQueuedTwice",
                          "ExQueueWorkItem of " + Describe(WorkItem) + ", already queued");
    return;
  }
  if (!g_workThreads[0].joinable() || g_workStop) {
    sim::verifier::Report("WorkItemNoKernel", "ExQueueWorkItem while the kernel is not running");
    return;
  }
  WorkItem->List.Flink = kQueuedMark;
  g_workQueue.push_back(
      {WorkItem, {}, {}, CurrentThread().RunningDriver, CurrentActivityDevice()});
  g_workCv.notify_all();
}
