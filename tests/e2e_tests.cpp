// The built setup program run as a user or a script runs it: its own
// process, its command line, a release server on the loopback, and the
// files, log, shortcuts and uninstall entry it leaves in the Wine prefix.
#include <winsock2.h>
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"
#include "release/release.h"
#include "test_server.h"

namespace fs = std::filesystem;

namespace {

const fs::path SetupExe = QD_SETUP_EXE;
const wchar_t KeyPath[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QuillmarrowDunmir";

struct GameFile {
    std::string path;
    std::string content;
};

std::wstring keyText(const wchar_t *name)
{
    wchar_t value[2048] = {};
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, KeyPath, name, RRF_RT_REG_SZ, nullptr, value, &size) !=
        ERROR_SUCCESS)
        return L"(missing)";
    return value;
}

// Waits until path is gone; the command interpreter that removes the setup
// program first waits about two seconds.
bool vanishes(const fs::path &path, int seconds)
{
    for (int i = 0; i < seconds * 10; ++i) {
        std::error_code ec;
        if (!fs::exists(path, ec))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

class SetupRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() / ("qd-e2e-" + std::to_string(GetCurrentProcessId()));
        startMenu = shellFolder(FOLDERID_Programs) / "Quillmarrow Dunmir";
        desktopLink = shellFolder(FOLDERID_Desktop) / "Quillmarrow Dunmir.lnk";
        // Wine has no per-user program files folder; Windows puts it at the
        // same place.
        fs::path programs = shellFolder(FOLDERID_UserProgramFiles);
        if (programs.empty())
            programs = shellFolder(FOLDERID_LocalAppData) / "Programs";
        defaultDir = programs / "Quillmarrow Dunmir";
        shortcutLine = "shortcuts: 3 made in " + utf8(startMenu.wstring());
        updateShortcutLine = "shortcuts: 2 made in " + utf8(startMenu.wstring());
        clean();
        fs::create_directories(root);
        readSecretKey();
    }

    void TearDown() override { clean(); }

    void clean()
    {
        std::error_code ec;
        RegDeleteKeyW(HKEY_CURRENT_USER, KeyPath);
        fs::remove_all(startMenu, ec);
        fs::remove(desktopLink, ec);
        fs::remove_all(defaultDir, ec);
        fs::remove_all(root, ec);
    }

    void readSecretKey()
    {
        std::istringstream in(readWholeFile(QD_TEST_DATA "/test-release-key.txt"));
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("secret ", 0) == 0) {
                ASSERT_TRUE(fromHex(line.substr(7, 128), secretKey, 64));
            }
        }
    }

    // Serves a signed release of files and returns its manifest text.
    std::string publish(const std::string &version, const std::vector<GameFile> &files)
    {
        Release release;
        release.version = version;
        release.protocol = 1;
        release.game = "game/Dunmir.exe";
        for (const GameFile &file : files) {
            FileEntry entry{hashOf(file.content), file.content.size(), file.path, false};
            release.files.push_back(entry);
            server.serve("/files/" + entry.hash, file.content);
        }
        std::string manifest = signRelease(release, secretKey);
        server.serve("/latest.manifest", manifest);
        return manifest;
    }

    std::wstring source() const { return server.url("/"); }

    // Every file holds exactly its listed content.
    void expectInstalled(const fs::path &dir, const std::vector<GameFile> &files)
    {
        for (const GameFile &file : files)
            EXPECT_EQ(readWholeFile(dir / file.path), file.content) << file.path;
    }

    TestServer server;
    fs::path root;
    fs::path startMenu;
    fs::path desktopLink;
    fs::path defaultDir;
    std::string shortcutLine;
    std::string updateShortcutLine;
    uint8_t secretKey[64] = {};
};

using Lines = std::vector<std::string>;

const std::string Map(70000, 'm'); // more than one 64 KiB chunk

TEST_F(SetupRun, QuietInstallUpdateAndRepair)
{
    const fs::path dir = root / "Quill Game";
    const std::vector<GameFile> first = {
        {"game/Dunmir.exe", "MZ demo game 1"},
        {"data/readme.txt", "Welcome to Quillmarrow Dunmir.\n"},
        {"data/maps/first.map", Map},
        {"old.txt", "dropped in 2.0"},
    };
    const std::string manifest = publish("1.0", first);
    const fs::path log1 = root / "first.log";
    ASSERT_EQ(runSetup(SetupExe,
                       L"--quiet --dir " + quoted(dir) + L" --source " + source() + L" --log " +
                           quoted(log1),
                       root),
              0u);
    expectInstalled(dir, first);
    EXPECT_EQ(logLines(log1), (Lines{"Looking for the newest version...", "latest: 1.0, 4 files",
                                     "needed: 4 files, 70059 bytes", "Installing...", shortcutLine,
                                     "apps & features entry: written", "installed 1.0"}));
    EXPECT_EQ(readWholeFile(dir / "install.manifest"), manifest);
    EXPECT_EQ(readWholeFile(dir / "install.source"), utf8(source()) + "\n");
    EXPECT_FALSE(fs::exists(dir / ".staging"));
    EXPECT_TRUE(fs::exists(startMenu / "Quillmarrow Dunmir.lnk"));
    EXPECT_TRUE(fs::exists(startMenu / "Update Quillmarrow Dunmir.lnk"));
    EXPECT_TRUE(fs::exists(desktopLink));
    EXPECT_EQ(keyText(L"DisplayName"), L"Quillmarrow Dunmir");
    EXPECT_EQ(keyText(L"DisplayVersion"), L"1.0");
    EXPECT_EQ(keyText(L"InstallLocation"), dir.wstring());
    EXPECT_EQ(keyText(L"UninstallString"),
              L"\"" + dir.wstring() + L"\\QuillmarrowDunmirSetup.exe\" --uninstall");

    // The update finds the server through the recorded "install.source":
    // no "--source" this time.
    const std::vector<GameFile> second = {
        {"game/Dunmir.exe", "MZ demo game 1"},
        {"data/readme.txt", "Welcome back to Quillmarrow Dunmir 2.0.\n"},
        {"data/maps/first.map", Map},
        {"data/maps/second.map", "a second map"},
    };
    publish("2.0", second);
    server.clearRequests();
    const fs::path log2 = root / "second.log";
    ASSERT_EQ(runSetup(SetupExe, L"--quiet --dir " + quoted(dir) + L" --log " + quoted(log2), root),
              0u);
    expectInstalled(dir, second);
    EXPECT_FALSE(fs::exists(dir / "old.txt"));
    EXPECT_EQ(logLines(log2), (Lines{"Looking for the newest version...", "latest: 2.0, 4 files",
                                     "needed: 2 files, 52 bytes", "Installing...",
                                     updateShortcutLine, "apps & features entry: written",
                                     "installed 2.0"}));
    EXPECT_EQ(server.requests().size(), 3u);
    EXPECT_EQ(server.requestCount("/files/" + hashOf(second[1].content)), 1u);
    EXPECT_EQ(server.requestCount("/files/" + hashOf(second[3].content)), 1u);
    EXPECT_EQ(keyText(L"DisplayVersion"), L"2.0");

    // A damaged file of the right size passes on its recorded hash...
    const std::string damaged(Map.size(), 'x');
    writeWholeFile(dir / "data/maps/first.map", damaged);
    const fs::path log3 = root / "third.log";
    ASSERT_EQ(runSetup(SetupExe, L"--quiet --dir " + quoted(dir) + L" --log " + quoted(log3), root),
              0u);
    EXPECT_EQ(readWholeFile(dir / "data/maps/first.map"), damaged);
    EXPECT_EQ(logLines(log3), (Lines{"Looking for the newest version...", "latest: 2.0, 4 files",
                                     "needed: 0 files, 0 bytes", updateShortcutLine,
                                     "apps & features entry: written"}));

    // ...and "--repair" hashes it and fetches it again.
    const fs::path log4 = root / "repair.log";
    ASSERT_EQ(runSetup(SetupExe,
                       L"--repair --quiet --dir " + quoted(dir) + L" --log " + quoted(log4), root),
              0u);
    expectInstalled(dir, second);
    EXPECT_EQ(logLines(log4), (Lines{"Looking for the newest version...", "latest: 2.0, 4 files",
                                     "needed: 1 files, 70000 bytes", "Installing...",
                                     updateShortcutLine, "apps & features entry: written",
                                     "installed 2.0"}));
}

TEST_F(SetupRun, NoRegisterAndQuietWinsOverSnap)
{
    const fs::path dir = root / "Quill";
    const std::vector<GameFile> files = {{"game/Dunmir.exe", "MZ game"}, {"data/a.txt", "a"}};
    publish("3.1 beta", files);
    const fs::path log1 = root / "one.log";
    ASSERT_EQ(runSetup(SetupExe,
                       L"--no-register --snap " + quoted(root / "pic.png") + L" --quiet --dir " +
                           quoted(dir) + L" --source " + source() + L" --log " + quoted(log1),
                       root),
              0u);
    expectInstalled(dir, files);
    EXPECT_EQ(logLines(log1), (Lines{"Looking for the newest version...", "latest: 3.1 beta, 2 files",
                                     "needed: 2 files, 8 bytes", "Installing...",
                                     "installed 3.1 beta"}));
    EXPECT_FALSE(fs::exists(root / "pic.png"));

    const fs::path log2 = root / "two.log";
    ASSERT_EQ(runSetup(SetupExe,
                       L"--quiet --no-register --dir " + quoted(dir) + L" --log " + quoted(log2), root),
              0u);
    EXPECT_EQ(logLines(log2), (Lines{"Looking for the newest version...", "latest: 3.1 beta, 2 files",
                                     "needed: 0 files, 0 bytes"}));
    EXPECT_FALSE(uninstallKeyExists());
    EXPECT_FALSE(fs::exists(startMenu));
    EXPECT_FALSE(fs::exists(desktopLink));
}

TEST_F(SetupRun, FailuresExitWithOneAndLogTheEngineMessage)
{
    const fs::path dir = root / "Quill";
    const fs::path log = root / "failed.log";
    const std::wstring quietRun = L"--quiet --dir " + quoted(dir) + L" --log " + quoted(log);

    // Nothing published yet: every attempt gets 404.
    ASSERT_EQ(runSetup(SetupExe, quietRun + L" --source " + source(), root), 1u);
    EXPECT_EQ(logLines(log), (Lines{"Looking for the newest version...",
                                    "failed: Could not reach the Quillmarrow Dunmir server: the "
                                    "server answered 404 for /latest.manifest"}));
    EXPECT_EQ(server.requestCount("/latest.manifest"), 3u);
    EXPECT_FALSE(fs::exists(dir));

    // An empty "--source" stays empty: no '/' is made up for it.
    ASSERT_EQ(runSetup(SetupExe, quietRun + L" --source \"\"", root), 1u);
    EXPECT_EQ(logLines(log), (Lines{"Looking for the newest version...",
                                    "failed: Could not reach the Quillmarrow Dunmir server: a bad "
                                    "address: latest.manifest"}));

    // A manifest changed after signing.
    const std::vector<GameFile> files = {{"game/Dunmir.exe", "MZ game"}, {"data/a.txt", "abc"}};
    std::string manifest = publish("1.0", files);
    manifest.replace(manifest.find("version 1.0"), 11, "version 6.6");
    server.serve("/latest.manifest", manifest);
    ASSERT_EQ(runSetup(SetupExe, quietRun + L" --source " + source(), root), 1u);
    EXPECT_EQ(logLines(log), (Lines{"Looking for the newest version...",
                                    "failed: the release's signature does not match: it was not "
                                    "published by Quillmarrow Dunmir"}));

    // A file the server has lost.
    publish("1.0", files);
    const std::string lost = hashOf(files[1].content);
    server.remove("/files/" + lost);
    ASSERT_EQ(runSetup(SetupExe, quietRun + L" --source " + source(), root), 1u);
    EXPECT_EQ(logLines(log), (Lines{"Looking for the newest version...", "latest: 1.0, 2 files",
                                    "needed: 2 files, 10 bytes",
                                    "failed: The download failed: the server answered 404 for "
                                    "/files/" + lost}));
    EXPECT_FALSE(fs::exists(dir / "install.manifest"));
    EXPECT_FALSE(uninstallKeyExists());
}

TEST_F(SetupRun, InstallFolderArgumentsAndRepeatedLog)
{
    const std::vector<GameFile> files = {{"game/Dunmir.exe", "MZ game"}};
    publish("1.0", files);

    // A relative "--dir" with '/' separators, surrounded by arguments that
    // are no options, and two logs of which the last counts.
    ASSERT_EQ(runSetup(SetupExe,
                       L"--help --log first.log --QUIET --dir sub/inner/../Quill -x /? --log "
                       L"second.log --quiet --source=nothing --source " +
                           source(),
                       root),
              0u);
    const fs::path dir = root / "sub" / "Quill";
    expectInstalled(dir, files);
    EXPECT_EQ(keyText(L"InstallLocation"), dir.wstring());
    EXPECT_FALSE(fs::exists(root / "first.log"));
    EXPECT_EQ(logLines(root / "second.log").back(), "installed 1.0");

    // "--dir" with nothing after it is dropped: the default folder is used.
    const fs::path log = root / "default.log";
    ASSERT_EQ(runSetup(SetupExe, L"--quiet --source " + source() + L" --log " + quoted(log) + L" --dir",
                       root),
              0u);
    expectInstalled(defaultDir, files);
    EXPECT_EQ(keyText(L"InstallLocation"), defaultDir.wstring());
    EXPECT_EQ(logLines(log).back(), "installed 1.0");
}

TEST_F(SetupRun, SetupCopyInsideTheInstallFolderUpdatesAndRemovesItself)
{
    const fs::path dir = root / "Quill";
    const fs::path copy = dir / "QuillmarrowDunmirSetup.exe";
    const std::string setup = readWholeFile(SetupExe);
    ASSERT_FALSE(setup.empty());
    const std::vector<GameFile> files = {
        {"QuillmarrowDunmirSetup.exe", setup},
        {"game/Dunmir.exe", "MZ game"},
        {"data/maps/first.map", "map"},
    };
    publish("1.0", files);
    ASSERT_EQ(runSetup(SetupExe, L"--quiet --dir " + quoted(dir) + L" --source " + source(), root), 0u);
    ASSERT_EQ(readWholeFile(copy), setup);

    // The copy finds its folder by the installed manifest beside it, and
    // the server by the recorded source.
    server.clearRequests();
    const fs::path log1 = root / "copy.log";
    ASSERT_EQ(runSetup(copy, L"--quiet --log " + quoted(log1), root), 0u);
    EXPECT_EQ(logLines(log1), (Lines{"Looking for the newest version...", "latest: 1.0, 3 files",
                                     "needed: 0 files, 0 bytes", updateShortcutLine,
                                     "apps & features entry: written"}));
    EXPECT_EQ(server.requestCount("/latest.manifest"), 1u);

    // A release with a new setup program replaces the running copy, which
    // steps aside as ".old".
    const std::string newSetup = setup + std::string("\0appended in 1.1", 16);
    const std::vector<GameFile> next = {
        {"QuillmarrowDunmirSetup.exe", newSetup},
        {"game/Dunmir.exe", "MZ game"},
        {"data/maps/first.map", "map"},
    };
    publish("1.1", next);
    ASSERT_EQ(runSetup(copy, L"--quiet", root), 0u);
    EXPECT_EQ(readWholeFile(copy), newSetup);
    EXPECT_EQ(readWholeFile(dir / "QuillmarrowDunmirSetup.exe.old"), setup);

    // "--uninstall" wins over "--quiet" and "--snap"; the setup program
    // cannot delete itself, so the command interpreter does it afterwards.
    const fs::path log2 = root / "uninstall.log";
    ASSERT_EQ(runSetup(copy,
                       L"--snap " + quoted(root / "pic.png") + L" --quiet --uninstall --log " +
                           quoted(log2),
                       root),
              0u);
    EXPECT_EQ(logLines(log2), (Lines{"uninstalled"}));
    EXPECT_FALSE(fs::exists(root / "pic.png"));
    EXPECT_FALSE(fs::exists(dir / "game"));
    EXPECT_FALSE(fs::exists(dir / "data"));
    EXPECT_FALSE(uninstallKeyExists());
    EXPECT_TRUE(vanishes(copy, 60));
    EXPECT_FALSE(fs::exists(dir / "QuillmarrowDunmirSetup.exe.old"));
    EXPECT_TRUE(vanishes(dir, 30));
}

TEST_F(SetupRun, UninstallKeepsPlayerFilesAndRefusesWhileTheGameRuns)
{
    const fs::path dir = root / "Quill";
    const std::vector<GameFile> files = {
        {"game/Dunmir.exe", "MZ game"},
        {"game/bin/engine.dll", "engine"},
        {"data/maps/deep/cave.map", "cave"},
        {"data/maps/first.map", "first"},
        {"data/readme.txt", "readme"},
    };
    publish("1.0", files);
    ASSERT_EQ(runSetup(SetupExe, L"--quiet --dir " + quoted(dir) + L" --source " + source(), root), 0u);
    ASSERT_TRUE(uninstallKeyExists());
    ASSERT_TRUE(fs::exists(desktopLink));
    const fs::path log = root / "uninstall.log";
    const std::wstring uninstall = L"--uninstall --quiet --dir " + quoted(dir) + L" --log " + quoted(log);

    // The running game holds its program open without sharing.
    HANDLE game = CreateFileW((dir / "game/Dunmir.exe").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(game, INVALID_HANDLE_VALUE);
    const DWORD refused = runSetup(SetupExe, uninstall, root);
    CloseHandle(game);
    EXPECT_EQ(refused, 1u);
    EXPECT_EQ(logLines(log),
              (Lines{"uninstall failed: Quillmarrow Dunmir is running. Close it, then try again."}));
    expectInstalled(dir, files);
    EXPECT_TRUE(fs::exists(dir / "install.manifest"));
    EXPECT_TRUE(fs::exists(startMenu / "Quillmarrow Dunmir.lnk"));
    EXPECT_TRUE(uninstallKeyExists());

    writeWholeFile(dir / "game/saves/hero.sav", "the player's own");
    ASSERT_EQ(runSetup(SetupExe, uninstall, root), 0u);
    EXPECT_EQ(logLines(log), (Lines{"uninstalled"}));
    EXPECT_EQ(readWholeFile(dir / "game/saves/hero.sav"), "the player's own");
    EXPECT_FALSE(fs::exists(dir / "game/Dunmir.exe"));
    EXPECT_FALSE(fs::exists(dir / "game/bin"));
    // Only emptied folders go, each before its parent.
    EXPECT_FALSE(fs::exists(dir / "data"));
    EXPECT_FALSE(fs::exists(dir / "install.manifest"));
    EXPECT_FALSE(fs::exists(dir / "install.source"));
    EXPECT_FALSE(fs::exists(startMenu));
    EXPECT_FALSE(fs::exists(desktopLink));
    EXPECT_FALSE(uninstallKeyExists());

    // Nothing is installed there any more.
    ASSERT_EQ(runSetup(SetupExe, uninstall, root), 1u);
    EXPECT_EQ(logLines(log), (Lines{"uninstall failed: Quillmarrow Dunmir is not installed here."}));
    EXPECT_EQ(readWholeFile(dir / "game/saves/hero.sav"), "the player's own");
}

} // namespace
