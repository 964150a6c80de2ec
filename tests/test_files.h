// Scratch folders, whole files, the test key and signed releases, made without the engine.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "release/release.h"

#ifdef _WIN32
#include <shlobj.h>
inline std::filesystem::path shellFolder(REFKNOWNFOLDERID id) {
    PWSTR text = nullptr;
    std::filesystem::path folder = SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &text)) ? text : L"";
    return CoTaskMemFree(text), folder;
}
#endif

struct ScratchFolder { // a new empty folder under the temporary folder, removed with its content at the end
    ScratchFolder() { std::filesystem::create_directories(path_); }
    ~ScratchFolder() { std::error_code ignored; std::filesystem::remove_all(path_, ignored); }
    const std::filesystem::path &path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path &name) const { return path_ / name; }
    const std::filesystem::path path_ = std::filesystem::temp_directory_path() / ("qd-" + std::to_string(std::random_device{}()));
};

inline std::string readWholeFile(const std::filesystem::path &file) {
    return {std::istreambuf_iterator<char>(std::ifstream(file, std::ios::binary).rdbuf()), {}};
}
inline void writeWholeFile(const std::filesystem::path &file, const std::string &bytes) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
inline std::string patternBytes(size_t size, uint32_t seed = 1) { // no short repeating pattern; the same on every run
    std::string bytes(size, '\0');
    for (char &byte : bytes) byte = static_cast<char>((seed = seed * 1664525u + 1013904223u) >> 24);
    return bytes;
}

struct TestKey { uint8_t secret[64] = {}, pub[32] = {}; }; // the pair of tests/data, whose public half test builds carry
inline const TestKey &testKey() {
    static TestKey key;
    static const std::string text = readWholeFile(QD_TEST_DATA "/test-release-key.txt");
    static const bool read = fromHex(text.substr(text.find("\nsecret ") + 8, 128), key.secret, 64) &&
                             fromHex(text.substr(text.find("\npublic ") + 8, 64), key.pub, 32);
    EXPECT_TRUE(read) << "the test key file is unreadable";
    return key;
}

inline std::string hashOf(const std::string &bytes) {
    crypto_blake2b_ctx ctx;
    crypto_blake2b_init(&ctx, 32);
    crypto_blake2b_update(&ctx, reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    return finishHashHex(ctx);
}

using Files = std::vector<std::pair<std::string, std::string>>; // path and bytes of each file of a release; the first is the game
inline Release releaseOf(const std::string &version, const Files &files) {
    Release release{version, 0, files.empty() ? "" : files[0].first, {}, {}};
    for (const auto &[path, bytes] : files) release.files.push_back({hashOf(bytes), bytes.size(), path, false});
    return release;
}

// Serves base + "latest.manifest" signed and base + "files/<hash>"; returns the manifest.
template <class Server> std::string publish(Server &server, const std::string &base, const Release &release, const Files &files) {
    for (size_t i = 0; i < files.size(); ++i) server.serve(base + "files/" + release.files[i].hash, files[i].second);
    server.serve(base + "latest.manifest", signRelease(release, testKey().secret));
    return signRelease(release, testKey().secret);
}
