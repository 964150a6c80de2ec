// The setup window under Xvfb. In this process: the window procedure, paint and
// controller on a real window of the program's own windowProc and the real
// engine, the message boxes answered by the test. As its own process: the
// built program's "--snap" picture, unattended runs and runs driven like a
// user. Positions are worked out by hand from the design lengths (1/96 inch).
#include <winsock2.h>
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <gtest/gtest.h>

#include <cmath>

#include "app/controller.h"
#include "app/painting.h"
#include "app/window_proc.h"
#include "e2e_support.h"
#include "engine/installer.h"
#include "engine/status.h"
#include "test_server.h"

namespace fs = std::filesystem;

std::ostream &operator<<(std::ostream &out, Phase phase) { return out << "phase " << static_cast<int>(phase); }

namespace {

// The design's colours, apart from the program's own so that a wrong constant there shows here.
constexpr COLORREF Background = RGB(11, 13, 16), Separator = RGB(70, 58, 40), Track = RGB(22, 26, 32),
                   Fill = RGB(57, 140, 160), PrimaryFace = RGB(188, 155, 106), PrimaryHot = RGB(220, 192, 140),
                   SecondaryHot = RGB(40, 46, 56), SecondaryOutline = RGB(70, 76, 86), Title = RGB(230, 225, 211),
                   Detail = RGB(150, 146, 136), Footer = RGB(110, 107, 100);

// Wine draws every window of a desktop through the display driver that the desktop's process chose; the
// prefix's default desktop may have none. A desktop of our own starts on this test's display, sized by its
// registry entry (800 x 600 without one: too small at 144 dots per inch). GDI+ reads the pictures back.
const std::wstring OwnDesktop = L"qd-window-tests-" + std::to_wstring(GetCurrentProcessId());
const wchar_t Desktops[] = L"Software\\Wine\\Explorer\\Desktops";
class Screen : public ::testing::Environment {
    ULONG_PTR gdiPlus_ = 0;
    void SetUp() override
    {
        RegSetKeyValueW(HKEY_CURRENT_USER, Desktops, OwnDesktop.c_str(), REG_SZ, L"1280x1024", 20);
        HDESK desktop = CreateDesktopW(OwnDesktop.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
        ASSERT_TRUE(desktop && SetThreadDesktop(desktop)) << "error " << GetLastError();
        Gdiplus::GdiplusStartupInput input;
        ASSERT_EQ(Gdiplus::GdiplusStartup(&gdiPlus_, &input, nullptr), Gdiplus::Ok);
    }
    void TearDown() override { Gdiplus::GdiplusShutdown(gdiPlus_), RegDeleteKeyValueW(HKEY_CURRENT_USER, Desktops, OwnDesktop.c_str()); }
};
const auto *const screen = ::testing::AddGlobalTestEnvironment(new Screen);

using Box = std::tuple<HWND, std::wstring, std::wstring, UINT>; // owner, text, caption, style
std::vector<Box> boxes;
int boxAnswer = IDNO;
int WINAPI answerBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) { return boxes.emplace_back(owner, text, caption, style), boxAnswer; }

// What the window shows: title, detail, primary and secondary labels, fraction and phase.
using Shown = std::tuple<std::wstring, std::wstring, std::wstring, std::wstring, double, Phase>;
Shown shown()
{
    std::lock_guard lock(installer.mutex);
    return {installer.statusTitle, installer.statusDetail, installer.primaryLabel, installer.secondaryLabel, installer.fraction, installer.phase};
}
void setPhase(Phase phase) { std::lock_guard lock(installer.mutex); installer.phase = phase; }

// Button centres at 96 dots per inch in a 560 x 380 client area.
const LPARAM PrimaryCentre = MAKELPARAM(461, 336), SecondaryCentre = MAKELPARAM(299, 336);
const std::string BigFile(2000000, 'b'), SmallFile(1000000, 's');
const Files ReleaseFiles = {{"bin/game.exe", "not a program"}, {"data/big.pak", BigFile}, {"data/small.pak", SmallFile}};

// Waits until the file, UTF-8 or UTF-16, holds the text; the program writes each log line at once, the
// stand-in game its report through a rename.
bool fileShows(const fs::path &file, const std::wstring &text, int seconds = 60)
{
    for (int i = 0; i <= seconds * 20; ++i, Sleep(50))
        if (const std::string bytes = readWholeFile(file); bytes.find(utf8(text)) != std::string::npos ||
            std::wstring(reinterpret_cast<const wchar_t *>(bytes.data()), bytes.size() / 2).find(text) != std::wstring::npos)
            return true;
    return false;
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static const WNDCLASSW windowClass{0, windowProc, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, L"QdTest"};
        static const ATOM registered = RegisterClassW(&windowClass);
        dpiScale = 1.0f, primaryButton = secondaryButton = Button{};
        // A popup: the client area is the whole window, and Wine waits for no window manager to map it.
        window = hwnd = CreateWindowExW(0, L"QdTest", L"", WS_POPUP, 0, 0, 560, 380, nullptr, nullptr, nullptr, nullptr);
        ASSERT_TRUE(registered && hwnd) << "no window: is there an X display?";
        ShowWindow(hwnd, SW_SHOWNOACTIVATE);
        showMessageBox = answerBox, boxes.clear(), boxAnswer = IDNO, installer.cancel = false, installer.options = Options{};
        installer.options.installDir = gameDir, installer.options.noRegister = true, installer.options.baseUrl = server.url("/");
        setStatus(L"", L"", -1.0), setPhase(Phase::checking), setButtons(L"", L""), drain();
    }
    void TearDown() override
    {
        if (worker.joinable()) worker.join();
        if (IsWindow(hwnd)) DestroyWindow(hwnd);
        drain(), window = nullptr, showMessageBox = MessageBoxW;
        if (installer.logFile) fclose(installer.logFile), installer.logFile = nullptr;
    }
    // Drops every queued message unhandled; a pending paint is validated, or it would come back for ever.
    void drain() { for (MSG m; PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE);) m.message == WM_PAINT && ValidateRect(m.hwnd, nullptr); }
    std::vector<UINT> posted() // the private messages posted to the window, in order
    {
        std::vector<UINT> seen;
        for (MSG m; PeekMessageW(&m, hwnd, WM_APP_START_APPLY, WM_APP_CLOSE, PM_REMOVE);) seen.push_back(m.message);
        return seen;
    }
    // Publishes the labels and paints them, as the live window does before a user can hit a button.
    void showButtons(const std::wstring &primary) { setButtons(primary, L"CLOSE"), UpdateWindow(hwnd); }
    bool repaintAsked() { return GetUpdateRect(hwnd, nullptr, FALSE) != 0; }
    LRESULT send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) { return SendMessageW(hwnd, message, wParam, lParam); }
    void publish(const std::string &version = "2.0.0", const Files &files = ReleaseFiles) { ::publish(server, "/", releaseOf(version, files), files); }
    // For the built program: the stand-in game, which reports how it was started.
    void publishWithGame(const std::string &version, uint32_t seed = 7)
    {
        publish(version, {{"bin/game.exe", readWholeFile(QD_FAKE_GAME)}, {"data/world.pak", patternBytes(300000, seed)}});
    }
    // The built program on the test's desktop, where windows can be made and FindWindowW looks.
    std::unique_ptr<SetupProcess> start(const std::wstring &arguments)
    {
        return std::make_unique<SetupProcess>(QD_SETUP_EXE, arguments, dir.path(), OwnDesktop);
    }
    DWORD runToEnd(const std::wstring &arguments) { return start(arguments)->wait(120000); }

    TestServer server;
    ScratchFolder dir;
    const fs::path gameDir = dir / "game", log = dir / "setup.log";
    const std::wstring common = L"--source " + server.url("/") + L" --dir " + quoted(gameDir) + L" --log " + quoted(log) + L" --no-register";
    HWND hwnd = nullptr;
};

} // namespace

// WM_PAINT draws the bar as the fraction says, each button with its face and outline only when labelled, the
// hot face under the pointer, and hands the labels to the hit tests. Without a banner the separator lies at
// row 22 and the bar at rows 126 to 135.
TEST_F(WindowTest, PaintShowsTheBarAndTheButtons)
{
    const struct { double fraction; std::wstring primary; LPARAM mouse; COLORREF bar, primaryFace, primaryOutline, secondaryFace; } cases[] = {
        {0.0, L"PLAY", 0, Track, PrimaryFace, PrimaryHot, Track},
        {0.001, L"PLAY", PrimaryCentre, Track, PrimaryHot, PrimaryHot, Track}, // 0.464 px: no fill
        {1.0, L"INSTALL", SecondaryCentre, Fill, PrimaryFace, PrimaryHot, SecondaryHot},
        {1.7, L"", PrimaryCentre, Fill, Background, Background, Track}, // absent, even under the pointer
        {-1.0, L"PLAY", 0, Background, PrimaryFace, PrimaryHot, Track},
        {std::nan(""), L"PLAY", 0, Background, PrimaryFace, PrimaryHot, Track},
    };
    HDC dc = GetDC(hwnd);
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.fraction << " " << testing::PrintToString(c.primary));
        setStatus(L"", L"", c.fraction), setButtons(c.primary, L"CLOSE"), UpdateWindow(hwnd);
        send(WM_MOUSEMOVE, 0, c.mouse), UpdateWindow(hwnd);
        EXPECT_EQ(GetCursor() == LoadCursorW(nullptr, IDC_HAND), c.mouse && c.primaryFace != Background);
        EXPECT_EQ(primaryButton.label + L"|" + secondaryButton.label, c.primary + L"|CLOSE");
        // Faces between the rounded corners and the label; outlines the same hot or not; no fill past the track.
        for (const auto &[x, y, colour] : {std::tuple{5, 5, Background}, {300, 22, Separator}, {48, 130, c.bar}, {511, 130, c.bar},
                                           {512, 130, Background}, {392, 336, c.primaryFace}, {461, 316, c.primaryOutline},
                                           {535, 336, c.primaryOutline}, {230, 336, c.secondaryFace},
                                           {299, 316, SecondaryOutline}, {380, 336, Background}})
            EXPECT_EQ(GetPixel(dc, x, y), colour) << "at " << x << "," << y;
        ValidateRect(hwnd, nullptr), send(WM_MOUSELEAVE);
        EXPECT_TRUE(!primaryButton.hot && !secondaryButton.hot && repaintAsked());
    }
    ReleaseDC(hwnd, dc);
}

// By click and by Enter: PLAY that cannot start the game warns and keeps the window; while checking or
// applying the phase decides, not the label; a label not yet painted cannot be hit.
TEST_F(WindowTest, PrimaryInEachPhase)
{
    for (Phase phase : {Phase::upToDate, Phase::installed, Phase::checking, Phase::applying, Phase::readyToApply}) {
        SCOPED_TRACE(testing::Message() << phase);
        setPhase(phase), showButtons(phase == Phase::readyToApply ? L"" : L"PLAY"), boxes.clear();
        setButtons(L"PLAY", L"CLOSE"), send(WM_LBUTTONUP, 0, PrimaryCentre), send(WM_KEYDOWN, VK_RETURN);
        const bool plays = phase == Phase::upToDate || phase == Phase::installed;
        EXPECT_EQ(boxes, std::vector<Box>(plays ? 2 : 0, {hwnd, L"The game could not be started.", L"Quillmarrow Dunmir", MB_ICONWARNING}));
        EXPECT_TRUE(IsWindow(hwnd) && std::get<Phase>(shown()) == phase && !worker.joinable());
    }
}

TEST_F(WindowTest, CloseRequestsInEveryPhase)
{
    const struct { Phase phase; int answer; bool asks, destroyed, cancel; } cases[] = {
        {Phase::checking, IDNO, false, true, true},  {Phase::readyToApply, IDNO, false, true, false},
        {Phase::upToDate, IDNO, false, true, false}, {Phase::failed, IDNO, false, true, false},
        {Phase::applying, IDNO, true, false, false}, {Phase::applying, IDCANCEL, true, false, false},
        {Phase::applying, IDYES, true, false, true},
    };
    for (const auto &c : cases) // Esc, the secondary button and the close box make the same request
        for (const auto &[message, wParam, lParam] : {std::tuple<UINT, WPARAM, LPARAM>{WM_KEYDOWN, VK_ESCAPE, 0}, {WM_LBUTTONUP, 0, SecondaryCentre}, {WM_CLOSE, 0, 0}}) {
            SCOPED_TRACE(testing::Message() << c.phase << ", answer " << c.answer << ", message " << message);
            TearDown(), SetUp(), setPhase(c.phase), showButtons(L""), boxAnswer = c.answer, send(message, wParam, lParam);
            EXPECT_EQ(boxes, std::vector<Box>(c.asks, {hwnd, L"Stop the download? What has finished is kept for next time.",
                                                       L"Quillmarrow Dunmir", MB_YESNO | MB_ICONQUESTION}));
            // Destroying the window sets the flag too; the applying cases show what the request itself does.
            EXPECT_TRUE(!IsWindow(hwnd) == c.destroyed && ((c.destroyed && c.phase != Phase::checking) || installer.cancel == c.cancel));
        }
}

// What a check, then an install, leaves on show and posts to the window for each of no flag, "--update",
// "--yes" and both; a failure's detail begins so and goes on with the cause, logged after "failed: ".
TEST_F(WindowTest, OutcomesSetPhaseTextsButtonsMessagesAndLog)
{
    using Messages = std::vector<UINT>;
    const Messages none, start{WM_APP_START_APPLY}, play{WM_APP_PLAY}, close{WM_APP_CLOSE}, playClose{WM_APP_PLAY, WM_APP_CLOSE};
    enum Step { check, install, refused, cancelled };
    const std::wstring again = L"TRY AGAIN", checkFailed = L"Could not check for the newest version.";
    const struct { Files present; bool record, served; Step step; Shown expected; Messages plain, update, yes, both; } cases[] = {
        {{}, false, true, check, {L"Install Quillmarrow Dunmir 2.0.0?", L"3 MB to download.", L"INSTALL", L"CLOSE", -1.0,
         Phase::readyToApply}, none, start, start, start},
        {{ReleaseFiles[0], ReleaseFiles[2]}, true, true, check, {L"Quillmarrow Dunmir 2.0.0 is out.", L"2 MB to download (1 files).",
         L"UPDATE", L"CLOSE", -1.0, Phase::readyToApply}, none, start, start, start},
        {ReleaseFiles, true, true, check, {L"Quillmarrow Dunmir 2.0.0 is installed and up to date.", L"", L"PLAY", L"CLOSE", -1.0,
         Phase::upToDate}, none, play, close, playClose},
        {{}, false, false, check, {checkFailed, L"Could not reach the Quillmarrow Dunmir server: ", again, L"CLOSE", -1.0,
         Phase::failed}, none, none, close, close},
        {{}, false, true, install, {L"Quillmarrow Dunmir 2.0.0 is installed.", L"It is in your Start menu. Run this again any "
         L"time to update.", L"PLAY", L"CLOSE", 1.0, Phase::installed}, none, play, close, playClose},
        {{}, false, true, refused, {L"The install did not finish.", L"The download failed: ", again, L"CLOSE", -1.0, Phase::failed},
         none, none, close, close},
        {{}, false, true, cancelled, {L"Cancelled.", L"Cancelled.", again, L"CLOSE", -1.0, Phase::failed}, none, none, close, close},
    };
    installer.logFile = _wfopen((dir / "log.txt").c_str(), L"w");
    for (const auto &c : cases)
        for (const auto &[update, yes, messages] : {std::tuple{false, false, c.plain}, {true, false, c.update}, {false, true, c.yes}, {true, true, c.both}}) {
            SCOPED_TRACE(testing::Message() << utf8(std::get<0>(c.expected)) << ", update " << update << ", yes " << yes);
            fs::remove_all(gameDir);
            for (const auto &[path, bytes] : c.present) writeWholeFile(gameDir / path, bytes);
            if (c.record) writeWholeFile(gameDir / "install.manifest", signRelease(releaseOf("1", {{"bin/game.exe", "old"}}), testKey().secret));
            server.remove("/latest.manifest");
            if (c.served) publish();
            installer.options.update = c.step == check && update, installer.options.yes = c.step == check && yes;
            runCheck();
            if (c.step != check) {
                ASSERT_EQ(std::get<Phase>(shown()), Phase::readyToApply);
                posted();
                for (const auto &[path, bytes] : ReleaseFiles) c.step == refused && (server.remove("/files/" + hashOf(bytes)), true);
                installer.options.update = update, installer.options.yes = yes, installer.cancel = c.step == cancelled;
                runApply();
                installer.cancel = false;
            }
            Shown now = shown();
            EXPECT_EQ(posted(), messages);
            fflush(installer.logFile);
            const std::string log = readWholeFile(dir / "log.txt"), message = utf8(std::get<1>(now));
            const size_t statusAt = log.rfind(utf8(std::get<0>(now)) + " - " + message);
            EXPECT_TRUE(c.step == check || std::get<Phase>(now) != Phase::failed || log.find("failed: " + message, statusAt) < log.size());
            if (std::get<Phase>(now) == Phase::failed) std::get<1>(now).resize(std::get<1>(c.expected).size());
            EXPECT_TRUE(c.step != install || readWholeFile(gameDir / "data" / "big.pak") == BigFile);
            EXPECT_EQ(now, c.expected);
        }
}

// TRY AGAIN runs a fresh check on a worker; INSTALL starts the download with an empty bar; CANCEL, answered
// Yes, stops it with the window open; TRY AGAIN after that checks afresh rather than stopping at once.
TEST_F(WindowTest, WorkersRunFromTheButtons)
{
    publish();
    server.setFault("/files/" + hashOf(BigFile), {.bytesPerSecond = 700000}); // about 3 s for the big file
    for (const char *after : {"after a failure", "after a cancel"}) {
        SCOPED_TRACE(after);
        setPhase(Phase::failed), showButtons(L"TRY AGAIN"), send(WM_LBUTTONUP, 0, PrimaryCentre);
        ASSERT_TRUE(worker.joinable());
        worker.join();
        ASSERT_EQ(std::get<0>(shown()), L"Install Quillmarrow Dunmir 2.0.0?");
        UpdateWindow(hwnd), send(WM_KEYDOWN, VK_RETURN);
        EXPECT_EQ(shown(), Shown(L"Downloading Quillmarrow Dunmir 2.0.0...", L"", L"", L"CANCEL", 0.0, Phase::applying));
        EXPECT_FALSE(installer.cancel);
        UpdateWindow(hwnd), boxAnswer = IDYES, send(WM_LBUTTONUP, 0, SecondaryCentre);
        EXPECT_TRUE(installer.cancel);
        worker.join(); // the download stops at its next chunk, long before the slow file is in
        EXPECT_TRUE(IsWindow(hwnd) && std::get<0>(shown()) + std::get<2>(shown()) == L"Cancelled.TRY AGAIN");
    }
}

// With the 820 x 230 banner at 96 dots per inch: the banner 330 x 92 at (115, 22), the separator at row 128,
// the title box rows 146 to 191, the detail 192 to 227, the bar 232 to 241 from x 48 to 511 filled to
// 48 + trunc(464 * 0.38) = 224, the footer 256 to 289, the buttons {386, 316, 536, 356} and {224, 316, 374,
// 356}. At 144 dots per inch each length is half as long again.
TEST_F(WindowTest, SnapshotFollowsTheScreenScale)
{
    // The footer shows the install folder settled: absolute, normalised, with '\' separators.
    const std::wstring footer = L"Installs to " + (dir / "sub" / "game").wstring();
    for (DWORD dpi : {96, 144, 96}) {
        SCOPED_TRACE(testing::Message() << dpi << " dots per inch");
        const fs::path picture = dir / ("window-" + std::to_string(dpi) + ".png");
        RegSetKeyValueW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"LogPixels", REG_DWORD, &dpi, sizeof dpi);
        ASSERT_EQ(runToEnd(L"--snap " + quoted(picture) + L" --dir sub/x/../game"), 0u);
        Gdiplus::Bitmap png(picture.c_str());
        const int s2 = static_cast<int>(dpi) / 48, width = 280 * s2, height = 190 * s2; // s2: twice the scale
        ASSERT_EQ(std::tuple(png.GetLastStatus(), png.GetWidth(), png.GetHeight()), std::tuple(Gdiplus::Ok, UINT(width), UINT(height)));
        const auto pixel = [&](int x, int y) { Gdiplus::Color c; return png.GetPixel(x, y, &c), RGB(c.GetR(), c.GetG(), c.GetB()); };
        const auto at = [&](int x, int y) { return pixel(x * s2 / 2, y * s2 / 2); }; // at 96 dots per inch
        for (const auto &[x, y, colour] : {std::tuple{5, 5, Background}, {300, 128, Separator}, {300, 125, Background}, {50, 235, Fill},
                                           {220, 235, Fill}, {230, 235, Track}, {508, 235, Track}, {515, 235, Background},
                                           {392, 336, PrimaryFace}, {230, 336, Track}, {380, 336, Background}})
            EXPECT_EQ(at(x, y), colour) << "at " << x << "," << y;
        // The banner is a picture, not a flat field, and nothing is drawn beside it.
        int banner = 0, beside = 0;
        for (int y = 22; y < 114; ++y)
            for (int x = 0; x < 560; ++x) (x >= 115 && x < 445 ? banner : beside) += at(x, y) != Background;
        EXPECT_TRUE(banner > 330 * 92 / 20 && beside == 0) << banner << " " << beside;
        // The sample title and detail and the footer, drawn here as the design gives them: pixel for pixel.
        HDC screenDc = GetDC(nullptr), dc = CreateCompatibleDC(screenDc);
        HGDIOBJ oldBitmap = SelectObject(dc, CreateCompatibleBitmap(screenDc, width, height));
        const RECT all{0, 0, width, height};
        SetDCBrushColor(dc, Background), FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(DC_BRUSH))), SetBkMode(dc, TRANSPARENT);
        for (const auto &[text, size, weight, colour, top, boxHeight] :
             {std::tuple<std::wstring, int, int, COLORREF, int, int>{L"Install Quillmarrow Dunmir v1.0.21b?", 15, 600, Title, 146, 46},
              {L"812 MB to download.", 11, 400, Detail, 192, 36}, {footer, 10, 400, Footer, 256, 34}}) {
            RECT box{16 * s2, top * s2 / 2, width - 16 * s2, (top + boxHeight) * s2 / 2};
            HGDIOBJ oldFont = SelectObject(dc, CreateFontW(-(size * s2 + 1) / 2, 0, 0, 0, weight, 0, 0, 0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                                           CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI"));
            SetTextColor(dc, colour), DrawTextW(dc, text.c_str(), -1, &box, DT_CENTER | DT_WORDBREAK | DT_NOPREFIX);
            DeleteObject(SelectObject(dc, oldFont));
            int differ = 0, inColour = 0;
            for (int y = box.top; y < box.bottom; ++y)
                for (int x = 0; x < width; ++x) differ += pixel(x, y) != GetPixel(dc, x, y), inColour += GetPixel(dc, x, y) == colour;
            EXPECT_TRUE(differ == 0 && inColour > 10) << differ << " pixels unlike the design in rows from " << top << ", " << inColour << " in its colour";
        }
        DeleteObject(SelectObject(dc, oldBitmap)), DeleteDC(dc), ReleaseDC(nullptr, screenDc);
    }
    EXPECT_FALSE(fs::exists(gameDir) || fs::exists(dir / "sub")); // the snapshot changes nothing there
    EXPECT_EQ(runToEnd(L"--snap " + quoted(dir / "no such folder" / "window.png")), 1u);
}

TEST_F(WindowTest, UnattendedRuns)
{
    // "--yes" with files needed: installs without a click, and starts no game.
    publishWithGame("2.0.0");
    ASSERT_EQ(runToEnd(L"--yes " + common), 0u);
    EXPECT_TRUE(fileShows(log, L"Quillmarrow Dunmir 2.0.0 is installed. - It is in your Start menu.", 0)) << readWholeFile(log);
    EXPECT_FALSE(fileShows(gameDir / "bin" / "launch.txt", L"game.exe", 1));
    // "--update --yes" with a newer release: installs, starts the game told that it was updated, and closes.
    publishWithGame("2.1.0", 8);
    ASSERT_EQ(runToEnd(L"--update --yes " + common), 0u);
    EXPECT_TRUE(fileShows(gameDir / "bin" / "launch.txt", L"game.exe\" --updated\n", 30));
    // A run that stopped half way left its staging folder: with nothing to fetch, the window still finishes it.
    fs::create_directories(gameDir / ".staging");
    ASSERT_EQ(runToEnd(L"--yes " + common), 0u);
    EXPECT_FALSE(fs::exists(gameDir / ".staging"));
    EXPECT_TRUE(fileShows(log, L"Quillmarrow Dunmir 2.1.0 is installed. - It is in your Start menu.", 0)) << readWholeFile(log);
    // "--yes" after a failed check: the window closes, and the run still ends with 0.
    server.remove("/latest.manifest");
    ASSERT_EQ(runToEnd(L"--yes " + common), 0u);
    EXPECT_TRUE(fileShows(log, L"Could not check for the newest version. - Could not reach", 0)) << readWholeFile(log);
}

// Esc while checking destroys the window at once; the program then waits for the check, which notices the
// stop only once the slow manifest is in, and exits with 0.
TEST_F(WindowTest, EscapeWhileCheckingClosesAndWaitsForTheCheck)
{
    publishWithGame("3.0.0");
    server.setFault("/latest.manifest", {.bytesPerSecond = 100});
    const auto setup = start(common);
    ASSERT_TRUE(fileShows(log, L"Looking for the newest version..."));
    const HWND program = FindWindowW(L"QuillmarrowDunmirSetup", L"Quillmarrow Dunmir Setup");
    PostMessageW(program, WM_KEYDOWN, VK_ESCAPE, 0);
    for (int i = 0; i < 40 && IsWindow(program); ++i) Sleep(50);
    EXPECT_TRUE(program && !IsWindow(program) && setup->running());
    EXPECT_EQ(setup->wait(90000), 0u);
    EXPECT_TRUE(fileShows(log, L"Could not check for the newest version. - Cancelled.", 0)) << readWholeFile(log);
}
