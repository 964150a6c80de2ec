// The built program as its own process against a loopback release server: one run a road (the engine suite pins
// the steps within each), runs killed at moments or stopped half way by hand, and a misbehaving server.
#include "test_server.h"

#include <algorithm>
#include <set>

#include "e2e_support.h"

namespace fs = std::filesystem;

namespace {

const fs::path SetupExe = QD_SETUP_EXE;

class SetupRun : public ::testing::Test {
protected:
    void SetUp() override { clean(); }
    void TearDown() override { clean(); }
    void clean() { deleteUninstallKey(), fs::remove_all(startMenu), fs::remove(desktopLink); }
    std::string serve(const std::string &version, const Files &files) { return publish(server, "/", releaseOf(version, files), files); }
    DWORD quiet(const fs::path &in, const std::wstring &more = L"") { return runSetup(SetupExe, L"--quiet --dir " + quoted(in) + L" --source " + source + L" " + more, root); }
    TestServer server;
    const std::wstring source = server.url("/");
    ScratchFolder scratch;
    const fs::path root = scratch.path(), log = root / "run.log", dir = root / "Quill";
    const fs::path startMenu = shellFolder(FOLDERID_Programs) / "Quillmarrow Dunmir", desktopLink = shellFolder(FOLDERID_Desktop) / "Quillmarrow Dunmir.lnk";
};

TEST_F(SetupRun, QuietInstallUpdateAndUninstall)
{
    // Past the 260 characters of MAX_PATH from the drive root.
    const std::string deep = "data/" + std::string(90, 'd') + "/" + std::string(90, 'e') + "/" + std::string(90, 'f'), setup = readWholeFile(SetupExe);
    Files files = {{"game/Dunmir.exe", "MZ"}, {deep, patternBytes(70000)}, {"QuillmarrowDunmirSetup.exe", setup}, {"old.txt", "in 1"}};
    std::string manifest = serve("1.0", files);
    const fs::path sub = root / "sub" / "Quill", copy = sub / files[2].first, old = sub / "QuillmarrowDunmirSetup.exe.old";
    // Empty folders that were there before the game are not its own.
    const std::string others[] = {"OtherGame/saves/slot1", "Empty Project/src/include"};
    const auto othersKept = [&] { return std::ranges::all_of(others, [&](auto &other) { return fs::is_directory(sub / other); }); };
    for (const std::string &other : others) fs::create_directories(sub / other);
    // An argument that is no option and a relative "--dir" with '/' separators.
    ASSERT_EQ(runSetup(SetupExe, L"--help --dir sub/in/../Quill --log run.log --quiet --source " + source, root), 0u);
    ASSERT_GT((sub / deep).wstring().size(), 300u);
    EXPECT_TRUE(folderFiles(sub) == installedFolder(files, manifest, source) && lastLogLine(log) == "installed 1.0");
    EXPECT_TRUE(fs::exists(desktopLink) && fs::exists(startMenu / "Update Quillmarrow Dunmir.lnk") && uninstallKeyExists());
    // The copy finds its folder by the record beside it and the server by the recorded source. A new setup
    // program replaces it while it runs: it steps aside as ".old".
    files[2].second += std::string("\0in 2", 5), files[3] = {"new.txt", "in 2"}, manifest = serve("2.0", files);
    ASSERT_EQ(runSetup(copy, L"--quiet", root), 0u);
    EXPECT_TRUE(folderFiles(sub) == installedFolder(files, manifest, source, {{old.filename().string(), setup}}));
    // The next start deletes ".old". With nothing to fetch: "--quiet" wins over "--snap"; "--no-register" registers nothing.
    clean();
    ASSERT_EQ(runSetup(copy, L"--quiet --no-register --snap " + quoted(root / "a.png"), root), 0u);
    EXPECT_FALSE(fs::exists(old) || fs::exists(root / "a.png") || uninstallKeyExists() || fs::exists(startMenu));

    // The running game holds its program open without sharing.
    ASSERT_EQ(quiet(sub), 0u);
    const HANDLE game = CreateFileW((sub / files[0].first).c_str(), GENERIC_ALL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD refused = runSetup(copy, L"--quiet --uninstall --log " + quoted(log), root);
    CloseHandle(game);
    EXPECT_EQ(refused, 1u);
    EXPECT_EQ(lastLogLine(log), "uninstall failed: Quillmarrow Dunmir is running. Close it, then try again.");
    // "--uninstall" wins over "--quiet" and "--snap". The program cannot delete itself: it moves out beside the
    // folder, where the command interpreter deletes it afterwards, and leaves the player's own file.
    writeWholeFile(sub / "saves/hero.sav", "mine");
    ASSERT_EQ(runSetup(copy, L"--snap " + quoted(root / "a.png") + L" --quiet --uninstall --log " + quoted(log), root), 0u);
    EXPECT_EQ(lastLogLine(log), "uninstalled");
    EXPECT_FALSE(fs::exists(root / "a.png") || uninstallKeyExists() || fs::exists(startMenu) || fs::exists(desktopLink));
    for (int i = 0; i < 600 && std::distance(fs::directory_iterator(root / "sub"), fs::directory_iterator()) > 1; ++i) Sleep(100);
    EXPECT_EQ(folderFiles(sub), (FileMap{{"saves/hero.sav", "mine"}}));
    EXPECT_TRUE(othersKept());
    // Without a record only a staging folder and the records' temporaries are known to be ours.
    writeWholeFile(sub / ".staging" / "placing", ""), writeWholeFile(sub / "install.manifest.tmp", "");
    EXPECT_EQ(quiet(sub, L"--uninstall --log " + quoted(log)), 1u);
    EXPECT_EQ(lastLogLine(log), "uninstall failed: Quillmarrow Dunmir is not installed here.");
    EXPECT_FALSE(fs::exists(sub / ".staging") || fs::exists(sub / "install.manifest.tmp"));
    EXPECT_TRUE(othersKept());
    // With nothing of ours there, not even an empty folder goes.
    fs::create_directories(root / "Empty");
    EXPECT_EQ(quiet(root / "Empty", L"--uninstall"), 1u);
    EXPECT_TRUE(fs::is_directory(root / "Empty"));
}

// A release that fetches nothing new is still installed: it only drops a file, then only changes its version.
TEST_F(SetupRun, AReleaseThatOnlyDropsFilesOrItsVersionIsInstalled)
{
    Files files = {{"game/Dunmir.exe", "MZ"}, {"data/a.txt", "a"}, {"docs/readme.txt", "read me"}};
    serve("1.0", files);
    ASSERT_EQ(quiet(dir, L"--no-register"), 0u);
    files.pop_back();
    for (const char *version : {"1.1", "1.2"}) {
        const std::string manifest = serve(version, files);
        server.clearRequests();
        ASSERT_EQ(quiet(dir, L"--no-register --log " + quoted(log)), 0u);
        EXPECT_TRUE(folderFiles(dir) == installedFolder(files, manifest, source) && !fs::exists(dir / "docs")) << version;
        EXPECT_EQ(lastLogLine(log), std::string("installed ") + version);
        EXPECT_EQ(server.requests().size(), 1u);
    }
}

// The record as an editor saves it still names the server. An address that carries credentials, a query or a
// fragment is refused before any request, so nothing of it is recorded.
TEST_F(SetupRun, AnEditedRecordIsReadAndABadAddressNeverUsed)
{
    const std::string manifest = serve("1", {{"game.exe", "MZ"}}), at = "127.0.0.1:" + std::to_string(server.port());
    writeWholeFile(dir / "install.source", "\xEF\xBB\xBF " + utf8(source) + "\t\r\n");
    ASSERT_EQ(runSetup(SetupExe, L"--quiet --no-register --dir " + quoted(dir), root), 0u);
    EXPECT_EQ(folderFiles(dir), installedFolder({{"game.exe", "MZ"}}, manifest, source));

    const std::pair<std::string, std::string> refused[] = {{"http://player:secret@" + at + "/", "http://player:secret@" + at + "/"},
        {"http://" + at + "/?token=abc", "http://" + at + "/?token=abc/"}, {"http://" + at + "/#part", "http://" + at + "/#part/"}};
    for (const auto &[given, base] : refused) {
        fs::remove_all(dir), server.clearRequests();
        EXPECT_EQ(runSetup(SetupExe, L"--quiet --dir " + quoted(dir) + L" --log " + quoted(log) + L" --source " + std::wstring(given.begin(), given.end()), root), 1u);
        EXPECT_EQ(lastLogLine(log), "failed: Could not reach the Quillmarrow Dunmir server: a bad address: " + base + "latest.manifest");
        EXPECT_TRUE(server.requests().empty() && !fs::exists(dir / "install.source")) << given;
    }
}

TEST(SetupProgram, CarriesItsApplicationManifest)
{
    const HMODULE module = LoadLibraryExW(SetupExe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)); // RT_MANIFEST
    ASSERT_TRUE(module && found);
    const std::string text(static_cast<const char *>(LockResource(LoadResource(module, found))), SizeofResource(module, found));
    for (const char *part : {"level=\"asInvoker\"", "uiAccess=\"false\"", ">true</dpiAware>", "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>"})
        EXPECT_NE(text.find(part), std::string::npos) << part;
}

// The verified downloads in staging: bare hash names, which a stopped run gives to checked bytes only.
std::set<std::string> staged(const fs::path &dir, bool stopped = false, std::set<std::string> hashes = {})
{
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir / ".staging", ec), end; !ec && it != end; it.increment(ec))
        if (it->path().filename().string().size() == 64 && hashes.insert(it->path().filename().string()).second && stopped &&
            hashFile(it->path(), nullptr) != it->path().filename().string()) ADD_FAILURE() << "staged under a wrong name: " << it->path();
    return hashes;
}

// When a killed run ends, told by the install folder, the log and the size the record must reach.
bool placing(const std::string &log) { return log.find("Installing") != std::string::npos; }
const std::pair<const char *, std::function<bool(const fs::path &, const std::string &, DWORD)>> Moments[] = {
    {"3 downloads verified", [](auto &dir, auto &, auto) { return staged(dir).size() >= 3; }},
    {"placing begun", [](auto &, auto &log, auto) { return placing(log); }},
    {"half placed", [](auto &dir, auto &log, auto) { return placing(log) && staged(dir).size() < 15; }},
    {"a dropped file deleted", [](auto &dir, auto &, auto) { return !fs::exists(dir / "0.old"); }},
    {"the record written", [](auto &dir, auto &, DWORD size) { // looked at unopened: an open record cannot be replaced
         WIN32_FILE_ATTRIBUTE_DATA d;
         return GetFileAttributesExW((dir / "install.manifest").c_str(), GetFileExInfoStandard, &d) && d.nFileSizeLow == size; }},
    {"staging removed", [](auto &dir, auto &log, auto) { return placing(log) && !fs::exists(dir / ".staging"); }},
    {"registering", [](auto &, auto &log, auto) { return log.find("shortcuts") != std::string::npos; }},
};

// After each kill a quiet run leaves exactly the release, records and player's file, fetching nothing verified or in place.
TEST_F(SetupRun, KilledInstallsAndUpdatesCompleteOnTheNextRun)
{
    // The game, a pack, maps of which the odd ones change, notes that the update drops, and a map at a second path.
    Files first = {{"game/Dunmir.exe", "MZ 1"}, {"world.pak", patternBytes(2 << 20, 1)}}, second = first;
    for (uint32_t i = 0; i < 40; ++i)
        first.push_back({std::to_string(i) + ".map", patternBytes(1000 + i * 263, i)}), first.push_back({std::to_string(i) + ".old", "in 1"}),
            second.push_back({std::to_string(i) + ".map", patternBytes(1000 + i * 263, i % 2 * 100 + i)});
    second.push_back({"copy", second[3].second}), second[1].second += "2";
    serve("1", first);
    ASSERT_EQ(quiet(root / "1", L"--no-register"), 0u);
    int kills = 0;
    const std::string setupBytes = readWholeFile(SetupExe);
    for (const Files *to : {&first, &second}) {
        const std::string manifest = serve(to == &first ? "1" : "2", *to);
        server.setFault("/files/" + hashOf((*to)[1].second), {.bytesPerSecond = 4 << 20}); // about half a second
        for (const auto &[name, due] : Moments) {
            SCOPED_TRACE(std::string(to == &first ? "install, killed at " : "update, killed at ") + name);
            fs::remove_all(dir), clean();
            if (to == &second) fs::copy(root / "1", dir, fs::copy_options::recursive);
            writeWholeFile(dir / "saves/hero.sav", "mine");
            SetupProcess run(SetupExe, L"--quiet --dir " + quoted(dir) + L" --log " + quoted(log) + L" --source " + source, root);
            while (run.running() && !due(dir, readWholeFile(log), static_cast<DWORD>(manifest.size()))) {}
            kills += run.kill(77);
            std::set<std::string> verified = staged(dir, true);
            for (const auto &[path, bytes] : *to) readWholeFile(dir / path) == bytes && verified.insert(hashOf(bytes)).second;
            server.clearRequests();
            ASSERT_EQ(quiet(dir), 0u);
            for (const ServedRequest &request : server.requests()) EXPECT_FALSE(verified.count(request.path.substr(7))) << request.path;
            const Files extra = {{"saves/hero.sav", "mine"}, {"QuillmarrowDunmirSetup.exe", setupBytes}}; // registration places it
            EXPECT_TRUE(folderFiles(dir) == installedFolder(*to, manifest, source, extra) && uninstallKeyExists());
        }
    }
    EXPECT_GE(kills, 10) << kills << " of 14 kills landed: a late moment may miss a finished run, but most must land";
}

// What a run stopped while placing files leaves, built by hand so that the next run meets it every time.
TEST_F(SetupRun, AStoppedUpdateIsFinishedWithoutTrustingItsRecord)
{
    const std::string tower = patternBytes(4000, 7), tower2 = patternBytes(4000, 8);
    const Files first = {{"game.exe", "MZ"}, {"tower.map", tower}, {"old.txt", "in 1"}};
    const Files second = {{"game.exe", "MZ"}, {"tower.map", tower2}, {"b.map", tower2}};
    const std::string firstManifest = serve("1", first);
    ASSERT_EQ(quiet(dir, L"--no-register"), 0u);
    // Stopped after placing the new map at its first path, before copying it, deleting and recording.
    const auto stopHalfWay = [&] { writeWholeFile(dir / "tower.map", tower2), writeWholeFile(dir / ".staging" / "placing", ""); };
    stopHalfWay();
    const std::string secondManifest = serve("2", second);
    ASSERT_EQ(quiet(dir, L"--no-register"), 0u);
    EXPECT_TRUE(folderFiles(dir) == installedFolder(second, secondManifest, source) && !fs::exists(dir / ".staging"));
    EXPECT_EQ(server.requestCount("/files/" + hashOf(tower2)), 0u);
    // The release taken back: the stale record vouches for the map's old bytes, of the same size; only hashing finds them gone.
    writeWholeFile(dir / "install.manifest", firstManifest), stopHalfWay(), serve("1", first);
    ASSERT_EQ(quiet(dir, L"--no-register"), 0u);
    EXPECT_TRUE(readWholeFile(dir / "tower.map") == tower && readWholeFile(dir / "install.manifest") == firstManifest);
}

// An update or a first install stopped while placing, then an uninstall: what those placings put there goes (the marker
// names two, one before the other), and with a record the setup program that registration put there; without one the
// program says it was not installed. The player's files stay, also one of the listed size at a path not yet placed.
TEST_F(SetupRun, UninstallRemovesWhatUnfinishedPlacingsPut)
{
    const Files first = {{"game.exe", "MZ"}, {"data/sub/b.txt", "b"}};
    const Files second = {{"game.exe", "MZ"}, {"aa/new.pak", patternBytes(3000, 2)}, {"aa/notes.txt", "notes"}, {"data/sub", "a file now"}};
    const Files before = {{"game.exe", "MZ"}, {"bb/older.pak", "older"}};
    for (const bool players : {true, false})
        for (const bool record : {true, false}) {
            SCOPED_TRACE(std::string(players ? "with the player's files, " : "nothing of the player's, ") + (record ? "an update" : "a first install"));
            fs::remove_all(dir), clean(), serve("1", first);
            if (record) {
                ASSERT_EQ(quiet(dir), 0u);
                ASSERT_TRUE(fs::exists(dir / "QuillmarrowDunmirSetup.exe"));
                writeWholeFile(dir / "QuillmarrowDunmirSetup.exe.old", "old");
            } else writeWholeFile(dir / "game.exe", "MZ");
            if (players) writeWholeFile(dir / "data/sub/mysave.txt", "mine"), writeWholeFile(dir / "aa/notes.txt", "mine!");
            // Placed the new pack, then failed at data/sub, which holds the player's save (or stopped there).
            writeWholeFile(dir / "aa/new.pak", second[1].second), writeWholeFile(dir / "bb/older.pak", "older");
            writeWholeFile(dir / ".staging" / "placing", signRelease(releaseOf("2", second), testKey().secret) + signRelease(releaseOf("1.5", before), testKey().secret));
            ASSERT_EQ(quiet(dir, L"--uninstall"), record ? 0u : 1u);
            std::set<std::string> left; // by name: a failure would print the setup program's bytes
            for (const auto &[path, bytes] : folderFiles(dir)) left.insert(path + (bytes.starts_with("mine") ? " (mine)" : ""));
            EXPECT_EQ(left, (players ? std::set<std::string>{"aa/notes.txt (mine)", "data/sub/mysave.txt (mine)"} : std::set<std::string>{}));
            EXPECT_EQ(fs::exists(dir), players);
            EXPECT_FALSE(fs::exists(dir / ".staging") || uninstallKeyExists());
        }
}

// Against files that misbehave at random (a fixed seed) a run installs exactly, staging gone, or fails leaving all as it was.
TEST_F(SetupRun, AMisbehavingServerNeverLeavesAWrongByte)
{
    std::mt19937 random(20261206);
    const Files releases[] = {{{"game.exe", patternBytes(9000, 1)}, {"w.pak", patternBytes(200000, 2)}, {"empty", ""},
                               {"a.map", patternBytes(70000, 3)}, {"b.map", patternBytes(70000, 3)}},
                              {{"game.exe", "MZ"}, {"w.pak", patternBytes(200000, 5)}, {"one", "1"}}};
    const std::string manifests[] = {serve("1", releases[0]), serve("2", releases[1])};
    FileMap before;
    for (int run = 0; run < 60; ++run) {
        const size_t r = random() % 2;
        server.serve("/latest.manifest", manifests[r]);
        for (const auto &[path, body] : releases[r]) { // a wrong byte, more bytes, 404, 500, cut, slow, or longer than announced
            const uint64_t kind = random() % 10, at = random() % (body.size() + 1);
            std::string bytes = body + (kind == 2 ? "more" : "");
            if (kind == 1) bytes = body.empty() ? "!" : bytes.replace(at % body.size(), 1, 1, static_cast<char>(body[at % body.size()] ^ 1));
            server.serve("/files/" + hashOf(body), bytes, {kind == 3 ? 404 : kind == 4 ? 500 : 200, kind == 5 ? at : Fault::NoCut,
                                                           kind == 6 ? 200000u : 0u, kind == 7 ? static_cast<int64_t>(at) : -1});
        }
        const DWORD code = quiet(dir, L"--no-register --log " + quoted(log));
        SCOPED_TRACE("run " + std::to_string(run) + ": " + lastLogLine(log));
        EXPECT_TRUE(code == 0 ? (before = folderFiles(dir)) == installedFolder(releases[r], manifests[r], source) && !fs::exists(dir / ".staging")
                              : code == 1 && lastLogLine(log).starts_with("failed: ") && folderFiles(dir) == before);
    }
}

} // namespace
