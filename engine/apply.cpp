// Download and install: fetches every needed file by its hash into the
// staging folder, verifies it while it arrives, moves it into place and
// records the install.
#include "engine/installer.h"

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <system_error>

#include "engine/file_ops.h"
#include "engine/handles.h"
#include "engine/helpers.h"
#include "engine/http_client.h"
#include "engine/registration.h"
#include "engine/status.h"

namespace {

namespace fs = std::filesystem;

// Orders wide paths the way the file system folds letter case, so that
// paths that differ only in case count as the same file.
struct FoldedLess {
    bool operator()(const std::wstring &a, const std::wstring &b) const
    {
        return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                    static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
    }
};

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

bool sameFolded(const std::wstring &a, const std::wstring &b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
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
// else in the way is the player's, and the placing then fails.
void makeWay(const std::wstring &place, size_t insideFrom, const FoldedSet &dropped)
{
    for (size_t cut = place.find(L'\\', insideFrom); cut != std::wstring::npos; cut = place.find(L'\\', cut + 1)) {
        const std::wstring folder = place.substr(0, cut);
        if (dropped.count(folder))
            (void)removeFile(folder); // refuses a folder
    }
    const DWORD attributes = GetFileAttributesW(longPath(place).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return;
    std::vector<std::wstring> folders{place};
    const std::wstring inside = place + L"\\";
    for (auto it = dropped.lower_bound(inside); it != dropped.end() && startsFolded(*it, inside); ++it) {
        (void)removeFile(*it);
        for (size_t cut = it->rfind(L'\\'); cut > place.size(); cut = it->rfind(L'\\', cut - 1))
            folders.push_back(it->substr(0, cut));
    }
    std::sort(folders.begin(), folders.end(),
              [](const std::wstring &a, const std::wstring &b) { return a.size() > b.size(); });
    for (const std::wstring &folder : folders)
        (void)removeFolder(folder);
}

} // namespace

bool applyUnfinished()
{
    return GetFileAttributesW(longPath(installPath(L".staging")).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool placingUnfinished()
{
    return GetFileAttributesW(longPath(installPath(L".staging") / PlacingMarkerName).c_str()) !=
           INVALID_FILE_ATTRIBUTES;
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

    // Inside the install folder, so that placing a file is a rename on one
    // volume, and a later run finds what this one verified. A link there
    // would send downloads, and the clean-up, wherever it points: it is
    // removed, and when it cannot be (Wine cannot remove a Unix link to a
    // folder) the run stops rather than write through it.
    const fs::path staging = installPath(L".staging");
    if (isLink(staging) && !removeFolder(staging)) {
        err = "Could not write to " + wideToUtf8(staging.wstring());
        return false;
    }
    (void)createFolders(staging, ec);
    std::set<std::wstring, FoldedLess> subfolders;
    const auto inStaging = [&](const std::string &hash) {
        const fs::path file = stagedPath(staging, utf8ToWide(hash));
        if (subfolders.insert(file.parent_path().filename().wstring()).second)
            (void)createFolders(file.parent_path(), ec);
        return file;
    };

    const InternetHandle session(openSession());

    // Where this run first put each hash (later entries of that hash copy
    // from there), and which hash each destination of this run holds.
    std::map<std::string, fs::path> placed;
    std::map<std::wstring, std::string, FoldedLess> holds;
    // Where each verified download lies in staging.
    std::map<std::string, fs::path> staged;

    // A run that stopped while placing files may have put a hash at one of
    // its paths and not yet copied it to the others: the check then finds
    // that path current and the others needed. Those bytes are taken from
    // where they lie rather than fetched again.
    std::map<std::string, uint64_t> current;
    {
        const std::set<uint64_t> neededIndexes(needed.begin(), needed.end());
        for (uint64_t i = 0; i < latest.files.size(); ++i)
            if (!neededIndexes.count(i))
                current.emplace(latest.files[i].hash, i);
    }

    std::set<std::string> fetched;
    uint64_t doneBefore = 0;
    for (const uint64_t index : needed) {
        const FileEntry &entry = latest.files[index];
        if (fetched.count(entry.hash))
            continue;
        const std::wstring hashName = utf8ToWide(entry.hash);
        const fs::path stagedFile = stagedPath(staging, hashName);

        // Older versions left verified downloads directly in staging.
        bool found = false;
        for (const fs::path &candidate : {stagedFile, staging / hashName}) {
            if (!found && hashFile(longPath(candidate), nullptr) == entry.hash) {
                staged[entry.hash] = candidate;
                found = true;
            }
        }
        if (found) {
            fetched.insert(entry.hash);
            doneBefore += entry.size;
            continue;
        }
        const auto inPlace = current.find(entry.hash);
        if (inPlace != current.end()) {
            const fs::path place = installPath(utf8ToWide(latest.files[inPlace->second].path));
            if (hashFile(longPath(place), nullptr) == entry.hash) {
                placed[entry.hash] = place;
                holds[longPath(place)] = entry.hash;
                fetched.insert(entry.hash);
                doneBefore += entry.size;
                continue;
            }
        }

        const fs::path partFile = fs::path(inStaging(entry.hash)) += L".part";
        const std::wstring partPath = longPath(partFile);
        // Not cleared between attempts: a stopped transfer keeps the reason
        // an earlier attempt gave.
        std::string lastError;
        bool verified = false;
        for (int attempt = 0; attempt < 3 && !verified; ++attempt) {
            if (cancel.load()) {
                err = "Cancelled.";
                return false;
            }
            // Made anew, never opened: a file linked to this name keeps its bytes.
            FileHandle part(removeFile(partFile)
                                ? CreateFileW(partPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr)
                                : INVALID_HANDLE_VALUE);
            if (!part) {
                err = "Could not write to " + wideToUtf8(staging.wstring());
                return false;
            }
            crypto_blake2b_ctx ctx;
            crypto_blake2b_init(&ctx, 32);
            uint64_t fileDone = 0;
            const HANDLE partHandle = part.get();
            const BodySink sink = [&](const char *data, uint64_t size) {
                return writeChunk(*this, partHandle, ctx, fileDone, doneBefore, entry, data, size);
            };
            const bool received = httpGet(session.get(), options.baseUrl + L"files/" + hashName, sink, lastError, false);

            // A body that ran past the size is a mismatch even when the
            // transfer itself was stopped for it.
            if (fileDone > entry.size)
                lastError = mismatchText(entry);
            else if (received && (fileDone != entry.size || finishHashHex(ctx) != entry.hash))
                lastError = mismatchText(entry);
            else
                verified = received;
            // On the disk before it is kept under its hash: after a power cut
            // that name must not hold zeros.
            if (verified && !FlushFileBuffers(partHandle)) {
                err = "Could not keep a downloaded file.";
                return false;
            }
        }
        if (!verified) {
            err = cancel.load() ? "Cancelled." : "The download failed: " + lastError;
            return false;
        }
        if (cancel.load()) {
            err = "Cancelled.";
            return false;
        }
        if (!replaceFile(partFile, stagedFile)) {
            err = "Could not keep a downloaded file.";
            return false;
        }
        staged[entry.hash] = stagedFile;
        fetched.insert(entry.hash);
        doneBefore += entry.size;
    }

    // Before anything in the install folder changes: until the records are
    // written, a later check must not trust them.
    if (!writeFileAtomic(staging / PlacingMarkerName, "")) {
        err = "Could not write to " + wideToUtf8(staging.wstring());
        return false;
    }
    setStatus(L"Installing...", L"", 1.0);

    // Compared as the file system names them, so that a path spelled
    // another way in the new release is not deleted after being placed.
    FoldedSet dropped;
    if (haveInstalled) {
        FoldedSet keep;
        for (const FileEntry &entry : latest.files)
            keep.insert(longPath(installPath(utf8ToWide(entry.path))));
        for (const FileEntry &entry : installed.files) {
            const std::wstring old = longPath(installPath(utf8ToWide(entry.path)));
            if (!keep.count(old))
                dropped.insert(old);
        }
    }
    const size_t insideFrom = longPath(installDir / L"").size();

    const fs::path self = selfPath();
    const std::wstring selfAside = self.wstring() + L".old";
    const auto failInstall = [&](const FileEntry &entry, DWORD error) {
        err = "Could not install " + entry.path + " (error " + std::to_string(error) + ").";
        return false;
    };
    for (const uint64_t index : needed) {
        const FileEntry &entry = latest.files[index];
        const std::wstring relative = utf8ToWide(entry.path);
        const fs::path destination = installPath(relative);
        const std::wstring key = longPath(destination);
        makeWay(key, insideFrom, dropped);
        (void)createFolders(destination.parent_path(), ec);

        // A release that lists one path twice with different hashes
        // overwrites what this run put there. When later entries would copy
        // that hash from here, its verified bytes go back to staging first,
        // or they would copy the new bytes under the old hash.
        const auto held = holds.find(key);
        if (held != holds.end() && held->second != entry.hash) {
            const auto source = placed.find(held->second);
            if (source != placed.end() && sameFolded(longPath(source->second), key)) {
                const fs::path back = inStaging(held->second);
                if (!replaceFile(destination, back))
                    return failInstall(entry, GetLastError());
                staged[held->second] = back;
                placed.erase(source);
            }
        }

        // Windows lets a running program be renamed but not replaced.
        const bool replacesSelf = !self.empty() && samePath(destination, self);
        if (replacesSelf)
            (void)replaceFile(self, selfAside);

        // Every file arrives by a rename of a complete file over its
        // destination: a file linked to the destination keeps its bytes.
        bool ok = true;
        const auto first = placed.find(entry.hash);
        if (first != placed.end()) {
            // A release may list one file twice; copying it onto itself
            // would fail for good.
            if (!samePath(first->second, destination)) {
                const fs::path copy = fs::path(inStaging(entry.hash)) += L".tmp";
                ok = copyToNew(first->second, copy) && replaceFile(copy, destination);
            }
        } else {
            const auto from = staged.find(entry.hash);
            if (from == staged.end())
                SetLastError(ERROR_FILE_NOT_FOUND);
            ok = from != staged.end() && replaceFile(from->second, destination);
            if (ok)
                placed[entry.hash] = destination;
        }
        if (!ok) {
            const DWORD error = GetLastError();
            // Put the running program back, or the install folder would be
            // left without its setup program.
            if (replacesSelf)
                (void)replaceFile(selfAside, self);
            return failInstall(entry, error);
        }
        holds[key] = entry.hash;
    }

    for (const std::wstring &old : dropped)
        (void)removeFile(old);

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
