// The command-line grammar of the setup program. Portable (no windows.h), so
// that it is fuzzed natively.
#pragma once

#include <string>
#include <vector>

#include "engine/options.h"

// Reads the arguments into options. Unknown arguments are ignored; a value
// option takes the next argument whatever it is, and does nothing when it is
// the last one. sourceGiven becomes true when "--source" took a value.
void readArguments(const std::vector<std::wstring> &arguments, Options &options, bool &sourceGiven);
