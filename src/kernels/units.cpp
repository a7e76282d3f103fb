// Which units this build carries and this processor runs, and the table in
// use. x86-64 programs carry every x86 unit and ask the processor at run
// time; on 64-bit ARM, NEON is always there.
#include <algorithm>
#include <cstring>
#include <vector>

#include "kernels/units.h"

namespace {

struct unit_entry {
    vector_unit unit;
    const char* name;
    kernel_table (*kernels)();
};

constexpr unit_entry UNITS[] = {
    {vector_unit::portable, "portable", portable_kernels},
#if defined(TROVANEX_NEON)
    {vector_unit::neon, "neon", neon_kernels},
#endif
#if defined(__x86_64__)
    {vector_unit::sse2, "sse2", sse2_kernels},
    {vector_unit::avx2, "avx2", avx2_kernels},
    {vector_unit::avx512, "avx512", avx512_kernels},
#endif
};

bool processor_runs(vector_unit unit)
{
#if defined(__x86_64__)
    // The AVX2 unit's kernels take the bit instructions that came with it
    // too, and AVX-512's are built on AVX2's.
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2")
        && __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("pclmul");
    if (unit == vector_unit::avx512)
        return avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")
            && __builtin_cpu_supports("avx512vbmi2");
    if (unit == vector_unit::avx2)
        return avx2;
#endif
    static_cast<void>(unit);
    return true;
}

const std::vector<vector_unit>& available()
{
    static const std::vector<vector_unit> units = [] {
        std::vector<vector_unit> found;
        for (const unit_entry& entry : UNITS) {
            if (processor_runs(entry.unit))
                found.push_back(entry.unit);
        }
        return found;
    }();
    return units;
}

const unit_entry& entry_of(vector_unit unit)
{
    for (const unit_entry& entry : UNITS) {
        if (entry.unit == unit)
            return entry;
    }
    return UNITS[0];
}

}  // namespace

kernel_table run_kernels = entry_of(best_vector_unit()).kernels();

void use_vector_unit(vector_unit unit)
{
    run_kernels = entry_of(unit).kernels();
}

std::span<const vector_unit> vector_units()
{
    return available();
}

vector_unit best_vector_unit()
{
    return available().back();
}

const char* vector_unit_name(vector_unit unit)
{
    constexpr const char* NAMES[] = {"portable", "sse2", "avx2", "avx512", "neon"};
    return NAMES[static_cast<unsigned>(unit)];
}

bool vector_unit_named(const char* name, vector_unit& unit)
{
    for (unsigned i = 0; i <= static_cast<unsigned>(vector_unit::neon); ++i) {
        const auto named = static_cast<vector_unit>(i);
        if (std::strcmp(name, vector_unit_name(named)) == 0) {
            const auto& units = available();
            unit = std::find(units.begin(), units.end(), named) != units.end() ? named : best_vector_unit();
            return true;
        }
    }
    return false;
}
