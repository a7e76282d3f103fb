// What each vector unit is: one descriptor, the single source of its name
// (as --version lists it and TROVANEX_VECTOR takes it), of whether this
// processor runs it, and of its table of kernels. Each unit's file defines
// its own; a unit's table is built from a narrower unit's, with the
// kernels this one does better put in their place.
#pragma once

#include "kernels/kernels.h"

struct unit_descriptor {
    vector_unit unit;
    const char* name;
    bool (*runs_here)();
    kernel_table (*kernels)();
};

// The narrower unit's table with the kernels own has (those not null) in
// their place, and own's unit.
kernel_table overlaid(kernel_table narrower, const kernel_table& own);

// runs_here and kernels are null where this build does not carry the unit.
#define TROVANEX_UNIT_DESCRIPTOR(name) extern const unit_descriptor name##_unit;
TROVANEX_VECTOR_UNITS(TROVANEX_UNIT_DESCRIPTOR)
#undef TROVANEX_UNIT_DESCRIPTOR

// A descriptor for a unit this build does not carry.
#define TROVANEX_NOT_CARRIED(name) const unit_descriptor name##_unit = {vector_unit::name, #name, nullptr, nullptr};

#if defined(__x86_64__)
// The processor features of the x86 units' kernels, as gnu::target takes
// them: each unit's functions are compiled for its list, and run only where
// the processor has all of it. SSE2's gathering needs SSSE3, which all but
// the oldest x86-64 processors have; the AVX2 unit's kernels take the bit
// instructions that came with AVX2 too; AVX-512's are built on AVX2's.
#define TROVANEX_SSSE3 "ssse3"
#define TROVANEX_AVX2 "avx2,bmi,bmi2,popcnt,pclmul"
#define TROVANEX_AVX512 "avx512f,avx512bw,avx512vbmi2,bmi,bmi2,popcnt"

// Whether the processor has every feature of such a list.
bool processor_has(const char* features);
#endif
