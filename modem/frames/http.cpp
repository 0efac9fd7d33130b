#include <err.h>
#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "coding/septets.hpp"
#include "front/settings.hpp"
#include "modem/frames/http.hpp"

const char http_read_failed[] = "read";

// A byte of the answer, or end_of_input, or read_failed.
enum { end_of_input = -1, read_failed = -2, too_long = -3 };

static int
byte(http_in *in)
{
	if (in->at == in->have) {
		ssize_t n;
		while ((n = in->get(in->ctx, in->buf, sizeof in->buf)) < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return n == 0 ? end_of_input : read_failed;
		in->at = 0;
		in->have = static_cast<size_t>(n);
	}
	return static_cast<unsigned char>(in->buf[in->at++]);
}

static const char *
why(int r, const char *too_long_text)
{
	return r == read_failed ? http_read_failed :
	    r == end_of_input ? "the connection closed early" : too_long_text;
}

// One line up to its LF, without its CR LF: null, or why there is none,
// too_long_text for a line longer than its room, which is refused at the
// first byte that does not fit.
static const char *
line(http_in *in, char *buf, size_t size, const char *too_long_text)
{
	size_t n = 0;

	for (int c; (c = byte(in)) != '\n'; buf[n++] = static_cast<char>(c))
		if (c < 0 || n + 1 >= size)
			return why(c < 0 ? c : too_long, too_long_text);
	if (n > 0 && buf[n - 1] == '\r')
		n--;
	buf[n] = '\0';
	return nullptr;
}

static constexpr const char long_header[] = "an answer's header is too long";
static constexpr const char bad_header[] = "a header not as HTTP has it";
static constexpr const char long_body[] = "an answer's body is too long";

// n bytes of the body, or up to the end of input when to_end.
static int
body(http_in *in, http_answer *a, size_t n, bool to_end)
{
	const size_t room = a->size - 1;

	if (!to_end && n > room - a->len && !a->cut_ok)
		return too_long;
	for (; to_end || n > 0; n--) {
		if (a->len == room && a->cut_ok)
			return 1;
		int c = byte(in);
		if (c == end_of_input && to_end)
			break;
		if (c < 0 || a->len == room)
			return c < 0 ? c : too_long;
		a->body[a->len++] = static_cast<char>(c);
		a->body[a->len] = '\0';
	}
	return 0;
}

static constexpr const char not_http[] = "not an HTTP answer";

// The status line; 1xx answers are only interim.
static const char *
status_line(http_in *in, http_answer *a)
{
	const char *l = a->line;

	if (const char *failed = line(in, a->line, sizeof a->line, "an answer's status line is too long"))
		return failed;
	if (strncmp(l, "HTTP/1.", 7) != 0 || l[7] < '0' || l[7] > '9' || l[8] != ' ')
		return not_http;
	int i = 9;
	int status = 0;
	for (; i < 12 && l[i] >= '0' && l[i] <= '9'; i++)
		status = status * 10 + (l[i] - '0');
	if (i != 12 || (l[12] != ' ' && l[12] != '\0'))
		return not_http;
	a->status = status;
	return nullptr;
}

// How the body is framed, as the headers say.
struct framing {
	size_t length;		// SIZE_MAX: none given
	bool chunked;
};

// Content-Length's value, v, n digits long.
static bool
content_length(const char *v, size_t n, framing *f)
{
	size_t value = 0;
	size_t i = 0;

	for (; v[i] >= '0' && v[i] <= '9'; i++)
		value = value * 10 + static_cast<size_t>(v[i] - '0');
	if (i == 0 || i > 9 || i != n)
		return false;
	// Two lengths that differ leave the body's end unknown.
	if (f->length != SIZE_MAX && f->length != value)
		return false;
	f->length = value;
	return true;
}

// One header line, h, cut into its name in lower case and its value, which
// go to on_header.
static const char *
header(char *h, framing *f, http_header_fn on_header)
{
	char *colon = strchr(h, ':');
	if (colon == nullptr || colon == h)
		return bad_header;
	*colon = '\0';
	for (char *p = h; *p != '\0'; p++) {
		if (*p <= ' ' || *p == 0x7f)
			return bad_header;
		if (*p >= 'A' && *p <= 'Z')
			*p = static_cast<char>(*p + 32);
	}
	char *v = colon + 1 + strspn(colon + 1, " \t");
	size_t n = strlen(v);
	while (n > 0 && (v[n - 1] == ' ' || v[n - 1] == '\t'))
		v[--n] = '\0';
	if (strcmp(h, "content-length") == 0) {
		if (!content_length(v, n, f))
			return bad_header;
	} else if (strcmp(h, "transfer-encoding") == 0) {
		// Chunked is the last coding when it is one at all.
		bool chunked = n >= 7;
		for (size_t i = 0; chunked && i < 7; i++)
			chunked = (v[n - 7 + i] | 0x20) == "chunked"[i];
		f->chunked = chunked;
	}
	if (on_header != nullptr)
		on_header(h, v);
	return nullptr;
}

static constexpr const char bad_chunk[] = "a chunk not as HTTP has it";

// The size at the start of a chunk's line h; one above room is refused
// before its digits could overflow.
static const char *
chunk_size(const char *h, size_t room, size_t *n)
{
	const char *p = h;

	if (!is_hex(static_cast<unsigned char>(*p)))
		return bad_chunk;
	for (; is_hex(static_cast<unsigned char>(*p)); p++) {
		if (*n > room)
			return long_body;
		*n = *n * 16 + hex_digit(static_cast<unsigned char>(*p));
	}
	return *p != '\0' && *p != ';' && *p != ' ' && *p != '\t' ? bad_chunk : nullptr;
}

// A body in chunks, and the trailer after them, whose fields are not used.
static const char *
chunks(http_in *in, http_answer *a)
{
	char h[1024];
	const char *failed;

	for (;;) {
		size_t n = 0;
		if ((failed = line(in, h, 64, bad_chunk)) != nullptr ||
		    (failed = chunk_size(h, a->size, &n)) != nullptr)
			return failed;
		if (n == 0)
			break;
		if (const int r = body(in, a, n, false))
			return r > 0 ? nullptr : why(r, long_body);
		if ((failed = line(in, h, 3, bad_chunk)) != nullptr || h[0] != '\0')
			return failed != nullptr ? failed : bad_chunk;
	}
	while ((failed = line(in, h, sizeof h, long_header)) == nullptr && h[0] != '\0')
		continue;
	return failed;
}

const char *
http_read(http_in *in, http_answer *a, http_header_fn on_header)
{
	char h[1024];
	framing f = {SIZE_MAX, false};
	int r;

	a->len = 0;
	a->body[0] = '\0';
	do {
		if (const char *failed = status_line(in, a))
			return failed;
		const char *failed;
		while ((failed = line(in, h, sizeof h, long_header)) == nullptr && h[0] != '\0')
			if ((failed = header(h, &f, on_header)) != nullptr)
				return failed;
		if (failed != nullptr)
			return failed;
	} while (a->status / 100 == 1);

	if (a->status == 204 || a->status == 304)
		return nullptr;
	if (f.chunked)
		return chunks(in, a);
	r = body(in, a, f.length, f.length == SIZE_MAX);
	return r >= 0 ? nullptr : why(r, long_body);
}

// A socket, and for a handler's exchange the polls of 100 ms left for its
// answer.
struct timed_fd {
	int fd;
	int polls;
};

static ssize_t
from_socket(void *ctx, char *buf, size_t n)
{
	return read(static_cast<timed_fd *>(ctx)->fd, buf, n);
}

static ssize_t
timed_read(void *ctx, char *buf, size_t n)
{
	auto *t = static_cast<timed_fd *>(ctx);
	pollfd p = {t->fd, POLLIN, 0};
	while (t->polls-- > 0)
		if (poll(&p, 1, 100) > 0)
			return from_socket(ctx, buf, n);
	errno = ETIMEDOUT;
	return -1;
}

// Why an exchange failed, why null for the C library's word on errno: the
// end of the run, or false where the answer could do without it; false
// alone from a handler.
static bool
lost(const http_peer *peer, const http_answer *a, int fd, const char *why, bool now)
{
	const int e = errno;

	close(fd);
	errno = e;
	if (now || (a->soft && !verbose))
		return false;
	if (why == nullptr)
		warn("%s", peer->name);
	else
		warnx("%s: %s", peer->name, why);
	// As err and errx would, said the same way.
	if (!a->soft)
		exit(1);
	return false;
}

bool http_secret;

size_t
http_request(char *out, size_t size, const http_peer *peer, const char *path, const char *headers,
    const char *body)
{
	char length[128];
	length[0] = '\0';
	if (body != nullptr)
		snprintf(length, sizeof length, "Content-Type: application/x-www-form-urlencoded; "
		    "charset=UTF-8\r\nContent-Length: %zu\r\n", strlen(body));
	const int n = snprintf(out, size, "%s %s HTTP/1.1\r\nHost: %s\r\n%s%sConnection: close\r\n\r\n%s",
	    body != nullptr ? "POST" : "GET", path, peer->host, headers, length, body != nullptr ? body : "");
	return n > 0 && static_cast<size_t>(n) < size ? static_cast<size_t>(n) : 0;
}

// -v: the answer's status line and its body, without the line ends after
// it; a body made from the password as ***.
static void
show_answer(http_answer *a)
{
	warnx("http: %s", shown(a->line));
	size_t k = a->len;
	while (k > 0 && (a->body[k - 1] == '\n' || a->body[k - 1] == '\r'))
		k--;
	const char end = a->body[k];
	a->body[k] = '\0';
	warnx("http: %s", http_secret ? "***" : shown(a->body));
	a->body[k] = end;
}

bool
http_exchange(const http_peer *peer, const char *req, size_t n, http_answer *a, http_header_fn on_header,
    bool now)
{
	if (verbose && !now)
		warnx("http: %.*s", static_cast<int>(strcspn(req, "\r")), req);

	timed_fd t = {socket(peer->addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC | (now ? SOCK_NONBLOCK : 0), 0), 10};
	if (t.fd < 0) {
		if (now)
			return false;
		err(1, "socket");
	}
	pollfd p = {t.fd, POLLOUT, 0};
	if (connect(t.fd, reinterpret_cast<const sockaddr *>(&peer->addr), peer->addr_len) != 0 &&
	    !(now && errno == EINPROGRESS && poll(&p, 1, 1000) == 1))
		return lost(peer, a, t.fd, nullptr, now);
	for (size_t at = 0; at < n;) {
		ssize_t w = write(t.fd, req + at, n - at);
		if (w < 0 && errno != EINTR)
			return lost(peer, a, t.fd, nullptr, now);
		at += w > 0 ? static_cast<size_t>(w) : 0;
	}
	http_in in = {now ? timed_read : from_socket, &t, {}, 0, 0};
	const char *failed = http_read(&in, a, on_header);
	if (failed != nullptr)
		return lost(peer, a, t.fd, failed == http_read_failed ? nullptr : failed, now);
	close(t.fd);
	if (verbose && !now)
		show_answer(a);
	return true;
}
