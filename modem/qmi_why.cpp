#include <stdio.h>

#include "modem/qmi.hpp"
#include "modem/why.hpp"

static constexpr uint8_t dms = 2;
static constexpr uint8_t nas = 3;
static constexpr uint8_t uim = 11;

// Until when the questions wait, the result of the last asked, and the
// length of the value it gave.
static int64_t until;
static long last_error;
static size_t got_len;

// The value of TLV type of a successful response to id of service, at
// least need bytes long, its length in got_len; null when the question could
// not be asked or was refused, its error then in last_error (-2 when none
// came).
static const uint8_t *
answer(uint8_t service, uint16_t id, uint8_t type, size_t need)
{
	qmi_msg m;

	last_error = -2;
	if (!qmi_question(service, id, until, &m))
		return nullptr;
	last_error = qmi_result(&m);
	const uint8_t *v = last_error == -1 ? qmi_tlv(&m, type, &got_len) : nullptr;
	return v != nullptr && got_len >= need ? v : nullptr;
}

// The state of an application of Get Card Status, its card's UPIN state
// given.
static sim_state
app_state(const uint8_t *app, uint8_t upin, char *lock, size_t size)
{
	static constexpr char features[][7] = {"NET", "NETSUB", "SP", "CORP", "SIM"};
	// By the application's state: 2 PIN, 3 PUK, 4 a personalisation
	// lock (named below where it is one), 5 blocked for good, 7 ready.
	static constexpr sim_state states[] = {sim_state::not_ready, sim_state::not_ready,
	    sim_state::pin, sim_state::puk, sim_state::not_ready, sim_state::puk, sim_state::not_ready,
	    sim_state::ready};

	// Where UPIN stands for PIN1, the card's UPIN state tells.
	if (app[7 + app[6]] != 0 && (upin == 1 || upin == 4))
		return upin == 1 ? sim_state::pin : sim_state::puk;
	if (app[1] == 4 && (app[2] == 3 || app[2] == 4) && app[3] < sizeof features / sizeof *features) {
		snprintf(lock, size, "PH-%s %s", features[app[3]], app[2] == 3 ? "PIN" : "PUK");
		return sim_state::locked;
	}
	return app[1] < sizeof states ? states[app[1]] : sim_state::not_ready;
}

// Past the card at *p, its header checked by the caller, and its
// applications: the one numbered want, else the first, in *app; false
// when they run past end.
static bool
pick_app(const uint8_t **p, const uint8_t *end, unsigned want, const uint8_t **app)
{
	const uint8_t apps = (*p)[5];

	*p += 6;
	for (unsigned a = 0; a < apps; a++) {
		if (end - *p < 7 || end - *p < 14 + (*p)[6])
			return false;
		if (*app == nullptr || a == want)
			*app = *p;
		*p += 14 + (*p)[6];
	}
	return true;
}

// The SIM as the UIM service's Get Card Status gives it: the card and the
// application the primary GSM/UMTS index names (the first of each where it
// names none); where it names a card that is not there, the last card, and
// an application it does not have, the card's first.
static sim_state
card_status(const uint8_t *v, size_t n, char *lock, size_t size)
{
	const unsigned primary = static_cast<unsigned>(v[0] | v[1] << 8);
	const unsigned want_card = primary == 0xffff ? 0 : primary >> 8;
	const unsigned want_app = primary == 0xffff ? 0 : primary & 0xff;
	const uint8_t *end = v + n;
	const uint8_t *p = v + 9;

	if (v[8] == 0)
		return sim_state::absent;
	for (unsigned c = 0; c < v[8]; c++) {
		if (end - p < 6)
			return sim_state::unknown;
		const uint8_t state = p[0];
		const uint8_t upin = p[1];
		const uint8_t *app = nullptr;
		if (!pick_app(&p, end, want_app, &app))
			return sim_state::unknown;
		if (c != want_card && c + 1 < v[8])
			continue;
		if (state != 1)
			return state == 0 ? sim_state::absent : sim_state::not_ready;
		if (app == nullptr)
			return sim_state::not_ready;
		return app_state(app, upin, lock, size);
	}
	return sim_state::unknown;
}

// The SIM: DMS's UIM Get State and, where the card is locked, UIM Get PIN
// Status; where DMS no longer has them (InvalidQmiCommand, NotSupported),
// the UIM service's Get Card Status.
static void
sim_of(modem_state *s, bool *told)
{
	const uint8_t *v = answer(dms, 0x44, 1, 1);

	if (v != nullptr) {
		*told = true;
		s->sim = v[0] == 0 ? sim_state::ready : v[0] == 2 ? sim_state::absent : sim_state::unknown;
		if (v[0] == 1) {
			v = answer(dms, 0x2b, 0x11, 3);
			s->sim = v == nullptr ? sim_state::not_ready : v[0] == 1 ? sim_state::pin :
			    v[0] == 4 ? sim_state::puk : sim_state::not_ready;
		}
		return;
	}
	if (last_error != 71 && last_error != 94)
		return;
	qmi_question_done();
	if (!qmi_question_client(uim, until))
		return;
	if ((v = answer(uim, 0x2f, 0x10, 9)) != nullptr) {
		*told = true;
		s->sim = card_status(v, got_len, s->lock, sizeof s->lock);
	}
}

// The radio interfaces of NAS's serving system, the count at v[4]
// followed by n - 5 of them at most: LTE before any other, and 5G NR
// only alone.
static access_tech
tech_of(const uint8_t *v, size_t n)
{
	static constexpr access_tech techs[] = {access_tech::unknown, access_tech::nr5g,
		access_tech::other, access_tech::lte};
	unsigned best = 0;

	for (size_t i = 0; i < v[4] && 5 + i < n; i++) {
		const uint8_t r = v[5 + i];
		const unsigned rank = r == 8 ? 3 : r == 12 ? 1 : r != 0 ? 2 : 0;
		best = rank > best ? rank : best;
	}
	return techs[best];
}

// NAS's serving system: its one registration, and whether it has
// circuit-switched service (its CS attach state) on which radio
// interfaces.
static bool
serving_system(modem_state *s)
{
	static constexpr reg_state regs[] = {reg_state::not_searching, reg_state::registered,
		reg_state::searching, reg_state::denied};
	const uint8_t *v = answer(nas, 0x24, 1, 5);

	if (v == nullptr)
		return false;
	s->cs = v[0] < 4 ? regs[v[0]] : reg_state::unknown;
	if (v[0] == 1 && v[1] != 0)
		s->cs_service = static_cast<signed char>(v[1] == 1);
	s->tech = tech_of(v, got_len);
	return true;
}

// DMS's operating mode and SIM, then NAS's serving system.
bool
qmi_why(modem_state *s, int64_t deadline)
{
	bool told = false;

	until = deadline;
	if (qmi_question_client(dms, deadline)) {
		if (const uint8_t *v = answer(dms, 0x2d, 1, 1)) {
			told = true;
			s->radio_off = static_cast<signed char>(v[0] == 0xff ? -1 : v[0] != 0);
		}
		if (s->radio_off != 1)
			sim_of(s, &told);
		qmi_question_done();
	}
	if (s->radio_off == 1 || (s->sim != sim_state::unknown && s->sim != sim_state::ready))
		return told;
	if (!qmi_question_client(nas, deadline))
		return told;
	if (serving_system(s))
		told = true;
	qmi_question_done();
	return told;
}
