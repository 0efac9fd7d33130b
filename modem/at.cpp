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

void
strip_crlf(char *line)
{
	char *p;

	if ((p = strchr(line, '\r')) != nullptr)
		*p = '\0';
	if ((p = strchr(line, '\n')) != nullptr)
		*p = '\0';
}

// errno means something only when the stream says a read failed; at end of
// file it is whatever an earlier call left there.
void
lost_modem()
{
	if (ferror(modem_in))
		err(1, "%s", port);
	errx(1, "%s: unexpected end of file", port);
}

void
at_wok(const char *cmd)
{
	char line_buf[256];

	at_command(cmd);
	warnx("at_wok...");
	for (;;) {
		if (fgets(line_buf, sizeof line_buf, modem_in) == nullptr)
			lost_modem();
		strip_crlf(line_buf);
		if (verbose)
			warnx("at_wok: got \"%s\"", line_buf);
		// Echo, blank lines, unsolicited codes and even "ERROR" are
		// passed over: only the watchdog ends a wait that gets no "OK".
		if (strcmp(line_buf, "OK") == 0)
			break;
	}
	if (verbose)
		warnx("at_wok: done");
	usleep(100000);
}
