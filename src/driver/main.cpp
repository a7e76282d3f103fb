#include "driver/driver.h"

#ifdef _WIN32
#include <string>
#include <vector>

#include "unicode/unicode.h"

// Windows gives the command line as UTF-16; the program takes it as UTF-8,
// so that every name arrives as typed, never changed to a look-alike in
// the ANSI code page.
int wmain(int argc, wchar_t** argv)
{
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.push_back(utf8_from_wide(reinterpret_cast<const char16_t*>(argv[i])));
    std::vector<char*> pointers;
    for (std::string& argument : arguments)
        pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    return convert_file(argc, pointers.data());
}
#else
int main(int argc, char** argv)
{
    return convert_file(argc, argv);
}
#endif
