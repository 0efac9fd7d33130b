// GSM 7-bit default alphabet packing (3GPP TS 23.038, data coding scheme 15)
// written as lower-case hex text. Characters are packed by their 7-bit code
// values as they are; there is no translation table.
#pragma once

#include <stddef.h>

/* septets.cpp */

// Packs text into dest (size bytes) as hex text. Returns null on success,
// otherwise the reason it was refused ("USSD too long", "USSD is not 7-bit
// text"); dest then holds no useful text.
const char *septet_pack(const char *text, char *dest, size_t size);

// The request as the tool packs it into the work buffer; refuses by errx.
void encira(const char *text, char *dest);

// Unpacks hex text in place. Never fails: a pair that is not two hex digits
// reads as all bits set. Needs one byte more than the text and its NUL.
void decira(char *buf);
