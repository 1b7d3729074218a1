// The card's identifiers as the PCI bus driver reports them (IRP_MN_QUERY_ID).
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

#include "card/eeprom_93c46.h"

namespace sim {

// The device, hardware, compatible and instance IDs; not a serial number or a container ID.
bool PciReportsIdType(BUS_QUERY_ID_TYPE type);

// The strings of one ID type, most specific first; empty for a type the bus does not report
// (the request then keeps its status). `slot` is the device number times 8 plus the function.
//   device ID      PCI\VEN_v&DEV_d&SUBSYS_sn&REV_r
//   hardware IDs   that, without REV, then VEN&DEV with the class code (6 and 4 digits)
//   compatible IDs VEN&DEV&REV, VEN&DEV, VEN with the class code, VEN, the class code alone
//   instance ID    the slot, 2 hex digits
std::vector<std::string> PciIdStrings(BUS_QUERY_ID_TYPE type, const card::PciIdentity& identity,
                                      unsigned slot);

// The strings in paged pool as the request returns them: the device and instance IDs as one
// string, the hardware and compatible IDs as a list ending with an empty string (REG_MULTI_SZ).
// The requester frees it. Null when the pool refuses.
PWCHAR PciIdBuffer(BUS_QUERY_ID_TYPE type, const std::vector<std::string>& strings);

}  // namespace sim
