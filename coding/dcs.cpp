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
	for (size_t i = 0; i < len; i++) {
		const auto c = static_cast<unsigned char>(text[i]);
		if (!is_hex(c))
			return not_hex;
		// The high digit first, which the low one shifts into place.
		const uint32_t high = i % 2 != 0 ? static_cast<uint32_t>(octets[i / 2]) << 4 : 0;
		octets[i / 2] = static_cast<uint8_t>(high | hex_digit(c));
	}
	return len / 2;
}

void
latin1_to_utf8(const uint8_t *octets, size_t n, utf8_out *out)
{
	for (size_t i = 0; i < n; i++)
		utf8_put(out, octets[i]);
}

void
hex_put(const uint8_t *octets, size_t n, char *dest, bool upper)
{
	const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";

	for (size_t i = 0; i < n; i++) {
		*dest++ = digits[octets[i] >> 4];
		*dest++ = digits[octets[i] & 15];
	}
	*dest = '\0';
}

void
swap_pairs(uint8_t *octets, size_t n)
{
	for (size_t i = 0; i + 1 < n; i += 2) {
		const uint8_t t = octets[i];
		octets[i] = octets[i + 1];
		octets[i + 1] = t;
	}
}

// The network's octets by the scheme's alphabet; a language in front of
// the text is left out, counted in its own coding.
static void
network_text(alphabet what, size_t language, const uint8_t *octets, size_t n, utf8_out *out)
{
	uint8_t septets[(work_buf_size - 1) / 2 * 8 / 7 + 1];
	size_t count = 0;

	switch (what) {
	case alphabet::gsm7:
		count = septet_unpack(octets, n < (work_buf_size - 1) / 2 ? n : (work_buf_size - 1) / 2,
		    septets);
		// Octets that fill whole groups of seven leave the last septet
		// in the spare bits of the last one, where CR is filler, and so
		// is 0 from senders that pad with zeros.
		if (n % 7 == 0 && count > 0 &&
		    (septets[count - 1] == '\r' || septets[count - 1] == 0))
			count--;
		if (language > count)
			language = count;
		gsm_to_utf8(septets + language, count - language, out);
		break;
	case alphabet::eight_bit:
		latin1_to_utf8(octets, n, out);
		break;
	case alphabet::ucs2:
	case alphabet::compressed:
		if (language > n)
			language = n;
		ucs2_to_utf8(octets + language, n - language, out);
		break;
	}
}

bool
answer_text(charset set, int dcs, const uint8_t *octets, size_t n, utf8_out *out)
{
	dcs_coding coding = dcs_read(dcs);
	// The octets a modem's hex stands for, read below through octets.
	// cppcheck-suppress variableScope
	uint8_t units[(work_buf_size - 1) / 2];

	// A coding the mode named itself reads as it is; a scheme beside it
	// says whether it can be read at all.
	if (dcs >= 0 && coding.what == alphabet::compressed && set != charset::latin1 &&
	    set != charset::utf8)
		return false;
	// Where the scheme is not 7-bit, a modem's text is the hex of the
	// network's octets: the one place an answer's hex is read past its
	// mode, since -s may change the scheme after the mode took it.
	if (set == charset::text)
		set = coding.what == alphabet::gsm7 || n > 2 * sizeof units ? charset::latin1 :
		    at_octets(reinterpret_cast<const char *>(octets), n, charset::gsm, charset::latin1,
			units, &octets, &n);
	switch (set) {
	case charset::latin1:
		coding = {alphabet::eight_bit, 0};
		[[fallthrough]];
	case charset::ucs2:
		// Unless the scheme says 8-bit, the modem has turned the whole
		// text into UCS2, a language in front of it included: each of
		// its characters is one unit.
		if (set == charset::ucs2 && (dcs < 0 || coding.what != alphabet::eight_bit))
			coding = {alphabet::ucs2, dcs >= 0 ? 2 * coding.language : 0};
		[[fallthrough]];
	case charset::gsm:
	case charset::text:
		network_text(coding.what, coding.language, octets, n, out);
		break;
	case charset::utf16le:
		ucs2_to_utf8(octets, n & ~static_cast<size_t>(1), out, true);
		break;
	case charset::utf8:
		// Made whole UTF-8 by the mode; the room is there for any answer.
		if (n > out->size - out->len)
			n = out->size - out->len;
		memcpy(out->buf + out->len, octets, n);
		out->len += n;
		break;
	}
	return true;
}

[[gnu::noinline]] size_t
ucs2_put(uint32_t cp, uint8_t *dest)
{
	size_t n = 0;

	if (cp > 0xffff) {
		cp -= 0x10000;
		const uint32_t high = 0xd800 + (cp >> 10);
		dest[n++] = static_cast<uint8_t>(high >> 8);
		dest[n++] = static_cast<uint8_t>(high);
		cp = 0xdc00 + (cp & 0x3ff);
	}
	dest[n++] = static_cast<uint8_t>(cp >> 8);
	dest[n++] = static_cast<uint8_t>(cp);
	return n;
}

const char *
ucs2_encode(const char *text, uint8_t *dest, size_t size, size_t *n)
{
	const char *why = nullptr;

	*n = 0;
	utf8_walk(text, strlen(text), [&](uint32_t cp) {
		if (cp == not_utf8) {
			why = "USSD is not UTF-8 text";
			return false;
		}
		if (*n + (cp > 0xffff ? 4 : 2) > size) {
			why = "USSD too long";
			return false;
		}
		*n += ucs2_put(cp, dest + *n);
		return true;
	});
	return why;
}
