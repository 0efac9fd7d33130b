// Character sets of USSD text (3GPP TS 23.038): the GSM 7-bit default
// alphabet with its extension table, UCS2 and ISO 8859-1, all read into and
// written from UTF-8. Text is written into fixed buffers whose room the
// caller states; nothing here allocates.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "front/settings.hpp"

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
// One character of NUL-terminated UTF-8 text: its length in bytes, or 0
// when the bytes at s are not well-formed UTF-8 or are the NUL.
size_t utf8_get(const char *s, uint32_t *cp);

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
	size_t prefix;	// language in front of the text: septets (gsm7), octets (ucs2)
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

// Decodes the answer text (at most its first 1023 characters) by its data
// coding scheme and appends it to out as UTF-8, without a NUL. False, with
// nothing written, when the text is compressed, which cannot be read.
bool dcs_decode(const char *text, int dcs, utf8_out *out);

// The answer as the tool prints it under -d; compressed text ends the run.
void decutf(const char *text, int dcs, utf8_out *out);
