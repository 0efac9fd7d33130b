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
// The answer under -d, with the CRs that ended its lines.
static char answer_buf[2 * work_buf_size];
static char decoded_buf[decoded_buf_size];	// the answer under -d
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

static mode_name
parse_mode(const char *arg)
{
	static constexpr struct {
		const char *name;
		mode_name m;
	} modes[] = {
		{"packed", mode_name::packed}, {"text", mode_name::text},
		{"ucs2", mode_name::ucs2}, {"auto", mode_name::automatic},
	};

	for (const auto &m : modes)
		if (strcmp(arg, m.name) == 0)
			return m.m;
	errx(1, "invalid mode: %s", arg);
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

static void
send_request(const travel *way, const char *text)
{
	char coded[work_buf_size];

	way->code(text, coded, sizeof coded);
	snprintf(cmd_line, sizeof cmd_line, "AT+CUSD=1,\"%s\",15", coded);
	at_request(cmd_line);
}

// Whether the request and every reply can go the way given; why not.
static const char *
refusal_of(const travel *way)
{
	char coded[work_buf_size];
	const char *why = way->code(ussd, coded, sizeof coded);

	for (size_t i = 0; why == nullptr && i < reply_count; i++)
		why = way->code(replies[i], coded, sizeof coded);
	return why;
}

static const travel *
set_mode(mode_name m)
{
	const travel *way = travel_of(m);

	if (verbose && mode == mode_name::automatic)
		warnx("mode: %s", way->name);
	return way;
}

// An answer that does not wait for a reply has ended its session.
static void
took(const cusd_answer *answer)
{
	if (answer->status != 1)
		request_out = 0;
	cusd_accept(answer);
}

// The answer's text with its lines joined by LF alone, whatever the modem
// ended them with, into out (work_buf_size bytes).
static void
lf_joined(const char *text, char *out)
{
	size_t n = 0;

	for (size_t i = 0; text[i] != '\0'; i++) {
		if (text[i] == '\r' && text[i + strspn(text + i, "\r")] == '\n')
			continue;
		out[n++] = text[i];
	}
	out[n] = '\0';
}

// Sends a request or a reply and takes its answer. A modem that auto found
// to offer UCS2 may still refuse requests in it; the first request then
// goes once more as text, where it can.
static void
ask(const travel **way, const char *text, cusd_answer *answer, bool first)
{
	char refusal[256];

	send_request(*way, text);
	if (at_wanswer(answer, refusal, sizeof refusal)) {
		took(answer);
		return;
	}
	if (first && mode == mode_name::automatic && *way == travel_of(mode_name::ucs2) &&
	    refusal_of(travel_of(mode_name::text)) == nullptr) {
		*way = set_mode(mode_name::text);
		at_wok((*way)->charset);
		send_request(*way, text);
		if (at_wanswer(answer, refusal, sizeof refusal)) {
			took(answer);
			return;
		}
	}
	errx(1, "%s: request refused: %s", port, refusal);
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
	// Armed before the open, which may block waiting for carrier.
	arm_watchdog();

	port_setup(decode ? &modern_dialogue : &classic_dialogue);
	at_wok("ATE0");
	at_wok("AT+CMGF=0");
	if (!decode)
		return classic();
	if (cancel) {
		at_wok("AT+CSCS=\"IRA\"");
		at_end_session(false);
		return 0;
	}

	const travel *way = set_mode(mode == mode_name::automatic ? ask_mode() : mode);
	at_wok(way->charset);
	if (const char *why = refusal_of(way))
		errx(1, "%s", why);

	cusd_answer answer = {-1, false, 15, answer_buf, 0, sizeof answer_buf, 0};
	ask(&way, ussd, &answer, true);
	for (size_t i = 0; i < reply_count; i++) {
		if (answer.status != 1)
			errx(1, "%s: session ended before reply %s", port, replies[i]);
		ask(&way, replies[i], &answer, false);
	}
	// A session left waiting would take the next request on this modem,
	// whoever sends it, for the answer to its menu. The answer is printed
	// even when the modem does not confirm the end.
	const bool kept = answer.status == 1 && keep;
	if (answer.status == 1 && !keep && !at_end_session(true))
		warnx("%s: session end not confirmed", port);
	alarm(0);

	lf_joined(answer_buf, work_buf);
	if (verbose)
		warnx("decira: buf = \"%s\"", work_buf);
	utf8_out text = {decoded_buf, sizeof decoded_buf, 0};
	if (!way->read(work_buf, answer.dcs, &text))
		errx(1, "cannot read compressed answer (data coding scheme %d)", answer.dcs);
	if (json)
		print_json(&answer, &text, way->name, kept);
	else
		print_text(&text);
	finish_output();
	// Only a printed answer may leave its session open.
	request_out = 0;
	return 0;
}
