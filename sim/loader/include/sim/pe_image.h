// A PE32 image for i386 as its file describes it: the headers the loader needs, the sections,
// and the routines of its COFF symbol table. Parsing checks every offset against the file, so a
// truncated or hostile file is refused with an ImageError and never read past its end.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim::loader {

// Why an image was refused; the message names the file's fault.
class ImageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct PeSection {
  std::string name;  // up to 8 characters, as in the section header
  uint32_t rva = 0;
  uint32_t virtualSize = 0;
  uint32_t rawOffset = 0;
  uint32_t rawSize = 0;
  uint32_t characteristics = 0;  // IMAGE_SCN_* flags

  bool Executable() const { return (characteristics & 0x20000000) != 0; }
  bool Writable() const { return (characteristics & 0x80000000) != 0; }
  bool Discardable() const { return (characteristics & 0x02000000) != 0; }
  uint32_t Span() const { return virtualSize != 0 ? virtualSize : rawSize; }
};

struct DataDirectory {
  uint32_t rva = 0;
  uint32_t size = 0;
};

// A function symbol of the COFF table: where it starts and its (mangled) name.
struct PeSymbol {
  uint32_t rva = 0;
  std::string name;
};

struct PeImage {
  uint32_t imageBase = 0;  // where the linker placed it
  uint32_t sizeOfImage = 0;
  uint32_t sizeOfHeaders = 0;
  uint32_t sectionAlignment = 0;
  uint32_t entryRva = 0;
  uint16_t subsystem = 0;
  DataDirectory exports, imports, relocations;
  std::vector<PeSection> sections;
  std::vector<PeSymbol> functions;  // sorted by rva; empty when the image is stripped

  // The section holding that rva, or nullptr.
  const PeSection* SectionAt(uint32_t rva) const;
  const PeSection* FindSection(const std::string& name) const;
};

inline constexpr uint16_t kSubsystemNative = 1;

// Parses and checks the headers: MZ and PE signatures, machine i386, the PE32 optional header,
// an executable image, the native subsystem, sections inside the image and the file.
PeImage ParsePe(std::span<const uint8_t> file);

}  // namespace sim::loader
