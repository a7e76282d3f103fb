// What a conversion must produce, worked out the plainest way: libcsv's
// fields collected whole, the clean-up rules applied byte by byte, the
// output format written out directly, and the first pass's messages with
// them. Tests and the fuzz target compare the program against it.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct model_result {
    std::string output;
    long long records = 0;
    long long line_feed_messages = 0;  // one per line feed changed by -r or -R
    long long pipe_messages = 0;  // one per field holding a '|'
    long long unclosed_record = 0;  // the record the input ends inside a quoted field of, or 0
    std::string out;  // the first pass's messages on standard output: pipes and progress
    std::string err;  // ...and on standard error: line feeds changed
};

// Told each record's fields as the output holds them, quotes doubled, in
// order: for tools that need the fields, not only the joined output.
using record_sink = std::function<void(const std::vector<std::string>& fields)>;

model_result model_conversion(std::string_view input, int line_break_mode, const record_sink& sink = {});
