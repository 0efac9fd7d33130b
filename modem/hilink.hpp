// USSD through the web API of Huawei's HiLink devices (sticks that are
// routers, and pocket routers): a session and a rotating token fetched
// from the device, the request sent as XML to /api/ussd/send, and the
// network's answer read from /api/ussd/get once it has come.
#pragma once

#include <stddef.h>

struct http_answer;
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
// One request to the device: 0, the API's error code, or -1 for an HTTP
// error without one.
long hilink_call(const char *method, const char *path, const char *body, http_answer *a);
const char *hilink_token();	// the one the next POST carries
// Text as the content of an XML element, into out: its length, or 0 when
// it does not fit.
size_t hilink_escaped(const char *s, char *out, size_t size);

/* hilink_login.cpp */
// The URL as it is shown, without its user; the user and the password as
// the URL, USSDQ_PASSWORD and netrc give them. A password in the URL ends
// the run.
const char *hilink_credentials(const char *url);
// After a session is opened: its login, where the device asks for one and
// a password is known. A refusal ends the run.
void hilink_log_in();
// The logout made ready for a handler, for this session and token.
void hilink_ready_logout(const http_peer *peer, const char *cookie, const char *token);
void hilink_answered(bool yes);	// whether an answer is in, for the logout's warning
// The logout, where a login went through: async-signal-safe.
void hilink_let_go();
// A ready-made request on a connection of its own, its answer read for at
// most 1 s: async-signal-safe. Whether the device took it.
bool hilink_send_now(const http_peer *peer, const char *msg, size_t len);
