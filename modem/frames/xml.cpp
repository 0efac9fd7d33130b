#include <string.h>

#include "coding/charsets.hpp"
#include "coding/septets.hpp"
#include "modem/frames/xml.hpp"

// The device's answers are small documents of known elements; nesting of
// one name inside the same name, comments and CDATA do not occur in them.
// The name is a literal wherever this is called, which no one swaps with
// a document.
const char *
xml_element(const char *doc, const char *name, size_t *len)	// NOLINT(bugprone-easily-swappable-parameters)
{
	const size_t k = strlen(name);

	for (const char *p = doc; (p = strchr(p, '<')) != nullptr; p++) {
		const char *q = p + 1 + k;
		if (strncmp(p + 1, name, k) != 0 || (*q != '>' && *q != '/' && *q != ' '))
			continue;
		if ((q = strchr(q, '>')) == nullptr)
			return nullptr;
		*len = 0;
		if (q[-1] == '/')
			return q + 1;
		for (const char *e = ++q; (e = strchr(e, '<')) != nullptr; e++) {
			if (e[1] == '/' && strncmp(e + 2, name, k) == 0 && e[2 + k] == '>') {
				*len = static_cast<size_t>(e - q);
				return q;
			}
		}
		return nullptr;
	}
	return nullptr;
}

long
xml_number(const char *doc, const char *name, long none)
{
	size_t n = 0;
	const char *v = xml_element(doc, name, &n);
	if (v == nullptr)
		return none;
	const size_t minus = n > 0 && *v == '-';
	size_t i = minus;
	long x = 0;

	for (; i < n && i < minus + 9 && v[i] >= '0' && v[i] <= '9'; i++)
		x = x * 10 + (v[i] - '0');
	return i == minus ? none : minus ? -x : x;
}

// The character of a numeric reference (after its '&'), and its length;
// 0 when s does not start one.
static size_t
number_reference(const char *s, size_t n, uint32_t *cp)
{
	const bool hex = (s[1] | 0x20) == 'x';
	const size_t first = hex ? 2 : 1;
	size_t i = first;
	uint32_t v = 0;

	for (; i < n && s[i] != ';'; i++) {
		const auto c = static_cast<unsigned char>(s[i]);
		if (!(hex ? is_hex(c) : c >= '0' && c <= '9'))
			return 0;
		// Past the last code point it stays past it.
		if (v <= 0x10ffff)
			v = v * (hex ? 16 : 10) + hex_digit(c);
	}
	if (i == n || i == first)
		return 0;
	// A surrogate stays one here: its other half may follow.
	*cp = v == 0 || v > 0x10ffff ? replacement_char : v;
	return i + 1;
}

// The character a reference stands for, and the length of the reference
// after its '&'; 0 when s does not start one.
static size_t
reference(const char *s, size_t n, uint32_t *cp)
{
	// Each character before its name.
	static constexpr char names[] = "&amp;<lt;>gt;\"quot;'apos;";
	size_t k = 0;

	for (const char *p = names; *p != '\0'; p += k + 1) {
		k = strcspn(p + 1, ";") + 1;
		if (k <= n && memcmp(s, p + 1, k) == 0) {
			*cp = static_cast<unsigned char>(*p);
			return k;
		}
	}
	return n >= 3 && s[0] == '#' ? number_reference(s, n, cp) : 0;
}

// One character, a reference, or a surrogate as CESU-8 writes it (ED A0 80
// to ED BF BF); its length, and its code point in cp.
static size_t
unit(const char *s, size_t n, uint32_t *cp)
{
	const auto *b = reinterpret_cast<const unsigned char *>(s);
	size_t k;

	if (s[0] == '&' && (k = reference(s + 1, n - 1, cp)) > 0)
		return k + 1;
	if (n >= 3 && b[0] == 0xed && (b[1] & 0xe0) == 0xa0 && (b[2] & 0xc0) == 0x80) {
		*cp = 0xd000 | (b[1] & 0x3fu) << 6 | (b[2] & 0x3fu);
		return 3;
	}
	if ((k = utf8_take(s, n, cp)) == 0) {
		*cp = replacement_char;
		k = 1;
	}
	return k;
}

// Huawei's web servers write a character beyond U+FFFF as its two
// surrogates, in CESU-8 or as two references: the pair is the character,
// and a half without the other is none.
void
xml_text(const char *s, size_t n, utf8_out *out)
{
	for (size_t i = 0, k; i < n; i += k) {
		uint32_t cp;
		uint32_t low = 0;
		k = unit(s + i, n - i, &cp);
		if (cp >= 0xd800 && cp <= 0xdbff && i + k < n) {
			const size_t j = unit(s + i + k, n - i - k, &low);
			if (low >= 0xdc00 && low <= 0xdfff) {
				cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
				k += j;
			}
		}
		utf8_put(out, cp >= 0xd800 && cp <= 0xdfff ? replacement_char : cp);
	}
}
