// The verifier's lock-order graph: spin locks, the cancel spin lock and interrupt locks.
//
// Taking B while holding A records the order A -> B, with the routine where it was first
// seen. An order that closes a cycle (B -> ... -> A already recorded) is a LockOrder
// violation even if the two paths never met: on a multiprocessor they deadlock as soon as
// they do. Locks live in memory that is freed and reused (pool, device extensions,
// interrupt objects); the memory's owner tells the graph to forget them, so a new lock at an
// old address starts without history.
//
// Rule LockOrder: two locks (or a chain) acquired in both orders, the platform verifier's
// deadlock detection. The message names both locks and where each order was first seen.
#include <algorithm>
#include <array>
#include <atomic>
#include <map>
#include <mutex>
#include <set>

#include "kernel_internal.h"
#include "sim/kernel.h"

namespace sim::kernel {
namespace {

// Where a lock was taken: the driver code's address, named only when a report needs it (the
// symbol table is read on first use), or the kernel routine that took it.
struct Place {
  const void* site = nullptr;
  const char* routine = nullptr;
  std::string Name() const {
    if (site != nullptr) return RoutineAt(site);
    return routine != nullptr ? routine : "a place not recorded";
  }
};

struct LockNode {
  const char* kind = nullptr;  // "spin lock", "the cancel spin lock", "interrupt lock"
  Place firstTaken;
  std::map<PKSPIN_LOCK, Place> after;  // locks taken while this one was held, and where
};

std::mutex g_graphLock;
std::map<PKSPIN_LOCK, LockNode> g_graph;

// Locks this thread has seen in the graph since it last forgot any: taking one of them while
// holding no other lock records nothing new, so it skips the graph's lock. Any forgetting
// (a free, a reboot) moves the epoch and empties every thread's list.
std::atomic<uint64_t> g_graphEpoch{1};
struct KnownLocks {
  uint64_t epoch = 0;
  std::array<PKSPIN_LOCK, 8> locks{};
  size_t next = 0;
  bool Knows(PKSPIN_LOCK lock) const {
    return epoch == g_graphEpoch.load(std::memory_order_acquire) &&
           std::find(locks.begin(), locks.end(), lock) != locks.end();
  }
  void Learn(PKSPIN_LOCK lock, uint64_t now) {
    if (epoch != now) *this = KnownLocks{now};
    locks[next++ % locks.size()] = lock;
  }
};
thread_local KnownLocks t_known;

std::string Name(PKSPIN_LOCK lock) {
  // A lock held across its memory's release was forgotten and comes back without a kind.
  const LockNode& node = g_graph[lock];
  return std::string(node.kind != nullptr ? node.kind : "spin lock") + " " + Describe(lock) +
         " (first taken in " + node.firstTaken.Name() + ")";
}

// A path of recorded orders from `from` to `to`, as the edges' first hops; empty if none.
bool FindPath(PKSPIN_LOCK from, PKSPIN_LOCK to, std::set<PKSPIN_LOCK>& seen,
              std::vector<PKSPIN_LOCK>& path) {
  if (from == to) return true;
  if (!seen.insert(from).second) return false;
  auto node = g_graph.find(from);
  if (node == g_graph.end()) return false;
  for (const auto& [next, place] : node->second.after) {
    path.push_back(next);
    if (FindPath(next, to, seen, path)) return true;
    path.pop_back();
  }
  return false;
}

}  // namespace

void NoteLockAcquired(PKSPIN_LOCK lock, const char* kind, const char* routine,
                      const void* site) {
  auto& held = CurrentThread().HeldSpinLocks;
  bool alone = std::all_of(held.begin(), held.end(), [lock](PKSPIN_LOCK h) { return h == lock; });
  if (alone && t_known.Knows(lock)) return;
  std::vector<std::string> reports;
  Place here{site, routine};
  {
    std::lock_guard guard(g_graphLock);
    if (alone) t_known.Learn(lock, g_graphEpoch.load(std::memory_order_relaxed));
    LockNode& node = g_graph[lock];
    if (node.kind == nullptr) {
      node.kind = kind;
      node.firstTaken = here;
    }
    for (PKSPIN_LOCK earlier : held) {
      if (earlier == lock) continue;
      auto& after = g_graph[earlier].after;
      if (after.count(lock) != 0) continue;
      std::set<PKSPIN_LOCK> seen;
      std::vector<PKSPIN_LOCK> path{};
      if (FindPath(lock, earlier, seen, path)) {
        PKSPIN_LOCK firstHop = path.front();  // lock != earlier, so the path has a hop
        reports.push_back(Name(lock) + " taken while holding " + Name(earlier) + " in " +
                          here.Name() + "; the opposite order (" + Describe(lock) + " before " +
                          (path.size() > 1 ? "a chain of locks ending in " : "") +
                          Describe(earlier) + ") was first seen in " +
                          g_graph[lock].after[firstHop].Name() +
                          ": two processors taking them in these orders deadlock");
      }
      after[lock] = here;
    }
  }
  for (auto& message : reports) verifier::Report("LockOrder", std::move(message));
}

void ForgetLocksWithin(const void* begin, const void* end) {
  auto inside = [&](PKSPIN_LOCK lock) {
    return static_cast<const void*>(lock) >= begin && static_cast<const void*>(lock) < end;
  };
  std::lock_guard guard(g_graphLock);
  g_graphEpoch.fetch_add(1, std::memory_order_release);
  for (auto it = g_graph.begin(); it != g_graph.end();) {
    if (inside(it->first)) {
      it = g_graph.erase(it);
      continue;
    }
    std::erase_if(it->second.after, [&](const auto& entry) { return inside(entry.first); });
    ++it;
  }
}

size_t TrackedLockCount() {
  std::lock_guard guard(g_graphLock);
  return g_graph.size();
}

void ResetLockOrder() {
  std::lock_guard guard(g_graphLock);
  g_graphEpoch.fetch_add(1, std::memory_order_release);
  g_graph.clear();
}

}  // namespace sim::kernel
