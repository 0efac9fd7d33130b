// QMUX: QMI's frames on a /dev/cdc-wdmN device, their TLVs, and the
// client ids of CTL that every other service's messages carry. All fields
// are little-endian. A frame is read by the length in its header, and
// frames of another client or transaction are passed over in one place;
// the frames a handler writes are made before they are needed.
#pragma once

#include <stddef.h>
#include <stdint.h>

// One frame as read: its header's fields and where its TLVs lie.
struct qmi_msg {
	uint8_t service, client;
	uint8_t kind;		// qmi_request, qmi_response or qmi_indication
	uint16_t txn, id;
	const uint8_t *tlvs;
	size_t tlvs_len;
};
inline constexpr uint8_t qmi_request = 0, qmi_response = 1, qmi_indication = 2;

// The frame of n bytes at f (from its 01 on): false when it is not one
// whole frame from the modem.
bool qmi_parse(const uint8_t *f, size_t n, qmi_msg *m);
// The value of the first TLV of this type, its length in len; null when
// there is none or it is cut short.
const uint8_t *qmi_tlv(const qmi_msg *m, uint8_t type, size_t *len);
// The result TLV: -1 success, else the error code; -2 when there is none.
long qmi_result(const qmi_msg *m);
inline constexpr uint8_t qmi_ctl = 0;

/* qmux.cpp */
// A request being built, in a buffer its caller owns.
struct qmi_frame {
	uint8_t buf[256];
	size_t len;
};
// Starts a request of message id to service, from the client id held for
// it: its transaction id, which differs from run to run.
uint16_t qmux_begin(qmi_frame *f, uint8_t service, uint16_t id);
void qmux_tlv(qmi_frame *f, uint8_t type, const uint8_t *v, size_t n);
void qmux_seal(qmi_frame *f);		// its lengths written
void qmux_send(qmi_frame *f);		// sealed and written
// The response to f, sent, waited for until deadline (-1: none) into m:
// false when it did not come. qmux_round_trip sends it first.
bool qmux_reply(const qmi_frame *f, int64_t deadline, qmi_msg *m);
bool qmux_round_trip(qmi_frame *f, int64_t deadline, qmi_msg *m);
// The next frame of service from the client id held for it (any for CTL):
// false past the deadline; the end of input ends the run.
bool qmux_next_of(uint8_t service, int64_t deadline, qmi_msg *m);
// Writes a ready-made frame and reads frames, for at most 1 s, until the
// response to it. Async-signal-safe.
void qmux_send_now(const uint8_t *f, size_t n);
// The modem's refusal as the run tells it: the error, its name where it is
// a common one, and the call's end reason where the modem gives it.
void qmux_refusal(const qmi_msg *m, long error, char *refusal, size_t size);
// Client ids of CTL, in two slots: the run's or a probe's (0), where a
// refusal ends the run, and one for a failed run's questions (1), false
// then. Each is given back by a frame made when it was taken, from a
// handler too (async-signal-safe); qmux_held says the service slot k holds,
// 0 for none.
bool qmux_take_client(uint8_t service, int64_t deadline, int k);
void qmux_give_back(int k);
uint8_t qmux_held(int k);
