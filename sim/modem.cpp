#include "sim/modem.hpp"

#include "coding/septets.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

// Longer command lines are dropped, as a modem's command buffer would.
constexpr std::size_t max_line = 4096;

// Command lines the device side may still echo back; older ones are forgotten.
constexpr std::size_t max_echoes = 64;

std::size_t find_at(std::string_view line)
{
	for (std::size_t i = 0; i + 1 < line.size(); ++i)
		if ((line[i] == 'A' || line[i] == 'a') && (line[i + 1] == 'T' || line[i + 1] == 't'))
			return i;
	return std::string_view::npos;
}

std::string upper(std::string_view s)
{
	std::string u(s);
	for (char &c : u)
		if (c >= 'a' && c <= 'z')
			c = static_cast<char>(c - 'a' + 'A');
	return u;
}

bool matches(const std::string &pattern, const std::string &cmd)
{
	if (!pattern.empty() && pattern.back() == '*')
		return cmd.starts_with(std::string_view(pattern).substr(0, pattern.size() - 1));
	return cmd == pattern;
}

// What the modem says about itself.
constexpr std::string_view manufacturer = "Fakeco";
constexpr std::string_view model = "FM100";
constexpr std::string_view revision = "1.0.0";
constexpr std::string_view imei = "350000112345679";
constexpr std::string_view imsi = "001010123456789";

constexpr std::string_view known_charsets[] = {"IRA", "GSM", "UCS2", "HEX", "8859-1", "PCCP437"};

// Final results other than OK: a plain ERROR, or the +CME ERROR codes.
constexpr int syntax_error = -1;
constexpr int not_supported = 4;
constexpr int bad_parameters = 50;

std::string_view cme_text(int code)
{
	return code == not_supported ? "operation not supported" : "incorrect parameters";
}

bool is_alpha(char c)
{
	return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool is_digit(char c)
{
	return c >= '0' && c <= '9';
}

int hex_value(char c)
{
	if (is_digit(c))
		return c - '0';
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	return -1;
}

// A whole decimal number from 0 to 255, as the numeric parameters here are.
std::optional<int> small_number(std::string_view s)
{
	if (s.empty() || s.size() > 3)
		return std::nullopt;
	int n = 0;
	for (char c : s) {
		if (!is_digit(c))
			return std::nullopt;
		n = n * 10 + (c - '0');
	}
	if (n > 255)
		return std::nullopt;
	return n;
}

bool same_name(std::string_view a, std::string_view b)
{
	return upper(a) == upper(b);
}

std::string escape(std::string_view bytes)
{
	static constexpr char digits[] = "0123456789abcdef";
	std::string out;
	for (char c : bytes) {
		auto u = static_cast<unsigned char>(c);
		if (c == '\r')
			out += "\\r";
		else if (c == '\n')
			out += "\\n";
		else if (c == '\\')
			out += "\\\\";
		else if (u < 0x20 || u >= 0x7f)
			out += {'\\', 'x', digits[u >> 4], digits[u & 0xf]};
		else
			out += c;
	}
	return out;
}

void put_utf8(std::string &out, char32_t cp)
{
	if (cp < 0x80) {
		out += static_cast<char>(cp);
	} else if (cp < 0x800) {
		out += static_cast<char>(0xc0 | cp >> 6);
		out += static_cast<char>(0x80 | (cp & 0x3f));
	} else if (cp < 0x10000) {
		out += static_cast<char>(0xe0 | cp >> 12);
		out += static_cast<char>(0x80 | (cp >> 6 & 0x3f));
		out += static_cast<char>(0x80 | (cp & 0x3f));
	} else {
		out += static_cast<char>(0xf0 | cp >> 18);
		out += static_cast<char>(0x80 | (cp >> 12 & 0x3f));
		out += static_cast<char>(0x80 | (cp >> 6 & 0x3f));
		out += static_cast<char>(0x80 | (cp & 0x3f));
	}
}

// UCS2 hex text (four hex digits to each UTF-16 unit) as UTF-8; none when it
// is not such text. An unpaired surrogate reads as U+FFFD.
std::optional<std::string> from_ucs2(std::string_view hex)
{
	if (hex.size() % 4 != 0)
		return std::nullopt;
	std::vector<char32_t> units;
	for (std::size_t i = 0; i < hex.size(); i += 4) {
		char32_t u = 0;
		for (std::size_t j = i; j < i + 4; ++j) {
			int d = hex_value(hex[j]);
			if (d < 0)
				return std::nullopt;
			u = u << 4 | static_cast<char32_t>(d);
		}
		units.push_back(u);
	}
	std::string out;
	for (std::size_t i = 0; i < units.size(); ++i) {
		char32_t u = units[i];
		if (u >= 0xd800 && u < 0xdc00 && i + 1 < units.size() && units[i + 1] >= 0xdc00 && units[i + 1] < 0xe000)
			put_utf8(out, 0x10000 + ((u - 0xd800) << 10) + (units[++i] - 0xdc00));
		else
			put_utf8(out, u >= 0xd800 && u < 0xe000 ? 0xfffd : u);
	}
	return out;
}

// UTF-8 text as UCS2 hex, upper case. A byte that does not begin a valid
// sequence is taken as the Latin-1 character of that value.
std::string to_ucs2(std::string_view text)
{
	static constexpr char digits[] = "0123456789ABCDEF";
	std::string out;
	auto unit = [&](char32_t u) {
		for (int shift = 12; shift >= 0; shift -= 4)
			out += digits[u >> shift & 0xf];
	};
	for (std::size_t i = 0; i < text.size();) {
		auto b = static_cast<unsigned char>(text[i]);
		std::size_t len = b < 0xc2 ? 1 : b < 0xe0 ? 2 : b < 0xf0 ? 3 : b < 0xf5 ? 4 : 1;
		char32_t cp = len == 4 ? b & 0x07u : len == 3 ? b & 0x0fu : len == 2 ? b & 0x1fu : b;
		bool valid = i + len <= text.size();
		for (std::size_t j = 1; valid && j < len; ++j) {
			auto c = static_cast<unsigned char>(text[i + j]);
			valid = (c & 0xc0) == 0x80;
			cp = cp << 6 | (c & 0x3fu);
		}
		static constexpr char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
		if (!valid || cp < least[len] || cp > 0x10ffff || (cp >= 0xd800 && cp < 0xe000)) {
			len = 1;
			cp = b;
		}
		if (cp >= 0x10000) {
			unit(0xd800 + ((cp - 0x10000) >> 10));
			unit(0xdc00 + ((cp - 0x10000) & 0x3ff));
		} else {
			unit(cp);
		}
		i += len;
	}
	return out;
}

// Hex text of septets packed eight into seven octets, as the tool sends its
// request; none when the text is not that. Some clients send the request as
// plain text instead, and a USSD code always has a '*' or '#' in it, so it
// cannot pass for hex; control characters rule out what would be a chance
// reading of other text.
std::optional<std::string> unpack(std::string_view hex)
{
	if (hex.empty() || hex.size() % 2 != 0 ||
	    !std::all_of(hex.begin(), hex.end(), [](char c) { return hex_value(c) >= 0; }))
		return std::nullopt;
	// The decoder's own room: the text, its NUL and one byte more.
	std::string buf(hex);
	buf.append(2, '\0');
	decira(buf.data());
	// Eight septets to every seven octets; a septet 0 in the spare bits of a
	// last octet (or CR there, which decira has already dropped) is none.
	std::string out = buf.substr(0, hex.size() / 2 * 8 / 7);
	if (hex.size() / 2 % 7 == 0 && out.back() == '\0')
		out.pop_back();
	for (char c : out)
		if ((c < 0x20 && c != '\r' && c != '\n') || c == 0x7f)
			return std::nullopt;
	return out;
}

// Hex text with one 7-bit character to each pair of digits.
std::optional<std::string> from_hex(std::string_view hex)
{
	if (hex.size() % 2 != 0)
		return std::nullopt;
	std::string out;
	for (std::size_t i = 0; i < hex.size(); i += 2) {
		int hi = hex_value(hex[i]), lo = hex_value(hex[i + 1]);
		if (hi < 0 || lo < 0 || hi > 7)
			return std::nullopt;
		out += static_cast<char>(hi << 4 | lo);
	}
	return out;
}

// Data coding schemes of UCS2 text: the general group with the UCS2
// alphabet, and UCS2 preceded by a language.
bool ucs2_scheme(int dcs)
{
	return ((dcs & 0xc0) == 0x40 && (dcs & 0x0c) == 0x08) || dcs == 0x11;
}

}

step send(std::string bytes)
{
	return {step::send, std::move(bytes), 0};
}

step send_slowly(std::string bytes, int ms_per_byte)
{
	return {step::send, std::move(bytes), ms_per_byte};
}

step pause(int ms)
{
	return {step::pause, {}, ms};
}

step hangup()
{
	return {step::hangup, {}, 0};
}

std::string result(std::string_view text)
{
	std::string r = "\r\n";
	r += text;
	r += "\r\n";
	return r;
}

modem::modem(options opts)
	: opts_(std::move(opts)), echo_(opts_.echo), used_(opts_.rules.size(), false)
{
	auto fail = [this](const char *what) {
		std::string msg = std::string(what) + ": " + std::strerror(errno);
		close_pty();
		throw std::runtime_error(msg);
	};

	master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
	if (master_ < 0)
		fail("posix_openpt");
	if (::fcntl(master_, F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(master_, F_SETFL, O_NONBLOCK) != 0)
		fail("fcntl");
	if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
		fail("grantpt");
	char name[128];
	if (int e = ::ptsname_r(master_, name, sizeof name); e != 0) {
		errno = e;
		fail("ptsname_r");
	}
	path_ = name;
	slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
	if (slave_ < 0)
		fail(name);
	if (opts_.vmin > 255 || opts_.vtime > 255) {
		errno = EINVAL;
		fail("vmin/vtime");
	}
	if (opts_.raw || opts_.vmin >= 0 || opts_.vtime >= 0) {
		termios t;
		if (::tcgetattr(slave_, &t) != 0)
			fail("tcgetattr");
		if (opts_.raw)
			::cfmakeraw(&t);
		if (opts_.vmin >= 0)
			t.c_cc[VMIN] = static_cast<cc_t>(opts_.vmin);
		if (opts_.vtime >= 0)
			t.c_cc[VTIME] = static_cast<cc_t>(opts_.vtime);
		if (::tcsetattr(slave_, TCSANOW, &t) != 0)
			fail("tcsetattr");
	}
	reset();
	put(opts_.stale);
}

modem::~modem()
{
	stop();
	close_pty();
}

const char *modem::path() const
{
	return path_.c_str();
}

void modem::start()
{
	if (thread_.joinable())
		return;
	stop_ = false;
	thread_ = std::thread([this] {
		while (!stop_ && serve(50)) {
		}
	});
}

void modem::stop()
{
	stop_ = true;
	if (thread_.joinable())
		thread_.join();
}

std::vector<std::string> modem::received() const
{
	std::lock_guard lock(mutex_);
	return received_;
}

bool modem::serve(int timeout_ms)
{
	if (hung_up_)
		return false;
	pollfd p{master_, POLLIN, 0};
	int r = ::poll(&p, 1, timeout_ms);
	if (r <= 0)
		return true;
	char buf[4096];
	ssize_t n = ::read(master_, buf, sizeof buf);
	if (n < 0 && (errno == EAGAIN || errno == EINTR))
		return true;
	if (n <= 0) {
		// Nobody holds the device side any more, which our own descriptor
		// should prevent; there is nothing left to serve.
		close_pty();
		hung_up_ = true;
		return false;
	}
	for (char c : std::string_view(buf, static_cast<std::size_t>(n))) {
		if (hung_up_)
			break;
		if (c == '\r' || c == '\n') {
			std::string line = std::exchange(pending_, {});
			if (!line.empty() && !std::exchange(overlong_, false))
				handle(std::move(line));
		} else if (pending_.size() < max_line) {
			pending_ += c;
		} else {
			overlong_ = true;
		}
	}
	return !hung_up_;
}

void modem::handle(std::string line)
{
	std::size_t at = find_at(line);
	if (at == std::string::npos)
		return;
	std::string cmd = line.substr(at);

	for (auto e = echoes_.begin(); e != echoes_.end(); ++e) {
		if (*e == cmd) {
			echoes_.erase(e);
			return;
		}
	}

	if (echo_)
		put(cmd + "\r");
	{
		std::lock_guard lock(mutex_);
		received_.push_back(cmd);
	}
	if (opts_.trace)
		opts_.trace("< " + escape(cmd));

	for (std::size_t i = 0; i < opts_.rules.size(); ++i) {
		if (used_[i] || !matches(opts_.rules[i].command, cmd))
			continue;
		used_[i] = true;
		std::string u = upper(cmd);
		if (u == "ATE0")
			echo_ = false;
		else if (u == "ATE1")
			echo_ = true;
		perform(opts_.rules[i].steps);
		return;
	}
	answer(cmd);
}

// Runs the commands of a line in turn; the first that fails ends the line
// with its error, and the information lines of those before it stand.
void modem::answer(const std::string &cmd)
{
	std::string_view rest = std::string_view(cmd).substr(2);
	std::vector<std::string> info;
	std::string after;	// unsolicited results that follow the final one
	int status = 0;
	while (status == 0 && !rest.empty()) {
		char c = rest.front();
		if (c == ' ' || c == ';') {
			rest.remove_prefix(1);
			continue;
		}
		if (is_alpha(c) || c == '&') {
			status = basic(rest, info);
			continue;
		}
		std::size_t n = 1;
		while (n < rest.size() && (is_alpha(rest[n]) || is_digit(rest[n]) || std::string_view("!%-./:_").find(rest[n]) != std::string_view::npos))
			++n;
		std::string name = upper(rest.substr(0, n));
		rest.remove_prefix(n);
		form how = form::action;
		std::vector<argument> args;
		if (rest.starts_with("=?")) {
			how = form::test;
			rest.remove_prefix(2);
		} else if (rest.starts_with("?")) {
			how = form::read;
			rest.remove_prefix(1);
		} else if (rest.starts_with("=")) {
			how = form::set;
			rest.remove_prefix(1);
			for (;;) {
				argument arg;
				while (rest.starts_with(" "))
					rest.remove_prefix(1);
				if (rest.starts_with("\"")) {
					std::size_t close = rest.find('"', 1);
					if (close == std::string_view::npos) {
						status = syntax_error;
						break;
					}
					arg = {true, std::string(rest.substr(1, close - 1))};
					rest.remove_prefix(close + 1);
					while (rest.starts_with(" "))
						rest.remove_prefix(1);
				} else {
					std::string_view text = rest.substr(0, rest.find_first_of(",;"));
					rest.remove_prefix(text.size());
					while (text.ends_with(" "))
						text.remove_suffix(1);
					arg.text = std::string(text);
				}
				args.push_back(std::move(arg));
				if (!rest.starts_with(","))
					break;
				rest.remove_prefix(1);
			}
		}
		if (status == 0 && !rest.empty() && rest.front() != ';')
			status = syntax_error;
		if (status == 0)
			status = extended(name, how, args, info, after);
	}

	for (const std::string &line : info)
		say(verbose_ ? result(line) : line + "\r\n");
	if (!quiet_) {
		if (status == 0)
			say(verbose_ ? result("OK") : "0\r");
		else if (status == syntax_error || cmee_ == 0)
			say(verbose_ ? result("ERROR") : "4\r");
		else if (cmee_ == 1)
			say(result("+CME ERROR: " + std::to_string(status)));
		else
			say(result("+CME ERROR: " + std::string(cme_text(status))));
	}
	if (status == 0 && !after.empty())
		say(after);
}

// One basic command (a letter or '&' and a letter, and a number) from the
// front of rest. D takes the rest of the line with it, as a dial string.
int modem::basic(std::string_view &rest, std::vector<std::string> &info)
{
	std::string name = upper(rest.substr(0, 1));
	rest.remove_prefix(1);
	if (name == "&") {
		if (rest.empty() || !is_alpha(rest.front()))
			return syntax_error;
		name += upper(rest.substr(0, 1));
		rest.remove_prefix(1);
	}
	if (name == "D") {
		rest = {};
		return 0;
	}
	std::size_t n = 0;
	while (n < rest.size() && is_digit(rest[n]))
		++n;
	std::optional<int> value = n == 0 ? 0 : small_number(rest.substr(0, n));
	rest.remove_prefix(n);
	if (!value)
		return syntax_error;
	if (name == "S") {
		// S-parameters: S3 and S4 are the line ending characters.
		if (rest.starts_with("?")) {
			rest.remove_prefix(1);
			int v = *value == 3 ? 13 : *value == 4 ? 10 : *value == 5 ? 8 : 0;
			char text[4];
			std::snprintf(text, sizeof text, "%03d", v);
			info.emplace_back(text);
		} else if (rest.starts_with("=")) {
			rest.remove_prefix(1);
			while (!rest.empty() && is_digit(rest.front()))
				rest.remove_prefix(1);
		}
		return 0;
	}
	if (name == "E" || name == "V" || name == "Q") {
		if (*value > 1)
			return syntax_error;
		(name == "E" ? echo_ : name == "V" ? verbose_ : quiet_) = *value == 1;
		return 0;
	}
	if (name == "Z" || name == "&F") {
		reset();
		return 0;
	}
	if (name == "I" && *value == 0) {
		info.push_back("Manufacturer: " + std::string(manufacturer));
		info.push_back("Model: " + std::string(model));
		info.push_back("Revision: " + std::string(revision));
		info.push_back("IMEI: " + std::string(imei));
		info.emplace_back("+GCAP: +CGSM");
	}
	return 0;
}

int modem::extended(const std::string &name, form how, const std::vector<argument> &args,
    std::vector<std::string> &info, std::string &after)
{
	static const std::pair<std::string_view, std::string_view> identities[] = {
		{"+CGMI", manufacturer}, {"+GMI", manufacturer},
		{"+CGMM", model}, {"+GMM", model},
		{"+CGMR", revision}, {"+GMR", revision},
		{"+CGSN", imei}, {"+GSN", imei},
		{"+CIMI", imsi},
	};
	for (auto [id, text] : identities) {
		if (name == id) {
			if (how == form::action)
				info.emplace_back(text);
			return 0;
		}
	}

	// Settings with a single number from a small range.
	struct setting {
		std::string_view name;
		int *value;
		int max;
		std::string_view range;
	};
	const setting settings[] = {
		{"+CMEE", &cmee_, 2, "(0-2)"},
		{"+CMGF", &cmgf_, 1, "(0,1)"},
	};
	for (const setting &s : settings) {
		if (name != s.name)
			continue;
		std::string prefix = std::string(s.name) + ": ";
		if (how == form::read)
			info.push_back(prefix + std::to_string(*s.value));
		else if (how == form::test)
			info.push_back(prefix + std::string(s.range));
		if (how != form::set)
			return 0;
		std::optional<int> v = args.size() == 1 && !args[0].quoted ? small_number(args[0].text) : std::nullopt;
		if (args.size() == 1 && !args[0].quoted && args[0].text.empty())
			v = 0;
		if (!v || *v > s.max)
			return bad_parameters;
		*s.value = *v;
		return 0;
	}

	if (name == "+CSCS") {
		std::vector<std::string> offered(opts_.charsets.begin(), opts_.charsets.end());
		if (offered.empty())
			offered.assign(std::begin(known_charsets), std::end(known_charsets));
		if (how == form::read) {
			info.push_back("+CSCS: \"" + charset_ + "\"");
		} else if (how == form::test) {
			std::string list;
			for (const std::string &c : offered)
				list += (list.empty() ? "\"" : ",\"") + c + "\"";
			info.push_back("+CSCS: (" + list + ")");
		} else if (how == form::set) {
			if (args.size() != 1 || !args[0].quoted)
				return bad_parameters;
			// While the character set is UCS2, strings are UCS2 even here.
			std::string wanted = args[0].text;
			if (charset_ == "UCS2")
				wanted = from_ucs2(wanted).value_or(wanted);
			auto found = std::find_if(offered.begin(), offered.end(),
			    [&](const std::string &c) { return same_name(c, wanted); });
			if (found == offered.end())
				return not_supported;
			charset_ = upper(*found);
		}
		return 0;
	}

	if (name == "+CUSD") {
		if (how == form::read)
			info.push_back("+CUSD: " + std::to_string(cusd_));
		else if (how == form::test)
			info.emplace_back("+CUSD: (0-2)");
		else if (how == form::set)
			return ussd(args, after);
		return 0;
	}

	struct canned {
		std::string_view name, action, read, test;
	};
	static const canned answers[] = {
		{"+CPIN", "", "+CPIN: READY", ""},
		{"+CSQ", "+CSQ: 20,99", "", "+CSQ: (0-31,99),(0-7,99)"},
		{"+CREG", "", "+CREG: 0,1", "+CREG: (0-2)"},
		{"+CGREG", "", "+CGREG: 0,1", "+CGREG: (0-2)"},
		{"+CEREG", "", "+CEREG: 0,1", "+CEREG: (0-2)"},
		{"+COPS", "", "+COPS: 0,0,\"Fakenet\",2", "+COPS: (2,\"Fakenet\",\"Fakenet\",\"00101\",2),,(0-4),(0-2)"},
		{"+CPMS", "", "+CPMS: \"SM\",0,30,\"SM\",0,30,\"SM\",0,30", "+CPMS: (\"SM\"),(\"SM\"),(\"SM\")"},
		{"+CNMI", "", "+CNMI: 0,0,0,0,0", "+CNMI: (0-2),(0-3),(0,2),(0-2),(0,1)"},
		{"+GCAP", "+GCAP: +CGSM", "", ""},
	};
	for (const canned &c : answers) {
		if (name != c.name)
			continue;
		std::string_view text = how == form::action ? c.action : how == form::read ? c.read : how == form::test ? c.test : "";
		if (name == "+CPMS" && how == form::set)
			text = "+CPMS: 0,30,0,30,0,30";
		if (!text.empty())
			info.emplace_back(text);
		return 0;
	}
	return 0;
}

// AT+CUSD=[<n>[,<str>[,<dcs>]]]: n 1 shows the network's answer, 0 hides it,
// 2 ends the session.
int modem::ussd(const std::vector<argument> &args, std::string &after)
{
	if (args.empty() || args.size() > 3 || args[0].quoted)
		return bad_parameters;
	int n = cusd_;
	if (!args[0].text.empty()) {
		std::optional<int> v = small_number(args[0].text);
		if (!v || *v > 2)
			return bad_parameters;
		n = *v;
	}
	if (n != 2)
		cusd_ = n;
	if (args.size() < 2 || (!args[1].quoted && args[1].text.empty()))
		return 0;
	if (!args[1].quoted)
		return bad_parameters;
	int dcs = 15;
	if (args.size() == 3 && !args[2].text.empty()) {
		std::optional<int> v = args[2].quoted ? std::nullopt : small_number(args[2].text);
		if (!v)
			return bad_parameters;
		dcs = *v;
	}

	// The request as the network will read it. A request in hex digits is
	// septets, packed as the tool sends them or, in the character set HEX,
	// one character to each pair; one that is not is plain text, as some
	// clients send it in the character sets IRA and GSM, and it gets its
	// answer as plain text too.
	const std::string &str = args[1].text;
	bool ucs2 = charset_ == "UCS2" || ucs2_scheme(dcs);
	bool plain = !ucs2 && !std::all_of(str.begin(), str.end(), [](char c) { return hex_value(c) >= 0; });
	std::optional<std::string> request;
	if (ucs2)
		request = from_ucs2(str);
	else if (plain)
		request = str;
	else if (auto each = charset_ == "HEX" ? from_hex(str) : std::nullopt)
		request = each;
	else
		request = unpack(str).value_or(str);
	if (!request)
		return bad_parameters;
	if (opts_.trace)
		opts_.trace("USSD " + escape(*request));
	if (n != 1)
		return 0;

	if (charset_ == "UCS2") {
		after = result("+CUSD: 0,\"" + to_ucs2(opts_.answer) + "\",72");
		return 0;
	}
	char packed[1024];
	if (plain && std::all_of(opts_.answer.begin(), opts_.answer.end(), [](char c) { return c > 0; }))
		after = result("+CUSD: 0,\"" + opts_.answer + "\",15");
	else if (plain || septet_pack(opts_.answer.c_str(), packed, sizeof packed) != nullptr)
		after = result("+CUSD: 4");
	else
		after = result(std::string("+CUSD: 0,\"") + packed + "\",15");
	return 0;
}

// ATZ and AT&F: the settings the modem starts with.
void modem::reset()
{
	echo_ = opts_.echo;
	verbose_ = true;
	quiet_ = false;
	cmee_ = 0;
	cusd_ = 0;
	cmgf_ = 0;
	bool ira = opts_.charsets.empty() || std::any_of(opts_.charsets.begin(), opts_.charsets.end(),
	    [](const std::string &c) { return same_name(c, "IRA"); });
	charset_ = ira ? "IRA" : upper(opts_.charsets.front());
}

// Answers go to the trace as well.
void modem::say(std::string_view bytes)
{
	if (opts_.trace)
		opts_.trace("> " + escape(bytes));
	put(bytes);
}

void modem::perform(const std::vector<step> &steps)
{
	for (const step &s : steps) {
		if (hung_up_ || stop_)
			return;
		switch (s.what) {
		case step::send:
			if (s.ms <= 0) {
				say(s.bytes);
				break;
			}
			if (opts_.trace)
				opts_.trace("> " + escape(s.bytes) + " (slowly)");
			for (std::size_t i = 0; i < s.bytes.size() && !stop_; ++i) {
				if (i > 0)
					nap(s.ms);
				put(std::string_view(s.bytes).substr(i, 1));
			}
			break;
		case step::pause:
			if (opts_.trace)
				opts_.trace("pause " + std::to_string(s.ms) + " ms");
			nap(s.ms);
			break;
		case step::hangup:
			if (opts_.trace)
				opts_.trace("hang up");
			drain();
			close_pty();
			hung_up_ = true;
			break;
		}
	}
}

void modem::put(std::string_view bytes)
{
	if (master_ < 0)
		return;
	note_echo(bytes);
	while (!bytes.empty()) {
		ssize_t n = ::write(master_, bytes.data(), bytes.size());
		if (n > 0) {
			bytes.remove_prefix(static_cast<std::size_t>(n));
			continue;
		}
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0 && errno != EAGAIN)
			return;
		// The device's input is full: the tool stopped reading or has gone.
		// Give up after a second rather than hang the modem.
		pollfd p{master_, POLLOUT, 0};
		int r = 0;
		for (int waited = 0; r == 0 && waited < 1000 && !stop_; waited += 50)
			r = ::poll(&p, 1, 50);
		if (r == 0 || (r < 0 && errno != EINTR))
			return;
	}
}

// A hangup discards whatever the device has not read yet, so give the tool up
// to a second to read what was sent before it; otherwise a script of "send,
// hang up" would deliver its last bytes only now and then.
void modem::drain()
{
	for (int waited = 0; waited < 1000 && !stop_; waited += 10) {
		nap(10);
		int queued = 0;
		if (::ioctl(slave_, TIOCINQ, &queued) != 0 || queued == 0)
			return;
	}
}

// While the device side echoes (a terminal left in its usual settings), all
// we send comes back to us. Command lines in it, above all our own echo of
// the tool's commands, must not be answered again, or the modem would go on
// answering itself for ever.
void modem::note_echo(std::string_view bytes)
{
	termios t;
	if (::tcgetattr(slave_, &t) != 0 || !(t.c_lflag & ECHO)) {
		sent_line_.clear();
		return;
	}
	for (char c : bytes) {
		if (c != '\r' && c != '\n') {
			if (sent_line_.size() < max_line)
				sent_line_ += c;
			continue;
		}
		if (std::size_t at = find_at(sent_line_); at != std::string::npos) {
			if (echoes_.size() == max_echoes)
				echoes_.erase(echoes_.begin());
			echoes_.push_back(sent_line_.substr(at));
		}
		sent_line_.clear();
	}
}

// Sleeps in short slices so that stop() need not wait out a long pause.
void modem::nap(int ms)
{
	using namespace std::chrono;
	auto end = steady_clock::now() + milliseconds(ms);
	for (auto now = steady_clock::now(); !stop_ && now < end; now = steady_clock::now())
		std::this_thread::sleep_for(std::min<steady_clock::duration>(end - now, 10ms));
}

void modem::close_pty()
{
	if (master_ >= 0)
		::close(master_);
	if (slave_ >= 0)
		::close(slave_);
	master_ = slave_ = -1;
}

}
