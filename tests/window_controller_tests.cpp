// The window procedure and the controller on a real window of this process
// (made with the program's own windowProc), with the real engine against a
// release served on the loopback. Only the message boxes are answered by the
// test, through the program's showMessageBox hook.
#include <winsock2.h>
#include <windows.h>
#include <windowsx.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "app/controller.h"
#include "app/painting.h"
#include "app/window_proc.h"
#include "engine/installer.h"
#include "test_files.h"
#include "window_support.h"

namespace fs = std::filesystem;
using namespace window_test;

namespace {

const auto *ownDesktop = ::testing::AddGlobalTestEnvironment(new OwnDesktop);

struct Box {
    HWND owner;
    std::wstring text;
    std::wstring caption;
    UINT style;
};

std::vector<Box> boxes;
int boxAnswer = IDNO;

int WINAPI answerBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style)
{
    boxes.push_back(Box{owner, text, caption, style});
    return boxAnswer;
}

struct Shown {
    std::wstring title, detail, primary, secondary;
    double fraction;
    Phase phase;
};

Shown shown()
{
    std::lock_guard lock(installer.mutex);
    return Shown{installer.statusTitle, installer.statusDetail, installer.primaryLabel,
                 installer.secondaryLabel, installer.fraction, installer.phase};
}

void setPhase(Phase phase)
{
    std::lock_guard lock(installer.mutex);
    installer.phase = phase;
}

LPARAM at(int x, int y)
{
    return MAKELPARAM(x, y);
}

// Button centres at 96 dots per inch in a 560 x 380 client area.
const LPARAM PrimaryCentre = at(461, 336);
const LPARAM SecondaryCentre = at(299, 336);

const std::string Version = "2.0.0";
const std::string GameBytes = "not really a program";
const std::string BigFile(2000000, 'b');
const std::string SmallFile(1000000, 's');

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static bool registered = false;
        if (!registered) {
            WNDCLASSEXW windowClass{};
            windowClass.cbSize = sizeof windowClass;
            windowClass.lpfnWndProc = windowProc;
            windowClass.hInstance = GetModuleHandleW(nullptr);
            windowClass.lpszClassName = L"QdWindowTest";
            ASSERT_NE(RegisterClassExW(&windowClass), 0);
            registered = true;
        }
        dpiScale = 1.0f;
        primaryButton = Button{};
        secondaryButton = Button{};
        // A popup, so that the client area is the whole window, and so that
        // Wine does not wait for a window manager (there is none) to map and
        // unmap it.
        hwnd = CreateWindowExW(0, L"QdWindowTest", L"window test", WS_POPUP, 0, 0, 560, 380, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(hwnd, nullptr) << "no window: is there an X display?";
        ShowWindow(hwnd, SW_SHOWNOACTIVATE);
        window = hwnd;
        showMessageBox = answerBox;
        boxes.clear();
        boxAnswer = IDNO;
        installer.cancel = false;
        installer.options = Options{};
        installer.options.installDir = dir.path() / "game";
        installer.options.noRegister = true;
        installer.options.baseUrl = baseUrl(server);
        {
            std::lock_guard lock(installer.mutex);
            installer.statusTitle.clear();
            installer.statusDetail.clear();
            installer.fraction = -1.0;
            installer.phase = Phase::checking;
        }
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

    // Removes every queued message, posted quit messages included, without
    // acting on any: a test looks at what was posted, then drops it. A
    // pending paint is validated instead, or it would come back for ever.
    std::vector<UINT> drain()
    {
        std::vector<UINT> seen;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_PAINT) ValidateRect(message.hwnd, nullptr);
            seen.push_back(message.message);
        }
        return seen;
    }

    // The private messages posted to the window, in order.
    std::vector<UINT> posted()
    {
        std::vector<UINT> seen;
        MSG message;
        while (PeekMessageW(&message, hwnd, WM_APP_START_APPLY, WM_APP_CLOSE, PM_REMOVE))
            seen.push_back(message.message);
        return seen;
    }

    // Publishes the labels and paints them, as the live window does before
    // a user can hit a button.
    void showButtons(const std::wstring &primary, const std::wstring &secondary)
    {
        setButtons(primary, secondary);
        UpdateWindow(hwnd);
    }

    void settle() { ValidateRect(hwnd, nullptr); }
    bool repaintAsked() { return GetUpdateRect(hwnd, nullptr, FALSE) != 0; }
    bool hand() { return GetCursor() == LoadCursorW(nullptr, IDC_HAND); }

    void publish() { publishRelease(server, Version, "bin/game.exe", releaseFiles()); }

    static std::map<std::string, std::string> releaseFiles()
    {
        return {{"bin/game.exe", GameBytes}, {"data/big.pak", BigFile}, {"data/small.pak", SmallFile}};
    }

    // Places files in the install folder and, when asked, an installed record.
    void placeInstalled(const std::map<std::string, std::string> &files, bool record)
    {
        for (const auto &[path, bytes] : files) writeBytes(installer.options.installDir / path, bytes);
        if (record) {
            TestServer old;
            writeBytes(installer.options.installDir / "install.manifest",
                       publishRelease(old, "1.0.0", "bin/game.exe", {{"bin/game.exe", "old"}}));
        }
    }

    void openLog() { installer.logFile = _wfopen((dir.path() / "log.txt").c_str(), L"w"); }

    std::string logText()
    {
        fflush(installer.logFile);
        return readBytes(dir.path() / "log.txt");
    }

    TestServer server;
    ScratchFolder dir;
    HWND hwnd = nullptr;
};

} // namespace

TEST_F(WindowTest, HoverCursorAndLeaving)
{
    showButtons(L"PLAY", L"CLOSE");
    struct Step {
        LPARAM point;
        bool primaryHot, secondaryHot, repaint, hand;
    } steps[] = {
        {at(10, 10), false, false, false, false},
        {PrimaryCentre, true, false, true, true},
        {at(470, 340), true, false, false, true},   // moving inside: no repaint
        {SecondaryCentre, false, true, true, true}, // from one button to the other at once
        {at(380, 336), false, false, true, false},  // the gap between them
        {at(386, 316), true, false, true, true},    // the top left corner belongs to the button
        {at(536, 356), false, false, true, false},  // the bottom right does not
        {at(-5, -5), false, false, false, false},   // left of and above the client area
        {PrimaryCentre, true, false, true, true},
    };
    for (const Step &step : steps) {
        settle();
        EXPECT_EQ(SendMessageW(hwnd, WM_MOUSEMOVE, 0, step.point), 0);
        SCOPED_TRACE(testing::Message() << "at " << GET_X_LPARAM(step.point) << "," << GET_Y_LPARAM(step.point));
        EXPECT_EQ(primaryButton.hot, step.primaryHot);
        EXPECT_EQ(secondaryButton.hot, step.secondaryHot);
        EXPECT_EQ(repaintAsked(), step.repaint);
        EXPECT_EQ(hand(), step.hand);
    }

    // Inside the client area the cursor of the last move stays.
    EXPECT_EQ(SendMessageW(hwnd, WM_SETCURSOR, reinterpret_cast<WPARAM>(hwnd), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)),
              1);
    EXPECT_TRUE(hand());
    // Leaving clears the hover and repaints, also when nothing was hovered.
    for (int leave = 0; leave < 2; ++leave) {
        settle();
        EXPECT_EQ(SendMessageW(hwnd, WM_MOUSELEAVE, 0, 0), 0);
        EXPECT_FALSE(primaryButton.hot);
        EXPECT_TRUE(repaintAsked());
    }
}

// An absent button is neither hovered nor hit, and a label given after the
// last paint cannot be hit before the next paint.
TEST_F(WindowTest, HitTestsUseTheLabelsOfTheLastPaint)
{
    setPhase(Phase::upToDate);
    showButtons(L"", L"CLOSE");
    settle();
    SendMessageW(hwnd, WM_MOUSEMOVE, 0, PrimaryCentre);
    EXPECT_FALSE(primaryButton.hot);
    EXPECT_FALSE(hand());
    EXPECT_FALSE(repaintAsked());
    setButtons(L"PLAY", L"CLOSE");
    SendMessageW(hwnd, WM_LBUTTONUP, 0, PrimaryCentre);
    SendMessageW(hwnd, WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_TRUE(boxes.empty()); // PLAY would have tried the game and warned

    UpdateWindow(hwnd);
    SendMessageW(hwnd, WM_LBUTTONUP, 0, PrimaryCentre);
    EXPECT_EQ(boxes.size(), 1u);
}

TEST_F(WindowTest, PlayThatCannotStartWarnsAndKeepsTheWindow)
{
    for (Phase phase : {Phase::upToDate, Phase::installed}) {
        setPhase(phase);
        showButtons(L"PLAY", L"CLOSE");
        boxes.clear();
        // By click and by Enter.
        SendMessageW(hwnd, WM_LBUTTONUP, 0, PrimaryCentre);
        SendMessageW(hwnd, WM_KEYDOWN, VK_RETURN, 0);
        ASSERT_EQ(boxes.size(), 2u);
        for (const Box &box : boxes) {
            EXPECT_EQ(box.owner, hwnd);
            EXPECT_EQ(box.text, L"The game could not be started.");
            EXPECT_EQ(box.caption, L"Quillmarrow Dunmir");
            EXPECT_EQ(box.style, static_cast<UINT>(MB_ICONWARNING));
        }
        EXPECT_TRUE(IsWindow(hwnd));
        EXPECT_EQ(shown().phase, phase);
    }
}

TEST_F(WindowTest, PrimaryDoesNothingWhileCheckingOrApplying)
{
    for (Phase phase : {Phase::checking, Phase::applying}) {
        setPhase(phase);
        // Even with a label: the phase decides, not the label.
        showButtons(L"PLAY", L"CLOSE");
        SendMessageW(hwnd, WM_LBUTTONUP, 0, PrimaryCentre);
        pressPrimary();
        EXPECT_EQ(shown().phase, phase);
        EXPECT_FALSE(worker.joinable());
        EXPECT_TRUE(boxes.empty());
    }
    // Enter with the primary button absent does nothing in any phase.
    setPhase(Phase::readyToApply);
    showButtons(L"", L"CLOSE");
    SendMessageW(hwnd, WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_EQ(shown().phase, Phase::readyToApply);
    EXPECT_FALSE(worker.joinable());
}

TEST_F(WindowTest, CloseRequestsInEveryPhase)
{
    struct Case {
        Phase phase;
        int answer;
        bool asks, destroyed, cancel;
    } cases[] = {
        {Phase::checking, IDNO, false, true, true},       {Phase::readyToApply, IDNO, false, true, false},
        {Phase::upToDate, IDNO, false, true, false},      {Phase::installed, IDNO, false, true, false},
        {Phase::failed, IDNO, false, true, false},        {Phase::applying, IDNO, true, false, false},
        {Phase::applying, IDCANCEL, true, false, false},  {Phase::applying, IDYES, true, false, true},
    };
    // Esc, the secondary button and the close box all make the same request.
    const UINT routes[] = {WM_KEYDOWN, WM_LBUTTONUP, WM_CLOSE};
    for (const Case &c : cases) {
        for (UINT route : routes) {
            TearDown();
            SetUp();
            setPhase(c.phase);
            showButtons(L"", L"CLOSE");
            boxAnswer = c.answer;
            if (route == WM_KEYDOWN) SendMessageW(hwnd, WM_KEYDOWN, VK_ESCAPE, 0);
            if (route == WM_LBUTTONUP) SendMessageW(hwnd, WM_LBUTTONUP, 0, SecondaryCentre);
            if (route == WM_CLOSE) SendMessageW(hwnd, WM_CLOSE, 0, 0);
            SCOPED_TRACE(testing::Message() << "phase " << static_cast<int>(c.phase) << ", answer "
                                            << c.answer << ", message " << route);
            ASSERT_EQ(boxes.size(), c.asks ? 1u : 0u);
            if (c.asks) {
                EXPECT_EQ(boxes[0].owner, hwnd);
                EXPECT_EQ(boxes[0].text, L"Stop the download? What has finished is kept for next time.");
                EXPECT_EQ(boxes[0].caption, L"Quillmarrow Dunmir");
                EXPECT_EQ(boxes[0].style, static_cast<UINT>(MB_YESNO | MB_ICONQUESTION));
            }
            EXPECT_EQ(!IsWindow(hwnd), c.destroyed);
            // Destroying the window sets the flag as well; the applying
            // cases show what the request itself does.
            if (!c.destroyed) {
                EXPECT_EQ(installer.cancel.load(), c.cancel);
            }
            if (c.phase == Phase::checking) {
                EXPECT_TRUE(installer.cancel.load());
            }
        }
    }
}

TEST_F(WindowTest, MessagesOfTheWindowsLife)
{
    EXPECT_EQ(SendMessageW(hwnd, WM_ERASEBKGND, 0, 0), 1);
    EXPECT_EQ(SendMessageW(hwnd, WM_KEYDOWN, 'A', 0), 0);

    // WM_SIZE lays the buttons out for the new client size: at 840 x 570 and
    // scale 1 the primary is {666, 506, 816, 546}.
    settle();
    SendMessageW(hwnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(840, 570));
    EXPECT_EQ(primaryButton.rect.left, 666);
    EXPECT_EQ(primaryButton.rect.top, 506);
    EXPECT_EQ(secondaryButton.rect.left, 504);
    EXPECT_EQ(secondaryButton.rect.right, 654);
    EXPECT_TRUE(repaintAsked());

    // A game that cannot start keeps the window on WM_APP_PLAY.
    setPhase(Phase::installed);
    SendMessageW(hwnd, WM_APP_PLAY, 0, 0);
    EXPECT_TRUE(IsWindow(hwnd));
    EXPECT_TRUE(boxes.empty());

    drain();
    SendMessageW(hwnd, WM_APP_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_TRUE(installer.cancel.load());
    std::vector<UINT> queued = drain();
    EXPECT_NE(std::find(queued.begin(), queued.end(), static_cast<UINT>(WM_QUIT)), queued.end());
}

TEST_F(WindowTest, PaintDrawsTheWholeClientThroughTheBuffer)
{
    {
        std::lock_guard lock(installer.mutex);
        installer.fraction = 1.0;
    }
    showButtons(L"INSTALL", L"CLOSE");
    InvalidateRect(hwnd, nullptr, FALSE);
    UpdateWindow(hwnd);
    EXPECT_FALSE(repaintAsked());
    HDC dc = GetDC(hwnd);
    EXPECT_EQ(fromColorref(GetPixel(dc, 5, 5)), Background);
    EXPECT_EQ(fromColorref(GetPixel(dc, 300, 22)), Separator);
    EXPECT_EQ(fromColorref(GetPixel(dc, 300, 130)), Fill);
    EXPECT_EQ(fromColorref(GetPixel(dc, 392, 336)), PrimaryFace);
    ReleaseDC(hwnd, dc);
    EXPECT_EQ(primaryButton.label, L"INSTALL");
}

TEST_F(WindowTest, CheckOutcomesSetPhaseTextsButtonsAndMessages)
{
    struct Flags {
        bool update, yes;
        std::vector<UINT> messages;
    };
    struct Case {
        const char *name;
        std::map<std::string, std::string> present;
        bool record, served;
        Phase phase;
        std::wstring title, detailStart, primary;
        std::vector<Flags> flags;
    } cases[] = {
        {"first install", {}, false, true, Phase::readyToApply, L"Install Quillmarrow Dunmir 2.0.0?",
         L"3 MB to download.", L"INSTALL",
         {{false, false, {}}, {true, false, {WM_APP_START_APPLY}}, {false, true, {WM_APP_START_APPLY}},
          {true, true, {WM_APP_START_APPLY}}}},
        {"update of one file", {{"bin/game.exe", GameBytes}, {"data/small.pak", SmallFile}}, true, true,
         Phase::readyToApply, L"Quillmarrow Dunmir 2.0.0 is out.", L"2 MB to download (1 files).", L"UPDATE",
         {{false, false, {}}, {true, false, {WM_APP_START_APPLY}}}},
        {"up to date", releaseFiles(), true, true, Phase::upToDate,
         L"Quillmarrow Dunmir 2.0.0 is installed and up to date.", L"", L"PLAY",
         {{false, false, {}},
          {true, false, {WM_APP_PLAY}},
          {false, true, {WM_APP_CLOSE}},
          {true, true, {WM_APP_PLAY, WM_APP_CLOSE}}}},
        {"server without a release", {}, false, false, Phase::failed, L"Could not check for the newest version.",
         L"Could not reach the Quillmarrow Dunmir server: ", L"TRY AGAIN",
         {{false, false, {}}, {true, false, {}}, {false, true, {WM_APP_CLOSE}}}},
    };
    for (const Case &c : cases) {
        for (const Flags &flags : c.flags) {
            SCOPED_TRACE(testing::Message() << c.name << ", update " << flags.update << ", yes " << flags.yes);
            fs::remove_all(installer.options.installDir);
            placeInstalled(c.present, c.record);
            server.remove("/latest.manifest");
            if (c.served) publish();
            installer.options.update = flags.update;
            installer.options.yes = flags.yes;

            runCheck();

            Shown now = shown();
            EXPECT_EQ(now.phase, c.phase);
            EXPECT_EQ(now.title, c.title);
            EXPECT_EQ(now.detail.substr(0, c.detailStart.size()), c.detailStart);
            if (c.phase != Phase::failed) {
                EXPECT_EQ(now.detail, c.detailStart);
            }
            EXPECT_EQ(now.fraction, -1.0);
            EXPECT_EQ(now.primary, c.primary);
            EXPECT_EQ(now.secondary, L"CLOSE");
            EXPECT_EQ(posted(), flags.messages);
        }
    }
}

TEST_F(WindowTest, ApplyOutcomesSetPhaseTextsButtonsMessagesAndLog)
{
    struct Case {
        const char *name;
        bool filesServed, cancelled, update, yes;
        Phase phase;
        std::wstring title, primary;
        std::vector<UINT> messages;
    } cases[] = {
        {"installed", true, false, true, true, Phase::installed, L"Quillmarrow Dunmir 2.0.0 is installed.", L"PLAY",
         {WM_APP_PLAY, WM_APP_CLOSE}},
        {"installed, attended", true, false, false, false, Phase::installed,
         L"Quillmarrow Dunmir 2.0.0 is installed.", L"PLAY", {}},
        {"download refused", false, false, false, true, Phase::failed, L"The install did not finish.",
         L"TRY AGAIN", {WM_APP_CLOSE}},
        {"cancelled", true, true, true, false, Phase::failed, L"Cancelled.", L"TRY AGAIN", {}},
    };
    openLog();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(installer.options.installDir);
        publish();
        installer.options.update = false;
        installer.options.yes = false;
        runCheck();
        ASSERT_EQ(shown().phase, Phase::readyToApply);
        if (!c.filesServed)
            for (const auto &[path, bytes] : releaseFiles()) server.remove("/files/" + blake2b256Hex(bytes));
        installer.options.update = c.update;
        installer.options.yes = c.yes;
        installer.cancel = c.cancelled;

        runApply();

        Shown now = shown();
        EXPECT_EQ(now.phase, c.phase);
        EXPECT_EQ(now.title, c.title);
        EXPECT_EQ(now.primary, c.primary);
        EXPECT_EQ(now.secondary, L"CLOSE");
        EXPECT_EQ(posted(), c.messages);
        if (c.phase == Phase::installed) {
            EXPECT_EQ(now.detail, L"It is in your Start menu. Run this again any time to update.");
            EXPECT_EQ(now.fraction, 1.0);
            EXPECT_EQ(readBytes(installer.options.installDir / "data" / "big.pak"), BigFile);
        } else {
            EXPECT_FALSE(now.detail.empty());
            EXPECT_EQ(now.fraction, -1.0);
            // The failure's status line, then "failed: " with the same message.
            std::string log = logText();
            std::string message(now.detail.begin(), now.detail.end());
            std::string status = std::string(c.title.begin(), c.title.end()) + " - " + message;
            size_t statusAt = log.rfind(status);
            ASSERT_NE(statusAt, std::string::npos) << log;
            EXPECT_NE(log.find("failed: " + message, statusAt), std::string::npos) << log;
        }
    }
}

// TRY AGAIN runs a fresh check on a worker; INSTALL starts the download with
// an empty bar; CANCEL asks, and only Yes stops it, with the window open.
TEST_F(WindowTest, WorkersRunFromTheButtons)
{
    publish();
    Fault slow;
    slow.bytesPerSecond = 700000; // about 3 s for the big file
    server.setFault("/files/" + blake2b256Hex(BigFile), slow);

    setPhase(Phase::failed);
    showButtons(L"TRY AGAIN", L"CLOSE");
    SendMessageW(hwnd, WM_LBUTTONUP, 0, PrimaryCentre);
    ASSERT_TRUE(worker.joinable());
    worker.join();
    Shown checked = shown();
    EXPECT_EQ(checked.phase, Phase::readyToApply);
    EXPECT_EQ(checked.primary, L"INSTALL");

    UpdateWindow(hwnd);
    SendMessageW(hwnd, WM_KEYDOWN, VK_RETURN, 0);
    Shown applying = shown();
    EXPECT_EQ(applying.phase, Phase::applying);
    EXPECT_EQ(applying.primary, L"");
    EXPECT_EQ(applying.secondary, L"CANCEL");
    EXPECT_EQ(applying.title, L"Downloading Quillmarrow Dunmir 2.0.0...");
    EXPECT_GE(applying.fraction, 0.0);
    EXPECT_FALSE(installer.cancel.load());

    UpdateWindow(hwnd);
    boxAnswer = IDNO;
    SendMessageW(hwnd, WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_FALSE(installer.cancel.load());
    EXPECT_EQ(shown().phase, Phase::applying);
    boxAnswer = IDYES;
    SendMessageW(hwnd, WM_LBUTTONUP, 0, SecondaryCentre);
    EXPECT_TRUE(installer.cancel.load());
    EXPECT_EQ(boxes.size(), 2u);
    // The download stops at its next chunk, long before the slow file is in.
    auto stopping = std::chrono::steady_clock::now();
    worker.join();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(5));
    EXPECT_TRUE(IsWindow(hwnd));
    Shown cancelled = shown();
    EXPECT_EQ(cancelled.phase, Phase::failed);
    EXPECT_EQ(cancelled.title, L"Cancelled.");
    EXPECT_EQ(cancelled.primary, L"TRY AGAIN");
}
