#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <err.h>
#include <unistd.h>

#include "front/settings.hpp"
#include "modem/modes.hpp"

static void
print_usage(FILE *f)
{
	static constexpr const char *forms[] = {
		" [-djkv] [-m MODE] [-p PORT] [-r REPLY] [-s SCHEME] [-t TIMEOUT] -u USSD\n",
		" -c [-v] [-m MODE] [-p PORT] [-t TIMEOUT]\n",
		" -l [-jv] [-m MODE] [-t TIMEOUT] [PORT ...]\n",
		" -h | -V\n",
	};
	const char *lead = "usage: ";

	for (const char *form : forms) {
		fputs(lead, f);
		fputs(__progname, f);
		fputs(form, f);
		lead = "       ";
	}
}

void
usage()
{
	print_usage(stderr);
	exit(1);
}

// A mistyped number must not silently turn the watchdog off or choose
// another scheme, so only plain decimal digits up to max are taken.
static int32_t
parse_number(const char *arg, int32_t max, const char *what)
{
	int32_t value = 0;

	if (*arg == '\0')
		errx(1, "invalid %s: %s", what, arg);
	for (const char *p = arg; *p != '\0'; p++) {
		if (*p < '0' || *p > '9' || value > (max - (*p - '0')) / 10)
			errx(1, "invalid %s: %s", what, arg);
		value = value * 10 + (*p - '0');
	}
	return value;
}

// A mode this build left out is refused at once, before anything else.
static const mode_ops *
parse_mode(const char *arg)
{
	const mode_ops *m = mode_named(arg);

	if (m == nullptr && mode_left_out(arg))
		errx(1, "mode %s is not built in", arg);
	if (m == nullptr)
		errx(1, "invalid mode: %s", arg);
	return m;
}

static void
print_version()
{
	printf("%s %s\nModes:", __progname, USSDQ_VERSION);
	for (const mode_ops *const *m = modes; *m != nullptr; m++)
		if ((*m)->named)
			printf(" %s", (*m)->name);
	putchar('\n');
}

// The options in the order given, each once.
static char given[32];

static void
note_given(int ch)
{
	const size_t n = strlen(given);

	if (strchr(given, ch) == nullptr && n < sizeof given - 1) {
		given[n] = static_cast<char>(ch);
		given[n + 1] = '\0';
	}
}

// The options that only set a flag.
static constexpr char flag_names[] = "cdjklv";
static int *const flags[] = {&cancel, &modern, &json, &keep, &list, &verbose};

// -c and -l take only a few of the options; the first given that the form
// does not take is named.
static void
check_form(char form, const char *takes)
{
	for (const char *p = given; *p != '\0'; p++) {
		if (*p != form && strchr(takes, *p) == nullptr) {
			warnx("-%c does not go with -%c", form, *p);
			usage();
		}
	}
}

static void settle(int argc, char *argv[]);

void
read_options(int argc, char *argv[])
{
	int ch;

	while ((ch = getopt(argc, argv, "cdhjklm:p:r:s:t:u:vV")) > 0) {
		note_given(ch);
		if (const char *f = strchr(flag_names, ch); f != nullptr) {
			*flags[f - flag_names] = 1;
			continue;
		}
		switch (ch) {
		case 'h':
		case 'V':
			if (ch == 'h')
				print_usage(stdout);
			else
				print_version();
			finish_output();
			exit(0);
		case 'm':
			mode = parse_mode(optarg);
			break;
		case 'p':
			port = optarg;
			port_given = true;
			break;
		case 'r':
			if (reply_count == max_replies)
				errx(1, "too many replies (at most %zu)", max_replies);
			replies[reply_count++] = optarg;
			break;
		case 's':
			scheme = parse_number(optarg, 255, "scheme");
			break;
		case 't':
			timeout = parse_number(optarg, INT32_MAX, "timeout");
			timeout_given = true;
			break;
		case 'u':
			ussd = optarg;
			break;
		default:
			usage();
		}
	}
	settle(argc, argv);
}

// What the options given come to: the form of the run, its operands, the
// classic run or the modern one, and the mode.
static void
settle(int argc, char *argv[])
{
	if (cancel)
		check_form('c', "vmpt");
	else if (list)
		check_form('l', "jvmt");
	if (optind < argc && !list)
		usage();
	operands = argv + optind;
	operand_count = static_cast<size_t>(argc - optind);
	if (!cancel && !list && ussd == nullptr)
		usage();
	// The one place that decides between the classic run and the modern
	// one: every option beyond the classic ones asks for the latter.
	if (given[strspn(given, "puvt")] != '\0')
		modern = 1;
	if (!modern)
		mode = &classic_run;
	else if (mode == nullptr)
		mode = &packed_mode;
	// What a mode cannot do is refused before the modem is touched.
	const char no = keep && !mode->keeps ? 'k' : scheme >= 0 && !mode->schemes ? 's' : '\0';
	if (no != 0) {
		warnx("-%c does not go with -m %s", no, mode->name);
		usage();
	}
}

int
run()
{
	if (list)
		return list_modems();
	return converse();
}
