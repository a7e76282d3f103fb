# The libraries that read compressed input.
#
# The native Linux build links the machine's own (Debian's libisal-dev,
# libzstd-dev, libbz2-dev, liblzma-dev), and its packages depend on them.
# Every other build (a static program, a Windows one, one for another
# architecture) compiles them into the program from Debian's source
# packages, of the versions pinned here, fetched into the build folder as
# libcsv's is: no library of another architecture need install beside the
# host's, and each download carries the very source of what it links.
# ISA-L's inflate needs an assembler for each architecture, so there gzip
# is read by zlib's; and zstd's decoder goes without its x86-64 assembly.
# The sources never enter the repository.

set(decompressor_libraries "")
set(decompressor_definitions "")

if(NOT WIN32 AND NOT TROVANEX_STATIC AND NOT CMAKE_CROSSCOMPILING)
  foreach(library ISAL:isa-l/igzip_lib.h:isal:libisal-dev ZSTD:zstd.h:zstd:libzstd-dev BZIP2:bzlib.h:bz2:libbz2-dev
                  XZ:lzma.h:lzma:liblzma-dev)
    string(REPLACE ":" ";" parts ${library})
    list(GET parts 0 name)
    list(GET parts 1 header)
    list(GET parts 2 file)
    list(GET parts 3 package)
    find_path(${name}_INCLUDE_DIR ${header})
    find_library(${name}_LIBRARY ${file})
    if(NOT ${name}_INCLUDE_DIR OR NOT ${name}_LIBRARY)
      message(FATAL_ERROR "${header} or lib${file} was not found. On Debian install it with: apt-get install ${package}")
    endif()
    list(APPEND decompressor_libraries ${${name}_LIBRARY})
    list(APPEND decompressor_definitions TROVANEX_WITH_${name})
  endforeach()
  message(STATUS "Compressed input: gzip by ISA-L, zstd, bzip2 and xz by the machine's libraries")
  return()
endif()

set(decompressor_sources zlib=1:1.2.13.dfsg-1 libzstd=1.5.4+dfsg2-5 bzip2=1.0.8-5 xz-utils=5.4.1-1+deb12u2)
set(source ${CMAKE_BINARY_DIR}/decompressor-source)
if(NOT EXISTS ${source}/fetched)
  execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/fetch-debian-source ${source} ${decompressor_sources}
                  RESULT_VARIABLE fetched OUTPUT_QUIET)
  if(NOT fetched EQUAL 0)
    message(FATAL_ERROR "could not obtain Debian's source packages ${decompressor_sources}")
  endif()
  file(WRITE ${source}/fetched "${decompressor_sources}\n")
endif()

# zlib's inflate, for gzip.
add_library(trovanex_zlib STATIC
  ${source}/zlib/adler32.c ${source}/zlib/crc32.c ${source}/zlib/inffast.c ${source}/zlib/inflate.c
  ${source}/zlib/inftrees.c ${source}/zlib/zutil.c)
target_include_directories(trovanex_zlib PUBLIC ${source}/zlib)

# zstd's decoder.
file(GLOB zstd_common ${source}/libzstd/lib/common/*.c)
add_library(trovanex_zstd STATIC ${zstd_common} ${source}/libzstd/lib/decompress/huf_decompress.c
  ${source}/libzstd/lib/decompress/zstd_ddict.c ${source}/libzstd/lib/decompress/zstd_decompress.c
  ${source}/libzstd/lib/decompress/zstd_decompress_block.c)
target_include_directories(trovanex_zstd PUBLIC ${source}/libzstd/lib)
target_compile_definitions(trovanex_zstd PRIVATE ZSTD_DISABLE_ASM)

# bzip2.
add_library(trovanex_bzip2 STATIC
  ${source}/bzip2/blocksort.c ${source}/bzip2/huffman.c ${source}/bzip2/crctable.c ${source}/bzip2/randtable.c
  ${source}/bzip2/compress.c ${source}/bzip2/decompress.c ${source}/bzip2/bzlib.c)
target_include_directories(trovanex_bzip2 PUBLIC ${source}/bzip2)

foreach(library trovanex_zlib trovanex_zstd trovanex_bzip2)
  set_target_properties(${library} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  target_compile_options(${library} PRIVATE -w)  # not our code
endforeach()

# liblzma's decoder, for xz: the .xz stream, its checks and its filters,
# compiled here with the definitions its own build would give them, which
# spares each build that build's configure step. Threads, encoders and
# the other containers are left out.
set(lzma ${source}/xz-utils/src/liblzma)
add_library(trovanex_lzma STATIC
  ${lzma}/common/common.c ${lzma}/common/stream_decoder.c ${lzma}/common/block_decoder.c
  ${lzma}/common/block_header_decoder.c ${lzma}/common/block_util.c ${lzma}/common/filter_common.c
  ${lzma}/common/filter_decoder.c ${lzma}/common/filter_flags_decoder.c ${lzma}/common/index_hash.c
  ${lzma}/common/stream_flags_common.c ${lzma}/common/stream_flags_decoder.c ${lzma}/common/vli_decoder.c
  ${lzma}/common/vli_size.c ${lzma}/check/check.c ${lzma}/check/crc32_fast.c ${lzma}/check/crc32_table.c
  ${lzma}/check/crc64_fast.c ${lzma}/check/crc64_table.c ${lzma}/check/sha256.c ${lzma}/lz/lz_decoder.c
  ${lzma}/lzma/lzma_decoder.c ${lzma}/lzma/lzma2_decoder.c ${lzma}/delta/delta_common.c
  ${lzma}/delta/delta_decoder.c ${lzma}/simple/simple_coder.c ${lzma}/simple/simple_decoder.c
  ${lzma}/simple/x86.c ${lzma}/simple/arm.c ${lzma}/simple/armthumb.c ${lzma}/simple/arm64.c
  ${lzma}/simple/ia64.c ${lzma}/simple/powerpc.c ${lzma}/simple/sparc.c)
target_include_directories(trovanex_lzma PRIVATE ${source}/xz-utils/src/common ${lzma}/common ${lzma}/check
  ${lzma}/lz ${lzma}/rangecoder ${lzma}/lzma ${lzma}/delta ${lzma}/simple)
target_include_directories(trovanex_lzma PUBLIC ${lzma}/api)
set_target_properties(trovanex_lzma PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_compile_options(trovanex_lzma PRIVATE -w)  # not our code
target_compile_definitions(trovanex_lzma PUBLIC LZMA_API_STATIC PRIVATE
  HAVE_CHECK_CRC32 HAVE_CHECK_CRC64 HAVE_CHECK_SHA256 HAVE_DECODERS HAVE_DECODER_LZMA1 HAVE_DECODER_LZMA2
  HAVE_DECODER_DELTA HAVE_DECODER_X86 HAVE_DECODER_ARM HAVE_DECODER_ARMTHUMB HAVE_DECODER_ARM64
  HAVE_DECODER_IA64 HAVE_DECODER_POWERPC HAVE_DECODER_SPARC HAVE_STDBOOL_H HAVE__BOOL HAVE_STDINT_H
  HAVE_INTTYPES_H TUKLIB_SYMBOL_PREFIX=lzma_)
# The checks' tables are chosen by byte order: s390x is big-endian.
if(CMAKE_C_BYTE_ORDER STREQUAL "BIG_ENDIAN")
  target_compile_definitions(trovanex_lzma PRIVATE WORDS_BIGENDIAN)
elseif(NOT CMAKE_C_BYTE_ORDER STREQUAL "LITTLE_ENDIAN")
  message(FATAL_ERROR "the byte order of ${CMAKE_SYSTEM_PROCESSOR} is not known; liblzma's checks need it")
endif()
# As liblzma's own build does where unaligned loads are cheap.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|aarch64|s390x)$")
  target_compile_definitions(trovanex_lzma PRIVATE TUKLIB_FAST_UNALIGNED_ACCESS)
endif()

set(decompressor_libraries trovanex_zlib trovanex_zstd trovanex_bzip2 trovanex_lzma)
set(decompressor_definitions TROVANEX_WITH_ZLIB TROVANEX_WITH_ZSTD TROVANEX_WITH_BZIP2 TROVANEX_WITH_XZ)
set(DECOMPRESSORS_BUILT_IN TRUE)

# A program that carries the libraries carries their licences: each source
# package's copyright file, in one text.
set(licences "The decompressors linked into this program, each with its licence, as Debian's source package of it gives it.\n")
foreach(package IN ITEMS zlib libzstd bzip2 xz-utils)
  file(READ ${source}/${package}/debian/copyright text)
  string(APPEND licences "\n==== ${package} ====\n\n${text}")
endforeach()
file(WRITE ${CMAKE_BINARY_DIR}/decompressors-LICENSES.txt "${licences}")
message(STATUS "Compressed input: gzip by zlib, zstd, bzip2 and xz, built from ${decompressor_sources}")
