// Shortcuts and the uninstall entry of the current user. Everything here is
// a convenience around an install that already succeeded, so failures are
// only logged.
#include "engine/registration.h"

#include <windows.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <algorithm>
#include <string>
#include <system_error>

#include "engine/file_ops.h"
#include "engine/handles.h"
#include "engine/helpers.h"
#include "engine/installer.h"

namespace {

// Stored with the terminating NUL, as readers of REG_SZ expect.
void setText(HKEY key, const wchar_t *name, const std::wstring &text)
{
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void setNumber(HKEY key, const wchar_t *name, DWORD value)
{
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
}

// The text Windows stores and shows: the shell keeps "game/Dunmir.exe" in a
// shortcut as one name, and an entry's icon path must be the file's own.
std::wstring windowsText(const std::filesystem::path &path)
{
    std::wstring text = path.wstring();
    std::replace(text.begin(), text.end(), L'/', L'\\');
    return text;
}

// The uninstall entry and the update shortcut start the setup program in
// the install folder; a release that does not list it must still get one.
void placeSetupProgram(const std::filesystem::path &setup)
{
    if (GetFileAttributesW(longPath(setup).c_str()) != INVALID_FILE_ATTRIBUTES)
        return;
    // A file left at the temporary name may be linked to one outside the
    // folder: it is made anew, never written into.
    std::filesystem::path copy = setup;
    copy += L".tmp";
    if (!copyToNew(selfPath(), copy) || !replaceFile(copy, setup)) {
        (void)removeFile(copy);
        logLine("could not place the setup program in the install folder");
    }
}

} // namespace

bool createShortcut(const std::filesystem::path &shortcut, const std::filesystem::path &target,
                    const std::wstring &arguments, const std::wstring &description)
{
    ComPtr<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.out())))
        return false;
    const std::wstring path = windowsText(target);
    link->SetPath(path.c_str());
    link->SetArguments(arguments.c_str());
    link->SetWorkingDirectory(path.substr(0, path.find_last_of(L'\\')).c_str());
    link->SetDescription(description.c_str());
    link->SetIconLocation(path.c_str(), 0);

    ComPtr<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, file.out())))
        return false;
    return SUCCEEDED(file->Save(shortcut.c_str(), TRUE));
}

void registerInstall(bool desktopShortcut)
{
    const std::filesystem::path startMenu = knownFolder(FOLDERID_Programs) / productName;
    std::error_code ec;
    std::filesystem::create_directories(startMenu, ec);

    const std::wstring product = productName;
    const std::filesystem::path game = gameExePath();
    const std::filesystem::path setup = installPath(setupFileName);
    placeSetupProgram(setup);
    const std::wstring playName = product + L".lnk";
    const std::wstring playText = L"Play " + product;
    int made = 0;
    made += createShortcut(startMenu / playName, game, L"", playText);
    made += createShortcut(startMenu / (L"Update " + product + L".lnk"), setup, L"",
                           L"Look for a new version of " + product);
    if (desktopShortcut)
        made += createShortcut(knownFolder(FOLDERID_Desktop) / playName, game, L"", playText);
    logLine(("shortcuts: " + std::to_string(made) + " made in " + wideToUtf8(startMenu.wstring())).c_str());

    RegKey key;
    const LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, UninstallKeyPath, 0, nullptr,
                                           REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, key.out(), nullptr);
    if (status != ERROR_SUCCESS) {
        logLine(("apps & features entry: refused, error " + std::to_string(static_cast<long>(status))).c_str());
        return;
    }
    logLine("apps & features entry: written");

    setText(key.get(), L"DisplayName", product);
    setText(key.get(), L"DisplayVersion", utf8ToWide(installer.latest.version));
    setText(key.get(), L"Publisher", product);
    setText(key.get(), L"DisplayIcon", windowsText(game));
    setText(key.get(), L"InstallLocation", windowsText(installer.options.installDir));
    setText(key.get(), L"UninstallString", L"\"" + windowsText(setup) + L"\" --uninstall");
    setText(key.get(), L"URLInfoAbout", HomePageUrl);
    setNumber(key.get(), L"EstimatedSize", static_cast<DWORD>(totalSize(installer.latest) >> 10));
    setNumber(key.get(), L"NoModify", 1);
    setNumber(key.get(), L"NoRepair", 1);
}
