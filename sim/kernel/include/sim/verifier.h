// The emulated kernel's verifier: every broken platform rule is recorded with the rule's name
// and a message. The test runner fails any test that leaves a violation behind; a test that
// provokes one on purpose takes it with TakeViolations() and checks it.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim::verifier {

// One rule of the catalogue (rule_catalogue.cpp): its name, what it catches, and the
// platform's check (a static rule name, a bug check) it stands for.
struct Rule {
  std::string_view name;
  std::string_view catches;
  std::string_view platformCheck;
};

// Every catalogued rule, sorted by name.
std::span<const Rule> Catalogue();

// The catalogued rule of that name, or nullptr.
const Rule* FindRule(std::string_view name);

struct Violation {
  std::string rule;     // the platform's rule name, e.g. "DoubleCompletion"
  std::string message;  // what happened, naming the request or object
};

// Records a violation (thread-safe) and echoes it to stderr. A rule name missing from the
// catalogue is recorded as "UncataloguedRule", naming it, so a misspelt check still fails.
void Report(std::string_view rule, std::string message);

// A source of reports that cannot be made where they are found (a fault handler may not
// allocate): flush makes them with Report(). It runs before the record is read (the three
// calls below) and at every kernel service entry. Null to stop.
void SetDeferredReporter(void (*flush)());
void FlushDeferredReports();

// Returns the violations recorded so far and forgets them.
std::vector<Violation> TakeViolations();

// Number of violations recorded and not yet taken.
size_t PendingCount();

// True when a violation of the given rule is pending; does not take it.
bool HasViolation(std::string_view rule);

}  // namespace sim::verifier
