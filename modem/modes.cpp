#include <string.h>
#include <err.h>

#include "coding/charsets.hpp"
#include "coding/septets.hpp"
#include "front/settings.hpp"
#include "modem/link.hpp"
#include "modem/mm.hpp"
#if USSDQ_WITH_MBIM
#include "modem/mbim.hpp"
#endif

// How a request and its answer travel over AT commands. Huawei modems in
// their USSD mode 1 take and give packed septets in hex; the others take
// text in the character set of AT+CSCS, as 3GPP TS 27.007 has it.
struct travel {
	const char *charset;	// the set-up command choosing its character set
	const char *(*code)(const char *text, char *dest, size_t size);
	bool (*read)(const char *text, int dcs, utf8_out *out);
};

static constexpr travel packed = {"AT+CSCS=\"IRA\"", gsm_pack, dcs_decode};
static constexpr travel text = {"AT+CSCS=\"IRA\"", text_code, text_read};
static constexpr travel ucs2 = {"AT+CSCS=\"UCS2\"", ucs2_code, ucs2_read};

static const travel *dialect = &packed;	// the one the run set up
static bool chosen;			// by auto, which may still fall back to text

static const char *
at_refusal(const char *request)
{
	char coded[work_buf_size];

	return dialect->code(request, coded, sizeof coded);
}

// Whether the request and every reply can go in the dialect; why not.
static const char *
refusal_in(const travel *t)
{
	char coded[work_buf_size];
	const char *why = t->code(ussd, coded, sizeof coded);

	for (size_t i = 0; why == nullptr && i < reply_count; i++)
		why = t->code(replies[i], coded, sizeof coded);
	return why;
}

static void
at_set_up_in(const travel *t)
{
	dialect = t;
	at_wok(t->charset);
}

static void
at_open()
{
	port_setup(&modern_dialogue, true);
	at_wok("ATE0");
	at_wok("AT+CMGF=0");
}

static const mode_ops *
at_set_up(const mode_ops *self)
{
	at_open();
	at_set_up_in(self->dialect);
	return self;
}

static void
send_request(const char *request)
{
	char coded[work_buf_size];

	dialect->code(request, coded, sizeof coded);
	at_request(coded);
}

// A modem that auto found to offer UCS2 may still refuse requests in it;
// the first request then goes once more as text, where it can.
static bool
at_ask_network(const char *request, bool first, cusd_answer *a, char *refusal, size_t size)
{
	send_request(request);
	if (at_wanswer(a, refusal, size))
		return true;
	if (!first || !chosen || dialect != &ucs2 || refusal_in(&text) != nullptr)
		return false;
	if (verbose)
		warnx("mode: %s", modes[1].name);
	at_set_up_in(&text);
	way = &modes[1];
	send_request(request);
	return at_wanswer(a, refusal, size);
}

static bool
at_end(bool limited)
{
	return at_end_session(limited);
}

static bool
at_read(const char *answer, int dcs, utf8_out *out)
{
	return dialect->read(answer, dcs, out);
}

// A Huawei says which USSD mode it is in, or at least names its maker;
// any other modem takes text, best UCS2, which loses no character.
const mode_ops *
ask_mode()
{
	char info[256];

	const char *p = at_ask("AT^USSDMODE?", info, sizeof info) ?
	    strstr(info, "^USSDMODE:") : nullptr;
	if (p != nullptr) {
		for (p += 10; *p == ' '; p++)
			continue;
		if (*p == '1')
			return &modes[0];
	} else if (at_ask("AT+CGMI", info, sizeof info) &&
	    strcasestr(info, "huawei") != nullptr) {
		return &modes[0];
	}
	if (at_ask("AT+CSCS=?", info, sizeof info) && strstr(info, "UCS2") != nullptr)
		return &modes[2];
	return &modes[1];
}

// A port in exclusive use is another program's, ModemManager's most
// often: it is reached through ModemManager when that manages it.
static const mode_ops *
auto_set_up(const mode_ops *)
{
	if (port_in_exclusive_use(port) && mm_manages(port)) {
		if (verbose)
			warnx("mode: %s", modes[4].name);
		return mm_set_up(&modes[4]);
	}
	at_open();
	const mode_ops *m = ask_mode();
	if (verbose)
		warnx("mode: %s", m->name);
	chosen = true;
	at_set_up_in(m->dialect);
	return m;
}

// The one table of modes: -m names one, and the run goes through its entry
// points alone.
const mode_ops modes[] = {
	{"packed", &packed, at_set_up, at_refusal, at_ask_network, at_end, at_end_now, at_read},
	{"text", &text, at_set_up, at_refusal, at_ask_network, at_end, at_end_now, at_read},
	{"ucs2", &ucs2, at_set_up, at_refusal, at_ask_network, at_end, at_end_now, at_read},
	// Chooses one of the others by what the port and the modem say.
	{"auto", nullptr, auto_set_up, at_refusal, at_ask_network, at_end, at_end_now, at_read},
	{"mm", nullptr, mm_set_up, mm_refusal, mm_ask, mm_end, mm_cancel_now, mm_read},
#if USSDQ_WITH_MBIM
	{"mbim", nullptr, mbim_set_up, mbim_refusal, mbim_ask, mbim_end_session, mbim_end_session_now,
	    mbim_read},
#endif
};

const mode_ops *
mode_named(const char *name)
{
	for (const mode_ops &m : modes)
		if (strcmp(m.name, name) == 0)
			return &m;
	return nullptr;
}
