#include <stdint.h>
#include <err.h>

#include "coding/septets.hpp"
#include "front/settings.hpp"

static constexpr char hex_digits[] = "0123456789abcdef";

static constexpr bool
is_hex(unsigned char ch)
{
	return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') ||
	    (ch >= 'A' && ch <= 'F');
}

static constexpr uint32_t
digit(unsigned char ch)
{
	if (ch <= '9')
		return ch - '0';
	return (ch | 0x20u) - 'a' + 10;
}

// Eight characters go into seven octets, lowest bits first.
const char *
septet_pack(const char *text, char *dest, size_t size)
{
	const auto *c = reinterpret_cast<const unsigned char *>(text);
	const size_t max_octets = (size - 1) / 2;
	size_t octets = 0;

	dest[0] = '\0';
	for (const unsigned char *p = c; *p != 0; p++)
		if (*p > 0x7f)
			return "USSD is not 7-bit text";

	for (size_t j = 0, k = 0; c[j] != 0;) {
		if (octets == max_octets)
			return "USSD too long";
		unsigned next = c[j + 1];
		// Seven spare bits left at zero would be read as a final '@';
		// CR in them says there is no eighth character.
		if (k == 6 && next == 0)
			next = '\r';
		unsigned octet = (c[j] >> k | next << (7 - k)) & 0xffu;
		dest[2 * octets] = hex_digits[octet >> 4];
		dest[2 * octets + 1] = hex_digits[octet & 0xfu];
		octets++;
		if (k < 6) {
			k++;
			j++;
		} else if (c[j + 1] == 0) {
			break;
		} else {
			// c[j + 1] went wholly into this octet.
			k = 0;
			j += 2;
		}
	}
	dest[2 * octets] = '\0';
	return nullptr;
}

void
encira(const char *text, char *dest)
{
	if (const char *why = septet_pack(text, dest, work_buf_size))
		errx(1, "%s", why);
}

// Each character is written only after the pair it comes from has been
// read, and the output never catches up with the input, so the text can be
// decoded where it lies. The arithmetic is unsigned; only the low seven bits
// of the carry are ever used, where an all-ones value shifted right keeps
// its ones as it would if it were signed.
void
decira(char *buf)
{
	const char *in = buf;
	char *out = buf;
	uint32_t carry = 0;
	unsigned k = 0;

	while (*in != '\0') {
		auto first = static_cast<unsigned char>(in[0]);
		auto second = static_cast<unsigned char>(in[1]);
		uint32_t value = 0xffffffffu;
		if (is_hex(first) && is_hex(second))
			value = digit(first) << 4 | digit(second);

		*out++ = static_cast<char>(((value << k) | carry) & 0x7fu);
		carry = value >> (7 - k);
		if (++k == 8)
			k = 0;	// the same octet also starts the next group
		else
			in += 2;
		if (second == '\0')
			break;
	}
	if (k != 0) {
		auto last = static_cast<char>(carry & 0x7fu);
		// CR in the seven spare bits of the last octet is filler.
		if (k != 7 || last != '\r')
			*out++ = last;
	}
	*out = '\0';
}
