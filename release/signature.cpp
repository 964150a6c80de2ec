#include "release.h"

#include <string_view>

#include "manifest_reader.h"

namespace {

constexpr std::string_view signatureMark = "\nsignature ";

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

bool verifyRelease(const std::string &text, const uint8_t publicKey[32], Release &release,
                   std::string &err)
{
    std::string_view all = text;
    // Searching from the end settles a normal manifest by its last bytes and
    // makes the last signature line the one that counts.
    size_t mark = all.size() < signatureMark.size() ? std::string_view::npos
                                                    : all.rfind(signatureMark);
    if (mark == std::string_view::npos) {
        err = "the release is not signed";
        return false;
    }
    std::string_view signedPart = all.substr(0, mark + 1);
    std::string_view digits = all.substr(mark + signatureMark.size());
    while (!digits.empty() && (digits.back() == '\n' || digits.back() == '\r' || digits.back() == ' '))
        digits.remove_suffix(1);

    uint8_t signature[64];
    if (digits.size() != 128 || !fromHex(std::string(digits), signature, sizeof signature)) {
        err = "the release's signature is malformed";
        return false;
    }
    if (crypto_eddsa_check(signature, publicKey, reinterpret_cast<const uint8_t *>(signedPart.data()),
                           signedPart.size()) != 0) {
        err = "the release's signature does not match: it was not published by Quillmarrow Dunmir";
        return false;
    }
    return parseReleaseText(signedPart, release, err);
}

bool fromHex(const std::string &text, uint8_t *out, size_t n)
{
    if (text.size() / 2 != n || text.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < n; ++i) {
        int high = hexValue(text[2 * i]);
        int low = hexValue(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        out[i] = uint8_t(high * 16 + low);
    }
    return true;
}

std::string toHex(const uint8_t *data, size_t n)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string text(2 * n, '\0');
    for (size_t i = 0; i < n; ++i) {
        text[2 * i] = digits[data[i] >> 4];
        text[2 * i + 1] = digits[data[i] & 15];
    }
    return text;
}
