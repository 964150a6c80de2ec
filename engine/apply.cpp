// Download and install: fetches every needed file by its hash into the
// staging folder, verifies it while it arrives, moves it into place and
// records the install.
#include "engine/installer.h"

#include <map>
#include <set>
#include <string>
#include <system_error>

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

// The name the file system gives a path: Windows drops the trailing dots
// and blanks of each name, so "a.map." is "a.map".
std::wstring placeKey(const fs::path &path)
{
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(size, L'\0');
    const DWORD length = size ? GetFullPathNameW(path.c_str(), size, full.data(), nullptr) : 0;
    if (length == 0 || length >= size)
        return path.wstring();
    full.resize(length);
    return full;
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

} // namespace

bool applyUnfinished()
{
    std::error_code ec;
    return fs::exists(installPath(L".staging"), ec);
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
    fs::create_directories(installDir, ec);
    if (ec) {
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
    const fs::path game = gameExePath();
    const int tries = options.update ? 81 : 1;
    for (int count = 0;;) {
        std::error_code statusError;
        const fs::file_status st = fs::status(game, statusError);
        if (statusError || !fs::exists(st))
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
    // volume, and a later run finds what this one verified.
    const fs::path staging = installPath(L".staging");
    fs::create_directories(staging, ec);

    const InternetHandle session(openSession());

    // Where this run first put each hash (later entries of that hash copy
    // from there), and which hash each destination of this run holds.
    std::map<std::string, fs::path> placed;
    std::map<std::wstring, std::string, FoldedLess> holds;

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
        const fs::path partFile = staging / (hashName + L".part");
        const fs::path stagedFile = staging / hashName;

        if (hashFile(stagedFile, nullptr) == entry.hash) {
            fetched.insert(entry.hash);
            doneBefore += entry.size;
            continue;
        }
        const auto inPlace = current.find(entry.hash);
        if (inPlace != current.end()) {
            const fs::path place = installPath(utf8ToWide(latest.files[inPlace->second].path));
            if (hashFile(place, nullptr) == entry.hash) {
                placed[entry.hash] = place;
                holds[placeKey(place)] = entry.hash;
                fetched.insert(entry.hash);
                doneBefore += entry.size;
                continue;
            }
        }

        // Not cleared between attempts: a stopped transfer keeps the reason
        // an earlier attempt gave.
        std::string lastError;
        bool verified = false;
        for (int attempt = 0; attempt < 3 && !verified; ++attempt) {
            if (cancel.load()) {
                err = "Cancelled.";
                return false;
            }
            FileHandle part(CreateFileW(partFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
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
            part.reset();

            // A body that ran past the size is a mismatch even when the
            // transfer itself was stopped for it.
            if (fileDone > entry.size)
                lastError = mismatchText(entry);
            else if (received && (fileDone != entry.size || finishHashHex(ctx) != entry.hash))
                lastError = mismatchText(entry);
            else
                verified = received;
        }
        if (!verified) {
            err = cancel.load() ? "Cancelled." : "The download failed: " + lastError;
            return false;
        }
        if (cancel.load()) {
            err = "Cancelled.";
            return false;
        }
        if (!MoveFileExW(partFile.c_str(), stagedFile.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            err = "Could not keep a downloaded file.";
            return false;
        }
        fetched.insert(entry.hash);
        doneBefore += entry.size;
    }

    setStatus(L"Installing...", L"", 1.0);
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
        fs::create_directories(destination.parent_path(), ec);

        // A release that lists one path twice with different hashes
        // overwrites what this run put there. When later entries would copy
        // that hash from here, its verified bytes go back to staging first,
        // or they would copy the new bytes under the old hash.
        const std::wstring key = placeKey(destination);
        const auto held = holds.find(key);
        if (held != holds.end() && held->second != entry.hash) {
            const auto source = placed.find(held->second);
            if (source != placed.end() && sameFolded(placeKey(source->second), key)) {
                if (!MoveFileExW(destination.c_str(), (staging / utf8ToWide(held->second)).c_str(),
                                 MOVEFILE_REPLACE_EXISTING))
                    return failInstall(entry, GetLastError());
                placed.erase(source);
            }
        }

        // Windows lets a running program be renamed but not replaced.
        const bool replacesSelf = !self.empty() && samePath(destination, self);
        if (replacesSelf)
            MoveFileExW(self.c_str(), selfAside.c_str(), MOVEFILE_REPLACE_EXISTING);

        BOOL ok = TRUE;
        const auto first = placed.find(entry.hash);
        if (first != placed.end()) {
            // A release may list one file twice; copying it onto itself
            // would fail for good.
            if (!samePath(first->second, destination))
                ok = CopyFileW(first->second.c_str(), destination.c_str(), FALSE);
        } else {
            ok = MoveFileExW((staging / utf8ToWide(entry.hash)).c_str(), destination.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
            if (ok)
                placed[entry.hash] = destination;
        }
        if (!ok) {
            const DWORD error = GetLastError();
            // Put the running program back, or the install folder would be
            // left without its setup program.
            if (replacesSelf)
                MoveFileExW(selfAside.c_str(), self.c_str(), MOVEFILE_REPLACE_EXISTING);
            return failInstall(entry, error);
        }
        holds[key] = entry.hash;
    }

    // Compared as the file system names them, so that a path spelled
    // another way in the new release is not deleted after being placed.
    if (haveInstalled) {
        std::set<std::wstring, FoldedLess> keep;
        for (const FileEntry &entry : latest.files)
            keep.insert(placeKey(installPath(utf8ToWide(entry.path))));
        for (const FileEntry &entry : installed.files) {
            const fs::path old = installPath(utf8ToWide(entry.path));
            if (!keep.count(placeKey(old)))
                DeleteFileW(old.c_str());
        }
    }

    if (!writeFileAtomic(installPath(manifestFileName), manifestText)) {
        err = "Could not record the installed version.";
        return false;
    }
    if (options.baseUrl == DefaultBaseUrl)
        DeleteFileW(installPath(sourceFileName).c_str());
    else
        (void)writeFileAtomic(installPath(sourceFileName), wideToUtf8(options.baseUrl) + "\n");

    fs::remove_all(staging, ec);

    const bool firstInstall = !haveInstalled;
    installed = latest;
    haveInstalled = true;
    if (!options.noRegister)
        registerInstall(firstInstall);
    logLine(("installed " + latest.version).c_str());
    return true;
}
