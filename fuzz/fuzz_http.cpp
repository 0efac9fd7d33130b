// The HTTP reader on any bytes, handed out in pieces of sizes the input's
// first byte chooses: it reads an answer or refuses it with a message,
// never writes past the body's room, keeps the body NUL-terminated, and
// never reads past the input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/check.hpp"
#include "modem/frames/http.hpp"

namespace {

struct source {
	const uint8_t *data;
	size_t size, at, piece;
};

ssize_t
get(void *ctx, char *buf, size_t n)
{
	auto *s = static_cast<source *>(ctx);
	n = std::min({n, s->size - s->at, s->piece});
	std::memcpy(buf, s->data + s->at, n);
	s->at += n;
	return static_cast<ssize_t>(n);
}

void
header(const char *name, const char *value)
{
	CHECK(*name != '\0');
	for (const char *p = name; *p != '\0'; p++)
		CHECK(*p < 'A' || *p > 'Z');
	CHECK(std::strlen(value) < 1024);
}

}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 2)
		return 0;
	source s = {data + 2, size - 2, 0, static_cast<size_t>(data[0] % 64) + 1};
	const size_t room = static_cast<size_t>(data[1]) + 1;
	auto body = std::make_unique<char[]>(room);
	http_in in = {get, &s, {}, 0, 0};
	http_answer a = {0, "", body.get(), 0, room, (data[1] & 1) != 0, false};
	const char *why = http_read(&in, &a, header);
	CHECK(a.len < room);
	CHECK(body[a.len] == '\0');
	CHECK(s.at <= s.size);
	if (why == nullptr)
		CHECK(a.status >= 200 || a.status < 100);
	return 0;
}
