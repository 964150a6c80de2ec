#include "engine/file_ops.h"

#include <windows.h>

#include <algorithm>
#include <cwctype>

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

// A read-only file refuses deletion and replacement on Windows.
void clearReadOnly(const std::wstring &path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
}

bool isHashName(const std::wstring &name)
{
    return name.size() == 64 &&
           std::all_of(name.begin(), name.end(), [](wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'); });
}

bool endsWith(const std::wstring &text, const std::wstring &tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The names a download leaves in staging: "<hash>", "<hash>.part" and
// "<hash>.tmp".
bool isStagedName(const std::wstring &name)
{
    for (const wchar_t *suffix : {L"", L".part", L".tmp"}) {
        const std::wstring tail = suffix;
        if (endsWith(name, tail) && isHashName(name.substr(0, name.size() - tail.size())))
            return true;
    }
    return false;
}

} // namespace

std::wstring longPath(const fs::path &path)
{
    std::wstring text = path.wstring();
    if (text.rfind(L"\\\\?\\", 0) == 0)
        return text;
    std::replace(text.begin(), text.end(), L'/', L'\\');
    const DWORD size = GetFullPathNameW(text.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return text;
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(text.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size)
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
    clearReadOnly(path);
    if (retrying([&] { return DeleteFileW(path.c_str()) != 0; }))
        return true;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool replaceFile(const fs::path &from, const fs::path &to)
{
    const std::wstring source = longPath(from);
    const std::wstring target = longPath(to);
    clearReadOnly(target);
    return retrying([&] { return MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0; });
}

bool isLink(const fs::path &path)
{
    const DWORD attributes = GetFileAttributesW(longPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool removeFolder(const fs::path &folder)
{
    const std::wstring path = longPath(folder);
    // RemoveDirectoryW removes a junction or a folder link itself, not what
    // it points to; a file link is deleted as a file.
    if (RemoveDirectoryW(path.c_str()))
        return true;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return true;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return DeleteFileW(path.c_str()) != 0;
    return false;
}

bool clearStaging(const fs::path &installDir)
{
    const fs::path staging = installDir / L".staging";
    const std::wstring path = longPath(staging);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return true;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return removeFolder(staging) || removeFile(staging);

    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileExW((path + L"\\*").c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr, 0);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && isStagedName(name))
                (void)removeFile(staging / name);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return RemoveDirectoryW(path.c_str()) != 0;
}
