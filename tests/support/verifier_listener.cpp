// Test main for every suite that runs code on the emulated kernel: special pool on, and a test
// that leaves a verifier violation behind fails, with the violations listed.
#include <gtest/gtest.h>

#include <cstdlib>

#include "sim/verifier.h"

namespace {

class VerifierListener : public testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo&) override { sim::verifier::TakeViolations(); }

  void OnTestEnd(const testing::TestInfo&) override {
    for (const auto& violation : sim::verifier::TakeViolations()) {
      ADD_FAILURE() << "verifier violation " << violation.rule << ": " << violation.message;
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // Tests run with special pool (the tool's runs they start inherit it); TARVIK_SPECIAL_POOL=0
  // turns it off for a run.
  setenv("TARVIK_SPECIAL_POOL", "1", 0);
  testing::UnitTest::GetInstance()->listeners().Append(new VerifierListener);
  return RUN_ALL_TESTS();
}
