// The controller: phases, buttons and the worker threads of a window run.
// Workers never touch the window directly beyond a repaint request; they post
// the private messages and let the window thread act.
#include "app/controller.h"

#include <objbase.h>

#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "engine/game_start.h"
#include "engine/helpers.h"
#include "engine/installer.h"
#include "engine/registration.h"
#include "engine/status.h"

int (WINAPI *showMessageBox)(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) = MessageBoxW;

namespace {

// The worker's own COM apartment: shortcuts are made through COM on the
// worker, and the apartment must be left on every way out of the thread.
class ComApartment {
public:
    ComApartment() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ComApartment(const ComApartment &) = delete;
    ComApartment &operator=(const ComApartment &) = delete;
    ~ComApartment() { CoUninitialize(); }
};

void setPhase(Phase phase)
{
    std::lock_guard lock(installer.mutex);
    installer.phase = phase;
}

Phase currentPhase()
{
    std::lock_guard lock(installer.mutex);
    return installer.phase;
}

void postToWindow(UINT message)
{
    PostMessageW(window, message, 0, 0);
}

std::wstring latestVersion()
{
    return utf8ToWide(installer.latest.version);
}

// The cause behind an exception that reached the top of a worker, in the
// lower-case form of the engine's own causes. Call only inside a catch.
std::string unexpectedCause()
{
    try {
        throw;
    } catch (const std::bad_alloc &) {
        return "out of memory";
    } catch (const std::exception &e) {
        return e.what();
    } catch (...) {
        return "an unexpected error stopped the work";
    }
}

void reportCheckFailed(const std::string &err)
{
    setPhase(Phase::failed);
    setStatus(L"Could not check for the newest version.", utf8ToWide(err), -1.0);
    setButtons(L"TRY AGAIN", L"CLOSE");
    if (installer.options.yes) postToWindow(WM_APP_CLOSE);
}

void reportApplyFailed(const std::string &err)
{
    setPhase(Phase::failed);
    std::wstring title = installer.cancel.load() ? L"Cancelled." : L"The install did not finish.";
    setStatus(title, utf8ToWide(err), -1.0);
    setButtons(L"TRY AGAIN", L"CLOSE");
    logLine(("failed: " + err).c_str());
    if (installer.options.yes) postToWindow(WM_APP_CLOSE);
}

void reportFilesNeeded()
{
    setPhase(Phase::readyToApply);
    bool update = installer.haveInstalled;
    std::wstring detail = formatSize(installer.neededBytes) + L" to download";
    if (update)
        detail += L" (" + std::to_wstring(installer.needed.size()) + L" files).";
    else
        detail += L".";
    std::wstring title = update ? L"Quillmarrow Dunmir " + latestVersion() + L" is out."
                                : L"Install Quillmarrow Dunmir " + latestVersion() + L"?";
    setStatus(title, detail, -1.0);
    setButtons(update ? L"UPDATE" : L"INSTALL", L"CLOSE");
    if (installer.options.update || installer.options.yes) postToWindow(WM_APP_START_APPLY);
}

void reportUpToDate()
{
    // The shortcuts and the uninstall entry are refreshed before the phase
    // changes, so PLAY is offered only once they are in place.
    if (!installer.options.noRegister) registerInstall(false);
    setPhase(Phase::upToDate);
    setStatus(L"Quillmarrow Dunmir " + latestVersion() + L" is installed and up to date.", L"", -1.0);
    setButtons(L"PLAY", L"CLOSE");
    if (installer.options.update) postToWindow(WM_APP_PLAY);
    if (installer.options.yes) postToWindow(WM_APP_CLOSE);
}

void reportInstalled()
{
    setPhase(Phase::installed);
    setStatus(L"Quillmarrow Dunmir " + latestVersion() + L" is installed.",
              L"It is in your Start menu. Run this again any time to update.", 1.0);
    setButtons(L"PLAY", L"CLOSE");
    if (installer.options.update) postToWindow(WM_APP_PLAY);
    if (installer.options.yes) postToWindow(WM_APP_CLOSE);
}

// Starts a worker; when the platform has no thread to give, the run is
// reported as failed rather than left waiting in a phase nobody ends.
void startWorker(void (*body)(), void (*reportFailure)(const std::string &))
{
    try {
        worker = std::thread(body);
    } catch (...) {
        reportFailure(unexpectedCause());
    }
}

} // namespace

void setButtons(const std::wstring &primary, const std::wstring &secondary)
{
    {
        std::lock_guard lock(installer.mutex);
        installer.primaryLabel = primary;
        installer.secondaryLabel = secondary;
    }
    if (window) InvalidateRect(window, nullptr, FALSE);
}

void requestRepaint()
{
    if (window) InvalidateRect(window, nullptr, FALSE);
}

void startCheck()
{
    if (worker.joinable()) worker.join();
    installer.cancel.exchange(false);
    setPhase(Phase::checking);
    setButtons(L"", L"CLOSE");
    startWorker(runCheck, reportCheckFailed);
}

void startApply()
{
    if (worker.joinable()) worker.join();
    installer.cancel.exchange(false);
    setPhase(Phase::applying);
    setButtons(L"", L"CANCEL");
    // The empty bar shows from the start, before the first byte arrives.
    setStatus(L"Downloading Quillmarrow Dunmir " + latestVersion() + L"...", L"", 0.0);
    startWorker(runApply, reportApplyFailed);
}

void runCheck()
{
    ComApartment apartment;
    // Nothing may leave a thread's body: an escaping exception ends the process.
    try {
        std::string err;
        if (!installer.check(err))
            reportCheckFailed(err);
        else if (!installer.needed.empty())
            reportFilesNeeded();
        else if (!installUpToDate()) {
            // Nothing is left to fetch, but the newest release is not yet
            // the recorded one (it only drops files or changes its version,
            // or an earlier run stopped half way): dropped files, the records
            // and the registration are still due.
            if (installer.apply(err))
                reportInstalled();
            else
                reportApplyFailed(err);
        } else
            reportUpToDate();
    } catch (...) {
        try {
            reportCheckFailed(unexpectedCause());
        } catch (...) {
        }
    }
}

void runApply()
{
    ComApartment apartment;
    try {
        std::string err;
        if (installer.apply(err))
            reportInstalled();
        else
            reportApplyFailed(err);
    } catch (...) {
        try {
            reportApplyFailed(unexpectedCause());
        } catch (...) {
        }
    }
}

void pressPrimary()
{
    switch (currentPhase()) {
    case Phase::readyToApply:
        startApply();
        break;
    case Phase::upToDate:
    case Phase::installed:
        if (launchGame(false))
            DestroyWindow(window);
        else
            showMessageBox(window, L"The game could not be started.", productName, MB_ICONWARNING);
        break;
    case Phase::failed:
        startCheck();
        break;
    case Phase::checking:
    case Phase::applying:
        break;
    }
}

void requestClose()
{
    // The phase is read anew at each test: a worker may move it on while
    // the question below waits for the user.
    Phase phase = currentPhase();
    if (phase != Phase::applying && phase != Phase::checking) {
        DestroyWindow(window);
        return;
    }
    if (phase == Phase::applying &&
        showMessageBox(window, L"Stop the download? What has finished is kept for next time.", productName,
                       MB_YESNO | MB_ICONQUESTION) != IDYES)
        return;
    installer.cancel.exchange(true);
    // While installing the window stays: the worker reports "Cancelled." itself.
    if (currentPhase() == Phase::checking) DestroyWindow(window);
}
