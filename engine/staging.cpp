#include "engine/staging.h"

#include <algorithm>
#include <system_error>

#include "engine/file_ops.h"
#include "release/release.h"

namespace {

// The value of two hex digits, either case; -1 when they are none.
int hexPair(const wchar_t *text)
{
    int value = 0;
    for (int i = 0; i < 2; ++i) {
        const wchar_t c = text[i];
        const int digit = c >= L'0' && c <= L'9' ? c - L'0'
                          : c >= L'a' && c <= L'f' ? c - L'a' + 10
                          : c >= L'A' && c <= L'F' ? c - L'A' + 10
                                                   : -1;
        if (digit < 0)
            return -1;
        value = value * 16 + digit;
    }
    return value;
}

// The digest a staged name stands for: "<hash>" followed by suffix.
bool digestOf(const std::wstring &name, const wchar_t *suffix, Digest &digest)
{
    const size_t tail = std::wcslen(suffix);
    if (name.size() != 64 + tail || name.compare(64, tail, suffix) != 0)
        return false;
    for (size_t i = 0; i < 32; ++i) {
        const int value = hexPair(name.c_str() + 2 * i);
        if (value < 0)
            return false;
        digest[i] = static_cast<uint8_t>(value);
    }
    return true;
}

// Calls found for every entry of folder; false when it cannot be listed.
template <typename Found>
void forEachEntry(const std::wstring &folder, Found found)
{
    WIN32_FIND_DATAW entry;
    const HANDLE search = FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                           nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        found(entry);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}

} // namespace

Staging::Staging(const std::wstring &installDir)
    : folder_(installDir + (installDir.ends_with(L'\\') ? L"" : L"\\") + L".staging")
{
}

void Staging::list(const std::function<void(const Digest &, StagedName)> &found)
{
    const DWORD attributes = GetFileAttributesW(folder_.c_str());
    top_ = attributes == INVALID_FILE_ATTRIBUTES                  ? State::absent
           : (attributes & FILE_ATTRIBUTE_REPARSE_POINT)          ? State::link
           : (attributes & FILE_ATTRIBUTE_DIRECTORY)              ? State::folder
                                                                  : State::blocked;
    sub_.fill(State::absent);
    if (top_ != State::folder)
        return;
    Digest digest;
    forEachEntry(folder_, [&](const WIN32_FIND_DATAW &entry) {
        const std::wstring name = entry.cFileName;
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            if (digestOf(name, L"", digest))
                found(digest, stagedFlat);
            const int sub = name.size() == 2 ? hexPair(name.c_str()) : -1;
            if (sub >= 0)
                sub_[sub] = State::blocked;
            return;
        }
        const int sub = name.size() == 2 ? hexPair(name.c_str()) : -1;
        if (sub < 0)
            return;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            sub_[sub] = State::link;
            return;
        }
        sub_[sub] = State::folder;
        forEachEntry(folder_ + L"\\" + name, [&](const WIN32_FIND_DATAW &inner) {
            if (inner.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                return;
            const std::wstring file = inner.cFileName;
            if (digestOf(file, L"", digest))
                found(digest, stagedFile);
            else if (digestOf(file, L".part", digest))
                found(digest, stagedPart);
            else if (digestOf(file, L".tmp", digest))
                found(digest, stagedCopy);
        });
    });
}

bool Staging::ready(const std::wstring &path, State &state, bool &made)
{
    if (state == State::unknown) {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        state = attributes == INVALID_FILE_ATTRIBUTES               ? State::absent
                : (attributes & FILE_ATTRIBUTE_REPARSE_POINT)       ? State::link
                : (attributes & FILE_ATTRIBUTE_DIRECTORY)           ? State::folder
                                                                    : State::blocked;
    }
    // A link would send downloads, and the clean-up, wherever it points.
    if (state == State::link) {
        if (!removeLink(path))
            return false;
        state = State::absent;
    }
    if (state == State::absent) {
        made = CreateDirectoryW(path.c_str(), nullptr) != 0;
        if (!made && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
        state = State::unknown; // made, or made by someone else: look once more
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            state = State::folder;
    }
    return state == State::folder;
}

bool Staging::prepare()
{
    if (top_ == State::folder)
        return true;
    bool made = false;
    if (!ready(folder_, top_, made))
        return false;
    if (made)
        sub_.fill(State::absent);
    return true;
}

bool Staging::prepareFolder(const std::string &hash)
{
    if (!prepare())
        return false;
    const int sub = hexPair(std::wstring(hash.begin(), hash.begin() + 2).c_str());
    if (sub < 0)
        return false;
    if (sub_[sub] == State::folder)
        return true;
    bool made = false;
    return ready(folder_ + L"\\" + std::wstring(hash.begin(), hash.begin() + 2), sub_[sub], made);
}

std::wstring Staging::file(const std::string &hash, const wchar_t *suffix) const
{
    const std::wstring name(hash.begin(), hash.end());
    return folder_ + L"\\" + name.substr(0, 2) + L"\\" + name + suffix;
}

std::wstring Staging::flatFile(const std::string &hash) const
{
    return folder_ + L"\\" + std::wstring(hash.begin(), hash.end());
}

Flusher::Flusher() : thread_([this] { run(); }) {}

Flusher::~Flusher()
{
    lock_.lock();
    stopping_ = true;
    WakeAllConditionVariable(&changed_);
    lock_.unlock();
    thread_.join();
}

void Flusher::add(FileHandle file, std::wstring part, std::wstring kept)
{
    // Bounded, so that a slow disk holds a few open files, not thousands.
    constexpr size_t MostQueued = 32;
    lock_.lock();
    while (queue_.size() >= MostQueued)
        SleepConditionVariableSRW(&changed_, lock_.get(), INFINITE, 0);
    queue_.push_back({std::move(file), std::move(part), std::move(kept)});
    WakeAllConditionVariable(&changed_);
    lock_.unlock();
}

bool Flusher::ok()
{
    lock_.lock();
    const bool result = !failed_;
    lock_.unlock();
    return result;
}

bool Flusher::finish()
{
    lock_.lock();
    while (!queue_.empty() || busy_)
        SleepConditionVariableSRW(&changed_, lock_.get(), INFINITE, 0);
    const bool result = !failed_;
    lock_.unlock();
    return result;
}

void Flusher::run()
{
    lock_.lock();
    for (;;) {
        while (queue_.empty() && !stopping_)
            SleepConditionVariableSRW(&changed_, lock_.get(), INFINITE, 0);
        if (queue_.empty())
            break;
        Item item = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        WakeAllConditionVariable(&changed_);
        lock_.unlock();

        bool kept = FlushFileBuffers(item.file.get()) != 0;
        item.file.reset();
        kept = kept && replaceFile(item.part, item.kept);

        lock_.lock();
        failed_ = failed_ || !kept;
        busy_ = false;
        WakeAllConditionVariable(&changed_);
    }
    lock_.unlock();
}
