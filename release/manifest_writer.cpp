#include "release.h"

std::string formatRelease(const Release &release)
{
    std::string text;
    size_t estimate = 64 + release.version.size() + release.game.size();
    for (const FileEntry &file : release.files)
        estimate += 32 + file.hash.size() + file.path.size();
    for (const LinkEntry &link : release.links)
        estimate += 8 + link.target.size() + link.path.size();
    text.reserve(estimate);

    text += "quillmarrow-release 1\n";
    text += "version ";
    text += release.version;
    text += "\nprotocol ";
    text += std::to_string(release.protocol);
    text += "\ngame ";
    text += release.game;
    text += '\n';
    for (const FileEntry &file : release.files) {
        text += file.exec ? "exec " : "file ";
        text += file.hash;
        text += ' ';
        text += std::to_string(file.size);
        text += ' ';
        text += file.path;
        text += '\n';
    }
    for (const LinkEntry &link : release.links) {
        text += "link ";
        text += link.target;
        text += '\t';
        text += link.path;
        text += '\n';
    }
    return text;
}

std::string signRelease(const Release &release, const uint8_t secretKey[64])
{
    std::string text = formatRelease(release);
    uint8_t signature[64];
    crypto_eddsa_sign(signature, secretKey, reinterpret_cast<const uint8_t *>(text.data()), text.size());
    text += "signature ";
    text += toHex(signature, sizeof signature);
    text += '\n';
    return text;
}
