#include <string.h>
#include <err.h>

#include "front/settings.hpp"
#include "modem/link.hpp"

// The data coding scheme after the closing quote: a comma and a number
// from 0 to 255, spaces allowed around either. Anything else is taken as
// no number at all, which means the default alphabet.
static int
scheme_after(const char *p)
{
	int dcs = 0;

	while (*p == ' ')
		p++;
	if (*p++ != ',')
		return 15;
	while (*p == ' ')
		p++;
	if (*p < '0' || *p > '9')
		return 15;
	for (; *p >= '0' && *p <= '9'; p++)
		if ((dcs = dcs * 10 + (*p - '0')) > 255)
			return 15;
	while (*p == ' ')
		p++;
	return *p == '\0' ? dcs : 15;
}

// The answer line is +CUSD: <m>,"<str>",<dcs>; <m> is not wanted.
cusd_line
cusd_take(const char *line, char *dest, size_t size, int *dcs)
{
	static constexpr char prefix[] = "+CUSD: ";

	if (strncmp(line, prefix, sizeof prefix - 1) != 0)
		return cusd_line::other;
	const char *open_quote = strchr(line, '"');
	if (open_quote == nullptr)
		return cusd_line::bad;
	const char *close_quote = strchr(open_quote + 1, '"');
	if (close_quote == nullptr)
		return cusd_line::bad;
	auto length = static_cast<size_t>(close_quote - open_quote - 1);
	if (length >= size)
		return cusd_line::too_long;
	memcpy(dest, open_quote + 1, length);
	dest[length] = '\0';
	*dcs = scheme_after(close_quote + 1);
	return cusd_line::answer;
}

int
at_wcusd(char *dest)
{
	char reply_buf[1088];
	int dcs = 15;

	warnx("at_wcusd...");
	for (;;) {
		const line_read got = at_line(reply_buf, sizeof reply_buf, "at_wcusd");
		if (got.cut && strncmp(reply_buf, "+CUSD: ", 7) == 0)
			errx(1, "%s: response too long", port);
		if (got.cut)
			continue;
		switch (cusd_take(reply_buf, dest, work_buf_size, &dcs)) {
		case cusd_line::other:
			continue;
		case cusd_line::bad:
			errx(1, "%s: bad +CUSD response", port);
		case cusd_line::too_long:
			errx(1, "%s: response too long", port);
		case cusd_line::answer:
			break;
		}
		break;
	}
	warnx("at_wcusd: done");
	return dcs;
}
