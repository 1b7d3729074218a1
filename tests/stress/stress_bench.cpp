// The stress runner, its bench and its clients (see stress_bench.h).
#include "stress_bench.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "sim/kernel.h"
#include "sim/verifier.h"

namespace stress {
namespace {

// A request that has not completed after this long is a hang; so is a whole run that lasts
// longer than kRunLimit (the watchdog then stops the process, naming the run).
constexpr DWORD kCompletionLimitMs = 10000;
constexpr auto kRunLimit = std::chrono::seconds(60);

std::optional<uint64_t> EnvNumber(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::strtoull(value, nullptr, 0);
}

// Stops the process when a run outlives the limit: a hang must fail, and say which run.
class Watchdog {
 public:
  Watchdog(const char* name, uint64_t seed)
      : thread_([this, name, seed] {
          std::unique_lock guard(lock_);
          if (!done_cv_.wait_for(guard, kRunLimit, [this] { return done_; })) {
            std::fprintf(stderr, "stress: scenario %s seed %llu hung (over %lld s); replay with "
                         "TARVIK_STRESS_SEED=%llu\n", name, static_cast<unsigned long long>(seed),
                         static_cast<long long>(kRunLimit.count()),
                         static_cast<unsigned long long>(seed));
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard guard(lock_);
      done_ = true;
    }
    done_cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex lock_;
  std::condition_variable done_cv_;
  bool done_ = false;
  std::thread thread_;
};

Outcome Synchronous(BOOL result, DWORD bytes) {
  return {result != FALSE, result != FALSE ? 0u : GetLastError(), bytes};
}

}  // namespace

void RunOverSeeds(const char* name, const Scenario& scenario, int seeds, Options options) {
  uint64_t first = 1, count = EnvNumber("TARVIK_STRESS_SEEDS").value_or(static_cast<uint64_t>(seeds));
  if (auto only = EnvNumber("TARVIK_STRESS_SEED")) first = *only, count = 1;
  for (uint64_t seed = first; seed < first + count; ++seed) {
    SCOPED_TRACE(testing::Message() << "scenario " << name << " seed " << seed);
    {
      Watchdog watchdog(name, seed);
      scenario(seed, options);
    }
    for (const auto& v : sim::verifier::TakeViolations()) {
      ADD_FAILURE() << "violation " << v.rule << ": " << v.message;
    }
    if (testing::Test::HasFailure()) {
      std::fprintf(stderr, "stress: scenario %s failed at seed %llu; replay with "
                   "TARVIK_STRESS_SEED=%llu\n", name, static_cast<unsigned long long>(seed),
                   static_cast<unsigned long long>(seed));
      return;
    }
  }
}

Client::Client(Ledger& ledger) : ledger_(ledger) {
  handle_ = CreateFileW(L"\\\\.\\Tarvik", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                        OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

Client::~Client() { Close(); }

void Client::Close() {
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}

std::unique_ptr<PendingRequest> Client::Begin(uint32_t code, const void* input,
                                              uint32_t inputLength, uint32_t outputLength) {
  auto request = std::make_unique<PendingRequest>();
  request->file = handle_;
  request->output.resize(outputLength);
  request->overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD bytes = 0;
  ++ledger_.submitted;
  BOOL result = DeviceIoControl(handle_, code, const_cast<void*>(input), inputLength,
                                outputLength ? request->output.data() : nullptr, outputLength,
                                &bytes, &request->overlapped);
  if (!result && GetLastError() == ERROR_IO_PENDING) {
    request->pending = true;
  } else {
    request->outcome = Synchronous(result, bytes);
    ++ledger_.completed;
  }
  return request;
}

Outcome Client::Finish(PendingRequest& request) {
  if (request.pending) {
    if (WaitForSingleObject(request.overlapped.hEvent, kCompletionLimitMs) != WAIT_OBJECT_0) {
      ++ledger_.hung;
      ADD_FAILURE() << "a request did not complete within " << kCompletionLimitMs << " ms";
      CancelIoEx(request.file, &request.overlapped);
      WaitForSingleObject(request.overlapped.hEvent, kCompletionLimitMs);
    }
    DWORD bytes = 0;
    BOOL result = GetOverlappedResult(request.file, &request.overlapped, &bytes, FALSE);
    request.outcome = Synchronous(result, bytes);
    request.pending = false;
    ++ledger_.completed;
  }
  CloseHandle(request.overlapped.hEvent);
  request.overlapped.hEvent = nullptr;
  return request.outcome;
}

Outcome Client::Call(uint32_t code, const void* input, uint32_t inputLength, void* output,
                     uint32_t outputLength) {
  auto request = Begin(code, input, inputLength, outputLength);
  Outcome outcome = Finish(*request);
  if (outcome.ok && outputLength != 0) {
    std::memcpy(output, request->output.data(), std::min<uint32_t>(outcome.bytes, outputLength));
  }
  return outcome;
}

Outcome Client::OpenBoard() {
  uint8_t open[16] = {};
  return Call(IOCTL_DAQ_OPEN_BOARD, open, sizeof open, nullptr, 0);
}

// A block event as a program hands it to the driver: on 98/Me as the ring-0 handle kernel32's
// OpenVxDHandle makes of it, found at run time; elsewhere the handle itself.
static uint32_t DriverEventHandle(HANDLE event) {
  using OpenVxDHandleRoutine = DWORD(WINAPI*)(HANDLE);
  FARPROC routine = GetProcAddress(GetModuleHandleA("kernel32.dll"), "OpenVxDHandle");
  if (routine == nullptr || event == nullptr) return HandleValue(event);
  return reinterpret_cast<OpenVxDHandleRoutine>(reinterpret_cast<void (*)()>(routine))(event);
}

Outcome Client::Start(uint32_t framesPerBlock, int16_t blockCount, bool continuous, HANDLE event) {
  START_PARAMETERS start{};
  start.FramesPerBlock = framesPerBlock;
  start.RequestedRate = 10000;
  start.EventHandle = continuous ? HandleValue(event) : DriverEventHandle(event);
  start.RangeCode = 1;
  start.BlockCount = blockCount;
  start.ChannelCount = 16;
  start.ContinuousFlag = continuous ? 1 : 0;
  return Call(IOCTL_DAQ_START, &start, sizeof start, nullptr, 0);
}

Outcome Client::Stop() { return Call(IOCTL_DAQ_STOP, nullptr, 0, nullptr, 0); }

Bench::Bench(uint64_t seed) : seed_(seed) {
  sim::MachineOptions options;
  options.card.window.sources[sim::card::Quantity::Word0] = sim::card::SignalSource::Ramp(0, 1);
  // Every restart after a PnP stop moves the card's ports, as a rebalance does: a request that
  // kept the old bases across it touches ports the device no longer holds.
  options.rebalanceOnRestart = true;
  machine_.emplace(options);
  EXPECT_EQ(machine_->LoadDriver(sim::TarvikDriverImage()), 0);
  driverPool_ = sim::kernel::GetPoolStats().outstandingAllocations;
  EXPECT_EQ(machine_->AddDevice(), 0);
  EXPECT_EQ(machine_->StartDevice(), 0);
}

Bench::~Bench() {
  EXPECT_EQ(ledger_.hung.load(), 0u) << "requests hung";
  EXPECT_EQ(ledger_.completed.load(), ledger_.submitted.load())
      << "requests submitted and completions seen differ";
  EXPECT_EQ(machine_->Card().MisuseCount(), 0u) << "the driver misused the card";
  // Every client has closed its handle: once its device is removed the driver holds only what
  // DriverEntry allocated.
  if (machine_->DevicePresent()) {
    EXPECT_EQ(machine_->RemoveDevice(), 0);
  }
  EXPECT_EQ(sim::kernel::GetPoolStats().outstandingAllocations, driverPool_)
      << "pool left allocated by the device's life";
  machine_.reset();
}

void Bench::StepCard(std::mt19937_64& random, uint64_t ticks) {
  while (ticks != 0) {
    uint64_t slice = std::min<uint64_t>(ticks, 1 + random() % 8);
    machine_->Card().window().Step(slice);
    ticks -= slice;
    if (random() % 4 == 0) std::this_thread::yield();
  }
}

void Bench::RunThreads(int count, const std::function<void(int, std::mt19937_64&)>& body) {
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([this, i, &body] {
      std::mt19937_64 random = Random(i + 1);
      body(i, random);
    });
  }
  for (std::thread& t : threads) t.join();
}

void ExpectConsecutiveFrames(const uint16_t* frames, uint32_t count, const char* what) {
  for (uint32_t f = 1; f < count; ++f) {
    uint16_t previous = frames[(f - 1) * TARVIK_FRAME_WORDS], tick = frames[f * TARVIK_FRAME_WORDS];
    if (uint16_t(tick - previous) != 2) {
      ADD_FAILURE() << what << ": frame " << f << " has tick " << tick << " after " << previous;
      return;
    }
  }
}

}  // namespace stress
