#include <stdlib.h>
#include <string.h>
#include <err.h>
#include <unistd.h>

#include "coding/charsets.hpp"
#include "coding/septets.hpp"
#include "front/settings.hpp"
#include "modem/link.hpp"
#include "modem/modes.hpp"

const mode_ops *volatile run_mode = nullptr;
volatile sig_atomic_t request_out = 0;

static char classic_buf[work_buf_size];
static char decoded_buf[decoded_buf_size];

int64_t answer_deadline = -1;
// The requests and replies sent so far.
static size_t asks;

void
network_failed(bool first)
{
	// A menu that answered had the network there: nothing to ask.
	if (first && modern)
		mode_why(run_mode);
	exit(1);
}

void
answer_overdue()
{
	warnx("%s: Operation timed out", port);
	network_failed(asks == 1);
}

// What the network said, as 3GPP TS 27.007 numbers it: the run ends with a
// message unless it is an answer with text to print.
static void
accept(const ussd_answer *a, bool first)
{
	if (a->status >= 3 || (a->status == 2 && a->octets == nullptr)) {
		static constexpr const char *ended[] = {
			"session ended by the network", "another client has responded",
			"operation not supported", "network timed out",
		};
		warnx("%s: %s", port, ended[a->status - 2]);
		network_failed(first && a->status >= 4);
	}
	if (a->octets == nullptr)
		errx(1, "%s: bad +CUSD response", port);
}

// Whether the network may wait for a reply: it says so, or the mode
// cannot tell.
static bool
may_wait(const ussd_answer *a)
{
	return a->status == 1 || a->status < 0;
}

// Sends a request or a reply and takes its answer; one that does not wait
// for a reply has ended its session. A mode calls nothing that could fail
// in ask before the request goes out: a run that fails before must not end
// a session that another run kept.
static void
ask(const char *text, ussd_answer *answer, bool first)
{
	char refusal[256];

	// In a modern run -t bounds each wait for the network; the watchdog
	// stays behind it, for a modem that hangs elsewhere, with room for the
	// questions of a failed run.
	if (answer_deadline >= 0) {
		if (!first)
			answer_deadline = now_ms() + int64_t{timeout} * 1000;
		alarm(static_cast<unsigned>(timeout) + 4);
	}
	asks++;
	request_out = 1;
	const mode_ops *went_on = run_mode->ask(text, first, answer, refusal, sizeof refusal);
	if (went_on == nullptr) {
		warnx("%s: request refused: %s", port, refusal);
		network_failed(first);
	}
	run_mode = went_on;
	if (!may_wait(answer))
		request_out = 0;
	// The classic run prints whatever came.
	if (modern)
		accept(answer, first);
}

// The answer as the classic run has always printed it: its hex and its
// septets as they are.
static void
print_classic_answer(const ussd_answer *a)
{
	memcpy(classic_buf, a->octets, a->len);
	classic_buf[a->len] = '\0';
	if (verbose)
		warnx("decira: buf = \"%s\"", classic_buf);
	print_classic(classic_buf);
}

int
converse()
{
	const ussd_job job = {ussd, replies, reply_count, port_given};

	run_mode = mode;
	// Armed before the open, which may block waiting for carrier.
	arm_watchdog();
	if (modern && timeout > 0)
		answer_deadline = now_ms() + int64_t{timeout} * 1000;
	run_mode = run_mode->set_up(run_mode, &job);
	if (cancel) {
		run_mode->end_session(false);
		return 0;
	}
	// The AT modes tell a request they cannot send after the port's set-up;
	// a mode that must not touch its device for one tells it in set_up.
	if (const char *why = job_refusal(run_mode, &job))
		errx(1, "%s", why);

	ussd_answer answer = {};
	ask(ussd, &answer, true);
	for (size_t i = 0; i < reply_count; i++) {
		if (!may_wait(&answer))
			errx(1, "%s: session ended before reply %s", port, replies[i]);
		ask(replies[i], &answer, false);
	}
	// A session left waiting would take the next request on this modem,
	// whoever sends it, for the answer to its menu; the classic run leaves
	// a menu open for the next request, as it always has. The answer is
	// printed even when the modem does not confirm the end.
	const bool kept = may_wait(&answer) && (keep || !modern);
	if (may_wait(&answer) && !kept && !run_mode->end_session(true))
		warnx("%s: session end not confirmed", port);
	request_out = kept;
	alarm(0);

	if (!modern) {
		print_classic_answer(&answer);
	} else {
		// -s overrules a modem that labels its answers wrongly; -j still
		// shows what the modem said.
		const int dcs = scheme >= 0 ? scheme : answer.dcs;
		utf8_out text = {decoded_buf, sizeof decoded_buf, 0};
		if (!run_mode->read(answer.octets, answer.len, dcs, &text))
			errx(1, "cannot read compressed answer (data coding scheme %d)", dcs);
		if (json)
			print_json(&answer, &text, run_mode->name, kept);
		else
			print_text(&text);
	}
	finish_output();
	// Only a printed answer may leave its session open.
	request_out = 0;
	return 0;
}
