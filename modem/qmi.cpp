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
#include "modem/frames/sysfs.hpp"
#include "modem/modes.hpp"
#include "modem/qmi.hpp"

static constexpr uint8_t ctl = 0, dms = 2, voice = 9;
static constexpr uint8_t ussd_text = 1, ussd_action = 1;

// The handlers give back each client id held with a frame made when it
// was taken.
// The client ids held: the run's (or the probe's), and one a failed run
// takes for its questions, each of service held; 0: none.
static uint8_t cids[2];
static volatile sig_atomic_t held[2];
static uint8_t release_frame[2][17];
static uint8_t cancel_frame[13];
// A USSD session of the run's may be open: not once the modem refused its
// request, which leaves none, or another client's, to end.
static volatile sig_atomic_t session;

static uint8_t out[256];		// the request being written
static size_t out_len;
static uint8_t ctl_txn;
static uint16_t txn;
static bool numbered;
static uint8_t in[2048];		// the frame being read
static uint16_t owed;			// Originate USSD's transaction, its response still to come

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
qmi_text(const qmi_msg *m, uint8_t utf16, uint8_t coded, const uint8_t **octets, size_t *n,
    int *coding)
{
	size_t len;
	const uint8_t *v = qmi_tlv(m, utf16, &len);

	if (v != nullptr && len >= 1 && 2 * static_cast<size_t>(v[0]) <= len - 1) {
		*coding = qmi_utf16le;
		*n = 2 * static_cast<size_t>(v[0]);
		v++;
	} else if ((v = qmi_tlv(m, coded, &len)) != nullptr && len >= 2 && v[1] <= len - 2) {
		*coding = v[0];
		*n = v[1];
		v += 2;
	} else {
		return false;
	}
	*octets = v;
	return true;
}

bool
qmi_charset(int coding, charset *set)
{
	if (coding == qmi_utf16le)
		*set = charset::utf16le;
	else if (coding == 3)
		*set = charset::ucs2;
	else if (coding == 1 || coding == 2)
		*set = charset::latin1;
	else
		return false;
	return true;
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
		{dms, 0x22, "DMS Get Model"}, {dms, 0x2b, "DMS UIM Get PIN Status"},
		{dms, 0x2d, "DMS Get Operating Mode"}, {dms, 0x44, "DMS UIM Get State"},
		{3, 0x24, "NAS Get Serving System"}, {11, 0x2f, "UIM Get Card Status"},
		{voice, 0x03, "VOICE Indication Register"},
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
		hex_put(f + i, 1, hex + k, false);
		k += 2;
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

// The client id held for service; 0 for CTL.
static uint8_t
client_of(uint8_t service)
{
	return service == ctl ? 0 : cids[service == held[0] ? 0 : 1];
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
		if (m->service == service && (service == ctl || m->client == client_of(service)))
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
	out[5] = client_of(service);
	out[6] = 0;
	// Transaction ids go round past 0, which stands for none. Each run
	// starts them from its pid and the clock, so that a response late for
	// an earlier run is not taken for its own.
	if (!numbered) {
		const uint32_t seed = static_cast<uint32_t>(getpid()) * 2654435761u + static_cast<uint32_t>(now_ms());
		ctl_txn = static_cast<uint8_t>(seed % 255);
		txn = static_cast<uint16_t>(seed >> 16);
		numbered = true;
	}
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

// Whether m is the response to the request frame f: its service, client,
// transaction and message. Async-signal-safe.
static bool
answers(const uint8_t *f, const qmi_msg *m)
{
	const bool c = f[4] == ctl;

	return m->kind == qmi_response && m->service == f[4] && (c || m->client == f[5]) &&
	    m->txn == (c ? f[7] : get16(f + 7)) && m->id == get16(f + (c ? 8 : 9));
}

// The response to the request just sent, waited for until the deadline;
// false when it did not come.
static bool
reply(int64_t deadline, qmi_msg *m)
{
	while (next_of(out[4], deadline, m))
		if (answers(out, m))
			return true;
	return false;
}

static bool
round_trip(int64_t deadline, qmi_msg *m)
{
	send();
	return reply(deadline, m);
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

// Takes a client id of service from CTL into slot k: for the run (0),
// where the modem's refusal ends it, or for a question (1), false then.
static bool
take_client(uint8_t service, int64_t deadline, int k)
{
	qmi_msg m;
	size_t n;

	begin(ctl, 0x22);
	tlv(1, &service, 1);
	send();
	// Another program's allocation may come with the same transaction id:
	// only one of the service asked for is the run's.
	long e;
	const uint8_t *v;
	do {
		if (!reply(deadline, &m)) {
			if (k == 1)
				return false;
			errx(1, "%s: no answer", port);
		}
		e = qmi_result(&m);
		v = qmi_tlv(&m, 1, &n);
	} while (e == -1 && v != nullptr && n >= 2 && v[0] != service);
	if (k == 1 && (e != -1 || v == nullptr || n < 2))
		return false;
	if (e != -1) {
		char why[96];
		refusal_of(&m, e, why, sizeof why);
		errx(1, "%s: request refused: %s", port, why);
	}
	if (v == nullptr || n < 2)
		errx(1, "%s: bad QMI response", port);
	cids[k] = v[1];
	begin(ctl, 0x23);
	tlv(1, v, 2);
	seal();
	memcpy(release_frame[k], out, sizeof release_frame[k]);
	if (service == voice) {
		begin(voice, 0x3c);
		out[5] = cids[k];
		seal();
		memcpy(cancel_frame, out, sizeof cancel_frame);
	}
	held[k] = service;
	return true;
}

// Writes a ready-made frame and reads frames, for at most 1 s, until the
// response to it. Async-signal-safe.
static void
send_now(const uint8_t *f, size_t n)
{
	const int64_t deadline = now_ms() + 1000;
	qmi_msg m;

	show("sent ", f, n);
	if (write(modem_fd, f, n) != static_cast<ssize_t>(n))
		return;
	while (next_frame(deadline, &m) == 0)
		if (answers(f, &m))
			return;
}

// Gives back the client id of slot k, if held. Async-signal-safe.
static void
give_back(int k)
{
	if (held[k] == 0)
		return;
	held[k] = 0;
	send_now(release_frame[k], sizeof release_frame[k]);
}

void
qmi_let_go()
{
	give_back(1);
	give_back(0);
}

bool
qmi_question_client(uint8_t service, int64_t deadline)
{
	return take_client(service, deadline, 1);
}

bool
qmi_question(uint8_t service, uint16_t id, int64_t deadline, qmi_msg *m)
{
	begin(service, id);
	return round_trip(deadline, m);
}

void
qmi_question_done()
{
	give_back(1);
}

static void
qmi_end_session_now()
{
	if (held[0] == voice && session)
		send_now(cancel_frame, sizeof cancel_frame);
}

static const mode_ops *
qmi_set_up(const mode_ops *self, const ussd_job *)
{
	static constexpr uint8_t on = 1;
	qmi_msg m;

	device_setup(true);
	take_client(voice, -1, 0);
	begin(voice, 0x03);
	tlv(0x16, &on, 1);
	round_trip(-1, &m);
	if (qmi_result(&m) != -1 && verbose)
		warnx("qmi: USSD indications refused");
	return self;
}

// The request's characters as the modem takes them: ASCII, else UCS2.
static const char *
coded(const char *request, uint8_t *v)
{
	size_t n = 0;
	bool ascii = true;

	for (const char *p = request; *p != '\0'; p++)
		ascii = ascii && (*p & 0x80) == 0;
	v[0] = ascii ? 1 : 3;
	if (!ascii) {
		const char *why = ucs2_encode(request, v + 2, 160, &n);
		v[1] = static_cast<uint8_t>(n);
		return why;
	}
	for (; request[n] != '\0'; n++) {
		if (n >= 182)
			return "USSD too long";
		v[2 + n] = static_cast<uint8_t>(request[n]);
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

// The answer's text, if m has one: its octets, and their hex as -j shows
// them raw. The frame they lie in is read over by the next.
static uint8_t answer_octets[work_buf_size / 2];
static char answer_hex[work_buf_size];

// The answer of m, its status given, into a: the mode the run goes on in.
// An answer that cannot be read (no text where one is due, a coding
// ussdq does not know) ends the run, and its session with it where it
// waits for a reply.
static const mode_ops *
take(const qmi_msg *m, int status, uint8_t utf16, uint8_t coded_tlv, ussd_answer *a)
{
	const uint8_t *v;
	size_t n;
	int coding;
	charset set;

	session = status == 1;
	if (!qmi_text(m, utf16, coded_tlv, &v, &n, &coding))
		errx(1, "%s: bad QMI response", port);
	if (!qmi_charset(coding, &set))
		errx(1, "%s: answer in a coding ussdq does not know: %d", port, coding);
	memcpy(answer_octets, v, n);
	hex_put(answer_octets, n, answer_hex, false);
	// A coding byte is no data coding scheme.
	*a = {status, -1, set, answer_octets, n, answer_hex, 2 * n, nullptr};
	return &qmi_mode;
}

// The response m to the request sent or to the Originate USSD still owed:
// true when the wait ends with it, the mode the run goes on in (null for
// a refusal) then in *next.
static bool
responded(const qmi_msg *m, bool originate, ussd_answer *a, char *refusal, size_t size,
    const mode_ops **next)
{
	const long e = qmi_result(m);
	size_t n;

	if (originate)
		owed = 0;
	if (e != -1) {
		// A refused request leaves no session to end.
		if (originate)
			session = 0;
		refusal_of(m, e, refusal, size);
		*next = nullptr;
		return true;
	}
	// A response without text only says that the request went out; the
	// text follows as an indication.
	if (originate && (qmi_tlv(m, 0x16, &n) != nullptr || qmi_tlv(m, 0x12, &n) != nullptr)) {
		*next = take(m, 0, 0x16, 0x12, a);
		return true;
	}
	return false;
}

// The network's text comes as the response to Originate USSD or as an
// indication while that response is still owed, whichever first; a reply's
// own response carries only its result.
static const mode_ops *
qmi_send(const char *request, bool first, ussd_answer *a, char *refusal, size_t size)
{
	uint8_t v[2 + 182];
	qmi_msg m;
	size_t n;

	coded(request, v);	// checked before the modem was touched
	const uint16_t id = first ? 0x3a : 0x3b;
	const uint16_t t = begin(voice, id);
	tlv(ussd_text, v, 2u + v[1]);
	send();
	if (first) {
		owed = t;
		session = 1;
	}
	for (;;) {
		if (!next_of(voice, answer_deadline, &m))
			answer_overdue();
		const bool originate = m.id == 0x3a && m.txn == owed;
		if (m.kind == qmi_response && (originate || (m.id == id && m.txn == t))) {
			const mode_ops *next;
			if (responded(&m, originate, a, refusal, size, &next))
				return next;
		} else if (m.kind == qmi_indication && m.id == 0x3e) {
			const uint8_t *act = qmi_tlv(&m, ussd_action, &n);
			return take(&m, act != nullptr && n >= 1 && act[0] == 2, 0x11, 0x10, a);
		} else if (m.kind == qmi_indication && m.id == 0x3d) {
			*a = {2, -1, charset::latin1, nullptr, 0, nullptr, 0, nullptr};
			return &qmi_mode;
		}
	}
}

static bool
qmi_end_session(bool limited)
{
	qmi_msg m;

	begin(voice, 0x3c);
	return round_trip(limited ? now_ms() + 1000 : -1, &m) && qmi_result(&m) == -1;
}

// A DMS string (TLV 1) into s.
static void
dms_string(uint8_t id, char *s, size_t size, int64_t deadline)
{
	qmi_msg m;
	size_t n;

	begin(dms, id);
	if (!round_trip(deadline, &m))
		return;
	if (const uint8_t *v = qmi_tlv(&m, 1, &n); v != nullptr && qmi_result(&m) == -1)
		snprintf(s, size, "%.*s", static_cast<int>(n), reinterpret_cast<const char *>(v));
}

// -l: maker and model from the DMS service, its client id given back.
static bool
qmi_probe(port_finding *f)
{
	const int64_t deadline = now_ms() + 1000;

	f->busy = !device_setup(false);
	if (f->busy)
		return true;
	take_client(dms, deadline, 0);
	dms_string(0x21, f->maker, sizeof f->maker, deadline);
	dms_string(0x22, f->model, sizeof f->model, deadline);
	qmi_let_go();
	snprintf(f->mode, sizeof f->mode, "qmi");
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
const mode_ops qmi_mode = {
	.name = "qmi",
	.named = true,
	.claims = qmi_claims,
	.kind_of = of_frames,
	.set_up = qmi_set_up,
	.refusal = qmi_refusal,
	.send = qmi_send,
	.end_session = qmi_end_session,
	.end_session_now = qmi_end_session_now,
	.let_go = qmi_let_go,
	.probe = qmi_probe,
};
