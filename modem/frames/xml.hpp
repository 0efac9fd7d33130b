// As much XML as a device's web API answers in: an element's content found
// by its name, and text with its references read.
#pragma once

#include <stddef.h>

struct utf8_out;

/* xml.cpp */
// The content of the first element of this name in doc (up to its NUL),
// as it stands, and its length; null when there is none.
const char *xml_element(const char *doc, const char *name, size_t *len);
// The number the first element of this name starts with: a minus, if any,
// and up to 9 digits; none where there is no such element or no digit.
long xml_number(const char *doc, const char *name, long none);
// n bytes of XML text appended to out with the references of characters
// read (&amp; &lt; &gt; &quot; &apos; &#N; &#xN;) and surrogate pairs
// joined; bytes that are not UTF-8, and references to no character,
// become U+FFFD.
void xml_text(const char *s, size_t n, utf8_out *out);
