// Character sets of USSD text (3GPP TS 23.038): the GSM 7-bit default
// alphabet with its extension table, UCS2 and ISO 8859-1, all read into and
// written from UTF-8. Text is written into fixed buffers whose room the
// caller states; nothing here allocates.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "coding/septets.hpp"

/* charsets.cpp */

// UTF-8 text being written into a fixed buffer. Writing stops before the
// first character that does not fit whole, so what was written is valid
// UTF-8 and the start of the whole text.
struct utf8_out {
	char *buf;
	size_t size;
	size_t len;
};

inline constexpr uint32_t replacement_char = 0xfffd;

void utf8_put(utf8_out *out, uint32_t cp);
// One character of UTF-8 text among the n bytes at s (n > 0): its length in
// bytes, or 0 when the bytes there are not well-formed UTF-8.
size_t utf8_take(const char *s, size_t n, uint32_t *cp);
// The same in NUL-terminated text, where the NUL is no character: 0.
inline size_t
utf8_get(const char *s, uint32_t *cp)
{
	return *s == '\0' ? 0 : utf8_take(s, strnlen(s, 4), cp);
}

// What the walk hands over for a byte that starts no well-formed character.
inline constexpr uint32_t not_utf8 = 0xffffffff;

// The one walk over UTF-8 text: each character of the n bytes at s (NULs
// among them) goes to each(cp) in turn, until each returns false; a byte
// that starts no well-formed character goes as not_utf8. True when the walk
// came to the end.
template <class F>
bool
utf8_walk(const char *s, size_t n, F each)
{
	for (size_t i = 0, k; i < n; i += k) {
		uint32_t cp;
		if ((k = utf8_take(s + i, n - i, &cp)) == 0) {
			cp = not_utf8;
			k = 1;
		}
		if (!each(cp))
			return false;
	}
	return true;
}

// The septets of a character in the GSM alphabet: 1, 2 (escape and a code
// of the extension table) or 0 when the alphabet lacks it.
size_t gsm_septets(uint32_t cp, uint8_t septets[2]);
// n septets as UTF-8; an escape followed by a code the extension table
// lacks reads as the main table's character, a lone escape as a space.
void gsm_to_utf8(const uint8_t *septets, size_t n, utf8_out *out);

// n octets of UCS2 as UTF-8: big-endian units, surrogate pairs joined; an
// unpaired surrogate and a lone last octet read as U+FFFD.
void ucs2_to_utf8(const uint8_t *octets, size_t n, utf8_out *out);

/* dcs.cpp */

enum class alphabet { gsm7, eight_bit, ucs2, compressed };

struct dcs_coding {
	alphabet what;
	// Characters of a language in front of the text, which the reader
	// leaves out: in the scheme's own coding, septets (gsm7) or one octet
	// each (ucs2, two septets on two octets).
	size_t language;
};

// What a data coding scheme (0 to 255) says about the text of a USSD answer.
dcs_coding dcs_read(int dcs);

// Room for any answer the work buffer can hold, decoded as UTF-8. The
// worst case is 1023 characters that are not hex, each a byte above 127
// read as ISO 8859-1: two bytes of UTF-8 each, 2046 in all. Hex text holds
// at most 511 octets, which come to less: 584 septets of two bytes at most
// (an escape and its code make three) give 1168, 511 octets of 8-bit data
// 1022, and 255 UCS2 units of three bytes (a surrogate pair makes four) and
// a lone octet 768.
inline constexpr size_t decoded_buf_size = 2 * work_buf_size;

// The octets that len characters of hex text stand for, into octets (len / 2
// of them); not_hex when the text is not hex digits in pairs.
inline constexpr size_t not_hex = static_cast<size_t>(-1);
size_t hex_octets(const char *text, size_t len, uint8_t *octets);

// Each octet the ISO 8859-1 character of that number.
void latin1_to_utf8(const uint8_t *octets, size_t n, utf8_out *out);

// Decodes the answer text (at most its first 1023 characters) by its data
// coding scheme and appends it to out as UTF-8, without a NUL. False, with
// nothing written, when the text is compressed, which cannot be read.
bool dcs_decode(const char *text, int dcs, utf8_out *out);

/* standard.cpp */

// Most modems take the request as text in the character set AT+CSCS chose
// and give the answer the same way. These code a request for that, into
// dest (size bytes), or return why it cannot go: IRA text as it stands, or
// UCS2 as upper-case hex. Either holds at most max_request_septets as the
// GSM alphabet counts them.
inline constexpr size_t max_request_septets = 182;
const char *text_code(const char *text, char *dest, size_t size);
const char *ucs2_code(const char *text, char *dest, size_t size);

// The answer of such a modem as UTF-8, read by its data coding scheme as
// dcs_decode reads it; false when it is compressed.
bool text_read(const char *text, int dcs, utf8_out *out);
bool ucs2_read(const char *text, int dcs, utf8_out *out);
