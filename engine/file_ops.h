// File operations inside the install folder that hold under Windows' rules:
// paths past MAX_PATH, virus scanners that hold a fresh file for a moment,
// read-only files, and links that must never be followed.
#pragma once

#include <filesystem>
#include <string>

// The extended-length form of a path ("\\?\C:\..." or "\\?\UNC\server\share\..."),
// with '\' separators and "." and ".." resolved, so that no file call is held
// to MAX_PATH. A path already in that form is returned as it is.
std::wstring longPath(const std::filesystem::path &path);

// Deletes one file (never a folder), clearing its read-only attribute first
// and retrying a sharing or lock violation for about 2 s. True when the file
// is gone, also when it was never there.
[[nodiscard]] bool removeFile(const std::filesystem::path &file);

// Renames a complete file over its destination (on one volume), with the
// same retries. A link at the destination is replaced, never written through.
[[nodiscard]] bool replaceFile(const std::filesystem::path &from, const std::filesystem::path &to);

// True when the path names a reparse point (a junction or a symbolic link).
bool isLink(const std::filesystem::path &path);

// Removes a folder that is a link, or an empty folder. Never enters it.
bool removeFolder(const std::filesystem::path &folder);

// Removes the install folder's staging folder: only the names this program
// writes there, then the folder. A staging folder that is a link is removed
// as a link and never entered. True when it is gone.
bool clearStaging(const std::filesystem::path &installDir);
