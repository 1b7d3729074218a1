// The one platform header of the driver.
//
// The kernel build (i686-w64-mingw32, TARVIK_KERNEL_BUILD) compiles against the platform's own
// DDK headers; the host build compiles the same sources against the emulated kernel's
// <ntddk.h>, which has the same names. Section placement macros live here too: GCC has no
// alloc_text pragma, so every definition carries its section.
#pragma once

#if defined(TARVIK_KERNEL_BUILD)
// wdm.h redefines these compiler intrinsics in C++ mode unless told they exist.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
// The kernel exports swprintf, but wdm.h does not declare it.
extern "C" int __cdecl swprintf(wchar_t* Buffer, const wchar_t* Format, ...);
#define TARVIK_INIT_CODE __attribute__((section("INIT")))
#define TARVIK_PAGE_CODE __attribute__((section("PAGE")))
#else
#include <ntddk.h>
// Host ELF sections with C-identifier names, so the linker defines __start_/__stop_ symbols
// for them and the emulated kernel can tell pageable and init code from resident code by
// address (see sim/kernel/src/sections.cpp).
#define TARVIK_INIT_CODE __attribute__((section("tarvik_init")))
#define TARVIK_PAGE_CODE __attribute__((section("tarvik_page")))
#endif

// TARVIK_RESIDENT_CODE marks resident routines that hold a spin lock (or run under the
// interrupt's lock) and are called from pageable code. A compiler that inlined one into its
// PAGE caller would move the lock-holding code into the pageable section, where a page fault
// at DISPATCH_LEVEL crashes the machine; noinline keeps it a call into .text, the default
// section of both builds.
#define TARVIK_RESIDENT_CODE __attribute__((noinline))

// Pool tag "Wdm " as the pool stores it: the first character in the lowest byte.
constexpr ULONG TARVIK_POOL_TAG = 0x206D6457;
