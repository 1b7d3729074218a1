// The machine's PnP manager: the requests each sequence sends on each platform and in what
// order, the cancellation that follows a failed query, a bus driver that completes later,
// sequences the platform never sends being refused, and WMI requests passed down.
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

// Windows 2000/XP: the device is enumerated at its bus driver before AddDevice, its stack's
// requirements filtered before the first start, and after the start come the capabilities
// (prepared as the platform prepares them), the device's PnP state, its bus relations and the
// bus driver's WMI registration. Nobody can open the device before that start.
TEST_F(PnpSequenceTest, EnumerationAndStartSendWhatWindows2000Sends) {
  Boot();
  EXPECT_TRUE(probe::Minors().empty());
  EXPECT_EQ(BusMinors(),
            (Minors{IRP_MN_QUERY_ID, IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_ID, IRP_MN_QUERY_ID,
                    IRP_MN_QUERY_ID, IRP_MN_QUERY_DEVICE_TEXT, IRP_MN_QUERY_DEVICE_TEXT,
                    IRP_MN_QUERY_BUS_INFORMATION, IRP_MN_QUERY_RESOURCES,
                    IRP_MN_QUERY_RESOURCE_REQUIREMENTS}));
  ASSERT_NE(sim::CapabilitiesOf(Machine()), nullptr);  // the bus driver's, from enumeration
  size_t enumerated = BusMinors().size();
  EXPECT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  Minors started{IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_START_DEVICE,
                 IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE,
                 IRP_MN_QUERY_DEVICE_RELATIONS};
  EXPECT_EQ(probe::Minors(), started);
  Minors bus = BusMinors();
  EXPECT_EQ(Minors(bus.begin() + enumerated, bus.end()), started);
  for (const auto& request : Machine().BusPnpRequests()) {
    EXPECT_EQ(request.statusOnArrival, STATUS_NOT_SUPPORTED);
  }
  EXPECT_EQ(Machine().BusWmiRequests(), (Minors{IRP_MN_REGINFO}));
  ASSERT_TRUE(probe::Requests()[2].capabilities.has_value());
  const DEVICE_CAPABILITIES sent = *probe::Requests()[2].capabilities;
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

  // A restart after a stop: the requirements went with the stop; no device state, no WMI.
  probe::Reset();
  EXPECT_EQ(Machine().StopDevice(), STATUS_SUCCESS);
  EXPECT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  EXPECT_EQ(probe::Minors(),
            (Minors{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_QUERY_RESOURCE_REQUIREMENTS,
                    IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_STOP_DEVICE,
                    IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES,
                    IRP_MN_QUERY_DEVICE_RELATIONS}));
  EXPECT_EQ(Machine().BusWmiRequests().size(), 1u);
}

// Windows 98/Me: nothing before AddDevice, the capabilities before the start, nothing after.
TEST_F(PnpSequenceTest, Windows98QueriesCapabilitiesBeforeTheStart) {
  sim::MachineOptions options;
  options.wdm = sim::kernel::WdmSupport::Wdm10Only;
  Boot(options);
  EXPECT_TRUE(BusMinors().empty());
  EXPECT_EQ(sim::CapabilitiesOf(Machine()), nullptr);
  EXPECT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  EXPECT_EQ(probe::Minors(), (Minors{IRP_MN_QUERY_CAPABILITIES, IRP_MN_START_DEVICE}));
  EXPECT_EQ(BusMinors(), (Minors{IRP_MN_QUERY_CAPABILITIES, IRP_MN_START_DEVICE}));
  EXPECT_TRUE(Machine().BusWmiRequests().empty());
  ASSERT_NE(sim::CapabilitiesOf(Machine()), nullptr);
  EXPECT_EQ(sim::CapabilitiesOf(Machine())->UINumber, 4u);
}

// A device whose capabilities cannot be read: on 2000/XP its driver is never called; on
// 98/Me the start is not sent.
TEST_F(PnpSequenceTest, NoDriverOrNoStartWhenTheCapabilitiesQueryFails) {
  probe::Reset();
  machine_.emplace();
  ASSERT_EQ(Machine().LoadDriver(probe::Image()), STATUS_SUCCESS);
  Machine().SetBusPnpAnswer(IRP_MN_QUERY_CAPABILITIES, sim::BusAnswer::Fail(STATUS_UNSUCCESSFUL));
  EXPECT_EQ(Machine().AddDevice(), STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(Machine().DevicePresent());
  EXPECT_EQ(BusMinors(), (Minors{IRP_MN_QUERY_ID, IRP_MN_QUERY_CAPABILITIES}));
  machine_.reset();

  sim::MachineOptions options;
  options.wdm = sim::kernel::WdmSupport::Wdm10Only;
  Boot(options);
  Machine().SetBusPnpAnswer(IRP_MN_QUERY_CAPABILITIES, sim::BusAnswer::Fail(STATUS_UNSUCCESSFUL));
  EXPECT_EQ(Machine().StartDevice(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(probe::Minors(), (Minors{IRP_MN_QUERY_CAPABILITIES}));
  EXPECT_EQ(Machine().DevicePnpState(), PnpState::NotStarted);
}

// The bus driver completes the start and the capabilities query after it later on its own
// thread; the manager waits for each before it sends the next, and the capabilities are those
// filled in at completion.
TEST_F(PnpSequenceTest, ABusDriverCompletingLaterDelaysTheStart) {
  Boot();
  Machine().SetBusPnpAnswer(IRP_MN_START_DEVICE, sim::BusAnswer::Later(STATUS_SUCCESS, 30ms));
  Machine().SetBusPnpAnswer(IRP_MN_QUERY_CAPABILITIES, sim::BusAnswer::Later(STATUS_SUCCESS, 20ms));
  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 50ms);
  ASSERT_NE(sim::CapabilitiesOf(Machine()), nullptr);
  EXPECT_EQ(sim::CapabilitiesOf(Machine())->UINumber, 4u);
  EXPECT_EQ(Machine().DevicePnpState(), PnpState::Started);
  EXPECT_NE(sim::RawResourcesOf(Machine()), nullptr);
}

// Windows 2000/XP removes a device whose start failed (here later, on the bus driver's thread)
// at once, without a query, and never sends it a second start. Windows 98/Me stops it
// instead, without a query, and the device stays (it can be started again).
TEST_F(PnpSequenceTest, AFailedStartIsFollowedByRemovalOrOn98ByAStop) {
  for (auto wdm : {sim::kernel::WdmSupport::Wdm110, sim::kernel::WdmSupport::Wdm10Only}) {
    bool win98 = wdm == sim::kernel::WdmSupport::Wdm10Only;
    SCOPED_TRACE(win98 ? "98" : "2000");
    sim::MachineOptions options;
    options.wdm = wdm;
    Boot(options);
    Machine().SetBusPnpAnswer(IRP_MN_START_DEVICE,
                              sim::BusAnswer::Later(STATUS_DEVICE_CONFIGURATION_ERROR, 20ms));
    EXPECT_EQ(Machine().StartDevice(), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(sim::RawResourcesOf(Machine()), nullptr);  // a failed start's lists are dropped
    EXPECT_EQ(sim::TranslatedResourcesOf(Machine()), nullptr);
    if (win98) {
      EXPECT_EQ(probe::Minors(),
                (Minors{IRP_MN_QUERY_CAPABILITIES, IRP_MN_START_DEVICE, IRP_MN_STOP_DEVICE}));
      EXPECT_TRUE(Machine().DevicePresent());
      EXPECT_EQ(Machine().DevicePnpState(), PnpState::Stopped);
      Machine().SetBusPnpAnswer(IRP_MN_START_DEVICE, sim::BusAnswer::Succeed());
      EXPECT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
    } else {
      EXPECT_EQ(probe::Minors(), (Minors{IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_START_DEVICE,
                                         IRP_MN_REMOVE_DEVICE}));
      EXPECT_FALSE(Machine().DevicePresent());
      EXPECT_EQ(Machine().StartDevice(), sim::kPnpSequenceRefused);
    }
    machine_.reset();
  }
}

// Windows 2000/XP queries the removal relations once the removal is agreed, and before a
// surprise removal.
TEST_F(PnpSequenceTest, RemovalAndSurpriseRemovalQueryTheRemovalRelationsFirst) {
  BootStarted();
  EXPECT_EQ(Machine().RemoveDevice(), STATUS_SUCCESS);
  EXPECT_EQ(probe::Minors(), (Minors{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_QUERY_DEVICE_RELATIONS,
                                     IRP_MN_REMOVE_DEVICE}));
  EXPECT_FALSE(Machine().DevicePresent());
  EXPECT_EQ(Machine().DevicePnpState(), PnpState::Removed);
  machine_.reset();

  BootStarted();
  EXPECT_EQ(Machine().SurpriseRemoveDevice(), STATUS_SUCCESS);
  EXPECT_EQ(probe::Minors(), (Minors{IRP_MN_QUERY_DEVICE_RELATIONS, IRP_MN_SURPRISE_REMOVAL,
                                     IRP_MN_REMOVE_DEVICE}));
  EXPECT_EQ(BusMinors().back(), IRP_MN_REMOVE_DEVICE);
  EXPECT_FALSE(Machine().DevicePresent());
  EXPECT_EQ(Machine().DevicePnpState(), PnpState::Removed);
}

// Windows 98/Me never sends a surprise removal: a pulled card is removed at once.
TEST_F(PnpSequenceTest, Windows98RemovesAPulledCardAtOnce) {
  sim::MachineOptions options;
  options.wdm = sim::kernel::WdmSupport::Wdm10Only;
  Boot(options);
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  probe::Reset();
  EXPECT_EQ(Machine().SurpriseRemoveDevice(), sim::kPnpSequenceRefused);
  EXPECT_TRUE(probe::Minors().empty());
  EXPECT_EQ(Machine().UnplugCard(), STATUS_SUCCESS);
  EXPECT_EQ(probe::Minors(), (Minors{IRP_MN_REMOVE_DEVICE}));
  EXPECT_FALSE(Machine().DevicePresent());
  EXPECT_EQ(Machine().AddDevice(), STATUS_NO_SUCH_DEVICE);  // the card is not there any more
}

// A driver above the provider must pass WMI requests down.
TEST_F(PnpSequenceTest, WmiRequestsThatNeverReachTheProviderAreReported) {
  BootStarted();
  EXPECT_EQ(Machine().SendWmiRequest(IRP_MN_QUERY_ALL_DATA), STATUS_SUCCESS);
  EXPECT_TRUE(sim::verifier::TakeViolations().empty());
  probe::CompleteWmiRequests();
  EXPECT_EQ(Machine().SendWmiRequest(IRP_MN_QUERY_ALL_DATA), STATUS_NOT_SUPPORTED);
  auto violations = sim::verifier::TakeViolations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_EQ(violations[0].rule, "WmiForward");
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
                    IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_QUERY_STOP_DEVICE,
                    IRP_MN_QUERY_RESOURCE_REQUIREMENTS, IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
                    IRP_MN_STOP_DEVICE}));
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  EXPECT_EQ(Machine().QueryRemoveDevice(), STATUS_SUCCESS);
  probe::Reset();
  EXPECT_EQ(Machine().RemoveDevice(), STATUS_SUCCESS);
  EXPECT_EQ(probe::Minors(), (Minors{IRP_MN_QUERY_DEVICE_RELATIONS, IRP_MN_REMOVE_DEVICE}));
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
