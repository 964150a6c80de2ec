#include "manifest_reader.h"

#include <cstdint>
#include <limits>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace {

constexpr std::string_view magicLine = "quillmarrow-release 1";

// The C locale's white space, which the runtime's number conversions skip.
bool isCSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Skips leading white space and one optional sign; returns whether it was '-'.
bool skipSpaceAndSign(std::string_view text, size_t &pos)
{
    while (pos < text.size() && isCSpace(text[pos]))
        ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    return negative;
}

// Reads like the Windows runtime's _strtoui64(text, nullptr, 10), which Linux
// lacks: no digits give 0, a minus negates modulo 2^64, and a value beyond
// 64 bits gives the largest one. The rest of the text is ignored.
uint64_t decimalSize(std::string_view text)
{
    size_t pos = 0;
    bool negative = skipSpaceAndSign(text, pos);
    constexpr uint64_t max = std::numeric_limits<uint64_t>::max();
    uint64_t value = 0;
    bool overflow = false;
    for (; pos < text.size() && isDigit(text[pos]); ++pos) {
        uint64_t digit = uint64_t(text[pos] - '0');
        if (value > (max - digit) / 10)
            overflow = true;
        else
            value = value * 10 + digit;
    }
    if (overflow)
        return max;
    return negative ? uint64_t(0) - value : value;
}

// Reads like atoi, but a number beyond 32 bits saturates instead of being
// undefined, so every build gives the same protocol for the same text.
int32_t decimalProtocol(std::string_view text)
{
    size_t pos = 0;
    bool negative = skipSpaceAndSign(text, pos);
    // Magnitude up to 2^31 (the most negative value); anything above clamps.
    constexpr int64_t limit = int64_t(1) << 31;
    int64_t magnitude = 0;
    for (; pos < text.size() && isDigit(text[pos]); ++pos) {
        magnitude = magnitude * 10 + (text[pos] - '0');
        if (magnitude > limit)
            magnitude = limit;
    }
    if (negative)
        return int32_t(-magnitude);
    return magnitude >= limit ? std::numeric_limits<int32_t>::max() : int32_t(magnitude);
}

bool isHexDigit(char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isHashText(std::string_view hash)
{
    if (hash.size() != 64)
        return false;
    for (char c : hash)
        if (!isHexDigit(c))
            return false;
    return true;
}

bool hasUpperCase(std::string_view text)
{
    for (char c : text)
        if (c >= 'A' && c <= 'Z')
            return true;
    return false;
}

// Windows finds a file by its name in any letter case, so paths that differ
// only in case name one file.
std::string foldedAsciiCase(std::string_view path)
{
    std::string folded(path);
    for (char &c : folded)
        if (c >= 'A' && c <= 'Z')
            c = char(c + 32);
    return folded;
}

// What the file lines so far made of each case-folded path: the hash of a
// file listed there, and the folders the listed files lie in.
struct ListedPaths {
    std::unordered_map<std::string, std::string> hashes;
    std::unordered_set<std::string> folders;
};

bool fail(std::string &err, std::string message)
{
    err = std::move(message);
    return false;
}

// "file" and "exec" lines: hash, blank, size, blank, path.
bool readFileLine(std::string_view rest, bool exec, Release &out, ListedPaths &listed, std::string &err)
{
    size_t first = rest.find(' ');
    if (first == std::string_view::npos)
        return fail(err, "a file line is malformed");
    size_t second = rest.find(' ', first + 1);
    if (second == std::string_view::npos)
        return fail(err, "a file line is malformed");

    std::string_view hash = rest.substr(0, first);
    std::string_view path = rest.substr(second + 1);
    if (!isHashText(hash))
        return fail(err, "a file's hash is malformed: " + std::string(path));
    // Computed hashes are lower case: an upper-case one would never match
    // and every run would download the file again.
    if (hasUpperCase(hash))
        return fail(err, "a file's hash is not in lower case: " + std::string(path));
    FileEntry entry;
    entry.hash = hash;
    entry.size = decimalSize(rest.substr(first + 1, second - first - 1));
    entry.path = path;
    entry.exec = exec;
    if (!isSafeRelativePath(entry.path))
        return fail(err, "a file's path leaves the install folder: " + entry.path);
    // Two contents for one file: whichever is placed, the other never matches.
    std::string folded = foldedAsciiCase(entry.path);
    const auto known = listed.hashes.find(folded);
    if (known != listed.hashes.end() && known->second != entry.hash)
        return fail(err, "a file is listed twice with different hashes: " + entry.path);
    // One name cannot hold a file and a folder: every run would fail to
    // place whichever comes second.
    if (listed.folders.count(folded))
        return fail(err, "a path is listed as a file and as a folder: " + entry.path);
    for (size_t slash = folded.find('/'); slash != std::string::npos; slash = folded.find('/', slash + 1)) {
        std::string folder = folded.substr(0, slash);
        if (listed.hashes.count(folder))
            return fail(err, "a path is listed as a file and as a folder: " + entry.path.substr(0, slash));
        listed.folders.insert(std::move(folder));
    }
    if (known == listed.hashes.end())
        listed.hashes.emplace(std::move(folded), entry.hash);
    out.files.push_back(std::move(entry));
    return true;
}

// "link" lines: target, TAB, path.
bool readLinkLine(std::string_view rest, Release &out, std::string &err)
{
    size_t tab = rest.find('\t');
    if (tab == std::string_view::npos)
        return fail(err, "a link line is malformed");
    LinkEntry entry;
    entry.target = rest.substr(0, tab);
    entry.path = rest.substr(tab + 1);
    if (!isSafeRelativePath(entry.path) || !linkStaysInside(entry.path, entry.target))
        return fail(err, "a link leaves the install folder: " + entry.path);
    out.links.push_back(std::move(entry));
    return true;
}

} // namespace

bool parseReleaseText(std::string_view text, Release &out, std::string &err)
{
    out = Release{};
    ListedPaths listed;

    size_t lineEnd = text.find('\n');
    if (text.empty() || text.substr(0, lineEnd) != magicLine)
        return fail(err, "not a Quillmarrow Dunmir release");

    // Lines end at LF only: a CR stays part of the line it ends.
    while (lineEnd != std::string_view::npos) {
        size_t start = lineEnd + 1;
        lineEnd = text.find('\n', start);
        std::string_view line = text.substr(start, lineEnd == std::string_view::npos
                                                       ? std::string_view::npos
                                                       : lineEnd - start);
        if (line.empty())
            continue;

        size_t blank = line.find(' ');
        std::string_view keyword = line.substr(0, blank);
        std::string_view rest = blank == std::string_view::npos ? std::string_view()
                                                                : line.substr(blank + 1);
        if (keyword == "version") {
            out.version = rest;
        } else if (keyword == "game") {
            out.game = rest;
        } else if (keyword == "protocol") {
            out.protocol = decimalProtocol(rest);
        } else if (keyword == "file" || keyword == "exec") {
            if (!readFileLine(rest, keyword == "exec", out, listed, err))
                return false;
        } else if (keyword == "link") {
            if (!readLinkLine(rest, out, err))
                return false;
        } else if (keyword == "signature") {
            // Whatever follows the signature is not part of the release.
            break;
        } else {
            return fail(err, "unknown line: " + std::string(keyword));
        }
    }

    if (out.version.empty() || out.game.empty() || out.files.empty() || !isSafeRelativePath(out.game))
        return fail(err, "the release is incomplete");
    return true;
}

bool parseRelease(const std::string &text, Release &out, std::string &err)
{
    return parseReleaseText(text, out, err);
}
