// Process-wide state, exit statuses and the texts the program prints.
#pragma once

#include <cstdint>

// What to do with line breaks found inside a field.
enum : int {
    LINE_BREAKS_KEEP = 0,
    LINE_BREAKS_TO_SPACE = 20,  // -r
    LINE_BREAKS_REMOVE = 21,  // -R
};

struct options_record {
    int line_break_mode;
};

struct counters_record {
    std::int64_t records_done;  // records finished so far
    std::int64_t field_number;  // 1-based number of the field being handled
};

// Cleared by convert_file at start; line_break_mode is set by
// parse_command_line, before either pass, and read by the first pass:
// the field path's clean-up (convert/field.cpp), the splitter's settings
// and the line-break reports (convert/messages.cpp).
extern options_record run_options;

// The run's position. Moved on by the field path alone (convert/field.cpp),
// as each field begins and each record ends, whichever reader found them;
// read by the reports for their numbers (convert/messages.cpp) and by
// convert_file for the summary. All on the first pass's thread, but the
// summary, which comes after it.
extern counters_record run_counters;

// Resets both records; convert_file calls it first, tests between cases.
void reset_run_state();

enum : int {
    STATUS_OK = 0,
    STATUS_FAILED = 1,
    STATUS_ILLEGAL_OPTION = 5,
};

// The intermediate file's name as the user sees it in messages.
inline constexpr const char INTERMEDIATE_NAME[] = "TEMPCSV";

// Standard output's name in a message that it could not be written.
inline constexpr const char STANDARD_OUTPUT_NAME[] = "standard output";

// Set in one place, the project's version in CMakeLists.txt.
inline constexpr const char PROGRAM_VERSION[] = TROVANEX_VERSION;

// Everything the program prints. Kept together so tests compare against the
// very same bytes.
inline constexpr const char MSG_USAGE_1[] = "Usage: programname   inputfile    outputfile   [-options[rR]]\n\n";
inline constexpr const char MSG_USAGE_2[] = "OPTIONS:\n";
inline constexpr const char MSG_USAGE_3[] = "-r: change carriage return/line feeds embedded within quotes to blanks\n";
inline constexpr const char MSG_USAGE_4[] = "-R: remove entirely embedded carriage return/line feeds.\n";
inline constexpr const char MSG_EXTRA_ITEM_1[] = "\nThere appears to be an extra or eroneous item \"%s\"\n";
inline constexpr const char MSG_EXTRA_ITEM_2[] = "at the end of the command line\n";
inline constexpr const char MSG_EXTRA_ITEM_3[] = "Please check your syntax, and correct to problem.\n";
inline constexpr const char MSG_ILLEGAL_OPTION[] = "\nIllegal option %s\n";
inline constexpr const char MSG_SAME_PATH[] = "Input file and output file must not be the same!\n";
inline constexpr const char MSG_OPEN_FAILED[] = "Failed to open file %s: %s\n";
inline constexpr const char MSG_WRITE_FAILED[] = "Failed to write file %s: %s\n";
inline constexpr const char MSG_READ_FAILED[] = "Failed to read file %s: %s\n";
// Memory or a thread could not be had.
inline constexpr const char MSG_CONVERT_FAILED[] = "Failed to convert file %s: %s\n";
inline constexpr const char MSG_PARSE_ERROR[] = "Error parsing file: %s\n";
inline constexpr const char MSG_PARSE_ERROR_RECORD[] = "The parser stopped in record %4lld\n";
inline constexpr const char MSG_INPUT_READ_ERROR[] = "Error reading from input file";
// Reasons in MSG_READ_FAILED: an input another program cut short, and one
// that is an archive of files, not a compressed file. (Those of the
// compressed formats are theirs: decompress/*.cpp.)
inline constexpr const char MSG_INPUT_SHRANK[] = "it was cut short while it was read";
inline constexpr const char MSG_ZIP_REFUSED[]
    = "it is a zip archive (an .xlsx workbook is one too); unzip it, or save the sheet as CSV, first";
inline constexpr const char MSG_PROGRESS[] = "\r%9lld records";
inline constexpr const char MSG_SUMMARY[] = "\n%lld records processed\n";
inline constexpr const char MSG_LINE_BREAK_TO_SPACE[]
    = "\nRecord %4lld has embedded carriage return, converted to space";
inline constexpr const char MSG_LINE_BREAK_REMOVED[] = "\nRecord %4lld has embedded carriage return, removed";
inline constexpr const char MSG_EXTRA_PIPE[]
    = "\nRecord %4lld has extra pipe in field no. %lld, pipe changed to space:  \n";
inline constexpr const char MSG_UNCLOSED_QUOTE[]
    = "\nRecord %4lld has a quoted field that is not closed before the end of the file\n";
inline constexpr const char MSG_SETTINGS_UNOPENABLE[] = "\nCouldn't open .ini file\n";
inline constexpr const char MSG_VERSION[] = "trovanex %s\n";
// After the version: each vector unit this build and processor run, as
// TROVANEX_VECTOR names them, narrowest first; the last is the default.
inline constexpr const char MSG_VECTOR_UNITS[] = "vector units:";
// On a third line: each compressed format this build reads.
inline constexpr const char MSG_COMPRESSED_FORMATS[] = "compressed input:";
// TROVANEX_VECTOR names no unit this program runs here, and the widest it
// runs is used instead.
inline constexpr const char MSG_VECTOR_UNIT_UNKNOWN[]
    = "TROVANEX_VECTOR=%s is not a vector unit this program runs here; it uses %s\n";
