// Which vector instructions the byte scans use. One program carries them
// all and takes the widest the processor runs, chosen once; a setting may
// force a narrower one. The byte-by-byte reading is the reference the
// others are checked against.
#pragma once

enum class vector_unit : unsigned char {
    portable,  // a byte at a time, and a field at a time: any processor
    sse2,  // 16 bytes: every x86-64
    avx2,  // 32 bytes, and byte shuffles
    avx512,  // 64 bytes: AVX-512 BW and VBMI2, whose byte compression the finishing pass uses
};

// The widest unit this processor and its system run, found on first call.
vector_unit best_vector_unit();

// The unit named "portable", "sse2", "avx2" or "avx512", but no wider than
// best_vector_unit(); false, and unit unchanged, for any other name.
bool vector_unit_named(const char* name, vector_unit& unit);

const char* vector_unit_name(vector_unit unit);
