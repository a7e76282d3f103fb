// Paths split and joined the same way on every system, with its own
// separators and drives.
#include "platform/platform.h"

#include <string_view>

path_parts split_path(const std::string& path)
{
    path_parts parts;
    std::size_t start = 0;
    if (PATHS_HAVE_DRIVES && path.size() >= 2 && path[1] == ':') {
        parts.drive = path.substr(0, 2);
        start = 2;
    }
    const std::size_t separator = path.find_last_of(PATH_SEPARATORS);
    const std::size_t name_start = separator == std::string::npos || separator < start ? start : separator + 1;
    parts.dir = path.substr(start, name_start - start);
    const std::size_t dot = path.rfind('.');
    const std::size_t name_end = dot == std::string::npos || dot < name_start ? path.size() : dot;
    parts.base = path.substr(name_start, name_end - name_start);
    parts.ext = path.substr(name_end);
    return parts;
}

std::string join_path(const std::string& drive, const std::string& dir, const std::string& base, const std::string& ext)
{
    std::string path = drive + dir;
    if (!dir.empty() && std::string_view(PATH_SEPARATORS).find(dir.back()) == std::string_view::npos)
        path += PATH_SEPARATORS[0];
    path += base;
    if (!ext.empty() && ext.front() != '.')
        path += '.';
    return path + ext;
}
