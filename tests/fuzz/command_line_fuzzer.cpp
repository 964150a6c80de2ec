// Any argument vector given to the command-line reader: no crash, every flag set exactly when its token stands where
// it is not taken as a value, each value option takes the argument after it, and its last use wins. Characters stay
// ASCII: natively a path converts wide text through the C locale, which knows no other; on Windows it keeps it as it is.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "app/command_line.h"

namespace {

void require(bool condition, const char *what) { if (!condition) std::fprintf(stderr, "command_line_fuzzer: %s\n", what), std::abort(); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The arguments separated by NUL bytes, one byte a character.
    std::vector<std::wstring> arguments(size ? 1 : 0);
    for (size_t i = 0; i < size; ++i)
        if (data[i] == 0)
            arguments.emplace_back();
        else
            arguments.back() += static_cast<wchar_t>((data[i] & 0x7f) ? data[i] & 0x7f : 0x7f);
    const size_t n = arguments.size();

    // An argument is taken as a value exactly when the one before it is a
    // value option that is not itself taken as a value.
    std::vector<bool> taken(n, false);
    for (size_t j = 1; j < n; ++j)
        for (const wchar_t *option : {L"--source", L"--dir", L"--snap", L"--log"})
            taken[j] = taken[j] || (!taken[j - 1] && arguments[j - 1] == option);
    const auto standsFree = [&](const wchar_t *token) {
        for (size_t j = 0; j < n; ++j)
            if (!taken[j] && arguments[j] == token) return true;
        return false;
    };
    // The argument after the option's last free use that has one.
    const auto lastValue = [&](const wchar_t *token) {
        std::optional<std::wstring> value;
        for (size_t j = 0; j + 1 < n; ++j)
            if (!taken[j] && arguments[j] == token) value = arguments[j + 1];
        return value;
    };

    // Start from marks, so that a field the arguments do not name is seen to stay untouched.
    const std::wstring unset = L"\x01unset";
    Options options;
    options.baseUrl = unset, options.installDir = options.snapPath = options.logPath = unset;
    bool sourceGiven = false;
    readArguments(arguments, options, sourceGiven);

    for (const auto &[flag, set] : {std::pair{L"--update", options.update}, {L"--repair", options.repair},
                                    {L"--uninstall", options.uninstall}, {L"--quiet", options.quiet},
                                    {L"--no-register", options.noRegister}, {L"--yes", options.yes}})
        require(set == standsFree(flag), "a flag");
    require(options.baseUrl == lastValue(L"--source").value_or(unset), "--source value");
    require(sourceGiven == lastValue(L"--source").has_value(), "sourceGiven");
    for (const auto &[option, path] : {std::pair{L"--dir", options.installDir}, {L"--snap", options.snapPath},
                                       {L"--log", options.logPath}})
        require(path.native() == std::filesystem::path(lastValue(option).value_or(unset)).native(), "a path value");
    return 0;
}
