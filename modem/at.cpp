#include <string.h>
#include <err.h>
#include <unistd.h>

#include "front/settings.hpp"
#include "modem/link.hpp"

volatile sig_atomic_t request_out = 0;

bool
is_final(const char *line)
{
	return strcmp(line, "OK") == 0 || is_refusal(line);
}

void
at_begin(exchange *x, const char *who, line_source src)
{
	*x = {who, src, false, false, -1, next_line::line};
}

bool
at_next(exchange *x, char *buf, size_t size, line_read *got)
{
	x->end = x->src(buf, size, x->deadline, got);
	if (x->end != next_line::line)
		return false;
	if (verbose && !x->quiet && got->cut)
		warnx("%s: got \"%s\" (cut: %zu bytes)", x->who, buf, got->len);
	else if (verbose && !x->quiet)
		warnx("%s: got \"%s\"", x->who, buf);
	return got->cut || x->text_open || !is_final(buf);
}

void
at_command(const char *cmd)
{
	if (verbose)
		warnx("at_command: sending \"%s\"", cmd);
	// A lost write shows up as a missing answer, which the watchdog ends.
	fprintf(modem_out, "%s\r\n", cmd);
	fflush(modem_out);
}

void
at_request(const char *cmd)
{
	request_out = 1;
	at_command(cmd);
}

// Reads cmd's lines to its final result, which is left in buf.
static void
at_finish(exchange *x, char *buf, size_t size)
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
	exchange x;

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
			errx(1, "%s: %s: %s", port, cmd, line_buf);
	}
	if (verbose)
		warnx("at_wok: done");
	if (dlg->pauses)
		usleep(100000);
}

bool
at_ask(const char *cmd, char *info, size_t size)
{
	char line_buf[256];
	size_t n = 0;
	line_read got;
	exchange x;

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

void
at_end_session()
{
	char line_buf[256];
	exchange x;

	at_command("AT+CUSD=2");
	// Some modems refuse to end a session that is not open.
	at_begin(&x, "at_end", modem_line);
	at_finish(&x, line_buf, sizeof line_buf);
	request_out = 0;
	if (verbose)
		warnx("at_end: done");
}
