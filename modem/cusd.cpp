#include <string.h>
#include <err.h>

#include "coding/septets.hpp"
#include "front/settings.hpp"
#include "modem/frames/link.hpp"
#include "modem/at.hpp"

static constexpr char cusd_prefix[] = "+CUSD: ";

// Past the +CUSD: of an answer line and the spaces after it; null for any
// other line.
static const char *
after_prefix(const char *line)
{
	if (strncmp(line, cusd_prefix, sizeof cusd_prefix - 1) != 0)
		return nullptr;
	for (line += sizeof cusd_prefix - 1; *line == ' '; line++)
		continue;
	return line;
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

// An answer line: a empty, past the +CUSD: of the line; null for any
// other line.
static const char *
start(const char *line, cusd_answer *a)
{
	const char *p = after_prefix(line);

	if (p == nullptr)
		return nullptr;
	a->status = -1;
	a->has_text = false;
	a->dcs = 15;
	a->len = 0;
	a->crs = 0;
	a->text[0] = '\0';
	return p;
}

// The classic reading of an answer line past its +CUSD:: the text between
// the first two quotes, and whether <m> is 1, which means the network
// waits for a reply.
static cusd_part
take_classic(const char *p, cusd_answer *a)
{
	const char *open_quote = strchr(p, '"');
	const char *close_quote = open_quote != nullptr ? strchr(open_quote + 1, '"') : nullptr;
	if (close_quote == nullptr)
		return cusd_part::bad;
	a->status = p[0] == '1' && (p[1] < '0' || p[1] > '9') ? 1 : 0;
	a->has_text = true;
	return add_text(a, open_quote + 1, static_cast<size_t>(close_quote - open_quote - 1));
}

// The whole reading of an answer line past its +CUSD:.
static cusd_part
take_whole(const char *p, cusd_answer *a)
{
	int m = 0;

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

// An answer line read whole or the classic way, a empty first.
static cusd_part
begin(const char *line, cusd_answer *a, bool whole)
{
	const char *p = start(line, a);

	if (p == nullptr)
		return cusd_part::other;
	return whole ? take_whole(p, a) : take_classic(p, a);
}

cusd_part
cusd_begin(const char *line, cusd_answer *a)
{
	return begin(line, a, true);
}

// The text keeps the line ends as they came: -j shows it as it is.
cusd_part
cusd_go_on(const char *line, size_t crs, cusd_answer *a)
{
	for (size_t i = 0; i <= crs; i++)
		if (add_text(a, i < crs ? "\r" : "\n", 1, i < crs) != cusd_part::whole)
			return cusd_part::too_long;
	return take_text(a, line, false);
}

// The lines of a text that goes on past its +CUSD: line, up to its end;
// false when the input ends first.
static bool
take_rest(at_exchange *x, char *buf, size_t size, line_read *got, cusd_answer *a, cusd_part *part)
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

// A wait that came to nothing: past the run's deadline, the run ends.
static cusd_wait
gone(const at_exchange *x)
{
	if (x->end == next_line::late)
		answer_overdue();
	return cusd_wait::lost;
}

cusd_wait
cusd_read(const dialogue *d, cusd_answer *a, char *refusal, size_t size, line_source src)
{
	char reply_buf[1088];
	line_read got;
	at_exchange x;

	at_begin(&x, "at_wcusd", src);
	x.deadline = answer_deadline;
	for (;;) {
		if (!at_next(&x, reply_buf, sizeof reply_buf, &got)) {
			if (x.end != next_line::line)
				return gone(&x);
			if (d->strict && is_refusal(reply_buf)) {
				snprintf(refusal, size, "%s", reply_buf);
				return cusd_wait::refused;
			}
			continue;	// passed over like any line but the answer
		}
		if (got.cut && after_prefix(reply_buf) != nullptr)
			return cusd_wait::too_long;
		if (got.cut)
			continue;
		cusd_part part = begin(reply_buf, a, d->whole);
		if (!take_rest(&x, reply_buf, sizeof reply_buf, &got, a, &part))
			return gone(&x);
		if (part == cusd_part::bad)
			return cusd_wait::bad;
		if (part == cusd_part::too_long)
			return cusd_wait::too_long;
		if (part == cusd_part::whole) {
			x.quiet = !d->whole;
			at_settle(&x, reply_buf, sizeof reply_buf);
			return cusd_wait::answer;
		}
	}
}

bool
at_wait_answer(cusd_answer *a, char *refusal, size_t size)
{
	warnx("at_wcusd...");
	return answered(cusd_read(dlg, a, refusal, size, modem_line));
}
