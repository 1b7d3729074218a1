#!/usr/bin/env python3
"""Tests of check_image.py against small images built with the cross compiler.

The stub images mimic the driver's shape (INIT entry point, PAGE and resident routines,
a file-local helper, a class member, a 64-bit division that pulls in a libgcc helper, a
directly called kernel routine that links through an import thunk) so the checker is
exercised on the same kinds of symbols the real image has.

Tool paths come from TARVIK_CROSS_CXX, TARVIK_CROSS_OBJDUMP and TARVIK_CROSS_CXXFILT,
defaulting to the i686-w64-mingw32- tools on PATH.
"""

import contextlib
import io
import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

# Keep the source tree free of __pycache__ when ctest runs this.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_image  # noqa: E402

CXX = os.environ.get("TARVIK_CROSS_CXX", "i686-w64-mingw32-g++")
OBJDUMP = os.environ.get("TARVIK_CROSS_OBJDUMP", "i686-w64-mingw32-objdump")
CXXFILT = os.environ.get("TARVIK_CROSS_CXXFILT", "i686-w64-mingw32-c++filt")
WINDRES = os.environ.get("TARVIK_CROSS_WINDRES", "i686-w64-mingw32-windres")
FINISH_IMAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "SYS",
                            "kernel", "finish_image.py")
# The driver's own link options (SYS/kernel/CMakeLists.txt).
DRIVER_LINK = ["-Wl,--wdmdriver", "-Wl,--enable-reloc-section", "-Wl,--image-base,0x10000"]

STUB_SOURCE = textwrap.dedent("""\
    #define INIT_CODE __attribute__((section("INIT"), noinline))
    #define PAGE_CODE __attribute__((section("PAGE"), noinline))
    typedef long NTSTATUS;
    // Called directly (no dllimport), so the link goes through a "jmp *__imp_" thunk.
    extern "C" void __stdcall KeBugCheck(unsigned long code);
    // From the HAL.
    extern "C" __declspec(dllimport) void __stdcall KeStallExecutionProcessor(unsigned long us);
    #ifdef STRAY_IMPORT
    extern "C" __declspec(dllimport) void __stdcall Sleep(unsigned long ms);
    #endif

    struct Ring {
        unsigned long long total;
        __attribute__((noinline)) unsigned long Average(unsigned long long n);
    };
    unsigned long Ring::Average(unsigned long long n) { return (unsigned long)(total / n); }

    namespace {
    PAGE_CODE int PagedHelper(int x) { KeStallExecutionProcessor(x); return x + 1; }
    }

    PAGE_CODE NTSTATUS __stdcall Unload(void* driver) {
        if (!driver) KeBugCheck(1);
        return PagedHelper(2);
    }

    #ifdef RAISE_FROM_PAGE
    extern "C" __declspec(dllimport) unsigned char __fastcall KfAcquireSpinLock(unsigned long* l);
    extern "C" __declspec(dllimport) void __fastcall KfReleaseSpinLock(unsigned long* l,
                                                                       unsigned char irql);
    extern "C" __declspec(dllimport) unsigned char __stdcall KeSynchronizeExecution(
        void* interrupt, unsigned char(__stdcall* routine)(void*), void* context);
    #ifdef MENDED
    #define RESIDENT __attribute__((noinline))
    #define CALLBACK_CODE __attribute__((noinline))
    #else
    #define RESIDENT inline
    #define CALLBACK_CODE PAGE_CODE
    #endif
    unsigned long g_lock;
    namespace {
    RESIDENT void TakeLock() { unsigned char irql = KfAcquireSpinLock(&g_lock);
                               KfReleaseSpinLock(&g_lock, irql); }
    CALLBACK_CODE unsigned char __stdcall SyncCallback(void* c) { return c != nullptr; }
    }
    PAGE_CODE void __stdcall PagedLocker(void* interrupt) {
        TakeLock();
        KeSynchronizeExecution(interrupt, SyncCallback, interrupt);
    }
    #endif

    volatile unsigned long long g_total = 5;
    extern "C" INIT_CODE NTSTATUS __stdcall DriverEntry(void* driver, void* path) {
    #ifdef STRAY_IMPORT
        Sleep(1);
    #endif
    #ifdef RAISE_FROM_PAGE
        PagedLocker(driver);
    #endif
        Ring r{g_total};
        return Unload(driver) + (long)r.Average((unsigned long long)(unsigned long)path);
    }
    """)

GOOD_LIST = textwrap.dedent("""\
    # stub image placement
    DriverEntry   INIT
    Unload        PAGE
    PagedHelper   PAGE
    Average       .text
    """)


def build(tmp, name, defines=(), entry="_DriverEntry@8", libs=("-lntoskrnl", "-lhal"),
          link=("-shared",)):
    src = os.path.join(tmp, "stub_driver.cpp")
    with open(src, "w", encoding="utf-8") as f:
        f.write(STUB_SOURCE)
    image = os.path.join(tmp, name)
    argv = [CXX, "-std=c++20", "-O2", "-fno-exceptions", "-fno-rtti",
            "-fno-asynchronous-unwind-tables", *[f"-D{d}" for d in defines], src,
            *link, "-nostdlib", "-Wl,--subsystem,native", f"-Wl,--entry,{entry}",
            "-Wl,--exclude-all-symbols", "-o", image, *libs, "-lgcc"]
    subprocess.run(argv, check=True)
    return image


class CheckerOnStubImages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory()
        cls.tmp = cls._tmp.name
        cls.image = build(cls.tmp, "good.sys")

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def run_checker(self, image, sections_text, extra=()):
        path = os.path.join(self.tmp, f"sections_{self.id().rsplit('.', 1)[-1]}.txt")
        with open(path, "w", encoding="utf-8") as f:
            f.write(sections_text)
        out = io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(out):
            rc = check_image.main([image, path, "--objdump", OBJDUMP, "--cxxfilt", CXXFILT,
                                   *extra])
        return rc, out.getvalue()

    def assert_fails(self, rc, output, *reasons):
        self.assertEqual(rc, 1, output)
        for reason in reasons:
            self.assertIn(reason, output)
        self.assertRegex(output, r"\n\d+ passed, [1-9]\d* failed\n")

    def test_driver_headers_need_what_the_platforms_linker_writes(self):
        # As ld leaves a -shared link: a DLL with exports of nothing, no WDM flag, no checksum,
        # code-only INIT, no version resource.
        rc, out = self.run_checker(self.image, GOOD_LIST, ["--version", "1.2.3"])
        self.assert_fails(rc, out, "carry IMAGE_FILE_DLL", "lack the WDM driver flag",
                          "INIT flags", "no version resource")
        # As the driver's project links and finishes it.
        rc_file = os.path.join(self.tmp, "version.rc")
        with open(rc_file, "w", encoding="utf-8") as f:
            f.write('#include <winver.h>\n1 VERSIONINFO FILEVERSION 1,2,3,0 PRODUCTVERSION 1,2,3,0 '
                    'FILETYPE VFT_DRV FILESUBTYPE VFT2_DRV_SYSTEM BEGIN END\n')
        resource = os.path.join(self.tmp, "version.o")
        subprocess.run([WINDRES, rc_file, "-o", resource], check=True)
        image = build(self.tmp, "wdm.sys", link=DRIVER_LINK + [resource])
        subprocess.run([sys.executable, FINISH_IMAGE, image], check=True)
        rc, out = self.run_checker(image, GOOD_LIST, ["--version", "1.2.3"])
        self.assertEqual(rc, 0, out)
        with open(image, "r+b") as f:  # one byte changed after the checksum was written
            f.seek(-1, os.SEEK_END)
            last = f.read(1)
            f.seek(-1, os.SEEK_END)
            f.write(bytes([last[0] ^ 1]))
        rc, out = self.run_checker(image, GOOD_LIST, ["--version", "1.2.3"])
        self.assert_fails(rc, out, "the file sums to")

    def test_correct_list_passes_and_ignores_thunks_and_runtime(self):
        rc, output = self.run_checker(self.image, GOOD_LIST)
        self.assertEqual(rc, 0, output)
        # 4 image checks + 4 routines + 2 raise checks; the KeBugCheck thunk and __udivdi3 are not routines.
        self.assertTrue(output.endswith("10 passed, 0 failed\n"), output)
        self.assertIn("KeBugCheck", output)  # printed among the imports
        self.assertNotIn("udivdi3", output)

    def test_routine_in_wrong_section_fails(self):
        rc, output = self.run_checker(self.image, GOOD_LIST.replace("Unload        PAGE",
                                                                    "Unload        .text"))
        self.assert_fails(rc, output, "Unload landed in PAGE, listed for .text")

    def test_entry_routine_outside_init_fails(self):
        rc, output = self.run_checker(self.image, GOOD_LIST.replace("DriverEntry   INIT",
                                                                    "DriverEntry   PAGE"))
        self.assert_fails(rc, output, "DriverEntry landed in INIT, listed for PAGE")

    def test_missing_routine_fails_unless_inlinable(self):
        rc, output = self.run_checker(self.image, GOOD_LIST + "StartDevice PAGE\n")
        self.assert_fails(rc, output, "StartDevice is listed for PAGE but missing")
        rc, output = self.run_checker(self.image, GOOD_LIST + "StartDevice PAGE inlinable\n")
        self.assertEqual(rc, 0, output)

    def test_unlisted_routine_fails(self):
        rc, output = self.run_checker(self.image, GOOD_LIST.replace("PagedHelper   PAGE\n", ""))
        self.assert_fails(rc, output, "PagedHelper is in the image (PAGE) but not in the placement list")

    def test_inlinable_routine_still_checked_when_present(self):
        rc, output = self.run_checker(
            self.image, GOOD_LIST.replace("PagedHelper   PAGE", "PagedHelper .text inlinable"))
        self.assert_fails(rc, output, "PagedHelper landed in PAGE, listed for .text")

    def test_only_objects_named_in_sources_count(self):
        sources = os.path.join(self.tmp, "sources.cmake")
        with open(sources, "w", encoding="utf-8") as f:
            f.write("set(TARVIK_DRIVER_SOURCES\n    frame/stub_driver.cpp\n)\n")
        rc, output = self.run_checker(self.image, GOOD_LIST, ["--sources", sources])
        self.assertEqual(rc, 0, output)
        with open(sources, "w", encoding="utf-8") as f:
            f.write("set(TARVIK_DRIVER_SOURCES frame/other.cpp)  # stub_driver.cpp\n")
        rc, output = self.run_checker(self.image, GOOD_LIST, ["--sources", sources])
        self.assert_fails(rc, output, "Unload is listed for PAGE but missing")

    def test_malformed_list_is_a_usage_error(self):
        rc, output = self.run_checker(self.image, GOOD_LIST + "Unload PAGED\n")
        self.assertEqual(rc, 2, output)
        self.assertIn("section must be one of", output)

    def test_import_from_user_mode_dll_fails(self):
        image = build(self.tmp, "stray.sys", defines=["STRAY_IMPORT"],
                      libs=("-lntoskrnl", "-lhal", "-lkernel32"))
        rc, output = self.run_checker(image, GOOD_LIST)
        self.assert_fails(rc, output, "imports from KERNEL32.dll")

    def test_raise_from_page_and_inlined_lock_holder_fail(self):
        # A resident lock holder inlined into a PAGE routine, which also hands a PAGE callback
        # to KeSynchronizeExecution; mended, the holder stays a call and the callback resident.
        sources = os.path.join(self.tmp, "sources.cmake")
        with open(sources, "w", encoding="utf-8") as f:
            f.write("set(TARVIK_DRIVER_SOURCES stub_driver.cpp)\n")
        listed = "PagedLocker PAGE\nTakeLock .text inlinable\nSyncCallback {}\n"
        image = build(self.tmp, "raise.sys", defines=["RAISE_FROM_PAGE"])
        rc, output = self.run_checker(image, GOOD_LIST + listed.format("PAGE"),
                                      ["--sources", sources])
        self.assert_fails(rc, output,
                          "PagedLocker (PAGE) calls KfAcquireSpinLock",
                          "PagedLocker passes SyncCallback (PAGE) to KeSynchronizeExecution",
                          "TakeLock takes a spin lock")
        image = build(self.tmp, "mended.sys", defines=["RAISE_FROM_PAGE", "MENDED"])
        rc, output = self.run_checker(
            image, GOOD_LIST + listed.format(".text").replace(" inlinable", ""),
            ["--sources", sources])
        self.assertEqual(rc, 0, output)

    def test_other_entry_point_fails(self):
        image = build(self.tmp, "entry.sys", entry="__Z6UnloadPv@4")
        rc, output = self.run_checker(image, GOOD_LIST)
        self.assert_fails(rc, output, "is Unload")


class RoutineNames(unittest.TestCase):
    def test_unqualified_name_from_demangled_forms(self):
        cases = {
            "DispatchPnp(_DEVICE_OBJECT*, _IRP*)": "DispatchPnp",
            "(anonymous namespace)::MinorOf(_IRP*)": "MinorOf",
            "Ring::Average(unsigned long long)": "Average",
            "Fifo<short>::Take(unsigned int) const": "Take",
            "void CopyBlock<int>(int*, void (*)(int))": "CopyBlock",
            "ns::Outer<ns::Inner<int>>::Visit()": "Visit",
            "(anonymous namespace)::Helper(int) [clone .constprop.0] [clone .isra.0]": "Helper",
            "DriverEntry": "DriverEntry",
        }
        for demangled, want in cases.items():
            with self.subTest(demangled=demangled):
                self.assertEqual(check_image.routine_name(demangled), want)

    def test_32_bit_decorations_are_dropped(self):
        self.assertEqual(check_image.undecorate("_DriverEntry@8"), "DriverEntry")
        self.assertEqual(check_image.undecorate("__Z6UnloadPv@4"), "_Z6UnloadPv")
        self.assertEqual(check_image.undecorate("@FastRoutine@8"), "FastRoutine")


if __name__ == "__main__":
    unittest.main(verbosity=2)
