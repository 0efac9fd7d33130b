// Runs the built tool against the fake modem and captures its standard
// output, standard error and exit status. "PORT" in the arguments stands
// for the modem's device path, and the device path in standard error is
// written back as "PORT".
//
// USSDQ_TEST_TOOL names another build of the tool to run, and
// USSDQ_TEST_RUNNER a command (words split at spaces) to run it with, such
// as an emulator; the tool's own name is passed as argv[0] either way.
// USSDQ_TEST_LIBC names the C library that build uses, glibc (the default)
// or musl: expected messages are written in glibc's words, and msgs() puts
// the system errors and getopt's complaints in musl's when it is musl.
#pragma once

#include <algorithm>

#include <csignal>
#include <initializer_list>
#include <sys/types.h>
#include <string>
#include <vector>

#include "sim/modem.hpp"

struct outcome {
	std::string out, err;
	int status = -1;
	double seconds = 0;
	std::vector<std::string> sent;	// command lines the modem received
	std::string port;		// the modem's device path
};

// How the tool is started. By default it is not a session leader, its
// standard input is /dev/null, standard output and standard error are pipes
// read to the end, and no signal is blocked or ignored.
struct run_options {
	const char *stdout_path = nullptr;	// instead of a pipe
	const char *stderr_path = nullptr;	// the same for standard error
	int alarm_after_ms = -1;	// send a signal from outside after this long
	int signal = SIGALRM;		// the signal sent then
	bool session_leader = false;	// in a session of its own, with no controlling terminal
	std::vector<int> closed{};	// standard descriptors it starts without
	bool stdout_gone = false;	// standard output a pipe whose reader has gone
	bool stderr_gone = false;	// the same for standard error
	bool block_alarm = false;	// SIGALRM blocked, as a parent may leave it
	bool port_locked = false;	// another open of the port holds its flock throughout
	bool port_exclusive = false;	// the port has its exclusive flag (TIOCEXCL) set throughout
	// Another program ("sleep") has the port open throughout; its pid in
	// standard error is written back as "PID".
	bool port_held = false;
	// The tool's own name, argv[0], in place of "ussdq" (not under a runner).
	std::string name = "ussdq";
};

outcome ussdq(std::vector<std::string> args, sim::options opts = {},
    run_options run = {});

// Whether the tool under test has the mode built in, as its -V says. The
// tests of a mode that a build leaves out skip, and say so.
bool built_in(const std::string &mode);
#define SKIP_UNLESS_BUILT_IN(mode) \
	if (!built_in(mode)) \
		GTEST_SKIP() << "mode " << (mode) << " is not built in"

// Runs the tool once for each list of arguments, all started at once on the
// one modem; the outcomes in the same order, each with all the modem received.
std::vector<outcome> ussdq_together(const std::vector<std::vector<std::string>> &runs,
    sim::options opts = {});

// Runs the tool once for each pair of arguments and modem, each on a modem
// of its own, several at a time: the runs of a table are independent and
// spend most of their time waiting. With network, also the requests as
// each network read them.
std::vector<outcome> run_all(const std::vector<std::pair<std::vector<std::string>, sim::options>> &runs,
    std::vector<std::vector<std::string>> *network = nullptr);

// One modem for several runs in turn, keeping what a run leaves behind: a
// session waiting, an answer or a result still due.
class shared_modem {
public:
	explicit shared_modem(sim::options o);
	~shared_modem();
	// One run; sent holds what the modem received since the run before.
	outcome run(std::vector<std::string> args, run_options run = {});
	std::vector<std::string> received() const { return modem_.received(); }
	const sim::modem &device() const { return modem_; }

private:
	bool bus_;	// the modem is on a bus too
	sim::modem modem_;
	std::size_t seen_ = 0;
};

std::string replace(std::string s, const std::string &from, const std::string &to);

// Whether a case that sets the port's exclusive flag cannot be run: under
// qemu-user, which does not pass TIOCGEXCL on to the kernel, the tool
// cannot see the flag. Says so on standard output as "NOT RUN", which
// .ci/tool-tests repeats.
bool exclusive_flag_unseen(const std::string &what);

// Each message as warnx prints it, in the words of the tool's C library.
std::string msgs(std::initializer_list<std::string> lines);

inline const std::string usage_line =
    "usage: ussdq [-djkv] [-m MODE] [-p PORT] [-r REPLY] [-s SCHEME] [-t TIMEOUT] -u USSD\n"
    "       ussdq -c [-v] [-m MODE] [-p PORT] [-t TIMEOUT]\n"
    "       ussdq -l [-jv] [-m MODE] [-t TIMEOUT] [PORT ...]\n"
    "       ussdq -h | -V\n";
inline const std::string quiet = msgs({"at_wok...", "at_wok...", "at_wok...",
    "at_wcusd...", "at_wcusd: done"});
inline const std::string setup = msgs({"at_wok...", "at_wok...", "at_wok..."});
inline const std::string timed_out = "ussdq: PORT: Operation timed out\n";
// Whether the tool asks a modem why its request failed: every build but
// the tiny one.
inline constexpr bool why_built_in = USSDQ_WITH_WHY != 0;
#define SKIP_UNLESS_WHY_BUILT_IN() \
	if (!why_built_in) \
		GTEST_SKIP() << "the questions of a failed run are not built in"
// What a modern run whose request failed asks an AT modem of itself, in
// order, where each question is answered as usual.
inline const std::vector<std::string> why_questions = why_built_in ? std::vector<std::string>{
    "AT+CFUN?", "AT+CPIN?", "AT+CREG?", "AT+CEREG?", "AT+C5GREG?", "AT+COPS?"} :
    std::vector<std::string>{};
// The commands a run sent before those questions.
inline std::vector<std::string> before_why(std::vector<std::string> sent)
{
	const std::size_t n = why_questions.size();
	if (n > 0 && sent.size() >= n && std::equal(why_questions.begin(), why_questions.end(),
	    sent.end() - static_cast<long>(n)))
		sent.resize(sent.size() - n);
	return sent;
}

// ---- The private bus, for the tests of ModemManager's side ----

// A dbus-daemon of the tests' own (tests/bus.conf) listening on a socket in
// a temporary directory, for as long as the object lives, and killed with
// the process that started it. A missing or failing dbus-daemon fails the
// test that wanted it: check ok().
class private_bus {
public:
	private_bus();
	~private_bus();
	private_bus(const private_bus &) = delete;
	private_bus &operator=(const private_bus &) = delete;

	bool ok() const { return pid_ > 0; }
	const std::string &address() const { return address_; }
	void stop();		// the daemon goes, and every connection with it
	// DBUS_SYSTEM_BUS_ADDRESS names this bus in this process and the ones
	// it starts, until the object goes.
	void make_system_bus();

private:
	pid_t pid_ = -1;
	std::string dir_, address_;
	bool exported_ = false;
};

// Runs a program (a standard D-Bus client such as busctl) and captures it
// as ussdq() does the tool; out and err are bytes as it wrote them.
outcome run_client(const std::vector<std::string> &argv);
