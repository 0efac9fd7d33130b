#include <err.h>
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "coding/charsets.hpp"
#include "front/settings.hpp"
#include "modem/dbus.hpp"
#include "modem/mm.hpp"

static constexpr char mm_name[] = "org.freedesktop.ModemManager1";
static constexpr char modem_iface[] = "org.freedesktop.ModemManager1.Modem";
static constexpr char ussd_iface[] = "org.freedesktop.ModemManager1.Modem.Modem3gpp.Ussd";
static constexpr bool host_big = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

static int bus = -1;
static uint32_t serial;
// Replies listing every object of ModemManager can be long; larger ones
// are refused rather than read in part.
static uint8_t in[65536];
static uint8_t out[2 * work_buf_size + 512];
static char modem_path[256];
static uint8_t cancel_msg[256];
static size_t cancel_len;
static uint32_t cancel_serial;

// Why the bus could not be used: the value of dbus_read, or 1 for a
// reply that is not what was asked.
static long lost;

[[noreturn]] static void
bus_lost()
{
	if (lost == -1)
		err(1, "bus");
	if (lost == 0)
		errx(1, "bus: the connection was closed");
	if (lost == -2)
		errx(1, "bus: a message longer than %zu bytes", sizeof in);
	errx(1, "bus: not a D-Bus message of the kind asked for");
}

static void
begin(dwriter *w, uint8_t *buf, size_t size, const char *dest, const char *path,
    const char *iface, const char *member, const char *sig)
{
	dw_begin(w, buf, size, host_big, dbus_call_msg, ++serial);
	dw_field(w, df_path, path);
	dw_field(w, df_interface, iface);
	dw_field(w, df_member, member);
	dw_field(w, df_destination, dest);
	if (*sig != '\0')
		dw_field(w, df_signature, sig);
	dw_body(w);
}

static void
begin_ussd(dwriter *w, const char *member, const char *sig)
{
	begin(w, out, sizeof out, mm_name, modem_path, ussd_iface, member, sig);
}

// Sends the call and reads up to its reply, passing over everything else;
// the reply's type, or 0 with lost set.
static int
exchange(dwriter *w, dbus_header *h)
{
	size_t len = dw_end(w);

	if (len == 0)
		errx(1, "USSD too long");
	if (!dbus_write(bus, w->buf, len))
		return lost = -1, 0;
	for (;;) {
		long n = dbus_read(bus, in, sizeof in);
		if (n <= 0 || !dbus_parse(in, (size_t)n, h))
			return lost = n <= 0 ? n : -3, 0;
		if ((h->type == dbus_return_msg || h->type == dbus_error_msg) && h->reply_serial == serial)
			return h->type;
	}
}

static void
refusal_of(const dbus_header *h, char *refusal, size_t rsize)
{
	dreader r;

	dr_begin(&r, in, h);
	snprintf(refusal, rsize, "%s: %s", h->field[df_error_name], dr_peek(&r) == 's' ? dr_str(&r) : "");
	if (verbose)
		warnx("mm: error %s", refusal);
}

static bool
same_port(const char *a, const char *b)
{
	const char *x = strrchr(a, '/'), *y = strrchr(b, '/');
	return strcmp(x ? x + 1 : a, y ? y + 1 : b) == 0;
}

static bool
is_sig(const dreader *r, const char *sig)
{
	size_t n = (size_t)(r->sig_end - r->sig);
	return strlen(sig) == n && memcmp(r->sig, sig, n) == 0;
}

enum found { found_one, not_running, no_modem, several, not_among, bus_failed };

// The modems in ModemManager's GetManagedObjects reply: objects with the
// Modem interface, and among them those with the port in their Ports.
static found
find(const char *port, bool port_given)
{
	dwriter w;
	dbus_header h;

	if (bus < 0) {
		if ((bus = dbus_connect(nullptr)) < 0)
			return not_running;
		begin(&w, out, sizeof out, "org.freedesktop.DBus", "/org/freedesktop/DBus",
		    "org.freedesktop.DBus", "Hello", "");
		if (exchange(&w, &h) != dbus_return_msg)
			return lost = lost == 0 ? 1 : lost, bus_failed;
	}
	if (verbose)
		warnx("mm: calling GetManagedObjects()");
	begin(&w, out, sizeof out, mm_name, "/org/freedesktop/ModemManager1",
	    "org.freedesktop.DBus.ObjectManager", "GetManagedObjects", "");
	int type = exchange(&w, &h);
	if (type == 0)
		return bus_failed;
	if (type == dbus_error_msg) {
		char refusal[256];
		refusal_of(&h, refusal, sizeof refusal);
		return not_running;
	}
	int modems = 0, matches = 0;
	dreader body, objects;
	dr_begin(&body, in, &h);
	if (strcmp(h.field[df_signature], "a{oa{sa{sv}}}") != 0)
		return lost = 1, bus_failed;
	dr_enter(&body, &objects);
	while (dr_more(&objects)) {
		dreader object, ifaces;
		dr_enter(&objects, &object);
		const char *path = dr_str(&object);
		bool modem = false, match = false;
		dr_enter(&object, &ifaces);
		while (dr_more(&ifaces)) {
			dreader iface, props;
			dr_enter(&ifaces, &iface);
			if (strcmp(dr_str(&iface), modem_iface) == 0) {
				modem = true;
				dr_enter(&iface, &props);
				while (dr_more(&props)) {
					dreader prop, value, ports, entry;
					dr_enter(&props, &prop);
					bool is_ports = strcmp(dr_str(&prop), "Ports") == 0;
					dr_enter(&prop, &value);
					if (is_ports && is_sig(&value, "a(su)")) {
						dr_enter(&value, &ports);
						while (dr_more(&ports)) {
							dr_enter(&ports, &entry);
							match |= same_port(dr_str(&entry), port);
							dr_leave(&ports, &entry);
						}
						dr_leave(&value, &ports);
					}
					dr_leave(&prop, &value);
					dr_leave(&props, &prop);
				}
				dr_leave(&iface, &props);
			}
			dr_leave(&ifaces, &iface);
		}
		dr_leave(&object, &ifaces);
		dr_leave(&objects, &object);
		modems += modem;
		match &= port_given && modem;
		if ((match && matches++ == 0) || (!port_given && modem && modems == 1))
			snprintf(modem_path, sizeof modem_path, "%s", path);
	}
	dr_leave(&body, &objects);
	if (body.bad)
		return lost = 1, bus_failed;
	if (modems == 0)
		return no_modem;
	if (!port_given)
		return modems > 1 ? several : found_one;
	return matches > 0 ? found_one : not_among;
}

void
mm_open(const char *port, bool port_given)
{
	switch (find(port, port_given)) {
	case found_one:
		break;
	case not_running:
		errx(1, "ModemManager is not running");
	case no_modem:
		errx(1, "no modem managed by ModemManager");
	case several:
		errx(1, "several modems; name one with -p");
	case not_among:
		errx(1, "%s: not a port of a modem ModemManager manages", port);
	case bus_failed:
		bus_lost();
	}
	if (verbose)
		warnx("mm: modem %s", modem_path);
	dwriter w;
	begin(&w, cancel_msg, sizeof cancel_msg, mm_name, modem_path, ussd_iface, "Cancel", "");
	cancel_serial = serial;
	cancel_len = dw_end(&w);
}

bool
mm_manages(const char *port)
{
	return find(port, true) == found_one;
}

uint32_t
mm_state()
{
	dwriter w;
	dbus_header h;
	char refusal[256];

	if (verbose)
		warnx("mm: calling Get(\"State\")");
	begin(&w, out, sizeof out, mm_name, modem_path, "org.freedesktop.DBus.Properties", "Get", "ss");
	dw_str(&w, 's', ussd_iface);
	dw_str(&w, 's', "State");
	int type = exchange(&w, &h);
	if (type == 0)
		bus_lost();
	if (type == dbus_error_msg) {
		refusal_of(&h, refusal, sizeof refusal);
		errx(1, "State: %s", refusal);
	}
	dreader r, v;
	dr_begin(&r, in, &h);
	dr_enter(&r, &v);
	uint32_t state = is_sig(&v, "u") ? dr_u32(&v) : 0;
	if (r.bad || v.bad || !is_sig(&v, "u"))
		bus_lost();
	if (verbose)
		warnx("mm: reply %u", state);
	return state;
}

// The reply of a call: its string, if it has one, in answer.
static bool
finish(dwriter *w, char *answer, size_t size, char *refusal, size_t rsize)
{
	dbus_header h;
	int type = exchange(w, &h);

	if (type == 0)
		bus_lost();
	if (type == dbus_error_msg)
		return refusal_of(&h, refusal, rsize), false;
	dreader r;
	dr_begin(&r, in, &h);
	if (size == 0)
		return true;
	const char *s = dr_peek(&r) == 's' ? dr_str(&r) : "";
	utf8_out text = {answer, size - 1, 0};
	for (size_t k; *s != '\0'; s += k) {
		uint32_t cp;
		if ((k = utf8_get(s, &cp)) == 0) {
			cp = replacement_char;
			k = 1;
		}
		utf8_put(&text, cp);
	}
	answer[text.len] = '\0';
	if (verbose)
		warnx("mm: reply \"%s\"", answer);
	return true;
}

bool
mm_call(const char *method, const char *text, char *answer, size_t size, char *refusal, size_t rsize)
{
	dwriter w;

	if (verbose)
		warnx("mm: calling %s(\"%s\")", method, text);
	begin_ussd(&w, method, "s");
	dw_str(&w, 's', text);
	return finish(&w, answer, size, refusal, rsize);
}

bool
mm_cancel(char *refusal, size_t rsize)
{
	dwriter w;

	if (verbose)
		warnx("mm: calling Cancel()");
	begin_ussd(&w, "Cancel", "");
	return finish(&w, nullptr, 0, refusal, rsize);
}

void
mm_cancel_now()
{
	static uint8_t got[4096];
	size_t have = 0;

	if (cancel_len == 0 || write(bus, cancel_msg, cancel_len) != (ssize_t)cancel_len)
		return;
	for (int tries = 0; tries < 10; tries++) {
		pollfd p = {bus, POLLIN, 0};
		if (poll(&p, 1, 100) <= 0)
			continue;
		ssize_t n = read(bus, got + have, sizeof got - have);
		if (n <= 0)
			return;
		have += (size_t)n;
		size_t at = 0, len;
		dbus_header h;
		for (; have - at >= 16 && (len = dbus_length(got + at)) >= 16 && len <= have - at; at += len)
			if (dbus_parse(got + at, len, &h) && h.reply_serial == cancel_serial)
				return;
		if (at == 0 && have == sizeof got)
			return;
		memmove(got, got + at, have - at);
		have -= at;
	}
}
