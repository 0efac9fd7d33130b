// The D-Bus reader on any bytes: a whole message (header, fields, body), or
// a body walked by a signature of the input's own. Nothing is read outside
// the buffer (exactly as large as the input, on the heap, so that the
// sanitizer sees any read past it), every string read ends inside it, and a
// value read in full ends where skipping it ends.
//
// The first byte picks the form: even, a message; odd, the next byte is the
// signature's length, then the signature, then the body, in the byte order
// of the first byte's second bit.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/check.hpp"
#include "modem/frames/dbus.hpp"

namespace {

const uint8_t *buf_begin, *buf_end;

void
check_string(const char *s)
{
	const auto *p = reinterpret_cast<const uint8_t *>(s);
	if (*s == '\0' && (p < buf_begin || p >= buf_end))
		return;		// "" of the reader's own
	CHECK(p >= buf_begin && p < buf_end);
	CHECK(std::memchr(s, 0, static_cast<std::size_t>(buf_end - p)) != nullptr);
}

// Reads every value, into every container.
void
walk(dreader *r)
{
	while (dr_more(r)) {
		CHECK(r->pos <= r->end);
		dreader copy = *r;
		switch (dr_peek(r)) {
		case 's': case 'o': case 'g':
			check_string(dr_str(r));
			break;
		case 'y': case 'b': case 'i': case 'u': case 'h':
			dr_u32(r);
			break;
		case 'a': case '(': case '{': case 'v': {
			dreader in;
			dr_enter(r, &in);
			walk(&in);
			dr_leave(r, &in);
			break;
		}
		default:
			dr_skip(r);
		}
		dr_skip(&copy);
		CHECK(copy.bad || r->bad || copy.pos == r->pos);
		CHECK(r->pos <= r->end);
		if (r->bad)
			break;
	}
}

}

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (size < 2)
		return 0;
	auto buf = std::make_unique<uint8_t[]>(size - 1);
	std::memcpy(buf.get(), data + 1, size - 1);
	buf_begin = buf.get();
	buf_end = buf_begin + size - 1;
	dbus_header h;
	if (data[0] % 2 == 0) {
		if (size - 1 < 16 || dbus_length(buf.get()) != size - 1 || !dbus_parse(buf.get(), size - 1, &h))
			return 0;
		for (const char *f : h.field)
			check_string(f);
		CHECK(h.body + h.body_len == size - 1);
	} else {
		// The signature is a string of the buffer's own, NUL-terminated
		// in its place as the header's would be.
		std::size_t n = data[1];
		if (n + 2 > size - 1)
			return 0;
		buf[n + 1] = '\0';
		h = {(data[0] & 2) != 0, dbus_return_msg, 0, 1, 1, {}, n + 2, size - 1 - (n + 2)};
		for (const char *&f : h.field)
			f = "";
		h.field[df_signature] = reinterpret_cast<const char *>(buf.get() + 1);
		if (std::strlen(h.field[df_signature]) != n)
			return 0;
	}
	dreader r, whole;
	dr_begin(&r, buf.get(), &h);
	walk(&r);
	dr_begin(&whole, buf.get(), &h);
	while (dr_more(&whole))
		dr_skip(&whole);
	CHECK(whole.bad || r.bad || whole.pos == r.pos);
	return 0;
}
