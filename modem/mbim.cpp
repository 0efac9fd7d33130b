#include <err.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <sys/ioctl.h>

#include "coding/charsets.hpp"
#include "coding/septets.hpp"
#include "front/settings.hpp"
#include "modem/frames/link.hpp"
#include "modem/frames/sysfs.hpp"
#include "modem/mbim.hpp"
#include "modem/modes.hpp"

static constexpr size_t max_payload = 160;
// The cancel a handler sends: USSD action 2, made at set-up.
static uint8_t cancel_msg[64];
static size_t cancel_len;

bool
mbim_read_ussd(const uint8_t *info, uint32_t len, mbim_ussd_info *u)
{
	if (len < 20)
		return false;
	u->response = mbim_u32(info);
	u->state = mbim_u32(info + 4);
	u->scheme = mbim_u32(info + 8);
	return (u->payload = mbim_field(info, len, 12, &u->len)) != nullptr;
}

// The USSD command: action, scheme, the payload's offset and length, the
// payload padded to four bytes; its transaction id left for mbim_ask. Kept
// out of line, as mbim_command is.
[[gnu::noinline]] static size_t
ussd_command(uint8_t *buf, uint32_t action, uint32_t dcs, const uint8_t *payload, size_t n)
{
	uint8_t *info = buf + 48;
	const size_t len = 16 + (n + 3) / 4 * 4;

	mbim_put32(info + len - 4, 0);	// the padding
	mbim_put32(info, action);
	mbim_put32(info + 4, dcs);
	mbim_put32(info + 8, 16);
	mbim_put32(info + 12, static_cast<uint32_t>(n));
	if (n > 0)
		memcpy(info + 16, payload, n);
	return mbim_command(buf, mbim_ussd, mbim_ussd_cid, 1, len);
}

// The first command goes without OPEN, which would reset the state of
// another program that has the function open; OPEN follows only when the
// device says that nobody has.
static const mode_ops *
mbim_set_up(const mode_ops *self, const ussd_job *)
{
	mbim_message m;

	device_setup(true);
	cancel_len = ussd_command(cancel_msg, 2, 15, nullptr, 0);
	mbim_put32(cancel_msg + 8, mbim_new_tid());
	mbim_basic_query(mbim_device_services, &m);
	if (!mbim_lists(m.info, m.info_len, mbim_ussd, mbim_ussd_cid))
		errx(1, "%s: the modem offers no USSD over MBIM", port);
	return self;
}

// The request packed in the GSM alphabet where it can be, else in UCS2.
static const char *
encode(const char *text, uint8_t *payload, size_t *n, uint32_t *dcs)
{
	const char *why = gsm_octets(text, payload, max_payload, n);

	*dcs = 15;
	if (why != gsm_lacks)
		return why;
	*dcs = 72;
	return ucs2_encode(text, payload, max_payload, n);
}

// Packed or UCS2, at most 160 octets.
static const char *
mbim_refusal(const char *request)
{
	uint8_t payload[work_buf_size / 2];
	size_t n;
	uint32_t dcs;

	return encode(request, payload, &n, &dcs);
}

// The payload of the last answer, and its hex as -j shows it raw.
static uint8_t answer_octets[work_buf_size / 2];
static char answer_hex[work_buf_size];

static const mode_ops *
mbim_send(const char *request, bool first, ussd_answer *a, char *refusal, size_t size)
{
	uint8_t payload[work_buf_size / 2];
	uint8_t msg[64 + max_payload];
	size_t n;
	uint32_t dcs;
	mbim_message m;
	mbim_ussd_info u;

	encode(request, payload, &n, &dcs);
	// A USSD command waits for the network, as long as -t lets it.
	if (!mbim_transact(msg, ussd_command(msg, first ? 0 : 1, dcs, payload, n), true, answer_deadline,
		&m))
		answer_overdue();
	// An answer that carries nothing says only that the command was
	// taken; the network's comes as an indication.
	for (;;) {
		if (m.type == mbim_command_done && m.status != 0) {
			// A request refused opened no session to end.
			if (first)
				cancel_len = 0;
			snprintf(refusal, size, "MBIM status %u", m.status);
			return nullptr;
		}
		if (mbim_read_ussd(m.info, m.info_len, &u))
			break;
		if (m.info_len != 0 || m.type != mbim_command_done)
			mbim_bad();
		if (!mbim_wait_for(msg, true, answer_deadline, &m))
			answer_overdue();
	}
	// A menu must have its text; an answer that needs no further action
	// may be empty.
	if (u.response > 5 || u.scheme > 255 || (u.response == 1 && u.len == 0))
		mbim_bad();
	if (2 * static_cast<size_t>(u.len) >= work_buf_size)
		errx(1, "%s: response too long", port);
	memcpy(answer_octets, u.payload, u.len);
	hex_put(answer_octets, u.len, answer_hex, false);
	*a = {static_cast<int>(u.response), static_cast<int>(u.scheme), charset::gsm, answer_octets,
	    u.len, u.len > 0 || u.response == 0 ? answer_hex : nullptr, 2 * size_t{u.len}, nullptr};
	return &mbim_mode;
}

bool
mbim_query(uint32_t cid, int64_t deadline, mbim_message *m)
{
	uint8_t msg[48];

	return mbim_ask(msg, mbim_command(msg, mbim_basic_connect, cid, 0, 0), false, deadline, m) &&
	    m->type == mbim_command_done && m->status == 0;
}

// The cancel made at set-up, with a transaction id of its own.
static bool
mbim_end_session(bool limited)
{
	mbim_message m;

	return mbim_ask(cancel_msg, sizeof cancel_msg, false, limited ? now_ms() + 1000 : -1, &m);
}

// A ready-made USSD action 2, and its answer read for at most 1 s.
static void
mbim_end_session_now()
{
	if (cancel_len > 0)
		mbim_write_now(cancel_msg, cancel_len);
}

// -l: the model from Device Caps, the function closed again.
static bool
mbim_probe(port_finding *f)
{
	mbim_message m;

	f->busy = !device_setup(false);
	if (f->busy)
		return true;
	// A probe that fails on the way still closes what it opened.
	atexit(mbim_let_go);
	mbim_basic_query(mbim_device_caps, &m);
	const bool ok = mbim_string(m.info, m.info_len, 56, f->model, sizeof f->model);
	mbim_let_go();
	memcpy(f->mode, "mbim", sizeof "mbim");
	return ok;
}

// A device of frames that the kernel's MBIM driver drives.
static bool
mbim_claims(const char *port)
{
	const char *w = frames_way(port);

	return w != nullptr && strcmp(w, "mbim") == 0;
}

// No later run could learn that a session it kept waits; the answers carry
// a scheme, which -s may overrule.
const mode_ops mbim_mode = {
	.name = "mbim",
	.named = true,
	.schemes = true,
	.claims = mbim_claims,
	.kind_of = of_frames,
	.set_up = mbim_set_up,
	.refusal = mbim_refusal,
	.send = mbim_send,
	.end_session = mbim_end_session,
	.end_session_now = mbim_end_session_now,
	.let_go = mbim_let_go,
	.probe = mbim_probe,
};
