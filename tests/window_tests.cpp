// The setup window under Xvfb. In this process: the window procedure, paint
// and controller on a real window made with the program's own windowProc and
// the real engine, with only the message boxes answered by the test (through
// showMessageBox). As its own process: the built program's "--snap" picture,
// unattended runs, and runs driven like a user through posted clicks and keys.
// Positions are worked out by hand from the design lengths (1/96 inch).
#include <winsock2.h>
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <optional>
#include <thread>

#include "app/controller.h"
#include "app/painting.h"
#include "app/window_proc.h"
#include "engine/handles.h"
#include "engine/installer.h"
#include "engine/status.h"
#include "test_files.h"
#include "test_server.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::ostream &operator<<(std::ostream &out, Phase phase) { return out << "phase " << static_cast<int>(phase); }

namespace {

// The window's colours as the design gives them, kept apart from the
// program's own constants so that a wrong constant there shows here.
struct Rgb {
    int r, g, b;
    bool operator==(const Rgb &) const = default;
    friend std::ostream &operator<<(std::ostream &o, const Rgb &c)
    {
        return o << "(" << c.r << "," << c.g << "," << c.b << ")";
    }
};
constexpr Rgb Background{11, 13, 16}, Separator{70, 58, 40}, Track{22, 26, 32}, Fill{57, 140, 160},
    PrimaryFace{188, 155, 106}, PrimaryHotFace{220, 192, 140}, PrimaryOutline{220, 192, 140},
    SecondaryFace{22, 26, 32}, SecondaryHotFace{40, 46, 56}, SecondaryOutline{70, 76, 86};

// Wine draws every window of a desktop through the display driver that the
// desktop's own process chose when it started. The prefix's default desktop
// may have been started without an X display (wineboot, or a test program
// that makes no window), and then no window can be made on it at all. A
// desktop of our own starts on the display this test was given.
const std::wstring OwnDesktop = L"qd-window-tests-" + std::to_wstring(GetCurrentProcessId());
const wchar_t DesktopSizes[] = L"Software\\Wine\\Explorer\\Desktops";

// Moves the main thread, before it owns a window, to the test's own desktop,
// and starts GDI+ for reading pictures back. Wine makes a desktop other than
// the default one a window of the size that its registry entry names, 800 x
// 600 without one: too small for the window at 144 dots per inch.
class Screen : public ::testing::Environment {
    ULONG_PTR gdiPlus_ = 0;
    void SetUp() override
    {
        const wchar_t size[] = L"1280x1024";
        RegSetKeyValueW(HKEY_CURRENT_USER, DesktopSizes, OwnDesktop.c_str(), REG_SZ, size, sizeof size);
        HDESK desktop = CreateDesktopW(OwnDesktop.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
        ASSERT_TRUE(desktop && SetThreadDesktop(desktop)) << "error " << GetLastError();
        Gdiplus::GdiplusStartupInput input;
        ASSERT_EQ(Gdiplus::GdiplusStartup(&gdiPlus_, &input, nullptr), Gdiplus::Ok);
    }
    void TearDown() override
    {
        Gdiplus::GdiplusShutdown(gdiPlus_);
        RegDeleteKeyValueW(HKEY_CURRENT_USER, DesktopSizes, OwnDesktop.c_str());
    }
};
const auto *const screen = ::testing::AddGlobalTestEnvironment(new Screen);

Rgb at(Gdiplus::Bitmap &png, int x, int y)
{
    Gdiplus::Color colour;
    png.GetPixel(x, y, &colour);
    return Rgb{colour.GetR(), colour.GetG(), colour.GetB()};
}

// Pixels in [left, right) x [top, bottom) that differ from the background.
int drawnIn(Gdiplus::Bitmap &png, int left, int top, int right, int bottom)
{
    int count = 0;
    for (int y = top; y < bottom; ++y)
        for (int x = left; x < right; ++x) count += !(at(png, x, y) == Background);
    return count;
}

using Box = std::tuple<HWND, std::wstring, std::wstring, UINT>; // owner, text, caption, style
std::vector<Box> boxes;
int boxAnswer = IDNO;

int WINAPI answerBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style)
{
    boxes.emplace_back(owner, text, caption, style);
    return boxAnswer;
}

// What the window shows: title, detail, primary and secondary labels, fraction and phase.
using Shown = std::tuple<std::wstring, std::wstring, std::wstring, std::wstring, double, Phase>;
Shown shown()
{
    std::lock_guard lock(installer.mutex);
    return {installer.statusTitle, installer.statusDetail, installer.primaryLabel, installer.secondaryLabel,
            installer.fraction, installer.phase};
}

void setPhase(Phase phase)
{
    std::lock_guard lock(installer.mutex);
    installer.phase = phase;
}

// Button centres at 96 dots per inch in a 560 x 380 client area.
const LPARAM PrimaryCentre = MAKELPARAM(461, 336), SecondaryCentre = MAKELPARAM(299, 336);

const std::string GameBytes = "not really a program", BigFile(2000000, 'b'), SmallFile(1000000, 's');
const Files ReleaseFiles = {{"bin/game.exe", GameBytes}, {"data/big.pak", BigFile}, {"data/small.pak", SmallFile}};

// A started setup program; ended by force if a test leaves it running.
class SetupProcess {
public:
    explicit SetupProcess(const std::wstring &arguments)
    {
        const fs::path exe = QD_SETUP_EXE;
        std::wstring command = L"\"" + exe.wstring() + L"\" " + arguments, desktop = OwnDesktop;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.lpDesktop = desktop.data(); // where FindWindowW looks and windows can be made
        PROCESS_INFORMATION started{};
        if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &started))
            ADD_FAILURE() << "could not start the setup program, error " << GetLastError();
        CloseHandle(started.hThread);
        process_.reset(started.hProcess);
    }
    ~SetupProcess()
    {
        if (running()) TerminateProcess(process_.get(), 9999);
    }

    bool running() const { return WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }

    // Nothing when the program still runs after the wait.
    std::optional<DWORD> exitCode(std::chrono::milliseconds wait)
    {
        DWORD code = 0;
        if (WaitForSingleObject(process_.get(), DWORD(wait.count())) || !GetExitCodeProcess(process_.get(), &code))
            return std::nullopt;
        return code;
    }

    HWND waitForWindow()
    {
        for (int i = 0; i < 300 && running(); ++i, std::this_thread::sleep_for(100ms))
            if (HWND found = FindWindowW(L"QuillmarrowDunmirSetup", L"Quillmarrow Dunmir Setup")) return found;
        return nullptr;
    }

private:
    FileHandle process_;
};

std::optional<DWORD> runToEnd(const std::wstring &arguments) { return SetupProcess(arguments).exitCode(120s); }

std::wstring quoted(const fs::path &path) { return L"\"" + path.wstring() + L"\""; }

// Waits until the file, UTF-8 or UTF-16, holds the text; the program writes
// each log line at once, the stand-in game its report through a rename.
bool fileShows(const fs::path &file, const std::wstring &text, std::chrono::milliseconds wait = 60s)
{
    const std::string narrow(text.begin(), text.end());
    for (auto until = std::chrono::steady_clock::now() + wait;; std::this_thread::sleep_for(50ms)) {
        const std::string bytes = readWholeFile(file);
        const std::wstring wide(reinterpret_cast<const wchar_t *>(bytes.data()), bytes.size() / sizeof(wchar_t));
        if (bytes.find(narrow) != std::string::npos || wide.find(text) != std::wstring::npos) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
    }
}

// Sets the screen's dots per inch that Wine reports to programs started
// from now on, and puts the old value back at the end.
class ScreenDpi {
public:
    explicit ScreenDpi(DWORD dpi)
    {
        hadOld_ = !RegGetValueW(HKEY_CURRENT_USER, Key, L"LogPixels", RRF_RT_REG_DWORD, nullptr, &old_, &size_);
        RegSetKeyValueW(HKEY_CURRENT_USER, Key, L"LogPixels", REG_DWORD, &dpi, sizeof dpi);
    }
    ~ScreenDpi()
    {
        if (hadOld_) RegSetKeyValueW(HKEY_CURRENT_USER, Key, L"LogPixels", REG_DWORD, &old_, sizeof old_);
        else RegDeleteKeyValueW(HKEY_CURRENT_USER, Key, L"LogPixels");
    }

private:
    static constexpr wchar_t Key[] = L"Control Panel\\Desktop";
    DWORD old_ = 0, size_ = sizeof old_;
    bool hadOld_ = false;
};

// Worked out by hand from the design lengths with the 820 x 230 banner:
// at 96 dots per inch the banner is 330 x 92 at (115, 22), the separator
// row 128 from x 40 to 519, the bar rows 232 to 241 from x 48 to 511 filled
// to 48 + trunc(464 * 0.38) = 224, the buttons {386, 316, 536, 356} and
// {224, 316, 374, 356} with 1-pixel outlines; at 144 (scale 1.5) the banner
// is 495 x 138 at (172, 33), the separator row 192 from 60 to 779, the bar
// rows 348 to 362 from 72 to 767 filled to 72 + trunc(696 * 0.38) = 336, and
// the buttons {579, 474, 804, 534} and {336, 474, 561, 534} with 2-pixel
// outlines, which GDI centres on the frame: rows 473 and 474 at the top.
const struct {
    DWORD dpi;
    UINT width, height;
    RECT bannerBox; // where the banner must be drawn
    std::vector<std::tuple<int, int, Rgb>> probes;
} Layouts[] = {
    {96, 560, 380, {115, 22, 445, 114}, {
        {5, 5, Background}, {555, 375, Background}, {100, 60, Background}, {460, 60, Background},
        {300, 127, Background}, {300, 129, Background}, {40, 128, Separator}, {300, 128, Separator},
        {519, 128, Separator}, {39, 128, Background}, {520, 128, Background}, {48, 232, Fill}, {223, 241, Fill},
        {224, 236, Track}, {511, 236, Track}, {512, 236, Background}, {47, 236, Background}, {300, 231, Background},
        {300, 242, Background}, {392, 336, PrimaryFace}, {461, 320, PrimaryFace}, {461, 315, Background},
        {461, 316, PrimaryOutline}, {461, 317, PrimaryFace}, {461, 355, PrimaryOutline}, {386, 336, PrimaryOutline},
        {535, 336, PrimaryOutline}, {230, 336, SecondaryFace}, {299, 320, SecondaryFace},
        {299, 316, SecondaryOutline}, {299, 355, SecondaryOutline}, {224, 336, SecondaryOutline},
        {373, 336, SecondaryOutline}, {380, 336, Background}, {461, 360, Background}}},
    {144, 840, 570, {172, 33, 667, 171}, {
        {5, 5, Background}, {835, 565, Background}, {150, 100, Background}, {690, 100, Background},
        {400, 190, Background}, {400, 194, Background}, {60, 192, Separator}, {400, 192, Separator},
        {779, 192, Separator}, {58, 192, Background}, {781, 192, Background}, {72, 348, Fill}, {335, 362, Fill},
        {336, 355, Track}, {767, 355, Track}, {768, 355, Background}, {71, 355, Background}, {400, 346, Background},
        {400, 364, Background}, {590, 504, PrimaryFace}, {691, 483, PrimaryFace}, {691, 472, Background},
        {691, 473, PrimaryOutline}, {691, 474, PrimaryOutline}, {691, 475, PrimaryFace}, {691, 533, PrimaryOutline},
        {579, 504, PrimaryOutline}, {803, 504, PrimaryOutline}, {347, 504, SecondaryFace}, {448, 483, SecondaryFace},
        {448, 474, SecondaryOutline}, {448, 533, SecondaryOutline}, {336, 504, SecondaryOutline},
        {560, 504, SecondaryOutline}, {570, 504, Background}, {691, 540, Background}}},
};

class WindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        const WNDCLASSW windowClass{0, windowProc, 0, 0, GetModuleHandleW(nullptr), nullptr, nullptr, nullptr, nullptr,
                                    L"QdWindowTest"};
        ASSERT_NE(RegisterClassW(&windowClass), 0);
    }

    void SetUp() override
    {
        dpiScale = 1.0f;
        primaryButton = secondaryButton = Button{};
        // A popup, so that the client area is the whole window, and so that
        // Wine does not wait for a window manager (there is none) to map and
        // unmap it.
        window = hwnd = CreateWindowExW(0, L"QdWindowTest", L"window test", WS_POPUP, 0, 0, 560, 380, nullptr,
                                        nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(hwnd, nullptr) << "no window: is there an X display?";
        ShowWindow(hwnd, SW_SHOWNOACTIVATE);
        showMessageBox = answerBox;
        boxes.clear();
        boxAnswer = IDNO;
        installer.cancel = false;
        installer.options = Options{};
        installer.options.installDir = gameDir;
        installer.options.noRegister = true;
        installer.options.baseUrl = server.url("/");
        setStatus(L"", L"", -1.0);
        setPhase(Phase::checking);
        setButtons(L"", L"");
        drain();
    }

    void TearDown() override
    {
        if (worker.joinable()) worker.join();
        if (IsWindow(hwnd)) DestroyWindow(hwnd);
        drain();
        window = nullptr;
        showMessageBox = MessageBoxW;
        if (installer.logFile) fclose(installer.logFile);
        installer.logFile = nullptr;
    }

    // Drops every queued message, quit messages included, without acting on
    // any; a pending paint is validated instead, or it would come back for ever.
    void drain()
    {
        for (MSG message; PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);)
            if (message.message == WM_PAINT) ValidateRect(message.hwnd, nullptr);
    }

    // The private messages posted to the window, in order.
    std::vector<UINT> posted()
    {
        std::vector<UINT> seen;
        for (MSG message; PeekMessageW(&message, hwnd, WM_APP_START_APPLY, WM_APP_CLOSE, PM_REMOVE);)
            seen.push_back(message.message);
        return seen;
    }

    // Publishes the labels and paints them, as the live window does before
    // a user can hit a button.
    void showButtons(const std::wstring &primary, const std::wstring &secondary = L"CLOSE")
    {
        setButtons(primary, secondary);
        UpdateWindow(hwnd);
    }

    void settle() { ValidateRect(hwnd, nullptr); }
    bool repaintAsked() { return GetUpdateRect(hwnd, nullptr, FALSE) != 0; }
    bool hand() { return GetCursor() == LoadCursorW(nullptr, IDC_HAND); }
    LRESULT send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0)
    {
        return SendMessageW(hwnd, message, wParam, lParam);
    }
    void publish(const std::string &version = "2.0.0", const Files &files = ReleaseFiles)
    {
        ::publish(server, "/", releaseOf(version, files), files);
    }
    // For the built program: the stand-in game, which reports how it was started.
    void publishWithGame(const std::string &version, uint32_t seed = 7)
    {
        publish(version, {{"bin/game.exe", readWholeFile(QD_FAKE_GAME)},
                          {"data/world.pak", patternBytes(300000, seed)}});
    }

    TestServer server;
    ScratchFolder dir;
    const fs::path gameDir = dir / "game", log = dir / "setup.log";
    const std::wstring common = L"--source " + server.url("/") + L" --dir " + quoted(gameDir) + L" --log " +
                                quoted(log) + L" --no-register";
    HWND hwnd = nullptr;
};

} // namespace

// WM_PAINT draws the whole client area through its buffer: the bar as the
// fraction says, each button with its face and outline only when labelled,
// the hot face under the pointer. It hands the labels to the hit tests.
TEST_F(WindowTest, PaintShowsTheBarAndTheButtons)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        double fraction;
        std::wstring primary;
        bool primaryHot, secondaryHot;
        Rgb barLeft, barRight, primaryFace, primaryOutline, secondaryFace;
    } cases[] = {
        {0.0, L"PLAY", false, false, Track, Track, PrimaryFace, PrimaryOutline, SecondaryFace},
        {0.001, L"PLAY", true, false, Track, Track, PrimaryHotFace, PrimaryOutline, SecondaryFace}, // 0.464 px
        {1.0, L"INSTALL", false, true, Fill, Fill, PrimaryFace, PrimaryOutline, SecondaryHotFace},
        {1.7, L"", true, false, Fill, Fill, Background, Background, SecondaryFace}, // absent, even when hot
        {-1.0, L"PLAY", false, false, Background, Background, PrimaryFace, PrimaryOutline, SecondaryFace},
        {nan, L"PLAY", false, false, Background, Background, PrimaryFace, PrimaryOutline, SecondaryFace},
    };
    HDC dc = GetDC(hwnd);
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.fraction << " " << testing::PrintToString(c.primary) << " hot "
                                        << c.primaryHot << c.secondaryHot);
        setStatus(L"", L"", c.fraction);
        setButtons(c.primary, L"CLOSE");
        primaryButton.label = L"stale";
        primaryButton.hot = c.primaryHot;
        secondaryButton.hot = c.secondaryHot;
        UpdateWindow(hwnd);
        EXPECT_FALSE(repaintAsked());
        EXPECT_EQ(primaryButton.label, c.primary);
        EXPECT_EQ(secondaryButton.label, L"CLOSE");
        // Faces between the rounded corners and the centred label; outlines
        // in the same colour hot or not; never a fill past the track.
        const std::tuple<int, int, Rgb> probes[] = {
            {5, 5, Background},          {300, 22, Separator},      {48, 130, c.barLeft},
            {511, 130, c.barRight},      {512, 130, Background},    {392, 336, c.primaryFace},
            {461, 320, c.primaryFace},   {461, 316, c.primaryOutline}, {535, 336, c.primaryOutline},
            {230, 336, c.secondaryFace}, {299, 316, SecondaryOutline}, {380, 336, Background},
        };
        for (const auto &[x, y, colour] : probes) {
            const COLORREF drawn = GetPixel(dc, x, y);
            EXPECT_EQ((Rgb{GetRValue(drawn), GetGValue(drawn), GetBValue(drawn)}), colour) << x << "," << y;
        }
    }
    ReleaseDC(hwnd, dc);
}

TEST_F(WindowTest, HoverCursorAndLeaving)
{
    showButtons(L"PLAY");
    const struct {
        int x, y;
        bool primaryHot, secondaryHot, repaint, hand;
    } steps[] = {
        {10, 10, false, false, false, false},
        {461, 336, true, false, true, true},
        {470, 340, true, false, false, true},  // moving inside: no repaint
        {299, 336, false, true, true, true},   // from one button to the other at once
        {380, 336, false, false, true, false}, // the gap between them
        {386, 316, true, false, true, true},   // the top left corner belongs to the button
        {536, 356, false, false, true, false}, // the bottom right does not
        {-5, -5, false, false, false, false},  // left of and above the client area
        {461, 336, true, false, true, true},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(testing::Message() << "at " << step.x << "," << step.y);
        settle();
        send(WM_MOUSEMOVE, 0, MAKELPARAM(step.x, step.y));
        EXPECT_EQ(primaryButton.hot, step.primaryHot);
        EXPECT_EQ(secondaryButton.hot, step.secondaryHot);
        EXPECT_EQ(repaintAsked(), step.repaint);
        EXPECT_EQ(hand(), step.hand);
    }

    // Inside the client area the cursor of the last move stays.
    EXPECT_EQ(send(WM_SETCURSOR, reinterpret_cast<WPARAM>(hwnd), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)), 1);
    EXPECT_TRUE(hand());
    // Leaving clears the hover and repaints, also when nothing was hovered.
    for (int leave = 0; leave < 2; ++leave) {
        settle();
        send(WM_MOUSELEAVE);
        EXPECT_FALSE(primaryButton.hot);
        EXPECT_TRUE(repaintAsked());
    }
}

// By click and by Enter: PLAY that cannot start the game warns and keeps the
// window; while checking or applying the phase decides, not the label.
TEST_F(WindowTest, PrimaryInEachPhase)
{
    for (Phase phase : {Phase::upToDate, Phase::installed, Phase::checking, Phase::applying}) {
        SCOPED_TRACE(testing::Message() << phase);
        setPhase(phase);
        showButtons(L"PLAY");
        boxes.clear();
        send(WM_LBUTTONUP, 0, PrimaryCentre);
        send(WM_KEYDOWN, VK_RETURN);
        const bool plays = phase == Phase::upToDate || phase == Phase::installed;
        EXPECT_EQ(boxes, std::vector<Box>(plays ? 2 : 0, {hwnd, L"The game could not be started.",
                                                          L"Quillmarrow Dunmir", MB_ICONWARNING}));
        EXPECT_TRUE(IsWindow(hwnd));
        EXPECT_EQ(std::get<Phase>(shown()), phase);
        EXPECT_FALSE(worker.joinable());
    }
    // The unattended PLAY of a worker keeps the window without a word.
    boxes.clear();
    send(WM_APP_PLAY);
    EXPECT_TRUE(IsWindow(hwnd));
    EXPECT_TRUE(boxes.empty());
    // An absent button is neither hovered nor hit, and a label given after
    // the last paint cannot be hit before the next paint.
    setPhase(Phase::readyToApply);
    showButtons(L"");
    settle();
    send(WM_MOUSEMOVE, 0, PrimaryCentre);
    EXPECT_FALSE(primaryButton.hot);
    EXPECT_FALSE(hand());
    EXPECT_FALSE(repaintAsked());
    setButtons(L"INSTALL", L"CLOSE");
    send(WM_LBUTTONUP, 0, PrimaryCentre);
    send(WM_KEYDOWN, VK_RETURN);
    EXPECT_EQ(std::get<Phase>(shown()), Phase::readyToApply);
    EXPECT_FALSE(worker.joinable());
}

TEST_F(WindowTest, CloseRequestsInEveryPhase)
{
    const struct {
        Phase phase;
        int answer;
        bool asks, destroyed, cancel;
    } cases[] = {
        {Phase::checking, IDNO, false, true, true},      {Phase::readyToApply, IDNO, false, true, false},
        {Phase::upToDate, IDNO, false, true, false},     {Phase::installed, IDNO, false, true, false},
        {Phase::failed, IDNO, false, true, false},       {Phase::applying, IDNO, true, false, false},
        {Phase::applying, IDCANCEL, true, false, false}, {Phase::applying, IDYES, true, false, true},
    };
    const std::wstring question = L"Stop the download? What has finished is kept for next time.";
    const UINT yesNo = MB_YESNO | MB_ICONQUESTION;
    for (const auto &c : cases) {
        // Esc, the secondary button and the close box all make the same request.
        for (const auto &[message, wParam, lParam] : {std::tuple<UINT, WPARAM, LPARAM>{WM_KEYDOWN, VK_ESCAPE, 0},
                                                      {WM_LBUTTONUP, 0, SecondaryCentre}, {WM_CLOSE, 0, 0}}) {
            SCOPED_TRACE(testing::Message() << c.phase << ", answer " << c.answer << ", message " << message);
            TearDown();
            SetUp();
            setPhase(c.phase);
            showButtons(L"");
            boxAnswer = c.answer;
            send(message, wParam, lParam);
            EXPECT_EQ(boxes, std::vector<Box>(c.asks, {hwnd, question, L"Quillmarrow Dunmir", yesNo}));
            EXPECT_EQ(!IsWindow(hwnd), c.destroyed);
            // Destroying the window sets the flag as well; the applying
            // cases show what the request itself does.
            if (!c.destroyed || c.phase == Phase::checking) {
                EXPECT_EQ(installer.cancel.load(), c.cancel);
            }
        }
    }
}

// What a check, then an install, leaves on show and posts to the window for
// each of no flag, "--update", "--yes" and both.
TEST_F(WindowTest, OutcomesSetPhaseTextsButtonsMessagesAndLog)
{
    using Messages = std::vector<UINT>;
    const Messages none, start{WM_APP_START_APPLY}, play{WM_APP_PLAY}, close{WM_APP_CLOSE},
        playClose{WM_APP_PLAY, WM_APP_CLOSE};
    const std::wstring installed = L"Quillmarrow Dunmir 2.0.0 is installed.",
                       inMenu = L"It is in your Start menu. Run this again any time to update.";
    enum Step { check, install, refused, cancelled };
    const struct {
        const char *name;
        Files present;
        bool record, served;
        Step step;
        Shown expected; // a failure's detail begins so and goes on with the cause
        Messages plain, update, yes, updateYes;
    } cases[] = {
        {"first install", {}, false, true, check,
         {L"Install Quillmarrow Dunmir 2.0.0?", L"3 MB to download.", L"INSTALL", L"CLOSE", -1.0, Phase::readyToApply},
         none, start, start, start},
        {"update of one file", {{"bin/game.exe", GameBytes}, {"data/small.pak", SmallFile}}, true, true, check,
         {L"Quillmarrow Dunmir 2.0.0 is out.", L"2 MB to download (1 files).", L"UPDATE", L"CLOSE", -1.0,
          Phase::readyToApply},
         none, start, start, start},
        {"up to date", ReleaseFiles, true, true, check,
         {L"Quillmarrow Dunmir 2.0.0 is installed and up to date.", L"", L"PLAY", L"CLOSE", -1.0, Phase::upToDate},
         none, play, close, playClose},
        {"server without a release", {}, false, false, check,
         {L"Could not check for the newest version.", L"Could not reach the Quillmarrow Dunmir server: ",
          L"TRY AGAIN", L"CLOSE", -1.0, Phase::failed},
         none, none, close, close},
        {"installed", {}, false, true, install, {installed, inMenu, L"PLAY", L"CLOSE", 1.0, Phase::installed},
         none, play, close, playClose},
        {"download refused", {}, false, true, refused,
         {L"The install did not finish.", L"The download failed: ", L"TRY AGAIN", L"CLOSE", -1.0, Phase::failed},
         none, none, close, close},
        {"cancelled", {}, false, true, cancelled,
         {L"Cancelled.", L"Cancelled.", L"TRY AGAIN", L"CLOSE", -1.0, Phase::failed}, none, none, close, close},
    };
    installer.logFile = _wfopen((dir / "log.txt").c_str(), L"w");
    for (const auto &c : cases) {
        for (const auto &[update, yes, messages] : {std::tuple{false, false, c.plain}, {true, false, c.update},
                                                    {false, true, c.yes}, {true, true, c.updateYes}}) {
            SCOPED_TRACE(testing::Message() << c.name << ", update " << update << ", yes " << yes);
            fs::remove_all(gameDir);
            for (const auto &[path, bytes] : c.present) writeWholeFile(gameDir / path, bytes);
            if (c.record)
                writeWholeFile(gameDir / "install.manifest",
                               signRelease(releaseOf("1.0.0", {{"bin/game.exe", "old"}}), testKey().secret));
            server.remove("/latest.manifest");
            if (c.served) publish();
            installer.options.update = c.step == check && update;
            installer.options.yes = c.step == check && yes;
            installer.cancel = false;
            runCheck();
            if (c.step != check) {
                ASSERT_EQ(std::get<Phase>(shown()), Phase::readyToApply);
                posted();
                if (c.step == refused)
                    for (const auto &[path, bytes] : ReleaseFiles) server.remove("/files/" + hashOf(bytes));
                installer.options.update = update;
                installer.options.yes = yes;
                installer.cancel = c.step == cancelled;
                runApply();
            }

            Shown now = shown();
            EXPECT_EQ(posted(), messages);
            if (c.step != check && std::get<Phase>(now) == Phase::failed) {
                // The failure's status line, then "failed: " with the same message.
                const std::wstring &title = std::get<0>(now), &detail = std::get<1>(now);
                const std::string message(detail.begin(), detail.end());
                fflush(installer.logFile);
                const std::string log = readWholeFile(dir / "log.txt");
                const size_t statusAt = log.rfind(std::string(title.begin(), title.end()) + " - " + message);
                ASSERT_NE(statusAt, std::string::npos) << log;
                EXPECT_NE(log.find("failed: " + message, statusAt), std::string::npos) << log;
            }
            if (std::get<Phase>(now) == Phase::failed) std::get<1>(now).resize(std::get<1>(c.expected).size());
            EXPECT_TRUE(c.step != install || readWholeFile(gameDir / "data" / "big.pak") == BigFile);
            EXPECT_EQ(now, c.expected);
        }
    }
}

// TRY AGAIN runs a fresh check on a worker; INSTALL starts the download with
// an empty bar; CANCEL, answered Yes, stops it with the window open.
TEST_F(WindowTest, WorkersRunFromTheButtons)
{
    publish();
    server.setFault("/files/" + hashOf(BigFile), {.bytesPerSecond = 700000}); // about 3 s for the big file

    setPhase(Phase::failed);
    showButtons(L"TRY AGAIN");
    send(WM_LBUTTONUP, 0, PrimaryCentre);
    ASSERT_TRUE(worker.joinable());
    worker.join();
    EXPECT_EQ(std::get<2>(shown()), L"INSTALL");
    ASSERT_EQ(std::get<Phase>(shown()), Phase::readyToApply);

    UpdateWindow(hwnd);
    send(WM_KEYDOWN, VK_RETURN);
    auto [title, detail, primary, secondary, fraction, phase] = shown();
    EXPECT_EQ(std::tie(title, primary, secondary, phase),
              std::tuple(L"Downloading Quillmarrow Dunmir 2.0.0...", L"", L"CANCEL", Phase::applying));
    EXPECT_GE(fraction, 0.0);
    EXPECT_FALSE(installer.cancel.load());

    UpdateWindow(hwnd);
    boxAnswer = IDYES;
    send(WM_LBUTTONUP, 0, SecondaryCentre);
    EXPECT_TRUE(installer.cancel.load());
    EXPECT_EQ(boxes.size(), 1u);
    // The download stops at its next chunk, long before the slow file is in.
    const auto stopping = std::chrono::steady_clock::now();
    worker.join();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 5s);
    EXPECT_TRUE(IsWindow(hwnd));
    std::tie(title, detail, primary, secondary, fraction, phase) = shown();
    EXPECT_EQ(std::tie(title, primary, phase), std::tuple(L"Cancelled.", L"TRY AGAIN", Phase::failed));
}

TEST_F(WindowTest, SnapshotFollowsTheScreenScale)
{
    for (const auto &layout : Layouts) {
        SCOPED_TRACE(testing::Message() << layout.dpi << " dots per inch");
        const fs::path picture = dir / ("window-" + std::to_string(layout.dpi) + ".png");
        {
            ScreenDpi dpi(layout.dpi);
            ASSERT_EQ(runToEnd(L"--snap " + quoted(picture) + L" --dir " + quoted(gameDir)), 0u);
        }
        Gdiplus::Bitmap png(picture.c_str());
        ASSERT_EQ(png.GetLastStatus(), Gdiplus::Ok);
        ASSERT_EQ(png.GetWidth(), layout.width) << "height " << png.GetHeight();
        ASSERT_EQ(png.GetHeight(), layout.height);
        for (const auto &[x, y, colour] : layout.probes) EXPECT_EQ(at(png, x, y), colour) << "at " << x << "," << y;
        const RECT &b = layout.bannerBox;
        // The banner is a picture, not a flat field...
        EXPECT_GT(drawnIn(png, b.left, b.top, b.right, b.bottom), (b.right - b.left) * (b.bottom - b.top) / 20);
        // ...and nothing is drawn beside it.
        EXPECT_EQ(drawnIn(png, 0, b.top, b.left - 2, b.bottom), 0);
        EXPECT_EQ(drawnIn(png, b.right + 2, b.top, static_cast<int>(layout.width), b.bottom), 0);
    }
    // The snapshot changes nothing in the install folder.
    EXPECT_FALSE(fs::exists(gameDir));

    const fs::path missing = dir / "no such folder" / "window.png";
    EXPECT_EQ(runToEnd(L"--snap " + quoted(missing)), 1u);
    EXPECT_FALSE(fs::exists(missing));
    // The quiet road wins: the check fails against an empty server, no picture.
    EXPECT_EQ(runToEnd(L"--quiet --snap " + quoted(dir / "quiet.png") + L" " + common), 1u);
    EXPECT_FALSE(fs::exists(dir / "quiet.png"));
}

TEST_F(WindowTest, UnattendedRuns)
{
    const fs::path launch = gameDir / "bin" / "launch.txt";
    // "--yes" with files needed: installs without a click, no game start.
    publishWithGame("2.0.0");
    ASSERT_EQ(runToEnd(L"--yes " + common), 0u);
    EXPECT_EQ(readWholeFile(gameDir / "data" / "world.pak"), patternBytes(300000, 7));
    EXPECT_TRUE(fileShows(log, L"Quillmarrow Dunmir 2.0.0 is installed. - It is in your Start menu.", 0s))
        << readWholeFile(log);
    EXPECT_FALSE(fileShows(launch, L"game.exe", 1s));

    // "--update --yes" with a newer release: installs, starts the game
    // told that it was updated, and closes.
    publishWithGame("2.1.0", 8);
    ASSERT_EQ(runToEnd(L"--update --yes " + common), 0u);
    EXPECT_EQ(readWholeFile(gameDir / "data" / "world.pak"), patternBytes(300000, 8));
    EXPECT_TRUE(fileShows(launch, L"game.exe\" --updated\n", 30s)) << readWholeFile(launch).size() << " bytes";

    // A run that stopped half way left its staging folder: with nothing left
    // to fetch, the window still finishes that install instead of calling the
    // game up to date.
    fs::create_directories(gameDir / ".staging");
    ASSERT_EQ(runToEnd(L"--yes " + common), 0u);
    EXPECT_FALSE(fs::exists(gameDir / ".staging"));
    EXPECT_TRUE(fileShows(log, L"Quillmarrow Dunmir 2.1.0 is installed. - It is in your Start menu.", 0s))
        << readWholeFile(log);

    // "--yes" after a failed check: the window closes, and the run still ends with 0.
    server.remove("/latest.manifest");
    ASSERT_EQ(runToEnd(L"--yes " + common), 0u);
    EXPECT_TRUE(fileShows(log, L"Could not check for the newest version. - Could not reach", 0s))
        << readWholeFile(log);
}

TEST_F(WindowTest, AUserInstallsAndPlays)
{
    publishWithGame("3.0.0");
    SetupProcess setup(common);
    const HWND program = setup.waitForWindow();
    ASSERT_NE(program, nullptr);
    ASSERT_TRUE(fileShows(log, L"Install Quillmarrow Dunmir 3.0.0? - 1 MB to download."));
    // The click is hit-tested against the labels of the last paint; the
    // idle window repaints at once after the buttons change.
    std::this_thread::sleep_for(500ms);
    PostMessageW(program, WM_MOUSEMOVE, 0, PrimaryCentre);
    PostMessageW(program, WM_LBUTTONUP, 0, PrimaryCentre);
    ASSERT_TRUE(fileShows(log, L"Quillmarrow Dunmir 3.0.0 is installed."));
    EXPECT_TRUE(IsWindow(program));
    EXPECT_TRUE(setup.running());

    std::this_thread::sleep_for(500ms);
    PostMessageW(program, WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_EQ(setup.exitCode(60s), 0u);
    EXPECT_FALSE(IsWindow(program));
    // Started without " --updated": the line ends after the quoted path.
    EXPECT_TRUE(fileShows(gameDir / "bin" / "launch.txt", L"game.exe\"\n", 30s));
}

// Esc while checking destroys the window at once; the program then waits for
// the check, which notices the stop only once the slow manifest is in.
TEST_F(WindowTest, EscapeWhileCheckingClosesAndWaitsForTheCheck)
{
    publishWithGame("3.0.0");
    server.setFault("/latest.manifest", {.bytesPerSecond = 100});

    SetupProcess setup(common);
    const HWND program = setup.waitForWindow();
    ASSERT_NE(program, nullptr);
    ASSERT_TRUE(fileShows(log, L"Looking for the newest version..."));
    PostMessageW(program, WM_KEYDOWN, VK_ESCAPE, 0);
    const auto pressed = std::chrono::steady_clock::now();

    for (int i = 0; i < 40 && IsWindow(program); ++i) std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(IsWindow(program));
    EXPECT_TRUE(setup.running());
    EXPECT_EQ(setup.exitCode(90s), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - pressed, 1s);
    EXPECT_TRUE(fileShows(log, L"Could not check for the newest version. - Cancelled.", 0s)) << readWholeFile(log);
}
