// Tests of crypto/ (BLAKE2b, EdDSA with BLAKE2b): every line of the reference
// vectors made with Monocypher 4.0.2, then tampering, forgery and wiping.
#include "crypto/monocypher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes unhex(const std::string &hex)
{
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string hex(const uint8_t *data, size_t size)
{
    std::string out;
    for (size_t i = 0; i < size; i++) out += {"0123456789abcdef"[data[i] >> 4], "0123456789abcdef"[data[i] & 15]};
    return out;
}

// The vectors' 'pattern' message: byte i = i mod 251.
Bytes pattern(size_t size)
{
    Bytes m(size);
    for (size_t i = 0; i < size; i++) m[i] = static_cast<uint8_t>(i % 251);
    return m;
}

bool allZero(const void *p, size_t size)
{
    const auto *bytes = static_cast<const uint8_t *>(p);
    return std::all_of(bytes, bytes + size, [](uint8_t b) { return b == 0; });
}

// Fed in chunks of `chunk` bytes; 0 is one call for the whole message.
std::string blake2bHex(size_t hashSize, const Bytes &message, size_t chunk)
{
    crypto_blake2b_ctx ctx;
    crypto_blake2b_init(&ctx, hashSize);
    for (size_t i = 0, step = chunk ? chunk : message.size() + 1; i < message.size(); i += step)
        crypto_blake2b_update(&ctx, message.data() + i, std::min(step, message.size() - i));
    uint8_t hash[64];
    crypto_blake2b_final(&ctx, hash);
    EXPECT_TRUE(allZero(&ctx, sizeof ctx)) << "final wipes the context";
    return hex(hash, hashSize);
}

int check(const Bytes &sig, const uint8_t *pk, const Bytes &message)
{
    return crypto_eddsa_check(sig.data(), pk, message.data(), message.size());
}

TEST(CryptoVectors, EveryLineOfTheMonocypherReferenceFile)
{
    std::ifstream file(QD_TEST_DATA "/eddsa-blake2b-vectors.txt", std::ios::binary);
    ASSERT_TRUE(file.is_open()) << QD_TEST_DATA "/eddsa-blake2b-vectors.txt";
    std::map<std::string, int> counts;
    std::string line;
    for (int number = 1; std::getline(file, line); number++) {
        std::istringstream in(line);
        std::vector<std::string> f;
        for (std::string word; in >> word;) f.push_back(word);
        if (f.empty() || f[0][0] == '#') continue;
        SCOPED_TRACE("line " + std::to_string(number) + ": " + line.substr(0, 80));
        counts[f[0]]++;
        if (f[0] == "blake2b" && f.size() == 5) {
            EXPECT_EQ(blake2bHex(std::stoul(f[1]), pattern(std::stoul(f[2])), std::stoul(f[3])), f[4]);
        } else if (f[0] == "key" && f.size() == 4) {
            Bytes seed = unhex(f[1]);
            uint8_t sk[64], pk[32];
            crypto_eddsa_key_pair(sk, pk, seed.data());
            EXPECT_EQ(hex(sk, 64), f[2]);
            EXPECT_EQ(hex(pk, 32), f[3]);
            EXPECT_TRUE(allZero(seed.data(), 32)) << "the seed is wiped";
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

TEST(CryptoEddsa, RefusesEveryFlippedBitAnotherKeyAnotherMessageAndForgeries)
{
    // Key pairs from the vectors' seed formula, signing pattern messages.
    const auto keyPair = [](int k, uint8_t sk[64], uint8_t pk[32]) {
        uint8_t seed[32];
        for (int i = 0; i < 32; i++) seed[i] = static_cast<uint8_t>(k * 37 + i * 11);
        crypto_eddsa_key_pair(sk, pk, seed);
    };
    const auto sign = [](const uint8_t sk[64], const Bytes &message) {
        Bytes sig(64);
        crypto_eddsa_sign(sig.data(), sk, message.data(), message.size());
        return sig;
    };
    uint8_t sk[64], pk[32], otherSk[64], otherPk[32];
    keyPair(1, sk, pk);
    keyPair(2, otherSk, otherPk);
    for (size_t size : {0, 11, 1000}) {
        const Bytes message = pattern(size), sig = sign(sk, message);
        ASSERT_EQ(check(sig, pk, message), 0);
        for (int i = 0; i < 64; i++) {
            for (int bit = 0; bit < 8; bit++) {
                Bytes bad = sig;
                bad[i] ^= static_cast<uint8_t>(1 << bit);
                EXPECT_EQ(check(bad, pk, message), -1) << "size " << size << " byte " << i << " bit " << bit;
            }
        }
    }

    const Bytes message = pattern(64), sig = sign(sk, message);
    Bytes changed = message;
    changed[17] ^= 0x01;
    uint8_t negated[32];
    std::memcpy(negated, pk, 32);
    negated[31] ^= 0x80;
    // S + L holds the same equation but is refused (no malleability).
    const Bytes l = unhex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
    Bytes malleable = sig;
    for (int i = 0, carry = 0; i < 32; i++) {
        carry += malleable[32 + i] + l[i];
        malleable[32 + i] = static_cast<uint8_t>(carry);
        carry >>= 8;
    }
    const std::tuple<const char *, Bytes, const uint8_t *, Bytes> forgeries[] = {
        {"another key", sig, otherPk, message},        {"another key's signature", sign(otherSk, message), pk, message},
        {"another message", sig, pk, changed},         {"one byte shorter", sig, pk, pattern(63)},
        {"one byte longer", sig, pk, pattern(65)},     {"all zero", Bytes(64, 0), pk, message},
        {"the key's sign flipped", sig, negated, message}, {"S + L", malleable, pk, message},
    };
    for (const auto &[name, forged, key, text] : forgeries) EXPECT_EQ(check(forged, key, text), -1) << name;
}

} // namespace
