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

# HDF5 output of the tool (libhdf5-dev): required in the x86-64 build. Debian installs
# libhdf5-dev for one architecture at a time, so the i686 build takes it only where the i386
# library is found (option TARVIK_HDF5), and its tool writes no HDF5 otherwise.
# Sets TARVIK_HDF5_FOUND and defines tarvik_hdf5 when it is. FindHDF5 checks its C library
# with the C compiler.
enable_language(C)
if(TARVIK_I686)
    option(TARVIK_HDF5 "Write HDF5 files in the i686 build, if libhdf5 for i386 is found" ON)
    if(TARVIK_HDF5)
        find_package(HDF5 QUIET COMPONENTS C)
        # Its compiler wrapper (h5cc) names the x86-64 library when only that one is
        # installed, which a 32-bit program cannot link.
        if(HDF5_FOUND AND "${HDF5_C_LIBRARIES}" MATCHES "/x86_64-linux-gnu/")
            set(HDF5_FOUND FALSE)
        endif()
    endif()
else()
    find_package(HDF5 REQUIRED COMPONENTS C)
endif()
set(TARVIK_HDF5_FOUND ${HDF5_FOUND})
if(TARVIK_HDF5_FOUND AND NOT TARGET tarvik_hdf5)
    add_library(tarvik_hdf5 INTERFACE)
    target_include_directories(tarvik_hdf5 SYSTEM INTERFACE ${HDF5_C_INCLUDE_DIRS} ${HDF5_INCLUDE_DIRS})
    target_link_libraries(tarvik_hdf5 INTERFACE ${HDF5_C_LIBRARIES})
    target_compile_definitions(tarvik_hdf5 INTERFACE TARVIK_HAVE_HDF5=1 ${HDF5_DEFINITIONS})
endif()
message(STATUS "HDF5 output of the tool: ${TARVIK_HDF5_FOUND}")

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
