// A fake GSM modem on a pseudo-terminal.
//
// The modem keeps the controlling side of a pty pair open and serves the
// device side's path, so the tool (or any AT client) can open it like a
// serial port. It behaves like a plain modem: whatever precedes "AT" on a
// line is skipped, command lines are echoed until ATE0, and a line may hold
// several commands (basic ones run together, extended ones separated by
// ';'). It answers the usual set-up, identification and status queries,
// keeps the character set chosen by AT+CSCS, and answers unknown commands
// with "OK". AT+CUSD=1,"<request>"[,<dcs>] gets "OK" and then the answer
// text: with the character set "UCS2" as +CUSD: 0,"<UCS2 hex>",72, with any
// other as +CUSD: 0,"<hex>",15 packed as septets, or as plain text when the
// request came as plain text rather than hex. With answer_request the answer
// text is the request itself; with answer_dcs it is coded in that data
// coding scheme. Requests are read as the tool reads answers under -d: by
// their scheme, through the GSM alphabet by default, into UTF-8.
//
// Tests script single exchanges with rules: the first unused rule whose
// command matches a received command line is used (once) instead of the
// built-in answer.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace sim {

struct argument;
struct command;

struct step {
	enum kind { send, pause, hangup } what;
	std::string bytes;	// send: written as they are
	int ms = 0;		// pause: milliseconds; send: pause between bytes when > 0
};

step send(std::string bytes);
step send_slowly(std::string bytes, int ms_per_byte);
step pause(int ms);
step hangup();			// close the controlling side: the device hangs up

// A result line framed as a modem in verbose mode sends it: CR LF text CR LF.
std::string result(std::string_view text);

struct rule {
	std::string command;	// from "AT" on, e.g. "AT+CMGF=0"; a final '*' matches any rest
	std::vector<step> steps;	// empty: the modem stays silent
};

struct options {
	bool raw = true;	// false: leave the usual terminal settings (echo, CR/NL mapping)
	bool echo = true;	// echo command lines until ATE0
	std::string answer = "Balance: 12.34 EUR, valid until 31.12.2026";
	// true: the answer carries the request as the network read it (as traced
	// after "USSD "), coded as answer would be, so that tests can tell whose
	// answer is whose when several clients share the modem.
	bool answer_request = false;
	// >= 0: the answer (UTF-8) goes out coded in this data coding scheme,
	// whatever the character set, as +CUSD: 0,"<hex>",<answer_dcs>; -1: as
	// described at the top.
	int answer_dcs = -1;
	std::string stale;	// written to the device before anyone opens it
	std::vector<rule> rules;
	int vmin = -1;		// >= 0: c_cc[VMIN] of the device side
	int vtime = -1;		// >= 0: c_cc[VTIME] of the device side, in tenths of a second
	std::vector<std::string> charsets;	// offered by AT+CSCS; empty: all it knows
	// Called on the serving thread with each command line received ("< ..."),
	// each answer sent ("> ..." with CR and LF written as \r and \n) and each
	// USSD request as the network would read it ("USSD ...").
	std::function<void(const std::string &)> trace;
};

class modem {
public:
	explicit modem(options opts);	// opens the pty; throws std::runtime_error on failure
	~modem();			// stops serving and closes the pty
	modem(const modem &) = delete;
	modem &operator=(const modem &) = delete;

	const char *path() const;	// the device side, e.g. "/dev/pts/3"
	void start();			// serve on a background thread until stop()
	void stop();
	bool serve(int timeout_ms);	// serve what arrives within timeout_ms; false once hung up
	std::vector<std::string> received() const;	// command lines, from "AT" on

private:
	// modem.cpp: the glue
	void handle(const std::string &line);
	void perform(const std::vector<step> &steps);
	void say(std::string_view bytes);
	void trace(std::string_view what, std::string_view bytes);

	// answers.cpp: what the commands do
	void answer(const std::string &cmd);
	int basic(const command &cmd, std::vector<std::string> &info);
	int extended(const command &cmd, std::vector<std::string> &info, std::string &after);
	int ussd(const std::vector<argument> &args, std::string &after);
	void reset();

	// device.cpp: the pseudo-terminal
	void open_pty();
	bool receive(int timeout_ms, std::vector<std::string> &lines);
	bool echoed(const std::string &cmd);
	void put(std::string_view bytes);
	void note_echo(std::string_view bytes);
	void drain();
	void hang_up();
	void nap(int ms);
	void close_pty();

	options opts_;
	int master_ = -1;
	int slave_ = -1;	// held open so stale input survives and the master never sees EIO
	std::string path_;
	std::string pending_;	// bytes of the line being received
	bool overlong_ = false;	// pending_ overflowed: drop the rest of the line
	std::string sent_line_;	// bytes of the line being sent, while the device echoes
	std::vector<std::string> echoes_;	// sent command lines the device will echo back
	bool echo_;
	bool verbose_ = true;	// ATV: result codes as words, not digits
	bool quiet_ = false;	// ATQ1: no result codes
	int cmee_ = 0;
	int cusd_ = 0;
	int cmgf_ = 0;
	std::string charset_ = "IRA";
	bool hung_up_ = false;
	std::vector<bool> used_;
	mutable std::mutex mutex_;
	std::vector<std::string> received_;
	std::atomic<bool> stop_{false};
	std::thread thread_;
};

}
