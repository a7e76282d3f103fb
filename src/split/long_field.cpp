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

// The field's bytes in one call's block, gathered in place: moved down to
// out, from piece on not yet handed on; from tail on, where the field has
// a tail open, their fate not yet known.
struct gathered_field {
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
    void decide_tail(bool kept)
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

// Each step below reads on from pos in its state, and returns where it
// stopped: further on, or, with ended set, at the comma or line end that
// ends the field.

// Inside quotes: every byte up to the next quote is data, and the quote
// may close the field.
std::size_t read_quoted(const block& b, std::size_t pos, gathered_field& g)
{
    const std::size_t quote = next_stop(b, pos, true);
    g.append(pos, quote - pos);
    if (quote < b.size) {
        g.open_tail();
        g.append(quote, 1);
        g.f.state = long_state::after_quote;
        g.f.blanks_after_quote = false;
        return quote + 1;
    }
    return quote;
}

// After a quote inside quotes: blanks wait with it; a comma or line end
// closes the field; a quote after blanks makes the quote and the blanks
// data and may close it in turn; a second quote directly after it is one
// literal quote, and any other byte makes the quote data.
std::size_t read_after_quote(const block& b, std::size_t pos, gathered_field& g, bool& ended)
{
    const unsigned char c = b.bytes[pos];
    if (is_blank(c)) {
        const std::size_t end = skip_blanks(b.bytes, pos, b.size);
        g.append(pos, end - pos);
        g.f.blanks_after_quote = true;
        return end;
    }
    if (c == ',' || is_line_end(c)) {
        g.decide_tail(false);
        ended = true;
        return pos;
    }
    g.decide_tail(true);
    if (c == '"' && g.f.blanks_after_quote) {
        g.open_tail();
        g.append(pos, 1);
        g.f.blanks_after_quote = false;
        return pos + 1;
    }
    if (c != '"')
        g.append(pos, 1);
    g.f.state = long_state::quoted;
    return pos + 1;
}

// Unquoted: up to a comma or line end, blanks before it in the tail; a
// quote here is data.
std::size_t read_unquoted(const block& b, std::size_t pos, gathered_field& g, bool& ended)
{
    const std::size_t stop = next_stop(b, pos, false);
    std::size_t last = stop;
    while (last > pos && is_blank(b.bytes[last - 1]))
        --last;
    if (last > pos) {
        g.decide_tail(true);
        g.append(pos, last - pos);
    }
    if (stop > last) {
        g.open_tail();
        g.append(last, stop - last);
    }
    if (stop == b.size)
        return stop;
    if (b.bytes[stop] != '"') {
        g.decide_tail(false);
        ended = true;
        return stop;
    }
    g.decide_tail(true);
    g.append(stop, 1);
    return stop + 1;
}

// The block's end: what is known goes on, and what is not yet known goes
// on as pending.
void hand_on_what_is_known(gathered_field& g)
{
    if (const std::size_t sure_end = g.f.tail_open ? g.tail : g.out; sure_end > g.piece)
        g.to.on_piece(g.bytes + g.piece, sure_end - g.piece, PIECE_SURE, g.to.data);
    if (g.f.tail_open && g.out > g.tail) {
        g.to.on_piece(g.bytes + g.tail, g.out - g.tail, PIECE_PENDING, g.to.data);
        g.f.tail_handed_on = true;
    }
}

// The field ended at the comma or line end at pos: its last piece, and its
// record's end after a line end.
long_end end_field(gathered_field& g, std::size_t pos)
{
    g.to.on_field(g.bytes + g.piece, g.out - g.piece, g.to.data);
    g.f.active = false;
    if (g.bytes[pos] == ',')
        return long_end::field_end;
    g.to.on_record(g.bytes[pos], g.to.data);
    return long_end::record_end;
}

}  // namespace

std::size_t read_long_field(block& b, std::size_t pos, long_field& f, const deliver_to& to, long_end& how)
{
    gathered_field g {b.bytes, f, to, pos, pos, pos};
    bool ended = false;
    while (pos < b.size && !ended) {
        switch (f.state) {
        case long_state::quoted:
            pos = read_quoted(b, pos, g);
            break;
        case long_state::after_quote:
            pos = read_after_quote(b, pos, g, ended);
            break;
        case long_state::unquoted:
            pos = read_unquoted(b, pos, g, ended);
            break;
        }
    }
    if (!ended) {
        hand_on_what_is_known(g);
        how = long_end::block_end;
        return b.size;
    }
    how = end_field(g, pos);
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
