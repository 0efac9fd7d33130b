// The tool with -d against the fake modem: the request packed through the
// GSM alphabet, the answer decoded by its data coding scheme into UTF-8.
#include <gtest/gtest.h>

#include "tests/harness.hpp"

namespace {

sim::options
answering_with(std::string cusd_line)
{
	sim::options o;
	o.rules = {{"AT+CUSD=*", {sim::send(sim::result("OK") + sim::result(cusd_line))}}};
	return o;
}

std::string
euros(int n)
{
	std::string s;
	while (n-- > 0)
		s += "€";
	return s;
}

TEST(Decode, PrintsTheAnswerAsUtf8)
{
	const std::string balance = "04110430043B0430043D0441003A0032003200320030002C003700360440";
	struct {
		const char *what;
		std::string line, out;
	} cases[] = {
		{"a balance in UCS2", "+CUSD: 0,\"" + balance + "\",72", "Баланс:2220,76р\n"},
		{"the euro sign by escape", "+CUSD: 0,\"c2303bec1e974135170cb62903\",15", "Balance 5.00€\n"},
		{"an address with '@'", "+CUSD: 0,\"f579590e28e3c36d38bbec1abfdb\",15",
		    "user@example.com\n"},
		{"the scheme with spaces around", "+CUSD: 0,\"" + balance + "\" , 72 ",
		    "Баланс:2220,76р\n"},
		{"8-bit data", "+CUSD: 0,\"48e9\",68", "Hé\n"},
		{"a NUL in the text", "+CUSD: 0,\"004100000042\",72", std::string("A\0B\n", 4)},
		{"no scheme: the default alphabet", "+CUSD: 0,\"aa180c3602\"", "*100#\n"},
		{"a scheme out of range: the default alphabet", "+CUSD: 0,\"aa180c3602\",256", "*100#\n"},
		// A quote that no scheme follows is part of the text, which goes
		// on in the next line.
		{"a scheme that is no number", "+CUSD: 0,\"aa180c3602\",7x2\r\nend\",15",
		    "aa180c3602\",7x2\nend\n"},
		{"a scheme without its comma", "+CUSD: 0,\"aa180c3602\" 72\r\n\",72",
		    "aa180c3602\" 72\n\n"},
		{"text the modem decoded itself", "+CUSD: 0,\"Balance: 5 EUR\",15", "Balance: 5 EUR\n"},
		{"an empty answer", "+CUSD: 0,\"\",72", "\n"},
	};
	for (const auto &c : cases) {
		auto r = ussdq({"-d", "-p", "PORT", "-u", "*100#"}, answering_with(c.line));
		EXPECT_EQ(r.out, c.out) << c.what;
		EXPECT_EQ(r.err, quiet) << c.what;
		EXPECT_EQ(r.status, 0) << c.what;
	}
}

TEST(Decode, ShowsTheRawAnswerOnlyInTheDialogue)
{
	auto r = ussdq({"-dv", "-p", "PORT", "-u", "*100#"},
	    answering_with("+CUSD: 0,\"20AC\",72"));
	EXPECT_EQ(r.out, "€\n");
	EXPECT_NE(r.err.find(msgs({"at_wcusd: got \"+CUSD: 0,\"20AC\",72\"",
	    "at_wcusd: done", "decira: buf = \"20AC\""})), std::string::npos);
	EXPECT_EQ(r.status, 0);
}

TEST(Decode, FailsOnCompressedAnswers)
{
	for (int dcs : {96, 100, 127}) {
		auto r = ussdq({"-d", "-p", "PORT", "-u", "*100#"},
		    answering_with("+CUSD: 0,\"aa180c3602\"," + std::to_string(dcs)));
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, quiet + msgs({"cannot read compressed answer (data coding scheme " +
		    std::to_string(dcs) + ")"}));
		EXPECT_EQ(r.status, 1);
	}
}

TEST(Decode, SendsTheRequestThroughTheGsmAlphabet)
{
	struct {
		std::string ussd, sent;
	} cases[] = {
		{"*100#", "AT+CUSD=1,\"aa180c3602\",15"},
		{"*101*1#", "AT+CUSD=1,\"aa182ca68a8d1a\",15"},
		{"", "AT+CUSD=1,\"\",15"},
		{"€", "AT+CUSD=1,\"9b32\",15"},
		{"@A", "AT+CUSD=1,\"8020\",15"},
		{"{£}", "AT+CUSD=1,\"1b54609302\",15"},
	};
	for (const auto &c : cases) {
		auto r = ussdq({"-d", "-p", "PORT", "-u", c.ussd});
		std::vector<std::string> sent{"ATE0", "AT+CMGF=0", "AT+CSCS=\"IRA\"", c.sent};
		EXPECT_EQ(r.sent, sent) << c.ussd;
		EXPECT_EQ(r.status, 0) << c.ussd;
	}
}

TEST(Decode, RefusesRequestsTheAlphabetCannotCarry)
{
	struct {
		const char *what;
		std::vector<std::string> args;
		std::string err;
		std::size_t sent;
	} cases[] = {
		{"Cyrillic", {"-d", "-p", "PORT", "-u", "Баланс"},
		    setup + msgs({"USSD has a character the GSM alphabet lacks"}), 3},
		{"a byte of Latin-1", {"-d", "-p", "PORT", "-u", "caf\xe9"},
		    setup + msgs({"USSD is not UTF-8 text"}), 3},
		{"585 characters", {"-d", "-p", "PORT", "-u", std::string(585, '1')},
		    setup + msgs({"USSD too long"}), 3},
		{"292 euro signs, two septets each, and one more character",
		    {"-d", "-p", "PORT", "-u", euros(292) + "1"}, setup + msgs({"USSD too long"}), 3},
		// Nothing is looked at before the modem has been set up.
		{"a port that cannot be opened", {"-d", "-p", "/nonexistent", "-u", "Баланс"},
		    msgs({"/nonexistent: No such file or directory"}), 0},
		{"no request", {"-d", "-p", "PORT"}, usage_line, 0},
	};
	for (const auto &c : cases) {
		auto r = ussdq(c.args);
		EXPECT_EQ(r.out, "") << c.what;
		EXPECT_EQ(r.err, c.err) << c.what;
		EXPECT_EQ(r.status, 1) << c.what;
		EXPECT_EQ(r.sent.size(), c.sent) << c.what;
	}
}

// Every character of the GSM alphabet, the main table (but the escape) and
// the extension table, goes to the modem in the request and comes back in
// the answer, coded in each scheme that can carry it.
TEST(Decode, RoundTripsEveryGsmCharacter)
{
	const std::string every =
	    "@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞÆæßÉ !\"#¤%&'()*+,-./0123456789:;<=>?"
	    "¡ABCDEFGHIJKLMNOPQRSTUVWXYZÄÖÑÜ§¿abcdefghijklmnopqrstuvwxyzäöñüà"
	    "\f^{}\\[~]|€";
	for (int dcs : {15, 0, 16, 72, 17, 0xf0}) {
		sim::options o;
		o.answer_request = true;
		o.answer_dcs = dcs;
		auto r = ussdq({"-d", "-p", "PORT", "-u", every}, o);
		EXPECT_EQ(r.out, every + "\n") << "scheme " << dcs;
		EXPECT_EQ(r.err, quiet) << "scheme " << dcs;
		EXPECT_EQ(r.status, 0) << "scheme " << dcs;
	}
}

TEST(Decode, FailsWhenTheAnswerCannotBePrinted)
{
	auto r = ussdq({"-d", "-p", "PORT", "-u", "*100#"}, {}, {.stdout_path = "/dev/full"});
	EXPECT_EQ(r.err, quiet + msgs({"stdout: No space left on device"}));
	EXPECT_EQ(r.status, 1);
}

}
