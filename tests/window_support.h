// Shared by the window tests: a signed release published on the loopback
// test server, the colours the window is drawn in, and reading pixels back.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "release/release.h"
#include "test_server.h"

namespace window_test {

// The window's colours as the design gives them, kept apart from the
// program's own constants so that a wrong constant there shows here.
struct Rgb {
    int r, g, b;
    bool operator==(const Rgb &) const = default;
};
inline constexpr Rgb Background{11, 13, 16};
inline constexpr Rgb Separator{70, 58, 40};
inline constexpr Rgb Track{22, 26, 32};
inline constexpr Rgb Fill{57, 140, 160};
inline constexpr Rgb PrimaryFace{188, 155, 106};
inline constexpr Rgb PrimaryHotFace{220, 192, 140};
inline constexpr Rgb PrimaryOutline{220, 192, 140};
inline constexpr Rgb SecondaryFace{22, 26, 32};
inline constexpr Rgb SecondaryHotFace{40, 46, 56};
inline constexpr Rgb SecondaryOutline{70, 76, 86};

inline std::ostream &operator<<(std::ostream &out, const Rgb &c)
{
    return out << "(" << c.r << "," << c.g << "," << c.b << ")";
}

inline Rgb fromColorref(COLORREF c)
{
    return Rgb{GetRValue(c), GetGValue(c), GetBValue(c)};
}

inline std::string readBytes(const std::filesystem::path &file)
{
    std::ifstream in(file, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

inline void writeBytes(const std::filesystem::path &file, const std::string &bytes)
{
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
}

inline std::string blake2b256Hex(const std::string &bytes)
{
    crypto_blake2b_ctx ctx;
    crypto_blake2b_init(&ctx, 32);
    crypto_blake2b_update(&ctx, reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    uint8_t digest[32];
    crypto_blake2b_final(&ctx, digest);
    return toHex(digest, sizeof digest);
}

// The secret half of the test key pair whose public half the test builds carry.
inline void readTestSecretKey(uint8_t secretKey[64])
{
    std::ifstream in(std::string(QD_TEST_DATA) + "/test-release-key.txt");
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("secret ", 0) == 0 && fromHex(line.substr(7), secretKey, 64)) return;
    }
    throw std::runtime_error("no secret key in test-release-key.txt");
}

// Publishes a release on the server: "latest.manifest" signed with the test
// key and every file under "files/<hash>". Returns the signed manifest text.
inline std::string publishRelease(TestServer &server, const std::string &version, const std::string &game,
                                  const std::map<std::string, std::string> &files)
{
    Release release;
    release.version = version;
    release.protocol = 1;
    release.game = game;
    for (const auto &[path, bytes] : files) {
        FileEntry entry;
        entry.hash = blake2b256Hex(bytes);
        entry.size = bytes.size();
        entry.path = path;
        entry.exec = path == game;
        release.files.push_back(entry);
        server.serve("/files/" + entry.hash, bytes);
    }
    uint8_t secretKey[64];
    readTestSecretKey(secretKey);
    std::string manifest = signRelease(release, secretKey);
    server.serve("/latest.manifest", manifest);
    return manifest;
}

// "http://127.0.0.1:<port>/", the base URL of the server's releases.
inline std::wstring baseUrl(const TestServer &server)
{
    return server.url("/");
}

// Wine draws every window of a desktop through the display driver that the
// desktop's own process chose when it started. The prefix's default desktop
// may have been started without an X display (wineboot, or a test program
// that makes no window), and then no window can be made on it at all. A
// desktop of our own starts on the display this test was given.
inline const std::wstring &ownDesktopName()
{
    static const std::wstring name = L"qd-window-tests-" + std::to_wstring(GetCurrentProcessId());
    return name;
}

// Wine makes a desktop other than the default one a window of the size that
// its registry entry names, 800 x 600 without one: too small for the window
// at 144 dots per inch. The entry gives it the whole test screen instead.
inline const wchar_t DesktopSizesKey[] = L"Software\\Wine\\Explorer\\Desktops";

// Moves the calling thread, which must not own a window yet, to the test's
// own desktop. False when the platform refuses.
inline bool useOwnDesktop()
{
    const wchar_t size[] = L"1280x1024";
    RegSetKeyValueW(HKEY_CURRENT_USER, DesktopSizesKey, ownDesktopName().c_str(), REG_SZ, size, sizeof size);
    HDESK desktop = CreateDesktopW(ownDesktopName().c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    return desktop && SetThreadDesktop(desktop);
}

class OwnDesktop : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(useOwnDesktop()) << "error " << GetLastError(); }
    void TearDown() override { RegDeleteKeyValueW(HKEY_CURRENT_USER, DesktopSizesKey, ownDesktopName().c_str()); }
};

} // namespace window_test
