# The libraries that read compressed input, and which of them a build has.
#
# A normal Linux build links the machine's own (Debian's libisal-dev,
# zlib1g-dev, libzstd-dev, libbz2-dev, liblzma-dev), and its packages
# depend on them. A static program links Debian's static libraries of the
# same packages; ISA-L has none, so gzip is read there by zlib. Windows has
# Debian's zlib for mingw-w64 (libz-mingw-w64-dev) alone. A format whose
# library a build lacks is refused with a message that says so.

set(decompressor_libraries "")
set(decompressor_definitions "")
set(ISAL_FOUND FALSE)
set(ZSTD_FOUND FALSE)
set(BZIP2_FOUND FALSE)
set(XZ_FOUND FALSE)

# find_library of a static library where the program is linked statically.
function(find_decompressor variable header)
  set(names ${ARGN})
  if(WIN32 OR TROVANEX_STATIC)
    list(TRANSFORM names PREPEND "lib")
    list(TRANSFORM names APPEND ".a")
  endif()
  find_path(${variable}_INCLUDE_DIR ${header})
  find_library(${variable}_LIBRARY NAMES ${names})
  if(${variable}_INCLUDE_DIR AND ${variable}_LIBRARY)
    set(${variable}_FOUND TRUE PARENT_SCOPE)
  else()
    set(${variable}_FOUND FALSE PARENT_SCOPE)
  endif()
endfunction()

if(NOT WIN32 AND NOT TROVANEX_STATIC)
  find_decompressor(ISAL isa-l/igzip_lib.h isal)
endif()
find_decompressor(ZLIB zlib.h z)
if(NOT WIN32)
  find_decompressor(ZSTD zstd.h zstd)
  find_decompressor(BZIP2 bzlib.h bz2)
  find_decompressor(XZ lzma.h lzma)
endif()

if(ISAL_FOUND)
  list(APPEND decompressor_libraries ${ISAL_LIBRARY})
  list(APPEND decompressor_definitions TROVANEX_WITH_ISAL)
  set(gzip_reader "ISA-L")
elseif(ZLIB_FOUND)
  list(APPEND decompressor_libraries ${ZLIB_LIBRARY})
  list(APPEND decompressor_definitions TROVANEX_WITH_ZLIB)
  set(gzip_reader "zlib")
else()
  set(gzip_reader "none")
endif()
foreach(format ZSTD BZIP2 XZ)
  if(${format}_FOUND)
    list(APPEND decompressor_libraries ${${format}_LIBRARY})
    list(APPEND decompressor_definitions TROVANEX_WITH_${format})
  endif()
endforeach()
message(STATUS "Compressed input: gzip read by ${gzip_reader}; zstd ${ZSTD_FOUND}, bzip2 ${BZIP2_FOUND}, xz ${XZ_FOUND}")
