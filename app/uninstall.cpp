// The uninstall road: removes the installed game, its records, shortcuts and
// uninstall entry, and the setup program itself when it lies in the install
// folder.
#include "app/uninstall.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cwctype>
#include <set>
#include <string>
#include <vector>

#include "app/roads.h"
#include "engine/file_ops.h"
#include "engine/handles.h"
#include "engine/helpers.h"
#include "engine/installer.h"
#include "engine/placing.h"
#include "release/release.h"

namespace fs = std::filesystem;

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
    const std::wstring game = longPath(gameExePath());
    if (GetFileAttributesW(game.c_str()) == INVALID_FILE_ATTRIBUTES)
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

// The folders between a file of the game and the install folder, which
// never enters the set.
void addFolders(const fs::path &file, const fs::path &installDir, std::set<fs::path> &folders)
{
    for (fs::path folder = file.parent_path();
         folder != installDir && folder.has_relative_path() && folder.native().size() > installDir.native().size();
         folder = folder.parent_path())
        folders.insert(folder);
}

// What an install that stopped before its end leaves besides the listed
// files: the staging folder and the records' temporary copies. True when
// any of them was there.
bool removeLeftovers(const fs::path &installDir)
{
    bool found = GetFileAttributesW(longPath(installDir / L".staging").c_str()) != INVALID_FILE_ATTRIBUTES;
    (void)clearStaging(installDir);
    for (const char *record : {manifestFileName, sourceFileName}) {
        const fs::path temporary = installDir / (std::string(record) + ".tmp");
        found = GetFileAttributesW(longPath(temporary).c_str()) != INVALID_FILE_ATTRIBUTES || found;
        (void)removeFile(temporary);
    }
    return found;
}

// Only the folders of our files, once emptied, deepest first: a player's
// own files and folders keep theirs.
void removeFoldersOf(const std::set<fs::path> &folders)
{
    std::vector<fs::path> order(folders.begin(), folders.end());
    std::sort(order.begin(), order.end(), longerPathFirst);
    for (const fs::path &folder : order)
        (void)removeFolder(folder);
}

// True when cmd can be started in the folder: Windows refuses a working
// folder whose text with its trailing '\' reaches MAX_PATH - 1 characters
// (and Wine's CreateProcessW breaks on one), and cmd cannot work in a UNC
// folder.
bool usableWorkingFolder(const std::wstring &folder)
{
    const size_t withSlash = folder.size() + (!folder.empty() && folder.back() == L'\\' ? 0 : 1);
    return folder.size() >= 3 && std::iswalpha(folder[0]) && folder[1] == L':' && folder[2] == L'\\' &&
           withSlash < MAX_PATH - 1;
}

// A running program cannot delete itself, and a command interpreter must
// not be handed the install folder's name: cmd expands "%NAME%" even inside
// quotes (Wine's also in a "for" variable's value). So the program moves
// itself out, beside the install folder under a name of our own making,
// removes the then empty folder itself, and leaves only that one file to
// the system's own cmd.exe, started in that folder, which retries for
// about a minute (two seconds apart) until the program has ended and let go of it.
void removeSelfAndFolder(const fs::path &self, const fs::path &installDir)
{
    (void)removeFile(self.wstring() + L".old");
    // Short: cmd's line has room for about 8,000 characters (less in Wine's).
    const std::wstring parked = L"qd-setup-" + std::to_wstring(GetCurrentProcessId()) + L".del";
    // Beside the install folder is on its volume, so the move cannot fail for
    // that; a drive root refuses new files, and a folder too long to work in
    // cannot be cmd's, so the temporary folder is next. Where neither can
    // serve, the program stays and so does the folder. Leaving the install
    // folder as the current one lets it be removed.
    std::error_code ec;
    const fs::path temporary = fs::temp_directory_path(ec);
    fs::path parkedIn;
    for (const fs::path &folder : {installDir.parent_path(), ec ? fs::path() : temporary}) {
        if (usableWorkingFolder(folder.wstring()) && SetCurrentDirectoryW(folder.c_str()) &&
            replaceFile(self, folder / parked)) {
            parkedIn = folder;
            break;
        }
    }
    if (parkedIn.empty())
        return;
    (void)removeFolder(installDir);

    wchar_t system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    const std::wstring folder = system;
    const std::wstring cmd = folder + L"\\cmd.exe";
    // Spelled out rather than looped: Wine's cmd mangles a bracketed block
    // inside a "for". Each step is quick once the file is gone.
    const std::wstring attempt = L"del /f /q \"" + parked + L"\" 2>nul & if exist \"" + parked + L"\" \"" + folder +
                                 L"\\PING.EXE\" -n 3 127.0.0.1 >nul";
    std::wstring command = L"\"" + cmd + L"\" /d /q /v:off /s /c \"" + attempt;
    for (int i = 1; i < 30; ++i)
        command += L" & " + attempt;
    command += L"\"";
    std::vector<wchar_t> buffer(command.begin(), command.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (CreateProcessW(cmd.c_str(), buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                       parkedIn.c_str(), &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

} // namespace

bool longerPathFirst(const fs::path &a, const fs::path &b)
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
    const fs::path &installDir = options.installDir;
    std::string readerMessage;
    const bool recorded = parseRelease(readFile(installPath(manifestFileName)), installer.installed, readerMessage);
    if (recorded) {
        installer.haveInstalled = true;
        if (gameIsRunning())
            return failUninstall(RunningMessage);
    } else {
        installer.installed = Release{};
    }

    const fs::path self = selfPath();
    std::set<fs::path> folders;
    std::set<std::wstring, FoldedLess> listed;
    for (const FileEntry &entry : installer.installed.files) {
        const fs::path file = installDir / utf8ToWide(entry.path);
        listed.insert(longPath(file));
        // A running program cannot delete itself; it moves itself out at the end.
        if (!samePath(file, self))
            (void)removeFile(file);
        addFolders(file, installDir, folders);
    }

    // Files that stopped placings put where the record does not name them
    // (a first install that stopped has no record at all): only where they
    // still hold their release's bytes. A player's file there stays.
    bool foundOurs = false;
    forEachPlacedCandidate(
        readPlacingMarker(), [&](const std::string &path) { return listed.count(longPath(installDir / utf8ToWide(path))) != 0; },
        [&](const FileEntry &entry, size_t) {
            // A plain file of the listed size: its bytes tell whether it is ours.
            const fs::path file = installDir / utf8ToWide(entry.path);
            if (!samePath(file, self) && hashFile(longPath(file), nullptr) == entry.hash && removeFile(file)) {
                addFolders(file, installDir, folders);
                foundOurs = true;
            }
        });

    if (!recorded) {
        // Nothing else here can be shown to be ours: the folder may be any
        // the player typed, and goes only when it held something of ours.
        foundOurs = removeLeftovers(installDir) || foundOurs;
        removeFoldersOf(folders);
        if (foundOurs)
            (void)removeFolder(installDir);
        return failUninstall(NotInstalledMessage);
    }

    // Registration puts the setup program here when the release does not
    // list it; an update that replaced it may have left its ".old".
    const fs::path setup = installPath(setupFileName);
    for (const fs::path &copy : {setup, fs::path(setup.wstring() + L".old")})
        if (!samePath(copy, self))
            (void)removeFile(copy);

    (void)removeFile(installPath(manifestFileName));
    (void)removeFile(installPath(sourceFileName));
    (void)removeLeftovers(installDir);
    removeFoldersOf(folders);

    const fs::path startMenu = knownFolder(FOLDERID_Programs) / productName;
    (void)removeFile(startMenu / L"Quillmarrow Dunmir.lnk");
    (void)removeFile(startMenu / L"Update Quillmarrow Dunmir.lnk");
    (void)removeFolder(startMenu);

    // Made only by a first install, but the player may have copied it since.
    (void)removeFile(knownFolder(FOLDERID_Desktop) / L"Quillmarrow Dunmir.lnk");

    RegDeleteKeyW(HKEY_CURRENT_USER, UninstallKeyPath);

    const fs::path setupFolder = self.parent_path();
    const bool fromInstallDir = setupFolder == installDir || samePath(setupFolder, installDir);
    if (!fromInstallDir)
        (void)removeFolder(installDir);

    logLine("uninstalled");
    if (!options.quiet)
        MessageBoxW(nullptr, L"Quillmarrow Dunmir was removed.", productName,
                    MB_OK | MB_ICONINFORMATION);
    // Only after the last message: the program ends right after this.
    if (fromInstallDir)
        removeSelfAndFolder(self, installDir);
    return 0;
}
