// The fake modem's own answers, as an AT client reads them from the device.

#include "sim/modem.hpp"
#include "sim/syntax.hpp"

#include <chrono>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
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
