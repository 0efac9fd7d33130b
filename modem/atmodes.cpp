#include <string.h>
#include <err.h>

#include "coding/charsets.hpp"
#include "coding/septets.hpp"
#include "front/settings.hpp"
#include "modem/link.hpp"
#include "modem/modes.hpp"

// How a request and its answer are coded over AT commands. Huawei modems in
// their USSD mode 1 take and give packed septets in hex; the others take
// text in the character set of AT+CSCS, as 3GPP TS 27.007 has it. The
// classic run packs 7-bit codes as they are.
struct at_coding {
	const char *mode;	// the name of the row it is coded for
	const char *charset;	// the set-up command choosing its character set
	const char *(*code)(const char *text, char *dest, size_t size);
	bool (*read)(const char *text, int dcs, utf8_out *out);
};

static constexpr at_coding codings[] = {
	{"packed", "AT+CSCS=\"IRA\"", gsm_pack, dcs_decode},
	{"text", "AT+CSCS=\"IRA\"", text_code, text_read},
	{"ucs2", "AT+CSCS=\"UCS2\"", ucs2_code, ucs2_read},
	{"classic", "AT+CSCS=\"IRA\"", septet_pack, dcs_decode},
};

static const at_coding *coding = &codings[0];	// the one the run set up
static const mode_ops *current;		// the row of that coding
static const ussd_job *job;
static bool chosen;			// by auto, which may still fall back to text

// The answer, with the CRs that ended its lines, and those lines joined by
// LF alone.
static char answer_buf[2 * work_buf_size];
static char lf_buf[work_buf_size];

static const at_coding *
coding_named(const char *name)
{
	for (const at_coding &c : codings)
		if (strcmp(c.mode, name) == 0)
			return &c;
	return &codings[0];
}

static const char *
at_refusal(const char *request)
{
	char coded[work_buf_size];

	return coding->code(request, coded, sizeof coded);
}

// Whether the request and every reply can go in the coding; why not.
static const char *
refusal_in(const at_coding *c)
{
	char coded[work_buf_size];
	const char *why = c->code(job->request, coded, sizeof coded);

	for (size_t i = 0; why == nullptr && i < job->reply_count; i++)
		why = c->code(job->replies[i], coded, sizeof coded);
	return why;
}

static const mode_ops *
at_set_up_in(const mode_ops *m)
{
	coding = coding_named(m->name);
	current = m;
	at_wok(coding->charset);
	return m;
}

static const mode_ops *
at_set_up(const mode_ops *self, const ussd_job *j)
{
	job = j;
	at_open(self->named ? &modern_dialogue : &classic_dialogue);
	return at_set_up_in(self);
}

static void
send_request(const char *request)
{
	char coded[work_buf_size];

	coding->code(request, coded, sizeof coded);
	at_request(coded);
}

// A modem that auto found to offer UCS2 may still refuse requests in it;
// the first request then goes once more as text, where it can.
static const mode_ops *
at_ask_network(const char *request, bool first, ussd_answer *a, char *refusal, size_t size)
{
	cusd_answer c = {-1, false, 15, answer_buf, 0, sizeof answer_buf, 0};

	send_request(request);
	if (!at_wait_answer(&c, refusal, size)) {
		if (!first || !chosen || current != &ucs2_mode ||
		    refusal_in(coding_named("text")) != nullptr)
			return nullptr;
		if (verbose)
			warnx("mode: %s", text_mode.name);
		at_set_up_in(&text_mode);
		send_request(request);
		if (!at_wait_answer(&c, refusal, size))
			return nullptr;
	}
	*a = {c.status, c.dcs, c.has_text ? c.text : nullptr, c.len, false};
	return current;
}

// The answer's text with its lines joined by LF alone, whatever the modem
// ended them with.
static void
lf_joined(const char *text, size_t len, char *out)
{
	size_t n = 0;

	for (size_t i = 0; i < len; i++) {
		if (text[i] == '\r' && text[i + strspn(text + i, "\r")] == '\n')
			continue;
		out[n++] = text[i];
	}
	out[n] = '\0';
}

static bool
at_read(const char *octets, size_t len, int dcs, utf8_out *out)
{
	lf_joined(octets, len, lf_buf);
	if (verbose)
		warnx("decira: buf = \"%s\"", lf_buf);
	return coding->read(lf_buf, dcs, out);
}

// Whether the maker's name has "huawei" in it, in any case.
static bool
names_huawei(const char *info)
{
	for (; *info != '\0'; info++) {
		size_t i = 0;
		while (i < 6 && (info[i] | 0x20) == "huawei"[i])
			i++;
		if (i == 6)
			return true;
	}
	return false;
}

// A Huawei says which USSD mode it is in, or at least names its maker;
// any other modem takes text, best UCS2, which loses no character.
const char *
ask_mode()
{
	char info[256];

	const char *p = at_ask("AT^USSDMODE?", info, sizeof info) ?
	    strstr(info, "^USSDMODE:") : nullptr;
	if (p != nullptr) {
		for (p += 10; *p == ' '; p++)
			continue;
		if (*p == '1')
			return "packed";
	} else if (at_ask("AT+CGMI", info, sizeof info) && names_huawei(info)) {
		return "packed";
	}
	if (at_ask("AT+CSCS=?", info, sizeof info) && strstr(info, "UCS2") != nullptr)
		return "ucs2";
	return "text";
}

// Another mode may claim the port: ModemManager's, most often, when it
// holds the port in exclusive use.
static const mode_ops *
auto_set_up(const mode_ops *, const ussd_job *j)
{
	for (const mode_ops *const *m = modes; *m != nullptr; m++) {
		if ((*m)->claims != nullptr && (*m)->claims(port)) {
			if (verbose)
				warnx("mode: %s", (*m)->name);
			return (*m)->set_up(*m, j);
		}
	}
#if USSDQ_WITH_FRAMES
	// A device of frames that no mode claimed: its driver is none of
	// theirs, or its mode is not built in.
	if (!speaks_at(port))
		errx(1, "%s: not a serial, QMI or MBIM device", port);
#endif
	job = j;
	at_open(&modern_dialogue);
	const char *name = ask_mode();
	if (verbose)
		warnx("mode: %s", name);
	chosen = true;
	return at_set_up_in(mode_named(name));
}

// The mode auto handed the port to may have taken something before its
// set-up failed, while the run still knew only auto: each mode gives back
// what it holds, and nothing else.
static void
auto_let_go()
{
	for (const mode_ops *const *m = modes; *m != nullptr; m++)
		if (*m != &auto_mode && (*m)->let_go != nullptr)
			(*m)->let_go();
}

#define at_entries at_refusal, at_ask_network, at_end_session, \
	at_end_session_now, nullptr, at_read

const mode_ops classic_run = {"classic", false, false, false, nullptr, at_set_up, at_entries};
const mode_ops packed_mode = {"packed", true, true, true, nullptr, at_set_up, at_entries};
const mode_ops text_mode = {"text", true, true, true, nullptr, at_set_up, at_entries};
const mode_ops ucs2_mode = {"ucs2", true, true, true, nullptr, at_set_up, at_entries};
// Chooses one of the others by what the port and the modem say.
const mode_ops auto_mode = {"auto", true, true, true, nullptr, auto_set_up, at_refusal,
	at_ask_network, at_end_session, at_end_session_now, auto_let_go, at_read};
