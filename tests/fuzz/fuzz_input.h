// Reads a fuzz input as a stream of small decisions. An exhausted input reads as zeros, so
// every prefix of an input is itself a valid input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarvik_fuzz {

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Empty() const { return offset_ >= size_; }
  uint8_t Byte() { return Empty() ? 0 : data_[offset_++]; }
  uint16_t U16() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
  uint32_t U32() { return U16() | (static_cast<uint32_t>(U16()) << 16); }
  // Copies up to `length` bytes into `out`; the rest of `out` is zeroed.
  void Bytes(void* out, size_t length) {
    size_t available = Empty() ? 0 : size_ - offset_;
    size_t copied = length < available ? length : available;
    if (copied != 0) std::memcpy(out, data_ + offset_, copied);
    if (copied < length) std::memset(static_cast<uint8_t*>(out) + copied, 0, length - copied);
    offset_ += copied;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
};

}  // namespace tarvik_fuzz
