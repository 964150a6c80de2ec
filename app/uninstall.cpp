// The uninstall road: removes the installed game, its records, shortcuts and
// uninstall entry, and the setup program itself when it lies in the install
// folder.
#include "app/uninstall.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "app/roads.h"
#include "engine/handles.h"
#include "engine/helpers.h"
#include "engine/installer.h"
#include "release/release.h"

namespace {

const char NotInstalledMessage[] = "Quillmarrow Dunmir is not installed here.";
const char RunningMessage[] = "Quillmarrow Dunmir is running. Close it, then try again.";

int failUninstall(const std::string &err)
{
    if (!installer.options.quiet)
        MessageBoxW(nullptr, utf8ToWide(err).c_str(), productName, MB_OK | MB_ICONWARNING);
    logLine(("uninstall failed: " + err).c_str());
    return 1;
}

// True when another process holds the game program open without sharing,
// which is how a running game shows. Anything else (no program, no access)
// must not keep the player from uninstalling.
bool gameIsRunning()
{
    std::filesystem::path game = gameExePath();
    std::error_code ec;
    if (!std::filesystem::exists(game, ec))
        return false;
    FileHandle file(CreateFileW(game.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                0, nullptr));
    if (file)
        return false;
    if (GetLastError() != ERROR_SHARING_VIOLATION)
        return false;
    Sleep(250);
    return true;
}

// The command interpreter outlives us: it waits until this program has
// exited and released its file, then deletes it and the emptied folder.
void startSelfRemoval(const std::filesystem::path &self, const std::filesystem::path &installDir)
{
    std::wstring command = L"cmd.exe /c ping -n 3 127.0.0.1 >nul & del /f /q ";
    command += L"\"" + self.wstring() + L"\"";
    command += L" & del /f /q ";
    command += L"\"" + self.wstring() + L".old\"";
    command += L" & rmdir ";
    command += L"\"" + installDir.wstring() + L"\"";

    std::vector<wchar_t> buffer(command.begin(), command.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                       nullptr, &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

} // namespace

bool longerPathFirst(const std::filesystem::path &a, const std::filesystem::path &b)
{
    return a.native().size() > b.native().size();
}

int runUninstall()
{
    const Options &options = installer.options;
    if (!options.quiet) {
        int answer = MessageBoxW(nullptr,
                                 L"Remove Quillmarrow Dunmir from this computer?\n\n"
                                 L"Your characters and settings are kept.",
                                 productName, MB_YESNO | MB_ICONQUESTION);
        if (answer != IDYES)
            return 1;
    }

    // The record is our own file, written after a verified download; its
    // signature was checked then, and the path rules of the reader still
    // keep every listed file inside the install folder.
    std::string readerMessage;
    if (!parseRelease(readFile(installPath(manifestFileName)), installer.installed, readerMessage))
        return failUninstall(NotInstalledMessage);
    installer.haveInstalled = true;

    if (gameIsRunning())
        return failUninstall(RunningMessage);

    const std::filesystem::path &installDir = options.installDir;
    const std::filesystem::path self = selfPath();
    std::set<std::filesystem::path> folders;
    for (const FileEntry &entry : installer.installed.files) {
        std::filesystem::path file = installDir / utf8ToWide(entry.path);
        // A running program cannot delete itself; the command interpreter
        // does it afterwards.
        if (!samePath(file, self))
            DeleteFileW(file.c_str());
        for (std::filesystem::path folder = file.parent_path();
             folder != installDir && folder.has_relative_path() &&
             folder.native().size() > installDir.native().size();
             folder = folder.parent_path())
            folders.insert(folder);
    }

    DeleteFileW(installPath(manifestFileName).c_str());
    DeleteFileW(installPath(sourceFileName).c_str());

    // Only emptied folders go: a player's own files keep theirs.
    std::vector<std::filesystem::path> order(folders.begin(), folders.end());
    std::sort(order.begin(), order.end(), longerPathFirst);
    for (const std::filesystem::path &folder : order)
        RemoveDirectoryW(folder.c_str());

    std::filesystem::path startMenu = knownFolder(FOLDERID_Programs) / productName;
    DeleteFileW((startMenu / L"Quillmarrow Dunmir.lnk").c_str());
    DeleteFileW((startMenu / L"Update Quillmarrow Dunmir.lnk").c_str());
    RemoveDirectoryW(startMenu.c_str());

    // Made only by a first install, but the player may have copied it since.
    DeleteFileW((knownFolder(FOLDERID_Desktop) / L"Quillmarrow Dunmir.lnk").c_str());

    RegDeleteKeyW(HKEY_CURRENT_USER, UninstallKeyPath);

    std::filesystem::path setupFolder = self.parent_path();
    if (setupFolder == installDir || samePath(setupFolder, installDir))
        startSelfRemoval(self, installDir);
    else
        RemoveDirectoryW(installDir.c_str());

    logLine("uninstalled");
    if (!options.quiet)
        MessageBoxW(nullptr, L"Quillmarrow Dunmir was removed.", productName,
                    MB_OK | MB_ICONINFORMATION);
    return 0;
}
