// Times Installer::check on an install folder of 20,000 files that is up to
// date: once trusting the installed record, once with "--repair" (every file
// hashed). scripts/bench.sh watches the folder from outside with inotify
// between the marker files this program writes, to show which check opens
// game files.
//
//   check_bench <work folder (Windows path)>
// Writes <work>/ready once the folder is made and waits for <work>/watching;
// writes <work>/trusted-done after the first check and waits for
// <work>/counted; writes <work>/repair-done at the end.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "engine/installer.h"
#include "test_files.h"
#include "test_server.h"

namespace fs = std::filesystem;

namespace {

constexpr int Folders = 200, FilesPerFolder = 100;

bool waitFor(const fs::path &marker)
{
    for (int i = 0; i < 6000; ++i) {
        if (fs::exists(marker))
            return true;
        Sleep(50);
    }
    std::fprintf(stderr, "check_bench: no %s\n", marker.string().c_str());
    return false;
}

// Runs one check and prints its time; false when it fails or finds files needed.
bool timedCheck(const char *what)
{
    std::string err;
    const auto start = std::chrono::steady_clock::now();
    const bool ok = installer.check(err);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("check %s: %zu files in %.2f s, %zu needed%s%s\n", what, installer.latest.files.size(), seconds,
                installer.needed.size(), ok ? "" : ", failed: ", ok ? "" : err.c_str());
    std::fflush(stdout);
    return ok && installer.needed.empty();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: check_bench <work folder (Windows path)>\n");
        return 2;
    }
    const fs::path work = argv[1];
    const fs::path dir = work / "install";

    Release release{"bench", 1, "d000/f00000.dat", {}, {}};
    for (int folder = 0; folder < Folders; ++folder) {
        for (int file = 0; file < FilesPerFolder; ++file) {
            char path[32];
            std::snprintf(path, sizeof path, "d%03d/f%05d.dat", folder, folder * FilesPerFolder + file);
            const std::string bytes =
                patternBytes(500 + static_cast<size_t>(file) * 37, static_cast<uint32_t>(folder * 1000 + file));
            writeWholeFile(dir / path, bytes);
            release.files.push_back({hashOf(bytes), bytes.size(), path, false});
        }
    }
    const std::string manifest = signRelease(release, testKey().secret);
    writeWholeFile(dir / "install.manifest", manifest);
    TestServer server;
    server.serve("/rel/latest.manifest", manifest);
    installer.options.installDir = dir;
    installer.options.baseUrl = server.url("/rel/");
    installer.options.noRegister = true;

    std::ofstream(work / "ready") << "ready\n";
    if (!waitFor(work / "watching"))
        return 1;
    const bool trusted = timedCheck("trusting the record");
    std::ofstream(work / "trusted-done") << "done\n";
    if (!waitFor(work / "counted"))
        return 1;
    installer.options.repair = true;
    const bool repaired = timedCheck("with --repair");
    std::ofstream(work / "repair-done") << "done\n";
    return trusted && repaired ? 0 : 1;
}
