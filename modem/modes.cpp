#include <string.h>

#include "modem/modes.hpp"
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

// Whether -l and auto look for devices of frames on /dev/cdc-wdmN; a build
// without QMI and MBIM leaves them to the serial mode, which refuses them.
extern const bool frames_built = USSDQ_WITH_QMI || USSDQ_WITH_MBIM;

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
struct why_row {
	const mode_ops *mode;
	bool (*ask)(modem_state *s, int64_t deadline);
};
static constexpr why_row whys[] = {
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
// The row of m's questions; null: it asks none. A plain loop: the tool is
// built against the C library alone, without the C++ library's headers.
static const why_row *
why_of(const mode_ops *m)
{
	for (const why_row &w : whys)
		// cppcheck-suppress useStlAlgorithm
		if (w.mode == m)	// NOLINT(readability-use-anyofallof)
			return &w;
	return nullptr;
}
#endif

bool
mode_asks_why([[maybe_unused]] const mode_ops *m)
{
#if USSDQ_WITH_WHY
	return why_of(m) != nullptr;
#else
	return false;
#endif
}

const char *
mode_why([[maybe_unused]] const mode_ops *m, [[maybe_unused]] int64_t deadline,
    [[maybe_unused]] char *buf, [[maybe_unused]] size_t size)
{
#if USSDQ_WITH_WHY
	const why_row *w = why_of(m);
	modem_state s;
	if (w != nullptr)
		return w->ask(&s, deadline) ? why_text(&s, buf, size) : nullptr;
#endif
	return nullptr;
}
