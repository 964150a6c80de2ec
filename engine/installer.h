// The program's state: the one Installer object, its options and the other
// globals that the engine and the window share.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/button.h"
#include "engine/http_client.h"
#include "engine/options.h"
#include "release/release.h"

namespace Gdiplus { class GpBitmap; }

// The public half of the key that signs published manifests, as 64 hex digits.
// Set at build time (QD_RELEASE_PUBLIC_KEY).
extern const char ReleasePublicKeyHex[];

inline constexpr uint64_t ManifestSizeLimit = 8388608;   // a manifest must stay below this
inline constexpr uint64_t DiskSpaceMargin = 67108864;    // kept free beyond the download

inline constexpr char sourceFileName[] = "install.source";
inline constexpr char manifestFileName[] = "install.manifest";
inline constexpr wchar_t setupFileName[] = L"QuillmarrowDunmirSetup.exe";
inline constexpr wchar_t productName[] = L"Quillmarrow Dunmir";

inline constexpr wchar_t UninstallKeyPath[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QuillmarrowDunmir";
inline constexpr wchar_t HomePageUrl[] = L"https://quillmarrowdunmir.com/";

enum class Phase : int32_t {
    checking = 0,
    readyToApply = 1,
    upToDate = 2,
    applying = 3,
    installed = 4,
    failed = 5,
};

class Installer {
public:
    Options options;
    Release latest;
    Release installed;
    std::string manifestText;
    bool haveInstalled = false;
    std::vector<uint64_t> needed;
    uint64_t neededBytes = 0;
    std::atomic<bool> cancel{false};
    TransferLimits transferLimits;
    FILE *logFile = nullptr;

    std::mutex mutex;
    // Guarded by mutex:
    std::wstring statusTitle;
    std::wstring statusDetail;
    std::wstring footer;
    double fraction = -1.0;
    std::wstring primaryLabel;
    std::wstring secondaryLabel;
    Phase phase = Phase::checking;

    std::function<void()> notify;

    // Fetches the newest release and finds what the install folder lacks.
    // False with a message in err.
    [[nodiscard]] bool check(std::string &err);

    // Downloads, verifies and installs what check found needed, then records
    // and registers the install. False with a message in err.
    [[nodiscard]] bool apply(std::string &err);
};

// True when an earlier apply stopped after it began placing files: its
// marker is still in the staging folder, and the records may not describe
// the files in place. Nothing else in staging makes a run unfinished: a
// verified download waits for the run that needs it.
bool applyUnfinished();

// True after a check when the install folder holds the newest release as
// recorded: nothing to fetch, the record is that release, and no placing
// stopped half way. Anything less still has files to delete, records to
// write or a registration to make, which apply does also with nothing to fetch.
bool installUpToDate();

extern Installer installer;
extern std::thread worker;
extern Gdiplus::GpBitmap *banner;
extern HWND window;
extern float dpiScale;
extern Button primaryButton;
extern Button secondaryButton;
