// Driver code sections on the host: where PAGE and INIT code lie, which routine an address
// belongs to, and the verifier's rules on what such code may do.
//
// The driver's section macros put pageable code in the ELF section tarvik_page and init code
// in tarvik_init; the linker defines __start_/__stop_ symbols for sections with C-identifier
// names. The references are weak, so an executable without driver code (or with none in a
// section) links and sees an empty range.
//
// Rules (the platform pages pageable code out at every raise under its verifier, and drops
// INIT once DriverEntry returns; either is a page fault at raised IRQL, bug check 0xD1/0xA):
//   PageCodeRaisesIrql  an IRQL raise (KeAcquireSpinLock, KeAcquireSpinLockAtDpcLevel,
//                       IoAcquireCancelSpinLock, KeRaiseIrql, KeRaiseIrqlToDpcLevel) called
//                       from PAGE code, or an ISR, DPC or synchronize routine that is PAGE code.
//                       The caller of KeSynchronizeExecution may be pageable: only its routine
//                       runs raised.
//   InitCodeRaisesIrql  the same for INIT code.
//   InitCodeAfterEntry  INIT code run, or left registered, after DriverEntry returned: seen
//                       when DriverEntry returns (the routines it put in the driver object), at
//                       dispatch, at PAGED_CODE(), and at the raises and callbacks above.
// A routine is known by its address, so the checks see what the compiler placed: a resident
// lock holder inlined into a PAGE routine at -O2 is caught as PAGE code.
#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "kernel_internal.h"

extern "C" {
extern const char __start_tarvik_page[] __attribute__((weak));
extern const char __stop_tarvik_page[] __attribute__((weak));
extern const char __start_tarvik_init[] __attribute__((weak));
extern const char __stop_tarvik_init[] __attribute__((weak));
}

namespace sim::kernel {
namespace {

// DriverEntry calls in progress (LoadDriver); INIT code may run only while one is.
std::atomic<int> g_entriesRunning{0};

// The compiler may not assume a weak symbol's address is non-null; this keeps it from trying.
const char* Weak(const char* symbol) {
  asm("" : "+r"(symbol));
  return symbol;
}

bool Within(const void* address, const char* begin, const char* end) {
  begin = Weak(begin);
  end = Weak(end);
  auto a = reinterpret_cast<uintptr_t>(address);
  return begin != nullptr && end != nullptr && a >= reinterpret_cast<uintptr_t>(begin) &&
         a < reinterpret_cast<uintptr_t>(end);
}

// The executable's own function symbols (static routines included, which the dynamic symbol
// table lacks), read once from its ELF symbol table.
struct FunctionSymbol {
  uintptr_t begin;
  uintptr_t end;
  std::string name;  // as the symbol table has it (mangled)
};

// The executable's own ELF class: 64-bit records on x86-64, 32-bit ones in the i686 build.
#if __SIZEOF_POINTER__ == 8
constexpr unsigned char kElfClass = ELFCLASS64;
#else
constexpr unsigned char kElfClass = ELFCLASS32;
#endif
using ElfHeader = ElfW(Ehdr);
using ElfSection = ElfW(Shdr);
using ElfSymbol = ElfW(Sym);

int FindMainBase(dl_phdr_info* info, size_t, void* data) {
  *static_cast<uintptr_t*>(data) = info->dlpi_addr;
  return 1;  // the first object is the executable
}

std::vector<FunctionSymbol> ReadFunctionSymbols() {
  std::vector<FunctionSymbol> symbols;
  std::ifstream file("/proc/self/exe", std::ios::binary | std::ios::ate);
  auto size = static_cast<std::streamoff>(file.tellg());
  std::string image(static_cast<size_t>(std::max<std::streamoff>(size, 0)), '\0');
  file.seekg(0);
  file.read(image.data(), static_cast<std::streamsize>(image.size()));
  if (image.size() < sizeof(ElfHeader)) return symbols;
  ElfHeader header;
  std::copy_n(image.data(), sizeof header, reinterpret_cast<char*>(&header));
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != kElfClass)
    return symbols;
  if (header.e_shoff == 0 || header.e_shoff + header.e_shnum * sizeof(ElfSection) > image.size())
    return symbols;
  std::vector<ElfSection> sections(header.e_shnum);
  std::copy_n(image.data() + header.e_shoff, header.e_shnum * sizeof(ElfSection),
              reinterpret_cast<char*>(sections.data()));
  uintptr_t base = 0;
  dl_iterate_phdr(FindMainBase, &base);
  for (const ElfSection& table : sections) {
    if (table.sh_type != SHT_SYMTAB || table.sh_link >= sections.size()) continue;
    const ElfSection& strings = sections[table.sh_link];
    if (table.sh_offset + table.sh_size > image.size() ||
        strings.sh_offset + strings.sh_size > image.size())
      continue;
    for (size_t off = 0; off + sizeof(ElfSymbol) <= table.sh_size; off += sizeof(ElfSymbol)) {
      ElfSymbol sym;
      std::copy_n(image.data() + table.sh_offset + off, sizeof sym, reinterpret_cast<char*>(&sym));
      if (ELF64_ST_TYPE(sym.st_info) != STT_FUNC || sym.st_size == 0 ||
          sym.st_name >= strings.sh_size)
        continue;
      const char* raw = image.data() + strings.sh_offset + sym.st_name;
      uintptr_t begin = base + static_cast<uintptr_t>(sym.st_value);
      symbols.push_back({begin, begin + static_cast<uintptr_t>(sym.st_size), raw});
    }
  }
  std::sort(symbols.begin(), symbols.end(),
            [](const auto& a, const auto& b) { return a.begin < b.begin; });
  return symbols;
}

const std::vector<FunctionSymbol>& FunctionSymbols() {
  static const std::vector<FunctionSymbol> symbols = ReadFunctionSymbols();
  return symbols;
}

const char* SectionName(CodeSection section) {
  return section == CodeSection::Page ? "pageable (PAGE)" : "init (INIT)";
}

}  // namespace

CodeSection SectionOf(const void* address) {
  if (CodeSection image; ImageSectionOf(address, &image)) return image;
  if (Within(address, __start_tarvik_page, __stop_tarvik_page)) return CodeSection::Page;
  if (Within(address, __start_tarvik_init, __stop_tarvik_init)) return CodeSection::Init;
  return CodeSection::Resident;
}

namespace {

const FunctionSymbol* ProgramSymbolAt(const void* address) {
  auto a = reinterpret_cast<uintptr_t>(address);
  const auto& symbols = FunctionSymbols();
  auto it = std::upper_bound(symbols.begin(), symbols.end(), a,
                             [](uintptr_t value, const auto& s) { return value < s.begin; });
  return it != symbols.begin() && a < std::prev(it)->end ? &*std::prev(it) : nullptr;
}

}  // namespace

bool IsProgramRoutine(const void* address) {
  std::string image;
  return ImageRoutineAt(address, &image) || ProgramSymbolAt(address) != nullptr;
}

std::string RoutineAt(const void* address) {
  if (std::string image; ImageRoutineAt(address, &image)) return image;
  if (const FunctionSymbol* symbol = ProgramSymbolAt(address)) {
    const std::string& raw = symbol->name;
    int status = 0;
    char* demangled = abi::__cxa_demangle(raw.c_str(), nullptr, nullptr, &status);
    std::string name = status == 0 && demangled != nullptr ? demangled : raw;
    std::free(demangled);
    return name;
  }
  Dl_info info{};
  if (dladdr(address, &info) != 0 && info.dli_sname != nullptr) return info.dli_sname;
  return "the routine at " + Describe(address);
}

void BeginDriverEntry() {
  ++g_entriesRunning;
  NotifyDriverEntry(false);
}
void EndDriverEntry() {
  if (--g_entriesRunning == 0) NotifyDriverEntry(true);
}

// A return address points past its call; the call itself is one byte before it, which keeps
// a call that ends its section inside the section.
const void* CallSite(const void* returnAddress) {
  return static_cast<const char*>(returnAddress) - 1;
}

void CheckInitCodeNow(const void* code, std::string_view what) {
  if (SectionOf(code) != CodeSection::Init || g_entriesRunning.load() > 0) return;
  verifier::Report("InitCodeAfterEntry", std::string(what) + ": " + RoutineAt(code) +
                                             " is init code, run after DriverEntry returned "
                                             "(the platform has discarded it)");
}

void CheckRaiseFrom(const void* returnAddress, const char* raise) {
  const void* site = CallSite(returnAddress);
  CodeSection section = SectionOf(site);
  if (section == CodeSection::Resident) return;
  CheckInitCodeNow(site, raise);
  verifier::Report(section == CodeSection::Page ? "PageCodeRaisesIrql" : "InitCodeRaisesIrql",
                   std::string(raise) + " called from " + RoutineAt(site) + ", which is " +
                       SectionName(section) + " code");
}

void CheckRaisedCallback(const void* routine, const char* role) {
  CodeSection section = SectionOf(routine);
  if (section == CodeSection::Resident) return;
  CheckInitCodeNow(routine, role);
  verifier::Report(section == CodeSection::Page ? "PageCodeRaisesIrql" : "InitCodeRaisesIrql",
                   std::string(role) + " " + RoutineAt(routine) + " runs raised but is " +
                       SectionName(section) + " code");
}

void CheckCallback(const void* routine, const char* role) {
  if (CurrentThread().Irql >= DISPATCH_LEVEL) {
    CheckRaisedCallback(routine, role);
  } else {
    CheckInitCodeNow(routine, role);
  }
}

void CheckRegisteredRoutines(PDRIVER_OBJECT driver, const std::string& driverName) {
  auto check = [&](const void* routine, const std::string& role) {
    if (routine != nullptr && SectionOf(routine) == CodeSection::Init) {
      verifier::Report("InitCodeAfterEntry", "DriverEntry of " + driverName + " registered " +
                                                 role + " " + RoutineAt(routine) +
                                                 ", which is init code discarded on return");
    }
  };
  check(reinterpret_cast<const void*>(driver->DriverUnload), "its unload routine");
  check(reinterpret_cast<const void*>(driver->DriverStartIo), "its StartIo routine");
  if (driver->DriverExtension != nullptr) {
    check(reinterpret_cast<const void*>(driver->DriverExtension->AddDevice), "AddDevice");
  }
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    check(reinterpret_cast<const void*>(driver->MajorFunction[major]),
          "the dispatch routine for major function " + std::to_string(major));
  }
}

}  // namespace sim::kernel
