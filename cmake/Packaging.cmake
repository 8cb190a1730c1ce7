# What `cmake --install` puts beside the programs, and the Debian package built from it
# (`cd build && cpack -G DEB`).

install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/help/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/help)
install(FILES ${PROJECT_SOURCE_DIR}/resources/icon.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps RENAME siclquill.png)
install(FILES ${PROJECT_SOURCE_DIR}/resources/siclquill.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
# Debian wants manual pages and the changelog compressed with gzip -9, without a time stamp
# (-n) so that the package builds the same every time.
find_program(SICLQUILL_GZIP gzip REQUIRED)
set(SICLQUILL_COMPRESSED)
function(siclquill_gzip source name)
    set(out ${CMAKE_BINARY_DIR}/compressed/${name}.gz)
    add_custom_command(OUTPUT ${out}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/compressed
        COMMAND ${SICLQUILL_GZIP} -9nc ${source} > ${out}
        DEPENDS ${source} VERBATIM)
    set(SICLQUILL_COMPRESSED ${SICLQUILL_COMPRESSED} ${out} PARENT_SCOPE)
endfunction()
foreach(page siclquill.1 siclquill-gateway.1 siclquill-cli.1)
    siclquill_gzip(${PROJECT_SOURCE_DIR}/docs/man/${page} ${page})
endforeach()
siclquill_gzip(${PROJECT_SOURCE_DIR}/resources/debian/changelog changelog)
add_custom_target(siclquill_compressed_docs ALL DEPENDS ${SICLQUILL_COMPRESSED})
install(FILES ${CMAKE_BINARY_DIR}/compressed/siclquill.1.gz
              ${CMAKE_BINARY_DIR}/compressed/siclquill-gateway.1.gz
              ${CMAKE_BINARY_DIR}/compressed/siclquill-cli.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/compressed/changelog.gz
              ${PROJECT_SOURCE_DIR}/resources/debian/copyright
              ${PROJECT_SOURCE_DIR}/docs/trace.md
              ${PROJECT_SOURCE_DIR}/docs/cli.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/resources/completion/siclquill-cli
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
# The bridge as a service, one instance per adapter, disabled until enabled. Debian's systemd
# looks in /usr/lib/systemd/system whatever the library directory is.
install(FILES ${PROJECT_SOURCE_DIR}/resources/systemd/siclquill-gateway@.service
        DESTINATION lib/systemd/system COMPONENT service)
if(SICLQUILL_BUILD_TESTS)
    add_test(NAME package_service_unit_installed_and_verified
        COMMAND ${PROJECT_SOURCE_DIR}/tools/check-unit.sh ${CMAKE_BINARY_DIR}
                $<TARGET_FILE:siclquill-gateway>)
    set_tests_properties(package_service_unit_installed_and_verified PROPERTIES
        LABELS package SKIP_RETURN_CODE 77 TIMEOUT 60)
endif()

set(CPACK_PACKAGE_NAME siclquill)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "SICL Quill")
set(CPACK_PACKAGE_CONTACT "SICL Quill maintainers <maintainers@siclquill.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "hand control of GPIB instruments through VXI-11 LAN/GPIB gateways")
# The long description; CPack puts the summary above it and indents the lines.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "A one-window tool for talking to IEEE-488 instruments by hand through a
VXI-11 LAN/GPIB gateway: find the listening instruments, link to one, send
commands and read answers, serial poll, clear, trigger, lock, read and drive
the bus lines, and run repeating query loops.

Includes siclquill-cli, every gateway operation from a shell and from
scripts (find, census, query, serial poll, bus control, measuring loops,
SRQ, discovery of VXI-11 hosts), and siclquill-gateway, a gateway simulator
with a demo bench of instruments on loopback, which also serves the real GPIB
bus behind a ++ adapter (Prologix, AR488) over VXI-11 and HiSLIP, by hand or
as the systemd service siclquill-gateway@DEVICE.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Shared-library dependencies (Qt, libstdc++, libc) from the binaries themselves; this needs
# dpkg-shlibdeps (dpkg-dev). Debian ships the X platform plugin in libqt6gui6, which this
# brings in.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-dejavu-core")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "rpcbind")
include(CPack)
