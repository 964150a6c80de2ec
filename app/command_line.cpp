#include "app/command_line.h"

void readArguments(const std::vector<std::wstring> &arguments, Options &options, bool &sourceGiven)
{
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring &argument = arguments[i];
        if (argument == L"--update") {
            options.update = true;
        } else if (argument == L"--repair") {
            options.repair = true;
        } else if (argument == L"--uninstall") {
            options.uninstall = true;
        } else if (argument == L"--quiet") {
            options.quiet = true;
        } else if (argument == L"--no-register") {
            options.noRegister = true;
        } else if (argument == L"--yes") {
            options.yes = true;
        } else if (argument == L"--source" || argument == L"--dir" || argument == L"--snap" ||
                   argument == L"--log") {
            // A value option with nothing after it is dropped rather than
            // guessed at: a script that lost its value still gets a sane run.
            if (i + 1 >= arguments.size())
                break;
            const std::wstring &value = arguments[++i];
            if (argument == L"--source") {
                options.baseUrl = value;
                sourceGiven = true;
            } else if (argument == L"--dir") {
                options.installDir = value;
            } else if (argument == L"--snap") {
                options.snapPath = value;
            } else {
                options.logPath = value;
            }
        }
    }
}
