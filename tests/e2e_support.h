// Shared by the tests that run the built setup program as its own process.
#pragma once

#include <map>

#include "test_files.h"

std::string lastLogLine(const std::filesystem::path &file); // without its line end (Windows writes CR LF), or empty

inline std::string utf8(const std::wstring &text) { const auto u8 = std::filesystem::path(text).u8string(); return {u8.begin(), u8.end()}; }
inline std::wstring quoted(const std::filesystem::path &path) { return L"\"" + path.wstring() + L"\""; }

// One run of a program, on the named desktop when one is given; ended when it still runs as the owner goes.
class SetupProcess {
public:
    SetupProcess(const std::filesystem::path &program, const std::wstring &arguments, const std::filesystem::path &workingFolder,
                 const std::wstring &desktop = L"");
    ~SetupProcess();
    SetupProcess(SetupProcess &&) = delete; // owns its handle: neither copied, moved nor assigned

    bool running() const { return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }
    DWORD wait(DWORD milliseconds); // the exit code, or TimedOut when it runs past milliseconds and is ended
    bool kill(DWORD code); // ends the process at once with code and waits until it is gone; true when it was running

    static constexpr DWORD TimedOut = 9999, NotStarted = 9998;

private:
    HANDLE process_ = nullptr;
};

// Runs program with arguments, started in the folder in: its exit code, or TimedOut after two minutes.
inline DWORD runSetup(const std::filesystem::path &program, const std::wstring &arguments, const std::filesystem::path &in)
{
    return SetupProcess(program, arguments, in).wait(120000);
}

// Every file below folder by '/'-separated path, but staging; what installing files from source leaves, with extra files.
using FileMap = std::map<std::string, std::string>;
FileMap folderFiles(const std::filesystem::path &folder);
FileMap installedFolder(const Files &files, const std::string &manifest, const std::wstring &source, const Files &extra = {});

// The current user's uninstall entry of the game.
inline const wchar_t UninstallEntryKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QuillmarrowDunmir";
bool uninstallKeyExists();
inline void deleteUninstallKey() { RegDeleteKeyW(HKEY_CURRENT_USER, UninstallEntryKey); }
