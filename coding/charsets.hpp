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

// n octets of UCS2 as UTF-8: big-endian units, or little-endian where
// little, surrogate pairs joined; an unpaired surrogate and a lone last
// octet read as U+FFFD.
void ucs2_to_utf8(const uint8_t *octets, size_t n, utf8_out *out, bool little = false);

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

// Room for any answer the work buffer can hold, decoded as UTF-8: 1023
// octets that are no UTF-8 come to three bytes each, as U+FFFD. The rest
// come to less: 1023 bytes of ISO 8859-1 give two each, 1169 septets of
// 511 octets two each at most (an escape and its code make three), and
// UCS2 three bytes a unit at most (a surrogate pair makes four).
inline constexpr size_t decoded_buf_size = 3 * work_buf_size;

// The octets that len characters of hex text stand for, into octets (len / 2
// of them); not_hex when the text is not hex digits in pairs.
inline constexpr size_t not_hex = static_cast<size_t>(-1);
size_t hex_octets(const char *text, size_t len, uint8_t *octets);

// Each octet the ISO 8859-1 character of that number.
void latin1_to_utf8(const uint8_t *octets, size_t n, utf8_out *out);

// How the octets of an answer are to be read, as the mode that took it
// knows: the character set the modem used, the scheme read beside it.
enum class charset : unsigned char {
	gsm,		// the network's octets, by the scheme: 7-bit packed, 8-bit or UCS2
	ucs2,		// big-endian UCS2 or UTF-16 units, a language in front made units too
	utf16le,	// the same, little-endian
	latin1,		// each octet the ISO 8859-1 character of its number
	// A modem's text in the character set of AT+CSCS: as it stands where
	// the scheme is 7-bit, which the modem has decoded; else the hex of
	// the network's octets, or text once more where it is no hex.
	text,
	utf8,
};

// The answer's n octets as UTF-8, appended to out without a NUL, read as
// set says and by the scheme dcs (-1: none said). False, with nothing
// written, when the scheme says compressed, which cannot be read.
bool answer_text(charset set, int dcs, const uint8_t *octets, size_t n, utf8_out *out);

// n octets as hex text into dest, which has room for 2 n digits and a NUL:
// lower-case digits, or upper-case where upper.
void hex_put(const uint8_t *octets, size_t n, char *dest, bool upper);

// Swaps each pair of the n octets, in place: UTF-16 of either byte order.
void swap_pairs(uint8_t *octets, size_t n);

// One character as big-endian UTF-16 into dest: 2 octets, or 4 for a
// surrogate pair beyond U+FFFF.
size_t ucs2_put(uint32_t cp, uint8_t *dest);
// UTF-8 text as big-endian UTF-16 (UCS2, a character beyond U+FFFF as a
// surrogate pair) into dest, at most size octets; their number in *n.
// Null, or why not: "USSD is not UTF-8 text", "USSD too long".
const char *ucs2_encode(const char *text, uint8_t *dest, size_t size, size_t *n);

/* standard.cpp */

// Most modems take the request as text in the character set AT+CSCS chose
// and give the answer the same way. These code a request for that, into
// dest (size bytes), or return why it cannot go: IRA text as it stands, or
// UCS2 as upper-case hex. Either holds at most max_request_septets as the
// GSM alphabet counts them.
inline constexpr size_t max_request_septets = 182;
const char *text_code(const char *text, char *dest, size_t size);
const char *ucs2_code(const char *text, char *dest, size_t size);

// A modem's answer of n bytes of text, at the AT modes' edge: the octets
// its hex stands for, read as hex says, into octets (n / 2 of room); or,
// where it is no hex or hex is text, the text itself, as no_hex says. How
// to read what *got points to is returned, its length put in *len.
charset at_octets(const char *text, size_t n, charset hex, charset no_hex, uint8_t *octets,
    const uint8_t **got, size_t *len);

// The two in one, for the fake modem and the tests: a modem's text read as
// the AT mode whose codings hex and no_hex are reads it.
inline bool
at_text_read(const char *text, int dcs, charset hex, charset no_hex, utf8_out *out)
{
	uint8_t octets[work_buf_size / 2];
	const uint8_t *got;
	size_t n;
	const charset set = at_octets(text, strnlen(text, work_buf_size - 1), hex, no_hex, octets,
	    &got, &n);
	return answer_text(set, dcs, got, n, out);
}
