// A broken invariant ends the run with a message, so that libFuzzer keeps
// the input that broke it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

[[noreturn]] inline void
check_failed(const char *what, const char *file, int line)
{
	std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
	std::abort();
}

#define CHECK(cond) ((cond) ? (void)0 : check_failed(#cond, __FILE__, __LINE__))

// One character of UTF-8 by Unicode's table of well-formed byte sequences:
// its length, or 0 when s does not start with one.
inline std::size_t
utf8_char(std::string_view s, std::uint32_t &cp)
{
	auto in = [](unsigned b, unsigned lo, unsigned hi) { return b >= lo && b <= hi; };
	const auto b = [&](std::size_t k) -> unsigned {
		return k < s.size() ? static_cast<unsigned char>(s[k]) : 0x100;
	};
	const unsigned b0 = b(0);
	std::size_t len = 0;
	if (b0 <= 0x7f)
		len = 1;
	else if (in(b0, 0xc2, 0xdf) && in(b(1), 0x80, 0xbf))
		len = 2;
	else if (b0 == 0xe0 && in(b(1), 0xa0, 0xbf) && in(b(2), 0x80, 0xbf))
		len = 3;
	else if ((in(b0, 0xe1, 0xec) || in(b0, 0xee, 0xef)) && in(b(1), 0x80, 0xbf) &&
	    in(b(2), 0x80, 0xbf))
		len = 3;
	else if (b0 == 0xed && in(b(1), 0x80, 0x9f) && in(b(2), 0x80, 0xbf))
		len = 3;
	else if (b0 == 0xf0 && in(b(1), 0x90, 0xbf) && in(b(2), 0x80, 0xbf) && in(b(3), 0x80, 0xbf))
		len = 4;
	else if (in(b0, 0xf1, 0xf3) && in(b(1), 0x80, 0xbf) && in(b(2), 0x80, 0xbf) &&
	    in(b(3), 0x80, 0xbf))
		len = 4;
	else if (b0 == 0xf4 && in(b(1), 0x80, 0x8f) && in(b(2), 0x80, 0xbf) && in(b(3), 0x80, 0xbf))
		len = 4;
	if (len == 0 || len > s.size())
		return 0;
	static constexpr unsigned lead_bits[] = {0, 0x7f, 0x1f, 0x0f, 0x07};
	cp = b0 & lead_bits[len];
	for (std::size_t k = 1; k < len; k++)
		cp = cp << 6 | (b(k) & 0x3f);
	return len;
}

// Whether s is whole UTF-8.
inline bool
well_formed(std::string_view s)
{
	std::uint32_t cp;
	for (std::size_t len; !s.empty(); s.remove_prefix(len))
		if ((len = utf8_char(s, cp)) == 0)
			return false;
	return true;
}
