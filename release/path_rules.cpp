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

// The bytes Windows refuses in any file or folder name: control bytes and
// < > : " \ | ? *. A ':' would also name a drive or a stream, a '\' would
// be a separator of its own. '/' is the manifest's separator, judged by the
// component walk.
bool isForbiddenInNames(char c)
{
    return static_cast<unsigned char>(c) < 0x20 || std::string_view("<>:\"\\|?*").find(c) != std::string_view::npos;
}

// The rules a path and a link target share: not empty, not rooted, and no
// byte that Windows cannot store in a name, which would pass here only to
// fail the install half way, on every run.
bool hasPlainRelativeShape(std::string_view text)
{
    if (text.empty() || text.front() == '/')
        return false;
    for (char c : text)
        if (isForbiddenInNames(c))
            return false;
    return true;
}

bool equalsIgnoringAsciiCase(std::string_view text, std::string_view upper)
{
    if (text.size() != upper.size())
        return false;
    for (size_t i = 0; i < text.size(); ++i)
        if ((text[i] >= 'a' && text[i] <= 'z' ? char(text[i] - 32) : text[i]) != upper[i])
            return false;
    return true;
}

// Windows opens a device, not a file, for these names in any folder and in
// any letter case, also with an extension (anything from the first '.') and
// with blanks before it; COM and LPT also with the superscript digits one to
// three (UTF-8).
bool isDeviceName(std::string_view name)
{
    name = name.substr(0, name.find('.'));
    while (!name.empty() && name.back() == ' ')
        name.remove_suffix(1);
    for (std::string_view device : {"CON", "PRN", "AUX", "NUL"})
        if (equalsIgnoringAsciiCase(name, device))
            return true;
    if (name.size() < 4 || !(equalsIgnoringAsciiCase(name.substr(0, 3), "COM") ||
                             equalsIgnoringAsciiCase(name.substr(0, 3), "LPT")))
        return false;
    std::string_view number = name.substr(3);
    return (number.size() == 1 && number[0] >= '1' && number[0] <= '9') || number == "\xC2\xB9" ||
           number == "\xC2\xB2" || number == "\xC2\xB3";
}

// False for a name that Windows would store under another one (it drops a
// trailing '.' or blank) or open as a device.
bool isPortableName(std::string_view name)
{
    return name.back() != '.' && name.back() != ' ' && !isDeviceName(name);
}

} // namespace

bool isSafeRelativePath(const std::string &path)
{
    if (!hasPlainRelativeShape(path))
        return false;
    return walkComponents(path, [](std::string_view part) {
        return !part.empty() && part != "." && part != ".." && isPortableName(part);
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
        return depth >= 0 && (part == ".." || isPortableName(part));
    });
}
