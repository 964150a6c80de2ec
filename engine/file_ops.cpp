#include "engine/file_ops.h"

#include <windows.h>

#include <algorithm>
#include <cwctype>

#include "engine/handles.h"

namespace fs = std::filesystem;

namespace {

constexpr int RetryMilliseconds = 2000;
constexpr DWORD RetryStep = 50;

bool isTransient(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED;
}

// Runs one file call until it succeeds, fails for good, or about 2 s of
// sharing and lock violations have passed. Access denied is retried too: a
// scanner that holds a file open for deletion makes it look denied.
template <typename Call>
bool retrying(Call call)
{
    for (int waited = 0;; waited += RetryStep) {
        if (call())
            return true;
        const DWORD error = GetLastError();
        if (!isTransient(error) || waited >= RetryMilliseconds) {
            SetLastError(error);
            return false;
        }
        Sleep(RetryStep);
    }
}

// A read-only file refuses deletion and replacement on Windows. False when
// a folder stands there: it refuses them as "access denied", which must not
// be waited on as if a scanner held it.
bool clearReadOnly(const std::wstring &path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    return true;
}

// One call that deletes or replaces target: tried once as it is, since it
// nearly always succeeds and every extra query costs a round trip; on a
// refusal the read-only attribute is cleared and the call retried.
template <typename Call>
bool onTarget(const std::wstring &target, Call call)
{
    if (call())
        return true;
    const DWORD error = GetLastError();
    if (!isTransient(error)) {
        SetLastError(error);
        return false;
    }
    if (error == ERROR_ACCESS_DENIED && !clearReadOnly(target))
        return false;
    return retrying(call);
}

// Either letter case: a release may write its hash in capitals, and the
// file system folds case anyway.
bool isHexName(const std::wstring &name, size_t length)
{
    return name.size() == length && std::all_of(name.begin(), name.end(), [](wchar_t c) { return std::iswxdigit(c); });
}

bool endsWith(const std::wstring &text, const std::wstring &tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The names a download leaves in staging: "<hash>", "<hash>.part" and
// "<hash>.tmp"; at the top also the marker and its temporary.
bool isStagedName(const std::wstring &name, bool top)
{
    if (top && (name == PlacingMarkerName || name == std::wstring(PlacingMarkerName) + L".tmp"))
        return true;
    for (const wchar_t *suffix : {L"", L".part", L".tmp"}) {
        const std::wstring tail = suffix;
        if (endsWith(name, tail) && isHexName(name.substr(0, name.size() - tail.size()), 64))
            return true;
    }
    return false;
}

// Deletes the staged names in one staging folder; at the top also empties
// and removes the two-digit subfolders. Nothing else is entered.
void clearStagedNames(const fs::path &folder, bool top)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileExW((longPath(folder) + L"\\*").c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::wstring name = found.cFileName;
        const fs::path item = folder / name;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            if (isStagedName(name, top))
                (void)removeFile(item);
        } else if (top && isHexName(name, 2)) {
            if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                (void)removeLink(item);
            } else {
                clearStagedNames(item, false);
                (void)removeFolder(item);
            }
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

bool isFolder(const std::wstring &path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Tries the folder itself first: its parents usually exist already.
bool makeFolder(const std::wstring &path)
{
    if (CreateDirectoryW(path.c_str(), nullptr))
        return true;
    DWORD error = GetLastError();
    if (error == ERROR_PATH_NOT_FOUND) {
        const size_t cut = path.find_last_of(L'\\');
        if (cut == std::wstring::npos || cut < rootLength(path) || !makeFolder(path.substr(0, cut)))
            return false;
        if (CreateDirectoryW(path.c_str(), nullptr))
            return true;
        error = GetLastError();
    }
    if (isFolder(path))
        return true;
    SetLastError(error);
    return false;
}

} // namespace

size_t rootLength(const std::wstring &path)
{
    if (path.rfind(L"\\\\?\\UNC\\", 0) != 0)
        return 7;
    const size_t server = path.find(L'\\', 8);
    const size_t share = server == std::wstring::npos ? server : path.find(L'\\', server + 1);
    return share == std::wstring::npos ? path.size() : share + 1;
}

bool FoldedLess::operator()(const std::wstring &a, const std::wstring &b) const
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_LESS_THAN;
}

bool sameFolded(const std::wstring &a, const std::wstring &b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

std::wstring longPath(const fs::path &path)
{
    std::wstring text = path.wstring();
    if (text.rfind(L"\\\\?\\", 0) == 0)
        return text;
    std::replace(text.begin(), text.end(), L'/', L'\\');
    // Most paths fit the first try, which spares asking for the length.
    std::wstring full(text.size() + MAX_PATH, L'\0');
    DWORD length = GetFullPathNameW(text.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length >= full.size()) {
        full.resize(length);
        length = GetFullPathNameW(text.c_str(), length, full.data(), nullptr);
    }
    if (length == 0 || length >= full.size())
        return text;
    full.resize(length);
    if (full.rfind(L"\\\\.\\", 0) == 0)
        return full; // a device path stays as it is
    if (full.rfind(L"\\\\", 0) == 0)
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

bool removeFile(const fs::path &file)
{
    const std::wstring path = longPath(file);
    if (onTarget(path, [&] { return DeleteFileW(path.c_str()) != 0; }))
        return true;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool replaceFile(const fs::path &from, const fs::path &to)
{
    const std::wstring source = longPath(from);
    const std::wstring target = longPath(to);
    if (onTarget(target, [&] { return MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0; }))
        return true;
    // A destination on another volume (a folder the player linked elsewhere)
    // takes a copy, which would write into a file linked to it.
    if (GetLastError() != ERROR_NOT_SAME_DEVICE || !removeFile(to))
        return false;
    return retrying([&] { return MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_COPY_ALLOWED) != 0; });
}

bool copyToNew(const fs::path &from, const fs::path &to)
{
    const std::wstring source = longPath(from);
    const std::wstring target = longPath(to);
    return removeFile(to) && retrying([&] { return CopyFileW(source.c_str(), target.c_str(), TRUE) != 0; });
}

bool createFolders(const fs::path &folder, std::error_code &error)
{
    std::wstring path = longPath(folder);
    while (path.size() > rootLength(path) && path.back() == L'\\')
        path.pop_back();
    error.clear();
    if (makeFolder(path))
        return true;
    error = std::error_code(static_cast<int>(GetLastError()), std::system_category());
    return false;
}

fs::path stagedPath(const fs::path &staging, const std::wstring &hash)
{
    return staging / hash.substr(0, 2) / hash;
}

bool plainFileSize(const std::wstring &path, uint64_t &size)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
        return false;
    size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

bool isLink(const fs::path &path)
{
    const DWORD attributes = GetFileAttributesW(longPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool removeLink(const fs::path &link)
{
    // Opened as the link itself, and deleted only when the handle shows it
    // is one: Wine opens the folder a Unix link points to whatever it is
    // asked, and would delete that.
    FileHandle handle(CreateFileW(longPath(link).c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!handle || !GetFileInformationByHandleEx(handle.get(), FileAttributeTagInfo, &tag, sizeof tag))
        return false;
    if (!(tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        SetLastError(ERROR_NOT_A_REPARSE_POINT);
        return false;
    }
    FILE_DISPOSITION_INFO dispose{TRUE};
    return SetFileInformationByHandle(handle.get(), FileDispositionInfo, &dispose, sizeof dispose) != 0;
}

bool removeFolder(const fs::path &folder)
{
    const std::wstring path = longPath(folder);
    // Looked at first: RemoveDirectoryW on a link removes the link on
    // Windows, but under Wine the empty folder it points to.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return true;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    return RemoveDirectoryW(path.c_str()) != 0;
}

bool clearStaging(const fs::path &installDir)
{
    const fs::path staging = installDir / L".staging";
    const std::wstring path = longPath(staging);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return true;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return removeLink(staging);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return false; // not ours: this program only ever makes a folder there
    clearStagedNames(staging, true);
    return RemoveDirectoryW(path.c_str()) != 0;
}
