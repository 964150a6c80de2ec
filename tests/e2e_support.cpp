#include "e2e_support.h"

#include <sstream>

namespace fs = std::filesystem;

namespace {

const wchar_t KeyPath[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QuillmarrowDunmir";

} // namespace

std::vector<std::string> logLines(const fs::path &file)
{
    std::vector<std::string> lines;
    std::istringstream in(readWholeFile(file));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::string utf8(const std::wstring &text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                   nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

std::wstring quoted(const fs::path &path)
{
    return L"\"" + path.wstring() + L"\"";
}

SetupProcess::SetupProcess(const fs::path &program, const std::wstring &arguments, const fs::path &workingFolder)
{
    std::wstring command = quoted(program) + L" " + arguments;
    std::vector<wchar_t> buffer(command.begin(), command.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    // Wine now and then refuses to start a process with an internal error
    // (1359) when many have come and gone; that says nothing of the program.
    DWORD error = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (CreateProcessW(program.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                           workingFolder.c_str(), &startup, &process)) {
            error = 0;
            break;
        }
        error = GetLastError();
        Sleep(500);
    }
    if (error) {
        ADD_FAILURE() << "could not start " << program << " (error " << error << ")";
        return;
    }
    CloseHandle(process.hThread);
    process_ = process.hProcess;
}

SetupProcess::~SetupProcess()
{
    if (!process_)
        return;
    kill(TimedOut);
    CloseHandle(process_);
}

DWORD SetupProcess::wait(DWORD milliseconds)
{
    if (!process_)
        return NotStarted;
    DWORD code = TimedOut;
    if (WaitForSingleObject(process_, milliseconds) == WAIT_OBJECT_0)
        GetExitCodeProcess(process_, &code);
    else
        kill(TimedOut);
    return code;
}

bool SetupProcess::kill(DWORD code)
{
    if (!process_ || WaitForSingleObject(process_, 0) == WAIT_OBJECT_0)
        return false;
    const bool ended = TerminateProcess(process_, code) != 0;
    WaitForSingleObject(process_, 30000);
    DWORD exitCode = 0;
    GetExitCodeProcess(process_, &exitCode);
    return ended && exitCode == code;
}

DWORD runSetup(const fs::path &program, const std::wstring &arguments, const fs::path &workingFolder)
{
    SetupProcess process(program, arguments, workingFolder);
    return process.wait(120000);
}

bool uninstallKeyExists()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, KeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

void deleteUninstallKey()
{
    RegDeleteKeyW(HKEY_CURRENT_USER, KeyPath);
}
