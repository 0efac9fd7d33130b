// GSM 7-bit default alphabet packing (3GPP TS 23.038, data coding scheme 15)
// into octets, or as lower-case hex text for AT commands. Without -d
// characters are packed by their 7-bit code values as they are; with it the
// request is UTF-8 and goes through the GSM alphabet first.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The work buffer of a run: a request's hex text, an answer's quoted text
// and the answer decoded over it in place, each with its NUL.
inline constexpr size_t work_buf_size = 1024;

constexpr bool
is_hex(unsigned char ch)
{
	return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') ||
	    (ch >= 'A' && ch <= 'F');
}

constexpr uint32_t
hex_digit(unsigned char ch)
{
	if (ch <= '9')
		return ch - '0';
	return (ch | 0x20u) - 'a' + 10;
}

/* septets.cpp */

// Packs n septets into octets, eight into seven, lowest bits first; seven
// spare bits at the end carry CR. Returns how many: (7 n + 7) / 8.
size_t septets_to_octets(const uint8_t *septets, size_t n, uint8_t *octets);

// The same into dest (size bytes) as hex text, as AT+CUSD takes it.
// Returns null on success, otherwise "USSD too long".
const char *septet_pack_array(const uint8_t *septets, size_t n, char *dest, size_t size);

// Packs text into dest (size bytes) as hex text. Returns null on success,
// otherwise the reason it was refused ("USSD too long", "USSD is not 7-bit
// text"); dest then holds no useful text.
const char *septet_pack(const char *text, char *dest, size_t size);

// Packs UTF-8 text through the GSM alphabet and its extension table as
// septet_pack does 7-bit text; refused also as "USSD is not UTF-8 text" or
// as gsm_lacks, which a caller may tell by its address.
extern const char gsm_lacks[];	// "USSD has a character the GSM alphabet lacks"
const char *gsm_pack(const char *text, char *dest, size_t size);
// The same as octets, at most size of them, their count in *len.
const char *gsm_octets(const char *text, uint8_t *dest, size_t size, size_t *len);

// The whole septets in n octets (n * 8 / 7 of them, into septets); bits
// left over after the last are none.
size_t septet_unpack(const uint8_t *octets, size_t n, uint8_t *septets);

// Unpacks hex text in place. Never fails: a pair that is not two hex digits
// reads as all bits set. Needs one byte more than the text and its NUL.
void decira(char *buf);
