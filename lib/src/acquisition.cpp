// tarvik::Acquisition: start, the rounds of reads with their loss accounting, stop.
#include "tarvik/acquisition.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <thread>

namespace tarvik {

namespace {

// A stream poll asks for the frames the last one found new and half as many again, plus these.
constexpr uint64_t kStreamSpareFrames = 16;

RatePlan PlanOrThrow(int32_t rate) {
  auto plan = PlanDriverRate(rate);
  if (!plan) {
    throw std::invalid_argument("the driver runs rates from " + std::to_string(kSlowestDriverRate) +
                                " to " + std::to_string(kFastestDriverRate) + " only, not " +
                                std::to_string(rate));
  }
  return *plan;
}

}  // namespace

Acquisition::Acquisition(Device& device, const AcquisitionOptions& options, ClockStep step)
    : device_(device),
      options_(options),
      step_(std::move(step)),
      plan_(PlanOrThrow(options.start.rate)),
      stream_(options.start.framesPerBlock),
      streamRequest_(options.start.framesPerBlock) {
  if (options_.mode == AcquisitionMode::Block) {
    device_.StartBlocks(options_.start, blockDone_);
  } else {
    device_.StartContinuous(options_.start);
  }
  running_ = true;
}

Acquisition::~Acquisition() {
  try {
    Stop();
  } catch (const Error&) {
    // The device went away or the driver refused: nothing is running to stop then.
  }
}

void Acquisition::Stop() {
  if (!running_) return;
  running_ = false;
  device_.Stop();
}

uint64_t Acquisition::LostFrames() const {
  return options_.mode == AcquisitionMode::Block
             ? blocks_.Lost() * options_.start.framesPerBlock
             : stream_.Lost();
}

void Acquisition::Advance(uint64_t frames, std::chrono::duration<double> wait) {
  if (step_) {
    // The first frame comes later than a frame's ticks after the start.
    uint64_t lead = stepped_ ? 0 : plan_.firstFrameTicks - plan_.ticksPerFrame;
    stepped_ = true;
    step_(lead + plan_.ticksPerFrame * frames);
    return;
  }
  if (options_.mode == AcquisitionMode::Block) {
    blockDone_.Wait(std::chrono::duration_cast<std::chrono::milliseconds>(wait));
  } else {
    std::this_thread::sleep_for(wait);
  }
}

std::span<const Arrival> Acquisition::Poll() {
  arrivals_.clear();
  if (options_.mode == AcquisitionMode::Block) {
    PollBlocks();
  } else {
    PollStream();
  }
  return arrivals_;
}

// Reads the blocks the driver counts as complete, and no more: a read that finds no block
// would cost a failing request and a last-error request to tell it from a fault. A block
// completed meanwhile sets the event again and is read at the next poll.
void Acquisition::PollBlocks() {
  blockStore_.clear();
  for (uint16_t ready = device_.BlockCount(); ready > 0; --ready) {
    auto block = device_.ReadOldestBlock(options_.start.framesPerBlock);
    if (!block) break;
    blockStore_.push_back(std::move(*block));
  }
  // The arrivals point into the store only once it has stopped growing.
  for (const Block& block : blockStore_) {
    uint64_t lost = blocks_.Accept(block.sequence) * options_.start.framesPerBlock;
    receivedFrames_ += block.frames.size();
    arrivals_.push_back({block.sequence, lost, block.frames});
  }
}

// The driver hands over the newest frames of the ring, as many as asked for: ask for what the
// last poll found new, with room to spare, and only when more came than that (or on the first
// poll) for the whole ring, so that a poll copies little beyond its new frames and no frame
// still in the ring is counted lost.
void Acquisition::PollStream() {
  const uint32_t ring = options_.start.framesPerBlock;
  snapshot_ = device_.ReadStream(streamRequest_);
  if (snapshot_.frames.size() < ring &&
      stream_.Pending(snapshot_.wraps, snapshot_.newestFrameIndex) > snapshot_.frames.size()) {
    snapshot_ = device_.ReadStream(ring);
  }
  auto update = stream_.Accept(snapshot_.wraps, snapshot_.newestFrameIndex,
                               snapshot_.frames.size());
  streamRequest_ = static_cast<uint32_t>(
      std::clamp<uint64_t>(update.fresh + update.fresh / 2 + kStreamSpareFrames, 1, ring));
  if (update.fresh == 0 && update.lost == 0) return;
  receivedFrames_ += update.fresh;
  std::span<const Frame> all(snapshot_.frames);
  arrivals_.push_back({std::nullopt, update.lost, all.last(update.fresh)});
}

}  // namespace tarvik
