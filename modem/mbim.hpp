// USSD over MBIM: the USSD service's messages on the management device
// of a USB modem (/dev/cdc-wdmN). The fake modem reads the tool's messages
// with these readers too.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "modem/frames/mbim_msg.hpp"

// A USSD answer: {response, session state, scheme, offset, length} and the
// payload they name.
struct mbim_ussd_info {
	uint32_t response, state, scheme;
	const uint8_t *payload;
	uint32_t len;
};
bool mbim_read_ussd(const uint8_t *info, uint32_t len, mbim_ussd_info *u);
// A Basic Connect query (such as Radio State) on the device the run has
// readied; true when it was answered before deadline (now_ms's clock) with
// status 0, the answer in m.
bool mbim_query(uint32_t cid, int64_t deadline, mbim_message *m);
