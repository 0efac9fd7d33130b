#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <err.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "coding/septets.hpp"
#include "front/settings.hpp"
#include "modem/frames/link.hpp"

volatile sig_atomic_t results_owed = 0;

// The final results of 3GPP TS 27.007 and V.250 that a command may get.
bool
is_final(const char *line)
{
	// The five, one after another.
	static constexpr char others[] = "OK\0NO CARRIER\0BUSY\0NO ANSWER\0NO DIALTONE";
	const char *r = others;

	for (int i = 0; i < 5; i++, r += strlen(r) + 1)
		if (strcmp(line, r) == 0)
			return true;
	return is_refusal(line);
}

[[gnu::noinline]] void
at_begin(at_exchange *x, const char *who, line_source src)
{
	*x = {who, src, false, false, -1, next_line::line};
}

bool
at_next(at_exchange *x, char *buf, size_t size, line_read *got)
{
	x->end = x->src(buf, size, x->deadline, got);
	if (x->end != next_line::line)
		return false;
	if (verbose && !x->quiet)
		warnx(got->cut ? "%s: got \"%s\" (cut: %zu bytes)" : "%s: got \"%s\"", x->who, shown(buf),
		    got->len);
	if (got->cut || x->text_open || !is_final(buf))
		return true;
	if (results_owed > 0)
		results_owed = results_owed - 1;
	return false;
}

void
at_settle(at_exchange *x, char *buf, size_t size)
{
	line_read got;

	if (results_owed == 0)
		return;
	// The answer is in: the wait has its own limit, and the watchdog must
	// not let a missing OK cost the run rather than the second.
	const unsigned left = alarm(0);
	x->deadline = now_ms() + 1000;
	while (results_owed > 0) {
		if (at_next(x, buf, size, &got) || x->end == next_line::line)
			continue;
		// Gone for good, it is presumed: the next command must not wait
		// for it too.
		results_owed = 0;
		if (verbose && !x->quiet)
			warnx("%s: no final result within 1 s; going on", x->who);
	}
	x->deadline = -1;
	alarm(left);
}

// Only async-signal-safe calls: this runs in the handlers of the watchdog
// and of the signals that end a run, as well as on the way out of a failed
// one, and in a probe of -l that ran out of time. A result left unread
// would be taken by the next run for the answer to its own first command.
void
at_drain_now()
{
	char line[64];
	line_read got;
	const int64_t deadline = now_ms() + 1000;

	while (modem_fd >= 0 && results_owed > 0) {
		if (modem_line(line, sizeof line, deadline, &got) != next_line::line)
			break;
		if (is_final(line))
			results_owed = results_owed - 1;
	}
	// Gone for good, it is presumed: a later drain must not wait for it too.
	results_owed = 0;
}

// What the modem still owes is read away with the result of AT+CUSD=2, so
// that none of it reaches the next run.
void
at_end_session_now()
{
	static constexpr char end_session[] = "AT+CUSD=2\r\n";

	if (modem_fd < 0)
		return;
	// A port that takes nothing must not hold us here. fcntl by its system
	// call, as kill is: the C library's own would be one more to import.
	syscall(SYS_fcntl, modem_fd, F_SETFL, syscall(SYS_fcntl, modem_fd, F_GETFL) | O_NONBLOCK);
	if (write(modem_fd, end_session, sizeof end_session - 1) < 0)
		return;
	results_owed = results_owed + 1;
	at_drain_now();
}

void
at_command(const char *cmd)
{
	// The longest, a request that fills the work buffer, with its CR LF.
	static char line[work_buf_size + 32];

	if (verbose)
		warnx("at_command: sending \"%s\"", cmd);
	results_owed = results_owed + 1;
	// Whole, as a port that takes part of it at a time is given the rest;
	// a lost one shows up as a missing answer, which the watchdog ends.
	const int n = snprintf(line, sizeof line, "%s\r\n", cmd);
	for (ssize_t done = 0, r = 0; done < n; done += r)
		if ((r = write(modem_fd, line + done, static_cast<size_t>(n - done))) <= 0)
			break;
}

void
at_request(const char *coded)
{
	// For a request that fills the work buffer.
	static char cmd_line[work_buf_size + 16];

	snprintf(cmd_line, sizeof cmd_line, "AT+CUSD=1,\"%s\",15", coded);
	at_command(cmd_line);
}

// Reads cmd's lines to its final result, which is left in buf.
static void
at_finish(at_exchange *x, char *buf, size_t size)
{
	line_read got;

	while (at_next(x, buf, size, &got))
		continue;
	if (x->end != next_line::line)
		lost_modem();
}

void
at_wok(const char *cmd)
{
	char line_buf[256];
	at_exchange x;

	at_command(cmd);
	warnx("at_wok...");
	at_begin(&x, "at_wok", modem_line);
	for (;;) {
		at_finish(&x, line_buf, sizeof line_buf);
		if (strcmp(line_buf, "OK") == 0)
			break;
		// The classic dialogue passes over "ERROR" as over anything
		// else: only the watchdog ends a wait that gets no "OK".
		if (dlg->strict)
			errx(1, "%s: %s: %s", port, cmd, shown(line_buf));
	}
	if (verbose)
		warnx("at_wok: done");
	if (dlg->pauses)
		poll(nullptr, 0, 100);
}

[[gnu::noinline]] void
at_open(const dialogue *d)
{
	port_setup(d, true);
	at_wok("ATE0");
	at_wok("AT+CMGF=0");
}

bool
at_query(const char *cmd, char *info, size_t size)
{
	char line_buf[256];
	size_t n = 0;
	line_read got;
	at_exchange x;

	info[0] = '\0';
	at_command(cmd);
	at_begin(&x, "at_ask", modem_line);
	while (at_next(&x, line_buf, sizeof line_buf, &got)) {
		if (got.cut || line_buf[0] == '\0')
			continue;
		// What does not fit is left out; the answers looked for are short.
		const size_t len = strlen(line_buf);
		if (n + len + 1 < size) {
			memcpy(info + n, line_buf, len);
			n += len;
			info[n++] = '\n';
			info[n] = '\0';
		}
	}
	if (x.end != next_line::line)
		lost_modem();
	return strcmp(line_buf, "OK") == 0;
}

bool
at_end_session(bool limited)
{
	char line_buf[256];
	line_read got;
	at_exchange x;

	at_command("AT+CUSD=2");
	// Some modems refuse to end a session that is not open.
	at_begin(&x, "at_end", modem_line);
	if (limited)
		x.deadline = now_ms() + 1000;
	while (at_next(&x, line_buf, sizeof line_buf, &got))
		continue;
	if (x.end == next_line::end && !limited)
		lost_modem();
	if (x.end != next_line::line) {
		results_owed = 0;
		return false;
	}
	if (verbose)
		warnx("at_end: done");
	return true;
}
