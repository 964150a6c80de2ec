// The setup program's life cycle as a user meets it, each run its own process:
// uninstall from the copy in the install folder with its message boxes answered,
// one run per folder, stalled servers with the window closed, registration.
#include "test_server.h"

#include <windows.h>
#include <shobjidl.h>

#include "e2e_support.h"

namespace fs = std::filesystem;

namespace {

const fs::path SetupExe = QD_SETUP_EXE, FakeGame = QD_FAKE_GAME;
// The release does not list the setup program: registration must place it.
const Files GameFiles = {{"game/Dunmir.exe", "MZ game"}, {"data/maps/first.map", "map"}};
const wchar_t BoxCaption[] = L"Quillmarrow Dunmir";

bool within(int seconds, const std::function<bool()> &done)
{
    for (int i = 0; i < seconds * 10; ++i, Sleep(100))
        if (done()) return true;
    return done();
}

HWND waitForWindow(const wchar_t *className, const wchar_t *title)
{
    HWND found = nullptr;
    within(30, [&] { return (found = FindWindowW(className, title)) != nullptr; });
    return found;
}

// The next message box's text and its buttons (O, Y, N, C for OK, Yes, No,
// Cancel), answered with button after hold milliseconds; empty when none shows.
std::wstring answerBox(int button, DWORD hold = 0)
{
    const HWND box = waitForWindow(L"#32770", BoxCaption);
    if (!box) return L"";
    wchar_t text[512] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 512);
    std::wstring seen = text + std::wstring(L"|");
    for (const auto &[id, letter] : {std::pair{IDOK, L'O'}, {IDYES, L'Y'}, {IDNO, L'N'}, {IDCANCEL, L'C'}})
        if (GetDlgItem(box, id)) seen += letter;
    Sleep(hold);
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
    within(10, [&] { return !IsWindow(box); });
    return seen;
}

std::wstring entryText(const wchar_t *name)
{
    wchar_t text[1024] = {};
    DWORD size = sizeof text;
    RegGetValueW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QuillmarrowDunmir", name,
                 RRF_RT_REG_SZ, nullptr, text, &size);
    return text;
}

// A shortcut's target and working folder, "target|folder", read through the shell.
std::wstring linkOf(const fs::path &file)
{
    IShellLinkW *link = nullptr;
    IPersistFile *persist = nullptr;
    wchar_t target[MAX_PATH] = {}, folder[MAX_PATH] = {};
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, reinterpret_cast<void **>(&link)))) {
        if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&persist))) && SUCCEEDED(persist->Load(file.c_str(), STGM_READ))) {
            link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH);
            link->GetWorkingDirectory(folder, MAX_PATH);
        }
        if (persist) persist->Release();
        link->Release();
    }
    return target + std::wstring(L"|") + folder;
}

class Lifecycle : public ::testing::Test {
protected:
    TestServer server;
    ScratchFolder root;
    const fs::path dir = root / "QD";

    void SetUp() override
    {
        deleteUninstallKey();
        publish("1.0", GameFiles);
    }
    void publish(const std::string &version, const Files &files) { ::publish(server, "/", releaseOf(version, files), files); }
    std::wstring at(const fs::path &folder) const { return L" --dir " + quoted(folder) + L" --source " + server.url("/"); }
};

TEST_F(Lifecycle, UninstallFromTheCopyRemovesTheFolderAfterItsLastMessage)
{
    const fs::path odd = root / L"QD %OS% & ^ !", copy = odd / "QuillmarrowDunmirSetup.exe";
    Files next = GameFiles;
    next.insert(next.end(), {{"data/new.pak", "new"}, {"data/lost.pak", "lost"}});
    // A failed first install leaves no record but its staging folder; both go.
    publish("1.1", next);
    server.remove("/files/" + hashOf("lost"));
    ASSERT_EQ(runSetup(SetupExe, L"--quiet" + at(odd), root.path()), 1u);
    ASSERT_TRUE(fs::exists(odd / ".staging"));
    EXPECT_EQ(runSetup(SetupExe, L"--quiet --uninstall" + at(odd), root.path()), 1u);
    EXPECT_FALSE(fs::exists(odd));

    publish("1.0", GameFiles);
    ASSERT_EQ(runSetup(SetupExe, L"--quiet" + at(odd), root.path()), 0u);
    ASSERT_TRUE(fs::exists(copy));
    publish("1.1", next); // a failed update
    server.remove("/files/" + hashOf("lost"));
    ASSERT_EQ(runSetup(SetupExe, L"--quiet" + at(odd), root.path()), 1u);
    ASSERT_TRUE(fs::exists(odd / ".staging"));
    for (const int answer : {IDNO, IDYES}) {
        SetupProcess uninstall(copy, L"--uninstall", odd); // started in its own folder
        EXPECT_EQ(answerBox(answer), L"Remove Quillmarrow Dunmir from this computer?\n\nYour characters and settings are kept.|YN");
        if (answer == IDNO) {
            EXPECT_EQ(uninstall.wait(30000), 1u);
            EXPECT_TRUE(fs::exists(odd / "game/Dunmir.exe") && fs::exists(copy) && uninstallKeyExists());
            continue;
        }
        EXPECT_EQ(answerBox(IDOK, 5000), L"Quillmarrow Dunmir was removed.|O");
        EXPECT_EQ(uninstall.wait(30000), 0u);
    }
    EXPECT_TRUE(within(70, [&] { return fs::is_empty(root.path()); })) << "left beside: " << fs::directory_iterator(root.path())->path();
    EXPECT_FALSE(uninstallKeyExists());
}

TEST_F(Lifecycle, SelfRemovalKeepsPlayersFilesAndRunsNoPlantedProgram)
{
    // "--dir" ending in '\' (doubled before the closing quote).
    const std::wstring trailing = L" --dir \"" + dir.wstring() + L"\\\\\" --source " + server.url("/");
    ASSERT_EQ(runSetup(SetupExe, L"--quiet" + trailing, root.path()), 0u);
    EXPECT_EQ(entryText(L"InstallLocation"), dir.wstring());
    for (const char *name : {"cmd.exe", "ping.exe"}) fs::copy_file(FakeGame, dir / name);
    writeWholeFile(dir / "saves" / "slot1.sav", "mine");
    const fs::path copy = dir / "QuillmarrowDunmirSetup.exe";
    ASSERT_EQ(runSetup(copy, L"--quiet --uninstall" + trailing, dir), 0u);
    EXPECT_TRUE(within(70, [&] { return !fs::exists(copy); }));
    Sleep(3000); // anything that would still run is done by now
    EXPECT_EQ(readWholeFile(dir / "saves" / "slot1.sav"), "mine");
    EXPECT_FALSE(fs::exists(dir / "launch.txt")) << "a planted program ran";
    EXPECT_FALSE(fs::exists(dir / "game"));
}

TEST_F(Lifecycle, OneRunPerFolderAndAStalledCheckEndsWithItsWindow)
{
    server.setFault("/latest.manifest", Fault{.silent = true});
    SetupProcess first(SetupExe, L"--no-register" + at(dir), root.path());
    const HWND window = waitForWindow(L"QuillmarrowDunmirSetup", L"Quillmarrow Dunmir Setup");
    ASSERT_TRUE(window);
    std::wstring upper = dir.wstring(); // the same folder in other letters
    CharUpperBuffW(upper.data(), DWORD(upper.size()));
    const fs::path log = root / "second.log";
    EXPECT_EQ(runSetup(SetupExe, L"--quiet --log " + quoted(log) + at(upper), root.path()), 1u);
    EXPECT_EQ(logLines(log), std::vector<std::string>{"Quillmarrow Dunmir Setup is already running."});
    SetupProcess second(SetupExe, at(dir), root.path());
    EXPECT_EQ(answerBox(IDOK), L"Quillmarrow Dunmir Setup is already running.|O");
    EXPECT_EQ(second.wait(10000), 1u);
    PostMessageW(window, WM_CLOSE, 0, 0);
    // Wine under a bare X server takes up to 2 s to withdraw a window.
    EXPECT_TRUE(within(10, [&] { return !IsWindow(window); }));
    EXPECT_EQ(first.wait(2000), 0u);
}

TEST_F(Lifecycle, StoppingAStalledDownloadEndsTheRun)
{
    server.setFault("/files/" + hashOf("map"), Fault{.silent = true});
    SetupProcess run(SetupExe, L"--yes --no-register" + at(dir), root.path());
    const HWND window = waitForWindow(L"QuillmarrowDunmirSetup", L"Quillmarrow Dunmir Setup");
    ASSERT_TRUE(window);
    ASSERT_TRUE(within(30, [&] { return server.requestCount("/files/" + hashOf("map")) > 0; }));
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(answerBox(IDYES), L"Stop the download? What has finished is kept for next time.|YN");
    EXPECT_TRUE(within(10, [&] { return !IsWindow(window); })); // "--yes" closes the window of a failed run
    EXPECT_EQ(run.wait(2000), 0u);
}

TEST_F(Lifecycle, QuietRunAgainstADrippingServerFailsWithinMinutes)
{
    server.setFault("/latest.manifest", Fault{.bytesPerSecond = 1});
    const fs::path log = root / "drip.log";
    SetupProcess run(SetupExe, L"--quiet --no-register --log " + quoted(log) + at(dir), root.path());
    EXPECT_EQ(run.wait(300000), 1u);
    const std::vector<std::string> lines = logLines(log);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "failed: Could not reach the Quillmarrow Dunmir server: the connection stalled");
}

TEST_F(Lifecycle, WindowRunsRegisterAndRefreshWhatTheyName)
{
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const fs::path startMenu = shellFolder(FOLDERID_Programs) / BoxCaption, desktop = shellFolder(FOLDERID_Desktop) / L"Quillmarrow Dunmir.lnk";
    const std::wstring game = dir.wstring() + L"\\game\\Dunmir.exe", setup = dir.wstring() + L"\\QuillmarrowDunmirSetup.exe";
    for (const bool first : {true, false}) { // an install, then a run that finds it up to date
        SCOPED_TRACE(first);
        ASSERT_EQ(runSetup(SetupExe, L"--yes" + at(dir), root.path()), 0u);
        EXPECT_EQ(linkOf(startMenu / L"Quillmarrow Dunmir.lnk"), game + L"|" + dir.wstring() + L"\\game");
        EXPECT_EQ(linkOf(startMenu / L"Update Quillmarrow Dunmir.lnk"), setup + L"|" + dir.wstring());
        EXPECT_EQ(fs::exists(desktop), first);
        EXPECT_TRUE(fs::exists(setup));
        EXPECT_EQ(entryText(L"DisplayIcon"), game);
        EXPECT_EQ(entryText(L"UninstallString"), L"\"" + setup + L"\" --uninstall");
        std::error_code ignored;
        fs::remove_all(startMenu, ignored);
        fs::remove(desktop, ignored);
        deleteUninstallKey();
    }
    CoUninitialize();
}

} // namespace
