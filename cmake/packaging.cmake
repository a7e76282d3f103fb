# What is installed, and the downloads CPack makes of it: on Linux a Debian
# package; for Windows a zip of one folder.

include(GNUInstallDirs)
configure_file(doc/trovanex.1 ${CMAKE_CURRENT_BINARY_DIR}/trovanex.1 @ONLY)

set(CPACK_PACKAGE_NAME trovanex)
set(CPACK_PACKAGE_VENDOR "trovanex")
set(CPACK_PACKAGE_CONTACT "trovanex maintainers <maintainers@trovanex.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "convert CSV files into pipe-delimited lines with CR LF line ends")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # The zip: the program, its README, licence and manual as Windows opens
  # them, and libcsv's licence and copyright notice, since the program has
  # libcsv linked in.
  find_program(MANDOC mandoc REQUIRED)
  add_custom_command(
    OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/trovanex.html
    COMMAND ${MANDOC} -Thtml ${CMAKE_CURRENT_BINARY_DIR}/trovanex.1 > ${CMAKE_CURRENT_BINARY_DIR}/trovanex.html
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/trovanex.1
    VERBATIM)
  add_custom_target(manual ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/trovanex.html)
  file(READ ${LIBCSV_SOURCE_DIR}/libcsv.c libcsv_source LIMIT 4096)
  string(REGEX MATCH "/\\*[^*]*\\*/" libcsv_notice "${libcsv_source}")
  string(REGEX REPLACE "^/\\*\n?|\n?\\*/$" "" libcsv_notice "${libcsv_notice}")
  configure_file(packaging/libcsv-notice.txt ${CMAKE_CURRENT_BINARY_DIR}/libcsv-notice.txt @ONLY)
  install(TARGETS trovanex RUNTIME DESTINATION .)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/trovanex.html ${CMAKE_CURRENT_BINARY_DIR}/libcsv-notice.txt
          DESTINATION .)
  install(FILES README.md DESTINATION . RENAME README.txt)
  install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
  install(FILES ${LIBCSV_SOURCE_DIR}/COPYING.LESSER DESTINATION . RENAME libcsv-LICENSE.txt)
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
install(TARGETS trovanex RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/trovanex.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The licence and the change log, in Debian's formats, where Debian keeps a
# package's documents.
configure_file(packaging/changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
  COMMAND gzip -9nc ${CMAKE_CURRENT_BINARY_DIR}/changelog > ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog
  VERBATIM)
add_custom_target(changelog ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
install(FILES packaging/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/trovanex)
install(FILES packaging/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME trovanex)

# A Debian package, its dependencies read off the binary by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_DESCRIPTION
  "trovanex reads a comma-separated values file and writes one line per
record, the fields separated by '|' and each line ended by CR LF, for
loaders that read pipe-delimited text. Line breaks inside quoted fields
can be turned into spaces (-r) or removed (-R); a stray '|' inside a field
is replaced so it cannot split the field. Every change is reported with
its record number, and the exit status tells a script what happened.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
