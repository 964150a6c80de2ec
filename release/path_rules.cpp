#include "release.h"

#include <cstdint>
#include <string_view>

namespace {

// Calls visit(component) for each '/'-separated piece of text. A single
// trailing '/' ends the walk; two adjacent ones yield an empty piece.
// Stops early and returns false as soon as visit returns false.
template <typename Visit>
bool walkComponents(std::string_view text, Visit visit)
{
    size_t pos = 0;
    while (pos < text.size()) {
        size_t slash = text.find('/', pos);
        size_t end = slash == std::string_view::npos ? text.size() : slash;
        if (!visit(text.substr(pos, end - pos)))
            return false;
        pos = slash == std::string_view::npos ? text.size() : slash + 1;
    }
    return true;
}

// The rules a path and a link target share: not empty, not rooted, and no
// drive letter, stream name or Windows separator anywhere.
bool hasPlainRelativeShape(std::string_view text)
{
    if (text.empty() || text.front() == '/' || text.front() == '\\')
        return false;
    return text.find(':') == std::string_view::npos && text.find('\\') == std::string_view::npos;
}

} // namespace

bool isSafeRelativePath(const std::string &path)
{
    if (!hasPlainRelativeShape(path))
        return false;
    return walkComponents(path, [](std::string_view part) {
        return !part.empty() && part != "." && part != "..";
    });
}

bool linkStaysInside(const std::string &linkPath, const std::string &target)
{
    if (!hasPlainRelativeShape(target))
        return false;
    // The link lives in the folder named by everything before its last
    // component. A trailing '/' names the same entry as the path without it
    // ("bin/" is the link "bin" in the install folder itself), so it must not
    // count as one more level, or "../x" from there would escape.
    std::string_view where = linkPath;
    if (!where.empty() && where.back() == '/')
        where.remove_suffix(1);
    // 64 bits: the count cannot overflow whatever the length of the text.
    int64_t depth = 0;
    for (char c : where)
        depth += c == '/';
    return walkComponents(target, [&depth](std::string_view part) {
        if (part.empty() || part == ".")
            return true;
        depth += part == ".." ? -1 : 1;
        return depth >= 0;
    });
}
