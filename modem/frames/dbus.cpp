#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "coding/charsets.hpp"
#include "modem/frames/dbus.hpp"

static uint32_t
get32(const uint8_t *p, bool big)
{
	return big ? (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3]
		   : (uint32_t)p[3] << 24 | (uint32_t)p[2] << 16 | (uint32_t)p[1] << 8 | p[0];
}

static size_t
round_up(size_t n, size_t align)
{
	return (n + align - 1) & ~(align - 1);
}

void
dw_byte(dwriter *w, uint8_t v)
{
	if (w->len >= w->size)
		w->full = true;
	else
		w->buf[w->len++] = v;
}

void
dw_align(dwriter *w, size_t n)
{
	while (w->len % n != 0 && !w->full)
		dw_byte(w, 0);
}

void
dw_u32(dwriter *w, uint32_t v)
{
	dw_align(w, 4);
	for (int i = 0; i < 4; i++)
		dw_byte(w, static_cast<uint8_t>(v >> 8 * (w->big ? 3 - i : i)));
}

// With its NUL, byte by byte, as dw_byte checks each.
void
dw_str(dwriter *w, char type, const char *s)
{
	size_t n = strlen(s);

	if (type == 'g')
		dw_byte(w, (uint8_t)n);
	else
		dw_u32(w, (uint32_t)n);
	do
		dw_byte(w, static_cast<uint8_t>(*s));
	while (*s++ != '\0');
}

// A length written earlier as 0, at the 4-aligned at, set to v.
static void
set_u32(dwriter *w, size_t at, uint32_t v)
{
	const size_t len = w->len;

	w->len = at;
	dw_u32(w, v);
	w->len = len;
}

void
dw_variant(dwriter *w, const char *sig)
{
	dw_str(w, 'g', sig);
}

size_t
dw_array(dwriter *w, size_t align)
{
	dw_u32(w, 0);
	size_t at = w->len - 4;
	dw_align(w, align);
	return at;
}

void
dw_array_end(dwriter *w, size_t at, size_t align)
{
	if (!w->full)
		set_u32(w, at, (uint32_t)(w->len - round_up(at + 4, align)));
}

void
dw_begin(dwriter *w, uint8_t *buf, size_t size, bool big, dbus_type type, uint32_t serial)
{
	*w = {buf, size, 0, big, false, 0};
	// The byte order, the type, no flags and version 1, as one u32 in
	// that order.
	dw_u32(w, static_cast<uint32_t>(big ? 'B' << 24 | type << 16 | 1 : 1 << 24 | type << 8 | 'l'));
	dw_u32(w, 0);
	dw_u32(w, serial);
	dw_u32(w, 0);
}

void
dw_field(dwriter *w, dbus_field code, const char *value)
{
	char sig[2] = {code == df_path ? 'o' : code == df_signature ? 'g' : 's', 0};

	dw_align(w, 8);
	dw_byte(w, code);
	dw_variant(w, sig);
	dw_str(w, sig[0], value);
}

void
dw_reply_serial(dwriter *w, uint32_t serial)
{
	dw_align(w, 8);
	dw_byte(w, df_reply_serial);
	dw_variant(w, "u");
	dw_u32(w, serial);
}

void
dw_body(dwriter *w)
{
	if (!w->full)
		set_u32(w, 12, (uint32_t)(w->len - 16));
	dw_align(w, 8);
	w->body = w->len;
}

size_t
dw_end(dwriter *w)
{
	if (w->full)
		return 0;
	set_u32(w, 4, (uint32_t)(w->len - w->body));
	return w->len;
}

// Past one complete type starting at s, or null when there is none. A
// dict entry is taken wherever it stands, since the walk over an array's
// elements meets it alone.
static const char *
type_end(const char *s, const char *e, int depth)
{
	if (s >= e || depth > 64 || *s == '\0')
		return nullptr;
	// The variant, then the basic types: the basic types alone, and the
	// string types, are tails of this one string, which they share.
	if (strchr("vybnqiuxtdhsog", *s) != nullptr)
		return s + 1;
	if (*s == 'a')
		return type_end(s + 1, e, depth + 1);
	if (*s == '{') {
		if (s + 1 >= e || s[1] == '\0' || strchr("ybnqiuxtdhsog", s[1]) == nullptr)
			return nullptr;
		const char *v = type_end(s + 2, e, depth + 1);
		return v != nullptr && v < e && *v == '}' ? v + 1 : nullptr;
	}
	if (*s != '(' || s + 1 >= e || s[1] == ')')
		return nullptr;
	for (s++; s != nullptr && s < e && *s != ')';)
		s = type_end(s, e, depth + 1);
	return s != nullptr && s < e ? s + 1 : nullptr;
}

static size_t
align_of(char t)
{
	switch (t) {
	case 'y': case 'g': case 'v':
		return 1;
	case 'n': case 'q':
		return 2;
	case 'x': case 't': case 'd': case '(': case '{':
		return 8;
	default:
		return 4;
	}
}

static void
fail(dreader *r)
{
	r->bad = true;
	r->pos = r->end;
	r->at = r->sig_end;
}

// Aligns to the type at *type and takes the n bytes that follow: where
// they start, or null when there are not so many.
static const uint8_t *
room(dreader *r, const char *type, size_t n)
{
	size_t at = round_up(r->pos, align_of(*type));
	if (r->bad || at > r->end || r->end - at < n) {
		fail(r);
		return nullptr;
	}
	r->pos = at + n;
	return r->msg + at;
}

char
dr_peek(const dreader *r)
{
	return r->at < r->sig_end ? *r->at : '\0';
}

bool
dr_more(dreader *r)
{
	if (r->bad)
		return false;
	if (!r->array)
		return r->at < r->sig_end;
	if (r->at != r->sig_end && r->at != r->sig)
		return true;
	r->at = r->sig;
	return r->pos < r->end;
}

uint32_t
dr_u32(dreader *r)
{
	char t = dr_peek(r);
	size_t n = t == 'y' ? 1 : 4;

	if (t != 'y' && t != 'u' && t != 'i' && t != 'b' && t != 'h')
		fail(r);
	const uint8_t *p = room(r, r->at, n);
	if (p == nullptr)
		return 0;
	r->at++;
	return n == 1 ? *p : get32(p, r->big);
}

const char *
dr_str(dreader *r)
{
	char t = dr_peek(r);
	const uint8_t *p;
	size_t n;

	if (t == 'g') {
		if ((p = room(r, "y", 1)) == nullptr)
			return "";
		n = *p;
	} else {
		if ((t != 's' && t != 'o') || (p = room(r, "u", 4)) == nullptr)
			return (fail(r), "");
		n = get32(p, r->big);
	}
	const char *s = reinterpret_cast<const char *>(r->msg) + r->pos;
	// Ending in a NUL at n, it has none before where strlen finds n.
	if (r->end - r->pos <= n || s[n] != '\0' || strlen(s) != n)
		return (fail(r), "");
	r->pos += n + 1;
	r->at++;
	return s;
}

void
dr_enter(dreader *r, dreader *in)
{
	const char *te = type_end(r->at, r->sig_end, r->depth);
	char t = dr_peek(r);

	*in = *r;
	in->depth++;
	in->array = false;
	if (te == nullptr)
		return fail(r), fail(in);
	if (t == 'a' || t == '(' || t == '{') {
		// An array's walk is over its n bytes, each element of the type
		// after the 'a'; a struct's over its fields, between the brackets.
		uint32_t n = 0;
		const uint8_t *p;
		if (t == 'a') {
			if ((p = room(r, "u", 4)) == nullptr)
				return fail(in);
			n = get32(p, r->big);
		}
		if ((p = room(r, t == 'a' ? r->at + 1 : "(", n)) == nullptr)
			return fail(in);
		in->pos = static_cast<size_t>(p - r->msg);
		in->sig = in->at = r->at + 1;
		in->sig_end = te;
		if (t == 'a') {
			in->end = r->pos;
			in->array = true;
		} else {
			in->sig_end--;
		}
	} else if (t == 'v') {
		// The value's signature read by the inner walk, as a "g".
		in->at = "g";
		in->sig_end = in->at + 1;
		const char *sig = dr_str(in);
		size_t n = strlen(sig);
		if (in->bad || type_end(sig, sig + n, in->depth) != sig + n)
			return in->sig_end = r->sig_end, fail(r), fail(in);
		r->pos = in->pos;
		in->sig = in->at = sig;
		in->sig_end = sig + n;
	} else {
		return fail(r), fail(in);
	}
	r->at = te;
}

void
dr_leave(dreader *r, dreader *in)
{
	if (in->array) {
		if (in->bad)
			fail(r);
		return;
	}
	while (dr_more(in))
		dr_skip(in);
	if (in->bad)
		return fail(r);
	r->pos = in->pos;
}

void
dr_skip(dreader *r)
{
	char t = dr_peek(r);
	dreader in;

	if (strchr("sog", t) != nullptr && t != '\0') {
		dr_str(r);
	} else if (strchr("ybnqiuxtdhsog", t) != nullptr && t != '\0') {
		size_t n = align_of(t);
		if (room(r, r->at, n) != nullptr)
			r->at++;
	} else {
		dr_enter(r, &in);
		dr_leave(r, &in);
	}
}

void
dr_begin(dreader *r, const uint8_t *msg, const dbus_header *h)
{
	const char *sig = h->field[df_signature];
	*r = {msg, h->body, h->body + h->body_len, sig, sig + strlen(sig), sig, h->big, false, false, 0};
}

size_t
dbus_length(const uint8_t *msg)
{
	bool big = msg[0] == 'B';
	uint32_t body = get32(msg + 4, big);
	uint32_t fields = get32(msg + 12, big);

	if ((msg[0] != 'l' && !big) || msg[3] != 1 || body > 1u << 27 || fields > 1u << 26)
		return 0;
	return round_up(16 + fields, 8) + body;
}

bool
dbus_parse(const uint8_t *msg, size_t len, dbus_header *h)
{
	// Each field's type by its code; none has code 0.
	static constexpr char types[] = "?osssussg";

	if (len < 16 || dbus_length(msg) != len)
		return false;
	bool big = msg[0] == 'B';
	h->big = big;
	h->type = msg[1];
	h->flags = msg[2];
	h->serial = get32(msg + 8, big);
	h->reply_serial = 0;
	for (const char *&f : h->field)
		f = "";	// cppcheck-suppress useStlAlgorithm
	static constexpr char field_sig[] = "(yv)";
	dreader fields = {msg, 16, 16 + get32(msg + 12, big), field_sig, field_sig + 4, field_sig,
	    big, false, true, 1};
	while (dr_more(&fields)) {
		dreader f;
		dreader v;
		dr_enter(&fields, &f);
		uint32_t code = dr_u32(&f);
		dr_enter(&f, &v);
		// A field of a code unknown is passed over.
		const char t = code <= df_signature ? types[code] : '\0';
		if (t != '\0' && t != dr_peek(&v))
			return false;
		if (t == 'u')
			h->reply_serial = dr_u32(&v);
		else if (t != '\0')
			h->field[code] = dr_str(&v);
		dr_leave(&f, &v);
		dr_leave(&fields, &f);
	}
	h->body = round_up(fields.end, 8);
	h->body_len = len - h->body;
	// A field that is missing reads as "", which no caller takes for a
	// name; a body needs its signature.
	return !fields.bad && h->serial != 0 && (*h->field[df_signature] || h->body_len == 0);
}

// The value of an address's path= or abstract= key, its %XX escapes read,
// as a socket address.
static bool
socket_path(const char *v, bool abstract, sockaddr_un *sa, socklen_t *len)
{
	size_t n = abstract;

	*sa = {};
	sa->sun_family = AF_UNIX;
	for (; *v != '\0' && *v != ',' && *v != ';'; n++, v++) {
		int c = (unsigned char)*v;
		if (c == '%') {
			uint8_t b;
			if (v[1] == '\0' || hex_octets(v + 1, 2, &b) != 1)
				return false;
			c = b;
			v += 2;
		}
		if (n >= sizeof sa->sun_path - 1)
			return false;
		sa->sun_path[n] = (char)c;
	}
	*len = (socklen_t)(offsetof(sockaddr_un, sun_path) + n + !abstract);
	return true;
}

// The first usable unix socket of an address list: a path= or abstract=
// key of an entry that starts with unix:.
static bool
address(const char *list, sockaddr_un *sa, socklen_t *len)
{
	bool in_unix = false;

	for (const char *k = list; *k != '\0'; k++) {
		if (k == list || k[-1] == ';') {
			// Its keys start past the colon, where k goes next.
			in_unix = strncmp(k, "unix:", 5) == 0;
			k += in_unix ? 4 : 0;
			continue;
		}
		bool abstract = strncmp(k, "abstract=", 9) == 0;
		if (in_unix && (k[-1] == ':' || k[-1] == ',') && (abstract || strncmp(k, "path=", 5) == 0))
			return socket_path(k + (abstract ? 9 : 5), abstract, sa, len);
	}
	return false;
}

// All n bytes read into buf, or written from it where out; false with
// errno set, 0 where the peer closed the connection.
static bool
full_io(int fd, uint8_t *buf, size_t n, bool out)
{
	for (size_t done = 0; done < n;) {
		ssize_t r = out ? send(fd, buf + done, n - done, MSG_NOSIGNAL)
				: read(fd, buf + done, n - done);
		if (r < 0 && errno == EINTR)
			continue;
		if (r <= 0) {
			if (r == 0)
				errno = 0;
			return false;
		}
		done += static_cast<size_t>(r);
	}
	return true;
}

static bool
full_read(int fd, uint8_t *buf, size_t n)
{
	return full_io(fd, buf, n, false);
}

bool
dbus_write(int fd, const uint8_t *msg, size_t len)
{
	// Writing, full_io only reads the bytes.
	return full_io(fd, const_cast<uint8_t *>(msg), len, true);
}

long
dbus_read(int fd, uint8_t *buf, size_t size)
{
	if (!full_read(fd, buf, 16))
		return errno == 0 ? dbus_closed : dbus_read_error;
	size_t len = dbus_length(buf);
	if (len < 16)
		return dbus_no_message;
	if (len > size)
		return dbus_too_big;
	if (!full_read(fd, buf + 16, len - 16))
		return errno == 0 ? dbus_closed : dbus_read_error;
	return static_cast<long>(len);
}

int
dbus_connect(const char *list)
{
	sockaddr_un sa;
	socklen_t len;
	char line[128];

	if (list == nullptr && (list = getenv("DBUS_SYSTEM_BUS_ADDRESS")) == nullptr)
		list = "unix:path=/run/dbus/system_bus_socket";
	if (!address(list, &sa, &len)) {
		errno = EADDRNOTAVAIL;
		return -1;
	}
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return -1;
	// The credentials are the uid in decimal, sent as hex.
	char *p = line + sizeof "\0AUTH EXTERNAL " - 1;
	memcpy(line, "\0AUTH EXTERNAL ", static_cast<size_t>(p - line));
	char digits[12];
	const int n = snprintf(digits, sizeof digits, "%u", getuid());
	hex_put(reinterpret_cast<const uint8_t *>(digits), static_cast<size_t>(n), p, false);
	p += 2 * static_cast<size_t>(n);
	memcpy(p, "\r\n", 2);
	if (connect(fd, reinterpret_cast<sockaddr *>(&sa), len) != 0 ||
	    !dbus_write(fd, reinterpret_cast<uint8_t *>(line), static_cast<size_t>(p + 2 - line)))
		goto fail;
	for (size_t i = 0; i < sizeof line - 1; i++) {
		if (!full_read(fd, reinterpret_cast<uint8_t *>(line) + i, 1))
			goto fail;
		if (line[i] == '\n') {
			if (strncmp(line, "OK ", 3) != 0)
				break;
			if (!dbus_write(fd, reinterpret_cast<const uint8_t *>("BEGIN\r\n"), 7))
				goto fail;
			return fd;
		}
	}
	errno = EACCES;
fail:
	// A closed connection reads as reset; close leaves errno as it is.
	if (errno == 0)
		errno = ECONNRESET;
	close(fd);
	return -1;
}
