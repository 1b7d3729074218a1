// Loading a PE32 driver image into this process: mapped at an address the loader picks,
// sections copied, base relocations applied, every import bound by name to an export of the
// emulated kernel, and each section given its own page protection.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "sim/pe_image.h"

namespace sim::loader {

// What the image may import: module (compared without case, as the platform does) and routine
// name to the address of the emulated routine or variable.
class ExportTable {
 public:
  void Add(std::string module, std::string name, uintptr_t address);
  std::optional<uintptr_t> Find(std::string module, const std::string& name) const;

 private:
  std::map<std::string, std::map<std::string, uintptr_t>> modules_;
};

// An address range [begin, end) in the mapped image; empty when begin == end.
struct CodeRange {
  uintptr_t begin = 0;
  uintptr_t end = 0;
  bool Contains(uintptr_t a) const { return a >= begin && a < end; }
};

class MappedImage {
 public:
  // Throws ImageError: a malformed image, a relocation it cannot apply, or imports the table
  // lacks (all of them named in one message).
  static std::unique_ptr<MappedImage> Load(std::span<const uint8_t> file, const ExportTable& exports);
  static std::unique_ptr<MappedImage> LoadFile(const std::string& path, const ExportTable& exports);
  ~MappedImage();
  MappedImage(const MappedImage&) = delete;
  MappedImage& operator=(const MappedImage&) = delete;

  uintptr_t Base() const { return base_; }
  uintptr_t Entry() const { return base_ + headers_.entryRva; }
  const PeImage& Headers() const { return headers_; }
  // The pages of the named section, empty if there is none.
  CodeRange SectionPages(const std::string& name) const;
  // The section's protection as loaded (PROT_* flags), or 0 if there is none.
  int LoadedProtection(const std::string& name) const;
  // Sets the pages of the named section to prot; async-signal-safe (one mprotect).
  void Protect(const CodeRange& pages, int prot) const;
  // The address of the function whose demangled name (without parameters) is name, or 0.
  uintptr_t FindFunction(const std::string& name) const;
  // "Routine+0x1c" from the COFF symbols (demangled), else "section+0x..." of the image.
  std::string RoutineAt(uintptr_t address) const;

 private:
  MappedImage(PeImage headers, uintptr_t base, size_t length)
      : headers_(std::move(headers)), base_(base), length_(length) {}
  void Relocate();
  void BindImports(const ExportTable& exports);
  void ProtectSections();
  template <typename T>
  T* At(uint64_t rva, const char* what) const;
  std::string StringAt(uint32_t rva, const char* what) const;

  PeImage headers_;
  uintptr_t base_;
  size_t length_;
};

// Page protection for a section by its flags: code read/execute, writable data read/write,
// the rest read-only.
int ProtectionOf(const PeSection& section);

}  // namespace sim::loader
