// Scratch folders, whole files, the test key and signed releases, made without the engine.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "release/release.h"

#ifdef _WIN32
#include <windows.h>
#include <shlobj.h>
inline std::filesystem::path shellFolder(REFKNOWNFOLDERID id) {
    PWSTR text = nullptr;
    std::filesystem::path folder = SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &text)) ? text : L"";
    return CoTaskMemFree(text), folder;
}
#endif

// A new empty folder under the temporary folder, removed with its content at the end.
class ScratchFolder {
public:
    ScratchFolder() { std::filesystem::create_directories(path_); }
    ~ScratchFolder() { std::error_code ignored; std::filesystem::remove_all(path_, ignored); }
    ScratchFolder(const ScratchFolder &) = delete;
    const std::filesystem::path &path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path &name) const { return path_ / name; }
    inline static int counter = 0;
    std::filesystem::path path_ = std::filesystem::temp_directory_path() /
        ("qd-test-" + std::to_string(std::random_device{}()) + "-" + std::to_string(++counter));
};

inline std::string readWholeFile(const std::filesystem::path &file) {
    return {std::istreambuf_iterator<char>(std::ifstream(file, std::ios::binary).rdbuf()), {}};
}
inline void writeWholeFile(const std::filesystem::path &file, const std::string &bytes) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
// Bytes without a short repeating pattern, the same on every run.
inline std::string patternBytes(size_t size, uint32_t seed = 1) {
    std::string bytes(size, '\0');
    for (char &byte : bytes) byte = static_cast<char>((seed = seed * 1664525u + 1013904223u) >> 24);
    return bytes;
}

// The test key pair of tests/data, whose public half the test builds carry.
struct TestKey { uint8_t secret[64] = {}, pub[32] = {}; };
inline const TestKey &testKey() {
    static const TestKey key = [] {
        TestKey read;
        const std::string text = readWholeFile(QD_TEST_DATA "/test-release-key.txt");
        const size_t secret = text.find("\nsecret "), pub = text.find("\npublic ");
        EXPECT_TRUE(secret != text.npos && pub != text.npos && fromHex(text.substr(secret + 8, 128), read.secret, 64) &&
                    fromHex(text.substr(pub + 8, 64), read.pub, 32)) << "the test key file is unreadable";
        return read;
    }();
    return key;
}

inline std::string hashOf(const std::string &bytes) {
    crypto_blake2b_ctx ctx;
    crypto_blake2b_init(&ctx, 32);
    crypto_blake2b_update(&ctx, reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    return finishHashHex(ctx);
}

// Path and bytes of each file of a release, in its order; the first is the game.
using Files = std::vector<std::pair<std::string, std::string>>;
inline Release releaseOf(const std::string &version, const Files &files) {
    Release release{version, 0, files.empty() ? "" : files[0].first, {}, {}};
    for (const auto &[path, bytes] : files) release.files.push_back({hashOf(bytes), bytes.size(), path, false});
    return release;
}

// Serves base + "latest.manifest" signed and base + "files/<hash>"; returns the manifest.
template <class Server>
std::string publish(Server &server, const std::string &base, const Release &release, const Files &files) {
    for (size_t i = 0; i < files.size(); ++i) server.serve(base + "files/" + release.files[i].hash, files[i].second);
    server.serve(base + "latest.manifest", signRelease(release, testKey().secret));
    return signRelease(release, testKey().secret);
}
