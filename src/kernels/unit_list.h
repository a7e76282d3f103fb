// Every vector unit, narrowest first: X(name). Each has the file
// kernels/name.cpp, which defines name_unit (kernels/units.h); a build that
// does not carry the unit compiles that file to a descriptor without
// kernels. A new unit is its file and its line here.
//   portable  a byte or a word at a time, and a field at a time: any processor
//   neon      16 bytes: every 64-bit ARM
//   sse2      16 bytes: every x86-64
//   avx2      32 bytes, and byte shuffles
//   avx512    64 bytes: AVX-512 BW and VBMI2, whose byte compression the
//             finishing pass uses
#pragma once

#define TROVANEX_VECTOR_UNITS(X) \
    X(portable)                  \
    X(neon)                      \
    X(sse2)                      \
    X(avx2)                      \
    X(avx512)
