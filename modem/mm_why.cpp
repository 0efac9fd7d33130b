#include <stdio.h>

#include "modem/mm.hpp"
#include "modem/why.hpp"

// ModemManager's MMModemLock values from 6 on, as the modem names them:
// "PH-", the key, and PIN, or PUK where puks has the value's bit (from 6).
static constexpr char locks[][7] = {
	"SP", "SP", "NET", "NET", "SIM", "CORP", "CORP", "FSIM", "FSIM", "NETSUB", "NETSUB",
};
static constexpr unsigned puks = 1u << 1 | 1u << 3 | 1u << 6 | 1u << 8 | 1u << 10;

// The SIM's state from the lock ModemManager says the modem waits on.
static sim_state
sim_of_lock(uint32_t v)
{
	if (v == 2)
		return sim_state::pin;
	if (v == 4)
		return sim_state::puk;
	if (v == 3 || v == 5)
		return sim_state::ready;
	if (v >= 6 && v - 6 < sizeof locks / sizeof *locks)
		return sim_state::locked;
	return sim_state::unknown;
}

// The network's side: the access technologies and the 3GPP registration.
static void
mm_network(modem_state *s)
{
	uint32_t v;

	if (mm_number(".Modem", "AccessTechnologies", &v))
		s->tech = v & 0x4000 ? access_tech::lte : v & 0x8000 ? access_tech::nr5g :
		    v != 0 ? access_tech::other : access_tech::unknown;
	if (mm_number(".Modem.Modem3gpp", "RegistrationState", &v)) {
		static constexpr reg_state regs[] = {
			reg_state::not_searching, reg_state::registered, reg_state::searching,
			reg_state::denied, reg_state::unknown, reg_state::registered,
			reg_state::sms_only, reg_state::sms_only, reg_state::unknown,
			reg_state::registered, reg_state::registered,
		};
		s->cs = v < sizeof regs / sizeof *regs ? regs[v] : reg_state::unknown;
	}
}

// The modem's State, and by it what failed or locked it; its access
// technologies; its 3GPP registration. ModemManager does not tell
// circuit-switched service apart, but for SMS only: the registration goes
// as the circuit-switched one.
bool
mm_why(modem_state *s, int64_t)
{
	uint32_t state;
	uint32_t v;

	if (!mm_number(".Modem", "State", &state))
		return false;
	const auto st = static_cast<int32_t>(state);
	// Disabled or being disabled: the radio is off.
	s->radio_off = static_cast<signed char>(st == 3 || st == 4);
	if (s->radio_off)
		return true;
	if (st == 2 && mm_number(".Modem", "UnlockRequired", &v)) {
		s->sim = sim_of_lock(v);
		if (s->sim == sim_state::locked)
			snprintf(s->lock, sizeof s->lock, "PH-%s %s", locks[v - 6],
			    puks >> (v - 6) & 1 ? "PUK" : "PIN");
	}
	// The SIM missing, or an eSIM without a profile.
	if (st == -1 && mm_number(".Modem", "StateFailedReason", &v))
		s->sim = v == 2 || v == 5 ? sim_state::absent : sim_state::unknown;
	if (s->sim != sim_state::unknown && s->sim != sim_state::ready)
		return true;
	mm_network(s);
	return true;
}
