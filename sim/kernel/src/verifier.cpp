// The verifier's record of broken platform rules.
#include "sim/verifier.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <utility>

namespace sim::verifier {
namespace {

std::mutex g_lock;
std::vector<Violation> g_violations;
std::atomic<void (*)()> g_deferred{nullptr};

}  // namespace

void Report(std::string_view rule, std::string message) {
  if (FindRule(rule) == nullptr) {
    message = "rule \"" + std::string(rule) + "\" is not catalogued; it reported: " + message;
    rule = "UncataloguedRule";
  }
  std::fprintf(stderr, "verifier: %.*s: %s\n", static_cast<int>(rule.size()), rule.data(),
               message.c_str());
  std::lock_guard guard(g_lock);
  g_violations.push_back({std::string(rule), std::move(message)});
}

void SetDeferredReporter(void (*flush)()) { g_deferred = flush; }

void FlushDeferredReports() {
  if (auto flush = g_deferred.load(std::memory_order_acquire)) flush();
}

std::vector<Violation> TakeViolations() {
  FlushDeferredReports();
  std::lock_guard guard(g_lock);
  return std::exchange(g_violations, {});
}

size_t PendingCount() {
  FlushDeferredReports();
  std::lock_guard guard(g_lock);
  return g_violations.size();
}

bool HasViolation(std::string_view rule) {
  FlushDeferredReports();
  std::lock_guard guard(g_lock);
  for (const auto& v : g_violations) {
    if (v.rule == rule) return true;
  }
  return false;
}

}  // namespace sim::verifier
