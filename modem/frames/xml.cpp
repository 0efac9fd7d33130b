#include <string.h>

#include "coding/charsets.hpp"
#include "modem/frames/xml.hpp"
#include "modem/hilink.hpp"

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

// The character of a numeric reference (after its '&'), and its length;
// 0 when s does not start one.
static size_t
number_reference(const char *s, size_t n, uint32_t *cp)
{
	const bool hex = s[1] == 'x' || s[1] == 'X';
	const size_t first = hex ? 2 : 1;
	size_t i = first;
	uint32_t v = 0;

	for (; i < n && s[i] != ';'; i++) {
		const auto c = static_cast<unsigned char>(s[i]);
		const bool digit = c >= '0' && c <= '9';
		if (!digit && !(hex && is_hex(c)))
			return 0;
		// Past the last code point it stays past it.
		if (v <= 0x10ffff)
			v = v * (hex ? 16 : 10) + static_cast<uint32_t>(digit ? c - '0' : (c | 0x20) - 'a' + 10);
	}
	if (i == n || i == first)
		return 0;
	const bool bad = v == 0 || v > 0x10ffff || (v >= 0xd800 && v <= 0xdfff);
	*cp = bad ? replacement_char : v;
	return i + 1;
}

// The character a reference stands for, and the length of the reference
// after its '&'; 0 when s does not start one.
static size_t
reference(const char *s, size_t n, uint32_t *cp)
{
	static constexpr const char *names[] = {"amp;", "lt;", "gt;", "quot;", "apos;"};
	static constexpr char chars[] = "&<>\"'";

	for (size_t i = 0; i < 5; i++) {
		const size_t k = strlen(names[i]);
		if (k <= n && memcmp(s, names[i], k) == 0) {
			*cp = static_cast<unsigned char>(chars[i]);
			return k;
		}
	}
	return n >= 3 && s[0] == '#' ? number_reference(s, n, cp) : 0;
}

void
xml_text(const char *s, size_t n, utf8_out *out)
{
	for (size_t i = 0, k; i < n; i += k) {
		uint32_t cp;
		if (s[i] == '&' && (k = reference(s + i + 1, n - i - 1, &cp)) > 0) {
			k++;
		} else if ((k = utf8_take(s + i, n - i, &cp)) == 0) {
			cp = replacement_char;
			k = 1;
		}
		utf8_put(out, cp);
	}
}
