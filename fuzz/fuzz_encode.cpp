// Packs any text: it is refused for exactly the stated reasons, or it
// becomes hex text of the right length that decodes back to the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "coding/septets.hpp"
#include "fuzz/check.hpp"

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
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
