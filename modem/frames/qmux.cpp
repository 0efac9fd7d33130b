#include <err.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "coding/charsets.hpp"
#include "front/settings.hpp"
#include "modem/frames/link.hpp"
#include "modem/frames/qmux.hpp"
#include "modem/frames/shown.hpp"

// The client ids held: the run's (or the probe's), and one a failed run
// takes for its questions, each of service held; 0: none. The handlers
// give each back with a frame made when it was taken.
static uint8_t cids[2];
static volatile sig_atomic_t held[2];
static uint8_t release_frame[2][17];

static uint16_t txn;
static uint8_t in[2048];		// the frame being read

static uint16_t
get16(const uint8_t *p)
{
	return static_cast<uint16_t>(p[0] | p[1] << 8);
}

static void
put16(uint8_t *p, size_t v)
{
	p[0] = static_cast<uint8_t>(v);
	p[1] = static_cast<uint8_t>(v >> 8);
}

// The header of a frame of either direction.
static bool
header(const uint8_t *f, size_t n, qmi_msg *m)
{
	if (n < 12 || f[0] != 1 || get16(f + 1) != n - 1)
		return false;
	m->service = f[4];
	m->client = f[5];
	size_t h = 13;
	if (m->service == qmi_ctl) {
		m->kind = f[6] & 3;
		m->txn = f[7];
		h = 12;
	} else if (n >= h) {
		m->kind = f[6] & 2 ? qmi_response : f[6] & 4 ? qmi_indication : qmi_request;
		m->txn = get16(f + 7);
	} else {
		return false;
	}
	m->id = get16(f + h - 4);
	m->tlvs = f + h;
	m->tlvs_len = get16(f + h - 2);
	return m->tlvs_len <= n - h;
}

bool
qmi_parse(const uint8_t *f, size_t n, qmi_msg *m)
{
	return header(f, n, m) && (f[3] & 0x80) != 0;
}

const uint8_t *
qmi_tlv(const qmi_msg *m, uint8_t type, size_t *len)
{
	for (size_t at = 0; m->tlvs_len - at >= 3;) {
		const size_t n = get16(m->tlvs + at + 1);
		if (n > m->tlvs_len - at - 3)
			return nullptr;
		if (m->tlvs[at] == type) {
			*len = n;
			return m->tlvs + at + 3;
		}
		at += 3 + n;
	}
	return nullptr;
}

long
qmi_result(const qmi_msg *m)
{
	size_t n;
	const uint8_t *v = qmi_tlv(m, 2, &n);

	if (v == nullptr || n < 4)
		return -2;
	return get16(v) == 0 ? -1 : get16(v + 2);
}

// Under -v each frame is shown as warnx would show it, its first 256
// bytes.
static void
show(const char *what, const uint8_t *f, size_t n)
{
	// Each name after its service and message id, ending in a NUL.
	static constexpr char names[] =
	    "\x00\x21" "CTL Version Info\0" "\x00\x22" "CTL Allocate Client ID\0"
	    "\x00\x23" "CTL Release Client ID\0" "\x02\x21" "DMS Get Manufacturer\0"
	    "\x02\x22" "DMS Get Model\0" "\x02\x2b" "DMS UIM Get PIN Status\0"
	    "\x02\x2d" "DMS Get Operating Mode\0" "\x02\x44" "DMS UIM Get State\0"
	    "\x03\x24" "NAS Get Serving System\0" "\x0b\x2f" "UIM Get Card Status\0"
	    "\x09\x03" "VOICE Indication Register\0"
	    "\x09\x3a" "VOICE Originate USSD\0" "\x09\x3b" "VOICE Answer USSD\0"
	    "\x09\x3c" "VOICE Cancel USSD\0" "\x09\x3d" "VOICE Release USSD\0"
	    "\x09\x3e" "VOICE USSD";
	static constexpr char kinds[][12] = {" request", " response", " indication", ""};
	qmi_msg m;

	if (!verbose)
		return;
	const char *label = "frame";
	if (header(f, n, &m)) {
		for (const char *k = names; k < names + sizeof names; k += 3 + strlen(k + 2))
			if (static_cast<uint8_t>(k[0]) == m.service && static_cast<uint8_t>(k[1]) == m.id)
				label = k + 2;
	} else {
		m.kind = 3;
	}
	const char *const line[] = {__progname, what, label, kinds[m.kind], ":", nullptr};
	show_frame(line, f, n, 1, 256, "");
}

// Why the last read came to end_byte: errno, 0 at the end of input.
static int read_error;

// Reads n bytes, waiting for them until the deadline (-1: none): 0, or
// end_byte or late_byte. Async-signal-safe.
static int
fill(uint8_t *p, size_t n, int64_t deadline)
{
	while (n > 0) {
		if (deadline >= 0) {
			struct pollfd pf = {modem_fd, POLLIN, 0};
			const int64_t left = deadline - now_ms();
			const int r = poll(&pf, 1, left > 0 ? static_cast<int>(left) : 0);
			if (r < 0 && errno == EINTR)
				continue;
			if (r == 0)
				return late_byte;
		}
		const ssize_t r = read(modem_fd, p, n);
		if (r < 0 && errno == EINTR)
			continue;
		if (r <= 0) {
			read_error = r < 0 ? errno : 0;
			return end_byte;
		}
		p += r;
		n -= static_cast<size_t>(r);
	}
	return 0;
}

// The rest of a frame of len bytes, its first 3 read: into in, or passed
// over when the frame is longer than in. As fill. Async-signal-safe.
static int
rest_of_frame(size_t len, int64_t deadline)
{
	if (len <= sizeof in)
		return fill(in + 3, len - 3, deadline);
	for (len -= 3; len > 0;) {
		const size_t k = len < sizeof in ? len : sizeof in;
		if (const int r = fill(in, k, deadline); r != 0)
			return r;
		len -= k;
	}
	return 0;
}

// The next frame from the modem into in, and m set from it: 0, or
// end_byte or late_byte, m then untouched. Its length comes from its
// header; bytes before a frame's start and frames longer than in are
// passed over. Async-signal-safe.
static int
next_frame(int64_t deadline, qmi_msg *m)
{
	for (;;) {
		int r = fill(in, 1, deadline);
		if (r == 0 && in[0] == 1)
			r = fill(in + 1, 2, deadline);
		if (r != 0)
			return r;
		if (in[0] != 1)
			continue;
		const size_t len = get16(in + 1) + 1u;
		if (len < 12)
			continue;
		if ((r = rest_of_frame(len, deadline)) != 0)
			return r;
		if (len > sizeof in)
			continue;
		show(": qmi: got ", in, len);
		if (qmi_parse(in, len, m))
			return 0;
	}
}

// The client id held for service; 0 for CTL.
static uint8_t
client_of(uint8_t service)
{
	return service == qmi_ctl ? 0 : cids[service == held[0] ? 0 : 1];
}

bool
qmux_next_of(uint8_t service, int64_t deadline, qmi_msg *m)
{
	for (;;) {
		const int r = next_frame(deadline, m);
		if (r == late_byte)
			return false;
		if (r != 0)
			lost_port(read_error);
		if (m->service == service && (service == qmi_ctl || m->client == client_of(service)))
			return true;
	}
}

static void
write_all(const uint8_t *f, size_t n)
{
	show(": qmi: sent ", f, n);
	while (n > 0) {
		const ssize_t r = write(modem_fd, f, n);
		if (r < 0 && errno == EINTR)
			continue;
		if (r < 0)
			err(1, "%s", port);
		f += r;
		n -= static_cast<size_t>(r);
	}
}

uint16_t
qmux_begin(qmi_frame *f, uint8_t service, uint16_t id)
{
	// The caller's frame is written here, from its start, not read.
	// cppcheck-suppress ctuuninitvar
	uint8_t *out = f->buf;
	const bool ctl = service == qmi_ctl;

	out[0] = 1;
	out[3] = 0;
	out[4] = service;
	out[5] = client_of(service);
	out[6] = 0;
	// Transaction ids go round past 0, which stands for none; CTL's are
	// the counter's low byte. Each run starts them from its pid and the
	// clock, so that a response late for an earlier run is not taken for
	// its own.
	if (txn == 0)
		txn = static_cast<uint16_t>((static_cast<uint32_t>(getpid()) * 2654435761u +
		    static_cast<uint32_t>(now_ms())) >> 16);
	uint16_t t;
	do
		t = ++txn & (ctl ? 0xff : 0xffff);
	while (t == 0);
	// CTL's is one byte: the id overwrites the second.
	f->len = ctl ? 8 : 9;
	put16(out + 7, t);
	put16(out + f->len, id);
	f->len += 4;
	return t;
}

void
qmux_tlv(qmi_frame *f, uint8_t type, const uint8_t *v, size_t n)
{
	f->buf[f->len] = type;
	put16(f->buf + f->len + 1, n);
	memcpy(f->buf + f->len + 3, v, n);
	f->len += 3 + n;
}

void
qmux_seal(qmi_frame *f)
{
	const size_t h = f->buf[4] == qmi_ctl ? 12 : 13;

	put16(f->buf + 1, f->len - 1);
	put16(f->buf + h - 2, f->len - h);
}

void
qmux_send(qmi_frame *f)
{
	qmux_seal(f);
	write_all(f->buf, f->len);
}

// Whether m is the response to the request frame f: its service, client,
// transaction and message. Async-signal-safe.
static bool
answers(const uint8_t *f, const qmi_msg *m)
{
	const bool c = f[4] == qmi_ctl;

	return m->kind == qmi_response && m->service == f[4] && (c || m->client == f[5]) &&
	    m->txn == (c ? f[7] : get16(f + 7)) && m->id == get16(f + (c ? 8 : 9));
}

bool
qmux_reply(const qmi_frame *f, int64_t deadline, qmi_msg *m)
{
	while (qmux_next_of(f->buf[4], deadline, m))
		if (answers(f->buf, m))
			return true;
	return false;
}

bool
qmux_round_trip(qmi_frame *f, int64_t deadline, qmi_msg *m)
{
	qmux_send(f);
	return qmux_reply(f, deadline, m);
}

void
qmux_refusal(const qmi_msg *m, long error, char *refusal, size_t size)
{
	// Each name after its error code, ending in a NUL.
	static constexpr char names[] =
	    "\x01" "MalformedMessage\0" "\x03" "Internal\0" "\x04" "Aborted\0"
	    "\x05" "ClientIdsExhausted\0" "\x07" "InvalidClientId\0" "\x0e" "CallFailed\0"
	    "\x0f" "OutOfCall\0" "\x1a" "NoEffect\0" "\x30" "InvalidArgument\0"
	    "\x47" "InvalidQmiCommand\0" "\x5e" "NotSupported\0" "\x66" "NoSim";
	const char *label = nullptr;
	size_t n;

	if (error == -2)
		errx(1, "%s: bad QMI response", port);
	for (const char *k = names; k < names + sizeof names; k += 2 + strlen(k + 1))
		if (k[0] == error)
			label = k + 1;
	int k = snprintf(refusal, size, label ? "QMI error %ld (%s)" : "QMI error %ld", error, label);
	const uint8_t *v = qmi_tlv(m, 0x10, &n);
	if (v != nullptr && n >= 2 && k > 0 && static_cast<size_t>(k) < size)
		snprintf(refusal + k, size - static_cast<size_t>(k), ", call end reason %u", get16(v));
}

bool
qmux_take_client(uint8_t service, int64_t deadline, int k)
{
	qmi_frame f;
	qmi_msg m;
	size_t n = 0;

	qmux_begin(&f, qmi_ctl, 0x22);
	qmux_tlv(&f, 1, &service, 1);
	qmux_send(&f);
	// Another program's allocation may come with the same transaction id:
	// only one of the service asked for is the run's. e is -3 when no
	// answer came.
	long e;
	const uint8_t *v;
	do {
		e = qmux_reply(&f, deadline, &m) ? qmi_result(&m) : -3;
		v = e == -1 ? qmi_tlv(&m, 1, &n) : nullptr;
		if (n < 2)
			v = nullptr;
	} while (v != nullptr && v[0] != service);
	if (v == nullptr) {
		if (k == 1)
			return false;
		if (e == -3)
			errx(1, "%s: no answer", port);
		// A success without the client id is a bad response, as one
		// without a result is.
		char why[96];
		qmux_refusal(&m, e == -1 ? -2 : e, why, sizeof why);
		errx(1, "%s: request refused: %s", port, why);
	}
	cids[k] = v[1];
	qmux_begin(&f, qmi_ctl, 0x23);
	qmux_tlv(&f, 1, v, 2);
	qmux_seal(&f);
	memcpy(release_frame[k], f.buf, sizeof release_frame[k]);
	held[k] = service;
	return true;
}

void
qmux_send_now(const uint8_t *f, size_t n)
{
	const int64_t deadline = now_ms() + 1000;
	qmi_msg m;

	show(": qmi: sent ", f, n);
	if (write(modem_fd, f, n) != static_cast<ssize_t>(n))
		return;
	while (next_frame(deadline, &m) == 0)
		if (answers(f, &m))
			return;
}

void
qmux_give_back(int k)
{
	if (held[k] == 0)
		return;
	held[k] = 0;
	qmux_send_now(release_frame[k], sizeof release_frame[k]);
}

uint8_t
qmux_held(int k)
{
	return static_cast<uint8_t>(held[k]);
}

