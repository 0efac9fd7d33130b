// USSD text in character sets and data coding schemes, through coding/.

#include "sim/texts.hpp"

#include "coding/charsets.hpp"
#include "coding/septets.hpp"
#include "front/settings.hpp"

#include <algorithm>

namespace sim {

namespace {

constexpr char language[] = "en";

// What the GSM alphabet packs, or none.
std::optional<std::string> packed(const std::string &text)
{
	char buf[work_buf_size];
	if (gsm_pack(text.c_str(), buf, sizeof buf) != nullptr)
		return std::nullopt;
	return std::string(buf);
}

}

bool hex_text(std::string_view s)
{
	return s.size() % 2 == 0 && std::all_of(s.begin(), s.end(),
	    [](char c) { return is_hex(static_cast<unsigned char>(c)); });
}

std::optional<std::string> from_ucs2(std::string_view hex)
{
	if (hex.size() % 4 != 0)
		return std::nullopt;
	return from_scheme(hex, 72);
}

std::string to_ucs2(std::string_view text)
{
	const std::string s(text);
	std::string out;
	for (std::size_t i = 0; i < s.size();) {
		uint32_t cp = 0;
		std::size_t len = utf8_get(s.c_str() + i, &cp);
		if (len == 0) {
			cp = static_cast<unsigned char>(s[i]);
			len = 1;
		}
		uint8_t units[4];
		const std::size_t n = ucs2_put(cp, units);
		char hex[9];
		hex_put(units, n, hex, true);
		out += hex;
		i += len;
	}
	return out;
}

std::optional<std::string> from_hex(std::string_view hex)
{
	if (!hex_text(hex))
		return std::nullopt;
	std::string out;
	for (std::size_t i = 0; i < hex.size(); i += 2) {
		uint32_t value = hex_digit(static_cast<unsigned char>(hex[i])) << 4 |
		    hex_digit(static_cast<unsigned char>(hex[i + 1]));
		if (value > 0x7f)
			return std::nullopt;
		out += static_cast<char>(value);
	}
	return out;
}

bool ucs2_scheme(int dcs)
{
	return dcs_read(dcs).what == alphabet::ucs2;
}

std::optional<std::string> from_scheme(std::string_view hex, int dcs)
{
	if (!hex_text(hex) || hex.size() >= work_buf_size)
		return std::nullopt;
	std::string text(hex);
	char buf[decoded_buf_size];
	utf8_out out = {buf, sizeof buf, 0};
	if (!at_text_read(text.c_str(), dcs, charset::gsm, charset::latin1, &out))
		return std::nullopt;
	return std::string(buf, out.len);
}

std::optional<std::string> to_scheme(std::string_view text, int dcs)
{
	const dcs_coding coding = dcs_read(dcs);
	std::string out;
	switch (coding.what) {
	case alphabet::gsm7:
	case alphabet::compressed:
		return packed((coding.language > 0 ? std::string(language) + "\r" : "") + std::string(text));
	case alphabet::eight_bit: {
		const std::string s(text);
		for (std::size_t i = 0, len; i < s.size(); i += len) {
			uint32_t cp = 0;
			if ((len = utf8_get(s.c_str() + i, &cp)) == 0 || cp > 0xff)
				return std::nullopt;
			const auto octet = static_cast<uint8_t>(cp);
			char hex[3];
			hex_put(&octet, 1, hex, true);
			out += hex;
		}
		return out;
	}
	case alphabet::ucs2:
		if (coding.language > 0) {
			const uint8_t septets[] = {language[0], language[1]};
			char buf[8];
			septet_pack_array(septets, 2, buf, sizeof buf);
			out = buf;
		}
		return out + to_ucs2(text);
	}
	return std::nullopt;
}

}
