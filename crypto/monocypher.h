// BLAKE2b and EdDSA (edwards25519 with BLAKE2b-512), the subset of the
// Monocypher 4 interface that the setup program calls. Signatures and
// digests are bit for bit those of Monocypher 4.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    uint64_t hash[8];
    uint64_t input_offset[2];
    uint64_t input[16];
    size_t input_idx;
    size_t hash_size;
} crypto_blake2b_ctx;

// Starts an unkeyed BLAKE2b hash with a digest of hash_size bytes (1 to 64).
void crypto_blake2b_init(crypto_blake2b_ctx *ctx, size_t hash_size);

// Feeds message_size bytes; any chunking gives the same digest.
void crypto_blake2b_update(crypto_blake2b_ctx *ctx, const uint8_t *message, size_t message_size);

// Writes the digest (hash_size bytes of init) and wipes the context.
void crypto_blake2b_final(crypto_blake2b_ctx *ctx, uint8_t *hash);

// Derives a key pair from a 32-byte seed. The secret key is the seed followed
// by the public key. The seed is wiped.
void crypto_eddsa_key_pair(uint8_t secret_key[64], uint8_t public_key[32], uint8_t seed[32]);

// Signs a message with a secret key made by crypto_eddsa_key_pair.
void crypto_eddsa_sign(uint8_t signature[64], const uint8_t secret_key[64],
                       const uint8_t *message, size_t message_size);

// Returns 0 when the signature holds for the message and the public key,
// -1 otherwise.
int crypto_eddsa_check(const uint8_t signature[64], const uint8_t public_key[32],
                       const uint8_t *message, size_t message_size);

#ifdef __cplusplus
}
#endif
