#include <stdio.h>

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

// Radio State, Subscriber Ready Status (and where the device is locked the
// PIN it asks for) and Register State, until one of them tells a reason.
// Nothing tells circuit-switched service apart, so the one registration
// goes in as cs.
bool
mbim_why(modem_state *s, int64_t deadline)
{
	// The lock names of 3GPP TS 27.007 for PIN types 4 to 9 and their
	// unlock keys 13 to 17.
	static constexpr char locks[][7] = {"SIM", "FSIM", "NET", "NETSUB", "SP", "CORP"};
	uint32_t v[3];

	if (answer(mbim_radio_state, deadline, v, 2)) {
		s->radio_off = v[0] == 0 || v[1] == 0;
		if (s->radio_off)
			return true;
	}
	if (answer(mbim_subscriber_ready_status, deadline, v, 1)) {
		// Not initialised, initialised, not inserted; 6: locked.
		s->sim = v[0] == 0 ? sim_state::not_ready : v[0] == 1 ? sim_state::ready
		    : v[0] == 2 ? sim_state::absent : sim_state::unknown;
		if (v[0] == 6 && answer(mbim_pin, deadline, v, 2) && v[1] == 1) {
			// PIN2 and PUK2 do not stop USSD.
			const uint32_t t = v[0];
			s->sim = t == 2 ? sim_state::pin : t == 11 ? sim_state::puk
			    : t == 3 || t == 12 ? sim_state::ready : sim_state::locked;
			if (t >= 4 && t <= 17 && t != 10 && t != 11 && t != 12)
				snprintf(s->lock, sizeof s->lock, "PH-%s %s", locks[t <= 9 ? t - 4 : t - 12],
				    t <= 9 ? "PIN" : "PUK");
			else
				snprintf(s->lock, sizeof s->lock, "unlock code");
		}
		if (s->sim != sim_state::ready && s->sim != sim_state::unknown)
			return true;
	}
	// Deregistered, searching, home, roaming, partner, denied.
	if (answer(mbim_register_state, deadline, v, 2)) {
		static constexpr reg_state states[] = {reg_state::unknown, reg_state::not_searching,
		    reg_state::searching, reg_state::registered, reg_state::registered, reg_state::registered,
		    reg_state::denied};
		s->cs = v[1] < 7 ? states[v[1]] : reg_state::unknown;
	}
	return true;
}
