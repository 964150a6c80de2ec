// The staging folder of one apply run: what earlier runs left there, read
// in one listing, the subfolders this run writes into, and the flushing of
// verified downloads on a thread of their own.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "engine/handles.h"

// A BLAKE2b-256 digest: the key of a file's content, a quarter of its text's size.
using Digest = std::array<uint8_t, 32>;

struct DigestHash {
    size_t operator()(const Digest &digest) const
    {
        size_t value;
        std::memcpy(&value, digest.data(), sizeof value); // already uniformly spread
        return value;
    }
};

// What the listing found in staging under one hash's names.
enum StagedName : uint8_t {
    stagedFile = 1, // "<xx>/<hash>": a download kept under its hash
    stagedFlat = 2, // "<hash>" at the top, where older versions kept it
    stagedPart = 4, // "<xx>/<hash>.part": an unfinished attempt
    stagedCopy = 8, // "<xx>/<hash>.tmp": a copy on its way to a second path
};

class Staging {
public:
    // installDir in its extended-length form.
    explicit Staging(const std::wstring &installDir);

    // Lists the staging folder and its two-digit subfolders once, and hands
    // every name of ours to found. Links are noted, never entered.
    void list(const std::function<void(const Digest &, StagedName)> &found);

    // Makes the staging folder ready to write into: a link there is removed
    // (never written through) and the folder made. False when it cannot be.
    [[nodiscard]] bool prepare();

    // The same for the subfolder of this hash's first two digits.
    [[nodiscard]] bool prepareFolder(const std::string &hash);

    const std::wstring &folder() const { return folder_; }
    // "<staging>\<xx>\<hash>", and the same with a suffix.
    std::wstring file(const std::string &hash, const wchar_t *suffix = L"") const;
    // "<staging>\<hash>", the layout of older versions.
    std::wstring flatFile(const std::string &hash) const;

private:
    enum class State : uint8_t { unknown, absent, folder, link, blocked };
    // Resolves state, removes a link, makes the folder (made says so).
    bool ready(const std::wstring &path, State &state, bool &made);

    std::wstring folder_;
    State top_ = State::unknown;
    std::array<State, 256> sub_{};
};

// Flushes each verified download to the disk, closes it and renames it to
// its hash name on a thread of its own, while the next one arrives: after a
// power cut a hash name must never hold zeros, but the download need not
// wait on the disk for that.
class Flusher {
public:
    Flusher();
    ~Flusher();
    Flusher(const Flusher &) = delete;
    Flusher &operator=(const Flusher &) = delete;

    // Takes the open file; waits while many are queued.
    void add(FileHandle file, std::wstring part, std::wstring kept);

    // True when every download so far was flushed and renamed.
    bool ok();

    // Waits until everything queued is done; true when all of it was.
    [[nodiscard]] bool finish();

private:
    struct Item {
        FileHandle file;
        std::wstring part;
        std::wstring kept;
    };
    void run();

    SlimLock lock_;
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
    std::deque<Item> queue_; // guarded by lock_, as are the three below
    bool busy_ = false;
    bool stopping_ = false;
    bool failed_ = false;
    std::thread thread_;
};
