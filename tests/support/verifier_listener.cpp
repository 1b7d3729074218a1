// Test main for every suite that runs code on the emulated kernel: a test that leaves a
// verifier violation behind fails, with the violations listed.
#include <gtest/gtest.h>

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
  testing::UnitTest::GetInstance()->listeners().Append(new VerifierListener);
  return RUN_ALL_TESTS();
}
