// The splitter's inside: one block of input, what the scan finds in it, and
// the two ways of reading records from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "kernels/kernels.h"
#include "split/split.h"
#include "split/stretch.h"

// Fills the masks for the block's size, with the kernels in use; bits
// past size are clear, and so is the word after the last, and
// bytes[size] is 0.
void scan_block(block& b);

// The spans of the fields of the record the careful reading is on.
struct field_span {
    std::uint32_t start;
    std::uint32_t length;  // the top bit says the field has doubled quotes to collapse
};
inline constexpr std::uint32_t DOUBLED_QUOTES = 0x80000000u;
struct span_list {
    std::vector<field_span> spans;
    std::size_t count = 0;
};

// Reads, from pos (between records), every following record that can be
// read without a doubt, up to about window bytes on, and delivers each.
// Returns the position after the last one, and adds their number to
// records. Stops before the first record with anything but plain fields,
// and before the block's last record, which may not be whole. With
// to.on_stretch they go to it at once; mark_line_breaks lists the line
// ends inside quotes for it.
std::size_t read_plain_records(const block& b, std::size_t pos, std::size_t window, field_ends& found,
    const deliver_to& to, bool mark_line_breaks, std::int64_t& records);

enum class reading { whole, needs_more, not_plain };

// Reads the one record that begins at pos, a byte that is neither blank nor
// a line end, if every field in it is plain, noting where each field lies;
// end is then just past the byte that ended the record. Nothing is changed,
// so a record that is not plain can go to libcsv as it stands.
reading read_record(const block& b, std::size_t pos, span_list& fields, std::size_t& end);

// The first byte at or after from that is a quote (quotes_only) or any
// stop; size if there is none.
std::size_t next_stop(const block& b, std::size_t from, bool quotes_only);

// Where the reading of a long field stands: libcsv's own state, with the
// field's bytes taken out of its hands.
enum class long_state : unsigned char {
    quoted,  // inside quotes
    after_quote,  // a quote inside quotes, which a comma or line end after it (blanks aside) closes
    unquoted,
};

struct long_field {
    bool active = false;
    long_state state = long_state::quoted;
    bool blanks_after_quote = false;  // after_quote: blanks have come since the quote
    // Bytes whose fate a later byte decides: blanks at an unquoted field's
    // end, or the quote of after_quote and the blanks after it.
    bool tail_open = false;
    bool tail_handed_on = false;  // ...some of them have gone on as PIECE_PENDING
};

enum class long_end { block_end, field_end, record_end };

// Reads the long field on from pos, as libcsv would, handing it on in
// pieces. Returns the block's size, or the position just past the comma or
// line end that ended the field, which has then been delivered, and the
// record with it for a line end. Gathers the field's bytes in place, so the
// block's bytes before the returned position are no longer the input's.
std::size_t read_long_field(block& b, std::size_t pos, long_field& f, const deliver_to& to, long_end& how);

// At the end of the input: delivers the rest of the field and ends its
// record; returns whether the field was left inside quotes.
bool finish_long_field(long_field& f, const deliver_to& to);
