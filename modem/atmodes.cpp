#include <string.h>
#include <err.h>

#include "coding/charsets.hpp"
#include "coding/septets.hpp"
#include "front/settings.hpp"
#include "modem/frames/link.hpp"
#include "modem/at.hpp"
#include "modem/modes.hpp"

// How a request and its answer are coded over AT commands. Huawei modems in
// their USSD mode 1 take and give packed septets in hex; the others take
// text in the character set of AT+CSCS, as 3GPP TS 27.007 has it. The
// classic run packs 7-bit codes as they are.
struct at_coding {
	const char *mode;	// the name of the row it is coded for
	const char *(*code)(const char *text, char *dest, size_t size);
	// What an answer's hex stands for, and what its text is where it is
	// no hex; text is never read as hex here. The one whose hex is UCS2
	// chooses that character set with AT+CSCS, the others IRA.
	charset hex, no_hex;
};

static constexpr at_coding codings[] = {
	{"packed", gsm_pack, charset::gsm, charset::latin1},
	{"text", text_code, charset::text, charset::text},
	{"ucs2", ucs2_code, charset::ucs2, charset::text},
	{"classic", septet_pack, charset::gsm, charset::latin1},
};

static const at_coding *coding = &codings[0];	// the one the run set up
static const mode_ops *current;		// the row of that coding
static const ussd_job *job;
static bool chosen;			// by auto, which may still fall back to text

// The answer, with the CRs that ended its lines, those lines joined by LF
// alone, and the octets of their hex.
static char answer_buf[2 * work_buf_size];
static char lf_buf[work_buf_size];
static uint8_t answer_octets[work_buf_size / 2];

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

static const mode_ops *
at_set_up_in(const mode_ops *m)
{
	// One that auto chose is said under -v.
	if (chosen && verbose)
		warnx("mode: %s", m->name);
	coding = coding_named(m->name);
	current = m;
	at_wok(coding->hex == charset::ucs2 ? "AT+CSCS=\"UCS2\"" : "AT+CSCS=\"IRA\"");
	return m;
}

static const mode_ops *
at_set_up(const mode_ops *self, const ussd_job *j)
{
	job = j;
	at_open(j->modern ? &modern_dialogue : &classic_dialogue);
	return at_set_up_in(self);
}

static void
send_request(const char *request)
{
	char coded[work_buf_size];

	coding->code(request, coded, sizeof coded);
	at_request(coded);
}

// The answer's text with its lines joined by LF alone, whatever the modem
// ended them with.
static void
lf_joined(const char *text, size_t len, char *out)
{
	size_t n = 0;

	// The CRs right before an LF are taken back when it comes.
	for (size_t i = 0; i < len; i++) {
		if (text[i] == '\n')
			while (n > 0 && out[n - 1] == '\r')
				n--;
		out[n++] = text[i];
	}
	out[n] = '\0';
}

// The answer at the AT modes' edge: the octets of its hex, read as the
// coding says, or its text where it is none.
static void
take(const cusd_answer *c, ussd_answer *a)
{
	*a = {c->status, c->dcs, coding->no_hex, nullptr, 0, c->has_text ? c->text : nullptr, c->len,
	    nullptr};
	if (!c->has_text)
		return;
	lf_joined(c->text, c->len, lf_buf);
	a->shown = lf_buf;
	a->set = at_octets(lf_buf, strlen(lf_buf), coding->hex, coding->no_hex, answer_octets,
	    &a->octets, &a->len);
}

// A modem that auto found to offer UCS2 may still refuse requests in it;
// the first request then goes once more as text, where it can.
static const mode_ops *
at_send(const char *request, bool first, ussd_answer *a, char *refusal, size_t size)
{
	cusd_answer c = {-1, false, 15, answer_buf, 0, sizeof answer_buf, 0};

	for (;;) {
		send_request(request);
		if (at_wait_answer(&c, refusal, size))
			break;
		if (!first || !chosen || current != &ucs2_mode)
			return nullptr;
		// The request and every reply must go as text, asked in that
		// coding; where one cannot, the run ends and no coding is used.
		coding = coding_named("text");
		if (job_refusal(&text_mode, job) != nullptr)
			return nullptr;
		at_set_up_in(&text_mode);
	}
	take(&c, a);
	return current;
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

// The first line of an answer, without the command's name in front of it
// (+CGMI: Quectel).
static void
first_line(const char *info, char *out, size_t size)
{
	const char *p = info;

	if (*p == '+' && strchr(p, ':') != nullptr && strchr(p, ':') < strchr(p, '\n'))
		for (p = strchr(p, ':') + 1; *p == ' '; p++)
			continue;
	size_t n = 0;
	while (p[n] != '\0' && p[n] != '\n')
		n++;
	snprintf(out, size, "%.*s", static_cast<int>(n), p);
}

// A Huawei says which USSD mode it is in, or at least names its maker;
// any other modem takes text, best UCS2, which loses no character.
const char *
choose_mode()
{
	char info[256];

	const char *p = at_query("AT^USSDMODE?", info, sizeof info) ?
	    strstr(info, "^USSDMODE:") : nullptr;
	if (p != nullptr) {
		for (p += 10; *p == ' '; p++)
			continue;
		if (*p == '1')
			return "packed";
	} else if (at_query("AT+CGMI", info, sizeof info) && names_huawei(info)) {
		return "packed";
	}
	if (at_query("AT+CSCS=?", info, sizeof info) && strstr(info, "UCS2") != nullptr)
		return "ucs2";
	return "text";
}

// -l: maker, model and the mode auto would choose, of a port that speaks
// AT; busy when another program holds it.
static bool
at_probe(port_finding *f)
{
	char info[256];

	if (!port_setup(&modern_dialogue, false)) {
		f->busy = true;
		return true;
	}
	at_query("ATE0", info, sizeof info);
	if (at_query("AT+CGMI", info, sizeof info))
		first_line(info, f->maker, sizeof f->maker);
	if (at_query("AT+CGMM", info, sizeof info))
		first_line(info, f->model, sizeof f->model);
	snprintf(f->mode, sizeof f->mode, "%s", choose_mode());
	return true;
}

// A port that no other mode claimed (the front hands those over): AT, in
// the mode the modem's answers choose.
static const mode_ops *
auto_set_up(const mode_ops *, const ussd_job *j)
{
	// A device of frames that no mode claimed: its driver is none of
	// theirs.
	for (const mode_ops *const *m = modes; *m != nullptr; m++)
		if ((*m)->kind_of != nullptr && (*m)->kind_of(port))
			errx(1, "%s: not a serial, QMI or MBIM device", port);
	job = j;
	at_open(&modern_dialogue);
	chosen = true;
	return at_set_up_in(mode_named(choose_mode()));
}

const mode_ops classic_run = {
	.name = "classic",
	.codes_late = true,
	.set_up = at_set_up,
	.refusal = at_refusal,
	.send = at_send,
	.end_session = at_end_session,
	.end_session_now = at_end_session_now,
	.drain_now = at_drain_now,
};
#define at_row(n) { \
	.name = (n), \
	.named = true, \
	.keeps = true, \
	.schemes = true, \
	.codes_late = true, \
	.set_up = at_set_up, \
	.refusal = at_refusal, \
	.send = at_send, \
	.end_session = at_end_session, \
	.end_session_now = at_end_session_now, \
	.drain_now = at_drain_now, \
}
const mode_ops packed_mode = at_row("packed");
const mode_ops text_mode = at_row("text");
const mode_ops ucs2_mode = at_row("ucs2");
// Chooses one of the others by what the port and the modem say.
const mode_ops auto_mode = {
	.name = "auto",
	.named = true,
	.keeps = true,
	.schemes = true,
	.codes_late = true,
	.hands_over = true,
	.set_up = auto_set_up,
	.refusal = at_refusal,
	.send = at_send,
	.end_session = at_end_session,
	.end_session_now = at_end_session_now,
	.drain_now = at_drain_now,
	.probe = at_probe,
};
