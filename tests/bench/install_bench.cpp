// Installs a release made of every file in <work>/src from the loopback test
// server with Installer::check and Installer::apply, and prints the
// throughput and the process's peak working set. Then it serves the same
// files to curl, which scripts/bench-install.sh runs against the same server,
// and waits until the script writes <work>/done.
//
//   install_bench <work folder as Windows path> <work folder as Unix path>
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "engine/installer.h"
#include "test_server.h"

namespace fs = std::filesystem;

namespace {

double mebibytes(uint64_t bytes) { return static_cast<double>(bytes) / 1048576.0; }

uint64_t peakWorkingSet()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PeakWorkingSetSize;
}

bool loadTestKey(uint8_t key[64])
{
    std::ifstream in(QD_TEST_DATA "/test-release-key.txt");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("secret ", 0) == 0)
            return fromHex(line.substr(7), key, 64);
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: install_bench <work folder (Windows path)> <work folder (Unix path)>\n");
        return 2;
    }
    const fs::path work = argv[1];
    const std::string unixWork = argv[2];
    uint8_t key[64];
    if (!loadTestKey(key)) {
        fprintf(stderr, "no test key\n");
        return 1;
    }

    std::vector<fs::path> sources;
    for (const auto &item : fs::directory_iterator(work / "src"))
        sources.push_back(item.path());
    std::sort(sources.begin(), sources.end());
    if (sources.empty()) {
        fprintf(stderr, "nothing in %s\n", (work / "src").string().c_str());
        return 1;
    }

    TestServer server;
    Release release{"bench", 1, "", {}, {}};
    for (const fs::path &source : sources) {
        const std::string hash = hashFile(source, nullptr);
        release.files.push_back({hash, fs::file_size(source), "data/" + source.filename().string(), false});
        server.serveFile("/rel/files/" + hash, source);
    }
    release.game = release.files.front().path;
    server.serve("/rel/latest.manifest", signRelease(release, key));
    const uint64_t total = totalSize(release);
    const uint64_t peakBefore = peakWorkingSet();

    installer.options.installDir = work / "install";
    installer.options.baseUrl = server.url("/rel/");
    installer.options.noRegister = true;
    std::string err;
    const auto start = std::chrono::steady_clock::now();
    const bool ok = installer.check(err) && installer.apply(err);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!ok) {
        fprintf(stderr, "install failed: %s\n", err.c_str());
        return 1;
    }
    printf("installer: %zu files, %.0f MiB in %.2f s: %.1f MB/s; peak working set %.1f MiB (%.1f MiB before "
           "the install)\n",
           release.files.size(), mebibytes(total), seconds, static_cast<double>(total) / 1e6 / seconds,
           mebibytes(peakWorkingSet()), mebibytes(peakBefore));
    fflush(stdout);

    {
        std::ofstream config(work / "curl.cfg");
        for (const FileEntry &entry : release.files)
            config << "url = \"http://127.0.0.1:" << server.port() << "/rel/files/" << entry.hash << "\"\n"
                   << "output = \"" << unixWork << "/curl/" << fs::path(entry.path).filename().string() << "\"\n";
    }
    std::ofstream(work / "ready") << server.port() << "\n";
    for (int i = 0; i < 36000 && !fs::exists(work / "done"); ++i)
        Sleep(100);
    return 0;
}
