// The setup window under Xvfb: the window procedure, paint and controller on a real window with the real engine in
// this process, and the built program's snapshot. Lengths in 1/96 inch, worked out by hand.
#include <winsock2.h>
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include "app/controller.h"
#include "app/painting.h"
#include "app/window_proc.h"
#include "e2e_support.h"
#include "engine/installer.h"
#include "engine/status.h"
#include "test_server.h"

namespace fs = std::filesystem;

namespace {

// The design's colours, apart from the program's own so that a wrong constant there shows here.
constexpr COLORREF Background = RGB(11, 13, 16), Separator = RGB(70, 58, 40), Track = RGB(22, 26, 32), Fill = RGB(57, 140, 160),
                   PrimaryFace = RGB(188, 155, 106), PrimaryHot = RGB(220, 192, 140), SecondaryHot = RGB(40, 46, 56),
                   SecondaryOutline = RGB(70, 76, 86), Title = RGB(230, 225, 211), Detail = RGB(150, 146, 136), Footer = RGB(110, 107, 100);

// Wine draws a desktop's windows through the display driver its process chose, and the prefix's default desktop
// may have none: ours starts on this test's display, sized by its registry entry. GDI+ reads pictures back.
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

using Shown = std::tuple<std::wstring, std::wstring, std::wstring, std::wstring, double, Phase>; // title, detail, labels...
Shown shown()
{
    std::lock_guard lock(installer.mutex);
    return {installer.statusTitle, installer.statusDetail, installer.primaryLabel, installer.secondaryLabel, installer.fraction, installer.phase};
}
void setPhase(Phase phase) { std::lock_guard lock(installer.mutex); installer.phase = phase; }

const LPARAM PrimaryCentre = MAKELPARAM(461, 336), SecondaryCentre = MAKELPARAM(299, 336); // in 560 x 380 at 96 dots per inch
const std::string BigFile(2000000, 'b'), SmallFile(1000000, 's');
const Files ReleaseFiles = {{"bin/game.exe", "not a program"}, {"data/big.pak", BigFile}, {"data/small.pak", SmallFile}};

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
        ShowWindow(hwnd, SW_SHOWNOACTIVATE), installer.cancel = false, installer.options = Options{};
        showMessageBox = [](HWND, LPCWSTR, LPCWSTR, UINT) { return IDYES; }; // every box answered Yes
        installer.options.installDir = gameDir, installer.options.noRegister = true, installer.options.baseUrl = server.url("/");
        setStatus(L"", L"", -1.0), setPhase(Phase::checking), setButtons(L"", L""), drain();
    }
    void TearDown() override
    {
        if (worker.joinable()) worker.join();
        DestroyWindow(hwnd), drain(), window = nullptr, showMessageBox = MessageBoxW;
    }
    // Drops every queued message unhandled; a pending paint is validated, or it would come back for ever.
    void drain() { for (MSG m; PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE);) m.message == WM_PAINT && ValidateRect(m.hwnd, nullptr); }
    std::vector<UINT> posted(std::vector<UINT> seen = {}) // the private messages posted to the window, in order
    {
        for (MSG m; PeekMessageW(&m, hwnd, WM_APP_START_APPLY, WM_APP_CLOSE, PM_REMOVE);) seen.push_back(m.message);
        return seen;
    }
    LRESULT send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) { return SendMessageW(hwnd, message, wParam, lParam); }
    void publish(const std::string &version = "2.0.0", const Files &files = ReleaseFiles) { ::publish(server, "/", releaseOf(version, files), files); }
    DWORD runToEnd(const std::wstring &arguments) { return SetupProcess(QD_SETUP_EXE, arguments, dir.path(), OwnDesktop).wait(120000); }

    TestServer server;
    ScratchFolder dir;
    const fs::path gameDir = dir / "game";
    HWND hwnd = nullptr;
};

} // namespace

// The bar as the fraction says, each button only when labelled, hot under the pointer; without a banner the separator
// lies at row 22 and the bar at rows 126 to 135.
TEST_F(WindowTest, PaintShowsTheBarAndTheButtons)
{
    const struct { double fraction; const wchar_t *primary; LPARAM mouse; COLORREF bar, primaryFace, primaryOutline, secondaryFace; } cases[] = {
        {0.001, L"PLAY", PrimaryCentre, Track, PrimaryHot, PrimaryHot, Track},    // 0.464 px: no fill
        {1.7, L"", PrimaryCentre, Fill, Background, Background, Track},            // absent, even under the pointer
        {1.0, L"INSTALL", SecondaryCentre, Fill, PrimaryFace, PrimaryHot, SecondaryHot},
        {-1.0, L"PLAY", 0, Background, PrimaryFace, PrimaryHot, Track}};
    const HDC dc = GetDC(hwnd); // released with the window
    for (const auto &c : cases) {
        setStatus(L"", L"", c.fraction), setButtons(c.primary, L"CLOSE"), UpdateWindow(hwnd), send(WM_MOUSEMOVE, 0, c.mouse), UpdateWindow(hwnd);
        // Faces between the rounded corners and the label; outlines the same hot or not; no fill past the track.
        for (const auto &[x, y, colour] : {std::tuple{5, 5, Background}, {300, 22, Separator}, {48, 130, c.bar}, {511, 130, c.bar},
                                           {512, 130, Background}, {392, 336, c.primaryFace}, {461, 316, c.primaryOutline},
                                           {230, 336, c.secondaryFace}, {299, 316, SecondaryOutline}, {380, 336, Background}})
            EXPECT_EQ(GetPixel(dc, x, y), colour) << c.fraction << " at " << x << "," << y;
        EXPECT_TRUE(primaryButton.label == c.primary && (GetCursor() == LoadCursorW(nullptr, IDC_HAND)) == (c.mouse && *c.primary)) << c.fraction;
    }
}

// What a check, then an install, shows and posts with no flag (nothing), "--update", "--yes" and both; a failure's detail goes on with the cause.
TEST_F(WindowTest, OutcomesSetPhaseTextsButtonsMessagesAndLog)
{
    using Messages = std::vector<UINT>;
    const Messages none, start{WM_APP_START_APPLY}, play{WM_APP_PLAY}, close{WM_APP_CLOSE}, playClose{WM_APP_PLAY, WM_APP_CLOSE};
    enum Step { check, refused, cancelled, install, unfinished }; // unfinished: a run stopped while placing, nothing to fetch
    const std::wstring again = L"TRY AGAIN", shut = L"CLOSE";
    const Shown installed{L"Quillmarrow Dunmir 2.0.0 is installed.", L"It is in your Start menu. Run this again any time to update.",
                          L"PLAY", shut, 1, Phase::installed};
    const struct { Files present; int record; bool served; Step step; Shown expected; Messages update, yes, both; } cases[] = {
        {{}, 0, 1, check, {L"Install Quillmarrow Dunmir 2.0.0?", L"3 MB to download.", L"INSTALL", shut, -1, Phase::readyToApply}, start, start, start},
        {{ReleaseFiles[0], ReleaseFiles[2]}, 1, 1, check, {L"Quillmarrow Dunmir 2.0.0 is out.", L"2 MB to download (1 files).",
         L"UPDATE", shut, -1, Phase::readyToApply}, start, start, start},
        {ReleaseFiles, 2, 1, check, {L"Quillmarrow Dunmir 2.0.0 is installed and up to date.", L"", L"PLAY", shut, -1, Phase::upToDate},
         play, close, playClose},
        {ReleaseFiles, 1, 1, check, installed, play, close, playClose}, // nothing to fetch, yet the record is of another release
        {{}, 0, 0, check, {L"Could not check for the newest version.", L"Could not reach the Quillmarrow Dunmir server: ", again,
         shut, -1, Phase::failed}, none, close, close},
        {{}, 0, 1, install, installed, play, close, playClose}, {ReleaseFiles, 2, 1, unfinished, installed, play, close, playClose},
        {{}, 0, 1, refused, {L"The install did not finish.", L"The download failed: ", again, shut, -1, Phase::failed}, none, close, close},
        {{}, 0, 1, cancelled, {L"Cancelled.", L"Cancelled.", again, shut, -1, Phase::failed}, none, close, close}};
    for (const auto &c : cases)
        for (const auto &[update, yes, messages] : {std::tuple{false, false, none}, {true, false, c.update}, {false, true, c.yes}, {true, true, c.both}}) {
            SCOPED_TRACE(testing::Message() << utf8(std::get<0>(c.expected)) << ", update " << update << ", yes " << yes);
            fs::remove_all(gameDir);
            for (const auto &[path, bytes] : c.present) writeWholeFile(gameDir / path, bytes);
            if (c.record) // 1: an older release, 2: the one served
                writeWholeFile(gameDir / "install.manifest", signRelease(c.record == 1 ? releaseOf("1", {{"bin/game.exe", "old"}}) : releaseOf("2.0.0", ReleaseFiles), testKey().secret));
            if (c.step == unfinished) writeWholeFile(gameDir / ".staging/placing", "");
            c.served ? publish() : server.remove("/latest.manifest");
            installer.options.update = update, installer.options.yes = yes, installer.cancel = false;
            runCheck();
            if (c.step != check && c.step != unfinished) {
                ASSERT_EQ(std::get<Phase>(shown()), Phase::readyToApply);
                for (const auto &[path, bytes] : ReleaseFiles) c.step == refused && (server.remove("/files/" + hashOf(bytes)), true);
                installer.cancel = c.step == cancelled, posted(); // the check's start message dropped
                runApply();
            }
            Shown now = shown();
            EXPECT_EQ(posted(), messages);
            if (std::get<Phase>(now) == Phase::failed) std::get<1>(now).resize(std::get<1>(c.expected).size());
            EXPECT_TRUE(c.step < install || (readWholeFile(gameDir / "data/big.pak") == BigFile && !fs::exists(gameDir / ".staging")));
            if (std::get<Phase>(c.expected) == Phase::installed) {
                EXPECT_EQ(readWholeFile(gameDir / "install.manifest"), signRelease(releaseOf("2.0.0", ReleaseFiles), testKey().secret));
            }
            EXPECT_EQ(now, c.expected);
        }
}

// TRY AGAIN checks on a worker, INSTALL downloads, CANCEL answered Yes stops it; TRY AGAIN then checks afresh. The labels
// are published and painted first, as the live window does before a user can hit a button.
TEST_F(WindowTest, WorkersRunFromTheButtons)
{
    publish();
    server.setFault("/files/" + hashOf(BigFile), {.bytesPerSecond = 700000}); // about 3 s for the big file
    for (const char *after : {"after a failure", "after a cancel"}) {
        SCOPED_TRACE(after);
        setPhase(Phase::failed), setButtons(L"TRY AGAIN", L"CLOSE"), UpdateWindow(hwnd), send(WM_LBUTTONUP, 0, PrimaryCentre);
        ASSERT_TRUE(worker.joinable() && (worker.join(), std::get<0>(shown()) == L"Install Quillmarrow Dunmir 2.0.0?"));
        UpdateWindow(hwnd), send(WM_KEYDOWN, VK_RETURN);
        EXPECT_TRUE(shown() == Shown(L"Downloading Quillmarrow Dunmir 2.0.0...", L"", L"", L"CANCEL", 0.0, Phase::applying) && !installer.cancel);
        UpdateWindow(hwnd), send(WM_LBUTTONUP, 0, SecondaryCentre), worker.join();
        EXPECT_TRUE(installer.cancel && IsWindow(hwnd) && std::get<0>(shown()) + std::get<2>(shown()) == L"Cancelled.TRY AGAIN");
    }
}

// At 96 dots per inch the banner is 330 x 92 at (115, 22), the separator at row 128, the title box rows 146 to 191, the
// detail 192 to 227, the bar 232 to 241 from x 48 to 511 filled to 48 + trunc(464 * 0.38) = 224, the footer 256 to
// 289, the buttons {386, 316, 536, 356} and {224, ...}; at 144 every length is half as long again.
TEST_F(WindowTest, SnapshotFollowsTheScreenScale)
{
    const std::wstring footer = L"Installs to " + (dir / "sub" / "game").wstring(); // settled, with '\' separators
    for (DWORD dpi : {96, 144, 96}) {
        SCOPED_TRACE(testing::Message() << dpi << " dots per inch");
        RegSetKeyValueW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"LogPixels", REG_DWORD, &dpi, sizeof dpi);
        ASSERT_EQ(runToEnd(L"--snap " + quoted(dir / "window.png") + L" --dir sub/x/../game"), 0u);
        Gdiplus::Bitmap png((dir / "window.png").c_str());
        const int s2 = static_cast<int>(dpi) / 48, width = 280 * s2, height = 190 * s2; // s2: twice the scale
        ASSERT_EQ(std::tuple(png.GetLastStatus(), png.GetWidth(), png.GetHeight()), std::tuple(Gdiplus::Ok, UINT(width), UINT(height)));
        const auto pixel = [&](int x, int y) { Gdiplus::Color c; return png.GetPixel(x, y, &c), RGB(c.GetR(), c.GetG(), c.GetB()); };
        const auto at = [&](int x, int y) { return pixel(x * s2 / 2, y * s2 / 2); }; // at 96 dots per inch
        for (const auto &[x, y, colour] : {std::tuple{5, 5, Background}, {300, 128, Separator}, {300, 125, Background}, {50, 235, Fill},
                                           {220, 235, Fill}, {230, 235, Track}, {508, 235, Track}, {515, 235, Background},
                                           {392, 336, PrimaryFace}, {230, 336, Track}, {380, 336, Background}})
            EXPECT_EQ(at(x, y), colour) << "at " << x << "," << y;
        int banner = 0, beside = 0; // the banner is a picture, not a flat field, with nothing beside it
        for (int i = 0; i < 560 * 92; ++i) (i % 560 >= 115 && i % 560 < 445 ? banner : beside) += at(i % 560, 22 + i / 560) != Background;
        EXPECT_TRUE(banner > 330 * 92 / 20 && beside == 0) << banner << " " << beside;
        // The sample title and detail and the footer, drawn here in the design's fonts and colours: pixel for pixel.
        HDC screenDc = GetDC(nullptr), dc = CreateCompatibleDC(screenDc);
        HGDIOBJ oldBitmap = SelectObject(dc, CreateCompatibleBitmap(screenDc, width, height));
        SelectObject(dc, GetStockObject(DC_BRUSH)), SetDCBrushColor(dc, Background), PatBlt(dc, 0, 0, width, height, PATCOPY);
        SetBkMode(dc, TRANSPARENT);
        for (const auto &[text, size, weight, colour, top, bottom] :
             {std::tuple<std::wstring, int, int, COLORREF, int, int>{L"Install Quillmarrow Dunmir v1.0.21b?", 15, 600, Title, 146, 192},
              {L"812 MB to download.", 11, 400, Detail, 192, 228}, {footer, 10, 400, Footer, 256, 290}}) {
            RECT box{16 * s2, top * s2 / 2, width - 16 * s2, bottom * s2 / 2};
            HGDIOBJ oldFont = SelectObject(dc, CreateFontW(-(size * s2 + 1) / 2, 0, 0, 0, weight, 0, 0, 0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                                           CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI"));
            SetTextColor(dc, colour), DrawTextW(dc, text.c_str(), -1, &box, DT_CENTER | DT_WORDBREAK | DT_NOPREFIX);
            DeleteObject(SelectObject(dc, oldFont));
            int differ = 0, inColour = 0;
            for (int y = box.top; y < box.bottom; ++y)
                for (int x = 0; x < width; ++x) differ += pixel(x, y) != GetPixel(dc, x, y), inColour += GetPixel(dc, x, y) == colour;
            EXPECT_TRUE(differ == 0 && inColour > 10) << differ << " pixels unlike the design from row " << top << ", " << inColour << " in its colour";
        }
        DeleteObject(SelectObject(dc, oldBitmap)), DeleteDC(dc), ReleaseDC(nullptr, screenDc);
    }
    EXPECT_EQ(runToEnd(L"--snap " + quoted(dir / "no such folder" / "window.png")), 1u);
}
