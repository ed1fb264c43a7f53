# The Windows package (`make windows-package`, cpack): one ZIP, vela-<version>-win64.zip, whose
# folder runs where it is unpacked:
#
#   vela-host.exe, vela.dll                        the command-line host and the plug-in
#   vela-extcap.exe, install-extcap.cmd            the capture program of Wireshark, and what
#                                                  copies it into Wireshark's extcap folder
#   libvela_platform.dll, libvela_framework.dll,   the libraries the host and the plug-in share
#   libvela_sim.dll                                (one copy of the process-wide registries)
#   libstdc++-6.dll, libgcc_s_seh-1.dll,           the compiler's runtime, one copy for every
#   libwinpthread-1.dll                            module of the process
#   vela.lua, README.md, INSTALL.txt               the dissector and the documents
#
# The compiler's runtime is shipped, not linked into each module: the modules hand C++ objects,
# exceptions and threads to one another, and a private runtime per module would give each its
# own thread ids and exception state. Every DLL that vela.dll imports is one that a host of the
# framework has loaded already (by name, so the system takes that one wherever vela.dll lies),
# or is found next to vela.dll when the host loads it by its full path with
# LOAD_WITH_ALTERED_SEARCH_PATH (platform::loadLibrary). scripts/check-windows-package checks
# the unpacked archive under a fresh Wine prefix.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# The programs and DLLs (the import libraries of the DLLs are for building hosts, not in the
# package).
install(TARGETS vela-host vela-extcap vela vela_platform vela_framework vela_sim
    RUNTIME DESTINATION . LIBRARY DESTINATION .
    ARCHIVE DESTINATION lib COMPONENT import-libraries EXCLUDE_FROM_ALL)

# The runtime DLLs of the compiler that built the tree.
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
        OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
        message(FATAL_ERROR "the compiler's runtime ${dll} was not found (${CMAKE_CXX_COMPILER})")
    endif()
    install(PROGRAMS ${path} DESTINATION .)
    # As shipped with the cross compiler it carries its debugging sections (libstdc++: 24 MB,
    # 4 MB without them); stripped like the package's own modules.
    install(CODE "if(CMAKE_INSTALL_DO_STRIP)
        execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug
            \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${dll}\" COMMAND_ERROR_IS_FATAL ANY)
    endif()")
endforeach()

configure_file(${CMAKE_SOURCE_DIR}/docs/INSTALL-windows.txt ${CMAKE_BINARY_DIR}/INSTALL.txt
    @ONLY NEWLINE_STYLE CRLF)
configure_file(${CMAKE_SOURCE_DIR}/docs/install-extcap.cmd ${CMAKE_BINARY_DIR}/install-extcap.cmd
    @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_BINARY_DIR}/INSTALL.txt ${CMAKE_SOURCE_DIR}/README.md
    ${CMAKE_SOURCE_DIR}/tools/wireshark/vela.lua ${CMAKE_BINARY_DIR}/install-extcap.cmd
    DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME vela)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME vela-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# Without their debugging sections (the strip of the cross tools).
set(CPACK_STRIP_FILES ON)
include(CPack)
