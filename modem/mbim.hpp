// USSD over MBIM, on the management device of a USB modem (/dev/cdc-wdmN):
// messages of little-endian u32 fields, services named by UUIDs sent as
// their 16 bytes in the order they are written. The readers below take a
// message or an information buffer as bytes and never read outside them;
// the fake modem reads the tool's messages with them too.
#pragma once

#include <stddef.h>
#include <stdint.h>

inline constexpr uint32_t mbim_open_msg = 1, mbim_close_msg = 2, mbim_command_msg = 3,
    mbim_open_done = 0x80000001, mbim_close_done = 0x80000002, mbim_command_done = 0x80000003,
    mbim_function_error = 0x80000004, mbim_indicate_status = 0x80000007;
inline constexpr uint32_t mbim_not_opened = 5;	// FUNCTION_ERROR's code before OPEN
inline constexpr uint32_t mbim_device_caps = 1, mbim_subscriber_ready_status = 2, mbim_radio_state = 3,
    mbim_pin = 4, mbim_register_state = 9, mbim_device_services = 16, mbim_ussd_cid = 1;
inline constexpr size_t mbim_max_transfer = 4096;	// what OPEN asks for

extern const uint8_t mbim_basic_connect[16];	// a289cc33-bcbb-8b4f-b6b0-133ec2aae6df
extern const uint8_t mbim_ussd[16];		// e550a0c8-5e82-479e-82f7-10abf4c3351f

uint32_t mbim_u32(const uint8_t *p);
void mbim_put32(uint8_t *p, uint32_t v);

// One whole message: its header, and for COMMAND, COMMAND_DONE and
// INDICATE_STATUS its service, CID and information buffer. status is
// COMMAND_DONE's status, COMMAND's type (0 query, 1 set), the code of
// FUNCTION_ERROR, the status of OPEN_DONE and CLOSE_DONE, OPEN's maximum
// control transfer.
struct mbim_message {
	uint32_t type, tid;
	const uint8_t *service;		// 16 bytes; null where none
	uint32_t cid, status;
	const uint8_t *info;
	uint32_t info_len;
};
// False when the len bytes at msg are not one whole message of that length
// (a fragment of a longer one among them).
bool mbim_parse(const uint8_t *msg, size_t len, mbim_message *m);

// A USSD answer: {response, session state, scheme, offset, length} and the
// payload they name.
struct mbim_ussd_info {
	uint32_t response, state, scheme;
	const uint8_t *payload;
	uint32_t len;
};
bool mbim_read_ussd(const uint8_t *info, uint32_t len, mbim_ussd_info *u);
// Whether a Device Services answer lists the service with that CID.
bool mbim_lists(const uint8_t *info, uint32_t len, const uint8_t *service, uint32_t cid);
// The UTF-16 string of the offset and length pair at `at` as UTF-8, cut to
// size with its NUL; false when the pair points outside the buffer.
bool mbim_string(const uint8_t *info, uint32_t len, size_t at, char *out, size_t size);

// CLOSE, only when this run or probe sent OPEN, and its answer read for at
// most 1 s. The row's let_go; async-signal-safe.
void mbim_let_go();

// A Basic Connect query (such as Radio State) on the device the run has
// readied; true when it was answered before deadline (now_ms's clock) with
// status 0, the answer in m.
bool mbim_query(uint32_t cid, int64_t deadline, mbim_message *m);
