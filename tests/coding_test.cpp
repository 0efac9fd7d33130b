#include <cstring>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "coding/septets.hpp"
#include "coding/sha256.hpp"
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

// The published vectors: FIPS 180-4's examples (the first two given in
// parts, as a login hashes a name, a hash and a token one after another),
// RFC 4231's HMAC cases (the fifth, truncated, read in full) and RFC
// 7914's PBKDF2-HMAC-SHA256 ones, each over more than one block of output.
TEST(Hashes, MatchThePublishedVectors)
{
	enum { hash, hmac, pbkdf2 };
	const std::string big(131, '\xaa');
	struct {
		int kind;
		std::string key, msg, more;	// more: a second part of a hash
		unsigned rounds;
		std::size_t len;
		const char *expected;
	} cases[] = {
		{hash, "", "ab", "c", 0, 32, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
		{hash, "", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmno", "mnopnopq", 0, 32,
		    "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
		{hash, "", std::string(1000000, 'a'), "", 0, 32,
		    "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
		{hash, "", "", "", 0, 32, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
		{hmac, std::string(20, '\x0b'), "Hi There", "", 0, 32,
		    "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
		{hmac, "Jefe", "what do ya want for nothing?", "", 0, 32,
		    "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
		{hmac, std::string(20, '\xaa'), std::string(50, '\xdd'), "", 0, 32,
		    "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
		{hmac, "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13"
		    "\x14\x15\x16\x17\x18\x19", std::string(50, '\xcd'), "", 0, 32,
		    "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
		{hmac, std::string(20, '\x0c'), "Test With Truncation", "", 0, 32,
		    "a3b6167473100ee06e0c796c2955552bfa6f7c0a6a8aef8b93f860aab0cd20c5"},
		{hmac, big, "Test Using Larger Than Block-Size Key - Hash Key First", "", 0, 32,
		    "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
		{hmac, big, "This is a test using a larger than block-size key and a larger than block-size data. "
		    "The key needs to be hashed before being used by the HMAC algorithm.", "", 0, 32,
		    "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
		{pbkdf2, "passwd", "salt", "", 1, 64,
		    "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
		    "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783"},
		{pbkdf2, "Password", "NaCl", "", 80000, 64,
		    "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
		    "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d"},
	};
	for (const auto &c : cases) {
		uint8_t out[64];
		if (c.kind == hash)
			sha256(out, c.msg.data(), c.msg.size(), c.more.data(), c.more.size());
		else if (c.kind == hmac)
			hmac_sha256(out, c.key.data(), c.key.size(), c.msg.data(), c.msg.size());
		else
			pbkdf2_sha256(out, c.len, c.key.data(), c.key.size(), c.msg.data(), c.msg.size(), c.rounds);
		std::string hex;
		for (std::size_t i = 0; i < c.len; i++) {
			char two[3];
			std::snprintf(two, sizeof two, "%02x", out[i]);
			hex += two;
		}
		EXPECT_EQ(hex, c.expected) << c.kind << " " << c.msg.substr(0, 40);
	}
}
