#include <string.h>

#include "modem/frames/http.hpp"
#include "modem/frames/xml.hpp"
#include "modem/hilink.hpp"
#include "modem/frames/link.hpp"
#include "modem/why.hpp"

// The number an element of the device's answer holds; -1: none.
static long
number(const char *body, const char *name)
{
	return xml_number(body, name, -1);
}

// The SIM's state from the device's SimState, 255 to 261.
static sim_state
sim_of(long st)
{
	using enum sim_state;
	static constexpr sim_state states[] = {absent, not_ready, ready, unknown, unknown, pin, puk};
	const auto i = static_cast<unsigned long>(st - 255);
	return i < sizeof states ? states[i] : unknown;
}

// What the device's /api/monitoring/status answer body says of the
// network it is on.
static void
network_of(modem_state *s, const char *body)
{
	const long service = number(body, "ServiceStatus");
	long type = number(body, "CurrentNetworkTypeEx");
	if (type < 0)
		type = number(body, "CurrentNetworkType");
	const long domain = number(body, "CurrentServiceDomain");
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
	const char *body = hilink_answer.body;
	bool told = false;

	// The device's word that the network does not take USSD.
	if (hilink_refused == 111022)
		s->cs_service = 0;
	if (now_ms() < deadline && hilink_call("/api/pin/status", nullptr, hilink_soft) == 0) {
		s->sim = sim_of(number(body, "SimState"));
		told = s->sim != sim_state::unknown;
		if (told && s->sim != sim_state::ready)
			return true;
	}
	if (now_ms() >= deadline || hilink_call("/api/monitoring/status", nullptr, hilink_soft) != 0)
		return told || s->cs_service == 0;
	network_of(s, body);
	return true;
}
