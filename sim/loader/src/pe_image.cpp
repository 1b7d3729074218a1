// PE32 header parsing. Every field is read through Reader, which refuses reads past the end.
#include "sim/pe_image.h"

#include <algorithm>
#include <cstring>

namespace sim::loader {
namespace {

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  template <typename T>
  T At(uint64_t offset, const char* what) const {
    if (offset + sizeof(T) > bytes_.size())
      throw ImageError(std::string("truncated image: ") + what + " lies past the end of the file");
    T value;
    std::memcpy(&value, bytes_.data() + offset, sizeof(T));
    return value;
  }
  size_t Size() const { return bytes_.size(); }
  const uint8_t* Data() const { return bytes_.data(); }

 private:
  std::span<const uint8_t> bytes_;
};

constexpr uint16_t kMachineI386 = 0x14C;
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kCharExecutable = 0x0002;
constexpr uint8_t kClassExternal = 2, kClassStatic = 3;
constexpr uint16_t kTypeFunction = 0x20;

std::string SectionName(const Reader& r, uint64_t at) {
  char name[9] = {};
  for (int i = 0; i < 8; ++i) name[i] = static_cast<char>(r.At<uint8_t>(at + i, "a section name"));
  return name;
}

// The function symbols of the COFF table (the linker keeps it unless told to strip), with
// their section-relative values turned into rvas.
std::vector<PeSymbol> ReadFunctions(const Reader& r, uint32_t tableOffset, uint32_t count,
                                    const std::vector<PeSection>& sections) {
  std::vector<PeSymbol> functions;
  if (tableOffset == 0 || count == 0) return functions;
  uint64_t strings = uint64_t(tableOffset) + uint64_t(count) * 18;
  for (uint32_t i = 0; i < count; ++i) {
    uint64_t at = tableOffset + uint64_t(i) * 18;
    uint32_t value = r.At<uint32_t>(at + 8, "a symbol");
    int16_t section = r.At<int16_t>(at + 12, "a symbol");
    uint16_t type = r.At<uint16_t>(at + 14, "a symbol");
    uint8_t storage = r.At<uint8_t>(at + 16, "a symbol");
    uint8_t aux = r.At<uint8_t>(at + 17, "a symbol");
    if (type == kTypeFunction && (storage == kClassExternal || storage == kClassStatic) &&
        section >= 1 && static_cast<size_t>(section) <= sections.size()) {
      std::string name;
      if (r.At<uint32_t>(at, "a symbol") == 0) {
        uint64_t s = strings + r.At<uint32_t>(at + 4, "a symbol");
        for (char c; (c = static_cast<char>(r.At<uint8_t>(s, "a symbol name"))) != 0; ++s) name += c;
      } else {
        name = SectionName(r, at);
      }
      functions.push_back({sections[section - 1].rva + value, name});
    }
    i += aux;
  }
  std::sort(functions.begin(), functions.end(),
            [](const PeSymbol& a, const PeSymbol& b) { return a.rva < b.rva; });
  return functions;
}

}  // namespace

const PeSection* PeImage::SectionAt(uint32_t rva) const {
  for (const PeSection& s : sections)
    if (rva >= s.rva && rva - s.rva < s.Span()) return &s;
  return nullptr;
}

const PeSection* PeImage::FindSection(const std::string& name) const {
  for (const PeSection& s : sections)
    if (s.name == name) return &s;
  return nullptr;
}

PeImage ParsePe(std::span<const uint8_t> file) {
  Reader r(file);
  if (r.At<uint16_t>(0, "the MZ header") != 0x5A4D) throw ImageError("not an image: no MZ signature");
  uint32_t pe = r.At<uint32_t>(0x3C, "the MZ header");
  if (r.At<uint32_t>(pe, "the PE signature") != 0x00004550)
    throw ImageError("not a PE image: no PE signature");
  uint64_t coff = uint64_t(pe) + 4;
  uint16_t machine = r.At<uint16_t>(coff, "the file header");
  if (machine != kMachineI386)
    throw ImageError("image is for machine 0x" + std::to_string(machine) + ", not i386 (0x14c)");
  uint16_t sectionCount = r.At<uint16_t>(coff + 2, "the file header");
  uint32_t symbolTable = r.At<uint32_t>(coff + 8, "the file header");
  uint32_t symbolCount = r.At<uint32_t>(coff + 12, "the file header");
  uint16_t optionalSize = r.At<uint16_t>(coff + 16, "the file header");
  uint16_t characteristics = r.At<uint16_t>(coff + 18, "the file header");
  if ((characteristics & kCharExecutable) == 0) throw ImageError("not an executable image");
  uint64_t opt = coff + 20;
  if (optionalSize < 96 || r.At<uint16_t>(opt, "the optional header") != kMagicPe32)
    throw ImageError("not a PE32 image (optional header magic is not 0x10b)");

  PeImage image;
  image.entryRva = r.At<uint32_t>(opt + 16, "the optional header");
  image.imageBase = r.At<uint32_t>(opt + 28, "the optional header");
  image.sectionAlignment = r.At<uint32_t>(opt + 32, "the optional header");
  image.sizeOfImage = r.At<uint32_t>(opt + 56, "the optional header");
  image.sizeOfHeaders = r.At<uint32_t>(opt + 60, "the optional header");
  image.subsystem = r.At<uint16_t>(opt + 68, "the optional header");
  uint32_t directories = r.At<uint32_t>(opt + 92, "the optional header");
  if (image.subsystem != kSubsystemNative)
    throw ImageError("image subsystem is " + std::to_string(image.subsystem) +
                     ", not native (1): not a driver");
  if (image.sectionAlignment < 0x1000 || (image.sectionAlignment & 0xFFF) != 0)
    throw ImageError("section alignment is not a multiple of the page size");
  if (image.sizeOfImage == 0 || image.sizeOfImage > (256u << 20))
    throw ImageError("image size out of range");
  if (image.sizeOfHeaders > image.sizeOfImage || image.sizeOfHeaders > file.size())
    throw ImageError("headers larger than the image or the file");
  auto directory = [&](uint32_t index) {
    DataDirectory d;
    if (index < directories && 96 + uint64_t(index + 1) * 8 <= optionalSize) {
      d.rva = r.At<uint32_t>(opt + 96 + index * 8, "a data directory");
      d.size = r.At<uint32_t>(opt + 100 + index * 8, "a data directory");
    }
    if (uint64_t(d.rva) + d.size > image.sizeOfImage)
      throw ImageError("data directory " + std::to_string(index) + " lies outside the image");
    return d;
  };
  image.exports = directory(0);
  image.imports = directory(1);
  image.relocations = directory(5);

  uint64_t sectionTable = opt + optionalSize;
  for (uint16_t i = 0; i < sectionCount; ++i) {
    uint64_t at = sectionTable + uint64_t(i) * 40;
    PeSection s;
    s.name = SectionName(r, at);
    s.virtualSize = r.At<uint32_t>(at + 8, "a section header");
    s.rva = r.At<uint32_t>(at + 12, "a section header");
    s.rawSize = r.At<uint32_t>(at + 16, "a section header");
    s.rawOffset = r.At<uint32_t>(at + 20, "a section header");
    s.characteristics = r.At<uint32_t>(at + 36, "a section header");
    if (s.rva < image.sizeOfHeaders || (s.rva % image.sectionAlignment) != 0 ||
        uint64_t(s.rva) + s.Span() > image.sizeOfImage)
      throw ImageError("section " + s.name + " lies outside the image or is misaligned");
    if (uint64_t(s.rawOffset) + s.rawSize > file.size())
      throw ImageError("section " + s.name + " lies past the end of the file");
    for (const PeSection& other : image.sections)
      if (s.rva < other.rva + ((other.Span() + 0xFFF) & ~0xFFFu) &&
          other.rva < s.rva + s.Span())
        throw ImageError("sections " + other.name + " and " + s.name + " overlap");
    image.sections.push_back(s);
  }
  if (image.entryRva == 0 || image.SectionAt(image.entryRva) == nullptr ||
      !image.SectionAt(image.entryRva)->Executable())
    throw ImageError("entry point is not in an executable section");
  image.functions = ReadFunctions(r, symbolTable, symbolCount, image.sections);
  return image;
}

}  // namespace sim::loader
