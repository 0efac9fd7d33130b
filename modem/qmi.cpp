#include <err.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "coding/charsets.hpp"
#include "front/settings.hpp"
#include "modem/link.hpp"
#include "modem/modes.hpp"
#include "modem/qmi.hpp"

static constexpr uint8_t ctl = 0, dms = 2, voice = 9;
static constexpr uint8_t ussd_text = 1, ussd_action = 1;

// The client id the run holds, of service held; 0: none. The handlers
// give it back with a frame made when it was taken.
static uint8_t cid;
static volatile sig_atomic_t held;
static uint8_t release_frame[17];
static uint8_t release_txn;
static uint8_t cancel_frame[13];
static uint16_t cancel_txn;

static uint8_t out[256];		// the request being written
static size_t out_len;
static uint8_t ctl_txn;
static uint16_t txn;
static uint8_t in[2048];		// the frame being read
static uint16_t owed;			// Originate USSD's transaction, its response still to come
static int answer_coding;

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
	if (m->service == ctl) {
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

bool
qmi_text(const qmi_msg *m, uint8_t utf16, uint8_t coded, char *hex, size_t size, int *coding)
{
	static constexpr char digits[] = "0123456789abcdef";
	size_t n;
	size_t len;
	const uint8_t *v = qmi_tlv(m, utf16, &n);

	if (v != nullptr && n >= 1 && 2 * static_cast<size_t>(v[0]) <= n - 1) {
		*coding = 0;
		len = 2 * static_cast<size_t>(v[0]);
	} else if ((v = qmi_tlv(m, coded, &n)) != nullptr && n >= 2 && v[1] <= n - 2) {
		*coding = v[0];
		len = v[1];
	} else {
		return false;
	}
	v += 1 + (*coding != 0);
	size_t k = 0;
	for (size_t i = 0; i < len && k + 2 < size; i++) {
		hex[k++] = digits[v[i] >> 4];
		hex[k++] = digits[v[i] & 15];
	}
	hex[k] = '\0';
	return true;
}

void
qmi_decode(const uint8_t *octets, size_t n, int coding, utf8_out *out)
{
	uint8_t be[512];

	if (coding == 0 && n <= sizeof be) {
		for (size_t i = 0; i + 1 < n; i += 2) {
			be[i] = octets[i + 1];
			be[i + 1] = octets[i];
		}
		ucs2_to_utf8(be, n & ~static_cast<size_t>(1), out);
	} else if (coding == 3) {
		ucs2_to_utf8(octets, n, out);
	} else {
		latin1_to_utf8(octets, n, out);
	}
}

// Under -v each frame is shown as warnx would show it, but with write
// alone: the handlers send frames too.
static void
say(const char *s)
{
	ssize_t r = write(STDERR_FILENO, s, strlen(s));
	(void)r;
}

static void
show(const char *what, const uint8_t *f, size_t n)
{
	struct name {
		uint8_t service;
		uint8_t id;
		const char *name;
	};
	static constexpr name names[] = {
		{ctl, 0x21, "CTL Version Info"}, {ctl, 0x22, "CTL Allocate Client ID"},
		{ctl, 0x23, "CTL Release Client ID"}, {dms, 0x21, "DMS Get Manufacturer"},
		{dms, 0x22, "DMS Get Model"}, {voice, 0x03, "VOICE Indication Register"},
		{voice, 0x3a, "VOICE Originate USSD"}, {voice, 0x3b, "VOICE Answer USSD"},
		{voice, 0x3c, "VOICE Cancel USSD"}, {voice, 0x3d, "VOICE Release USSD"},
		{voice, 0x3e, "VOICE USSD"},
	};
	static constexpr const char *kinds[] = {" request", " response", " indication", ""};
	static char hex[3 * 256 + 4];
	qmi_msg m;

	if (!verbose)
		return;
	const char *label = "frame";
	if (header(f, n, &m)) {
		for (const name *k = names; k < names + sizeof names / sizeof *names; k++)
			if (k->service == m.service && k->id == m.id)
				label = k->name;
	} else {
		m.kind = 3;
	}
	size_t k = 0;
	for (size_t i = 0; i < n && k < sizeof hex - 4; i++) {
		hex[k++] = ' ';
		hex[k++] = "0123456789abcdef"[f[i] >> 4];
		hex[k++] = "0123456789abcdef"[f[i] & 15];
	}
	hex[k] = '\0';
	say(__progname);
	say(": qmi: ");
	say(what);
	say(label);
	say(kinds[m.kind]);
	say(":");
	say(hex);
	say("\n");
}

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
		if (r <= 0)
			return end_byte;
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
		show("got ", in, len);
		if (qmi_parse(in, len, m))
			return 0;
	}
}

// The next frame for this service and client (any client for CTL).
static bool
next_of(uint8_t service, int64_t deadline, qmi_msg *m)
{
	for (;;) {
		const int r = next_frame(deadline, m);
		if (r == late_byte)
			return false;
		if (r != 0)
			lost_modem();
		if (m->service == service && (service == ctl || m->client == cid))
			return true;
	}
}

static void
write_all(const uint8_t *f, size_t n)
{
	show("sent ", f, n);
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

// Starts a request to service; its transaction id.
static uint16_t
begin(uint8_t service, uint16_t id)
{
	uint16_t t;

	out[0] = 1;
	out[3] = 0;
	out[4] = service;
	out[5] = service == ctl ? 0 : cid;
	out[6] = 0;
	// Transaction ids go round past 0, which stands for none.
	if (service == ctl) {
		if (ctl_txn == 0xff)
			ctl_txn = 0;
		out[7] = ++ctl_txn;
		t = ctl_txn;
		out_len = 8;
	} else {
		if (txn == 0xffff)
			txn = 0;
		put16(out + 7, ++txn);
		t = txn;
		out_len = 9;
	}
	put16(out + out_len, id);
	out_len += 4;
	return t;
}

static void
tlv(uint8_t type, const uint8_t *v, size_t n)
{
	out[out_len] = type;
	put16(out + out_len + 1, n);
	memcpy(out + out_len + 3, v, n);
	out_len += 3 + n;
}

static void
seal()
{
	const size_t h = out[4] == ctl ? 12 : 13;

	put16(out + 1, out_len - 1);
	put16(out + h - 2, out_len - h);
}

static void
send()
{
	seal();
	write_all(out, out_len);
}

// A request and its response, waited for until the deadline; false when
// it did not come.
static bool
exchange(uint8_t service, int64_t deadline, qmi_msg *m)
{
	const uint16_t t = static_cast<uint16_t>(out[4] == ctl ? out[7] : get16(out + 7));

	send();
	while (next_of(service, deadline, m))
		if (m->kind == qmi_response && m->txn == t)
			return true;
	return false;
}

// The modem's refusal as the run tells it: the error, its name where it is
// a common one, and the call's end reason where the modem gives it.
static void
refusal_of(const qmi_msg *m, long error, char *refusal, size_t size)
{
	struct name {
		uint8_t error;
		const char *name;
	};
	static constexpr name names[] = {
		{1, "MalformedMessage"}, {3, "Internal"}, {4, "Aborted"},
		{5, "ClientIdsExhausted"}, {7, "InvalidClientId"}, {14, "CallFailed"},
		{15, "OutOfCall"}, {26, "NoEffect"}, {48, "InvalidArgument"},
		{71, "InvalidQmiCommand"}, {94, "NotSupported"}, {102, "NoSim"},
	};
	const char *label = nullptr;
	size_t n;

	if (error == -2)
		errx(1, "%s: bad QMI response", port);
	for (const name *k = names; k < names + sizeof names / sizeof *names; k++)
		if (k->error == error)
			label = k->name;
	int k = snprintf(refusal, size, label ? "QMI error %ld (%s)" : "QMI error %ld", error, label);
	const uint8_t *v = qmi_tlv(m, 0x10, &n);
	if (v != nullptr && n >= 2 && k > 0 && static_cast<size_t>(k) < size)
		snprintf(refusal + k, size - static_cast<size_t>(k), ", call end reason %u", get16(v));
}

// Takes a client id of service from CTL; the modem's refusal ends the run.
static void
take_client(uint8_t service, int64_t deadline)
{
	qmi_msg m;
	size_t n;

	begin(ctl, 0x22);
	tlv(1, &service, 1);
	if (!exchange(ctl, deadline, &m))
		errx(1, "%s: no answer", port);
	const long e = qmi_result(&m);
	if (e != -1) {
		char why[96];
		refusal_of(&m, e, why, sizeof why);
		errx(1, "%s: request refused: %s", port, why);
	}
	const uint8_t *v = qmi_tlv(&m, 1, &n);
	if (v == nullptr || n < 2)
		errx(1, "%s: bad QMI response", port);
	cid = v[1];
	const uint8_t ids[2] = {service, cid};
	begin(ctl, 0x23);
	tlv(1, ids, 2);
	seal();
	memcpy(release_frame, out, sizeof release_frame);
	release_txn = ctl_txn;
	if (service == voice) {
		cancel_txn = begin(voice, 0x3c);
		seal();
		memcpy(cancel_frame, out, sizeof cancel_frame);
	}
	held = service;
}

// Writes a ready-made frame and reads frames, for at most 1 s, until the
// response to it. Async-signal-safe.
static void
send_now(const uint8_t *f, size_t n, uint8_t service, uint16_t t)
{
	const int64_t deadline = now_ms() + 1000;
	qmi_msg m;

	show("sent ", f, n);
	if (write(modem_fd, f, n) != static_cast<ssize_t>(n))
		return;
	while (next_frame(deadline, &m) == 0)
		if (m.service == service && m.kind == qmi_response && m.txn == t)
			return;
}

void
qmi_let_go()
{
	if (held == 0)
		return;
	held = 0;
	send_now(release_frame, sizeof release_frame, ctl, release_txn);
}

static void
qmi_end_session_now()
{
	if (held == voice)
		send_now(cancel_frame, sizeof cancel_frame, voice, cancel_txn);
}

static const mode_ops *
qmi_set_up(const mode_ops *self, const ussd_job *job)
{
	static constexpr uint8_t on = 1;
	qmi_msg m;

	// Nothing is sent, nor a client id taken, for a request that cannot go.
	if (const char *why = job_refusal(self, job))
		errx(1, "%s", why);
	device_setup(true);
	take_client(voice, -1);
	begin(voice, 0x03);
	tlv(0x16, &on, 1);
	exchange(voice, -1, &m);
	if (qmi_result(&m) != -1 && verbose)
		warnx("qmi: USSD indications refused");
	return self;
}

// The request's characters as the modem takes them: ASCII, else UCS2.
static const char *
coded(const char *request, uint8_t *v)
{
	uint32_t cp;
	size_t n = 0;
	bool ascii = true;

	for (const char *p = request; *p != '\0'; p++)
		ascii = ascii && (*p & 0x80) == 0;
	v[0] = ascii ? 1 : 3;
	for (size_t k; *request != '\0'; request += k) {
		if ((k = utf8_get(request, &cp)) == 0)
			return "USSD is not UTF-8 text";
		if (n >= (ascii ? 182 : 160) || (cp > 0xffff && n >= 158))
			return "USSD too long";
		if (ascii) {
			v[2 + n++] = static_cast<uint8_t>(cp);
			continue;
		}
		if (cp > 0xffff) {
			cp -= 0x10000;
			const uint32_t hi = 0xd800 + (cp >> 10);
			v[2 + n++] = static_cast<uint8_t>(hi >> 8);
			v[2 + n++] = static_cast<uint8_t>(hi);
			cp = 0xdc00 + (cp & 0x3ff);
		}
		v[2 + n++] = static_cast<uint8_t>(cp >> 8);
		v[2 + n++] = static_cast<uint8_t>(cp);
	}
	v[1] = static_cast<uint8_t>(n);
	return nullptr;
}

// At most 182 ASCII characters, or 80 UCS2 units (160 octets).
static const char *
qmi_refusal(const char *request)
{
	uint8_t v[2 + 182];

	return coded(request, v);
}

// The answer's text, if m has one, into a: its octets in hex, as -j
// shows them; their coding is kept for qmi_read.
static char answer_hex[work_buf_size];

static bool
take(const qmi_msg *m, uint8_t utf16, uint8_t coded_tlv, ussd_answer *a)
{
	const bool has = qmi_text(m, utf16, coded_tlv, answer_hex, sizeof answer_hex, &answer_coding);

	// A coding byte is no data coding scheme.
	*a = {a->status, -1, has ? answer_hex : nullptr, has ? strlen(answer_hex) : 0, false};
	return has;
}

// The network's text comes as the response to Originate USSD or as an
// indication while that response is still owed, whichever first; a reply's
// own response carries only its result.
static const mode_ops *
qmi_ask(const char *request, bool first, ussd_answer *a, char *refusal, size_t size)
{
	uint8_t v[2 + 182];
	qmi_msg m;

	// Requests are checked before the modem is touched; one that came here
	// unchecked is still refused before anything is sent.
	if (const char *why = coded(request, v))
		errx(1, "%s", why);
	const uint16_t t = begin(voice, first ? 0x3a : 0x3b);
	tlv(ussd_text, v, 2u + v[1]);
	send();
	if (first)
		owed = t;
	for (;;) {
		if (!next_of(voice, answer_deadline, &m))
			answer_overdue();
		const long e = qmi_result(&m);
		if (m.kind == qmi_response && (m.txn == t || m.txn == owed)) {
			if (m.txn == owed)
				owed = 0;
			if (e != -1) {
				refusal_of(&m, e, refusal, size);
				return nullptr;
			}
			// A response without text only says that the request
			// went out; the text follows as an indication.
			if (m.id == 0x3a && take(&m, 0x16, 0x12, a)) {
				a->status = 0;
				return &qmi_mode;
			}
		} else if (m.kind == qmi_indication && m.id == 0x3e) {
			size_t n;
			const uint8_t *act = qmi_tlv(&m, ussd_action, &n);
			take(&m, 0x11, 0x10, a);
			a->status = act != nullptr && n >= 1 && act[0] == 2;
			return &qmi_mode;
		} else if (m.kind == qmi_indication && m.id == 0x3d) {
			*a = {2, -1, nullptr, 0, false};
			return &qmi_mode;
		}
	}
}

static bool
qmi_end_session(bool limited)
{
	qmi_msg m;

	begin(voice, 0x3c);
	return exchange(voice, limited ? now_ms() + 1000 : -1, &m) && qmi_result(&m) == -1;
}

static bool
qmi_read(const char *hex, size_t len, int, utf8_out *out)
{
	uint8_t octets[work_buf_size / 2];

	const size_t n = hex_octets(hex, len, octets);

	qmi_decode(octets, n, answer_coding, out);
	return true;
}

// A DMS string (TLV 1) into s.
static void
dms_string(uint8_t id, char *s, size_t size, int64_t deadline)
{
	qmi_msg m;
	size_t n;

	begin(dms, id);
	if (!exchange(dms, deadline, &m))
		return;
	if (const uint8_t *v = qmi_tlv(&m, 1, &n); v != nullptr && qmi_result(&m) == -1)
		snprintf(s, size, "%.*s", static_cast<int>(n), reinterpret_cast<const char *>(v));
}

bool
qmi_probe(char *maker, size_t msize, char *model, size_t size)
{
	const int64_t deadline = now_ms() + 1000;

	take_client(dms, deadline);
	dms_string(0x21, maker, msize, deadline);
	dms_string(0x22, model, size, deadline);
	qmi_let_go();
	return true;
}

// A device of frames that the kernel's QMI driver drives.
static bool
qmi_claims(const char *port)
{
	const char *w = frames_way(port);

	return w != nullptr && strcmp(w, "qmi") == 0;
}

// No later run could learn that a session it kept waits; the coding byte
// of an answer is no scheme that -s could overrule.
const mode_ops qmi_mode = {"qmi", true, false, false, qmi_claims, qmi_set_up, qmi_refusal,
	qmi_ask, qmi_end_session, qmi_end_session_now, qmi_let_go, qmi_read};
