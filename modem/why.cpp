#include <stdio.h>

#include "modem/why.hpp"

static bool
is_registered(reg_state r)
{
	return r == reg_state::registered || r == reg_state::sms_only;
}

const char *
why_text(const modem_state *s, char *buf, size_t size)
{
	if (s->radio_off == 1)
		return "the modem's radio is off";
	switch (s->sim) {
	case sim_state::pin:
	case sim_state::puk:
	case sim_state::locked:
		snprintf(buf, size, "the SIM asks for its %s", s->sim == sim_state::pin ? "PIN" :
		    s->sim == sim_state::puk ? "PUK" : s->lock);
		return buf;
	case sim_state::absent:
		return "no SIM";
	case sim_state::not_ready:
		return "the SIM is not ready";
	default:
		break;
	}
	const reg_state regs[] = {s->cs, s->eps, s->fivegs};
	bool known = false;
	bool registered = false;
	bool searching = false;
	bool denied = false;
	for (reg_state r : regs) {
		known |= r != reg_state::unknown;
		registered |= is_registered(r);
		searching |= r == reg_state::searching;
		denied |= r == reg_state::denied;
	}
	if (known && !registered) {
		snprintf(buf, size, "not registered with a network%s", s->vague ? "" :
		    searching ? " (searching)" : denied ? " (registration denied)" : " (not searching)");
		return buf;
	}
	// Registered, but not for circuit-switched service: the modem says so,
	// or only its EPS or 5GS registration holds.
	const bool sms_only = s->cs == reg_state::sms_only;
	const bool no_cs = s->cs_service == 0 || sms_only ||
	    (registered && s->cs != reg_state::unknown && !is_registered(s->cs));
	if (!no_cs || s->tech == access_tech::other)
		return nullptr;
	snprintf(buf, size, "on %s %s, which USSD needs: 2G/3G, or USSD over IMS, which this "
	    "network or modem does not offer", s->tech == access_tech::nr5g ? "5G" : "LTE",
	    sms_only ? "registered for SMS only, with no circuit-switched service" :
	    "with no circuit-switched service");
	return buf;
}
