#include <stdio.h>

#include "modem/mm.hpp"
#include "modem/why.hpp"

// ModemManager's MMModemLock values from 6 to 16, as the modem names them:
// "PH-", the key, and PIN or PUK. Each key has its PIN, then its PUK, but
// SIM, which has its PIN (10) alone: with k the value less 6, and
// j = k + (k >= 5) as if SIM had its PUK too, the key is locks[j / 2], and
// a PUK where j is odd.
static constexpr char locks[][7] = {"SP", "NET", "SIM", "CORP", "FSIM", "NETSUB"};
static constexpr uint32_t first_lock = 6, last_lock = 16;

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
	if (v >= first_lock && v <= last_lock)
		return sim_state::locked;
	return sim_state::unknown;
}

// The network's side: the access technologies and the 3GPP registration.
static void
mm_network(modem_state *s)
{
	int64_t v;

	if ((v = mm_number(".Modem", "AccessTechnologies")) >= 0)
		s->tech = v & 0x4000 ? access_tech::lte : v & 0x8000 ? access_tech::nr5g :
		    v != 0 ? access_tech::other : access_tech::unknown;
	if ((v = mm_number(".Modem.Modem3gpp", "RegistrationState")) >= 0) {
		static constexpr reg_state regs[] = {
			reg_state::not_searching, reg_state::registered, reg_state::searching,
			reg_state::denied, reg_state::unknown, reg_state::registered,
			reg_state::sms_only, reg_state::sms_only, reg_state::unknown,
			reg_state::registered, reg_state::registered,
		};
		s->cs = static_cast<size_t>(v) < sizeof regs / sizeof *regs ? regs[v] : reg_state::unknown;
	}
}

// The modem's State, and by it what failed or locked it; its access
// technologies; its 3GPP registration. ModemManager does not tell
// circuit-switched service apart, but for SMS only: the registration goes
// as the circuit-switched one.
bool
mm_why(modem_state *s, int64_t)
{
	const int64_t state = mm_number(".Modem", "State");
	int64_t v;

	if (state < 0)
		return false;
	const auto st = static_cast<int32_t>(state);
	// Disabled or being disabled: the radio is off.
	s->radio_off = static_cast<signed char>(st == 3 || st == 4);
	if (s->radio_off)
		return true;
	if (st == 2 && (v = mm_number(".Modem", "UnlockRequired")) >= 0) {
		s->sim = sim_of_lock(static_cast<uint32_t>(v));
		if (s->sim == sim_state::locked) {
			const auto j = static_cast<uint32_t>(v - first_lock + (v - first_lock >= 5));
			snprintf(s->lock, sizeof s->lock, "PH-%s %s", locks[j / 2], j % 2 ? "PUK" : "PIN");
		}
	}
	// The SIM missing, or an eSIM without a profile.
	if (st == -1 && (v = mm_number(".Modem", "StateFailedReason")) >= 0)
		s->sim = v == 2 || v == 5 ? sim_state::absent : sim_state::unknown;
	if (s->sim != sim_state::unknown && s->sim != sim_state::ready)
		return true;
	mm_network(s);
	return true;
}
