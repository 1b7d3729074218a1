// Requests from several threads at once: the rendezvous (waits, signals, cancels), device
// commands and EEPROM words, raw ports, and handles closed while their requests are pending.
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "stress_bench.h"

namespace stress {
namespace {

// Waiters park a wait (one is parked at a time; the others are refused), a signaller sends
// values, a canceller cancels whatever is outstanding on a waiter's handle from its own thread
// (so a cancel can land while a wait is being parked): every wait completes, a satisfied one
// with a value that was sent.
void Rendezvous(uint64_t seed, const Options& options) {
  Bench bench(seed);
  std::mutex sentLock;
  std::set<uint32_t> sent;
  std::vector<std::unique_ptr<Client>> waiters;
  for (int i = 0; i < options.threads; ++i) waiters.push_back(std::make_unique<Client>(bench.Requests()));
  std::atomic<int> waitersDone{0};
  bench.RunThreads(options.threads + 2, [&](int index, std::mt19937_64& r) {
    if (index == 0) {  // the signaller
      Client client(bench.Requests());
      for (int i = 0; i < options.operations; ++i) {
        uint32_t value = static_cast<uint32_t>(r());
        {
          std::lock_guard guard(sentLock);
          sent.insert(value);
        }
        client.Call(IOCTL_DAQ_SET_EVENT, &value, 4, nullptr, 0);
      }
      return;
    }
    if (index == 1) {  // the canceller
      while (waitersDone.load() < options.threads) {
        CancelIoEx(waiters[r() % waiters.size()]->Handle(), nullptr);
        if (r() % 2) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::microseconds(r() % 500));
      }
      return;
    }
    Client& client = *waiters[index - 2];
    for (int i = 0; i < options.operations; ++i) {
      auto wait = client.Begin(IOCTL_DAQ_WAIT_EVENT, nullptr, 0, 4);
      if (r() % 3 == 0) CancelIoEx(client.Handle(), &wait->overlapped);
      // The signaller may be done: a wait nobody satisfies in a moment is cancelled.
      if (wait->pending && WaitForSingleObject(wait->overlapped.hEvent, r() % 20) != WAIT_OBJECT_0) {
        CancelIoEx(client.Handle(), &wait->overlapped);
      }
      Outcome outcome = client.Finish(*wait);
      if (outcome.ok) {
        uint32_t value = 0;
        std::memcpy(&value, wait->output.data(), 4);
        std::lock_guard guard(sentLock);
        EXPECT_EQ(outcome.bytes, 4u);
        EXPECT_TRUE(sent.count(value)) << "a wait returned a value nobody sent: " << value;
      }
    }
    ++waitersDone;
  });
}

// Card registers a read leaves as they were (the conversion result pair at +4..+6 moves on
// when read, which would be the test's misuse of the card, not the driver's).
constexpr uint16_t kQuietOffsets[] = {0, 1, 2, 3, 7, 8, 9, 10, 11, 12, 13, 14, 15};

uint16_t QuietOffset(std::mt19937_64& r) {
  return kQuietOffsets[r() % (sizeof kQuietOffsets / sizeof kQuietOffsets[0])];
}

// Device commands and raw port reads from every thread; each thread writes its own EEPROM
// words and reads them back.
void CommandsAndPorts(uint64_t seed, const Options& options) {
  Bench bench(seed);
  {
    Client control(bench.Requests());
    ASSERT_TRUE(control.OpenBoard().ok);
  }
  bench.RunThreads(options.threads, [&](int index, std::mt19937_64& r) {
    Client client(bench.Requests());
    uint8_t out[100] = {};
    for (int i = 0; i < options.operations; ++i) {
      switch (r() % 6) {
        case 0:
          EXPECT_TRUE(client.Call(IOCTL_DAQ_COMMAND, nullptr, 0, out, r() % 2 ? 10 : 80).ok);
          break;
        case 1: {
          REGISTER_OPERATION read{REGISTER_WIDTH_BYTE, QuietOffset(r), {}};
          EXPECT_TRUE(client.Call(IOCTL_DAQ_COMMAND, &read, 4, out, 4).ok);
          break;
        }
        case 2: {
          int8_t offset = static_cast<int8_t>(4 * (r() % 32));
          EXPECT_TRUE(client.Call(IOCTL_DAQ_COMMAND, &offset, 1, out, 4).ok);
          break;
        }
        case 3: {  // this thread's word: written, then read back
          uint8_t word = static_cast<uint8_t>(8 + 4 * index + r() % 4);
          uint16_t value = static_cast<uint16_t>(r());
          uint8_t write[4] = {static_cast<uint8_t>(2 * word), 1, static_cast<uint8_t>(value),
                              static_cast<uint8_t>(value >> 8)};
          ASSERT_TRUE(client.Call(IOCTL_DAQ_COMMAND, write, 4, nullptr, 0).ok);
          uint8_t read[2] = {static_cast<uint8_t>(2 * word), 1};
          uint16_t back = 0;
          ASSERT_TRUE(client.Call(IOCTL_DAQ_COMMAND, read, 2, &back, 2).ok);
          EXPECT_EQ(back, value) << "EEPROM word " << int(word);
          break;
        }
        case 4: {
          // A byte of a quiet register, a word or dword of the quiet span from +8, or the
          // bridge's interrupt control/status register.
          PORT_IO_REQUEST port{static_cast<uint16_t>(0xE400 + QuietOffset(r)), 0, {}};
          uint32_t code = IOCTL_DAQ_PORT_IN_BYTE;
          switch (r() % 4) {
            case 0: port.Port = static_cast<uint16_t>(0xE408 + 2 * (r() % 4)), code = IOCTL_DAQ_PORT_IN_WORD; break;
            case 1: port.Port = static_cast<uint16_t>(0xE408 + 4 * (r() % 2)), code = IOCTL_DAQ_PORT_IN_DWORD; break;
            case 2: port.Port = 0xE04C, code = IOCTL_DAQ_PORT_IN_DWORD; break;
            default: break;
          }
          EXPECT_TRUE(client.Call(code, &port, sizeof port, &port, 4).ok) << std::hex << port.Port;
          break;
        }
        default: {
          uint8_t sub[100] = {static_cast<uint8_t>(r() % 2 ? SUB_GET_PORT_BASE : SUB_READ_ID_BLOCK), 16};
          EXPECT_TRUE(client.Call(IOCTL_DAQ_COMMAND, sub, 100, sub, 100).ok);
          break;
        }
      }
    }
  });
}

// Clients close their handles while a wait is parked and reads come and go: the cleanup
// cancels the wait, and every request completes.
void HandlesClosedMidRequest(uint64_t seed, const Options& options) {
  Bench bench(seed);
  bench.RunThreads(options.threads, [&](int, std::mt19937_64& r) {
    for (int i = 0; i < options.operations / 4; ++i) {
      Client client(bench.Requests());
      auto wait = client.Begin(IOCTL_DAQ_WAIT_EVENT, nullptr, 0, 4);
      auto read = client.Begin(IOCTL_DAQ_GET_LAST_ERROR, nullptr, 0, 4);
      if (r() % 2) std::this_thread::yield();
      client.Close();  // with the wait still parked, perhaps
      client.Finish(*wait);
      client.Finish(*read);
    }
  });
}

TEST(RequestStress, WaitsSignalsAndCancelsFromSeveralThreads) {
  RunOverSeeds("Rendezvous", Rendezvous, 12);
}

TEST(RequestStress, DeviceCommandsEepromWordsAndPortsFromSeveralThreads) {
  RunOverSeeds("CommandsAndPorts", CommandsAndPorts, 6);
}

TEST(RequestStress, HandlesClosedWhileRequestsArePending) {
  RunOverSeeds("HandlesClosedMidRequest", HandlesClosedMidRequest, 12);
}

}  // namespace
}  // namespace stress
