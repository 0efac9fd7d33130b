// Feeds any modem output through the answer wait's line handling: lines as
// fgets reads them into the wait's buffer, cut by strip_crlf, looked at by
// cusd_take until one is more than an unrelated line.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz/check.hpp"
#include "modem/link.hpp"

namespace {

constexpr std::size_t reply_buf_size = 1088;
constexpr std::size_t dest_size = 1024;

cusd_line
expected_kind(std::string_view line, std::string &answer)
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
		const cusd_line kind = expected_kind(stripped, answer);
		auto dest = std::make_unique<char[]>(dest_size);
		const cusd_line got = cusd_take(line.get(), dest.get(), dest_size);
		CHECK(got == kind);
		if (got == cusd_line::answer) {
			CHECK(strnlen(dest.get(), dest_size) < dest_size);
			CHECK(answer == dest.get());
		}
		if (got != cusd_line::other)
			break;
	}
	return 0;
}
