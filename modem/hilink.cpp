#include <arpa/inet.h>
#include <err.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
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

// The release, ready for a handler: two copies, so that one is always
// whole while the other is written.
static char release_msg[2][512];
static volatile sig_atomic_t release_len[2];
static volatile sig_atomic_t release_at;

bool
is_url(const char *p)
{
	return strncasecmp(p, "http://", 7) == 0 || strncasecmp(p, "https://", 8) == 0;
}

const char *
hilink_parse_url(const char *url, http_peer *to)
{
	if (strncasecmp(url, "https://", 8) == 0)
		return "https is not supported; use http://";
	if (strncasecmp(url, "http://", 7) != 0)
		return "not an http:// URL";
	const char *h = url + 7;
	const char *p;
	char name[256];
	size_t n;
	if (*h == '[') {
		n = strcspn(++h, "]/");
		p = h + n + (h[n] == ']');
		if (h[n] != ']')
			return "a URL not as http://HOST[:PORT]";
	} else {
		p = h + (n = strcspn(h, ":/"));
	}
	unsigned number = 80;
	if (*p == ':') {
		const size_t k = strspn(++p, "0123456789");
		number = 0;
		for (size_t i = 0; i < k && number <= 65535; i++)
			number = number * 10 + static_cast<unsigned>(p[i] - '0');
		p += k;
		if (k == 0 || number > 65535)
			return "a URL not as http://HOST[:PORT]";
	}
	if (n == 0 || n >= sizeof name || (*p != '\0' && strcmp(p, "/") != 0))
		return "a URL not as http://HOST[:PORT]";
	memcpy(name, h, n);
	name[n] = '\0';
	snprintf(to->host, sizeof to->host, "%.*s", static_cast<int>(p - (url + 7)), url + 7);

	to->addr = {};
	auto *v4 = reinterpret_cast<sockaddr_in *>(&to->addr);
	auto *v6 = reinterpret_cast<sockaddr_in6 *>(&to->addr);
	if (inet_pton(AF_INET6, name, &v6->sin6_addr) == 1) {
		v6->sin6_family = AF_INET6;
		v6->sin6_port = htons(static_cast<uint16_t>(number));
		to->addr_len = sizeof *v6;
	} else if (inet_pton(AF_INET, name, &v4->sin_addr) == 1) {
		v4->sin_family = AF_INET;
		v4->sin_port = htons(static_cast<uint16_t>(number));
		to->addr_len = sizeof *v4;
	} else {
#if USSDQ_HILINK_NAMES
		addrinfo hints = {};
		addrinfo *found = nullptr;
		hints.ai_socktype = SOCK_STREAM;
		if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr)
			return "no such host";
		memcpy(&to->addr, found->ai_addr, found->ai_addrlen);
		to->addr_len = found->ai_addrlen;
		freeaddrinfo(found);
		v4->sin_port = htons(static_cast<uint16_t>(number));	// where v6 has it too
#else
		return "a host given by name; give its address";
#endif
	}
	return nullptr;
}

static void
ready_release()
{
	const int next = 1 - release_at;
	const bool c = cookie[0] != '\0';
	const int n = snprintf(release_msg[next], sizeof release_msg[0],
	    "GET /api/ussd/release HTTP/1.1\r\nHost: %s\r\n%s%s%sConnection: close\r\n\r\n",
	    peer.host, c ? "Cookie: " : "", cookie, c ? "\r\n" : "");
	release_len[next] = n > 0 && static_cast<size_t>(n) < sizeof release_msg[0] ? n : 0;
	release_at = next;
	hilink_ready_logout(&peer, cookie, tokens[0]);
}

// A login's answer may give its tokens as a list, "A#B#": the second is
// the one for the POST after next.
static void
second_token(const char *list)
{
	const char *b = strchr(list, '#');
	if (b != nullptr)
		snprintf(tokens[1], sizeof tokens[1], "%.*s", static_cast<int>(strcspn(b + 1, "#")), b + 1);
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
			errx(1, "%s: bad answer from the device", port);
	snprintf(dest, size, "%.*s", static_cast<int>(n < size ? n : size - 1), v);
}

// Any answer may bring a new session or new tokens.
static void
on_header(const char *name, const char *value)
{
	if (strcmp(name, "set-cookie") == 0 && strncmp(value, "SessionID=", 10) == 0) {
		copy_value(cookie, sizeof cookie, value, strcspn(value, ";"));
	} else if (strncmp(name, "__requestverificationtoken", 26) == 0) {
		const char *which = name + 26;
		const int i = strcmp(which, "two") == 0;
		if (*which == '\0' || strcmp(which, "one") == 0 || i == 1) {
			copy_value(tokens[i], sizeof tokens[0], value, strcspn(value, "#"));
			fresh_token = true;
			if (*which == '\0')
				second_token(value);
		}
	}
}

static constexpr int not_found = -1;	// an HTTP error without the API's

// One request to the device: 0, the API's error code, or not_found.
static long
call(const char *method, const char *path, const char *body, http_answer *a)
{
	char headers[sizeof cookie + sizeof tokens[0] + 64];
	const bool t = body != nullptr && tokens[0][0] != '\0';
	const bool c = cookie[0] != '\0';

	snprintf(headers, sizeof headers, "%s%s%s%s%s%s", c ? "Cookie: " : "", cookie,
	    c ? "\r\n" : "", t ? "__RequestVerificationToken: " : "", t ? tokens[0] : "", t ? "\r\n" : "");
	fresh_token = false;
	*a = {0, "", body_buf, 0, sizeof body_buf, a->cut_ok, a->soft};
	if (!http_exchange(&peer, method, path, headers, body, a, on_header))
		return not_found;
	// A token is good for one POST; the next one, when the device gave
	// two, takes its place.
	if (body != nullptr && !fresh_token && tokens[1][0] != '\0') {
		memcpy(tokens[0], tokens[1], sizeof tokens[0]);
		tokens[1][0] = '\0';
	}
	ready_release();
	size_t n;
	const char *e = xml_element(a->body, "error", &n);
	if (e == nullptr)
		return a->status / 100 == 2 ? 0 : not_found;
	const char *code = xml_element(e, "code", &n);
	long v = 0;
	for (size_t i = 0; code != nullptr && i < n && i < 9 && code[i] >= '0' && code[i] <= '9'; i++)
		v = v * 10 + (code[i] - '0');
	return v > 0 ? v : not_found;
}

long
hilink_call(const char *method, const char *path, const char *body, http_answer *a)
{
	return call(method, path, body, a);
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
	http_answer a = {};

	a.cut_ok = true;
	call("GET", "/html/index.html", nullptr, &a);
	const char *p = a.body;
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
	http_answer a = {};
	size_t n;
	const char *v;

	cookie[0] = tokens[0][0] = tokens[1][0] = '\0';
	if (call("GET", "/api/webserver/SesTokInfo", nullptr, &a) == 0 &&
	    xml_element(a.body, "TokInfo", &n) != nullptr) {
		if ((v = xml_element(a.body, "SesInfo", &n)) != nullptr) {
			copy_value(cookie + 10, 160, v, n);
			memcpy(cookie, "SessionID=", 10);
			if (strncmp(cookie + 10, "SessionID=", 10) == 0)
				memmove(cookie, cookie + 10, strlen(cookie + 10) + 1);
			else if (cookie[10] == '\0')
				cookie[0] = '\0';
		}
		v = xml_element(a.body, "TokInfo", &n);
		copy_value(tokens[0], sizeof tokens[0], v, n);
	} else if (call("GET", "/api/webserver/token", nullptr, &a) == 0 &&
	    (v = xml_element(a.body, "token", &n)) != nullptr) {
		// Of the long token only the end counts.
		n = trimmed_end(v, n);
		copy_value(tokens[0], sizeof tokens[0], n > 32 ? v + n - 32 : v, n > 32 ? 32 : n);
	} else {
		page_tokens();
	}
	ready_release();
	hilink_log_in();
}

long hilink_refused;

long
hilink_get(const char *path, const char **body)
{
	http_answer a = {};

	a.soft = true;
	const long e = call("GET", path, nullptr, &a);
	*body = a.body;
	return e;
}

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

// A device named by URL has nothing but its web API; https is claimed too,
// to be refused as such rather than opened as a serial device.
static bool
hilink_claims(const char *port)
{
	return is_url(port);
}

// The request and the replies are checked before the device is asked
// anything, so that one that cannot go leaves nothing behind.
static const mode_ops *
hilink_set_up(const mode_ops *self, const ussd_job *)
{
	port = hilink_credentials(port);
	if (const char *why = hilink_parse_url(port, &peer))
		errx(1, "%s: %s", port, why);
	open_session();
	return self;
}

// The device's words for an error, after its number.
static void
error_text(const http_answer *a, long code, char *refusal, size_t size)
{
	size_t n = 0;
	const char *m = xml_element(a->body, "message", &n);
	const int k = code == not_found ? snprintf(refusal, size, "%s", a->line) :
	    snprintf(refusal, size, "error %ld%s", code, m != nullptr && n > 0 ? ": " : "");
	utf8_out out = {refusal, size - 1, k > 0 && static_cast<size_t>(k) < size ? static_cast<size_t>(k) : 0};
	if (code != not_found && m != nullptr)
		xml_text(m, n, &out);
	refusal[out.len] = '\0';
}

// Whether a request of this run went out: a send the device refused put
// nothing out, and a release then could end another client's request.
static volatile sig_atomic_t sent;

static const mode_ops *
refused(const http_answer *a, long code, bool first, char *refusal, size_t size)
{
	if (first)
		sent = 0;
	if (code == 111013)
		errx(1, "%s: a USSD session is open; end it with -c", port);
	if (code == 100003)
		errx(1, "%s: the device asks for a login; give its password in USSDQ_PASSWORD or a netrc file",
		    port);
	hilink_refused = code;
	if (code != 0)
		error_text(a, code, refusal, size);
	return nullptr;
}

// Only OK is a send; a page, an empty answer or another word put nothing
// out, and polling on would take the answer another client left.
static bool
send_taken(const http_answer *a, char *refusal, size_t size)
{
	size_t n;
	const char *v = xml_element(a->body, "response", &n);
	if (v != nullptr && n == 2 && memcmp(v, "OK", 2) == 0)
		return true;
	if (v == nullptr || n == 0) {
		snprintf(refusal, size, "%s", v != nullptr || trimmed_end(a->body, a->len) == 0 ?
		    "an empty answer" : "an HTML page");
		return false;
	}
	utf8_out out = {refusal, size - 1, 0};
	xml_text(v, n, &out);
	refusal[out.len] = '\0';
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
	http_answer r = {};
	size_t n;
	long code;

	// Another client's request in progress would take this one's answer.
	const char *v;
	hilink_answered(false);
	code = first ? call("GET", "/api/ussd/status", nullptr, &r) : 0;
	if (code == 0 && first && (v = xml_element(r.body, "result", &n)) != nullptr && n == 1 && *v == '1')
		code = 111013;
	if (code == 111013 || code == 100003)
		return refused(&r, code, first, refusal, size);
	hilink_escaped(request, content, sizeof content);
	snprintf(xml, sizeof xml, "<?xml version=\"1.0\" encoding=\"UTF-8\"?><request><content>%s"
	    "</content><codeType>CodeType</codeType><timeout></timeout></request>", content);
	// A stale token or session is fetched anew, once.
	sent = 1;
	for (int tries = 0; (code = call("POST", "/api/ussd/send", xml, &r)) >= 125001 &&
	    code <= 125003 && tries == 0; tries++)
		open_session();
	if (code != 0 || !send_taken(&r, refusal, size))
		return refused(&r, code, first, refusal, size);

	// The network's answer has not come while the device says 111019.
	while ((code = call("GET", "/api/ussd/get", nullptr, &r)) == 111019) {
		if (answer_deadline >= 0 && now_ms() >= answer_deadline)
			answer_overdue();
		poll(nullptr, 0, 500);
	}
	// As +CUSD: 5 ends a run; the stick is still told to release.
	if (code == 111020) {
		warnx("%s: network timed out", port);
		network_failed(first);
	}
	if (code != 0)
		return refused(&r, code, false, refusal, size);
	v = xml_element(r.body, "content", &n);
	if (v == nullptr)
		errx(1, "%s: an answer without its content", port);
	if (n >= sizeof answer_buf)
		errx(1, "%s: response too long", port);
	memcpy(answer_buf, v, n);
	// The web API says neither whether the network waits for a reply nor
	// a scheme: its text is UTF-8, with XML's references in it.
	utf8_out text = {text_buf, sizeof text_buf, 0};
	xml_text(answer_buf, n, &text);
	*a = {-1, -1, charset::utf8, reinterpret_cast<const uint8_t *>(text_buf), text.len, answer_buf,
	    n, nullptr};
	hilink_answered(true);
	return &hilink_mode;
}

static bool
hilink_end_session(bool)
{
	http_answer r = {};

	// The answer is in: a release that fails must not lose it.
	r.soft = true;
	return call("GET", "/api/ussd/release", nullptr, &r) == 0;
}

// The release from a handler: a ready-made request written on a connection
// of its own, with async-signal-safe calls alone, its answer awaited for at
// most 1 s.
static void
hilink_end_session_now()
{
	const int at = release_at;
	const auto len = static_cast<size_t>(release_len[at]);
	if (len == 0 || !sent)
		return;
	hilink_send_now(&peer, release_msg[at], len);
}

// -l: the model, DeviceName of the device's information, for a device
// named by URL; false when the URL is none the mode takes.
static bool
hilink_probe(port_finding *f)
{
	http_answer a = {};
	size_t n;

	if (hilink_parse_url(port = hilink_credentials(port), &peer) != nullptr)
		return false;
	open_session();
	const long code = call("GET", "/api/device/information", nullptr, &a);
	const char *v = code == 0 ? xml_element(a.body, "DeviceName", &n) : nullptr;
	if (code == 100003 && verbose)
		warnx("%s: the device asks for a login; give its password in USSDQ_PASSWORD or a netrc file", port);
	// Any web server answers; a HiLink device answers in its XML.
	size_t k;
	const bool xml = xml_element(a.body, "response", &k) != nullptr ||
	    xml_element(a.body, "error", &k) != nullptr;
	utf8_out out = {f->model, sizeof f->model - 1, 0};
	if (v != nullptr)
		xml_text(v, n, &out);
	f->model[out.len] = '\0';
	snprintf(f->maker, sizeof f->maker, "Huawei");
	snprintf(f->mode, sizeof f->mode, "hilink");
	hilink_let_go();
	return xml;
}

const mode_ops hilink_mode = {
	.name = "hilink",
	.named = true,
	.keeps = true,
	.claims = hilink_claims,
	.set_up = hilink_set_up,
	.refusal = hilink_refusal,
	.send = hilink_send,
	.end_session = hilink_end_session,
	.end_session_now = hilink_end_session_now,
	.let_go = hilink_let_go,
	.probe = hilink_probe,
};
