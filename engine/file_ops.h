// File operations inside the install folder that hold under Windows' rules:
// paths past MAX_PATH, virus scanners that hold a fresh file for a moment,
// read-only files, and links that must never be followed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

// Orders wide paths the way the file system folds letter case, so that
// paths that differ only in case count as the same file.
struct FoldedLess {
    bool operator()(const std::wstring &a, const std::wstring &b) const;
};

// True when the file system takes a and b as one name.
bool sameFolded(const std::wstring &a, const std::wstring &b);

// In the staging folder while an apply places files: until the records are
// written, they may not describe the files in place.
inline constexpr wchar_t PlacingMarkerName[] = L"placing";

// The extended-length form of a path ("\\?\C:\..." or "\\?\UNC\server\share\..."),
// with '\' separators and "." and ".." resolved, so that no file call is held
// to MAX_PATH. A path already in that form is returned as it is.
std::wstring longPath(const std::filesystem::path &path);

// Where the folders of an extended-length path begin: the length of "\\?\C:\"
// or of "\\?\UNC\server\share\".
size_t rootLength(const std::wstring &path);

// Deletes one file (never a folder), clearing its read-only attribute first
// and retrying a sharing or lock violation for about 2 s. True when the file
// is gone, also when it was never there.
[[nodiscard]] bool removeFile(const std::filesystem::path &file);

// Renames a complete file over its destination, with the same retries. A
// link at the destination is replaced, never written through; across
// volumes the destination is deleted before the copy.
[[nodiscard]] bool replaceFile(const std::filesystem::path &from, const std::filesystem::path &to);

// Copies a file to a name that is deleted first, so that a file linked to
// that name keeps its bytes; with the same retries.
[[nodiscard]] bool copyToNew(const std::filesystem::path &from, const std::filesystem::path &to);

// Makes a folder and its missing parents (std::filesystem cannot with an
// extended-length path). False with the reason in error.
[[nodiscard]] bool createFolders(const std::filesystem::path &folder, std::error_code &error);

// Where a verified download of this hash lies in the staging folder: under
// a subfolder named by its first two digits, so that no folder grows large.
std::filesystem::path stagedPath(const std::filesystem::path &staging, const std::wstring &hash);

// The size of the plain file at path (extended-length form), in one query;
// false when there is none there (nothing, a folder or a link).
bool plainFileSize(const std::wstring &path, uint64_t &size);

// True when the path names a reparse point (a junction or a symbolic link).
bool isLink(const std::filesystem::path &path);

// Removes an empty folder. A link is left alone: what it points to is not
// ours. True when nothing is there any more.
bool removeFolder(const std::filesystem::path &folder);

// Removes a junction or folder link itself, never what it points to. False
// when it is no link, or when the platform cannot tell the link apart from
// its target (Wine with a Unix link).
[[nodiscard]] bool removeLink(const std::filesystem::path &link);

// Removes the install folder's staging folder: only the names this program
// writes there (also in the flat layout of older versions), then the folders. A staging folder or subfolder that is a
// link is removed as a link and never entered; a file there is not ours and stays. True when it is gone.
bool clearStaging(const std::filesystem::path &installDir);
