#include <gtest/gtest.h>

#include <windows.h>

#include "engine/helpers.h"
#include "engine/installer.h"
#include "test_files.h"

namespace fs = std::filesystem;

// Every test that changes the installer puts these values back.
TEST(Installer, StartsWithDefaults)
{
    const Options &o = installer.options;
    EXPECT_EQ(o.baseUrl, DefaultBaseUrl);
    EXPECT_EQ(std::wstring(DefaultBaseUrl).size(), 41u);
    EXPECT_TRUE(o.installDir.empty());
    EXPECT_FALSE(o.update || o.repair || o.uninstall || o.quiet || o.noRegister || o.yes);
    EXPECT_EQ(installer.fraction, -1.0);
    EXPECT_EQ(installer.phase, Phase::checking);
    EXPECT_FALSE(installer.notify);
    EXPECT_EQ(std::string(ReleasePublicKeyHex).size(), 64u);
}

TEST(FormatSize, MegabytesUpToAThousandThenGigabytes)
{
    const struct { uint64_t bytes; const wchar_t *text; } cases[] = {
        {0, L"1 MB"}, {400000, L"1 MB"}, {2400000, L"2 MB"}, {999999999, L"1000 MB"},
        {1000000000, L"1.00 GB"}, {1234567890, L"1.23 GB"}, {UINT64_MAX, L"18446744073.71 GB"},
    };
    for (const auto &c : cases) EXPECT_EQ(formatSize(c.bytes), c.text) << c.bytes;
}

TEST(TextConversion, RoundTripsBeyondTheBasicPlane)
{
    // U+00FC U+00DF, then U+1D11E and U+1F600, which take surrogate pairs in UTF-16.
    const std::string utf8 = "Gr\xC3\xBC\xC3\x9F" "e \xF0\x9D\x84\x9E \xF0\x9F\x98\x80";
    const std::wstring wide = L"Gr\x00FC\x00DF" L"e \xD834\xDD1E \xD83D\xDE00";
    EXPECT_EQ(utf8ToWide(utf8), wide);
    EXPECT_EQ(wideToUtf8(wide), utf8);
    EXPECT_EQ(utf8ToWide(""), L"");
    EXPECT_EQ(wideToUtf8(L""), "");
}

TEST(WholeFiles, ReadAndReplace)
{
    ScratchFolder folder;
    EXPECT_EQ(readFile(folder / "missing"), "");
    const std::string large = patternBytes(200000); // several read buffers
    writeWholeFile(folder / "large", large);
    EXPECT_EQ(readFile(folder / "large"), large);

    const fs::path target = folder / "install.manifest";
    writeWholeFile(target, "an older and much longer record");
    ASSERT_TRUE(writeFileAtomic(target, "new"));
    EXPECT_EQ(readWholeFile(target), "new");
    EXPECT_FALSE(fs::exists(folder / "install.manifest.tmp"));

    // A folder in the way: the target stays, the temporary holds everything.
    fs::create_directory(folder / "install.source");
    EXPECT_FALSE(writeFileAtomic(folder / "install.source", large));
    EXPECT_TRUE(fs::is_directory(folder / "install.source"));
    EXPECT_EQ(readWholeFile(folder / "install.source.tmp"), large);
}

TEST(SamePath, ByFileIdentityElseByTextIgnoringCase)
{
    ScratchFolder folder;
    writeWholeFile(folder / "game.exe", "same bytes");
    writeWholeFile(folder / "other.exe", "same bytes");
    ASSERT_TRUE(CreateHardLinkW((folder / "link.exe").c_str(), (folder / "game.exe").c_str(), nullptr));
    EXPECT_TRUE(samePath(folder / "game.exe", folder / "link.exe"));
    EXPECT_TRUE(samePath(folder / "game.exe", folder / "GAME.EXE"));
    EXPECT_FALSE(samePath(folder / "game.exe", folder / "other.exe"));
    EXPECT_FALSE(samePath(folder / "game.exe", folder / "missing.exe"));
    EXPECT_TRUE(samePath(folder / "gone" / "a.txt", folder / "GONE" / "A.TXT"));
    const fs::path previous = fs::current_path();
    fs::current_path(folder.path()); // a relative missing path is completed against it
    EXPECT_TRUE(samePath("Missing.txt", folder / "missing.TXT"));
    fs::current_path(previous);
}

TEST(KnownFolder, UnknownIdGivesAnEmptyPath)
{
    const KNOWNFOLDERID unknown = {0x5e1f0a11, 0x2b3c, 0x4d5e, {0x8f, 0x90, 0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6}};
    EXPECT_TRUE(knownFolder(unknown).empty());
    EXPECT_TRUE(fs::is_directory(knownFolder(FOLDERID_LocalAppData)));
}

TEST(InstallPath, JoinsTheInstallFolderAndFindsTheGame)
{
    installer.options.installDir = L"C:\\Games\\Quillmarrow Dunmir";
    EXPECT_EQ(installPath("install.manifest").wstring(), L"C:\\Games\\Quillmarrow Dunmir\\install.manifest");
    installer.options.installDir = L"C:\\Games\\QD\\";
    installer.installed.game = "old/qd.exe";
    installer.latest.game = "bin/qd.exe";
    EXPECT_EQ(gameExePath().wstring(), L"C:\\Games\\QD\\bin/qd.exe");
    installer.latest.game.clear();
    EXPECT_EQ(gameExePath().wstring(), L"C:\\Games\\QD\\old/qd.exe");
    installer.options.installDir.clear();
    installer.installed.game.clear();
}
