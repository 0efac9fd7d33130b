// USSD through the web API of Huawei's HiLink devices (sticks that are
// routers, and pocket routers): a session and a rotating token fetched
// from the device, the request sent as XML to /api/ussd/send, and the
// network's answer read from /api/ussd/get once it has come.
#pragma once

#include <stddef.h>

struct http_peer;
struct mode_ops;

/* hilink.cpp */
// Whether a port names a device by URL: http:// or https://, in any case.
bool is_url(const char *port);
// http://HOST[:PORT][/], HOST an IPv4 address, an IPv6 address in brackets
// or a name: null, or why it cannot be reached.
const char *hilink_parse_url(const char *url, http_peer *to);

// For the questions of a failed run: a GET of path on the device with the
// run's session, failing softly; 0 with the answer's text in *body, or the
// API's error code or -1.
long hilink_get(const char *path, const char **body);
// The API's error code that refused the run's last request; 0: none.
extern long hilink_refused;
