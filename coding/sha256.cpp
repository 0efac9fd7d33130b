#include <string.h>

#include "coding/sha256.hpp"

static constexpr uint32_t k[64] = {
	0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
	0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
	0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
	0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
	0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
	0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
	0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
	0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

static uint32_t
rotr(uint32_t x, int n)
{
	return x >> n | x << (32 - n);
}

// The message schedule is kept as its last 16 words, each made in turn
// from the ones 16, 15, 7 and 2 before it.
static void
block(uint32_t h[8], const uint8_t *p)
{
	uint32_t w[16];
	uint32_t v[8];

	memcpy(v, h, sizeof v);
	for (int i = 0; i < 64; i++) {
		uint32_t &wi = w[i & 15];
		if (i < 16) {
			wi = static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
			    static_cast<uint32_t>(p[2]) << 8 | p[3];	// big-endian
			p += 4;
		} else {
			const uint32_t a = w[(i + 1) & 15];
			const uint32_t b = w[(i + 14) & 15];
			wi += (rotr(a, 7) ^ rotr(a, 18) ^ a >> 3) + w[(i + 9) & 15] +
			    (rotr(b, 17) ^ rotr(b, 19) ^ b >> 10);
		}
		const uint32_t t1 = v[7] + (rotr(v[4], 6) ^ rotr(v[4], 11) ^ rotr(v[4], 25)) +
		    ((v[4] & v[5]) ^ (~v[4] & v[6])) + k[i] + wi;
		const uint32_t t2 = (rotr(v[0], 2) ^ rotr(v[0], 13) ^ rotr(v[0], 22)) +
		    ((v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]));
		for (int j = 7; j > 0; j--)
			v[j] = v[j - 1];
		v[4] += t1;
		v[0] = t1 + t2;
	}
	for (int i = 0; i < 8; i++)
		h[i] += v[i];
}

namespace {

struct state {
	uint32_t h[8];
	uint8_t buf[64];
	size_t have;
};

}

static void
put(state *s, uint8_t b)
{
	s->buf[s->have++] = b;
	if (s->have == 64) {
		block(s->h, s->buf);
		s->have = 0;
	}
}

void
sha256(uint8_t out[sha256_size], const void *a, size_t an, const void *b, size_t bn, const void *c,
    size_t cn)
{
	static constexpr uint32_t h0[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f,
		0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
	state s;	// its block filled before it is read

	memcpy(s.h, h0, sizeof h0);
	s.have = 0;
	const void *part[3] = {a, b, c};
	const size_t len[3] = {an, bn, cn};
	const uint64_t bits = static_cast<uint64_t>(len[0] + len[1] + len[2]) * 8;

	for (int i = 0; i < 3; i++)
		for (size_t j = 0; j < len[i]; j++)
			put(&s, static_cast<const uint8_t *>(part[i])[j]);
	// The padding: a one bit, zeros up to the last 8 bytes of a block, and
	// the length in bits.
	put(&s, 0x80);
	while (s.have != 56)
		put(&s, 0);
	for (int i = 0; i < 8; i++)
		put(&s, static_cast<uint8_t>(bits >> (56 - 8 * i)));
	for (int i = 0; i < 32; i++)
		out[i] = static_cast<uint8_t>(s.h[i / 4] >> (24 - 8 * (i % 4)));
}

void
hmac_sha256(uint8_t out[sha256_size], const void *key, size_t key_len, const void *msg,
    size_t msg_len)
{
	uint8_t pad[64] = {};
	uint8_t inner[sha256_size];

	if (key_len > sizeof pad)
		sha256(pad, key, key_len);
	else
		memcpy(pad, key, key_len);
	for (size_t i = 0; i < sizeof pad; i++)
		pad[i] ^= 0x36;
	sha256(inner, pad, sizeof pad, msg, msg_len);
	for (size_t i = 0; i < sizeof pad; i++)
		pad[i] ^= 0x36 ^ 0x5c;
	sha256(out, pad, sizeof pad, inner, sizeof inner);
}

void
pbkdf2_sha256(uint8_t *out, size_t out_len, const void *pass, size_t pass_len, const void *salt,
    size_t salt_len, unsigned rounds)
{
	uint8_t msg[256 + 4];
	uint8_t u[sha256_size];
	uint8_t t[sha256_size];

	if (salt_len > sizeof msg - 4)
		salt_len = sizeof msg - 4;
	memcpy(msg, salt, salt_len);
	for (uint32_t i = 1; out_len > 0; i++) {
		for (size_t j = 0; j < 4; j++)
			msg[salt_len + j] = static_cast<uint8_t>(i >> (24 - 8 * j));
		// Each round's HMAC is of the one before, the first of the salt.
		const uint8_t *m = msg;
		size_t m_len = salt_len + 4;
		memset(t, 0, sizeof t);
		for (unsigned r = 0; r < rounds; r++, m = u, m_len = sizeof u) {
			hmac_sha256(u, pass, pass_len, m, m_len);
			for (size_t j = 0; j < sizeof t; j++)
				t[j] ^= u[j];
		}
		const size_t n = out_len < sizeof t ? out_len : sizeof t;
		memcpy(out, t, n);
		out += n;
		out_len -= n;
	}
}
