// Field clean-up: line breaks made spaces or removed, and the first '|'
// replaced, each change reported.
#include "common/bits.h"
#include "common/common.h"
#include "convert/convert.h"

namespace {

unsigned char* first_pipe(unsigned char* bytes, std::size_t length)
{
    const unsigned char* found = find_byte(bytes, bytes + length, '|');
    return found == bytes + length ? nullptr : bytes + (found - bytes);
}

}  // namespace

std::size_t clean_piece(unsigned char* bytes, std::size_t length, unsigned char*& pipe)
{
    pipe = nullptr;
    // An empty field may come with no buffer at all.
    if (length == 0)
        return 0;
    // Most fields need nothing; say so after a look or two.
    const int mode = run_options.line_break_mode;
    if (!run_kernels.field_holds(bytes, length, false, mode != LINE_BREAKS_KEEP))
        return length;
    if (mode == LINE_BREAKS_TO_SPACE)
        report_line_feeds_changed(run_kernels.line_breaks_to_spaces(bytes, length, pipe));
    else if (mode == LINE_BREAKS_REMOVE)
        report_line_feeds_changed(run_kernels.remove_line_breaks(bytes, length, pipe));
    else
        pipe = first_pipe(bytes, length);
    return length;
}

std::size_t clean_field(unsigned char* bytes, std::size_t length)
{
    unsigned char* pipe;
    length = clean_piece(bytes, length, pipe);

    // Only the first '|' is replaced; the message shows the field as it was,
    // every byte of it, zero bytes included.
    if (pipe != nullptr) {
        report_pipe(bytes, length);
        *pipe = ' ';
    }
    return length;
}
