// The command line, the install folder and the base URL as start-up settles
// them, against real folders of the Wine prefix.
#include <gtest/gtest.h>

#include "app/startup.h"
#include "test_files.h"

namespace fs = std::filesystem;

TEST(CommandLine, ReadsOptionsExactly)
{
    const std::wstring builtIn = DefaultBaseUrl;
    const struct {
        const char *name;
        std::vector<std::wstring> arguments;
        const char *flags; // u r n q g y: update, repair, uninstall, quiet, no-register, yes; '-' when off
        std::wstring baseUrl;
        bool sourceGiven;
        std::wstring installDir, snapPath, logPath;
    } cases[] = {
        {"nothing", {}, "------", builtIn, false, L"", L"", L""},
        {"every flag", {L"--update", L"--repair", L"--uninstall", L"--quiet", L"--no-register", L"--yes"},
         "urnqgy", builtIn, false, L"", L"", L""},
        {"every value", {L"--source", L"http://h/x", L"--dir", L"D:\\g", L"--snap", L"s.png", L"--log", L"l.txt"},
         "------", L"http://h/x", true, L"D:\\g", L"s.png", L"l.txt"},
        {"last value wins", {L"--log", L"a.txt", L"--dir", L"one", L"--log", L"b.txt", L"--dir", L"two"},
         "------", builtIn, false, L"two", L"", L"b.txt"},
        {"a value that looks like an option is still a value", {L"--source", L"--quiet", L"--log", L"--dir"},
         "------", L"--quiet", true, L"", L"", L"--dir"},
        {"a value option at the end does nothing", {L"--quiet", L"--dir"}, "---q--", builtIn, false, L"", L"", L""},
        {"--source at the end leaves the built-in URL", {L"--source"}, "------", builtIn, false, L"", L"", L""},
        {"an empty source is given", {L"--source", L""}, "------", L"", true, L"", L"", L""},
        {"not options: letter case, dashes, slashes, equals signs, help",
         {L"--QUIET", L"-quiet", L"/quiet", L"quiet", L"--quiet=1", L"--dir=x", L"--help", L"/?", L"--Update",
          L"--no_register", L" --yes", L"--yes "},
         "------", builtIn, false, L"", L"", L""},
        {"unknown arguments between options", {L"--help", L"--repair", L"extra", L"--log", L"x.log", L"-v", L"--yes"},
         "-r---y", builtIn, false, L"", L"", L"x.log"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Options o;
        bool sourceGiven = false;
        readArguments(c.arguments, o, sourceGiven);
        std::string flags;
        for (const auto &[on, letter] : {std::pair{o.update, 'u'}, {o.repair, 'r'}, {o.uninstall, 'n'},
                                         {o.quiet, 'q'}, {o.noRegister, 'g'}, {o.yes, 'y'}})
            flags += on ? letter : '-';
        EXPECT_EQ(flags, c.flags);
        EXPECT_EQ(o.baseUrl, c.baseUrl);
        EXPECT_EQ(sourceGiven, c.sourceGiven);
        EXPECT_EQ(o.installDir.wstring(), c.installDir);
        EXPECT_EQ(o.snapPath.wstring(), c.snapPath);
        EXPECT_EQ(o.logPath.wstring(), c.logPath);
    }
}

// Given folders come out absolute, normal and with backslashes; else the
// setup folder when it holds an installed manifest; else the user's programs.
TEST(InstallFolder, GivenThenSetupFolderWithManifestThenUserPrograms)
{
    ScratchFolder scratch;
    const fs::path withFile = scratch / "with-file", withFolder = scratch / "with-folder";
    const fs::path without = scratch / "without";
    writeWholeFile(withFile / "install.manifest", ""); // any entry of that name marks the folder
    fs::create_directories(withFolder / "install.manifest");
    writeWholeFile(without / "install.source", "http://127.0.0.1:1/\n");
    // Wine has no per-user program files folder; Windows puts it at the
    // same place, LocalAppData\Programs.
    fs::path programs = shellFolder(FOLDERID_UserProgramFiles);
    if (programs.empty()) programs = shellFolder(FOLDERID_LocalAppData) / "Programs";
    ASSERT_FALSE(programs.empty());

    const fs::path before = fs::current_path();
    fs::current_path(scratch.path());
    const std::wstring cwd = scratch.path().wstring();
    const std::tuple<std::wstring, fs::path, std::wstring> cases[] = {
        {L"sub/inner/../QD", L"C:\\nowhere", cwd + L"\\sub\\QD"},
        {L"./QD", L"C:\\nowhere", cwd + L"\\QD"},
        // Lexically normal keeps the separator that a final ".." leaves.
        {L"C:/Games//Quill/./x/..", L"C:\\nowhere", L"C:\\Games\\Quill\\"},
        {L"C:/Games/./Quill", L"C:\\nowhere", L"C:\\Games\\Quill"},
        {L"C:\\Games\\Quill", L"C:\\nowhere", L"C:\\Games\\Quill"},
        {L"C:\\Games\\QD", withFile, L"C:\\Games\\QD"},
        {L"", withFile, withFile.wstring()},
        {L"", withFolder, withFolder.wstring()},
        {L"", without, programs.wstring() + L"\\Quillmarrow Dunmir"},
    };
    for (const auto &[given, setupFolder, expected] : cases)
        EXPECT_EQ(settleInstallDir(given, setupFolder).wstring(), expected) << fs::path(given) << " in " << setupFolder;
    fs::current_path(before);
}

TEST(BaseUrl, RecordedSourceAndTrailingSlash)
{
    ScratchFolder scratch;
    const std::wstring builtIn = DefaultBaseUrl;
    const struct {
        const char *name;
        const char *recorded; // nullptr: no record
        std::wstring given;
        bool sourceGiven;
        std::wstring expected;
    } cases[] = {
        {"no record keeps the built-in URL", nullptr, builtIn, false, builtIn},
        {"record with CR LF", "http://127.0.0.1:8080/qd\r\n", builtIn, false, L"http://127.0.0.1:8080/qd/"},
        {"record ending in a slash gets no second one", "http://h/qd/\n", builtIn, false, L"http://h/qd/"},
        {"any mix of line ends and blanks at the end", "http://h/a \r\n \n\r ", builtIn, false, L"http://h/a/"},
        {"blanks in front and inside stay", " http://h/a b\tc\n", builtIn, false, L" http://h/a b\tc/"},
        {"a final backslash is not a slash", "http://h/a\\", builtIn, false, L"http://h/a\\/"},
        {"only blanks and line ends", " \r\n \n", builtIn, false, builtIn},
        {"an empty record", "", builtIn, false, builtIn},
        {"UTF-8 record", "http://h/d\xc3\xbcnmir\n", builtIn, false, L"http://h/d\u00fcnmir/"},
        {"a given source is not replaced by the record", "http://recorded/\n", L"http://given", true, L"http://given/"},
        {"an empty given source stays empty", "http://recorded/\n", L"", true, L""},
        {"a given URL with a slash is unchanged", nullptr, L"http://given/x/", true, L"http://given/x/"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ec;
        fs::remove(scratch / "install.source", ec);
        if (c.recorded) writeWholeFile(scratch / "install.source", c.recorded);
        EXPECT_EQ(settleBaseUrl(c.given, c.sourceGiven, scratch.path()), c.expected);
    }
}
