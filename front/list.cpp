#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <err.h>
#include <sys/wait.h>
#include <unistd.h>

#include "front/settings.hpp"
#include "modem/hilink.hpp"
#include "modem/link.hpp"
#include "modem/mbim.hpp"
#include "modem/modes.hpp"
#include "modem/qmi.hpp"

// What one port said: its maker, its model and the mode auto would choose
// there, or that another program holds it.
struct finding {
	const char *port;	// the parent's
	bool busy;
	char maker[64], model[64], mode[8];
};

static constexpr size_t max_ports = 64;
static char found[max_ports][24];
static finding findings[max_ports];

// The ports a modem's AT interface shows up as (ttyUSB*, ttyACM* and
// wwan*at*), in name order. Each possible name is looked for, rather than
// /dev read, which would bring a pattern matcher and an allocator into a
// static build for this alone. All are counted; only those that fit are
// kept.
static size_t
find_ports()
{
	size_t n = 0;

	for (int i = 0; i < 256 + 64 + (USSDQ_WITH_FRAMES ? 16 : 0); i++) {
		char name[sizeof found[0]];
		if (i >= 256 + 64)
			snprintf(name, sizeof name, "/dev/cdc-wdm%d", i - 256 - 64);
		else if (i < 128)
			snprintf(name, sizeof name, "/dev/ttyUSB%d", i);
		else if (i < 256)
			snprintf(name, sizeof name, "/dev/ttyACM%d", i - 128);
		else
			snprintf(name, sizeof name, "/dev/wwan%dat%d", (i - 256) / 8, (i - 256) % 8);
		if (access(name, F_OK) == 0 && n++ < max_ports)
			memcpy(found[n - 1], name, sizeof name);
	}
	for (size_t i = 1; i < n && i < max_ports; i++)
		for (size_t j = i; j > 0 && strcmp(found[j - 1], found[j]) > 0; j--) {
			char t[sizeof found[0]];
			memcpy(t, found[j], sizeof t);
			memcpy(found[j], found[j - 1], sizeof t);
			memcpy(found[j - 1], t, sizeof t);
		}
	return n;
}

// The first line of an answer, without the command's name in front of it
// (+CGMI: Quectel).
static void
first_line(const char *info, char *out, size_t size, const char *what)
{
	const char *p = info;

	if (*p == '+' && strchr(p, ':') != nullptr && strchr(p, ':') < strchr(p, '\n'))
		for (p = strchr(p, ':') + 1; *p == ' '; p++)
			continue;
	size_t n = 0;
	while (p[n] != '\0' && p[n] != '\n')
		n++;
	snprintf(out, size, "%.*s", static_cast<int>(n), p);
	if (verbose && n >= size)
		warnx("%s: got \"%s\" (cut: %zu bytes)", what, out, n);
}

// A TAB or CR in a maker or a model would split the list's line: each is a
// space.
static void
one_line(char *s)
{
	for (; *s != '\0'; s++)
		if (*s == '\t' || *s == '\r')
			*s = ' ';
}

// The probe's last command may still be answered: the next run on the
// port would take that for the answer to its own.
[[noreturn]] static void
probe_timed_out(int)
{
	at_drain_now();
#if USSDQ_WITH_QMI
	qmi_let_go();
#endif
#if USSDQ_WITH_MBIM
	mbim_let_go();
#endif
	_exit(2);
}

// The protocol a port is probed in: -m's, when it is one of frames, else
// the driver's for a port that is no terminal; null: AT.
static const char *
probe_way()
{
#if USSDQ_WITH_FRAMES
	if (strcmp(mode->name, "qmi") == 0 || strcmp(mode->name, "mbim") == 0)
		return mode->name;
	return frames_way(port);
#else
	return nullptr;
#endif
}

// Runs in a child of its own, so that a port that hangs or fails ends its
// own probe and nothing else. It only asks: no USSD is ever sent.
[[noreturn]] static void
probe(int out)
{
	finding f = {};

	signal(SIGALRM, probe_timed_out);
	alarm(static_cast<unsigned>(timeout_given ? timeout : 1));
	// The lowest free descriptor: 2, which the probe's messages go to.
	if (!verbose && close(STDERR_FILENO) == 0)
		open("/dev/null", O_WRONLY);
#if USSDQ_WITH_HILINK
	// A device named by URL is asked through its web API.
	if (is_url(port)) {
		if (!hilink_model(port, f.model, sizeof f.model))
			_exit(1);
		one_line(f.model);
		snprintf(f.maker, sizeof f.maker, "Huawei");
		snprintf(f.mode, sizeof f.mode, "hilink");
		_exit(write(out, &f, sizeof f) == sizeof f ? 0 : 1);
	}
#endif
	const char *w = probe_way();
	if (w != nullptr) {
		f.busy = !device_setup(false);
		bool told = false;
#if USSDQ_WITH_QMI
		told = !f.busy && strcmp(w, "qmi") == 0 && qmi_probe(f.maker, sizeof f.maker, f.model, sizeof f.model);
#endif
#if USSDQ_WITH_MBIM
		told = told || (!f.busy && strcmp(w, "mbim") == 0 && mbim_probe(f.model, sizeof f.model));
#endif
		if (told)
			snprintf(f.mode, sizeof f.mode, "%s", w);
		else if (!f.busy)
			_exit(1);
	} else if (!port_setup(&modern_dialogue, false)) {
		f.busy = true;
	} else {
		char info[256];
		at_ask("ATE0", info, sizeof info);
		if (at_ask("AT+CGMI", info, sizeof info))
			first_line(info, f.maker, sizeof f.maker, "maker");
		if (at_ask("AT+CGMM", info, sizeof info))
			first_line(info, f.model, sizeof f.model, "model");
		snprintf(f.mode, sizeof f.mode, "%s", ask_mode());
	}
	one_line(f.maker);
	one_line(f.model);
	_exit(write(out, &f, sizeof f) == sizeof f ? 0 : 1);
}

// What the port said; false when it gave no answer.
static bool
ask_port(const char *name, finding *f)
{
	int p[2];
	int status = 0;

	if (pipe(p) != 0)
		err(1, "pipe");
	fflush(stdout);
	fflush(stderr);
	const pid_t pid = fork();
	if (pid < 0)
		err(1, "fork");
	if (pid == 0) {
		close(p[0]);
		port = name;
		probe(p[1]);
	}
	close(p[1]);
	const ssize_t n = read(p[0], f, sizeof *f);
	close(p[0]);
	while (waitpid(pid, &status, 0) < 0)
		continue;
	f->port = name;
	return n == sizeof *f && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

static void
print_finding(const finding *f, bool first)
{
	if (!json) {
		printf("%s\t", f->port);
		put_shown(f->maker, strlen(f->maker));
		putchar('\t');
		put_shown(f->model, strlen(f->model));
		printf("\t%s\n", f->busy ? "busy" : f->mode);
		return;
	}
	fputs(first ? "[{\"port\":" : ",{\"port\":", stdout);
	json_string(stdout, f->port, strlen(f->port), false);
	if (f->busy) {
		fputs(",\"maker\":null,\"model\":null,\"mode\":\"busy\"}", stdout);
		return;
	}
	fputs(",\"maker\":", stdout);
	json_string(stdout, f->maker, strlen(f->maker), false);
	fputs(",\"model\":", stdout);
	json_string(stdout, f->model, strlen(f->model), false);
	printf(",\"mode\":\"%s\"}", f->mode);
}

// A URL's user, given to the probe, is not listed: http://admin@host
// becomes http://host.
static void
hide_user(char *name)
{
	if (strncmp(name, "http://", 7) != 0)
		return;
	char *h = name + 7;
	char *p = h;
	while (*p != '\0' && *p != '/' && *p != '@')
		p++;
	if (*p == '@')
		while ((*h++ = *++p) != '\0')
			continue;
}

int
list_modems()
{
	size_t n = operand_count;
	size_t listed = 0;
	bool answered = false;

	// A probe that cannot time out would hold its port's lock for ever.
	unblock_alarm();
	if (n == 0)
		n = find_ports();
	// None is probed unless all can be: a list cut short without a word
	// would miss the modem.
	if (n > max_ports)
		errx(1, "too many ports (at most %zu)", max_ports);
	for (size_t i = 0; i < n; i++) {
		const char *name = operand_count > 0 ? operands[i] : found[i];
		finding *f = &findings[listed];
		const bool told = ask_port(name, f);
		if (operand_count > 0)
			hide_user(operands[i]);
		if (!told) {
			if (verbose)
				warnx("%s: no answer", name);
			continue;
		}
		answered = answered || !f->busy;
		listed++;
	}
	for (size_t i = 0; i < listed; i++)
		print_finding(&findings[i], i == 0);
	if (json && listed > 0)
		fputs("]\n", stdout);
	finish_output();
	if (!answered)
		errx(1, "no modem found");
	return 0;
}
