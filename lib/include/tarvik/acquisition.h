// An acquisition from start to stop: the card started in block or continuous mode, what the
// driver has ready read in arrival order, and every frame the driver dropped accounted for
// (block mode: gaps in the blocks' sequence numbers; continuous mode: frames overwritten in
// the ring before they were read). The tool and the Python module read through it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "tarvik/device.h"
#include "tarvik/rate_plan.h"
#include "tarvik/sequence.h"

namespace tarvik {

enum class AcquisitionMode { Block, Continuous };

struct AcquisitionOptions {
  AcquisitionMode mode = AcquisitionMode::Block;
  // The driver's rate, frames per block (in continuous mode the ring's length), the pool's
  // blocks (block mode) and the gain.
  StartOptions start;
};

// Frames that arrived, oldest first, and the frames lost just before them.
struct Arrival {
  std::optional<uint16_t> sequence;  // the block's number (block mode)
  uint64_t lostFrames = 0;
  std::span<const Frame> frames;     // valid until the next Poll
};

class Acquisition {
 public:
  // Runs the card's clock by `ticks` and returns the ticks it ran: an emulated machine's
  // virtual clock, stepped by the reader. Empty: the clock runs in real time.
  using ClockStep = std::function<uint64_t(uint64_t ticks)>;

  // Starts the card; throws Error as Device does, std::invalid_argument for a rate the
  // driver does not run.
  Acquisition(Device& device, const AcquisitionOptions& options, ClockStep step = {});
  // Stops the card if it still runs.
  ~Acquisition();
  Acquisition(const Acquisition&) = delete;
  Acquisition& operator=(const Acquisition&) = delete;

  // Lets the card run before the next Poll. With a stepped clock: `frames` frames' worth of
  // ticks (the first call adds the ticks before the first frame). In real time: block mode
  // waits until the driver signals a block or `wait` passes; continuous mode sleeps `wait`.
  void Advance(uint64_t frames, std::chrono::duration<double> wait);

  // What has arrived since the last poll: block mode every block the driver counts ready,
  // each its own arrival; continuous mode the ring's fresh frames, as one arrival or none.
  // The frames stay valid until the next Poll.
  std::span<const Arrival> Poll();

  // Stops the card (once; later calls do nothing).
  void Stop();

  const RatePlan& Plan() const { return plan_; }
  AcquisitionMode Mode() const { return options_.mode; }
  uint32_t FramesPerBlock() const { return options_.start.framesPerBlock; }
  uint64_t ReceivedFrames() const { return receivedFrames_; }
  uint64_t ReceivedBlocks() const { return blocks_.Received(); }
  uint64_t LostBlocks() const { return blocks_.Lost(); }
  // Frames the card produced that never arrived: lost blocks' frames, or overwritten ones.
  uint64_t LostFrames() const;

 private:
  void PollBlocks();
  void PollStream();

  Device& device_;
  AcquisitionOptions options_;
  ClockStep step_;
  RatePlan plan_;
  Event blockDone_;
  bool running_ = false;
  bool stepped_ = false;
  uint64_t receivedFrames_ = 0;
  BlockSequence blocks_;
  StreamPosition stream_;
  uint32_t streamRequest_;
  std::vector<Block> blockStore_;
  StreamSnapshot snapshot_;
  std::vector<Arrival> arrivals_;
};

}  // namespace tarvik
