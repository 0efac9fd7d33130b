#include <stdint.h>

#include "coding/charsets.hpp"
#include "coding/septets.hpp"

const char gsm_lacks[] = "USSD has a character the GSM alphabet lacks";

size_t
septets_to_octets(const uint8_t *septets, size_t n, uint8_t *octets)
{
	const size_t count = (7 * n + 7) / 8;

	for (size_t i = 0; i < count; i++) {
		const size_t j = 8 * i / 7;
		const size_t k = 8 * i % 7;
		unsigned next = 0;
		if (j + 1 < n)
			next = septets[j + 1] & 0x7fu;
		else if (k == 6)
			next = '\r';	// seven spare bits left at zero would read as '@'
		octets[i] = static_cast<uint8_t>((septets[j] & 0x7fu) >> k | next << (7 - k));
	}
	return count;
}

const char *
septet_pack_array(const uint8_t *septets, size_t n, char *dest, size_t size)
{
	uint8_t octets[work_buf_size / 2];

	dest[0] = '\0';
	if ((7 * n + 7) / 8 > (size - 1) / 2 || (7 * n + 7) / 8 > sizeof octets)
		return "USSD too long";
	hex_put(octets, septets_to_octets(septets, n, octets), dest, false);
	return nullptr;
}

const char *
septet_pack(const char *text, char *dest, size_t size)
{
	const auto *c = reinterpret_cast<const unsigned char *>(text);
	size_t n = 0;

	dest[0] = '\0';
	for (; c[n] != 0; n++)
		if (c[n] > 0x7f)
			return "USSD is not 7-bit text";
	return septet_pack_array(c, n, dest, size);
}

const char *
gsm_octets(const char *text, uint8_t *dest, size_t size, size_t *len)
{
	// As many septets as the largest packed text of a work buffer.
	uint8_t septets[work_buf_size / 2 * 8 / 7];
	size_t n = 0;
	const char *why = nullptr;

	*len = 0;
	utf8_walk(text, strlen(text), [&](uint32_t cp) {
		uint8_t two[2];
		const size_t m = cp == not_utf8 ? 0 : gsm_septets(cp, two);
		if (m == 0) {
			why = cp == not_utf8 ? "USSD is not UTF-8 text" : gsm_lacks;
			return false;
		}
		for (size_t i = 0; i < m; i++, n++)
			if (n < sizeof septets)
				septets[n] = two[i];
		return true;
	});
	if (why != nullptr)
		return why;
	if (n > sizeof septets || (7 * n + 7) / 8 > size)
		return "USSD too long";
	*len = septets_to_octets(septets, n, dest);
	return nullptr;
}

const char *
gsm_pack(const char *text, char *dest, size_t size)
{
	uint8_t octets[work_buf_size / 2];
	size_t n;

	dest[0] = '\0';
	const size_t room = (size - 1) / 2;
	const char *why = gsm_octets(text, octets, room < sizeof octets ? room : sizeof octets, &n);
	if (why == nullptr)
		hex_put(octets, n, dest, false);
	return why;
}

size_t
septet_unpack(const uint8_t *octets, size_t n, uint8_t *septets)
{
	const size_t count = n * 8 / 7;

	for (size_t i = 0; i < count; i++) {
		const size_t bit = 7 * i;
		unsigned value = octets[bit / 8] >> bit % 8;
		if (bit % 8 > 1)	// the septet goes on in the next octet
			value |= static_cast<unsigned>(octets[bit / 8 + 1]) << (8 - bit % 8);
		septets[i] = static_cast<uint8_t>(value & 0x7fu);
	}
	return count;
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
			value = hex_digit(first) << 4 | hex_digit(second);

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
