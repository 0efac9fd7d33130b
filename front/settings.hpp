// Process-wide settings of ussdq and the run sequence that reads them.
//
// The settings are written only while the command line is parsed and are
// read everywhere after; the other directories include this header for them.
#pragma once

#include <stddef.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>

extern "C" char *__progname;	// the C library's short program name

struct mode_ops;

inline constexpr size_t max_replies = 16;

/* settings.cpp */
extern const char *port;		// serial device of the modem
extern int32_t timeout;		// watchdog, seconds; 0: none
extern int verbose;			// 1 after -v
// 1 for the modern run, which -d or any option beyond -p, -u, -t and -v
// asks for: the answer decoded to UTF-8, refusals and statuses read, the
// port set raw. 0 is the classic run.
extern int modern;
// The mode the run starts in: -m's, packed unless given; the classic run's
// own in the classic run.
extern const mode_ops *mode;
extern const char *ussd;		// the request text, required but for -c
extern const char *replies[max_replies];	// -r, in order
extern size_t reply_count;
extern int keep;			// 1 after -k: a waiting session is left open
extern int json;			// 1 after -j
extern int cancel;			// 1 after -c: end the session, nothing else
extern int list;			// 1 after -l: list the modems, nothing else
extern char *const *operands;		// -l's operands
extern size_t operand_count;
extern int scheme;			// -s: every answer read as this scheme; -1: as said
extern bool port_given;			// -p was given
extern bool timeout_given;		// -t was given

/* startup.cpp */
void safe_start();		// standard descriptors open, SIGPIPE ignored

/* run.cpp */
[[noreturn]] void usage();
void read_options(int argc, char *argv[]);
int run();

/* list.cpp */
int list_modems();		// -l

/* conversation.cpp */
// The state of the run, in this one place, which alone writes it: the mode
// it is in (mode, or the one auto chose or fell back to), and whether a
// request is out, whose session must be ended on the way out.
extern const mode_ops *volatile run_mode;
extern volatile sig_atomic_t request_out;
// The name messages give the modem in mode m (null: none yet): port, or the
// one m goes by. Async-signal-safe.
const char *modem_name(const mode_ops *m);
int converse();			// the run: request, replies, session end, answer
// On every way out of a run, from exit, the watchdog and the handlers: a
// session that may be open is ended and what the mode took given back,
// once. Async-signal-safe.
void give_back();
// Ends a run whose request failed at the network's side (refused, status 4
// or 5, no answer), its message said: in a modern run where no answer has
// come (first), the session is ended and the modem asked why.
[[noreturn]] void network_failed(bool first);
// Until when a mode waits for the network's answer (now_ms's clock; -1:
// only the watchdog ends the wait); past it, answer_overdue ends the run.
extern int64_t answer_deadline;
[[noreturn]] void answer_overdue();

/* output.cpp */
struct utf8_out;
struct ussd_answer;
void print_classic(char *buf);		// buf= and the hex, then decira over it
void print_text(const utf8_out *text);	// the decoded answer and a line feed
// n bytes of UTF-8 text on the standard output, its control characters but
// LF and TAB shown as U+FFFD when that is a terminal.
void put_shown(const char *s, size_t n);
// Text of the device's inside a message on the standard error, its control
// characters shown as put_shown shows them when that is a terminal, in a
// modern run: a copy, cut at 4 KiB, that the next call overwrites, or s.
const char *shown(const char *s);
// -j: the answer as one line of JSON.
void print_json(const ussd_answer *a, const utf8_out *text, const char *mode, bool kept);
// n bytes of s as a JSON string: UTF-8, or each byte the ISO 8859-1
// character of that number.
void json_string(const char *s, size_t n, bool latin1);
void finish_output();			// a lost answer is a failure

/* watchdog.cpp */
[[noreturn]] void timeout_handler(int signo);
// The watchdog armed for the whole run; SIGTERM, SIGINT, SIGHUP and a
// failure end a session that may be open before the run ends.
void arm_watchdog();
void unblock_alarm();		// undo a SIGALRM blocked by whoever started us
// signo handled by handler (or SIG_DFL, SIG_IGN), the signals that end a
// run blocked while it runs.
void catch_signal(int signo, void (*handler)(int));
