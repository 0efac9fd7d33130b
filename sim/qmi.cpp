// The QMI side: QMUX frames on the pty. CTL hands out and takes back client
// ids, DMS names the modem, VOICE carries USSD to the same network as the
// AT side's.

#include "sim/modem.hpp"

#include "coding/charsets.hpp"

#include <algorithm>

namespace sim {

namespace {

constexpr uint8_t ctl = 0, wds = 1, dms = 2, nas = 3, voice = 9, uim = 11;
constexpr uint8_t response = 1, indication = 2;	// CTL flags; 0 is a request
constexpr std::string_view model = "FM100";

void put16(std::string &s, unsigned v)
{
	s += static_cast<char>(v & 0xff);
	s += static_cast<char>(v >> 8 & 0xff);
}

unsigned get16(const std::string &s, std::size_t at)
{
	return static_cast<unsigned>(static_cast<uint8_t>(s[at])) |
	    static_cast<unsigned>(static_cast<uint8_t>(s[at + 1])) << 8;
}

std::string tlv(uint8_t type, std::string_view value)
{
	std::string t(1, static_cast<char>(type));
	put16(t, static_cast<unsigned>(value.size()));
	t += value;
	return t;
}

std::string result(unsigned error)
{
	std::string v;
	put16(v, error ? 1 : 0);
	put16(v, error);
	return tlv(2, v);
}

// The value of the first TLV of this type; none when absent.
std::optional<std::string> find_tlv(const std::string &tlvs, uint8_t type)
{
	for (std::size_t at = 0; at + 3 <= tlvs.size();) {
		std::size_t n = get16(tlvs, at + 1);
		if (at + 3 + n > tlvs.size())
			break;
		if (static_cast<uint8_t>(tlvs[at]) == type)
			return tlvs.substr(at + 3, n);
		at += 3 + n;
	}
	return std::nullopt;
}

std::string hex(std::string_view bytes)
{
	static constexpr char digits[] = "0123456789abcdef";
	std::string h;
	for (char c : bytes) {
		auto u = static_cast<uint8_t>(c);
		h += {' ', digits[u >> 4], digits[u & 15]};
	}
	return h;
}

// UTF-8 text as UTF-16 code units.
std::vector<uint16_t> utf16(const std::string &text)
{
	std::vector<uint16_t> units;
	uint32_t cp;
	for (std::size_t i = 0, k; i < text.size(); i += k) {
		if ((k = utf8_get(text.c_str() + i, &cp)) == 0) {
			cp = replacement_char;
			k = 1;
		}
		if (cp > 0xffff) {
			cp -= 0x10000;
			units.push_back(static_cast<uint16_t>(0xd800 + (cp >> 10)));
			cp = 0xdc00 + (cp & 0x3ff);
		}
		units.push_back(static_cast<uint16_t>(cp));
	}
	return units;
}

}

// Frames are cut by the length in their headers, whatever the reads bring.
void modem::qmi_receive(std::string_view bytes)
{
	qmi_in_ += bytes;
	while (!qmi_in_.empty()) {
		if (qmi_in_[0] != 1) {
			qmi_in_.erase(0, 1);
			continue;
		}
		if (qmi_in_.size() < 3 || qmi_in_.size() < get16(qmi_in_, 1) + 1u)
			return;
		std::string frame = qmi_in_.substr(0, get16(qmi_in_, 1) + 1u);
		qmi_in_.erase(0, frame.size());
		trace("< qmi", hex(frame));
		if (frame.size() >= 12)
			qmi_handle(frame);
	}
}

void modem::qmi_send(uint8_t service, uint8_t client, uint8_t kind, uint16_t txn, uint16_t id,
    const std::string &tlvs)
{
	std::string f = {1, 0, 0, static_cast<char>(0x80), static_cast<char>(service),
	    static_cast<char>(client)};
	if (service == ctl) {
		f += static_cast<char>(kind);
		f += static_cast<char>(txn);
	} else {
		f += static_cast<char>(kind == response ? 2 : kind == indication ? 4 : 0);
		put16(f, txn);
	}
	put16(f, id);
	put16(f, static_cast<unsigned>(tlvs.size()));
	f += tlvs;
	f[1] = static_cast<char>((f.size() - 1) & 0xff);
	f[2] = static_cast<char>((f.size() - 1) >> 8);
	// Another program's client on the same device gets frames too, and
	// an old transaction's response may still come.
	if (opts_.qmi_interleave && !(service == 0 && kind == indication)) {
		std::string other("\x01\x00\x00\x80\x09\xee\x04\x00\x00\x3e\x00", 11);
		std::string t = tlv(1, "\x02") + tlv(0x10, std::string("\x01\x0bNot for you", 13));
		put16(other, static_cast<unsigned>(t.size()));
		other += t;
		other[1] = static_cast<char>(other.size() - 1);
		say(other);
		std::string stale = f.substr(0, 6);
		if (service == ctl) {
			stale += {static_cast<char>(response), static_cast<char>(txn + 100)};
		} else {
			stale += '\x02';
			put16(stale, txn + 100u);
		}
		put16(stale, id);
		std::string st = result(0) + tlv(1, std::string("\x09\xee", 2)) +
		    tlv(0x16, std::string("\x04S\0t\0a\0l\0", 9));
		put16(stale, static_cast<unsigned>(st.size()));
		stale += st;
		stale[1] = static_cast<char>(stale.size() - 1);
		say(stale);
	}
	trace("> qmi", hex(f));
	put(f);
}

// The answer's text TLVs: UTF-16 (utf16) unless left out, and coded,
// ASCII where it can be, else UCS2.
std::string modem::qmi_answer_tlvs(const network_answer &a, uint8_t utf16_type, uint8_t coded) const
{
	if (!a.text)
		return {};
	std::vector<uint16_t> units = utf16(*a.text);
	std::string out;
	if (opts_.qmi_utf16 && units.size() <= 255) {
		std::string v(1, static_cast<char>(units.size()));
		for (uint16_t u : units)
			put16(v, u);
		out += tlv(utf16_type, v);
	}
	bool ascii = std::all_of(a.text->begin(), a.text->end(), [](char c) { return (c & 0x80) == 0; });
	std::string v = ascii ? *a.text : std::string();
	if (!ascii)
		for (uint16_t u : units)
			v += {static_cast<char>(u >> 8), static_cast<char>(u & 0xff)};
	const int coding = opts_.qmi_coding >= 0 ? opts_.qmi_coding : ascii ? 1 : 3;
	if (v.size() <= 255)
		out += tlv(coded, std::string{static_cast<char>(coding), static_cast<char>(v.size())} + v);
	return out;
}

// The network's answer to a request or a reply: an indication while it
// waits; at the end of the dialogue the owed response, after an
// indication unless in_response.
void modem::qmi_network(const network_answer &a)
{
	if (opts_.qmi_release) {
		qmi_release_session();
		return;
	}
	if (a.status == 1 || !opts_.qmi_in_response) {
		std::string t = tlv(1, std::string(1, a.status == 1 ? 2 : 1)) + qmi_answer_tlvs(a, 0x11, 0x10);
		qmi_send(voice, qmi_voice_, indication, 0, 0x3e, t);
	}
	if (a.status == 1) {
		session_ends_ = clock::now() + std::chrono::milliseconds(opts_.session_timeout_ms);
		return;
	}
	session_.reset();
	if (qmi_owed_ != 0)
		qmi_send(voice, qmi_voice_, response, qmi_owed_, 0x3a, result(0) + qmi_answer_tlvs(a, 0x16, 0x12));
	qmi_owed_ = 0;
	qmi_open_ = false;
}

// The TLVs of a successful answer to a question about the modem's state,
// as its situation has it; empty: the question is refused as unknown.
std::string modem::qmi_situation(uint8_t service, uint16_t id) const
{
	using enum situation;
	const situation now = opts_.situation;
	const bool sim_locked_now = now == sim_pin || now == sim_puk || now == sim_locked;
	if (now == refuses)
		return {};
	if (service == dms && id == 0x2d)	// Get Operating Mode: online, or low power
		return tlv(1, std::string(1, now == radio_off ? 1 : 0));
	if (service == dms && (id == 0x44 || id == 0x2b) && opts_.qmi_uim_only)
		return {};
	if (service == dms && id == 0x44)	// UIM Get State
		return tlv(1, std::string(1, static_cast<char>(sim_locked_now ? 1 : now == no_sim ? 2 :
		    now == sim_busy ? 0xff : 0)));
	if (service == dms && id == 0x2b)	// UIM Get PIN Status: PIN1's
		return tlv(0x11, std::string{static_cast<char>(now == sim_pin ? 1 : now == sim_puk ? 4 : 2), 3, 10});
	if (service == nas && id == 0x24) {	// Get Serving System
		// Registration, CS and PS attach state, the selected network
		// (3GPP), the radio interfaces (UMTS, LTE, 5G NR).
		std::string v = now == searching ? std::string{2, 2, 2, 0, 0} : now == denied ?
		    std::string{3, 2, 2, 0, 0} : now == lte_data || now == sms_only ?
		    std::string{1, 2, 1, 2, 1, 8} : now == nr5g ? std::string{1, 2, 1, 2, 1, 12} :
		    now == usual ? std::string{1, 1, 1, 2, 1, 5} : std::string{0, 0, 0, 0, 0};
		return tlv(1, v);
	}
	if (service == uim && id == 0x2f) {	// Get Card Status
		std::string v = {0, 0, -1, -1, -1, -1, -1, -1};
		if (now == no_sim) {
			v += std::string{1, 0, 0, 0, 0, 3, 0};	// a card slot, the card absent
			return tlv(0x10, v);
		}
		// One card, present, with one USIM application.
		v += std::string{1, 1, 0, 3, 10, 0, 1};
		const char state = now == sim_pin ? 2 : now == sim_puk ? 3 : now == sim_locked ? 4 : now == sim_busy ? 1 : 7;
		v += std::string{2, state, static_cast<char>(now == sim_locked ? 3 : 2), 0, 3, 10, 0};
		v += std::string{0, static_cast<char>(now == sim_pin ? 1 : now == sim_puk ? 4 : 2), 3, 10, 0, 3, 10};
		return tlv(0x10, v);
	}
	return {};
}

void modem::qmi_release_session()
{
	session_.reset();
	qmi_owed_ = 0;
	qmi_open_ = false;
	qmi_send(voice, qmi_voice_, indication, 0, 0x3d, {});
}

void modem::qmi_handle(const std::string &f)
{
	const uint8_t service = static_cast<uint8_t>(f[4]);
	const uint8_t client = static_cast<uint8_t>(f[5]);
	const std::size_t h = service == ctl ? 12 : 13;
	if (f.size() < h)
		return;
	const uint16_t txn = static_cast<uint16_t>(service == ctl ? static_cast<uint8_t>(f[7]) : get16(f, 7));
	const uint16_t id = static_cast<uint16_t>(get16(f, h - 4));
	const std::string tlvs = f.substr(h, std::min<std::size_t>(get16(f, h - 2), f.size() - h));
	auto note = [this](const std::string &what) {
		std::lock_guard lock(mutex_);
		received_.push_back(what);
	};
	auto answer = [&](const std::string &t) { qmi_send(service, client, response, txn, id, t); };
	auto taken = [&](uint8_t s, uint8_t c) {
		return std::find(qmi_clients_.begin(), qmi_clients_.end(), std::make_pair(s, c)) != qmi_clients_.end();
	};

	if (service == ctl) {
		auto v = find_tlv(tlvs, 1);
		switch (id) {
		case 0x21: {	// Version Info
			note("CTL Version Info");
			std::string list(1, 5);
			for (uint8_t s : {ctl, dms, nas, voice, uim}) {
				list += static_cast<char>(s);
				put16(list, s == voice ? 2 : 1);
				put16(list, 0);
			}
			answer(result(0) + tlv(1, list));
			return;
		}
		case 0x22: {	// Allocate Client ID
			note("CTL Allocate Client ID " + std::to_string(v && !v->empty() ? static_cast<uint8_t>((*v)[0]) : -1));
			if (!v || v->size() != 1) {
				answer(result(17));
				return;
			}
			if (static_cast<int>(qmi_clients_.size()) >= opts_.qmi_client_ids) {
				answer(result(5));
				return;
			}
			auto allocate = [&](uint8_t s) {
				uint8_t c = qmi_next_id_;
				while (taken(s, c) || c == 0)
					++c;
				qmi_next_id_ = static_cast<uint8_t>(c + 1);
				qmi_clients_.emplace_back(s, c);
				qmi_held_ = static_cast<int>(qmi_clients_.size());
				answer(result(0) + tlv(1, std::string{static_cast<char>(s), static_cast<char>(c)}));
			};
			if (opts_.qmi_foreign)
				allocate(wds);
			allocate(static_cast<uint8_t>((*v)[0]));
			return;
		}
		case 0x23: {	// Release Client ID
			note("CTL Release Client ID");
			if (!v || v->size() != 2 || !taken(static_cast<uint8_t>((*v)[0]), static_cast<uint8_t>((*v)[1]))) {
				answer(result(7));
				return;
			}
			qmi_clients_.erase(std::find(qmi_clients_.begin(), qmi_clients_.end(),
			    std::make_pair(static_cast<uint8_t>((*v)[0]), static_cast<uint8_t>((*v)[1]))));
			qmi_held_ = static_cast<int>(qmi_clients_.size());
			if ((*v)[0] == voice && static_cast<uint8_t>((*v)[1]) == qmi_voice_) {
				session_.reset();
				qmi_owed_ = 0;
				qmi_open_ = false;
			}
			answer(result(0) + tlv(1, *v));
			return;
		}
		case 0x27:	// Sync: every client of every program goes
			note("CTL Sync");
			qmi_clients_.clear();
			qmi_held_ = 0;
			answer(result(0));
			return;
		default:
			note("CTL " + std::to_string(id));
			answer(result(71));
			return;
		}
	}
	if (!taken(service, client)) {
		note("frame of client " + std::to_string(client) + " not taken");
		answer(result(7));
		return;
	}
	if (service == dms) {
		note(id == 0x21 ? "DMS Get Manufacturer" : id == 0x22 ? "DMS Get Model" : id == 0x2d ?
		    "DMS Get Operating Mode" : id == 0x44 ? "DMS UIM Get State" : id == 0x2b ?
		    "DMS UIM Get PIN Status" : "DMS " + std::to_string(id));
		if (id == 0x21)
			answer(result(0) + tlv(1, manufacturer()));
		else if (id == 0x22)
			answer(result(0) + tlv(1, model));
		else if (std::string t = qmi_situation(service, id); !t.empty())
			answer(result(0) + t);
		else
			answer(result(71));
		return;
	}
	if (service == nas || service == uim) {
		note(service == nas && id == 0x24 ? "NAS Get Serving System" : service == uim && id == 0x2f ?
		    "UIM Get Card Status" : "service " + std::to_string(service) + " " + std::to_string(id));
		std::string t = qmi_situation(service, id);
		answer(t.empty() ? result(71) : result(0) + t);
		return;
	}
	if (service != voice) {
		answer(result(71));
		return;
	}
	// The USSD request or reply as the network reads it.
	auto text = [&]() -> std::optional<std::string> {
		auto v = find_tlv(tlvs, 1);
		if (!v || v->size() < 2 || static_cast<uint8_t>((*v)[1]) != v->size() - 2)
			return std::nullopt;
		std::string octets = v->substr(2);
		if ((*v)[0] == 1)
			return octets;
		if ((*v)[0] != 3)
			return std::nullopt;
		std::string out(octets.size() * 2 + 4, '\0');
		utf8_out u = {out.data(), out.size(), 0};
		ucs2_to_utf8(reinterpret_cast<const uint8_t *>(octets.data()), octets.size(), &u);
		out.resize(u.len);
		return out;
	};
	switch (id) {
	case 0x03:	// Indication Register
		note("VOICE Indication Register");
		answer(result(0));
		return;
	case 0x3a: {	// Originate USSD
		auto r = text();
		note("VOICE Originate USSD " + (r ? *r : std::string("?")));
		if (!r) {
			answer(result(48));
			return;
		}
		// The network takes no request but in the usual situation.
		if (opts_.qmi_refuse > 0 || opts_.situation != situation::usual) {
			std::string t = result(opts_.qmi_refuse > 0 ? static_cast<unsigned>(opts_.qmi_refuse) : 14);
			if (opts_.qmi_end_reason >= 0) {
				std::string reason;
				put16(reason, static_cast<unsigned>(opts_.qmi_end_reason));
				t += tlv(0x10, reason);
			}
			answer(t);
			return;
		}
		if (opts_.qmi_late && qmi_last_originate_ != 0)
			qmi_send(voice, client, response, qmi_last_originate_, 0x3a,
			    result(0) + tlv(0x12, std::string("\x01\x0bLate answer", 13)));
		qmi_last_originate_ = txn;
		trace("USSD ", *r);
		session_.reset();
		qmi_voice_ = client;
		qmi_owed_ = txn;
		qmi_open_ = true;
		if (opts_.delay_ms > 0) {
			qmi_due_ = respond(*r);
			due_line_ = std::string();
			due_at_ = clock::now() + std::chrono::milliseconds(opts_.delay_ms);
			return;
		}
		qmi_network(respond(*r));
		return;
	}
	case 0x3b: {	// Answer USSD
		auto r = text();
		note("VOICE Answer USSD " + (r ? *r : std::string("?")));
		if (!r || !session_ || client != qmi_voice_) {
			answer(result(r ? 15 : 48));
			return;
		}
		trace("USSD ", *r);
		answer(result(0));
		qmi_network(respond(*r));
		return;
	}
	case 0x3c: {	// Cancel USSD
		note("VOICE Cancel USSD");
		const bool open = qmi_open_ && client == qmi_voice_;
		answer(result(open ? 0 : 26));
		if (open && qmi_owed_ != 0)
			qmi_send(voice, client, response, qmi_owed_, 0x3a, result(4));
		if (open) {
			end_session();
			qmi_due_.reset();
			qmi_owed_ = 0;
			qmi_open_ = false;
		}
		return;
	}
	default:
		note("VOICE " + std::to_string(id));
		answer(result(71));
		return;
	}
}

}
