#include <string.h>

#include "coding/charsets.hpp"
#include "coding/septets.hpp"
#include "front/settings.hpp"
#include "modem/link.hpp"

// Huawei modems in their USSD mode 1 take and give packed septets in hex;
// the others take text in the character set of AT+CSCS, as 3GPP TS 27.007
// has it.
static constexpr travel travels[] = {
	{"packed", "AT+CSCS=\"IRA\"", gsm_pack, dcs_decode},
	{"text", "AT+CSCS=\"IRA\"", text_code, text_read},
	{"ucs2", "AT+CSCS=\"UCS2\"", ucs2_code, ucs2_read},
};

const travel *
travel_of(mode_name m)
{
	switch (m) {
	case mode_name::text:
		return &travels[1];
	case mode_name::ucs2:
		return &travels[2];
	case mode_name::packed:
	case mode_name::automatic:
		break;
	}
	return &travels[0];
}

// A Huawei says which USSD mode it is in, or at least names its maker;
// any other modem takes text, best UCS2, which loses no character.
mode_name
ask_mode()
{
	char info[256];

	const char *p = at_ask("AT^USSDMODE?", info, sizeof info) ?
	    strstr(info, "^USSDMODE:") : nullptr;
	if (p != nullptr) {
		for (p += 10; *p == ' '; p++)
			continue;
		if (*p == '1')
			return mode_name::packed;
	} else if (at_ask("AT+CGMI", info, sizeof info) &&
	    strcasestr(info, "huawei") != nullptr) {
		return mode_name::packed;
	}
	if (at_ask("AT+CSCS=?", info, sizeof info) && strstr(info, "UCS2") != nullptr)
		return mode_name::ucs2;
	return mode_name::text;
}
