// BLAKE2b and EdDSA with BLAKE2b: every line of the Monocypher 4.0.2 reference vectors, then tampering, forgery and wiping.
#include "crypto/monocypher.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes unhex(const std::string &hex)
{
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// The vectors' 'pattern' message: byte i = i mod 251.
Bytes pattern(size_t n) { Bytes m(n); for (size_t i = 0; i < n; i++) m[i] = static_cast<uint8_t>(i % 251); return m; }

bool allZero(const void *p, size_t n) { return Bytes(n, 0) == Bytes((const uint8_t *)p, (const uint8_t *)p + n); }
int check(Bytes sig, const uint8_t *pk, Bytes m) { return crypto_eddsa_check(sig.data(), pk, m.data(), m.size()); }

Bytes sign(const uint8_t *sk, Bytes m) { Bytes s(64); crypto_eddsa_sign(s.data(), sk, m.data(), m.size()); return s; }

TEST(CryptoVectors, EveryLineOfTheMonocypherReferenceFile)
{
    std::ifstream file(QD_TEST_DATA "/eddsa-blake2b-vectors.txt", std::ios::binary);
    ASSERT_TRUE(file.is_open()) << QD_TEST_DATA "/eddsa-blake2b-vectors.txt";
    std::map<std::string, int> counts; std::string line; // counts: lines by keyword and field count
    for (int number = 1; std::getline(file, line); number++) {
        std::istringstream in(line); std::vector<std::string> f;
        for (std::string word; in >> word;) f.push_back(word);
        if (f.empty() || f[0][0] == '#') continue;
        SCOPED_TRACE("line " + std::to_string(number) + ": " + line.substr(0, 80));
        counts[f[0] + std::to_string(f.size())]++;
        if (f[0] == "blake2b" && f.size() == 5) { // the message fed in chunks of f[3] bytes, 0 for one call
            const size_t size = std::stoul(f[1]), chunk = std::stoul(f[3]);
            const Bytes message = pattern(std::stoul(f[2]));
            Bytes hash(size);
            crypto_blake2b_ctx ctx;
            crypto_blake2b_init(&ctx, size);
            for (size_t i = 0, step = chunk ? chunk : message.size() + 1; i < message.size(); i += step)
                crypto_blake2b_update(&ctx, message.data() + i, std::min(step, message.size() - i));
            crypto_blake2b_final(&ctx, hash.data());
            EXPECT_EQ(hash, unhex(f[4]));
            EXPECT_TRUE(allZero(&ctx, sizeof ctx)) << "final wipes the context";
        } else if (f[0] == "key" && f.size() == 4) {
            Bytes seed = unhex(f[1]), sk(64), pk(32);
            crypto_eddsa_key_pair(sk.data(), pk.data(), seed.data());
            EXPECT_TRUE(sk == unhex(f[2]) && pk == unhex(f[3]));
            EXPECT_TRUE(allZero(seed.data(), 32)) << "the seed is wiped";
        } else if (f[0] == "sig" && f.size() == 5) {
            EXPECT_EQ(sign(unhex(f[1]).data(), pattern(std::stoul(f[3]))), unhex(f[4]));
        } else {
            ASSERT_TRUE(f[0] == "check" && f.size() == 5) << "unknown or malformed line";
            EXPECT_EQ(check(unhex(f[3]), unhex(f[1]).data(), pattern(std::stoul(f[2]))), std::stoi(f[4]));
        }
    }
    // Nothing was skipped: the file holds at least this many lines of each kind.
    EXPECT_TRUE(counts["blake2b5"] >= 208 && counts["key4"] >= 4 && counts["sig5"] >= 24 && counts["check5"] >= 44);
}

TEST(CryptoEddsa, RefusesEveryFlippedBitAnotherKeyAnotherMessageAndForgeries)
{
    uint8_t sk[2][64], pk[2][32], seed0[32] = {0, 11, 37}, seed1[32] = {1, 11, 37};
    crypto_eddsa_key_pair(sk[0], pk[0], seed0), crypto_eddsa_key_pair(sk[1], pk[1], seed1);
    for (size_t size : {0, 11, 1000}) {
        const Bytes message = pattern(size), sig = sign(sk[0], message);
        ASSERT_EQ(check(sig, pk[0], message), 0);
        for (int bit = 0; bit < 512; bit++) {
            Bytes bad = sig; bad[bit / 8] ^= static_cast<uint8_t>(1 << bit % 8);
            EXPECT_EQ(check(bad, pk[0], message), -1) << "size " << size << " bit " << bit;
        }
    }

    // S + L, and S = L under a key and an R of small order (here the identity,
    // so that [L]B alone is left), hold the equation but S must be below L.
    const std::string lHex = "edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010", identityHex = "01" + std::string(62, '0');
    const Bytes message = pattern(64), sig = sign(sk[0], message), identity = unhex(identityHex);
    Bytes changed = message, negated(pk[0], pk[0] + 32), plusL = sig, l = unhex(lHex);
    changed[17] ^= 0x01, negated[31] ^= 0x80;
    for (int i = 0, carry = 0; i < 32; i++, carry >>= 8)
        plusL[32 + i] = static_cast<uint8_t>(carry += plusL[32 + i] + l[i]);
    const std::tuple<const char *, Bytes, const uint8_t *, Bytes> forgeries[] = {
        {"another key", sig, pk[1], message}, {"another key's signature", sign(sk[1], message), pk[0], message},
        {"another message", sig, pk[0], changed}, {"one byte shorter", sig, pk[0], pattern(63)},
        {"one byte longer", sig, pk[0], pattern(65)}, {"all zero", Bytes(64, 0), pk[0], message},
        {"the key's sign flipped", sig, negated.data(), message}, {"S + L", plusL, pk[0], message},
        {"S = L", unhex(identityHex + lHex), identity.data(), message}};
    for (const auto &[name, forged, key, text] : forgeries) EXPECT_EQ(check(forged, key, text), -1) << name;
}

} // namespace
