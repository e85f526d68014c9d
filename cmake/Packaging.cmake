# What `cmake --install` puts beside the programs, and the Debian package made from it:
#   cmake --build build --target package   ->   build/tagris_<version>_amd64.deb
# Every program installs itself (install(TARGETS ...) in its own folder); what is installed
# goes into the package, so a new program needs nothing here but its man page in docs/man.

# The simulator's folder builds it for the tests too; installing it is decided here.
if(TARGET tagris-unit-sim)
  install(TARGETS tagris-unit-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# Man pages: every docs/man/<name>.<section> there is, compressed as Debian wants
# (gzip -n: no name or time stamp inside, so the same page gives the same bytes).
find_program(TAGRIS_GZIP gzip REQUIRED)
file(GLOB tagris_man_pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/*.[1-8])
set(tagris_man_outputs "")
foreach(page IN LISTS tagris_man_pages)
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE "^.*\\.([1-8])$" "\\1" section ${name})
  set(out ${PROJECT_BINARY_DIR}/man/${name}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${TAGRIS_GZIP} -9 -n -c ${page} > ${out}
    DEPENDS ${page} VERBATIM)
  list(APPEND tagris_man_outputs ${out})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(tagris_man_pages ALL DEPENDS ${tagris_man_outputs})

# Debian's changelog for a package built from this tree: one entry for this version.
set(TAGRIS_PACKAGE_MAINTAINER "tagris developers <maintainers@tagris.invalid>"
  CACHE STRING "Maintainer field of the Debian package")
string(TIMESTAMP tagris_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${PROJECT_BINARY_DIR}/packaging/changelog
  "tagris (${PROJECT_VERSION}) stable; urgency=medium\n\n"
  "  * Release ${PROJECT_VERSION}.\n\n"
  " -- ${TAGRIS_PACKAGE_MAINTAINER}  ${tagris_changelog_date}\n")
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.gz
  COMMAND ${TAGRIS_GZIP} -9 -n -c ${PROJECT_BINARY_DIR}/packaging/changelog > ${PROJECT_BINARY_DIR}/packaging/changelog.gz
  DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog VERBATIM)
add_custom_target(tagris_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tagris)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "tagris developers")
set(CPACK_PACKAGE_CONTACT "${TAGRIS_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service tool for the Tagris oil moisture meter")
# Paragraphs of plain lines; CPack indents them and puts the summary first.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"A desktop window that talks Modbus RTU over a serial line to the meter as the
only master: it polls the unit's registers once per second, shows moisture,
temperatures, the medium, diagnostics and the channels' settings, and writes
the unit's settings.

Also holds tagris-unit-sim, a simulated unit on a pseudo-terminal, for trying
the tool without hardware.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # tagris_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads its platform plugins at run time, so dpkg-shlibdeps cannot see them. The X11
# one comes with libqt6gui6 (a library the program links); Wayland's is a package of its own.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-wayland")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
