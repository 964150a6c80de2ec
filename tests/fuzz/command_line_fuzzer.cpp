// Any argument vector given to the command-line reader: no crash, every flag
// set exactly when its token stands where it is not taken as a value, each
// value option takes the argument after it, and its last use wins. The input
// is the arguments separated by NUL bytes, one byte a character. Characters
// stay ASCII: natively a path converts wide text through the C locale, which
// knows no other, while on Windows it keeps the wide text as it is.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/command_line.h"

namespace {

void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "command_line_fuzzer: %s\n", what);
        std::abort();
    }
}

std::vector<std::wstring> splitArguments(const uint8_t *data, size_t size)
{
    std::vector<std::wstring> arguments(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            arguments.emplace_back();
        else if (data[i] < 0x80)
            arguments.back() += static_cast<wchar_t>(data[i]);
        else
            arguments.back() += static_cast<wchar_t>((data[i] & 0x7f) ? data[i] & 0x7f : 0x7f);
    }
    if (size == 0)
        arguments.clear();
    return arguments;
}

bool takesValue(const std::wstring &argument)
{
    return argument == L"--source" || argument == L"--dir" || argument == L"--snap" || argument == L"--log";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::vector<std::wstring> arguments = splitArguments(data, size);
    const size_t n = arguments.size();

    // An argument is taken as a value exactly when the one before it is a
    // value option that is not itself taken as a value.
    std::vector<bool> taken(n, false);
    for (size_t j = 1; j < n; ++j)
        taken[j] = !taken[j - 1] && takesValue(arguments[j - 1]);
    const auto standsFree = [&](const wchar_t *token) {
        for (size_t j = 0; j < n; ++j)
            if (!taken[j] && arguments[j] == token)
                return true;
        return false;
    };
    const auto usedWithValue = [&](const wchar_t *token) {
        for (size_t j = 0; j + 1 < n; ++j)
            if (!taken[j] && arguments[j] == token)
                return true;
        return false;
    };
    // The argument after the option's last free use that has one.
    const auto lastValue = [&](const wchar_t *token, const std::wstring &none) {
        std::wstring value = none;
        for (size_t j = 0; j + 1 < n; ++j)
            if (!taken[j] && arguments[j] == token)
                value = arguments[j + 1];
        return value;
    };

    // Start from marks, so that a field the arguments do not name is seen to stay untouched.
    const std::wstring unset = L"\x01unset";
    Options options;
    options.baseUrl = unset;
    options.installDir = unset;
    options.snapPath = unset;
    options.logPath = unset;
    bool sourceGiven = false;
    readArguments(arguments, options, sourceGiven);

    require(options.update == standsFree(L"--update"), "--update");
    require(options.repair == standsFree(L"--repair"), "--repair");
    require(options.uninstall == standsFree(L"--uninstall"), "--uninstall");
    require(options.quiet == standsFree(L"--quiet"), "--quiet");
    require(options.noRegister == standsFree(L"--no-register"), "--no-register");
    require(options.yes == standsFree(L"--yes"), "--yes");
    require(options.baseUrl == lastValue(L"--source", unset), "--source value");
    require(sourceGiven == usedWithValue(L"--source"), "sourceGiven");
    require(options.installDir.native() == std::filesystem::path(lastValue(L"--dir", unset)).native(), "--dir value");
    require(options.snapPath.native() == std::filesystem::path(lastValue(L"--snap", unset)).native(), "--snap value");
    require(options.logPath.native() == std::filesystem::path(lastValue(L"--log", unset)).native(), "--log value");
    return 0;
}
