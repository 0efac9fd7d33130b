// The modem's answers: what each command does and says, and the result codes.

#include "sim/modem.hpp"
#include "sim/syntax.hpp"
#include "sim/texts.hpp"

#include <algorithm>
#include <iterator>
#include <cstdio>
#include <optional>
#include <utility>

namespace sim {

namespace {

// What the modem says about itself, beside its maker (kinds.cpp).
constexpr std::string_view model = "FM100";
constexpr std::string_view revision = "1.0.0";
constexpr std::string_view imei = "350000112345679";
constexpr std::string_view imsi = "001010123456789";

// Final results other than OK: a plain ERROR, the line of a refused
// request, or the +CME ERROR codes.
constexpr int plain_error = -1;
constexpr int refused = -2;
constexpr int not_supported = 4;
constexpr int bad_parameters = 50;

std::string_view cme_text(int code)
{
	return code == not_supported ? "operation not supported" : "incorrect parameters";
}

bool same_name(std::string_view a, std::string_view b)
{
	return upper(a) == upper(b);
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
		status = plain_error;
	if (status == refused && refusal_ == "ERROR")
		status = plain_error;

	for (const std::string &text : info)
		say(verbose_ ? result(text) : text + "\r\n");
	if (status == 0 && opts_.answer_before_ok && !after.empty())
		say(std::exchange(after, {}));
	if (!quiet_) {
		if (status == 0)
			say(verbose_ ? result("OK") : "0\r");
		else if (status == refused)
			say(result(refusal_));
		else if (status == plain_error || cmee_ == 0)
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
			return plain_error;
		(name == "E" ? echo_ : name == "V" ? verbose_ : quiet_) = cmd.value == 1;
		return 0;
	}
	if (name == "Z" || name == "&F") {
		reset();
		return 0;
	}
	if (name == "I") {
		if (cmd.value != 0)
			return 0;
		info.push_back("Manufacturer: " + std::string(manufacturer()));
		info.push_back("Model: " + std::string(model));
		info.push_back("Revision: " + std::string(revision));
		info.push_back("IMEI: " + std::string(imei));
		info.emplace_back("+GCAP: +CGSM");
		return 0;
	}
	// Dialling, hanging up and the line settings are taken and do nothing.
	static const std::string_view harmless[] = {"D", "H", "L", "M", "X", "&C", "&D", "&K", "&W"};
	if (opts_.unknown_ok || std::find(std::begin(harmless), std::end(harmless), name) != std::end(harmless))
		return 0;
	return plain_error;
}

int modem::extended(const command &cmd, std::vector<std::string> &info, std::string &after)
{
	const std::string &name = cmd.name;
	form how = cmd.how;
	const std::vector<argument> &args = cmd.args;
	const std::pair<std::string_view, std::string_view> identities[] = {
		{"+CGMI", manufacturer()}, {"+GMI", manufacturer()},
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

	if (const size_t had = info.size(); int status = situation_answer(cmd, info))
		return status;
	else if (info.size() > had)
		return 0;

	// Settings with a single number from a small range.
	struct setting {
		std::string_view name;
		int *value;
		int max;
		std::string_view range;
	};
	std::vector<setting> settings = {
		{"+CMEE", &cmee_, 2, "(0-2)"},
		{"+CMGF", &cmgf_, 1, "(0,1)"},
		{"+CFUN", &cfun_, 1, "(0-1)"},
	};
	if (opts_.kind == modem_kind::huawei)
		settings.push_back({"^USSDMODE", &ussdmode_, 1, "(0-1)"});
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
		std::vector<std::string> offered = offered_charsets();
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
		{"+CHUP", "", "", ""},
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
	return opts_.unknown_ok ? 0 : plain_error;
}

std::optional<situation> situation_named(std::string_view name)
{
	static constexpr std::string_view names[] = {
		"usual", "radio-off", "sim-pin", "sim-puk", "sim-locked", "no-sim", "sim-busy",
		"searching", "denied", "lte-data", "sms-only", "5g", "refuses",
	};
	for (size_t i = 0; i < std::size(names); i++)
		if (names[i] == name)
			return static_cast<situation>(i);
	return std::nullopt;
}

// The questions about the modem's state, as its situation has them answered;
// 0 with no line added: as usual.
int modem::situation_answer(const command &cmd, std::vector<std::string> &info)
{
	using enum situation;
	const situation now = opts_.situation;
	const std::string &name = cmd.name;
	static constexpr std::string_view asked[] = {"+CFUN", "+CPIN", "+CREG", "+CEREG", "+C5GREG", "+COPS"};
	if (cmd.how != form::read || now == usual ||
	    std::find(std::begin(asked), std::end(asked), name) == std::end(asked))
		return 0;
	if (now == refuses)
		return plain_error;
	if (name == "+CFUN")
		info.emplace_back(now == radio_off ? "+CFUN: 4" : "+CFUN: 1");
	if (name == "+CPIN" && (now == no_sim || now == sim_busy)) {
		refusal_ = now == no_sim ? "+CME ERROR: 10" : "+CME ERROR: 14";
		return refused;
	}
	if (name == "+CPIN")
		info.emplace_back(now == sim_pin ? "+CPIN: SIM PIN" : now == sim_puk ? "+CPIN: SIM PUK"
		    : now == sim_locked ? "+CPIN: PH-NET PIN" : "+CPIN: READY");
	// <stat> of circuit-switched, EPS and 5GS registration, and the
	// access technology.
	const struct {
		situation when;
		char cs, eps, fivegs;
		int act;
	} states[] = {
		{searching, '2', '2', '2', -1}, {denied, '3', '3', '0', -1},
		{lte_data, '0', '1', '0', 7}, {sms_only, '6', '1', '0', 7}, {nr5g, '0', '0', '1', 11},
	};
	char cs = '1', eps = '1', fivegs = '0';
	int act = 2;
	for (const auto &st : states)
		if (st.when == now)
			cs = st.cs, eps = st.eps, fivegs = st.fivegs, act = st.act;
	if (name == "+CREG" || name == "+CEREG" || name == "+C5GREG")
		info.push_back(name + ": 0," + (name == "+CREG" ? cs : name == "+CEREG" ? eps : fivegs));
	if (name == "+COPS")
		info.push_back(act < 0 ? "+COPS: 0" : "+COPS: 0,0,\"Fakenet\"," + std::to_string(act));
	return 0;
}

// How the network takes a request in the modem's situation: refused (the
// line into refusal_), with +CUSD: 4 where there is no circuit-switched
// service, or as usual.
static std::string situation_refusal(situation now)
{
	using enum situation;
	switch (now) {
	case sim_pin: return "+CME ERROR: 11";
	case sim_puk: return "+CME ERROR: 12";
	case sim_locked: return "+CME ERROR: 44";
	case no_sim: return "+CME ERROR: 10";
	case sim_busy: return "+CME ERROR: 14";
	case radio_off: case searching: case denied: return "+CME ERROR: 30";
	default: return "";
	}
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
	if (n == 2)
		return end_session() ? 0 : plain_error;
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

	if (opts_.refuse_ucs2 && charset_ == "UCS2") {
		refusal_ = "ERROR";
		return refused;
	}
	if (!opts_.refuse.empty() && !opts_.refuse_after_ok) {
		refusal_ = opts_.refuse;
		return refused;
	}
	if (std::string r = situation_refusal(opts_.situation); !r.empty()) {
		refusal_ = r;
		return refused;
	}
	// The network is still busy with the request before.
	if (due_line_)
		return plain_error;
	bool plain = false;
	std::optional<std::string> request = read_request(args[1].text, dcs, plain);
	if (!request)
		return bad_parameters;
	trace("USSD ", *request);
	if (!opts_.refuse.empty()) {
		after = result(opts_.refuse);
		return 0;
	}
	if (n != 1)
		return 0;

	using enum situation;
	const situation now = opts_.situation;
	const bool no_cs = now == lte_data || now == sms_only || now == nr5g || now == refuses;
	std::string line = result(write_answer(no_cs ? network_answer{4, std::nullopt} : respond(*request), plain));
	if (opts_.delay_ms > 0) {
		due_line_ = std::move(line);
		due_at_ = clock::now() + std::chrono::milliseconds(opts_.delay_ms);
	} else {
		after = std::move(line);
		session_ends_ = clock::now() + std::chrono::milliseconds(opts_.session_timeout_ms);
	}
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
	cfun_ = 1;
	std::vector<std::string> offered = offered_charsets();
	bool ira = std::any_of(offered.begin(), offered.end(),
	    [](const std::string &c) { return same_name(c, "IRA"); });
	charset_ = ira ? "IRA" : upper(offered.front());
}

}
