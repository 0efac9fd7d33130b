#include <string.h>
#include <err.h>

#include "front/settings.hpp"
#include "modem/link.hpp"

// The answer line is +CUSD: <m>,"<str>",<dcs>; only <str> is wanted.
cusd_line
cusd_take(const char *line, char *dest, size_t size)
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
	return cusd_line::answer;
}

void
at_wcusd(char *dest)
{
	char reply_buf[1088];

	warnx("at_wcusd...");
	for (;;) {
		if (fgets(reply_buf, sizeof reply_buf, modem_in) == nullptr)
			lost_modem();
		strip_crlf(reply_buf);
		if (verbose)
			warnx("at_wcusd: got \"%s\"", reply_buf);
		switch (cusd_take(reply_buf, dest, work_buf_size)) {
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
}
