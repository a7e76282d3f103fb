// Which units this build carries and this processor runs, and the table in
// use. x86-64 programs carry every x86 unit and ask the processor at run
// time; on 64-bit ARM, NEON is always there.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "kernels/units.h"

namespace {

// Narrowest first: the reference, then each wider unit.
#define TROVANEX_UNIT_ADDRESS(name) &name##_unit,
constexpr const unit_descriptor* UNITS[] = {TROVANEX_VECTOR_UNITS(TROVANEX_UNIT_ADDRESS)};
#undef TROVANEX_UNIT_ADDRESS
constexpr std::size_t UNIT_COUNT = sizeof UNITS / sizeof UNITS[0];

// The units this processor runs, found once; no memory is taken for them,
// as this runs before the program starts.
struct runnable {
    vector_unit units[UNIT_COUNT];
    std::size_t count = 0;
};

const runnable& available()
{
    static const runnable found = [] {
        runnable r;
        for (const unit_descriptor* unit : UNITS) {
            if (unit->runs_here != nullptr && unit->runs_here())
                r.units[r.count++] = unit->unit;
        }
        return r;
    }();
    return found;
}

const unit_descriptor& descriptor_of(vector_unit unit)
{
    for (const unit_descriptor* descriptor : UNITS) {
        if (descriptor->unit == unit)
            return *descriptor;
    }
    return portable_unit;
}

}  // namespace

#if defined(__x86_64__)
bool processor_has(const char* features)
{
    __builtin_cpu_init();
    // __builtin_cpu_supports takes only a literal name.
    const struct {
        std::string_view name;
        bool present;
    } known[] = {
        {"ssse3", __builtin_cpu_supports("ssse3") != 0},
        {"popcnt", __builtin_cpu_supports("popcnt") != 0},
        {"avx2", __builtin_cpu_supports("avx2") != 0},
        {"bmi", __builtin_cpu_supports("bmi") != 0},
        {"bmi2", __builtin_cpu_supports("bmi2") != 0},
        {"pclmul", __builtin_cpu_supports("pclmul") != 0},
        {"avx512f", __builtin_cpu_supports("avx512f") != 0},
        {"avx512bw", __builtin_cpu_supports("avx512bw") != 0},
        {"avx512vbmi2", __builtin_cpu_supports("avx512vbmi2") != 0},
    };
    std::string_view rest = features;
    while (!rest.empty()) {
        const std::size_t comma = std::min(rest.find(','), rest.size());
        const std::string_view name = rest.substr(0, comma);
        const auto* const entry
            = std::find_if(std::begin(known), std::end(known), [&](const auto& k) { return k.name == name; });
        if (entry == std::end(known) || !entry->present)
            return false;
        rest.remove_prefix(std::min(comma + 1, rest.size()));
    }
    return true;
}
#endif

kernel_table overlaid(kernel_table narrower, const kernel_table& own)
{
    const auto take = [](auto& kernel, auto replacement) {
        if (replacement != nullptr)
            kernel = replacement;
    };
    narrower.unit = own.unit;
    take(narrower.scan_block, own.scan_block);
    take(narrower.find_field_ends, own.find_field_ends);
    take(narrower.copy_record, own.copy_record);
    take(narrower.finish_words, own.finish_words);
    take(narrower.field_holds, own.field_holds);
    take(narrower.find_rule_bytes, own.find_rule_bytes);
    take(narrower.utf16_to_utf8, own.utf16_to_utf8);
    take(narrower.utf8_to_utf16, own.utf8_to_utf16);
    return narrower;
}

kernel_table run_kernels = descriptor_of(best_vector_unit()).kernels();

void use_vector_unit(vector_unit unit)
{
    run_kernels = descriptor_of(unit).kernels();
}

std::span<const vector_unit> vector_units()
{
    return {available().units, available().count};
}

vector_unit best_vector_unit()
{
    return available().units[available().count - 1];
}

const char* vector_unit_name(vector_unit unit)
{
    return descriptor_of(unit).name;
}

bool vector_unit_named(const char* name, vector_unit& unit)
{
    for (const unit_descriptor* descriptor : UNITS) {
        const std::span<const vector_unit> units = vector_units();
        if (std::strcmp(name, descriptor->name) == 0
            && std::find(units.begin(), units.end(), descriptor->unit) != units.end()) {
            unit = descriptor->unit;
            return true;
        }
    }
    return false;
}
