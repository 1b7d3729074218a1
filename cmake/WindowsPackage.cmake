# The Windows deliverable, built beside the host build: the client library and tarvik.exe
# linked for Windows (windows/, a project of its own configured with the cross toolchain and
# driven from here as an external project) and the zip a Windows user takes:
# <build>/windows-package/tarvik-<version>-windows-x86.zip with tarvik.sys, tarvik.inf,
# tarvik.exe, the client library with its headers and INSTALL.txt. Tests:
#   windows.imports          every system function the programs and the library import is one
#                            Windows 2000 and the 98/Me family both export
#                            (windows/system_exports.txt)
#   windows.imports_checker  that check catches an unlisted import and an unexplained stub
#   windows.inf_ids          the INF's hardware ID is the identity a new card's EEPROM holds
#   windows.inf_setupapi     Wine's setupapi resolves the INF for both families
#   windows.tool_under_wine  tarvik.exe under Wine: help, version, no device, files
#   windows.package          the zip holds what it should, as built
# The Wine tests report skipped (77) where Wine is not installed.
#
# Needs the kernel image (cmake/KernelImage.cmake) and the INF (cmake/PciIds.cmake).

include_guard(GLOBAL)
include(ExternalProject)

get_filename_component(_tarvik_repo "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(_tarvik_windows_dir "${CMAKE_BINARY_DIR}/windows-package")
set(TARVIK_WINDOWS_ZIP "${_tarvik_windows_dir}/tarvik-${TARVIK_VERSION}-windows-x86.zip")

ExternalProject_Add(tarvik_windows_package
    SOURCE_DIR "${_tarvik_repo}/windows"
    BINARY_DIR "${_tarvik_windows_dir}"
    CMAKE_ARGS
        "-DCMAKE_TOOLCHAIN_FILE=${_tarvik_repo}/cmake/toolchain-i686-mingw32.cmake"
        "-DCMAKE_BUILD_TYPE=Release"
        "-DTARVIK_WERROR=${TARVIK_WERROR}"
        "-DTARVIK_KERNEL_IMAGE_FILE=${TARVIK_KERNEL_IMAGE_FILE}"
        "-DTARVIK_INF_FILE=${TARVIK_INF_FILE}"
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR>
          COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target package
    INSTALL_COMMAND ""
    DEPENDS tarvik_kernel_image
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS "${TARVIK_WINDOWS_ZIP}"
    USES_TERMINAL_BUILD ON)

set(_tests "${_tarvik_repo}/tests/windows")
add_test(NAME windows.imports
    COMMAND "${Python3_EXECUTABLE}" "${_tests}/check_imports.py"
        "${_tarvik_repo}/windows/system_exports.txt"
        "${_tarvik_windows_dir}/tarvik.exe" "${_tarvik_windows_dir}/libtarvik_client.a"
        --objdump "${TARVIK_CROSS_OBJDUMP}")
add_test(NAME windows.imports_checker
    COMMAND "${Python3_EXECUTABLE}" "${_tests}/test_check_imports.py")
set_tests_properties(windows.imports_checker PROPERTIES ENVIRONMENT
    "TARVIK_CROSS_CXX=${TARVIK_CROSS_CXX};TARVIK_CROSS_OBJDUMP=${TARVIK_CROSS_OBJDUMP}")
add_test(NAME windows.inf_ids
    COMMAND "${Python3_EXECUTABLE}" "${_tests}/check_inf.py" ids "${TARVIK_INF_FILE}"
        $<TARGET_FILE:tarvik>)
add_test(NAME windows.package
    COMMAND "${Python3_EXECUTABLE}" "${_tests}/check_package.py" "${TARVIK_WINDOWS_ZIP}"
        "${_tarvik_windows_dir}/tarvik.exe" "${TARVIK_KERNEL_IMAGE_FILE}" "${TARVIK_INF_FILE}")

# One Wine prefix for the Wine tests, made once (wineboot) and shared. Without Wine there is
# nothing to make; the tests that need it then report skipped themselves (a skipped setup
# would leave them not run, which counts as failed).
set(_wine_env "TARVIK_WINEPREFIX=${CMAKE_BINARY_DIR}/wine-prefix")
add_test(NAME windows.wine_prefix COMMAND sh -c
    "command -v wine >/dev/null || { echo 'no wine: nothing to prepare'; exit 0; }; WINEPREFIX=\"$0\" WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= wineboot --init"
    "${CMAKE_BINARY_DIR}/wine-prefix")
add_test(NAME windows.inf_setupapi
    COMMAND "${Python3_EXECUTABLE}" "${_tests}/check_inf.py" setupapi "${TARVIK_INF_FILE}"
        "${_tarvik_windows_dir}/inf_probe.exe" "${TARVIK_PCI_HARDWARE_ID}")
add_test(NAME windows.tool_under_wine
    COMMAND "${Python3_EXECUTABLE}" "${_tests}/wine_tool_test.py"
        "${_tarvik_windows_dir}/tarvik.exe" "${TARVIK_VERSION}")
set_tests_properties(windows.wine_prefix PROPERTIES FIXTURES_SETUP wine ENVIRONMENT "${_wine_env}"
    TIMEOUT 300)
set_tests_properties(windows.inf_setupapi windows.tool_under_wine PROPERTIES
    FIXTURES_REQUIRED wine RESOURCE_LOCK wine ENVIRONMENT "${_wine_env}" SKIP_RETURN_CODE 77
    TIMEOUT 300)
