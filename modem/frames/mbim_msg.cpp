#include <err.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
#include <sys/ioctl.h>

#include "coding/charsets.hpp"
#include "front/settings.hpp"
#include "modem/frames/link.hpp"
#include "modem/frames/mbim_msg.hpp"
#include "modem/frames/shown.hpp"

const uint8_t mbim_basic_connect[16] = {0xa2, 0x89, 0xcc, 0x33, 0xbc, 0xbb, 0x8b, 0x4f,
    0xb6, 0xb0, 0x13, 0x3e, 0xc2, 0xaa, 0xe6, 0xdf};
const uint8_t mbim_ussd[16] = {0xe5, 0x50, 0xa0, 0xc8, 0x5e, 0x82, 0x47, 0x9e,
    0x82, 0xf7, 0x10, 0xab, 0xf4, 0xc3, 0x35, 0x1f};

bool
mbim_parse(const uint8_t *msg, size_t len, mbim_message *m)
{
	if (len < 12 || mbim_u32(msg + 4) != len)
		return false;
	*m = {mbim_u32(msg), mbim_u32(msg + 8), nullptr, 0, 0, nullptr, 0};
	const bool indication = m->type == mbim_indicate_status;
	if (m->type != mbim_command_msg && m->type != mbim_command_done && !indication) {
		if (len >= 16)
			m->status = mbim_u32(msg + 12);
		return len >= 16 || m->type == mbim_close_msg;
	}
	const size_t at = indication ? 44 : 48;
	// Only whole messages: the run joins fragments before.
	if (len < at || mbim_u32(msg + 12) != 1 || mbim_u32(msg + 16) != 0)
		return false;
	m->service = msg + 20;
	m->cid = mbim_u32(msg + 36);
	m->status = indication ? 0 : mbim_u32(msg + 40);
	m->info_len = mbim_u32(msg + at - 4);
	m->info = msg + at;
	return m->info_len <= len - at;
}

const uint8_t *
mbim_field(const uint8_t *info, uint32_t len, size_t at, uint32_t *n)
{
	if (at > len || len - at < 8)
		return nullptr;
	const uint32_t off = mbim_u32(info + at);
	*n = mbim_u32(info + at + 4);
	return off <= len && *n <= len - off ? info + off : nullptr;
}

bool
mbim_lists(const uint8_t *info, uint32_t len, const uint8_t *service, uint32_t cid)
{
	if (len < 8)
		return false;
	const uint32_t count = mbim_u32(info);
	for (size_t i = 0; i < count; i++) {
		uint32_t n;
		const uint8_t *e = mbim_field(info, len, 8 + 8 * i, &n);
		if (e == nullptr)
			return false;
		if (n < 28 || memcmp(e, service, 16) != 0)
			continue;
		const uint32_t cids = mbim_u32(e + 24);
		for (size_t k = 0; k < cids && k < (n - 28) / 4; k++)
			if (mbim_u32(e + 28 + 4 * k) == cid)
				return true;
	}
	return false;
}

bool
mbim_string(const uint8_t *info, uint32_t len, size_t at, char *out, size_t size)
{
	uint32_t n;
	const uint8_t *s = mbim_field(info, len, at, &n);

	if (s == nullptr)
		return false;
	n = n < 256 ? n & ~1u : 256;
	utf8_out o = {out, size - 1, 0};
	ucs2_to_utf8(s, n, &o, true);
	out[o.len] = '\0';
	return true;
}

/* The device */

// umbim and netifd count their transaction ids from 1; ours never meet
// theirs, and each run starts elsewhere, so that an answer owed to an
// earlier run is never taken for one of its own.
static uint32_t next_tid;
// Set before OPEN goes out: from then on every way out sends CLOSE.
static volatile sig_atomic_t opened;
static uint8_t close_msg[12];

// What has been read: the message handed out last at its front, the start
// of the next ones after it; skip bytes of one too long for it still to be
// passed over.
static uint8_t in[2 * mbim_max_transfer];
static size_t have, front, skip;
// A message that comes in fragments, joined; parts is their number, 0 when
// none is being joined, and part the one expected next.
static uint8_t joined[4 * mbim_max_transfer];
static size_t joined_len;
static uint32_t parts, part;
static bool joined_lost;

// The service of a command or an indication (type index i), as -v names
// it.
static const char *
service_name(const uint8_t *msg, size_t n, uint32_t i)
{
	if ((i != 3 && i != 7) || n < 40)
		return "";
	const uint32_t cid = mbim_u32(msg + 36);
	return memcmp(msg + 20, mbim_ussd, 16) == 0 && cid == mbim_ussd_cid ? " (USSD)"
	    : memcmp(msg + 20, mbim_basic_connect, 16) != 0 ? " (other)"
	    : cid == mbim_device_services ? " (device services)"
	    : cid == mbim_device_caps ? " (device caps)" : " (other)";
}

// Under -v, each message as hex with what it is, its first 512 bytes.
static void
show(const char *what, const uint8_t *msg, size_t n)
{
	// The names by type index, one after another.
	static constexpr char types[] = "message\0OPEN\0CLOSE\0COMMAND\0ERROR\0\0\0INDICATE_STATUS";

	if (!verbose)
		return;
	const uint32_t type = mbim_u32(msg);
	const uint32_t i = (type & 0x7fffffff) < 8 ? type & 0x7fffffff : 0;
	const char *name = types;
	for (uint32_t j = 0; j < i; j++)
		name += strlen(name) + 1;
	const char *const line[] = {__progname, ": mbim: ", what,
	    type == mbim_function_error ? " FUNCTION_" : " ", name, type >> 31 && i < 4 ? "_DONE" : "",
	    service_name(msg, n, i), ":", nullptr};
	// A long message is cut: its first bytes tell what it is, its length
	// is in its header.
	show_frame(line, msg, n, 4, 512, " ... (cut)");
}

static bool next_message(int64_t deadline, mbim_message *m);

// Sends a message, once what is waiting has been read and dropped: nothing
// that came before it answers it.
void
mbim_write(const uint8_t *msg, size_t n)
{
	mbim_message m;

	while (next_message(0, &m))
		continue;
	show("sent", msg, n);
	if (write(modem_fd, msg, n) != static_cast<ssize_t>(n))
		err(1, "%s", port);
}

static size_t
header(uint8_t *buf, uint32_t type, size_t len, uint32_t tid)
{
	mbim_put32(buf, type);
	mbim_put32(buf + 4, static_cast<uint32_t>(len));
	mbim_put32(buf + 8, tid);
	return len;
}

// One copy for every command: inlined, its stores cost more than a call.
[[gnu::noinline]] size_t
mbim_command(uint8_t *buf, const uint8_t *service, uint32_t cid, uint32_t type, size_t n)
{
	header(buf, mbim_command_msg, 48 + n, 0);
	mbim_put32(buf + 12, 1);
	mbim_put32(buf + 16, 0);
	memcpy(buf + 20, service, 16);
	mbim_put32(buf + 36, cid);
	mbim_put32(buf + 40, type);
	mbim_put32(buf + 44, static_cast<uint32_t>(n));
	return 48 + n;
}

uint32_t
mbim_new_tid()
{
	if (next_tid == 0)
		next_tid = ((static_cast<uint32_t>(getpid()) << 16 ^ static_cast<uint32_t>(now_ms())) & 0x3fffffff) |
		    0x10000;
	return next_tid++;
}

void
mbim_bad()
{
	errx(1, "%s: bad MBIM message", port);
}

// A whole message of n bytes at *msg, or the fragment of one: true with the
// message joined at *msg once its last fragment is in, false while more
// are to come or for one too long to keep. A fragment missing or out of
// order fails the message.
static bool
join(const uint8_t **msg, size_t *n)
{
	const uint8_t *p = *msg;
	const uint32_t type = mbim_u32(p);
	const bool parted = (type == mbim_command_done || type == mbim_indicate_status) && *n >= 20;
	const uint32_t total = parted ? mbim_u32(p + 12) : 1;
	const uint32_t current = parted ? mbim_u32(p + 16) : 0;

	if (parts == 0 && total == 1 && current == 0)
		return true;
	if (current != part || (part == 0 ? total < 2
	    : total != parts || type != mbim_u32(joined) || mbim_u32(p + 8) != mbim_u32(joined + 8)))
		mbim_bad();
	const size_t from = part == 0 ? 0 : 20;
	if (part == 0) {
		parts = total;
		joined_len = 0;
		joined_lost = false;
	}
	if (*n - from > sizeof joined - joined_len)
		joined_lost = true;
	else
		memcpy(joined + joined_len, p + from, *n - from);
	joined_len += *n - from;
	if (++part < parts)
		return false;
	parts = part = 0;
	mbim_put32(joined + 4, static_cast<uint32_t>(joined_len));
	mbim_put32(joined + 12, 1);
	mbim_put32(joined + 16, 0);
	*msg = joined;
	*n = joined_len;
	return !joined_lost;
}

// The next whole message already read that parses; false when more must
// be read first. Messages longer than the buffer are passed over.
static bool
take(mbim_message *m)
{
	for (;;) {
		// The message handed out last goes, and as much of one too
		// long as has come.
		const size_t k = skip < have - front ? skip : have - front;
		skip -= k;
		memmove(in, in + front + k, have - front - k);
		have -= front + k;
		front = 0;
		if (have < 12)
			return false;
		const uint32_t len = mbim_u32(in + 4);
		if (len < 12)
			mbim_bad();
		if (len > sizeof in) {
			skip = len;
			continue;
		}
		if (have < len)
			return false;
		front = len;
		show("got", in, len);
		const uint8_t *msg = in;
		size_t n = len;
		if (join(&msg, &n) && mbim_parse(msg, n, m))
			return true;
	}
}

// The next whole message that parses; false when none came by the
// deadline (-1: none).
static bool
next_message(int64_t deadline, mbim_message *m)
{
	while (!take(m)) {
		pollfd p = {modem_fd, POLLIN, 0};
		const int64_t left = deadline < 0 ? -1 : deadline - now_ms();
		const int r = poll(&p, 1, left > 0 || deadline < 0 ? static_cast<int>(left) : 0);
		if (r == 0)
			return false;
		if (r < 0)
			continue;
		const ssize_t n = read(modem_fd, in + have, sizeof in - have);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			lost_port(n < 0 ? errno : 0);
		have += static_cast<size_t>(n);
	}
	return true;
}

// The answer to the message sent (for a command, with its transaction id,
// service and CID), or with ussd an indication of the USSD service; another
// program's messages are passed over.
bool
mbim_wait_for(const uint8_t *sent, bool ussd, int64_t deadline, mbim_message *m)
{
	const bool asked = mbim_u32(sent) == mbim_command_msg;

	while (next_message(deadline, m)) {
		const uint8_t *service = m->type == mbim_indicate_status ? mbim_ussd : sent + 20;
		const uint32_t cid = m->type == mbim_indicate_status ? mbim_ussd_cid : mbim_u32(sent + 36);
		if (m->service != nullptr && (!asked || memcmp(m->service, service, 16) != 0 || m->cid != cid))
			continue;
		if (m->type == mbim_indicate_status ? ussd : m->tid == mbim_u32(sent + 8) && m->type >> 31)
			return true;
	}
	return false;
}

[[noreturn]] static void
refused(uint32_t status)
{
	errx(1, "%s: request refused: MBIM status %u", port, status);
}

bool
mbim_ask(uint8_t *msg, size_t n, bool ussd, int64_t deadline, mbim_message *m)
{
	mbim_put32(msg + 8, mbim_new_tid());
	mbim_write(msg, n);
	return mbim_wait_for(msg, ussd, deadline, m);
}

static void
open_function()
{
	uint8_t msg[16];
	mbim_message m;
	uint16_t most = 0;

	header(close_msg, mbim_close_msg, 12, mbim_new_tid());
	header(msg, mbim_open_msg, 16, 0);
	// The largest control message of the device, as the cdc-wdm driver
	// tells it (IOCTL_WDM_MAX_COMMAND); fragments of that size must fit.
	if (ioctl(modem_fd, _IOR('H', 0xa0, uint16_t), &most) != 0 || most < 64)
		most = mbim_max_transfer;
	mbim_put32(msg + 12, static_cast<uint32_t>(most < sizeof in ? most : sizeof in));
	opened = 1;
	// With no deadline only an answer ends the wait.
	if (!mbim_ask(msg, 16, false, -1, &m))
		errx(1, "%s: no answer", port);
	// A function that did not open is not closed.
	if (m.type != mbim_open_done || m.status != 0)
		opened = 0;
	if (m.type != mbim_open_done)
		errx(1, "%s: MBIM error %u", port, m.status);
	if (m.status != 0)
		refused(m.status);
}

bool
mbim_transact(uint8_t *msg, size_t n, bool ussd, int64_t deadline, mbim_message *m)
{
	for (;;) {
		if (!mbim_ask(msg, n, ussd, deadline, m))
			return false;
		if (m->type != mbim_function_error)
			return true;
		if (m->status != mbim_not_opened || opened)
			errx(1, "%s: MBIM error %u", port, m->status);
		open_function();
	}
}

void
mbim_basic_query(uint32_t cid, mbim_message *m)
{
	uint8_t msg[48];

	mbim_transact(msg, mbim_command(msg, mbim_basic_connect, cid, 0, 0), false, -1, m);
	if (m->status != 0)
		refused(m->status);
}

void
mbim_write_now(const uint8_t *msg, size_t n)
{
	static uint8_t got[mbim_max_transfer];
	size_t k = 0;
	const uint32_t tid = mbim_u32(msg + 8);

	show("sent", msg, n);
	if (write(modem_fd, msg, n) != static_cast<ssize_t>(n))
		return;
	for (int tries = 0; tries < 10; tries++) {
		pollfd p = {modem_fd, POLLIN, 0};
		if (poll(&p, 1, 100) <= 0)
			continue;
		if (k > sizeof got - 256)
			k = 0;
		const ssize_t r = read(modem_fd, got + k, sizeof got - k);
		if (r <= 0)
			return;
		k += static_cast<size_t>(r);
		// Where the messages begin is not known here: any answer
		// header with the id will do.
		for (size_t i = 0; i + 12 <= k; i++) {
			if (got[i + 3] & 0x80 && mbim_u32(got + i + 8) == tid) {
				const uint32_t len = mbim_u32(got + i + 4);
				show("got", got + i, len < k - i ? len : k - i);
				return;
			}
		}
	}
}

void
mbim_let_go()
{
	if (opened) {
		opened = 0;
		mbim_write_now(close_msg, sizeof close_msg);
	}
}

