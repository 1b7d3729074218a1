// A driver loaded from an image: its code ranges for the section rules, and the hooks that
// forced IRQL checking hangs on raises and on DriverEntry.
#include <atomic>
#include <mutex>

#include "kernel_internal.h"
#include "sim/image_code.h"
#include "special_pool.h"

namespace sim::kernel {
namespace {

// Read by any thread (and by the loader's fault handler), so plain atomics.
std::atomic<uintptr_t> g_pageBegin{0}, g_pageEnd{0}, g_initBegin{0}, g_initEnd{0};
std::atomic<void (*)()> g_raiseHook{nullptr};
std::atomic<void (*)()> g_entryBegin{nullptr}, g_entryReturned{nullptr};

std::mutex& NamerMutex() {
  static std::mutex mutex;
  return mutex;
}
std::function<std::string(uintptr_t)>& Namer() {
  static std::function<std::string(uintptr_t)> namer;
  return namer;
}

bool In(uintptr_t a, const std::atomic<uintptr_t>& begin, const std::atomic<uintptr_t>& end) {
  return a >= begin.load() && a < end.load();
}

}  // namespace

void RegisterImageCode(ImageCode code) {
  g_pageBegin = code.pageBegin;
  g_pageEnd = code.pageEnd;
  g_initBegin = code.initBegin;
  g_initEnd = code.initEnd;
  std::lock_guard lock(NamerMutex());
  Namer() = std::move(code.routineAt);
}

void UnregisterImageCode() { RegisterImageCode({}); }

void SetDispatchRaiseHook(void (*hook)()) { g_raiseHook = hook; }

void SetDriverEntryHooks(void (*begin)(), void (*returned)()) {
  g_entryBegin = begin;
  g_entryReturned = returned;
}

uint8_t CurrentThreadIrql() { return CurrentThread().Irql; }

void ThreadIrql::NotifyDispatchRaise() {
  special_pool::TrimAtRaise();
  if (auto hook = g_raiseHook.load()) hook();
}

bool ImageSectionOf(const void* address, CodeSection* section) {
  auto a = reinterpret_cast<uintptr_t>(address);
  if (In(a, g_pageBegin, g_pageEnd)) {
    *section = CodeSection::Page;
    return true;
  }
  if (In(a, g_initBegin, g_initEnd)) {
    *section = CodeSection::Init;
    return true;
  }
  return false;
}

bool ImageRoutineAt(const void* address, std::string* name) {
  std::lock_guard lock(NamerMutex());
  if (!Namer()) return false;
  std::string found = Namer()(reinterpret_cast<uintptr_t>(address));
  if (found.empty()) return false;
  *name = std::move(found);
  return true;
}

void NotifyDriverEntry(bool returned) {
  if (auto hook = (returned ? g_entryReturned : g_entryBegin).load()) hook();
}

}  // namespace sim::kernel
