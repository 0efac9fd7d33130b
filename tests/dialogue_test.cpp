// The standard text dialogue's coding, the answer read into a value, the
// line reader and the JSON writer, each against cases worked out by hand.
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "coding/charsets.hpp"
#include "front/settings.hpp"
#include "modem/frames/link.hpp"
#include "modem/at.hpp"

namespace {

using coder = const char *(*)(const char *, char *, size_t);
using reader = bool (*)(const char *, int, utf8_out *);

// The text and ucs2 modes' reading of a modem's text.
bool
text_read(const char *text, int dcs, utf8_out *out)
{
	return at_text_read(text, dcs, charset::text, charset::text, out);
}

bool
ucs2_read(const char *text, int dcs, utf8_out *out)
{
	return at_text_read(text, dcs, charset::ucs2, charset::text, out);
}

std::string
code(coder c, const std::string &text)
{
	char buf[work_buf_size];
	const char *why = c(text.c_str(), buf, sizeof buf);
	return why != nullptr ? std::string("refused: ") + why : std::string(buf);
}

std::string
read(reader r, const std::string &text, int dcs)
{
	char buf[decoded_buf_size];
	utf8_out out = {buf, sizeof buf, 0};
	if (!r(text.c_str(), dcs, &out))
		return "compressed";
	return std::string(buf, out.len);
}

std::string
repeat(const std::string &s, std::size_t n)
{
	std::string out;
	while (n-- > 0)
		out += s;
	return out;
}

TEST(Dialogue, CodesRequestsAsText)
{
	const std::string cannot = "refused: USSD has a character text mode cannot send";
	struct {
		std::string in, out;
	} cases[] = {
		{"*100#", "*100#"},
		{"", ""},
		{" !#$%&'()*+,-./:;<=>?@[]^_`{|}~", " !#$%&'()*+,-./:;<=>?@[]^_`{|}~"},
		{"say \"hi\"", cannot},
		{"a\\b", cannot},
		{"*100#\r\nAT+CFUN=0", cannot},
		{"\t", cannot},
		{"caf\xc3\xa9", cannot},
		{"\x7f", cannot},
		{std::string(182, '1'), std::string(182, '1')},
		{std::string(183, '1'), "refused: USSD too long"},
		// Characters of the extension table take two septets each.
		{std::string(91, '{'), std::string(91, '{')},
		{std::string(91, '{') + "1", "refused: USSD too long"},
	};
	for (const auto &c : cases)
		EXPECT_EQ(code(text_code, c.in), c.out) << c.in;
}

TEST(Dialogue, CodesRequestsAsUcs2)
{
	struct {
		std::string in, out;
	} cases[] = {
		{"*100#", "002A0031003000300023"},
		{"", ""},
		{"@£€{", "004000A320AC007B"},
		{"Баланс", "refused: USSD has a character the GSM alphabet lacks"},
		{"caf\xe9", "refused: USSD is not UTF-8 text"},
		{repeat("1", 182), repeat("0031", 182)},
		{repeat("1", 183), "refused: USSD too long"},
		{repeat("€", 91), repeat("20AC", 91)},
		{repeat("€", 91) + "1", "refused: USSD too long"},
	};
	for (const auto &c : cases)
		EXPECT_EQ(code(ucs2_code, c.in), c.out) << c.in;
}

TEST(Dialogue, ReadsAnswersByMode)
{
	const std::string balance_ucs2 = "00420061006C0020003500200080";
	struct {
		const char *what;
		reader r;
		std::string text;
		int dcs;
		std::string out;
	} cases[] = {
		{"text: 7-bit text as it came", text_read, "Balance 5.00", 15, "Balance 5.00"},
		{"text: hex digits are never unpacked", text_read, "12345678", 15, "12345678"},
		{"text: reserved schemes as 7-bit", text_read, "aa180c3602", 0x80, "aa180c3602"},
		{"text: bytes above 127 as ISO 8859-1", text_read, "caf\xe9", 15, "café"},
		{"text: UCS2 in hex", text_read, "0411", 72, "Б"},
		{"text: UCS2 scheme but not hex", text_read, "Hello", 72, "Hello"},
		{"text: 8-bit in hex", text_read, "48e9", 68, "Hé"},
		{"text: compressed", text_read, "Hi", 96, "compressed"},
		{"ucs2: 7-bit text in UCS2", ucs2_read, balance_ucs2, 15, "Bal 5 \xc2\x80"},
		{"ucs2: reserved as UCS2", ucs2_read, "0041", 0x80, "A"},
		{"ucs2: UCS2 scheme", ucs2_read, "20AC", 72, "€"},
		{"ucs2: language of scheme 16 left out", ucs2_read, "0065006E000D0041", 16, "A"},
		{"ucs2: language of scheme 17 left out", ucs2_read, "0065006E0041", 17, "A"},
		{"ucs2: 8-bit octets as ISO 8859-1", ucs2_read, "48e9", 68, "Hé"},
		{"ucs2: text that is not hex", ucs2_read, "OK then", 15, "OK then"},
		{"ucs2: half a unit", ucs2_read, "004142", 15, "A\xef\xbf\xbd"},
		{"ucs2: compressed", ucs2_read, "0041", 100, "compressed"},
	};
	for (const auto &c : cases)
		EXPECT_EQ(read(c.r, c.text, c.dcs), c.out) << c.what;
}

// Lines are fed in order until the answer is whole or refused.
struct parsed {
	cusd_part part;
	int status = -1;
	bool has_text = false;
	int dcs = -1;
	std::string text;
};

parsed
parse(const std::vector<std::string> &lines)
{
	static char buf[work_buf_size];
	cusd_answer a = {-1, false, 15, buf, 0, sizeof buf, 0};
	parsed p;
	p.part = cusd_begin(lines[0].c_str(), &a);
	for (std::size_t i = 1; i < lines.size() && p.part == cusd_part::open; i++)
		p.part = cusd_go_on(lines[i].c_str(), 0, &a);
	if (p.part == cusd_part::whole)
		p = {p.part, a.status, a.has_text, a.dcs, std::string(a.text, a.len)};
	return p;
}

TEST(Dialogue, ReadsTheAnswerLine)
{
	using enum cusd_part;
	struct {
		std::vector<std::string> lines;
		parsed want;
	} cases[] = {
		{{"+CUSD: 0,\"Balance\",15"}, {whole, 0, true, 15, "Balance"}},
		{{"+CUSD: 1,\"x\",72"}, {whole, 1, true, 72, "x"}},
		{{"+CUSD: 2"}, {whole, 2, false, 15, ""}},
		{{"+CUSD: 4"}, {whole, 4, false, 15, ""}},
		{{"+CUSD: 5 "}, {whole, 5, false, 15, ""}},
		{{"+CUSD: 6,\"x\",15"}, {bad, -1, false, -1, ""}},
		{{"+CUSD: ,\"x\",15"}, {bad, -1, false, -1, ""}},
		{{"+CUSD: 0;\"x\",15"}, {bad, -1, false, -1, ""}},
		{{"+CUSD:0,\"x\",15"}, {other, -1, false, -1, ""}},
		{{"OK"}, {other, -1, false, -1, ""}},
		{{"+CUSD: 0,\"Your plan \"Max\" costs 5\",15"}, {whole, 0, true, 15, "Your plan \"Max\" costs 5"}},
		{{"+CUSD: 0,\"a\" , 72 "}, {whole, 0, true, 72, "a"}},
		{{"+CUSD: 0,\"a\"  "}, {whole, 0, true, 15, "a"}},
		{{"+CUSD: 0,\"a\",300"}, {whole, 0, true, 15, "a"}},
		{{"+CUSD: 0,\"\",15"}, {whole, 0, true, 15, ""}},
		{{"+CUSD: 1,\"Menu", "1 \"Gold\"", "2 Bonus\",15"}, {whole, 1, true, 15, "Menu\n1 \"Gold\"\n2 Bonus"}},
		// On the lines after the first a quote must have its scheme.
		{{"+CUSD: 0,\"a", "b\"", "c\",68"}, {whole, 0, true, 68, "a\nb\"\nc"}},
		{{"+CUSD: 0,\"a", ""}, {open, -1, false, -1, ""}},
		{{"+CUSD: 0,\"" + std::string(1023, 'x') + "\",15"}, {whole, 0, true, 15, std::string(1023, 'x')}},
		{{"+CUSD: 0,\"" + std::string(1024, 'x') + "\",15"}, {too_long, -1, false, -1, ""}},
		{{"+CUSD: 0,\"" + std::string(600, 'x'), std::string(422, 'y') + "\",15"},
		    {whole, 0, true, 15, std::string(600, 'x') + "\n" + std::string(422, 'y')}},
		{{"+CUSD: 0,\"" + std::string(600, 'x'), std::string(423, 'y') + "\",15"}, {too_long, -1, false, -1, ""}},
	};
	for (const auto &c : cases) {
		const parsed got = parse(c.lines);
		EXPECT_EQ(got.part, c.want.part) << c.lines[0];
		EXPECT_EQ(got.status, c.want.status) << c.lines[0];
		EXPECT_EQ(got.has_text, c.want.has_text) << c.lines[0];
		EXPECT_EQ(got.dcs, c.want.dcs) << c.lines[0];
		EXPECT_EQ(got.text, c.want.text) << c.lines[0];
	}
}

// The bytes a line reader gets: those of one string, then its end.
std::string_view input;

int
next_byte(int64_t)
{
	if (input.empty())
		return end_byte;
	const auto c = static_cast<unsigned char>(input.front());
	input.remove_prefix(1);
	return c;
}

TEST(Dialogue, ReadsOnlyWholeLines)
{
	struct {
		std::string input;
		std::vector<std::string> lines;	// what each read gives; "+" marks a cut line
	} cases[] = {
		{"OK\r\n", {"OK"}},
		{"OK\n\r\nA\rB\n", {"OK", "", "A"}},
		{"OK", {}},
		{"OK\r\n+CUSD: 0,\"41\",7", {"OK"}},
		{std::string(7, 'x') + "\r\n", {std::string(7, 'x')}},
		{std::string(8, 'x') + "\r\nOK\r\n", {"+" + std::string(7, 'x'), "OK"}},
	};
	for (const auto &c : cases) {
		input = c.input;
		char buf[8];
		line_read got;
		std::vector<std::string> lines;
		while (read_line(next_byte, &classic_dialogue, -1, buf, sizeof buf, &got) == next_line::line)
			lines.push_back((got.cut ? "+" : "") + std::string(buf));
		EXPECT_EQ(lines, c.lines) << c.input;
	}
}

std::string
json(const std::string &s, bool latin1)
{
	char *out = nullptr;
	size_t size = 0;
	FILE *f = open_memstream(&out, &size);
	// The writer writes to the standard output, which glibc lets a test
	// point elsewhere for a while.
	FILE *const saved = stdout;
	stdout = f;
	json_string(s.data(), s.size(), latin1);
	stdout = saved;
	fclose(f);
	std::string r(out, size);
	free(out);
	return r;
}

TEST(Dialogue, WritesJsonStrings)
{
	struct {
		std::string in;
		bool latin1;
		std::string out;
	} cases[] = {
		{"Balance 5.00€", false, "\"Balance 5.00€\""},
		{"say \"hi\" \\o/", false, "\"say \\\"hi\\\" \\\\o/\""},
		{"1\n2\r\t\b\f", false, "\"1\\n2\\r\\t\\b\\f\""},
		{std::string("\0\x01\x0b\x1f\x7f", 5), false, "\"\\u0000\\u0001\\u000b\\u001f\\u007f\""},
		{"\xc2\x80\xc2\x9f\xc2\xa0", false, "\"\\u0080\\u009f\xc2\xa0\""},
		{"\xff" "a", false, "\"\xef\xbf\xbd" "a\""},
		{"caf\xe9 \x85", true, "\"café \\u0085\""},
	};
	for (const auto &c : cases)
		EXPECT_EQ(json(c.in, c.latin1), c.out) << c.in;
}

}
