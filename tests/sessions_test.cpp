// Whole USSD conversations: menus walked with -r, sessions ended by default,
// kept by -k and ended by -c, the options that do not go together, the JSON
// of -j read back by a parser of its own, and a late answer that must not
// reach the next run.
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <set>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/harness.hpp"

using lines = std::vector<std::string>;

namespace {

using sim::modem_kind;
using sim::result;

lines
operator+(lines a, const lines &b)
{
	a.insert(a.end(), b.begin(), b.end());
	return a;
}

lines
cusd_lines(const lines &sent)
{
	lines out;
	for (const auto &s : sent)
		if (s.starts_with("AT+CUSD"))
			out.push_back(s);
	return out;
}

lines
requests(const lines &coded)
{
	lines out;
	for (const auto &c : coded)
		out.push_back("AT+CUSD=1,\"" + c + "\",15");
	return out;
}

// A run that signal sig reaches from outside after ms milliseconds.
run_options
signal_at(int ms, int sig)
{
	run_options r;
	r.alarm_after_ms = ms;
	r.signal = sig;
	return r;
}

const lines ended{"AT+CUSD=2"};
const std::string day_bought = "Day 1 GB bought\n", bundles = "1 Day 1 GB\n2 Week 5 GB\n",
    top = "1 Balance\n2 Bundles\n";

sim::options
kind(modem_kind k)
{
	sim::options o;
	o.kind = k;
	return o;
}

sim::options
answering(std::string line)
{
	sim::options o;
	o.rules = {{"AT+CUSD=1,*", {sim::send(result("OK") + result(line))}}};
	return o;
}

// The built-in *111# menu walked in each mode, on the kind of modem that
// mode is for: the requests as coded, in order, and as the network read
// them; the last answer printed, its session ended when it waits. A
// session that ends while replies remain names the first reply not sent,
// a reply that cannot be sent stops the run before the request; either
// way nothing is printed, JSON neither.
TEST(Sessions, WalksAMenuInEveryMode)
{
	const lines packed{"aa582c3602", "32", "31"}, text{"*111#", "2", "1"},
	    ucs2{"002A0031003100310023", "0032", "0031"};
	sim::options menu = kind(modem_kind::standard);
	menu.menu.insert(menu.menu.end(), {{{"*9#"}, 1, "1 More\n2 Stop"},
	    {{"*9#", "1"}, 4, std::nullopt}, {{"*9#", "2"}, 2, "Goodbye"}});
	// -t bounds each wait for the network, the first from the run's start.
	auto slow = [&menu](int ms, int setup_ms = 0) {
		sim::options o = menu;
		o.delay_ms = ms;
		if (setup_ms > 0)
			o.rules = {{"ATE0", {sim::pause(setup_ms), sim::own_answer()}}};
		return o;
	};
	const std::string out_of_time = setup + msgs({"at_wcusd...", "PORT: Operation timed out"});
	const std::string wait = msgs({"at_wcusd...", "at_wcusd: done"});
	auto failed = [&wait](int answers, std::string message) {
		std::string err = setup;
		while (answers-- > 0)
			err += wait;
		return err + msgs({message});
	};
	struct {
		lines args;	// the mode; the request and the replies after -u
		sim::options modem;
		lines sent, network;	// sent: the AT+CUSD commands
		std::string out, err;	// err: empty for the at_wcusd lines of each answer
	} cases[] = {
		{{"-d", "*111#", "2", "1"}, kind(modem_kind::generic), requests(packed), text, day_bought, ""},
		{{"-m", "packed", "*111#", "2", "1"}, kind(modem_kind::huawei), requests(packed), text,
		    day_bought, ""},
		{{"-m", "text", "*111#", "2", "1"}, menu, requests(text), text, day_bought, ""},
		{{"-m", "ucs2", "*111#", "2", "1"}, menu, requests(ucs2), text, day_bought, ""},
		{{"-m", "auto", "*111#", "1"}, menu, requests({ucs2[0], ucs2[2]}), {"*111#", "1"},
		    "Balance: 12.34 EUR\n", ""},
		{{"-m", "auto", "*111#", "2"}, kind(modem_kind::huawei_old),
		    requests({packed[0], packed[1]}) + ended, {"*111#", "2"}, bundles, ""},
		{{"-m", "auto", "*111#", "2"}, kind(modem_kind::standard_gsm),
		    requests({text[0], text[1]}) + ended, {"*111#", "2"}, bundles, ""},
		{{"-m", "text", "*111#"}, menu, requests({text[0]}) + ended, {"*111#"}, top, ""},
		{{"-t", "1", "-m", "text", "*111#", "2", "1"}, slow(700), requests(text), text, day_bought, ""},
		{{"-t", "1", "-m", "text", "*111#", "2", "1"}, slow(1300), requests({text[0]}) + ended,
		    {"*111#"}, "", out_of_time},
		{{"-t", "1", "-m", "text", "*111#", "2", "1"}, slow(600, 600), requests({text[0]}) + ended,
		    {"*111#"}, "", out_of_time},
		{{"-j", "-m", "text", "*111#", "1", "2"}, menu, requests({text[0], text[2]}), {"*111#", "1"},
		    "", failed(2, "PORT: session ended before reply 2")},
		{{"-m", "text", "*101#", "1"}, menu, requests({"*101#"}), {"*101#"}, "",
		    failed(1, "PORT: session ended before reply 1")},
		{{"-m", "text", "*9#", "2", "1"}, menu, requests({"*9#", "2"}), {"*9#", "2"}, "",
		    failed(2, "PORT: session ended before reply 1")},
		{{"-j", "-m", "text", "*9#", "1", "2"}, menu, requests({"*9#", "1"}), {"*9#", "1"}, "",
		    failed(2, "PORT: operation not supported")},
		{{"-j", "-m", "text", "*111#", "1", "caf\xc3\xa9"}, menu, {}, {}, "",
		    failed(0, "USSD has a character text mode cannot send")},
		{{"-m", "ucs2", "*111#", std::string(183, '1')}, menu, {}, {}, "", failed(0, "USSD too long")},
		{{"-d", "*111#", "Баланс"}, menu, {}, {}, "",
		    failed(0, "USSD has a character the GSM alphabet lacks")},
	};
	std::vector<std::pair<lines, sim::options>> runs;
	for (const auto &c : cases) {
		auto u = std::find_if(c.args.begin(), c.args.end(),
		    [](const std::string &a) { return a.starts_with('*'); });
		lines args(c.args.begin(), u);
		args.insert(args.end(), {"-p", "PORT", "-u", *u});
		while (++u != c.args.end())
			args.insert(args.end(), {"-r", *u});
		runs.push_back({args, c.modem});
	}
	std::vector<lines> network;
	auto rs = run_all(runs, &network);
	for (std::size_t i = 0; i < rs.size(); i++) {
		const auto &c = cases[i];
		std::string what, waits = setup;
		for (const auto &a : c.args)
			what += a.substr(0, 8) + " ";
		for (std::size_t k = 0; k < c.network.size(); k++)
			waits += wait;
		EXPECT_EQ(cusd_lines(rs[i].sent), c.sent) << what;
		EXPECT_EQ(network[i], c.network) << what;
		EXPECT_EQ(rs[i].out, c.out) << what;
		EXPECT_EQ(rs[i].err, c.err.empty() ? waits : c.err) << what;
		EXPECT_EQ(rs[i].status, c.out.empty() ? 1 : 0) << what;
	}
}

// A menu left waiting by -k takes the next request on the modem, from
// whoever, for its reply; without -k, and after -c, nothing is left waiting.
TEST(Sessions, KeepsASessionOnlyWhenAsked)
{
	const std::string data = "Data left: 2.5 GB, valid until 31.12.2026\n";
	const lines request_111 = requests({"aa582c3602"}), request_101 = requests({"aa182c3602"});
	shared_modem modem(kind(modem_kind::generic));
	struct {
		const char *what;
		lines args, sent;	// sent: the AT+CUSD commands
		std::string out, err;
	} steps[] = {
		{"a menu kept", {"-d", "-k", "-u", "*111#"}, request_111, top, quiet},
		{"answered by a later run", {"-d", "-k", "-u", "2"}, requests({"32"}), bundles, quiet},
		// A plain request is a reply too, and its answer printed as its own.
		{"answered by a plain request", {"-u", "1"}, requests({"31"}),
		    "buf=c4701e14031d8520f1bb7e46d31b" + day_bought, quiet},
		{"a menu not kept", {"-d", "-u", "*111#"}, request_111 + ended, top, quiet},
		{"so the next request is one", {"-d", "-u", "*101#"}, request_101, data, quiet},
		{"a menu kept again", {"-d", "-k", "-u", "*111#"}, request_111, top, quiet},
		{"ended by -c", {"-c"}, ended, "", setup},
		{"after which a request is one", {"-d", "-u", "*101#"}, request_101, data, quiet},
		{"-c with no session open", {"-c", "-t", "5"}, ended, "", setup},
	};
	for (const auto &s : steps) {
		auto r = modem.run(lines{"-p", "PORT"} + s.args);
		EXPECT_EQ(cusd_lines(r.sent), s.sent) << s.what;
		EXPECT_EQ(r.out, s.out) << s.what;
		EXPECT_EQ(r.err, s.err) << s.what;
		EXPECT_EQ(r.status, 0) << s.what;
	}
	auto v = modem.run({"-c", "-v", "-p", "PORT"});
	EXPECT_EQ(v.sent, (lines{"ATE0", "AT+CMGF=0", "AT+CSCS=\"IRA\"", "AT+CUSD=2"}));
	EXPECT_TRUE(v.err.ends_with(msgs({"at_command: sending \"AT+CUSD=2\"", "at_end: got \"\"",
	    "at_end: got \"ERROR\"", "at_end: done"}))) << v.err;
	EXPECT_EQ(v.status, 0);
}

TEST(Sessions, RefusesOptionsThatDoNotGoTogether)
{
	lines seventeen{"-u", "*111#"}, sixteen{"-m", "text", "-p", "PORT", "-u", "0"}, read{"0"};
	for (int i = 1; i <= 17; i++)
		seventeen.insert(seventeen.end(), {"-r", "1"});
	for (int i = 1; i <= 16; i++) {
		sixteen.insert(sixteen.end(), {"-r", std::to_string(i)});
		read.push_back(std::to_string(i));
	}
	const std::string no_scheme_in_mm = built_in("mm") ?
	    msgs({"-s does not go with -m mm"}) + usage_line : msgs({"mode mm is not built in"});
	struct {
		lines args;
		std::string err;
	} cases[] = {
		{{"-c", "-u", "*100#"}, msgs({"-c does not go with -u"}) + usage_line},
		{{"-c", "-r", "1"}, msgs({"-c does not go with -r"}) + usage_line},
		{{"-c", "-j"}, msgs({"-c does not go with -j"}) + usage_line},
		{{"-k", "-c"}, msgs({"-c does not go with -k"}) + usage_line},
		{{"-c", "-d", "-s", "72"}, msgs({"-c does not go with -d"}) + usage_line},
		{{"-c", "-l"}, msgs({"-c does not go with -l"}) + usage_line},
		{{"-d"}, usage_line},
		{{"-j", "-k", "-r", "1"}, usage_line},
		// ModemManager gives the answer decoded, with no scheme.
		{{"-m", "mm", "-s", "72", "-u", "*100#"}, no_scheme_in_mm},
		{{"-s", "72", "-m", "mm", "-u", "*100#"}, no_scheme_in_mm},
		{{"-m", "xyz", "-u", "*100#"}, msgs({"invalid mode: xyz"})},
		{{"-m", "AUTO", "-u", "*100#"}, msgs({"invalid mode: AUTO"})},
		{{"-m", "", "-u", "*100#"}, msgs({"invalid mode: "})},
		{{"-c", "-m", "xyz"}, msgs({"invalid mode: xyz"})},
		{{"-m", "xyz", "-t", "abc", "-u", "*100#"}, msgs({"invalid mode: xyz"})},
		{{"-t", "abc", "-m", "xyz", "-u", "*100#"}, msgs({"invalid timeout: abc"})},
		{seventeen, msgs({"too many replies (at most 16)"})},
	};
	for (const auto &c : cases) {
		auto r = ussdq(lines{"-p", "PORT"} + c.args);
		std::string what;
		for (const auto &a : c.args)
			what += a + " ";
		EXPECT_EQ(r.out, "") << what;
		EXPECT_EQ(r.err, c.err) << what;
		EXPECT_EQ(r.status, 1) << what;
		EXPECT_TRUE(r.sent.empty()) << what;
	}

	// Sixteen are taken, each answered with itself and status 1.
	sim::options echoing = kind(modem_kind::standard);
	echoing.answer_request = true;
	echoing.answer_status = 1;
	std::vector<lines> network;
	auto r = run_all({{sixteen, echoing}}, &network)[0];
	EXPECT_EQ(network[0], read);
	EXPECT_EQ(r.out, "16\n");
	EXPECT_EQ(r.sent.back(), "AT+CUSD=2");
}

// Code points below U+0800 as UTF-8, and as hex of so many digits each.
std::string
utf8(const std::u32string &s)
{
	std::string out;
	for (char32_t c : s) {
		if (c < 0x80) {
			out += static_cast<char>(c);
		} else {
			out += static_cast<char>(0xc0 | (c >> 6));
			out += static_cast<char>(0x80 | (c & 0x3f));
		}
	}
	return out;
}

std::string
hex(const std::u32string &units, int digits)
{
	static constexpr char x[] = "0123456789ABCDEF";
	std::string out;
	for (char32_t u : units)
		for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
			out += x[(u >> shift) & 0xf];
	return out;
}

// The JSON of -j as a parser the tool did not write reads it: exactly the
// six members; and one line in which no control character is left bare.
TEST(Sessions, WritesJsonAScriptCanParse)
{
	std::u32string controls = U"\"q\" \\ a\nb", octets;
	controls += U'\0';
	for (char32_t c = 1; c < 0x20; c++)
		controls += c;
	for (char32_t c = 0x7f; c < 0xa0; c++)
		controls += c;
	controls += U"Ж";
	for (char32_t c = 0; c < 0x100; c++)
		octets += c;
	const std::string balance = "Balance: 12.34 EUR, valid until 31.12.2026";
	// The raw text keeps the line ends as the modem sent them.
	const std::string menu_line = "+CUSD: 1,\"Menu\r\n1 \"Gold\"\n2 Bonus\",15",
	    menu = "Menu\n1 \"Gold\"\n2 Bonus", menu_raw = "Menu\r\n1 \"Gold\"\n2 Bonus";
	sim::options no_ucs2 = kind(modem_kind::standard);
	no_ucs2.refuse_ucs2 = true;
	struct {
		const char *what;
		lines args;
		sim::options modem;
		int status;
		std::string text;
		int dcs;
		std::string raw, mode;
		bool kept, ended;	// ended: AT+CUSD=2 sent last
	} cases[] = {
		{"quotes, backslashes, a NUL and every control character in UCS2", {},
		    answering("+CUSD: 0,\"" + hex(controls, 4) + "\",72"), 0, utf8(controls), 72,
		    hex(controls, 4), "packed", false, false},
		{"every octet of an 8-bit answer", {}, answering("+CUSD: 0,\"" + hex(octets, 2) + "\",68"),
		    0, utf8(octets), 68, hex(octets, 2), "packed", false, false},
		{"text mode's bytes above 127", {"-m", "text"}, answering("+CUSD: 0,\"caf\xe9 \"x\" \\\",15"),
		    0, "café \"x\" \\", 15, "café \"x\" \\", "text", false, false},
		{"a menu kept", {"-k"}, answering(menu_line), 1, menu, 15, menu_raw, "packed", true, false},
		{"a menu ended", {}, answering(menu_line), 1, menu, 15, menu_raw, "packed", false, true},
		// Scheme 17: the language in two septets, two octets, then UCS2.
		{"a language prefix left out", {}, answering("+CUSD: 0,\"653700480069\",17"),
		    0, "Hi", 17, "653700480069", "packed", false, false},
		{"no scheme", {}, answering("+CUSD: 2,\"Bye\""), 2, "Bye", 15, "Bye", "packed", false, false},
		{"auto: ucs2", {"-m", "auto"}, kind(modem_kind::standard), 0, balance, 15,
		    hex(std::u32string(balance.begin(), balance.end()), 4), "ucs2", false, false},
		{"auto: text after UCS2 refused", {"-m", "auto"}, no_ucs2, 0, balance, 15, balance, "text",
		    false, false},
		{"auto: packed", {"-m", "auto"}, kind(modem_kind::huawei), 0, balance, 15,
		    "c2303bec1e9775a098cc35a3818a55290b640fb3d36450dd4d4fb341b3982b2673c960321b",
		    "packed", false, false},
	};
	std::vector<std::pair<lines, sim::options>> runs;
	for (const auto &c : cases)
		runs.push_back({lines{"-j"} + c.args + lines{"-p", "PORT", "-u", "*100#"}, c.modem});
	// The short escapes where JSON has them, \u00XX for the others.
	runs.push_back({{"-j", "-p", "PORT", "-u", "*100#"},
	    answering("+CUSD: 0,\"00080009000A000B000C000D0000001F007F009F0022005C\",72")});
	auto rs = run_all(runs, nullptr);
	for (std::size_t i = 0; i < std::size(cases); i++) {
		const auto &c = cases[i];
		const std::string &out = rs[i].out;
		EXPECT_EQ(rs[i].status, 0) << c.what;
		EXPECT_EQ(rs[i].sent.back() == "AT+CUSD=2", c.ended) << c.what;
		ASSERT_TRUE(out.ends_with("\n")) << c.what;
		const std::string line = out.substr(0, out.size() - 1);
		for (std::size_t k = 0; k < line.size(); k++) {
			auto u = static_cast<unsigned char>(line[k]);
			bool c1 = u == 0xc2 && k + 1 < line.size() &&
			    static_cast<unsigned char>(line[k + 1]) < 0xa0;
			EXPECT_FALSE(u < 0x20 || u == 0x7f || c1) << c.what << ": byte " << k;
		}
		auto j = nlohmann::json::parse(line, nullptr, false);
		ASSERT_TRUE(j.is_object()) << c.what << ": " << line;
		EXPECT_EQ(j.size(), 6U) << c.what;
		EXPECT_EQ(j.value("status", -1), c.status) << c.what;
		EXPECT_EQ(j.value("text", std::string("?")), c.text) << c.what;
		EXPECT_EQ(j.value("dcs", -1), c.dcs) << c.what;
		EXPECT_EQ(j.value("raw", std::string("?")), c.raw) << c.what;
		EXPECT_EQ(j.value("mode", std::string("?")), c.mode) << c.what;
		EXPECT_TRUE(j.contains("kept") && j["kept"].is_boolean() && j["kept"] == c.kept) << c.what;
	}
	EXPECT_EQ(rs.back().out, "{\"status\":0,\"text\":\"\\b\\t\\n\\u000b\\f\\r\\u0000\\u001f\\u007f"
	    "\\u009f\\\"\\\\\",\"dcs\":72,\"raw\":\"00080009000A000B000C000D0000001F007F009F0022005C\","
	    "\"mode\":\"packed\",\"kept\":false}\n");
}

// A run that ends other than by printing its answer (a failure after a
// menu, a signal, the watchdog) leaves nothing on the modem for the next
// run: no menu waiting, no answer due, no final result still to come.
TEST(Sessions, LeavesTheModemAsItFoundIt)
{
	const std::string balance = "Balance: 12.34 EUR, valid until 31.12.2026\n",
	    cyrillic = "Баланс: 5.00 руб";
	auto standard = [](std::vector<sim::rule> rules = {}) {
		sim::options o = kind(modem_kind::standard);
		o.menu.push_back({{"*5#"}, 1, std::nullopt});
		// 1200 hex digits in UCS2: more than an answer may hold.
		o.menu.push_back({{"*6#"}, 1, std::string(300, 'x')});
		o.rules = std::move(rules);
		return o;
	};
	auto slow = [&](int ms, std::vector<sim::rule> rules = {}) {
		sim::options o = standard(std::move(rules));
		o.delay_ms = ms;
		return o;
	};
	auto in_ucs2 = [&](sim::options o) {
		o.answer = cyrillic;
		o.ucs2_when_needed = true;
		return o;
	};
	// A modem takes its time to confirm the end of a session: the network
	// has to hear of it.
	const sim::rule late_ok{"AT+CUSD=2", {sim::pause(500), sim::own_answer()}};
	auto owed = [](const char *cmd) { return sim::rule{cmd, {sim::pause(1500), sim::own_answer()}}; };
	auto euro = [&](sim::rule owed) {
		sim::options o = standard({std::move(owed)});
		o.answer = "Saldo 5.00€";	// as text only in UCS2
		return o;
	};
	sim::options before_ok = in_ucs2(standard({late_ok}));
	sim::options asking_slowly = in_ucs2(standard({{"AT+CUSD=1,*", {sim::send(result("+CME ERROR: 30"))}},
	    owed("AT+CEREG?")}));
	before_ok.answer_before_ok = true;
	const lines text{"-m", "text", "-p", "PORT", "-u"}, next_text = text + lines{"*100#"},
	    next_auto{"-m", "auto", "-p", "PORT", "-u", "*100#"};
	struct {
		const char *what;
		sim::options modem;
		lines first;
		run_options how;
		int status;	// the first run's
		lines next;
		std::string out;	// the next run's
	} cases[] = {
		{"+CUSD: 1 without text", standard(), text + lines{"*5#"}, {}, 1, next_text, balance},
		{"a reply refused", standard({{"AT+CUSD=1,\"1\"*", {sim::send(result("+CME ERROR: 100"))}}}),
		    text + lines{"*111#", "-r", "1"}, {}, 1, next_text, balance},
		{"a menu too long", standard(), {"-m", "ucs2", "-p", "PORT", "-u", "*6#"}, {}, 1, next_text,
		    balance},
		{"SIGTERM", slow(1000), text + lines{"*101#"}, signal_at(800, SIGTERM), 128 + SIGTERM,
		    next_text, balance},
		{"SIGINT", slow(1000), text + lines{"*101#"}, signal_at(800, SIGINT), 128 + SIGINT,
		    next_text, balance},
		{"SIGHUP", slow(1000), text + lines{"*101#"}, signal_at(800, SIGHUP), 128 + SIGHUP,
		    next_text, balance},
		{"the watchdog, its AT+CUSD=2 confirmed late", in_ucs2(slow(1500, {late_ok})),
		    lines{"-t", "1"} + text + lines{"*101#"}, {}, 1, next_auto, cyrillic + "\n"},
		{"the answer before its OK", before_ok, text + lines{"*111#"}, {}, 0, next_auto,
		    cyrillic + "\n"},
		// The questions of a failed run read each result, a slow one too.
		{"a question of a failed run answered late", asking_slowly, text + lines{"*101#"}, {}, 1,
		    next_auto, cyrillic + "\n"},
		// A modem busy registering answers a command after the run that
		// sent it has given up: auto would read that result as the answer
		// to its own first query, and choose text.
		{"the watchdog, a set-up command owed", euro(owed("AT+CMGF=0")),
		    lines{"-t", "1"} + text + lines{"*101#"}, {}, 1, next_auto, "Saldo 5.00€\n"},
		{"-l out of time, its last query owed", euro(owed("AT+CSCS=?")), {"-l", "PORT"}, {}, 1,
		    next_auto, "Saldo 5.00€\n"},
	};
	for (const auto &c : cases) {
		shared_modem modem(c.modem);
		auto first = modem.run(c.first, c.how);
		EXPECT_EQ(first.status, c.status) << c.what << ": " << first.err;
		if (!cusd_lines(first.sent).empty()) {
			// A run ended by a signal asks nothing.
			EXPECT_EQ((c.status > 128 ? first.sent : before_why(first.sent)).back(), ended[0])
			    << c.what;
		}
		auto next = modem.run(c.next);
		EXPECT_EQ(next.out, c.out) << c.what << ": " << next.err;
		EXPECT_EQ(next.status, 0) << c.what;
	}

	// An end of the session that the modem does not confirm within 1 s
	// costs that second, not the answer.
	auto r = ussdq(text + lines{"*111#"}, standard({{"AT+CUSD=2", {}}}));
	EXPECT_EQ(r.out, "1 Balance\n2 Bundles\n");
	EXPECT_EQ(r.err, msgs({"at_wok...", "at_wok...", "at_wok...", "at_wcusd...", "at_wcusd: done",
	    "PORT: session end not confirmed"}));
	EXPECT_EQ(r.status, 0);
	EXPECT_LT(r.seconds, 2);
}

// A classic run that gives up ends the session its request opened, so that
// the network's late answer never reaches the next run on the modem, which
// gets its own answer instead.
TEST(Sessions, ALateAnswerDoesNotReachTheNextRun)
{
	sim::options slow;
	slow.delay_ms = 3000;	// unless AT+CUSD=2 comes first
	slow.answer_request = true;
	shared_modem modem(slow);
	auto first = modem.run({"-t", "1", "-p", "PORT", "-u", "*100#"});
	EXPECT_EQ(first.out, "");
	EXPECT_EQ(first.err, setup + msgs({"at_wcusd..."}) + timed_out);
	EXPECT_EQ(first.status, 1);
	EXPECT_GE(first.seconds, 1);
	EXPECT_LT(first.seconds, 2);
	auto second = modem.run({"-p", "PORT", "-u", "*101#"});
	EXPECT_EQ(second.out, "buf=aa182c3602*101#\n");
	EXPECT_EQ(second.err, quiet);
	EXPECT_EQ(second.status, 0);
	const lines set_up{"ATE0", "AT+CMGF=0", "AT+CSCS=\"IRA\""};
	EXPECT_EQ(modem.received(), set_up + requests({"aa180c3602"}) + ended + set_up +
	    requests({"aa182c3602"}));
}

}

namespace {

// Through ModemManager on a private bus, the fake modem's other side: the
// same menu and sessions, the modem found by its port, the errors that
// ModemManager gives for the ones the network gives, in both byte orders.
TEST(Sessions, ThroughModemManager)
{
	SKIP_UNLESS_BUILT_IN("mm");
	private_bus bus;
	ASSERT_TRUE(bus.ok());
	bus.make_system_bus();
	const std::string balance = "Balance: 12.34 EUR, valid until 31.12.2026\n";
	struct {
		const char *what;
		lines args;
		run_options run;
		std::string out, err;
	} runs[] = {
		{"the modem named by its QMI port", {"-m", "mm", "-p", "/dev/cdc-wdm0", "-u", "*100#"}, {},
		    balance, ""},
		{"the only modem", {"-m", "mm", "-u", "*101#"}, {}, "Data left: 2.5 GB, valid until 31.12.2026\n",
		    ""},
		{"a menu walked", {"-j", "-m", "mm", "-p", "PORT", "-u", "*111#", "-r", "2", "-r", "1"}, {},
		    "{\"status\":0,\"text\":\"Day 1 GB bought\",\"dcs\":null,\"raw\":\"Day 1 GB bought\","
		    "\"mode\":\"mm\",\"kept\":false}\n", ""},
		{"a menu ended", {"-m", "mm", "-u", "*111#"}, {}, "1 Balance\n2 Bundles\n", ""},
		{"after it, a request of its own", {"-m", "mm", "-u", "*100#"}, {}, balance, ""},
		{"a menu kept", {"-m", "mm", "-k", "-u", "*111#"}, {}, "1 Balance\n2 Bundles\n", ""},
		{"the next request answers it", {"-m", "mm", "-u", "1"}, {}, "Balance: 12.34 EUR\n", ""},
		{"no session to cancel", {"-c", "-m", "mm"}, {}, "", ""},
		{"a port it does not manage", {"-m", "mm", "-p", "/dev/ttyUSB9", "-u", "*100#"}, {}, "",
		    msgs({"/dev/ttyUSB9: not a port of a modem ModemManager manages"})},
		{"auto, on a port ModemManager holds", {"-m", "auto", "-p", "PORT", "-u", "*100#"},
		    {.port_exclusive = true}, balance, ""},
		{"auto, on a port of its own", {"-m", "auto", "-p", "PORT", "-u", "*100#"}, {}, balance,
		    msgs({"at_wok...", "at_wok...", "at_wok...", "at_wcusd...", "at_wcusd: done"})},
	};
	for (bool big : {false, true}) {
		sim::options o;
		o.bus = bus.address();
		o.mm_ports = {"cdc-wdm0:qmi"};
		o.big_endian = big;
		shared_modem modem(o);
		for (const auto &r : runs) {
			if (r.run.port_exclusive && exclusive_flag_unseen(r.what))
				continue;
			auto got = modem.run(r.args, r.run);
			const char *order = big ? ", big-endian" : "";
			EXPECT_EQ(got.out, r.out) << r.what << order;
			EXPECT_EQ(got.err, r.err) << r.what << order;
			EXPECT_EQ(got.status, r.out.empty() && !r.err.empty() ? 1 : 0) << r.what << order;
			if (r.args[1] == "mm") {
				EXPECT_TRUE(got.sent.empty()) << r.what << order;
			}
		}
	}
	// Each on a modem of its own, whose calls on the bus are seen. An
	// answer takes 1023 bytes at most, 511 Cyrillic letters.
	auto saying = [](std::string text) {
		sim::options o;
		o.answer = std::move(text);
		return o;
	};
	const std::string rub = "Баланс: 5.00 руб";
	const std::string rub_json = "{\"status\":0,\"text\":\"" + rub + "\",\"dcs\":null,\"raw\":\"" + rub +
	    "\",\"mode\":\"mm\",\"kept\":false}\n";
	auto times = [](int n, const std::string &s) {
		std::string out;
		for (int i = 0; i < n; i++)
			out += s;
		return out;
	};
	const std::string longest = times(511, "ж");
	sim::options gsm_only = kind(modem_kind::standard_gsm), denied, echoing;
	denied.mm_objects_error = "org.freedesktop.DBus.Error.AccessDenied";
	echoing.answer_request = true;
	const lines to_mm{"-m", "mm", "-p", "PORT", "-u"};
	auto typed = [](std::string answer, std::string state) {
		sim::options o;
		o.mm_answer_type = std::move(answer);
		o.mm_state_type = std::move(state);
		return o;
	};
	const std::string bad = "ussdq: PORT: bad reply from ModemManager: ";
	const lines to_port{"-m", "mm", "-p", "PORT", "-u", "*100#"};
	const lines asked{"Get", "Initiate", "Get"}, cancelled{"Get", "Initiate", "Cancel"};
	auto in = [](sim::situation st) {
		sim::options o;
		o.situation = st;
		return o;
	};
	const std::string error = "ussdq: PORT: request refused: org.freedesktop.ModemManager1.Error.";
	const std::string no_network = error + "MobileEquipment.NoNetwork: No network service\n",
	    unsupported = error + "Core.Unsupported: Operation not supported\n",
	    no_ussd = "ussdq: PORT: ModemManager offers no USSD on this modem\n";
	const struct {
		const char *what;
		sim::options modem;
		lines args;
		run_options run;
		std::string out, err;
		lines calls;	// the modem's methods called, in order
	} alone[] = {
		{"-j: raw as ModemManager gave it", saying(rub), {"-j", "-m", "mm", "-u", "*100#"}, {},
		    rub_json, "", asked},
		{"-j, auto through ModemManager", saying(rub), {"-j", "-m", "auto", "-p", "PORT", "-u", "*100#"},
		    {.port_exclusive = true}, rub_json, "", asked},
		{"the longest answer", saying(longest), to_port, {}, longest + "\n", "", asked},
		{"an answer too long", saying(longest + "ж"), to_port, {}, "",
		    "ussdq: PORT: response too long\n", cancelled},
		{"an answer too long, in ASCII", saying(std::string(1024, 'x')), to_port, {}, "",
		    "ussdq: PORT: response too long\n", cancelled},
		{"a number for the answer", typed("u", "u"), to_port, {}, "",
		    bad + "Initiate gave type \"u\", not \"s\"\n", cancelled},
		{"no answer at all", typed("", "u"), to_port, {}, "",
		    bad + "Initiate gave type \"\", not \"s\"\n", cancelled},
		{"the answer in an array", typed("as", "u"), to_port, {}, "",
		    bad + "Initiate gave type \"as\", not \"s\"\n", cancelled},
		{"the state as text", typed("s", "s"), to_port, {}, "",
		    bad + "State gave type \"s\", not \"u\"\n", {"Get"}},
		// Without -p the modem is named by its primary port.
		{"a refusal", gsm_only, {"-m", "mm", "-u", "*5#"}, {}, "", "ussdq: PRIMARY: request refused: "
		    "org.freedesktop.ModemManager1.Error.Core.Unsupported: Operation not supported\n",
		    cancelled + lines{"Get", "Get", "Get"}},
		// A failed request asks the modem why: its State, and by it the
		// lock or the reason it failed, or its access technologies and
		// registration.
		{"the radio off", in(sim::situation::radio_off), to_port, {}, "", no_network +
		    "ussdq: PORT: why: the modem's radio is off\n", cancelled + lines{"Get"}},
		{"searching", in(sim::situation::searching), to_port, {}, "", no_network +
		    "ussdq: PORT: why: not registered with a network (searching)\n",
		    cancelled + lines{"Get", "Get", "Get"}},
		{"SMS only", in(sim::situation::sms_only), to_port, {}, "", unsupported +
		    "ussdq: PORT: why: on LTE registered for SMS only, with no circuit-switched service, which "
		    "USSD needs: 2G/3G, or USSD over IMS, which this network or modem does not offer\n",
		    cancelled + lines{"Get", "Get", "Get"}},
		{"LTE with data only, which ModemManager cannot tell", in(sim::situation::lte_data), to_port, {},
		    "", unsupported, cancelled + lines{"Get", "Get", "Get"}},
		{"the questions refused", in(sim::situation::refuses), to_port, {}, "", unsupported,
		    cancelled + lines{"Get"}},
		// A modem kept without its Ussd interface fails before any call.
		{"the SIM asks for its PIN", in(sim::situation::sim_pin), to_port, {}, "", no_ussd +
		    "ussdq: PORT: why: the SIM asks for its PIN\n", {"Get", "Get"}},
		{"a network lock", in(sim::situation::sim_locked), to_port, {}, "", no_ussd +
		    "ussdq: PORT: why: the SIM asks for its PH-NET PIN\n", {"Get", "Get"}},
		{"no SIM", in(sim::situation::no_sim), to_port, {}, "", no_ussd + "ussdq: PORT: why: no SIM\n",
		    {"Get", "Get"}},
		{"an answer too long, no -p", saying(longest + "ж"), {"-m", "mm", "-u", "*100#"}, {}, "",
		    "ussdq: PRIMARY: response too long\n", cancelled},
		{"GetManagedObjects denied by a bus policy", denied, to_port, {}, "",
		    "ussdq: GetManagedObjects: org.freedesktop.DBus.Error.AccessDenied: Rejected send message\n",
		    {}},
		// ModemManager takes 160 octets: 182 septets, else 80 characters.
		{"182 septets", echoing, to_mm + lines{std::string(182, '1')}, {}, std::string(182, '1') + "\n",
		    "", asked},
		{"183 septets", echoing, to_mm + lines{std::string(183, '1')}, {}, "", "ussdq: USSD too long\n",
		    {}},
		{"91 euro signs, of two septets each", echoing, to_mm + lines{times(91, "€")}, {},
		    times(91, "€") + "\n", "", asked},
		{"92 euro signs", echoing, to_mm + lines{times(92, "€")}, {}, "", "ussdq: USSD too long\n", {}},
		{"80 Cyrillic letters", echoing, to_mm + lines{times(80, "ж")}, {}, times(80, "ж") + "\n", "",
		    asked},
		{"81 Cyrillic letters", echoing, to_mm + lines{times(81, "ж")}, {}, "", "ussdq: USSD too long\n",
		    {}},
	};
	for (const auto &c : alone) {
		if (c.run.port_exclusive && exclusive_flag_unseen(c.what))
			continue;
		sim::options o = c.modem;
		o.bus = bus.address();
		auto calls = std::make_shared<lines>();
		o.trace = [calls](const std::string &line) {
			// "bus < IFACE.MEMBER on PATH", for a modem's object
			const auto on = line.find(" on /org/freedesktop/ModemManager1/Modem/");
			if (line.starts_with("bus < ") && on != std::string::npos) {
				const auto dot = line.rfind('.', on);
				calls->push_back(line.substr(dot + 1, on - dot - 1));
			}
		};
		auto got = ussdq(c.args, o, c.run);
		EXPECT_EQ(got.out, c.out) << c.what;
		EXPECT_EQ(got.err, replace(c.err, "PRIMARY", got.port.substr(got.port.rfind('/') + 1))) << c.what;
		EXPECT_EQ(got.status, c.out.empty() ? 1 : 0) << c.what;
		EXPECT_EQ(*calls, c.calls) << c.what;
	}

	// The network's refusal is ModemManager's error; without it, nothing.
	sim::options gsm;
	gsm.kind = modem_kind::standard_gsm;
	gsm.bus = bus.address();
	auto refused = shared_modem(gsm).run({"-m", "mm", "-p", "PORT", "-u", "*5#"});
	// Not through msgs(): the text is ModemManager's, not the C library's.
	EXPECT_EQ(refused.err, "ussdq: PORT: request refused: org.freedesktop.ModemManager1.Error.Core."
	    "Unsupported: Operation not supported\n");
	auto none = ussdq({"-m", "mm", "-u", "*100#"});
	EXPECT_EQ(none.err, msgs({"ModemManager is not running"}));
	EXPECT_EQ(none.status, 1);
}

// Over QMI: the answers as indications or as the owed response, with and
// without their UTF-16 TLV, another client's frames in between, and the
// ways a run fails. Whatever way a run ends, it leaves no client id taken
// and no session open.
TEST(Sessions, OverQmi)
{
	SKIP_UNLESS_BUILT_IN("qmi");
	auto qmi = [](auto change) {
		sim::options o;
		o.qmi = true;
		change(o);
		return o;
	};
	auto plain = qmi([](sim::options &) {});
	auto in_response = qmi([](sim::options &o) {
		o.qmi_in_response = true;
		o.qmi_utf16 = false;
	});
	auto cyrillic = qmi([](sim::options &o) {
		o.answer = "Баланс: 5.00 руб";
		o.qmi_utf16 = false;
	});
	auto slow = qmi([](sim::options &o) { o.delay_ms = 3000; });
	run_options term;
	term.alarm_after_ms = 500;
	term.signal = SIGTERM;
	const lines m{"-m", "qmi", "-p", "PORT"};
	const std::string data = "Data left: 2.5 GB, valid until 31.12.2026\n";
	// A request that failed at the network's side asks why, each service
	// on a client id of its own: DMS (the operating mode, the SIM), UIM
	// where DMS does not tell the SIM, NAS (the serving system).
	auto in = [&qmi](sim::situation st, bool uim_only = false) {
		return qmi([&](sim::options &o) {
			o.situation = st;
			o.qmi_uim_only = uim_only;
		});
	};
	const lines dms{"CTL Allocate Client ID 2", "DMS Get Operating Mode", "DMS UIM Get State"},
	    nas{"CTL Allocate Client ID 3", "NAS Get Serving System", "CTL Release Client ID"},
	    uim{"CTL Allocate Client ID 11", "UIM Get Card Status", "CTL Release Client ID"},
	    released{"CTL Release Client ID"}, asked = dms + released + nas,
	    originate{"VOICE Originate USSD *101#"};
	const std::string call_failed = msgs({"PORT: request refused: QMI error 14 (CallFailed)"}),
	    no_cs = " with no circuit-switched service, which USSD needs: 2G/3G, or USSD over IMS, which "
	    "this network or modem does not offer\n";
	// A build without the questions asks nothing and says no more.
	auto why = [&call_failed](const std::string &text) {
		return call_failed + (why_built_in ? "ussdq: PORT: why: " + text : "");
	};
	auto q = [](const lines &questions) { return why_built_in ? questions : lines{}; };
	struct {
		const char *what;
		sim::options modem;
		lines args;
		run_options how;
		std::string out, err;
		int status;
		lines sent;	// what the device heard, from the first VOICE request on
	} cases[] = {
		{"an answer", plain, m + lines{"-u", "*101#"}, {}, data, "", 0,
		    {"VOICE Originate USSD *101#", "CTL Release Client ID"}},
		{"the menu walked", plain, m + lines{"-u", "*111#", "-r", "2", "-r", "1"}, {}, day_bought, "", 0,
		    {"VOICE Originate USSD *111#", "VOICE Answer USSD 2", "VOICE Answer USSD 1",
		        "CTL Release Client ID"}},
		{"among another client's frames", qmi([](sim::options &o) { o.qmi_interleave = true; }),
		    m + lines{"-u", "*111#", "-r", "2"}, {}, bundles, "", 0,
		    {"VOICE Originate USSD *111#", "VOICE Answer USSD 2", "VOICE Cancel USSD",
		        "CTL Release Client ID"}},
		{"a menu left waiting is ended", plain, m + lines{"-u", "*111#"}, {}, top, "", 0,
		    {"VOICE Originate USSD *111#", "VOICE Cancel USSD", "CTL Release Client ID"}},
		{"answers in the response, without UTF-16", in_response,
		    m + lines{"-u", "*111#", "-r", "1"}, {}, "Balance: 12.34 EUR\n", "", 0,
		    {"VOICE Originate USSD *111#", "VOICE Answer USSD 1", "CTL Release Client ID"}},
		{"an answer in UCS2, a request in UCS2", cyrillic, m + lines{"-u", "*100#"}, {},
		    "Баланс: 5.00 руб\n", "", 0, {"VOICE Originate USSD *100#", "CTL Release Client ID"}},
		{"a request in UCS2", plain, m + lines{"-u", "*1é#"}, {}, "Unknown service code\n", "", 0,
		    {"VOICE Originate USSD *1é#", "CTL Release Client ID"}},
		{"-c", plain, m + lines{"-c"}, {}, "", "", 0, {"VOICE Cancel USSD", "CTL Release Client ID"}},
		{"a refusal, which leaves no session to end",
		    qmi([](sim::options &o) { o.qmi_refuse = 14; o.qmi_end_reason = 33; }),
		    m + lines{"-u", "*101#"}, {}, "", msgs({"PORT: request refused: QMI error 14 (CallFailed), "
		    "call end reason 33"}), 1, originate + q(asked) + released},
		{"an error without a name", qmi([](sim::options &o) { o.qmi_refuse = 1000; }),
		    m + lines{"-u", "*101#"}, {}, "", msgs({"PORT: request refused: QMI error 1000"}), 1,
		    originate + q(asked) + released},
		{"the radio off", in(sim::situation::radio_off), m + lines{"-u", "*101#"}, {}, "",
		    why("the modem's radio is off\n"), 1, originate + q(lines{"CTL Allocate Client ID 2",
		    "DMS Get Operating Mode"} + released) + released},
		{"the SIM asks for its PIN", in(sim::situation::sim_pin), m + lines{"-u", "*101#"}, {}, "",
		    why("the SIM asks for its PIN\n"), 1, originate + q(dms + lines{"DMS UIM Get PIN Status"} +
		    released) + released},
		{"the SIM asks for its PUK", in(sim::situation::sim_puk), m + lines{"-u", "*101#"}, {}, "",
		    why("the SIM asks for its PUK\n"), 1, originate + q(dms + lines{"DMS UIM Get PIN Status"} +
		    released) + released},
		{"no SIM", in(sim::situation::no_sim), m + lines{"-u", "*101#"}, {}, "", why("no SIM\n"), 1,
		    originate + q(dms + released) + released},
		{"the PIN, told by UIM", in(sim::situation::sim_pin, true), m + lines{"-u", "*101#"}, {}, "",
		    why("the SIM asks for its PIN\n"), 1, originate + q(dms + released + uim) + released},
		{"a network lock, told by UIM", in(sim::situation::sim_locked, true), m + lines{"-u", "*101#"}, {},
		    "", why("the SIM asks for its PH-NET PIN\n"), 1, originate + q(dms + released + uim) + released},
		{"no SIM, told by UIM", in(sim::situation::no_sim, true), m + lines{"-u", "*101#"}, {}, "",
		    why("no SIM\n"), 1, originate + q(dms + released + uim) + released},
		{"searching", in(sim::situation::searching), m + lines{"-u", "*101#"}, {}, "",
		    why("not registered with a network (searching)\n"), 1, originate + q(asked) + released},
		{"denied", in(sim::situation::denied), m + lines{"-u", "*101#"}, {}, "",
		    why("not registered with a network (registration denied)\n"), 1, originate + q(asked) + released},
		{"LTE with data only", in(sim::situation::lte_data), m + lines{"-u", "*101#"}, {}, "",
		    why("on LTE" + no_cs), 1, originate + q(asked) + released},
		{"5G", in(sim::situation::nr5g), m + lines{"-u", "*101#"}, {}, "", why("on 5G" + no_cs), 1,
		    originate + q(asked) + released},
		{"the questions refused", in(sim::situation::refuses), m + lines{"-u", "*101#"}, {}, "", call_failed,
		    1, originate + q(dms + released + uim + nas) + released},
		{"coding 0 beside UTF-16", qmi([](sim::options &o) { o.qmi_coding = 0; }),
		    m + lines{"-u", "*101#"}, {}, data, "", 0, {"VOICE Originate USSD *101#", "CTL Release Client ID"}},
		{"coding 0 alone", qmi([](sim::options &o) { o.qmi_coding = 0; o.qmi_utf16 = false; }),
		    m + lines{"-u", "*101#"}, {}, "", msgs({"PORT: answer in a coding ussdq does not know: 0"}), 1,
		    {"VOICE Originate USSD *101#", "CTL Release Client ID"}},
		{"coding 4 in the response alone", qmi([](sim::options &o) {
			o.qmi_coding = 4;
			o.qmi_utf16 = false;
			o.qmi_in_response = true;
		    }), m + lines{"-u", "*101#"}, {}, "", msgs({"PORT: answer in a coding ussdq does not know: 4"}), 1,
		    {"VOICE Originate USSD *101#", "CTL Release Client ID"}},
		{"coding 255 of a menu, which is ended",
		    qmi([](sim::options &o) { o.qmi_coding = 255; o.qmi_utf16 = false; }), m + lines{"-u", "*111#"},
		    {}, "", msgs({"PORT: answer in a coding ussdq does not know: 255"}), 1,
		    {"VOICE Originate USSD *111#", "VOICE Cancel USSD", "CTL Release Client ID"}},
		{"an answer without text", qmi([](sim::options &o) { o.answer_text = false; }),
		    m + lines{"-u", "*100#"}, {}, "", msgs({"PORT: bad QMI response"}), 1,
		    {"VOICE Originate USSD *100#", "CTL Release Client ID"}},
		{"another program's client id of WDS first", qmi([](sim::options &o) { o.qmi_foreign = true; }),
		    m + lines{"-u", "*101#"}, {}, data, "", 0, {"VOICE Originate USSD *101#", "CTL Release Client ID"}},
		{"a release by the network", qmi([](sim::options &o) { o.qmi_release = true; }),
		    m + lines{"-u", "*101#"}, {}, "", msgs({"PORT: session ended by the network"}), 1,
		    {"VOICE Originate USSD *101#", "CTL Release Client ID"}},
		{"no client id left", qmi([](sim::options &o) { o.qmi_client_ids = 0; }),
		    m + lines{"-u", "*101#"}, {}, "", msgs({"PORT: request refused: QMI error 5 "
		    "(ClientIdsExhausted)"}), 1, {}},
		{"the watchdog", slow, lines{"-t", "1"} + m + lines{"-u", "*101#"}, {}, "", timed_out, 1,
		    originate + lines{"VOICE Cancel USSD"} + q(asked) + released},
		{"SIGTERM", slow, m + lines{"-u", "*101#"}, term, "", "", 128 + SIGTERM,
		    {"VOICE Originate USSD *101#", "VOICE Cancel USSD", "CTL Release Client ID"}},
	};
	for (const auto &c : cases) {
		shared_modem modem(c.modem);
		auto r = modem.run(c.args, c.how);
		EXPECT_EQ(r.out, c.out) << c.what;
		EXPECT_EQ(r.err, c.err) << c.what;
		EXPECT_EQ(r.status, c.status) << c.what;
		auto from = std::find_if(r.sent.begin(), r.sent.end(),
		    [](const std::string &s) { return s.starts_with("VOICE") && s != "VOICE Indication Register"; });
		EXPECT_EQ(lines(from, r.sent.end()), c.sent) << c.what;
		EXPECT_EQ(std::count(r.sent.begin(), r.sent.end(), "CTL Sync"), 0) << c.what;
		// Another program's client id stays with it.
		EXPECT_EQ(modem.device().qmi_clients_held(), c.modem.qmi_foreign ? 1 : 0) << c.what;
		EXPECT_FALSE(modem.device().qmi_session_open()) << c.what;
	}

	// Each run numbers its transactions from its own start: three runs do
	// not all start CTL's from one, and none takes the response that the
	// run before was owed, come late, for its own.
	auto ids = std::make_shared<std::set<std::string>>();
	sim::options traced = qmi([](sim::options &o) { o.qmi_late = true; });
	traced.trace = [ids](const std::string &line) {
		// "< qmi 01 LL LL FF SS CC FF TXN ID ID ...", in hex
		auto byte = [&line](std::size_t k) { return line.substr(6 + 3 * k, 2); };
		if (line.starts_with("< qmi") && line.size() > 33 && byte(4) == "00" && byte(8) == "22")
			ids->insert(byte(7));
	};
	shared_modem numbered(traced);
	for (int i = 0; i < 3; i++)
		EXPECT_EQ(numbered.run(m + lines{"-u", "*101#"}).out, data) << i;
	EXPECT_GT(ids->size(), 1u);

	// What QMI cannot do, and a request or a reply too long for it, are
	// refused before the device is touched.
	const struct {
		lines args;
		std::string err;
	} refused[] = {
		{{"-m", "qmi", "-k", "-u", "*111#"}, msgs({"-k does not go with -m qmi"}) + usage_line},
		{{"-k", "-m", "qmi", "-u", "*111#"}, msgs({"-k does not go with -m qmi"}) + usage_line},
		{{"-m", "qmi", "-s", "15", "-u", "*111#"}, msgs({"-s does not go with -m qmi"}) + usage_line},
		{{"-m", "qmi", "-u", std::string(183, '1')}, msgs({"USSD too long"})},
		{{"-m", "qmi", "-u", "*1#", "-r", std::string(81, 'z') + "\xc3\xa9"}, msgs({"USSD too long"})},
		{{"-m", "qmi", "-u", "*1#", "-r", "\xff"}, msgs({"USSD is not UTF-8 text"})},
	};
	for (const auto &c : refused) {
		auto r = ussdq(lines{"-p", "PORT"} + c.args, plain);
		EXPECT_EQ(r.err, c.err) << c.args[1];
		EXPECT_EQ(r.status, 1) << c.args[1];
		EXPECT_TRUE(r.sent.empty()) << c.args[1];
	}
}

// -j over QMI: no scheme, the raw text the octets as they came, in hex.
TEST(Sessions, OverQmiInJson)
{
	SKIP_UNLESS_BUILT_IN("qmi");
	sim::options o;
	o.qmi = true;
	auto r = ussdq({"-j", "-m", "qmi", "-p", "PORT", "-u", "*111#"}, o);
	auto j = nlohmann::json::parse(r.out);
	EXPECT_EQ(j["status"], 1);
	EXPECT_EQ(j["text"], "1 Balance\n2 Bundles");
	EXPECT_TRUE(j["dcs"].is_null());
	EXPECT_EQ(j["raw"], "31002000420061006c0061006e00630065000a0032002000420075006e0064006c0065007300");
	EXPECT_EQ(j["mode"], "qmi");
	EXPECT_EQ(j["kept"], false);
	EXPECT_EQ(r.err, "");
}

}

namespace {

// Over MBIM: the menu walked with -r, a session ended by default and by
// -c, and whatever way a run ends (an answer, a failure, the watchdog, a
// signal) no session is left waiting and no function it opened is left
// open, while a function another client had open is never closed.
TEST(Sessions, OverMbim)
{
	SKIP_UNLESS_BUILT_IN("mbim");
	const lines opened{"device services query", "OPEN 4096", "device services query"};
	const std::string data = "Data left: 2.5 GB, valid until 31.12.2026\n";
	sim::options fn;
	fn.mbim.on = true;
	fn.menu.push_back({{"*5#"}, 1, std::nullopt});
	{
		shared_modem modem(fn);
		const struct {
			const char *what;
			lines args, sent;
			std::string out;
		} steps[] = {
			{"a menu walked", {"-u", "*111#", "-r", "2", "-r", "1"},
			    opened + lines{"USSD initiate", "USSD continue", "USSD continue", "CLOSE"}, day_bought},
			{"a menu ended", {"-u", "*111#"}, opened + lines{"USSD initiate", "USSD cancel", "CLOSE"}, top},
			{"so the next request is one", {"-u", "*101#"}, opened + lines{"USSD initiate", "CLOSE"},
			    data},
			{"-c", {"-c"}, opened + lines{"USSD cancel", "CLOSE"}, ""},
			{"-j", {"-j", "-u", "*111#", "-r", "1"}, opened + lines{"USSD initiate", "USSD continue",
			    "CLOSE"}, "{\"status\":0,\"text\":\"Balance: 12.34 EUR\",\"dcs\":15,"
			    "\"raw\":\"c2303bec1e9775a098cc35a3818a5529\",\"mode\":\"mbim\",\"kept\":false}\n"},
		};
		for (const auto &s : steps) {
			auto r = modem.run(lines{"-m", "mbim", "-p", "PORT"} + s.args);
			EXPECT_EQ(r.sent, s.sent) << s.what;
			EXPECT_EQ(r.out, s.out) << s.what;
			EXPECT_EQ(r.err, "") << s.what;
			EXPECT_EQ(r.status, 0) << s.what;
		}
		// -v: each message as hex, with what it is.
		auto v = modem.run({"-v", "-m", "mbim", "-p", "PORT", "-u", "*101#"});
		for (const char *shown : {
			 "ussdq: mbim: sent COMMAND (device services): 03000000 30000000 ",
			 "ussdq: mbim: got FUNCTION_ERROR: 04000080 10000000 ",
			 "ussdq: mbim: sent OPEN: 01000000 10000000 ",
			 " e550a0c8 5e82479e 82f710ab f4c3351f 01000000 01000000 ",
			 "ussdq: mbim: got COMMAND_DONE (USSD): 03000080 ",
			 "ussdq: mbim: sent CLOSE: 02000000 0c000000 ",
			 "ussdq: mbim: got CLOSE_DONE: 02000080 10000000 "})
			EXPECT_NE(v.err.find(shown), std::string::npos) << shown << "\n" << v.err;
		EXPECT_EQ(v.out, data);
	}
	// -v among another client's messages, one of them of 4 KB: cut, its
	// length in its header.
	{
		sim::options o = fn;
		o.mbim.chatter = true;
		auto v = ussdq({"-v", "-m", "mbim", "-p", "PORT", "-u", "*101#"}, o);
		EXPECT_NE(v.err.find("ussdq: mbim: got INDICATE_STATUS (other): 07000080 b80f0000 "),
		    std::string::npos) << v.err;
		EXPECT_NE(v.err.find(" ... (cut)\n"), std::string::npos) << v.err;
		EXPECT_EQ(v.out, data);
		EXPECT_EQ(v.status, 0);
		// The same under a long name, which once ran the line past its
		// buffer.
		run_options named;
		named.name = std::string(250, 'u');
		v = ussdq({"-v", "-m", "mbim", "-p", "PORT", "-u", "*101#"}, o, named);
		EXPECT_NE(v.err.find(" ... (cut)\n"), std::string::npos) << v.err;
		EXPECT_EQ(v.out, data);
		EXPECT_EQ(v.status, 0);
	}

	auto slow = [&fn](bool open) {
		sim::options o = fn;
		o.delay_ms = 1500;
		o.mbim.opened = open;
		return o;
	};
	const lines next{"-m", "mbim", "-p", "PORT", "-u", "*100#"}, first{"-m", "mbim", "-p", "PORT", "-u"};
	sim::options late = fn;
	late.mbim.late = true;
	struct {
		const char *what;
		sim::options modem;
		lines args;
		run_options how;
		int status;
		std::string err;
	} cases[] = {
		{"+CUSD: 1 without text", fn, first + lines{"*5#"}, {}, 1, msgs({"PORT: bad MBIM message"})},
		{"an answer that came too late, for the next run", late, lines{"-t", "1"} + first + lines{"*101#"},
		    {}, 1, timed_out},
		{"SIGTERM", slow(false), first + lines{"*101#"}, signal_at(800, SIGTERM), 128 + SIGTERM, ""},
		{"SIGINT", slow(false), first + lines{"*101#"}, signal_at(800, SIGINT), 128 + SIGINT, ""},
		{"SIGHUP, the function open already", slow(true), first + lines{"*101#"},
		    signal_at(800, SIGHUP), 128 + SIGHUP, ""},
		{"the watchdog", slow(false), lines{"-t", "1"} + first + lines{"*101#"}, {}, 1, timed_out},
		{"the watchdog, the function open already", slow(true), lines{"-t", "1"} + first + lines{"*101#"},
		    {}, 1, timed_out},
	};
	for (const auto &c : cases) {
		shared_modem modem(c.modem);
		auto r = modem.run(c.args, c.how);
		EXPECT_EQ(r.status, c.status) << c.what;
		EXPECT_EQ(r.err, c.err) << c.what;
		// A request not answered in time asks why once the session is
		// ended; the modem here has nothing to tell.
		lines ended{"USSD initiate", "USSD cancel"};
		if (c.err == timed_out)
			ended = ended + lines{"radio state query", "subscriber ready status query", "register state query"};
		if (!c.modem.mbim.opened)
			ended.push_back("CLOSE");
		ASSERT_GE(r.sent.size(), ended.size()) << c.what;
		EXPECT_EQ(lines(r.sent.end() - static_cast<long>(ended.size()), r.sent.end()), ended) << c.what;
		auto after = modem.run(next);
		EXPECT_EQ(after.out, "Balance: 12.34 EUR, valid until 31.12.2026\n") << c.what;
		EXPECT_EQ(after.status, 0) << c.what;
	}

	// A session kept could not be found again by a later run: -k is
	// refused before the device is touched.
	for (const lines &args : {lines{"-m", "mbim", "-k", "-u", "*111#"},
		 lines{"-k", "-m", "mbim", "-u", "*111#", "-r", "1"}}) {
		auto r = ussdq(lines{"-p", "PORT"} + args, fn);
		EXPECT_EQ(r.err, msgs({"-k does not go with -m mbim"}) + usage_line) << args[1];
		EXPECT_EQ(r.status, 1) << args[1];
		EXPECT_TRUE(r.sent.empty()) << args[1];
	}
}

}

// On a HiLink stick a session kept with -k takes the next run's request as
// its reply, and a run stopped from outside or by the watchdog while it
// waits for the answer still tells the stick to release the session, from
// the handler, over a connection of its own.
TEST(Sessions, HiLinkKeptAndReleasedOnEveryWayOut)
{
	SKIP_UNLESS_BUILT_IN("hilink");
	sim::options o;
	o.hilink = "127.0.0.1:0";
	o.hilink_pending = 1;
	const lines hilink{"-m", "hilink", "-p", "URL", "-u"};
	const std::string release = "GET /api/ussd/release";
	{
		shared_modem modem(o);
		auto kept = modem.run(hilink + lines{"*111#", "-k"});
		EXPECT_EQ(kept.out, "1 Balance\n2 Bundles\n");
		auto reply = modem.run(hilink + lines{"1"});
		EXPECT_EQ(reply.out, "Balance: 12.34 EUR\n") << reply.err;
		EXPECT_EQ(reply.sent.back(), release);
	}
	o.hilink_pending = 100;	// the answer never comes in time
	struct {
		const char *what;
		lines args;
		run_options how;
		int status;
		std::string err;
		bool login = false;	// logged in: the logout follows the release
	} cases[] = {
		{"SIGTERM", hilink + lines{"*101#"}, signal_at(800, SIGTERM), 128 + SIGTERM, ""},
		{"SIGINT", hilink + lines{"*101#"}, signal_at(800, SIGINT), 128 + SIGINT, ""},
		{"the watchdog", lines{"-t", "1"} + hilink + lines{"*101#"}, {}, 1,
		    "ussdq: URL: Operation timed out\n"},
		{"SIGTERM logged in", lines{"USSDQ_PASSWORD=pw"} + hilink + lines{"*101#"}, signal_at(800, SIGTERM),
		    128 + SIGTERM, "", true},
		{"SIGHUP logged in by the challenge", lines{"USSDQ_PASSWORD=pw"} + hilink + lines{"*101#"},
		    signal_at(800, SIGHUP), 128 + SIGHUP, "", true},
		{"the watchdog logged in", lines{"USSDQ_PASSWORD=pw", "-t", "1"} + hilink + lines{"*101#"}, {}, 1,
		    "ussdq: URL: Operation timed out\n", true},
	};
	for (const auto &c : cases) {
		sim::options with = o;
		if (c.login)
			with.hilink_password = "pw";
		if (c.what == std::string("SIGHUP logged in by the challenge"))
			with.hilink_login_kind = "challenge";
		shared_modem modem(with);
		auto r = modem.run(c.args, c.how);
		EXPECT_EQ(r.status, c.status) << c.what;
		EXPECT_EQ(r.err, c.err) << c.what;
		// The run out of time asks why after the release, before any
		// logout; one ended by a signal asks nothing.
		const lines asked = c.status == 1 ? lines{"GET /api/pin/status", "GET /api/monitoring/status"}
		    : lines{};
		lines want = lines{release} + asked;
		if (c.login)
			want.push_back("POST /api/user/logout");
		ASSERT_GE(r.sent.size(), want.size()) << c.what;
		EXPECT_EQ(lines(r.sent.end() - static_cast<long>(want.size()), r.sent.end()), want) << c.what;
	}
	// A lock the device reports before any try: none is made, and the
	// wait it gives is told.
	o.hilink_password = "pw";
	o.hilink_lock_after = 1;
	o.hilink_pending = 1;
	shared_modem modem(o);
	auto wrong = modem.run(lines{"USSDQ_PASSWORD=wrong"} + hilink + lines{"*101#"});
	EXPECT_EQ(wrong.err, "ussdq: URL: login refused: locked after too many failed logins\n");
	auto locked = modem.run(lines{"USSDQ_PASSWORD=pw"} + hilink + lines{"*101#"});
	EXPECT_EQ(locked.status, 1);
	EXPECT_EQ(locked.err, "ussdq: URL: login refused: locked after too many failed logins; "
	    "try again in 5 minutes\n");
	EXPECT_EQ(std::count(locked.sent.begin(), locked.sent.end(), "POST /api/user/login"), 0);
}
