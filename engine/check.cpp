// The release check: fetches and verifies the newest manifest, then finds
// which of its files the install folder lacks.
#include "engine/installer.h"

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "engine/file_ops.h"
#include "engine/handles.h"
#include "engine/helpers.h"
#include "engine/http_client.h"
#include "engine/status.h"

namespace {

// Collects the manifest body. The limit guards against a server that sends
// an endless or huge body: the whole text is held in memory for the
// signature check.
bool appendManifestChunk(Installer &inst, const char *data, uint64_t size)
{
    inst.manifestText.append(data, static_cast<size_t>(size));
    return inst.manifestText.size() < ManifestSizeLimit;
}

// True when the file at place already holds the entry's content. One query
// gives the kind and the size; a trusted recorded hash spares reading the file.
bool isCurrent(const std::filesystem::path &place, const FileEntry &entry,
               const std::map<std::string, std::string> &recorded, bool trustRecord)
{
    const std::wstring path = longPath(place);
    uint64_t size = 0;
    if (!plainFileSize(path, size) || size != entry.size)
        return false;
    const auto it = recorded.find(entry.path);
    if (it != recorded.end() && trustRecord && it->second == entry.hash)
        return true;
    return hashFile(path, nullptr) == entry.hash;
}

// False, with the manifest reader's message, when two listed paths name one
// file with two contents, or one path names a file and a folder of other
// files: whichever is placed, the other never matches, and every run fails
// or fetches it again. Windows finds a name in any letter case by its own
// case table, non-ASCII letters included, which the portable reader cannot
// know; CompareStringOrdinal ignoring case is that rule. Sorting the indexes
// by it and comparing neighbours stays cheap for many files: with each '/'
// taken as the lowest character (a control character, which no listed path
// holds), the files inside a folder come right after a file of that name.
// The entry named is the first, in manifest order, that contradicts an
// earlier one.
bool eachPathHasOneContent(const std::vector<FileEntry> &files, std::string &err)
{
    // Every path as the file system gets it (utf8ToWide's conversion), all
    // in one text.
    std::wstring paths;
    std::vector<std::pair<size_t, int>> spans(files.size()); // offset and length in paths
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string &path = files[i].path;
        const int inLength = static_cast<int>(path.size());
        const int length = std::max(0, MultiByteToWideChar(CP_UTF8, 0, path.data(), inLength, nullptr, 0));
        spans[i] = {paths.size(), length};
        paths.resize(paths.size() + static_cast<size_t>(length));
        MultiByteToWideChar(CP_UTF8, 0, path.data(), inLength, paths.data() + spans[i].first, length);
    }
    constexpr wchar_t folderEnd = L'\x01';
    std::replace(paths.begin(), paths.end(), L'/', folderEnd);
    const auto compare = [&](size_t a, int aLength, size_t b, int bLength) {
        return CompareStringOrdinal(paths.data() + spans[a].first, aLength, paths.data() + spans[b].first, bLength, TRUE);
    };
    const auto order = [&](size_t a, size_t b) { return compare(a, spans[a].second, b, spans[b].second); };
    std::vector<size_t> sorted(files.size());
    for (size_t i = 0; i < sorted.size(); ++i)
        sorted[i] = i;
    // Stable: within one file, manifest order, so the first change of hash
    // is the first contradicting entry.
    std::stable_sort(sorted.begin(), sorted.end(), [&](size_t a, size_t b) { return order(a, b) == CSTR_LESS_THAN; });
    size_t first = files.size();
    std::string message;
    const auto contradicts = [&](size_t entry, std::string text) {
        if (entry < first)
            first = entry, message = std::move(text);
    };
    for (size_t k = 1; k < sorted.size(); ++k) {
        const size_t a = sorted[k - 1], b = sorted[k];
        const int aLength = spans[a].second;
        if (order(a, b) == CSTR_EQUAL) {
            if (files[a].hash != files[b].hash)
                contradicts(b, "a file is listed twice with different hashes: " + files[b].path);
        } else if (spans[b].second > aLength && paths[spans[b].first + static_cast<size_t>(aLength)] == folderEnd &&
                   compare(a, aLength, b, aLength) == CSTR_EQUAL) {
            contradicts(std::max(a, b), "a path is listed as a file and as a folder: " + files[a].path);
        }
    }
    if (first == files.size())
        return true;
    err = message;
    return false;
}

} // namespace

bool Installer::check(std::string &err)
{
    setStatus(L"Looking for the newest version...", L"", -1.0);

    uint8_t publicKey[32];
    if (!fromHex(ReleasePublicKeyHex, publicKey, sizeof publicKey)) {
        err = "this installer has no release key";
        return false;
    }

    const InternetHandle session(openSession());
    const BodySink sink = [this](const char *data, uint64_t size) {
        return appendManifestChunk(*this, data, size);
    };
    // Shared by the attempts: a sink stop keeps an earlier attempt's text.
    std::string lastError;
    bool fetched = false;
    for (int attempt = 0; attempt < 3 && !fetched && !cancel.load(); ++attempt) {
        manifestText.clear();
        fetched = httpGet(session.get(), options.baseUrl + L"latest.manifest", sink, lastError, true);
    }
    if (cancel.load()) {
        err = "Cancelled.";
        return false;
    }
    if (!fetched) {
        err = "Could not reach the Quillmarrow Dunmir server: " + lastError;
        return false;
    }

    if (!verifyRelease(manifestText, publicKey, latest, err) || !eachPathHasOneContent(latest.files, err))
        return false;
    logLine(("latest: " + latest.version + ", " + std::to_string(latest.files.size()) + " files").c_str());

    // The installed record is only a hint for skipping work, so a missing or
    // broken one is no failure.
    std::string recordError;
    haveInstalled = parseRelease(readFile(installPath(manifestFileName)), installed, recordError);
    std::map<std::string, std::string> recorded;
    if (haveInstalled) {
        for (const FileEntry &entry : installed.files)
            recorded[entry.path] = entry.hash;
    }

    // Files placed by a run that stopped before recording them are not
    // what the record says. A run that stopped while downloading has not
    // touched them.
    const bool unfinished = applyUnfinished();
    const bool trustRecord = !options.repair && !unfinished;
    needed.clear();
    neededBytes = 0;
    const uint64_t total = totalSize(latest);
    uint64_t done = 0;
    for (uint64_t i = 0; i < latest.files.size(); ++i) {
        if (cancel.load()) {
            err = "Cancelled.";
            return false;
        }
        const FileEntry &entry = latest.files[i];
        if (!isCurrent(installPath(utf8ToWide(entry.path)), entry, recorded, trustRecord)) {
            needed.push_back(i);
            neededBytes += entry.size;
        }
        done += entry.size;
        if (i % 16 == 0) {
            const double f = total == 0 ? 0.0 : static_cast<double>(done) / static_cast<double>(total);
            {
                const std::lock_guard<std::mutex> lock(mutex);
                fraction = f;
                statusDetail = L"Checking files...";
            }
            if (notify)
                notify();
        }
    }

    // Nothing to fetch and nothing half placed: what earlier runs left in
    // staging serves no one. Only names of ours go; anything else there
    // stays, and makes no run unfinished.
    if (needed.empty() && !unfinished)
        (void)clearStaging(options.installDir);

    logLine(("needed: " + std::to_string(needed.size()) + " files, " + std::to_string(neededBytes) +
             " bytes").c_str());
    return true;
}

bool installUpToDate()
{
    return installer.needed.empty() && installer.haveInstalled && installer.installed == installer.latest &&
           !applyUnfinished();
}
