# Kernel image of the driver, built beside the host build.
#
# The host build compiles for Linux; tarvik.sys needs the i686-w64-mingw32 cross compiler,
# so SYS/kernel is a project of its own, configured with the cross toolchain file and
# driven from here as an external project. Two tests come with it:
#   kernel_image.layout   checks the produced tarvik.sys (format, imports, entry point,
#                         section of every routine against tests/kernel_image/sections.txt,
#                         no spin-lock acquire or IRQL raise called from PAGE or INIT code,
#                         no lock-holding routine listed as inlinable, and the headers of a
#                         WDM driver: no DLL flag, the WDM flag, INIT discardable, the
#                         checksum, the version resource)
#   kernel_image.checker  checks that the checker itself catches misplaced and missing
#                         routines and raising calls from PAGE code, on small images it
#                         builds in a temporary folder
#
# Reads TARVIK_WERROR (warnings are errors in the kernel build too when it is ON).
# Sets TARVIK_KERNEL_IMAGE_FILE to the path of the produced image and defines the target
# tarvik_kernel_image.

include_guard(GLOBAL)
include(ExternalProject)

get_filename_component(_tarvik_repo "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(_tarvik_cross_packages "g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686")

find_program(TARVIK_CROSS_CXX i686-w64-mingw32-g++)
find_program(TARVIK_CROSS_OBJDUMP i686-w64-mingw32-objdump)
find_program(TARVIK_CROSS_CXXFILT i686-w64-mingw32-c++filt)
if(NOT TARVIK_CROSS_CXX OR NOT TARVIK_CROSS_OBJDUMP OR NOT TARVIK_CROSS_CXXFILT)
    message(FATAL_ERROR
        "TARVIK_KERNEL_IMAGE is ON but the i686-w64-mingw32 cross tools were not found "
        "(compiler: ${TARVIK_CROSS_CXX}, objdump: ${TARVIK_CROSS_OBJDUMP}, "
        "c++filt: ${TARVIK_CROSS_CXXFILT}).\n"
        "On Debian/Ubuntu install them with:\n"
        "    sudo apt-get install ${_tarvik_cross_packages}\n"
        "or configure with -DTARVIK_KERNEL_IMAGE=OFF to skip the kernel image.")
endif()

set(TARVIK_DDK_INCLUDE_DIR "/usr/share/mingw-w64/include/ddk" CACHE PATH
    "Folder holding the platform DDK headers (wdm.h, ntddk.h)")
if(NOT EXISTS "${TARVIK_DDK_INCLUDE_DIR}/wdm.h")
    message(FATAL_ERROR
        "TARVIK_KERNEL_IMAGE is ON but ${TARVIK_DDK_INCLUDE_DIR}/wdm.h does not exist.\n"
        "On Debian/Ubuntu install the DDK headers with:\n"
        "    sudo apt-get install mingw-w64-i686-dev\n"
        "or point TARVIK_DDK_INCLUDE_DIR at them.")
endif()

find_package(Python3 REQUIRED COMPONENTS Interpreter)
include(${CMAKE_CURRENT_LIST_DIR}/Version.cmake)

if(TARVIK_WERROR)
    set(_tarvik_kernel_werror ON)
else()
    set(_tarvik_kernel_werror OFF)
endif()

set(_tarvik_kernel_binary_dir "${CMAKE_BINARY_DIR}/kernel")
set(TARVIK_KERNEL_IMAGE_FILE "${_tarvik_kernel_binary_dir}/tarvik.sys")

# BUILD_ALWAYS: the outer build cannot see the driver sources the inner project compiles,
# so it runs the inner build every time and lets that decide what is out of date. Changes
# to SYS/sources.cmake re-run the inner configure on their own (the inner project
# includes it).
ExternalProject_Add(tarvik_kernel_image
    SOURCE_DIR "${_tarvik_repo}/SYS/kernel"
    BINARY_DIR "${_tarvik_kernel_binary_dir}"
    CMAKE_ARGS
        "-DCMAKE_TOOLCHAIN_FILE=${_tarvik_repo}/cmake/toolchain-i686-mingw32.cmake"
        "-DTARVIK_CROSS_CXX=${TARVIK_CROSS_CXX}"
        "-DTARVIK_WERROR=${_tarvik_kernel_werror}"
        "-DTARVIK_DDK_INCLUDE_DIR=${TARVIK_DDK_INCLUDE_DIR}"
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS "${TARVIK_KERNEL_IMAGE_FILE}"
    USES_TERMINAL_BUILD ON)

add_test(NAME kernel_image.layout
    COMMAND "${Python3_EXECUTABLE}" "${_tarvik_repo}/tests/kernel_image/check_image.py"
        "${TARVIK_KERNEL_IMAGE_FILE}"
        "${_tarvik_repo}/tests/kernel_image/sections.txt"
        --sources "${_tarvik_repo}/SYS/sources.cmake"
        --version "${TARVIK_VERSION}"
        --objdump "${TARVIK_CROSS_OBJDUMP}"
        --cxxfilt "${TARVIK_CROSS_CXXFILT}")

add_test(NAME kernel_image.checker
    COMMAND "${Python3_EXECUTABLE}" "${_tarvik_repo}/tests/kernel_image/test_check_image.py")
set_tests_properties(kernel_image.checker PROPERTIES
    ENVIRONMENT
        "TARVIK_CROSS_CXX=${TARVIK_CROSS_CXX};TARVIK_CROSS_OBJDUMP=${TARVIK_CROSS_OBJDUMP};TARVIK_CROSS_CXXFILT=${TARVIK_CROSS_CXXFILT};TARVIK_DDK_INCLUDE_DIR=${TARVIK_DDK_INCLUDE_DIR}")
