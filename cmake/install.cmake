# What `cmake --install` puts where, the CMake package and pkg-config files that hosts build
# against, and the Debian package (cpack, `make deb`).
#
#   bin/vela-host                                  the command-line host
#   lib[/<triplet>]/wireshark/extcap/vela-extcap   the capture program, in Wireshark's global
#                                                  extcap folder
#   lib[/<triplet>]/libvela_{platform,framework,sim}.so*  the shared libraries hosts link
#   lib[/<triplet>]/vela/libvela.so                the plug-in, loaded with dlopen
#   lib[/<triplet>]/cmake/Vela/                    find_package(Vela): Vela::platform,
#                                                  Vela::framework, Vela::sim, Vela::plugin
#   lib[/<triplet>]/pkgconfig/vela.pc, vela-sim.pc
#   lib[/<triplet>]/wireshark/plugins/vela.lua     Wireshark's global Lua plugin folder
#   include/vela/{platform,framework,equipment,sim}/  headers, included as "framework/..."
#   share/man/man1/vela-host.1
#   share/doc/vela/                                README
include(CMakePackageConfigHelpers)

# Installing (and cpack) takes what is built: build the tree, or at least vela-host and vela,
# first. It does not build every test for it.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

install(TARGETS vela_platform vela_framework vela_sim
    EXPORT VelaTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS vela EXPORT VelaTargets LIBRARY DESTINATION ${VELA_INSTALL_PLUGINDIR})
install(TARGETS vela-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS vela-extcap RUNTIME DESTINATION ${VELA_INSTALL_EXTCAPDIR})

# The headers a host needs: the framework's interfaces and the platform layer beneath them, the
# component's entry points and class identities, and the simulated service for hosts that run
# without a phone.
foreach(dir framework platform)
    install(DIRECTORY ${CMAKE_SOURCE_DIR}/${dir}/ DESTINATION ${VELA_INSTALL_INCLUDEDIR}/${dir}
        FILES_MATCHING PATTERN "*.h")
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/equipment/Component.h ${CMAKE_SOURCE_DIR}/equipment/VelaGuids.h
    DESTINATION ${VELA_INSTALL_INCLUDEDIR}/equipment)
install(FILES ${CMAKE_SOURCE_DIR}/sim/SimService.h ${CMAKE_SOURCE_DIR}/sim/SimPhone.h
    DESTINATION ${VELA_INSTALL_INCLUDEDIR}/sim)

set(VELA_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Vela)
install(EXPORT VelaTargets NAMESPACE Vela:: DESTINATION ${VELA_CMAKEDIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/VelaConfig.cmake.in
    ${CMAKE_BINARY_DIR}/VelaConfig.cmake
    INSTALL_DESTINATION ${VELA_CMAKEDIR}
    PATH_VARS VELA_INSTALL_PLUGINDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/VelaConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/VelaConfig.cmake ${CMAKE_BINARY_DIR}/VelaConfigVersion.cmake
    DESTINATION ${VELA_CMAKEDIR})

file(RELATIVE_PATH VELA_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
foreach(pc vela vela-sim)
    configure_file(${CMAKE_SOURCE_DIR}/cmake/${pc}.pc.in ${CMAKE_BINARY_DIR}/${pc}.pc @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

install(FILES ${CMAKE_SOURCE_DIR}/tools/wireshark/vela.lua
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/wireshark/plugins)
install(FILES ${CMAKE_SOURCE_DIR}/docs/vela-host.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Debian package: configure with -DCMAKE_INSTALL_PREFIX=/usr (GNUInstallDirs then gives the
# multiarch library folder) and run cpack; `make deb` does both.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vela)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Vela developers <vela@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Vela phone component, its framework and the vela-host command-line host")
set(CPACK_PACKAGE_DESCRIPTION "The Vela component (a plug-in that radio-measurement hosts load to work with phones of the
Vela chipset platform), the framework and platform libraries it runs on, a simulated
debug-multiplexer service, the vela-host command-line host, headers, CMake and
pkg-config files for building hosts, a Wireshark dissector for its captures and
vela-extcap, which shows the phones as live capture interfaces in Wireshark.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
# Run-time dependencies from the binaries' needs (dpkg-shlibdeps); the package's own libraries
# are found in the staging tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "tshark | wireshark")
set(CPACK_STRIP_FILES OFF)
include(CPack)
