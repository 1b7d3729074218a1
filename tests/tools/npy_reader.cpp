#include "npy_reader.h"

#include <fstream>
#include <regex>
#include <sstream>

namespace tarvik::test {

NpyFile ReadNpy(const std::string& bytes) {
  NpyFile file;
  if (bytes.size() < 10 || bytes.compare(0, 6, "\x93NUMPY") != 0) {
    file.error = "no .npy magic";
    return file;
  }
  file.major = static_cast<uint8_t>(bytes[6]);
  file.minor = static_cast<uint8_t>(bytes[7]);
  size_t length = static_cast<uint8_t>(bytes[8]) | (static_cast<uint8_t>(bytes[9]) << 8);
  file.dataOffset = 10 + length;
  if (file.dataOffset > bytes.size()) {
    file.error = "header runs past the end";
    return file;
  }
  if (file.dataOffset % 64 != 0) {
    file.error = "data not 64-byte aligned";
    return file;
  }
  std::string header = bytes.substr(10, length);
  if (header.back() != '\n') {
    file.error = "header does not end with a newline";
    return file;
  }
  std::smatch match;
  static const std::regex dict(
      R"(^\{'descr': '([^']*)', 'fortran_order': (True|False), 'shape': \(([0-9, ]*)\), \} *\n$)");
  if (!std::regex_match(header, match, dict)) {
    file.error = "header dict not understood: " + header;
    return file;
  }
  file.descr = match[1];
  file.fortranOrder = match[2] == "True";
  std::stringstream shape(match[3].str());
  std::string item;
  while (std::getline(shape, item, ',')) {
    if (item.find_first_not_of(' ') != std::string::npos) file.shape.push_back(std::stoull(item));
  }
  uint64_t count = 1;
  for (uint64_t dimension : file.shape) count *= dimension;
  if (file.descr != "<u2" && file.descr != "<u8") {
    file.error = "unexpected descr " + file.descr;
    return file;
  }
  size_t width = file.descr == "<u2" ? 2 : 8;
  if (bytes.size() - file.dataOffset != count * width) {
    file.error = "data size does not match the shape";
    return file;
  }
  for (size_t i = file.dataOffset; i + width <= bytes.size(); i += width) {
    uint64_t value = 0;
    for (size_t b = 0; b < width; ++b) value |= uint64_t{static_cast<uint8_t>(bytes[i + b])} << (8 * b);
    file.data.push_back(value);
  }
  return file;
}

std::string ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

NpyFile ReadNpyFile(const std::filesystem::path& path) { return ReadNpy(ReadFileBytes(path)); }

}  // namespace tarvik::test
