#include <signal.h>
#include <string.h>
#include <err.h>
#include <unistd.h>

#include "modem/hilink.hpp"
#include "modem/link.hpp"
#include "modem/mbim.hpp"
#include "modem/mm.hpp"
#include "modem/modes.hpp"
#include "modem/qmi.hpp"
#include "modem/why.hpp"

// The one table of modes: -m names one, auto asks each in turn whether it
// claims the port, and -V lists them in this order. The AT modes and the
// classic run are in every build; each other mode only where its option
// builds it in.
const mode_ops *const modes[] = {
	&packed_mode,
	&text_mode,
	&ucs2_mode,
	&auto_mode,
#if USSDQ_WITH_MM
	&mm_mode,
#endif
#if USSDQ_WITH_QMI
	&qmi_mode,
#endif
#if USSDQ_WITH_MBIM
	&mbim_mode,
#endif
#if USSDQ_WITH_HILINK
	&hilink_mode,
#endif
	&classic_run,
	nullptr,
};

// The modes some build has and this one lacks: asked for, they are
// refused as left out rather than as unknown.
static constexpr const char *left_out[] = {
#if !USSDQ_WITH_MM
	"mm",
#endif
#if !USSDQ_WITH_QMI
	"qmi",
#endif
#if !USSDQ_WITH_MBIM
	"mbim",
#endif
#if !USSDQ_WITH_HILINK
	"hilink",
#endif
	nullptr,
};

const mode_ops *
mode_named(const char *name)
{
	for (const mode_ops *const *m = modes; *m != nullptr; m++)
		if ((*m)->named && strcmp((*m)->name, name) == 0)
			return *m;
	return nullptr;
}

bool
mode_left_out(const char *name)
{
	for (const char *const *m = left_out; *m != nullptr; m++)
		if (strcmp(*m, name) == 0)
			return true;
	return false;
}

const char *
job_refusal(const mode_ops *m, const ussd_job *job)
{
	const char *why = job->request != nullptr ? m->refusal(job->request) : nullptr;

	for (size_t i = 0; why == nullptr && i < job->reply_count; i++)
		why = m->refusal(job->replies[i]);
	return why;
}

#if USSDQ_WITH_WHY
// The questions each mode asks its modem after a failure; the classic run
// asks none, and auto's are those of the mode it chose.
static constexpr struct {
	const mode_ops *mode;
	bool (*ask)(modem_state *s, int64_t deadline);
} whys[] = {
	{&packed_mode, at_why},
	{&text_mode, at_why},
	{&ucs2_mode, at_why},
#if USSDQ_WITH_MM
	{&mm_mode, mm_why},
#endif
#if USSDQ_WITH_QMI
	{&qmi_mode, qmi_why},
#endif
#if USSDQ_WITH_MBIM
	{&mbim_mode, mbim_why},
#endif
#if USSDQ_WITH_HILINK
	{&hilink_mode, hilink_why},
#endif
};
#endif

#if USSDQ_WITH_WHY
// A modem that hangs while it is asked: what the run took is given back,
// and the run ends, its failure said already.
static void
asked_too_long(int)
{
	const mode_ops *m = run_mode;

	if (m != nullptr && m->let_go != nullptr)
		m->let_go();
	_exit(1);
}
#endif

void
mode_why([[maybe_unused]] const mode_ops *m)
{
#if USSDQ_WITH_WHY
	char buf[192];
	modem_state s;
	const int64_t deadline = now_ms() + 2000;

	for (const auto &w : whys) {
		if (w.mode != m)
			continue;
		if (request_out) {
			request_out = 0;
			m->end_session_now();
		}
		signal(SIGALRM, asked_too_long);
		alarm(4);
		const char *why = w.ask(&s, deadline) ? why_text(&s, buf, sizeof buf) : nullptr;
		if (why != nullptr)
			warnx("%s: why: %s", port, why);
	}
#endif
}
