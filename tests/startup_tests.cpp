// The command line, the install folder and the base URL as start-up settles
// them, against real folders of the Wine prefix.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/startup.h"

namespace fs = std::filesystem;

namespace {

struct ArgumentCase {
    const char *name;
    std::vector<std::wstring> arguments;
    // Expected fields; flags as a string of six letters u r n q g y (or '-').
    const char *flags;
    std::wstring baseUrl;
    bool sourceGiven;
    std::wstring installDir;
    std::wstring snapPath;
    std::wstring logPath;
};

std::string flagText(const Options &o)
{
    std::string text;
    text += o.update ? 'u' : '-';
    text += o.repair ? 'r' : '-';
    text += o.uninstall ? 'n' : '-';
    text += o.quiet ? 'q' : '-';
    text += o.noRegister ? 'g' : '-';
    text += o.yes ? 'y' : '-';
    return text;
}

fs::path shellFolder(REFKNOWNFOLDERID id)
{
    PWSTR text = nullptr;
    fs::path folder;
    if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &text)))
        folder = text;
    CoTaskMemFree(text);
    return folder;
}

// A fresh folder under the temporary folder, removed afterwards.
class ScratchFolder {
public:
    ScratchFolder()
    {
        path_ = fs::temp_directory_path() / ("qd-startup-" + std::to_string(GetCurrentProcessId()));
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~ScratchFolder()
    {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path &path() const { return path_; }

private:
    fs::path path_;
};

void writeText(const fs::path &file, const std::string &text)
{
    std::ofstream(file, std::ios::binary) << text;
}

} // namespace

TEST(CommandLine, ReadsOptionsExactly)
{
    const std::wstring builtIn = DefaultBaseUrl;
    const std::vector<ArgumentCase> cases = {
        {"nothing", {}, "------", builtIn, false, L"", L"", L""},
        {"every flag",
         {L"--update", L"--repair", L"--uninstall", L"--quiet", L"--no-register", L"--yes"},
         "urnqgy", builtIn, false, L"", L"", L""},
        {"every value",
         {L"--source", L"http://h/x", L"--dir", L"D:\\g", L"--snap", L"s.png", L"--log", L"l.txt"},
         "------", L"http://h/x", true, L"D:\\g", L"s.png", L"l.txt"},
        {"last value wins",
         {L"--log", L"a.txt", L"--dir", L"one", L"--log", L"b.txt", L"--dir", L"two"},
         "------", builtIn, false, L"two", L"", L"b.txt"},
        {"a value that looks like an option is still a value",
         {L"--source", L"--quiet", L"--log", L"--dir"},
         "------", L"--quiet", true, L"", L"", L"--dir"},
        {"a value option at the end does nothing",
         {L"--quiet", L"--dir"}, "---q--", builtIn, false, L"", L"", L""},
        {"--source at the end leaves the built-in URL", {L"--source"}, "------", builtIn, false, L"",
         L"", L""},
        {"an empty source is given",
         {L"--source", L""}, "------", L"", true, L"", L"", L""},
        {"not options: letter case, dashes, slashes, equals signs, help",
         {L"--QUIET", L"-quiet", L"/quiet", L"quiet", L"--quiet=1", L"--dir=x", L"--help", L"/?",
          L"--Update", L"--no_register", L" --yes", L"--yes "},
         "------", builtIn, false, L"", L"", L""},
        {"unknown arguments between options",
         {L"--help", L"--repair", L"extra", L"--log", L"x.log", L"-v", L"--yes"},
         "-r---y", builtIn, false, L"", L"", L"x.log"},
    };
    for (const ArgumentCase &c : cases) {
        SCOPED_TRACE(c.name);
        Options options;
        bool sourceGiven = false;
        readArguments(c.arguments, options, sourceGiven);
        EXPECT_EQ(flagText(options), c.flags);
        EXPECT_EQ(options.baseUrl, c.baseUrl);
        EXPECT_EQ(sourceGiven, c.sourceGiven);
        EXPECT_EQ(options.installDir.wstring(), c.installDir);
        EXPECT_EQ(options.snapPath.wstring(), c.snapPath);
        EXPECT_EQ(options.logPath.wstring(), c.logPath);
    }
}

TEST(InstallFolder, GivenFolderIsAbsoluteNormalWithBackslashes)
{
    ScratchFolder scratch;
    const fs::path before = fs::current_path();
    fs::current_path(scratch.path());
    const std::wstring cwd = scratch.path().wstring();

    EXPECT_EQ(settleInstallDir(L"sub/inner/../QD", L"C:\\nowhere").wstring(), cwd + L"\\sub\\QD");
    EXPECT_EQ(settleInstallDir(L"./QD", L"C:\\nowhere").wstring(), cwd + L"\\QD");
    // Lexically normal keeps the separator that a final ".." leaves.
    EXPECT_EQ(settleInstallDir(L"C:/Games//Quill/./x/..", L"C:\\nowhere").wstring(),
              L"C:\\Games\\Quill\\");
    EXPECT_EQ(settleInstallDir(L"C:/Games/./Quill", L"C:\\nowhere").wstring(), L"C:\\Games\\Quill");
    EXPECT_EQ(settleInstallDir(L"C:\\Games\\Quill", L"C:\\nowhere").wstring(), L"C:\\Games\\Quill");
    fs::current_path(before);
}

TEST(InstallFolder, SetupFolderWithInstalledManifestIsUsed)
{
    ScratchFolder scratch;
    const fs::path withFile = scratch.path() / "with-file";
    const fs::path withFolder = scratch.path() / "with-folder";
    const fs::path without = scratch.path() / "without";
    fs::create_directories(withFile);
    fs::create_directories(withFolder / "install.manifest");
    fs::create_directories(without);
    writeText(withFile / "install.manifest", "");
    writeText(without / "install.source", "http://127.0.0.1:1/\n");

    // Any entry of that name marks the folder, even an empty file or a folder.
    EXPECT_EQ(settleInstallDir(L"", withFile), withFile);
    EXPECT_EQ(settleInstallDir(L"", withFolder), withFolder);
    // A given folder wins over the setup folder.
    EXPECT_EQ(settleInstallDir(L"C:\\Games\\QD", withFile).wstring(), L"C:\\Games\\QD");

    // Wine has no per-user program files folder; Windows puts it at the
    // same place, LocalAppData\Programs.
    fs::path programs = shellFolder(FOLDERID_UserProgramFiles);
    if (programs.empty())
        programs = shellFolder(FOLDERID_LocalAppData) / "Programs";
    ASSERT_FALSE(programs.empty());
    EXPECT_EQ(settleInstallDir(L"", without).wstring(), programs.wstring() + L"\\Quillmarrow Dunmir");
}

TEST(BaseUrl, RecordedSourceAndTrailingSlash)
{
    ScratchFolder scratch;
    const fs::path record = scratch.path() / "install.source";
    const std::wstring builtIn = DefaultBaseUrl;
    struct Case {
        const char *name;
        const char *recorded; // nullptr: no record
        std::wstring given;
        bool sourceGiven;
        std::wstring expected;
    };
    const Case cases[] = {
        {"no record keeps the built-in URL", nullptr, builtIn, false, builtIn},
        {"record with CR LF", "http://127.0.0.1:8080/qd\r\n", builtIn, false,
         L"http://127.0.0.1:8080/qd/"},
        {"record ending in a slash gets no second one", "http://h/qd/\n", builtIn, false,
         L"http://h/qd/"},
        {"any mix of line ends and blanks at the end", "http://h/a \r\n \n\r ", builtIn, false,
         L"http://h/a/"},
        {"blanks in front and inside stay", " http://h/a b\tc\n", builtIn, false,
         L" http://h/a b\tc/"},
        {"a final backslash is not a slash", "http://h/a\\", builtIn, false, L"http://h/a\\/"},
        {"only blanks and line ends", " \r\n \n", builtIn, false, builtIn},
        {"an empty record", "", builtIn, false, builtIn},
        {"UTF-8 record", "http://h/d\xc3\xbcnmir\n", builtIn, false, L"http://h/d\u00fcnmir/"},
        {"a given source is not replaced by the record", "http://recorded/\n", L"http://given",
         true, L"http://given/"},
        {"an empty given source stays empty", "http://recorded/\n", L"", true, L""},
        {"a given URL with a slash is unchanged", nullptr, L"http://given/x/", true,
         L"http://given/x/"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ec;
        fs::remove(record, ec);
        if (c.recorded)
            writeText(record, c.recorded);
        EXPECT_EQ(settleBaseUrl(c.given, c.sourceGiven, scratch.path()), c.expected);
    }
}
