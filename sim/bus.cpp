// The ModemManager side: the modem exported on a D-Bus bus as ModemManager
// exports one, its USSD served by the same network, sessions and menu as
// the AT side, on the same thread.

#include "sim/modem.hpp"

#include "modem/dbus.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <stdexcept>

#include <sys/socket.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr char mm_name[] = "org.freedesktop.ModemManager1";
constexpr char mm_path[] = "/org/freedesktop/ModemManager1";
constexpr char modem_prefix[] = "/org/freedesktop/ModemManager1/Modem/";
constexpr char modem_iface[] = "org.freedesktop.ModemManager1.Modem";
constexpr char ussd_iface[] = "org.freedesktop.ModemManager1.Modem.Modem3gpp.Ussd";
constexpr char gpp_iface[] = "org.freedesktop.ModemManager1.Modem.Modem3gpp";
constexpr char props_iface[] = "org.freedesktop.DBus.Properties";
constexpr char objects_iface[] = "org.freedesktop.DBus.ObjectManager";
constexpr char introspect_iface[] = "org.freedesktop.DBus.Introspectable";
constexpr char core_error[] = "org.freedesktop.ModemManager1.Error.Core.";

// Port types as ModemManager numbers them.
struct port_type {
	const char *name;
	uint32_t value;
};
constexpr port_type port_types[] = {
	{"unknown", 1}, {"net", 2}, {"at", 3}, {"qcdm", 4}, {"gps", 5}, {"qmi", 6}, {"mbim", 7},
};

struct port {
	std::string name;
	uint32_t type;
};

port port_named(const std::string &entry)
{
	std::size_t colon = entry.rfind(':');
	if (colon == std::string::npos)
		return {entry, 3};
	std::string type = entry.substr(colon + 1);
	for (const port_type &t : port_types)
		if (type == t.name)
			return {entry.substr(0, colon), t.value};
	throw std::runtime_error("unknown port type: " + type);
}

// What ModemManager says of the modem in each situation: its State,
// UnlockRequired, StateFailedReason, AccessTechnologies (UMTS, LTE, 5GNR)
// and 3GPP RegistrationState, and whether it keeps the modem limited.
struct mm_situation {
	uint32_t state, lock, failed, tech, registration;
	bool limited;
};

mm_situation mm_situation_of(situation now)
{
	using enum situation;
	constexpr uint32_t umts = 1u << 5, lte = 1u << 14, nr = 1u << 15;
	switch (now) {
	case radio_off: return {3, 1, 0, 0, 0, false};
	case sim_pin: return {2, 2, 0, 0, 0, true};
	case sim_puk: return {2, 4, 0, 0, 0, true};
	case sim_locked: return {2, 8, 0, 0, 0, true};
	case no_sim: return {static_cast<uint32_t>(-1), 1, 2, 0, 0, true};
	case sim_busy: return {1, 0, 0, 0, 0, true};
	case searching: return {7, 1, 0, 0, 2, false};
	case denied: return {6, 1, 0, 0, 3, false};
	case lte_data: return {8, 1, 0, lte, 1, false};
	case sms_only: return {8, 1, 0, lte, 6, false};
	case nr5g: return {8, 1, 0, nr, 1, false};
	default: return {8, 1, 0, umts, 1, false};
	}
}

using writer = std::function<void(dwriter *)>;

struct property {
	const char *iface, *name, *sig;
	writer put;
};

// A method the fake answers, for Introspect: its interface, name, and the
// types of its arguments in and out, one complete type a word.
struct method {
	const char *iface, *name, *in, *out;
};

constexpr method root_methods[] = {
	{objects_iface, "GetManagedObjects", "", "a{oa{sa{sv}}}"},
	{introspect_iface, "Introspect", "", "s"},
};
constexpr method modem_methods[] = {
	{props_iface, "Get", "s s", "v"},
	{props_iface, "GetAll", "s", "a{sv}"},
	{introspect_iface, "Introspect", "", "s"},
	{ussd_iface, "Initiate", "s", "s"},
	{ussd_iface, "Respond", "s", "s"},
	{ussd_iface, "Cancel", "", ""},
};

writer str(std::string s)
{
	return [s](dwriter *w) { dw_str(w, 's', s.c_str()); };
}

writer u32(uint32_t v)
{
	return [v](dwriter *w) { dw_u32(w, v); };
}

void put_property(dwriter *w, const property &p)
{
	dw_align(w, 8);
	dw_str(w, 's', p.name);
	dw_variant(w, p.sig);
	p.put(w);
}

void put_properties(dwriter *w, const std::vector<property> &props, const std::string &iface)
{
	std::size_t at = dw_array(w, 8);
	for (const property &p : props)
		if (iface == p.iface)
			put_property(w, p);
	dw_array_end(w, at, 8);
}

std::string introspection(const method *begin, const method *end, const std::vector<property> &props)
{
	std::string xml = "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
	    "\"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n<node>\n";
	std::vector<std::string> ifaces;
	for (const method *m = begin; m != end; ++m)
		if (std::find(ifaces.begin(), ifaces.end(), m->iface) == ifaces.end())
			ifaces.emplace_back(m->iface);
	for (const property &p : props)
		if (std::find(ifaces.begin(), ifaces.end(), p.iface) == ifaces.end())
			ifaces.emplace_back(p.iface);
	auto args = [&xml](const char *types, const char *direction) {
		std::string list = types;
		for (std::size_t at = 0; at < list.size();) {
			std::size_t space = list.find(' ', at);
			std::string type = list.substr(at, space == std::string::npos ? space : space - at);
			xml += std::string("      <arg type=\"") + type + "\" direction=\"" + direction + "\"/>\n";
			at = space == std::string::npos ? list.size() : space + 1;
		}
	};
	for (const std::string &iface : ifaces) {
		xml += "  <interface name=\"" + iface + "\">\n";
		for (const method *m = begin; m != end; ++m) {
			if (iface != m->iface)
				continue;
			xml += std::string("    <method name=\"") + m->name + "\">\n";
			args(m->in, "in");
			args(m->out, "out");
			xml += "    </method>\n";
		}
		for (const property &p : props)
			if (iface == p.iface)
				xml += std::string("    <property name=\"") + p.name + "\" type=\"" + p.sig +
				    "\" access=\"read\"/>\n";
		xml += "  </interface>\n";
	}
	return xml + "</node>\n";
}

}

// A message received, read by the wire code.
struct modem::bus_message {
	const uint8_t *bytes;
	dbus_header h;
	const char *field(dbus_field f) const { return h.field[f]; }
};

void modem::bus_open()
{
	for (const std::string &entry : opts_.mm_ports)
		port_named(entry);
	bus_fd_ = dbus_connect(opts_.bus.c_str());
	if (bus_fd_ < 0)
		throw std::runtime_error(opts_.bus + ": " + std::strerror(errno));
	bus_call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "Hello", nullptr);
	// Flags 4: fail rather than wait in the queue behind another owner.
	std::vector<uint8_t> reply = bus_call("org.freedesktop.DBus", "/org/freedesktop/DBus",
	    "org.freedesktop.DBus", "RequestName", mm_name);
	dbus_header h;
	dreader r;
	if (!dbus_parse(reply.data(), reply.size(), &h) || (dr_begin(&r, reply.data(), &h), dr_u32(&r)) != 1)
		throw std::runtime_error(std::string(mm_name) + " is taken on " + opts_.bus);
}

// A call to the bus itself during set-up, answered before anything else
// comes: its reply, or an exception for an error.
std::vector<uint8_t> modem::bus_call(const char *dest, const char *path, const char *iface,
    const char *member, const char *arg)
{
	std::vector<uint8_t> buf(4096);
	dwriter w;
	dw_begin(&w, buf.data(), buf.size(), opts_.big_endian, dbus_call_msg, ++bus_serial_);
	dw_field(&w, df_path, path);
	dw_field(&w, df_interface, iface);
	dw_field(&w, df_member, member);
	dw_field(&w, df_destination, dest);
	if (arg)
		dw_field(&w, df_signature, "su");
	dw_body(&w);
	if (arg) {
		dw_str(&w, 's', arg);
		dw_u32(&w, 4);
	}
	std::size_t len = dw_end(&w);
	if (!dbus_write(bus_fd_, buf.data(), len))
		throw std::runtime_error(opts_.bus + ": " + std::strerror(errno));
	for (buf.resize(1 << 16);;) {
		long n = dbus_read(bus_fd_, buf.data(), buf.size());
		dbus_header h;
		if (n <= 0 || !dbus_parse(buf.data(), static_cast<std::size_t>(n), &h))
			throw std::runtime_error(opts_.bus + ": " + member + ": no reply");
		if (h.reply_serial != bus_serial_ || (h.type != dbus_return_msg && h.type != dbus_error_msg))
			continue;
		if (h.type == dbus_error_msg)
			throw std::runtime_error(opts_.bus + ": " + member + ": " + h.field[df_error_name]);
		buf.resize(static_cast<std::size_t>(n));
		return buf;
	}
}

void modem::bus_close()
{
	if (bus_fd_ >= 0)
		::close(bus_fd_);
	bus_fd_ = -1;
}

// Reads what the bus has sent and answers each message that is whole.
void modem::bus_receive()
{
	char buf[8192];
	ssize_t n = ::recv(bus_fd_, buf, sizeof buf, MSG_DONTWAIT);
	if (n < 0 && (errno == EAGAIN || errno == EINTR))
		return;
	if (n <= 0) {
		trace("bus closed", "");
		bus_close();
		return;
	}
	bus_in_.append(buf, static_cast<std::size_t>(n));
	while (bus_in_.size() >= 16) {
		auto bytes = reinterpret_cast<const uint8_t *>(bus_in_.data());
		std::size_t len = dbus_length(bytes);
		if (len < 16) {
			trace("bus sent a bad message", "");
			bus_close();
			return;
		}
		if (bus_in_.size() < len)
			return;
		bus_message m{bytes, {}};
		if (dbus_parse(bytes, len, &m.h) && m.h.type == dbus_call_msg)
			bus_handle(m);
		bus_in_.erase(0, len);
	}
}

void modem::bus_handle(const bus_message &m)
{
	const std::string path = m.field(df_path), iface = m.field(df_interface),
	    member = m.field(df_member), sig = m.field(df_signature);
	trace("bus < ", iface + "." + member + " on " + path);

	std::vector<uint8_t> buf(1 << 16);
	dwriter w;
	auto reply = [&](const char *out_sig) {
		dw_begin(&w, buf.data(), buf.size(), opts_.big_endian, dbus_return_msg, ++bus_serial_);
		dw_reply_serial(&w, m.h.serial);
		dw_field(&w, df_destination, m.field(df_sender));
		if (*out_sig)
			dw_field(&w, df_signature, out_sig);
		dw_body(&w);
	};
	auto error = [&](const std::string &name, const std::string &text) {
		trace("bus > ", name + ": " + text);
		dw_begin(&w, buf.data(), buf.size(), opts_.big_endian, dbus_error_msg, ++bus_serial_);
		dw_reply_serial(&w, m.h.serial);
		dw_field(&w, df_error_name, name.c_str());
		dw_field(&w, df_destination, m.field(df_sender));
		dw_field(&w, df_signature, "s");
		dw_body(&w);
		dw_str(&w, 's', text.c_str());
	};
	auto arg = [&](int k) {
		dreader r;
		dr_begin(&r, m.bytes, &m.h);
		for (; k > 0; --k)
			dr_skip(&r);
		return std::string(dr_str(&r));
	};

	// The modem's properties; the first modem's ports are the pty and
	// those given.
	auto properties = [&](int k) {
		std::vector<port> ports;
		if (k == 0) {
			ports.push_back({path_, 3});
			for (const std::string &entry : opts_.mm_ports)
				ports.push_back(port_named(entry));
		} else {
			ports.push_back({"cdc-wdm" + std::to_string(k - 1), 6});
		}
		const char *base = std::strrchr(ports[0].name.c_str(), '/');
		std::string primary = base ? base + 1 : ports[0].name;
		uint32_t state = session_ ? 3 : due_line_ ? 2 : 1;
		const situation now = opts_.situation;
		const mm_situation st = mm_situation_of(now);
		auto props = std::vector<property>{
			{modem_iface, "Manufacturer", "s", str(std::string(manufacturer()))},
			{modem_iface, "Model", "s", str("fake modem")},
			{modem_iface, "Device", "s", str("/sys/devices/fake/" + std::to_string(k))},
			{modem_iface, "PrimaryPort", "s", str(primary)},
			{modem_iface, "Ports", "a(su)", [ports](dwriter *w) {
				std::size_t at = dw_array(w, 8);
				for (const port &p : ports) {
					dw_align(w, 8);
					dw_str(w, 's', p.name.c_str());
					dw_u32(w, p.type);
				}
				dw_array_end(w, at, 8);
			}},
			// 8: registered in a network.
			{modem_iface, "State", "i", u32(st.state)},
			{modem_iface, "UnlockRequired", "u", u32(st.lock)},
			{modem_iface, "StateFailedReason", "u", u32(st.failed)},
			{modem_iface, "AccessTechnologies", "u", u32(st.tech)},
			{gpp_iface, "RegistrationState", "u", u32(st.registration)},
			{ussd_iface, "State", opts_.mm_state_type.c_str(),
			    opts_.mm_state_type == "s" ? str(std::to_string(state)) : u32(state)},
			{ussd_iface, "NetworkNotification", "s", str("")},
			{ussd_iface, "NetworkRequest", "s", str("")},
		};
		// A modem that refuses the questions answers none of them.
		if (now == situation::refuses)
			props.erase(props.begin() + 5, props.begin() + 10);
		// One locked or without a SIM is kept in a limited state, with
		// neither of its 3GPP interfaces.
		if (st.limited)
			std::erase_if(props, [](const property &p) { return p.iface != std::string_view(modem_iface); });
		return props;
	};

	int modem_index = -1;
	if (path.starts_with(modem_prefix)) {
		std::string n = path.substr(sizeof modem_prefix - 1);
		if (!n.empty() && n.size() < 4 && n.find_first_not_of("0123456789") == std::string::npos &&
		    std::stoi(n) < opts_.mm_modems)
			modem_index = std::stoi(n);
	}
	auto wants = [&](const char *i, const char *name, const char *in) {
		return (iface.empty() || iface == i) && member == name && sig == in;
	};

	if (path != mm_path && modem_index < 0) {
		error("org.freedesktop.DBus.Error.UnknownObject", "No such object path '" + path + "'");
	} else if (member == "Introspect" && (iface.empty() || iface == introspect_iface)) {
		std::string xml = path == mm_path
		    ? introspection(std::begin(root_methods), std::end(root_methods), {})
		    : introspection(std::begin(modem_methods), std::end(modem_methods), properties(0));
		reply("s");
		dw_str(&w, 's', xml.c_str());
	} else if (path == mm_path && wants(objects_iface, "GetManagedObjects", "") &&
	    !opts_.mm_objects_error.empty()) {
		error(opts_.mm_objects_error, "Rejected send message");
	} else if (path == mm_path && wants(objects_iface, "GetManagedObjects", "")) {
		reply("a{oa{sa{sv}}}");
		std::size_t objects = dw_array(&w, 8);
		for (int k = 0; k < opts_.mm_modems; ++k) {
			dw_align(&w, 8);
			dw_str(&w, 'o', (modem_prefix + std::to_string(k)).c_str());
			std::size_t ifaces = dw_array(&w, 8);
			const std::vector<property> props = properties(k);
			for (const char *i : {modem_iface, gpp_iface, ussd_iface}) {
				if (std::none_of(props.begin(), props.end(), [i](const property &p) { return p.iface == std::string_view(i); }))
					continue;
				dw_align(&w, 8);
				dw_str(&w, 's', i);
				put_properties(&w, props, i);
			}
			dw_array_end(&w, ifaces, 8);
		}
		dw_array_end(&w, objects, 8);
	} else if (modem_index >= 0 && wants(props_iface, "Get", "ss")) {
		const std::string i = arg(0), name = arg(1);
		std::vector<property> props = properties(modem_index);
		auto p = std::find_if(props.begin(), props.end(),
		    [&](const property &q) { return i == q.iface && name == q.name; });
		if (p == props.end()) {
			error("org.freedesktop.DBus.Error.InvalidArgs", "No such property '" + name + "'");
		} else {
			reply("v");
			dw_variant(&w, p->sig);
			p->put(&w);
		}
	} else if (modem_index >= 0 && wants(props_iface, "GetAll", "s")) {
		reply("a{sv}");
		put_properties(&w, properties(modem_index), arg(0));
	} else if (modem_index >= 0 && (wants(ussd_iface, "Initiate", "s") || wants(ussd_iface, "Respond", "s"))) {
		const std::string text = arg(0);
		const bool initiate = member == "Initiate";
		if (initiate && (session_ || due_line_)) {
			error(std::string(core_error) + "WrongState", "Cannot initiate USSD: a session is already active");
		} else if (!initiate && !session_) {
			error(std::string(core_error) + "WrongState", "Cannot respond USSD: no active session");
		} else if (!opts_.refuse.empty()) {
			trace("USSD ", text);
			error(std::string(core_error) + "Failed", opts_.refuse);
		} else if (const situation now = opts_.situation; now != situation::usual) {
			// No network, or no circuit-switched service on it.
			trace("USSD ", text);
			const bool none = now == situation::radio_off || now == situation::searching ||
			    now == situation::denied;
			if (none)
				error("org.freedesktop.ModemManager1.Error.MobileEquipment.NoNetwork", "No network service");
			else
				error(std::string(core_error) + "Unsupported", "Operation not supported");
		} else {
			trace("USSD ", text);
			network_answer a = respond(text);
			session_ends_ = clock::now() + std::chrono::milliseconds(opts_.session_timeout_ms);
			static const char *const failures[][2] = {
				{"Aborted", "USSD terminated by network"},
				{"Failed", "Other local client has responded"},
				{"Unsupported", "Operation not supported"},
				{"Timeout", "Network time out"},
			};
			if (a.status >= 2 && !(a.status == 2 && a.text)) {
				error(std::string(core_error) + failures[a.status - 2][0], failures[a.status - 2][1]);
			} else {
				const std::string &type = opts_.mm_answer_type;
				reply(type.c_str());
				std::size_t at = type == "as" ? dw_array(&w, 4) : 0;
				if (type == "u")
					dw_u32(&w, 0);
				else if (!type.empty())
					dw_str(&w, 's', a.text.value_or("").c_str());
				if (type == "as")
					dw_array_end(&w, at, 4);
			}
		}
	} else if (modem_index >= 0 && wants(ussd_iface, "Cancel", "")) {
		if (end_session())
			reply("");
		else
			error(std::string(core_error) + "WrongState", "Cannot cancel USSD: no active session");
	} else {
		error("org.freedesktop.DBus.Error.UnknownMethod",
		    "No such method '" + member + "' of interface '" + iface + "' with signature '" + sig + "'");
	}
	// The caller asked for no reply (flag 1).
	std::size_t len = dw_end(&w);
	if ((m.h.flags & 1) == 0 && len > 0 && bus_fd_ >= 0 && !dbus_write(bus_fd_, buf.data(), len)) {
		trace("bus write failed", "");
		bus_close();
	}
}

}
