# What `cmake --install` puts in place (GNU folders under the prefix), in three components:
#   tool         the tool, its man page and bash completion
#   development  the client library with its headers and a CMake package for it
#                (find_package(tarvik) gives tarvik::client, and on Linux tarvik::emulated)
#   python       the Python module (python/), where it is built
# and the Debian packages `cpack -G DEB` makes of them, one per component: tarvik,
# libtarvik-dev and python3-tarvik.
include(CMakePackageConfigHelpers)

include(${CMAKE_CURRENT_LIST_DIR}/Version.cmake)

install(TARGETS tarvik RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
if(TARVIK_MAN_PAGE)
    install(FILES ${TARVIK_MAN_PAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
endif()
if(TARVIK_COMPLETION)
    install(FILES ${TARVIK_COMPLETION} RENAME tarvik
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT tool)
endif()

install(TARGETS tarvik_client EXPORT tarvikTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
if(NOT WIN32)
    # The library's Win32 calls go to the emulated machine's Win32 layer and kernel, and
    # tarvik::emulated boots the machine with the card and the driver: static archives that a
    # program linking them needs too, kept in a folder of their own.
    install(TARGETS tarvik_emulated EXPORT tarvikTargets
            ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
    install(TARGETS sim_win32 sim_kernel sim_kernel_side sim_card sim_machine sim_loader
                    tarvik_driver tarvik_emulated_driver EXPORT tarvikTargets
            ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}/tarvik COMPONENT development)
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/lib/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/include/tarvik_ioctl.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT development)

set(package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/tarvik)
install(EXPORT tarvikTargets NAMESPACE tarvik:: DESTINATION ${package_dir} COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tarvikConfig.cmake.in
    ${CMAKE_BINARY_DIR}/tarvikConfig.cmake INSTALL_DESTINATION ${package_dir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/tarvikConfigVersion.cmake
    VERSION ${TARVIK_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/tarvikConfig.cmake ${CMAKE_BINARY_DIR}/tarvikConfigVersion.cmake
        DESTINATION ${package_dir} COMPONENT development)

include(cmake/DebianPackages.cmake)
