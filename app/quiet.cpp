// The quiet road: check and install without a window, for scripts.
#include <cstdio>
#include <string>

#include "app/roads.h"
#include "engine/helpers.h"
#include "engine/installer.h"
#include "engine/registration.h"

int runQuiet()
{
    std::string err;
    bool ok = installer.check(err);
    if (ok) {
        if (installUpToDate()) {
            // The shortcuts and the uninstall entry are still refreshed, in
            // case the user removed them.
            if (!installer.options.noRegister)
                registerInstall(false);
        } else {
            // Also with nothing to fetch: a release that only drops files or
            // changes its version, or a run that stopped half way, leaves
            // files to delete and records to write.
            ok = installer.apply(err);
        }
    }
    if (!ok)
        logLine(("failed: " + err).c_str());
    if (installer.logFile) {
        fclose(installer.logFile);
        installer.logFile = nullptr;
    }
    return ok ? 0 : 1;
}
