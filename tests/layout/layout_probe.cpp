// Layout probe: the size of each record in shared_records.inc and driver_records.inc, the
// offset of each of its fields and the bit of each of its one-bit fields, as a table of 32-bit
// numbers in the object file's section .tlayout. Compiled twice for 32-bit x86, as the driver
// is: against the emulated <wdm.h> (g++ -m32) and, with TARVIK_KERNEL_BUILD, against the
// platform's DDK headers (i686 mingw-w64); compare_layouts.py reads both tables and names
// every entry that differs.
#include "frame/device_extension.h"

#include <stddef.h>
#include <stdint.h>

namespace {

template <typename Record>
struct Bytes {
  unsigned char value[sizeof(Record)];
};

// The index of the one bit that Set turns on in an otherwise zero record.
template <typename Record, typename Set>
constexpr uint32_t BitOf(Set set) {
  Record record{};
  set(record);
  const Bytes<Record> bytes = __builtin_bit_cast(Bytes<Record>, record);
  for (uint32_t i = 0; i < sizeof(Record); ++i)
    for (uint32_t bit = 0; bit < 8; ++bit)
      if (bytes.value[i] & (1u << bit)) return i * 8 + bit;
  return UINT32_MAX;
}

}  // namespace

#define LAYOUT_RECORD(type) static_cast<uint32_t>(sizeof(type)),
#define LAYOUT_FIELD(type, field) static_cast<uint32_t>(offsetof(type, field)),
#define LAYOUT_BIT(type, field) BitOf<type>([](type& record) constexpr { record.field = 1; }),

extern "C" __attribute__((section(".tlayout"), used)) const uint32_t tarvik_layout_table[] = {
#include "shared_records.inc"
#include "driver_records.inc"
};
