// MBIM messages on the management device of a USB modem (/dev/cdc-wdmN):
// little-endian u32 fields, services named by UUIDs sent as their 16 bytes
// in the order they are written. The readers take a message or an
// information buffer as bytes and never read outside them. The device's
// messages are read whole, fragments joined, and matched to what was sent
// by transaction id, service and CID; another program's are passed over.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

inline constexpr uint32_t mbim_open_msg = 1, mbim_close_msg = 2, mbim_command_msg = 3,
    mbim_open_done = 0x80000001, mbim_close_done = 0x80000002, mbim_command_done = 0x80000003,
    mbim_function_error = 0x80000004, mbim_indicate_status = 0x80000007;
inline constexpr uint32_t mbim_not_opened = 5;	// FUNCTION_ERROR's code before OPEN
inline constexpr uint32_t mbim_device_caps = 1, mbim_subscriber_ready_status = 2, mbim_radio_state = 3,
    mbim_pin = 4, mbim_register_state = 9, mbim_device_services = 16, mbim_ussd_cid = 1;
inline constexpr size_t mbim_max_transfer = 4096;	// what OPEN asks for

extern const uint8_t mbim_basic_connect[16];	// a289cc33-bcbb-8b4f-b6b0-133ec2aae6df
extern const uint8_t mbim_ussd[16];		// e550a0c8-5e82-479e-82f7-10abf4c3351f

// A field read and written as one load or store, byte-swapped on a
// big-endian host.
inline uint32_t
mbim_u32(const uint8_t *p)
{
	uint32_t v;

	memcpy(&v, p, 4);
	return __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? v : __builtin_bswap32(v);
}

inline void
mbim_put32(uint8_t *p, uint32_t v)
{
	if (__BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__)
		v = __builtin_bswap32(v);
	memcpy(p, &v, 4);
}

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
// The bytes an offset and length pair at `at` names inside the buffer;
// null where it points outside.
const uint8_t *mbim_field(const uint8_t *info, uint32_t len, size_t at, uint32_t *n);
// Whether a Device Services answer lists the service with that CID.
bool mbim_lists(const uint8_t *info, uint32_t len, const uint8_t *service, uint32_t cid);
// The UTF-16 string of the offset and length pair at `at` as UTF-8, cut to
// size with its NUL; false when the pair points outside the buffer.
bool mbim_string(const uint8_t *info, uint32_t len, size_t at, char *out, size_t size);

/* mbim_msg.cpp: the device */
// A COMMAND into buf, its information buffer of n bytes already at buf +
// 48 and its transaction id left for mbim_ask: its length.
size_t mbim_command(uint8_t *buf, const uint8_t *service, uint32_t cid, uint32_t type, size_t n);
// Transaction ids that start from a number that differs from run to run,
// above those other programs count from 1.
uint32_t mbim_new_tid();
[[noreturn]] void mbim_bad();	// "bad MBIM message"
// Writes a message, once what is waiting has been read and dropped:
// nothing that came before it answers it.
void mbim_write(const uint8_t *msg, size_t n);
// The answer to the message sent (for a command, with its transaction id,
// service and CID), or with ussd an indication of the USSD service, into m;
// false when none came by the deadline (-1: none).
bool mbim_wait_for(const uint8_t *sent, bool ussd, int64_t deadline, mbim_message *m);
// Sends the message of n bytes in msg with a new transaction id and waits
// for its answer as mbim_wait_for does.
bool mbim_ask(uint8_t *msg, size_t n, bool ussd, int64_t deadline, mbim_message *m);
// As mbim_ask, and once more after OPEN where the function is not open:
// false when no answer came by the deadline, the answer in m.
bool mbim_transact(uint8_t *msg, size_t n, bool ussd, int64_t deadline, mbim_message *m);
// A Basic Connect query (Device Services, Device Caps): a refusal ends
// the run.
void mbim_basic_query(uint32_t cid, mbim_message *m);
// Writes a ready-made message and reads for at most 1 s until the device
// answers its transaction: with write, poll and read alone.
void mbim_write_now(const uint8_t *msg, size_t n);
// CLOSE, only when this run or probe sent OPEN, and its answer read for at
// most 1 s. The row's let_go; async-signal-safe.
void mbim_let_go();
