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
	// The alphabet's rules hold: only its characters, as many septets as
	// a request may have, which pack into this many octets.
	uint8_t packed[(7 * max_request_septets + 7) / 8];
	size_t n = 0;

	dest[0] = '\0';
	if (const char *why = gsm_octets(text, packed, sizeof packed, &n))
		return why;
	// Every character of the alphabet is one unit of four digits.
	n = 0;
	const bool fits = utf8_walk(text, strlen(text), [&](uint32_t cp) {
		if (n + 4 >= size)
			return false;
		const uint8_t unit[2] = {static_cast<uint8_t>(cp >> 8), static_cast<uint8_t>(cp)};
		hex_put(unit, 2, dest + n, true);
		n += 4;
		return true;
	});
	if (!fits) {
		dest[0] = '\0';
		return "USSD too long";
	}
	return nullptr;
}

charset
at_octets(const char *text, size_t n, charset hex, charset no_hex, uint8_t *octets,
    const uint8_t **got, size_t *len)
{
	const size_t m = hex == charset::text ? not_hex : hex_octets(text, n, octets);

	if (m == not_hex) {
		*got = reinterpret_cast<const uint8_t *>(text);
		*len = n;
		return no_hex;
	}
	*got = octets;
	*len = m;
	return hex;
}
