// Download and install: fetches every needed file by its hash into the
// staging folder, verifies it while it arrives, moves it into place and
// records the install.
#include "engine/installer.h"

#include <algorithm>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "engine/file_ops.h"
#include "engine/handles.h"
#include "engine/helpers.h"
#include "engine/http_client.h"
#include "engine/placing.h"
#include "engine/registration.h"
#include "engine/staging.h"
#include "engine/status.h"

namespace {

namespace fs = std::filesystem;

// Streams one received chunk into the ".part" file and the hash, and shows
// the progress. Stops once the body passes the listed size: a longer body
// can never verify, and it must not fill the disk.
bool writeChunk(Installer &inst, HANDLE part, crypto_blake2b_ctx &ctx, uint64_t &fileDone,
                const uint64_t &doneBefore, const FileEntry &entry, const char *data, uint64_t size)
{
    if (inst.cancel.load())
        return false;
    DWORD written = 0;
    if (!WriteFile(part, data, static_cast<DWORD>(size), &written, nullptr) || written != size)
        return false;
    crypto_blake2b_update(&ctx, reinterpret_cast<const uint8_t *>(data), static_cast<size_t>(size));
    fileDone += size;

    const uint64_t done = doneBefore + fileDone;
    const std::wstring detail = formatSize(done) + L" of " + formatSize(inst.neededBytes);
    const double f = inst.neededBytes == 0
                         ? 1.0
                         : static_cast<double>(done) / static_cast<double>(inst.neededBytes);
    {
        const std::lock_guard<std::mutex> lock(inst.mutex);
        inst.fraction = f;
        inst.statusDetail = detail;
    }
    if (inst.notify)
        inst.notify();
    return fileDone <= entry.size;
}

// True when a release path lies in the staging folder or names one of the
// install folder's records: placing a file there would overwrite a verified
// download or a record with other bytes.
bool namesOwnFile(const std::string &path)
{
    std::wstring first = utf8ToWide(path.substr(0, path.find('/')));
    while (!first.empty() && (first.back() == L'.' || first.back() == L' '))
        first.pop_back();
    for (const wchar_t *own : {L".staging", L"install.manifest", L"install.source", L"install.manifest.tmp",
                               L"install.source.tmp"})
        if (sameFolded(first, own))
            return true;
    return false;
}

std::string mismatchText(const FileEntry &entry)
{
    return "a file did not match the release: " + entry.path;
}

using FoldedSet = std::set<std::wstring, FoldedLess>;

bool startsFolded(const std::wstring &text, const std::wstring &head)
{
    return text.size() >= head.size() && sameFolded(text.substr(0, head.size()), head);
}

// Makes room for a file at place (as the file system names it) between two
// releases that changed a file into a folder or back: a file of the
// installed release where a folder is needed is deleted, and a folder where
// the file must go is removed when nothing but files the new release drops
// lie in it. Those names are deleted, the folder is never walked: anything
// else in the way is the player's, and the placing then fails. True when
// a folder went.
bool makeWay(const std::wstring &place, size_t insideFrom, const FoldedSet &dropped)
{
    for (size_t cut = place.find(L'\\', insideFrom); cut != std::wstring::npos; cut = place.find(L'\\', cut + 1)) {
        const std::wstring folder = place.substr(0, cut);
        if (dropped.count(folder))
            (void)removeFile(folder); // refuses a folder
    }
    const std::wstring inside = place + L"\\";
    const auto firstInside = dropped.lower_bound(inside);
    if (firstInside == dropped.end() || !startsFolded(*firstInside, inside))
        return false; // nothing of ours could be in the way
    const DWORD attributes = GetFileAttributesW(longPath(place).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    std::vector<std::wstring> folders{place};
    for (auto it = firstInside; it != dropped.end() && startsFolded(*it, inside); ++it) {
        (void)removeFile(*it);
        for (size_t cut = it->rfind(L'\\'); cut > place.size(); cut = it->rfind(L'\\', cut - 1))
            folders.push_back(it->substr(0, cut));
    }
    std::sort(folders.begin(), folders.end(),
              [](const std::wstring &a, const std::wstring &b) { return a.size() > b.size(); });
    for (const std::wstring &folder : folders)
        (void)removeFolder(folder);
    return true;
}

constexpr uint32_t NoEntry = UINT32_MAX;

// What this run knows of one distinct hash it needs.
struct HashState {
    uint32_t placedAt = NoEntry; // the entry whose destination holds these bytes in this run
    uint32_t inPlace = NoEntry;  // an entry the check found current, which may hold them already
    uint8_t listed = 0;          // the staged names the listing found for it
    uint8_t kept = 0;            // stagedFile or stagedFlat once its verified bytes wait there
};

using HashStates = std::unordered_map<Digest, HashState, DigestHash>;

Digest digestOf(const std::string &hash)
{
    Digest digest{};
    (void)fromHex(hash, digest.data(), digest.size()); // the reader let only 64 digits through
    return digest;
}

// Paths in the install folder, made when they are used from the folder's
// extended-length form and a release path: the reader has held every
// release path to names that need no resolving.
class Places {
public:
    explicit Places(const fs::path &installDir) : root_(longPath(installDir))
    {
        if (!root_.ends_with(L'\\'))
            root_ += L'\\';
    }
    std::wstring of(const std::string &path) const
    {
        std::wstring place = root_ + utf8ToWide(path);
        std::replace(place.begin() + static_cast<std::ptrdiff_t>(root_.size()), place.end(), L'/', L'\\');
        return place;
    }
    // Ends in '\'.
    const std::wstring &root() const { return root_; }

private:
    std::wstring root_;
};

// The installed release's files that the new one lacks, as the file system
// names them: a path the new release spells in other letters is the same
// file and stays. Only the few paths not listed byte for byte are folded,
// so that an update holds no second copy of every path.
FoldedSet droppedFiles(const Release &latest, const Release &installed, const Places &places)
{
    std::vector<std::string_view> listed;
    listed.reserve(latest.files.size());
    for (const FileEntry &entry : latest.files)
        listed.push_back(entry.path);
    std::sort(listed.begin(), listed.end());
    FoldedSet dropped;
    for (const FileEntry &entry : installed.files)
        if (!std::binary_search(listed.begin(), listed.end(), std::string_view(entry.path)))
            dropped.insert(places.of(entry.path));
    if (!dropped.empty())
        for (const FileEntry &entry : latest.files)
            dropped.erase(places.of(entry.path));
    return dropped;
}

// A new file, never one opened at that name: a file linked to the name
// keeps its bytes. mayExist says whether to delete first; the listing
// spares that lookup for the many names that are not there.
FileHandle createNew(const std::wstring &path, bool mayExist)
{
    if (mayExist && !removeFile(path))
        return {};
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    if (!file && !mayExist && GetLastError() == ERROR_FILE_EXISTS)
        return createNew(path, true);
    return file;
}

// The running program, as far as a release path could name it: by its file
// name or its short name. Only those paths are asked about its identity.
class SelfFile {
public:
    SelfFile() : path_(selfPath())
    {
        name_ = path_.filename().wstring();
        const std::wstring full = longPath(path_);
        std::wstring shortPath(full.size() + 1, L'\0');
        const DWORD length = GetShortPathNameW(full.c_str(), shortPath.data(), static_cast<DWORD>(shortPath.size()));
        if (length > 0 && length < shortPath.size()) {
            shortPath.resize(length);
            shortName_ = shortPath.substr(shortPath.find_last_of(L'\\') + 1);
        }
    }
    bool is(const std::wstring &place) const
    {
        if (path_.empty())
            return false;
        const std::wstring name = place.substr(place.find_last_of(L'\\') + 1);
        return (sameFolded(name, name_) || (!shortName_.empty() && sameFolded(name, shortName_))) &&
               samePath(place, path_);
    }
    const fs::path &path() const { return path_; }

private:
    fs::path path_;
    std::wstring name_, shortName_;
};

} // namespace

bool applyUnfinished()
{
    const std::wstring staging = longPath(installPath(L".staging"));
    const DWORD folder = GetFileAttributesW(staging.c_str());
    if (folder == INVALID_FILE_ATTRIBUTES || !(folder & FILE_ATTRIBUTE_DIRECTORY) ||
        (folder & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    const DWORD marker = GetFileAttributesW((staging + L"\\" + PlacingMarkerName).c_str());
    return marker != INVALID_FILE_ATTRIBUTES && !(marker & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}

bool Installer::apply(std::string &err)
{
    for (const FileEntry &entry : latest.files) {
        if (namesOwnFile(entry.path)) {
            err = "Could not install " + entry.path + " (error " + std::to_string(ERROR_INVALID_NAME) + ").";
            return false;
        }
    }

    const fs::path &installDir = options.installDir;
    std::error_code ec;
    if (!createFolders(installDir, ec)) {
        err = "Could not create " + wideToUtf8(installDir.wstring()) + ": " + ec.message();
        return false;
    }

    ULARGE_INTEGER freeBytes{};
    if (GetDiskFreeSpaceExW(installDir.c_str(), &freeBytes, nullptr, nullptr)) {
        // Saturates: a release too big to add the margin to cannot fit either.
        const uint64_t wanted = neededBytes > UINT64_MAX - DiskSpaceMargin ? UINT64_MAX
                                                                           : neededBytes + DiskSpaceMargin;
        if (freeBytes.QuadPart < wanted) {
            err = "Not enough free disk space: " + wideToUtf8(formatSize(neededBytes)) + " are needed.";
            return false;
        }
    }

    // A game that holds its program open would make the install fail half
    // way; an update run gives it time to quit.
    const std::wstring game = longPath(gameExePath());
    const int tries = options.update ? 81 : 1;
    for (int count = 0;;) {
        if (GetFileAttributesW(game.c_str()) == INVALID_FILE_ATTRIBUTES)
            break;
        const FileHandle probe(CreateFileW(game.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                          nullptr));
        if (probe || GetLastError() != ERROR_SHARING_VIOLATION)
            break;
        Sleep(250);
        if (++count >= tries) {
            err = "Quillmarrow Dunmir is running. Close it, then try again.";
            return false;
        }
    }

    const Places places(installDir);
    // Inside the install folder, so that placing a file is a rename on one
    // volume, and a later run finds what this one verified.
    Staging staging(places.root());
    const std::string cannotStage = "Could not write to " + wideToUtf8(installPath(L".staging").wstring());

    // Per distinct hash, keyed by its bytes rather than its text or a path:
    // an install of many files holds little more than the release itself.
    HashStates hashes;
    hashes.reserve(needed.size());
    for (const uint64_t index : needed)
        hashes.try_emplace(digestOf(latest.files[index].hash));
    const auto stateOf = [&](const FileEntry &entry) -> HashState & { return hashes.find(digestOf(entry.hash))->second; };
    // A run that stopped while placing files may have put a hash at one of
    // its paths and not yet copied it to the others: the check then finds
    // that path current and the others needed. Those bytes are taken from
    // where they lie rather than fetched again.
    if (needed.size() < latest.files.size()) {
        std::vector<bool> isNeeded(latest.files.size());
        for (const uint64_t index : needed)
            isNeeded[index] = true;
        for (uint64_t i = 0; i < latest.files.size(); ++i) {
            const auto found = isNeeded[i] ? hashes.end() : hashes.find(digestOf(latest.files[i].hash));
            if (found != hashes.end() && found->second.inPlace == NoEntry)
                found->second.inPlace = static_cast<uint32_t>(i);
        }
    }

    // What earlier runs left in staging, read in one listing: most needed
    // files have nothing there, and every lookup of a missing name costs.
    if (!needed.empty()) {
        staging.list([&](const Digest &digest, StagedName name) {
            const auto found = hashes.find(digest);
            if (found != hashes.end())
                found->second.listed |= name;
        });
        if (!staging.prepare()) {
            err = cannotStage;
            return false;
        }
    }

    const InternetHandle session(openSession());
    Flusher flusher;
    uint64_t doneBefore = 0;
    for (const uint64_t index : needed) {
        const FileEntry &entry = latest.files[index];
        HashState &state = stateOf(entry);
        if (state.kept || state.placedAt != NoEntry)
            continue;
        // Verified by an earlier run: today's layout, then that of older versions.
        for (const StagedName name : {stagedFile, stagedFlat}) {
            const std::wstring file = name == stagedFile ? staging.file(entry.hash) : staging.flatFile(entry.hash);
            if (!state.kept && (state.listed & name) && hashFile(file, nullptr) == entry.hash)
                state.kept = name;
        }
        if (!state.kept && state.inPlace != NoEntry &&
            hashFile(places.of(latest.files[state.inPlace].path), nullptr) == entry.hash)
            state.placedAt = state.inPlace;
        if (state.kept || state.placedAt != NoEntry) {
            doneBefore += entry.size;
            continue;
        }

        if (!staging.prepareFolder(entry.hash)) {
            err = cannotStage;
            return false;
        }
        const std::wstring part = staging.file(entry.hash, L".part");
        bool partThere = state.listed & stagedPart;
        const std::wstring url = options.baseUrl + L"files/" + utf8ToWide(entry.hash);
        // Not cleared between attempts: a stopped transfer keeps the reason
        // an earlier attempt gave.
        std::string lastError;
        FileHandle verified;
        for (int attempt = 0; attempt < 3 && !verified; ++attempt) {
            if (cancel.load()) {
                err = "Cancelled.";
                return false;
            }
            FileHandle file = createNew(part, partThere);
            if (!file) {
                err = cannotStage;
                return false;
            }
            partThere = true;
            crypto_blake2b_ctx ctx;
            crypto_blake2b_init(&ctx, 32);
            uint64_t fileDone = 0;
            const HANDLE handle = file.get();
            const BodySink sink = [&](const char *data, uint64_t size) {
                return writeChunk(*this, handle, ctx, fileDone, doneBefore, entry, data, size);
            };
            const bool received = httpGet(session.get(), url, sink, lastError, false);

            // A body that ran past the size is a mismatch even when the
            // transfer itself was stopped for it.
            if (fileDone > entry.size || (received && (fileDone != entry.size || finishHashHex(ctx) != entry.hash)))
                lastError = mismatchText(entry);
            else if (received)
                verified = std::move(file);
        }
        if (!verified) {
            err = cancel.load() ? "Cancelled." : "The download failed: " + lastError;
            return false;
        }
        if (cancel.load()) {
            err = "Cancelled.";
            return false;
        }
        flusher.add(std::move(verified), part, staging.file(entry.hash));
        if (!flusher.ok()) {
            err = "Could not keep a downloaded file.";
            return false;
        }
        state.kept = stagedFile;
        doneBefore += entry.size;
    }
    // Every download on the disk under its hash before anything is placed.
    if (!flusher.finish()) {
        err = "Could not keep a downloaded file.";
        return false;
    }

    FoldedSet dropped;
    if (haveInstalled)
        dropped = droppedFiles(latest, installed, places);
    // Files that placings which stopped before this run put where no record
    // names them: those that hold the bytes their release listed there are
    // ours, and go like dropped files unless this release lists their paths.
    const std::vector<std::string> stopped = readPlacingMarker();
    std::vector<bool> stillPlaced(stopped.size());
    if (!stopped.empty()) {
        FoldedSet recorded, listed;
        if (haveInstalled)
            for (const FileEntry &entry : installed.files)
                recorded.insert(places.of(entry.path));
        for (const FileEntry &entry : latest.files)
            listed.insert(places.of(entry.path));
        forEachPlacedCandidate(
            stopped, [&](const std::string &path) { return recorded.count(places.of(path)) != 0; },
            [&](const FileEntry &entry, size_t release) {
                // Of the listed size: maybe still that release's, so the
                // marker keeps it should this run stop too.
                stillPlaced[release] = true;
                const std::wstring place = places.of(entry.path);
                if (!listed.count(place) && hashFile(place, nullptr) == entry.hash)
                    dropped.insert(place);
            });
    }

    // Before anything in the install folder changes: until the records are
    // written a later check must not trust them, and an uninstall must know
    // which releases the files in place may come from.
    if (!needed.empty() &&
        !writeFileAtomic(staging.folder() + L"\\" + PlacingMarkerName, placingMarkerText(manifestText, stopped, stillPlaced))) {
        err = cannotStage;
        return false;
    }
    setStatus(L"Installing...", L"", 1.0);
    const size_t insideFrom = places.root().size();

    const SelfFile self;
    const std::wstring selfAside = self.path().wstring() + L".old";
    const auto failInstall = [&](const FileEntry &entry, DWORD error) {
        err = "Could not install " + entry.path + " (error " + std::to_string(error) + ").";
        return false;
    };
    // Folders made or found in this run: each is asked for once.
    std::set<std::wstring> folders;
    for (const uint64_t index : needed) {
        const FileEntry &entry = latest.files[index];
        const std::wstring destination = places.of(entry.path);
        if (!dropped.empty() && makeWay(destination, insideFrom, dropped))
            folders.clear();
        const std::wstring parent = destination.substr(0, destination.find_last_of(L'\\'));
        if (parent.size() >= insideFrom && folders.insert(parent).second)
            (void)createFolders(parent, ec);

        // Windows lets a running program be renamed but not replaced.
        const bool replacesSelf = self.is(destination);
        if (replacesSelf)
            (void)replaceFile(self.path(), selfAside);

        // Every file arrives by a rename of a complete file over its
        // destination: a file linked to the destination keeps its bytes.
        HashState &state = stateOf(entry);
        bool ok = true;
        if (state.placedAt != NoEntry) {
            // A release may list one file twice; copying it onto itself
            // would fail for good.
            const std::wstring first = places.of(latest.files[state.placedAt].path);
            if (!sameFolded(first, destination)) {
                const std::wstring copy = staging.file(entry.hash, L".tmp");
                ok = staging.prepareFolder(entry.hash) && copyToNew(first, copy) && replaceFile(copy, destination);
            }
        } else {
            if (!state.kept)
                SetLastError(ERROR_FILE_NOT_FOUND);
            ok = state.kept &&
                 replaceFile(state.kept == stagedFile ? staging.file(entry.hash) : staging.flatFile(entry.hash),
                             destination);
            if (ok)
                state.placedAt = static_cast<uint32_t>(index);
        }
        if (!ok) {
            const DWORD error = GetLastError();
            // Put the running program back, or the install folder would be
            // left without its setup program.
            if (replacesSelf)
                (void)replaceFile(selfAside, self.path());
            return failInstall(entry, error);
        }
    }

    // The dropped files, then the folders they leave empty: only those, so
    // that a folder the player made, or keeps files in, stays.
    std::set<std::wstring> emptied;
    for (const std::wstring &old : dropped) {
        (void)removeFile(old);
        for (size_t cut = old.rfind(L'\\'); cut != std::wstring::npos && cut >= insideFrom; cut = old.rfind(L'\\', cut - 1))
            emptied.insert(old.substr(0, cut));
    }
    std::vector<std::wstring> deepestFirst(emptied.begin(), emptied.end());
    std::stable_sort(deepestFirst.begin(), deepestFirst.end(),
                     [](const std::wstring &a, const std::wstring &b) { return a.size() > b.size(); });
    for (const std::wstring &folder : deepestFirst)
        (void)removeFolder(folder);

    if (!writeFileAtomic(installPath(manifestFileName), manifestText)) {
        err = "Could not record the installed version.";
        return false;
    }
    if (options.baseUrl == DefaultBaseUrl)
        (void)removeFile(installPath(sourceFileName));
    else
        (void)writeFileAtomic(installPath(sourceFileName), wideToUtf8(options.baseUrl) + "\n");

    // The marker goes with it: the records now describe the files in place.
    (void)clearStaging(installDir);

    const bool firstInstall = !haveInstalled;
    installed = latest;
    haveInstalled = true;
    if (!options.noRegister)
        registerInstall(firstInstall);
    logLine(("installed " + latest.version).c_str());
    return true;
}
