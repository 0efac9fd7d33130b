// Decodes any text in any data coding scheme as -d does: the output is
// well-formed UTF-8 by a validator of its own, stays in its buffer (exactly
// as large as the tool's, on the heap), and in a smaller buffer is the start
// of the same text. The first byte of the input is the scheme, the second
// picks the smaller room, the rest is the text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "coding/charsets.hpp"
#include "fuzz/check.hpp"

namespace {

// Unicode's table of well-formed byte sequences, row by row.
bool
well_formed(std::string_view s)
{
	auto in = [](unsigned b, unsigned lo, unsigned hi) { return b >= lo && b <= hi; };
	for (std::size_t i = 0; i < s.size();) {
		const auto b = [&](std::size_t k) -> unsigned {
			return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0x100;
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
		if (len == 0 || i + len > s.size())
			return false;
		i += len;
	}
	return true;
}

std::string
latin1(std::string_view s)
{
	std::string out;
	for (char c : s) {
		const auto b = static_cast<unsigned char>(c);
		if (b < 0x80) {
			out += c;
		} else {
			out += static_cast<char>(0xc0 | b >> 6);
			out += static_cast<char>(0x80 | (b & 0x3f));
		}
	}
	return out;
}

std::string
decoded(const std::string &text, int dcs, std::size_t room, bool &read)
{
	auto buf = std::make_unique<char[]>(room);
	utf8_out out = {buf.get(), room, 0};
	read = dcs_decode(text.c_str(), dcs, &out);
	CHECK(out.len <= room);
	return std::string(buf.get(), out.len);
}

}

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (size < 2)
		return 0;
	const int dcs = data[0];
	const std::size_t small = data[1] * 8u;
	const char *rest = reinterpret_cast<const char *>(data + 2);
	const std::string text(rest, strnlen(rest, std::min<std::size_t>(size - 2, 1023)));

	bool read = false;
	const std::string whole = decoded(text, dcs, decoded_buf_size, read);
	CHECK(well_formed(whole));

	const bool hex = text.size() % 2 == 0 &&
	    text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
	if (!hex)
		CHECK(read && whole == latin1(text));
	const bool compressed = (dcs & 0xe0) == 0x60;
	CHECK(read == (!hex || !compressed));
	if (!read)
		CHECK(whole.empty());
	// Octets of 8-bit data are ISO 8859-1 characters.
	if (hex && ((dcs & 0xec) == 0x44 || (dcs & 0xf4) == 0xf4)) {
		std::string octets;
		for (std::size_t i = 0; i < text.size(); i += 2)
			octets += static_cast<char>(std::stoul(text.substr(i, 2), nullptr, 16));
		CHECK(whole == latin1(octets));
	}

	bool again = false;
	const std::string start = decoded(text, dcs, small, again);
	CHECK(again == read);
	CHECK(well_formed(start));
	CHECK(whole.compare(0, start.size(), start) == 0);
	CHECK(start.size() == whole.size() || start.size() + 4 > small);
	return 0;
}
