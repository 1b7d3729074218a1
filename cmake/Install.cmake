# What `cmake --install` puts in place (GNU folders under the prefix): the tool, its man page
# and bash completion, the client library with its headers and a CMake package for it
# (find_package(tarvik) gives tarvik::client); and the Debian package `cpack -G DEB` makes of
# the same files.
include(CMakePackageConfigHelpers)

include(${CMAKE_CURRENT_LIST_DIR}/Version.cmake)

install(TARGETS tarvik RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARVIK_MAN_PAGE)
    install(FILES ${TARVIK_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
if(TARVIK_COMPLETION)
    install(FILES ${TARVIK_COMPLETION} RENAME tarvik
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endif()

install(TARGETS tarvik_client EXPORT tarvikTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
if(NOT WIN32)
    # The library's Win32 calls go to the emulated machine's Win32 layer and kernel: static
    # archives that a program linking tarvik::client needs too, kept in a folder of their own.
    install(TARGETS sim_win32 sim_kernel EXPORT tarvikTargets
            ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}/tarvik)
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/lib/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/tarvik_ioctl.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/tarvik)
install(EXPORT tarvikTargets NAMESPACE tarvik:: DESTINATION ${package_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tarvikConfig.cmake.in
    ${CMAKE_BINARY_DIR}/tarvikConfig.cmake INSTALL_DESTINATION ${package_dir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/tarvikConfigVersion.cmake
    VERSION ${TARVIK_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/tarvikConfig.cmake ${CMAKE_BINARY_DIR}/tarvikConfigVersion.cmake
        DESTINATION ${package_dir})

set(CPACK_PACKAGE_NAME tarvik)
set(CPACK_PACKAGE_VERSION ${TARVIK_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Acquisition and diagnostics for the Tarvik analog-input card, and its client library")
set(CPACK_PACKAGE_CONTACT "Tarvik developers <tarvik@localhost>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # the shared libraries the tool links (dpkg-shlibdeps)
set(CPACK_STRIP_FILES ON)
include(CPack)
