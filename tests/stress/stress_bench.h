// The stress suite's runner and bench. A scenario is a function of (seed, options): it boots
// a machine, runs clients on several real threads whose operations and their order the seed
// chooses, and checks what it sees. The runner plays a scenario over a range of seeds and,
// after each, requires no broken platform rule, no pool left allocated, no hang and every
// request completed once; a failing run prints its scenario and seed so that it replays alone
// (TARVIK_STRESS_SEED=<seed>). A sweep of injection points becomes one more loop over
// Options in RunOverSeeds.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sim/machine.h"
#include "tarvik_ioctl.h"

namespace stress {

struct Options {
  int threads = 3;      // client threads beside the scenario's own
  int operations = 40;  // operations per client thread
};

using Scenario = std::function<void(uint64_t seed, const Options& options)>;

// Runs `scenario` over `seeds` seeds (TARVIK_STRESS_SEED=<n> runs only seed n;
// TARVIK_STRESS_SEEDS=<count> changes the count), stopping at the first failing seed.
void RunOverSeeds(const char* name, const Scenario& scenario, int seeds, Options options = {});

// Submissions and completions of the requests one scenario run made, over all threads.
struct Ledger {
  std::atomic<uint64_t> submitted{0};
  std::atomic<uint64_t> completed{0};
  std::atomic<uint64_t> hung{0};  // requests that did not complete within the limit
};

// The outcome of one request: success, the Win32 error, and the bytes returned.
struct Outcome {
  bool ok = false;
  DWORD error = 0;
  DWORD bytes = 0;
};

// A request begun on an overlapped handle and not yet seen to complete.
struct PendingRequest {
  HANDLE file = INVALID_HANDLE_VALUE;  // the handle it was sent on (it may be closed since)
  OVERLAPPED overlapped{};
  std::vector<uint8_t> output;
  bool pending = false;
  Outcome outcome;  // the synchronous outcome when not pending
};

// One client's handle on \\.\Tarvik, opened for overlapped I/O; every request is counted in
// the ledger when submitted and when its completion is seen.
class Client {
 public:
  explicit Client(Ledger& ledger);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Handle() const { return handle_; }
  void Close();

  // Submits a request and waits for its completion.
  Outcome Call(uint32_t code, const void* input, uint32_t inputLength, void* output,
               uint32_t outputLength);
  // Submits a request and returns without waiting; Finish waits for it.
  std::unique_ptr<PendingRequest> Begin(uint32_t code, const void* input, uint32_t inputLength,
                                        uint32_t outputLength);
  Outcome Finish(PendingRequest& request);

  // Typed requests used by several scenarios.
  Outcome OpenBoard();
  Outcome Start(uint32_t framesPerBlock, int16_t blockCount, bool continuous, HANDLE event);
  Outcome Stop();

 private:
  Ledger& ledger_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// A booted machine with the card started (word 0 of every frame is the tick, so a frame tells
// where it came from) and the scenario's ledger and random source.
class Bench {
 public:
  explicit Bench(uint64_t seed);
  ~Bench();

  sim::Machine& Machine() { return *machine_; }
  Ledger& Requests() { return ledger_; }
  // A random source for thread `index`, derived from the seed.
  std::mt19937_64 Random(int index) const { return std::mt19937_64(seed_ * 1000003 + index); }

  // Steps the card's clock by up to `ticks` ticks in small random slices.
  void StepCard(std::mt19937_64& random, uint64_t ticks);

  // Runs `body(index, random)` on `count` threads and joins them.
  void RunThreads(int count, const std::function<void(int, std::mt19937_64&)>& body);

 private:
  uint64_t seed_;
  size_t driverPool_ = 0;  // allocations the loaded driver holds before any device
  Ledger ledger_;
  std::optional<sim::Machine> machine_;
};

// Checks the frames of a block or a stream snapshot: each frame's word 0 (the tick of its
// second half) two ticks after the one before.
void ExpectConsecutiveFrames(const uint16_t* frames, uint32_t count, const char* what);

inline uint32_t HandleValue(HANDLE handle) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
}

}  // namespace stress
