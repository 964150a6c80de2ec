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
// file with two contents: whichever is placed, the other never matches and
// every run fetches it again. Windows finds a name in any letter case by its
// own case table, non-ASCII letters included, which the portable reader
// cannot know; CompareStringOrdinal ignoring case is that rule. Sorting the
// indexes by it and comparing neighbours stays cheap for many files. The
// entry named is the first, in manifest order, that contradicts an earlier one.
bool eachFileHasOneContent(const std::vector<FileEntry> &files, std::string &err)
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
    const auto order = [&](size_t a, size_t b) {
        return CompareStringOrdinal(paths.data() + spans[a].first, spans[a].second, paths.data() + spans[b].first,
                                    spans[b].second, TRUE);
    };
    std::vector<size_t> sorted(files.size());
    for (size_t i = 0; i < sorted.size(); ++i)
        sorted[i] = i;
    // Stable: within one file, manifest order, so the first change of hash
    // is the first contradicting entry.
    std::stable_sort(sorted.begin(), sorted.end(), [&](size_t a, size_t b) { return order(a, b) == CSTR_LESS_THAN; });
    size_t first = files.size();
    for (size_t k = 1; k < sorted.size(); ++k) {
        const size_t a = sorted[k - 1], b = sorted[k];
        if (order(a, b) == CSTR_EQUAL && files[a].hash != files[b].hash)
            first = std::min(first, b);
    }
    if (first == files.size())
        return true;
    err = "a file is listed twice with different hashes: " + files[first].path;
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

    if (!verifyRelease(manifestText, publicKey, latest, err) || !eachFileHasOneContent(latest.files, err))
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
