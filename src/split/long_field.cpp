#include <cstring>

#include "common/bits.h"
#include "split/block.h"

// A field that libcsv would hold whole, read on here as libcsv reads it:
// inside quotes every byte but a quote is data; a quote there may close
// the field, which a comma or a line end after it (blanks between
// dropped) does; a second quote directly after it makes the pair one
// literal quote, and anything else, a quote after blanks included, makes
// the quote and the blanks data. Unquoted, a quote is data and blanks at
// the end are dropped. The field's bytes are gathered in place in the
// block and handed on a block at a time.

namespace {

// The first byte at or after pos that is not a space or a tab; size if
// there is none. Runs of blanks may be gigabytes long.
std::size_t skip_blanks(const unsigned char* bytes, std::size_t pos, std::size_t size)
{
    for (; size - pos >= 8; pos += 8) {
        const std::uint64_t word = load_word(bytes + pos);
        if (const std::uint64_t other
            = nonzero_bytes(word ^ (BYTE_ONES * ' ')) & nonzero_bytes(word ^ (BYTE_ONES * '\t')))
            return pos + first_flagged(other);
    }
    while (pos < size && is_blank(bytes[pos]))
        ++pos;
    return pos;
}

// One call's walk over the block: the field's bytes are moved down to out,
// from piece on not yet handed on; from tail on, where the field has a
// tail open, their fate is not yet known.
struct walk {
    unsigned char* bytes;
    long_field& f;
    const deliver_to& to;
    std::size_t out;
    std::size_t piece;
    std::size_t tail;

    void append(std::size_t from, std::size_t n)
    {
        if (out != from)
            move_bytes(bytes + out, bytes + from, n);
        out += n;
    }

    void open_tail()
    {
        if (!f.tail_open) {
            tail = out;
            f.tail_open = true;
        }
    }

    // The tail's fate is known. Where part of it has gone on already, the
    // rest follows it before the verdict.
    void settle(bool kept)
    {
        if (!f.tail_open)
            return;
        if (!kept)
            out = tail;
        if (f.tail_handed_on) {
            if (out > tail)
                to.on_piece(bytes + tail, out - tail, PIECE_PENDING, to.data);
            to.on_piece(nullptr, 0, kept ? PIECE_KEPT : PIECE_DROPPED, to.data);
            piece = out;
        }
        f.tail_open = f.tail_handed_on = false;
    }
};

}  // namespace

std::size_t read_long_field(block& b, std::size_t pos, long_field& f, const deliver_to& to, long_end& how)
{
    walk w {b.bytes, f, to, pos, pos, pos};
    unsigned char* const bytes = b.bytes;
    while (pos < b.size) {
        const unsigned char c = bytes[pos];
        switch (f.state) {
        case long_state::quoted: {
            const std::size_t quote = next_stop(b, pos, true);
            w.append(pos, quote - pos);
            pos = quote;
            if (pos < b.size) {
                w.open_tail();
                w.append(pos++, 1);
                f.state = long_state::after_quote;
                f.blanks_after_quote = false;
            }
            break;
        }
        case long_state::after_quote:
            if (is_blank(c)) {
                const std::size_t end = skip_blanks(bytes, pos, b.size);
                w.append(pos, end - pos);
                pos = end;
                f.blanks_after_quote = true;
            } else if (c == ',' || is_line_end(c)) {
                w.settle(false);
                goto field_ended;
            } else if (c == '"' && f.blanks_after_quote) {
                // The quote and blanks are data; this quote may close.
                w.settle(true);
                w.open_tail();
                w.append(pos++, 1);
                f.blanks_after_quote = false;
            } else {
                // A doubled quote keeps its first; any other byte is data.
                w.settle(true);
                if (c != '"')
                    w.append(pos, 1);
                ++pos;
                f.state = long_state::quoted;
            }
            break;
        case long_state::unquoted: {
            const std::size_t stop = next_stop(b, pos, false);
            std::size_t last = stop;
            while (last > pos && is_blank(bytes[last - 1]))
                --last;
            if (last > pos) {
                w.settle(true);
                w.append(pos, last - pos);
            }
            if (stop > last) {
                w.open_tail();
                w.append(last, stop - last);
            }
            pos = stop;
            if (pos < b.size) {
                if (bytes[pos] != '"') {
                    w.settle(false);
                    goto field_ended;
                }
                w.settle(true);
                w.append(pos++, 1);
            }
            break;
        }
        }
    }
    // The block's end: what is known goes on, and what is not yet known
    // goes on as pending.
    if (const std::size_t sure_end = f.tail_open ? w.tail : w.out; sure_end > w.piece)
        to.on_piece(bytes + w.piece, sure_end - w.piece, PIECE_SURE, to.data);
    if (f.tail_open && w.out > w.tail) {
        to.on_piece(bytes + w.tail, w.out - w.tail, PIECE_PENDING, to.data);
        f.tail_handed_on = true;
    }
    how = long_end::block_end;
    return b.size;

field_ended:
    to.on_field(bytes + w.piece, w.out - w.piece, to.data);
    f.active = false;
    how = bytes[pos] == ',' ? long_end::field_end : long_end::record_end;
    if (how == long_end::record_end)
        to.on_record(bytes[pos], to.data);
    return pos + 1;
}

bool finish_long_field(long_field& f, const deliver_to& to)
{
    // libcsv drops the tail at the end, as a comma would.
    if (f.tail_open && f.tail_handed_on)
        to.on_piece(nullptr, 0, PIECE_DROPPED, to.data);
    unsigned char none = 0;
    to.on_field(&none, 0, to.data);
    to.on_record(-1, to.data);
    f.active = false;
    f.tail_open = f.tail_handed_on = false;
    return f.state == long_state::quoted;
}
