// The setup program's entry point: settles the run's options, then takes the
// uninstall, quiet or window road.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <string>
#include <utility>

#include "app/roads.h"
#include "app/startup.h"
#include "engine/helpers.h"
#include "engine/installer.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    // Every road may make shortcuts through the shell, which needs COM; a
    // failure shows later as shortcuts that could not be made.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    Options options;
    bool sourceGiven = false;
    readArguments(commandLineArguments(), options, sourceGiven);
    options.installDir = settleInstallDir(options.installDir, selfPath().parent_path());
    options.baseUrl = settleBaseUrl(options.baseUrl, sourceGiven, options.installDir);

    // Set once here, before any worker exists; read-only from now on.
    installer.options = std::move(options);

    // Two runs in one folder would undo each other's work (an update racing
    // an uninstall leaves new data and no game). A snapshot changes nothing
    // there and needs no server, so it draws whatever else runs.
    const bool snapshot = !installer.options.uninstall && !installer.options.quiet && !installer.options.snapPath.empty();
    const bool claimed = snapshot || claimInstallDir(installer.options.installDir);
    // Every run writes at the end of its log: a refused run may name the
    // first run's log, and adds its line there without emptying it, and the
    // first run's next line must not land on top of it.
    if (!installer.options.logPath.empty()) {
        if (claimed)
            if (FILE *emptied = _wfopen(installer.options.logPath.c_str(), L"w"))
                fclose(emptied);
        installer.logFile = _wfopen(installer.options.logPath.c_str(), L"a");
    }
    if (!claimed) {
        logLine("Quillmarrow Dunmir Setup is already running.");
        if (!installer.options.quiet)
            MessageBoxW(nullptr, L"Quillmarrow Dunmir Setup is already running.", productName, MB_OK | MB_ICONWARNING);
        return 1;
    }

    // An update that replaced the running setup program left it under this
    // name; it could not be deleted while it ran.
    std::wstring oldCopy = selfPath().wstring() + L".old";
    DeleteFileW(oldCopy.c_str());

    if (installer.options.uninstall)
        return runUninstall();
    if (installer.options.quiet)
        return runQuiet();
    return runWindowRoad(instance, showCommand);
}
