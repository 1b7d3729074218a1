# The host build for 32-bit x86 Linux: the emulated machine, the user side and every suite
# compiled with g++ -m32 (Debian's g++-multilib), so that pointers, sizes and the records the
# driver shares with the kernel have the widths and layouts of the shipped image.
#
#     cmake -S . -B build/i686 -G Ninja --toolchain cmake/toolchain-i686-linux.cmake
#
# A host whose kernel runs no 32-bit programs (no IA-32 emulation, as in some virtual
# machines) runs the tests under qemu-i386 (Debian's qemu-user): TARVIK_I686_RUNNER, found
# here, is the emulator CTest and test discovery put before every test program. Set it to ""
# where the kernel runs i686 programs itself.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
# Libraries and package configurations of the i386 multiarch folders only; the x86-64
# ones in /usr/lib/x86_64-linux-gnu cannot be linked.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu/cmake)

find_program(TARVIK_I686_RUNNER qemu-i386)
if(TARVIK_I686_RUNNER)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${TARVIK_I686_RUNNER}")
endif()
