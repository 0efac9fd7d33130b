#include <stdio.h>
#include <string.h>

#include "modem/mbim.hpp"
#include "modem/why.hpp"

// The first u32 fields of a query's answer; false when the modem refused
// it, said too little or did not answer in time.
static bool
answer(uint32_t cid, int64_t deadline, uint32_t *v, size_t n)
{
	mbim_message m;

	if (!mbim_query(cid, deadline, &m) || m.info_len < 4 * n)
		return false;
	for (size_t i = 0; i < n; i++)
		v[i] = mbim_u32(m.info + 4 * i);
	return true;
}

// The key a locked device asks for, by its PIN type; PIN2 and PUK2 do not
// stop USSD.
static void
lock(modem_state *s, uint32_t type)
{
	// The names of 3GPP TS 27.007 for PIN types 4 to 9 and their unlock
	// keys 13 to 17.
	static constexpr char locks[][7] = {"SIM", "FSIM", "NET", "NETSUB", "SP", "CORP"};

	s->sim = type == 2 ? sim_state::pin : type == 11 ? sim_state::puk
	    : type == 3 || type == 12 ? sim_state::ready : sim_state::locked;
	if (type < 4 || type > 17 || (type >= 10 && type <= 12))
		memcpy(s->lock, "unlock code", sizeof "unlock code");
	else
		snprintf(s->lock, sizeof s->lock, "PH-%s %s", locks[type <= 9 ? type - 4 : type - 12],
		    type <= 9 ? "PIN" : "PUK");
}

// Radio State, Subscriber Ready Status (and where the device is locked the
// PIN it asks for) and Register State, until one of them tells a reason.
// Nothing tells circuit-switched service apart, so the one registration
// goes in as cs.
bool
mbim_why(modem_state *s, int64_t deadline)
{
	// Ready states 0 to 2: not initialised, initialised, not inserted.
	static constexpr sim_state ready[] = {sim_state::not_ready, sim_state::ready, sim_state::absent};
	// Deregistered, searching, home, roaming, partner, denied.
	static constexpr reg_state states[] = {reg_state::unknown, reg_state::not_searching,
	    reg_state::searching, reg_state::registered, reg_state::registered, reg_state::registered,
	    reg_state::denied};
	uint32_t v[2];

	// The hardware and the software switch.
	if (answer(mbim_radio_state, deadline, v, 2)) {
		s->radio_off = v[0] == 0 || v[1] == 0 ? 1 : 0;
		if (s->radio_off == 1)
			return true;
	}
	if (answer(mbim_subscriber_ready_status, deadline, v, 1)) {
		s->sim = v[0] < 3 ? ready[v[0]] : sim_state::unknown;
		// 6: the device is locked.
		if (v[0] == 6 && answer(mbim_pin, deadline, v, 2) && v[1] == 1)
			lock(s, v[0]);
		if (s->sim != sim_state::ready && s->sim != sim_state::unknown)
			return true;
	}
	if (answer(mbim_register_state, deadline, v, 2))
		s->cs = v[1] < 7 ? states[v[1]] : reg_state::unknown;
	return true;
}
