// Why USSD could not work: what a modern run that failed at the network's
// side asks the modem of itself, once the session is ended. Each mode fills
// in what it can tell; one function words the first thing that holds.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum class sim_state : signed char {
	unknown,	// not asked, or the modem would not say
	ready,		// PIN2 and PUK2 count as ready: USSD does not need them
	pin,
	puk,
	locked,		// another lock, named in lock
	absent,
	not_ready,
};

// One registration the modem reports (circuit-switched, EPS or 5GS).
enum class reg_state : signed char {
	unknown,
	registered,
	sms_only,	// registered for SMS only (+CREG's stat 6 and 7)
	searching,
	denied,
	not_searching,
};

enum class access_tech : signed char {
	unknown,
	other,		// GSM, UMTS and the like: circuit-switched service is there to be had
	lte,		// E-UTRAN, LTE with NR beside it included
	nr5g,		// NR on a 5G core
};

struct modem_state {
	signed char radio_off = -1;	// 1: off (+CFUN 0 or 4 and the like); 0: on; -1: unknown
	sim_state sim = sim_state::unknown;
	char lock[32] = {};		// the lock's name as the modem gives it, for locked
	// The registrations the modem reports, each unknown unless it said. A
	// mode that cannot tell circuit-switched service apart gives its one
	// registration as cs, where registered says nothing more.
	reg_state cs = reg_state::unknown;	// circuit-switched (+CREG)
	reg_state eps = reg_state::unknown;	// +CEREG
	reg_state fivegs = reg_state::unknown;	// +C5GREG
	// The mode cannot tell searching from denied: no bracket.
	bool vague = false;
	access_tech tech = access_tech::unknown;
	// 1: the modem says it has circuit-switched service; 0: it says it has
	// none (a refused AT+CREG? on LTE, a packet-switched-only domain);
	// -1: it cannot tell.
	signed char cs_service = -1;
};

/* why.cpp */
// The reason for the state s, as said after "why: "; null when none holds
// (the modem has circuit-switched service, or could not tell).
const char *why_text(const modem_state *s, char *buf, size_t size);

// Each mode's questions, asked before deadline (now_ms's clock) on the
// device the run still holds, the session already ended; false when the
// modem could not be asked at all. Each lives in a file of its own, built
// in with USSDQ_WITH_WHY, and is wired to its rows in modem/modes.cpp.
bool at_why(modem_state *s, int64_t deadline);
bool mm_why(modem_state *s, int64_t deadline);
bool qmi_why(modem_state *s, int64_t deadline);
bool mbim_why(modem_state *s, int64_t deadline);
bool hilink_why(modem_state *s, int64_t deadline);
