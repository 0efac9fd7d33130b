#include <stdint.h>
#include <string.h>

#include "coding/charsets.hpp"

// What the GSM alphabet makes of a character: a code of the extension
// table takes two septets. One the alphabet lacks is counted as one; the
// modem decides what becomes of it.
static size_t
septets_of(uint32_t cp)
{
	uint8_t two[2];
	const size_t m = gsm_septets(cp, two);
	return m == 0 ? 1 : m;
}

// Nothing may end the quoted string or start an escape in it: a request
// must never become a second command.
const char *
text_code(const char *text, char *dest, size_t size)
{
	size_t count = 0;
	size_t len = 0;

	dest[0] = '\0';
	for (; text[len] != '\0'; len++) {
		const auto c = static_cast<unsigned char>(text[len]);
		if (c < 0x20 || c > 0x7e || c == '"' || c == '\\')
			return "USSD has a character text mode cannot send";
		count += septets_of(c);
	}
	if (count > max_request_septets || len >= size)
		return "USSD too long";
	memcpy(dest, text, len + 1);
	return nullptr;
}

const char *
ucs2_code(const char *text, char *dest, size_t size)
{
	static constexpr char hex[] = "0123456789ABCDEF";
	size_t count = 0;
	size_t n = 0;
	const char *why = nullptr;

	dest[0] = '\0';
	utf8_walk(text, strlen(text), [&](uint32_t cp) {
		uint8_t two[2];
		const size_t m = cp == not_utf8 ? 0 : gsm_septets(cp, two);
		if (m == 0) {
			why = cp == not_utf8 ? "USSD is not UTF-8 text" :
			    "USSD has a character the GSM alphabet lacks";
			return false;
		}
		count += m;
		// Every character of the alphabet is one unit of four digits.
		if (n + 4 < size)
			for (int shift = 12; shift >= 0; shift -= 4)
				dest[n++] = hex[cp >> shift & 0xfu];
		else
			n = size;	// too long for dest
		return true;
	});
	if (why != nullptr)
		return why;
	if (count > max_request_septets || n >= size) {
		dest[0] = '\0';
		return "USSD too long";
	}
	dest[n] = '\0';
	return nullptr;
}

bool
text_read(const char *text, int dcs, utf8_out *out)
{
	switch (dcs_read(dcs).what) {
	case alphabet::compressed:
		return false;
	case alphabet::gsm7:
		// The modem has turned the septets into text: never unpacked,
		// even when it happens to be made of hex digits.
		latin1_to_utf8(reinterpret_cast<const uint8_t *>(text),
		    strnlen(text, work_buf_size - 1), out);
		return true;
	case alphabet::eight_bit:
	case alphabet::ucs2:
		break;
	}
	return dcs_decode(text, dcs, out);
}

bool
ucs2_read(const char *text, int dcs, utf8_out *out)
{
	const dcs_coding coding = dcs_read(dcs);
	uint8_t octets[(work_buf_size - 1) / 2] = {};	// the analyser cannot see hex_octets fill it
	const size_t len = strnlen(text, work_buf_size - 1);

	if (coding.what == alphabet::compressed)
		return false;
	if (coding.what == alphabet::eight_bit)
		return dcs_decode(text, dcs, out);
	const size_t n = hex_octets(text, len, octets);
	if (n == not_hex) {
		latin1_to_utf8(reinterpret_cast<const uint8_t *>(text), len, out);
		return true;
	}
	// The modem has turned the whole text into UCS2, a language in front
	// of it included: each of its characters is one unit.
	size_t skip = 2 * coding.language;
	if (skip > n)
		skip = n;
	ucs2_to_utf8(octets + skip, n - skip, out);
	return true;
}
