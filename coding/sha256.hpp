// SHA-256, its HMAC and PBKDF2 over it: what a router's login asks of the
// password. One-shot and over whole buffers; no state outlives a call.
#pragma once

#include <stddef.h>
#include <stdint.h>

constexpr size_t sha256_size = 32;

// The hash of the n bytes of each of up to three parts, one after another
// (a part left out is null and 0 bytes long).
void sha256(uint8_t out[sha256_size], const void *a, size_t an, const void *b = nullptr,
    size_t bn = 0, const void *c = nullptr, size_t cn = 0);
void hmac_sha256(uint8_t out[sha256_size], const void *key, size_t key_len, const void *msg,
    size_t msg_len);
// out_len bytes of key from the password and salt (of up to 256 bytes),
// over this many rounds, at least one.
void pbkdf2_sha256(uint8_t *out, size_t out_len, const void *pass, size_t pass_len,
    const void *salt, size_t salt_len, unsigned rounds);
