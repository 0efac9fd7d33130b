#include <stdlib.h>
#include <string.h>
#include <err.h>
#include <unistd.h>

#include "coding/charsets.hpp"
#include "coding/septets.hpp"
#include "front/settings.hpp"
#include "modem/modes.hpp"

const mode_ops *volatile run_mode = nullptr;
volatile sig_atomic_t request_out = 0;

// On every way out of a run: a session that may be open is ended, and what
// the mode took is given back, through the mode the run is in; once.
void
give_back()
{
	const mode_ops *m = run_mode;

	if (m == nullptr)
		return;
	run_mode = nullptr;
	if (request_out) {
		request_out = 0;
		m->end_session_now();
	}
	if (m->let_go != nullptr)
		m->let_go();
}

const char *
modem_name(const mode_ops *m)
{
	const char *name = m != nullptr && m->called != nullptr ? m->called() : nullptr;

	return name != nullptr ? name : port;
}

static char classic_buf[work_buf_size];
static char decoded_buf[decoded_buf_size];

int64_t answer_deadline = -1;
// The requests and replies sent so far.
static size_t asks;
// The run is a modern one, as its job says.
static bool modern_run;

// A message about the modem of the run: its name, then what, then detail.
static void
say(const char *what, const char *detail = "")
{
	warnx("%s: %s%s", modem_name(run_mode), what, detail);
}

// A modem that hangs while it is asked: what the run took is given back,
// and the run ends, its failure said already.
[[noreturn]] static void
asked_too_long(int)
{
	give_back();
	_exit(1);
}

void
network_failed(bool first)
{
	// A menu that answered had the network there: nothing to ask.
	if (first && modern_run && mode_asks_why(run_mode)) {
		const int64_t deadline = now_ms() + 2000;
		char buf[192];
		if (request_out) {
			request_out = 0;
			run_mode->end_session_now();
		}
		catch_signal(SIGALRM, asked_too_long);
		alarm(4);
		if (const char *why = mode_why(run_mode, deadline, buf, sizeof buf))
			say("why: ", why);
	}
	exit(1);
}

void
answer_overdue()
{
	say("Operation timed out");
	network_failed(asks == 1);
}

// What the network said, as 3GPP TS 27.007 numbers it: the run ends with a
// message unless it is an answer with text to print.
static void
accept(const ussd_answer *a, bool first)
{
	if (a->status >= 3 || (a->status == 2 && a->raw == nullptr)) {
		static constexpr const char *ended[] = {
			"session ended by the network", "another client has responded",
			"operation not supported", "network timed out",
		};
		say(ended[a->status - 2]);
		network_failed(first && a->status >= 4);
	}
	if (a->raw == nullptr) {
		say("bad +CUSD response");
		exit(1);
	}
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
// in send before the request goes out: a run that fails before must not end
// a session that another run kept.
static void
send_text(const char *text, ussd_answer *answer, bool first)
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
	const mode_ops *went_on = run_mode->send(text, first, answer, refusal, sizeof refusal);
	if (went_on == nullptr) {
		say("request refused: ", shown(refusal));
		network_failed(first);
	}
	run_mode = went_on;
	if (!may_wait(answer))
		request_out = 0;
	// The classic run prints whatever came.
	if (modern_run)
		accept(answer, first);
}

// The answer as the classic run has always printed it: its hex and its
// septets as they are.
static void
print_classic_answer(const ussd_answer *a)
{
	memcpy(classic_buf, a->raw, a->raw_len);
	classic_buf[a->raw_len] = '\0';
	if (verbose)
		warnx("decira: buf = \"%s\"", classic_buf);
	print_classic(classic_buf);
}

// A port that another mode claims goes to that mode: ModemManager's port,
// a device of frames, a URL.
static const mode_ops *
claimant()
{
	for (const mode_ops *const *m = modes; *m != nullptr; m++)
		if ((*m)->claims != nullptr && (*m)->claims(port)) {
			if (verbose)
				warnx("mode: %s", (*m)->name);
			return *m;
		}
	return mode;
}

static void
refuse(const ussd_job *job)
{
	if (const char *why = job_refusal(run_mode, job))
		errx(1, "%s", why);
}

// The answer as the modern run prints it: its text read once, whatever the
// mode, or -j's line.
static void
print_answer(const ussd_answer *a, bool kept)
{
	// -s overrules a modem that labels its answers wrongly; -j still
	// shows what the modem said.
	const int dcs = scheme >= 0 ? scheme : a->dcs;
	utf8_out text = {decoded_buf, sizeof decoded_buf, 0};
	if (verbose && a->shown != nullptr)
		warnx("decira: buf = \"%s\"", a->shown);
	if (!answer_text(a->set, dcs, a->octets, a->len, &text))
		errx(1, "cannot read compressed answer (data coding scheme %d)", dcs);
	if (json)
		print_json(a, &text, run_mode->name, kept);
	else
		print_text(&text);
}

int
converse()
{
	const ussd_job job = {ussd, replies, reply_count, port_given, modern != 0};

	modern_run = job.modern;
	run_mode = mode;
	// Armed before the open, which may block waiting for carrier.
	arm_watchdog();
	if (job.modern && timeout > 0)
		answer_deadline = now_ms() + int64_t{timeout} * 1000;
	if (mode->hands_over)
		run_mode = claimant();
	// What cannot go is refused before the modem is touched, but in the AT
	// modes, which tell it after the port's set-up.
	if (!run_mode->codes_late)
		refuse(&job);
	run_mode = run_mode->set_up(run_mode, &job);
	if (cancel) {
		run_mode->end_session(false);
		return 0;
	}
	if (run_mode->codes_late)
		refuse(&job);

	ussd_answer answer = {};
	send_text(ussd, &answer, true);
	for (size_t i = 0; i < reply_count; i++) {
		if (!may_wait(&answer)) {
			say("session ended before reply ", replies[i]);
			exit(1);
		}
		send_text(replies[i], &answer, false);
	}
	// A session left waiting would take the next request on this modem,
	// whoever sends it, for the answer to its menu; the classic run leaves
	// a menu open for the next request, as it always has. The answer is
	// printed even when the modem does not confirm the end.
	const bool kept = may_wait(&answer) && (keep || !job.modern);
	if (may_wait(&answer) && !kept && !run_mode->end_session(true))
		say("session end not confirmed");
	request_out = kept;
	alarm(0);

	if (!job.modern)
		print_classic_answer(&answer);
	else
		print_answer(&answer, kept);
	finish_output();
	// Only a printed answer may leave its session open.
	request_out = 0;
	return 0;
}
