// Tests of crypto/ (BLAKE2b, EdDSA with BLAKE2b): every line of the reference
// vectors made with Monocypher 4.0.2, then tampering, wiping and edge cases.
#include "crypto/monocypher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes unhex(const std::string &hex)
{
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string hex(const uint8_t *data, size_t size)
{
    std::string out;
    char digits[3];
    for (size_t i = 0; i < size; i++) {
        std::snprintf(digits, sizeof digits, "%02x", data[i]);
        out += digits;
    }
    return out;
}

// The vectors' 'pattern' message: byte i = i mod 251.
Bytes pattern(size_t size)
{
    Bytes m(size);
    for (size_t i = 0; i < size; i++) {
        m[i] = static_cast<uint8_t>(i % 251);
    }
    return m;
}

bool all_zero(const void *p, size_t size)
{
    const auto *b = static_cast<const uint8_t *>(p);
    for (size_t i = 0; i < size; i++) {
        if (b[i] != 0) {
            return false;
        }
    }
    return true;
}

std::string blake2b_hex(size_t hash_size, const Bytes &message, size_t chunk)
{
    crypto_blake2b_ctx ctx;
    crypto_blake2b_init(&ctx, hash_size);
    if (chunk == 0) {
        crypto_blake2b_update(&ctx, message.data(), message.size());
    } else {
        for (size_t i = 0; i < message.size(); i += chunk) {
            crypto_blake2b_update(&ctx, message.data() + i, std::min(chunk, message.size() - i));
        }
    }
    uint8_t hash[64];
    crypto_blake2b_final(&ctx, hash);
    return hex(hash, hash_size);
}

int check(const Bytes &sig, const uint8_t *pk, const Bytes &message)
{
    return crypto_eddsa_check(sig.data(), pk, message.data(), message.size());
}

// One key pair (from the vectors' seed formula) and its signature of a pattern message.
struct Signed {
    uint8_t sk[64], pk[32];
    Bytes message, sig = Bytes(64);
    Signed(int k, size_t size) : message(pattern(size))
    {
        uint8_t seed[32];
        for (int i = 0; i < 32; i++) {
            seed[i] = static_cast<uint8_t>(k * 37 + i * 11);
        }
        crypto_eddsa_key_pair(sk, pk, seed);
        crypto_eddsa_sign(sig.data(), sk, message.data(), message.size());
    }
};

TEST(CryptoVectors, EveryLineOfTheMonocypherReferenceFile)
{
    const char *path = QD_TEST_DATA "/eddsa-blake2b-vectors.txt";
    std::FILE *file = std::fopen(path, "rb");
    ASSERT_NE(file, nullptr) << path;
    std::string text;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        text.append(buffer, n);
    }
    std::fclose(file);

    std::map<std::string, int> counts;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); number++) {
        std::istringstream in(line);
        std::vector<std::string> f;
        for (std::string word; in >> word;) {
            f.push_back(word);
        }
        if (f.empty() || f[0][0] == '#') {
            continue;
        }
        SCOPED_TRACE("line " + std::to_string(number) + ": " + line.substr(0, 80));
        counts[f[0]]++;
        if (f[0] == "blake2b" && f.size() == 5) {
            const Bytes message = pattern(std::stoul(f[2]));
            EXPECT_EQ(blake2b_hex(std::stoul(f[1]), message, std::stoul(f[3])), f[4]);
        } else if (f[0] == "key" && f.size() == 4) {
            Bytes seed = unhex(f[1]);
            uint8_t sk[64], pk[32];
            crypto_eddsa_key_pair(sk, pk, seed.data());
            EXPECT_EQ(hex(sk, 64), f[2]);
            EXPECT_EQ(hex(pk, 32), f[3]);
            EXPECT_TRUE(all_zero(seed.data(), 32)) << "the seed is wiped";
        } else if (f[0] == "sig" && f.size() == 5) {
            const Bytes sk = unhex(f[1]), message = pattern(std::stoul(f[3]));
            uint8_t sig[64];
            crypto_eddsa_sign(sig, sk.data(), message.data(), message.size());
            EXPECT_EQ(hex(sig, 64), f[4]);
        } else if (f[0] == "check" && f.size() == 5) {
            EXPECT_EQ(check(unhex(f[3]), unhex(f[1]).data(), pattern(std::stoul(f[2]))), std::stoi(f[4]));
        } else {
            ADD_FAILURE() << "unknown or malformed line";
        }
    }
    // Nothing was skipped: the file holds at least this many lines of each kind.
    EXPECT_GE(counts["blake2b"], 208);
    EXPECT_GE(counts["key"], 4);
    EXPECT_GE(counts["sig"], 24);
    EXPECT_GE(counts["check"], 44);
}

TEST(CryptoBlake2b, Rfc7693AbcAndOtherDigestSizes)
{
    const Bytes abc = {'a', 'b', 'c'};
    const std::pair<size_t, const char *> cases[] = {
        {1, "6b"},
        {20, "384264f676f39536840523f284921cdc68b6846b"},
        {48, "6f56a82c8e7ef526dfe182eb5212f7db9df1317e57815dbda46083fc30f54ee6c66ba83be64b302d7cba6ce15bb556f4"},
        {64, "ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d17d87c5392aab792dc252d5de4533cc95"
             "18d38aa8dbf1925ab92386edd4009923"},
    };
    for (const auto &[size, digest] : cases) {
        EXPECT_EQ(blake2b_hex(size, abc, 0), digest) << size;
        EXPECT_EQ(blake2b_hex(size, abc, 1), digest) << size;
    }
}

TEST(CryptoBlake2b, FinalWipesTheContext)
{
    crypto_blake2b_ctx ctx;
    crypto_blake2b_init(&ctx, 32);
    const Bytes message = pattern(300);
    crypto_blake2b_update(&ctx, message.data(), message.size());
    uint8_t hash[32];
    crypto_blake2b_final(&ctx, hash);
    EXPECT_TRUE(all_zero(&ctx, sizeof ctx));
    EXPECT_FALSE(all_zero(hash, sizeof hash));
}

TEST(CryptoEddsa, KeyPairWipesTheSeedAndAllowsTheSeedInTheSecretKey)
{
    // Key 0 of the reference vectors.
    const std::string seed_hex = "000b16212c37424d58636e79848f9aa5b0bbc6d1dce7f2fd08131e29343f4a55";
    const std::string pk_hex = "0f49a12ff1fc314614e624f1ea9839abf99940f4739b02739dae9bad67c0cc62";
    Bytes seed = unhex(seed_hex);
    uint8_t sk[64], pk[32];
    crypto_eddsa_key_pair(sk, pk, seed.data());
    EXPECT_TRUE(all_zero(seed.data(), 32));
    EXPECT_EQ(hex(sk, 64), seed_hex + pk_hex);
    EXPECT_EQ(hex(pk, 32), pk_hex);
    // Monocypher 4 lets the seed be the secret key's first half.
    std::memcpy(sk, unhex(seed_hex).data(), 32);
    std::memset(sk + 32, 0, 32);
    crypto_eddsa_key_pair(sk, pk, sk);
    EXPECT_EQ(hex(sk, 64), seed_hex + pk_hex);
}

TEST(CryptoEddsa, EveryFlippedBitOfASignatureIsRefused)
{
    for (size_t size : {0, 11, 1000}) {
        const Signed s(1, size);
        ASSERT_EQ(check(s.sig, s.pk, s.message), 0);
        for (int i = 0; i < 64; i++) {
            for (int bit = 0; bit < 8; bit++) {
                Bytes bad = s.sig;
                bad[i] ^= static_cast<uint8_t>(1 << bit);
                EXPECT_EQ(check(bad, s.pk, s.message), -1) << "size " << size << " byte " << i << " bit " << bit;
            }
        }
    }
}

TEST(CryptoEddsa, AnotherKeyAnotherMessageOrAForgedSignatureIsRefused)
{
    const Signed s(2, 64), other(3, 64);
    ASSERT_EQ(check(s.sig, s.pk, s.message), 0);
    EXPECT_EQ(check(s.sig, other.pk, s.message), -1);
    EXPECT_EQ(check(other.sig, s.pk, s.message), -1);
    Bytes message = s.message;
    message[17] ^= 0x01;
    EXPECT_EQ(check(s.sig, s.pk, message), -1);
    EXPECT_EQ(check(s.sig, s.pk, pattern(63)), -1);
    EXPECT_EQ(check(s.sig, s.pk, pattern(65)), -1);
    EXPECT_EQ(check(Bytes(64, 0), s.pk, s.message), -1);
    uint8_t negated[32];
    std::memcpy(negated, s.pk, 32);
    negated[31] ^= 0x80;
    EXPECT_EQ(check(s.sig, negated, s.message), -1);
    // S + L holds the same equation but is refused (no malleability).
    const Bytes l = unhex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
    Bytes malleable = s.sig;
    for (int i = 0, carry = 0; i < 32; i++) {
        carry += malleable[32 + i] + l[i];
        malleable[32 + i] = static_cast<uint8_t>(carry);
        carry >>= 8;
    }
    EXPECT_EQ(check(malleable, s.pk, s.message), -1);
}

// Points with x = 0 whose sign bit is set are read as x = 0, not refused (as
// Monocypher 4 does); small-order keys then pass the cofactored equation.
TEST(CryptoEddsa, ZeroXWithTheSignBitSetIsNotRefused)
{
    const std::string one = "01" + std::string(60, '0'), zero(64, '0');
    const std::string minus_one = "ec" + std::string(60, 'f');
    const struct {
        std::string pk, sig;
    } cases[] = {
        {one + "80", one + "00" + zero},       // A = identity, sign bit set
        {one + "00", one + "80" + zero},       // R = identity, sign bit set
        {minus_one + "ff", one + "00" + zero}, // A = (0, -1), of order 2, sign bit set
    };
    for (const auto &c : cases) {
        EXPECT_EQ(check(unhex(c.sig), unhex(c.pk).data(), pattern(11)), 0) << c.pk << " " << c.sig;
    }
}

} // namespace
