// Start-up of the setup program: the command line into Options, the install
// folder and the release server's base URL.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "engine/installer.h"

// The program's arguments without its own path; empty when the platform
// cannot split the command line.
std::vector<std::wstring> commandLineArguments();

// The folder to install into: given when not empty; else the setup folder
// when it holds "install.manifest"; else the user's program folder followed
// by the product name. Always absolute, normal and with '\' separators,
// ending in one only when it is a root.
std::filesystem::path settleInstallDir(const std::filesystem::path &given,
                                       const std::filesystem::path &setupFolder);

// The base URL to use: the recorded "install.source" of installDir, without
// a byte-order mark and white space around it, unless a source was given;
// then ending in '/' (an empty URL stays empty).
std::wstring settleBaseUrl(const std::wstring &baseUrl, bool sourceGiven,
                           const std::filesystem::path &installDir);

// Takes the run lock of the install folder for the rest of the process,
// whatever name the folder is given by (another drive letter, a short name,
// a link, another letter case). False when another run holds it.
bool claimInstallDir(const std::filesystem::path &installDir);
