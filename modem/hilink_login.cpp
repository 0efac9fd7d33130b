// The login of routers that ask for one before USSD: the credentials as
// users keep them (a user in the URL, USSDQ_PASSWORD, a netrc file), the
// three kinds of login the device's own page does, and a logout on every
// way out, ready for a handler.
#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include "coding/sha256.hpp"
#include "front/settings.hpp"
#include "modem/hilink.hpp"
#include "modem/frames/http.hpp"
#include "modem/frames/xml.hpp"

static constexpr char xml_request[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><request>";
static char shown_url[300];
static char host_name[256];	// as netrc names it: no port, no brackets
static char user[128];
static char password[128];
// Set once a login went through: every way out then logs out.
static volatile sig_atomic_t logged_in;
// An answer is in: a logout that fails then only warns.
static volatile sig_atomic_t answered;
// The lock's remaining minutes, as the state before the login gave them.
static char wait_minutes[24];

static char logout_msg[2][640];
static volatile sig_atomic_t logout_len[2];
static volatile sig_atomic_t logout_at;
static const http_peer *logout_peer;

// One token of a netrc file, as curl reads it: a word, or a quoted string
// with backslash escapes; null at the end.
static char *
netrc_token(char **at)
{
	char *p = *at + strspn(*at, " \t\r\n");
	if (*p == '\0')
		return nullptr;
	char *t = p;
	if (*p == '"') {
		char *w = t;
		for (p++; *p != '\0' && *p != '"'; p++) {
			if (*p == '\\' && p[1] != '\0') {
				p++;
				*p = *p == 'n' ? '\n' : *p == 'r' ? '\r' : *p == 't' ? '\t' : *p;
			}
			*w++ = *p;
		}
		p += *p == '"';
		*w = '\0';
		*at = p;
		return t;
	}
	p += strcspn(p, " \t\r\n");
	if (*p != '\0')
		*p++ = '\0';
	*at = p;
	return t;
}

// Whether the machine token that follows names host_name.
static bool
names_host(char **at)
{
	const char *m = netrc_token(at);
	return m != nullptr && strcasecmp(m, host_name) == 0;
}

// In the text of a netrc file, the entry for host_name (or the default
// one), and for user when the URL names one: its login and password.
static void
netrc_entry(char *at, const char **login, const char **pass)
{
	bool ours = false;
	for (char *t = netrc_token(&at);; t = netrc_token(&at)) {
		const bool next = t == nullptr || strcmp(t, "machine") == 0 || strcmp(t, "default") == 0;
		if (next && ours && (user[0] == '\0' || (*login != nullptr && strcmp(*login, user) == 0)))
			return;
		if (t == nullptr) {
			*login = *pass = nullptr;
			return;
		}
		if (next) {
			ours = strcmp(t, "default") == 0 || names_host(&at);
			*login = *pass = nullptr;
		} else if (strcmp(t, "macdef") == 0) {
			// A macro runs to the next empty line.
			char *end = strstr(at, "\n\n");
			at = end != nullptr ? end : at + strlen(at);
		} else if (strcmp(t, "login") == 0 || strcmp(t, "password") == 0 || strcmp(t, "account") == 0) {
			const char *v = netrc_token(&at);
			if (*t == 'l')
				*login = v;
			else if (*t == 'p')
				*pass = v;
		}
	}
}

// The login of the netrc entry, and its password unless one was given
// already.
static void
read_netrc()
{
	static char text[8192];
	char file[512];
	const char *name = getenv("NETRC");
	const char *home = getenv("HOME");

	if (name == nullptr && home != nullptr)
		snprintf(file, sizeof file, "%s/.netrc", home);
	else
		snprintf(file, sizeof file, "%s", name != nullptr ? name : "");
	const int fd = open(file, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return;
	const ssize_t n = read(fd, text, sizeof text - 1);
	close(fd);
	text[n > 0 ? n : 0] = '\0';

	const char *login = nullptr;
	const char *pass = nullptr;
	netrc_entry(text, &login, &pass);
	if (user[0] == '\0' && login != nullptr)
		snprintf(user, sizeof user, "%s", login);
	if (password[0] == '\0' && pass != nullptr)
		snprintf(password, sizeof password, "%s", pass);
}

const char *
hilink_credentials(const char *url)
{
	const char *h = strstr(url, "://");
	if (h == nullptr)
		return url;
	h += 3;
	const size_t authority = strcspn(h, "/");
	const char *at = static_cast<const char *>(memchr(h, '@', authority));
	const int head = static_cast<int>(h - url);
	snprintf(shown_url, sizeof shown_url, "%.*s%s", head, url, at != nullptr ? at + 1 : h);
	user[0] = password[0] = '\0';
	if (at != nullptr) {
		const size_t n = strcspn(h, ":@");
		if (h + n != at)
			errx(1, "%s: a password in the URL shows to every user of the system; "
			    "give it in USSDQ_PASSWORD or a netrc file", shown_url);
		snprintf(user, sizeof user, "%.*s", static_cast<int>(n), h);
		h = at + 1;
	}
	const bool bracket = *h == '[';
	h += bracket;
	snprintf(host_name, sizeof host_name, "%.*s", static_cast<int>(strcspn(h, bracket ? "]" : ":/")), h);
	const char *p = getenv("USSDQ_PASSWORD");
	if (p != nullptr)
		snprintf(password, sizeof password, "%s", p);
	read_netrc();
	if (user[0] == '\0')
		snprintf(user, sizeof user, "admin");
	return shown_url;
}

void
hilink_ready_logout(const http_peer *peer, const char *cookie, const char *token)
{
	static constexpr char body[] = "<Logout>1</Logout></request>";
	const int next = 1 - logout_at;
	logout_peer = peer;
	const int n = snprintf(logout_msg[next], sizeof logout_msg[0],
	    "POST /api/user/logout HTTP/1.1\r\nHost: %s\r\nCookie: %s\r\n__RequestVerificationToken: %s\r\n"
	    "Content-Type: application/x-www-form-urlencoded; charset=UTF-8\r\nContent-Length: %zu\r\n"
	    "Connection: close\r\n\r\n%s%s", peer->host, cookie, token, sizeof xml_request + sizeof body - 2,
	    xml_request, body);
	logout_len[next] = n > 0 && static_cast<size_t>(n) < sizeof logout_msg[0] ? n : 0;
	logout_at = next;
}

// A socket read that waits at most the polls left, 100 ms each.
struct timed_fd {
	int fd;
	int polls;
};

static ssize_t
timed_read(void *ctx, char *buf, size_t n)
{
	auto *t = static_cast<timed_fd *>(ctx);
	pollfd p = {t->fd, POLLIN, 0};
	while (t->polls-- > 0)
		if (poll(&p, 1, 100) > 0)
			return read(t->fd, buf, n);
	errno = ETIMEDOUT;
	return -1;
}

bool
hilink_send_now(const http_peer *peer, const char *msg, size_t len)
{
	char body[512];
	http_answer a = {0, "", body, 0, sizeof body, true, true};
	bool took = false;
	size_t n;
	const int fd = socket(peer->addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return false;
	pollfd p = {fd, POLLOUT, 0};
	if ((connect(fd, reinterpret_cast<const sockaddr *>(&peer->addr), peer->addr_len) == 0 ||
	    (errno == EINPROGRESS && poll(&p, 1, 1000) == 1)) &&
	    write(fd, msg, len) == static_cast<ssize_t>(len)) {
		// The answer read to its end, for at most 1 s.
		timed_fd t = {fd, 10};
		http_in in = {timed_read, &t, {}, 0, 0};
		took = http_read(&in, &a, nullptr) == nullptr && a.status / 100 == 2 &&
		    xml_element(a.body, "error", &n) == nullptr;
	}
	close(fd);
	return took;
}

void
hilink_answered(bool yes)
{
	answered = yes;
}

// Nothing can be done about a failing write to standard error here.
static void
put(const char *s)
{
	const ssize_t r = write(STDERR_FILENO, s, strlen(s));
	(void)r;
}

void
hilink_let_go()
{
	static constexpr char tail[] = ": logout not confirmed\n";

	if (!logged_in)
		return;
	logged_in = 0;
	const int at = logout_at;
	const auto len = static_cast<size_t>(logout_len[at]);
	if (logout_peer != nullptr && len > 0 && hilink_send_now(logout_peer, logout_msg[at], len))
		return;
	if (!answered)
		return;
	put(__progname);
	put(": ");
	put(port);
	put(tail);
}

// A number of the answer; fallback where it has none.
static long
number(const char *doc, const char *name, long fallback)
{
	size_t n;
	const char *v = xml_element(doc, name, &n);
	if (v == nullptr || n == 0)
		return fallback;
	const bool minus = *v == '-';
	long x = 0;
	for (size_t i = minus; i < n && i < 10 && v[i] >= '0' && v[i] <= '9'; i++)
		x = x * 10 + (v[i] - '0');
	return minus ? -x : x;
}

// The device's refusals of a login, by its codes, as users can act on them.
static constexpr struct {
	long code;
	const char *why;
} refusals[] = {
	{108001, "the user name or password is wrong"}, {108002, "the user name or password is wrong"},
	{108006, "the user name or password is wrong"}, {108003, "another user is logged in"},
	{108005, "another user is logged in"}, {108009, "another user is logged in"},
	{108010, "logins too frequent"}, {108007, "locked after too many failed logins"},
};

[[noreturn]] static void
login_refused(long code)
{
	for (const auto &r : refusals)
		if (r.code == code)
			errx(1, "%s: login refused: %s%s%s%s", port, r.why,
			    code == 108007 && wait_minutes[0] != '\0' ? "; try again in " : "",
			    code == 108007 ? wait_minutes : "", code == 108007 && wait_minutes[0] != '\0' ? " minutes" : "");
	errx(1, "%s: login refused: error %ld", port, code);
}

static int
hex_digit(char c)
{
	const char *digits = "0123456789abcdef0123456789ABCDEF";
	const char *d = c != '\0' ? strchr(digits, c) : nullptr;
	return d != nullptr ? static_cast<int>(d - digits) % 16 : -1;
}

static void
hex(char *out, const uint8_t *b, size_t n)
{
	for (size_t i = 0; i < n; i++)
		snprintf(out + 2 * i, 3, "%02x", b[i]);
}

static void
base64(char *out, const char *in, size_t n)
{
	static constexpr char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
	const auto *p = reinterpret_cast<const unsigned char *>(in);
	for (size_t i = 0; i < n; i += 3, out += 4) {
		const unsigned long v = static_cast<unsigned long>(p[i]) << 16 |
		    (i + 1 < n ? static_cast<unsigned long>(p[i + 1]) << 8 : 0ul) | (i + 2 < n ? p[i + 2] : 0ul);
		for (int j = 0; j < 4; j++)
			out[j] = i + static_cast<size_t>(j) <= n ? digits[v >> (18 - 6 * j) & 63] : '=';
	}
	*out = '\0';
}

static void
post(const char *path, const char *body)
{
	http_answer a = {};
	const long code = hilink_call("POST", path, body, &a);
	if (code != 0)
		login_refused(code);
}

// The device's page's challenge: a salted proof of the password both ways,
// the password itself never sent.
static void
challenge_login(const char *name)
{
	static char body[1024];
	http_answer a = {};
	uint8_t first[32];
	uint8_t salt[64];
	uint8_t salted[sha256_size];
	uint8_t client_key[sha256_size];
	uint8_t stored[sha256_size];
	uint8_t sig[sha256_size];
	char first_hex[65];
	char proof[65];
	char server_nonce[200];
	char auth[400];
	size_t n;

	if (getrandom(first, sizeof first, 0) != sizeof first)
		err(1, "getrandom");
	hex(first_hex, first, sizeof first);
	snprintf(body, sizeof body, "%s<username>%s</username><firstnonce>%s</firstnonce><mode>1</mode>"
	    "</request>", xml_request, name, first_hex);
	const long code = hilink_call("POST", "/api/user/challenge_login", body, &a);
	if (code != 0)
		login_refused(code);
	const long rounds = number(a.body, "iterations", 0);
	if (rounds > 10000)
		errx(1, "%s: the device asks for %ld iterations", port, rounds);
	const char *s = xml_element(a.body, "salt", &n);
	size_t salt_len = 0;
	for (; s != nullptr && 2 * salt_len + 1 < n && salt_len < sizeof salt; salt_len++) {
		const int hi = hex_digit(s[2 * salt_len]);
		const int lo = hex_digit(s[2 * salt_len + 1]);
		if (hi < 0 || lo < 0)
			break;
		salt[salt_len] = static_cast<uint8_t>(hi << 4 | lo);
	}
	s = xml_element(a.body, "servernonce", &n);
	if (s == nullptr || n >= sizeof server_nonce)
		errx(1, "%s: login refused: an answer without its nonce", port);
	snprintf(server_nonce, sizeof server_nonce, "%.*s", static_cast<int>(n), s);
	const int k = snprintf(auth, sizeof auth, "%s,%s,%s", first_hex, server_nonce, server_nonce);

	pbkdf2_sha256(salted, sizeof salted, password, strlen(password), salt, salt_len,
	    static_cast<unsigned>(rounds > 0 ? rounds : 1));
	hmac_sha256(client_key, "Client Key", 10, salted, sizeof salted);
	sha256(stored, client_key, sizeof client_key);
	hmac_sha256(sig, auth, static_cast<size_t>(k), stored, sizeof stored);
	for (size_t i = 0; i < sizeof sig; i++)
		sig[i] ^= client_key[i];
	hex(proof, sig, sizeof sig);
	snprintf(body, sizeof body, "%s<clientproof>%s</clientproof><finalnonce>%s</finalnonce></request>",
	    xml_request, proof, server_nonce);
	// Its answer is made from the password.
	http_secret = true;
	const long done = hilink_call("POST", "/api/user/authentication_login", body, &a);
	http_secret = false;
	if (done != 0)
		login_refused(done);
	logged_in = 1;

	// The device proves in turn that it knows the password.
	hmac_sha256(stored, "Server Key", 10, salted, sizeof salted);
	hmac_sha256(sig, auth, static_cast<size_t>(k), stored, sizeof stored);
	hex(proof, sig, sizeof sig);
	s = xml_element(a.body, "serversignature", &n);
	if (s == nullptr || n != 64 || strncasecmp(s, proof, 64) != 0)
		errx(1, "%s: the device did not prove it knows the password", port);
}

void
hilink_log_in()
{
	static char body[1024];
	http_answer a = {};
	char name[sizeof user * 5];
	char coded[200];

	if (password[0] == '\0' || hilink_call("GET", "/api/user/state-login", nullptr, &a) != 0 ||
	    number(a.body, "State", 0) == 0)
		return;
	const long wait = number(a.body, "remainwaittime", 0);
	wait_minutes[0] = '\0';
	if (wait > 0)
		snprintf(wait_minutes, sizeof wait_minutes, "%ld", wait);
	if (number(a.body, "lockstatus", 0) == 1)
		login_refused(108007);
	hilink_escaped(user, name, sizeof name);
	if (number(a.body, "extern_password_type", 0) == 1)
		return challenge_login(name);

	const long type = number(a.body, "password_type", 0);
	if (type == 4) {
		// The token this very POST carries is part of the hash.
		char digest_hex[65];
		uint8_t digest[sha256_size];
		sha256(digest, password, strlen(password));
		hex(digest_hex, digest, sizeof digest);
		base64(coded, digest_hex, 64);
		const char *token = hilink_token();
		sha256(digest, user, strlen(user), coded, strlen(coded), token, strlen(token));
		hex(digest_hex, digest, sizeof digest);
		base64(coded, digest_hex, 64);
	} else {
		base64(coded, password, strlen(password));
	}
	snprintf(body, sizeof body, "%s<Username>%s</Username><Password>%s</Password><password_type>%ld"
	    "</password_type></request>", xml_request, name, coded, type);
	post("/api/user/login", body);
	logged_in = 1;
}
