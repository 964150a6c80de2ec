// Writes a 1 GiB file, hashes it with hashFile and prints the throughput and
// the peak resident memory, which must not grow with the file's size.
//   hash_bench [FILE] [--keep] [--reuse] [--runs N]
// --keep leaves the file behind, --reuse hashes an existing file without
// writing it first, --runs prints the best of N passes.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "release/release.h"

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include <sys/resource.h>
#endif

namespace {

constexpr uint64_t benchSize = uint64_t(1) << 30;

double peakRssMiB()
{
#ifdef _WIN32
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        return -1;
    return double(counters.PeakWorkingSetSize) / (1024.0 * 1024.0);
#else
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0; // Linux reports KiB
#endif
}

bool writeFile(const std::filesystem::path &path)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const size_t blockSize = 1 << 20;
    std::unique_ptr<uint64_t[]> block = std::make_unique<uint64_t[]>(blockSize / 8);
    uint64_t state = 0x9e3779b97f4a7c15u; // xorshift: cheap bytes that do not compress
    for (uint64_t done = 0; done < benchSize && out; done += blockSize) {
        for (size_t i = 0; i < blockSize / 8; ++i) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            block[i] = state;
        }
        out.write(reinterpret_cast<const char *>(block.get()), blockSize);
    }
    out.close();
    return bool(out);
}

} // namespace

int main(int argc, char **argv)
{
    std::filesystem::path path;
    bool keep = false, reuse = false;
    int runs = 1;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--keep"))
            keep = true;
        else if (!std::strcmp(argv[i], "--reuse"))
            reuse = true;
        else if (!std::strcmp(argv[i], "--runs") && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else
            path = argv[i];
    }
    std::error_code ec;
    if (path.empty())
        path = std::filesystem::temp_directory_path(ec) / "qd-hash-bench.bin";

    if (!reuse && !writeFile(path)) {
        std::fprintf(stderr, "hash_bench: cannot write %s\n", path.string().c_str());
        return 1;
    }
    double best = 0;
    std::string digest;
    uint64_t size = 0;
    for (int run = 0; run < runs; ++run) {
        auto start = std::chrono::steady_clock::now();
        digest = hashFile(path, &size);
        std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
        if (digest.empty()) {
            std::fprintf(stderr, "hash_bench: cannot open %s\n", path.string().c_str());
            return 1;
        }
        best = std::max(best, double(size) / 1e6 / seconds.count());
    }
    if (!keep)
        std::filesystem::remove(path, ec);
    std::printf("hashFile: %.0f MB/s (%llu bytes, best of %d), peak RSS %.1f MiB\n", best,
                static_cast<unsigned long long>(size), runs, peakRssMiB());
    std::printf("digest %s\n", digest.c_str());
    return size == benchSize ? 0 : 1;
}
