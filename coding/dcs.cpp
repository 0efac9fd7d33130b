#include <stdint.h>
#include <string.h>

#include "coding/charsets.hpp"
#include "coding/septets.hpp"

// The coding groups of cell broadcast, which USSD uses too. A receiver
// reads the reserved ones (groups 0001 0010 to 1110, alphabet bits 11) as
// the default alphabet.
dcs_coding
dcs_read(int dcs)
{
	const auto bits = static_cast<unsigned>(dcs) & 0xffu;

	if (bits == 0x10)	// two letters of a language and CR first
		return {alphabet::gsm7, 3};
	if (bits == 0x11)	// two septets of a language on two octets first
		return {alphabet::ucs2, 2};
	if ((bits & 0xc0) == 0x40) {
		if (bits & 0x20)
			return {alphabet::compressed, 0};
		if ((bits & 0x0c) == 0x04)
			return {alphabet::eight_bit, 0};
		if ((bits & 0x0c) == 0x08)
			return {alphabet::ucs2, 0};
		return {alphabet::gsm7, 0};
	}
	if ((bits & 0xf0) == 0xf0 && (bits & 0x04))
		return {alphabet::eight_bit, 0};
	return {alphabet::gsm7, 0};
}

size_t
hex_octets(const char *text, size_t len, uint8_t *octets)
{
	if (len % 2 != 0)
		return not_hex;
	for (size_t i = 0; i < len; i += 2) {
		const auto high = static_cast<unsigned char>(text[i]);
		const auto low = static_cast<unsigned char>(text[i + 1]);
		if (!is_hex(high) || !is_hex(low))
			return not_hex;
		octets[i / 2] = static_cast<uint8_t>(hex_digit(high) << 4 | hex_digit(low));
	}
	return len / 2;
}

void
latin1_to_utf8(const uint8_t *octets, size_t n, utf8_out *out)
{
	for (size_t i = 0; i < n; i++)
		utf8_put(out, octets[i]);
}

bool
dcs_decode(const char *text, int dcs, utf8_out *out)
{
	uint8_t octets[(work_buf_size - 1) / 2] = {};	// the analyser cannot see hex_octets fill it
	uint8_t septets[sizeof octets * 8 / 7];
	const size_t len = strnlen(text, work_buf_size - 1);
	const size_t n = hex_octets(text, len, octets);

	if (n == not_hex) {
		// Text the modem has decoded itself.
		latin1_to_utf8(reinterpret_cast<const uint8_t *>(text), len, out);
		return true;
	}

	const dcs_coding coding = dcs_read(dcs);
	size_t count = 0;
	size_t skip = 0;
	switch (coding.what) {
	case alphabet::gsm7:
		count = septet_unpack(octets, n, septets);
		// Octets that fill whole groups of seven leave the last septet
		// in the spare bits of the last one, where CR is filler, and so
		// is 0 from senders that pad with zeros.
		if (n % 7 == 0 && count > 0 &&
		    (septets[count - 1] == '\r' || septets[count - 1] == 0))
			count--;
		skip = coding.language < count ? coding.language : count;
		gsm_to_utf8(septets + skip, count - skip, out);
		break;
	case alphabet::eight_bit:
		latin1_to_utf8(octets, n, out);
		break;
	case alphabet::ucs2:
		skip = coding.language < n ? coding.language : n;
		ucs2_to_utf8(octets + skip, n - skip, out);
		break;
	case alphabet::compressed:
		return false;
	}
	return true;
}
