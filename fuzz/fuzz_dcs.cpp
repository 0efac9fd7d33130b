// The readers of an answer by data coding scheme and the coders of a
// request for modems that take text.
//
// Readers (of -d and packed mode, of text and of ucs2 mode): any
// text in any scheme gives well-formed UTF-8 by a validator of its own,
// stays in its buffer (exactly as large as the tool's, on the heap), in a
// smaller buffer is the start of the same text, and is what a model of
// each mode written here makes of it; a compressed scheme is refused by
// the readers of the text and ucs2 modes whatever the text.
//
// Coders (text_code, ucs2_code): any text is refused for exactly the stated
// reasons or coded as a model codes it, nothing is written past the room
// given, a smaller room gives the same text or "USSD too long", and UCS2
// hex reads back as the request.
//
// The first byte picks the function (its low three bits; the corpus names
// them by the digits 0 to 4), the second is the scheme, the third picks the
// smaller room, the rest is the text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "coding/charsets.hpp"
#include "fuzz/check.hpp"

namespace {

constexpr std::size_t request_size = 1024;	// the run's room for a coded request

void
put(std::string &out, std::uint32_t cp)
{
	if (cp < 0x80) {
		out += static_cast<char>(cp);
	} else if (cp < 0x800) {
		out += static_cast<char>(0xc0 | cp >> 6);
		out += static_cast<char>(0x80 | (cp & 0x3f));
	} else if (cp < 0x10000) {
		out += static_cast<char>(0xe0 | cp >> 12);
		out += static_cast<char>(0x80 | (cp >> 6 & 0x3f));
		out += static_cast<char>(0x80 | (cp & 0x3f));
	} else {
		out += static_cast<char>(0xf0 | cp >> 18);
		out += static_cast<char>(0x80 | (cp >> 12 & 0x3f));
		out += static_cast<char>(0x80 | (cp >> 6 & 0x3f));
		out += static_cast<char>(0x80 | (cp & 0x3f));
	}
}

std::string
latin1(std::string_view s)
{
	std::string out;
	for (char c : s)
		put(out, static_cast<unsigned char>(c));
	return out;
}

// Big-endian units; a surrogate pair is one character, any other
// surrogate and a lone last octet U+FFFD.
std::string
ucs2(std::string_view octets)
{
	std::string out;
	auto unit = [&](std::size_t i) -> std::uint32_t {
		return static_cast<std::uint32_t>(static_cast<unsigned char>(octets[i])) << 8 |
		    static_cast<unsigned char>(octets[i + 1]);
	};
	for (std::size_t i = 0; i < octets.size(); i += 2) {
		if (i + 2 > octets.size()) {
			put(out, 0xfffd);
			break;
		}
		std::uint32_t cp = unit(i);
		const bool high = cp >= 0xd800 && cp <= 0xdbff;
		if (high && i + 4 <= octets.size() && unit(i + 2) >= 0xdc00 && unit(i + 2) <= 0xdfff) {
			cp = 0x10000 + ((cp - 0xd800) << 10 | (unit(i + 2) - 0xdc00));
			i += 2;
		} else if (cp >= 0xd800 && cp <= 0xdfff) {
			cp = 0xfffd;
		}
		put(out, cp);
	}
	return out;
}

// The data coding schemes of TS 23.038 as a USSD answer uses them; the
// reserved ones are read as the default alphabet.
enum class scheme { gsm7, eight_bit, ucs2, compressed };

scheme
scheme_of(int dcs)
{
	if (dcs == 0x11)
		return scheme::ucs2;
	if (dcs >= 0x40 && dcs <= 0x7f) {	// general data coding
		if (dcs >= 0x60)
			return scheme::compressed;
		switch (dcs >> 2 & 3) {
		case 1:
			return scheme::eight_bit;
		case 2:
			return scheme::ucs2;
		default:
			return scheme::gsm7;
		}
	}
	if (dcs >= 0xf0)	// data coding and message class
		return dcs & 4 ? scheme::eight_bit : scheme::gsm7;
	return scheme::gsm7;
}

bool
hex_text(std::string_view s)
{
	return s.size() % 2 == 0 && s.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
}

std::string
octets_of(std::string_view hex)
{
	std::string octets;
	for (std::size_t i = 0; i < hex.size(); i += 2)
		octets += static_cast<char>(std::stoul(std::string(hex.substr(i, 2)), nullptr, 16));
	return octets;
}

using reader = bool (*)(const char *, int, utf8_out *);

// The packed, text and ucs2 modes' reading of a modem's text, as their
// codings have it.
bool
packed_read(const char *text, int dcs, utf8_out *out)
{
	return at_text_read(text, dcs, charset::gsm, charset::latin1, out);
}

bool
text_read(const char *text, int dcs, utf8_out *out)
{
	return at_text_read(text, dcs, charset::text, charset::text, out);
}

bool
ucs2_read(const char *text, int dcs, utf8_out *out)
{
	return at_text_read(text, dcs, charset::ucs2, charset::text, out);
}

std::string
decoded(reader read, const std::string &text, int dcs, std::size_t room, bool &ok)
{
	auto buf = std::make_unique<char[]>(room);
	utf8_out out = {buf.get(), room, 0};
	ok = read(text.c_str(), dcs, &out);
	CHECK(out.len <= room);
	return std::string(buf.get(), out.len);
}

void
check_reader(int which, int dcs, std::size_t small, const std::string &text)
{
	static constexpr reader readers[] = {packed_read, text_read, ucs2_read};
	const reader read = readers[which];
	bool ok = false;
	const std::string whole = decoded(read, text, dcs, decoded_buf_size, ok);
	CHECK(well_formed(whole));
	if (!ok)
		CHECK(whole.empty());

	const scheme s = scheme_of(dcs);
	const bool hex = hex_text(text);
	const std::string octets = hex ? octets_of(text) : std::string();
	auto past = [&](std::size_t n) { return std::string_view(octets).substr(std::min(n, octets.size())); };
	switch (which) {
	case 0:	// as -d: only the septets are not modelled here
		CHECK(ok == (!hex || s != scheme::compressed));
		if (!hex)
			CHECK(whole == latin1(text));
		else if (s == scheme::eight_bit)
			CHECK(whole == latin1(octets));
		else if (s == scheme::ucs2)
			CHECK(whole == ucs2(past(dcs == 0x11 ? 2 : 0)));
		break;
	case 1:	// text mode: the modem has turned septets into text
		CHECK(ok == (s != scheme::compressed));
		if (s == scheme::compressed)
			break;
		if (s == scheme::gsm7 || !hex)
			CHECK(whole == latin1(text));
		else if (s == scheme::eight_bit)
			CHECK(whole == latin1(octets));
		else
			CHECK(whole == ucs2(past(dcs == 0x11 ? 2 : 0)));
		break;
	case 2:	// ucs2 mode: all but 8-bit data has become UCS2, a language too
		CHECK(ok == (s != scheme::compressed));
		if (s == scheme::compressed)
			break;
		if (!hex)
			CHECK(whole == latin1(text));
		else if (s == scheme::eight_bit)
			CHECK(whole == latin1(octets));
		else
			CHECK(whole == ucs2(past(dcs == 0x10 ? 6 : dcs == 0x11 ? 4 : 0)));
		break;
	}

	bool again = false;
	const std::string start = decoded(read, text, dcs, small, again);
	CHECK(again == ok);
	CHECK(well_formed(start));
	CHECK(whole.compare(0, start.size(), start) == 0);
	CHECK(start.size() == whole.size() || start.size() + 4 > small);
}

// The GSM 7-bit default alphabet but its escape, and the extension table.
constexpr std::string_view gsm_main =
    "@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞÆæßÉ !\"#¤%&'()*+,-./0123456789:;<=>?"
    "¡ABCDEFGHIJKLMNOPQRSTUVWXYZÄÖÑÜ§¿abcdefghijklmnopqrstuvwxyzäöñüà";
constexpr std::string_view gsm_extension = "\f^{}\\[~]|€";

bool
among(std::string_view set, std::uint32_t cp)
{
	std::uint32_t c;
	for (std::size_t len; !set.empty(); set.remove_prefix(len)) {
		len = utf8_char(set, c);
		if (c == cp)
			return true;
	}
	return false;
}

// What a coder should make of text: the coded text, or why not.
struct coded {
	const char *why;
	std::string text;
};

coded
model_text_code(const std::string &text)
{
	std::size_t septets = 0;
	for (char c : text) {
		const auto b = static_cast<unsigned char>(c);
		if (b < 0x20 || b > 0x7e || b == '"' || b == '\\')
			return {"USSD has a character text mode cannot send", {}};
		septets += among(gsm_extension, b) ? 2 : 1;
	}
	if (septets > max_request_septets)
		return {"USSD too long", {}};
	return {nullptr, text};
}

coded
model_ucs2_code(const std::string &text)
{
	std::size_t septets = 0;
	std::string hex;
	std::uint32_t cp = 0;
	for (std::string_view s = text; !s.empty();) {
		const std::size_t len = utf8_char(s, cp);
		if (len == 0)
			return {"USSD is not UTF-8 text", {}};
		if (among(gsm_main, cp))
			septets += 1;
		else if (among(gsm_extension, cp))
			septets += 2;
		else
			return {"USSD has a character the GSM alphabet lacks", {}};
		char unit[8];
		std::snprintf(unit, sizeof unit, "%04X", static_cast<unsigned>(cp));
		hex += unit;
		s.remove_prefix(len);
	}
	if (septets > max_request_septets)
		return {"USSD too long", {}};
	return {nullptr, hex};
}

coded
code(const char *(*coder)(const char *, char *, std::size_t), const std::string &text,
    std::size_t size)
{
	auto dest = std::make_unique<char[]>(size);
	const char *why = coder(text.c_str(), dest.get(), size);
	if (why != nullptr)
		return {why, {}};
	const std::size_t len = strnlen(dest.get(), size);
	CHECK(len < size);
	return {nullptr, std::string(dest.get(), len)};
}

bool
same(const coded &a, const coded &b)
{
	if (a.why == nullptr || b.why == nullptr)
		return a.why == b.why && a.text == b.text;
	return std::strcmp(a.why, b.why) == 0;
}

void
check_coder(int which, std::size_t small, const std::string &text)
{
	const bool ucs2_mode = which == 4;
	const auto coder = ucs2_mode ? ucs2_code : text_code;
	const coded want = ucs2_mode ? model_ucs2_code(text) : model_text_code(text);
	const coded got = code(coder, text, request_size);
	CHECK(same(got, want));

	// In less room the text fits whole or is too long, never cut.
	const coded less = code(coder, text, small);
	if (want.why != nullptr || want.text.size() < small)
		CHECK(same(less, want));
	else
		CHECK(less.why != nullptr && std::strcmp(less.why, "USSD too long") == 0);

	if (ucs2_mode && got.why == nullptr) {
		bool ok = false;
		CHECK(decoded(ucs2_read, got.text, 72, decoded_buf_size, ok) == text);
		CHECK(ok);
	}
}

}

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (size < 3)
		return 0;
	const int which = (data[0] & 7) % 5;
	const int dcs = data[1];
	const char *rest = reinterpret_cast<const char *>(data + 3);
	if (which < 3) {
		// The answer as the run holds it: at most 1023 characters.
		const std::string text(rest, strnlen(rest, std::min<std::size_t>(size - 3, 1023)));
		check_reader(which, dcs, data[2] * 8u, text);
	} else {
		const std::string text(rest, strnlen(rest, size - 3));
		check_coder(which, 1 + data[2] * 4u, text);
	}
	return 0;
}
