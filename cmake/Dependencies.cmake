# Third-party libraries of the host build.
#
# The x86-64 build takes Debian's packages. The i686 build (CMAKE_SIZEOF_VOID_P 4) cannot
# link them, as Debian ships them for x86-64 only: it builds GoogleTest from Debian's
# sources (package googletest, /usr/src/googletest) inside the tree, uses fmt header-only
# and CLI11 (header-only anyway) from /usr/include, and leaves out the benchmarks.
#
# Sets TARVIK_I686 (ON in the 32-bit build) and defines GTest::gtest, fmt::fmt,
# CLI11::CLI11 and nlohmann_json::nlohmann_json. Include before the project's warning
# options: GoogleTest is not built with them.

include_guard(GLOBAL)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(TARVIK_I686 ON)
else()
    set(TARVIK_I686 OFF)
endif()

# nlohmann-json is header-only: the same package serves both builds.
find_package(nlohmann_json 3 REQUIRED)

if(NOT TARVIK_I686)
    find_package(GTest REQUIRED)
    find_package(CLI11 CONFIG REQUIRED)
    find_package(fmt REQUIRED)
    find_package(benchmark REQUIRED)
    return()
endif()

set(TARVIK_GOOGLETEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH
    "GoogleTest sources for the i686 build (Debian package googletest)")
if(NOT EXISTS "${TARVIK_GOOGLETEST_SOURCE_DIR}/googletest/CMakeLists.txt")
    message(FATAL_ERROR
        "The i686 build compiles GoogleTest from source, but "
        "${TARVIK_GOOGLETEST_SOURCE_DIR}/googletest does not exist.\n"
        "On Debian install it with:  sudo apt-get install googletest g++-multilib\n"
        "or point TARVIK_GOOGLETEST_SOURCE_DIR at a GoogleTest checkout.")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory("${TARVIK_GOOGLETEST_SOURCE_DIR}/googletest"
    "${CMAKE_BINARY_DIR}/third_party/googletest" EXCLUDE_FROM_ALL SYSTEM)
if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
endif()

foreach(header fmt/format.h CLI/CLI.hpp)
    if(NOT EXISTS "/usr/include/${header}")
        message(FATAL_ERROR "The i686 build needs /usr/include/${header} "
            "(sudo apt-get install libfmt-dev libcli11-dev).")
    endif()
endforeach()
add_library(tarvik_fmt_header_only INTERFACE)
target_compile_definitions(tarvik_fmt_header_only INTERFACE FMT_HEADER_ONLY=1)
add_library(fmt::fmt ALIAS tarvik_fmt_header_only)
add_library(tarvik_cli11 INTERFACE)
add_library(CLI11::CLI11 ALIAS tarvik_cli11)
