#include <cstring>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "coding/septets.hpp"
#include "front/settings.hpp"

namespace {

std::string
pack(const std::string &text, const char **why = nullptr)
{
	char buf[work_buf_size];
	const char *refused = septet_pack(text.c_str(), buf, sizeof buf);
	if (why != nullptr)
		*why = refused;
	return refused != nullptr ? std::string() : std::string(buf);
}

// Decodes in a buffer that has exactly the room decira is promised: the
// text, its NUL and one byte more. Guard bytes behind it must stay intact.
std::string
unpack(const std::string &hex)
{
	static constexpr char guard = '\xa5';
	std::string buf = hex;
	buf.push_back('\0');
	buf.push_back(guard);
	buf.append(16, guard);
	decira(buf.data());
	EXPECT_EQ(buf.substr(hex.size() + 2), std::string(16, guard))
	    << "decira wrote past its room for \"" << hex << "\"";
	return buf.substr(0, hex.size() + 2);
}

// The decoded bytes up to the terminator, taking a NUL that stands for
// septet 0 as part of the text when more decoded text follows it.
std::string
decoded(const std::string &hex, std::size_t expected_size)
{
	std::string out = unpack(hex);
	EXPECT_EQ(out[expected_size], '\0') << "for \"" << hex << "\"";
	return out.substr(0, expected_size);
}

TEST(Septets, PacksKnownRequests)
{
	struct {
		const char *text;
		const char *hex;
	} cases[] = {
		{"*100#", "aa180c3602"},
		{"A", "41"},
		{"", ""},
		{"*123*45#", "aa986ca6a2d546"},
		{"ABCDEFGHIJ", "41e19058341e914925"},
		// Seven spare bits in the last octet carry CR, not '@'.
		{"*101*1#", "aa182ca68a8d1a"},
		{"123456789012345", "31d98c56b3dd7039584c36a3d51a"},
	};
	for (const auto &c : cases)
		EXPECT_EQ(pack(c.text), c.hex) << "text \"" << c.text << "\"";
}

TEST(Septets, RefusesWhatCannotBeSent)
{
	struct {
		std::string text;
		const char *why;	// null: accepted
	} cases[] = {
		{std::string(584, 'x'), nullptr},	// 511 octets fill the buffer
		{std::string(585, 'x'), "USSD too long"},
		{std::string(4000, 'x'), "USSD too long"},
		{"\x7f", nullptr},
		{"\xc3\xa9", "USSD is not 7-bit text"},
		{"*100#\x80", "USSD is not 7-bit text"},
		{std::string(585, 'x') + "\xff", "USSD is not 7-bit text"},
	};
	for (const auto &c : cases) {
		const char *why = nullptr;
		std::string hex = pack(c.text, &why);
		if (c.why == nullptr) {
			EXPECT_EQ(why, nullptr) << "length " << c.text.size();
			EXPECT_EQ(hex.size(), 2 * ((7 * c.text.size() + 7) / 8));
		} else {
			EXPECT_STREQ(why, c.why) << "length " << c.text.size();
		}
	}
}

TEST(Septets, UnpacksAnswers)
{
	struct {
		std::string hex;
		std::string text;	// everything up to the terminator
	} cases[] = {
		{"aa180c3602", "*100#"},
		{"AA180C3602", "*100#"},
		{"41e19058341e914925", "ABCDEFGHIJ"},
		{"aa986ca6a2d546", "*123*45#"},	// '#' from the leftover bits
		{"aa182ca68a8d1a", "*101*1#"},	// CR filler dropped
		{"aa182ca68a8d00", std::string("*101*1#\0", 8)},
		{"41", std::string("A\0", 2)},
		{"418010", std::string("A\0B\0", 4)},
		{"zz", "\x7f\x7f"},
		{"z", "\x7f\x7f"},
		{"414", "A\x7e\x7f"},
		// A lone last character adds what its group has room for; as
		// the first of a new group it adds nothing.
		{"4141414141414", "A\x02\x05\x0a\x14\x28\x50\x7f"},
		{"414141414141414", "A\x02\x05\x0a\x14\x28\x50\x20"},
		{std::string(1023, 'z'), std::string(584, '\x7f')},
		{"4g", "\x7f\x7f"},
		{"\xc1\xc1", "\x7f\x7f"},
		{"", ""},
	};
	for (const auto &c : cases)
		EXPECT_EQ(decoded(c.hex, c.text.size()), c.text)
		    << "hex \"" << c.hex << "\"";
}

TEST(Septets, RoundTripsEveryLength)
{
	std::mt19937 rng(7);
	std::uniform_int_distribution<int> ch(' ', '~');
	for (std::size_t n = 0; n <= 584; n++) {
		std::string text;
		for (std::size_t i = 0; i < n; i++)
			text.push_back(static_cast<char>(ch(rng)));
		std::string hex = pack(text);
		ASSERT_EQ(hex.size(), 2 * ((7 * n + 7) / 8)) << "length " << n;
		std::string out = unpack(hex);
		EXPECT_EQ(std::string(out.c_str()), text) << "length " << n;
	}
}

TEST(Septets, DecodesInPlaceWithinItsRoom)
{
	// Any text that can reach the decoder, hex or not, odd or even.
	std::mt19937 rng(11);
	std::uniform_int_distribution<int> byte(1, 255);
	std::uniform_int_distribution<int> hex(0, 15);
	for (std::size_t n = 0; n < work_buf_size; n++) {
		std::string text;
		for (std::size_t i = 0; i < n; i++)
			text.push_back(n % 3 == 0 ? static_cast<char>(byte(rng)) :
			    "0123456789abcdef"[hex(rng)]);
		unpack(text);
	}
}

}
