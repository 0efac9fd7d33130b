#include <string.h>
#include <err.h>
#include <unistd.h>

#include "front/settings.hpp"
#include "modem/link.hpp"

volatile sig_atomic_t request_out = 0;

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

void
at_wok(const char *cmd)
{
	char line_buf[256];

	at_command(cmd);
	warnx("at_wok...");
	for (;;) {
		const line_read got = at_line(line_buf, sizeof line_buf, "at_wok");
		if (got.cut)
			continue;
		if (strcmp(line_buf, "OK") == 0)
			break;
		// Without -d echo, blank lines, unsolicited codes and even
		// "ERROR" are passed over: only the watchdog ends a wait that
		// gets no "OK".
		if (decode && is_refusal(line_buf))
			errx(1, "%s: %s: %s", port, cmd, line_buf);
	}
	if (verbose)
		warnx("at_wok: done");
	usleep(100000);
}

bool
at_ask(const char *cmd, char *info, size_t size)
{
	char line_buf[256];
	size_t n = 0;

	info[0] = '\0';
	at_command(cmd);
	for (;;) {
		const line_read got = at_line(line_buf, sizeof line_buf, "at_ask");
		if (got.cut || line_buf[0] == '\0')
			continue;
		if (strcmp(line_buf, "OK") == 0)
			return true;
		if (is_refusal(line_buf))
			return false;
		// What does not fit is left out; the answers looked for are short.
		const size_t len = strlen(line_buf);
		if (n + len + 1 < size) {
			memcpy(info + n, line_buf, len);
			n += len;
			info[n++] = '\n';
			info[n] = '\0';
		}
	}
}

void
at_end_session()
{
	char line_buf[256];

	at_command("AT+CUSD=2");
	for (;;) {
		const line_read got = at_line(line_buf, sizeof line_buf, "at_end");
		// Some modems refuse to end a session that is not open.
		if (!got.cut && (strcmp(line_buf, "OK") == 0 || is_refusal(line_buf)))
			break;
	}
	request_out = 0;
	if (verbose)
		warnx("at_end: done");
}
