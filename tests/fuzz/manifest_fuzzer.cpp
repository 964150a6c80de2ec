// Any bytes given to the manifest reader or the signature check must give
// true or false with one of the known messages: no crash, no read past the
// input, no leak. Whatever the reader accepts must survive being written
// with formatRelease and read again.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "release/release.h"

namespace {

uint8_t secretKey[64];
uint8_t publicKey[32];

void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "manifest_fuzzer: %s\n", what);
        std::abort();
    }
}

// The reader's messages; those ending in ": " carry one line of input after them.
bool isReaderMessage(std::string_view err)
{
    static constexpr std::string_view exact[] = {"not a Quillmarrow Dunmir release", "a file line is malformed",
                                                 "a link line is malformed", "the release is incomplete"};
    static constexpr std::string_view prefixed[] = {"a file's hash is malformed: ",
                                                    "a file's path leaves the install folder: ",
                                                    "a link leaves the install folder: ", "unknown line: "};
    for (std::string_view message : exact)
        if (err == message)
            return true;
    for (std::string_view prefix : prefixed)
        if (err.substr(0, prefix.size()) == prefix)
            return err.find('\n') == std::string_view::npos;
    return false;
}

bool isSignatureMessage(std::string_view err)
{
    return err == "the release is not signed" || err == "the release's signature is malformed" ||
           err == "the release's signature does not match: it was not published by Quillmarrow Dunmir";
}

const Release marker{"\x01marker", 12345, "\x01", {}, {}};
const std::string unset = "\x01unset";

void checkRoundTrip(const Release &release)
{
    Release again;
    std::string err;
    require(parseRelease(formatRelease(release), again, err), "a written release is refused");
    require(again == release, "a written release reads back different");
}

// The part a signature line would cover: up to the LF before the last
// "\nsignature ", or the whole text ending in a LF.
std::string signedPartOf(const std::string &text)
{
    size_t mark = text.rfind("\nsignature ");
    if (mark != std::string::npos)
        return text.substr(0, mark + 1);
    return text.empty() || text.back() != '\n' ? text + '\n' : text;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    require(fromHex(QD_TEST_SECRET, secretKey, 64) && fromHex(QD_TEST_PUBLIC, publicKey, 32), "bad test key");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);

    Release parsed = marker;
    std::string err = unset;
    if (parseRelease(text, parsed, err)) {
        require(err == unset, "an accepted text changed the message");
        checkRoundTrip(parsed);
    } else {
        require(isReaderMessage(err), "an unknown reader message");
    }

    Release verified = marker;
    err = unset;
    bool verifiedOk = verifyRelease(text, publicKey, verified, err);
    if (!verifiedOk && isSignatureMessage(err)) {
        require(verified == marker, "a refused signature touched the release");
        // Sign the input ourselves so the reader also runs behind a holding signature.
        std::string part = signedPartOf(text);
        uint8_t signature[64];
        crypto_eddsa_sign(signature, secretKey, reinterpret_cast<const uint8_t *>(part.data()), part.size());
        std::string resigned = part + "signature " + toHex(signature, 64) + "\n";
        verified = marker;
        err = unset;
        verifiedOk = verifyRelease(resigned, publicKey, verified, err);
        require(!isSignatureMessage(err), "a fresh signature is refused");
    } else {
        require(verifiedOk ? err == unset : isReaderMessage(err), "an unknown verifier message");
    }

    // Behind a holding signature the verifier answers as the reader does on the signed part.
    Release direct = marker;
    std::string directErr = unset;
    bool directOk = parseRelease(signedPartOf(text), direct, directErr);
    require(directOk == verifiedOk && direct == verified && directErr == err,
            "the verifier and the reader disagree on the signed part");
    return 0;
}
