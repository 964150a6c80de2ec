#include "e2e_support.h"

namespace fs = std::filesystem;

std::string lastLogLine(const fs::path &file)
{
    std::string text = readWholeFile(file);
    text.erase(text.find_last_not_of("\r\n") + 1);
    return text.substr(text.rfind('\n') + 1);
}

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

FileMap folderFiles(const fs::path &folder)
{
    FileMap files;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (const std::string path = it->path().lexically_relative(folder).generic_string();
            !path.starts_with(".staging") && it->is_regular_file())
            files[path] = readWholeFile(it->path());
    return files;
}

FileMap installedFolder(const Files &files, const std::string &manifest, const std::wstring &source, const Files &extra)
{
    FileMap expected(files.begin(), files.end());
    expected.insert(extra.begin(), extra.end());
    expected["install.manifest"] = manifest, expected["install.source"] = utf8(source) + "\n";
    return expected;
}

bool uninstallKeyExists()
{
    HKEY key = nullptr;
    return RegOpenKeyExW(HKEY_CURRENT_USER, UninstallEntryKey, 0, KEY_READ, &key) == ERROR_SUCCESS && !RegCloseKey(key);
}
