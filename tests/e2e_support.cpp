#include "e2e_support.h"

#include <sstream>

namespace fs = std::filesystem;

static const wchar_t KeyPath[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QuillmarrowDunmir";

std::vector<std::string> logLines(const fs::path &file)
{
    std::vector<std::string> lines;
    std::istringstream in(readWholeFile(file));
    for (std::string line; std::getline(in, line);) lines.push_back(line.substr(0, line.find_last_not_of('\r') + 1));
    return lines;
}

std::string lastLogLine(const fs::path &file)
{
    const std::vector<std::string> lines = logLines(file);
    return lines.empty() ? "" : lines.back();
}

std::string utf8(const std::wstring &text)
{
    std::string out(text.size() * 3, '\0');
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), int(out.size()), nullptr, nullptr);
    return out.substr(0, static_cast<size_t>(size));
}

std::wstring quoted(const fs::path &path) { return L"\"" + path.wstring() + L"\""; }

SetupProcess::SetupProcess(const fs::path &program, const std::wstring &arguments, const fs::path &workingFolder,
                           const std::wstring &desktop)
{
    std::wstring command = quoted(program) + L" " + arguments, desktopName = desktop;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup, startup.lpDesktop = desktopName.empty() ? nullptr : desktopName.data();
    PROCESS_INFORMATION process{};
    // Wine now and then refuses a start with an internal error (1359) when many processes have come and gone.
    DWORD error = 0;
    for (int attempt = 0; attempt < 5; ++attempt, Sleep(500))
        if (!(error = CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                     workingFolder.c_str(), &startup, &process) ? 0 : GetLastError()))
            break;
    if (error) ADD_FAILURE() << "could not start " << program << " (error " << error << ")";
    else CloseHandle(process.hThread), process_ = process.hProcess;
}

SetupProcess::~SetupProcess() { process_ && (kill(TimedOut), CloseHandle(process_)); }

DWORD SetupProcess::wait(DWORD milliseconds)
{
    DWORD code = process_ ? TimedOut : NotStarted;
    if (process_ && WaitForSingleObject(process_, milliseconds) == WAIT_OBJECT_0) GetExitCodeProcess(process_, &code);
    else kill(TimedOut);
    return code;
}

bool SetupProcess::kill(DWORD code)
{
    const bool ended = running() && TerminateProcess(process_, code);
    DWORD exitCode = 0;
    return ended && !WaitForSingleObject(process_, 30000) && GetExitCodeProcess(process_, &exitCode) && exitCode == code;
}

DWORD runSetup(const fs::path &program, const std::wstring &arguments, const fs::path &workingFolder)
{
    return SetupProcess(program, arguments, workingFolder).wait(120000);
}

std::map<std::string, std::string> folderFiles(const fs::path &folder)
{
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (const std::string path = it->path().lexically_relative(folder).generic_string();
            !path.starts_with(".staging") && it->is_regular_file())
            files[path] = readWholeFile(it->path());
    return files;
}

std::map<std::string, std::string> installedFolder(const Files &files, const std::string &manifest, const std::wstring &source)
{
    std::map<std::string, std::string> expected(files.begin(), files.end());
    expected["install.manifest"] = manifest, expected["install.source"] = utf8(source) + "\n";
    return expected;
}

bool uninstallKeyExists()
{
    HKEY key = nullptr;
    return RegOpenKeyExW(HKEY_CURRENT_USER, KeyPath, 0, KEY_READ, &key) == ERROR_SUCCESS && !RegCloseKey(key);
}

void deleteUninstallKey() { RegDeleteKeyW(HKEY_CURRENT_USER, KeyPath); }
