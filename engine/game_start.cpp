// Starting the installed game as a process of its own.
#include "engine/game_start.h"

#include <windows.h>

#include <string>

#include "engine/helpers.h"

bool launchGame(bool updated)
{
    const std::filesystem::path program = gameExePath();
    // Quoted, so that a folder name with blanks reaches the game as one
    // argument.
    std::wstring commandLine = L"\"" + program.wstring() + L"\"";
    if (updated)
        commandLine += L" --updated";
    const std::wstring folder = program.parent_path().wstring();

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    // CreateProcessW may write into the command line, so it gets the
    // string's own writable buffer.
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                        &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}
