// The PCI bus driver's IDs for the card (IRP_MN_QUERY_ID): the platform's formats, built from
// the identity the bridge loads out of the card's EEPROM at power-up, in paged pool that the
// requester frees.
#include <string>
#include <vector>

#include "card/card.h"
#include "probe_driver.h"
#include "sim/io.h"

namespace {

struct IdAnswer {
  NTSTATUS status = STATUS_SUCCESS;
  std::vector<std::string> strings;
};

class QueryIdTest : public MachinePnpTest {
 protected:
  // Sends the request to the top of the card's stack as the PnP manager does; reads the one
  // string (device and instance IDs) or the list up to its empty string, and frees it.
  IdAnswer Query(BUS_QUERY_ID_TYPE type) {
    auto* top = sim::io::GetAttachedDevice(static_cast<PDEVICE_OBJECT>(Machine().PhysicalDeviceObject()));
    PIRP irp = sim::io::AllocateManagerIrp(top->StackSize);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = IRP_MN_QUERY_ID;
    stack->Parameters.QueryId.IdType = type;
    IO_STATUS_BLOCK done = sim::io::CallAndWait(top, irp);
    IdAnswer answer{done.Status, {}};
    auto* text = reinterpret_cast<const WCHAR*>(done.Information);
    if (text == nullptr) return answer;
    bool list = type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs;
    for (const WCHAR* p = text; *p != 0 || answer.strings.empty();) {
      std::string one;
      for (; *p != 0; ++p) one += static_cast<char>(*p);
      answer.strings.push_back(one);
      ++p;
      if (!list) break;
    }
    EXPECT_EQ(sim::kernel::PoolAllocationSize(text) % sizeof(WCHAR), 0u);
    ExFreePool(const_cast<WCHAR*>(text));
    return answer;
  }

  static sim::MachineOptions CardWith(const sim::card::PciIdentity& identity) {
    sim::MachineOptions options;
    options.card.eepromContents = sim::card::NewCardEepromImage(identity);
    return options;
  }
};

// Digits above 9 upper case, every field padded, the subsystem ID before its vendor.
TEST_F(QueryIdTest, EveryFormOfThePlatformsPciBusDriver) {
  Boot(CardWith({.vendorId = 0x1A2B, .deviceId = 0x00C3, .subsystemVendorId = 0x0D4E,
                 .subsystemId = 0x5F06, .revision = 0x0A, .classCode = 0x118001}));
  using Strings = std::vector<std::string>;
  EXPECT_EQ(Query(BusQueryDeviceID).strings,
            Strings{"PCI\\VEN_1A2B&DEV_00C3&SUBSYS_5F060D4E&REV_0A"});
  EXPECT_EQ(Query(BusQueryHardwareIDs).strings,
            (Strings{"PCI\\VEN_1A2B&DEV_00C3&SUBSYS_5F060D4E&REV_0A",
                     "PCI\\VEN_1A2B&DEV_00C3&SUBSYS_5F060D4E", "PCI\\VEN_1A2B&DEV_00C3&CC_118001",
                     "PCI\\VEN_1A2B&DEV_00C3&CC_1180"}));
  EXPECT_EQ(Query(BusQueryCompatibleIDs).strings,
            (Strings{"PCI\\VEN_1A2B&DEV_00C3&REV_0A", "PCI\\VEN_1A2B&DEV_00C3",
                     "PCI\\VEN_1A2B&CC_118001", "PCI\\VEN_1A2B&CC_1180", "PCI\\VEN_1A2B",
                     "PCI\\CC_118001", "PCI\\CC_1180"}));
  EXPECT_EQ(Query(BusQueryInstanceID).strings, Strings{"20"}) << "device 4, function 0";
  IdAnswer serial = Query(BusQueryDeviceSerialNumber);
  EXPECT_EQ(serial.status, STATUS_NOT_SUPPORTED) << "not reported: the status it came with";
  EXPECT_TRUE(serial.strings.empty());
}

// The bridge loads its identity at power-up: words written later show after the next one, and
// an erased configuration leaves the bridge's power-on identity.
TEST_F(QueryIdTest, IdentityComesFromTheEepromAtPowerUp) {
  Boot();
  const std::string built = Query(BusQueryDeviceID).strings.at(0);
  sim::card::EepromImage image = Machine().Card().bridge().EepromImageWords();
  EXPECT_EQ(image, sim::card::NewCardEepromImage()) << "a new card";
  image[sim::card::bridge_config_word::kDeviceId] = 0x0042;
  Machine().Card().bridge().SetEepromImage(image);
  EXPECT_EQ(Query(BusQueryDeviceID).strings.at(0), built);
  Machine().Card().Reset();
  EXPECT_NE(Query(BusQueryDeviceID).strings.at(0).find("&DEV_0042&"), std::string::npos);

  image.fill(sim::card::kEepromBlankWord);
  Machine().Card().bridge().SetEepromImage(image);
  Machine().Card().Reset();
  EXPECT_EQ(Query(BusQueryDeviceID).strings.at(0), built);
}

TEST_F(QueryIdTest, ARefusedAllocationFailsTheRequest) {
  Boot();
  sim::kernel::FailNthPoolAllocation(1);
  IdAnswer answer = Query(BusQueryHardwareIDs);
  EXPECT_EQ(answer.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(answer.strings.empty());
}

}  // namespace
