// A small driver image for the loader's tests, built with the i686 cross compiler. Variants:
//   LOCK_HOLDER_IN_PAGE  the spin-lock holder is placed in PAGE, as an inlined holder would be
//   UNKNOWN_IMPORT       imports a routine the emulated kernel does not export
//   CDECL_ENTRY          DriverEntry has the wrong calling convention (leaves its arguments)
//   NEWER_IMPORT         imports a routine of Windows XP, which Windows 98/Me does not export
//   POOL_OVERRUN         DriverEntry writes one byte past two pool allocations
#define INIT_CODE __attribute__((section("INIT"), noinline))
#define PAGE_CODE __attribute__((section("PAGE"), noinline))
typedef long NTSTATUS;
extern "C" __declspec(dllimport) unsigned char __fastcall KfAcquireSpinLock(unsigned long* lock);
extern "C" __declspec(dllimport) void __fastcall KfReleaseSpinLock(unsigned long* lock,
                                                                   unsigned char irql);
#ifdef UNKNOWN_IMPORT
extern "C" __declspec(dllimport) void __stdcall KeBugCheckEx(unsigned long, unsigned long,
                                                             unsigned long, unsigned long,
                                                             unsigned long);
#endif
#ifdef NEWER_IMPORT
extern "C" __declspec(dllimport) void __stdcall KeFlushQueuedDpcs();
#endif
#ifdef POOL_OVERRUN
extern "C" __declspec(dllimport) void* __stdcall ExAllocatePoolWithTag(int type, unsigned long bytes,
                                                                      unsigned long tag);
extern "C" __declspec(dllimport) void __stdcall ExFreePool(void* p);
constexpr unsigned long kTag = 0x206D6457;  // "Wdm "

// Special pool places one of the two at the end of its pages: its guard page catches the write.
__attribute__((noinline)) void WritePastEnd(volatile unsigned char* p, unsigned long bytes) {
  p[bytes] = 1;
}

void OverrunTwoAllocations() {
  for (int i = 0; i < 2; ++i) {
    auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(0, 8, kTag));
    WritePastEnd(p, 8);
    ExFreePool(p);
  }
}
#endif
#ifdef LOCK_HOLDER_IN_PAGE
#define LOCK_HOLDER PAGE_CODE
#else
#define LOCK_HOLDER __attribute__((noinline))
#endif
#ifdef CDECL_ENTRY
#define ENTRY_CONVENTION __cdecl
#else
#define ENTRY_CONVENTION __stdcall
#endif

unsigned long g_lock;
unsigned long g_counter = 40;
unsigned long* volatile g_counterAddress = &g_counter;  // a pointer the loader relocates

LOCK_HOLDER void CountUnderLock() {
  unsigned char irql = KfAcquireSpinLock(&g_lock);
  ++*g_counterAddress;
  KfReleaseSpinLock(&g_lock, irql);
}

extern "C" PAGE_CODE unsigned long __stdcall PagedWork(unsigned long n) {
  CountUnderLock();
  return *g_counterAddress + n;
}

// Returns 0 when the counter went from 40 to 41 and the path was given.
extern "C" INIT_CODE NTSTATUS ENTRY_CONVENTION DriverEntry(void* driver, void* path) {
#ifdef UNKNOWN_IMPORT
  if (driver == nullptr) KeBugCheckEx(1, 0, 0, 0, 0);
#endif
#ifdef NEWER_IMPORT
  if (driver == nullptr) KeFlushQueuedDpcs();
#endif
#ifdef POOL_OVERRUN
  OverrunTwoAllocations();
#endif
  (void)driver;
  return static_cast<NTSTATUS>(PagedWork(path != nullptr ? 1 : 0)) - 42;
}
