#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <err.h>
#include <unistd.h>

#include "coding/charsets.hpp"
#include "coding/septets.hpp"
#include "front/settings.hpp"
#include "modem/link.hpp"

static char work_buf[work_buf_size];
static char decoded_buf[decoded_buf_size];	// the answer under -d
static char *cmd_line;

void
usage()
{
	fprintf(stderr, "usage: %s [-dv] [-p PORT] [-t TIMEOUT] -u USSD\n",
	    __progname);
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

void
read_options(int argc, char *argv[])
{
	int ch;

	while ((ch = getopt(argc, argv, "dp:u:t:v")) > 0) {
		switch (ch) {
		case 'p':
			port = optarg;
			break;
		case 'u':
			ussd = optarg;
			break;
		case 't':
			timeout = parse_timeout(optarg);
			break;
		case 'v':
			verbose = 1;
			break;
		case 'd':
			decode = 1;
			break;
		default:
			usage();
		}
	}
	if (optind < argc)
		usage();
	if (ussd == nullptr)
		usage();
}

// The request as it goes into the AT+CUSD command.
static void
code_request(const char *text, char *dest)
{
	const char *why = decode ? gsm_pack(text, dest, work_buf_size) :
	    septet_pack(text, dest, work_buf_size);
	if (why != nullptr)
		errx(1, "%s", why);
}

int
run()
{
	// Armed before the open, which may block waiting for carrier.
	signal(SIGALRM, timeout_handler);
	unblock_alarm();
	alarm(static_cast<unsigned>(timeout));

	port_setup();
	at_wok("ATE0");
	at_wok("AT+CMGF=0");
	at_wok("AT+CSCS=\"IRA\"");

	code_request(ussd, work_buf);
	if (asprintf(&cmd_line, "AT+CUSD=1,\"%s\",15", work_buf) < 0)
		err(1, "asprintf");
	at_request(cmd_line);
	const int dcs = at_wcusd(work_buf);
	alarm(0);

	if (verbose)
		warnx("decira: buf = \"%s\"", work_buf);
	if (decode) {
		utf8_out answer = {decoded_buf, sizeof decoded_buf, 0};
		if (!dcs_decode(work_buf, dcs, &answer))
			errx(1, "cannot read compressed answer (data coding scheme %d)", dcs);
		print_text(&answer);
	} else {
		print_classic(work_buf);
	}
	finish_output();
	return 0;
}
