#include <string.h>
#include <err.h>
#include <unistd.h>

#include "front/settings.hpp"
#include "modem/link.hpp"

void
at_command(const char *cmd)
{
	if (verbose)
		warnx("at_command: sending \"%s\"", cmd);
	// A lost write shows up as a missing answer, which the watchdog ends.
	fprintf(modem_out, "%s\r\n", cmd);
	fflush(modem_out);
}

volatile sig_atomic_t request_out = 0;

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
		// Echo, blank lines, unsolicited codes and even "ERROR" are
		// passed over: only the watchdog ends a wait that gets no "OK".
		if (!got.cut && strcmp(line_buf, "OK") == 0)
			break;
	}
	if (verbose)
		warnx("at_wok: done");
	usleep(100000);
}
