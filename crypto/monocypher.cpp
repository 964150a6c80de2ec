// BLAKE2b (RFC 7693) and EdDSA on edwards25519 (RFC 8032) with BLAKE2b-512 in
// place of SHA-512, giving the same bytes as Monocypher 4 (see monocypher.h).
//
// Field elements mod p = 2^255 - 19: five 51-bit limbs, products in unsigned
// __int128. Scalars mod L: 32-bit limbs and a Barrett reduction. Points:
// extended twisted Edwards coordinates with the complete formulas of RFC 8032,
// so that small-order and mixed-order points need no special case.
//
// Secret-dependent work (key pair, signing) runs in constant time: a fixed
// 4-bit window with a table scanned in full for every window, no branch and no
// index that depends on a secret. Verification handles public data only.
// No allocation and no mutable global state.
#include "monocypher.h"

#include <string.h>

namespace {

typedef uint8_t u8;
typedef uint32_t u32;
typedef uint64_t u64;
__extension__ typedef unsigned __int128 u128;

// ---------------------------------------------------------------- utilities

// A wipe the compiler cannot remove: the stores go through a volatile pointer.
void wipe(void *buffer, size_t size)
{
    volatile u8 *p = static_cast<volatile u8 *>(buffer);
    for (size_t i = 0; i < size; i++) {
        p[i] = 0;
    }
}

inline u64 load64_le(const u8 *s)
{
    u64 v;
    memcpy(&v, s, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

inline void store64_le(u8 *d, u64 v)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    memcpy(d, &v, 8);
}

inline u32 load32_le(const u8 *s)
{
    return static_cast<u32>(s[0]) | static_cast<u32>(s[1]) << 8 | static_cast<u32>(s[2]) << 16 |
           static_cast<u32>(s[3]) << 24;
}

inline void store32_le(u8 *d, u32 v)
{
    d[0] = static_cast<u8>(v);
    d[1] = static_cast<u8>(v >> 8);
    d[2] = static_cast<u8>(v >> 16);
    d[3] = static_cast<u8>(v >> 24);
}

inline u64 rotr64(u64 x, unsigned n) { return (x >> n) | (x << (64 - n)); }

// ------------------------------------------------------------------ BLAKE2b

constexpr u64 blake2b_iv[8] = {
    0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL, 0xa54ff53a5f1d36f1ULL,
    0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL, 0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL,
};

constexpr size_t block_size = 128;

#define QD_B2_G(a, b, c, d, x, y)                                                                  \
    do {                                                                                           \
        a += b + (x);                                                                              \
        d = rotr64(d ^ a, 32);                                                                     \
        c += d;                                                                                    \
        b = rotr64(b ^ c, 24);                                                                     \
        a += b + (y);                                                                              \
        d = rotr64(d ^ a, 16);                                                                     \
        c += d;                                                                                    \
        b = rotr64(b ^ c, 63);                                                                     \
    } while (0)

#define QD_B2_ROUND(s0, s1, s2, s3, s4, s5, s6, s7, s8, s9, s10, s11, s12, s13, s14, s15)          \
    do {                                                                                           \
        QD_B2_G(v0, v4, v8, v12, m##s0, m##s1);                                                    \
        QD_B2_G(v1, v5, v9, v13, m##s2, m##s3);                                                    \
        QD_B2_G(v2, v6, v10, v14, m##s4, m##s5);                                                   \
        QD_B2_G(v3, v7, v11, v15, m##s6, m##s7);                                                   \
        QD_B2_G(v0, v5, v10, v15, m##s8, m##s9);                                                   \
        QD_B2_G(v1, v6, v11, v12, m##s10, m##s11);                                                 \
        QD_B2_G(v2, v7, v8, v13, m##s12, m##s13);                                                  \
        QD_B2_G(v3, v4, v9, v14, m##s14, m##s15);                                                  \
    } while (0)

// Compresses `blocks` consecutive 128-byte blocks. The byte counter is
// advanced by `last_size` for a final block (then blocks must be 1), and by
// 128 for every block otherwise.
void blake2b_compress(u64 hash[8], u64 offset[2], const u8 *in, size_t blocks, bool last,
                      size_t last_size)
{
    u64 h0 = hash[0], h1 = hash[1], h2 = hash[2], h3 = hash[3];
    u64 h4 = hash[4], h5 = hash[5], h6 = hash[6], h7 = hash[7];
    u64 t0 = offset[0], t1 = offset[1];
    const u64 f0 = last ? ~0ULL : 0;
    const u64 step = last ? last_size : block_size;

    for (; blocks > 0; blocks--, in += block_size) {
        t0 += step;
        t1 += t0 < step;
        const u64 m0 = load64_le(in + 0), m1 = load64_le(in + 8), m2 = load64_le(in + 16),
                  m3 = load64_le(in + 24), m4 = load64_le(in + 32), m5 = load64_le(in + 40),
                  m6 = load64_le(in + 48), m7 = load64_le(in + 56), m8 = load64_le(in + 64),
                  m9 = load64_le(in + 72), m10 = load64_le(in + 80), m11 = load64_le(in + 88),
                  m12 = load64_le(in + 96), m13 = load64_le(in + 104), m14 = load64_le(in + 112),
                  m15 = load64_le(in + 120);
        u64 v0 = h0, v1 = h1, v2 = h2, v3 = h3, v4 = h4, v5 = h5, v6 = h6, v7 = h7;
        u64 v8 = blake2b_iv[0], v9 = blake2b_iv[1], v10 = blake2b_iv[2], v11 = blake2b_iv[3];
        u64 v12 = blake2b_iv[4] ^ t0, v13 = blake2b_iv[5] ^ t1;
        u64 v14 = blake2b_iv[6] ^ f0, v15 = blake2b_iv[7];

        QD_B2_ROUND(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        QD_B2_ROUND(14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3);
        QD_B2_ROUND(11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4);
        QD_B2_ROUND(7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8);
        QD_B2_ROUND(9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13);
        QD_B2_ROUND(2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9);
        QD_B2_ROUND(12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11);
        QD_B2_ROUND(13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10);
        QD_B2_ROUND(6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5);
        QD_B2_ROUND(10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0);
        QD_B2_ROUND(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        QD_B2_ROUND(14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3);

        h0 ^= v0 ^ v8;
        h1 ^= v1 ^ v9;
        h2 ^= v2 ^ v10;
        h3 ^= v3 ^ v11;
        h4 ^= v4 ^ v12;
        h5 ^= v5 ^ v13;
        h6 ^= v6 ^ v14;
        h7 ^= v7 ^ v15;
    }
    hash[0] = h0, hash[1] = h1, hash[2] = h2, hash[3] = h3;
    hash[4] = h4, hash[5] = h5, hash[6] = h6, hash[7] = h7;
    offset[0] = t0, offset[1] = t1;
}

#undef QD_B2_ROUND
#undef QD_B2_G

// The context keeps the pending input as bytes in its input[] words.
inline u8 *pending(crypto_blake2b_ctx *ctx) { return reinterpret_cast<u8 *>(ctx->input); }

void blake2b(u8 *hash, size_t hash_size, const u8 *a, size_t a_size, const u8 *b = nullptr,
             size_t b_size = 0, const u8 *c = nullptr, size_t c_size = 0)
{
    crypto_blake2b_ctx ctx;
    crypto_blake2b_init(&ctx, hash_size);
    crypto_blake2b_update(&ctx, a, a_size);
    crypto_blake2b_update(&ctx, b, b_size);
    crypto_blake2b_update(&ctx, c, c_size);
    crypto_blake2b_final(&ctx, hash);
}

// ----------------------------------------------------- field GF(2^255 - 19)

struct fe {
    u64 v[5];
};

constexpr u64 mask51 = (1ULL << 51) - 1;

constexpr fe fe_d = {{0x34dca135978a3ULL, 0x1a8283b156ebdULL, 0x5e7a26001c029ULL, 0x739c663a03cbbULL,
                      0x52036cee2b6ffULL}};
constexpr fe fe_d2 = {{0x69b9426b2f159ULL, 0x35050762add7aULL, 0x3cf44c0038052ULL,
                       0x6738cc7407977ULL, 0x2406d9dc56dffULL}};
constexpr fe fe_sqrtm1 = {{0x61b274a0ea0b0ULL, 0x0d5a5fc8f189dULL, 0x7ef5e9cbd0c60ULL,
                           0x78595a6804c9eULL, 0x2b8324804fc1dULL}};

// Every fe leaving a function below has limbs under 2^51 + 2^20, which keeps
// the products of fe_mul within 2^109 and fe_sub (which adds 2p) nonnegative.
inline void fe_carry(fe &h)
{
    u64 c;
    c = h.v[0] >> 51, h.v[0] &= mask51, h.v[1] += c;
    c = h.v[1] >> 51, h.v[1] &= mask51, h.v[2] += c;
    c = h.v[2] >> 51, h.v[2] &= mask51, h.v[3] += c;
    c = h.v[3] >> 51, h.v[3] &= mask51, h.v[4] += c;
    c = h.v[4] >> 51, h.v[4] &= mask51, h.v[0] += 19 * c;
}

inline void fe_0(fe &h) { h = fe{{0, 0, 0, 0, 0}}; }
inline void fe_1(fe &h) { h = fe{{1, 0, 0, 0, 0}}; }

inline void fe_add(fe &h, const fe &f, const fe &g)
{
    for (int i = 0; i < 5; i++) {
        h.v[i] = f.v[i] + g.v[i];
    }
    fe_carry(h);
}

// f - g + 2p, limb by limb (2p's limbs exceed any g limb).
inline void fe_sub(fe &h, const fe &f, const fe &g)
{
    h.v[0] = f.v[0] + 0xfffffffffffdaULL - g.v[0];
    for (int i = 1; i < 5; i++) {
        h.v[i] = f.v[i] + 0xffffffffffffeULL - g.v[i];
    }
    fe_carry(h);
}

inline void fe_neg(fe &h, const fe &f)
{
    fe z;
    fe_0(z);
    fe_sub(h, z, f);
}

void fe_mul(fe &h, const fe &f, const fe &g)
{
    const u64 f0 = f.v[0], f1 = f.v[1], f2 = f.v[2], f3 = f.v[3], f4 = f.v[4];
    const u64 g0 = g.v[0], g1 = g.v[1], g2 = g.v[2], g3 = g.v[3], g4 = g.v[4];
    const u64 g1_19 = 19 * g1, g2_19 = 19 * g2, g3_19 = 19 * g3, g4_19 = 19 * g4;
    u128 r0 = (u128)f0 * g0 + (u128)f1 * g4_19 + (u128)f2 * g3_19 + (u128)f3 * g2_19 +
              (u128)f4 * g1_19;
    u128 r1 = (u128)f0 * g1 + (u128)f1 * g0 + (u128)f2 * g4_19 + (u128)f3 * g3_19 +
              (u128)f4 * g2_19;
    u128 r2 =
        (u128)f0 * g2 + (u128)f1 * g1 + (u128)f2 * g0 + (u128)f3 * g4_19 + (u128)f4 * g3_19;
    u128 r3 = (u128)f0 * g3 + (u128)f1 * g2 + (u128)f2 * g1 + (u128)f3 * g0 + (u128)f4 * g4_19;
    u128 r4 = (u128)f0 * g4 + (u128)f1 * g3 + (u128)f2 * g2 + (u128)f3 * g1 + (u128)f4 * g0;
    r1 += r0 >> 51;
    r2 += r1 >> 51;
    r3 += r2 >> 51;
    r4 += r3 >> 51;
    u128 c = r4 >> 51; // below 2^66
    u128 l0 = (u128)((u64)r0 & mask51) + c * 19;
    h.v[0] = (u64)l0 & mask51;
    h.v[1] = ((u64)r1 & mask51) + (u64)(l0 >> 51);
    h.v[2] = (u64)r2 & mask51;
    h.v[3] = (u64)r3 & mask51;
    h.v[4] = (u64)r4 & mask51;
}

inline void fe_sq(fe &h, const fe &f) { fe_mul(h, f, f); }

void fe_sq_n(fe &h, const fe &f, int n)
{
    fe_sq(h, f);
    for (int i = 1; i < n; i++) {
        fe_sq(h, h);
    }
}

// z11 = z^11, z250 = z^(2^250 - 1): the common part of the inversion and
// square-root chains.
void fe_pow_common(fe &z11, fe &z250, const fe &z)
{
    fe t0, t1, t2;
    fe_sq(t0, z);        // 2
    fe_sq_n(t1, t0, 2);  // 8
    fe_mul(t1, z, t1);   // 9
    fe_mul(z11, t0, t1); // 11
    fe_sq(t0, z11);      // 22
    fe_mul(t1, t1, t0);  // 2^5 - 1
    fe_sq_n(t0, t1, 5);
    fe_mul(t1, t0, t1); // 2^10 - 1
    fe_sq_n(t0, t1, 10);
    fe_mul(t0, t0, t1); // 2^20 - 1
    fe_sq_n(t2, t0, 20);
    fe_mul(t0, t2, t0); // 2^40 - 1
    fe_sq_n(t0, t0, 10);
    fe_mul(t1, t0, t1); // 2^50 - 1
    fe_sq_n(t0, t1, 50);
    fe_mul(t0, t0, t1); // 2^100 - 1
    fe_sq_n(t2, t0, 100);
    fe_mul(t0, t2, t0); // 2^200 - 1
    fe_sq_n(t0, t0, 50);
    fe_mul(z250, t0, t1); // 2^250 - 1
    wipe(&t0, sizeof t0);
    wipe(&t1, sizeof t1);
    wipe(&t2, sizeof t2);
}

// h = z^(p - 2) = 1/z (0 for z = 0).
void fe_invert(fe &h, const fe &z)
{
    fe z11, t;
    fe_pow_common(z11, t, z);
    fe_sq_n(t, t, 5);   // 2^255 - 32
    fe_mul(h, t, z11); // 2^255 - 21
    wipe(&z11, sizeof z11);
    wipe(&t, sizeof t);
}

// h = z^((p - 5) / 8) = z^(2^252 - 3).
void fe_pow22523(fe &h, const fe &z)
{
    fe z11, t;
    fe_pow_common(z11, t, z);
    fe_sq_n(t, t, 2); // 2^252 - 4
    fe_mul(h, t, z);  // 2^252 - 3
    wipe(&z11, sizeof z11);
    wipe(&t, sizeof t);
}

// Reads the low 255 bits; values from p to 2^255 - 1 are kept as they are.
void fe_frombytes(fe &h, const u8 s[32])
{
    const u64 w0 = load64_le(s), w1 = load64_le(s + 8), w2 = load64_le(s + 16),
              w3 = load64_le(s + 24);
    h.v[0] = w0 & mask51;
    h.v[1] = (w0 >> 51 | w1 << 13) & mask51;
    h.v[2] = (w1 >> 38 | w2 << 26) & mask51;
    h.v[3] = (w2 >> 25 | w3 << 39) & mask51;
    h.v[4] = (w3 >> 12) & mask51;
}

// Canonical encoding (value reduced below p).
void fe_tobytes(u8 s[32], const fe &f)
{
    fe h = f;
    fe_carry(h);
    fe_carry(h); // now h < 2^255 + 19: limbs below 2^51, limb 0 below 2^51 + 19
    // q = 1 when h >= p, computed as the carry out of h + 19.
    u64 q = (h.v[0] + 19) >> 51;
    q = (h.v[1] + q) >> 51;
    q = (h.v[2] + q) >> 51;
    q = (h.v[3] + q) >> 51;
    q = (h.v[4] + q) >> 51;
    h.v[0] += 19 * q; // h - q*p = h + 19q - q*2^255; the 2^255 is dropped below
    u64 c;
    c = h.v[0] >> 51, h.v[0] &= mask51, h.v[1] += c;
    c = h.v[1] >> 51, h.v[1] &= mask51, h.v[2] += c;
    c = h.v[2] >> 51, h.v[2] &= mask51, h.v[3] += c;
    c = h.v[3] >> 51, h.v[3] &= mask51, h.v[4] += c;
    h.v[4] &= mask51;
    store64_le(s, h.v[0] | h.v[1] << 51);
    store64_le(s + 8, h.v[1] >> 13 | h.v[2] << 38);
    store64_le(s + 16, h.v[2] >> 26 | h.v[3] << 25);
    store64_le(s + 24, h.v[3] >> 39 | h.v[4] << 12);
    wipe(&h, sizeof h);
}

// Variable time: for public values only.
bool fe_equal_vartime(const fe &f, const fe &g)
{
    u8 a[32], b[32];
    fe_tobytes(a, f);
    fe_tobytes(b, g);
    return memcmp(a, b, 32) == 0;
}

bool fe_iszero_vartime(const fe &f)
{
    fe z;
    fe_0(z);
    return fe_equal_vartime(f, z);
}

int fe_isodd(const fe &f)
{
    u8 s[32];
    fe_tobytes(s, f);
    int odd = s[0] & 1;
    wipe(s, sizeof s);
    return odd;
}

// h = g when mask is all ones, h unchanged when mask is 0; no branch.
inline void fe_cmov(fe &h, const fe &g, u64 mask)
{
    for (int i = 0; i < 5; i++) {
        h.v[i] ^= mask & (h.v[i] ^ g.v[i]);
    }
}

// ------------------------------------------------------- group edwards25519

struct ge { // extended coordinates: x = X/Z, y = Y/Z, x*y = T/Z
    fe X, Y, Z, T;
};

struct ge_cached { // Y+X, Y-X, 2Z, 2dT of a point, ready to be added
    fe YpX, YmX, Z2, T2d;
};

constexpr ge ge_base = {
    {{0x62d608f25d51aULL, 0x412a4b4f6592aULL, 0x75b7171a4b31dULL, 0x1ff60527118feULL,
      0x216936d3cd6e5ULL}},
    {{0x6666666666658ULL, 0x4ccccccccccccULL, 0x1999999999999ULL, 0x3333333333333ULL,
      0x6666666666666ULL}},
    {{1, 0, 0, 0, 0}},
    {{0x68ab3a5b7dda3ULL, 0x00eea2a5eadbbULL, 0x2af8df483c27eULL, 0x332b375274732ULL,
      0x67875f0fd78b7ULL}},
};

void ge_zero(ge &p)
{
    fe_0(p.X);
    fe_1(p.Y);
    fe_1(p.Z);
    fe_0(p.T);
}

void ge_neg(ge &p)
{
    fe_neg(p.X, p.X);
    fe_neg(p.T, p.T);
}

void ge_cache(ge_cached &c, const ge &p)
{
    fe_add(c.YpX, p.Y, p.X);
    fe_sub(c.YmX, p.Y, p.X);
    fe_add(c.Z2, p.Z, p.Z);
    fe_mul(c.T2d, p.T, fe_d2);
}

// r = p + q (RFC 8032 5.1.4, complete for every pair of points). r may be p.
void ge_add(ge &r, const ge &p, const ge_cached &q)
{
    fe a, b, c, d, e, f, g, h;
    fe_sub(a, p.Y, p.X);
    fe_mul(a, a, q.YmX);
    fe_add(b, p.Y, p.X);
    fe_mul(b, b, q.YpX);
    fe_mul(c, p.T, q.T2d);
    fe_mul(d, p.Z, q.Z2);
    fe_sub(e, b, a);
    fe_sub(f, d, c);
    fe_add(g, d, c);
    fe_add(h, b, a);
    fe_mul(r.X, e, f);
    fe_mul(r.Y, g, h);
    fe_mul(r.T, e, h);
    fe_mul(r.Z, f, g);
    wipe(&a, sizeof a), wipe(&b, sizeof b), wipe(&c, sizeof c), wipe(&d, sizeof d);
    wipe(&e, sizeof e), wipe(&f, sizeof f), wipe(&g, sizeof g), wipe(&h, sizeof h);
}

// r = 2p (RFC 8032 5.1.4). r may be p.
void ge_double(ge &r, const ge &p)
{
    fe a, b, c, e, f, g, h;
    fe_sq(a, p.X);
    fe_sq(b, p.Y);
    fe_sq(c, p.Z);
    fe_add(c, c, c);
    fe_add(h, a, b);
    fe_add(e, p.X, p.Y);
    fe_sq(e, e);
    fe_sub(e, h, e);
    fe_sub(g, a, b);
    fe_add(f, c, g);
    fe_mul(r.X, e, f);
    fe_mul(r.Y, g, h);
    fe_mul(r.T, e, h);
    fe_mul(r.Z, f, g);
    wipe(&a, sizeof a), wipe(&b, sizeof b), wipe(&c, sizeof c);
    wipe(&e, sizeof e), wipe(&f, sizeof f), wipe(&g, sizeof g), wipe(&h, sizeof h);
}

void ge_tobytes(u8 s[32], const ge &p)
{
    fe zi, x, y;
    fe_invert(zi, p.Z);
    fe_mul(x, p.X, zi);
    fe_mul(y, p.Y, zi);
    fe_tobytes(s, y);
    s[31] = static_cast<u8>(s[31] | fe_isodd(x) << 7);
    wipe(&zi, sizeof zi), wipe(&x, sizeof x), wipe(&y, sizeof y);
}

// Decodes as Monocypher 4 does: y from the low 255 bits, not refused when
// y >= p; x from x^2 = (y^2 - 1) / (d y^2 + 1), its parity given by the top
// bit (x = 0 with the top bit set is taken as x = 0). Returns false when
// there is no such x (not a point of the curve). Variable time.
bool ge_frombytes_vartime(ge &p, const u8 s[32])
{
    fe u, v, v3, x, vx2, one;
    fe_1(one);
    fe_frombytes(p.Y, s);
    fe_sq(u, p.Y);
    fe_mul(v, u, fe_d);
    fe_sub(u, u, one); // u = y^2 - 1
    fe_add(v, v, one); // v = d y^2 + 1 (never 0: -1/d is not a square)
    // x = u v^3 (u v^7)^((p - 5) / 8)
    fe_sq(v3, v);
    fe_mul(v3, v3, v); // v^3
    fe_sq(x, v3);
    fe_mul(x, x, v);
    fe_mul(x, x, u); // u v^7
    fe_pow22523(x, x);
    fe_mul(x, x, v3);
    fe_mul(x, x, u);
    fe_sq(vx2, x);
    fe_mul(vx2, vx2, v);
    if (!fe_equal_vartime(vx2, u)) {
        fe nu;
        fe_neg(nu, u);
        if (!fe_equal_vartime(vx2, nu)) {
            return false;
        }
        fe_mul(x, x, fe_sqrtm1);
    }
    if (fe_isodd(x) != (s[31] >> 7)) {
        fe_neg(x, x);
    }
    p.X = x;
    fe_1(p.Z);
    fe_mul(p.T, p.X, p.Y);
    return true;
}

// r = [scalar] p, scalar being 256 bits little-endian. Constant time in the
// scalar and the point: fixed 4-bit windows, each table entry read for every
// window. r may not alias p.
void ge_scalarmult(ge &r, const ge &p, const u8 scalar[32])
{
    ge_cached table[16];
    ge t;
    ge_zero(t);
    ge_cache(table[0], t);
    ge_cache(table[1], p);
    for (int i = 2; i < 16; i++) {
        ge_add(t, p, table[i - 1]);
        ge_cache(table[i], t);
    }
    ge_zero(r);
    ge_cached sel;
    for (int i = 63; i >= 0; i--) {
        ge_double(r, r);
        ge_double(r, r);
        ge_double(r, r);
        ge_double(r, r);
        const u32 nibble = (scalar[i >> 1] >> ((i & 1) * 4)) & 15;
        sel = table[0];
        for (u32 j = 1; j < 16; j++) {
            const u64 mask = 0 - static_cast<u64>(((nibble ^ j) - 1) >> 31); // j == nibble
            fe_cmov(sel.YpX, table[j].YpX, mask);
            fe_cmov(sel.YmX, table[j].YmX, mask);
            fe_cmov(sel.Z2, table[j].Z2, mask);
            fe_cmov(sel.T2d, table[j].T2d, mask);
        }
        ge_add(r, r, sel);
    }
    wipe(table, sizeof table);
    wipe(&sel, sizeof sel);
    wipe(&t, sizeof t);
}

void scalarbase(u8 point[32], const u8 scalar[32])
{
    ge r;
    ge_scalarmult(r, ge_base, scalar);
    ge_tobytes(point, r);
    wipe(&r, sizeof r);
}

// ----------------------------------------------------------- scalars mod L

constexpr u32 order_l[8] = {0x5cf5d3ed, 0x5812631a, 0xa2f79cd6, 0x14def9de,
                            0x00000000, 0x00000000, 0x00000000, 0x10000000};
// floor(2^512 / L), for the Barrett reduction.
constexpr u32 barrett_mu[9] = {0x0a2c131b, 0xed9ce5a3, 0x086329a7, 0x2106215d, 0xffffffeb,
                               0xffffffff, 0xffffffff, 0xffffffff, 0x0000000f};

// out = x mod L, x being 512 bits (16 little-endian words). Constant time.
void mod_l(u8 out[32], const u32 x[16])
{
    // q = floor(x * mu / 2^512): the quotient x / L, or one less.
    u32 xm[25] = {0};
    for (int i = 0; i < 16; i++) {
        u64 carry = 0;
        for (int j = 0; j < 9; j++) {
            const u64 t = (u64)x[i] * barrett_mu[j] + xm[i + j] + carry;
            xm[i + j] = static_cast<u32>(t);
            carry = t >> 32;
        }
        xm[i + 9] = static_cast<u32>(carry);
    }
    const u32 *q = xm + 16; // 9 words
    // r = x - q L, computed mod 2^256 (it is below 2 L < 2^254).
    u32 ql[8] = {0};
    for (int i = 0; i < 8; i++) {
        u64 carry = 0;
        for (int j = 0; i + j < 8; j++) {
            const u64 t = (u64)q[i] * order_l[j] + ql[i + j] + carry;
            ql[i + j] = static_cast<u32>(t);
            carry = t >> 32;
        }
    }
    u32 r[8], rl[8];
    u64 borrow = 0;
    for (int i = 0; i < 8; i++) {
        const u64 t = (u64)x[i] - ql[i] - borrow;
        r[i] = static_cast<u32>(t);
        borrow = (t >> 32) & 1;
    }
    // Subtract L once more unless that goes below zero.
    borrow = 0;
    for (int i = 0; i < 8; i++) {
        const u64 t = (u64)r[i] - order_l[i] - borrow;
        rl[i] = static_cast<u32>(t);
        borrow = (t >> 32) & 1;
    }
    const u32 keep_r = 0 - static_cast<u32>(borrow); // all ones when r < L
    for (int i = 0; i < 8; i++) {
        store32_le(out + 4 * i, (r[i] & keep_r) | (rl[i] & ~keep_r));
    }
    wipe(xm, sizeof xm), wipe(ql, sizeof ql), wipe(r, sizeof r), wipe(rl, sizeof rl);
}

// out = H(a || b || c) mod L, with BLAKE2b-512.
void hash_reduce(u8 out[32], const u8 *a, size_t a_size, const u8 *b, size_t b_size,
                 const u8 *c = nullptr, size_t c_size = 0)
{
    u8 hash[64];
    u32 x[16];
    blake2b(hash, 64, a, a_size, b, b_size, c, c_size);
    for (int i = 0; i < 16; i++) {
        x[i] = load32_le(hash + 4 * i);
    }
    mod_l(out, x);
    wipe(hash, sizeof hash);
    wipe(x, sizeof x);
}

// s = (r + h a) mod L; h and r below L, a below 2^256. Constant time.
void mul_add(u8 s[32], const u8 h[32], const u8 a[32], const u8 r[32])
{
    u32 hw[8], aw[8], x[16] = {0};
    for (int i = 0; i < 8; i++) {
        hw[i] = load32_le(h + 4 * i);
        aw[i] = load32_le(a + 4 * i);
        x[i] = load32_le(r + 4 * i);
    }
    for (int i = 0; i < 8; i++) {
        u64 carry = 0;
        for (int j = 0; j < 8; j++) {
            const u64 t = (u64)hw[i] * aw[j] + x[i + j] + carry;
            x[i + j] = static_cast<u32>(t);
            carry = t >> 32;
        }
        for (int k = i + 8; k < 16; k++) { // h a + r < 2^512: this never overflows
            const u64 t = (u64)x[k] + carry;
            x[k] = static_cast<u32>(t);
            carry = t >> 32;
        }
    }
    mod_l(s, x);
    wipe(hw, sizeof hw), wipe(aw, sizeof aw), wipe(x, sizeof x);
}

// Public data: variable time is fine.
bool is_at_least_l(const u8 s[32])
{
    for (int i = 7; i >= 0; i--) {
        const u32 w = load32_le(s + 4 * i);
        if (w != order_l[i]) {
            return w > order_l[i];
        }
    }
    return true; // equal to L
}

// The secret scalar and the nonce prefix of a seed: BLAKE2b-512, clamped.
void expand_seed(u8 a[64], const u8 seed[32])
{
    blake2b(a, 64, seed, 32);
    a[0] &= 248;
    a[31] &= 127;
    a[31] |= 64;
}

} // namespace

// ---------------------------------------------------------------- interface

extern "C" {

void crypto_blake2b_init(crypto_blake2b_ctx *ctx, size_t hash_size)
{
    for (int i = 0; i < 8; i++) {
        ctx->hash[i] = blake2b_iv[i];
    }
    ctx->hash[0] ^= 0x01010000ULL ^ hash_size; // no key, fanout 1, depth 1
    ctx->input_offset[0] = 0;
    ctx->input_offset[1] = 0;
    memset(ctx->input, 0, sizeof ctx->input);
    ctx->input_idx = 0;
    ctx->hash_size = hash_size;
}

void crypto_blake2b_update(crypto_blake2b_ctx *ctx, const uint8_t *message, size_t message_size)
{
    if (message_size == 0) {
        return;
    }
    // The last block is compressed by final (with the last-block flag), so a
    // full block is kept pending until more input proves it is not the last.
    if (ctx->input_idx != 0) {
        size_t take = block_size - ctx->input_idx;
        if (take > message_size) {
            take = message_size;
        }
        memcpy(pending(ctx) + ctx->input_idx, message, take);
        ctx->input_idx += take;
        message += take;
        message_size -= take;
        if (message_size == 0) {
            return;
        }
        blake2b_compress(ctx->hash, ctx->input_offset, pending(ctx), 1, false, 0);
        ctx->input_idx = 0;
    }
    if (message_size > block_size) {
        const size_t blocks = (message_size - 1) / block_size; // keeps 1 to 128 bytes back
        blake2b_compress(ctx->hash, ctx->input_offset, message, blocks, false, 0);
        message += blocks * block_size;
        message_size -= blocks * block_size;
    }
    memcpy(pending(ctx), message, message_size);
    ctx->input_idx = message_size;
}

void crypto_blake2b_final(crypto_blake2b_ctx *ctx, uint8_t *hash)
{
    memset(pending(ctx) + ctx->input_idx, 0, block_size - ctx->input_idx);
    blake2b_compress(ctx->hash, ctx->input_offset, pending(ctx), 1, true, ctx->input_idx);
    u8 full[64];
    for (int i = 0; i < 8; i++) {
        store64_le(full + 8 * i, ctx->hash[i]);
    }
    memcpy(hash, full, ctx->hash_size);
    wipe(full, sizeof full);
    wipe(ctx, sizeof *ctx);
}

void crypto_eddsa_key_pair(uint8_t secret_key[64], uint8_t public_key[32], uint8_t seed[32])
{
    // Writes in this order so that the buffers may overlap: seed, secret key,
    // public key (as Monocypher 4 does).
    u8 a[64];
    memcpy(a, seed, 32);
    wipe(seed, 32);
    memcpy(secret_key, a, 32);
    expand_seed(a, a);
    scalarbase(secret_key + 32, a);
    memcpy(public_key, secret_key + 32, 32);
    wipe(a, sizeof a);
}

void crypto_eddsa_sign(uint8_t signature[64], const uint8_t secret_key[64], const uint8_t *message,
                       size_t message_size)
{
    u8 a[64]; // secret scalar, then the nonce prefix
    u8 r[32]; // secret nonce
    u8 h[32]; // public challenge
    u8 R[32];
    expand_seed(a, secret_key);
    hash_reduce(r, a + 32, 32, message, message_size);
    scalarbase(R, r);
    hash_reduce(h, R, 32, secret_key + 32, 32, message, message_size);
    memcpy(signature, R, 32);
    mul_add(signature + 32, h, a, r);
    wipe(a, sizeof a);
    wipe(r, sizeof r);
}

int crypto_eddsa_check(const uint8_t signature[64], const uint8_t public_key[32],
                       const uint8_t *message, size_t message_size)
{
    const u8 *s = signature + 32;
    ge A, R;
    if (is_at_least_l(s) || !ge_frombytes_vartime(A, public_key) ||
        !ge_frombytes_vartime(R, signature)) {
        return -1;
    }
    u8 h[32];
    hash_reduce(h, signature, 32, public_key, 32, message, message_size);

    // [8] ([s]B - [h]A - R) must be the identity.
    ge sb, ha;
    ge_cached c;
    ge_scalarmult(sb, ge_base, s);
    ge_neg(A);
    ge_scalarmult(ha, A, h);
    ge_cache(c, ha);
    ge_add(sb, sb, c);
    ge_neg(R);
    ge_cache(c, R);
    ge_add(sb, sb, c);
    ge_double(sb, sb);
    ge_double(sb, sb);
    ge_double(sb, sb);
    fe y_minus_z;
    fe_sub(y_minus_z, sb.Y, sb.Z);
    return fe_iszero_vartime(sb.X) && fe_iszero_vartime(y_minus_z) ? 0 : -1;
}

} // extern "C"
