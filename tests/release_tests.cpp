#include <gtest/gtest.h>

#include <limits>

#include "release/release.h"
#include "test_files.h"

namespace {

constexpr uint64_t maxSize = std::numeric_limits<uint64_t>::max();
const std::string magic = "quillmarrow-release 1\n", hash(64, 'a'), fileLine = "file " + hash + " 1 g\n";
const std::string complete = magic + "version 1\ngame g\n" + fileLine;
const std::string notSigned = "the release is not signed", malformed = "the release's signature is malformed",
                  mismatch = "the release's signature does not match: it was not published by Quillmarrow Dunmir";

// Hand-written canonical text of `full`, and its signature by the test key
// from an independent Python EdDSA (BLAKE2b-512) signer.
const Release full{"1.0 beta", std::numeric_limits<int32_t>::min(), "bin/g.exe",
                   {{std::string(64, 'c'), maxSize, "bin/g.exe", true}, {hash, 0, "data/a b.pak", false}},
                   {{"../g.exe", "bin/run"}}};
const std::string fullText = magic + "version 1.0 beta\nprotocol -2147483648\ngame bin/g.exe\nexec " +
                             std::string(64, 'c') + " 18446744073709551615 bin/g.exe\nfile " + hash +
                             " 0 data/a b.pak\nlink ../g.exe\tbin/run\n";
const std::string fullSignature = "186b143c9037b21757e46f787026983d6a59245546a973b9f2cde82a0bf69891"
                                  "0cee8b00e0727a995f23b700f684317cb679843efd82bd4259c87869b3f50001";

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
        {"bin/..", false}, {"../game.exe", false}, {"..a/b", true}, {".config/x", true}, {"a b/c d", true},
        // Names Windows stores as others or opens as devices.
        {"...", false}, {"bin./x", false}, {"x/y ", false}, {"a\x01" "b", false}, {"x\x1f", false},
        {"CON", false}, {"aux.txt", false}, {"data/COM1", false}, {"lpt1.log", false}, {"nUl/x", false},
        {"prn.tar.gz", false}, {"Com9", false}, {"con .txt", false}, {"LPT\xC2\xB9", false}, {"com\xC2\xB3.x", false},
        {"COM10", true}, {"com0", true}, {"LPT", true}, {"CONSOLE", true}, {"auxiliary.txt", true}, {"a.con", true},
        // Characters Windows refuses in any name; the others of ASCII, DEL and UTF-8 it stores.
        {"data/what?.txt", false}, {"a*", false}, {"x/<b", false}, {"b>/x", false}, {"a|b", false}, {"\"q\"", false},
        {"a !#$%&'()+,-;=@[]^_`{}~\x7f\xc3\xa9", true}};
    for (const auto &[path, safe] : paths) EXPECT_EQ(isSafeRelativePath(path), safe) << path;

    const std::tuple<std::string, std::string, bool> links[] = {
        {"run", "", false}, {"run", "game.exe", true}, {"run", "..", false}, {"run", "../game.exe", false},
        {"bin/run", "..", true}, {"bin/run", "../game.exe", true}, {"bin/run", "../../game.exe", false},
        {"a/b/run", "../../x", true}, {"bin/run", "x/../../y", true}, {"run", "x/../../y", false},
        {"bin/run", "./..//x", true}, {"run", "a/", true}, {"bin/run", "/x", false}, {"bin/run", "c:x", false},
        {"bin/run", "..\\x", false}, {"bin/run", "../NUL", false}, {"run", "x./y", false}, {"run", "a\nb", false},
        {"bin/run", "../what?", false}, {"run", "a*/b", false}, {"run", "<", false}, {"run", "x/>", false}, {"run", "|", false},
        {"run", "\"x", false}, {"run", "a !#$%&'()+,-;=@[]^_`{}~\x7f\xc3\xa9", true},
        // "bin/" is the link "bin" in the install folder itself: one level up escapes.
        {"bin/", "../x", false}, {"bin/", "x/..", true}, {"a/bin/", "../x", true}};
    for (const auto &[link, target, inside] : links) EXPECT_EQ(linkStaysInside(link, target), inside) << link << target;
}

TEST(Release, ReaderAcceptsOrRefusesWithPartialState)
{
    const std::string &c = complete, file = "file " + hash + " 1 ", badFile = "a file line is malformed",
                      incomplete = "the release is incomplete", notRelease = "not a Quillmarrow Dunmir release",
                      badLink = "a link line is malformed", leaves = "a link leaves the install folder: ",
                      badHash = "a file's hash is malformed: ", outside = "a file's path leaves the install folder: ";
    // A refusal keeps what the lines before it gave.
    struct Case { std::string text, message; size_t files = 1; std::string version = "1"; } const cases[] = {
        {"", notRelease, 0, ""}, {"quillmarrow-release 1\r\nversion 1\r\ngame g\r\n" + fileLine, notRelease, 0, ""},
        {"quillmarrow-release 2\n" + c.substr(22), notRelease, 0, ""}, {"Quillmarrow-release 1\n" + c.substr(22), notRelease, 0, ""},
        {"quillmarrow-release 1 \n" + c.substr(22), notRelease, 0, ""},
        {"quillmarrow-release 1", incomplete, 0, ""}, {magic, incomplete, 0, ""}, {c, ""},
        {magic + "\nversion 1\n\n\ngame g\n" + fileLine.substr(0, fileLine.size() - 1), ""},
        {c + "version\n", incomplete, 1, ""}, {c + "Version 2\n", "unknown line: Version"},
        {c + " \n", "unknown line: "}, {c + "file\t" + hash + " 1 x\n", "unknown line: file\t" + hash},
        {c + "file\n", badFile}, {c + "file " + hash + "\n", badFile}, {c + "file " + hash + " \n", badFile},
        {c + "exec zz 1\n", badFile}, {c + "exec " + hash.substr(1) + " 1 p q\n", badHash + "p q"},
        {c + "file " + hash + "a 1 p\n", badHash + "p"}, {c + "game COM1\n", incomplete},
        {c + "file " + hash.substr(1) + "g 1 ../p\n", badHash + "../p"},
        {c + "file " + hash.substr(1) + "F 1 p\n", "a file's hash is not in lower case: p"},
        {c + fileLine + file + "../p\n", outside + "../p", 2}, {c + file + "\n", outside},
        {c + file + "data/aux.txt\n", outside + "data/aux.txt"}, {c + file + "data/what?.txt\n", outside + "data/what?.txt"},
        {c + "game ../g\n", incomplete},
        // One path twice: only with one hash, and Windows folds letter case.
        {c + "exec " + hash + " 9 g\n", "", 2},
        {c + "file " + std::string(64, 'b') + " 1 G\n", "a file is listed twice with different hashes: G"},
        // One name, a file and a folder: in either order, in any letter case.
        {c + "file " + hash + " 1 g/x\n", "a path is listed as a file and as a folder: g"},
        {c + "file " + hash + " 1 M/a/b\nfile " + hash + " 1 m/A\n", "a path is listed as a file and as a folder: m/A", 2},
        {c + "link\n", badLink}, {c + "link a b\n", badLink}, {c + "link \tbin/x\n", leaves + "bin/x"},
        {c + "link ../y\tx\n", leaves + "x"}, {c + "link y\t../x\n", leaves + "../x"},
        {c + "signature\nfile broken\n", ""}, {c + "signature xyz\nNot a keyword\n", ""},
        {magic + "version 1\ngame g\nsignature \n" + fileLine, incomplete, 0}};
    for (const auto &[text, message, files, version] : cases) {
        Release out{"old", 7, "old", {{}, {}, {}, {}, {}}, {{}}}; std::string err = "kept";
        EXPECT_EQ(parseRelease(text, out, err) ? "" : err, message) << text; // the fuzzer checks that an accepted text leaves err
        EXPECT_TRUE(out.files.size() == files && out.version == version) << text;
    }
}

TEST(Release, ReaderFields)
{
    auto read = [](const std::string &lines, Release out = {}, std::string err = "") {
        EXPECT_TRUE(parseRelease(complete + lines, out, err)) << lines << err;
        return out;
    };
    const std::pair<std::string, uint64_t> sizes[] = {
        {"", 0}, {"12ab", 12}, {"ab", 0}, {"\t+007", 7}, {"-1", maxSize}, {"-", 0},
        {"18446744073709551615", maxSize}, {"18446744073709551616", maxSize}, {"-99999999999999999999", maxSize}};
    for (const auto &[size, value] : sizes)
        EXPECT_EQ(read("exec " + hash + " " + size + " a b  c").files.back(), (FileEntry{hash, value, "a b  c", true}));
    const Release expected{" two  words", 0, "h", {{hash, 1, "g", false}, {std::string(64, 'f'), 2, "h", true}},
                           {{"./x", "a b c"}}};
    EXPECT_EQ(read("version  two  words\ngame h\nexec " + std::string(64, 'f') + " 2 h\nlink ./x\ta b c"), expected);
}

TEST(Release, Hex)
{
    uint8_t out[2] = {0x55, 0x55};
    EXPECT_TRUE(fromHex("", out, 0));
    EXPECT_FALSE(fromHex("00", out, 0) || fromHex("abc", out, 1) || fromHex("abc", out, 2));
    EXPECT_TRUE(fromHex("AbC0", out, 2) && out[0] == 0xAB && out[1] == 0xC0);
    EXPECT_TRUE(!fromHex("12zz", out, 2) && out[0] == 0x12 && out[1] == 0xC0); // stops at the first bad pair
    EXPECT_EQ(toHex(reinterpret_cast<const uint8_t *>("\x00\xff"), 2) + toHex(out, 0), "00ff");
}

TEST(Release, WriterAndSigner)
{
    EXPECT_EQ(formatRelease(Release{}), "quillmarrow-release 1\nversion \nprotocol 0\ngame \n");
    ASSERT_EQ(formatRelease(full), fullText); // which Verify reads back as full
    EXPECT_EQ(signRelease(full, testKey().secret), fullText + "signature " + fullSignature + "\n");
}

TEST(Release, Verify)
{
    const std::string sig = fullSignature, body = fullText, signedText = body + "signature " + sig + "\n";
    std::string upper = sig, mixed = sig, changed = sig, crlf;
    for (size_t i = 0; i < sig.size(); ++i) upper[i] = char(toupper(sig[i])), mixed[i] = i % 2 ? upper[i] : sig[i];
    changed[5] = changed[5] == '0' ? '1' : '0';
    for (char c : body) crlf += c == '\n' ? "\r\n" : std::string(1, c);
    const std::pair<std::string, std::string> cases[] = {
        {signedText, ""}, {"0123456789", notSigned}, {body, notSigned}, {"signature " + sig + "\n", notSigned},
        {"\nsignature ", malformed}, {body + "signature  " + sig, malformed},
        {body + "signature " + sig.substr(1), malformed}, {body + "signature " + sig + "a", malformed},
        {body + "signature " + sig + "\t", malformed}, {body + "signature " + sig + "\nversion 2\n", malformed},
        {body + "signature " + sig.substr(2) + "zz", malformed}, {body + "signature " + sig + "\r\n \r\r\n\n ", ""},
        {body + "signature " + upper, ""}, {body + "signature " + mixed + "\n", ""},
        {body + "signature " + changed + "\n", mismatch}, {body + "signature " + std::string(128, '0'), mismatch},
        {crlf + "signature " + sig, mismatch}, {"\n" + body + "signature " + sig, mismatch},
        // Behind a holding signature the reader sees the signed part, up to the last signature line; it stops at the first.
        {sign(body + "signature 00\nnot a line\n"), ""}, {sign(crlf, "\r\n"), "not a Quillmarrow Dunmir release"},
        {signRelease(Release{}, testKey().secret), "the release is incomplete"}};
    const Release before{"untouched", 1, "x", {}, {}};
    for (const auto &[text, message] : cases) {
        Release out = before; std::string err = "kept";
        EXPECT_EQ(verifyRelease(text, testKey().pub, out, err) ? "" : err, message) << text;
        // Only the reader writes the release, and only once the signature holds.
        EXPECT_EQ(out, message.empty() ? full : message.find("sign") != std::string::npos ? before : Release{});
    }

    Release out; std::string err;
    for (size_t i = 0; i < body.size(); ++i) { // every byte counts; the last LF belongs to the mark
        std::string text = signedText; text[i] ^= 0x04;
        EXPECT_TRUE(!verifyRelease(text, testKey().pub, out, err) && err == (i + 1 == body.size() ? notSigned : mismatch)) << i;
    }
}

TEST(Release, HashFile)
{
    const ScratchFolder dir;
    uint64_t count = 77;
    EXPECT_TRUE(hashFile(dir / "missing", &count) == "" && count == 77u);
    // Digests of bytes i mod 251 from Python's hashlib.blake2b(digest_size=32),
    // biggest first: a block kept between files must not leak into the next.
    const std::pair<size_t, std::string> files[] = {
        {1048577, "e4382dabecab6b7155cbc97ae52cbe07887664679bf907d18fa29df0bb4b4fa6"},
        {1048576, "8a5a7a9dc3cf203ed374b0a1eea930601ad2acbfe2b4bc62cf83de4ee536528b"},
        {0, "0e5751c026e543b2e8ab2eb06099daa1d1e5df47778f7787faab45cdf12fe3a8"}};
    for (const auto &[size, digest] : files) {
        std::string bytes(size, '\0');
        for (size_t i = 0; i < size; ++i) bytes[i] = char(i % 251);
        writeWholeFile(dir / "pattern", bytes);
        EXPECT_TRUE(hashFile(dir / "pattern", &count) == digest && count == size) << size;
    }
    // Renamed through the wide file-system API, so only a wide open finds it.
    writeWholeFile(dir / "plain", "abc");
    const std::filesystem::path unicode = dir / std::filesystem::path(u8"\u00dcn\u00efc\u00f8d\u00e9 \u2713.bin");
    std::filesystem::rename(dir / "plain", unicode);
    EXPECT_EQ(hashFile(unicode, nullptr), "bddd813c634239723171ef3fee98579b94964e3bb1cb3e427262c8c068d52319");
}
