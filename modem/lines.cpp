#include <string.h>
#include <err.h>

#include "front/settings.hpp"
#include "modem/link.hpp"

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

line_read
at_line(char *buf, size_t size, const char *who)
{
	if (fgets(buf, static_cast<int>(size), modem_in) == nullptr)
		lost_modem();
	strip_crlf(buf);
	if (verbose)
		warnx("%s: got \"%s\"", who, buf);
	return {strlen(buf), false};
}
