#include "acquire_run.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>

#if defined(_WIN32)
#include <io.h>
#define TARVIK_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define TARVIK_ISATTY(fd) isatty(fd)
#endif

#include "description.h"
#include "output_file.h"
#include "progress_line.h"
#include "stop_signal.h"
#include "tarvik/acquisition.h"

namespace tarvik::tool {

namespace {

using Clock = std::chrono::steady_clock;

// Virtual clock: rounds of stepping without a single frame before the run is given up.
constexpr int kVirtualIdleRounds = 200;
// The longest pause between two rounds of block reads in real time.
constexpr std::chrono::duration<double> kBlockRoundPause{0.005};

class Run {
 public:
  Run(const AcquireOptions& options, const AcquireSettings& settings, MachineHost& host,
      FrameWriter& writer)
      : options_(options), settings_(settings), host_(host), writer_(writer),
        progress_(TARVIK_ISATTY(2) != 0) {
    // The plot is decimated as frames arrive, so it covers the whole run in constant memory.
    if (!options_.plot.empty()) outcome_.plot.emplace(settings_.plotWords);
  }

  RunOutcome Go() {
    Device device;
    device.OpenBoard();
    AcquisitionResult& result = outcome_.result;
    auto id = device.ReadIdentification(5);
    result.identification.assign(id.begin(), id.begin() + 5);
    try {
      result.serialNumber = device.SerialNumber();
    } catch (const Error& error) {
      if (error.LastError() != DAQ_ERR_NO_SERIAL) throw;
    }
    AcquisitionOptions start;
    start.mode = options_.mode == "block" ? AcquisitionMode::Block : AcquisitionMode::Continuous;
    start.start.framesPerBlock = settings_.framesPerBlock;
    start.start.rate = settings_.plan.driverRate;
    start.start.blockCount = options_.blocks;
    start.start.gain = options_.gain;
    Acquisition::ClockStep step;
    if (host_.VirtualClock()) {
      step = [this](uint64_t ticks) {
        uint64_t done = host_.Step(ticks);
        ticks_ += done;
        // The clock stops with the acquisition; its rate is kept for the time it ran.
        if (clockRate_ == 0) clockRate_ = host_.ClockRateHz();
        return done;
      };
    }
    Acquisition acquisition(device, start, std::move(step));
    result.startTimeUtc = UtcTimestamp(std::chrono::system_clock::now());
    started_ = Clock::now();
    lastData_ = started_;
    try {
      // The driver keeps the gain from the start request without writing the card's range
      // bits (+9, bits 5..6); its range command writes them.
      device.SetRangeBits(RangeCodeOfGain(options_.gain));
      Loop(device, acquisition);
    } catch (...) {
      EndProgress();
      throw;  // the acquisition stops the card on its way out
    }
    acquisition.Stop();
    EndProgress();
    if (acquisition.ReceivedFrames() == 0 && stopSignal_ == nullptr && outcome_.writeError.empty()) {
      ThrowNoData(device);
    }
    if (stopSignal_ != nullptr) result.stopSignal = stopSignal_;
    result.frames = writer_.Frames();
    result.blocks = acquisition.ReceivedBlocks();
    result.lostBlocks = acquisition.LostBlocks();
    result.lostFrames = acquisition.LostFrames();
    result.seconds = Elapsed();
    result.achievedRate = result.seconds > 0
                              ? static_cast<double>(acquisition.ReceivedFrames()) / result.seconds
                              : 0;
    result.gaps = writer_.Gaps();
    return std::move(outcome_);
  }

 private:
  void Loop(Device& device, Acquisition& acquisition) {
    bool block = acquisition.Mode() == AcquisitionMode::Block;
    double frameRate = settings_.plan.frameRate;
    // In real time the block rounds are at least a quarter of the pool's time apart (at most
    // kBlockRoundPause), so that at high rates a round takes a few blocks rather than the
    // thread waking for every block; the pool holds the blocks meanwhile. The ring is polled
    // a few times per turn, so that nothing is overwritten unread.
    auto pause = std::chrono::duration<double>(
        std::min(static_cast<double>(settings_.framesPerBlock) * options_.blocks / frameRate / 4,
                 kBlockRoundPause.count()));
    auto poll = std::chrono::duration<double>(
        std::clamp(settings_.framesPerBlock / frameRate / 4, 0.0005, 0.02));
    while (!Done()) {
      if (host_.VirtualClock()) {
        acquisition.Advance(VirtualFramesPerRead(), {});
      } else if (block) {
        std::this_thread::sleep_for(pause);
        acquisition.Advance(0, std::chrono::milliseconds(50));
      } else {
        acquisition.Advance(0, poll);
      }
      for (const Arrival& arrival : acquisition.Poll()) {
        Lose(arrival.lostFrames);
        Take(arrival.frames);
        if (Done()) break;
      }
      CheckIdle(device);
      Progress(acquisition);
    }
  }

  // Seconds since the start: of the card's clock when the tool steps it, else of the wall.
  double Elapsed() const {
    if (host_.VirtualClock()) {
      return clockRate_ > 0 ? static_cast<double>(ticks_) / clockRate_ : 0;
    }
    return std::chrono::duration<double>(Clock::now() - started_).count();
  }

  // The frames that count towards the bound: those in the file, and with --duration the lost
  // ones, whose time passed too.
  uint64_t Counted() const {
    return writer_.Frames() + (settings_.bound && settings_.bound->countsLost ? lost_ : 0);
  }

  // Ends at the bound, at a stop signal or when the file cannot be written; without a bound,
  // only a signal ends the run.
  bool Done() {
    if (stopSignal_ == nullptr) stopSignal_ = StopOnSignals::Caught();
    if (stopSignal_ != nullptr || !outcome_.writeError.empty()) return true;
    return settings_.bound && Counted() >= settings_.bound->frames;
  }

  uint32_t VirtualFramesPerRead() const {
    return options_.virtualFramesPerRead != 0 ? options_.virtualFramesPerRead
                                              : settings_.framesPerBlock;
  }

  // Takes frames in arrival order; writes what the bound still needs.
  void Take(std::span<const Frame> frames) {
    if (frames.empty()) return;
    lastData_ = Clock::now();
    idleRounds_ = 0;
    if (settings_.bound) {
      uint64_t room = settings_.bound->frames - std::min(settings_.bound->frames, Counted());
      frames = frames.first(std::min<uint64_t>(room, frames.size()));
    }
    try {
      writer_.Append(frames);
    } catch (const OutputError& error) {
      outcome_.writeError = error.what();
      return;
    }
    if (outcome_.plot) outcome_.plot->Add(frames);
  }

  // Frames the card produced that were lost, between the last taken and the next.
  void Lose(uint64_t frames) {
    if (frames == 0) return;
    lost_ += frames;
    writer_.NoteGap(frames);
    if (outcome_.plot) outcome_.plot->Skip(frames);
  }

  void CheckIdle(Device& device) {
    bool idle = host_.VirtualClock()
                    ? ++idleRounds_ > kVirtualIdleRounds
                    : std::chrono::duration<double>(Clock::now() - lastData_).count() >
                          settings_.timeout;
    if (idle) ThrowNoData(device);
  }

  [[noreturn]] void ThrowNoData(Device& device) {
    uint32_t code = device.LastError();
    // DAQ_OK: the last request (a block count, a snapshot) succeeded and found nothing new.
    const char* name = code == DAQ_OK ? "none" : DaqLastErrorName(code);
    throw std::runtime_error(fmt::format(
        "no data arrived in {:.2f} s of acquisition{} (driver's last error: {}); is "
        "identification byte 4 of the board 9?",
        Elapsed(), host_.VirtualClock() ? " on the card's clock" : "",
        name != nullptr ? name : fmt::format("code {}", code)));
  }

  void Progress(const Acquisition& acquisition) {
    if (!progress_) return;
    auto now = Clock::now();
    if (now - lastProgress_ < std::chrono::milliseconds(200)) return;
    lastProgress_ = now;
    double elapsed = Elapsed();
    double rate = elapsed > 0 ? static_cast<double>(acquisition.ReceivedFrames()) / elapsed : 0;
    std::string left = "Ctrl-C stops";
    if (settings_.bound) {
      uint64_t missing = settings_.bound->frames - std::min(settings_.bound->frames, Counted());
      double per = rate > 0 ? rate : settings_.plan.frameRate;
      left = fmt::format("{:.1f} s left", static_cast<double>(missing) / per);
    }
    ProgressFields fields{writer_.Frames(), rate, "frames", acquisition.LostFrames(), left};
    if (acquisition.Mode() == AcquisitionMode::Block) {
      fields.lostWhat = "blocks";
      fields.lost = acquisition.LostBlocks();
    }
    // The width is read at every update: the terminal may have been resized.
    fmt::print(stderr, "\r\x1b[K{}", FormatProgressLine(fields, TerminalColumns(2)));
    std::fflush(stderr);
    shown_ = true;
  }

  void EndProgress() {
    if (shown_) fmt::print(stderr, "\r\x1b[K");
    shown_ = false;
  }

  const AcquireOptions& options_;
  const AcquireSettings& settings_;
  MachineHost& host_;
  FrameWriter& writer_;
  bool progress_;
  bool shown_ = false;
  Clock::time_point started_, lastData_, lastProgress_;
  uint64_t ticks_ = 0;
  double clockRate_ = 0;
  uint64_t lost_ = 0;
  int idleRounds_ = 0;
  const char* stopSignal_ = nullptr;
  RunOutcome outcome_;
};

}  // namespace

RunOutcome RunAcquisition(const AcquireOptions& options, const AcquireSettings& settings,
                          MachineHost& host, FrameWriter& writer) {
  return Run(options, settings, host, writer).Go();
}

}  // namespace tarvik::tool
