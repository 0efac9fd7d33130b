// The kinds of modem played: how each names itself, which character sets it
// offers, how it reads the string of a request and how it writes an answer.

#include "sim/modem.hpp"
#include "sim/texts.hpp"

#include "coding/charsets.hpp"
#include "coding/septets.hpp"

#include <algorithm>
#include <iterator>

namespace sim {

namespace {

// unsupported: the network refuses a code it does not know with +CUSD: 4
// rather than answering it with a text, as some networks do.
struct kind_info {
	modem_kind kind;
	std::string_view name, manufacturer;
	bool unsupported;
};

constexpr kind_info kinds[] = {
	{modem_kind::generic, "generic", "Fakeco", false},
	{modem_kind::huawei, "huawei", "huawei", false},
	{modem_kind::huawei_old, "huawei-old", "HUAWEI", false},
	{modem_kind::standard, "standard", "Quectel", false},
	{modem_kind::standard_gsm, "standard-gsm", "SIMCOM INCORPORATED", true},
};

constexpr std::string_view unknown_code_text = "Unknown service code";

const kind_info &info(modem_kind kind)
{
	return *std::find_if(std::begin(kinds), std::end(kinds),
	    [kind](const kind_info &k) { return k.kind == kind; });
}

constexpr std::string_view all_charsets[] = {"IRA", "GSM", "UCS2", "HEX", "8859-1", "PCCP437"};
constexpr std::string_view ucs2_charsets[] = {"IRA", "GSM", "UCS2"};
constexpr std::string_view gsm_charsets[] = {"IRA", "GSM"};

bool seven_bit(int dcs)
{
	alphabet a = dcs_read(dcs).what;
	return a == alphabet::gsm7 || a == alphabet::compressed;
}

// Text as a modem writes it in the character set IRA: each character ASCII
// lacks as '?', and each line break as CR LF.
std::string ira_text(const std::string &text)
{
	std::string out;
	for (std::size_t i = 0; i < text.size();) {
		auto u = static_cast<unsigned char>(text[i]);
		if (u < 0x80) {
			out += u == '\n' ? "\r\n" : std::string(1, text[i]);
			++i;
			continue;
		}
		uint32_t cp;
		std::size_t len = utf8_get(text.c_str() + i, &cp);
		out += '?';
		i += len > 0 ? len : 1;
	}
	return out;
}

std::string quoted(int status, const std::string &str, int dcs)
{
	return "+CUSD: " + std::to_string(status) + ",\"" + str + "\"," + std::to_string(dcs);
}

}

std::optional<modem_kind> kind_named(std::string_view name)
{
	for (const kind_info &k : kinds)
		if (k.name == name)
			return k.kind;
	return std::nullopt;
}

std::string_view kind_name(modem_kind kind)
{
	return info(kind).name;
}

// Whether requests and answers travel as septets packed in hex whatever the
// character set, as Huawei modems have them.
bool modem::packed_ussd() const
{
	return opts_.kind == modem_kind::huawei_old || (opts_.kind == modem_kind::huawei && ussdmode_ == 1);
}

std::vector<std::string> modem::offered_charsets() const
{
	if (!opts_.charsets.empty())
		return opts_.charsets;
	switch (opts_.kind) {
	case modem_kind::generic:
		return {std::begin(all_charsets), std::end(all_charsets)};
	case modem_kind::standard_gsm:
		return {std::begin(gsm_charsets), std::end(gsm_charsets)};
	default:
		return {std::begin(ucs2_charsets), std::end(ucs2_charsets)};
	}
}

std::string_view modem::manufacturer() const
{
	return info(opts_.kind).manufacturer;
}

// The request as the network will read it; none when the string is not
// what this modem takes. plain: the request came as text rather than hex,
// which the generic kind answers in text too.
std::optional<std::string> modem::read_request(const std::string &str, int dcs, bool &plain) const
{
	plain = false;
	if (opts_.kind == modem_kind::generic) {
		// A request in hex digits is read by its data coding scheme
		// (septets packed as the tool sends them, by default) or, in the
		// character set HEX, one character to each pair; one that is not
		// is plain text, as some clients send it in the character sets IRA
		// and GSM.
		bool ucs2 = charset_ == "UCS2" || ucs2_scheme(dcs);
		plain = !ucs2 && !hex_text(str);
		if (plain)
			return str;
		if (charset_ == "UCS2")
			return from_ucs2(str);
		if (auto each = charset_ == "HEX" && !ucs2 ? from_hex(str) : std::nullopt)
			return each;
		if (ucs2)
			return from_scheme(str, dcs);
		return from_scheme(str, dcs).value_or(str);
	}
	if (packed_ussd() || !seven_bit(dcs))
		return from_scheme(str, dcs);
	if (charset_ == "UCS2")
		return from_ucs2(str);
	plain = true;
	return str;
}

// The +CUSD: line of the network's answer as this modem writes it.
std::string modem::write_answer(const network_answer &a, bool plain) const
{
	if (!a.text)
		return "+CUSD: " + std::to_string(a.status);
	const std::string &text = *a.text;
	const std::string unsupported = "+CUSD: 4";

	if (opts_.kind == modem_kind::generic) {
		if (opts_.answer_dcs >= 0) {
			std::optional<std::string> hex = to_scheme(text, opts_.answer_dcs);
			return hex ? quoted(a.status, *hex, opts_.answer_dcs) : unsupported;
		}
		if (charset_ == "UCS2")
			return quoted(a.status, to_ucs2(text), 72);
		char packed[1024];
		if (plain && std::all_of(text.begin(), text.end(), [](char c) { return c > 0; }))
			return quoted(a.status, text, 15);
		if (!plain && septet_pack(text.c_str(), packed, sizeof packed) == nullptr)
			return quoted(a.status, packed, 15);
		if (opts_.ucs2_when_needed)
			return quoted(a.status, to_ucs2(text), 72);
		return unsupported;
	}

	// The scheme the network sends the text in; a scheme that cannot carry
	// it leaves the network nothing to send.
	int dcs = opts_.answer_dcs;
	if (dcs < 0)
		dcs = opts_.ucs2_when_needed && !to_scheme(text, 15) ? 72 : 15;
	std::optional<std::string> coded = to_scheme(text, dcs);
	if (!coded)
		return unsupported;
	if (packed_ussd() || !seven_bit(dcs))
		return quoted(a.status, *coded, dcs);
	if (charset_ == "UCS2")
		return quoted(a.status, to_ucs2(text), dcs);
	return quoted(a.status, ira_text(text), dcs);
}

// The network's answer to a code it does not know, a request sent in the
// wrong form among them: an error text that ends the session, or a refusal.
modem::network_answer modem::unknown_code() const
{
	if (info(opts_.kind).unsupported)
		return {4, std::nullopt};
	return {0, std::string(unknown_code_text)};
}

}
