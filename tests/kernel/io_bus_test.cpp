// The port bus: claims, unclaimed ports, and the lookup each thread keeps of the range it
// used last, which must never outlive a change to the table or the bus itself.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "sim/io_bus.h"

namespace {

// A device whose every read returns its tag.
class Tagged : public sim::PortDevice {
 public:
  explicit Tagged(uint32_t tag) : tag_(tag) {}
  uint32_t ReadPort(uint32_t, unsigned) override { return tag_; }
  void WritePort(uint32_t, unsigned, uint32_t) override {}

 private:
  uint32_t tag_;
};

TEST(IoBusTest, ClaimsAreRefusedOnAnOverlapOrAFullTableAndUnclaimedPortsReadAllOnes) {
  sim::IoBus bus;
  Tagged a(0x11), b(0x22);
  ASSERT_TRUE(bus.Claim(0x100, 0x10, &a));
  EXPECT_FALSE(bus.Claim(0x10F, 1, &b));
  EXPECT_EQ(bus.Read(0x10F, 1), 0x11u);
  EXPECT_EQ(bus.Read(0x110, 2), 0xFFFFu);
  for (uint32_t i = 1; i < sim::IoBus::kMaxRanges; ++i) {
    ASSERT_TRUE(bus.Claim(0x1000 + 0x10 * i, 0x10, &b));
  }
  EXPECT_FALSE(bus.Claim(0x9000, 1, &b));
  bus.Release(&b);
  EXPECT_TRUE(bus.Claim(0x9000, 1, &b));
  EXPECT_EQ(bus.Read(0x9000, 4), 0x22u);
}

TEST(IoBusTest, ALookupThisThreadKeptDiesWithAReleaseOrItsBus) {
  Tagged first(0x11), second(0x22);
  sim::IoBus bus;
  ASSERT_TRUE(bus.Claim(0x200, 0x10, &first));
  EXPECT_EQ(bus.Read(0x200, 1), 0x11u);  // kept
  bus.Release(&first);
  EXPECT_EQ(bus.Read(0x201, 1), 0xFFu);
  ASSERT_TRUE(bus.Claim(0x200, 0x10, &second));
  EXPECT_EQ(bus.Read(0x202, 1), 0x22u);

  // A new bus in the same memory, after as many changes, starts without the old one's ranges.
  std::optional<sim::IoBus> reused(std::in_place);
  ASSERT_TRUE(reused->Claim(0x400, 0x10, &first));
  EXPECT_EQ(reused->Read(0x400, 1), 0x11u);
  reused.emplace();
  ASSERT_TRUE(reused->Claim(0x500, 0x10, &second));
  EXPECT_EQ(reused->Read(0x400, 1), 0xFFu);
}

}  // namespace
