#include <arpa/inet.h>
#include <err.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "coding/charsets.hpp"
#include "front/settings.hpp"
#include "modem/frames/xml.hpp"
#include "modem/hilink.hpp"
#include "modem/frames/http.hpp"
#include "modem/frames/link.hpp"
#include "modem/modes.hpp"

static http_peer peer;
// The session as the device's cookie has it ("SessionID=..."), and the
// tokens for the next POST and the one after it; empty: none.
static char cookie[192];
static char tokens[2][128];
static bool fresh_token;	// the last answer brought a token of its own
// Answers are small documents; the web page, read for its tokens alone,
// is cut at the end of this buffer.
static char body_buf[16384];
// The answer to the run's last request, there until the next one; its
// body is body_buf, set with each request so that it starts zeroed.
static http_answer hilink_answer;


const char *
hilink_element(const char *name, size_t *n)
{
	return xml_element(body_buf, name, n);
}

long
hilink_number(const char *name, long none)
{
	return xml_number(body_buf, name, none);
}

// A request ready for a handler, made anew after each answer: two copies,
// so that one is always whole while the other is written.
struct ready_request {
	char msg[2][640];
	volatile sig_atomic_t len[2];
	volatile sig_atomic_t at;
};
// The release of the USSD session, and the logout of a login.
static ready_request release, logout;
volatile sig_atomic_t hilink_logged_in;
// An answer is in: a logout that fails then only warns.
static volatile sig_atomic_t answered;
// Whether a request of this run went out: a send the device refused put
// nothing out, and a release then could end another client's request.
static volatile sig_atomic_t sent;

static char
lower(char c)
{
	return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

bool
hilink_same(const char *a, const char *b, size_t n)
{
	for (size_t i = 0; i < n; i++) {
		if (lower(a[i]) != lower(b[i]))
			return false;
		if (a[i] == '\0')
			break;
	}
	return true;
}

const char *
hilink_name()
{
	return peer.name != nullptr ? peer.name : port;
}

void
hilink_fail(const char *why)
{
	errx(1, "%s: %s", hilink_name(), why);
}

bool
is_url(const char *p)
{
	return hilink_same(p, "http://", 7) || hilink_same(p, "https://", 8);
}

char hilink_host[256];

const char *
hilink_parse_url(const char *url, http_peer *to)
{
	static constexpr char bad[] = "a URL not as http://HOST[:PORT]";
	if (hilink_same(url, "https://", 8))
		return "https is not supported; use http://";
	if (!hilink_same(url, "http://", 7))
		return "not an http:// URL";
	const char *h = url + 7;
	const char *p;
	char *name = hilink_host;
	size_t n;
	if (*h == '[') {
		n = strcspn(++h, "]/");
		p = h + n + (h[n] == ']');
		if (h[n] != ']')
			return bad;
	} else {
		p = h + (n = strcspn(h, ":/"));
	}
	unsigned number = 80;
	if (*p == ':') {
		const char *digits = ++p;
		for (number = 0; *p >= '0' && *p <= '9' && number <= 65535; p++)
			number = number * 10 + static_cast<unsigned>(*p - '0');
		if (p == digits || number > 65535)
			return bad;
	}
	if (n == 0 || n >= sizeof hilink_host || (*p != '\0' && (*p != '/' || p[1] != '\0')))
		return bad;
	memcpy(name, h, n);
	name[n] = '\0';
	// The authority: a host of under 256 characters, its brackets and a
	// port of up to 5 digits fit.
	static_assert(sizeof to->host > sizeof hilink_host + 2 + 6);
	n = static_cast<size_t>(p - (url + 7));
	memcpy(to->host, url + 7, n);
	to->host[n] = '\0';

#if USSDQ_HILINK_NAMES
	// An address is taken as it is written, without a look-up.
	addrinfo hints = {};
	addrinfo *found = nullptr;
	hints.ai_socktype = SOCK_STREAM;
	if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr)
		return "no such host";
	memcpy(&to->addr, found->ai_addr, found->ai_addrlen);
	to->addr_len = found->ai_addrlen;
	freeaddrinfo(found);
#else
	to->addr = {};
	auto *v6 = reinterpret_cast<sockaddr_in6 *>(&to->addr);
	if (inet_pton(AF_INET6, name, &v6->sin6_addr) == 1) {
		v6->sin6_family = AF_INET6;
		to->addr_len = sizeof *v6;
	} else if (inet_pton(AF_INET, name, &reinterpret_cast<sockaddr_in *>(&to->addr)->sin_addr) == 1) {
		to->addr.ss_family = AF_INET;
		to->addr_len = sizeof(sockaddr_in);
	} else {
		return "a host given by name; give its address";
	}
#endif
	// Where IPv6 has it too.
	reinterpret_cast<sockaddr_in *>(&to->addr)->sin_port = htons(static_cast<uint16_t>(number));
	return nullptr;
}

// A request with the session's cookie and, for a POST, its token and its
// body as the content of an XML request, into out: its length, or 0 when
// it does not fit.
static size_t
request(char *out, size_t size, const char *path, const char *body)
{
	char headers[sizeof cookie + sizeof tokens[0] + 64];
	char xml[work_buf_size + 256];
	const bool t = body != nullptr && tokens[0][0] != '\0';
	const bool c = cookie[0] != '\0';

	snprintf(headers, sizeof headers, "%s%s%s%s%s%s", c ? "Cookie: " : "", cookie,
	    c ? "\r\n" : "", t ? "__RequestVerificationToken: " : "", t ? tokens[0] : "", t ? "\r\n" : "");
	if (body != nullptr) {
		const int n = snprintf(xml, sizeof xml, "<?xml version=\"1.0\" encoding=\"UTF-8\"?><request>%s</request>",
		    body);
		if (n < 0 || static_cast<size_t>(n) >= sizeof xml)
			return 0;
	}
	return http_request(out, size, &peer, path, headers, body != nullptr ? xml : nullptr);
}

[[gnu::noinline]] static void
ready(ready_request *r, const char *path, const char *body)
{
	const int next = 1 - r->at;
	r->len[next] = static_cast<sig_atomic_t>(request(r->msg[next], sizeof r->msg[0], path, body));
	r->at = next;
}

static void
ready_release()
{
	ready(&release, "/api/ussd/release", nullptr);
	ready(&logout, "/api/user/logout", "<Logout>1</Logout>");
}

// A ready request from a handler, on a connection of its own: whether the
// device took it.
static bool
send_ready(const ready_request *r)
{
	char body[512];
	http_answer a;	// what the exchange reads is all it fills
	size_t n;

	a.body = body;
	a.size = sizeof body;
	a.cut_ok = a.soft = true;
	const int at = r->at;
	const auto len = static_cast<size_t>(r->len[at]);
	return len > 0 && http_exchange(&peer, r->msg[at], len, &a, nullptr, true) && a.status / 100 == 2 &&
	    xml_element(a.body, "error", &n) == nullptr;
}

// Nothing can be done about a failing write to standard error here.
static void
put(const char *s)
{
	const ssize_t r = write(STDERR_FILENO, s, strlen(s));
	(void)r;
}

// The logout, where a login went through: async-signal-safe.
static void
hilink_let_go()
{
	if (!hilink_logged_in)
		return;
	hilink_logged_in = 0;
	if (send_ready(&logout) || !answered)
		return;
	put(__progname);
	put(": ");
	put(hilink_name());
	put(": logout not confirmed\n");
}

static bool
is_space(char c)
{
	return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

static size_t
trimmed_end(const char *v, size_t n)
{
	while (n > 0 && is_space(v[n - 1]))
		n--;
	return n;
}

// A value of the device's that goes back in a header, without the white
// space around it; one with a control character in it would end or forge
// a header line, and fails the run.
static void
copy_value(char *dest, size_t size, const char *v, size_t n)
{
	for (; n > 0 && is_space(*v); v++, n--)
		continue;
	n = trimmed_end(v, n);
	for (size_t i = 0; i < n; i++)
		if (static_cast<unsigned char>(v[i]) < ' ' || v[i] == 0x7f)
			hilink_fail("bad answer from the device");
	n = n < size ? n : size - 1;
	memcpy(dest, v, n);
	dest[n] = '\0';
}

// Any answer may bring a new session or new tokens.
static void
on_header(const char *name, const char *value)
{
	if (strcmp(name, "set-cookie") == 0 && strncmp(value, "SessionID=", 10) == 0) {
		copy_value(cookie, sizeof cookie, value, strcspn(value, ";"));
	} else if (strncmp(name, "__requestverificationtoken", 26) == 0) {
		const char *which = name + 26;
		int i = strcmp(which, "two") == 0;
		if (*which == '\0' || strcmp(which, "one") == 0 || i == 1) {
			fresh_token = true;
			// A login's answer may give its tokens as a list, "A#B#":
			// the second is the one for the POST after next.
			for (const char *v = value; v != nullptr && i < 2; i = *which == '\0' ? i + 1 : 2) {
				copy_value(tokens[i], sizeof tokens[0], v, strcspn(v, "#"));
				if ((v = strchr(v, '#')) != nullptr)
					v++;
			}
		}
	}
}

static constexpr int not_found = -1;	// an HTTP error without the API's

long
hilink_call(const char *path, const char *body, int how)
{
	static char req[3 * work_buf_size + 1024];
	http_answer *a = &hilink_answer;
	const size_t len = request(req, sizeof req, path, body);

	if (len == 0)
		hilink_fail("request too long");
	fresh_token = false;
	a->body = body_buf;
	a->size = sizeof body_buf;
	a->soft = (how & hilink_soft) != 0;
	a->cut_ok = (how & hilink_cut) != 0;
	if (!http_exchange(&peer, req, len, a, on_header))
		return not_found;
	// A token is good for one POST; the next one, when the device gave
	// two, takes its place.
	if (body != nullptr && !fresh_token && tokens[1][0] != '\0') {
		memcpy(tokens[0], tokens[1], sizeof tokens[0]);
		tokens[1][0] = '\0';
	}
	ready_release();
	size_t n;
	const char *e = hilink_element("error", &n);
	if (e == nullptr)
		return a->status / 100 == 2 ? 0 : not_found;
	const long v = xml_number(e, "code", 0);
	return v > 0 ? v : not_found;
}

const char *
hilink_token()
{
	return tokens[0];
}

// Firmware with neither SesTokInfo nor a token of its own: the tokens of
// its web page's csrf_token tags, and the session of its Set-Cookie.
static void
page_tokens()
{
	hilink_call("/html/index.html", nullptr, hilink_cut);
	const char *p = body_buf;
	for (int i = 0; i < 2 && (p = strstr(p, "name=\"csrf_token\"")) != nullptr; i++) {
		const char *c = strstr(p, "content=\"");
		const char *end = strchr(p, '>');
		if (c == nullptr || (end != nullptr && c > end))
			break;
		p = c + 9;
		copy_value(tokens[i], sizeof tokens[0], p, strcspn(p, "\""));
	}
}

// The session and the first token, in whichever way this firmware gives
// them: its SesTokInfo, its token alone, or the tokens of its web page.
static void
open_session()
{
	size_t n;
	size_t k;
	const char *v;
	const char *t;

	cookie[0] = tokens[0][0] = tokens[1][0] = '\0';
	if (hilink_call("/api/webserver/SesTokInfo") == 0 &&
	    (t = hilink_element("TokInfo", &k)) != nullptr) {
		if ((v = hilink_element("SesInfo", &n)) != nullptr) {
			// SesInfo gives the session with its name, "SessionID=", or
			// without it.
			copy_value(cookie, 160, v, n);
			if (cookie[0] != '\0' && strncmp(cookie, "SessionID=", 10) != 0) {
				memmove(cookie + 10, cookie, 160);
				memcpy(cookie, "SessionID=", 10);
			}
		}
		copy_value(tokens[0], sizeof tokens[0], t, k);
	} else if (hilink_call("/api/webserver/token") == 0 &&
	    (v = hilink_element("token", &n)) != nullptr) {
		// Of the long token only the end counts.
		n = trimmed_end(v, n);
		const size_t cut = n > 32 ? n - 32 : 0;
		copy_value(tokens[0], sizeof tokens[0], v + cut, n - cut);
	} else {
		page_tokens();
	}
	ready_release();
	hilink_log_in();
}

long hilink_refused;

size_t
hilink_escaped(const char *s, char *out, size_t size)
{
	size_t n = 0;

	for (; *s != '\0' && n + 6 < size; s++) {
		const char *e = *s == '&' ? "&amp;" : *s == '<' ? "&lt;" : *s == '>' ? "&gt;" : nullptr;
		if (e == nullptr)
			out[n++] = *s;
		for (; e != nullptr && *e != '\0'; e++)
			out[n++] = *e;
	}
	out[n] = '\0';
	return *s == '\0' ? n : 0;
}

static const char *
hilink_refusal(const char *request)
{
	char coded[work_buf_size];

	if (!utf8_walk(request, strlen(request), [](uint32_t cp) { return cp != not_utf8; }))
		return "USSD is not UTF-8 text";
	return *request != '\0' && hilink_escaped(request, coded, sizeof coded) == 0 ? "USSD too long" : nullptr;
}

// The device the port names, its session opened: null, or why it cannot
// be reached.
static const char *
reach()
{
	const char *why = hilink_credentials(&peer);
	if (why == nullptr)
		open_session();
	return why;
}

// The request and the replies are checked before the device is asked
// anything, so that one that cannot go leaves nothing behind.
static const mode_ops *
hilink_set_up(const mode_ops *self, const ussd_job *)
{
	if (const char *why = reach())
		hilink_fail(why);
	return self;
}

// n bytes of XML text into buf after its first at, cut to fit with a NUL.
[[gnu::noinline]] static void
text_into(char *buf, size_t size, size_t at, const char *v, size_t n)
{
	utf8_out out = {buf, size - 1, at};
	xml_text(v, n, &out);
	buf[out.len] = '\0';
}

static const char login_asked[] =
    "the device asks for a login; give its password in USSDQ_PASSWORD or a netrc file";

static const mode_ops *
refused(long code, bool first, char *refusal, size_t size)
{
	if (first)
		sent = 0;
	if (code == 111013)
		hilink_fail("a USSD session is open; end it with -c");
	if (code == 100003)
		hilink_fail(login_asked);
	hilink_refused = code;
	// The device's words for an error, after its number.
	size_t n = 0;
	const char *m = hilink_element("message", &n);
	if (code == not_found) {
		snprintf(refusal, size, "%s", hilink_answer.line);
	} else if (code != 0) {
		const int k = snprintf(refusal, size, "error %ld%s", code, m != nullptr && n > 0 ? ": " : "");
		text_into(refusal, size, k > 0 && static_cast<size_t>(k) < size ? static_cast<size_t>(k) : 0, m, n);
	}
	return nullptr;
}

// Only OK is a send; a page, an empty answer or another word put nothing
// out, and polling on would take the answer another client left.
static bool
send_taken(char *refusal, size_t size)
{
	size_t n;
	const char *v = hilink_element("response", &n);
	if (v != nullptr && n == 2 && v[0] == 'O' && v[1] == 'K')
		return true;
	if (v == nullptr || n == 0) {
		v = v != nullptr || trimmed_end(body_buf, hilink_answer.len) == 0 ? "an empty answer" :
		    "an HTML page";
		n = strlen(v);
	}
	text_into(refusal, size, 0, v, n);
	return false;
}

// The answer as it came, and as UTF-8 with XML's references read.
static char answer_buf[work_buf_size];
static char text_buf[decoded_buf_size];

static const mode_ops *
hilink_send(const char *request, bool first, ussd_answer *a, char *refusal, size_t size)
{
	static char xml[work_buf_size + 160];
	char content[work_buf_size];
	size_t n;
	long code = 0;
	const char *v;

	answered = 0;
	// Another client's request in progress would take this one's answer.
	if (first && (code = hilink_call("/api/ussd/status")) == 0 &&
	    (v = hilink_element("result", &n)) != nullptr && n == 1 && *v == '1')
		code = 111013;
	if (code == 111013 || code == 100003)
		return refused(code, first, refusal, size);
	hilink_escaped(request, content, sizeof content);
	snprintf(xml, sizeof xml, "<content>%s</content><codeType>CodeType</codeType><timeout></timeout>",
	    content);
	// A stale token or session is fetched anew, once.
	sent = 1;
	for (int tries = 0; (code = hilink_call("/api/ussd/send", xml)) >= 125001 &&
	    code <= 125003 && tries == 0; tries++)
		open_session();
	if (code != 0 || !send_taken(refusal, size))
		return refused(code, first, refusal, size);

	// The network's answer has not come while the device says 111019.
	while ((code = hilink_call("/api/ussd/get")) == 111019) {
		if (answer_deadline >= 0 && now_ms() >= answer_deadline)
			answer_overdue();
		poll(nullptr, 0, 500);
	}
	// As +CUSD: 5 ends a run; the stick is still told to release.
	if (code == 111020) {
		warnx("%s: network timed out", hilink_name());
		network_failed(first);
	}
	if (code != 0)
		return refused(code, false, refusal, size);
	v = hilink_element("content", &n);
	if (v == nullptr || n >= sizeof answer_buf)
		hilink_fail(v == nullptr ? "an answer without its content" : "response too long");
	memcpy(answer_buf, v, n);
	// The web API says neither whether the network waits for a reply nor
	// a scheme: its text is UTF-8, with XML's references in it.
	utf8_out text = {text_buf, sizeof text_buf, 0};
	xml_text(answer_buf, n, &text);
	*a = {-1, -1, charset::utf8, reinterpret_cast<const uint8_t *>(text_buf), text.len, answer_buf,
	    n, nullptr};
	answered = 1;
	return &hilink_mode;
}

// The answer is in: a release that fails must not lose it.
static bool
hilink_end_session(bool)
{
	return hilink_call("/api/ussd/release", nullptr, hilink_soft) == 0;
}

// The release from a handler, where a request of this run went out.
static void
hilink_end_session_now()
{
	if (sent)
		send_ready(&release);
}

// -l: the model, DeviceName of the device's information, for a device
// named by URL; false when the URL is none the mode takes.
static bool
hilink_probe(port_finding *f)
{
	size_t n = 0;

	if (reach() != nullptr)
		return false;
	const long code = hilink_call("/api/device/information");
	// Any web server answers; a HiLink device answers in its XML.
	const bool xml = hilink_element("response", &n) != nullptr || hilink_element("error", &n) != nullptr;
	const char *v = code == 0 ? hilink_element("DeviceName", &n) : nullptr;
	if (code == 100003 && verbose)
		warnx("%s: %s", hilink_name(), login_asked);
	text_into(f->model, sizeof f->model, 0, v, v != nullptr ? n : 0);
	memcpy(f->maker, "Huawei", 7);
	memcpy(f->mode, "hilink", 7);
	hilink_let_go();
	return xml;
}

const mode_ops hilink_mode = {
	.name = "hilink",
	.named = true,
	.keeps = true,
	// A device named by URL has nothing but its web API; https is claimed
	// too, to be refused as such rather than opened as a serial device.
	.claims = is_url,
	.set_up = hilink_set_up,
	.refusal = hilink_refusal,
	.send = hilink_send,
	.end_session = hilink_end_session,
	.end_session_now = hilink_end_session_now,
	.let_go = hilink_let_go,
	.probe = hilink_probe,
	.called = [] { return peer.name; },
};
