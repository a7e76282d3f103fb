// The splitter's scan: for each 64 bytes, a word with a bit for every byte
// that can end an unquoted field or show that it is not plain: a double
// quote, a comma, a CR or an LF.
#pragma once

#include <cstddef>
#include <cstdint>

// Scans words * 64 bytes (all readable) into stops[0, words). Bit i of
// word w stands for byte 64 * w + i.
void scan_stops(const unsigned char* bytes, std::size_t words, std::uint64_t* stops, bool portable);

bool scan_has_sse2();
