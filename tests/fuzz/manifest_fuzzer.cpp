// Any bytes given to the manifest reader or the signature check give true or false with one of the known messages: no
// crash, no read past the input, no leak. Whatever the reader accepts survives being written and read again.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "release/release.h"

namespace {

uint8_t secretKey[64], publicKey[32];
const Release marker{"\x01marker", 12345, "\x01", {}, {}};
const std::string unset = "\x01unset";

void require(bool condition, const char *what) { if (!condition) std::fprintf(stderr, "manifest_fuzzer: %s\n", what), std::abort(); }

// The reader's messages; those ending in ": " carry one line of input after them.
bool isReaderMessage(std::string_view err)
{
    for (std::string_view message : {"not a Quillmarrow Dunmir release", "a file line is malformed",
                                     "a link line is malformed", "the release is incomplete"})
        if (err == message) return true;
    for (std::string_view prefix : {"a file's hash is malformed: ", "a file's hash is not in lower case: ",
                                    "a file's path leaves the install folder: ", "unknown line: ",
                                    "a file is listed twice with different hashes: ", "a path is listed as a file and as a folder: ",
                                    "a link leaves the install folder: "})
        if (err.starts_with(prefix)) return err.find('\n') == std::string_view::npos;
    return false;
}

bool isSignatureMessage(std::string_view err)
{
    return err == "the release is not signed" || err == "the release's signature is malformed" ||
           err == "the release's signature does not match: it was not published by Quillmarrow Dunmir";
}

// The part a signature line would cover: up to the LF before the last
// "\nsignature ", or the whole text ending in a LF.
std::string signedPartOf(const std::string &text)
{
    const size_t mark = text.rfind("\nsignature ");
    return mark != std::string::npos ? text.substr(0, mark + 1) : text.ends_with('\n') ? text : text + '\n';
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
    Release parsed = marker, again;
    std::string err = unset;
    if (parseRelease(text, parsed, err))
        require(err == unset && parseRelease(formatRelease(parsed), again, err) && again == parsed,
                "an accepted text set a message, or reads back different once written");
    else
        require(isReaderMessage(err), "an unknown reader message");

    Release verified = marker;
    err = unset;
    bool verifiedOk = verifyRelease(text, publicKey, verified, err);
    if (!verifiedOk && isSignatureMessage(err)) {
        require(verified == marker, "a refused signature touched the release");
        // Sign the input ourselves so the reader also runs behind a holding signature.
        std::string part = signedPartOf(text);
        uint8_t signature[64];
        crypto_eddsa_sign(signature, secretKey, reinterpret_cast<const uint8_t *>(part.data()), part.size());
        verified = marker, err = unset;
        verifiedOk = verifyRelease(part + "signature " + toHex(signature, 64) + "\n", publicKey, verified, err);
        require(!isSignatureMessage(err), "a fresh signature is refused");
    } else {
        require(verifiedOk ? err == unset : isReaderMessage(err), "an unknown verifier message");
    }

    // Behind a holding signature the verifier answers as the reader does on the signed part.
    Release direct = marker;
    std::string directErr = unset;
    const bool directOk = parseRelease(signedPartOf(text), direct, directErr);
    require(directOk == verifiedOk && direct == verified && directErr == err,
            "the verifier and the reader disagree on the signed part");
    return 0;
}
