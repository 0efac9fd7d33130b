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

static constexpr uint8_t dms = 2, voice = 9;
static constexpr uint8_t ussd_text = 1, ussd_action = 1;

// A USSD session of the run's may be open: not once the modem refused its
// request, which leaves none, or another client's, to end. The handlers
// end it with a frame made when the client id was taken.
static volatile sig_atomic_t session;
static uint8_t cancel_frame[13];

static uint16_t owed;			// Originate USSD's transaction, its response still to come

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

void
qmi_let_go()
{
	qmux_give_back(1);
	qmux_give_back(0);
}

bool
qmi_question_client(uint8_t service, int64_t deadline)
{
	return qmux_take_client(service, deadline, 1);
}

bool
qmi_question(uint8_t service, uint16_t id, int64_t deadline, qmi_msg *m)
{
	qmi_frame f;

	qmux_begin(&f, service, id);
	return qmux_round_trip(&f, deadline, m);
}

void
qmi_question_done()
{
	qmux_give_back(1);
}

static void
qmi_end_session_now()
{
	if (qmux_held(0) == voice && session)
		qmux_send_now(cancel_frame, sizeof cancel_frame);
}

static const mode_ops *
qmi_set_up(const mode_ops *self, const ussd_job *)
{
	static constexpr uint8_t on = 1;
	qmi_frame f;
	qmi_msg m;

	device_setup(true);
	qmux_take_client(voice, -1, 0);
	qmux_begin(&f, voice, 0x3c);
	qmux_seal(&f);
	memcpy(cancel_frame, f.buf, sizeof cancel_frame);
	qmux_begin(&f, voice, 0x03);
	qmux_tlv(&f, 0x16, &on, 1);
	qmux_round_trip(&f, -1, &m);
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
		qmux_refusal(m, e, refusal, size);
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
	qmi_frame f;
	qmi_msg m;
	size_t n;

	coded(request, v);	// checked before the modem was touched
	const uint16_t id = first ? 0x3a : 0x3b;
	const uint16_t t = qmux_begin(&f, voice, id);
	qmux_tlv(&f, ussd_text, v, 2u + v[1]);
	qmux_send(&f);
	if (first) {
		owed = t;
		session = 1;
	}
	for (;;) {
		if (!qmux_next_of(voice, answer_deadline, &m))
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
			// No text: the rest of a stays zero.
			*a = {};
			a->status = 2;
			a->dcs = -1;
			a->set = charset::latin1;
			return &qmi_mode;
		}
	}
}

static bool
qmi_end_session(bool limited)
{
	qmi_msg m;

	return qmi_question(voice, 0x3c, limited ? now_ms() + 1000 : -1, &m) && qmi_result(&m) == -1;
}

// A DMS string (TLV 1) into s.
static void
dms_string(uint8_t id, char *s, size_t size, int64_t deadline)
{
	qmi_msg m;
	size_t n;

	if (!qmi_question(dms, id, deadline, &m))
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
	qmux_take_client(dms, deadline, 0);
	dms_string(0x21, f->maker, sizeof f->maker, deadline);
	dms_string(0x22, f->model, sizeof f->model, deadline);
	qmi_let_go();
	memcpy(f->mode, "qmi", sizeof "qmi");
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
