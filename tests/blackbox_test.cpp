// The tool run against the fake modem: standard output, standard error and
// exit status compared byte for byte.
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/harness.hpp"

namespace {

sim::options
answering(std::string cusd_lines)
{
	sim::options o;
	o.rules = {{"AT+CUSD=*", {sim::send(sim::result("OK") + cusd_lines)}}};
	return o;
}

sim::options
on_first(std::vector<sim::step> steps, std::string stale = "")
{
	sim::options o;
	o.rules = {{"ATE0", std::move(steps)}};
	o.stale = std::move(stale);
	return o;
}

TEST(Ussdq, RefusesBadCommandLines)
{
	char plain_file[] = "/tmp/ussdq-test-XXXXXX";
	close(mkstemp(plain_file));
	std::vector<std::string> sixty_four(64, "/nonexistent");
	sixty_four.insert(sixty_four.begin(), "-l");
	std::vector<std::string> sixty_five = sixty_four;
	sixty_five.emplace_back("PORT");
	struct {
		std::vector<std::string> args;
		std::string err;
	} cases[] = {
		{{}, usage_line},
		{{"-v", "-p", "PORT"}, usage_line},
		{{"-u", "*100#", "extra"}, usage_line},
		{{"-x", "-u", "1"}, msgs({"invalid option -- 'x'"}) + usage_line},
		{{"-u"}, msgs({"option requires an argument -- 'u'"}) + usage_line},
		{{"-l", "-u", "1"}, msgs({"-l does not go with -u"}) + usage_line},
		{{"-l", "-p", "/dev/null"}, msgs({"-l does not go with -p"}) + usage_line},
		{{"-m", "nosuch", "-p", "/nonexistent", "-u", "1"}, msgs({"invalid mode: nosuch"})},
		{{"-s", "256", "-u", "1"}, msgs({"invalid scheme: 256"})},
		{{"-s", "-1", "-u", "1"}, msgs({"invalid scheme: -1"})},
		{{"-s", "", "-u", "1"}, msgs({"invalid scheme: "})},
		{{"-s", "7x", "-u", "1"}, msgs({"invalid scheme: 7x"})},
		{{"-l", "/nonexistent"}, msgs({"no modem found"})},
		{sixty_four, msgs({"no modem found"})},
		// None is probed, the modem last among them neither.
		{sixty_five, msgs({"too many ports (at most 64)"})},
		{{"-t", "abc", "-p", "/nonexistent", "-u", "1"}, msgs({"invalid timeout: abc"})},
		{{"-t", "", "-u", "1"}, msgs({"invalid timeout: "})},
		{{"-t", "-1", "-u", "1"}, msgs({"invalid timeout: -1"})},
		{{"-t", "+5", "-u", "1"}, msgs({"invalid timeout: +5"})},
		{{"-t", "5s", "-u", "1"}, msgs({"invalid timeout: 5s"})},
		{{"-t", "2147483648", "-u", "1"}, msgs({"invalid timeout: 2147483648"})},
		{{"-t", "2147483647", "-p", "/nonexistent", "-u", "1"},
		    msgs({"/nonexistent: No such file or directory"})},
		{{"-p", "/no/a", "-p", "/no/b", "-u", "1"}, msgs({"/no/b: No such file or directory"})},
		{{"-p", plain_file, "-u", "1"},
		    msgs({std::string(plain_file) + ": tcgetattr: Inappropriate ioctl for device"})},
		{{"-d", "-p", plain_file, "-u", "1"}, msgs({std::string(plain_file) + ": not a serial device"})},
		// The length is not looked at before the modem has been set up.
		{{"-p", "/nonexistent", "-u", std::string(585, '1')},
		    msgs({"/nonexistent: No such file or directory"})},
	};
	for (const auto &c : cases) {
		auto r = ussdq(c.args);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, c.err);
		EXPECT_EQ(r.status, 1);
		EXPECT_TRUE(r.sent.empty());
	}
	unlink(plain_file);
	// A mode this build leaves out is refused as such, before the port.
	for (const char *mode : {"mm", "qmi", "mbim", "hilink"}) {
		if (built_in(mode))
			continue;
		auto r = ussdq({"-m", mode, "-p", "/nonexistent", "-u", "1"});
		EXPECT_EQ(r.err, msgs({"mode " + std::string(mode) + " is not built in"}));
		EXPECT_EQ(r.status, 1);
	}
}

// -l only asks: the maker, the model and the mode auto would choose, one
// line a port, or busy where another run or program holds it.
TEST(Ussdq, ListsTheModems)
{
	auto kind = [](sim::modem_kind k) {
		sim::options o;
		o.kind = k;
		return o;
	};
	const std::string busy = "PORT\t\t\tbusy\n";
	sim::options silent;
	silent.rules = {{"ATE0", {}}};
	sim::options qmi, mbim;
	qmi.qmi = true;
	mbim.mbim.on = true;
	const std::string held = "PORT: in use by another program (sleep, pid PID)";
	struct {
		std::vector<std::string> args;
		sim::options modem;
		run_options run;
		std::string out, err;
		const char *needs = nullptr;	// a mode the build must have
	} cases[] = {
		{{"-l", "PORT"}, {}, {}, "PORT\tFakeco\tFM100\tucs2\n", ""},
		{{"-l", "-t", "2", "/nonexistent", "PORT"}, kind(sim::modem_kind::huawei), {},
		    "PORT\thuawei\tFM100\tpacked\n", ""},
		{{"-l", "PORT"}, kind(sim::modem_kind::standard_gsm), {},
		    "PORT\tSIMCOM INCORPORATED\tFM100\ttext\n", ""},
		{{"-l", "-j", "PORT"}, {}, {},
		    "[{\"port\":\"PORT\",\"maker\":\"Fakeco\",\"model\":\"FM100\",\"mode\":\"ucs2\"}]\n", ""},
		{{"-l", "PORT"}, {}, {.port_locked = true}, busy, msgs({"no modem found"})},
		{{"-l", "-j", "PORT"}, {}, {.port_exclusive = true},
		    "[{\"port\":\"PORT\",\"maker\":null,\"model\":null,\"mode\":\"busy\"}]\n",
		    msgs({"no modem found"})},
		{{"-l", "-v", "-t", "1", "PORT"}, silent, {}, "",
		    msgs({"opening port PORT", "port opened", "at_command: sending \"ATE0\"", "PORT: no answer",
		    "no modem found"})},
		{{"-l", "PORT"}, silent, {.block_alarm = true}, "", msgs({"no modem found"})},
		// Every mode refuses a port in exclusive use, the classic one too.
		{{"-p", "PORT", "-u", "*100#"}, {}, {.port_exclusive = true}, "",
		    msgs({"PORT: in exclusive use by another program"})},
		{{"-m", "auto", "-p", "PORT", "-u", "*100#"}, {}, {.port_exclusive = true}, "",
		    msgs({"PORT: in exclusive use by another program"})},
		// A QMI or MBIM device another program has open shares its one
		// queue of answers with it: busy, and refused.
		{{"-l", "-m", "qmi", "PORT"}, qmi, {.port_held = true}, busy, msgs({"no modem found"}), "qmi"},
		{{"-m", "qmi", "-p", "PORT", "-u", "*100#"}, qmi, {.port_held = true}, "", msgs({held}), "qmi"},
		{{"-c", "-m", "qmi", "-p", "PORT"}, qmi, {.port_held = true}, "", msgs({held}), "qmi"},
		{{"-l", "-j", "-m", "mbim", "PORT"}, mbim, {.port_held = true},
		    "[{\"port\":\"PORT\",\"maker\":null,\"model\":null,\"mode\":\"busy\"}]\n",
		    msgs({"no modem found"}), "mbim"},
		{{"-m", "mbim", "-p", "PORT", "-u", "*100#"}, mbim, {.port_held = true}, "", msgs({held}), "mbim"},
		// Nobody else has it open: the fake does not hold its own device.
		{{"-l", "-m", "mbim", "PORT"}, mbim, {}, "PORT\t\tfake modem\tmbim\n", "", "mbim"},
		// A serial port is another program's only by its exclusive flag.
		{{"-l", "PORT"}, {}, {.port_held = true}, "PORT\tFakeco\tFM100\tucs2\n", ""},
	};
	for (const auto &c : cases) {
		if (c.needs != nullptr && !built_in(c.needs))
			continue;
		if (c.run.port_exclusive && exclusive_flag_unseen("-l and a port in exclusive use"))
			continue;
		auto r = ussdq(c.args, c.modem, c.run);
		r.out = replace(r.out, r.port, "PORT");
		EXPECT_EQ(r.out, c.out) << c.args[1];
		EXPECT_EQ(r.err, c.err) << c.args[1];
		EXPECT_EQ(r.status, c.err.empty() ? 0 : 1) << c.args[1];
		for (const auto &line : r.sent) {
			EXPECT_FALSE(line.starts_with("AT+CUSD")) << line;
		}
		if (c.args[0] != "-l") {
			EXPECT_TRUE(r.sent.empty());
		}
	}
	auto help = ussdq({"-h"});
	EXPECT_EQ(help.out, usage_line);
	EXPECT_EQ(help.status, 0);
	// The modes of the build in the table's order, the classic run not
	// among them: -m does not name it.
	auto version = ussdq({"-v", "-V"});
	EXPECT_EQ(version.out, std::string("ussdq 1.0.0\nModes: packed text ucs2 auto") +
	    (built_in("mm") ? " mm" : "") + (built_in("qmi") ? " qmi" : "") +
	    (built_in("mbim") ? " mbim" : "") +
	    (built_in("hilink") ? " hilink" : "") + "\n");
	EXPECT_EQ(version.status, 0);
}

// -s reads the answer by the scheme it names, whatever the modem said;
// -j still shows what the modem said.
TEST(Ussdq, ReadsTheAnswerInTheSchemeGiven)
{
	sim::options o = answering(sim::result("+CUSD: 0,\"04110430043B0430043D0441\",15"));
	o.kind = sim::modem_kind::standard;
	auto r = ussdq({"-m", "text", "-s", "72", "-p", "PORT", "-u", "*100#"}, o);
	EXPECT_EQ(r.out, "Баланс\n");
	r = ussdq({"-j", "-m", "text", "-s", "72", "-p", "PORT", "-u", "*100#"}, o);
	EXPECT_EQ(r.out, "{\"status\":0,\"text\":\"Баланс\",\"dcs\":15,\"raw\":\"04110430043B0430043D0441\","
	    "\"mode\":\"text\",\"kept\":false}\n");
}

TEST(Ussdq, PrintsTheAnswer)
{
	sim::options balance;
	balance.answer = "Balance 5.00 EUR";
	auto r = ussdq({"-p", "PORT", "-u", "*100#"}, balance);
	EXPECT_EQ(r.out, "buf=c2303bec1e974135170c062a56a5Balance 5.00 EUR\n");
	EXPECT_EQ(r.err, quiet);
	EXPECT_EQ(r.status, 0);
	// Three set-up commands, each followed by the mandated pause.
	EXPECT_GE(r.seconds, 0.3);

	// Stale input is drained; echo, blank lines and the "OK" of the
	// request are read and passed over.
	balance.stale = "\r\nOK\r\n+CUSD: 0,\"41\",15\r\n";
	r = ussdq({"-v", "-p", "PORT", "-u", "*100#"}, balance);
	EXPECT_EQ(r.out, "buf=c2303bec1e974135170c062a56a5Balance 5.00 EUR\n");
	EXPECT_EQ(r.err, msgs({"opening port PORT", "port opened",
	    "at_command: sending \"ATE0\"", "at_wok...", "at_wok: got \"ATE0\"",
	    "at_wok: got \"OK\"", "at_wok: done",
	    "at_command: sending \"AT+CMGF=0\"", "at_wok...", "at_wok: got \"\"",
	    "at_wok: got \"OK\"", "at_wok: done",
	    "at_command: sending \"AT+CSCS=\"IRA\"\"", "at_wok...", "at_wok: got \"\"",
	    "at_wok: got \"OK\"", "at_wok: done",
	    "at_command: sending \"AT+CUSD=1,\"aa180c3602\",15\"", "at_wcusd...",
	    "at_wcusd: got \"\"", "at_wcusd: got \"OK\"", "at_wcusd: got \"\"",
	    "at_wcusd: got \"+CUSD: 0,\"c2303bec1e974135170c062a56a5\",15\"",
	    "at_wcusd: done", "decira: buf = \"c2303bec1e974135170c062a56a5\""}));
	EXPECT_EQ(r.status, 0);
}

TEST(Ussdq, SendsTheRequestPacked)
{
	struct {
		std::string ussd, sent;
	} cases[] = {
		{"*100#", "AT+CUSD=1,\"aa180c3602\",15"},
		{"", "AT+CUSD=1,\"\",15"},
		{"*101*1#", "AT+CUSD=1,\"aa182ca68a8d1a\",15"},
		{"*123*45#", "AT+CUSD=1,\"aa986ca6a2d546\",15"},
	};
	for (const auto &c : cases) {
		auto r = ussdq({"-p", "PORT", "-u", c.ussd});
		std::vector<std::string> sent{"ATE0", "AT+CMGF=0", "AT+CSCS=\"IRA\"", c.sent};
		EXPECT_EQ(r.sent, sent);
		EXPECT_EQ(r.status, 0);
	}
}

TEST(Ussdq, TakesTheQuotedAnswer)
{
	const std::string odd(1023, 'z'), even(1024, '4');
	struct {
		std::string lines, out, err;
		int status;
	} cases[] = {
		{sim::result("+CUSD: 0,\"aa180c3602\",15"), "buf=aa180c3602*100#\n", quiet, 0},
		{sim::result("+CUSD: 0,\"418010\",15"), "buf=418010A\n", quiet, 0},
		{sim::result("+CUSD: 0,\"\",15"), "buf=\n", quiet, 0},
		{sim::result("+CUSD:0,\"41\",15") + sim::result("+CUSD: 2,\"42\""), "buf=42B\n", quiet, 0},
		{"+CUSD: 0,\"" + odd + "\",15\n", "buf=" + odd + std::string(584, '\x7f') + "\n", quiet, 0},
		{"+CUSD: 0,\"" + even + "\",15\n", "", setup + msgs({"at_wcusd...", "PORT: response too long"}), 1},
		{sim::result("+CUSD: 4"), "", setup + msgs({"at_wcusd...", "PORT: bad +CUSD response"}), 1},
		{sim::result("+CUSD: 0,\"aa18"), "", setup + msgs({"at_wcusd...", "PORT: bad +CUSD response"}), 1},
		// Longer than the wait's 1087 bytes: no piece of it is an answer.
		{"+CUSD: 0,\"" + std::string(1100, '4') + "\"\r\n", "",
		    setup + msgs({"at_wcusd...", "PORT: response too long"}), 1},
	};
	for (const auto &c : cases) {
		auto r = ussdq({"-p", "PORT", "-u", "*100#"}, answering(c.lines));
		EXPECT_EQ(r.out, c.out);
		EXPECT_EQ(r.err, c.err);
		EXPECT_EQ(r.status, c.status);
	}
}

TEST(Ussdq, OnlyAnExactOkEndsAWait)
{
	std::string noise = sim::result(" OK") + sim::result("ok") + sim::result("OK ") +
	    sim::result("ERROR") + std::string(300, 'x') + "\r\n";
	auto r = ussdq({"-v", "-t", "1", "-p", "PORT", "-u", "1"},
	    on_first({sim::send(noise + "OK\n")}));
	EXPECT_EQ(r.status, 0);
	EXPECT_NE(r.err.find(msgs({"at_wok...", "at_wok: got \"ATE0\"",
	    "at_wok: got \" OK\"", "at_wok: got \"\"", "at_wok: got \"ok\"",
	    "at_wok: got \"\"", "at_wok: got \"OK \"", "at_wok: got \"\"",
	    "at_wok: got \"ERROR\"",
	    "at_wok: got \"" + std::string(255, 'x') + "\" (cut: 300 bytes)",
	    "at_wok: got \"OK\"", "at_wok: done"})), std::string::npos);
}

TEST(Ussdq, EndsFailedRunsWithTheirMessage)
{
	auto after_ok = [](std::vector<sim::step> steps) {
		sim::options o;
		steps.insert(steps.begin(), sim::send(sim::result("OK")));
		o.rules = {{"AT+CUSD=*", steps}};
		return o;
	};
	auto hang_up_at = [](std::string command) {
		sim::options o;
		o.rules = {{command, {sim::send(sim::result("OK")), sim::hangup()}}};
		return o;
	};
	struct {
		const char *what;
		std::string ussd;
		sim::options modem;
		std::string err;
		std::size_t sent;
		double seconds;	// at least; a second more at most
	} cases[] = {
		// ATE0's result is waited for a second more once the watchdog has
		// fired: the next run must not take it for its own.
		{"silent modem", "1", on_first({}), msgs({"at_wok..."}) + timed_out, 1, 2},
		{"ERROR", "1", on_first({sim::send(sim::result("ERROR"))}), msgs({"at_wok..."}) + timed_out, 1, 1},
		// The watchdog ends the session the request opened: AT+CUSD=2.
		{"no answer line", "1", after_ok({}), setup + msgs({"at_wcusd..."}) + timed_out, 5, 1},
		// Hung up while the tool pauses: its next read finds end of file.
		{"hang-up in set-up", "1", on_first({sim::send(sim::result("OK")), sim::hangup()}),
		    msgs({"at_wok...", "at_wok...", "PORT: unexpected end of file"}), 1, 0.1},
		{"hang-up before the answer", "1", hang_up_at("AT+CSCS=*"),
		    setup + msgs({"at_wcusd...", "PORT: unexpected end of file"}), 3, 0.3},
		// Hung up under a blocked read: the read fails.
		{"hang-up in answer wait", "1", after_ok({sim::pause(200), sim::hangup()}),
		    setup + msgs({"at_wcusd...", "PORT: Input/output error"}), 4, 0.5},
		{"too long", std::string(585, '1'), {}, setup + msgs({"USSD too long"}), 3, 0.3},
		{"not 7-bit", "\xc3\xa9", {}, setup + msgs({"USSD is not 7-bit text"}), 3, 0.3},
	};
	for (auto &c : cases) {
		auto r = ussdq({"-t", "1", "-p", "PORT", "-u", c.ussd}, c.modem);
		EXPECT_EQ(r.out, "") << c.what;
		EXPECT_EQ(r.err, c.err) << c.what;
		EXPECT_EQ(r.status, 1) << c.what;
		EXPECT_EQ(r.sent.size(), c.sent) << c.what;
		EXPECT_GE(r.seconds, c.seconds) << c.what;
		EXPECT_LT(r.seconds, c.seconds + 1) << c.what;
	}
}

TEST(Ussdq, FailsWhenTheAnswerCannotBePrinted)
{
	auto r = ussdq({"-p", "PORT", "-u", "*100#"}, {}, {.stdout_path = "/dev/full"});
	EXPECT_EQ(r.err, quiet + msgs({"stdout: No space left on device"}));
	EXPECT_EQ(r.status, 1);
}

}
