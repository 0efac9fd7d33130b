// Process-wide settings of ussdq and the run sequence that reads them.
//
// The settings are written only while the command line is parsed and are
// read everywhere after; the other directories include this header for them
// and for the size of the work buffer.
#pragma once

#include <stddef.h>
#include <stdint.h>

extern "C" char *__progname;	// the C library's short program name

/* settings.cpp */
extern const char *port;		// serial device of the modem
extern int32_t timeout;		// watchdog, seconds; 0: none
extern int verbose;			// 1 after -v
extern int decode;			// 1 after -d: UTF-8 in, decoded answer out
extern const char *ussd;		// the request text, required

inline constexpr size_t work_buf_size = 1024;

/* startup.cpp */
void safe_start();		// standard descriptors open, SIGPIPE ignored

/* run.cpp */
[[noreturn]] void usage();
void read_options(int argc, char *argv[]);
int run();

/* watchdog.cpp */
[[noreturn]] void timeout_handler(int signo);
void unblock_alarm();		// undo a SIGALRM blocked by whoever started us
