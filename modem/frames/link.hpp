// The modem link: one serial device, opened once, written a line of an AT
// command at a time and read back one line at a time straight from the
// descriptor, so that nothing read lies in a buffer where a signal
// handler could not see it. Every failure here ends the process with
// status 1.
#pragma once

#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "front/settings.hpp"

struct utf8_out;

/* port.cpp */
// How the port is talked to: the classic run's rules, or the modern ones of
// -d and every newer option. The run's mode sets up the port with one; the
// readers and waits below take their rules from it and from nowhere else.
struct dialogue {
	bool raw;	// the port set raw; else only canonical input is switched off
	bool inner_cr;	// a line keeps the CRs inside it; else it is cut at the first
	bool strict;	// a refusal ends a wait; else only "OK" ends a command's
	bool pauses;	// 100 ms after each set-up command
	// An answer is read whole (<m>, a text over several lines, the scheme);
	// else only its first quoted text and whether <m> is 1, and the lines
	// after it go unshown.
	bool whole;
};
inline constexpr dialogue classic_dialogue = {false, false, false, true, false};
inline constexpr dialogue modern_dialogue = {true, true, true, false, true};
extern const dialogue *dlg;		// the one the port was set up with

extern int modem_fd;			// the open device
// Opens and locks the port, sets it up as d says and drops stale input.
// A port in exclusive use by another program ends the run; so does one
// that is no terminal, in the modern dialogue, unless the kernel says it
// speaks AT. Unless told to wait, a port
// whose lock another run holds is not waited for: false, as for one in
// exclusive use.
bool port_setup(const dialogue *d, bool wait);
// An exclusive lock on fd, the port's or a lock file's, waited for if told
// so; false when it is held elsewhere and not waited for. One that cannot
// be had at all is gone without, as said under -v.
bool lock_port(int fd, bool wait);
bool port_in_exclusive_use(const char *path);	// another program's, by TIOCEXCL
// Opens and locks a device of frames (QMI, MBIM); false, unless told to
// wait, when another run holds its lock.
bool device_setup(bool wait);
// A run's set-up of an AT port: opened as port_setup(d, true) does, echo
// and the SMS text mode off.
void at_open(const dialogue *d);

/* lines.cpp */
struct line_read {
	size_t len;	// of the whole line, line ending left out
	bool cut;	// longer than the buffer: only its start is there
	size_t crs;	// CRs dropped from its end, before the LF
};
enum class next_line { line, end, late };
int64_t now_ms();			// a monotonic clock; deadlines are in it
// A byte, or one of these: the input ended, or nothing came by the deadline.
inline constexpr int end_byte = -1, late_byte = -2;
using byte_source = int (*)(int64_t deadline);
// One line up to its LF into buf, cut at its line ending as d cuts it. A
// line that the end of input cuts short is no line: end.
next_line read_line(byte_source get, const dialogue *d, int64_t deadline, char *buf,
    size_t size, line_read *got);
// Where a wait takes its lines from: the modem, or anything else that
// hands out lines as read_line does.
using line_source = next_line (*)(char *buf, size_t size, int64_t deadline, line_read *got);
next_line modem_line(char *buf, size_t size, int64_t deadline, line_read *got);
void strip_crlf(char *line);		// cut line at its CR, then at its LF
[[noreturn]] void lost_modem();		// end of input or read error on the port
[[noreturn]] void lost_port(int error);	// error's (errno), or the end of input where 0
// ERROR, +CME ERROR: or +CMS ERROR: - a command refused.
bool is_refusal(const char *line);

/* at.cpp */
// One command's lines read up to its final result. Each line that is not
// the final result goes back to the caller; so do the lines of an answer's
// text, which nothing in them ends.
struct at_exchange {
	const char *who;	// under -v each line is shown as "who: got ..."
	line_source src;
	bool quiet;		// no line is shown
	bool text_open;		// the lines are an answer's text
	int64_t deadline;	// -1: none
	next_line end;		// why at_next last gave false
};
void at_begin(at_exchange *x, const char *who, line_source src);
// The next line into buf: true for a line the caller wants; false at the
// final result (in buf, x->end line), at the end of input (end) or past the
// deadline (late).
bool at_next(at_exchange *x, char *buf, size_t size, line_read *got);
bool is_final(const char *line);	// OK, a refusal, NO CARRIER and the like
// The final results still to come for the commands sent: the signal
// handlers read them too.
extern volatile sig_atomic_t results_owed;
// After an answer, its request's final result if it is still to come, for
// at most 1 s, so that a modem that never sends it costs a second.
void at_settle(at_exchange *x, char *buf, size_t size);
// The final results still owed read away, for at most 1 s. Async-signal-safe.
void at_drain_now();
// Ends a session that may be open, from a handler or on the way out of a
// failed run: AT+CUSD=2, then at_drain_now. Async-signal-safe.
void at_end_session_now();

void at_command(const char *cmd);	// send cmd and CR LF
// Sends a USSD request, coded as its mode wants, as AT+CUSD=1,"<coded>",15:
// from now on the network may answer, so a run that gives up must end the
// session, or the answer would reach the next run.
void at_request(const char *coded);
// Sends cmd and waits for "OK"; classic runs pause 100 ms after it. Under
// -d a refusal ends the run.
void at_wok(const char *cmd);
// Sends a query and reads to its final result, the information lines
// joined by LF into info; false when the modem refused it.
bool at_query(const char *cmd, char *info, size_t size);
// AT+CUSD=2, then lines up to OK or a refusal (no session open), limited
// to 1 s or under the watchdog alone; false when it came to nothing.
bool at_end_session(bool limited);
