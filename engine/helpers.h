// Small helpers shared by the engine and the window: log, sizes, text
// conversion, whole files, paths and shell folders.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <cstdint>
#include <filesystem>
#include <string>

// Writes one line to the log file, when one is open.
void logLine(const char *line);

// "N MB" up to 999,999,999 bytes (at least 1 MB), "N.NN GB" above.
std::wstring formatSize(uint64_t bytes);

// Empty when the platform refuses the conversion.
std::wstring utf8ToWide(const std::string &text);
std::string wideToUtf8(const std::wstring &text);

// The file's bytes; empty when it cannot be opened.
std::string readFile(const std::filesystem::path &file);

// The running program's own path; empty when the platform call fails.
std::filesystem::path selfPath();

// True when a and b name the same file (by identity when both exist, else
// by their absolute texts ignoring case).
bool samePath(const std::filesystem::path &a, const std::filesystem::path &b);

// Replaces target with bytes through target + ".tmp", flushed to the disk.
// False when the target could not be replaced; it is then unchanged and the
// temporary is gone.
[[nodiscard]] bool writeFileAtomic(const std::filesystem::path &target, const std::string &bytes);

// The install folder joined with relative.
std::filesystem::path installPath(const std::filesystem::path &relative);

// The game program inside the install folder.
std::filesystem::path gameExePath();

// A known shell folder (created when missing); empty when unknown.
std::filesystem::path knownFolder(REFKNOWNFOLDERID id);
