// The modem link: one serial device, opened once, read and written as lines
// of AT commands and result codes through two stdio streams over the same
// descriptor. Every failure here ends the process with status 1.
#pragma once

#include <signal.h>
#include <stddef.h>
#include <stdio.h>

#include "front/settings.hpp"

struct utf8_out;

/* port.cpp */
extern int modem_fd;			// the open device
extern FILE *modem_in;			// read side of modem_fd
extern FILE *modem_out;			// write side of modem_fd
// Opens and locks the port and drops stale input. Only canonical input is
// switched off, or under -d the port is set raw.
void port_setup();

/* lines.cpp */
// One line read from the modem into a buffer of the caller's, cut at its
// line ending as strip_crlf cuts it, shown after -v as "who: got ...".
struct line_read {
	size_t len;	// of the whole line, line ending left out
	bool cut;	// longer than the buffer: only its start is there
};
line_read at_line(char *buf, size_t size, const char *who);
// The same from any stream; false at its end or on a read error, also in
// the middle of a line.
bool read_line(FILE *in, char *buf, size_t size, line_read *got);
void strip_crlf(char *line);		// cut line at its CR, then at its LF
[[noreturn]] void lost_modem();		// end of input or read error on modem_in
// ERROR, +CME ERROR: or +CMS ERROR: - a command refused.
bool is_refusal(const char *line);

/* at.cpp */
void at_command(const char *cmd);	// send cmd and CR LF
// Sends a USSD request: from now on the network may answer, so a run that
// gives up must end the session, or the answer would reach the next run.
void at_request(const char *cmd);
extern volatile sig_atomic_t request_out;
// Sends cmd, waits for "OK", pauses 100 ms. Under -d a refusal ends the run.
void at_wok(const char *cmd);
// Sends a query and reads to its final result, the information lines
// joined by LF into info; false when the modem refused it.
bool at_ask(const char *cmd, char *info, size_t size);
// AT+CUSD=2, then lines up to OK or a refusal (no session open).
void at_end_session();

/* cusd.cpp */
enum class cusd_line { other, answer, bad, too_long };
// An answer's quoted text goes to dest, its data coding scheme to dcs.
cusd_line cusd_take(const char *line, char *dest, size_t size, int *dcs);
int at_wcusd(char *dest);		// wait for "+CUSD: ", quoted text to dest; the scheme

// The answer as -d reads it: +CUSD: <m>[,"<str>"[,<dcs>]], the text
// perhaps over several lines.
struct cusd_answer {
	int status;	// <m>, 0 to 5
	bool has_text;
	int dcs;	// 15 when none came
	char *text;	// the quoted text as it came, NUL-terminated
	size_t len;
	size_t size;	// room for text and its NUL
};
enum class cusd_part { other, whole, open, bad, too_long };
cusd_part cusd_begin(const char *line, cusd_answer *a);	// the +CUSD: line
cusd_part cusd_go_on(const char *line, cusd_answer *a);	// a line of an open text
// Waits for the answer into a; false, with the line in refusal, when the
// modem refused the request instead.
bool at_wanswer(cusd_answer *a, char *refusal, size_t size);
// Ends the run with a message unless a is an answer with text to print.
void cusd_accept(const cusd_answer *a);

/* travel.cpp */
// How a request and its answer travel in each mode but auto.
struct travel {
	const char *name;
	const char *charset;	// the set-up command choosing its character set
	const char *(*code)(const char *text, char *dest, size_t size);
	bool (*read)(const char *text, int dcs, utf8_out *out);
};
const travel *travel_of(mode_name m);
mode_name ask_mode();			// what the modem says it takes
