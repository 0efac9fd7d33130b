// The character sets against examples worked out by hand from 3GPP TS
// 23.038: the alphabet tables, the packing of septets, and each data coding
// scheme of an answer.
#include <string>

#include <gtest/gtest.h>

#include "coding/charsets.hpp"
#include "coding/septets.hpp"
#include "front/settings.hpp"

namespace {

std::string
decode(const std::string &text, int dcs, bool *read = nullptr)
{
	char buf[decoded_buf_size];
	utf8_out out = {buf, sizeof buf, 0};
	bool ok = at_text_read(text.c_str(), dcs, charset::gsm, charset::latin1, &out);
	if (read != nullptr)
		*read = ok;
	return std::string(buf, out.len);
}

std::string
pack(const std::string &text, const char **why = nullptr)
{
	char buf[work_buf_size];
	const char *refused = gsm_pack(text.c_str(), buf, sizeof buf);
	// The octets a mode of frames sends are those of the hex.
	uint8_t octets[work_buf_size / 2];
	size_t n = 0;
	EXPECT_EQ(gsm_octets(text.c_str(), octets, sizeof octets - 1, &n), refused) << text;
	char hex[work_buf_size];
	hex_put(octets, n, hex, false);
	EXPECT_EQ(std::string(refused == nullptr ? buf : ""), std::string(hex)) << text;
	if (why != nullptr)
		*why = refused;
	return refused != nullptr ? std::string("refused") : std::string(buf);
}

std::string
repeat(const std::string &s, std::size_t n)
{
	std::string out;
	while (n-- > 0)
		out += s;
	return out;
}

// Every character of the alphabet, by its code, as UTF-8.
const char *const main_table[128] = {
	"@", "£", "$", "¥", "è", "é", "ù", "ì", "ò", "Ç", "\n", "Ø", "ø", "\r", "Å", "å",
	"Δ", "_", "Φ", "Γ", "Λ", "Ω", "Π", "Ψ", "Σ", "Θ", "Ξ", nullptr, "Æ", "æ", "ß", "É",
	" ", "!", "\"", "#", "¤", "%", "&", "'", "(", ")", "*", "+", ",", "-", ".", "/",
	"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", ":", ";", "<", "=", ">", "?",
	"¡", "A", "B", "C", "D", "E", "F", "G", "H", "I", "J", "K", "L", "M", "N", "O",
	"P", "Q", "R", "S", "T", "U", "V", "W", "X", "Y", "Z", "Ä", "Ö", "Ñ", "Ü", "§",
	"¿", "a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m", "n", "o",
	"p", "q", "r", "s", "t", "u", "v", "w", "x", "y", "z", "ä", "ö", "ñ", "ü", "à",
};

TEST(GsmAlphabet, EveryCodeOfTheMainTableReadsAsItsCharacter)
{
	for (unsigned code = 0; code < 128; code++) {
		if (main_table[code] == nullptr)
			continue;
		// Two of each, so that the second is never in the spare bits.
		uint8_t septets[2] = {static_cast<uint8_t>(code), static_cast<uint8_t>(code)};
		char buf[16];
		utf8_out out = {buf, sizeof buf, 0};
		gsm_to_utf8(septets, 2, &out);
		EXPECT_EQ(std::string(buf, out.len), repeat(main_table[code], 2)) << "code " << code;

		uint32_t cp = 0;
		uint8_t back[2] = {};
		ASSERT_GT(utf8_get(main_table[code], &cp), 0u);
		EXPECT_EQ(gsm_septets(cp, back), 1u) << "code " << code;
		EXPECT_EQ(back[0], code);
	}
}

TEST(GsmAlphabet, PacksAndReadsEachCharacterOfTheExtensionTable)
{
	struct {
		const char *ch, *hex;
	} cases[] = {
		{"\f", "1b05"}, {"^", "1b0a"}, {"{", "1b14"}, {"}", "9b14"},
		{"\\", "9b17"}, {"[", "1b1e"}, {"~", "9b1e"}, {"]", "1b1f"},
		{"|", "1b20"}, {"€", "9b32"},
		{"5.00€", "35170cb62903"},
	};
	for (const auto &c : cases) {
		EXPECT_EQ(pack(c.ch), c.hex) << c.ch;
		EXPECT_EQ(decode(c.hex, 15), c.ch) << c.hex;
	}
}

TEST(GsmAlphabet, ReadsEscapesThatLeadNowhere)
{
	struct {
		const char *hex, *text;
	} cases[] = {
		{"9b20", "A"},		// escape and a code the extension table lacks
		{"c10d", "A "},		// a lone escape at the end
		{"9b4d10", " A"},	// escape escape: a further table, not defined
	};
	for (const auto &c : cases)
		EXPECT_EQ(decode(c.hex, 15), c.text) << c.hex;
}

TEST(GsmAlphabet, ReadsAtSignsWhereverTheyStand)
{
	struct {
		const char *hex, *text;
	} cases[] = {
		{"8020", "@A"},
		{"418010", "A@B"},
		{"00e19058341e1b", "@BCDEFG"},		// CR filler dropped
		{"41e19058341e0148", "ABCDEFG@H"},
		{"f579590e28e3c36d38bbec1abfdb", "user@example.com"},
		// Seven zero bits in the spare bits: padding, not a last '@'.
		{"41e19058341e01", "ABCDEFG"},
	};
	for (const auto &c : cases)
		EXPECT_EQ(decode(c.hex, 15), c.text) << c.hex;
}

TEST(GsmAlphabet, PacksAndReadsAcrossTheGroupsOfEight)
{
	struct {
		const char *text, *hex;
	} cases[] = {
		{"1234567", "31d98c56b3dd1a"},	// seven: CR in the spare bits
		{"12345678", "31d98c56b3dd70"},	// eight: the last in the spare bits
		{"123456789012345", "31d98c56b3dd7039584c36a3d51a"},
		{"1234567890123456", "31d98c56b3dd7039584c36a3d56c"},
		{"*100#", "aa180c3602"},
		{"", ""},
	};
	for (const auto &c : cases) {
		EXPECT_EQ(pack(c.text), c.hex) << c.text;
		EXPECT_EQ(decode(c.hex, 15), c.text) << c.hex;
	}
}

TEST(GsmAlphabet, PacksServiceCodesAsWithoutTheAlphabet)
{
	for (const char *code : {"*100#", "*101*1#", "*123*45#", "#31#*100#", "123456789012345"}) {
		char plain[work_buf_size];
		ASSERT_EQ(septet_pack(code, plain, sizeof plain), nullptr);
		EXPECT_EQ(pack(code), plain) << code;
	}
}

TEST(GsmAlphabet, RefusesWhatCannotBeSent)
{
	struct {
		std::string text;
		const char *why;	// null: accepted
	} cases[] = {
		{"\xc3", "USSD is not UTF-8 text"},		// cut short
		{"\xc3\x28", "USSD is not UTF-8 text"},		// no continuation
		{"\xc0\xaf", "USSD is not UTF-8 text"},		// overlong '/'
		{"\xed\xa0\x80", "USSD is not UTF-8 text"},	// a surrogate
		{"\xf4\x90\x80\x80", "USSD is not UTF-8 text"},	// above U+10FFFF
		{"\xa9", "USSD is not UTF-8 text"},		// Latin-1, not UTF-8
		{"Баланс", "USSD has a character the GSM alphabet lacks"},
		{"ç", "USSD has a character the GSM alphabet lacks"},
		{"\t", "USSD has a character the GSM alphabet lacks"},
		{"😀", "USSD has a character the GSM alphabet lacks"},
		// Every character is looked at before the length.
		{std::string(600, 'x') + "\xc3", "USSD is not UTF-8 text"},
		{std::string(584, 'x'), nullptr},
		{std::string(585, 'x'), "USSD too long"},
		{repeat("€", 292), nullptr},		// 584 septets
		{std::string(583, 'x') + "€", "USSD too long"},
		{std::string(582, 'x') + "€", nullptr},
	};
	for (const auto &c : cases) {
		const char *why = nullptr;
		std::string hex = pack(c.text, &why);
		if (c.why == nullptr)
			EXPECT_EQ(why, nullptr) << "length " << c.text.size();
		else
			EXPECT_STREQ(why, c.why) << c.text.substr(0, 20);
	}
}

TEST(DataCodingSchemes, ReadEachAlphabet)
{
	const std::string star = "aa180c3602";	// *100# in the default alphabet
	struct {
		const char *what;
		std::string text;
		int dcs;
		std::string decoded;
	} cases[] = {
		{"the default alphabet, language unspecified", star, 15, "*100#"},
		{"German in the default alphabet", star, 0x00, "*100#"},
		{"a language of group 0010", star, 0x21, "*100#"},
		{"a language of group 0011", star, 0x30, "*100#"},
		{"general coding, default alphabet, class 1", star, 0x51, "*100#"},
		{"message class 0 in the default alphabet", star, 0xf0, "*100#"},
		{"UCS2 in the general coding", "04110430043B0430043D0441003A0032003200320030002C003700360440",
		    72, "Баланс:2220,76р"},
		{"UCS2 with class", "20AC", 0x58, "€"},
		{"a surrogate pair", "D83DDE00", 72, "😀"},
		{"a high surrogate at the end", "0041D83D", 72, "A\uFFFD"},
		{"a high surrogate before a letter", "D83D0041", 72, "\uFFFDA"},
		{"a low surrogate alone", "DE000041", 72, "\uFFFDA"},
		{"two high surrogates and a low one", "D83DD83DDE00", 72, "\uFFFD😀"},
		{"a lone last octet", "004100", 72, "A\uFFFD"},
		{"a high surrogate, then half a unit", "D83DDE", 72, "\uFFFD\uFFFD"},
		{"a NUL unit", "00410000", 72, std::string("A\0", 2)},
		{"two letters of language, then UCS2", "653700480069", 0x11, "Hi"},
		{"a language prefix and nothing more", "6537", 0x11, ""},
		{"a language prefix cut short", "65", 0x11, ""},
		{"two letters of language and CR, then the default alphabet", "6577039906", 0x10, "Hi"},
		{"8-bit data", "48e9ff", 0x44, "Hé\u00ff"},
		{"8-bit data with a NUL", "410042", 0x44, std::string("A\0B", 3)},
		{"8-bit data of message class 0", "48e9", 0xf4, "Hé"},
		{"the reserved alphabet bits", star, 0x4c, "*100#"},
		{"a reserved scheme of group 0001", star, 0x12, "*100#"},
		{"a reserved scheme of group 0001, the last", star, 0x1f, "*100#"},
		{"a reserved group", star, 0x80, "*100#"},
		{"another reserved group", star, 0xe5, "*100#"},
		{"the reserved bit of group 1111", star, 0xf8, "*100#"},
		{"an empty answer", "", 72, ""},
	};
	for (const auto &c : cases) {
		bool read = false;
		EXPECT_EQ(decode(c.text, c.dcs, &read), c.decoded) << c.what;
		EXPECT_TRUE(read) << c.what;
	}
}

TEST(DataCodingSchemes, DoNotReadCompressedText)
{
	for (int dcs : {0x20 | 0x40, 0x64, 0x68, 0x6c, 0x7f}) {
		bool read = true;
		EXPECT_EQ(decode("aa180c3602", dcs, &read), "") << dcs;
		EXPECT_FALSE(read) << dcs;
	}
}

TEST(DataCodingSchemes, PrintTextThatIsNotHexAsItCame)
{
	struct {
		std::string text;
		int dcs;
		std::string decoded;
	} cases[] = {
		{"Balance 5.00 EUR", 15, "Balance 5.00 EUR"},
		{"414", 72, "414"},			// odd length
		{"zz", 15, "zz"},
		{"Caf\xe9", 15, "Café"},		// a byte of ISO 8859-1
		{"\xc3\xa9t\xc3\xa9", 72, "Ã©tÃ©"},	// UTF-8 the modem sent as bytes
		{"compressed?", 0x60, "compressed?"},
		{std::string(1023, '\xff'), 15, repeat("ÿ", 1023)},
	};
	for (const auto &c : cases) {
		bool read = false;
		EXPECT_EQ(decode(c.text, c.dcs, &read), c.decoded) << c.text.substr(0, 20);
		EXPECT_TRUE(read);
	}
}

TEST(DataCodingSchemes, FitTheLongestAnswersInTheirRoom)
{
	struct {
		std::string text;
		int dcs;
		std::size_t len;
	} cases[] = {
		{std::string(1023, '\xe9'), 15, 2046},	// the worst case
		{std::string(1022, '9'), 68, 1022},	// 511 octets of 0x99
		{repeat("0394", 255) + "03", 72, 255 * 2 + 3},
		{repeat("20AC", 255) + "20", 72, 255 * 3 + 3},
		{repeat("D83DDE00", 127) + "20AC20", 72, 127 * 4 + 3 + 3},
		// 584 septets of 'Δ' (0x10), packed.
		{repeat("10080402814020", 73), 15, 1168},
	};
	for (const auto &c : cases)
		EXPECT_EQ(decode(c.text, c.dcs).size(), c.len) << c.text.substr(0, 20);
}

TEST(Utf8, ReadsWellFormedCharactersOnly)
{
	struct {
		const char *bytes;
		std::size_t len;
		uint32_t cp;
	} cases[] = {
		{"A", 1, 0x41}, {"\x7f", 1, 0x7f}, {"\xc2\x80", 2, 0x80},
		{"\xdf\xbf", 2, 0x7ff}, {"\xe0\xa0\x80", 3, 0x800}, {"€", 3, 0x20ac},
		{"\xef\xbf\xbf", 3, 0xffff}, {"\xf0\x90\x80\x80", 4, 0x10000},
		{"\xf4\x8f\xbf\xbf", 4, 0x10ffff},
		{"", 0, 0}, {"\x80", 0, 0}, {"\xc1\xbf", 0, 0}, {"\xe0\x9f\xbf", 0, 0},
		{"\xed\xbf\xbf", 0, 0}, {"\xf0\x8f\xbf\xbf", 0, 0}, {"\xf8\x88\x80\x80\x80", 0, 0},
		{"\xe2\x82", 0, 0},
	};
	for (const auto &c : cases) {
		uint32_t cp = 0;
		EXPECT_EQ(utf8_get(c.bytes, &cp), c.len) << c.bytes;
		EXPECT_EQ(cp, c.cp) << c.bytes;
	}
}

TEST(Utf8, StopsBeforeACharacterThatDoesNotFitWhole)
{
	char buf[4] = {'x', 'x', 'x', 'x'};
	utf8_out out = {buf, 3, 0};
	utf8_put(&out, 'A');
	utf8_put(&out, 0x20ac);	// three bytes, two left
	utf8_put(&out, 0xe9);	// would fit, but would not follow on
	EXPECT_EQ(std::string(buf, out.len), "A");
	EXPECT_EQ(std::string(buf + 1, 3), "xxx");
}

}

// The one UCS2 encoder, which every mode that sends UCS2 shares, against
// worked examples: a character beyond U+FFFF is a surrogate pair.
TEST(Ucs2, EncodesUtf8WithSurrogatePairs)
{
	struct {
		std::string text;
		std::size_t room;
		std::string hex;	// or the refusal
	} cases[] = {
		{"A\xe2\x82\xac", 160, "004120AC"},
		{"\xd0\x91", 160, "0411"},
		{"\xf0\x9f\x98\x80", 160, "D83DDE00"},
		{"\xf4\x8f\xbf\xbf", 160, "DBFFDFFF"},
		{std::string(80, 'a'), 160, repeat("0061", 80)},
		{std::string(81, 'a'), 160, "USSD too long"},
		{repeat("a", 79) + "\xf0\x9f\x98\x80", 160, "USSD too long"},
		{"a\xff", 160, "USSD is not UTF-8 text"},
		{"\xed\xa0\xbd", 160, "USSD is not UTF-8 text"},	// a lone surrogate in UTF-8
	};
	for (const auto &c : cases) {
		uint8_t octets[256];
		size_t n = 0;
		const char *why = ucs2_encode(c.text.c_str(), octets, c.room, &n);
		char hex[513];
		hex_put(octets, n, hex, true);
		EXPECT_EQ(why != nullptr ? std::string(why) : std::string(hex), c.hex) << c.text;
	}
}

// Answers as the modes give them: the character set each names, read the
// one way, whatever the mode.
TEST(Answers, ReadByTheirCharacterSet)
{
	auto read = [](charset set, int dcs, const std::string &octets) {
		char buf[decoded_buf_size];
		utf8_out out = {buf, sizeof buf, 0};
		const bool ok = answer_text(set, dcs, reinterpret_cast<const uint8_t *>(octets.data()),
		    octets.size(), &out);
		return ok ? std::string(buf, out.len) : std::string("compressed");
	};
	struct {
		const char *what;
		charset set;
		int dcs;
		std::string octets, text;
	} cases[] = {
		{"GSM 7-bit packed", charset::gsm, 15, "\xc2\x30\x3b\xec\x1e\x97\x01", "Balance"},
		{"8-bit data", charset::gsm, 0x44, "\x48\xe9", "H\xc3\xa9"},
		{"UCS2 by its scheme", charset::gsm, 72, std::string("\x04\x11", 2), "\xd0\x91"},
		{"compressed", charset::gsm, 0x60, "\x41", "compressed"},
		{"UTF-16 little-endian, a pair", charset::utf16le, -1, std::string("B\0=\xd8\0\xde", 6),
		    "B\xf0\x9f\x98\x80"},
		{"UCS2 with no scheme", charset::ucs2, -1, std::string("\xd8\x3d\xde\x00", 4),
		    "\xf0\x9f\x98\x80"},
		{"ISO 8859-1", charset::latin1, -1, "caf\xe9", "caf\xc3\xa9"},
		{"a modem's text, 7-bit: as it came", charset::text, 15, "aa180c3602", "aa180c3602"},
		{"a modem's text, UCS2: its hex", charset::text, 72, "0411", "\xd0\x91"},
		{"UTF-8", charset::utf8, -1, "\xd0\x91 \xf0\x9f\x98\x80", "\xd0\x91 \xf0\x9f\x98\x80"},
	};
	for (const auto &c : cases)
		EXPECT_EQ(read(c.set, c.dcs, c.octets), c.text) << c.what;
}
