// Start-up of the setup program: the command line into Options, the install
// folder and the release server's base URL.
#include "app/startup.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>

#include "engine/helpers.h"

namespace {

// Owns the vector that CommandLineToArgvW allocates with LocalAlloc.
class ArgvOwner {
public:
    explicit ArgvOwner(wchar_t **argv) : argv_(argv) {}
    ~ArgvOwner()
    {
        if (argv_)
            LocalFree(argv_);
    }
    ArgvOwner(const ArgvOwner &) = delete;
    ArgvOwner &operator=(const ArgvOwner &) = delete;

private:
    wchar_t **argv_;
};

} // namespace

std::vector<std::wstring> commandLineArguments()
{
    int count = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &count);
    ArgvOwner owner(argv);
    std::vector<std::wstring> arguments;
    if (!argv)
        return arguments;
    for (int i = 1; i < count; ++i)
        arguments.emplace_back(argv[i]);
    return arguments;
}

std::filesystem::path settleInstallDir(const std::filesystem::path &given,
                                       const std::filesystem::path &setupFolder)
{
    std::filesystem::path folder = given;
    if (folder.empty()) {
        // The uninstall entry and the update shortcut start the copy inside
        // the install folder without "--dir": that copy must work on its own
        // folder, which the installed manifest beside it marks.
        std::error_code ec;
        if (std::filesystem::exists(setupFolder / manifestFileName, ec)) {
            folder = setupFolder;
        } else {
            std::filesystem::path programs = knownFolder(FOLDERID_UserProgramFiles);
            if (programs.empty())
                programs = knownFolder(FOLDERID_LocalAppData) / L"Programs";
            folder = programs / productName;
        }
    }
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(folder, ec);
    if (ec)
        absolute = folder;
    std::wstring text = absolute.lexically_normal().wstring();
    std::replace(text.begin(), text.end(), L'/', L'\\');
    return std::filesystem::path(text);
}

std::wstring settleBaseUrl(const std::wstring &baseUrl, bool sourceGiven,
                           const std::filesystem::path &installDir)
{
    std::wstring url = baseUrl;
    if (!sourceGiven) {
        std::string recorded = readFile(installDir / sourceFileName);
        while (!recorded.empty() &&
               (recorded.back() == '\n' || recorded.back() == '\r' || recorded.back() == ' '))
            recorded.pop_back();
        if (!recorded.empty())
            url = utf8ToWide(recorded);
    }
    if (!url.empty() && url.back() != L'/')
        url += L'/';
    return url;
}
