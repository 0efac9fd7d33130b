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

// A line is everything up to its LF. One that the end of input cuts short
// is no line: it may be an answer missing its scheme or its last digits.
// One longer than the buffer is read away to its LF, so that no piece of
// it is ever taken for a line of its own.
bool
read_line(FILE *in, char *buf, size_t size, line_read *got)
{
	size_t len = 0;
	bool cr = false;

	for (int c; (c = getc_unlocked(in)) != '\n'; len++) {
		if (c == EOF)
			return false;
		if (len < size - 1)
			buf[len] = static_cast<char>(c);
		cr = c == '\r';
	}
	size_t end = len < size - 1 ? len : size - 1;
	buf[end] = '\0';
	if (cr)
		len--;
	got->len = len;
	got->cut = len > size - 1;
	// Classic runs cut a line at its first CR. A text answer may hold CRs
	// of its own, so under -d only those that end the line go.
	if (!decode)
		strip_crlf(buf);
	while (end > 0 && buf[end - 1] == '\r')
		buf[--end] = '\0';
	return true;
}

line_read
at_line(char *buf, size_t size, const char *who)
{
	line_read got;

	if (!read_line(modem_in, buf, size, &got))
		lost_modem();
	if (verbose && got.cut)
		warnx("%s: got \"%s\" (cut: %zu bytes)", who, buf, got.len);
	else if (verbose)
		warnx("%s: got \"%s\"", who, buf);
	return got;
}

bool
is_refusal(const char *line)
{
	return strcmp(line, "ERROR") == 0 || strncmp(line, "+CME ERROR:", 11) == 0 ||
	    strncmp(line, "+CMS ERROR:", 11) == 0;
}
