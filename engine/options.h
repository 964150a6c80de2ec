// The settings of one run, filled from the command line. Portable (no
// windows.h), so that the command-line grammar also builds natively.
#pragma once

#include <filesystem>
#include <string>

// The release server's built-in base URL.
inline constexpr wchar_t DefaultBaseUrl[] = L"https://dl.quillmarrowdunmir.com/windows/";

struct Options {
    std::wstring baseUrl = DefaultBaseUrl;
    std::filesystem::path installDir;
    bool update = false;
    bool repair = false;
    bool uninstall = false;
    bool quiet = false;
    bool noRegister = false;
    bool yes = false;
    std::filesystem::path snapPath;
    std::filesystem::path logPath;
};
