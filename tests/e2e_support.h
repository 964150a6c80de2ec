// Shared by the tests that run the built setup program as its own process:
// starting and ending it, its log, and the uninstall entry it leaves in the
// Wine prefix's registry.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_files.h"

// The log's lines without their line ends (the log is a text stream, so
// Windows writes CR LF).
std::vector<std::string> logLines(const std::filesystem::path &file);

std::string utf8(const std::wstring &text);
std::wstring quoted(const std::filesystem::path &path);

// One run of a program. Ends the process when it still runs as the owner goes.
class SetupProcess {
public:
    SetupProcess(const std::filesystem::path &program, const std::wstring &arguments,
                 const std::filesystem::path &workingFolder);
    ~SetupProcess();
    SetupProcess(const SetupProcess &) = delete;
    SetupProcess &operator=(const SetupProcess &) = delete;

    HANDLE handle() const { return process_; }
    // The exit code once the process ended within milliseconds; else it is
    // ended and TimedOut comes back.
    DWORD wait(DWORD milliseconds);
    // Ends the process at once with code and waits until it is gone; true
    // when it was still running.
    bool kill(DWORD code);

    static constexpr DWORD TimedOut = 9999;
    static constexpr DWORD NotStarted = 9998;

private:
    HANDLE process_ = nullptr;
};

// Starts program with arguments in workingFolder and returns its exit code
// (or SetupProcess::TimedOut when it runs for two minutes and is ended).
DWORD runSetup(const std::filesystem::path &program, const std::wstring &arguments,
               const std::filesystem::path &workingFolder);

// The current user's uninstall entry of the game.
bool uninstallKeyExists();
void deleteUninstallKey();
