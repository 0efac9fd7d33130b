// USSD through the web API of Huawei's HiLink devices (sticks that are
// routers, and pocket routers): a session and a rotating token fetched
// from the device, the request sent as XML to /api/ussd/send, and the
// network's answer read from /api/ussd/get once it has come.
#pragma once

#include <signal.h>
#include <stddef.h>

struct http_peer;
struct mode_ops;

/* hilink.cpp */
// Whether a port names a device by URL: http:// or https://, in any case.
bool is_url(const char *port);
// http://HOST[:PORT][/], HOST an IPv4 address, an IPv6 address in brackets
// or a name: null, or why it cannot be reached.
const char *hilink_parse_url(const char *url, http_peer *to);
// The host as the last URL taken names it: no port, no brackets.
extern char hilink_host[256];
// The name the messages give the device: its URL without its user.
const char *hilink_name();
// Ends the run: "NAME: why".
[[noreturn]] void hilink_fail(const char *why);
// Whether a and b are the same in their first n characters (up to a NUL),
// ASCII letters in either case.
bool hilink_same(const char *a, const char *b, size_t n);

// The first element of that name in the last answer, as xml_element finds
// it, and the number it starts with, as xml_number reads it.
const char *hilink_element(const char *name, size_t *n);
long hilink_number(const char *name, long none);
// The API's error code that refused the run's last request; 0: none.
extern long hilink_refused;
// How a request is made: a failed exchange does not end the run (the
// questions of a failed run), a longer body is cut rather than refused.
enum : int { hilink_soft = 1, hilink_cut = 2 };
// One request to the device, a GET, or a POST where there is a body (the
// content of its XML request), with the run's session and, for a POST, its
// token: 0, the API's error code, or -1 for an HTTP error without one.
long hilink_call(const char *path, const char *body = nullptr, int how = 0);
const char *hilink_token();	// the one the next POST carries
// Text as the content of an XML element, into out: its length, or 0 when
// it does not fit.
size_t hilink_escaped(const char *s, char *out, size_t size);
// Set once a login went through: every way out then logs out.
extern volatile sig_atomic_t hilink_logged_in;

/* hilink_login.cpp */
// The device the port's URL names, into peer, and the user and the
// password as the URL, USSDQ_PASSWORD and netrc give them; the peer's name
// the URL as it is shown, without its user. Null, or why the device cannot
// be reached; a password in the URL ends the run.
const char *hilink_credentials(http_peer *peer);
// After a session is opened: its login, where the device asks for one and
// a password is known. A refusal ends the run.
void hilink_log_in();
