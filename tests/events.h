// Fields and record ends as libcsv alone delivers them and as the record
// splitter does (its pieces of a long field gathered), written down as one
// string each ('F', the length, ':', the
// bytes; 'R' and the terminator), so that equal strings mean equal
// readings. The fuzz target and the unit tests compare the two.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "split/split.h"

struct reading_events {
    std::string text;
    std::int64_t records = 0;
    bool unclosed = false;  // the input ended inside a quoted field
    split_report report {};  // the splitter's, where it read
    // A field handed on in pieces, gathered until its end; the longest
    // field or piece handed on at once, which the splitter's memory bound
    // caps.
    std::string pieces;
    std::string pending;
    std::size_t longest = 0;
    bool mark_line_breaks = false;  // stretches must mark line ends inside quotes
};

// libcsv with options 0, given the input in one call (most_piece 0) or in
// pieces of 1 to most_piece bytes, chosen from seed.
reading_events libcsv_events(std::string_view csv, std::size_t most_piece = 0, std::uint32_t seed = 1);

// The splitter with the given settings, its reads 1 to most_read bytes
// long, chosen from seed. Every field is changed in place once noted, as
// the program's own callback may. With stretches, plain records come as
// stretches, read back here into fields and checked.
reading_events split_events(std::string_view csv, const split_settings& settings, std::size_t most_read = 97,
    std::uint32_t seed = 1, bool stretches = false);
