# Where libcsv comes from, and how the program is linked.
#
# A normal Linux build links the machine's libcsv (Debian's libcsv-dev).
# Debian has no Windows build of libcsv, and a static Linux program is to
# carry libcsv's exact source and licence: for both, Debian's own source
# package, of exactly the version the machine's libcsv-dev has, is fetched
# into the build folder and compiled as a static library. The source never
# enters the repository.

if(WIN32 OR TROVANEX_STATIC)
  set(LIBCSV_DEBIAN_VERSION "3.0.3+dfsg-6")
  # The libcsv-dev of the architecture built for: a multiarch host may
  # have several, and an unqualified query prints all their versions run
  # together. Windows programs take the build host's.
  if(NOT TROVANEX_DEBIAN_ARCH)
    execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE TROVANEX_DEBIAN_ARCH
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  execute_process(COMMAND dpkg-query -W -f=\${Version} libcsv-dev:${TROVANEX_DEBIAN_ARCH}
                  OUTPUT_VARIABLE installed_libcsv RESULT_VARIABLE queried ERROR_QUIET)
  if(NOT queried EQUAL 0 OR NOT installed_libcsv STREQUAL LIBCSV_DEBIAN_VERSION)
    message(FATAL_ERROR "libcsv-dev:${TROVANEX_DEBIAN_ARCH} is '${installed_libcsv}', but the build from source is pinned to "
                        "${LIBCSV_DEBIAN_VERSION}; update LIBCSV_DEBIAN_VERSION after checking the new version")
  endif()
  set(LIBCSV_SOURCE_DIR ${CMAKE_BINARY_DIR}/libcsv-source/libcsv)
  if(NOT EXISTS ${LIBCSV_SOURCE_DIR}/libcsv.c)
    execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/fetch-debian-source ${CMAKE_BINARY_DIR}/libcsv-source
                            libcsv=${LIBCSV_DEBIAN_VERSION}
                    RESULT_VARIABLE fetched OUTPUT_QUIET)
    if(NOT fetched EQUAL 0)
      message(FATAL_ERROR "could not obtain Debian's source package of libcsv ${LIBCSV_DEBIAN_VERSION}")
    endif()
  endif()
  add_library(csv STATIC ${LIBCSV_SOURCE_DIR}/libcsv.c)
  target_compile_options(csv PRIVATE -w)  # not our code
  set(CSV_INCLUDE_DIR ${LIBCSV_SOURCE_DIR})
  set(CSV_LIBRARY csv)
  # libcsv's licence and its own notice, for the downloads that carry it.
  file(READ ${LIBCSV_SOURCE_DIR}/libcsv.c libcsv_source LIMIT 4096)
  string(REGEX MATCH "/\\*[^*]*\\*/" libcsv_notice "${libcsv_source}")
  string(REGEX REPLACE "^/\\*\n?|\n?\\*/$" "" libcsv_notice "${libcsv_notice}")
  if(WIN32)
    set(LIBCSV_CARRIER trovanex.exe)
  else()
    set(LIBCSV_CARRIER trovanex)
  endif()
  configure_file(packaging/libcsv-notice.txt ${CMAKE_BINARY_DIR}/libcsv-notice.txt @ONLY)
else()
  # libcsv ships no pkg-config file, so look for the header and library directly.
  find_path(CSV_INCLUDE_DIR csv.h)
  find_library(CSV_LIBRARY csv)
  if(NOT CSV_INCLUDE_DIR OR NOT CSV_LIBRARY)
    message(FATAL_ERROR
      "libcsv was not found (header csv.h, library csv). "
      "On Debian install it with: apt-get install libcsv-dev")
  endif()
endif()

if(WIN32)
  # Statically linked, trovanex.exe needs only the system's own DLLs. No
  # link time in its header, so that every build gives the same bytes.
  add_link_options(-static -Wl,--no-insert-timestamp)
  # Short copies of a length known only at run time inline, rather than
  # calls to msvcrt.dll's memcpy, which cost a fifth of the first pass under
  # Wine; long ones still call it.
  add_compile_options(-minline-stringops-dynamically)
elseif(TROVANEX_STATIC)
  # Position-independent still, so that the system can place it anywhere,
  # where the C library can start such a program (its rcrt1.o); Debian's
  # s390x one cannot, and its program is static at a fixed place.
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=rcrt1.o OUTPUT_VARIABLE rcrt1
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(IS_ABSOLUTE "${rcrt1}")
    add_compile_options(-fPIE)
    add_link_options(-static-pie)
  else()
    add_link_options(-static)
  endif()
endif()
