// The MBIM side: the pty plays a modem's MBIM function. Messages are read
// by their length, whatever pieces they come in, with the tool's own
// readers; the USSD service answers from the same network as the AT side.
// Until OPEN, or unless another client is said to have the function open,
// every command gets FUNCTION_ERROR 5.

#include "sim/modem.hpp"
#include "sim/texts.hpp"

#include "modem/mbim.hpp"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace sim {

namespace {

constexpr uint8_t sms[16] = {0x53, 0x3f, 0xbe, 0xeb, 0x14, 0xfe, 0x44, 0x67,
    0x9f, 0x90, 0x33, 0xa2, 0x23, 0xe5, 0x6c, 0x3f};
constexpr uint32_t status_failure = 2, status_no_device_support = 9, status_invalid_parameters = 21;
// Another client's transactions, counted from 1 as umbim and netifd count.
constexpr uint32_t their_tid = 3;

void put32(std::string &s, uint32_t v)
{
	for (int i = 0; i < 4; i++, v >>= 8)
		s += static_cast<char>(v & 0xff);
}

std::string uuid(const uint8_t *u)
{
	return std::string(reinterpret_cast<const char *>(u), 16);
}

std::string header(uint32_t type, uint32_t tid, const std::string &rest)
{
	std::string s;
	put32(s, type);
	put32(s, static_cast<uint32_t>(12 + rest.size()));
	put32(s, tid);
	return s + rest;
}

std::string padded(std::string s)
{
	s.resize((s.size() + 3) / 4 * 4, '\0');
	return s;
}

// COMMAND_DONE (with a status) or INDICATE_STATUS (without).
std::string message(uint32_t type, uint32_t tid, const uint8_t *service, uint32_t cid, uint32_t status,
    const std::string &info)
{
	std::string rest;
	put32(rest, 1);
	put32(rest, 0);
	rest += uuid(service);
	put32(rest, cid);
	if (type == mbim_command_done)
		put32(rest, status);
	put32(rest, static_cast<uint32_t>(info.size()));
	return header(type, tid, rest + info);
}

std::string done(uint32_t tid, const uint8_t *service, uint32_t cid, uint32_t status,
    const std::string &info = "")
{
	return message(mbim_command_done, tid, service, cid, status, info);
}

std::string status_only(uint32_t type, uint32_t tid, uint32_t status)
{
	std::string rest;
	put32(rest, status);
	return header(type, tid, rest);
}

struct service_entry {
	const uint8_t *id;
	std::vector<uint32_t> cids;
};

std::string device_services(bool ussd)
{
	std::vector<service_entry> list = {
		{mbim_basic_connect, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 19}},
		{sms, {1, 2, 3, 4, 5}},
	};
	if (ussd)
		list.push_back({mbim_ussd, {mbim_ussd_cid}});
	std::string head, body;
	put32(head, static_cast<uint32_t>(list.size()));
	put32(head, 0);	// no device service sessions
	const std::size_t start = 8 + 8 * list.size();
	for (const service_entry &e : list) {
		std::string el = uuid(e.id);
		put32(el, 0);
		put32(el, 0);
		put32(el, static_cast<uint32_t>(e.cids.size()));
		for (uint32_t c : e.cids)
			put32(el, c);
		put32(head, static_cast<uint32_t>(start + body.size()));
		put32(head, static_cast<uint32_t>(el.size()));
		body += el;
	}
	return head + body;
}

std::string utf16(std::string_view ascii)
{
	std::string s;
	for (char c : ascii)
		s += {c, '\0'};
	return s;
}

std::string device_caps()
{
	std::string info;
	// Remote, GSM, no voice, removable SIM, UMTS to LTE, PDUs both ways,
	// manual registration, one session.
	for (uint32_t v : {3u, 1u, 1u, 2u, 0x3cu, 3u, 1u, 1u})
		put32(info, v);
	const std::string strings[] = {"", utf16("358240051111110"), utf16("FAKE.1.0"), utf16("fake modem")};
	std::string body;
	for (const std::string &s : strings) {
		put32(info, s.empty() ? 0 : static_cast<uint32_t>(64 + body.size()));
		put32(info, static_cast<uint32_t>(s.size()));
		body += padded(s);
	}
	return info + body;
}

std::string ussd_info(uint32_t response, uint32_t state, uint32_t dcs, const std::string &payload)
{
	std::string info;
	put32(info, response);
	put32(info, state);
	put32(info, dcs);
	put32(info, payload.empty() ? 0 : 20);
	put32(info, static_cast<uint32_t>(payload.size()));
	return info + padded(payload);
}

std::string octets(const std::string &hex)
{
	std::string s;
	for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
		s += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
	return s;
}

std::string hex(const uint8_t *p, std::size_t n)
{
	static constexpr char digits[] = "0123456789ABCDEF";
	std::string s;
	for (std::size_t i = 0; i < n; i++)
		s += {digits[p[i] >> 4], digits[p[i] & 15]};
	return s;
}

// What a message is, for the trace and the lines received.
std::string describe(const mbim_message &m)
{
	auto is = [&m](const uint8_t *service, uint32_t cid) {
		return m.service && std::equal(service, service + 16, m.service) && m.cid == cid;
	};
	std::string what = is(mbim_basic_connect, mbim_device_services) ? "device services"
	    : is(mbim_basic_connect, mbim_device_caps) ? "device caps"
	    : is(mbim_basic_connect, mbim_radio_state) ? "radio state"
	    : is(mbim_basic_connect, mbim_subscriber_ready_status) ? "subscriber ready status"
	    : is(mbim_basic_connect, mbim_pin) ? "pin"
	    : is(mbim_basic_connect, mbim_register_state) ? "register state"
	    : is(mbim_ussd, mbim_ussd_cid) ? "USSD" : "other";
	switch (m.type) {
	case mbim_open_msg: return "OPEN " + std::to_string(m.status);
	case mbim_close_msg: return "CLOSE";
	case mbim_command_msg:
		if (what == "USSD" && m.status == 1 && m.info_len >= 4 && mbim_u32(m.info) < 3) {
			static const char *const actions[] = {"initiate", "continue", "cancel"};
			return what + " " + actions[mbim_u32(m.info)];
		}
		return what + (m.status == 0 ? " query" : " set");
	case mbim_open_done: return "OPEN_DONE " + std::to_string(m.status);
	case mbim_close_done: return "CLOSE_DONE " + std::to_string(m.status);
	case mbim_command_done: return "COMMAND_DONE " + what + " status " + std::to_string(m.status);
	case mbim_function_error: return "FUNCTION_ERROR " + std::to_string(m.status);
	case mbim_indicate_status: return "INDICATE_STATUS " + what;
	default: return "message " + std::to_string(m.type);
	}
}

// The answer to a question about the modem's state in its situation, as
// the fields of its information buffer; empty where it refuses them.
std::string state_info(const std::string &what, situation now)
{
	using enum situation;
	std::string info;
	auto put = [&info](std::initializer_list<uint32_t> vs) {
		for (uint32_t v : vs)
			put32(info, v);
	};
	if (now == refuses)
		return info;
	const bool locked = now == sim_pin || now == sim_puk || now == sim_locked;
	if (what == "radio state query")
		put({1, now == radio_off ? 0u : 1u});	// hardware, software
	// Ready state, subscriber id and ICCID (none), ready info, no numbers.
	if (what == "subscriber ready status query")
		put({now == no_sim ? 2u : now == sim_busy ? 0u : locked ? 6u : 1u, 0, 0, 0, 0, 0, 0});
	// PIN type (PIN1, PUK1, network PIN), state, attempts left.
	if (what == "pin query")
		put({now == sim_pin ? 2u : now == sim_puk ? 11u : now == sim_locked ? 6u : 0u, locked ? 1u : 0u, 3});
	// No network error, the state, automatic, LTE, GSM class, no provider,
	// no roaming text, no flags: a registration on LTE looks as one on
	// UMTS does.
	if (what == "register state query")
		put({0, now == searching ? 2u : now == denied ? 6u : now == radio_off ? 1u : 3u, 1, 0x20, 1, 0, 0, 0, 0,
		    0, 0, 0});
	return info;
}

}

void modem::mbim_take(std::string_view bytes)
{
	mbim_in_ += bytes;
	while (mbim_in_.size() >= 12) {
		const uint32_t len = mbim_u32(reinterpret_cast<const uint8_t *>(mbim_in_.data()) + 4);
		if (len < 12 || len > 65536) {
			trace("< ", "a message of length " + std::to_string(len) + ": all dropped");
			mbim_in_.clear();
			return;
		}
		if (mbim_in_.size() < len)
			return;
		std::string msg = mbim_in_.substr(0, len);
		mbim_in_.erase(0, len);
		mbim_handle(msg);
	}
}

// Each message goes out with what it is in the trace; with chatter, another
// client's messages first and the bytes in pieces.
void modem::mbim_say(const std::string &bytes)
{
	std::string all;
	if (opts_.mbim.chatter) {
		all += done(their_tid, mbim_basic_connect, mbim_device_services, 0, device_services(false));
		all += message(mbim_indicate_status, 0, mbim_basic_connect, 11, 0, std::string(20, '\0'));
		all += status_only(mbim_function_error, their_tid + 1, mbim_not_opened);
		all += done(their_tid + 2, mbim_ussd, mbim_ussd_cid, 0,
		    ussd_info(0, 0, 15, octets(*to_scheme("Not yours", 15))));
	}
	all += bytes;
	std::string parted;
	for (std::size_t at = 0; at < all.size();) {
		mbim_message m;
		const auto *p = reinterpret_cast<const uint8_t *>(all.data() + at);
		const uint32_t len = mbim_u32(p + 4);
		if (mbim_parse(p, len, &m))
			trace("> ", describe(m) + " tid " + std::to_string(m.tid) + ": " + hex(p, len));
		parted += fragments(all.substr(at, len));
		at += len;
	}
	all = parted;
	if (!opts_.mbim.chatter) {
		put(all);
		return;
	}
	// A piece that ends inside a header, then the rest.
	put(std::string_view(all).substr(0, 7));
	nap(20);
	put(std::string_view(all).substr(7));
}

// A message in fragments of opts_.mbim.fragment bytes where it is longer
// and may be sent so, each with the header of its own; a USSD message with
// the fault asked for.
std::string modem::fragments(const std::string &msg) const
{
	const std::size_t size = opts_.mbim.fragment;
	const uint32_t type = mbim_u32(reinterpret_cast<const uint8_t *>(msg.data()));
	if (size < 64 || msg.size() <= size || (type != mbim_command_done && type != mbim_indicate_status))
		return msg;
	const std::string body = msg.substr(20);
	const std::size_t total = (body.size() + size - 21) / (size - 20);
	std::vector<std::string> parts;
	for (std::size_t i = 0; i < total; i++) {
		std::string rest;
		put32(rest, static_cast<uint32_t>(total));
		put32(rest, static_cast<uint32_t>(i));
		parts.push_back(header(type, mbim_u32(reinterpret_cast<const uint8_t *>(msg.data()) + 8),
		    rest + body.substr(i * (size - 20), size - 20)));
	}
	using fault = options::mbim_play::fault;
	if (msg.compare(20, 16, uuid(mbim_ussd)) == 0) {
		if (opts_.mbim.fragment_fault == fault::missing)
			parts.erase(parts.end() - 2);
		else if (opts_.mbim.fragment_fault == fault::misordered)
			std::swap(parts[total - 2], parts[total - 1]);
	}
	std::string all;
	for (const std::string &p : parts)
		all += p;
	return all;
}

std::string modem::mbim_released() const
{
	return message(mbim_indicate_status, 0, mbim_ussd, mbim_ussd_cid, 0, ussd_info(2, 0, 15, ""));
}

void modem::mbim_handle(const std::string &msg)
{
	mbim_message m;
	const auto *p = reinterpret_cast<const uint8_t *>(msg.data());
	auto note = [this](const std::string &line) {
		std::lock_guard lock(mutex_);
		received_.push_back(line);
	};
	if (!mbim_parse(p, msg.size(), &m)) {
		trace("< ", "not a message: " + hex(p, msg.size()));
		note("bad message");
		return;
	}
	trace("< ", describe(m) + " tid " + std::to_string(m.tid) + ": " + hex(p, msg.size()));
	note(describe(m));
	// A client counts its ids up from where it starts; one that starts
	// again (a new run) may use them again, and OPEN and CLOSE start anew.
	if (m.type == mbim_open_msg || m.type == mbim_close_msg ||
	    (!mbim_tids_.empty() && m.tid < mbim_tids_.back()))
		mbim_tids_.clear();
	if (std::find(mbim_tids_.begin(), mbim_tids_.end(), m.tid) != mbim_tids_.end())
		note("transaction id " + std::to_string(m.tid) + " used again");
	mbim_tids_.push_back(m.tid);

	const bool opened = mbim_state_ == 1 || (mbim_state_ == 0 && opts_.mbim.opened);
	switch (m.type) {
	case mbim_open_msg:
		if (opts_.mbim.open_fails > 0) {
			mbim_say(status_only(mbim_open_done, m.tid, opts_.mbim.open_fails));
			return;
		}
		mbim_state_ = 1;
		mbim_say(status_only(mbim_open_done, m.tid, 0));
		return;
	case mbim_close_msg:
		mbim_state_ = 2;
		mbim_say(status_only(mbim_close_done, m.tid, 0));
		return;
	case mbim_command_msg:
		break;
	default:
		return;
	}
	if (!opened) {
		mbim_say(status_only(mbim_function_error, m.tid, mbim_not_opened));
		return;
	}
	const std::string what = describe(m);
	if (what == "device services query")
		mbim_say(done(m.tid, m.service, m.cid, 0, device_services(!opts_.mbim.no_ussd)));
	else if (what == "device caps query")
		mbim_say(done(m.tid, m.service, m.cid, 0, device_caps()));
	else if (what.starts_with("USSD ") && m.status == 1 && !opts_.mbim.no_ussd)
		mbim_request(m.tid, m.info, m.info_len);
	else if (std::string info = state_info(what, opts_.situation); !info.empty())
		mbim_say(done(m.tid, m.service, m.cid, 0, info));
	else
		mbim_say(done(m.tid, m.service, m.cid, status_no_device_support));
}

// {action, scheme, offset, length} and the payload: the network answers a
// request or a reply as on the AT side.
void modem::mbim_request(uint32_t tid, const uint8_t *info, uint32_t len)
{
	auto refuse = [&](uint32_t status) { mbim_say(done(tid, mbim_ussd, mbim_ussd_cid, status)); };
	const uint32_t action = len >= 16 ? mbim_u32(info) : 3;
	if (action == 2) {
		refuse(end_session() ? 0 : status_failure);
		return;
	}
	const uint32_t off = action > 1 ? 0 : mbim_u32(info + 8), n = action > 1 ? 0 : mbim_u32(info + 12);
	if (action > 1 || off > len || n > len - off) {
		refuse(status_invalid_parameters);
		return;
	}
	using enum situation;
	const situation st = opts_.situation;
	if (opts_.mbim.refuse > 0 || st == radio_off || st == sim_pin || st == sim_puk || st == sim_locked ||
	    st == no_sim || st == sim_busy || st == searching || st == denied) {
		refuse(opts_.mbim.refuse > 0 ? opts_.mbim.refuse : status_failure);
		return;
	}
	// The network is still busy with the request before.
	if (due_line_) {
		refuse(status_failure);
		return;
	}
	const int dcs = static_cast<int>(mbim_u32(info + 4) & 0xff);
	std::optional<std::string> request = from_scheme(hex(info + off, n), dcs);
	if (!request) {
		refuse(status_invalid_parameters);
		return;
	}
	trace("USSD ", *request);
	const bool existing = session_.has_value();
	// Where there is no circuit-switched service the network does not
	// take it.
	network_answer a = st == lte_data || st == sms_only || st == nr5g || st == refuses
	    ? network_answer{4, std::nullopt} : respond(*request);
	int out_dcs = 15;
	std::string payload;
	if (a.text) {
		out_dcs = opts_.answer_dcs >= 0 ? opts_.answer_dcs : to_scheme(*a.text, 15) ? 15 : 72;
		if (std::optional<std::string> coded = to_scheme(*a.text, out_dcs))
			payload = octets(*coded);
		else
			a = {4, std::nullopt};
	}
	const std::string given = ussd_info(static_cast<uint32_t>(a.status), existing ? 1 : 0,
	    static_cast<uint32_t>(out_dcs), payload);
	const std::string indication = message(mbim_indicate_status, 0, mbim_ussd, mbim_ussd_cid, 0, given);
	std::string now, later;
	using in = options::mbim_play::answer_in;
	switch (opts_.mbim.answer) {
	case in::done:
		later = done(tid, mbim_ussd, mbim_ussd_cid, 0, given);
		break;
	case in::indication:
		now = done(tid, mbim_ussd, mbim_ussd_cid, 0);
		later = indication;
		break;
	case in::indication_first:
		later = indication + done(tid, mbim_ussd, mbim_ussd_cid, 0, given);
		break;
	case in::both:
		later = done(tid, mbim_ussd, mbim_ussd_cid, 0, given) + indication;
		break;
	}
	if (opts_.mbim.chatter) {
		std::string big;
		for (uint32_t i = 0; i < 995; i++)
			put32(big, i);
		(now.empty() ? later : now).insert(0, done(tid, mbim_basic_connect, mbim_device_caps, 0,
		    device_caps()) + message(mbim_indicate_status, 0, sms, 5, 0, big));
	}
	if (opts_.mbim.late && !mbim_held_) {
		mbim_held_ = true;
		mbim_late_ = now + later;
		return;
	}
	now.insert(0, std::exchange(mbim_late_, ""));
	if (!now.empty())
		mbim_say(now);
	if (opts_.delay_ms > 0) {
		due_line_ = std::move(later);
		due_at_ = clock::now() + std::chrono::milliseconds(opts_.delay_ms);
	} else {
		mbim_say(later);
		session_ends_ = clock::now() + std::chrono::milliseconds(opts_.session_timeout_ms);
	}
}

}
