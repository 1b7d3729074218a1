# Cross toolchain for the kernel image: 32-bit x86 Windows, GNU tools from the
# Debian packages g++-mingw-w64-i686, mingw-w64-i686-dev and binutils-mingw-w64-i686.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(TARVIK_CROSS_PREFIX i686-w64-mingw32)

find_program(TARVIK_CROSS_CXX NAMES ${TARVIK_CROSS_PREFIX}-g++ REQUIRED)
set(CMAKE_CXX_COMPILER ${TARVIK_CROSS_CXX})

set(CMAKE_FIND_ROOT_PATH /usr/${TARVIK_CROSS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A kernel image links nothing but the kernel's import libraries, so the compiler probe
# must not try to link a user-mode program against the C runtime.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
