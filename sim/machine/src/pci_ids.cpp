// The identifiers the PCI bus driver reports for the card (IRP_MN_QUERY_ID), in the formats
// of the platform's PCI bus driver, from the identity the bridge loaded at power-up.
#include "pci_ids.h"

#include <cstdio>

namespace sim {
namespace {

constexpr ULONG kPciBusTag = 0x42696350;  // "PciB"

std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

}  // namespace

bool PciReportsIdType(BUS_QUERY_ID_TYPE type) {
  return type == BusQueryDeviceID || type == BusQueryHardwareIDs ||
         type == BusQueryCompatibleIDs || type == BusQueryInstanceID;
}

std::vector<std::string> PciIdStrings(BUS_QUERY_ID_TYPE type, const card::PciIdentity& id,
                                      unsigned slot) {
  const std::string ven = "PCI\\VEN_" + Hex(id.vendorId, 4);
  const std::string venDev = ven + "&DEV_" + Hex(id.deviceId, 4);
  const std::string subsys = "&SUBSYS_" + Hex(id.subsystemId, 4) + Hex(id.subsystemVendorId, 4);
  const std::string rev = "&REV_" + Hex(id.revision, 2);
  const std::string classFull = "CC_" + Hex(id.classCode, 6);
  const std::string classShort = "CC_" + Hex(id.classCode >> 8, 4);
  switch (type) {
    case BusQueryDeviceID:
      return {venDev + subsys + rev};
    case BusQueryHardwareIDs:
      return {venDev + subsys + rev, venDev + subsys, venDev + "&" + classFull,
              venDev + "&" + classShort};
    case BusQueryCompatibleIDs:
      return {venDev + rev,          venDev,
              ven + "&" + classFull, ven + "&" + classShort,
              ven,                   "PCI\\" + classFull,
              "PCI\\" + classShort};
    case BusQueryInstanceID:
      // The device and function numbers; the PnP manager makes it unique under the parent.
      return {Hex(slot, 2)};
    default:
      return {};
  }
}

PWCHAR PciIdBuffer(BUS_QUERY_ID_TYPE type, const std::vector<std::string>& strings) {
  size_t characters = 0;
  for (const auto& text : strings) characters += text.size() + 1;
  // A list ends with an empty string; the device and instance IDs are one string.
  bool list = type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs;
  if (list) ++characters;
  auto* buffer = static_cast<PWCHAR>(
      ExAllocatePoolWithTag(PagedPool, characters * sizeof(WCHAR), kPciBusTag));
  if (buffer == nullptr) return nullptr;
  PWCHAR out = buffer;
  for (const auto& text : strings) {
    for (char c : text) *out++ = static_cast<WCHAR>(c);
    *out++ = 0;
  }
  if (list) *out = 0;
  return buffer;
}

}  // namespace sim
