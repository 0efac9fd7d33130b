// The MBIM readers on any bytes, taken as one message: the header and
// information buffer of a message, and in that buffer a USSD answer, a
// list of device services and the strings of device caps. Nothing is read
// outside the message (exactly as large as the input, on the heap, so that
// the sanitizer sees any read past it), and every part a reader names lies
// inside it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/check.hpp"
#include "modem/mbim.hpp"

namespace {

const uint8_t *begin, *end;

void
check_inside(const uint8_t *p, std::size_t n)
{
	CHECK(p >= begin && p <= end && n <= static_cast<std::size_t>(end - p));
}

}

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	auto buf = std::make_unique<uint8_t[]>(size);
	if (size > 0)
		std::memcpy(buf.get(), data, size);
	begin = buf.get();
	end = begin + size;
	mbim_message m;
	if (!mbim_parse(buf.get(), size, &m))
		return 0;
	CHECK(size >= 12 && mbim_u32(buf.get() + 4) == size);
	if (m.service == nullptr) {
		CHECK(m.info == nullptr && m.info_len == 0);
		return 0;
	}
	check_inside(m.service, 16);
	check_inside(m.info, m.info_len);
	mbim_ussd_info u;
	if (mbim_read_ussd(m.info, m.info_len, &u))
		check_inside(u.payload, u.len);
	mbim_lists(m.info, m.info_len, mbim_ussd, mbim_ussd_cid);
	for (std::size_t at = 32; at <= 56; at += 8) {
		char s[64];
		if (mbim_string(m.info, m.info_len, at, s, sizeof s))
			CHECK(std::memchr(s, 0, sizeof s) != nullptr);
	}
	return 0;
}
