// Stands in for the game in the launch tests: writes the command line it got
// and the folder it runs in, one per line in UTF-16, to "launch.txt" beside
// itself. The text goes through a temporary so that a reader never sees half.
#include <windows.h>

#include <string>

int main()
{
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring folder(self, length);
    folder.erase(folder.find_last_of(L"\\/") + 1);

    wchar_t current[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, current);
    const std::wstring report = std::wstring(GetCommandLineW()) + L"\n" + current + L"\n";

    const std::wstring temporary = folder + L"launch.tmp";
    const HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, report.data(), static_cast<DWORD>(report.size() * sizeof(wchar_t)), &written,
                              nullptr);
    CloseHandle(file);
    return ok && MoveFileExW(temporary.c_str(), (folder + L"launch.txt").c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
