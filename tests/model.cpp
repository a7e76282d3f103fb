#include "model.h"

#include <csv.h>

#include <cstdio>
#include <vector>

#include "common/common.h"

namespace {

std::string message(const char* format, long long first, long long second = 0)
{
    char text[256];
    const int length = std::snprintf(text, sizeof text, format, first, second);
    return std::string(text, static_cast<std::size_t>(length));
}

struct collected {
    int mode;
    const record_sink& sink;
    model_result result;
    std::vector<std::string> fields;
};

void collect_field(void* bytes, std::size_t length, void* data)
{
    auto* c = static_cast<collected*>(data);
    const std::string raw = length == 0 ? std::string() : std::string(static_cast<const char*>(bytes), length);
    std::string field;
    const long long record = c->result.records + 1;
    for (const char byte : raw) {
        if (c->mode != LINE_BREAKS_KEEP && (byte == '\n' || byte == '\r')) {
            if (byte == '\n') {
                ++c->result.line_feed_messages;
                c->result.err += message(
                    c->mode == LINE_BREAKS_TO_SPACE ? MSG_LINE_BREAK_TO_SPACE : MSG_LINE_BREAK_REMOVED, record);
            }
            if (c->mode == LINE_BREAKS_TO_SPACE)
                field += ' ';
        } else {
            field += byte;
        }
    }
    if (const std::size_t pipe = field.find('|'); pipe != std::string::npos) {
        c->result.out += message(MSG_EXTRA_PIPE, record, static_cast<long long>(c->fields.size() + 1)) + field + '\n';
        field[pipe] = ' ';
        ++c->result.pipe_messages;
    }
    c->fields.push_back(field);
}

void collect_record(int, void* data)
{
    auto* c = static_cast<collected*>(data);
    for (std::string& field : c->fields) {
        std::string written;
        for (const char byte : field)
            written += byte == '"' ? std::string("\"\"") : std::string(1, byte);
        field = std::move(written);
    }
    for (std::size_t i = 0; i < c->fields.size(); ++i) {
        if (i > 0)
            c->result.output += '|';
        c->result.output += c->fields[i];
    }
    c->result.output += "\r\n";
    if (c->sink)
        c->sink(c->fields);
    c->fields.clear();
    ++c->result.records;
    if (c->result.records % 1000 == 0)
        c->result.out += message(MSG_PROGRESS, c->result.records);
}

}  // namespace

model_result model_conversion(std::string_view input, int line_break_mode, const record_sink& sink)
{
    collected c {line_break_mode, sink, {}, {}};
    const std::string_view mark("\xEF\xBB\xBF");
    if (input.substr(0, mark.size()) == mark) {
        c.result.output = mark;
        input.remove_prefix(mark.size());
    }
    csv_parser parser;
    csv_init(&parser, 0);
    csv_parse(&parser, input.data(), input.size(), collect_field, collect_record, &c);
    const long long last = c.result.records + 1;
    csv_set_opts(&parser, CSV_STRICT | CSV_STRICT_FINI);
    if (csv_fini(&parser, collect_field, collect_record, &c) != 0) {
        c.result.unclosed_record = last;
        csv_set_opts(&parser, 0);
        csv_fini(&parser, collect_field, collect_record, &c);
    }
    csv_free(&parser);
    return c.result;
}
