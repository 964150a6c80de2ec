// The command line, the install folder and the base URL as start-up settles them.
#include <gtest/gtest.h>

#include "app/startup.h"
#include "test_files.h"

namespace fs = std::filesystem;

TEST(CommandLine, ReadsOptionsExactly)
{
    const std::wstring builtIn = DefaultBaseUrl;
    // flags: u r n q g y for update, repair, uninstall, quiet, no-register, yes; '-' when off
    const struct { const char *name; std::vector<std::wstring> arguments; const char *flags; std::wstring baseUrl; bool sourceGiven; std::wstring installDir, snapPath, logPath; } cases[] = {
        {"every flag and value", {L"--update", L"--repair", L"--uninstall", L"--quiet", L"--no-register", L"--yes", L"--source", L"http://h/x", L"--dir", L"D:\\g", L"--snap", L"s.png", L"--log", L"l.txt"},
         "urnqgy", L"http://h/x", true, L"D:\\g", L"s.png", L"l.txt"},
        {"last value wins", {L"--log", L"a.txt", L"--dir", L"one", L"--log", L"b.txt", L"--dir", L"two"}, "------", builtIn, false, L"two", L"", L"b.txt"},
        {"a value that looks like an option is still a value", {L"--source", L"--quiet", L"--log", L"--dir"}, "------", L"--quiet", true, L"", L"", L"--dir"},
        {"a value option at the end does nothing", {L"--quiet", L"--dir"}, "---q--", builtIn, false, L"", L"", L""},
        {"an empty source is given", {L"--source", L""}, "------", L"", true, L"", L"", L""},
        {"not options (letter case, dashes, slashes, equals signs, help) between options",
         {L"--QUIET", L"-quiet", L"/quiet", L"quiet", L"--quiet=1", L"--dir=x", L"--help", L"/?", L"--Update", L"--repair", L"--no_register", L" --yes", L"--yes ", L"--log", L"x.log", L"--yes"},
         "-r---y", builtIn, false, L"", L"", L"x.log"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Options o;
        bool sourceGiven = false;
        readArguments(c.arguments, o, sourceGiven);
        std::string flags;
        for (const auto &[on, letter] : {std::pair{o.update, 'u'}, {o.repair, 'r'}, {o.uninstall, 'n'}, {o.quiet, 'q'}, {o.noRegister, 'g'}, {o.yes, 'y'}})
            flags += on ? letter : '-';
        EXPECT_EQ(std::tuple(flags, o.baseUrl, sourceGiven, o.installDir.wstring(), o.snapPath.wstring(), o.logPath.wstring()),
                  std::tuple(std::string(c.flags), c.baseUrl, c.sourceGiven, c.installDir, c.snapPath, c.logPath));
    }
}

// Given folders come out absolute, normal and with backslashes; else the
// setup folder when it holds an installed manifest; else the user's programs.
TEST(InstallFolder, GivenThenSetupFolderWithManifestThenUserPrograms)
{
    ScratchFolder scratch;
    const fs::path withFile = scratch / "with-file", withFolder = scratch / "with-folder", without = scratch / "without";
    writeWholeFile(withFile / "install.manifest", ""); // any entry of that name marks the folder
    fs::create_directories(withFolder / "install.manifest");
    // Wine has no per-user program files folder; Windows has it at LocalAppData\Programs.
    const fs::path programs = shellFolder(FOLDERID_UserProgramFiles).empty() ? shellFolder(FOLDERID_LocalAppData) / "Programs" : shellFolder(FOLDERID_UserProgramFiles);

    const fs::path before = fs::current_path();
    fs::current_path(scratch.path());
    const std::tuple<std::wstring, fs::path, std::wstring> cases[] = {
        {L"sub/inner/../QD", L"C:\\nowhere", scratch.path().wstring() + L"\\sub\\QD"},
        // No trailing separator, whatever the spelling, except on a root.
        {L"C:/Games//Quill/./x/..", L"C:\\nowhere", L"C:\\Games\\Quill"},
        {L"C:\\Games\\Quill\\", L"C:\\nowhere", L"C:\\Games\\Quill"}, {L"C:\\Games\\Quill\\.", L"C:\\nowhere", L"C:\\Games\\Quill"},
        {L"C:\\", L"C:\\nowhere", L"C:\\"}, {L"C:\\Games\\..", L"C:\\nowhere", L"C:\\"}, {L"C:\\Games\\QD", withFile, L"C:\\Games\\QD"},
        // As Windows reads a typed folder: trailing blanks and dots dropped from each name, the extended-length form
        // taken as the folder it names.
        {L"C:\\Games\\QD  ", L"C:\\nowhere", L"C:\\Games\\QD"}, {L"C:\\Games. \\QD..", L"C:\\nowhere", L"C:\\Games\\QD"},
        {L"C:\\Games\\ . \\QD\\...", L"C:\\nowhere", L"C:\\Games\\QD"},
        {L"\\\\?\\C:\\Games\\QD", L"C:\\nowhere", L"C:\\Games\\QD"}, {L"\\\\?\\UNC\\host\\share\\QD", L"C:\\nowhere", L"\\\\host\\share\\QD"},
        {L"", withFile, withFile.wstring()}, {L"", withFolder, withFolder.wstring()},
        {L"", without, programs.wstring() + L"\\Quillmarrow Dunmir"}};
    for (const auto &[given, setupFolder, expected] : cases)
        EXPECT_EQ(settleInstallDir(given, setupFolder).wstring(), expected) << fs::path(given) << " in " << setupFolder;
    fs::current_path(before);
}

TEST(BaseUrl, RecordedSourceAndTrailingSlash)
{
    ScratchFolder scratch;
    const std::wstring builtIn = DefaultBaseUrl;
    const struct { const char *name; const char *recorded; std::wstring given; bool sourceGiven; std::wstring expected; } cases[] = {
        {"record with CR LF", "http://127.0.0.1:8080/qd\r\n", builtIn, false, L"http://127.0.0.1:8080/qd/"},
        {"any mix of line ends and blanks at the end", "http://h/a \r\n \n\r ", builtIn, false, L"http://h/a/"},
        {"blanks and tabs around go, inside they stay", " \t http://h/a b\tc\t \n", builtIn, false, L"http://h/a b\tc/"},
        {"a trailing tab", "http://h/a\t", builtIn, false, L"http://h/a/"},
        {"as Notepad saves it: a byte-order mark, CR LF", "\xEF\xBB\xBFhttp://h/a\r\n", builtIn, false, L"http://h/a/"},
        {"a byte-order mark, then blanks", "\xEF\xBB\xBF \r\nhttp://h/a\n", builtIn, false, L"http://h/a/"},
        {"a byte-order mark alone", "\xEF\xBB\xBF\r\n", builtIn, false, builtIn},
        {"a final backslash is not a slash", "http://h/a\\", builtIn, false, L"http://h/a\\/"},
        {"only blanks and line ends", " \r\n \n", builtIn, false, builtIn}, {"an empty record", "", builtIn, false, builtIn},
        {"UTF-8 record ending in a slash gets no second one", "http://h/d\xc3\xbcnmir/\n", builtIn, false, L"http://h/d\u00fcnmir/"},
        {"a given source is not replaced by the record", "http://recorded/\n", L"http://given", true, L"http://given/"},
        {"a given source is taken as it is", "http://recorded/\n", L" http://given\t", true, L" http://given\t/"},
        {"an empty given source stays empty", "http://recorded/\n", L"", true, L""}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        writeWholeFile(scratch / "install.source", c.recorded);
        EXPECT_EQ(settleBaseUrl(c.given, c.sourceGiven, scratch.path()), c.expected);
    }
}

// The run lock follows the folder, not its spelling, also while the folder is still to be made. The claims
// hold until this test program ends.
TEST(RunLock, OneFolderByAnyNameAndNoOther)
{
    ScratchFolder scratch;
    const fs::path folder = scratch / "Quillmarrow Dunmir", game = folder / "Game";
    ASSERT_TRUE(claimInstallDir(game));
    fs::create_directories(folder); // made after the claim; a long name, which has a short one
    wchar_t shortName[MAX_PATH] = {};
    ASSERT_TRUE(GetShortPathNameW(folder.c_str(), shortName, MAX_PATH) && folder != shortName);
    std::wstring upper = game.wstring();
    CharUpperBuffW(upper.data(), DWORD(upper.size()));
    for (const fs::path &spelling : {game, fs::path(upper), fs::path(shortName) / "game", fs::path(game.wstring() + L"."),
                                     settleInstallDir(L"\\\\?\\" + game.wstring() + L" .", L"C:\\nowhere")})
        EXPECT_FALSE(claimInstallDir(spelling)) << spelling;
    fs::create_directories(game);
    EXPECT_FALSE(claimInstallDir(fs::path(shortName) / "GAME"));
    for (const fs::path &other : {folder, folder / "Gam", game / "Game"}) EXPECT_TRUE(claimInstallDir(other)) << other;
}
