#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "coding/charsets.hpp"
#include "front/settings.hpp"
#include "modem/frames/dbus.hpp"
#include "modem/frames/link.hpp"
#include "modem/frames/sysfs.hpp"
#include "modem/mm.hpp"
#include "modem/modes.hpp"

// Literals rather than arrays, which the compiler would pad for alignment.
#define mm_name "org.freedesktop.ModemManager1"
#define modem_iface mm_name ".Modem"
#define ussd_iface modem_iface ".Modem3gpp.Ussd"
static constexpr bool host_big = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

static int bus = -1;
char mm_path[256];
static char mm_port[64];	// the modem's PrimaryPort
// The name the run's messages give the modem, once found, where none was
// given: its own.
static const char *own_name = nullptr;

static const char *
called_by()
{
	return own_name != nullptr ? own_name : port;
}
// The modem has its Ussd interface: one that ModemManager keeps in a
// limited state (locked, without a SIM) has none.
static bool has_ussd;
static uint32_t serial;
// Replies listing every object of ModemManager can be long; larger ones
// are refused rather than read in part.
static uint8_t in[65536];
static uint8_t out[2 * work_buf_size + 512];
static uint8_t cancel_msg[256];
static size_t cancel_len;
static uint32_t cancel_serial;

// Why the bus could not be used: what dbus_read gave, or not_as_asked for
// a reply that is not what was asked.
static constexpr long not_as_asked = 1;
static long lost;

[[noreturn]] static void
bus_lost()
{
	static_assert(sizeof in == 65536, "the message below tells the size of in");
	if (lost == dbus_read_error)
		err(1, "bus");
	errx(1, "bus: %s", lost == dbus_closed ? "the connection was closed"
	    : lost == dbus_too_big ? "a message over 65536 bytes" : "a message not as asked");
}

// Whom the tool calls: the bus itself, ModemManager's object manager, and
// the properties and the Ussd interface of the modem found.
enum callee { to_bus, to_objects, to_props, to_ussd };

// The call being written, in out (or Cancel, ready-made in cancel_msg),
// and the last message read, in in.
static dwriter w;
static dbus_header head;

// A call begun in buf, of size bytes.
static void
begin(uint8_t *buf, size_t size, callee to, const char *member, const char *sig)
{
	const char *path = mm_path;
	const char *iface = ussd_iface;
	const char *dest = mm_name;

	if (to == to_bus) {
		path = "/org/freedesktop/DBus";
		iface = dest = "org.freedesktop.DBus";
	} else if (to == to_objects) {
		path = "/org/freedesktop/ModemManager1";
		iface = "org.freedesktop.DBus.ObjectManager";
	} else if (to == to_props) {
		iface = "org.freedesktop.DBus.Properties";
	}
	dw_begin(&w, buf, size, host_big, dbus_call_msg, ++serial);
	dw_field(&w, df_path, path);
	dw_field(&w, df_interface, iface);
	dw_field(&w, df_member, member);
	dw_field(&w, df_destination, dest);
	if (*sig != '\0')
		dw_field(&w, df_signature, sig);
	dw_body(&w);
}

// Until when a call waits for its reply: the network's answer to Initiate
// and Respond as long as -t lets it; -1 for any other call.
static int64_t reply_deadline = -1;

// Calls member with the strings a and b, where given, as its arguments,
// and reads up to its reply, passing over everything else: the reply's
// type, or 0 with lost set. -v shows the call but Hello, with its last
// argument.
static int
call(callee to, const char *member, const char *a = nullptr, const char *b = nullptr)	// NOLINT(bugprone-easily-swappable-parameters)
{
	// The arguments from 1 on: args[n] is the last, or null.
	const char *args[] = {nullptr, a, b};
	const size_t n = (a != nullptr) + (b != nullptr);

	if (verbose && to != to_bus)
		warnx(n != 0 ? "mm: calling %s(\"%s\")" : "mm: calling %s()", member, args[n]);
	begin(out, sizeof out, to, member, &"ss"[2 - n]);
	for (size_t i = 1; i <= n; i++)
		dw_str(&w, 's', args[i]);
	size_t len = dw_end(&w);
	if (len == 0)
		errx(1, "USSD too long");
	if (!dbus_write(bus, out, len))
		return lost = dbus_read_error, 0;
	for (;;) {
		pollfd p = {bus, POLLIN, 0};
		const int64_t left = reply_deadline - now_ms();
		if (reply_deadline >= 0 && poll(&p, 1, left > 0 ? static_cast<int>(left) : 0) == 0)
			answer_overdue();
		long got = dbus_read(bus, in, sizeof in);
		if (got <= 0 || !dbus_parse(in, static_cast<size_t>(got), &head))
			return lost = got <= 0 ? got : dbus_no_message, 0;
		if ((head.type == dbus_return_msg || head.type == dbus_error_msg) &&
		    head.reply_serial == serial)
			return head.type;
	}
}

// The error reply read last, as "NAME: MESSAGE".
static void
refusal_of(char *refusal, size_t rsize)
{
	dreader r;

	dr_begin(&r, in, &head);
	snprintf(refusal, rsize, "%s: %s", head.field[df_error_name], dr_peek(&r) == 's' ? dr_str(&r) : "");
	if (verbose)
		warnx("mm: error %s", shown(refusal));
}

static bool
same_port(const char *a, const char *b)
{
	const char *x = strrchr(a, '/');
	const char *y = strrchr(b, '/');
	return strcmp(x ? x + 1 : a, y ? y + 1 : b) == 0;
}

// Steps into the entry of the dict with this key; in is then at its value.
static bool
lookup(dreader *dict, const char *key, dreader *in)
{
	while (dr_more(dict)) {
		dr_enter(dict, in);
		if (strcmp(dr_str(in), key) == 0)
			return true;
		dr_leave(dict, in);
	}
	return false;
}

// Steps into the value of the property key of the Modem interface, where
// iface is, into value: false when it has none. iface stays where it is.
static bool
modem_prop(const dreader *iface, const char *key, dreader *value)
{
	dreader at = *iface;
	dreader props;
	dreader prop;

	dr_enter(&at, &props);
	if (!lookup(&props, key, &prop))
		return false;
	dr_enter(&prop, value);
	return true;
}

// The modem found: its object path, and its PrimaryPort from its Modem
// interface, where iface is (of another type, it reads as "").
static void
choose(const char *path, const dreader *iface)
{
	dreader value;

	snprintf(mm_path, sizeof mm_path, "%s", path);
	snprintf(mm_port, sizeof mm_port, "%s",
	    modem_prop(iface, "PrimaryPort", &value) ? dr_str(&value) : "");
}

// Whether the Ports of the Modem interface, where iface is, have one of the
// same last component as port.
static bool
has_port(const dreader *iface, const char *port)
{
	dreader value;
	dreader ports;
	dreader entry;
	bool match = false;

	// Ports or entries of another type fail the walk, and with it the
	// match.
	if (modem_prop(iface, "Ports", &value))
		for (dr_enter(&value, &ports); dr_more(&ports); dr_leave(&ports, &entry)) {
			dr_enter(&ports, &entry);
			match |= same_port(dr_str(&entry), port);
		}
	return match;
}

enum found { found_one, not_running, no_modem, several, not_among, bus_failed, refused };

// The bus's error for GetManagedObjects: that no one owns ModemManager's
// name, or a bus policy's refusal, say.
static char objects_refusal[256];

// The modems in ModemManager's GetManagedObjects reply: objects with the
// Modem interface, and among them those with the port in their Ports.
static found
find(const char *port, bool port_given)
{
	if (bus < 0) {
		if ((bus = dbus_connect(nullptr)) < 0)
			return not_running;
		if (call(to_bus, "Hello") != dbus_return_msg)
			return lost = lost == dbus_closed ? not_as_asked : lost, bus_failed;
	}
	int type = call(to_objects, "GetManagedObjects");
	if (type == 0)
		return bus_failed;
	if (type == dbus_error_msg) {
		refusal_of(objects_refusal, sizeof objects_refusal);
		return refused;
	}
	int modems = 0;
	int matches = 0;
	dreader body;
	dreader objects;
	dr_begin(&body, in, &head);
	dr_enter(&body, &objects);
	while (dr_more(&objects)) {
		// Entering an array moves its walk past it, so the inner walks
		// need no leaving.
		dreader object;
		dreader ifaces;
		dreader iface;
		dr_enter(&objects, &object);
		const char *path = dr_str(&object);
		dr_enter(&object, &ifaces);
		dreader all = ifaces;
		const bool offers_ussd = lookup(&all, ussd_iface, &iface);
		const bool modem = lookup(&ifaces, modem_iface, &iface);
		modems += modem;
		// The first modem with the port, or the first modem.
		if (modem && (port_given ? has_port(&iface, port) && matches++ == 0 : modems == 1)) {
			choose(path, &iface);
			has_ussd = offers_ussd;
		}
		dr_leave(&objects, &object);
	}
	dr_leave(&body, &objects);
	if (body.bad)
		return lost = not_as_asked, bus_failed;
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
	case refused:
		// The bus says so when no one owns ModemManager's name.
		if (strstr(objects_refusal, ".ServiceUnknown:") == nullptr)
			errx(1, "%s: %s", "GetManagedObjects", shown(objects_refusal));
		[[fallthrough]];
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
	own_name = port_given ? nullptr : mm_port;
	begin(cancel_msg, sizeof cancel_msg, to_ussd, "Cancel", "");
	cancel_serial = serial;
	// One too long for its buffer is never sent.
	cancel_len = dw_end(&w);
}

bool
mm_manages(const char *port)
{
	return find(port, true) == found_one;
}

// Read as nothing, a reply of another type would print an empty answer.
[[noreturn]] static void
bad_reply(const char *what, const char *got, const char *want)
{
	errx(1, "%s: bad reply from ModemManager: %s gave type \"%s\", not \"%s\"", called_by(), what,
	    got, want);
}

// What the call that gave type had for its reply: true with a walk over its body
// (of the type sig) in r, false with the error in refusal. Not strictly
// (the questions of a failed run), a lost bus or a reply of another type
// gives false too, and the error is neither read nor shown.
static bool
reply(int type, dreader *r, char *refusal, size_t rsize, const char *what, const char *sig,
    bool strict = true)
{
	if (type == dbus_return_msg) {
		dr_begin(r, in, &head);
		if (strcmp(head.field[df_signature], sig) == 0)
			return true;
		if (strict)
			bad_reply(what, head.field[df_signature], sig);
	} else if (strict) {
		if (type == 0)
			bus_lost();
		refusal_of(refusal, rsize);
	}
	return false;
}

// Get(iface, name) of the modem's properties, iface after ModemManager's
// name: its value, read as a u32. Strictly (the Ussd interface's State)
// the bus lost, a refusal or a value not a "u" ends the run; else -1 then,
// the run going on.
static int64_t
get(const char *iface, const char *name, bool strict)	// NOLINT(bugprone-easily-swappable-parameters)
{
	char which[96];
	char refusal[256];
	dreader r;
	dreader v;

	snprintf(which, sizeof which, "%s%s", mm_name, iface);
	if (!reply(call(to_props, "Get", which, name), &r, refusal, sizeof refusal, name, "v", strict)) {
		if (strict)
			errx(1, "%s: %s", name, shown(refusal));
		return -1;
	}
	dr_enter(&r, &v);
	const uint32_t value = dr_u32(&v);
	// The variant's type is one whole type: "u" when it starts so.
	const bool good = !v.bad && (*v.sig == 'u' || (!strict && *v.sig == 'i'));
	if (strict && !good)
		bad_reply(name, v.sig, "u");
	if (verbose)
		warnx("mm: reply %u", value);
	return good ? value : -1;
}

uint32_t
mm_state()
{
	return static_cast<uint32_t>(get(".Modem.Modem3gpp.Ussd", "State", true));
}

// Both strings are literals wherever this is called, the interface always
// the one that starts with a dot.
int64_t
mm_number(const char *iface, const char *name)	// NOLINT(bugprone-easily-swappable-parameters)
{
	return get(iface, name, false);
}

// Without text (Cancel), the call has no argument and its reply no body,
// and it waits without the limit of -t.
bool
mm_call(const char *method, const char *text, char *answer, size_t size, char *refusal, size_t rsize)
{
	dreader r;

	if (text != nullptr)
		reply_deadline = answer_deadline;
	const bool took = reply(call(to_ussd, method, text), &r, refusal, rsize, method,
	    text != nullptr ? "s" : "");
	reply_deadline = -1;
	if (!took || text == nullptr)
		return took;
	const char *s = dr_str(&r);
	utf8_out got = {answer, size - 1, 0};
	utf8_walk(s, strlen(s), [&got](uint32_t cp) {
		// Never printed in part, as over the port.
		const size_t had = got.len;
		utf8_put(&got, cp == not_utf8 ? replacement_char : cp);
		if (got.len == had)
			errx(1, "%s: response too long", called_by());
		return true;
	});
	answer[got.len] = '\0';
	if (verbose)
		warnx("mm: reply \"%s\"", shown(answer));
	return true;
}

bool
mm_cancel(char *refusal, size_t rsize)
{
	return mm_call("Cancel", nullptr, nullptr, 0, refusal, rsize);
}

void
mm_end_session_now()
{
	static uint8_t got[4096];
	size_t have = 0;

	if (cancel_len == 0 || write(bus, cancel_msg, cancel_len) != (ssize_t)cancel_len)
		return;
	for (int tries = 0; tries < 10 && have < sizeof got; tries++) {
		pollfd p = {bus, POLLIN, 0};
		if (poll(&p, 1, 100) <= 0)
			continue;
		ssize_t n = read(bus, got + have, sizeof got - have);
		if (n <= 0)
			return;
		have += static_cast<size_t>(n);
		dbus_header h;
		for (size_t at = 0, len; have - at >= 16 && (len = dbus_length(got + at)) >= 16 &&
		    len <= have - at; at += len)
			if (dbus_parse(got + at, len, &h) && h.reply_serial == cancel_serial)
				return;
	}
}

// Runs through ModemManager on one modem wait for each other, as runs on
// one port do: ModemManager refuses a request while another is out, and
// takes one sent while a menu waits as that menu's reply. The lock is a
// file named after the modem's primary port, never the device, which
// ModemManager holds: opening and closing it could hang up the modem's line.
static void
lock_modem()
{
	char path[sizeof mm_port + 32];

	snprintf(path, sizeof path, "/var/lock/ussdq-%s.lock", mm_port);
	const int fd = open(path, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
	if (fd < 0) {
		if (verbose)
			warn("%s: going on unlocked", path);
		return;
	}
	lock_port(fd, true);
}

// The mode's entry points: ModemManager is one more mode,
// beside the AT modes. auto takes it for a port in exclusive use, or a
// device of frames (QMI, MBIM), that ModemManager manages: it holds the
// port, and talks to the modem itself.
static bool
mm_claims(const char *port)
{
	return (port_in_exclusive_use(port) || !is_terminal(port)) && mm_manages(port);
}

// Whether the first request goes as Initiate or Respond, asked before it
// goes: a run that fails before its request is out must not cancel a
// session that another run kept.
static const char *first_method = "Initiate";

static const mode_ops *
mm_set_up(const mode_ops *self, const ussd_job *job)
{
	mm_open(port, job->port_given);
	// A modem ModemManager keeps in a limited state (locked, no SIM) has
	// no USSD interface: the run fails before any request, and asks why.
	if (!has_ussd && job->request != nullptr) {
		warnx("%s: ModemManager offers no USSD on this modem", called_by());
		network_failed(true);
	}
	lock_modem();
	// A session that an earlier run kept takes the request as its answer,
	// as on an AT modem; ModemManager refuses Initiate while one waits.
	if (job->request != nullptr && mm_state() == mm_user_response)
		first_method = "Respond";
	return self;
}

// The request goes as -d takes it: UTF-8 text. ModemManager sends at most
// 160 octets: 182 septets when the GSM alphabet has every character (as the
// AT modes' UCS2 counts them), else 80 characters in UCS2.
static const char *
mm_refusal(const char *request)
{
	char hex[4 * max_request_septets + 1];
	size_t units = 0;

	const char *why = ucs2_code(request, hex, sizeof hex);
	if (why != gsm_lacks)
		return why;
	if (!utf8_walk(request, strlen(request), [&units](uint32_t cp) {
		    units++;
		    return cp != not_utf8;
	    }))
		return "USSD is not UTF-8 text";
	return units > 80 ? "USSD too long" : nullptr;
}

static char answer_buf[work_buf_size];

static const mode_ops *
mm_send(const char *request, bool first, ussd_answer *a, char *refusal, size_t rsize)
{
	if (!mm_call(first ? first_method : "Respond", request, answer_buf, sizeof answer_buf,
		refusal, rsize))
		return nullptr;
	// ModemManager says no scheme, and gives the text as UTF-8.
	const size_t n = strlen(answer_buf);
	*a = {mm_state() == mm_user_response ? 1 : 0, -1, charset::utf8,
	    reinterpret_cast<const uint8_t *>(answer_buf), n, answer_buf, n, answer_buf};
	return &mm_mode;
}

static bool
mm_end_session(bool)
{
	char refusal[256];

	return mm_cancel(refusal, sizeof refusal);
}

const mode_ops mm_mode = {
	.name = "mm",
	.named = true,
	.keeps = true,
	.claims = mm_claims,
	.set_up = mm_set_up,
	.refusal = mm_refusal,
	.send = mm_send,
	.end_session = mm_end_session,
	.end_session_now = mm_end_session_now,
	.called = [] { return own_name; },
};
