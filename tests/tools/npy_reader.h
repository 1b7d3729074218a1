// A small reader of NumPy .npy files, strict about what a reader relies on: the magic, the
// version, the header's length and alignment, and the header dict's three keys.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tarvik::test {

struct NpyFile {
  int major = 0, minor = 0;
  std::string descr;
  bool fortranOrder = true;
  std::vector<uint64_t> shape;
  size_t dataOffset = 0;
  std::vector<uint64_t> data;  // decoded little-endian ('<u2' or '<u8')
  std::string error;           // empty when the file is well-formed
};

NpyFile ReadNpy(const std::string& bytes);
NpyFile ReadNpyFile(const std::filesystem::path& path);
std::string ReadFileBytes(const std::filesystem::path& path);

}  // namespace tarvik::test
