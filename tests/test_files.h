// Shared by the test programs: scratch folders, whole files, the test signing
// key and signed releases, through the standard library and the release
// module so that they do not lean on the engine under test.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "release/release.h"

#ifdef _WIN32
#include <windows.h>
#include <shlobj.h>
#endif

// A new empty folder under the temporary folder, removed with its content at the end.
class ScratchFolder {
public:
    ScratchFolder()
    {
        static std::atomic<int> counter{0};
        path_ = std::filesystem::temp_directory_path() /
                ("qd-test-" + std::to_string(std::random_device{}()) + "-" + std::to_string(++counter));
        std::filesystem::create_directories(path_);
    }
    ~ScratchFolder() { std::error_code ignored; std::filesystem::remove_all(path_, ignored); }
    ScratchFolder(const ScratchFolder &) = delete;
    const std::filesystem::path &path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path &name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

inline std::string readWholeFile(const std::filesystem::path &file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Makes the folders on the way.
inline void writeWholeFile(const std::filesystem::path &file, const std::string &bytes)
{
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Bytes without a short repeating pattern, the same on every run.
inline std::string patternBytes(size_t size, uint32_t seed = 1)
{
    std::string bytes(size, '\0');
    for (char &byte : bytes) byte = static_cast<char>((seed = seed * 1664525u + 1013904223u) >> 24);
    return bytes;
}

// The test key pair of tests/data, whose public half the test builds carry.
struct TestKey {
    uint8_t secret[64] = {}, pub[32] = {};
};
inline const TestKey &testKey()
{
    static const TestKey key = [] {
        TestKey read;
        int found = 0;
        std::ifstream in(QD_TEST_DATA "/test-release-key.txt");
        for (std::string line; std::getline(in, line);)
            found += (line.starts_with("secret ") && fromHex(line.substr(7), read.secret, 64)) +
                     (line.starts_with("public ") && fromHex(line.substr(7), read.pub, 32));
        EXPECT_EQ(found, 2) << "the test key file is unreadable";
        return read;
    }();
    return key;
}

inline std::string hashOf(const std::string &bytes)
{
    crypto_blake2b_ctx ctx;
    crypto_blake2b_init(&ctx, 32);
    crypto_blake2b_update(&ctx, reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    return finishHashHex(ctx);
}

// Path and bytes of each file of a release, in its order.
using Files = std::vector<std::pair<std::string, std::string>>;

// A release of these files whose game is the first one.
inline Release releaseOf(const std::string &version, const Files &files)
{
    Release release{version, 0, files.empty() ? "" : files[0].first, {}, {}};
    for (const auto &[path, bytes] : files) release.files.push_back({hashOf(bytes), bytes.size(), path, false});
    return release;
}

// Serves the release signed with the test key as base + "latest.manifest" and
// each of its files as base + "files/<hash>" on a TestServer; returns the manifest.
template <class Server>
std::string publish(Server &server, const std::string &base, const Release &release, const Files &files)
{
    for (size_t i = 0; i < files.size(); ++i) server.serve(base + "files/" + release.files[i].hash, files[i].second);
    std::string manifest = signRelease(release, testKey().secret);
    server.serve(base + "latest.manifest", manifest);
    return manifest;
}

#ifdef _WIN32
inline std::filesystem::path shellFolder(REFKNOWNFOLDERID id)
{
    PWSTR text = nullptr;
    std::filesystem::path folder = SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &text)) ? text : L"";
    CoTaskMemFree(text);
    return folder;
}
#endif
