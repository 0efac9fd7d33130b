// The login of routers that ask for one before USSD: the credentials as
// users keep them (a user in the URL, USSDQ_PASSWORD, a netrc file) and
// the three kinds of login the device's own page does. The logout, on
// every way out, is hilink.cpp's.
#include <err.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "coding/charsets.hpp"
#include "coding/sha256.hpp"
#include "front/settings.hpp"
#include "modem/hilink.hpp"
#include "modem/frames/http.hpp"

static char shown_url[300];
static char user[128];
static char password[128];
// "; try again in N minutes", as the state before the login gave them.
static char wait_minutes[48];

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

// The words of a netrc file this reads, by their place here; -1: another.
static int
keyword(const char *t)
{
	static constexpr char words[] = "machine\0default\0macdef\0login\0password\0account";
	const char *w = words;
	for (int i = 0; i < 6; i++, w += strlen(w) + 1)
		if (strcmp(t, w) == 0)
			return i;
	return -1;
}

// A macro runs to the next empty line, or to the end of the text.
static char *
macro_end(char *at)
{
	char *end = strstr(at, "\n\n");
	return end != nullptr ? end : at + strlen(at);
}

// In the text of a netrc file, the entry for hilink_host (or the default
// one), and for user when the URL names one: its login and password.
static void
netrc_entry(char *at, const char **login, const char **pass)
{
	bool ours = false;
	for (char *t = netrc_token(&at);; t = netrc_token(&at)) {
		const int k = t != nullptr ? keyword(t) : 0;
		const bool next = k == 0 || k == 1;	// the end too
		if (next && ours && (user[0] == '\0' || (*login != nullptr && strcmp(*login, user) == 0)))
			return;
		if (t == nullptr) {
			*login = *pass = nullptr;
			return;
		}
		if (next) {
			// The machine's name follows its word.
			const char *m = k == 0 ? netrc_token(&at) : nullptr;
			ours = k == 1 || (m != nullptr && hilink_same(m, hilink_host, sizeof hilink_host));
			*login = *pass = nullptr;
		} else if (k == 2) {
			at = macro_end(at);
		} else if (k > 2) {
			// The account, the last, is not used by a login here.
			char *v = netrc_token(&at);
			if (k == 3)
				*login = v;
			else if (k == 4)
				*pass = v;
		}
	}
}

// A user name or a password, from up to any of the characters of ends,
// into user or password where it has none yet; none where from is null.
// One cut to fit would be a wrong one, and a wrong one tried counts
// towards the device's lock.
static_assert(sizeof user == sizeof password);

static void
credential(char *to, const char *from, const char *ends = "")
{
	if (from == nullptr || *to != '\0')
		return;
	const size_t n = strcspn(from, ends);
	if (n >= sizeof user)
		hilink_fail("the user name or password is too long");
	memcpy(to, from, n);
	to[n] = '\0';
}

// The login of the netrc entry, and its password unless one was given
// already.
static void
read_netrc()
{
	static char text[8192];
	char file[512];
	const char *name = getenv("NETRC");

	if (name == nullptr) {
		const char *home = getenv("HOME");
		if (home == nullptr)
			return;
		snprintf(file, sizeof file, "%s/.netrc", home);
		name = file;
	}
	const int fd = open(name, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return;
	// A file cut to fit could give a password cut short, a wrong one: one
	// that fills the buffer, leaving no room for the NUL, is not read.
	const ssize_t n = read(fd, text, sizeof text);
	close(fd);
	if (n == static_cast<ssize_t>(sizeof text)) {
		warnx("%s: too long; not read", name);
		return;
	}
	text[n > 0 ? n : 0] = '\0';

	const char *login = nullptr;
	const char *pass = nullptr;
	netrc_entry(text, &login, &pass);
	credential(user, login);
	credential(password, pass);
}

const char *
hilink_credentials(http_peer *peer)
{
	const char *url = port;
	const char *h = strstr(url, "://");
	peer->name = url;
	user[0] = password[0] = '\0';
	if (h != nullptr) {
		h += 3;
		// A user before the host, in the authority.
		const char *at = h + strcspn(h, "@/");
		const bool named = *at == '@';
		snprintf(shown_url, sizeof shown_url, "%.*s%s", static_cast<int>(h - url), url, named ? at + 1 : h);
		peer->name = shown_url;
		if (named) {
			const size_t n = strcspn(h, ":@");
			if (h + n != at)
				hilink_fail("a password in the URL shows to every user of the system; "
				    "give it in USSDQ_PASSWORD or a netrc file");
			credential(user, h, ":@");
		}
	}
	if (const char *why = hilink_parse_url(peer->name, peer))
		return why;
	credential(password, getenv("USSDQ_PASSWORD"));
	read_netrc();
	if (user[0] == '\0')
		memcpy(user, "admin", 6);
	return nullptr;
}

// The device's refusals of a login, as users can act on them.
static const char *const whys[] = {
	"the user name or password is wrong", "another user is logged in", "logins too frequent",
	"locked after too many failed logins",
};
// Which of them each code from 108001 to 108010 is, from 1; 0: none.
static constexpr unsigned char why_of[] = {1, 1, 2, 0, 2, 1, 4, 0, 2, 3};
static constexpr long locked = 108007;

[[noreturn]] static void
login_refused(long code)
{
	const unsigned long i = static_cast<unsigned long>(code - 108001);
	if (i >= sizeof why_of || why_of[i] == 0)
		errx(1, "%s: login refused: error %ld", hilink_name(), code);
	errx(1, "%s: login refused: %s%s", hilink_name(), whys[why_of[i] - 1], code == locked ? wait_minutes : "");
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

// The base64 of the hex of the SHA-256 of the three texts one after
// another.
static void
hashed(char *out, const char *a, const char *b = "", const char *c = "")
{
	uint8_t digest[sha256_size];
	char digest_hex[2 * sha256_size + 1];

	sha256(digest, a, strlen(a), b, strlen(b), c, strlen(c));
	hex_put(digest, sizeof digest, digest_hex, false);
	base64(out, digest_hex, 2 * sha256_size);
}

// The requests of a login, each in this buffer.
static char body[1024];

// A POST of the login's; a refusal ends the run.
static void
post(const char *path)
{
	const long code = hilink_call(path, body);
	if (code != 0)
		login_refused(code);
}

// The device's page's challenge: a salted proof of the password both ways,
// the password itself never sent.
static void
challenge_login(const char *name)
{
	uint8_t first[32];
	uint8_t salt[64];
	uint8_t salted[sha256_size];
	uint8_t client_key[sha256_size];
	uint8_t stored[sha256_size];
	uint8_t sig[sha256_size];
	char first_hex[65];
	char proof[65];
	// The first nonce and the device's twice, each after a comma.
	constexpr size_t nonce_room = 200;
	char auth[sizeof first_hex + 2 * nonce_room];
	size_t n;

	if (syscall(SYS_getrandom, first, sizeof first, 0) != sizeof first)
		err(1, "getrandom");
	hex_put(first, sizeof first, first_hex, false);
	snprintf(body, sizeof body, "<username>%s</username><firstnonce>%s</firstnonce><mode>1</mode>", name,
	    first_hex);
	post("/api/user/challenge_login");
	const long rounds = hilink_number("iterations", 0);
	if (rounds > 10000)
		errx(1, "%s: the device asks for %ld iterations", hilink_name(), rounds);
	const char *s = hilink_element("salt", &n);
	size_t salt_len = 0;
	// Its hex up to the first pair that is none.
	while (s != nullptr && 2 * salt_len + 1 < n && salt_len < sizeof salt &&
	    hex_octets(s + 2 * salt_len, 2, salt + salt_len) == 1)
		salt_len++;
	s = hilink_element("servernonce", &n);
	if (s == nullptr || n >= nonce_room)
		hilink_fail("login refused: an answer without its nonce");
	const int w = static_cast<int>(n);
	const int k = snprintf(auth, sizeof auth, "%s,%.*s,%.*s", first_hex, w, s, w, s);

	pbkdf2_sha256(salted, sizeof salted, password, strlen(password), salt, salt_len,
	    static_cast<unsigned>(rounds > 0 ? rounds : 1));
	hmac_sha256(client_key, "Client Key", 10, salted, sizeof salted);
	sha256(stored, client_key, sizeof client_key);
	hmac_sha256(sig, auth, static_cast<size_t>(k), stored, sizeof stored);
	for (size_t i = 0; i < sizeof sig; i++)
		sig[i] ^= client_key[i];
	hex_put(sig, sizeof sig, proof, false);
	// The device's nonce, after the first one and its comma.
	snprintf(body, sizeof body, "<clientproof>%s</clientproof><finalnonce>%.*s</finalnonce>", proof, w,
	    auth + sizeof first_hex);
	// Its answer is made from the password.
	http_secret = true;
	post("/api/user/authentication_login");
	http_secret = false;
	hilink_logged_in = 1;

	// The device proves in turn that it knows the password.
	hmac_sha256(stored, "Server Key", 10, salted, sizeof salted);
	hmac_sha256(sig, auth, static_cast<size_t>(k), stored, sizeof stored);
	hex_put(sig, sizeof sig, proof, false);
	s = hilink_element("serversignature", &n);
	if (s == nullptr || n != 64 || !hilink_same(s, proof, 64))
		hilink_fail("the device did not prove it knows the password");
}

void
hilink_log_in()
{
	char name[sizeof user * 5];
	char coded[200];

	if (password[0] == '\0' || hilink_call("/api/user/state-login") != 0)
		return;
	if (hilink_number("State", 0) == 0)
		return;
	const long wait = hilink_number("remainwaittime", 0);
	wait_minutes[0] = '\0';
	if (wait > 0)
		snprintf(wait_minutes, sizeof wait_minutes, "; try again in %ld minutes", wait);
	if (hilink_number("lockstatus", 0) == 1)
		login_refused(locked);
	hilink_escaped(user, name, sizeof name);
	if (hilink_number("extern_password_type", 0) == 1)
		return challenge_login(name);

	const long type = hilink_number("password_type", 0);
	// The token this very POST carries is part of the hash.
	if (type == 4) {
		hashed(coded, password);
		hashed(coded, user, coded, hilink_token());
	} else {
		base64(coded, password, strlen(password));
	}
	snprintf(body, sizeof body, "<Username>%s</Username><Password>%s</Password><password_type>%ld"
	    "</password_type>", name, coded, type);
	post("/api/user/login");
	hilink_logged_in = 1;
}
