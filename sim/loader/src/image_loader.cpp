// Mapping, relocating and binding a PE32 image. The mapping lies below 4 GiB on a 64-bit host
// too (MAP_32BIT), so the image's 32-bit addresses and the relocation arithmetic are exactly
// those of the i686 build; only calling into the image needs that build.
#include "sim/image_loader.h"

#include <cxxabi.h>
#include <sys/mman.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

namespace sim::loader {
namespace {

constexpr uint16_t kRelAbsolute = 0;
constexpr uint16_t kRelHighLow = 3;
constexpr size_t kPage = 0x1000;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Hex(uint64_t value) {
  std::ostringstream out;
  out << "0x" << std::hex << value;
  return out.str();
}

std::string Demangle(const std::string& raw) {
  // i386 symbols carry a leading underscore and stdcall ones an @N suffix.
  std::string name = raw;
  if (name.rfind("__Z", 0) == 0) name.erase(0, 1);
  if (auto at = name.rfind('@'); at != std::string::npos && at > 0) name.erase(at);
  int status = 0;
  char* demangled = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  std::string result = status == 0 && demangled != nullptr ? demangled : name;
  std::free(demangled);
  if (status != 0 && !result.empty() && result[0] == '_') result.erase(0, 1);
  return result;
}

}  // namespace

void ExportTable::Add(std::string module, std::string name, uintptr_t address) {
  modules_[Lower(std::move(module))][std::move(name)] = address;
}

std::optional<uintptr_t> ExportTable::Find(std::string module, const std::string& name) const {
  auto m = modules_.find(Lower(std::move(module)));
  if (m == modules_.end()) return std::nullopt;
  auto r = m->second.find(name);
  if (r == m->second.end()) return std::nullopt;
  return r->second;
}

int ProtectionOf(const PeSection& section) {
  if (section.Executable()) return PROT_READ | PROT_EXEC;
  if (section.Writable()) return PROT_READ | PROT_WRITE;
  return PROT_READ;
}

template <typename T>
T* MappedImage::At(uint64_t rva, const char* what) const {
  if (rva + sizeof(T) > headers_.sizeOfImage)
    throw ImageError(std::string(what) + " at rva " + Hex(rva) + " lies outside the image");
  return reinterpret_cast<T*>(base_ + rva);
}

std::string MappedImage::StringAt(uint32_t rva, const char* what) const {
  std::string s;
  for (uint64_t at = rva;; ++at) {
    char c = *At<char>(at, what);
    if (c == 0) return s;
    s += c;
  }
}

std::unique_ptr<MappedImage> MappedImage::LoadFile(const std::string& path,
                                                   const ExportTable& exports) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ImageError("cannot open driver image " + path);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  try {
    return Load(bytes, exports);
  } catch (const ImageError& e) {
    throw ImageError(path + ": " + e.what());
  }
}

std::unique_ptr<MappedImage> MappedImage::Load(std::span<const uint8_t> file,
                                               const ExportTable& exports) {
  PeImage headers = ParsePe(file);
  size_t length = (headers.sizeOfImage + kPage - 1) & ~(kPage - 1);
  int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#if defined(__x86_64__)
  flags |= MAP_32BIT;
#endif
  void* map = mmap(nullptr, length, PROT_READ | PROT_WRITE, flags, -1, 0);
  if (map == MAP_FAILED) throw ImageError("cannot map " + std::to_string(length) + " bytes for the image");
  std::unique_ptr<MappedImage> image(
      new MappedImage(std::move(headers), reinterpret_cast<uintptr_t>(map), length));
  const PeImage& h = image->headers_;
  std::memcpy(map, file.data(), h.sizeOfHeaders);
  for (const PeSection& s : h.sections) {
    size_t copy = std::min(s.rawSize, s.Span());  // the rest (.bss and padding) stays zero
    std::memcpy(reinterpret_cast<uint8_t*>(image->base_ + s.rva), file.data() + s.rawOffset, copy);
  }
  image->Relocate();
  image->BindImports(exports);
  image->ProtectSections();
  return image;
}

MappedImage::~MappedImage() { munmap(reinterpret_cast<void*>(base_), length_); }

void MappedImage::Relocate() {
  uint32_t delta = static_cast<uint32_t>(base_) - headers_.imageBase;
  if (uint64_t(base_) + length_ > 0x100000000ull)
    throw ImageError("the image was mapped above 4 GiB");
  const DataDirectory& dir = headers_.relocations;
  for (uint64_t block = dir.rva; block + 8 <= uint64_t(dir.rva) + dir.size;) {
    uint32_t page = *At<uint32_t>(block, "a relocation block");
    uint32_t size = *At<uint32_t>(block + 4, "a relocation block");
    if (size < 8 || block + size > uint64_t(dir.rva) + dir.size)
      throw ImageError("relocation block at rva " + Hex(block) + " has a bad size");
    for (uint64_t e = block + 8; e + 2 <= block + size; e += 2) {
      uint16_t entry = *At<uint16_t>(e, "a relocation entry");
      uint16_t type = entry >> 12;
      if (type == kRelAbsolute) continue;
      if (type != kRelHighLow)
        throw ImageError("relocation type " + std::to_string(type) + " at rva " +
                         Hex(uint64_t(page) + (entry & 0xFFF)) + " is not supported");
      uint32_t* target = At<uint32_t>(uint64_t(page) + (entry & 0xFFF), "a relocation target");
      uint32_t value;
      std::memcpy(&value, target, 4);  // targets need not be aligned
      value += delta;
      std::memcpy(target, &value, 4);
    }
    block += size;
  }
  if (delta != 0 && dir.size == 0)
    throw ImageError("the image has no base relocations and cannot be moved");
}

void MappedImage::BindImports(const ExportTable& exports) {
  std::vector<std::string> missing;
  const DataDirectory& dir = headers_.imports;
  for (uint64_t d = dir.rva; dir.size != 0; d += 20) {
    uint32_t lookup = *At<uint32_t>(d, "an import descriptor");
    uint32_t nameRva = *At<uint32_t>(d + 12, "an import descriptor");
    uint32_t iat = *At<uint32_t>(d + 16, "an import descriptor");
    if (nameRva == 0 && iat == 0) break;
    std::string module = StringAt(nameRva, "an import module name");
    if (lookup == 0) lookup = iat;
    for (uint64_t i = 0;; i += 4) {
      uint32_t thunk = *At<uint32_t>(lookup + i, "an import lookup entry");
      if (thunk == 0) break;
      if (thunk & 0x80000000u) {
        missing.push_back(module + "!#" + std::to_string(thunk & 0xFFFF) + " (by ordinal)");
        continue;
      }
      std::string name = StringAt(thunk + 2, "an import name");
      std::optional<uintptr_t> address = exports.Find(module, name);
      if (!address || *address > 0xFFFFFFFFu) {
        missing.push_back(module + "!" + name);
        continue;
      }
      uint32_t bound = static_cast<uint32_t>(*address);
      std::memcpy(At<uint32_t>(iat + i, "an import address entry"), &bound, 4);
    }
  }
  if (!missing.empty()) {
    std::string list;
    for (const std::string& m : missing) list += (list.empty() ? "" : ", ") + m;
    throw ImageError("unknown import" + std::string(missing.size() > 1 ? "s: " : ": ") + list);
  }
}

void MappedImage::ProtectSections() {
  Protect({base_, base_ + ((headers_.sizeOfHeaders + kPage - 1) & ~(kPage - 1))}, PROT_READ);
  for (const PeSection& s : headers_.sections) Protect(SectionPages(s.name), ProtectionOf(s));
}

CodeRange MappedImage::SectionPages(const std::string& name) const {
  const PeSection* s = headers_.FindSection(name);
  if (s == nullptr) return {};
  return {base_ + s->rva, base_ + s->rva + ((s->Span() + kPage - 1) & ~(kPage - 1))};
}

int MappedImage::LoadedProtection(const std::string& name) const {
  const PeSection* s = headers_.FindSection(name);
  return s == nullptr ? 0 : ProtectionOf(*s);
}

void MappedImage::Protect(const CodeRange& pages, int prot) const {
  if (pages.begin == pages.end) return;
  if (mprotect(reinterpret_cast<void*>(pages.begin), pages.end - pages.begin, prot) != 0)
    std::abort();  // only our own mapping is ever changed: a failure is a loader fault
}

uintptr_t MappedImage::FindFunction(const std::string& name) const {
  for (const PeSymbol& f : headers_.functions) {
    std::string full = Demangle(f.name);
    if (full == name || full.rfind(name + "(", 0) == 0) return base_ + f.rva;
  }
  return 0;
}

std::string MappedImage::RoutineAt(uintptr_t address) const {
  if (address < base_ || address - base_ >= headers_.sizeOfImage)
    return "the address " + Hex(address) + " outside the image";
  auto rva = static_cast<uint32_t>(address - base_);
  const auto& f = headers_.functions;
  auto it = std::upper_bound(f.begin(), f.end(), rva,
                             [](uint32_t v, const PeSymbol& s) { return v < s.rva; });
  const PeSection* section = headers_.SectionAt(rva);
  if (it != f.begin() && section != nullptr && headers_.SectionAt(std::prev(it)->rva) == section) {
    --it;
    return Demangle(it->name) + (rva == it->rva ? "" : "+" + Hex(rva - it->rva));
  }
  if (section != nullptr) return section->name + "+" + Hex(rva - section->rva);
  return "the image's headers+" + Hex(rva);
}

}  // namespace sim::loader
