// Plays a fuzz input against one booted machine (see fuzz_session.h). Requests go through the
// system-call surface user mode uses (sim/nt_api.h) on overlapped handles, so a request the
// driver keeps pending never blocks the session; every buffer has exactly the length the
// request names, so a driver that reads or writes past it is an AddressSanitizer report.
#include "fuzz_session.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "fuzz_input.h"
#include "sim/kernel.h"
#include "sim/machine.h"
#include "sim/nt_api.h"
#include "sim/verifier.h"
#include "tarvik_ioctl.h"

namespace tarvik_fuzz {
namespace {

using sim::PnpState;
namespace nt = sim::nt;

constexpr nt::Status kStatusPending = 0x103;
constexpr int kMaxOperations = 64;
// How long a cancelled request may take to complete before the session calls it a hang.
constexpr int64_t kCompletionLimitMs = 5000;

constexpr std::array<uint32_t, 19> kDriverCodes = {
    IOCTL_DAQ_WAIT_EVENT,        IOCTL_DAQ_SET_EVENT,        IOCTL_DAQ_OPEN_BOARD,
    IOCTL_DAQ_GET_BLOCK_COUNT,   IOCTL_DAQ_START,            IOCTL_DAQ_STOP,
    IOCTL_DAQ_READ_OLDEST_BLOCK, IOCTL_DAQ_READ_NEWEST_BLOCK, IOCTL_DAQ_READ_STREAM,
    IOCTL_DAQ_COMMAND,           IOCTL_DAQ_PORT_IN_BYTE,     IOCTL_DAQ_PORT_IN_WORD,
    IOCTL_DAQ_PORT_IN_DWORD,     IOCTL_DAQ_PORT_OUT_BYTE,    IOCTL_DAQ_PORT_OUT_WORD,
    IOCTL_DAQ_PORT_OUT_DWORD,    IOCTL_DAQ_GET_LAST_ERROR,   IOCTL_DAQ_READ_SERIAL,
    IOCTL_DAQ_READ_SERIAL ^ 1,  // the serial number's code with another method
};

// Lengths the driver's requests take or just miss (records, summaries, the sub-command).
constexpr std::array<uint32_t, 20> kLengths = {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 16, 17, 32,
                                               33, 38, 79, 80, 99, 100, 134};

constexpr std::array<int32_t, 6> kRates = {10000, 1000, 100000, -1, 0, 200000};
constexpr std::array<uint16_t, 8> kRanges = {1, 2, 4, 8, 10, 100, 1000, 3};

struct Request {
  nt::IoStatus iosb{};
  nt::Handle event = 0;
  uint32_t code = 0;
  std::vector<uint8_t> input;
  std::vector<uint8_t> output;
  bool pending = false;
};

class Session {
 public:
  Session(const uint8_t* data, size_t size) : in_(data, size) {}

  void Run() {
    machine_.emplace();
    if (machine_->LoadDriver(sim::TarvikDriverImage()) != 0) Fail("the driver did not load");
    driverPool_ = sim::kernel::GetPoolStats().outstandingAllocations;  // the registry path
    if (machine_->AddDevice() != 0 || machine_->StartDevice() != 0) {
      Fail("the device did not start");
    }
    nt::CreateEvent(false, false, &blockEvent_);
    OpenHandle();
    for (int n = 0; n < kMaxOperations && !in_.Empty(); ++n) {
      uint8_t op = in_.Byte();
      if (op < kFirstStateOp) {
        Control();
      } else {
        StateChange(static_cast<StateOp>((op - kFirstStateOp) % kStateOpCount));
      }
    }
    Finish();
  }

 private:
  [[noreturn]] static void Fail(const char* what) {
    std::fprintf(stderr, "fuzz session: %s\n", what);
    for (const auto& v : sim::verifier::TakeViolations()) {
      std::fprintf(stderr, "  violation %s: %s\n", v.rule.c_str(), v.message.c_str());
    }
    std::abort();
  }

  uint32_t ChooseCode() {
    uint8_t b = in_.Byte();
    uint32_t known = kDriverCodes[b % kDriverCodes.size()];
    if (b < 0xC0) return known;
    if (b < 0xD0) return known ^ (in_.Byte() & 3u);         // another transfer method
    if (b < 0xE0) return known ^ (1u << (in_.Byte() % 32));  // one bit off
    return in_.U32();
  }

  uint32_t ChooseLength() {
    uint8_t b = in_.Byte();
    if (b < 0x40) return kLengths[b % kLengths.size()];
    if (b < 0x60) {
      // A block of the last start's geometry, or a stream snapshot of n frames, give or take.
      uint32_t exact = (b & 0x10) ? TARVIK_STREAM_OVERHEAD + 32 * (1 + (b & 7))
                                  : TarvikBlockBytes(framesPerBlock_);
      return exact + ((b >> 3) & 1);  // exact or one more
    }
    if (b < 0xA0) return b & 0x3F;
    return in_.U16() % 8193;
  }

  void FillInput(std::vector<uint8_t>& input) {
    switch (in_.Byte() % 4) {
      case 0:
        in_.Bytes(input.data(), input.size());
        break;
      case 1:
        break;  // zeros
      case 2: {  // a port inside (or just past) one of the card's ranges, then fuzz bytes
        uint16_t port = static_cast<uint16_t>((in_.Byte() & 1 ? 0xE400 : 0xE000) + in_.Byte() % 0x82);
        in_.Bytes(input.data(), input.size());
        for (size_t i = 0; i < input.size() && i < 2; ++i) input[i] = static_cast<uint8_t>(port >> (8 * i));
        break;
      }
      default: {
        START_PARAMETERS start = StartTemplate(in_.Byte() & 1);
        for (size_t i = 0; i < input.size() && i < sizeof start; ++i) {
          input[i] = reinterpret_cast<const uint8_t*>(&start)[i];
        }
        break;
      }
    }
  }

  START_PARAMETERS StartTemplate(bool continuous) {
    START_PARAMETERS start{};
    start.FramesPerBlock = 1 + in_.Byte() % (continuous ? 16 : 8);
    start.RequestedRate = kRates[in_.Byte() % kRates.size()];
    start.EventHandle = blockEvent_;
    start.RangeCode = kRanges[in_.Byte() % kRanges.size()];
    start.BlockCount = static_cast<int16_t>(1 + in_.Byte() % 8);
    start.ChannelCount = 16;
    start.ContinuousFlag = continuous ? 1 : 0;
    return start;
  }

  // Sends one request on an open handle, chosen by the next byte. Its buffers and status
  // block live until the session ends, so a late completion never writes freed memory.
  void Send(uint32_t code, std::vector<uint8_t> input, uint32_t outputLength) {
    if (handles_.empty()) return;
    nt::Handle file = handles_[in_.Byte() % handles_.size()];
    auto request = std::make_unique<Request>();
    request->code = code;
    request->input = std::move(input);
    request->output.assign(outputLength, 0xCC);
    nt::CreateEvent(true, false, &request->event);
    Request& r = *request;
    requests_.push_back(std::move(request));
    nt::Status status = nt::DeviceIoControlFile(
        file, r.event, &r.iosb, code, r.input.empty() ? nullptr : r.input.data(),
        static_cast<uint32_t>(r.input.size()), r.output.empty() ? nullptr : r.output.data(),
        outputLength);
    r.pending = status == kStatusPending;
  }

  void Control() {
    uint32_t code = ChooseCode();
    std::vector<uint8_t> input(ChooseLength());
    uint32_t outputLength = ChooseLength();
    FillInput(input);
    if (code == IOCTL_DAQ_START && input.size() == sizeof(START_PARAMETERS)) {
      START_PARAMETERS start;
      std::memcpy(&start, input.data(), sizeof start);
      if (start.FramesPerBlock != 0 && start.FramesPerBlock < 64) framesPerBlock_ = start.FramesPerBlock;
    }
    Send(code, std::move(input), outputLength);
  }

  void Start(bool continuous) {
    START_PARAMETERS start = StartTemplate(continuous);
    framesPerBlock_ = start.FramesPerBlock;
    std::vector<uint8_t> input(sizeof start);
    std::memcpy(input.data(), &start, sizeof start);
    Send(IOCTL_DAQ_START, std::move(input), 0);
  }

  void StateChange(StateOp op) {
    PnpState pnp = machine_->DevicePnpState();
    bool awake = machine_->CurrentSystemPower() == sim::kSystemWorking;
    switch (op) {
      case kOpenBoard: {
        std::vector<uint8_t> open(16);
        in_.Bytes(open.data(), open.size());
        Send(IOCTL_DAQ_OPEN_BOARD, std::move(open), 0);
        break;
      }
      case kStartBlock: Start(false); break;
      case kStartContinuous: Start(true); break;
      case kStop: Send(IOCTL_DAQ_STOP, {}, 0); break;
      case kStep: machine_->Card().window().Step(1 + in_.Byte()); break;
      case kCancelOne: {
        if (requests_.empty() || handles_.empty()) break;
        const Request& r = *requests_[in_.Byte() % requests_.size()];
        for (nt::Handle h : handles_) nt::CancelIoFile(h, true, &r.iosb);
        break;
      }
      case kOpenHandle: OpenHandle(); break;
      case kCloseHandle: {
        if (handles_.empty()) break;
        size_t index = in_.Byte() % handles_.size();
        nt::Close(handles_[index]);
        handles_.erase(handles_.begin() + static_cast<std::ptrdiff_t>(index));
        break;
      }
      case kPnpStop:
        if (awake && pnp == PnpState::Started) machine_->StopDevice();
        break;
      case kPnpStart:
        if (awake && (pnp == PnpState::NotStarted || pnp == PnpState::Stopped)) machine_->StartDevice();
        break;
      case kSurpriseRemove:
        if (awake && (pnp == PnpState::Started || pnp == PnpState::Stopped)) {
          RemoveClosingHandles([this] { machine_->SurpriseRemoveDevice(); });
        }
        break;
      case kRemove:
        if (awake && pnp != PnpState::Removed && pnp != PnpState::SurpriseRemoved) {
          RemoveClosingHandles([this] { machine_->RemoveDevice(); });
        }
        break;
      case kSleep:
        if (awake) machine_->SetSystemPower(in_.Byte() & 1 ? sim::kSystemHibernate : sim::kSystemSleeping3);
        break;
      case kResume:
        if (!awake) machine_->SetSystemPower(sim::kSystemWorking);
        break;
      case kPull: {
        // Hardware only: the PnP manager hears of it if a later surprise removal comes. An odd
        // byte leaves the pin floating, asserting the shared line with nothing to clear it.
        bool floats = (in_.Byte() & 1) != 0;
        if (!machine_->CardPulled()) machine_->PullCard(floats);
        break;
      }
      case kSignal: {
        std::vector<uint8_t> value(4);
        in_.Bytes(value.data(), value.size());
        Send(IOCTL_DAQ_SET_EVENT, std::move(value), 0);
        break;
      }
      case kStateOpCount: break;
    }
  }

  void OpenHandle() {
    nt::Handle handle = 0;
    if (nt::CreateFile(u"\\??\\Tarvik", false, &handle) == 0) handles_.push_back(handle);
  }

  // What a client does when its device goes away: cancel its requests, close its handles.
  void CancelAndCloseHandles() {
    for (nt::Handle h : handles_) nt::CancelIoFile(h, true, nullptr);
    for (nt::Handle h : handles_) nt::Close(h);
    handles_.clear();
  }

  // The driver's removal waits for the handles (their remove-lock references), so they are
  // closed from another thread once the removal has begun, as a client reacting to it would.
  template <typename Removal>
  void RemoveClosingHandles(Removal removal) {
    PnpState before = machine_->DevicePnpState();
    std::thread client([this, before] {
      auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
      while (machine_->DevicePnpState() == before && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      CancelAndCloseHandles();
    });
    removal();
    client.join();
  }

  // Every request still pending is cancelled and must then complete.
  void Finish() {
    if (machine_->CurrentSystemPower() != sim::kSystemWorking) {
      machine_->SetSystemPower(sim::kSystemWorking);
    }
    for (nt::Handle h : handles_) nt::CancelIoFile(h, true, nullptr);
    for (const auto& r : requests_) {
      if (r->pending && nt::WaitForSingleObject(r->event, kCompletionLimitMs) != 0) {
        std::fprintf(stderr, "fuzz session: request 0x%08X still pending after its cancel\n",
                     r->code);
        Fail("a request never completed");
      }
    }
    CancelAndCloseHandles();
    for (const auto& r : requests_) nt::Close(r->event);
    nt::Close(blockEvent_);
    // Once its device is removed the driver holds only what DriverEntry allocated (a leak at
    // unload is a violation too; this catches what a device's life left behind).
    // A card that left its slot is surprise-removed, as the platform does once it notices.
    PnpState pnp = machine_->DevicePnpState();
    if (machine_->CardPulled() && (pnp == PnpState::Started || pnp == PnpState::Stopped)) {
      machine_->SurpriseRemoveDevice();
    } else if (machine_->DevicePresent()) {
      machine_->RemoveDevice();
    }
    sim::kernel::PoolStats pool = sim::kernel::GetPoolStats();
    if (pool.outstandingAllocations != driverPool_) {
      std::fprintf(stderr, "fuzz session: %zu pool allocations outstanding, %zu expected\n",
                   pool.outstandingAllocations, driverPool_);
      Fail("pool leaked");
    }
    machine_.reset();
    if (sim::verifier::PendingCount() != 0) Fail("the driver broke a platform rule");
  }

  FuzzInput in_;
  std::optional<sim::Machine> machine_;
  std::vector<nt::Handle> handles_;
  std::vector<std::unique_ptr<Request>> requests_;
  nt::Handle blockEvent_ = 0;
  uint32_t framesPerBlock_ = 4;
  size_t driverPool_ = 0;
};

}  // namespace

void RunFuzzInput(const uint8_t* data, size_t size) {
  // A kernel wait this long is a deadlock: the kernel stops the process, which fails the run.
  sim::kernel::SetDeadlockLimit(std::chrono::seconds(5));
  Session(data, size).Run();
}

}  // namespace tarvik_fuzz
