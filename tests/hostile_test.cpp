// Modems and ports that are not polite: settings left by other programs,
// fragments, junk, unsolicited codes, refusals, hang-ups. Every run ends
// with its answer or with a defined message, never by a crash or a hang.
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>
#include <cstring>
#include <functional>
#include <regex>

#include <gtest/gtest.h>

#include "coding/charsets.hpp"
#include "modem/frames/xml.hpp"
#include "modem/hilink.hpp"
#include "modem/frames/http.hpp"
#include "tests/harness.hpp"

namespace {

using sim::result;

const std::string answer_hex = "c2303bec1e974135170c062a56a5";

sim::options
modem(std::vector<sim::rule> rules)
{
	sim::options o;
	o.answer = "Balance 5.00 EUR";
	o.rules = std::move(rules);
	return o;
}

// The three set-up commands and the request, each answered with steps.
sim::options
every_answer(std::vector<sim::step> setup_steps, std::vector<sim::step> cusd_steps)
{
	return modem({{"ATE0", setup_steps}, {"AT+CMGF=0", setup_steps},
	    {"AT+CSCS=*", setup_steps}, {"AT+CUSD=*", cusd_steps}});
}

TEST(HostileModem, StillDeliversTheAnswer)
{
	const std::string cusd = result("+CUSD: 0,\"" + answer_hex + "\",15");
	const std::string junk = std::string(3000, 'j') + "\r\n";
	const std::string binary = std::string("\x80\xff\xfe O\0K\r\n\xc3\xa9\0\r\n", 14);
	sim::options cooked = modem({});
	cooked.raw = false;

	struct {
		const char *what;
		sim::options modem;
	} cases[] = {
		{"port left echoing, with CR/NL mapping", cooked},
		{"one byte at a time", every_answer({sim::send_slowly(result("OK"), 5)},
		    {sim::send_slowly(result("OK") + cusd, 2)})},
		{"unsolicited codes before and between", every_answer(
		    {sim::send(result("RING") + result("+CREG: 1") + result("OK") + result("^RSSI:14"))},
		    {sim::send(result("^RSSI:14") + result("OK") + result("RING") + cusd)})},
		{"answer before the OK of the request", every_answer(
		    {sim::send(result("OK"))}, {sim::send(cusd + result("OK"))})},
		{"lines longer than the buffers", every_answer(
		    {sim::send(junk + "OK\r\n")}, {sim::send(junk + cusd)})},
		{"NUL and high bytes in lines", every_answer(
		    {sim::send(binary + result("OK"))}, {sim::send(binary + cusd)})},
	};
	for (auto &c : cases) {
		auto r = ussdq({"-t", "5", "-p", "PORT", "-u", "*100#"}, c.modem);
		EXPECT_EQ(r.out, "buf=" + answer_hex + "Balance 5.00 EUR\n") << c.what;
		EXPECT_EQ(r.err, quiet) << c.what;
		EXPECT_EQ(r.status, 0) << c.what;
	}
}

TEST(HostileModem, EndsWithADefinedMessage)
{
	sim::options returns_nothing = modem({{"ATE0", {sim::pause(500), sim::send(result("OK"))}}});
	returns_nothing.vmin = 0;
	returns_nothing.vtime = 1;
	const auto ok = sim::send(result("OK"));

	struct {
		const char *what;
		sim::options modem;
		run_options run;
		std::string out, err;
		double min_seconds, max_seconds;
	} cases[] = {
		{"reads return nothing (VMIN 0, VTIME 1)", returns_nothing, {}, "",
		    msgs({"at_wok...", "PORT: unexpected end of file"}), 0.1, 0.5},
		{"ERROR to a set-up command", modem({{"ATE0", {sim::send(result("ERROR"))}}}), {},
		    "", msgs({"at_wok..."}) + timed_out, 1, 1.5},
		{"+CME ERROR to the request", modem({{"AT+CUSD=*", {sim::send(result("+CME ERROR: 30"))}}}),
		    {}, "", setup + msgs({"at_wcusd..."}) + timed_out, 1, 1.5},
		{"NUL inside the quoted answer", modem({{"AT+CUSD=*",
		    {ok, sim::send(std::string("+CUSD: 0,\"41\0\",15\r\n", 19))}}}),
		    {}, "", setup + msgs({"at_wcusd...", "PORT: bad +CUSD response"}), 0.3, 0.8},
		// And a second more for the result of ATE0.
		{"SIGALRM from outside", modem({{"ATE0", {}}}), {.alarm_after_ms = 300},
		    "", msgs({"at_wok..."}) + timed_out, 1.25, 1.8},
	};
	for (auto &c : cases) {
		auto r = ussdq({"-t", "1", "-p", "PORT", "-u", "*100#"}, c.modem, c.run);
		EXPECT_EQ(r.out, c.out) << c.what;
		EXPECT_EQ(r.err, c.err) << c.what;
		EXPECT_EQ(r.status, 1) << c.what;
		EXPECT_GE(r.seconds, c.min_seconds) << c.what;
		EXPECT_LT(r.seconds, c.max_seconds) << c.what;
	}
}

TEST(HostileModem, PassesHighBytesThrough)
{
	auto r = ussdq({"-p", "PORT", "-u", "1"},
	    modem({{"AT+CUSD=*", {sim::send(result("OK") + result("+CUSD: 0,\"4\xff" "41\",15"))}}}));
	EXPECT_EQ(r.out, "buf=4\xff" "41\x7f\x7f\x01\n");
	EXPECT_EQ(r.status, 0);
}

}

namespace {

// A terminal for the tool's standard output: it writes to the device side,
// set raw so that its bytes arrive as written; the test reads them from
// the controlling side.
struct terminal {
	int master = posix_openpt(O_RDWR | O_NOCTTY);
	int device = -1;
	std::string path;

	terminal()
	{
		if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
			return;
		path = ptsname(master);
		device = open(path.c_str(), O_RDWR | O_NOCTTY);
		termios t;
		if (device >= 0 && tcgetattr(device, &t) == 0) {
			cfmakeraw(&t);
			tcsetattr(device, TCSANOW, &t);
		}
	}
	~terminal()
	{
		close(device);
		close(master);
	}
	std::string written()
	{
		std::string out;
		char buf[4096];
		fcntl(master, F_SETFL, O_NONBLOCK);
		for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;)
			out.append(buf, static_cast<std::size_t>(n));
		return out;
	}
};

}

// What the network put in an answer reaches a terminal without its control
// characters, which could retitle it, write to its clipboard or hide text:
// each but LF and TAB shows as U+FFFD. Into a pipe the text stays as it
// was decoded, and the classic run's bytes stay as they were. -l shows the
// maker and the model the same way, and a TAB in them is a space wherever
// they go. What a device says inside a message on standard error is shown
// the same way when that is a terminal.
TEST(HostileModem, KeepsControlCharactersOffATerminal)
{
	// A\e[31m BEL CR DEL NUL U+009B B TAB C LF D, in UCS2.
	const std::string ucs2 = "0041001B005B00330031006D0007000D007F0000009B004200090043000A0044";
	const sim::options controls = modem({{"AT+CUSD=*",
	    {sim::send(result("OK") + result("+CUSD: 0,\"" + ucs2 + "\",72"))}}});
	const std::string shown = "\xef\xbf\xbd";
	sim::options named = modem({{"AT+CGMI", {sim::send(result("Fake\x1b]0;x\x07" "co\tLtd") + result("OK"))}},
	    {"AT+CGMM", {sim::send(result(std::string(70, 'M')) + result("OK"))}}});
	const std::string model(63, 'M');
	// The modem's word inside a message on standard error, and what -v
	// shows of what came.
	const std::string hostile = "x\x1b]0;t\x07y\x9b";
	const sim::options refusing = modem({{"AT+CUSD=*", {sim::send(result("+CME ERROR: " + hostile))}}});
	const std::string refused = "ussdq: PORT: request refused: +CME ERROR: x" + shown + "]0;t" + shown + "y\x9b\n";
	sim::options web;
	web.hilink = "127.0.0.1:0";
	web.hilink_device_name = "E3372h\n320\t" + std::string(60, 'M');
	auto webapi = [](std::function<void(sim::options &)> set) {
		sim::options o;
		o.hilink = "127.0.0.1:0";
		o.hilink_pending = 1;
		set(o);
		return o;
	};
	const sim::options hilink_refused =
	    webapi([](auto &o) { o.hilink_refuse = 111022; o.hilink_message = "No\x1b]0;x\x07 way"; });
	const sim::options not_ok = webapi([](auto &o) { o.hilink_send_body = "<response>E\x1b[2J\r</response>"; });
	const std::vector<std::string> hilink{"-m", "hilink", "-p", "URL", "-u", "*101#"};
	struct {
		const char *what;
		std::vector<std::string> args;
		sim::options modem;
		bool on_terminal;
		std::string out;
		bool err_on_terminal = false;
		std::string err = "";	// in what standard error got; "": not looked at
	} cases[] = {
		{"an answer on a terminal", {"-m", "text", "-p", "PORT", "-u", "*100#"}, controls, true,
		    "A" + shown + "[31m" + shown + shown + shown + shown + shown + "B\tC\nD\n"},
		{"an answer into a pipe", {"-m", "text", "-p", "PORT", "-u", "*100#"}, controls, false,
		    std::string("A\x1b[31m\x07\r\x7f\0\xc2\x9b" "B\tC\nD\n", 18)},
		{"a classic run on a terminal", {"-p", "PORT", "-u", "1"},
		    modem({{"AT+CUSD=*", {sim::send(result("OK") + result("+CUSD: 0,\"4\xff" "41\",15"))}}}), true,
		    "buf=4\xff" "41\x7f\x7f\x01\n"},
		{"-l on a terminal", {"-l", "PORT"}, named, true,
		    "PORT\tFake" + shown + "]0;x" + shown + "co Ltd\t" + model + "\tucs2\n"},
		{"-l into a pipe", {"-l", "PORT"}, named, false,
		    "PORT\tFake\x1b]0;x\x07" "co Ltd\t" + model + "\tucs2\n"},
		{"-l -j on a terminal", {"-l", "-j", "PORT"}, named, true,
		    "[{\"port\":\"PORT\",\"maker\":\"Fake\\u001b]0;x\\u0007co Ltd\",\"model\":\"" + model +
		    "\",\"mode\":\"ucs2\"}]\n"},
		{"a refusal on a terminal", {"-m", "text", "-p", "PORT", "-u", "*100#"}, refusing, false, "", true,
		    refused},
		{"a refusal into a pipe", {"-m", "text", "-p", "PORT", "-u", "*100#"}, refusing, false, "", false,
		    "ussdq: PORT: request refused: +CME ERROR: " + hostile + "\n"},
		{"-v on a terminal", {"-v", "-m", "text", "-p", "PORT", "-u", "*100#"}, refusing, false, "", true,
		    "ussdq: at_wcusd: got \"+CME ERROR: x" + shown + "]0;t" + shown + "y\x9b\"\n" + refused},
		{"a classic run's -v on a terminal", {"-v", "-p", "PORT", "-u", "*100#"},
		    modem({{"AT+CSCS=*", {sim::send(result(hostile) + result("OK"))}}}), false,
		    "buf=c2303bec1e974135170c062a56a5Balance 5.00 EUR\n", true,
		    "ussdq: at_wok: got \"" + hostile + "\"\n"},
		// A line feed in a model would split the list's line as a TAB would;
		// one cut says so under -v.
		{"-l of a web API into a pipe", {"-l", "URL"}, web, false,
		    "URL\tHuawei\tE3372h 320 " + std::string(52, 'M') + "\thilink\n"},
		{"-l -v of a web API on a terminal", {"-l", "-v", "URL"}, web, false,
		    "URL\tHuawei\tE3372h 320 " + std::string(52, 'M') + "\thilink\n", true,
		    "ussdq: model: got \"E3372h\n320\t" + std::string(52, 'M') + "\" (cut: 71 bytes)\n"},
		// The device's word in a message, from a web API.
		{"a HiLink error's message on a terminal", hilink, hilink_refused, false, "", true,
		    "ussdq: URL: request refused: error 111022: No" + shown + "]0;x" + shown + " way\n"},
		{"a HiLink error's message into a pipe", hilink, hilink_refused, false, "", false,
		    msgs({"URL: request refused: error 111022: No\x1b]0;x\x07 way"})},
		{"a HiLink send's answer on a terminal", hilink, not_ok, false, "", true,
		    "ussdq: URL: request refused: E" + shown + "[2J" + shown + "\n"},
	};
	for (auto &c : cases) {
		if (!c.modem.hilink.empty() && !built_in("hilink"))
			continue;
		terminal t, e;
		ASSERT_GE(t.device, 0) << c.what;
		ASSERT_GE(e.device, 0) << c.what;
		auto r = ussdq(c.args, c.modem, {.stdout_path = c.on_terminal ? t.path.c_str() : nullptr,
		    .stderr_path = c.err_on_terminal ? e.path.c_str() : nullptr});
		std::string out = c.on_terminal ? t.written() : r.out;
		EXPECT_EQ(replace(out, r.port, "PORT"), c.out) << c.what;
		const std::string err = std::regex_replace(replace(c.err_on_terminal ? e.written() : r.err,
		    r.port, "PORT"), std::regex("http://127\\.0\\.0\\.1:[0-9]+"), "URL");
		EXPECT_NE(err.find(c.err), std::string::npos) << c.what << ": " << err;
		EXPECT_EQ(r.status, c.out.empty() ? 1 : 0) << c.what << ": " << r.err;
	}
	// The same for what -v shows of the device's answers.
	if (built_in("hilink")) {
		terminal t;
		ASSERT_GE(t.device, 0);
		std::vector<std::string> verbose = hilink;
		verbose.insert(verbose.begin(), "-v");
		ussdq(verbose, not_ok, {.stderr_path = t.path.c_str()});
		const std::string err = t.written();
		EXPECT_NE(err.find(": http: <response>E" + shown + "[2J" + shown + "</response>\n"),
		    std::string::npos) << err;
		EXPECT_EQ(err.find('\x1b'), std::string::npos) << err;
	}
	// The model is cut to what the list takes, and -v says so.
	auto r = ussdq({"-l", "-v", "PORT"}, named);
	EXPECT_NE(r.err.find(msgs({"model: got \"" + model + "\" (cut: 70 bytes)"})), std::string::npos) << r.err;
}

// A line is what comes up to its line feed, whole: a piece cut off by the
// end of input or by the reader's buffer is never taken for a line.
TEST(HostileModem, TakesOnlyWholeLines)
{
	const std::string real = result("+CUSD: 0,\"" + answer_hex + "\",15");
	auto ends_after = [](std::string bytes) {
		sim::options o = modem({{"AT+CUSD=*", {sim::send(result("OK") + bytes)}}});
		o.vmin = 0;	// a read returns nothing after 0.1 s of silence
		o.vtime = 1;
		return o;
	};
	struct {
		const char *what;
		std::vector<std::string> args;
		sim::options modem;
		std::string out, err;
		int status;
	} cases[] = {
		{"the scheme cut short", {}, ends_after("+CUSD: 0,\"00410042\",7"),
		    "", setup + msgs({"at_wcusd...", "PORT: unexpected end of file"}), 1},
		// -d sets the port raw, where reads wait; the modem goes away.
		{"the scheme cut short by a hang-up", {"-d"},
		    modem({{"AT+CUSD=*", {sim::send(result("OK") + "+CUSD: 0,\"00410042\",7"),
		    sim::pause(100), sim::hangup()}}}),
		    "", setup + msgs({"at_wcusd...", "PORT: Input/output error"}), 1},
		{"cut inside the quotes", {}, ends_after("+CUSD: 0,\"aa18"),
		    "", setup + msgs({"at_wcusd...", "PORT: unexpected end of file"}), 1},
		{"an OK behind 255 bytes of noise", {"-t", "1"},
		    modem({{"ATE0", {sim::send(std::string(255, 'n') + "OK\r\n")}}}),
		    "", msgs({"at_wok..."}) + timed_out, 1},
		{"an answer behind 1087 bytes of noise", {},
		    modem({{"AT+CUSD=*", {sim::send(result("OK") + std::string(1087, 'n') +
		    "+CUSD: 0,\"FAKE\",15\r\n" + real)}}}),
		    "buf=" + answer_hex + "Balance 5.00 EUR\n", quiet, 0},
		{"an answer line longer than the buffer", {"-d"},
		    modem({{"AT+CUSD=*", {sim::send(result("OK") + "+CUSD: 0,\"" +
		    std::string(1100, 'a') + "\",15\r\n" + real)}}}),
		    "", setup + msgs({"at_wcusd...", "PORT: response too long"}), 1},
	};
	for (auto &c : cases) {
		std::vector<std::string> args = c.args;
		args.insert(args.end(), {"-p", "PORT", "-u", "*100#"});
		auto r = ussdq(args, c.modem);
		EXPECT_EQ(r.out, c.out) << c.what;
		EXPECT_EQ(r.err, c.err) << c.what;
		EXPECT_EQ(r.status, c.status) << c.what;
	}
}

namespace {

struct bytes {
	std::string s;
	std::size_t at = 0;
};

ssize_t
from_bytes(void *ctx, char *buf, std::size_t n)
{
	auto *b = static_cast<bytes *>(ctx);
	n = std::min(n, b->s.size() - b->at);
	std::memcpy(buf, b->s.data() + b->at, n);
	b->at += n;
	return static_cast<ssize_t>(n);
}

}

// What a device sends over HTTP is read within its bounds or refused with
// a message; nothing past a limit is read.
TEST(Hostile, HttpAnswers)
{
	const std::string ok = "HTTP/1.1 200 OK\r\n";
	struct {
		const char *what;
		std::string in;
		const char *why;	// null: read
		std::string body;
	} cases[] = {
		{"by length", ok + "Content-Length: 5\r\n\r\nhello", nullptr, "hello"},
		{"to the end", ok + "\r\nhello", nullptr, "hello"},
		{"chunked, any case", ok + "TRANSFER-encoding: Chunked\r\n\r\n3;x=y\r\nhel\r\n2\r\nlo\r\n0\r\nT: 1\r\n\r\n",
		    nullptr, "hello"},
		{"an interim answer first", "HTTP/1.1 100 Continue\r\n\r\n" + ok + "Content-Length: 2\r\n\r\nhi",
		    nullptr, "hi"},
		{"LF alone", "HTTP/1.0 200 OK\nContent-Length: 2\n\nhi", nullptr, "hi"},
		{"the body's full room", ok + "\r\n" + std::string(63, 'x'), nullptr, std::string(63, 'x')},
		{"no HTTP", "SSH-2.0-OpenSSH\r\n\r\n", "not an HTTP answer", ""},
		{"a status of two digits", "HTTP/1.1 20 OK\r\n\r\n", "not an HTTP answer", ""},
		{"a status line too long", "HTTP/1.1 200 " + std::string(300, 'O') + "\r\n\r\n",
		    "an answer's status line is too long", ""},
		{"a header too long", ok + "X: " + std::string(1100, 'v') + "\r\n\r\n",
		    "an answer's header is too long", ""},
		{"a header without a name", ok + ": v\r\n\r\n", "a header not as HTTP has it", ""},
		{"a folded header", ok + "X: a\r\n b\r\n\r\n", "a header not as HTTP has it", ""},
		{"lengths that differ", ok + "Content-Length: 2\r\nContent-Length: 3\r\n\r\nabc",
		    "a header not as HTTP has it", ""},
		{"a length not a number", ok + "Content-Length: -1\r\n\r\n", "a header not as HTTP has it", ""},
		{"a body too long by its length", ok + "Content-Length: 64\r\n\r\n" + std::string(64, 'x'),
		    "an answer's body is too long", ""},
		{"a body too long to the end", ok + "\r\n" + std::string(64, 'x'), "an answer's body is too long", ""},
		{"a chunk too long", ok + "Transfer-Encoding: chunked\r\n\r\nffffffffffffffffffff\r\n",
		    "an answer's body is too long", ""},
		{"a chunk size not hex", ok + "Transfer-Encoding: chunked\r\n\r\nzz\r\n",
		    "a chunk not as HTTP has it", ""},
		{"a chunk without its CR LF", ok + "Transfer-Encoding: chunked\r\n\r\n2\r\nhiX\r\n0\r\n\r\n",
		    "a chunk not as HTTP has it", ""},
		{"closed in the headers", ok + "Content-Le", "the connection closed early", ""},
		{"closed in the body", ok + "Content-Length: 9\r\n\r\nhi", "the connection closed early", ""},
		{"closed in the chunks", ok + "Transfer-Encoding: chunked\r\n\r\n5\r\nhi",
		    "the connection closed early", ""},
	};
	for (const auto &c : cases) {
		bytes b{c.in};
		char body[64];
		http_in in = {from_bytes, &b, {}, 0, 0};
		http_answer a = {0, "", body, 0, sizeof body, false, false};
		const char *why = http_read(&in, &a, nullptr);
		EXPECT_STREQ(why, c.why) << c.what;
		if (why == nullptr) {
			EXPECT_EQ(std::string(body, a.len), c.body) << c.what;
		}
	}
}

// A device's URL: the Host header its requests carry, or why it is refused.
TEST(Hostile, HiLinkUrls)
{
	struct {
		const char *url, *host, *why;	// why null: taken, with host
	} cases[] = {
		{"http://192.168.8.1", "192.168.8.1", nullptr},
		{"http://192.168.8.1/", "192.168.8.1", nullptr},
		{"HTTP://127.0.0.1:8080/", "127.0.0.1:8080", nullptr},
		{"http://[::1]:80/", "[::1]:80", nullptr},
		{"http://[::1]", "[::1]", nullptr},
		{"https://192.168.8.1", nullptr, "https is not supported; use http://"},
		{"ftp://192.168.8.1", nullptr, "not an http:// URL"},
		{"http://192.168.8.1:65536", nullptr, "a URL not as http://HOST[:PORT]"},
		{"http://192.168.8.1:", nullptr, "a URL not as http://HOST[:PORT]"},
		{"http://192.168.8.1/api", nullptr, "a URL not as http://HOST[:PORT]"},
		{"http://[::1/", nullptr, "a URL not as http://HOST[:PORT]"},
		{"http://:80", nullptr, "a URL not as http://HOST[:PORT]"},
	};
	for (const auto &c : cases) {
		http_peer peer = {};
		EXPECT_STREQ(hilink_parse_url(c.url, &peer), c.why) << c.url;
		if (c.why == nullptr) {
			EXPECT_STREQ(peer.host, c.host) << c.url;
		}
	}
}

// The content of the device's answers: its elements found, its references
// read, and bytes that are not UTF-8 or references to no character shown
// as U+FFFD.
TEST(Hostile, XmlOfTheWebApi)
{
	const std::string fffd = "\xef\xbf\xbd";
	struct {
		std::string in, out;
	} texts[] = {
		{"&amp;&lt;&gt;&quot;&apos;", "&<>\"'"},
		{"&#65;&#x42;&#X43;&#233;", "ABC\xc3\xa9"},
		{"&#x1F600;", "\xf0\x9f\x98\x80"},
		{"&#0;&#xD800;&#x110000;&#99999999999;", fffd + fffd + fffd + fffd},
		{"& &amp &#; &#x; &#12a; &nbsp;", "& &amp &#; &#x; &#12a; &nbsp;"},
		{"\xff\xc3", fffd + fffd},
		{"&#", "&#"},
		// Surrogate pairs as Huawei's web servers write them, and halves alone.
		{"\xed\xa0\xbd\xed\xb8\x80", "\xf0\x9f\x98\x80"},
		{"&#55357;&#56832;", "\xf0\x9f\x98\x80"},
		{"&#xD83D;\xed\xb8\x80", "\xf0\x9f\x98\x80"},
		{"\xed\xa0\xbd" "A&#56832;&#xD83D;", fffd + "A" + fffd + fffd},
	};
	for (const auto &t : texts) {
		char buf[64];
		utf8_out out = {buf, sizeof buf, 0};
		xml_text(t.in.data(), t.in.size(), &out);
		EXPECT_EQ(std::string(buf, out.len), t.out) << t.in;
	}
	struct {
		const char *doc, *name, *content;	// null: none
	} elements[] = {
		{"<response><content>hi</content></response>", "content", "hi"},
		{"<r><contentType>1</contentType><content>b</content></r>", "content", "b"},
		{"<r><content a=\"1\">c</content></r>", "content", "c"},
		{"<r><content/></r>", "content", ""},
		{"<r><content>open", "content", nullptr},
		{"<r><content", "content", nullptr},
		{"<r></r>", "content", nullptr},
	};
	for (const auto &e : elements) {
		std::size_t n = 0;
		const char *v = xml_element(e.doc, e.name, &n);
		if (e.content == nullptr) {
			EXPECT_EQ(v, nullptr) << e.doc;
			continue;
		}
		EXPECT_EQ(std::string(v ? v : "?", v ? n : 1), e.content) << e.doc;
	}
}
