# What is installed, and the downloads CPack makes of it: on Linux a Debian
# package and an RPM; for Windows a zip of one folder. The static Linux
# program installs as one folder too, which scripts/release packs with tar.

include(GNUInstallDirs)
configure_file(doc/trovanex.1 ${CMAKE_CURRENT_BINARY_DIR}/trovanex.1 @ONLY)

set(CPACK_PACKAGE_NAME trovanex)
set(CPACK_PACKAGE_VENDOR "trovanex")
set(CPACK_PACKAGE_CONTACT "trovanex maintainers <maintainers@trovanex.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "convert CSV files into pipe-delimited lines with CR LF line ends")
set(CPACK_PACKAGE_DESCRIPTION
  "trovanex reads a comma-separated values file and writes one line per
record, the fields separated by '|' and each line ended by CR LF, for
loaders that read pipe-delimited text. Line breaks inside quoted fields
can be turned into spaces (-r) or removed (-R); a stray '|' inside a field
is replaced so it cannot split the field. Every change is reported with
its record number, and the exit status tells a script what happened.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/cpack-times.cmake)

if(WIN32 OR TROVANEX_STATIC)
  # One folder: the program, its README, licence and manual, and libcsv's
  # licence and notice, and the decompressors' licences, since the program
  # has them linked in.
  install(TARGETS trovanex RUNTIME DESTINATION .)
  install(FILES ${LIBCSV_SOURCE_DIR}/COPYING.LESSER DESTINATION . RENAME libcsv-LICENSE.txt)
  install(FILES ${CMAKE_BINARY_DIR}/libcsv-notice.txt ${CMAKE_BINARY_DIR}/decompressors-LICENSES.txt DESTINATION .)
  if(TROVANEX_STATIC)
    add_custom_target(manual ALL)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/trovanex.1 README.md LICENSE DESTINATION .)
    return()
  endif()
  # On Windows the texts as Windows opens them, the manual as HTML.
  find_program(MANDOC mandoc REQUIRED)
  add_custom_command(
    OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/trovanex.html
    COMMAND ${MANDOC} -Thtml ${CMAKE_CURRENT_BINARY_DIR}/trovanex.1 > ${CMAKE_CURRENT_BINARY_DIR}/trovanex.html
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/trovanex.1
    VERBATIM)
  add_custom_target(manual ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/trovanex.html)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/trovanex.html DESTINATION .)
  install(FILES README.md DESTINATION . RENAME README.txt)
  install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME trovanex-${PROJECT_VERSION}-win64)
  include(CPack)
  return()
endif()

# The program and its manual page, under any prefix.
add_custom_command(
  OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/trovanex.1.gz
  COMMAND gzip -9nc ${CMAKE_CURRENT_BINARY_DIR}/trovanex.1 > ${CMAKE_CURRENT_BINARY_DIR}/trovanex.1.gz
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/trovanex.1
  VERBATIM)
add_custom_target(manual ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/trovanex.1.gz)
install(TARGETS trovanex RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/trovanex.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)

# The licence and the change log (from CHANGELOG.md) in Debian's formats,
# where Debian keeps a package's documents (component debian); the licence
# where Red Hat's systems keep it (component rpm).
include(cmake/changelogs.cmake)
add_custom_command(
  OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
  COMMAND gzip -9nc ${CMAKE_CURRENT_BINARY_DIR}/changelog > ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog
  VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
install(FILES packaging/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/trovanex COMPONENT debian)
# A package for another architecture has the decompressors built in (their
# libraries of that architecture need not install beside the host's): it
# says so to lintian, and carries their licences beside its own.
set(lintian_overrides ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides)
if(DECOMPRESSORS_BUILT_IN)
  file(READ ${lintian_overrides} overrides)
  string(APPEND overrides "# zlib and bzip2, built into a program for another architecture from Debian's\n"
                          "# source packages; their licences are in decompressors-LICENSES.txt.\n"
                          "trovanex: embedded-library bzip2 [usr/bin/trovanex]\n"
                          "trovanex: embedded-library zlib [usr/bin/trovanex]\n")
  set(lintian_overrides ${CMAKE_CURRENT_BINARY_DIR}/lintian-overrides)
  file(WRITE ${lintian_overrides} "${overrides}")
  install(FILES ${CMAKE_BINARY_DIR}/decompressors-LICENSES.txt DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/trovanex
          COMPONENT debian)
  install(FILES ${CMAKE_BINARY_DIR}/decompressors-LICENSES.txt DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/licenses/trovanex
          COMPONENT rpm)
endif()
install(FILES ${lintian_overrides} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME trovanex COMPONENT debian)
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/licenses/trovanex COMPONENT rpm)

# Each package takes the program and its own documents; the choice is made
# when cpack runs, by generator.
configure_file(packaging/cpack-components.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/cpack-components.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/cpack-components.cmake)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# A cross build's packages are for the architecture built for, in each
# format's own name for it.
if(CMAKE_CROSSCOMPILING AND TROVANEX_DEBIAN_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TROVANEX_DEBIAN_ARCH})
  set(CPACK_RPM_PACKAGE_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
endif()

# The Debian package, its dependencies read off the binary by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

# The RPM, its dependencies read off the binary by rpmbuild. The macros keep
# the build's host and time out of it, for the same bytes from every build.
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_SUMMARY "Convert CSV files into pipe-delimited lines with CR LF line ends")
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_RPM_PACKAGE_LICENSE "MIT")
set(CPACK_RPM_PACKAGE_GROUP "Applications/Text")
set(CPACK_RPM_PACKAGE_AUTOREQPROV ON)
set(CPACK_RPM_CHANGELOG_FILE ${CMAKE_CURRENT_BINARY_DIR}/rpm-changelog)
set(CPACK_RPM_USER_FILELIST "%license /usr/${CMAKE_INSTALL_DATAROOTDIR}/licenses/trovanex/LICENSE")
if(DECOMPRESSORS_BUILT_IN)
  list(APPEND CPACK_RPM_USER_FILELIST
       "%license /usr/${CMAKE_INSTALL_DATAROOTDIR}/licenses/trovanex/decompressors-LICENSES.txt")
endif()
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
  /usr/${CMAKE_INSTALL_MANDIR} /usr/${CMAKE_INSTALL_MANDIR}/man1 /usr/${CMAKE_INSTALL_DATAROOTDIR}/licenses)
# CPack strips the program already; rpmbuild's own clean-up scripts expect
# bash where Debian's /bin/sh is dash.
set(CPACK_RPM_SPEC_MORE_DEFINE
  "%define packager ${CPACK_PACKAGE_CONTACT}
%define _buildhost reproducible
%define use_source_date_epoch_as_buildtime 1
%define clamp_mtime_to_source_date_epoch 1
%define _build_id_links none
%define __os_install_post %{nil}")
include(CPack)
