// The modem's answers: what each command does and says, and the result codes.

#include "sim/modem.hpp"
#include "sim/syntax.hpp"

#include "coding/septets.hpp"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <utility>

namespace sim {

namespace {

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

int hex_value(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	return -1;
}

bool same_name(std::string_view a, std::string_view b)
{
	return upper(a) == upper(b);
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

// Runs the commands of a line in turn; the first that fails ends the line
// with its error, and the information lines of those before it stand.
void modem::answer(const std::string &line)
{
	command_line parsed = parse(line);
	std::vector<std::string> info;
	std::string after;	// unsolicited results that follow the final one
	int status = 0;
	for (const command &cmd : parsed.commands) {
		status = cmd.basic ? basic(cmd, info) : extended(cmd, info, after);
		if (status != 0)
			break;
	}
	if (status == 0 && parsed.bad)
		status = syntax_error;

	for (const std::string &text : info)
		say(verbose_ ? result(text) : text + "\r\n");
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

int modem::basic(const command &cmd, std::vector<std::string> &info)
{
	const std::string &name = cmd.name;
	if (name == "S") {
		// S-parameters: S3 and S4 are the line ending characters.
		if (cmd.how == form::read) {
			int v = cmd.value == 3 ? 13 : cmd.value == 4 ? 10 : cmd.value == 5 ? 8 : 0;
			char text[4];
			std::snprintf(text, sizeof text, "%03d", v);
			info.emplace_back(text);
		}
		return 0;
	}
	if (name == "E" || name == "V" || name == "Q") {
		if (cmd.value > 1)
			return syntax_error;
		(name == "E" ? echo_ : name == "V" ? verbose_ : quiet_) = cmd.value == 1;
		return 0;
	}
	if (name == "Z" || name == "&F") {
		reset();
		return 0;
	}
	if (name == "I" && cmd.value == 0) {
		info.push_back("Manufacturer: " + std::string(manufacturer));
		info.push_back("Model: " + std::string(model));
		info.push_back("Revision: " + std::string(revision));
		info.push_back("IMEI: " + std::string(imei));
		info.emplace_back("+GCAP: +CGSM");
	}
	return 0;
}

int modem::extended(const command &cmd, std::vector<std::string> &info, std::string &after)
{
	const std::string &name = cmd.name;
	form how = cmd.how;
	const std::vector<argument> &args = cmd.args;
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
	trace("USSD ", *request);
	if (n != 1)
		return 0;

	const std::string &text = opts_.answer_request ? *request : opts_.answer;
	if (charset_ == "UCS2") {
		after = result("+CUSD: 0,\"" + to_ucs2(text) + "\",72");
		return 0;
	}
	char packed[1024];
	if (plain && std::all_of(text.begin(), text.end(), [](char c) { return c > 0; }))
		after = result("+CUSD: 0,\"" + text + "\",15");
	else if (plain || septet_pack(text.c_str(), packed, sizeof packed) != nullptr)
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

}
