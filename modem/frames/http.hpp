// HTTP/1.1 over TCP with the C library's sockets, as much as a device's
// web API needs: one request per connection (Connection: close), its body
// sent with Content-Length, the answer read by its Content-Length, in
// chunks, or to the connection's end. The reader is bounded: a status line,
// a header or a body over its room is refused, never read past. It reads
// through a byte source, so that a fuzzer runs it on bytes alone.
#pragma once

#include <stddef.h>
#include <sys/socket.h>
#include <sys/types.h>

// Where the device is: its address and the Host header that names it.
struct http_peer {
	sockaddr_storage addr;
	socklen_t addr_len;
	char host[272];
	const char *name;	// as the messages name the device
};

// Bytes of the answer as they come: read's contract (0 at the end, -1 on
// an error with errno set).
using http_get = ssize_t (*)(void *ctx, char *buf, size_t n);

struct http_in {
	http_get get;
	void *ctx;
	char buf[512];
	size_t at, have;
};

// Each header as it comes, its name in lower case; value trimmed.
using http_header_fn = void (*)(const char *name, const char *value);

struct http_answer {
	int status;		// 200 and the like
	char line[256];		// the status line, for -v
	char *body;		// NUL-terminated; a NUL of its own may come before the end
	size_t len, size;	// size: room for the body and its NUL
	bool cut_ok;		// a longer body is cut at size - 1 rather than refused
	// A failed exchange does not end the run: http_exchange says so under
	// -v and returns false.
	bool soft;
};

// The answer from in: null, or why it is no answer (a text fit for
// "PORT: ..."); http_read_failed when the source failed (errno tells).
const char *http_read(http_in *in, http_answer *a, http_header_fn on_header);
extern const char http_read_failed[];

// The request for path to the peer, a GET, or a POST of body where there
// is one, with these extra header lines (each ending in CR LF), into out:
// its length, or 0 when it does not fit.
size_t http_request(char *out, size_t size, const http_peer *peer, const char *path,
    const char *headers, const char *body);
// Sends the n bytes of a request to the peer and reads the answer into a.
// Any failure ends the run, unless a->soft: a connection refused as "PORT:
// Connection refused", an answer that is none as "PORT: WHY". Under -v the
// request line, the status line and the body are shown. Where now, from a
// handler: async-signal-safe, nothing shown, any failure false, the
// connection waited for at most 1 s and the answer as long.
// Set while the answers are secrets: -v shows their bodies as ***.
extern bool http_secret;
bool http_exchange(const http_peer *peer, const char *req, size_t n, http_answer *a,
    http_header_fn on_header, bool now = false);
