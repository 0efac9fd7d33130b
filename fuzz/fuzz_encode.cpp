// What the tool writes: a request packed as septets, and text as a JSON
// string. The first byte picks which by its low two bits (the corpus names
// them by digits): 0 packs, 2 writes JSON from ISO 8859-1, 1 and 3 from
// UTF-8, the harder of the two. The rest is the text.
//
// Packing: any text is refused for exactly the stated reasons, or it
// becomes hex text of the right length that decodes back to the text.
//
// JSON: any bytes, read as UTF-8 or as ISO 8859-1, become one string that a
// strict reader of RFC 8259 written here accepts, with no control
// character left unescaped and each escaped in its one form, that reads
// back as the characters that went in: each byte under ISO 8859-1; under
// UTF-8 each well-formed sequence its character, each other byte U+FFFD.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "coding/septets.hpp"
#include "front/settings.hpp"
#include "fuzz/check.hpp"

namespace {

bool
is_control(std::uint32_t cp)
{
	return cp < 0x20 || (cp >= 0x7f && cp < 0xa0);
}

int
hex_value(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

// \uXXXX at the start of s: its unit, or -1.
long
unicode_escape(std::string_view s)
{
	if (s.size() < 6 || s[0] != '\\' || s[1] != 'u')
		return -1;
	long unit = 0;
	for (std::size_t k = 2; k < 6; k++) {
		const int v = hex_value(s[k]);
		if (v < 0)
			return -1;
		unit = unit << 4 | v;
	}
	return unit;
}

// A JSON text that is exactly one string, read into its characters; false
// when RFC 8259 does not allow it (an unpaired surrogate escape included)
// or it breaks the writer's own rules.
bool
read_json_string(std::string_view json, std::vector<std::uint32_t> &chars)
{
	if (json.size() < 2 || json.front() != '"' || json.back() != '"')
		return false;
	std::string_view s = json.substr(1, json.size() - 2);
	while (!s.empty()) {
		std::uint32_t cp = 0;
		if (s.front() == '"') {
			return false;	// the string ended before the end
		} else if (s.front() != '\\') {
			const std::size_t len = utf8_char(s, cp);
			if (len == 0 || is_control(cp))
				return false;
			s.remove_prefix(len);
			chars.push_back(cp);
			continue;
		}
		if (s.size() < 2)
			return false;
		static constexpr std::string_view shorts = "\"\\/bfnrt";
		static constexpr char meaning[] = {'"', '\\', '/', '\b', '\f', '\n', '\r', '\t'};
		if (const std::size_t k = shorts.find(s[1]); k != std::string_view::npos) {
			cp = static_cast<unsigned char>(meaning[k]);
			s.remove_prefix(2);
		} else {
			const long unit = unicode_escape(s);
			if (unit < 0 || (unit >= 0xdc00 && unit <= 0xdfff))
				return false;
			s.remove_prefix(6);
			cp = static_cast<std::uint32_t>(unit);
			if (unit >= 0xd800 && unit <= 0xdbff) {
				const long low = unicode_escape(s);
				if (low < 0xdc00 || low > 0xdfff)
					return false;
				s.remove_prefix(6);
				cp = static_cast<std::uint32_t>(0x10000 + ((unit - 0xd800) << 10) + (low - 0xdc00));
			}
			// The five with a short form always take it.
			if (cp == '\b' || cp == '\f' || cp == '\n' || cp == '\r' || cp == '\t')
				return false;
		}
		// Only what must be escaped is.
		if (!is_control(cp) && cp != '"' && cp != '\\')
			return false;
		chars.push_back(cp);
	}
	return true;
}

std::string
json_of(const std::string &in, bool latin1)
{
	char *buf = nullptr;
	std::size_t len = 0;
	FILE *f = open_memstream(&buf, &len);
	CHECK(f != nullptr);
	// The writer writes to the standard output, which glibc lets a fuzzer
	// point elsewhere for a while.
	FILE *const saved = stdout;
	stdout = f;
	json_string(in.data(), in.size(), latin1);
	stdout = saved;
	CHECK(std::fclose(f) == 0);
	std::string out(buf, len);
	std::free(buf);
	return out;
}

void
check_json(const std::string &in, bool latin1)
{
	std::vector<std::uint32_t> want;
	std::uint32_t cp = 0;
	for (std::string_view s = in; !s.empty();) {
		std::size_t len = latin1 ? 0 : utf8_char(s, cp);
		if (latin1)
			cp = static_cast<unsigned char>(s.front());
		else if (len == 0)
			cp = 0xfffd;
		want.push_back(cp);
		s.remove_prefix(len == 0 ? 1 : len);
	}
	std::vector<std::uint32_t> got;
	CHECK(read_json_string(json_of(in, latin1), got));
	CHECK(got == want);
}

}

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (size < 1)
		return 0;
	const int which = data[0] % 4;
	data++;
	size--;
	if (which != 0) {
		check_json(std::string(reinterpret_cast<const char *>(data), size), which == 2);
		return 0;
	}

	constexpr std::size_t dest_size = 1024;
	const std::string text(reinterpret_cast<const char *>(data),
	    strnlen(reinterpret_cast<const char *>(data), size));
	const std::size_t n = text.size();
	const std::size_t octets = (7 * n + 7) / 8;
	bool eight_bit = false;
	for (char ch : text)
		eight_bit = eight_bit || static_cast<unsigned char>(ch) > 0x7f;

	auto dest = std::make_unique<char[]>(dest_size);
	const char *why = septet_pack(text.c_str(), dest.get(), dest_size);

	if (eight_bit) {
		CHECK(why != nullptr && std::strcmp(why, "USSD is not 7-bit text") == 0);
		return 0;
	}
	if (octets > (dest_size - 1) / 2) {
		CHECK(why != nullptr && std::strcmp(why, "USSD too long") == 0);
		return 0;
	}
	CHECK(why == nullptr);
	const std::size_t len = strnlen(dest.get(), dest_size);
	CHECK(len == 2 * octets);
	CHECK(std::strspn(dest.get(), "0123456789abcdef") == len);
	// Seven spare bits would read as a final '@' unless they carry CR.
	if (n % 8 == 7)
		CHECK(std::strtoul(dest.get() + len - 2, nullptr, 16) >> 1 == '\r');

	auto buf = std::make_unique<char[]>(len + 2);
	std::memcpy(buf.get(), dest.get(), len + 1);
	decira(buf.get());
	// Eight characters fill seven octets exactly, so a last CR there looks
	// like the filler of seven characters and is dropped.
	std::string expected = text;
	if (n > 0 && n % 8 == 0 && expected.back() == '\r')
		expected.pop_back();
	CHECK(std::strcmp(buf.get(), expected.c_str()) == 0);
	return 0;
}
