// The loader on any host: header checks, mapping, relocation, import binding and forced IRQL
// checking's page protection, on the shipped image and the test images (nothing is called).
#include <cstring>

#include "loader_test_support.h"
#include "sim/forced_irql.h"
#include "sim/image_loader.h"

namespace loader_test {
namespace {

using sim::loader::ImageError;
using sim::loader::MappedImage;

std::string Refusal(std::vector<uint8_t> file, const sim::loader::ExportTable& exports) {
  try {
    MappedImage::Load(file, exports);
  } catch (const ImageError& e) {
    return e.what();
  }
  return "loaded";
}

uint32_t PeOffset(const std::vector<uint8_t>& file) {
  uint32_t pe;
  std::memcpy(&pe, file.data() + 0x3C, 4);
  return pe;
}

TEST(PeLoaderTest, ShippedImageBindsEveryImportAndEveryRelocationPointsIntoTheImage) {
  auto image = MappedImage::LoadFile(TARVIK_SHIPPED_IMAGE, StandInExports());
  const auto& h = image->Headers();
  EXPECT_EQ(h.subsystem, sim::loader::kSubsystemNative);
  ASSERT_NE(h.FindSection("PAGE"), nullptr);
  ASSERT_NE(h.FindSection("INIT"), nullptr);
  EXPECT_NE(image->Base(), h.imageBase) << "the test proves nothing unless the image moved";
  // The driver's absolute addresses all refer to itself: after relocation each one lies in
  // the mapping, whatever base the loader chose.
  size_t applied = 0;
  for (uint32_t block = h.relocations.rva; block < h.relocations.rva + h.relocations.size;) {
    uint32_t page, size;
    std::memcpy(&page, reinterpret_cast<void*>(image->Base() + block), 4);
    std::memcpy(&size, reinterpret_cast<void*>(image->Base() + block + 4), 4);
    for (uint32_t e = 8; e + 2 <= size; e += 2) {
      uint16_t entry;
      std::memcpy(&entry, reinterpret_cast<void*>(image->Base() + block + e), 2);
      if (entry >> 12 == 0) continue;
      uint32_t target;
      std::memcpy(&target, reinterpret_cast<void*>(image->Base() + page + (entry & 0xFFF)), 4);
      EXPECT_GE(target, image->Base());
      EXPECT_LT(target, image->Base() + h.sizeOfImage);
      ++applied;
    }
    block += size;
  }
  EXPECT_GT(applied, 50u);
  // Routines are named from the COFF symbols, also inside a routine.
  uintptr_t entry = image->FindFunction("DriverEntry");
  ASSERT_EQ(entry, image->Entry());
  EXPECT_EQ(image->RoutineAt(entry + 3), "DriverEntry+0x3");
}

TEST(PeLoaderTest, UnknownImportIsRefusedByName) {
  std::string refusal = Refusal(ReadFile(StubImage("stub_unknown_import.sys")), StandInExports());
  EXPECT_NE(refusal.find("unknown import: ntoskrnl.exe!KeBugCheckEx"), std::string::npos) << refusal;
  // The same image binds when the table has it; a module is matched without case.
  auto exports = StandInExports();
  exports.Add("NTOSKRNL.EXE", "KeBugCheckEx", 0x9000);
  EXPECT_EQ(Refusal(ReadFile(StubImage("stub_unknown_import.sys")), exports), "loaded");
}

// Windows 98/Me's NTKERN exports only the WDM 1.0 routines: an image importing one of Windows
// XP is refused there by name and loads on 2000/XP; the shipped driver loads on both.
TEST(PeLoaderTest, The98FamilyRefusesImportsItDoesNotExport) {
  const auto newer = ReadFile(StubImage("stub_newer_import.sys"));
  const auto shipped = ReadFile(TARVIK_SHIPPED_IMAGE);
  sim::kernel::Boot(sim::kernel::WdmSupport::Wdm10Only);
  std::string refusal = Refusal(newer, StandInExports());
  EXPECT_NE(refusal.find("unknown import: ntoskrnl.exe!KeFlushQueuedDpcs"), std::string::npos)
      << refusal;
  EXPECT_EQ(Refusal(shipped, StandInExports()), "loaded");
  sim::kernel::Boot(sim::kernel::WdmSupport::Wdm110);
  EXPECT_EQ(Refusal(newer, StandInExports()), "loaded");
  sim::kernel::Shutdown();
}

TEST(PeLoaderTest, MalformedImagesAreRefusedWithTheirFault) {
  const auto shipped = ReadFile(TARVIK_SHIPPED_IMAGE);
  const uint32_t pe = PeOffset(shipped);
  auto patched = [&](uint32_t offset, std::vector<uint8_t> bytes) {
    auto file = shipped;
    std::copy(bytes.begin(), bytes.end(), file.begin() + offset);
    return Refusal(file, StandInExports());
  };
  EXPECT_NE(patched(pe + 4, {0x64, 0x86}).find("not i386"), std::string::npos);
  EXPECT_NE(patched(pe + 24, {0x0B, 0x02}).find("not a PE32"), std::string::npos);
  EXPECT_NE(patched(pe + 24 + 68, {2, 0}).find("not native"), std::string::npos);
  EXPECT_NE(patched(0, {'Z', 'M'}).find("no MZ"), std::string::npos);
  // A section pointing past the end of the file; an import name pointing outside the image.
  EXPECT_NE(patched(pe + 24 + 224 + 20, {0xFF, 0xFF, 0xFF, 0x7F}).find("past the end"),
            std::string::npos);
  // Every prefix of the headers is refused cleanly, never read past.
  for (size_t length : {size_t(0), size_t(0x40), size_t(pe + 30), size_t(0x200), shipped.size() / 2}) {
    std::vector<uint8_t> cut(shipped.begin(), shipped.begin() + length);
    EXPECT_NE(Refusal(cut, StandInExports()), "loaded") << length;
  }
}

TEST(PeLoaderTest, RelocationOfAnUnsupportedTypeIsRefused) {
  auto file = ReadFile(TARVIK_SHIPPED_IMAGE);
  auto parsed = sim::loader::ParsePe(file);
  const auto* reloc = parsed.SectionAt(parsed.relocations.rva);
  ASSERT_NE(reloc, nullptr);
  uint32_t first = reloc->rawOffset + (parsed.relocations.rva - reloc->rva) + 8;
  file[first + 1] = static_cast<uint8_t>((file[first + 1] & 0x0F) | 0xA0);  // IMAGE_REL_BASED_DIR64
  EXPECT_NE(Refusal(file, StandInExports()).find("relocation type 10"), std::string::npos);
}

using ForcedIrqlTest = BootedKernel;

uint8_t Touch(uintptr_t address) { return *reinterpret_cast<volatile uint8_t*>(address); }

// Reads of the image's code stand in for running it, which only the i686 build can do.
TEST_F(ForcedIrqlTest, PageTouchedRaisedIsReportedAndAtPassiveIsPagedBackIn) {
  auto image = MappedImage::LoadFile(StubImage("stub.sys"), StandInExports());
  sim::loader::ForcedIrqlChecking checking(*image);
  uintptr_t paged = image->FindFunction("PagedWork");
  ASSERT_NE(paged, 0u);
  uint8_t first = Touch(paged);

  sim::loader::ForcedIrqlChecking::TrimPage();
  EXPECT_EQ(Touch(paged), first);  // PASSIVE_LEVEL: paged back in, nothing reported
  EXPECT_TRUE(TakeRules().empty());

  KIRQL old = KeRaiseIrqlToDpcLevel();  // the raise trims PAGE
  Touch(paged + 1);
  KeLowerIrql(old);
  auto violations = sim::verifier::TakeViolations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_TRUE(Reported(violations, "PageFaultAtRaisedIrql", "PagedWork+0x1")) << violations[0].message;
  EXPECT_NE(violations[0].message.find("IRQL 2"), std::string::npos);
}

NTSTATUS NTAPI EmptyEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

TEST_F(ForcedIrqlTest, InitIsDiscardedWhenDriverEntryReturns) {
  auto image = MappedImage::LoadFile(StubImage("stub.sys"), StandInExports());
  sim::loader::ForcedIrqlChecking checking(*image);
  Touch(image->Entry());  // INIT is there while no DriverEntry has returned
  PDRIVER_OBJECT driver = nullptr;
  ASSERT_EQ(sim::kernel::LoadDriver(EmptyEntry, u"\\Driver\\Stub", u"\\Registry\\Stub", &driver),
            STATUS_SUCCESS);
  Touch(image->Entry() + 2);
  auto violations = sim::verifier::TakeViolations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_TRUE(Reported(violations, "InitCodeAfterEntry", "DriverEntry+0x2")) << violations[0].message;
  EXPECT_TRUE(sim::kernel::UnloadDriver(driver));
}

}  // namespace
}  // namespace loader_test
