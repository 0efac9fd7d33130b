#include <string.h>
#include <err.h>
#include <unistd.h>

#include "coding/charsets.hpp"
#include "coding/septets.hpp"
#include "front/settings.hpp"
#include "modem/link.hpp"

// The answer, with the CRs that ended its lines, and read as UTF-8.
static char answer_buf[2 * work_buf_size];
static char lf_buf[work_buf_size];
static char decoded_buf[decoded_buf_size];

// The answer's text with its lines joined by LF alone, whatever the modem
// ended them with.
static void
lf_joined(const char *text, char *out)
{
	size_t n = 0;

	for (size_t i = 0; text[i] != '\0'; i++) {
		if (text[i] == '\r' && text[i + strspn(text + i, "\r")] == '\n')
			continue;
		out[n++] = text[i];
	}
	out[n] = '\0';
}

// Sends a request or a reply and takes its answer; one that does not wait
// for a reply has ended its session. The mode marks the request out when
// it has sent it: a run that fails before must not end a session that
// another run kept.
static void
ask(const char *request, cusd_answer *answer, bool first)
{
	char refusal[256];

	if (!way->ask(request, first, answer, refusal, sizeof refusal))
		errx(1, "%s: request refused: %s", port, refusal);
	if (answer->status != 1)
		request_out = 0;
	cusd_accept(answer);
}

int
converse()
{
	way = way->set_up(way);
	if (cancel) {
		way->end_session(false);
		return 0;
	}
	if (const char *why = way->refusal(ussd))
		errx(1, "%s", why);
	for (size_t i = 0; i < reply_count; i++)
		if (const char *why = way->refusal(replies[i]))
			errx(1, "%s", why);

	cusd_answer answer = {-1, false, 15, answer_buf, 0, sizeof answer_buf, 0};
	ask(ussd, &answer, true);
	for (size_t i = 0; i < reply_count; i++) {
		if (answer.status != 1)
			errx(1, "%s: session ended before reply %s", port, replies[i]);
		ask(replies[i], &answer, false);
	}
	// A session left waiting would take the next request on this modem,
	// whoever sends it, for the answer to its menu. The answer is printed
	// even when the modem does not confirm the end.
	const bool kept = answer.status == 1 && keep;
	if (answer.status == 1 && !keep && !way->end_session(true))
		warnx("%s: session end not confirmed", port);
	request_out = kept;
	alarm(0);

	lf_joined(answer_buf, lf_buf);
	if (verbose)
		warnx("decira: buf = \"%s\"", lf_buf);
	// -s overrules a modem that labels its answers wrongly; -j still
	// shows what the modem said.
	const int dcs = scheme >= 0 ? scheme : answer.dcs;
	utf8_out text = {decoded_buf, sizeof decoded_buf, 0};
	if (!way->read(lf_buf, dcs, &text))
		errx(1, "cannot read compressed answer (data coding scheme %d)", dcs);
	if (json)
		print_json(&answer, &text, way->name, kept);
	else
		print_text(&text);
	finish_output();
	// Only a printed answer may leave its session open.
	request_out = 0;
	return 0;
}
