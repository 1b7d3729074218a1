// The libFuzzer entry: each input is one session on a freshly booted machine.
#include <cstddef>
#include <cstdint>

#include "fuzz_session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tarvik_fuzz::RunFuzzInput(data, size);
  return 0;
}
