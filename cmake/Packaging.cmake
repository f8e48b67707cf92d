# The Debian package (cpack -G DEB, run by scripts/package.sh): the two programs, the udev rule
# where udev looks, the desktop entry, icon and MIME type, manual pages, bash completion, and
# /usr/share/doc/quillon with the copyright file and the changelog. Depends come from
# dpkg-shlibdeps on the installed binaries; the maintainer scripts reload the udev rules.
set(QUILLON_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
# A release's changelog entry is written by hand; its version must be the project's.
file(STRINGS ${QUILLON_PACKAGING_DIR}/debian/changelog QUILLON_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT QUILLON_CHANGELOG_TOP MATCHES "^quillon \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog starts with '${QUILLON_CHANGELOG_TOP}', not version ${PROJECT_VERSION}: add the release's entry (and to CHANGELOG.md)")
endif()
set(QUILLON_GZ_DIR ${PROJECT_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${QUILLON_GZ_DIR})

# Debian ships manual pages and changelogs compressed, without a time stamp in the gzip header
# (-n), so that the package's bytes depend only on its sources.
function(quillon_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND gzip -9n -c ${source} > ${output}
    DEPENDS ${source} VERBATIM)
  list(APPEND QUILLON_GZ_FILES ${output})
  set(QUILLON_GZ_FILES ${QUILLON_GZ_FILES} PARENT_SCOPE)
endfunction()
quillon_gzip(${QUILLON_PACKAGING_DIR}/man/quillon-cli.1 ${QUILLON_GZ_DIR}/quillon-cli.1.gz)
quillon_gzip(${QUILLON_PACKAGING_DIR}/man/quillon.1 ${QUILLON_GZ_DIR}/quillon.1.gz)
quillon_gzip(${QUILLON_PACKAGING_DIR}/debian/changelog ${QUILLON_GZ_DIR}/changelog.gz)
# Part of "all" and of the programs' own targets, so that building only quillon-cli and quillon
# (as scripts/package.sh does) still leaves everything the install step copies.
add_custom_target(quillon_packaging_files ALL DEPENDS ${QUILLON_GZ_FILES})
add_dependencies(quillon-cli quillon_packaging_files)

# Bind every symbol at start, so that the relocations can be made read-only (Debian's hardening).
foreach(program quillon-cli quillon)
  if(TARGET ${program})
    target_link_options(${program} PRIVATE -Wl,-z,relro,-z,now)
  endif()
endforeach()

install(FILES ${QUILLON_GZ_DIR}/quillon-cli.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${QUILLON_PACKAGING_DIR}/bash-completion/quillon-cli DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${QUILLON_PACKAGING_DIR}/debian/copyright ${QUILLON_GZ_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quillon)
if(QUILLON_BUILD_GUI)
  install(FILES ${QUILLON_GZ_DIR}/quillon.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
install(FILES ${QUILLON_PACKAGING_DIR}/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME quillon)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillon)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_VENDOR "Quillon contributors")
set(CPACK_PACKAGE_CONTACT "Quillon maintainers <maintainers@quillon-programmer.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "programmer for Nordic nRF24LE1 and nRF24LU1 chips")
# The extended description; CPack puts the summary above it as the synopsis.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Quillon programs Nordic nRF24LE1 and nRF24LU1 chips through a small USB
HID programmer (04d8:003f): it erases, writes, verifies, read-protects
and resets the chip, reads its flash back and converts Intel HEX to BIN.
.
The package holds the Qt desktop window (quillon), the scriptable
command-line tool (quillon-cli) with a simulated programmer, and a udev
rule that gives the logged-in user access to the programmer.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${QUILLON_PROJECT_URL})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads the SVG reader for the window's icon as a plugin, which dpkg-shlibdeps cannot see;
# without it the window still works, with no icon.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libqt6svg6")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${QUILLON_PACKAGING_DIR}/debian/postinst ${QUILLON_PACKAGING_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
