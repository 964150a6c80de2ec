// The setup program's life cycle as a user meets it, each run its own process: uninstall from the copy in the
// install folder with its message boxes answered, one run per folder, stalled servers with the window closed, registration.
#include "test_server.h"

#include <windows.h>
#include <process.h>
#include <shobjidl.h>

#include <algorithm>
#include <set>

#include "e2e_support.h"

namespace fs = std::filesystem;

namespace {

const fs::path SetupExe = QD_SETUP_EXE, FakeGame = QD_FAKE_GAME;
// The release does not list the setup program: registration must place it.
const Files GameFiles = {{"game/Dunmir.exe", "MZ game"}, {"data/maps/first.map", "map"}};
const wchar_t BoxCaption[] = L"Quillmarrow Dunmir";

// The prefix's default desktop may have been started without a display: windows and message boxes go to one of
// our own, on this test's display, where this thread finds them.
const std::wstring OwnDesktop = L"qd-lifecycle-tests-" + std::to_wstring(GetCurrentProcessId());
struct Screen : ::testing::Environment {
    void SetUp() override
    {
        RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\Explorer\\Desktops", OwnDesktop.c_str(), REG_SZ, L"1280x1024", 20);
        HDESK desktop = CreateDesktopW(OwnDesktop.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
        ASSERT_TRUE(desktop && SetThreadDesktop(desktop)) << "error " << GetLastError();
    }
};
const auto *const screen = ::testing::AddGlobalTestEnvironment(new Screen);

bool within(int seconds, const std::function<bool()> &done)
{
    for (int i = 0; i < seconds * 10; ++i, Sleep(100))
        if (done()) return true;
    return done();
}

// The next message box's text and buttons (O, Y, N, C: OK, Yes, No, Cancel), answered with button after hold ms; empty if none.
std::wstring answerBox(int button, DWORD hold = 0)
{
    HWND box = nullptr;
    if (!within(30, [&] { return (box = FindWindowW(L"#32770", BoxCaption)) != nullptr; })) return L"";
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
    RegGetValueW(HKEY_CURRENT_USER, UninstallEntryKey, name, RRF_RT_REG_SZ, nullptr, text, &size);
    return text;
}

// A shortcut's target and working folder, "target|folder", read through the shell.
std::wstring linkOf(const fs::path &file)
{
    IShellLinkW *link = nullptr;
    IPersistFile *persist = nullptr;
    wchar_t target[MAX_PATH] = {}, folder[MAX_PATH] = {};
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, reinterpret_cast<void **>(&link))) &&
        SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&persist))) && SUCCEEDED(persist->Load(file.c_str(), STGM_READ)))
        link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH), link->GetWorkingDirectory(folder, MAX_PATH);
    if (persist) persist->Release();
    if (link) link->Release();
    return target + std::wstring(L"|") + folder;
}

// A further drive letter for a folder, made as Wine keeps its drives: a link in the prefix's dosdevices folder. Gone with it.
class DriveLetter {
public:
    explicit DriveLetter(const fs::path &folder)
    {
        const auto unixName = reinterpret_cast<char *(CDECL *)(const wchar_t *)>(
            reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
        const char *prefix = getenv("WINEPREFIX");
        if (!unixName || !prefix) { ADD_FAILURE() << "not under Wine with WINEPREFIX set"; return; }
        char letter = 'r'; // Wine names its drives in lower case
        while (letter < 'z' && (GetLogicalDrives() & (1u << (letter - 'a')))) ++letter;
        if (letter == 'z') { ADD_FAILURE() << "no free drive letter"; return; }
        root_ = std::string{letter, ':', '\\'};
        link_ = quotedName(std::string(prefix) + "/dosdevices/" + letter + ":");
        _spawnl(_P_WAIT, "Z:\\bin\\ln", "ln", "-s", quotedName(unixName(folder.c_str())).c_str(), link_.c_str(), nullptr);
        if (!settled(true)) ADD_FAILURE() << "no drive " << root_ << " for " << folder;
    }
    ~DriveLetter()
    {
        if (!link_.empty()) _spawnl(_P_WAIT, "Z:\\bin\\rm", "rm", link_.c_str(), nullptr);
        settled(false);
    }
    DriveLetter(DriveLetter &&) = delete;
    const fs::path &root() const { return root_; }

private:
    static std::string quotedName(std::string unixName) { return unixName.insert(0, 1, '"') + '"'; }
    bool settled(bool there) const // Wine does not wait for a Unix program
    {
        for (int i = 0; i < 200; ++i, Sleep(10))
            if ((GetFileAttributesW(root_.c_str()) != INVALID_FILE_ATTRIBUTES) == there) return true;
        return false;
    }
    fs::path root_;
    std::string link_;
};

class Lifecycle : public ::testing::Test {
protected:
    TestServer server;
    ScratchFolder root;
    const fs::path dir = root / "QD", log = root / "run.log";

    void SetUp() override { deleteUninstallKey(), publish("1.0", GameFiles); }
    void publish(const std::string &version, const Files &files) { ::publish(server, "/", releaseOf(version, files), files); }
    std::wstring at(const fs::path &folder) const { return L" --dir " + quoted(folder) + L" --source " + server.url("/"); }
};

TEST_F(Lifecycle, UninstallFromTheCopyRemovesTheFolderAfterItsLastMessage)
{
    const fs::path odd = root / L"QD %OS% & ^ !", copy = odd / "QuillmarrowDunmirSetup.exe";
    const Files next = {GameFiles[0], GameFiles[1], {"data/new.pak", "new"}, {"data/lost.pak", "lost"}};
    const auto failedRun = [&] {
        publish("1.1", next), server.remove("/files/" + hashOf("lost"));
        return runSetup(SetupExe, L"--quiet" + at(odd), root.path()) == 1 && fs::exists(odd / ".staging");
    };
    // A failed first install leaves no record but its staging folder; both go.
    ASSERT_TRUE(failedRun());
    EXPECT_EQ(runSetup(SetupExe, L"--quiet --uninstall" + at(odd), root.path()), 1u);
    EXPECT_FALSE(fs::exists(odd));

    publish("1.0", GameFiles);
    ASSERT_EQ(runSetup(SetupExe, L"--quiet" + at(odd), root.path()), 0u);
    ASSERT_TRUE(fs::exists(copy));
    ASSERT_TRUE(failedRun()); // a failed update
    for (const int answer : {IDNO, IDYES}) {
        SetupProcess uninstall(copy, L"--uninstall", odd, OwnDesktop); // started in its own folder
        EXPECT_EQ(answerBox(answer), L"Remove Quillmarrow Dunmir from this computer?\n\nYour characters and settings are kept.|YN");
        if (answer == IDYES) { EXPECT_EQ(answerBox(IDOK, 5000), L"Quillmarrow Dunmir was removed.|O"); }
        EXPECT_EQ(uninstall.wait(30000), answer == IDYES ? 0u : 1u); // declined: a failure, and all stays
        EXPECT_TRUE(answer == IDYES || (fs::exists(odd / "game/Dunmir.exe") && fs::exists(copy) && uninstallKeyExists()));
    }
    EXPECT_TRUE(within(70, [&] { return fs::is_empty(root.path()); })) << "left beside: " << fs::directory_iterator(root.path())->path();
    EXPECT_FALSE(uninstallKeyExists());

    // Beside a folder whose parent is too long to work in, cmd cannot run: the program waits in the temporary folder.
    const fs::path parent = root / std::string(150, 'p') / std::string(150, 'q'), deep = parent / "QD", temporary = fs::temp_directory_path();
    const auto parked = [&] {
        std::set<fs::path> found;
        for (const fs::directory_entry &item : fs::directory_iterator(temporary))
            if (item.path().filename().wstring().starts_with(L"qd-setup-")) found.insert(item.path());
        return found;
    };
    const std::set<fs::path> before = parked();
    ASSERT_GT(parent.wstring().size(), 300u);
    publish("1.0", GameFiles);
    ASSERT_EQ(runSetup(SetupExe, L"--quiet" + at(deep), root.path()), 0u);
    // Wine starts no program by a name past MAX_PATH, nor lists such a folder: the copy starts through a short link to
    // the parent (its folder still the install folder, by identity), and the parent is listed by its short name. The
    // link's paths reach the shell through the environment: given as arguments, they left this process without its
    // shell folders (SHGetKnownFolderPath failing) under Wine 8.
    const fs::path link = root / "QD-link";
    const auto unixName = reinterpret_cast<char *(CDECL *)(const wchar_t *)>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    ASSERT_TRUE(unixName);
    SetEnvironmentVariableW(L"QD_TARGET", fs::path(unixName(parent.c_str())).c_str());
    SetEnvironmentVariableW(L"QD_LINK", fs::path(unixName(link.c_str())).c_str());
    const auto shell = [](const wchar_t *command) { _wspawnl(_P_WAIT, L"Z:\\bin\\sh", L"sh", L"-c", command, nullptr); };
    shell(L"\"ln -s \\\"$QD_TARGET\\\" \\\"$QD_LINK\\\"\"");
    ASSERT_TRUE(within(10, [&] { return fs::exists(link / "QD" / "QuillmarrowDunmirSetup.exe"); })); // Wine does not wait for a Unix program
    wchar_t shortParent[MAX_PATH] = {};
    ASSERT_LT(GetShortPathNameW(parent.c_str(), shortParent, MAX_PATH), DWORD(MAX_PATH));
    EXPECT_EQ(runSetup(link / "QD" / "QuillmarrowDunmirSetup.exe", L"--quiet --uninstall --dir " + quoted(deep), root.path()), 0u);
    EXPECT_TRUE(fs::is_empty(shortParent));
    EXPECT_TRUE(within(70, [&] { return std::ranges::includes(before, parked()); }));
    // Wine cannot remove the link, and the scratch folder's removal stops at MAX_PATH.
    shell(L"\"rm \\\"$QD_LINK\\\"\"");
    EXPECT_TRUE(within(10, [&] { return GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES; }));
    for (const fs::path &folder : {parent, parent.parent_path()}) RemoveDirectoryW((L"\\\\?\\" + folder.wstring()).c_str());
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

// Closing the window ends a run stalled in its check, or in its download once a box asked: the process is gone
// within 2 s. While the first run holds its folder, another for that folder by any name (other letters, another
// drive letter, its short name) ends at once, adding its line to a shared log without emptying it.
TEST_F(Lifecycle, OneRunPerFolderAndClosingTheWindowEndsAStalledRun)
{
    const fs::path folder = root / "Quillmarrow Dunmir"; // a long name, which has a short one
    fs::create_directories(folder);
    const DriveLetter drive(root.path()); // before the first run, as a drive the player had all along
    wchar_t shortName[MAX_PATH] = {};
    ASSERT_TRUE(GetShortPathNameW(folder.c_str(), shortName, MAX_PATH) && folder != shortName) << utf8(shortName);
    std::wstring upper = folder.wstring();
    CharUpperBuffW(upper.data(), DWORD(upper.size()));
    const std::string refused = "Quillmarrow Dunmir Setup is already running.";
    for (const bool download : {false, true}) {
        SCOPED_TRACE(download ? "download" : "check");
        const std::string stalled = download ? "/files/" + hashOf("map") : "/latest.manifest";
        publish("1.0", GameFiles), server.setFault(stalled, Fault{.silent = true});
        SetupProcess run(SetupExe, (download ? L"--yes --no-register" : L"--no-register --log " + quoted(log)) + at(folder), root.path(), OwnDesktop);
        HWND window = nullptr;
        ASSERT_TRUE(within(30, [&] { return (window = FindWindowW(L"QuillmarrowDunmirSetup", L"Quillmarrow Dunmir Setup")) != nullptr; }));
        ASSERT_TRUE(within(30, [&] { return server.requestCount(stalled) > 0; }));
        std::string expected;
        if (!download) {
            expected = readWholeFile(log);
            EXPECT_EQ(expected, "Looking for the newest version...\r\n");
            for (const fs::path &spelling : {fs::path(upper), drive.root() / folder.filename(), fs::path(shortName)}) {
                EXPECT_EQ(runSetup(SetupExe, L"--quiet --log " + quoted(log) + at(spelling), root.path()), 1u) << spelling;
                EXPECT_EQ(lastLogLine(log), refused);
                EXPECT_EQ(readWholeFile(log), expected += refused + "\r\n") << spelling;
            }
            SetupProcess second(SetupExe, at(folder), root.path(), OwnDesktop);
            EXPECT_EQ(answerBox(IDOK), L"Quillmarrow Dunmir Setup is already running.|O");
            EXPECT_EQ(second.wait(10000), 1u);
            // A picture of the window changes nothing in the folder: it is drawn whatever runs there.
            EXPECT_EQ(SetupProcess(SetupExe, L"--snap " + quoted(root / "snap.png") + at(folder), root.path(), OwnDesktop).wait(20000), 0u);
            EXPECT_TRUE(fs::exists(root / "snap.png"));
        }
        PostMessageW(window, WM_CLOSE, 0, 0);
        if (download) { EXPECT_EQ(answerBox(IDYES), L"Stop the download? What has finished is kept for next time.|YN"); }
        // Wine under a bare X server takes up to 2 s to withdraw a window; "--yes" closes it after a failed run.
        EXPECT_TRUE(within(10, [&] { return !IsWindow(window); }));
        EXPECT_EQ(run.wait(2000), 0u);
        // The first run's later lines follow the refused runs' lines, which stay whole.
        if (!download) { EXPECT_TRUE(readWholeFile(log).starts_with(expected) && readWholeFile(log).size() > expected.size()) << readWholeFile(log); }
    }
}

TEST_F(Lifecycle, QuietRunAgainstADrippingServerFailsWithinMinutes)
{
    server.setFault("/latest.manifest", Fault{.bytesPerSecond = 1});
    SetupProcess run(SetupExe, L"--quiet --no-register --log " + quoted(log) + at(dir), root.path(), OwnDesktop);
    EXPECT_EQ(run.wait(300000), 1u);
    EXPECT_EQ(lastLogLine(log), "failed: Could not reach the Quillmarrow Dunmir server: the connection stalled");
}

TEST_F(Lifecycle, WindowRunsRegisterAndRefreshWhatTheyName)
{
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const fs::path startMenu = shellFolder(FOLDERID_Programs) / BoxCaption, desktop = shellFolder(FOLDERID_Desktop) / L"Quillmarrow Dunmir.lnk";
    const std::wstring game = dir.wstring() + L"\\game\\Dunmir.exe", setup = dir.wstring() + L"\\QuillmarrowDunmirSetup.exe";
    for (const bool first : {true, false}) { // an install, then a run that finds it up to date
        SCOPED_TRACE(first);
        ASSERT_EQ(SetupProcess(SetupExe, L"--yes" + at(dir), root.path(), OwnDesktop).wait(120000), 0u);
        EXPECT_EQ(linkOf(startMenu / L"Quillmarrow Dunmir.lnk"), game + L"|" + dir.wstring() + L"\\game");
        EXPECT_EQ(linkOf(startMenu / L"Update Quillmarrow Dunmir.lnk"), setup + L"|" + dir.wstring());
        EXPECT_EQ(fs::exists(desktop), first);
        EXPECT_TRUE(fs::exists(setup));
        EXPECT_EQ(entryText(L"DisplayIcon"), game);
        fs::remove_all(startMenu), fs::remove(desktop), deleteUninstallKey();
    }
    CoUninitialize();
}

} // namespace
