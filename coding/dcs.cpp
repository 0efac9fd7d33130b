#include <stdint.h>
#include <err.h>

#include "coding/charsets.hpp"
#include "coding/septets.hpp"
#include "front/settings.hpp"

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

bool
dcs_decode(const char *text, int dcs, utf8_out *out)
{
	uint8_t octets[(work_buf_size - 1) / 2];
	uint8_t septets[sizeof octets * 8 / 7];
	size_t len = 0;
	bool hex = true;

	for (; len < work_buf_size - 1 && text[len] != '\0'; len++)
		hex = hex && is_hex(static_cast<unsigned char>(text[len]));
	if (!hex || len % 2 != 0) {
		// Text the modem has decoded itself.
		for (size_t i = 0; i < len; i++)
			utf8_put(out, static_cast<unsigned char>(text[i]));
		return true;
	}

	const dcs_coding coding = dcs_read(dcs);
	if (coding.what == alphabet::compressed)
		return false;
	const size_t n = len / 2;
	for (size_t i = 0; i < n; i++)
		octets[i] = static_cast<uint8_t>(
		    hex_digit(static_cast<unsigned char>(text[2 * i])) << 4 |
		    hex_digit(static_cast<unsigned char>(text[2 * i + 1])));
	const size_t skip = coding.prefix < n ? coding.prefix : n;
	switch (coding.what) {
	case alphabet::gsm7: {
		size_t count = septet_unpack(octets, n, septets);
		// Octets that fill whole groups of seven leave the last septet
		// in the spare bits of the last one, where CR is filler, and so
		// is 0 from senders that pad with zeros.
		if (n % 7 == 0 && count > 0 &&
		    (septets[count - 1] == '\r' || septets[count - 1] == 0))
			count--;
		const size_t drop = coding.prefix < count ? coding.prefix : count;
		gsm_to_utf8(septets + drop, count - drop, out);
		break;
	}
	case alphabet::eight_bit:
		for (size_t i = 0; i < n; i++)
			utf8_put(out, octets[i]);	// ISO 8859-1
		break;
	case alphabet::ucs2:
		ucs2_to_utf8(octets + skip, n - skip, out);
		break;
	case alphabet::compressed:
		break;
	}
	return true;
}

size_t
decutf(const char *text, int dcs, char *out, size_t size)
{
	utf8_out decoded = {out, size, 0};

	if (!dcs_decode(text, dcs, &decoded))
		errx(1, "cannot read compressed answer (data coding scheme %d)", dcs);
	return decoded.len;
}
