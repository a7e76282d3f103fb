// The loops over bytes whose fastest form depends on the processor: every
// vector unit has a file of its own here with all of them, and one table
// of functions. The table of the chosen unit is filled once, at start-up;
// the splitter, both passes, clean-up and UTF-16 call through it and hold
// no instruction-set code of their own. portable is plain C++, runs on any
// processor, and is the reference every other unit is checked against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "kernels/unit_list.h"

// What each unit is: kernels/unit_list.h, and each unit's own file.
#define TROVANEX_UNIT_ENUMERATOR(name) name,
enum class vector_unit : unsigned char { TROVANEX_VECTOR_UNITS(TROVANEX_UNIT_ENUMERATOR) };
#undef TROVANEX_UNIT_ENUMERATOR

// A block of input with a bit per byte in five masks, 64 bytes to a word
// (bit i of word w stands for byte 64 * w + i): quotes, commas, line ends
// (CR and LF), the other bytes a clean-up rule acts on (common/rules.h),
// and blanks. The bytes may be read up to 64 past size.
struct block {
    unsigned char* bytes;
    std::size_t size;
    std::uint64_t* quotes;
    std::uint64_t* commas;
    std::uint64_t* line_ends;
    std::uint64_t* marks;
    std::uint64_t* blanks;
};

// Where the splitter's fast reading finds the fields' ends: the positions
// of the commas and line ends outside quotes, of the first quote of every
// doubled pair, and of the bytes a stretch's reader is told of: those a
// rule acts on, line ends only inside quotes (to_clean) and blanks next to a comma or line end
// outside quotes (loose_blanks); for a stretch, the commas outside quotes go in
// a mask instead. Sized for a whole block.
struct field_ends {
    std::unique_ptr<std::uint32_t[]> ends;
    std::unique_ptr<std::uint32_t[]> doubled;
    std::unique_ptr<std::uint32_t[]> to_clean;
    std::unique_ptr<std::uint32_t[]> loose_blanks;
    std::unique_ptr<std::uint64_t[]> separators;
    explicit field_ends(std::size_t capacity)
        : ends(std::make_unique_for_overwrite<std::uint32_t[]>(capacity + 64))
        , doubled(std::make_unique_for_overwrite<std::uint32_t[]>(capacity + 64))
        , to_clean(std::make_unique_for_overwrite<std::uint32_t[]>(capacity + 64))
        , loose_blanks(std::make_unique_for_overwrite<std::uint32_t[]>(capacity + 64))
        , separators(std::make_unique<std::uint64_t[]>(capacity / 64 + 2))
    {
    }
};

struct found_counts {
    std::size_t ends;
    std::size_t doubled;
    std::size_t to_clean;
    std::size_t loose_blanks;
};

// What the finishing pass carries from one 64-byte word to the next.
struct finish_carry {
    bool inside;  // the last byte lay inside a field's quotes
    bool last_quote;  // the last byte was a quote
};

struct kernel_table {
    vector_unit unit = vector_unit::portable;

    // Fills the block's masks for its first words * 64 bytes.
    void (*scan_block)(const block& b, std::size_t words) = nullptr;

    // Notes the ends of fields from pos (which begins a field) to limit,
    // stopping at the first quote that is not where a plain field has it:
    // an opening quote directly after a comma, a line end, another quote or
    // pos; a closing one directly before a comma, a line end or another
    // quote. With stretch, the line ends only, the commas outside quotes in
    // the separators mask, and the bytes to clean and the loose blanks (line ends
    // inside quotes only with mark_line_breaks); else the doubled quotes.
    found_counts (*find_field_ends)(
        const block& b, std::size_t pos, std::size_t limit, field_ends& found, bool stretch, bool mark_line_breaks)
        = nullptr;

    // Copies bytes [from, to) to out with the bytes whose bit is set in
    // separators (bit i of word w for byte 64 * w + i) made '|'. Returns
    // the end of the copy. Both sides have room for 63 bytes more.
    unsigned char* (*copy_record)(unsigned char* out, const unsigned char* bytes, std::size_t from, std::size_t to,
        const std::uint64_t* separators)
        = nullptr;

    // The finishing pass: copies the first n bytes at in, 64 at a time, to
    // out without the quotes that enclose fields (see convert/finish.cpp).
    // in[n] is the byte that follows, or 0 at the end of the file, and in
    // may be read 64 bytes past n; out has room for n + 64 bytes. Returns
    // the end of the output.
    unsigned char* (*finish_words)(const unsigned char* in, std::size_t n, unsigned char* out, finish_carry& carry)
        = nullptr;

    // Whether the field holds a byte of RULE_BYTES that looked_for selects
    // (common/rules.h), or a quote where quotes is set: the bytes that need
    // more than a copy.
    bool (*field_holds)(const unsigned char* field, std::size_t length, bool quotes, unsigned looked_for) = nullptr;

    // Writes the offsets of the field's bytes of RULE_BYTES that
    // looked_for selects to at, in order, and returns how many. at has
    // room for length + 64.
    std::size_t (*find_rule_bytes)(
        const unsigned char* field, std::size_t length, unsigned looked_for, std::uint32_t* at)
        = nullptr;

    // Decodes the whole UTF-16 units of in (little- or big-endian) into
    // UTF-8 at out, which has room for in_length * 3 / 2 bytes and
    // UTF16_DECODE_SLACK more, which a unit may store past its last. consumed is
    // set to the bytes decoded: a unit cut in two, or a high surrogate
    // whose partner has not come yet, is left for the next call. Returns
    // the bytes written, or -1 at a surrogate without its partner.
    std::ptrdiff_t (*utf16_to_utf8)(
        const unsigned char* in, std::size_t in_length, bool big_endian, unsigned char* out, std::size_t& consumed)
        = nullptr;

    // Encodes the whole UTF-8 sequences of in as UTF-16 at out, which has
    // room for 2 * in_length bytes. consumed is set to the bytes encoded: a
    // sequence cut off at the end is left for the next call, unless last.
    // A byte that begins no valid sequence becomes U+FFFD. Returns the bytes
    // written.
    std::size_t (*utf8_to_utf16)(const unsigned char* in, std::size_t in_length, bool big_endian, unsigned char* out,
        std::size_t& consumed, bool last)
        = nullptr;
};

inline constexpr std::size_t UTF16_DECODE_SLACK = 16;

// The chosen unit's kernels. Filled by use_vector_unit: by convert_file
// once, before either pass starts, and by tests and fuzz targets between
// cases. Read by the splitter, both passes, clean-up and UTF-16.
extern kernel_table run_kernels;

void use_vector_unit(vector_unit unit);

// The units this build and processor run, the reference first and the
// widest last.
std::span<const vector_unit> vector_units();

vector_unit best_vector_unit();

// The unit of that name, if this build and processor run it; false, and
// unit unchanged, for a name that is no unit's or one they cannot run.
bool vector_unit_named(const char* name, vector_unit& unit);

const char* vector_unit_name(vector_unit unit);
