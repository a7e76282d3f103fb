// Writes a deterministic CSV corpus of a given size and profile:
//   plain  short unquoted fields
//   mixed  quoted fields with commas, doubled quotes, CR LF and bare LF,
//          some '|', UTF-8 text
//   wide   records of about fifty fields
//   heavy  text exports: most lines hold several quoted text fields, some
//          with commas, doubled quotes or line breaks inside; a third of
//          the records span lines
// and four whose one field is as long as the file, for the memory bound:
//   stray     a stray quote in the second record of the plain corpus, which
//             holds no other quote: the field runs to the end of the file
//   unquoted  one unquoted field of words and spaces
//   pipes     one quoted field full of '|', CR LF and doubled quotes
//   blanks    a quoted field, then spaces and tabs, a fifth of the file
//             (dropped, since a comma follows), then plain records
// Usage: gen_corpus PROFILE MEGABYTES OUTPUT
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::uint64_t state = 0x9E3779B97F4A7C15ull;

std::uint64_t next()
{
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

unsigned below(unsigned n)
{
    return static_cast<unsigned>(next() % n);
}

const char* const WORDS[] = {"alpha", "Bergen", "cobalt", "delta", "Eriksen", "fjord", "granite", "harbour", "island",
    "juniper", "kelp", "lantern", "meadow", "north", "orchard", "pine"};
const char* const UTF8[] = {"Ærø", "Tromsø", "Malmö", "Zürich", "café", "naïve", "€ 12,50", "Łódź", "日本", "Ελλάδα"};

void word(std::string& out)
{
    out += WORDS[below(16)];
}

void number(std::string& out)
{
    out += std::to_string(next() % 1000000);
}

void mixed_field(std::string& out)
{
    switch (below(12)) {
    case 0:
    case 1:
    case 2:
        number(out);
        break;
    case 3:
    case 4:
        word(out);
        break;
    case 5:
        out += '"';
        word(out);
        out += ", ";
        word(out);
        out += '"';
        break;
    case 6:
        out += "\"said \"\"";
        word(out);
        out += "\"\" twice\"";
        break;
    case 7:
        out += '"';
        word(out);
        out += below(2) != 0 ? "\r\n" : "\n";
        word(out);
        out += '"';
        break;
    case 8:
        word(out);
        out += '|';
        word(out);
        break;
    case 9:
    case 10:
        out += '"';
        out += UTF8[below(10)];
        out += ' ';
        out += UTF8[below(10)];
        out += '"';
        break;
    default:
        out += "\"";
        for (int i = 0; i < 8; ++i) {
            word(out);
            out += ' ';
        }
        out += "\"";
        break;
    }
}

// A few words of text, in quotes when quoted is set; may hold a comma, a
// doubled quote or a line break.
void text_field(std::string& out, bool quoted, bool line_break)
{
    if (quoted)
        out += '"';
    const unsigned words = 2 + below(7);
    for (unsigned i = 0; i < words; ++i) {
        if (i > 0)
            out += ' ';
        word(out);
        if (quoted) {
            switch (below(10)) {
            case 0:
                out += ',';
                break;
            case 1:
                out += " \"\"";
                word(out);
                out += "\"\"";
                break;
            default:
                break;
            }
        }
    }
    if (line_break) {
        out += below(2) != 0 ? "\r\n" : "\n";
        word(out);
    }
    if (quoted)
        out += '"';
}

void heavy_record(std::string& out)
{
    number(out);
    out += ',';
    // One record in three spans lines; one line in five holds no quoted field.
    const bool spans = below(3) == 0;
    const bool quoted = spans || below(4) != 0;
    const unsigned texts = 3 + below(3);
    const unsigned broken = below(texts);
    for (unsigned i = 0; i < texts; ++i) {
        const bool line_break = spans && i == broken;
        text_field(out, line_break || (quoted && below(5) != 0), line_break);
        out += ',';
    }
    number(out);
}

void record(const char* profile, std::string& out)
{
    if (std::strcmp(profile, "plain") == 0) {
        for (int i = 0; i < 8; ++i) {
            if (i > 0)
                out += ',';
            if (i % 2 == 0)
                number(out);
            else
                word(out);
        }
    } else if (std::strcmp(profile, "wide") == 0) {
        for (int i = 0; i < 50; ++i) {
            if (i > 0)
                out += ',';
            if (i % 5 == 4)
                mixed_field(out);
            else if (i % 2 == 0)
                number(out);
            else
                word(out);
        }
    } else if (std::strcmp(profile, "heavy") == 0) {
        heavy_record(out);
    } else {
        for (int i = 0; i < 10; ++i) {
            if (i > 0)
                out += ',';
            mixed_field(out);
        }
    }
    out += "\r\n";
}

// What comes before the records of a long profile, or after its last block.
struct long_profile {
    const char* name;
    const char* records;  // the profile the body is made of; null: long_body
    std::string head;
    std::string tail;
};

// The body of one long field, a block at a time.
void long_body(const char* profile, std::string& out)
{
    if (std::strcmp(profile, "unquoted") == 0) {
        word(out);
        out += ' ';
    } else {
        word(out);
        out += below(3) == 0 ? "|" : below(2) == 0 ? "\r\n" : " \"\"";
    }
}

// Spaces with a tab now and then.
std::string blanks(std::uint64_t length)
{
    std::string run(length, ' ');
    for (std::uint64_t i = 3; i < length; i += 7)
        run[i] = '\t';
    return run;
}

// Sets p to the long profile of that name; false for any other name.
bool find_long_profile(const char* name, std::uint64_t size, long_profile& p)
{
    const std::string plain_record = "1,alpha,2,Bergen\r\n";
    if (std::strcmp(name, "stray") == 0)
        p = {name, "plain", plain_record + "1,\"oops\r\n", ""};
    else if (std::strcmp(name, "unquoted") == 0)
        p = {name, nullptr, "1,", "\r\n"};
    else if (std::strcmp(name, "pipes") == 0)
        p = {name, nullptr, "1,\"", "\"\r\n"};
    else if (std::strcmp(name, "blanks") == 0)
        p = {name, "plain", plain_record + "1,\"closed\"" + blanks(size / 5) + ",after\r\n", ""};
    else
        return false;
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::uint64_t target = argc == 4 ? std::strtoull(argv[2], nullptr, 10) * 1000000ull : 0;
    long_profile long_profile_found;
    const long_profile* long_one
        = argc == 4 && find_long_profile(argv[1], target, long_profile_found) ? &long_profile_found : nullptr;
    if (argc != 4
        || (std::strcmp(argv[1], "plain") != 0 && std::strcmp(argv[1], "mixed") != 0
            && std::strcmp(argv[1], "wide") != 0 && std::strcmp(argv[1], "heavy") != 0 && long_one == nullptr)) {
        std::fputs("usage: gen_corpus plain|mixed|wide|heavy|stray|unquoted|pipes|blanks MEGABYTES OUTPUT\n", stderr);
        return 2;
    }
    std::FILE* out = std::fopen(argv[3], "wb");
    if (out == nullptr) {
        std::perror(argv[3]);
        return 1;
    }
    std::uint64_t written = 0;
    std::string block;
    if (long_one != nullptr) {
        std::fwrite(long_one->head.data(), 1, long_one->head.size(), out);
        written += long_one->head.size();
    }
    while (written < target) {
        block.clear();
        while (block.size() < 65536) {
            if (long_one == nullptr)
                record(argv[1], block);
            else if (long_one->records != nullptr)
                record(long_one->records, block);
            else
                long_body(long_one->name, block);
        }
        std::fwrite(block.data(), 1, block.size(), out);
        written += block.size();
    }
    if (long_one != nullptr)
        std::fwrite(long_one->tail.data(), 1, long_one->tail.size(), out);
    if (std::fclose(out) != 0) {
        std::perror(argv[3]);
        return 1;
    }
    return 0;
}
