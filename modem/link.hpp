// The modem link: one serial device, opened once, read and written as lines
// of AT commands and result codes through two stdio streams over the same
// descriptor. Every failure here ends the process with status 1.
#pragma once

#include <signal.h>
#include <stddef.h>
#include <stdio.h>

/* port.cpp */
extern int modem_fd;			// the open device
extern FILE *modem_in;			// read side of modem_fd
extern FILE *modem_out;			// write side of modem_fd
void port_setup();			// open and lock port, clear ICANON, drop stale input

/* lines.cpp */
// One line read from the modem into a buffer of the caller's, cut at its
// line ending as strip_crlf cuts it, shown after -v as "who: got ...".
struct line_read {
	size_t len;	// of the whole line, line ending left out
	bool cut;	// longer than the buffer: only its start is there
};
line_read at_line(char *buf, size_t size, const char *who);
void strip_crlf(char *line);		// cut line at its CR, then at its LF
[[noreturn]] void lost_modem();		// end of input or read error on modem_in

/* at.cpp */
void at_command(const char *cmd);	// send cmd and CR LF
// Sends a USSD request: from now on the network may answer, so a run that
// gives up must end the session, or the answer would reach the next run.
void at_request(const char *cmd);
extern volatile sig_atomic_t request_out;
void at_wok(const char *cmd);		// send cmd, wait for "OK", pause 100 ms

/* cusd.cpp */
enum class cusd_line { other, answer, bad, too_long };
// An answer's quoted text goes to dest, its data coding scheme to dcs.
cusd_line cusd_take(const char *line, char *dest, size_t size, int *dcs);
int at_wcusd(char *dest);		// wait for "+CUSD: ", quoted text to dest; the scheme
