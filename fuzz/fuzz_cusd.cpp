// Feeds any modem output through the answer wait's line handling: lines as
// fgets reads them into the wait's buffer, cut by strip_crlf, looked at by
// cusd_take until one is more than an unrelated line; an answer's data
// coding scheme is read as a comma and a number up to 255 with spaces
// around, or 15.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <charconv>
#include <algorithm>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz/check.hpp"
#include "modem/link.hpp"

namespace {

constexpr std::size_t reply_buf_size = 1088;
constexpr std::size_t dest_size = 1024;

std::string_view
trim(std::string_view s)
{
	const std::size_t first = s.find_first_not_of(' ');
	if (first == std::string_view::npos)
		return {};
	return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

int
expected_scheme(std::string_view rest)
{
	rest = trim(rest);
	if (!rest.starts_with(','))
		return 15;
	rest = trim(rest.substr(1));
	if (rest.empty() || rest.find_first_not_of("0123456789") != std::string_view::npos)
		return 15;
	rest = rest.substr(std::min(rest.find_first_not_of('0'), rest.size() - 1));
	unsigned value = 0;
	auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
	if (ec != std::errc() || end != rest.data() + rest.size() || value > 255)
		return 15;
	return static_cast<int>(value);
}

cusd_line
expected_kind(std::string_view line, std::string &answer, int &dcs)
{
	if (!line.starts_with("+CUSD: "))
		return cusd_line::other;
	const std::size_t open = line.find('"');
	if (open == std::string_view::npos)
		return cusd_line::bad;
	const std::size_t close = line.find('"', open + 1);
	if (close == std::string_view::npos)
		return cusd_line::bad;
	answer = line.substr(open + 1, close - open - 1);
	dcs = expected_scheme(line.substr(close + 1));
	return answer.size() >= dest_size ? cusd_line::too_long : cusd_line::answer;
}

}

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	const char *input = reinterpret_cast<const char *>(data);

	while (size > 0) {
		// fgets: at most one byte less than the buffer, up to and
		// including the first LF.
		std::size_t take = size < reply_buf_size - 1 ? size : reply_buf_size - 1;
		if (const void *lf = std::memchr(input, '\n', take))
			take = static_cast<std::size_t>(static_cast<const char *>(lf) - input) + 1;
		auto line = std::make_unique<char[]>(take + 1);
		std::memcpy(line.get(), input, take);
		line[take] = '\0';
		input += take;
		size -= take;

		std::string_view seen(line.get());
		seen = seen.substr(0, seen.find('\r'));
		seen = seen.substr(0, seen.find('\n'));
		const std::string stripped(seen);
		strip_crlf(line.get());
		CHECK(stripped == line.get());

		std::string answer;
		int expected_dcs = -1, dcs = -1;
		const cusd_line kind = expected_kind(stripped, answer, expected_dcs);
		auto dest = std::make_unique<char[]>(dest_size);
		const cusd_line got = cusd_take(line.get(), dest.get(), dest_size, &dcs);
		CHECK(got == kind);
		if (got == cusd_line::answer) {
			CHECK(strnlen(dest.get(), dest_size) < dest_size);
			CHECK(answer == dest.get());
			CHECK(dcs == expected_dcs);
		}
		if (got != cusd_line::other)
			break;
	}
	return 0;
}
