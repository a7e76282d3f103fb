#include "common/common.h"
#include "convert/convert.h"

void on_field(void* bytes, std::size_t length, void* data)
{
    auto* intermediate = static_cast<output_buffer*>(data);
    auto* field = static_cast<unsigned char*>(bytes);
    run_counters.field_number += 1;
    length = clean_field(field, length);
    // The separator goes before a field rather than after it, so nothing
    // has to be taken back at the record's end.
    if (run_counters.field_number > 1)
        intermediate->put('|');
    intermediate->put_quoted(field, length);
}

void on_record_end(int /*terminator*/, void* data)
{
    static_cast<output_buffer*>(data)->put('\n');
    run_counters.records_done += 1;
    if (run_counters.records_done % 1000 == 0) {
        std::printf(MSG_PROGRESS, static_cast<long long>(run_counters.records_done));
        std::fflush(stdout);  // the line has no line end, so show it now
    }
    run_counters.field_number = 0;
}
