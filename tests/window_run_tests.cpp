// The built setup program's window road as its own process: the "--snap"
// picture read back pixel by pixel, unattended runs against a release on the
// loopback, and runs driven like a user through posted clicks and keys.
#include <winsock2.h>
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "test_files.h"
#include "window_support.h"

namespace fs = std::filesystem;
using namespace window_test;
using namespace std::chrono_literals;

namespace {

const auto *ownDesktop = ::testing::AddGlobalTestEnvironment(new OwnDesktop);

const fs::path SetupExe = QD_SETUP_EXE;
const fs::path GameExe = QD_FAKE_GAME;
const wchar_t WindowClass[] = L"QuillmarrowDunmirSetup";
const wchar_t WindowTitle[] = L"Quillmarrow Dunmir Setup";

// A started setup program; ended by force if a test leaves it running.
class SetupProcess {
public:
    explicit SetupProcess(const std::wstring &arguments)
    {
        std::wstring command = L"\"" + SetupExe.wstring() + L"\" " + arguments;
        std::vector<wchar_t> buffer(command.begin(), command.end());
        buffer.push_back(L'\0');
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        // On the test's own desktop, where FindWindowW looks and windows can be made.
        std::wstring desktop = ownDesktopName();
        startup.lpDesktop = desktop.data();
        if (!CreateProcessW(SetupExe.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &process_))
            ADD_FAILURE() << "could not start the setup program, error " << GetLastError();
    }
    ~SetupProcess()
    {
        if (!process_.hProcess) return;
        if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(process_.hProcess, 9999);
        CloseHandle(process_.hThread);
        CloseHandle(process_.hProcess);
    }
    SetupProcess(const SetupProcess &) = delete;
    SetupProcess &operator=(const SetupProcess &) = delete;

    bool running() const { return process_.hProcess && WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT; }

    // The exit code, or nothing when the program is still running after the wait.
    std::optional<DWORD> exitCode(std::chrono::milliseconds wait)
    {
        if (!process_.hProcess ||
            WaitForSingleObject(process_.hProcess, static_cast<DWORD>(wait.count())) != WAIT_OBJECT_0)
            return std::nullopt;
        DWORD code = 0;
        GetExitCodeProcess(process_.hProcess, &code);
        return code;
    }

    // The program's setup window, once it shows.
    HWND waitForWindow()
    {
        for (int i = 0; i < 300 && running(); ++i) {
            HWND found = FindWindowW(WindowClass, WindowTitle);
            if (found) return found;
            std::this_thread::sleep_for(100ms);
        }
        return nullptr;
    }

private:
    PROCESS_INFORMATION process_{};
};

std::optional<DWORD> runToEnd(const std::wstring &arguments)
{
    SetupProcess setup(arguments);
    return setup.exitCode(120s);
}

std::wstring quoted(const fs::path &path)
{
    return L"\"" + path.wstring() + L"\"";
}

// Waits until the log holds the text; the program writes each line at once.
bool logShows(const fs::path &log, const std::string &text, std::chrono::seconds wait = 60s)
{
    auto until = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (readBytes(log).find(text) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(50ms);
    }
}

// What the stand-in game wrote about its start ("launch.txt", UTF-16):
// its command line, or nothing when it has not run.
std::wstring gameLaunch(const fs::path &gameFolder, std::chrono::seconds wait)
{
    auto until = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < until) {
        std::string bytes = readBytes(gameFolder / "launch.txt");
        if (!bytes.empty()) {
            std::wstring text(reinterpret_cast<const wchar_t *>(bytes.data()), bytes.size() / sizeof(wchar_t));
            return text.substr(0, text.find(L'\n'));
        }
        std::this_thread::sleep_for(100ms);
    }
    return L"";
}

// Sets the screen's dots per inch that Wine reports to programs started
// from now on, and puts the old value back at the end.
class ScreenDpi {
public:
    explicit ScreenDpi(DWORD dpi)
    {
        RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, nullptr, 0, KEY_READ | KEY_WRITE,
                        nullptr, &key_, nullptr);
        DWORD size = sizeof old_;
        hadOld_ = RegQueryValueExW(key_, L"LogPixels", nullptr, nullptr, reinterpret_cast<BYTE *>(&old_), &size) ==
                  ERROR_SUCCESS;
        RegSetValueExW(key_, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&dpi), sizeof dpi);
    }
    ~ScreenDpi()
    {
        if (hadOld_)
            RegSetValueExW(key_, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&old_), sizeof old_);
        else
            RegDeleteValueW(key_, L"LogPixels");
        RegCloseKey(key_);
    }
    ScreenDpi(const ScreenDpi &) = delete;
    ScreenDpi &operator=(const ScreenDpi &) = delete;

private:
    HKEY key_ = nullptr;
    DWORD old_ = 0;
    bool hadOld_ = false;
};

// A PNG file read back with GDI+.
class Picture {
public:
    explicit Picture(const fs::path &file)
    {
        Gdiplus::GdiplusStartupInput input;
        Gdiplus::GdiplusStartup(&token_, &input, nullptr);
        Gdiplus::DllExports::GdipCreateBitmapFromFile(file.c_str(), &bitmap_);
    }
    ~Picture()
    {
        if (bitmap_) Gdiplus::DllExports::GdipDisposeImage(bitmap_);
        Gdiplus::GdiplusShutdown(token_);
    }
    Picture(const Picture &) = delete;
    Picture &operator=(const Picture &) = delete;

    bool loaded() const { return bitmap_ != nullptr; }
    UINT width() const
    {
        UINT value = 0;
        Gdiplus::DllExports::GdipGetImageWidth(bitmap_, &value);
        return value;
    }
    UINT height() const
    {
        UINT value = 0;
        Gdiplus::DllExports::GdipGetImageHeight(bitmap_, &value);
        return value;
    }
    Rgb at(int x, int y) const
    {
        Gdiplus::ARGB argb = 0;
        Gdiplus::DllExports::GdipBitmapGetPixel(bitmap_, x, y, &argb);
        return Rgb{static_cast<int>((argb >> 16) & 0xFF), static_cast<int>((argb >> 8) & 0xFF),
                   static_cast<int>(argb & 0xFF)};
    }
    // Pixels in [left, right) x [top, bottom) that differ from the background.
    int drawnIn(int left, int top, int right, int bottom) const
    {
        int count = 0;
        for (int y = top; y < bottom; ++y)
            for (int x = left; x < right; ++x)
                if (!(at(x, y) == Background)) ++count;
        return count;
    }

private:
    ULONG_PTR token_ = 0;
    Gdiplus::GpBitmap *bitmap_ = nullptr;
};

struct Probe {
    int x, y;
    Rgb colour;
};

struct Layout {
    DWORD dpi;
    UINT width, height;
    RECT bannerBox; // where the banner must be drawn
    std::vector<Probe> probes;
};

// Worked out by hand from the design lengths with the 820 x 230 banner:
// at 96 dots per inch the banner is 330 x 92 at (115, 22), the separator
// row 128 from x 40 to 519, the bar rows 232 to 241 from x 48 to 511 filled
// to 48 + trunc(464 * 0.38) = 224; at 144 (scale 1.5) the banner is 495 x 138
// at (172, 33), the separator row 192 from 60 to 779, the bar rows 348 to 362
// from 72 to 767 filled to 72 + trunc(696 * 0.38) = 336, and the buttons
// {579, 474, 804, 534} and {336, 474, 561, 534} with 2-pixel outlines.
const Layout Layouts[] = {
    {96, 560, 380, {115, 22, 445, 114},
     {
         {5, 5, Background},          {555, 375, Background},      {100, 60, Background},
         {460, 60, Background},       {300, 127, Background},      {300, 129, Background},
         {40, 128, Separator},        {300, 128, Separator},       {519, 128, Separator},
         {39, 128, Background},       {520, 128, Background},      {48, 232, Fill},
         {223, 241, Fill},            {224, 236, Track},           {511, 236, Track},
         {512, 236, Background},      {47, 236, Background},       {300, 231, Background},
         {300, 242, Background},      {392, 336, PrimaryFace},     {461, 320, PrimaryFace},
         {461, 316, PrimaryOutline},  {461, 355, PrimaryOutline},  {386, 336, PrimaryOutline},
         {535, 336, PrimaryOutline},  {230, 336, SecondaryFace},   {299, 320, SecondaryFace},
         {299, 316, SecondaryOutline}, {299, 355, SecondaryOutline}, {224, 336, SecondaryOutline},
         {373, 336, SecondaryOutline}, {380, 336, Background},     {461, 360, Background},
     }},
    {144, 840, 570, {172, 33, 667, 171},
     {
         {5, 5, Background},          {835, 565, Background},      {150, 100, Background},
         {690, 100, Background},      {400, 190, Background},      {400, 194, Background},
         {60, 192, Separator},        {400, 192, Separator},       {779, 192, Separator},
         {58, 192, Background},       {781, 192, Background},      {72, 348, Fill},
         {335, 362, Fill},            {336, 355, Track},           {767, 355, Track},
         {768, 355, Background},      {71, 355, Background},       {400, 346, Background},
         {400, 364, Background},      {590, 504, PrimaryFace},     {691, 483, PrimaryFace},
         {691, 474, PrimaryOutline},  {691, 533, PrimaryOutline},  {579, 504, PrimaryOutline},
         {803, 504, PrimaryOutline},  {347, 504, SecondaryFace},   {448, 483, SecondaryFace},
         {448, 474, SecondaryOutline}, {448, 533, SecondaryOutline}, {336, 504, SecondaryOutline},
         {560, 504, SecondaryOutline}, {570, 504, Background},     {691, 540, Background},
     }},
};

class WindowRun : public ::testing::Test {
protected:
    ScratchFolder dir;
    TestServer server;

    fs::path gameDir() const { return dir / "game"; }
    fs::path log() const { return dir / "setup.log"; }

    std::wstring common() const
    {
        return L"--source " + baseUrl(server) + L" --dir " + quoted(gameDir()) + L" --log " + quoted(log()) +
               L" --no-register";
    }

    void publish(const std::string &version)
    {
        publishRelease(server, version, "bin/game.exe",
                       {{"bin/game.exe", readBytes(GameExe)}, {"data/world.pak", patternBytes(300000, 7)}});
    }
};

} // namespace

TEST_F(WindowRun, SnapshotFollowsTheScreenScale)
{
    for (const Layout &layout : Layouts) {
        SCOPED_TRACE(testing::Message() << layout.dpi << " dots per inch");
        fs::path picture = dir / ("window-" + std::to_string(layout.dpi) + ".png");
        {
            ScreenDpi dpi(layout.dpi);
            ASSERT_EQ(runToEnd(L"--snap " + quoted(picture) + L" --dir " + quoted(gameDir())), 0u);
        }
        Picture png(picture);
        ASSERT_TRUE(png.loaded());
        ASSERT_EQ(png.width(), layout.width) << "height " << png.height();
        ASSERT_EQ(png.height(), layout.height);
        for (const Probe &probe : layout.probes)
            EXPECT_EQ(png.at(probe.x, probe.y), probe.colour) << "at " << probe.x << "," << probe.y;
        const RECT &b = layout.bannerBox;
        // The banner is a picture, not a flat field...
        EXPECT_GT(png.drawnIn(b.left, b.top, b.right, b.bottom), (b.right - b.left) * (b.bottom - b.top) / 20);
        // ...and nothing is drawn beside it.
        EXPECT_EQ(png.drawnIn(0, b.top, b.left - 2, b.bottom), 0);
        EXPECT_EQ(png.drawnIn(b.right + 2, b.top, static_cast<int>(layout.width), b.bottom), 0);
    }
    // The snapshot changes nothing in the install folder.
    EXPECT_FALSE(fs::exists(gameDir()));
}

TEST_F(WindowRun, SnapshotFailuresAndQuietWins)
{
    fs::path missing = dir / "no such folder" / "window.png";
    EXPECT_EQ(runToEnd(L"--snap " + quoted(missing)), 1u);
    EXPECT_FALSE(fs::exists(missing));

    // The quiet road wins: the check fails against an empty server, no picture.
    fs::path picture = dir / "quiet.png";
    EXPECT_EQ(runToEnd(L"--quiet --snap " + quoted(picture) + L" " + common()), 1u);
    EXPECT_FALSE(fs::exists(picture));
}

TEST_F(WindowRun, UnattendedRuns)
{
    // "--yes" with files needed: installs without a click, no game start.
    publish("2.0.0");
    ASSERT_EQ(runToEnd(L"--yes " + common()), 0u);
    EXPECT_EQ(readBytes(gameDir() / "data" / "world.pak"), patternBytes(300000, 7));
    EXPECT_TRUE(logShows(log(), "Quillmarrow Dunmir 2.0.0 is installed. - It is in your Start menu.", 0s))
        << readBytes(log());
    EXPECT_EQ(gameLaunch(gameDir() / "bin", 1s), L"");

    // "--update --yes" with a newer release: installs, starts the game
    // told that it was updated, and closes.
    publishRelease(server, "2.1.0", "bin/game.exe",
                   {{"bin/game.exe", readBytes(GameExe)}, {"data/world.pak", patternBytes(300000, 8)}});
    ASSERT_EQ(runToEnd(L"--update --yes " + common()), 0u);
    EXPECT_EQ(readBytes(gameDir() / "data" / "world.pak"), patternBytes(300000, 8));
    std::wstring launched = gameLaunch(gameDir() / "bin", 30s);
    EXPECT_NE(launched.find(L"game.exe\" --updated"), std::wstring::npos) << launched;

    // "--yes" after a failed check: the window closes, and the run still ends with 0.
    server.remove("/latest.manifest");
    ASSERT_EQ(runToEnd(L"--yes " + common()), 0u);
    EXPECT_TRUE(logShows(log(), "Could not check for the newest version. - Could not reach", 0s))
        << readBytes(log());
}

TEST_F(WindowRun, AUserInstallsAndPlays)
{
    publish("3.0.0");
    SetupProcess setup(common());
    HWND window = setup.waitForWindow();
    ASSERT_NE(window, nullptr);

    // Button centres at 96 dots per inch: INSTALL/PLAY (461, 336).
    ASSERT_TRUE(logShows(log(), "Install Quillmarrow Dunmir 3.0.0? - 1 MB to download."));
    // The click is hit-tested against the labels of the last paint; the
    // idle window repaints at once after the buttons change.
    std::this_thread::sleep_for(500ms);
    PostMessageW(window, WM_MOUSEMOVE, 0, MAKELPARAM(461, 336));
    PostMessageW(window, WM_LBUTTONUP, 0, MAKELPARAM(461, 336));
    ASSERT_TRUE(logShows(log(), "Quillmarrow Dunmir 3.0.0 is installed."));
    EXPECT_TRUE(IsWindow(window));
    EXPECT_TRUE(setup.running());

    std::this_thread::sleep_for(500ms);
    PostMessageW(window, WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_EQ(setup.exitCode(60s), 0u);
    EXPECT_FALSE(IsWindow(window));
    std::wstring launched = gameLaunch(gameDir() / "bin", 30s);
    EXPECT_NE(launched.find(L"game.exe\""), std::wstring::npos) << launched;
    EXPECT_EQ(launched.find(L"--updated"), std::wstring::npos) << launched;
}

// Esc while checking destroys the window at once; the program then waits for
// the check, which notices the stop only once the slow manifest is in.
TEST_F(WindowRun, EscapeWhileCheckingClosesAndWaitsForTheCheck)
{
    publish("3.0.0");
    Fault slow;
    slow.bytesPerSecond = 100;
    server.setFault("/latest.manifest", slow);

    SetupProcess setup(common());
    HWND window = setup.waitForWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(logShows(log(), "Looking for the newest version..."));
    PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
    auto pressed = std::chrono::steady_clock::now();

    for (int i = 0; i < 40 && IsWindow(window); ++i) std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_TRUE(setup.running());

    EXPECT_EQ(setup.exitCode(90s), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - pressed, 1s);
    std::string text = readBytes(log());
    EXPECT_NE(text.find("Could not check for the newest version. - Cancelled."), std::string::npos) << text;
}
