#include "engine/placing.h"

#include <string_view>

#include "engine/file_ops.h"
#include "engine/helpers.h"
#include "engine/installer.h"

namespace {

constexpr std::string_view FirstLine = "quillmarrow-release 1";

std::string withLineEnd(std::string text)
{
    if (!text.empty() && text.back() != '\n')
        text += '\n';
    return text;
}

} // namespace

std::vector<std::string> readPlacingMarker()
{
    std::vector<std::string> manifests;
    if (!applyUnfinished())
        return manifests;
    const std::string text = readFile(installPath(L".staging") / PlacingMarkerName);
    // Each manifest begins with its first line, which no manifest holds
    // anywhere else: the reader refuses it as an unknown line.
    std::vector<size_t> starts;
    for (size_t at = text.find(FirstLine); at != std::string::npos; at = text.find(FirstLine, at + 1)) {
        const size_t end = at + FirstLine.size();
        if ((at == 0 || text[at - 1] == '\n') && (end == text.size() || text[end] == '\n'))
            starts.push_back(at);
    }
    for (size_t i = 0; i < starts.size(); ++i)
        manifests.push_back(text.substr(starts[i], i + 1 < starts.size() ? starts[i + 1] - starts[i] : std::string::npos));
    return manifests;
}

std::string placingMarkerText(const std::string &manifest, const std::vector<std::string> &older,
                              const std::vector<bool> &keep)
{
    std::string text = withLineEnd(manifest);
    const std::string newest = text;
    for (size_t i = 0; i < older.size(); ++i) {
        std::string kept = withLineEnd(older[i]);
        if (i < keep.size() && keep[i] && kept != newest)
            text += kept;
    }
    return text;
}

void forEachPlacedCandidate(const std::vector<std::string> &manifests,
                            const std::function<bool(const std::string &)> &claimed,
                            const std::function<void(const FileEntry &, size_t)> &found)
{
    for (size_t i = 0; i < manifests.size(); ++i) {
        Release release;
        std::string readerMessage;
        if (!parseRelease(manifests[i], release, readerMessage))
            continue;
        for (const FileEntry &entry : release.files) {
            if (claimed(entry.path))
                continue;
            uint64_t size = 0;
            if (plainFileSize(longPath(installPath(utf8ToWide(entry.path))), size) && size == entry.size)
                found(entry, i);
        }
    }
}
