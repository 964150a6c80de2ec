// Shortcuts and the uninstall entry of the current user.
#pragma once

#include <filesystem>
#include <string>

// Makes one shell shortcut; true when the .lnk file was saved.
bool createShortcut(const std::filesystem::path &shortcut, const std::filesystem::path &target,
                    const std::wstring &arguments, const std::wstring &description);

// Writes the Start-menu shortcuts, the desktop shortcut when asked, and the
// uninstall entry. Only logs what happened; never fails the caller.
void registerInstall(bool desktopShortcut);
