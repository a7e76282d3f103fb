// The clean-up rules, stated once: what each byte of a field becomes
// under the run's options. The scans only find where the bytes some rule
// acts on lie; the field path (convert/field.cpp) applies this table to
// them, whichever reader found the field.
#pragma once

#include <array>
#include <cstddef>
#include <utility>

#include "common/bits.h"
#include "common/common.h"

// What a byte of a field becomes: a combination of these.
enum : unsigned char {
    RULE_KEEP = 0,
    RULE_SPACE = 1,  // made a space
    RULE_REMOVE = 2,  // taken out, the bytes after it moved down
    RULE_LINE_FEED = 4,  // reported with the line-break option's message
    // Only the field's first such byte is made a space, and the message
    // shows the field as it was before.
    RULE_FIRST_ONLY = 8,
};

// Every byte a rule may act on. The scans look for those a run's rules
// act on and for nothing else. The line ends also end records outside
// quotes, which the splitter's masks hold apart.
inline constexpr unsigned char RULE_BYTES[] = {'|', '\r', '\n'};
inline constexpr std::size_t RULE_BYTE_COUNT = std::size(RULE_BYTES);

struct clean_rules {
    std::array<unsigned char, 256> action {};  // for each byte
    unsigned looked_for = 0;  // bit i set: RULE_BYTES[i] is acted on
    unsigned first_only = 0;  // ...and only the field's first one of them
    bool removes = false;  // some byte is taken out
};

constexpr clean_rules make_clean_rules(int line_break_mode)
{
    clean_rules rules;
    rules.action['|'] = RULE_SPACE | RULE_FIRST_ONLY;
    if (line_break_mode == LINE_BREAKS_TO_SPACE || line_break_mode == LINE_BREAKS_REMOVE) {
        const unsigned char change = line_break_mode == LINE_BREAKS_TO_SPACE ? RULE_SPACE : RULE_REMOVE;
        rules.action['\r'] = change;
        rules.action['\n'] = change | RULE_LINE_FEED;
    }
    for (std::size_t i = 0; i < RULE_BYTE_COUNT; ++i) {
        if (rules.action[RULE_BYTES[i]] != RULE_KEEP)
            rules.looked_for |= 1u << i;
        if ((rules.action[RULE_BYTES[i]] & RULE_FIRST_ONLY) != 0)
            rules.first_only |= 1u << i;
        rules.removes = rules.removes || (rules.action[RULE_BYTES[i]] & RULE_REMOVE) != 0;
    }
    return rules;
}

// The rules of the run's options. Read by the first pass.
inline const clean_rules& run_clean_rules()
{
    static constexpr clean_rules keep = make_clean_rules(LINE_BREAKS_KEEP);
    static constexpr clean_rules to_space = make_clean_rules(LINE_BREAKS_TO_SPACE);
    static constexpr clean_rules remove = make_clean_rules(LINE_BREAKS_REMOVE);
    switch (run_options.line_break_mode) {
    case LINE_BREAKS_TO_SPACE:
        return to_space;
    case LINE_BREAKS_REMOVE:
        return remove;
    default:
        return keep;
    }
}

// The rule bytes that are no line end, as a set of RULE_BYTES' bits: the
// splitter's block mask of marks, which holds line ends apart. A run whose
// looked_for has any other bit acts on line ends.
inline constexpr unsigned MARKED_BYTES = [] {
    unsigned marked = 0;
    for (std::size_t i = 0; i < RULE_BYTE_COUNT; ++i)
        marked |= is_line_end(RULE_BYTES[i]) ? 0 : 1u << i;
    return marked;
}();

// hit(b) for each byte of RULE_BYTES that looked_for selects, joined by
// either(a, b), from none: the scans' one mask of the bytes to clean,
// whatever a unit's register is.
template <typename Reg, typename Hit, typename Either>
[[gnu::always_inline]] inline Reg rule_hits(unsigned looked_for, Reg none, Hit hit, Either either)
{
    Reg hits = none;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((hits = (looked_for >> I) & 1 ? either(hits, hit(RULE_BYTES[I])) : hits), ...);
    }(std::make_index_sequence<RULE_BYTE_COUNT> {});
    return hits;
}

// rule_hits with looked_for known when compiled, so that a scan compares
// only the bytes it looks for.
template <unsigned LookedFor, typename Reg, typename Hit, typename Either>
[[gnu::always_inline]] inline Reg rule_hits(Reg none, Hit hit, Either either)
{
    Reg hits = none;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((hits = [&] {
            if constexpr (((LookedFor >> I) & 1) != 0)
                return either(hits, hit(RULE_BYTES[I]));
            else
                return hits;
        }()),
            ...);
    }(std::make_index_sequence<RULE_BYTE_COUNT> {});
    return hits;
}

// f.template operator()<LookedFor>(), looked_for made a constant: one
// copy of a scan for each choice of the rule bytes.
template <typename F> [[gnu::always_inline]] inline auto with_looked_for(unsigned looked_for, F f)
{
    using result = decltype(f.template operator()<0u>());
    result r {};
    [&]<unsigned... L>(std::integer_sequence<unsigned, L...>) {
        (void)((looked_for == L ? (r = f.template operator()<L>(), true) : false) || ...);
    }(std::make_integer_sequence<unsigned, 1u << RULE_BYTE_COUNT> {});
    return r;
}
