#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <err.h>
#include <unistd.h>

#include "coding/charsets.hpp"
#include "coding/septets.hpp"
#include "front/settings.hpp"
#include "modem/link.hpp"

static char work_buf[work_buf_size];
// AT+CUSD=1,"<request>",15 for a request that fills the work buffer.
static char cmd_line[work_buf_size + 16];

void
usage()
{
	fprintf(stderr, "usage: %s [-djkv] [-m MODE] [-p PORT] [-r REPLY] [-t TIMEOUT] -u USSD\n"
	    "       %s -c [-v] [-p PORT] [-t TIMEOUT]\n", __progname, __progname);
	exit(1);
}

// A mistyped timeout must not silently turn the watchdog off, so only plain
// decimal digits within the range of the setting are taken.
static int32_t
parse_timeout(const char *arg)
{
	int32_t value = 0;

	if (*arg == '\0')
		errx(1, "invalid timeout: %s", arg);
	for (const char *p = arg; *p != '\0'; p++) {
		if (*p < '0' || *p > '9' || value > (INT32_MAX - (*p - '0')) / 10)
			errx(1, "invalid timeout: %s", arg);
		value = value * 10 + (*p - '0');
	}
	return value;
}

static const mode_ops *
parse_mode(const char *arg)
{
	const mode_ops *m = mode_named(arg);

	if (m == nullptr)
		errx(1, "invalid mode: %s", arg);
	return m;
}

void
read_options(int argc, char *argv[])
{
	int ch;
	bool modern = false;	// an option beyond the classic ones

	while ((ch = getopt(argc, argv, "cdjkm:p:r:t:u:v")) > 0) {
		switch (ch) {
		case 'c':
			cancel = 1;
			break;
		case 'd':
			decode = 1;
			break;
		case 'j':
			json = 1;
			modern = true;
			break;
		case 'k':
			keep = 1;
			modern = true;
			break;
		case 'm':
			mode = parse_mode(optarg);
			modern = true;
			break;
		case 'p':
			port = optarg;
			break;
		case 'r':
			if (reply_count == max_replies)
				errx(1, "too many replies (at most %zu)", max_replies);
			replies[reply_count++] = optarg;
			modern = true;
			break;
		case 't':
			timeout = parse_timeout(optarg);
			break;
		case 'u':
			ussd = optarg;
			break;
		case 'v':
			verbose = 1;
			break;
		default:
			usage();
		}
	}
	if (optind < argc)
		usage();
	if (cancel ? ussd != nullptr || modern : ussd == nullptr)
		usage();
	// The one place that decides between the classic dialogue and the
	// answer handling of -d: every option beyond the classic ones asks
	// for the latter.
	if (modern || cancel)
		decode = 1;
}

// The dialogue as it has always been: packed 7-bit codes, the answer's hex
// and its septets printed as they are.
static int
classic()
{
	at_wok("AT+CSCS=\"IRA\"");
	if (const char *why = septet_pack(ussd, work_buf, work_buf_size))
		errx(1, "%s", why);
	snprintf(cmd_line, sizeof cmd_line, "AT+CUSD=1,\"%s\",15", work_buf);
	at_request(cmd_line);
	// A menu stays open for the next request, as it always has; a failure
	// from here on still ends it.
	const bool waits = at_wcusd(work_buf);
	request_out = waits;
	alarm(0);

	if (verbose)
		warnx("decira: buf = \"%s\"", work_buf);
	print_classic(work_buf);
	finish_output();
	request_out = 0;
	return 0;
}

int
run()
{
	way = mode;
	// Armed before the open, which may block waiting for carrier.
	arm_watchdog();

	if (decode)
		return converse();
	port_setup(&classic_dialogue);
	at_wok("ATE0");
	at_wok("AT+CMGF=0");
	return classic();
}
