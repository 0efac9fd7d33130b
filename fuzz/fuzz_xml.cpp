// The XML reader of the web API on any bytes: an element found lies inside
// the document, and its text read as XML is well-formed UTF-8 within its
// buffer, whatever references and bytes it holds.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "coding/charsets.hpp"
#include "fuzz/check.hpp"
#include "modem/frames/xml.hpp"
#include "modem/hilink.hpp"

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	auto doc = std::make_unique<char[]>(size + 1);
	std::memcpy(doc.get(), data, size);
	doc[size] = '\0';
	const size_t doc_len = std::strlen(doc.get());

	char out_buf[256];
	utf8_out out = {out_buf, sizeof out_buf, 0};
	xml_text(doc.get(), size, &out);
	CHECK(out.len <= sizeof out_buf);
	CHECK(well_formed(std::string_view(out_buf, out.len)));
	for (const char *name : {"content", "error", "code", "response"}) {
		size_t n = 0;
		const char *v = xml_element(doc.get(), name, &n);
		if (v != nullptr)
			CHECK(v >= doc.get() && v + n <= doc.get() + doc_len);
	}
	return 0;
}
