// The machine's PnP manager: the requests each sequence sends and in what order, the
// cancellation that follows a failed query, a bus driver that completes later, and sequences
// the platform never sends being refused.
#include <chrono>
#include <functional>

#include "probe_driver.h"
#include "sim/io.h"
#include "sim/verifier.h"

namespace {

using namespace std::chrono_literals;
using sim::PnpState;
using Minors = std::vector<UCHAR>;

class PnpSequenceTest : public MachinePnpTest {
 protected:
  void BootStarted() {
    Boot();
    ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
    probe::Reset();
  }
};

TEST_F(PnpSequenceTest, StartQueriesCapabilitiesPreparedAsThePlatformDoesThenStarts) {
  Boot();
  EXPECT_EQ(sim::CapabilitiesOf(Machine()), nullptr);
  EXPECT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  EXPECT_EQ(probe::Minors(), (Minors{IRP_MN_QUERY_CAPABILITIES, IRP_MN_START_DEVICE}));
  EXPECT_EQ(BusMinors(), (Minors{IRP_MN_QUERY_CAPABILITIES, IRP_MN_START_DEVICE}));
  for (const auto& request : Machine().BusPnpRequests()) {
    EXPECT_EQ(request.statusOnArrival, STATUS_NOT_SUPPORTED);
  }
  ASSERT_TRUE(probe::Requests()[0].capabilities.has_value());
  const DEVICE_CAPABILITIES sent = *probe::Requests()[0].capabilities;
  EXPECT_EQ(sent.Size, sizeof(DEVICE_CAPABILITIES));
  EXPECT_EQ(sent.Version, 1);
  EXPECT_EQ(sent.Address, 0xFFFFFFFFu);
  EXPECT_EQ(sent.UINumber, 0xFFFFFFFFu);
  EXPECT_EQ(sent.DeviceState[PowerSystemWorking], PowerDeviceUnspecified);
  EXPECT_EQ(sent.SurpriseRemovalOK, 0u);
  // What the bus driver filled in is what the machine keeps.
  const DEVICE_CAPABILITIES* kept = sim::CapabilitiesOf(Machine());
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->Address, 0x00040000u);
  EXPECT_EQ(kept->DeviceState[PowerSystemWorking], PowerDeviceD0);
  EXPECT_EQ(Machine().DevicePnpState(), PnpState::Started);
}

TEST_F(PnpSequenceTest, NoStartWhenTheCapabilitiesQueryFails) {
  Boot();
  Machine().SetBusPnpAnswer(IRP_MN_QUERY_CAPABILITIES, sim::BusAnswer::Fail(STATUS_UNSUCCESSFUL));
  EXPECT_EQ(Machine().StartDevice(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(probe::Minors(), (Minors{IRP_MN_QUERY_CAPABILITIES}));
  EXPECT_EQ(Machine().DevicePnpState(), PnpState::NotStarted);
  EXPECT_EQ(sim::CapabilitiesOf(Machine()), nullptr);
}

// The bus driver completes both requests later on its own thread; the manager waits for each
// before it sends the next, and the capabilities are those filled in at completion.
TEST_F(PnpSequenceTest, ABusDriverCompletingLaterDelaysTheStart) {
  Boot();
  Machine().SetBusPnpAnswer(IRP_MN_QUERY_CAPABILITIES, sim::BusAnswer::Later(STATUS_SUCCESS, 20ms));
  Machine().SetBusPnpAnswer(IRP_MN_START_DEVICE, sim::BusAnswer::Later(STATUS_SUCCESS, 30ms));
  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 50ms);
  EXPECT_EQ(BusMinors(), (Minors{IRP_MN_QUERY_CAPABILITIES, IRP_MN_START_DEVICE}));
  ASSERT_NE(sim::CapabilitiesOf(Machine()), nullptr);
  EXPECT_EQ(sim::CapabilitiesOf(Machine())->UINumber, 4u);
  EXPECT_EQ(Machine().DevicePnpState(), PnpState::Started);
  EXPECT_NE(sim::RawResourcesOf(Machine()), nullptr);
}

// The platform removes a device whose start failed (here later, on the bus driver's thread)
// at once, without a query, and never sends it a second start.
TEST_F(PnpSequenceTest, AStartFailingLaterIsFollowedByRemovalAlone) {
  Boot();
  Machine().SetBusPnpAnswer(IRP_MN_START_DEVICE, sim::BusAnswer::Later(STATUS_DEVICE_CONFIGURATION_ERROR, 20ms));
  EXPECT_EQ(Machine().StartDevice(), STATUS_DEVICE_CONFIGURATION_ERROR);
  EXPECT_EQ(probe::Minors(),
            (Minors{IRP_MN_QUERY_CAPABILITIES, IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}));
  EXPECT_FALSE(Machine().DevicePresent());
  EXPECT_EQ(sim::RawResourcesOf(Machine()), nullptr);  // a failed start's lists are dropped
  EXPECT_EQ(sim::TranslatedResourcesOf(Machine()), nullptr);
  EXPECT_EQ(Machine().StartDevice(), sim::kPnpSequenceRefused);
}

TEST_F(PnpSequenceTest, StopQueriesThenStopsAndTheDeviceStartsAgain) {
  BootStarted();
  EXPECT_EQ(Machine().StopDevice(), STATUS_SUCCESS);
  EXPECT_EQ(Machine().DevicePnpState(), PnpState::Stopped);
  EXPECT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  EXPECT_EQ(probe::Minors(), (Minors{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE,
                                     IRP_MN_QUERY_CAPABILITIES, IRP_MN_START_DEVICE}));
  EXPECT_EQ(Machine().DevicePnpState(), PnpState::Started);
}

TEST_F(PnpSequenceTest, RemoveQueriesThenRemovesAndTheDeviceIsGone) {
  BootStarted();
  EXPECT_EQ(Machine().RemoveDevice(), STATUS_SUCCESS);
  EXPECT_EQ(probe::Minors(), (Minors{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}));
  EXPECT_FALSE(Machine().DevicePresent());
  EXPECT_EQ(Machine().DevicePnpState(), PnpState::Removed);
}

TEST_F(PnpSequenceTest, SurpriseRemovalIsFollowedByRemoval) {
  BootStarted();
  EXPECT_EQ(Machine().SurpriseRemoveDevice(), STATUS_SUCCESS);
  EXPECT_EQ(probe::Minors(), (Minors{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
  EXPECT_EQ(BusMinors().back(), IRP_MN_REMOVE_DEVICE);
  EXPECT_FALSE(Machine().DevicePresent());
  EXPECT_EQ(Machine().DevicePnpState(), PnpState::Removed);
}

// A failed query, by the function driver or by the bus driver below it, is cancelled; the
// sequence returns the query's failure and the device stays started.
TEST_F(PnpSequenceTest, AFailedQueryIsCancelled) {
  struct Case {
    UCHAR query, cancel;
    std::function<int32_t(sim::Machine&)> sequence;
  };
  for (const Case& c : {Case{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                             [](sim::Machine& m) { return m.StopDevice(); }},
                        Case{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE,
                             [](sim::Machine& m) { return m.RemoveDevice(); }}}) {
    for (bool byBus : {false, true}) {
      SCOPED_TRACE(testing::Message() << "query 0x" << std::hex << int(c.query) << (byBus ? " bus" : " driver"));
      BootStarted();
      if (byBus) {
        Machine().SetBusPnpAnswer(c.query, sim::BusAnswer::Fail(STATUS_DEVICE_BUSY));
      } else {
        probe::Fail(c.query, STATUS_DEVICE_BUSY);
      }
      size_t busBefore = BusMinors().size();
      EXPECT_EQ(c.sequence(Machine()), STATUS_DEVICE_BUSY);
      EXPECT_EQ(probe::Minors(), (Minors{c.query, c.cancel}));
      Minors bus = BusMinors();
      Minors expected = byBus ? Minors{c.query, c.cancel} : Minors{c.cancel};
      EXPECT_EQ(Minors(bus.begin() + busBefore, bus.end()), expected);
      EXPECT_EQ(Machine().DevicePnpState(), PnpState::Started);
      EXPECT_TRUE(Machine().DevicePresent());
      machine_.reset();
    }
  }
}

// A driver that fails what it must never fail, deletes its device at surprise removal, leaves
// its device initializing or never reports its power state.
TEST_F(PnpSequenceTest, TheRulesOfAFunctionDriverAreChecked) {
  BootStarted();
  probe::Fail(IRP_MN_QUERY_STOP_DEVICE, STATUS_DEVICE_BUSY);
  probe::Fail(IRP_MN_CANCEL_STOP_DEVICE, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Machine().StopDevice(), STATUS_DEVICE_BUSY);
  auto violations = sim::verifier::TakeViolations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_EQ(violations[0].rule, "PnpRemove");
  probe::Reset();

  probe::DeleteAtSurpriseRemoval();
  Machine().SurpriseRemoveDevice();
  violations = sim::verifier::TakeViolations();
  ASSERT_FALSE(violations.empty());
  EXPECT_EQ(violations[0].rule, "PnpSurpriseRemove");
  EXPECT_FALSE(Machine().DevicePresent());
  machine_.reset();

  machine_.emplace();
  ASSERT_EQ(Machine().LoadDriver(probe::Image()), STATUS_SUCCESS);
  probe::LeaveInitializing();
  probe::NeverReportPower();
  EXPECT_EQ(Machine().AddDevice(), STATUS_SUCCESS);
  violations = sim::verifier::TakeViolations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_EQ(violations[0].rule, "DeviceInitializing");
  // A new device's power state is unspecified until its driver reports one.
  EXPECT_EQ(sim::io::ReportedPowerState(sim::FdoOf(Machine())), PowerDeviceUnspecified);
  EXPECT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  violations = sim::verifier::TakeViolations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_EQ(violations[0].rule, "DevicePowerUnreported");
}

// The single steps: a query that succeeded is finished by its sequence without a second query,
// or cancelled back to started.
TEST_F(PnpSequenceTest, SingleStepsMoveTheStateAsTheirSequencesDo) {
  BootStarted();
  EXPECT_EQ(Machine().QueryStopDevice(), STATUS_SUCCESS);
  EXPECT_EQ(Machine().DevicePnpState(), PnpState::StopPending);
  EXPECT_EQ(Machine().CancelStopDevice(), STATUS_SUCCESS);
  EXPECT_EQ(Machine().DevicePnpState(), PnpState::Started);
  EXPECT_EQ(Machine().QueryRemoveDevice(), STATUS_SUCCESS);
  EXPECT_EQ(Machine().DevicePnpState(), PnpState::RemovePending);
  EXPECT_EQ(Machine().CancelRemoveDevice(), STATUS_SUCCESS);
  EXPECT_EQ(Machine().DevicePnpState(), PnpState::Started);
  EXPECT_EQ(Machine().QueryStopDevice(), STATUS_SUCCESS);
  EXPECT_EQ(Machine().StopDevice(), STATUS_SUCCESS);
  EXPECT_EQ(Machine().DevicePnpState(), PnpState::Stopped);
  EXPECT_EQ(probe::Minors(),
            (Minors{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                    IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE}));
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  EXPECT_EQ(Machine().QueryRemoveDevice(), STATUS_SUCCESS);
  probe::Reset();
  EXPECT_EQ(Machine().RemoveDevice(), STATUS_SUCCESS);
  EXPECT_EQ(probe::Minors(), (Minors{IRP_MN_REMOVE_DEVICE}));
}

// Sequences the platform never sends: nothing reaches the driver, the state stays, the
// reason is given.
TEST_F(PnpSequenceTest, SequencesThePlatformNeverSendsAreRefused) {
  struct Case {
    const char* what;
    std::function<void(sim::Machine&)> setup;
    std::function<int32_t(sim::Machine&)> sequence;
  };
  auto none = [](sim::Machine&) {};
  auto start = [](sim::Machine& m) { ASSERT_EQ(m.StartDevice(), STATUS_SUCCESS); };
  const Case cases[] = {
      {"start of a started device", start, [](sim::Machine& m) { return m.StartDevice(); }},
      {"stop before start", none, [](sim::Machine& m) { return m.StopDevice(); }},
      {"query-remove before start", none, [](sim::Machine& m) { return m.QueryRemoveDevice(); }},
      {"surprise removal before start", none,
       [](sim::Machine& m) { return m.SurpriseRemoveDevice(); }},
      {"removal while a stop is pending",
       [](sim::Machine& m) { ASSERT_EQ(m.StartDevice(), 0); ASSERT_EQ(m.QueryStopDevice(), 0); },
       [](sim::Machine& m) { return m.RemoveDevice(); }},
      {"start while a removal is pending",
       [](sim::Machine& m) { ASSERT_EQ(m.StartDevice(), 0); ASSERT_EQ(m.QueryRemoveDevice(), 0); },
       [](sim::Machine& m) { return m.StartDevice(); }},
      {"start of a removed device", [](sim::Machine& m) { ASSERT_EQ(m.RemoveDevice(), 0); },
       [](sim::Machine& m) { return m.StartDevice(); }},
      {"removal of a removed device", [](sim::Machine& m) { ASSERT_EQ(m.RemoveDevice(), 0); },
       [](sim::Machine& m) { return m.RemoveDevice(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Boot();
    c.setup(Machine());
    PnpState before = Machine().DevicePnpState();
    probe::Reset();
    size_t busBefore = BusMinors().size();
    EXPECT_EQ(c.sequence(Machine()), sim::kPnpSequenceRefused);
    EXPECT_TRUE(probe::Minors().empty());
    EXPECT_EQ(BusMinors().size(), busBefore);
    EXPECT_EQ(Machine().DevicePnpState(), before);
    EXPECT_NE(Machine().LastRefusal().find(sim::PnpStateName(before)), std::string::npos)
        << Machine().LastRefusal();
    machine_.reset();
  }
}

// The bus driver completes a code it does not handle with the status it came with, unless
// told otherwise.
TEST_F(PnpSequenceTest, UnknownCodesKeepTheirStatusAtTheBusDriver) {
  BootStarted();
  EXPECT_EQ(Machine().SendPnp(0x18), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(Machine().SendPnp(IRP_MN_QUERY_BUS_INFORMATION), STATUS_NOT_SUPPORTED);
  Machine().SetBusPnpAnswer(0x18, sim::BusAnswer::Succeed());
  EXPECT_EQ(Machine().SendPnp(0x18), STATUS_SUCCESS);
  EXPECT_EQ(Machine().SendPnp(IRP_MN_QUERY_CAPABILITIES), STATUS_SUCCESS);
}

TEST_F(PnpSequenceTest, WithoutADeviceNothingIsSent) {
  probe::Reset();
  machine_.emplace();
  ASSERT_EQ(Machine().LoadDriver(probe::Image()), STATUS_SUCCESS);
  EXPECT_EQ(Machine().StartDevice(), STATUS_NO_SUCH_DEVICE);
  EXPECT_FALSE(Machine().LastRefusal().empty());
  EXPECT_TRUE(Machine().BusPnpRequests().empty());
}

}  // namespace
