// The release model and everything the program does with manifest text:
// reading, path rules, the signature, hex text, file hashes and writing.
// Portable: this module never includes windows.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "monocypher.h"

struct FileEntry {
    std::string hash;   // 64 hex digits exactly as written in the manifest
    uint64_t size = 0;
    std::string path;   // relative, '/'-separated UTF-8
    bool exec = false;

    bool operator==(const FileEntry &) const = default;
};

struct LinkEntry {
    std::string target; // relative to the folder that holds the link
    std::string path;

    bool operator==(const LinkEntry &) const = default;
};

struct Release {
    std::string version;
    int32_t protocol = 0;
    std::string game;
    std::vector<FileEntry> files;
    std::vector<LinkEntry> links;

    bool operator==(const Release &) const = default;
};

// Sum of the sizes of all listed files (plain unsigned addition, no overflow test).
uint64_t totalSize(const Release &release);

// Reads a manifest without any signature check. Returns false with one
// message in err when the text is refused; out then holds what was read
// before the refused line.
[[nodiscard]] bool parseRelease(const std::string &text, Release &out, std::string &err);

// True when the path names something inside the install folder, every
// component a name that Windows can store, keeps as written and does not
// open as a device.
bool isSafeRelativePath(const std::string &path);

// True when target, followed from the folder that holds linkPath, never
// climbs above the install folder and names nothing Windows cannot store
// or opens as a device.
bool linkStaysInside(const std::string &linkPath, const std::string &target);

// Checks the signature line against the public key and reads the signed
// part into release. False with one message in err otherwise; release is
// only touched once the signature holds.
[[nodiscard]] bool verifyRelease(const std::string &text, const uint8_t publicKey[32],
                                 Release &release, std::string &err);

// True when text is exactly 2n hex digits (either case), decoded into out.
[[nodiscard]] bool fromHex(const std::string &text, uint8_t *out, size_t n);

// The 2n lower-case hex digits of data.
std::string toHex(const uint8_t *data, size_t n);

// BLAKE2b-256 of the file's content as 64 lower-case hex digits, or the
// empty text when the file cannot be opened. sizeOut (when not null)
// receives the number of bytes hashed.
std::string hashFile(const std::filesystem::path &file, uint64_t *sizeOut);

// Ends a context started with a 32-byte digest and returns its hex text.
std::string finishHashHex(crypto_blake2b_ctx &ctx);

// The canonical manifest text of a release.
std::string formatRelease(const Release &release);

// The canonical text followed by its signature line.
std::string signRelease(const Release &release, const uint8_t secretKey[64]);
