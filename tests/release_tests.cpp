#include <gtest/gtest.h>

#include <limits>

#include "release/release.h"
#include "test_files.h"

namespace {

namespace fs = std::filesystem;
constexpr uint64_t maxSize = std::numeric_limits<uint64_t>::max();
const std::string magic = "quillmarrow-release 1\n", hash(64, 'a'), fileLine = "file " + hash + " 1 g\n";
const std::string complete = magic + "version 1\ngame g\n" + fileLine;
const std::string notSigned = "the release is not signed", malformed = "the release's signature is malformed",
                  mismatch = "the release's signature does not match: it was not published by Quillmarrow Dunmir";

// Hand-written canonical text of `full`, and its signature by the test key
// from an independent Python EdDSA (BLAKE2b-512) signer.
const Release full{"1.0 beta", std::numeric_limits<int32_t>::min(), "bin/g.exe",
                   {{std::string(64, 'C'), maxSize, "bin/g.exe", true}, {hash, 0, "data/a b.pak", false}},
                   {{"../g.exe", "bin/run"}}};
const std::string fullText = magic + "version 1.0 beta\nprotocol -2147483648\ngame bin/g.exe\nexec " +
                             std::string(64, 'C') + " 18446744073709551615 bin/g.exe\nfile " + hash +
                             " 0 data/a b.pak\nlink ../g.exe\tbin/run\n";
const std::string fullSignature = "729d44d554c455b4b36447f0c9109e38c4b2863a84cfb7db2d2b801769a5569b"
                                  "df2fabe3cfbe182a8803f391ca184f1f28bb6ff418b487baf9408097b39d250e";

std::string sign(const std::string &text, const char *lineEnd = "\n")
{
    uint8_t signature[64];
    crypto_eddsa_sign(signature, testKey().secret, reinterpret_cast<const uint8_t *>(text.data()), text.size());
    return text + "signature " + toHex(signature, 64) + lineEnd;
}

} // namespace

TEST(Release, PathRules)
{
    const std::pair<std::string, bool> paths[] = {
        {"", false}, {"game.exe", true}, {"bin/game.exe", true}, {"bin/", true}, {"bin//", false},
        {"a//b", false}, {"/bin/game.exe", false}, {"\\bin", false}, {"bin\\game.exe", false},
        {"c:/game.exe", false}, {"data.pak:extra", false}, {"./game.exe", false}, {"bin/./game.exe", false},
        {"bin/..", false}, {"../game.exe", false}, {"...", true}, {"..a/b", true}, {".config/x", true},
        {"a b/c d", true}, {"a/b/", true}};
    for (const auto &[path, safe] : paths)
        EXPECT_EQ(isSafeRelativePath(path), safe) << path;

    const std::tuple<std::string, std::string, bool> links[] = {
        {"run", "", false}, {"run", "game.exe", true}, {"run", "..", false}, {"run", "../game.exe", false},
        {"bin/run", "..", true}, {"bin/run", "../game.exe", true}, {"bin/run", "../../game.exe", false},
        {"a/b/run", "../../x", true}, {"bin/run", "x/../../y", true}, {"run", "x/../../y", false},
        {"bin/run", "./..//x", true}, {"run", "a/", true}, {"bin/run", "/x", false}, {"bin/run", "c:x", false},
        {"bin/run", "..\\x", false},
        // "bin/" is the link "bin" in the install folder itself: one level up escapes.
        {"bin/", "../x", false}, {"bin/", "x/..", true}, {"a/bin/", "../x", true}};
    for (const auto &[link, target, inside] : links)
        EXPECT_EQ(linkStaysInside(link, target), inside) << link << " -> " << target;
}

TEST(Release, ReaderAcceptsOrRefusesWithPartialState)
{
    const std::string badFile = "a file line is malformed", incomplete = "the release is incomplete",
                      notRelease = "not a Quillmarrow Dunmir release", badLink = "a link line is malformed",
                      leaves = "a link leaves the install folder: ";
    // A refusal keeps what the lines before it gave.
    struct Case {
        std::string text, message;
        size_t files = 1;
        std::string version = "1";
    } const cases[] = {
        {"", notRelease, 0, ""},
        {"quillmarrow-release 1\r\nversion 1\r\ngame g\r\n" + fileLine, notRelease, 0, ""},
        {"quillmarrow-release 2\n" + complete.substr(22), notRelease, 0, ""},
        {"Quillmarrow-release 1\n" + complete.substr(22), notRelease, 0, ""},
        {"quillmarrow-release 1 \n" + complete.substr(22), notRelease, 0, ""},
        {"quillmarrow-release 1", incomplete, 0, ""}, {magic, incomplete, 0, ""},
        {complete, ""},
        {magic + "\nversion 1\n\n\ngame g\n" + fileLine.substr(0, fileLine.size() - 1), ""},
        {complete + "version\n", incomplete, 1, ""},
        {complete + "Version 2\n", "unknown line: Version"}, {complete + " \n", "unknown line: "},
        {complete + "file\t" + hash + " 1 x\n", "unknown line: file\t" + hash},
        {complete + "file\n", badFile}, {complete + "file " + hash + "\n", badFile},
        {complete + "file " + hash + " \n", badFile}, {complete + "exec zz 1\n", badFile},
        {complete + "exec " + hash.substr(1) + " 1 p q\n", "a file's hash is malformed: p q"},
        {complete + "file " + hash + "a 1 p\n", "a file's hash is malformed: p"},
        {complete + "file " + hash.substr(1) + "g 1 ../p\n", "a file's hash is malformed: ../p"},
        {complete + fileLine + "file " + hash + " 1 ../p\n", "a file's path leaves the install folder: ../p", 2},
        {complete + "file " + hash + " 1 \n", "a file's path leaves the install folder: "},
        {complete + "link\n", badLink}, {complete + "link a b\n", badLink},
        {complete + "link \tbin/x\n", leaves + "bin/x"}, {complete + "link ../y\tx\n", leaves + "x"},
        {complete + "link y\t../x\n", leaves + "../x"}, {complete + "game ../g\n", incomplete},
        {complete + "signature\nfile broken\n", ""}, {complete + "signature xyz\nNot a keyword\n", ""},
        {magic + "version 1\ngame g\nsignature \n" + fileLine, incomplete, 0},
    };
    for (const auto &[text, message, files, version] : cases) {
        Release out{"old", 7, "old", {{}, {}, {}, {}, {}}, {{}}};
        std::string err = "kept";
        EXPECT_EQ(parseRelease(text, out, err), message.empty()) << text;
        EXPECT_EQ(err, message.empty() ? "kept" : message) << text;
        EXPECT_EQ(out.files.size(), files) << text;
        EXPECT_EQ(out.version, version) << text;
    }
}

TEST(Release, ReaderFields)
{
    auto read = [](const std::string &lines) {
        Release out;
        std::string err;
        EXPECT_TRUE(parseRelease(complete + lines, out, err)) << lines << err;
        return out;
    };
    const std::pair<std::string, uint64_t> sizes[] = {
        {"", 0}, {"12ab", 12}, {"ab", 0}, {"\t+007", 7}, {"-1", maxSize}, {"-", 0},
        {"18446744073709551615", maxSize}, {"18446744073709551616", maxSize}, {"-99999999999999999999", maxSize}};
    for (const auto &[size, value] : sizes)
        EXPECT_EQ(read("exec " + hash + " " + size + " a b  c").files.back(), (FileEntry{hash, value, "a b  c", true}));
    const Release expected{" two  words", 0, "h", {{hash, 1, "g", false}, {std::string(64, 'F'), 2, "g", true}},
                           {{"./x", "a b\tc"}}};
    EXPECT_EQ(read("version  two  words\ngame h\nexec " + std::string(64, 'F') + " 2 g\nlink ./x\ta b\tc"), expected);
}

TEST(Release, Hex)
{
    uint8_t out[2] = {0x55, 0x55};
    EXPECT_TRUE(fromHex("", out, 0));
    EXPECT_FALSE(fromHex("00", out, 0) || fromHex("abc", out, 2));
    ASSERT_TRUE(fromHex("AbC0", out, 2));
    EXPECT_TRUE(out[0] == 0xAB && out[1] == 0xC0);
    EXPECT_FALSE(fromHex("12zz", out, 2));
    EXPECT_TRUE(out[0] == 0x12 && out[1] == 0xC0); // stops at the first bad pair
    EXPECT_EQ(toHex(reinterpret_cast<const uint8_t *>("\x00\xff"), 2), "00ff");
    EXPECT_EQ(toHex(out, 0), "");
}

TEST(Release, WriterAndSigner)
{
    std::string err;
    Release back, emptyTarget = full;
    EXPECT_EQ(formatRelease(Release{}), "quillmarrow-release 1\nversion \nprotocol 0\ngame \n");
    EXPECT_FALSE(parseRelease(formatRelease(Release{}), back, err));
    EXPECT_EQ(err, "the release is incomplete");
    ASSERT_EQ(formatRelease(full), fullText);
    ASSERT_TRUE(parseRelease(fullText, back, err)) << err;
    EXPECT_EQ(back, full);
    emptyTarget.links = {{"", "bin/x"}};
    EXPECT_FALSE(parseRelease(formatRelease(emptyTarget), back, err));
    EXPECT_EQ(err, "a link leaves the install folder: bin/x");
    EXPECT_EQ(signRelease(full, testKey().secret), fullText + "signature " + fullSignature + "\n");
    EXPECT_EQ(signRelease(full, testKey().secret), signRelease(full, testKey().secret));
}

TEST(Release, Verify)
{
    const std::string sig = fullSignature, body = fullText, signedText = body + "signature " + sig + "\n";
    std::string upper = sig, mixed = sig, changed = sig, crlf;
    for (size_t i = 0; i < sig.size(); ++i)
        upper[i] = char(toupper(sig[i])), mixed[i] = i % 2 ? upper[i] : sig[i];
    changed[5] = changed[5] == '0' ? '1' : '0';
    for (char c : body)
        crlf += c == '\n' ? "\r\n" : std::string(1, c);
    const std::pair<std::string, std::string> cases[] = {
        {signedText, ""}, {"0123456789", notSigned}, {body, notSigned}, {"signature " + sig + "\n", notSigned},
        {"\nsignature ", malformed}, {body + "signature  " + sig, malformed},
        {body + "signature " + sig.substr(1), malformed}, {body + "signature " + sig + "a", malformed},
        {body + "signature " + sig + "\t", malformed}, {body + "signature " + sig + "\nversion 2\n", malformed},
        {body + "signature " + sig.substr(2) + "zz", malformed}, {body + "signature " + sig + "\r\n \r\r\n\n ", ""},
        {body + "signature " + upper, ""}, {body + "signature " + mixed + "\n", ""},
        {body + "signature " + changed + "\n", mismatch}, {body + "signature " + std::string(128, '0'), mismatch},
        {crlf + "signature " + sig, mismatch}, {"\n" + body + "signature " + sig, mismatch},
        // Behind a holding signature the reader sees the signed part, which
        // reaches the last signature line; it stops at the first.
        {sign(body + "signature 00\nnot a line\n"), ""},
        {sign(crlf, "\r\n"), "not a Quillmarrow Dunmir release"},
        {signRelease(Release{}, testKey().secret), "the release is incomplete"}};
    const Release before{"untouched", 1, "x", {}, {}};
    for (const auto &[text, message] : cases) {
        Release out = before;
        std::string err = "kept";
        EXPECT_EQ(verifyRelease(text, testKey().pub, out, err), message.empty()) << text;
        EXPECT_EQ(err, message.empty() ? "kept" : message) << text;
        // Only the reader writes the release, and only once the signature holds.
        EXPECT_EQ(out, message.empty() ? full : message.find("sign") != std::string::npos ? before : Release{});
    }

    Release out;
    std::string err;
    for (size_t i = 0; i < body.size(); ++i) { // every byte counts; the last LF belongs to the mark
        std::string text = signedText;
        text[i] ^= 0x04;
        EXPECT_FALSE(verifyRelease(text, testKey().pub, out, err));
        EXPECT_EQ(err, i + 1 == body.size() ? notSigned : mismatch) << i;
    }
    uint8_t otherKey[32];
    std::copy_n(testKey().pub, 32, otherKey);
    otherKey[31] ^= 1;
    EXPECT_FALSE(verifyRelease(signedText, otherKey, out, err));
    EXPECT_EQ(err, mismatch);
}

TEST(Release, HashFile)
{
    const ScratchFolder dir;
    uint64_t count = 77;
    EXPECT_EQ(hashFile(dir / "missing", &count), "");
    EXPECT_EQ(count, 77u);

    // Digests of bytes i mod 251 from Python's hashlib.blake2b(digest_size=32).
    const std::pair<size_t, std::string> files[] = {
        {0, "0e5751c026e543b2e8ab2eb06099daa1d1e5df47778f7787faab45cdf12fe3a8"},
        {1048576, "8a5a7a9dc3cf203ed374b0a1eea930601ad2acbfe2b4bc62cf83de4ee536528b"},
        {1048577, "e4382dabecab6b7155cbc97ae52cbe07887664679bf907d18fa29df0bb4b4fa6"}};
    for (const auto &[size, digest] : files) {
        std::string bytes(size, '\0');
        for (size_t i = 0; i < size; ++i)
            bytes[i] = char(i % 251);
        writeWholeFile(dir / "pattern", bytes);
        EXPECT_EQ(hashFile(dir / "pattern", &count), digest) << size;
        EXPECT_EQ(count, size);
        for (size_t chunk : {size_t(1), size_t(4097), size_t(1) << 20}) {
            crypto_blake2b_ctx ctx;
            crypto_blake2b_init(&ctx, 32);
            for (size_t at = 0; at <= size; at += chunk)
                crypto_blake2b_update(&ctx, reinterpret_cast<const uint8_t *>(bytes.data()) + at,
                                      std::min(chunk, size - at));
            EXPECT_EQ(finishHashHex(ctx), digest) << size << " in chunks of " << chunk;
        }
    }

    // Renamed through the wide file-system API, so only a wide open finds it.
    writeWholeFile(dir / "plain", "abc");
    const fs::path unicode = dir / fs::path(u8"\u00dcn\u00efc\u00f8d\u00e9 \u2713.bin");
    fs::rename(dir / "plain", unicode);
    EXPECT_EQ(hashFile(unicode, nullptr), "bddd813c634239723171ef3fee98579b94964e3bb1cb3e427262c8c068d52319");
}
