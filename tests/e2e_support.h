// Shared by the tests that run the built setup program as its own process.
#pragma once

#include <map>

#include "test_files.h"

// The log's lines without their line ends (Windows writes CR LF); its last line, or empty.
std::vector<std::string> logLines(const std::filesystem::path &file);
std::string lastLogLine(const std::filesystem::path &file);

std::string utf8(const std::wstring &text);
std::wstring quoted(const std::filesystem::path &path);

// One run of a program, on the named desktop when one is given; ended when it still runs as the owner goes.
class SetupProcess {
public:
    SetupProcess(const std::filesystem::path &program, const std::wstring &arguments, const std::filesystem::path &workingFolder,
                 const std::wstring &desktop = L"");
    ~SetupProcess();
    SetupProcess(SetupProcess &&) = delete; // owns its handle: neither copied, moved nor assigned

    HANDLE handle() const { return process_; }
    bool running() const { return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }
    // The exit code once the process ended within milliseconds; else it is ended and TimedOut comes back.
    DWORD wait(DWORD milliseconds);
    // Ends the process at once with code and waits until it is gone; true when it was still running.
    bool kill(DWORD code);

    static constexpr DWORD TimedOut = 9999, NotStarted = 9998;

private:
    HANDLE process_ = nullptr;
};

// Runs program with arguments in workingFolder: its exit code, or TimedOut after two minutes.
DWORD runSetup(const std::filesystem::path &program, const std::wstring &arguments, const std::filesystem::path &workingFolder);

// Every file below folder by '/'-separated path, but staging; what installing files from source leaves.
std::map<std::string, std::string> folderFiles(const std::filesystem::path &folder);
std::map<std::string, std::string> installedFolder(const Files &files, const std::string &manifest, const std::wstring &source);

bool uninstallKeyExists(); // the current user's uninstall entry of the game
void deleteUninstallKey();
