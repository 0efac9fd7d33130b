// USSD text between the modem and the network: read from the hex text of a
// request, written as the hex text of an answer, in a character set of
// AT+CSCS or a data coding scheme. The alphabets are the tool's own
// (coding/); here they are only fitted to std::string. Text on this side is
// UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sim {

bool hex_text(std::string_view s);	// hex digits in pairs, or nothing

// Four hex digits to each UTF-16 unit; none when the text is not that.
std::optional<std::string> from_ucs2(std::string_view hex);
// Upper-case hex; a byte that does not begin well-formed UTF-8 is taken as
// the ISO 8859-1 character of that value.
std::string to_ucs2(std::string_view text);

// One 7-bit character to each pair of hex digits (the character set HEX).
std::optional<std::string> from_hex(std::string_view hex);

// Data coding schemes of UCS2 text, with or without a language first.
bool ucs2_scheme(int dcs);

// Hex text read by its data coding scheme as the tool reads it under -d;
// none when it is not hex, not within what the tool reads, or compressed.
std::optional<std::string> from_scheme(std::string_view hex, int dcs);

// Text as hex in the data coding scheme dcs: packed in the GSM alphabet,
// ISO 8859-1, or UCS2, behind a language ("en") where the scheme has one.
// Compressed schemes get the text packed but not compressed, enough for a
// client to see the scheme. None when the scheme cannot carry the text.
std::optional<std::string> to_scheme(std::string_view text, int dcs);

}
