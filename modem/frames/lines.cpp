#include <errno.h>
#include <poll.h>
#include <string.h>
#include <time.h>
#include <err.h>
#include <unistd.h>

#include "front/settings.hpp"
#include "modem/frames/link.hpp"

// errno of the read that failed; 0 when the input simply ended.
static int read_error;

// Cut at the CR, then at the LF: at whichever comes first.
void
strip_crlf(char *line)
{
	line[strcspn(line, "\r\n")] = '\0';
}

void
lost_port(int error)
{
	if (error != 0) {
		errno = error;
		err(1, "%s", port);
	}
	errx(1, "%s: unexpected end of file", port);
}

void
lost_modem()
{
	lost_port(read_error);
}

int64_t
now_ms()
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// One byte at a time: what has been read is then all in the caller's line,
// and whatever the modem sent after it is still in the device, where a
// signal handler that must read it finds it.
static int
modem_byte(int64_t deadline)
{
	unsigned char c;
	struct pollfd p = {modem_fd, POLLIN, 0};

	if (deadline >= 0) {
		int r;
		do {
			const int64_t left = deadline - now_ms();
			r = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
		} while (r < 0 && errno == EINTR);
		if (r == 0)
			return late_byte;
	}
	for (;;) {
		const ssize_t n = read(modem_fd, &c, 1);
		if (n == 1)
			return c;
		if (n < 0 && errno == EINTR)
			continue;
		// A terminal that hung up while we waited in poll reads as its
		// end; a read that was waiting would have failed.
		read_error = n < 0 ? errno : (p.revents & POLLHUP) != 0 ? EIO : 0;
		return end_byte;
	}
}

// A line is everything up to its LF. One that the end of input cuts short
// is no line: it may be an answer missing its scheme or its last digits.
// One longer than the buffer is read away to its LF, so that no piece of
// it is ever taken for a line of its own.
next_line
read_line(byte_source get, const dialogue *d, int64_t deadline, char *buf, size_t size,
    line_read *got)
{
	size_t len = 0;
	size_t crs = 0;

	for (int c; (c = get(deadline)) != '\n'; len++) {
		if (c == end_byte)
			return next_line::end;
		if (c == late_byte)
			return next_line::late;
		if (len < size - 1)
			buf[len] = static_cast<char>(c);
		crs = c == '\r' ? crs + 1 : 0;
	}
	size_t end = len < size - 1 ? len : size - 1;
	buf[end] = '\0';
	got->len = crs > 0 ? len - 1 : len;
	got->cut = got->len > size - 1;
	got->crs = crs;
	// Classic runs cut a line at its first CR. A text answer may hold CRs
	// of its own, so in the modern dialogue only those that end it go.
	if (!d->inner_cr)
		strip_crlf(buf);
	while (end > 0 && buf[end - 1] == '\r')
		buf[--end] = '\0';
	return next_line::line;
}

next_line
modem_line(char *buf, size_t size, int64_t deadline, line_read *got)
{
	return read_line(modem_byte, dlg, deadline, buf, size, got);
}

bool
is_refusal(const char *line)
{
	return strcmp(line, "ERROR") == 0 || strncmp(line, "+CME ERROR:", 11) == 0 ||
	    strncmp(line, "+CMS ERROR:", 11) == 0;
}
