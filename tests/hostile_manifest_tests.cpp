// Properly signed manifests that try to leave the install folder or confuse
// the program, given to the real setup program. Each is refused with the
// program's message, or installs inside the install folder only: after each
// run no file or folder may have appeared, gone or changed on the prefix's
// drive C: (which holds the test's own folders around the install folder)
// outside it.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>

#include "e2e_support.h"
#include "test_server.h"

namespace fs = std::filesystem;

namespace {

const fs::path SetupExe = QD_SETUP_EXE;
const std::string Game = patternBytes(3000, 1), Data = patternBytes(70000, 2), Other = patternBytes(70000, 3);

// The text followed by its signature line, made with the test key.
std::string signText(const std::string &text)
{
    uint8_t signature[64];
    crypto_eddsa_sign(signature, testKey().secret, reinterpret_cast<const uint8_t *>(text.data()), text.size());
    return text + "signature " + toHex(signature, sizeof signature) + "\n";
}

std::string fileLine(const std::string &bytes, const std::string &path)
{
    return "file " + hashOf(bytes) + " " + std::to_string(bytes.size()) + " " + path + "\n";
}

// Every file and folder on drive C: with the size and last write time of
// each file. Links are not followed: Wine links the profile's Desktop,
// Documents and other folders to the host's home folder, which is not the
// prefix's drive.
std::map<fs::path, std::pair<uintmax_t, fs::file_time_type>> driveC()
{
    std::map<fs::path, std::pair<uintmax_t, fs::file_time_type>> entries;
    std::error_code ec;
    for (fs::recursive_directory_iterator it("C:\\", fs::directory_options::skip_permission_denied, ec), end;
         !ec && it != end; it.increment(ec)) {
        std::error_code itemError;
        if (GetFileAttributesW(it->path().c_str()) & FILE_ATTRIBUTE_REPARSE_POINT)
            it.disable_recursion_pending();
        if (it->is_directory(itemError))
            entries[it->path()] = {};
        else
            entries[it->path()] = {it->file_size(itemError), it->last_write_time(itemError)};
    }
    return entries;
}

struct Case {
    const char *name;
    std::string manifest; // signed
    std::string message;  // the log's last line after "failed: ", or empty when the release installs
};

class HostileManifest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const std::string *bytes : {&Game, &Data, &Other})
            server.serve("/rel/files/" + hashOf(*bytes), *bytes);
        fs::create_directories(scratch / "outer" / "inner");
    }

    // Runs the program on the case's manifest into a new install folder two
    // levels below the test's own folder, or into the one given. Returns the
    // install folder.
    fs::path run(const Case &c, fs::path dir = {})
    {
        if (dir.empty())
            dir = scratch / "outer" / "inner" / (std::string("Quill ") + std::to_string(++runs));
        const fs::path log = scratch / "run.log";
        server.serve("/rel/latest.manifest", c.manifest);
        const auto before = driveC();
        const DWORD code = runSetup(SetupExe,
                                    L"--quiet --no-register --dir " + quoted(dir) + L" --source " +
                                        server.url("/rel/") + L" --log " + quoted(log),
                                    scratch.path());
        const auto after = driveC();
        const std::vector<std::string> lines = logLines(log);
        const std::string last = lines.empty() ? "" : lines.back();
        if (c.message.empty()) {
            EXPECT_EQ(code, 0u) << last;
        } else {
            EXPECT_EQ(code, 1u);
            EXPECT_EQ(last, "failed: " + c.message);
        }
        // Whatever the program made lies in the install folder; the log is the test's.
        std::string outside;
        const std::wstring inside = dir.wstring() + L"\\";
        const auto isOutside = [&](const fs::path &path) {
            return path.wstring().rfind(inside, 0) != 0 && path != dir && path != log;
        };
        for (const auto &[path, state] : after) {
            const auto found = before.find(path);
            if (isOutside(path) && (found == before.end() || found->second != state))
                outside += " " + path.string();
        }
        for (const auto &[path, state] : before)
            if (isOutside(path) && !after.count(path))
                outside += " (gone) " + path.string();
        EXPECT_EQ(outside, "") << "new or changed outside the install folder";
        std::printf("%-44s exit %lu: %s\n", c.name, static_cast<unsigned long>(code),
                    last.empty() ? "(no log)" : last.c_str());
        return dir;
    }

    ScratchFolder scratch;
    TestServer server;
    int runs = 0;
};

TEST_F(HostileManifest, PathsThatLeaveTheInstallFolderAreRefused)
{
    const std::string head = "quillmarrow-release 1\nversion 1\ngame game.exe\n" + fileLine(Game, "game.exe");
    const auto leaves = [&](const char *name, const std::string &path) {
        return Case{name, signText(head + fileLine(Data, path)), "a file's path leaves the install folder: " + path};
    };
    const auto link = [&](const char *name, const std::string &target, const std::string &path) {
        return Case{name, signText(head + "link " + target + "\t" + path + "\n"),
                    "a link leaves the install folder: " + path};
    };
    const Case cases[] = {
        leaves("parent folder", "../escape.txt"),
        leaves("parent folders behind a name", "data/../../../escape.txt"),
        leaves("absolute path", "/escape.txt"),
        leaves("UNC path", "//127.0.0.1/c$/escape.txt"),
        leaves("drive letter", "C:/escape.txt"),
        leaves("drive-relative path", "C:escape.txt"),
        leaves("backslash parent", "..\\escape.txt"),
        leaves("backslash inside", "data\\..\\..\\escape.txt"),
        leaves("alternate stream", "game.exe:hidden"),
        leaves("alternate stream type", "data.pak::$DATA"),
        link("link that climbs out", "../../escape.txt", "bin/run"),
        link("link to an absolute path", "C:/Windows/notepad.exe", "run"),
        link("link with a backslash", "..\\..\\escape.txt", "bin/run"),
        {"game program outside", signText("quillmarrow-release 1\nversion 1\ngame ../escape.exe\n" +
                                          fileLine(Game, "game.exe")),
         "the release is incomplete"},
        {"game program on another drive", signText("quillmarrow-release 1\nversion 1\ngame C:/Windows/notepad.exe\n" +
                                                   fileLine(Game, "game.exe")),
         "the release is incomplete"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dir = run(c);
        EXPECT_FALSE(fs::exists(dir));
    }
}

TEST_F(HostileManifest, ConfusingReleasesInstallOnlyInsideOrFail)
{
    const std::string head = "quillmarrow-release 1\nversion 1\ngame game.exe\n" + fileLine(Game, "game.exe");
    const std::string upper = [] {
        std::string hash = hashOf(Data);
        for (char &c : hash)
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        return hash;
    }();
    const Case cases[] = {
        // With the game's 3,000 bytes the release needs 2^64 - 1 bytes.
        {"size near 2^64",
         signText(head + "file " + hashOf(Data) + " 18446744073709548615 data.pak\n"),
         "Not enough free disk space: 18446744073.71 GB are needed."},
        // Read as 2^64 - 1: the sum passes 2^64 and the download finds the length wrong.
        {"size beyond 2^64", signText(head + "file " + hashOf(Data) + " 99999999999999999999999 data.pak\n"),
         "The download failed: a file did not match the release: data.pak"},
        {"sizes that add up past 2^64",
         signText(head + "file " + hashOf(Data) + " 18446744073709551615 data.pak\n" +
                  "file " + hashOf(Other) + " 2 other.pak\n"),
         "The download failed: a file did not match the release: data.pak"},
        {"hash in capitals", signText(head + "file " + upper + " 70000 data.pak\n"),
         "The download failed: a file did not match the release: data.pak"},
        {"a file in the staging folder",
         signText(head + fileLine(Other, ".staging/" + hashOf(Data)) + fileLine(Data, "data.pak")),
         "Could not install .staging/" + hashOf(Data) + " (error 123)."},
        {"a file named as the installed record", signText(head + fileLine(Data, "install.manifest")),
         "Could not install install.manifest (error 123)."},
    };
    server.serve("/rel/files/" + upper, Data);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dir = run(c);
        EXPECT_FALSE(fs::exists(dir / "data.pak"));
    }
}

TEST_F(HostileManifest, OnePathTwoHashesNeverCopiesTheWrongBytes)
{
    const std::string head = "quillmarrow-release 1\nversion 1\ngame game.exe\n" + fileLine(Game, "game.exe");
    // The second line overwrites the first, under the same spelling or
    // another that names the same file; the third must still get the first
    // line's bytes, which the record then vouches for.
    for (const std::string second : {"maps/a.map", "MAPS/A.MAP", "maps/a.map."}) {
        SCOPED_TRACE(second);
        const fs::path dir = run({"one path, two hashes, a copy of the first",
                                  signText(head + fileLine(Data, "maps/a.map") + fileLine(Other, second) +
                                           fileLine(Data, "maps/b.map")),
                                  ""});
        EXPECT_TRUE(readWholeFile(dir / "maps/b.map") == Data);
        EXPECT_TRUE(readWholeFile(dir / "maps/a.map") == Other);
    }
}

TEST_F(HostileManifest, AnUpdateThatSpellsAPathAnotherWayKeepsTheFile)
{
    const std::string head = "quillmarrow-release 1\nversion 1\ngame game.exe\n" + fileLine(Game, "game.exe");
    const fs::path dir = run({"a map", signText(head + fileLine(Data, "maps/a.map")), ""});
    // The same file to the file system, which drops trailing dots and folds case.
    run({"the map spelled another way", signText(head + fileLine(Data, "MAPS/A.MAP.") + fileLine(Other, "b.map")),
         ""},
        dir);
    EXPECT_TRUE(readWholeFile(dir / "maps/a.map") == Data);
}

TEST_F(HostileManifest, AManifestAtTheSizeLimit)
{
    const std::string head = "quillmarrow-release 1\nversion 1\ngame game.exe\n" + fileLine(Game, "game.exe");
    const size_t signatureLine = std::string("signature \n").size() + 128;
    const size_t largest = 8388607;
    const std::string atLimit = signText(head + std::string(largest - head.size() - signatureLine, '\n'));
    ASSERT_EQ(atLimit.size(), largest);
    run({"manifest of 8,388,607 bytes", atLimit, ""});
    run({"manifest of 8,388,608 bytes", signText(head + std::string(largest + 1 - head.size() - signatureLine, '\n')),
         "Could not reach the Quillmarrow Dunmir server: stopped"});
}

} // namespace
