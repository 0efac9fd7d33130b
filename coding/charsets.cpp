#include <stdint.h>

#include "coding/charsets.hpp"

static constexpr uint8_t gsm_escape = 0x1b;

// The GSM 7-bit default alphabet. The escape is read as a space where it
// cannot escape anything: at the end, or before a second escape, which
// would lead to a further table not yet defined.
static constexpr char16_t gsm_chars[128] = {
	/* 0x00 */ u'@', u'£', u'$', u'¥', u'è', u'é', u'ù', u'ì',
	    u'ò', u'Ç', u'\n', u'Ø', u'ø', u'\r', u'Å', u'å',
	/* 0x10 */ u'Δ', u'_', u'Φ', u'Γ', u'Λ', u'Ω', u'Π', u'Ψ',
	    u'Σ', u'Θ', u'Ξ', u' ', u'Æ', u'æ', u'ß', u'É',
	/* 0x20 */ u' ', u'!', u'"', u'#', u'¤', u'%', u'&', u'\'',
	    u'(', u')', u'*', u'+', u',', u'-', u'.', u'/',
	/* 0x30 */ u'0', u'1', u'2', u'3', u'4', u'5', u'6', u'7',
	    u'8', u'9', u':', u';', u'<', u'=', u'>', u'?',
	/* 0x40 */ u'¡', u'A', u'B', u'C', u'D', u'E', u'F', u'G',
	    u'H', u'I', u'J', u'K', u'L', u'M', u'N', u'O',
	/* 0x50 */ u'P', u'Q', u'R', u'S', u'T', u'U', u'V', u'W',
	    u'X', u'Y', u'Z', u'Ä', u'Ö', u'Ñ', u'Ü', u'§',
	/* 0x60 */ u'¿', u'a', u'b', u'c', u'd', u'e', u'f', u'g',
	    u'h', u'i', u'j', u'k', u'l', u'm', u'n', u'o',
	/* 0x70 */ u'p', u'q', u'r', u's', u't', u'u', u'v', u'w',
	    u'x', u'y', u'z', u'ä', u'ö', u'ñ', u'ü', u'à',
};

// The alphabet kept a byte a character: ISO 8859-1's characters as they
// are, its Greek capitals (U+0393 to U+03A9) moved down to 0x83 to 0x99,
// where it has none of ISO 8859-1's.
static constexpr uint32_t greek_shift = 0x390 - 0x80;
static constexpr struct packed_alphabet {
	uint8_t code[128];
} gsm_alphabet = [] {
	packed_alphabet p = {};
	for (size_t i = 0; i < 128; i++)
		p.code[i] = static_cast<uint8_t>(gsm_chars[i] >= 0x390 ? gsm_chars[i] - greek_shift : gsm_chars[i]);
	return p;
}();
static_assert(
    [] {
	    for (size_t i = 0; i < 128; i++) {
		    const char16_t c = gsm_chars[i];
		    if ((c >= 0x80 && c < 0xa0) || (c > 0xff && (c < 0x393 || c > 0x3a9)))
			    return false;
	    }
	    return true;
    }(),
    "each character of the alphabet has its own byte");

// The character of a code of the alphabet.
static uint32_t
gsm_char(unsigned code)
{
	const uint32_t c = gsm_alphabet.code[code];
	return c >= 0x80 && c < 0xa0 ? c + greek_shift : c;
}

// The extension table, reached by the escape: the codes it defines.
static constexpr struct {
	uint8_t code;
	uint16_t cp;
} gsm_extension[] = {
	{0x0a, u'\f'}, {0x14, u'^'}, {0x28, u'{'}, {0x29, u'}'},
	{0x2f, u'\\'}, {0x3c, u'['}, {0x3d, u'~'}, {0x3e, u']'},
	{0x40, u'|'}, {0x65, u'€'},
};

void
utf8_put(utf8_out *out, uint32_t cp)
{
	static constexpr uint8_t lead[] = {0, 0, 0xc0, 0xe0, 0xf0};
	const size_t n = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;

	if (out->size - out->len < n) {
		out->size = out->len;	// nothing after it either
		return;
	}
	char *p = out->buf + out->len;
	out->len += n;
	for (size_t i = n - 1; i > 0; i--, cp >>= 6)
		p[i] = static_cast<char>(0x80 | (cp & 0x3f));
	p[0] = static_cast<char>(lead[n] | cp);
}

// Well-formed as RFC 3629 has it: the shortest form only, no surrogates,
// nothing above U+10FFFF. Nothing past the n bytes is read.
size_t
utf8_take(const char *s, size_t n, uint32_t *cp)
{
	const auto lead = static_cast<unsigned char>(s[0]);
	// By the lead byte: the length, and the least character of that length.
	const size_t len = lead < 0x80 ? 1 : lead < 0xc0 ? 0 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 :
	    lead < 0xf8 ? 4 : 0;
	static constexpr uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};

	if (len == 0 || len > n)
		return 0;
	// The bits of the lead byte below its length's.
	uint32_t c = lead & (0xffu >> (len + (len > 1)));
	for (size_t i = 1; i < len; i++) {
		auto next = static_cast<unsigned char>(s[i]);
		if ((next & 0xc0) != 0x80)
			return 0;
		c = c << 6 | (next & 0x3fu);
	}
	if (c < least[len] || c > 0x10ffff || (c >= 0xd800 && c < 0xe000))
		return 0;
	*cp = c;
	return len;
}

size_t
gsm_septets(uint32_t cp, uint8_t septets[2])
{
	for (uint8_t code = 0; code < 128; code++) {
		if (code != gsm_escape && gsm_char(code) == cp) {
			septets[0] = code;
			return 1;
		}
	}
	for (size_t i = 0; i < sizeof gsm_extension / sizeof gsm_extension[0]; i++) {
		if (gsm_extension[i].cp == cp) {
			septets[0] = gsm_escape;
			septets[1] = gsm_extension[i].code;
			return 2;
		}
	}
	return 0;
}

void
gsm_to_utf8(const uint8_t *septets, size_t n, utf8_out *out)
{
	for (size_t i = 0; i < n; i++) {
		unsigned code = septets[i] & 0x7fu;
		uint32_t cp = gsm_char(code);
		if (code == gsm_escape && i + 1 < n) {
			code = septets[++i] & 0x7fu;
			cp = gsm_char(code);
			for (size_t e = 0; e < sizeof gsm_extension / sizeof gsm_extension[0]; e++)
				if (gsm_extension[e].code == code)
					cp = gsm_extension[e].cp;
		}
		utf8_put(out, cp);
	}
}

void
ucs2_to_utf8(const uint8_t *octets, size_t n, utf8_out *out, bool little)
{
	auto unit = [octets, little](size_t i) {
		return static_cast<uint32_t>(octets[i + little]) << 8 | octets[i + !little];
	};

	for (size_t i = 0; i < n; i += 2) {
		if (i + 1 == n) {
			utf8_put(out, replacement_char);	// half a unit
			break;
		}
		uint32_t cp = unit(i);
		if (cp >= 0xd800 && cp < 0xdc00 && i + 3 < n) {
			const uint32_t low = unit(i + 2);
			if (low >= 0xdc00 && low < 0xe000) {
				cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
				i += 2;
			}
		}
		if (cp >= 0xd800 && cp < 0xe000)
			cp = replacement_char;
		utf8_put(out, cp);
	}
}
