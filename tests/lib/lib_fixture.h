// A booted machine with the card started, for the client library's tests. The card's word 0
// is a ramp of the tick, so a frame tells which ticks it was captured from.
#pragma once

#include <gtest/gtest.h>

#include <optional>

#include "sim/machine.h"
#include "tarvik/device.h"

namespace lib_test {

inline constexpr uint32_t kBridgeBase = 0xE000;
inline constexpr uint32_t kWindowBase = 0xE400;

class LibTest : public testing::Test {
 protected:
  void SetUp() override {
    sim::MachineOptions options;
    options.card.window.sources[sim::card::Quantity::Word0] = sim::card::SignalSource::Ramp(0, 1);
    machine_.emplace(options);
    ASSERT_EQ(machine_->LoadDriver(sim::TarvikDriverImage()), 0);
    ASSERT_EQ(machine_->AddDevice(), 0);
    ASSERT_EQ(machine_->StartDevice(), 0);
    device_.emplace();
  }
  void TearDown() override {
    device_.reset();
    machine_.reset();
  }

  // The card's ticks for `frames` frames; a fresh start first skips two ticks.
  void StepFrames(uint64_t frames, bool afterStart = true) {
    machine_->Card().window().Step((afterStart ? 2 : 0) + 2 * frames);
  }

  std::optional<sim::Machine> machine_;
  std::optional<tarvik::Device> device_;
};

// Runs `call`, expects it to throw tarvik::Error, and returns the error.
template <typename Call>
tarvik::Error Failure(Call&& call) {
  try {
    call();
  } catch (const tarvik::Error& error) {
    return error;
  }
  ADD_FAILURE() << "no tarvik::Error was thrown";
  return tarvik::Error("nothing", 0, 0u);
}

}  // namespace lib_test
