# The Debian packages `cpack -G DEB` makes, one per install component, as Debian's policy
# wants them (lintian checks them: tests/install/deb_test.sh): a maintainer, a synopsis and a
# description, the copyright file and the changelog in /usr/share/doc/<package>, the man page
# compressed, the files stripped, and the shared libraries' packages as dependencies.
if(WIN32)
    return()
endif()

set(TARVIK_MAINTAINER "Tarvik maintainers <maintainers@tarvik.example>")
set(deb_components tool development)
set(deb_packages tarvik libtarvik-dev)
if(TARVIK_PYTHON_MODULE)
    list(APPEND deb_components python)
    list(APPEND deb_packages python3-tarvik)
endif()

# The changelog's date is the version's, fixed, so that the same sources give the same package.
set(TARVIK_CHANGELOG_DATE "Thu, 10 Dec 2026 00:00:00 +0000")
foreach(component package IN ZIP_LISTS deb_components deb_packages)
    set(doc ${CMAKE_BINARY_DIR}/debian/${package})
    set(TARVIK_PACKAGE ${package})
    configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${doc}/changelog @ONLY)
    execute_process(COMMAND gzip -9nc ${doc}/changelog OUTPUT_FILE ${doc}/changelog.gz)
    install(FILES ${doc}/changelog.gz ${PROJECT_SOURCE_DIR}/cmake/debian/copyright
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()

set(CPACK_PACKAGE_NAME tarvik)
set(CPACK_PACKAGE_VERSION ${TARVIK_VERSION})
set(CPACK_PACKAGE_CONTACT "${TARVIK_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TARVIK_MAINTAINER}")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${deb_components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # the shared libraries the programs link (dpkg-shlibdeps)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME tarvik)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION science)
set(CPACK_DEBIAN_TOOL_DESCRIPTION
"acquisition and diagnostics for the Tarvik analog-input card
The tarvik tool acquires frames from the Tarvik PCI analog-input card in
block or continuous mode into CSV, raw, NumPy or HDF5 files with a JSON
description, plots them, and reads the card's identification, serial number,
EEPROM and registers. On Linux it runs the card and its driver on an
emulated machine in its own process.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libtarvik-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
"client library for the Tarvik analog-input card (development files)
The C++20 client library of the Tarvik card's driver: a typed handle for
every request, acquisitions with their loss accounting, and on Linux the
emulated machine that runs the card and its driver in a program's own
process. Static libraries, headers and a CMake package (find_package).")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-tarvik)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3 (>= ${TARVIK_PYTHON_VERSION}~), python3 (<< ${TARVIK_PYTHON_NEXT_VERSION}), python3-numpy")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION
"Python module for the Tarvik analog-input card
The tarvik module opens the Tarvik card's device from Python, reads its
board information, EEPROM and ports, and runs acquisitions as iterators of
NumPy arrays, counting every frame the driver drops. On Linux it boots the
emulated machine that runs the card and its driver in the Python process.")
include(CPack)
