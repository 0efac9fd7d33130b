// The tool started as cron, init scripts, daemons and pipelines start it:
// without a controlling terminal, with standard descriptors closed or their
// readers gone, with signals blocked, or several times at once on one port.
// Whatever the situation, a run ends with its own answer or with one
// message and status 1.
//
// They mean the same under an emulator (USSDQ_TEST_RUNNER, e.g. qemu-user),
// which passes the session, the descriptors, the signal mask and the lock
// calls through to the tool.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/harness.hpp"

namespace {

const std::string answer_hex = "c4303dac03d5404d21885d36d31b";
const std::string answer_line = "buf=" + answer_hex + "Data: 5 MB left\n";
const std::vector<std::string> dialogue{"ATE0", "AT+CMGF=0", "AT+CSCS=\"IRA\"",
    "AT+CUSD=1,\"aa180c3602\",15"};

// An answer with "at" in it, so that the modem would take the printed line
// for a command line if it ever got it.
sim::options
answering()
{
	sim::options o;
	o.answer = "Data: 5 MB left";
	return o;
}

sim::options
silent()
{
	sim::options o = answering();
	o.rules = {{"ATE0", {}}};
	return o;
}

TEST(Situations, HangUpGivesASessionLeaderItsMessage)
{
	sim::options in_setup, in_answer_wait;
	in_setup.rules = {{"ATE0", {sim::send(sim::result("OK")), sim::hangup()}}};
	in_answer_wait.rules = {{"AT+CUSD=*",
	    {sim::send(sim::result("OK")), sim::pause(200), sim::hangup()}}};
	struct {
		const char *what;
		sim::options modem;
		std::string err;
	} cases[] = {
		{"in set-up", in_setup,
		    msgs({"at_wok...", "at_wok...", "PORT: unexpected end of file"})},
		{"in the answer wait", in_answer_wait,
		    setup + msgs({"at_wcusd...", "PORT: Input/output error"})},
	};
	for (auto &c : cases) {
		for (bool leader : {false, true}) {
			auto r = ussdq({"-t", "5", "-p", "PORT", "-u", "*100#"}, c.modem,
			    {.session_leader = leader});
			EXPECT_EQ(r.err, c.err) << c.what << (leader ? ", session leader" : "");
			EXPECT_EQ(r.status, 1) << c.what << (leader ? ", session leader" : "");
		}
	}
}

TEST(Situations, WaitsForALockedPortWithinTheTimeout)
{
	struct {
		std::vector<std::string> args;
		std::string err;
	} cases[] = {
		{{"-t", "1", "-p", "PORT", "-u", "*100#"}, timed_out},
		{{"-v", "-t", "1", "-p", "PORT", "-u", "*100#"},
		    msgs({"opening port PORT", "port opened", "waiting for PORT: in use"}) + timed_out},
	};
	for (auto &c : cases) {
		auto r = ussdq(c.args, answering(), {.port_locked = true});
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, c.err);
		EXPECT_EQ(r.status, 1);
		EXPECT_TRUE(r.sent.empty());
		EXPECT_GE(r.seconds, 1);
		EXPECT_LT(r.seconds, 2);
	}
}

// Runs that overlapped on one port took each other's "OK" and answers; each
// run must get the answer to its own request. An unlocked run is often
// lucky enough to get its own answer all the same, so the modem's side is
// checked too: while one run holds the port no other writes to it, and each
// run's dialogue reaches the modem whole. That catches a missing lock in a
// single round, where the answers alone would take several.
TEST(Situations, RunsAtOnceOnOnePortEachGetTheirOwnAnswer)
{
	const struct {
		std::string ussd, hex;
	} requests[] = {
		{"*100#", "aa180c3602"},
		{"*101#", "aa182c3602"},
		{"*102#", "aa184c3602"},
		{"*103#", "aa186c3602"},
	};
	std::vector<std::vector<std::string>> runs, dialogues;
	for (auto &q : requests) {
		runs.push_back({"-t", "20", "-p", "PORT", "-u", q.ussd});
		dialogues.push_back({"ATE0", "AT+CMGF=0", "AT+CSCS=\"IRA\"",
		    "AT+CUSD=1,\"" + q.hex + "\",15"});
	}
	sim::options echoing;
	echoing.answer_request = true;

	auto rs = ussdq_together(runs, echoing);
	for (std::size_t i = 0; i < rs.size(); i++) {
		EXPECT_EQ(rs[i].out, "buf=" + requests[i].hex + requests[i].ussd + "\n") << i;
		EXPECT_EQ(rs[i].err, quiet) << i;
		EXPECT_EQ(rs[i].status, 0) << i;
	}
	// The runs take the port in no set order.
	auto &sent = rs[0].sent;
	std::vector<std::vector<std::string>> received;
	for (std::size_t at = 0; at < sent.size(); at += 4)
		received.emplace_back(sent.begin() + static_cast<long>(at),
		    sent.begin() + static_cast<long>(std::min(at + 4, sent.size())));
	std::sort(received.begin(), received.end());
	std::sort(dialogues.begin(), dialogues.end());
	EXPECT_EQ(received, dialogues) << "the dialogues overlapped";

	// On a QMI or MBIM device, whose other holders are refused, a run that
	// waits for the lock has the device open too, and is none of them.
	for (const char *way : {"qmi", "mbim"}) {
		if (!built_in(way))
			continue;
		sim::options o;
		o.qmi = way[0] == 'q';
		o.mbim.on = !o.qmi;
		const std::vector<std::string> run{"-t", "20", "-m", way, "-p", "PORT", "-u", "*100#"};
		for (const auto &r : ussdq_together({run, run, run, run}, o)) {
			EXPECT_EQ(r.out, "Balance: 12.34 EUR, valid until 31.12.2026\n") << way;
			EXPECT_EQ(r.err, "") << way;
			EXPECT_EQ(r.status, 0) << way;
		}
	}
}

// Through ModemManager the modem's port is ModemManager's, and the runs
// queue for a lock file of their own instead: unlocked, ModemManager
// refuses a request while another is out, and one that comes while a menu
// waits is taken as that menu's reply.
TEST(Situations, RunsAtOnceThroughModemManagerEachGetTheirOwnAnswer)
{
	SKIP_UNLESS_BUILT_IN("mm");
	if (access("/var/lock", W_OK) != 0)
		GTEST_SKIP() << "/var/lock cannot be written";
	private_bus bus;
	ASSERT_TRUE(bus.ok());
	bus.make_system_bus();
	sim::options o;
	o.bus = bus.address();
	const std::string balance = "Balance: 12.34 EUR, valid until 31.12.2026\n",
	    menu = "1 Balance\n2 Bundles\n";
	std::vector<std::vector<std::string>> runs;
	for (int i = 0; i < 8; i++)
		runs.push_back({"-m", "mm", "-u", i % 2 ? "*100#" : "*111#"});
	auto rs = ussdq_together(runs, o);
	for (std::size_t i = 0; i < rs.size(); i++) {
		EXPECT_EQ(rs[i].out, i % 2 ? balance : menu) << i;
		EXPECT_EQ(rs[i].err, "") << i;
		EXPECT_EQ(rs[i].status, 0) << i;
	}

	// The lock is the file named after the modem's primary port; while
	// another holds it, a run waits within its timeout.
	shared_modem modem(o);
	const std::string pty = modem.run({"-m", "mm", "-u", "*100#"}).port;
	const std::string lock = "/var/lock/ussdq-" + pty.substr(pty.rfind('/') + 1) + ".lock";
	const int holder = open(lock.c_str(), O_RDONLY | O_CLOEXEC);
	ASSERT_GE(holder, 0) << lock;
	ASSERT_EQ(flock(holder, LOCK_EX), 0);
	auto r = modem.run({"-v", "-t", "1", "-m", "mm", "-u", "*100#"});
	close(holder);
	EXPECT_NE(r.err.find(": in use\n"), std::string::npos) << r.err;
	EXPECT_TRUE(r.err.ends_with(": Operation timed out\n")) << r.err;
	EXPECT_GE(r.seconds, 1);
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "");
}

TEST(Situations, AReaderThatWentAwayIsAFailure)
{
	struct {
		const char *what;
		sim::options modem;
		run_options run;
		std::string out, err;
		int status;
	} cases[] = {
		{"stdout", answering(), {.stdout_gone = true}, "",
		    quiet + msgs({"stdout: Broken pipe"}), 1},
		{"stderr", answering(), {.stderr_gone = true}, answer_line, "", 0},
		{"stderr, timeout", silent(), {.stderr_gone = true}, "", "", 1},
	};
	for (auto &c : cases) {
		auto r = ussdq({"-t", "1", "-p", "PORT", "-u", "*100#"}, c.modem, c.run);
		EXPECT_EQ(r.out, c.out) << c.what;
		EXPECT_EQ(r.err, c.err) << c.what;
		EXPECT_EQ(r.status, c.status) << c.what;
	}
}

TEST(Situations, ClosedStandardDescriptorsKeepOffThePort)
{
	struct {
		const char *what;
		std::vector<int> closed;
		sim::options modem;
		std::string out, err;
		int status;
		std::vector<std::string> sent;
	} cases[] = {
		{"stdout", {1}, answering(), "", quiet + msgs({"stdout: Bad file descriptor"}), 1,
		    dialogue},
		{"stderr", {2}, answering(), answer_line, "", 0, dialogue},
		{"stderr, timeout", {2}, silent(), "", "", 1, {"ATE0"}},
		{"stdout and stderr", {1, 2}, answering(), "", "", 1, dialogue},
		{"all three", {0, 1, 2}, answering(), "", "", 1, dialogue},
	};
	for (auto &c : cases) {
		auto r = ussdq({"-t", "1", "-p", "PORT", "-u", "*100#"}, c.modem, {.closed = c.closed});
		EXPECT_EQ(r.out, c.out) << c.what;
		EXPECT_EQ(r.err, c.err) << c.what;
		EXPECT_EQ(r.status, c.status) << c.what;
		EXPECT_EQ(r.sent, c.sent) << c.what;
	}
}

TEST(Situations, ABlockedAlarmStillEndsTheRun)
{
	auto r = ussdq({"-t", "1", "-p", "PORT", "-u", "*100#"}, silent(), {.block_alarm = true});
	EXPECT_EQ(r.err, msgs({"at_wok..."}) + timed_out);
	EXPECT_EQ(r.status, 1);
	// A second for the watchdog, a second more for the result of ATE0.
	EXPECT_GE(r.seconds, 2);
	EXPECT_LT(r.seconds, 3);
}

}
