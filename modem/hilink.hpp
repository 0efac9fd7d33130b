// USSD through the web API of Huawei's HiLink devices (sticks that are
// routers, and pocket routers): a session and a rotating token fetched
// from the device, the request sent as XML to /api/ussd/send, and the
// network's answer read from /api/ussd/get once it has come.
#pragma once

#include <stddef.h>

struct http_peer;
struct mode_ops;
struct utf8_out;

/* xml.cpp */
// The content of the first element of this name in doc (up to its NUL),
// as it stands, and its length; null when there is none.
const char *xml_element(const char *doc, const char *name, size_t *len);
// n bytes of XML text appended to out with the references of characters
// read (&amp; &lt; &gt; &quot; &apos; &#N; &#xN;) and surrogate pairs
// joined; bytes that are not UTF-8, and references to no character,
// become U+FFFD.
void xml_text(const char *s, size_t n, utf8_out *out);

/* hilink.cpp */
// Whether a port names a device by URL: http:// or https://, in any case.
bool is_url(const char *port);
// http://HOST[:PORT][/], HOST an IPv4 address, an IPv6 address in brackets
// or a name: null, or why it cannot be reached.
const char *hilink_parse_url(const char *url, http_peer *to);
// -l: the device's model (its DeviceName) at url; false when it gave none.
bool hilink_model(const char *url, char *model, size_t size);

// The row of the mode (see modem/modes.hpp).
extern const mode_ops hilink_mode;
