#include <string.h>

#include "modem/hilink.hpp"
#include "modem/frames/link.hpp"
#include "modem/why.hpp"

// The number an element of the device's answer holds; -1: none.
static long
number(const char *name)
{
	return hilink_number(name, -1);
}

// The SIM's state from the device's SimState, 255 to 261.
static sim_state
sim_of(long st)
{
	using enum sim_state;
	static constexpr sim_state states[] = {absent, not_ready, ready, unknown, unknown, pin, puk};
	const auto i = static_cast<unsigned long>(st - 255);
	return i < sizeof states / sizeof states[0] ? states[i] : unknown;
}

// What the device's /api/monitoring/status answer says of the
// network it is on.
static void
network_of(modem_state *s)
{
	const long service = number("ServiceStatus");
	long type = number("CurrentNetworkTypeEx");
	if (type < 0)
		type = number("CurrentNetworkType");
	const long domain = number("CurrentServiceDomain");
	s->vague = true;
	if (service >= 0)
		s->cs = service == 2 ? reg_state::registered : reg_state::searching;
	// LTE, LTE with carriers aggregated, and NR beside LTE.
	s->tech = type == 19 || type == 101 || type == 1011 || type == 111 ? access_tech::lte :
	    type > 0 ? access_tech::other : access_tech::unknown;
	// A packet-switched domain alone, on LTE: no circuit-switched service.
	if (service == 2 && domain == 2 && s->tech == access_tech::lte)
		s->cs_service = 0;
}

// The device's SIM state (/api/pin/status), then the network it is on
// (/api/monitoring/status), whose service status tells registered from
// not, though not searching from denied.
bool
hilink_why(modem_state *s, int64_t deadline)
{
	bool told = false;

	// The device's word that the network does not take USSD.
	if (hilink_refused == 111022)
		s->cs_service = 0;
	if (now_ms() < deadline && hilink_call("/api/pin/status", nullptr, hilink_soft) == 0) {
		s->sim = sim_of(number("SimState"));
		told = s->sim != sim_state::unknown;
		if (told && s->sim != sim_state::ready)
			return true;
	}
	if (now_ms() >= deadline || hilink_call("/api/monitoring/status", nullptr, hilink_soft) != 0)
		return told || s->cs_service == 0;
	network_of(s);
	return true;
}
