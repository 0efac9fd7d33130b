#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <err.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "front/settings.hpp"
#include "modem/modes.hpp"

// What one port said: its maker, its model and the mode auto would choose
// there, or that another program holds it.
struct finding {
	const char *port;	// the parent's
	port_finding got;	// the probe's, its names cut to name_room
};

// The room of a maker or a model in the list, its NUL among it.
static constexpr size_t name_room = 64;

static constexpr size_t max_ports = 64;
static char found[max_ports][24];
static finding findings[max_ports];

// The number after i among 0 to last in the order of their decimal names
// (0, 1, 10, 100, ..., 109, 11, ...); -1 after the last.
static int
next_by_name(int i, int last)
{
	if (i > 0 && i * 10 <= last)
		return i * 10;
	while (i % 10 == 9 || i + 1 > last)
		if ((i /= 10) == 0)
			return -1;
	return i + 1;
}

// The ports a modem shows up as (ttyUSB*, ttyACM*, the WWAN subsystem's
// wwan*at* and, where a mode of frames is built in, wwan*mbim*, wwan*qmi*
// and cdc-wdm*), in name order: the kinds in theirs, the numbers of each
// as their names sort, a WWAN port's name in the order its parts are
// counted. Each possible name is looked for, rather than /dev read, which
// would bring a pattern matcher and an allocator into a static build for
// this alone. All are counted; only those that fit are kept.
static size_t
find_ports()
{
	static constexpr struct {
		const char *form;
		int last;
	} kinds[] = {
		{"/dev/cdc-wdm%d", 15}, {"/dev/ttyACM%d", 127}, {"/dev/ttyUSB%d", 127},
		// wwan<device><type><number>: eight of each of three types on
		// each of eight devices.
		{"/dev/wwan%d%s%d", 191},
	};
	static constexpr const char *wwan_types[] = {"at", "mbim", "qmi"};
	size_t n = 0;

	for (int f = frames_built ? 0 : 1; f < 4; f++)
		for (int i = 0; i >= 0; i = f < 3 ? next_by_name(i, kinds[f].last) : i < kinds[f].last ? i + 1 : -1) {
			if (!frames_built && i / 8 % 3 != 0 && f == 3)
				continue;
			// Into its place in the list while there is room. The
			// forms of one number take the first argument alone.
			char spare[sizeof found[0]];
			char *const name = n < max_ports ? found[n] : spare;
			snprintf(name, sizeof spare, kinds[f].form, f < 3 ? i : i / 24, wwan_types[i / 8 % 3], i % 8);
			// A descriptor of the path alone opens nothing of the device.
			const int fd = open(name, O_PATH | O_CLOEXEC);
			if (fd < 0)
				continue;
			close(fd);
			n++;
		}
	return n;
}

// A maker or a model as the probe got it, made fit for the list: cut
// where it does not fit, as -v says. A TAB, CR or LF in it would split the
// list's line: each is a space.
static void
take_name(char *s, const char *what)
{
	const size_t len = strlen(s);

	if (len >= name_room) {
		s[name_room - 1] = '\0';
		if (verbose)
			warnx("%s: got \"%s\" (cut: %zu bytes)", what, shown(s), len);
	}
	for (; *s != '\0'; s++)
		if (*s == '\t' || *s == '\r' || *s == '\n')
			*s = ' ';
}

// The mode a port is probed in: the first that claims it (by its URL, by
// its device's driver), else -m's where it can probe, else the AT one.
static const mode_ops *probing;

// The probe's last command may still be answered: the next run on the
// port would take that for the answer to its own.
[[noreturn]] static void
probe_timed_out(int)
{
	if (probing->drain_now != nullptr)
		probing->drain_now();
	if (probing->let_go != nullptr)
		probing->let_go();
	_exit(2);
}

// Runs in a child of its own, so that a port that hangs or fails ends its
// own probe and nothing else. It only asks: no USSD is ever sent.
[[noreturn]] static void
probe(int out)
{
	probing = mode->probe != nullptr ? mode : &auto_mode;
	for (const mode_ops *const *m = modes; *m != nullptr; m++)
		if ((*m)->probe != nullptr && (*m)->claims != nullptr && (*m)->claims(port)) {
			probing = *m;
			break;
		}
	catch_signal(SIGALRM, probe_timed_out);
	alarm(static_cast<unsigned>(timeout_given ? timeout : 1));
	// The lowest free descriptor: 2, which the probe's messages go to.
	if (!verbose && close(STDERR_FILENO) == 0)
		open("/dev/null", O_WRONLY);
	port_finding got = {};
	if (!probing->probe(&got))
		_exit(1);
	take_name(got.maker, "maker");
	take_name(got.model, "model");
	_exit(write(out, &got, sizeof got) == sizeof got ? 0 : 1);
}

// What the port said; false when it gave no answer.
static bool
probe_port(const char *name, finding *f)
{
	int p[2];
	int status = 0;

	// pipe and waitpid by their system calls, as kill is: the C library's
	// own would be two more to import.
	if (syscall(SYS_pipe2, p, 0) != 0)
		err(1, "pipe");
	fflush(nullptr);
	const pid_t pid = fork();
	if (pid < 0)
		err(1, "fork");
	if (pid == 0) {
		close(p[0]);
		port = name;
		probe(p[1]);
	}
	close(p[1]);
	const ssize_t n = read(p[0], &f->got, sizeof f->got);
	close(p[0]);
	while (syscall(SYS_wait4, pid, &status, 0, nullptr) < 0)
		continue;
	f->port = name;
	return n == sizeof f->got && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A line of the list: the port, its maker, its model and its mode, or
// busy; or the same as an object of -j's array, which names none but the
// port of a busy one.
static void
print_finding(const finding *f, bool first)
{
	const port_finding *g = &f->got;
	const char *const names[] = {g->maker, g->model};

	if (json) {
		printf("%s{\"port\":", first ? "[" : ",");
		json_string(f->port, strlen(f->port), false);
	} else {
		printf("%s", f->port);
	}
	for (int i = 0; i < 2; i++) {
		if (!json) {
			putchar('\t');
			put_shown(names[i], strlen(names[i]));
			continue;
		}
		printf(",\"%s\":", i == 0 ? "maker" : "model");
		if (g->busy)
			fputs("null", stdout);
		else
			json_string(names[i], strlen(names[i]), false);
	}
	printf(json ? ",\"mode\":\"%s\"}" : "\t%s\n", g->busy ? "busy" : g->mode);
}

// A URL's user, given to the probe, is not listed: http://admin@host
// becomes http://host.
static void
hide_user(char *name)
{
	// http:// in any case: ':' and '/' have the case bit set already.
	for (int i = 0; i < 7; i++)
		if ((name[i] | 0x20) != "http://"[i])
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
		const bool told = probe_port(name, f);
		if (operand_count > 0)
			hide_user(operands[i]);
		if (!told) {
			if (verbose)
				warnx("%s: no answer", name);
			continue;
		}
		answered = answered || !f->got.busy;
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
