// Decodes any text in place in exactly the room decira is promised and
// compares the result with a decoder that works quite differently: octets
// are pushed into a bit accumulator and septets taken from its low end.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "coding/septets.hpp"
#include "fuzz/check.hpp"

namespace {

bool
is_hex(char ch)
{
	return ch != '\0' && std::string_view("0123456789abcdefABCDEF").find(ch) !=
	    std::string_view::npos;
}

std::string
reference(std::string_view hex)
{
	std::string out;
	std::uint64_t acc = 0;
	unsigned bits = 0;	// bits in acc not yet taken; fewer than 7 between octets
	std::size_t octets = (hex.size() + 1) / 2;

	// A lone last character that would start a new group of eight adds
	// nothing: the decoder stops at the NUL beside it before reading it as
	// the first of that group, and the group before it ends with whatever
	// its spare bits hold, CR or not.
	const bool lone_tail = hex.size() % 2 == 1 && octets > 1 && (octets - 1) % 7 == 0;
	if (lone_tail)
		octets--;

	for (std::size_t i = 0; i < octets; i++) {
		const char pair[3] = {hex[2 * i],
		    2 * i + 1 < hex.size() ? hex[2 * i + 1] : '\0', '\0'};
		if (is_hex(pair[0]) && is_hex(pair[1])) {
			acc |= std::strtoull(pair, nullptr, 16) << bits;
		} else {
			// All bits set, and so is the rest of the character
			// that its last bit falls in.
			const unsigned end = (bits + 8 + 6) / 7 * 7;
			acc |= ((std::uint64_t{1} << end) - 1) >> bits << bits;
		}
		bits += 8;
		for (; bits >= 7; bits -= 7) {
			out += static_cast<char>(acc & 0x7f);
			acc >>= 7;
		}
	}
	if (bits > 0)
		out += static_cast<char>(acc & 0x7f);
	// When the octets fill whole groups of seven, the last character comes
	// from the seven spare bits of the last octet, where CR is filler.
	if (!lone_tail && octets > 0 && octets % 7 == 0 && out.back() == '\r')
		out.pop_back();
	return out;
}

}

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	const char *text = reinterpret_cast<const char *>(data);
	const std::size_t n = strnlen(text, size < 1023 ? size : 1023);

	// The text, its NUL and the one byte more that decira is promised,
	// on the heap so that any write beyond is caught.
	const std::size_t room = n + 2;
	auto buf = std::make_unique<char[]>(room);
	std::memcpy(buf.get(), text, n);
	buf[n] = '\0';
	buf[n + 1] = '\x5a';

	const std::string expected = reference(std::string_view(text, n));
	decira(buf.get());

	CHECK(expected.size() < room);
	CHECK(std::memcmp(buf.get(), expected.c_str(), expected.size() + 1) == 0);
	return 0;
}
