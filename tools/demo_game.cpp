// A stand-in for the game in demo releases: prints its greeting file
// ("data/greeting.txt", one folder above the program) and its arguments.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include <windows.h>

int main(int argc, char **argv)
{
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::filesystem::path greetingFile =
        std::filesystem::path(std::wstring(self, length)).parent_path().parent_path() / "data" /
        "greeting.txt";
    std::ifstream in(greetingFile);
    std::stringstream greeting;
    greeting << in.rdbuf();
    std::cout << "Quillmarrow Dunmir (demo game): "
              << (in ? greeting.str() : std::string("no greeting found\n"));
    for (int i = 1; i < argc; ++i)
        std::cout << "  argument: " << argv[i] << "\n";
    return 0;
}
