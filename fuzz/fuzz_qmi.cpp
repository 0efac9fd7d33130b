// Feeds any bytes to the QMUX reader as one frame: its header, its TLVs and
// the text of an answer, whose octets must lie inside the frame and decode
// to well-formed UTF-8 within its buffer.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "coding/charsets.hpp"
#include "fuzz/check.hpp"
#include "modem/qmi.hpp"

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	qmi_msg m;

	if (!qmi_parse(data, size, &m))
		return 0;
	CHECK(m.tlvs >= data && m.tlvs + m.tlvs_len <= data + size);
	for (unsigned type = 0; type < 256; type++) {
		size_t n;
		const uint8_t *v = qmi_tlv(&m, static_cast<uint8_t>(type), &n);
		if (v != nullptr)
			CHECK(v >= m.tlvs && v + n <= m.tlvs + m.tlvs_len);
	}
	qmi_result(&m);

	int coding = -1;
	const uint8_t kinds[][2] = {{0x16, 0x12}, {0x11, 0x10}};
	for (const auto &k : kinds) {
		const uint8_t *octets;
		size_t n;
		if (!qmi_text(&m, k[0], k[1], &octets, &n, &coding))
			continue;
		CHECK(octets >= m.tlvs && octets + n <= m.tlvs + m.tlvs_len);
		static char text[decoded_buf_size];
		utf8_out out = {text, sizeof text - 1, 0};
		charset set;
		if (!qmi_charset(coding, &set))
			continue;
		answer_text(set, -1, octets, n, &out);
		CHECK(out.len < sizeof text);
		CHECK(well_formed(std::string_view(text, out.len)));
	}
	return 0;
}
