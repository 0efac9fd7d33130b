#include <string.h>
#include <err.h>

#include "coding/septets.hpp"
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

// <m> is 1: the network waits for a reply.
static bool
waits_for_reply(const char *line)
{
	const char *p = line + 7;

	while (*p == ' ')
		p++;
	return p[0] == '1' && (p[1] < '0' || p[1] > '9');
}

cusd_wait
cusd_read_classic(char *dest, bool *waits, line_source src)
{
	char reply_buf[1088];
	line_read got;
	exchange x;

	at_begin(&x, "at_wcusd", src);
	for (;;) {
		if (!at_next(&x, reply_buf, sizeof reply_buf, &got)) {
			if (x.end != next_line::line)
				return cusd_wait::lost;
			continue;	// passed over like any line but the answer
		}
		if (got.cut && strncmp(reply_buf, "+CUSD: ", 7) == 0)
			return cusd_wait::too_long;
		if (got.cut)
			continue;
		switch (cusd_take(reply_buf, dest, work_buf_size)) {
		case cusd_line::other:
			continue;
		case cusd_line::bad:
			return cusd_wait::bad;
		case cusd_line::too_long:
			return cusd_wait::too_long;
		case cusd_line::answer:
			*waits = waits_for_reply(reply_buf);
			// Lines after the answer are not shown in the classic run.
			x.quiet = true;
			at_settle(&x, reply_buf, sizeof reply_buf);
			return cusd_wait::answer;
		}
	}
}

// Ends the run unless the wait brought an answer or a refusal.
static bool
answered(cusd_wait w)
{
	switch (w) {
	case cusd_wait::lost:
		lost_modem();
	case cusd_wait::bad:
		errx(1, "%s: bad +CUSD response", port);
	case cusd_wait::too_long:
		errx(1, "%s: response too long", port);
	case cusd_wait::refused:
		return false;
	case cusd_wait::answer:
		break;
	}
	warnx("at_wcusd: done");
	return true;
}

bool
at_wcusd(char *dest)
{
	bool waits = false;

	warnx("at_wcusd...");
	answered(cusd_read_classic(dest, &waits, modem_line));
	return waits;
}

// What follows a closing quote: a comma and the scheme, spaces allowed
// around both; the scheme, 15 when it is over 255, or -1 when it is not that.
static int
scheme_only(const char *p)
{
	int dcs = 0;

	while (*p == ' ')
		p++;
	if (*p++ != ',')
		return -1;
	while (*p == ' ')
		p++;
	if (*p < '0' || *p > '9')
		return -1;
	for (; *p >= '0' && *p <= '9'; p++)
		if (dcs <= 255)
			dcs = dcs * 10 + (*p - '0');
	while (*p == ' ')
		p++;
	if (*p != '\0')
		return -1;
	return dcs > 255 ? 15 : dcs;
}

static bool
only_spaces(const char *p)
{
	while (*p == ' ')
		p++;
	return *p == '\0';
}

static cusd_part
add_text(cusd_answer *a, const char *from, size_t n, bool line_end_crs = false)
{
	// The CRs that ended lines do not count against the text's room.
	const size_t counted = line_end_crs ? 0 : n;
	if (a->len + n >= a->size || a->len - a->crs + counted >= work_buf_size)
		return cusd_part::too_long;
	a->crs += n - counted;
	memcpy(a->text + a->len, from, n);
	a->len += n;
	a->text[a->len] = '\0';
	return cusd_part::whole;
}

// Modems in text mode do not escape the quotes inside the text, so the text
// ends at the last quote that the scheme follows; where none does, the
// lines after it carry on the text.
static cusd_part
take_text(cusd_answer *a, const char *from, bool first_line)
{
	const char *close = strrchr(from, '"');
	int dcs = close != nullptr ? scheme_only(close + 1) : -1;

	if (dcs < 0 && close != nullptr && first_line && only_spaces(close + 1))
		dcs = 15;
	if (dcs < 0) {
		const cusd_part r = add_text(a, from, strlen(from));
		return r == cusd_part::whole ? cusd_part::open : r;
	}
	a->dcs = dcs;
	return add_text(a, from, static_cast<size_t>(close - from));
}

cusd_part
cusd_begin(const char *line, cusd_answer *a)
{
	const char *p = line + 7;
	int m = 0;

	if (strncmp(line, "+CUSD: ", 7) != 0)
		return cusd_part::other;
	a->status = -1;
	a->has_text = false;
	a->dcs = 15;
	a->len = 0;
	a->crs = 0;
	a->text[0] = '\0';
	while (*p == ' ')
		p++;
	if (*p < '0' || *p > '9')
		return cusd_part::bad;
	for (; *p >= '0' && *p <= '9'; p++)
		if ((m = m * 10 + (*p - '0')) > 5)
			return cusd_part::bad;
	a->status = m;
	while (*p == ' ')
		p++;
	if (*p == '\0')
		return cusd_part::whole;
	if (*p++ != ',')
		return cusd_part::bad;
	while (*p == ' ')
		p++;
	if (*p != '"')
		return cusd_part::whole;
	a->has_text = true;
	return take_text(a, p + 1, true);
}

// The text keeps the line ends as they came: -j shows it as it is.
cusd_part
cusd_go_on(const char *line, size_t crs, cusd_answer *a)
{
	cusd_part r = cusd_part::whole;

	while (crs-- > 0 && r == cusd_part::whole)
		r = add_text(a, "\r", 1, true);
	if (r == cusd_part::whole)
		r = add_text(a, "\n", 1);
	return r == cusd_part::whole ? take_text(a, line, false) : r;
}

// The lines of a text that goes on past its +CUSD: line, up to its end;
// false when the input ends first.
static bool
take_rest(exchange *x, char *buf, size_t size, line_read *got, cusd_answer *a, cusd_part *part)
{
	x->text_open = true;
	while (*part == cusd_part::open) {
		const size_t crs = got->crs;
		if (!at_next(x, buf, size, got))
			return false;
		*part = got->cut ? cusd_part::too_long : cusd_go_on(buf, crs, a);
	}
	x->text_open = false;
	return true;
}

cusd_wait
cusd_read(cusd_answer *a, char *refusal, size_t size, line_source src)
{
	char reply_buf[1088];
	line_read got;
	exchange x;

	at_begin(&x, "at_wcusd", src);
	for (;;) {
		if (!at_next(&x, reply_buf, sizeof reply_buf, &got)) {
			if (x.end != next_line::line)
				return cusd_wait::lost;
			if (is_refusal(reply_buf)) {
				snprintf(refusal, size, "%s", reply_buf);
				return cusd_wait::refused;
			}
			continue;
		}
		if (got.cut && strncmp(reply_buf, "+CUSD: ", 7) == 0)
			return cusd_wait::too_long;
		if (got.cut)
			continue;
		cusd_part part = cusd_begin(reply_buf, a);
		if (!take_rest(&x, reply_buf, sizeof reply_buf, &got, a, &part))
			return cusd_wait::lost;
		if (part == cusd_part::bad)
			return cusd_wait::bad;
		if (part == cusd_part::too_long)
			return cusd_wait::too_long;
		if (part == cusd_part::whole) {
			at_settle(&x, reply_buf, sizeof reply_buf);
			return cusd_wait::answer;
		}
	}
}

bool
at_wanswer(cusd_answer *a, char *refusal, size_t size)
{
	warnx("at_wcusd...");
	return answered(cusd_read(a, refusal, size, modem_line));
}

// What the network said, as 3GPP TS 27.007 numbers it.
void
cusd_accept(const cusd_answer *a)
{
	if (a->status >= 3 || (a->status == 2 && !a->has_text)) {
		static constexpr const char *ended[] = {
			"session ended by the network", "another client has responded",
			"operation not supported", "network timed out",
		};
		errx(1, "%s: %s", port, ended[a->status - 2]);
	}
	if (!a->has_text)
		errx(1, "%s: bad +CUSD response", port);
}
