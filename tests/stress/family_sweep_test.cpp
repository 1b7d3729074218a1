// Every request family, with events landed at chosen kernel calls of its client: a client of
// one family (the device command's operations and sub-commands, raw ports, EEPROM words, the
// serial number, block reads, stream reads, the rendezvous) is played once to count the calls
// its thread makes, then again with one event at each of a few calls spread over its run: a
// PnP stop and restart, a surprise removal, a removal, a sleep and resume (the device powered
// down and up), an interrupt on the shared line. Every run must end as the runner requires:
// no broken rule (ports outside the device's resources among them), no pool left, nothing
// hung, every request completed once. Failures of the requests themselves are allowed once an
// event took the device away. TARVIK_SWEEP_POINTS sets the points per family and event.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/kernel.h"
#include "sim/schedule.h"
#include "stress_bench.h"

namespace stress {
namespace {

using sim::schedule::Role;
using Bytes = std::vector<uint8_t>;

uint64_t SweepPoints() {
  const char* text = std::getenv("TARVIK_SWEEP_POINTS");
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 0) : 8;
}

// A device-command request of the given lengths on a buffer of max(input, output) bytes.
void Command(Client& client, Bytes buffer, uint32_t input, uint32_t output) {
  buffer.resize(std::max<size_t>({buffer.size(), input, output}));
  client.Call(IOCTL_DAQ_COMMAND, buffer.data(), input, buffer.data(), output);
}
void Sub(Client& client, Bytes buffer) {
  Command(client, std::move(buffer), DAQ_SUBCOMMAND_LENGTH, DAQ_SUBCOMMAND_LENGTH);
}

struct Family {
  const char* name;
  void (*run)(Bench&, Client&);
};

const Family kFamilies[] = {
    {"device command", [](Bench&, Client& c) {
       Command(c, {}, 0, sizeof(BOARD_SUMMARY));
       Command(c, {}, 0, sizeof(RESOURCE_SUMMARY));
       Command(c, {REGISTER_WIDTH_BYTE, 0, 7, 0}, DAQ_REGISTER_READ_INPUT, DAQ_REGISTER_READ_OUTPUT);
       Command(c, {REGISTER_WIDTH_WORD, 0, 0x20, 0, 1, 2}, DAQ_REGISTER_WRITE_INPUT,
               DAQ_REGISTER_WRITE_OUTPUT);
       Command(c, {0x4C}, DAQ_BRIDGE_READ_INPUT, DAQ_BRIDGE_READ_OUTPUT);
       Sub(c, {SUB_WRITE_SPAN, 2, 0x20, 1, 2});
       Sub(c, {SUB_READ_SPAN, 4, 1});
       Sub(c, {SUB_READ_ID_BLOCK, 5});
       Sub(c, {SUB_WRITE_INDEXED, 9, 0x55});
       Sub(c, {SUB_WRITE_INDEXED_WORDS, 0, 2, 0, 3, 0});
       Sub(c, {SUB_WRITE_INDEXED_BLOCK, 2, 9, 0, 1, 2});
       Sub(c, {SUB_WRITE_12BIT, 1, 0x34, 0x02});
       Sub(c, {SUB_WRITE_CONTROL_PAIR, 2, 0, 1, 2});
       Sub(c, {SUB_READ_SNAPSHOT});
       Sub(c, {SUB_SET_INPUT, 1, 16, 3});
       Sub(c, {SUB_SET_RANGE_BITS, 2});
       Sub(c, {SUB_SET_CHANNEL_BITS, 4});
       Sub(c, {SUB_GET_LAST_FRAME});
       Sub(c, {SUB_WRITE_REPEAT, 2, 0x30, 0, 1, 2});
       Sub(c, {SUB_READ_REPEAT, 2, 0x30});
       Sub(c, {SUB_GET_PORT_BASE});
       Sub(c, {SUB_GET_RUNNING});
     }},
    {"raw ports", [](Bench& b, Client& c) {
       const auto& card = b.Machine().Options().card;
       uint32_t window[2] = {card.windowBase + 0x20, 0x11};
       uint32_t control[2] = {card.bridgeBase + 0x4C, 0x00010041};
       uint32_t value = 0;
       c.Call(IOCTL_DAQ_PORT_OUT_BYTE, window, sizeof window, nullptr, 0);
       c.Call(IOCTL_DAQ_PORT_IN_WORD, window, 4, &value, 2);
       c.Call(IOCTL_DAQ_PORT_IN_DWORD, control, 4, &value, 4);
       c.Call(IOCTL_DAQ_PORT_OUT_DWORD, control, sizeof control, nullptr, 0);
     }},
    {"EEPROM words", [](Bench&, Client& c) {
       Command(c, {100, 2}, DAQ_EEPROM_READ_INPUT, 4);
       Command(c, {100, 1, 0x34, 0x12}, 4, 0);
       Sub(c, {SUB_WRITE_EEPROM_PAIR, 1, 0, 0, 1, 2, 3, 4});
       Sub(c, {SUB_READ_EEPROM_PAIR});
     }},
    {"serial number", [](Bench&, Client& c) {
       uint32_t serial = 0;
       c.Call(IOCTL_DAQ_READ_SERIAL, nullptr, 0, &serial, sizeof serial);
     }},
    {"block reads", [](Bench& b, Client& c) {
       HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
       c.OpenBoard();
       c.Start(1, 3, false, event);
       b.Machine().Card().window().Step(6);
       uint16_t count = 0;
       std::vector<uint16_t> block(1 + TARVIK_FRAME_WORDS);
       c.Call(IOCTL_DAQ_GET_BLOCK_COUNT, nullptr, 0, &count, sizeof count);
       c.Call(IOCTL_DAQ_READ_OLDEST_BLOCK, nullptr, 0, block.data(), TarvikBlockBytes(1));
       c.Call(IOCTL_DAQ_READ_NEWEST_BLOCK, nullptr, 0, block.data(), TarvikBlockBytes(1));
       c.Stop();
       CloseHandle(event);
     }},
    {"stream reads", [](Bench& b, Client& c) {
       c.OpenBoard();
       c.Start(4, 1, true, nullptr);
       b.Machine().Card().window().Step(12);
       std::vector<uint16_t> ring(3 + 4 * TARVIK_FRAME_WORDS);
       c.Call(IOCTL_DAQ_READ_STREAM, nullptr, 0, ring.data(), 38);
       c.Call(IOCTL_DAQ_READ_STREAM, nullptr, 0, ring.data(),
              static_cast<uint32_t>(TarvikBlockBytes(4) + 4));
       c.Stop();
     }},
    {"rendezvous", [](Bench&, Client& c) {
       auto wait = c.Begin(IOCTL_DAQ_WAIT_EVENT, nullptr, 0, 4);
       uint32_t value = 7;
       c.Call(IOCTL_DAQ_SET_EVENT, &value, sizeof value, nullptr, 0);
       if (wait->pending && WaitForSingleObject(wait->overlapped.hEvent, 200) != WAIT_OBJECT_0) {
         CancelIoEx(c.Handle(), &wait->overlapped);
       }
       c.Finish(*wait);
     }},
};

struct Event {
  const char* name;
  sim::schedule::Action (*make)(Bench&);
};

const Event kEvents[] = {
    {"PnP stop and restart", [](Bench& b) -> sim::schedule::Action {
       return [&b] {
         if (b.Machine().StopDevice() == 0) b.Machine().StartDevice();
       };
     }},
    {"surprise removal", [](Bench& b) -> sim::schedule::Action {
       return [&b] { b.Machine().SurpriseRemoveDevice(); };
     }},
    {"removal", [](Bench& b) -> sim::schedule::Action {
       return [&b] { b.Machine().RemoveDevice(); };
     }},
    {"sleep and resume", [](Bench& b) -> sim::schedule::Action {
       return [&b] {
         b.Machine().SetSystemPower(sim::kSystemSleeping3);
         b.Machine().SetSystemPower(sim::kSystemWorking);
       };
     }},
    {"an interrupt on the shared line", [](Bench& b) {
       return sim::schedule::DeliverInterrupt(b.Machine().Options().interrupt.vector);
     }},
};

void OneRun(Bench& bench, const Family& family) {
  Client client(bench.Requests());
  family.run(bench, client);
}

TEST(FamilySweep, EveryRequestFamilyMeetsEveryEventAtEveryStage) {
  const uint64_t points = SweepPoints();
  for (const Family& family : kFamilies) {
    uint64_t calls = 0;
    RunOverSeeds(family.name, [&](uint64_t seed, const Options&) {
      Bench bench(seed);
      sim::schedule::StartCounting();
      OneRun(bench, family);
      calls = sim::schedule::CallCount(Role::Test);
    }, 1);
    ASSERT_GT(calls, 5u) << family.name;
    for (const Event& event : kEvents) {
      for (uint64_t k = 0; k < points; ++k) {
        uint64_t call = 1 + k * (calls - 1) / (points > 1 ? points - 1 : 1);
        std::string name = std::string(family.name) + ": " + event.name + " at test-thread call " +
                           std::to_string(call);
        RunOverSeeds(name.c_str(), [&](uint64_t seed, const Options&) {
          Bench bench(seed);
          sim::schedule::Inject({Role::Test, call}, event.make(bench), name);
          OneRun(bench, family);
          sim::schedule::WaitForInjections();
          sim::schedule::DisarmInjections();
        }, 1);
        if (testing::Test::HasFailure()) return;
      }
    }
  }
}

}  // namespace
}  // namespace stress
