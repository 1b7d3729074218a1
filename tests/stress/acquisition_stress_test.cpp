// Acquisitions under concurrent clients: block and continuous runs read from several threads
// while another steps the card, and starts and stops racing each other. Every block read
// arrives whole, in sequence order for its reader, its frames consecutive ticks of the card.
#include <cstring>
#include <vector>

#include "stress_bench.h"

namespace stress {
namespace {

// Reads in block mode: the block count, the oldest or the newest block, or a short wait on
// the block event. Sequence numbers only grow for one reader: the pool hands blocks out in
// order and a newest-block read drops the older ones.
void ReadBlocks(Client& client, std::mt19937_64& random, uint32_t frames, HANDLE event, int count) {
  uint32_t size = TarvikBlockBytes(frames);
  std::vector<uint16_t> block(size / 2);
  int lastSequence = -1;
  for (int i = 0; i < count; ++i) {
    switch (random() % 4) {
      case 0: {
        uint16_t blocks = 0;
        EXPECT_TRUE(client.Call(IOCTL_DAQ_GET_BLOCK_COUNT, nullptr, 0, &blocks, 2).ok);
        break;
      }
      case 1:
      case 2: {
        uint32_t code = random() % 2 ? IOCTL_DAQ_READ_OLDEST_BLOCK : IOCTL_DAQ_READ_NEWEST_BLOCK;
        Outcome read = client.Call(code, nullptr, 0, block.data(), size);
        if (!read.ok) break;  // no block waiting (the last-error register is shared)
        EXPECT_EQ(read.bytes, size);
        EXPECT_GT(int(block[0]), lastSequence) << "a block came back out of order";
        lastSequence = block[0];
        ExpectConsecutiveFrames(block.data() + 1, frames, "block");
        break;
      }
      default:
        WaitForSingleObject(event, static_cast<DWORD>(random() % 2));
        break;
    }
  }
}

// Snapshots of a continuous run's ring, of one frame up to the whole ring. Once the ring has
// wrapped every frame in a snapshot is a real one, consecutive with the one before.
void ReadStreams(Client& client, std::mt19937_64& random, uint32_t frames, int count) {
  std::vector<uint16_t> out(3 + TARVIK_FRAME_WORDS * frames);
  for (int i = 0; i < count; ++i) {
    uint32_t wanted = 1 + static_cast<uint32_t>(random() % frames);
    uint32_t length = TARVIK_STREAM_OVERHEAD + 2 * TARVIK_FRAME_WORDS * wanted;
    Outcome read = client.Call(IOCTL_DAQ_READ_STREAM, nullptr, 0, out.data(), length);
    ASSERT_TRUE(read.ok) << "stream read of " << length << " bytes: error " << read.error;
    ASSERT_EQ(read.bytes, length);
    if (out[0] != 0) ExpectConsecutiveFrames(out.data() + 1, wanted, "stream snapshot");
  }
}

void Acquisitions(uint64_t seed, const Options& options) {
  Bench bench(seed);
  std::mt19937_64 random = bench.Random(0);
  Client control(bench.Requests());
  ASSERT_TRUE(control.OpenBoard().ok);
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  for (int round = 0; round < 3; ++round) {
    bool continuous = random() % 2 != 0;
    uint32_t frames = 1 + static_cast<uint32_t>(random() % 4);
    int16_t blocks = static_cast<int16_t>(2 + random() % 4);
    ASSERT_TRUE(control.Start(frames, blocks, continuous, event).ok);
    bench.RunThreads(options.threads + 1, [&](int index, std::mt19937_64& r) {
      if (index == 0) {
        bench.StepCard(r, 2 + 8 * frames * blocks);
        return;
      }
      Client client(bench.Requests());
      if (continuous) {
        ReadStreams(client, r, frames, options.operations);
      } else {
        ReadBlocks(client, r, frames, event, options.operations);
      }
    });
    ASSERT_TRUE(control.Stop().ok);
  }
  CloseHandle(event);
}

// Every client starts, stops and reads at random: whatever wins, requests fail cleanly and
// the card is never misused.
void StartStopRaces(uint64_t seed, const Options& options) {
  Bench bench(seed);
  {
    Client control(bench.Requests());
    ASSERT_TRUE(control.OpenBoard().ok);
  }
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  bench.RunThreads(options.threads + 1, [&](int index, std::mt19937_64& r) {
    if (index == 0) {
      bench.StepCard(r, 4 * static_cast<uint64_t>(options.operations));
      return;
    }
    Client client(bench.Requests());
    std::vector<uint16_t> out(3 + TARVIK_FRAME_WORDS * 4);
    for (int i = 0; i < options.operations; ++i) {
      switch (r() % 5) {
        case 0: client.Start(1 + r() % 4, static_cast<int16_t>(1 + r() % 3), r() % 2, event); break;
        case 1: client.Stop(); break;
        case 2: client.Call(IOCTL_DAQ_READ_OLDEST_BLOCK, nullptr, 0, out.data(), TarvikBlockBytes(1 + r() % 4)); break;
        case 3: client.Call(IOCTL_DAQ_READ_STREAM, nullptr, 0, out.data(), 38); break;
        default: {
          uint8_t running[100] = {SUB_GET_RUNNING};
          client.Call(IOCTL_DAQ_COMMAND, running, 100, running, 100);
          break;
        }
      }
    }
  });
  Client(bench.Requests()).Stop();
  CloseHandle(event);
}

TEST(AcquisitionStress, BlockAndContinuousRunsReadFromSeveralThreads) {
  RunOverSeeds("Acquisitions", Acquisitions, 12);
}

TEST(AcquisitionStress, StartsAndStopsRaceEachOther) {
  RunOverSeeds("StartStopRaces", StartStopRaces, 12);
}

}  // namespace
}  // namespace stress
