// The emulated kernel's verifier: every broken platform rule is recorded with the rule's name
// and a message. The test runner fails any test that leaves a violation behind; a test that
// provokes one on purpose takes it with TakeViolations() and checks it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sim::verifier {

struct Violation {
  std::string rule;     // the platform's rule name, e.g. "DoubleCompletion"
  std::string message;  // what happened, naming the request or object
};

// Records a violation (thread-safe) and echoes it to stderr.
void Report(std::string_view rule, std::string message);

// Returns the violations recorded so far and forgets them.
std::vector<Violation> TakeViolations();

// Number of violations recorded and not yet taken.
size_t PendingCount();

// True when a violation of the given rule is pending; does not take it.
bool HasViolation(std::string_view rule);

}  // namespace sim::verifier
