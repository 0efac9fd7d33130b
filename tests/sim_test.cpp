// The fake modem's own answers, as an AT client reads them from the device.

#include "sim/modem.hpp"
#include "sim/syntax.hpp"
#include "sim/texts.hpp"
#include "tests/harness.hpp"

#include <algorithm>
#include <cstdlib>
#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <csignal>
#include <stdexcept>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

struct transcript {
	std::string bytes;			// all the modem sent back
	std::vector<std::string> requests;	// the "USSD ..." trace lines
};

// Sends each line in turn and reads the answers until as many bytes as
// expected have come, and a little longer to catch any surplus.
transcript talk(sim::options opts, const std::vector<std::string> &lines, std::size_t expected)
{
	transcript t;
	std::vector<std::string> trace;
	opts.trace = [&trace](const std::string &line) { trace.push_back(line); };
	sim::modem modem(std::move(opts));
	modem.start();
	int fd = open(modem.path(), O_RDWR | O_NOCTTY | O_CLOEXEC);
	EXPECT_GE(fd, 0);
	for (const std::string &line : lines) {
		std::string out = line + "\r";
		EXPECT_EQ(write(fd, out.data(), out.size()), static_cast<ssize_t>(out.size()));
	}
	using namespace std::chrono;
	auto end = steady_clock::now() + 2s;
	for (bool surplus = false;;) {
		if (!surplus && t.bytes.size() >= expected) {
			surplus = true;
			end = steady_clock::now() + 50ms;
		}
		auto left = duration_cast<milliseconds>(end - steady_clock::now()).count();
		pollfd p{fd, POLLIN, 0};
		if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
			break;
		char buf[512];
		ssize_t n = read(fd, buf, sizeof buf);
		if (n <= 0)
			break;
		t.bytes.append(buf, static_cast<std::size_t>(n));
	}
	close(fd);
	modem.stop();
	for (const std::string &line : trace)
		if (line.starts_with("USSD "))
			t.requests.push_back(line.substr(5));
	return t;
}

std::string ok(std::string info = "")
{
	return (info.empty() ? "" : sim::result(info)) + sim::result("OK");
}

}

TEST(FakeModem, AnswersLikeAModem)
{
	const std::string balance = "+CUSD: 0,\"c2303bec1e974135170c062a56a5\",15";
	const std::string balance_ucs2 =
	    "+CUSD: 0,\"00420061006C0061006E0063006500200035002E003000300020004500550052\",72";
	struct {
		const char *what;
		std::vector<std::string> lines;
		std::string answer;
		std::vector<std::string> requests = {};
		std::vector<std::string> charsets = {};
		bool answer_request = false;
	} cases[] = {
		{"echo until ATE0", {"ATE1", "AT", "ATE0", "AT"}, ok() + "AT\r" + ok() + "ATE0\r" + ok() + ok()},
		{"identification", {"AT+CGMI", "AT+GMM", "AT+CGSN"}, ok("Fakeco") + ok("FM100") + ok("350000112345679")},
		{"extended commands after one AT", {"AT+CMEE=1;+CPIN?;+CMEE?"},
		    sim::result("+CPIN: READY") + ok("+CMEE: 1")},
		{"basic commands run together", {"ATV0Q0E1", "AT", "ATV1E0"}, "0\rAT\r0\rATV1E0\r" + ok()},
		{"ATQ1 keeps results back", {"ATQ1", "AT+CSQ", "ATQ0"}, "\r\n+CSQ: 20,99\r\n" + ok()},
		{"ATZ restores the settings", {"ATV0", "ATZ", "AT"}, "0\r" + ok() + ok()},
		{"what precedes AT is skipped", {"xyzATE1", "\x1b" "AT+CGMR"}, ok() + "AT+CGMR\r" + ok("1.0.0")},
		{"an unknown command is an error", {"AT+XYZZY=1,\"a;b\"", "AT^USSDMODE?", "ATB1"},
		    sim::result("ERROR") + sim::result("ERROR") + sim::result("ERROR")},
		{"an unclosed string is an error", {"AT+CSCS=\"UCS2"}, sim::result("ERROR")},
		{"a later command's error ends the line", {"AT+CMEE=1;+CSCS=\"KOI8-R\";+CPIN?"},
		    sim::result("+CME ERROR: 4")},
		{"an unknown character set", {"AT+CSCS=\"KOI8-R\"", "AT+CSCS?"},
		    sim::result("ERROR") + ok("+CSCS: \"IRA\"")},
		{"errors as text", {"AT+CMEE=2", "AT+CSCS=\"KOI8-R\""},
		    ok() + sim::result("+CME ERROR: operation not supported")},
		{"the character set chosen", {"AT+CSCS=\"ucs2\"", "AT+CSCS?", "AT+CSCS=\"00470053004D\"", "AT+CSCS?"},
		    ok() + ok("+CSCS: \"UCS2\"") + ok() + ok("+CSCS: \"GSM\"")},
		{"character sets offered", {"AT+CSCS?", "AT+CSCS=?", "AT+CSCS=\"IRA\""},
		    ok("+CSCS: \"GSM\"") + ok("+CSCS: (\"GSM\",\"UCS2\")") + sim::result("ERROR"),
		    {}, {"GSM", "UCS2"}},
		{"the USSD settings", {"AT+CUSD=?", "AT+CUSD=1", "AT+CUSD?"},
		    ok("+CUSD: (0-2)") + ok() + ok("+CUSD: 1")},
		{"the tool's request", {"AT+CUSD=1,\"aa180c3602\",15"}, ok() + sim::result(balance), {"*100#"}},
		{"seven characters and CR", {"AT+CUSD=1,\"aa182ca68a8d1a\",15"},
		    ok() + sim::result(balance), {"*101*1#"}},
		{"a request in plain text", {"AT+CUSD=1,\"*100#\",15"},
		    ok() + sim::result("+CUSD: 0,\"Balance 5.00 EUR\",15"), {"*100#"}},
		{"a request without a scheme", {"AT+CUSD=1,\"*100#\""},
		    ok() + sim::result("+CUSD: 0,\"Balance 5.00 EUR\",15"), {"*100#"}},
		{"a request in UCS2", {"AT+CSCS=\"UCS2\"", "AT+CUSD=1,\"002A0031003000300023\",15"},
		    ok() + ok() + sim::result(balance_ucs2), {"*100#"}},
		{"a request in HEX", {"AT+CSCS=\"HEX\"", "AT+CUSD=1,\"2A31303023\",15"},
		    ok() + ok() + sim::result(balance), {"*100#"}},
		{"UCS2 by the scheme", {"AT+CUSD=1,\"002A0031003000300023\",72"},
		    ok() + sim::result(balance), {"*100#"}},
		{"a request that is not UCS2", {"AT+CMEE=1", "AT+CSCS=\"UCS2\"", "AT+CUSD=1,\"*100#\",15"},
		    ok() + ok() + sim::result("+CME ERROR: 50")},
		{"the request read as the answer", {"AT+CSCS=\"HEX\"", "AT+CUSD=1,\"2A31303023\",15"},
		    ok() + ok() + sim::result("+CUSD: 0,\"aa180c3602\",15"), {"*100#"}, {}, true},
		{"no answer shown with 0", {"AT+CUSD=0,\"aa180c3602\",15"}, ok(), {"*100#"}},
	};
	for (const auto &c : cases) {
		sim::options opts;
		opts.echo = false;
		opts.answer = "Balance 5.00 EUR";
		opts.answer_codes = {"*100#", "*101*1#"};
		opts.charsets = c.charsets;
		opts.answer_request = c.answer_request;
		transcript t = talk(opts, c.lines, c.answer.size());
		EXPECT_EQ(t.bytes, c.answer) << c.what;
		EXPECT_EQ(t.requests, c.requests) << c.what;
	}
}

TEST(FakeModem, AnswersInUcs2)
{
	struct {
		const char *answer, *hex;
	} cases[] = {
		{"Saldo 5 \xe2\x82\xac", "00530061006C0064006F00200035002020AC"},
		{"\xf0\x9f\x98\x80", "D83DDE00"},
		{"\xff" "A", "00FF0041"},	// not UTF-8: read as Latin-1
		{"", ""},
	};
	for (const auto &c : cases) {
		sim::options opts;
		opts.echo = false;
		opts.answer = c.answer;
		opts.answer_codes = {"*"};
		std::string want = ok() + ok() + sim::result(std::string("+CUSD: 0,\"") + c.hex + "\",72");
		transcript t = talk(opts, {"AT+CSCS=\"UCS2\"", "AT+CUSD=1,\"002A\""}, want.size());
		EXPECT_EQ(t.bytes, want) << c.answer;
	}
}

namespace {

// The parsed commands of a line, written out one to a word: the name, a basic
// command's number, the form, and the arguments in brackets; "!" for a syntax
// error after them.
std::string written(const sim::command_line &parsed)
{
	std::string out;
	for (const sim::command &c : parsed.commands) {
		out += out.empty() ? "" : " ";
		out += c.name;
		if (c.basic)
			out += std::to_string(c.value);
		out += c.how == sim::form::read ? "?" : c.how == sim::form::test ? "=?" : c.how == sim::form::set ? "=" : "";
		for (const sim::argument &a : c.args)
			out += a.quoted ? "[\"" + a.text + "\"]" : "[" + a.text + "]";
	}
	return parsed.bad ? out + " !" : out;
}

}

TEST(FakeModem, ParsesCommandLines)
{
	struct {
		const char *line, *commands;
	} cases[] = {
		{"ATE0V1q1", "E0 V1 Q1"},
		{"AT&FZS3?S7=50I", "&F0 Z0 S3? S7=[50] I0"},
		{"at+cusd=1, \"*1;2,3#\" ,15;+cpin?", "+CUSD=[1][\"*1;2,3#\"][15] +CPIN?"},
		{"AT+CUSD=,,15 ;+CSCS=?", "+CUSD=[][][15] +CSCS=?"},
		{"AT+CMEE=1;+CSCS=\"UCS2;+CPIN?", "+CMEE=[1] !"},
		{"ATE1+CSCS=\"GSM\"x;+CPIN?", "E1 !"},
		{"ATD*99#;+CSQ", "D0"},
		{"ATE256", " !"},
		{"AT&", " !"},
		{"AT", ""},
	};
	for (const auto &c : cases)
		EXPECT_EQ(written(sim::parse(c.line)), c.commands) << c.line;
}

TEST(FakeModem, AnswersInTheSchemeAsked)
{
	struct {
		const char *what;
		std::string answer;
		int dcs;
		std::string cusd;	// the answer line
	} cases[] = {
		{"the default alphabet", "5.00€", 15, "+CUSD: 0,\"35170cb62903\",15"},
		{"UCS2", "5.00€", 72, "+CUSD: 0,\"0035002E0030003020AC\",72"},
		{"UCS2 behind a language", "5.00€", 17, "+CUSD: 0,\"65370035002E0030003020AC\",17"},
		{"the default alphabet behind a language", "5.00€", 16,
		    "+CUSD: 0,\"6577a3e682c13665\",16"},
		{"8-bit data", "Café", 68, "+CUSD: 0,\"436166E9\",68"},
		{"8-bit data without the euro", "5.00€", 68, "+CUSD: 4"},
		{"UCS2 beyond the first plane", "😀", 72, "+CUSD: 0,\"D83DDE00\",72"},
		{"a character the GSM alphabet lacks", "Баланс", 15, "+CUSD: 4"},
		{"compressed, in name only", "5.00€", 96, "+CUSD: 0,\"35170cb62903\",96"},
	};
	for (const auto &c : cases) {
		sim::options opts;
		opts.echo = false;
		opts.answer = c.answer;
		opts.answer_dcs = c.dcs;
		opts.answer_codes = {"*"};
		// The character set has no say once the scheme is chosen.
		std::string want = ok() + ok() + sim::result(c.cusd);
		transcript t = talk(opts, {"AT+CSCS=\"UCS2\"", "AT+CUSD=1,\"002A\""}, want.size());
		EXPECT_EQ(t.bytes, want) << c.what;
	}
}

TEST(FakeModem, ReadsRequestsByTheirScheme)
{
	struct {
		const char *what;
		std::string line, request;	// the request as the trace shows it
	} cases[] = {
		{"the GSM alphabet", "AT+CUSD=1,\"9b32\",15", "€"},
		{"'@' first", "AT+CUSD=1,\"8020\",15", "@A"},
		{"a line break", "AT+CUSD=1,\"418510\",15", "A\\nB"},
		{"UCS2 by its scheme", "AT+CUSD=1,\"20AC\",72", "€"},
		{"8-bit data", "AT+CUSD=1,\"E9\",68", "é"},
		{"plain text that is not UTF-8", "AT+CUSD=1,\"*1\xe9#\",15", "*1\\xe9#"},
	};
	for (const auto &c : cases) {
		sim::options opts;
		opts.echo = false;
		opts.answer = "x";
		transcript t = talk(opts, {c.line}, ok().size());
		EXPECT_EQ(t.requests, std::vector<std::string>{c.request}) << c.what;
	}
}

namespace {

const std::string balance_packed = "c2303bec1e974135170c062a56a5";
const std::string balance_ucs2 = "00420061006C0061006E0063006500200035002E003000300020004500550052";
const std::string star100_ucs2 = "002A0031003000300023";

sim::options modem_of(sim::modem_kind kind)
{
	sim::options opts;
	opts.echo = false;
	opts.kind = kind;
	opts.answer = "Balance 5.00 EUR";
	return opts;
}

}

TEST(FakeModem, NamesItselfAndItsCharacterSetsByKind)
{
	using sim::modem_kind;
	struct {
		modem_kind kind;
		std::string maker, ussdmode, charsets;
	} cases[] = {
		{modem_kind::generic, "Fakeco", sim::result("ERROR"),
		    "+CSCS: (\"IRA\",\"GSM\",\"UCS2\",\"HEX\",\"8859-1\",\"PCCP437\")"},
		{modem_kind::huawei, "huawei", ok("^USSDMODE: 1") + ok("^USSDMODE: (0-1)"),
		    "+CSCS: (\"IRA\",\"GSM\",\"UCS2\")"},
		{modem_kind::huawei_old, "HUAWEI", sim::result("ERROR") + sim::result("ERROR"),
		    "+CSCS: (\"IRA\",\"GSM\",\"UCS2\")"},
		{modem_kind::standard, "Quectel", sim::result("ERROR") + sim::result("ERROR"),
		    "+CSCS: (\"IRA\",\"GSM\",\"UCS2\")"},
		{modem_kind::standard_gsm, "SIMCOM INCORPORATED", sim::result("ERROR") + sim::result("ERROR"),
		    "+CSCS: (\"IRA\",\"GSM\")"},
	};
	for (const auto &c : cases) {
		std::vector<std::string> lines = {"AT+CGMI", "AT^USSDMODE?"};
		if (c.kind != modem_kind::generic)
			lines.push_back("AT^USSDMODE=?");
		lines.push_back("AT+CSCS=?");
		std::string want = ok(c.maker) + c.ussdmode + ok(c.charsets);
		transcript t = talk(modem_of(c.kind), lines, want.size());
		EXPECT_EQ(t.bytes, want) << sim::kind_name(c.kind);
	}
}

// What the network reads of a request, and how the modem writes the answer,
// for each kind of modem in each character set.
TEST(FakeModem, ReadsAndWritesUssdAsItsKindDoes)
{
	using sim::modem_kind;
	const std::string error = sim::result("ERROR");
	struct {
		const char *what;
		modem_kind kind;
		std::vector<std::string> lines;	// before the request, which comes last
		std::string request;		// the string of AT+CUSD=1,"<request>",<dcs>
		std::string read;		// as the network reads it; empty: refused
		std::string written;		// the +CUSD: line, or the refusal
		std::string answer = "Balance 5.00 EUR";
		int dcs = 15;
		int answer_dcs = -1;
		bool ucs2_when_needed = false;
	} cases[] = {
		{"generic: packed in", modem_kind::generic, {}, "aa180c3602", "*100#",
		    "+CUSD: 0,\"" + balance_packed + "\",15"},
		{"generic: text in, text out", modem_kind::generic, {}, "*100#", "*100#",
		    "+CUSD: 0,\"Balance 5.00 EUR\",15"},
		{"generic: a line break in text", modem_kind::generic, {}, "*100#", "*100#",
		    "+CUSD: 0,\"A\nB\",15", "A\nB"},
		{"huawei: packed", modem_kind::huawei, {}, "aa180c3602", "*100#",
		    "+CUSD: 0,\"" + balance_packed + "\",15"},
		{"huawei: packed under UCS2 too", modem_kind::huawei, {"AT+CSCS=\"UCS2\""}, "aa180c3602", "*100#",
		    "+CUSD: 0,\"" + balance_packed + "\",15"},
		{"huawei: a UCS2 answer", modem_kind::huawei, {}, "aa180c3602", "*100#",
		    "+CUSD: 0,\"" + balance_ucs2 + "\",72", "Balance 5.00 EUR", 15, 72},
		{"huawei: UCS2 when the alphabet lacks a character", modem_kind::huawei, {}, "aa180c3602", "*100#",
		    "+CUSD: 0,\"0411\",72", "\xd0\x91", 15, -1, true},
		{"huawei: text is no packed request", modem_kind::huawei, {}, "*100#", "", error},
		{"huawei: USSDMODE 0 makes it standard", modem_kind::huawei, {"AT^USSDMODE=0"}, "*100#", "*100#",
		    "+CUSD: 0,\"Balance 5.00 EUR\",15"},
		{"huawei: USSDMODE 1 again", modem_kind::huawei, {"AT^USSDMODE=0", "AT^USSDMODE=1"}, "aa180c3602",
		    "*100#", "+CUSD: 0,\"" + balance_packed + "\",15"},
		{"huawei-old: packed", modem_kind::huawei_old, {}, "aa180c3602", "*100#",
		    "+CUSD: 0,\"" + balance_packed + "\",15"},
		{"standard: text as it stands", modem_kind::standard, {}, "*100#", "*100#",
		    "+CUSD: 0,\"Balance 5.00 EUR\",15"},
		{"standard: hex digits are text, a code the network does not know", modem_kind::standard, {},
		    "aa180c3602", "aa180c3602", "+CUSD: 0,\"Unknown service code\",15"},
		{"standard: text under GSM", modem_kind::standard, {"AT+CSCS=\"GSM\""}, "*100#", "*100#",
		    "+CUSD: 0,\"Balance 5.00 EUR\",15"},
		{"standard: '?' for what ASCII lacks", modem_kind::standard, {}, "*100#", "*100#",
		    "+CUSD: 0,\"Saldo 5 ? (?)\",15", "Saldo 5 \xe2\x82\xac (\xc3\xa9)"},
		{"standard: lines as CR LF, quotes as they are", modem_kind::standard, {}, "*100#", "*100#",
		    "+CUSD: 0,\"Menu\r\n1 \"Gold\"\r\n2 Bonus\",15", "Menu\n1 \"Gold\"\n2 Bonus"},
		{"standard: a UCS2 answer in hex", modem_kind::standard, {}, "*100#", "*100#",
		    "+CUSD: 0,\"" + balance_ucs2 + "\",72", "Balance 5.00 EUR", 15, 72},
		{"standard: UCS2 when the alphabet lacks a character", modem_kind::standard, {}, "*100#", "*100#",
		    "+CUSD: 0,\"0411\",72", "\xd0\x91", 15, -1, true},
		{"standard: a character no scheme sent", modem_kind::standard, {}, "*100#", "*100#",
		    "+CUSD: 4", "\xd0\x91"},
		{"standard: UCS2 in by its scheme", modem_kind::standard, {}, star100_ucs2, "*100#",
		    "+CUSD: 0,\"Balance 5.00 EUR\",15", "Balance 5.00 EUR", 72},
		{"standard: UCS2 in and out", modem_kind::standard, {"AT+CSCS=\"UCS2\""}, star100_ucs2, "*100#",
		    "+CUSD: 0,\"" + balance_ucs2 + "\",15"},
		{"standard: UCS2 lines", modem_kind::standard, {"AT+CSCS=\"UCS2\""}, star100_ucs2, "*100#",
		    "+CUSD: 0,\"0041000A0042\",15", "A\nB"},
		{"standard: a UCS2 scheme under UCS2", modem_kind::standard, {"AT+CSCS=\"UCS2\""}, star100_ucs2,
		    "*100#", "+CUSD: 0,\"" + balance_ucs2 + "\",72", "Balance 5.00 EUR", 15, 72},
		{"standard: text is no UCS2", modem_kind::standard, {"AT+CSCS=\"UCS2\""}, "*100#", "", error},
		{"standard-gsm: text", modem_kind::standard_gsm, {}, "*100#", "*100#",
		    "+CUSD: 0,\"Balance 5.00 EUR\",15"},
		{"standard-gsm: no UCS2", modem_kind::standard_gsm, {"AT+CSCS=\"UCS2\""}, "*100#", "*100#",
		    "+CUSD: 0,\"Balance 5.00 EUR\",15"},
		{"standard-gsm: a code the network does not know is refused", modem_kind::standard_gsm, {},
		    "aa180c3602", "aa180c3602", "+CUSD: 4"},
	};
	for (const auto &c : cases) {
		sim::options opts = modem_of(c.kind);
		opts.answer = c.answer;
		opts.answer_dcs = c.answer_dcs;
		opts.ucs2_when_needed = c.ucs2_when_needed;
		opts.menu.clear();
		std::vector<std::string> lines = c.lines;
		lines.push_back("AT+CUSD=1,\"" + c.request + "\"," + std::to_string(c.dcs));
		std::string want;
		for (const std::string &line : c.lines) {
			bool refused = c.kind == modem_kind::standard_gsm && line == "AT+CSCS=\"UCS2\"";
			want += refused ? sim::result("ERROR") : ok();
		}
		want += c.read.empty() ? c.written : ok() + sim::result(c.written);
		transcript t = talk(opts, lines, want.size());
		EXPECT_EQ(t.bytes, want) << c.what;
		std::vector<std::string> read;
		if (!c.read.empty())
			read.push_back(c.read);
		EXPECT_EQ(t.requests, read) << c.what;
	}
}

TEST(FakeModem, RefusesRequestsAsAsked)
{
	struct {
		const char *what;
		std::string refuse;
		bool after_ok, ucs2;
		std::vector<std::string> lines;
		std::string answer;
		std::vector<std::string> requests;
	} cases[] = {
		{"ERROR", "ERROR", false, false, {"AT+CUSD=1,\"*100#\",15"}, sim::result("ERROR"), {}},
		{"ERROR as a number", "ERROR", false, false, {"ATV0", "AT+CUSD=1,\"*100#\",15"}, "0\r4\r", {}},
		{"+CME ERROR whatever CMEE says", "+CME ERROR: 258", false, false, {"AT+CUSD=1,\"*100#\",15"},
		    sim::result("+CME ERROR: 258"), {}},
		{"after the OK", "+CME ERROR: 258", true, false, {"AT+CUSD=1,\"*100#\",15"},
		    ok() + sim::result("+CME ERROR: 258"), {"*100#"}},
		{"ERROR after the OK", "ERROR", true, false, {"AT+CUSD=1,\"*100#\",15"},
		    ok() + sim::result("ERROR"), {"*100#"}},
		{"settings still work", "ERROR", false, false, {"AT+CUSD=1", "AT+CUSD?"}, ok() + ok("+CUSD: 1"), {}},
		{"requests in UCS2", "", false, true,
		    {"AT+CSCS=\"UCS2\"", "AT+CUSD=1,\"" + star100_ucs2 + "\",15", "AT+CSCS=\"004900520041\"",
		    "AT+CUSD=1,\"*100#\",15"},
		    ok() + sim::result("ERROR") + ok() + ok() + sim::result("+CUSD: 0,\"Balance 5.00 EUR\",15"),
		    {"*100#"}},
	};
	for (const auto &c : cases) {
		sim::options opts = modem_of(sim::modem_kind::standard);
		opts.refuse = c.refuse;
		opts.refuse_after_ok = c.after_ok;
		opts.refuse_ucs2 = c.ucs2;
		transcript t = talk(opts, c.lines, c.answer.size());
		EXPECT_EQ(t.bytes, c.answer) << c.what;
		EXPECT_EQ(t.requests, c.requests) << c.what;
	}
}

TEST(FakeModem, AnswersWithEachStatus)
{
	struct {
		int status;
		bool text;
		std::string line;
	} cases[] = {
		{0, true, "+CUSD: 0,\"Bye\",15"},
		{1, true, "+CUSD: 1,\"Bye\",15"},
		{2, true, "+CUSD: 2,\"Bye\",15"},
		{3, true, "+CUSD: 3"},
		{4, true, "+CUSD: 4"},
		{5, true, "+CUSD: 5"},
		{0, false, "+CUSD: 0"},
		{1, false, "+CUSD: 1"},
		{2, false, "+CUSD: 2"},
	};
	for (sim::modem_kind kind : {sim::modem_kind::generic, sim::modem_kind::standard}) {
		for (const auto &c : cases) {
			sim::options opts = modem_of(kind);
			opts.answer = "Bye";
			opts.answer_status = c.status;
			opts.answer_text = c.text;
			// Only a status 1 answer leaves a session to end.
			std::string want = ok() + sim::result(c.line) + sim::result(c.status == 1 ? "OK" : "ERROR");
			transcript t = talk(opts, {"AT+CUSD=1,\"*100#\",15", "AT+CUSD=2"}, want.size());
			EXPECT_EQ(t.bytes, want) << c.line;
		}
	}
}

// Requests in order and the answers the network gives, with the built-in
// menu and a status 1 answer of the fallback.
TEST(FakeModem, WalksMenusInSessions)
{
	const std::string menu = "+CUSD: 1,\"1 Balance\r\n2 Bundles\",15";
	const std::string bundles = "+CUSD: 1,\"1 Day 1 GB\r\n2 Week 5 GB\",15";
	const std::string unknown = "+CUSD: 0,\"Unknown service code\",15";
	struct {
		const char *what;
		std::vector<std::string> requests;	// "end" for AT+CUSD=2
		std::vector<std::string> answers;	// the +CUSD: lines, or a result
		int fallback_status = 0;
	} cases[] = {
		{"answers by request", {"*100#", "*101#", "*123#"},
		    {"+CUSD: 0,\"Balance 5.00 EUR\",15", "+CUSD: 0,\"Data left: 2.5 GB, valid until 31.12.2026\",15",
		    unknown}},
		{"the first level", {"*111#", "1", "end"}, {menu, "+CUSD: 0,\"Balance: 12.34 EUR\",15", "ERROR"}},
		{"the second level", {"*111#", "2", "2"}, {menu, bundles, "+CUSD: 0,\"Week 5 GB bought\",15"}},
		{"a request while a menu waits is its reply", {"*111#", "*100#", "*100#"},
		    {menu, "+CUSD: 0,\"Invalid choice\",15", "+CUSD: 0,\"Balance 5.00 EUR\",15"}},
		{"ended by the client", {"*111#", "end", "1", "end"}, {menu, "OK", unknown, "ERROR"}},
		{"the fallback keeps its session", {"*100#", "7", "end"},
		    {"+CUSD: 1,\"Balance 5.00 EUR\",15", "+CUSD: 1,\"Balance 5.00 EUR\",15", "OK"}, 1},
	};
	for (const auto &c : cases) {
		sim::options opts = modem_of(sim::modem_kind::standard);
		opts.answer_status = c.fallback_status;
		std::vector<std::string> lines;
		std::string want;
		for (std::size_t i = 0; i < c.requests.size(); ++i) {
			bool end = c.requests[i] == "end";
			lines.push_back(end ? "AT+CUSD=2" : "AT+CUSD=1,\"" + c.requests[i] + "\",15");
			want += end ? sim::result(c.answers[i]) : ok() + sim::result(c.answers[i]);
		}
		transcript t = talk(opts, lines, want.size());
		EXPECT_EQ(t.bytes, want) << c.what;
	}
}

namespace {

// What comes from fd within ms.
std::string read_for(int fd, int ms)
{
	using namespace std::chrono;
	std::string got;
	auto end = steady_clock::now() + milliseconds(ms);
	for (;;) {
		auto left = duration_cast<milliseconds>(end - steady_clock::now()).count();
		pollfd p{fd, POLLIN, 0};
		if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
			return got;
		char buf[512];
		ssize_t n = read(fd, buf, sizeof buf);
		if (n <= 0)
			return got;
		got.append(buf, static_cast<std::size_t>(n));
	}
}

void send_line(int fd, const std::string &line)
{
	std::string out = line + "\r";
	EXPECT_EQ(write(fd, out.data(), out.size()), static_cast<ssize_t>(out.size()));
}

// A client of the modem that sends lines and reads what comes within a time.
struct client {
	sim::modem modem;
	int fd;

	explicit client(sim::options opts) : modem(std::move(opts))
	{
		modem.start();
		fd = open(modem.path(), O_RDWR | O_NOCTTY | O_CLOEXEC);
		EXPECT_GE(fd, 0);
	}
	~client()
	{
		close(fd);
		modem.stop();
	}
	void send(const std::string &line) { send_line(fd, line); }
	std::string read_for(int ms) { return ::read_for(fd, ms); }
};

}

TEST(FakeModem, AnswersLateWhileServingCommands)
{
	sim::options opts = modem_of(sim::modem_kind::standard);
	opts.delay_ms = 400;
	client c(opts);
	auto start = std::chrono::steady_clock::now();
	c.send("AT+CUSD=1,\"*100#\",15");
	c.send("AT+CGMI");
	EXPECT_EQ(c.read_for(200), ok() + ok("Quectel"));
	// The network is still busy with the first request.
	c.send("AT+CUSD=1,\"*101#\",15");
	EXPECT_EQ(c.read_for(100), sim::result("ERROR"));
	EXPECT_EQ(c.read_for(400), sim::result("+CUSD: 0,\"Balance 5.00 EUR\",15"));
	EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));

	// Ended before the answer came: the answer is dropped, and the next
	// request gets its own.
	c.send("AT+CUSD=1,\"*100#\",15");
	c.send("AT+CUSD=2");
	EXPECT_EQ(c.read_for(700), ok() + ok());
	c.send("AT+CUSD=1,\"*101#\",15");
	EXPECT_EQ(c.read_for(700), ok() + sim::result("+CUSD: 0,\"Data left: 2.5 GB, valid until 31.12.2026\",15"));
}

TEST(FakeModem, EndsASessionThatWaitsTooLong)
{
	sim::options opts = modem_of(sim::modem_kind::standard);
	opts.session_timeout_ms = 600;
	opts.delay_ms = 200;
	client c(opts);
	c.send("AT+CUSD=1,\"*111#\",15");
	EXPECT_EQ(c.read_for(350), ok() + sim::result("+CUSD: 1,\"1 Balance\r\n2 Bundles\",15"));
	// The wait counts from the answer, not from the request.
	EXPECT_EQ(c.read_for(350), "");
	EXPECT_EQ(c.read_for(500), sim::result("+CUSD: 2"));
	c.send("AT+CUSD=2");
	EXPECT_EQ(c.read_for(100), sim::result("ERROR"));
	// "1" is a request of its own now, a code the network does not know.
	c.send("AT+CUSD=1,\"1\",15");
	EXPECT_EQ(c.read_for(400), ok() + sim::result("+CUSD: 0,\"Unknown service code\",15"));
}

namespace {

// Menu entries written one to a line as the file has them.
std::string written(const std::vector<sim::menu_entry> &menu)
{
	std::string out;
	for (const sim::menu_entry &e : menu) {
		for (const std::string &word : e.path)
			out += word + " ";
		out += "= " + std::to_string(e.status);
		if (e.text)
			out += " [" + *e.text + "]";
		out += "\n";
	}
	return out;
}

}

TEST(FakeModem, ReadsMenuFiles)
{
	struct {
		const char *what;
		std::string text, entries;	// entries: as written(), or the error
	} cases[] = {
		{"entries, comments and blank lines",
		    "# a menu\n\n*111# = 1 1 Gold\\n2 \"Silver\"\n  *111#   1 = 0   Gold it is \n#\n*1# = 4\n",
		    "*111# = 1 [1 Gold\n2 \"Silver\"]\n*111# 1 = 0 [Gold it is ]\n*1# = 4\n"},
		{"codes that start with #", "#31# = 0 Hidden\n#\tcomment\n", "#31# = 0 [Hidden]\n"},
		{"CR LF line ends, no last line feed", "*1# = 2 Bye\r\n*2# = 0 a\\\\b", "*1# = 2 [Bye]\n*2# = 0 [a\\b]\n"},
		{"no text", "*1# = 0\n*2# = 1 \n", "*1# = 0\n*2# = 1\n"},
		{"nothing", "", ""},
		{"no '='", "*1# = 0 a\n*2# 0 b\n", "m:2: expected REQUEST [REPLY...] = STATUS [TEXT]"},
		{"no request", " = 0 a\n", "m:1: no request before '='"},
		{"no status", "*1# =\n", "m:1: the status after '=' must be one of 0 to 5"},
		{"a status out of range", "*1# = 6 a\n", "m:1: the status after '=' must be one of 0 to 5"},
		{"a status of two digits", "*1# = 10\n", "m:1: the status after '=' must be one of 0 to 5"},
		{"text without a blank", "*1# = 0a\n", "m:1: the status after '=' must be one of 0 to 5"},
		{"text with status 4", "\n*1# = 4 no\n", "m:2: status 4 carries no text"},
		{"an unknown escape", "*1# = 0 a\\tb\n", "m:1: only \\n and \\\\ are escapes"},
		{"a lone backslash", "*1# = 0 a\\\n", "m:1: only \\n and \\\\ are escapes"},
		{"given twice", "*1# = 1 a\n*1#  2 = 0 b\n*1# 2 = 0 c\n", "m:3: '*1# 2' is already given on line 2"},
		{"a reply without its menu", "*1# = 1 a\n*2# 1 = 0 b\n", "m:2: no menu (status 1) '*2#' leads to this reply"},
		{"a reply to no menu", "*1# 1 = 0 b\n*1# = 0 a\n", "m:1: no menu (status 1) '*1#' leads to this reply"},
	};
	for (const auto &c : cases) {
		std::string got;
		try {
			got = written(sim::parse_menu(c.text, "m"));
		} catch (const std::runtime_error &e) {
			got = e.what();
		}
		EXPECT_EQ(got, c.entries) << c.what;
	}
	EXPECT_THROW(sim::read_menu("/nonexistent/menu"), std::runtime_error);
}

TEST(FakeModem, ServesTheMenuGiven)
{
	sim::options opts = modem_of(sim::modem_kind::huawei);
	opts.menu = sim::parse_menu("*5# = 1 Pick\\n1 One\n*5# 1 = 2 One\\nbye\n*100# = 0 Mine\n", "m");
	auto packed = [](const char *text) { return sim::to_scheme(text, 15).value(); };
	std::vector<std::string> lines;
	for (const char *request : {"*5#", "1", "*100#", "*200#"})
		lines.push_back("AT+CUSD=1,\"" + packed(request) + "\",15");
	std::string want = ok() + sim::result("+CUSD: 1,\"" + packed("Pick\n1 One") + "\",15") +
	    ok() + sim::result("+CUSD: 2,\"" + packed("One\nbye") + "\",15") +
	    ok() + sim::result("+CUSD: 0,\"" + packed("Mine") + "\",15") +
	    ok() + sim::result("+CUSD: 0,\"" + packed("Unknown service code") + "\",15");
	transcript t = talk(opts, lines, want.size());
	EXPECT_EQ(t.bytes, want);
	EXPECT_EQ(t.requests, (std::vector<std::string>{"*5#", "1", "*100#", "*200#"}));
}

namespace {

// The fake-modem program run with args: its status, what it wrote to
// standard error and, when it started serving, what it sent back to lines
// (each followed by a pause of pause_ms, for what comes later).
struct program_run {
	int status = -1;
	std::string err, bytes;
};

program_run run_program(std::vector<std::string> args, const std::vector<std::string> &lines, int pause_ms = 100)
{
	int out[2], err[2];
	EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
	EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
	args.insert(args.begin(), FAKE_MODEM_PATH);
	std::vector<char *> argv;
	for (std::string &a : args)
		argv.push_back(a.data());
	argv.push_back(nullptr);
	pid_t pid = fork();
	if (pid == 0) {
		dup2(out[1], 1);
		dup2(err[1], 2);
		execv(argv[0], argv.data());
		_exit(127);
	}
	close(out[1]);
	close(err[1]);
	program_run r;
	std::string path;
	for (char c; read(out[0], &c, 1) == 1 && c != '\n';)
		path += c;
	if (!path.empty()) {
		int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
		EXPECT_GE(fd, 0);
		for (const std::string &line : lines) {
			send_line(fd, line);
			r.bytes += read_for(fd, pause_ms);
		}
		close(fd);
		kill(pid, SIGTERM);
	}
	r.err = read_for(err[0], 2000);
	close(out[0]);
	close(err[0]);
	int wstatus = 0;
	waitpid(pid, &wstatus, 0);
	r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
	return r;
}

}

TEST(FakeModemProgram, TakesEachSettingFromTheCommandLine)
{
	char menu[] = "/tmp/fake-modem-menu-XXXXXX";
	int fd = mkstemp(menu);
	ASSERT_GE(fd, 0);
	const std::string text = "# a test\n*100# = 1 M\\n1 a\n*100# 1 = 0 A\n";
	EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
	close(fd);
	const std::string request = "AT+CUSD=1,\"*100#\",15";
	struct {
		std::vector<std::string> args, lines;
		std::string bytes;
		int pause_ms = 100;
	} cases[] = {
		{{"--kind", "standard", "--answer", "Hi", "--status", "2"}, {request}, ok() + sim::result("+CUSD: 2,\"Hi\",15")},
		{{"--kind", "huawei-old", "--no-text"}, {"AT+CGMI", "AT+CUSD=1,\"aa180c3602\",15"},
		    ok("HUAWEI") + ok() + sim::result("+CUSD: 0")},
		{{"--kind", "standard", "--ucs2-when-needed", "--answer", "\xd0\x91"}, {request},
		    ok() + sim::result("+CUSD: 0,\"0411\",72")},
		{{"--refuse", "CME:258"}, {request}, sim::result("+CME ERROR: 258")},
		{{"--refuse", "+CME ERROR: 30"}, {request}, sim::result("+CME ERROR: 30")},
		{{"--refuse", "ERROR", "--refuse-after-ok"}, {request}, ok() + sim::result("ERROR")},
		{{"--kind", "standard", "--refuse-ucs2"}, {"AT+CSCS=\"UCS2\"", "AT+CUSD=1,\"" + star100_ucs2 + "\",15"},
		    ok() + sim::result("ERROR")},
		{{"--kind", "standard", "--menu", menu}, {request, "AT+CUSD=1,\"1\",15"},
		    ok() + sim::result("+CUSD: 1,\"M\r\n1 a\",15") + ok() + sim::result("+CUSD: 0,\"A\",15")},
		{{"--kind", "standard", "--delay", "300"}, {request, "AT+CGMI"}, ok() + ok("Quectel")},
		{{"--kind", "standard", "--status", "1", "--session-timeout", "100"}, {request},
		    ok() + sim::result("+CUSD: 1,\"Balance: 12.34 EUR, valid until 31.12.2026\",15") +
		    sim::result("+CUSD: 2"), 400},
		{{"--unknown-ok"}, {"AT+XYZZY"}, ok()},
		{{"--no-echo"}, {"AT+XYZZY"}, sim::result("ERROR")},
	};
	for (const auto &c : cases) {
		std::vector<std::string> args = c.args;
		args.push_back("--no-echo");
		program_run r = run_program(args, c.lines, c.pause_ms);
		std::string what = c.args[0] + " " + c.args.back();
		EXPECT_EQ(r.bytes, c.bytes) << what;
		EXPECT_EQ(r.status, 0) << what;
		EXPECT_EQ(r.err, "") << what;
	}
	unlink(menu);
}

TEST(FakeModemProgram, RefusesBadSettings)
{
	char menu[] = "/tmp/fake-modem-menu-XXXXXX";
	int fd = mkstemp(menu);
	ASSERT_GE(fd, 0);
	EXPECT_EQ(write(fd, "*1# = 0 a\n*1# = 7\n", 18), 18);
	close(fd);
	struct {
		std::vector<std::string> args;
		int status;
		std::string first_line;	// of standard error
	} cases[] = {
		{{"--kind", "nokia"}, 2, "fake-modem: invalid value for --kind: nokia"},
		{{"--status", "6"}, 2, "fake-modem: invalid value for --status: 6"},
		{{"--delay", "-1"}, 2, "fake-modem: invalid value for --delay: -1"},
		{{"--refuse", "CME:"}, 2, "fake-modem: invalid value for --refuse: CME:"},
		{{"--refuse-after-ok"}, 2, "fake-modem: --refuse-after-ok needs --refuse"},
		{{"--kind", "standard", "surplus"}, 2, "usage: fake-modem [--kind NAME] [--answer TEXT] [--status N] [--no-text]"},
		{{"--menu", menu}, 1, "fake-modem: " + std::string(menu) + ":2: the status after '=' must be one of 0 to 5"},
		{{"--menu", "/nonexistent"}, 1, "fake-modem: /nonexistent: No such file or directory"},
		{{"--menu", "/"}, 1, "fake-modem: /: Is a directory"},
		{{"--mm-modems", "17"}, 2, "fake-modem: invalid value for --mm-modems: 17"},
		{{"--mbim-answer", "later"}, 2, "fake-modem: invalid value for --mbim-answer: later"},
		{{"--mbim-refuse", "0"}, 2, "fake-modem: invalid value for --mbim-refuse: 0"},
		{{"--mbim-fragment", "63"}, 2, "fake-modem: invalid value for --mbim-fragment: 63"},
		{{"--mbim-fragment-fault", "lost"}, 2, "fake-modem: invalid value for --mbim-fragment-fault: lost"},
		{{"--bus", "tcp:host=localhost"}, 1, "fake-modem: tcp:host=localhost: Cannot assign requested address"},
		{{"--hilink-firmware", "zte"}, 2, "fake-modem: invalid value for --hilink-firmware: zte"},
		{{"--hilink-refuse", "0"}, 2, "fake-modem: invalid value for --hilink-refuse: 0"},
		{{"--hilink-stranger", "nginx"}, 2, "fake-modem: invalid value for --hilink-stranger: nginx"},
		{{"--hilink-astral", "utf16"}, 2, "fake-modem: invalid value for --hilink-astral: utf16"},
		{{"--hilink", "localhost:0"}, 1, "fake-modem: --hilink: not an address: localhost"},
	};
	for (const auto &c : cases) {
		program_run r = run_program(c.args, {});
		EXPECT_EQ(r.status, c.status) << c.args[0];
		EXPECT_EQ(r.err.substr(0, r.err.find('\n')), c.first_line) << c.args[0];
	}
	unlink(menu);
}

namespace {

constexpr char mm_name[] = "org.freedesktop.ModemManager1";
constexpr char modem0[] = "/org/freedesktop/ModemManager1/Modem/0";
constexpr char ussd_iface[] = "org.freedesktop.ModemManager1.Modem.Modem3gpp.Ussd";
constexpr char modem_iface[] = "org.freedesktop.ModemManager1.Modem";

// busctl on the bus, its standard output or, when it fails, "error: " and
// its standard error.
std::string busctl(const private_bus &bus, std::vector<std::string> args)
{
	args.insert(args.begin(), {"busctl", "--address=" + bus.address()});
	outcome o = run_client(args);
	return o.status == 0 ? o.out : "error: " + o.err;
}

std::string ussd(const private_bus &bus, const std::string &method, const std::string &text = "")
{
	std::vector<std::string> args = {"call", mm_name, modem0, ussd_iface, method};
	if (!text.empty())
		args.insert(args.end(), {"s", text});
	return busctl(bus, args);
}

// Writes an AT command line to the pty and reads the answer for a while.
std::string at(const char *path, const std::string &line)
{
	int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
	EXPECT_GE(fd, 0);
	std::string out = line + "\r", got;
	EXPECT_EQ(write(fd, out.data(), out.size()), static_cast<ssize_t>(out.size()));
	pollfd p{fd, POLLIN, 0};
	char buf[512];
	for (ssize_t n; poll(&p, 1, 300) > 0 && (n = read(fd, buf, sizeof buf)) > 0;)
		got.append(buf, static_cast<std::size_t>(n));
	close(fd);
	return got;
}

// The value of an attribute in a tag's text.
std::string attribute(const std::string &tag, const std::string &name)
{
	std::size_t at = tag.find(" " + name + "=\"");
	if (at == std::string::npos)
		return "";
	at += name.size() + 3;
	return tag.substr(at, tag.find('"', at) - at);
}

// What an interface's XML says of its members: "method NAME" with
// "(IN)OUT", and "property NAME" with its type. A scan rather than regular
// expressions, whose recursion the long comments of the files overflow.
std::map<std::string, std::string> members(std::string xml, const std::string &iface)
{
	for (std::size_t at; (at = xml.find("<!--")) != std::string::npos;)
		xml.erase(at, xml.find("-->", at) + 3 - at);
	std::map<std::string, std::string> found;
	std::size_t begin = xml.find("<interface name=\"" + iface + "\"");
	if (begin == std::string::npos)
		return found;
	const std::string body = xml.substr(begin, xml.find("</interface>", begin) - begin);
	for (std::size_t at = 0; (at = body.find("<method ", at)) != std::string::npos; ++at) {
		std::size_t head_end = body.find('>', at);
		std::string head = body.substr(at, head_end - at);
		std::string args;
		if (head.back() != '/')
			args = body.substr(head_end, body.find("</method>", head_end) - head_end);
		std::string in, out;
		for (std::size_t a = 0; (a = args.find("<arg ", a)) != std::string::npos; ++a) {
			std::string tag = args.substr(a, args.find('>', a) - a);
			(attribute(tag, "direction") == "out" ? out : in) += attribute(tag, "type");
		}
		found["method " + attribute(head, "name")] = "(" + in + ")" + out;
	}
	for (std::size_t at = 0; (at = body.find("<property ", at)) != std::string::npos; ++at) {
		std::string tag = body.substr(at, body.find('>', at) - at);
		found["property " + attribute(tag, "name")] = attribute(tag, "type");
	}
	return found;
}

}

TEST(FakeModemBus, AgreesWithAStandardClient)
{
	for (bool big : {false, true}) {
		private_bus bus;
		ASSERT_TRUE(bus.ok());
		sim::options opts;
		opts.bus = bus.address();
		opts.big_endian = big;
		opts.mm_ports = {"ttyUSB2", "cdc-wdm0:qmi"};
		opts.echo = false;
		sim::modem modem(opts);
		modem.start();
		const std::string pty = modem.path();
			// Each step: what busctl (or an AT client, for "at") is asked, and
		// what it gets.
		const struct {
			std::vector<std::string> ask;
			std::string get;
		} steps[] = {
			{{"Cancel"}, "error: Call failed: Cannot cancel USSD: no active session\n"},
			{{"Respond", "1"}, "error: Call failed: Cannot respond USSD: no active session\n"},
			{{"state"}, "u 1\n"},
			{{"Initiate", "*101#"}, "s \"Data left: 2.5 GB, valid until 31.12.2026\"\n"},
			{{"Initiate", "*111#"}, "s \"1 Balance\\n2 Bundles\"\n"},
			{{"state"}, "u 3\n"},
			{{"Initiate", "*101#"}, "error: Call failed: Cannot initiate USSD: a session is already active\n"},
			{{"Respond", "2"}, "s \"1 Day 1 GB\\n2 Week 5 GB\"\n"},
			{{"Respond", "1"}, "s \"Day 1 GB bought\"\n"},
			{{"state"}, "u 1\n"},
			{{"Initiate", "*111#"}, "s \"1 Balance\\n2 Bundles\"\n"},
			{{"Cancel"}, ""},
			{{"state"}, "u 1\n"},
			// One network behind both sides: a session opened on the bus is
			// answered on the pty, and the other way round.
			{{"Initiate", "*111#"}, "s \"1 Balance\\n2 Bundles\"\n"},
			{{"at", "AT+CUSD=1,\"1\",15"}, "\r\nOK\r\n\r\n+CUSD: 0,\"Balance: 12.34 EUR\",15\r\n"},
			{{"at", "AT+CUSD=1,\"*111#\",15"}, "\r\nOK\r\n\r\n+CUSD: 1,\"1 Balance\n2 Bundles\",15\r\n"},
			{{"state"}, "u 3\n"},
			{{"Respond", "2"}, "s \"1 Day 1 GB\\n2 Week 5 GB\"\n"},
			{{"Cancel"}, ""},
		};
		for (const auto &s : steps) {
			std::string got;
			if (s.ask[0] == "state")
				got = busctl(bus, {"get-property", mm_name, modem0, ussd_iface, "State"});
			else if (s.ask[0] == "at")
				got = at(pty.c_str(), s.ask[1]);
			else
				got = ussd(bus, s.ask[0], s.ask.size() > 1 ? s.ask[1] : "");
			EXPECT_EQ(got, s.get) << (big ? "big-endian: " : "") << s.ask[0] << " " << s.ask.back();
		}
		EXPECT_EQ(busctl(bus, {"call", mm_name, "/org/freedesktop/ModemManager1",
		              "org.freedesktop.DBus.ObjectManager", "GetManagedObjects"}),
		    "a{oa{sa{sv}}} 1 \"" + std::string(modem0) + "\" 3 \"" + modem_iface + "\" 9 "
		    "\"Manufacturer\" s \"Fakeco\" \"Model\" s \"fake modem\" \"Device\" s \"/sys/devices/fake/0\" "
		    "\"PrimaryPort\" s \"" + pty.substr(pty.rfind('/') + 1) + "\" "
		    "\"Ports\" a(su) 3 \"" + pty + "\" 3 \"ttyUSB2\" 3 \"cdc-wdm0\" 6 \"State\" i 8 "
		    "\"UnlockRequired\" u 1 \"StateFailedReason\" u 0 \"AccessTechnologies\" u 32 \"" +
		    std::string(modem_iface) + ".Modem3gpp\" 1 \"RegistrationState\" u 1 \"" +
		    ussd_iface + "\" 3 \"State\" u 1 \"NetworkNotification\" s \"\" \"NetworkRequest\" s \"\"\n");
		EXPECT_EQ(busctl(bus, {"call", mm_name, "/org/freedesktop/ModemManager1/Modem/1",
		              "org.freedesktop.DBus.Properties", "GetAll", "s", ussd_iface}),
		    "error: Call failed: No such object path '/org/freedesktop/ModemManager1/Modem/1'\n");
	}
}

TEST(FakeModemBus, ExportsModemManagersMembers)
{
	private_bus bus;
	ASSERT_TRUE(bus.ok());
	sim::options opts;
	opts.bus = bus.address();
	sim::modem modem(opts);
	modem.start();
	const std::string exported = busctl(bus, {"introspect", "--xml-interface", mm_name, modem0});
	// whole: the fake has every member the interface file names.
	const struct {
		std::string iface;
		bool whole;
	} cases[] = {
		{ussd_iface, true},
		{modem_iface, false},
		{"org.freedesktop.DBus.Properties", true},
	};
	for (const auto &c : cases) {
		const std::string file = c.iface.starts_with("org.freedesktop.DBus.")
		    ? "" : "/usr/share/dbus-1/interfaces/" + c.iface + ".xml";
		std::string xml;
		if (!file.empty()) {
			std::ifstream in(file);
			ASSERT_TRUE(in) << file << " is missing: install modemmanager-dev";
			std::stringstream ss;
			ss << in.rdbuf();
			xml = ss.str();
		} else {
			// The bus's own interface, as the bus daemon itself describes it.
			xml = busctl(bus, {"introspect", "--xml-interface", "org.freedesktop.DBus", "/org/freedesktop/DBus"});
		}
		const auto want = members(xml, c.iface), got = members(exported, c.iface);
		ASSERT_FALSE(want.empty()) << c.iface;
		ASSERT_FALSE(got.empty()) << c.iface;
		for (const auto &[name, sig] : got)
			EXPECT_EQ(want.count(name) ? want.at(name) : "absent", sig) << c.iface << " " << name;
		if (!c.whole)
			continue;
		for (const auto &[name, sig] : want) {
			EXPECT_TRUE(got.count(name) || name == "method Set") << c.iface << " lacks " << name;
		}
	}
}

// With --hilink the program serves the web API on the loopback address,
// the port it picked on the line after the device's path, and logs each
// request and answer under --verbose.
TEST(FakeModemProgram, ServesTheHiLinkWebApi)
{
	int out[2], err[2];
	ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
	ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
	pid_t pid = fork();
	if (pid == 0) {
		dup2(out[1], 1);
		dup2(err[1], 2);
		execl(FAKE_MODEM_PATH, FAKE_MODEM_PATH, "--hilink", "[::1]:0", "--hilink-firmware", "token",
		    "--verbose", nullptr);
		_exit(127);
	}
	close(out[1]);
	close(err[1]);
	std::string lines;
	for (char c; std::count(lines.begin(), lines.end(), '\n') < 2 && read(out[0], &c, 1) == 1;)
		lines += c;
	const std::string url = lines.substr(lines.find('\n') + 1, lines.size() - lines.find('\n') - 2);
	EXPECT_TRUE(url.starts_with("http://[::1]:")) << url;

	// A request as any client would send it.
	sockaddr_in6 a{};
	a.sin6_family = AF_INET6;
	a.sin6_port = htons(static_cast<uint16_t>(std::stoi(url.substr(url.rfind(':') + 1))));
	inet_pton(AF_INET6, "::1", &a.sin6_addr);
	int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
	ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
	const std::string req = "GET /api/webserver/token HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
	EXPECT_EQ(write(fd, req.data(), req.size()), static_cast<ssize_t>(req.size()));
	std::string answer = read_for(fd, 1000);
	close(fd);
	EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK\r\n")) << answer;
	EXPECT_NE(answer.find("Set-Cookie: SessionID="), std::string::npos) << answer;
	EXPECT_NE(answer.find("<token>"), std::string::npos) << answer;

	kill(pid, SIGTERM);
	std::string log = read_for(err[0], 1000);
	int wstatus = 0;
	waitpid(pid, &wstatus, 0);
	close(out[0]);
	close(err[0]);
	EXPECT_NE(log.find("fake-modem: hilink < GET /api/webserver/token HTTP/1.1"), std::string::npos) << log;
	EXPECT_NE(log.find("fake-modem: hilink > HTTP/1.1 200 OK"), std::string::npos) << log;
}

// A standard QMI client agrees with the fake's QMI side: it takes a DMS
// client id, asks, and gives the id back.
TEST(FakeModemQmi, AgreesWithAStandardClient)
{
	ASSERT_EQ(system("command -v qmicli >/dev/null 2>&1"), 0) << "qmicli is missing: install libqmi-utils";
	sim::options opts;
	opts.qmi = true;
	sim::modem modem(opts);
	modem.start();
	const std::string pty = modem.path();
	// libqmi cannot tell from sysfs that a pseudo-terminal speaks QMI.
	const struct {
		const char *ask;
		std::string get;
	} steps[] = {
		{"--dms-get-manufacturer", "Device manufacturer retrieved:\n\tManufacturer: 'Fakeco'\n"},
		{"--dms-get-model", "Device model retrieved:\n\tModel: 'FM100'\n"},
	};
	for (const auto &s : steps) {
		auto r = run_client({"qmicli", "-d", pty, "--device-open-qmi", s.ask});
		EXPECT_EQ(r.out, "[" + pty + "] " + s.get) << s.ask << ": " << r.err;
		EXPECT_EQ(r.status, 0) << s.ask;
	}
	EXPECT_EQ(modem.qmi_clients_held(), 0);
}

// Debian's mbimcli (libmbim-utils) reads the MBIM function the fake plays
// on its pseudo-terminal as it reads a modem's: the device caps and the
// services it lists, FUNCTION_ERROR 5 to a command sent before OPEN, and
// no OPEN needed where another client has the function open, and answers
// sent in fragments.
TEST(FakeModemMbim, AgreesWithAStandardClient)
{
	ASSERT_EQ(std::system("command -v mbimcli >/dev/null 2>&1"), 0) << "mbimcli is missing: install libmbim-utils";
	const struct {
		bool opened;
		std::vector<std::string> args, received, shows;
		int status;
		uint32_t fragment = 0;
	} cases[] = {
		{false, {"--query-device-caps"}, {"OPEN 4096", "device caps query", "CLOSE"},
		    {"Device type: 'remote'", "Cellular class: 'gsm'", "Device ID: '358240051111110'",
		     "Firmware info: 'FAKE.1.0'", "Hardware info: 'fake modem'"}, 0},
		{false, {"--query-device-services"}, {"OPEN 4096", "device services query", "CLOSE"},
		    {"Services: (3)", "Service: 'basic-connect'", "UUID: [a289cc33-bcbb-8b4f-b6b0-133ec2aae6df]",
		     "device-services (16)", "Service: 'sms'", "Service: 'ussd'",
		     "UUID: [e550a0c8-5e82-479e-82f7-10abf4c3351f]", "CIDs: ussd (1)"}, 0},
		{false, {"--no-open=5", "--no-close", "--query-device-caps"}, {"device caps query"},
		    {"NotOpened"}, 1},
		{true, {"--no-open=5", "--no-close", "--query-device-caps"}, {"device caps query"},
		    {"Hardware info: 'fake modem'"}, 0},
		{false, {"--query-device-services"}, {"OPEN 4096", "device services query", "CLOSE"},
		    {"Services: (3)", "Service: 'sms'", "CIDs: ussd (1)"}, 0, 64},
	};
	for (const auto &c : cases) {
		sim::options o;
		o.mbim.on = true;
		o.mbim.opened = c.opened;
		o.mbim.fragment = c.fragment;
		sim::modem modem(o);
		modem.start();
		std::vector<std::string> args{"mbimcli", "-d", modem.path()};
		args.insert(args.end(), c.args.begin(), c.args.end());
		outcome r = run_client(args);
		modem.stop();
		const std::string what = c.args.back() + (c.opened ? ", opened" : "");
		EXPECT_EQ(r.status, c.status) << what << ": " << r.err;
		EXPECT_EQ(modem.received(), c.received) << what;
		for (const std::string &s : c.shows)
			EXPECT_NE((r.out + r.err).find(s), std::string::npos) << what << ": " << s << "\n" << r.out << r.err;
	}
}

// The fake checks the tool's logins with what it computes itself; those
// are checked here against worked examples from Python's hashlib and hmac.
TEST(FakeModem, ComputesTheHiLinkLoginsAsWorkedOut)
{
	EXPECT_EQ(sim::hilink_password_hash("admin", "secret", "T1tttttttttttttttttttttttttttttt"),
	    "OTJjMDA3ZWVmYjIzZjI0NGQwNDBmYTVmZmUwYzRkZmRkNWJlNGFkYTAxMWI4YWM4M2JlZDUzYjhkNGIyM2VjOA==");
	EXPECT_EQ(sim::hilink_password_hash("admin", "p\xc3\xa4ssw\xc3\xb6rd", "abc"),
	    "YjZiMDlkOGNhZjgzZDYyNWZkYWM2NjdiODgyNzJjZDdlMTlhNTJmYWY5NDM4OTI4YjVhNWUxNjVjYTlkMDk3MA==");
	struct {
		std::string password, salt;
		int rounds;
		std::string first, server, proof, signature;
	} cases[] = {
		{"secret", "8d4e7c0b5a1f2e3d9c6b0a7f1e2d3c4b5a69788796a5b4c3d2e1f00112233445", 100,
		    std::string(64, '0'), std::string(64, '0') + "N1" + std::string(30, 'n'),
		    "e554271916368deba036f498f4d3c79b721d28e411a68adb8716830caec15e3a",
		    "ac13dcff796b3aaf951efd04cc5debd2881cbcb00678254ed56e0918ae6106d3"},
		{"admin", "0123456789abcdef", 1000, std::string(64, 'f'), std::string(64, 'f') + "abc",
		    "018a4be844b8c89a14fc1b810c459e6d0ed4cbebae9dd241901eec1ee4e3dc5e",
		    "8593cba2fcc1e36a713982ef43fdc51b4492e157ceeb8ff66b68a8313fc50b94"},
	};
	for (const auto &c : cases) {
		auto [proof, signature] = sim::hilink_proofs(c.password, c.salt, c.rounds, c.first, c.server);
		EXPECT_EQ(proof, c.proof) << c.password;
		EXPECT_EQ(signature, c.signature) << c.password;
	}
}
