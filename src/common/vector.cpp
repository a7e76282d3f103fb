#include "common/vector.h"

#include <cstring>

namespace {

vector_unit detect()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")
        && __builtin_cpu_supports("avx512vbmi2"))
        return vector_unit::avx512;
    if (__builtin_cpu_supports("avx2"))
        return vector_unit::avx2;
    if (__builtin_cpu_supports("sse2"))
        return vector_unit::sse2;
#endif
    return vector_unit::portable;
}

constexpr const char* NAMES[] = {"portable", "sse2", "avx2", "avx512"};

}  // namespace

vector_unit best_vector_unit()
{
    static const vector_unit best = detect();
    return best;
}

bool vector_unit_named(const char* name, vector_unit& unit)
{
    for (unsigned i = 0; i < sizeof NAMES / sizeof NAMES[0]; ++i) {
        if (std::strcmp(name, NAMES[i]) == 0) {
            const auto named = static_cast<vector_unit>(i);
            unit = named < best_vector_unit() ? named : best_vector_unit();
            return true;
        }
    }
    return false;
}

const char* vector_unit_name(vector_unit unit)
{
    return NAMES[static_cast<unsigned>(unit)];
}
