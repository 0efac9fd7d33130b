// D-Bus messages, written and read in buffers the caller owns, and a
// connection to a bus over a unix socket. The writer and the reader touch
// nothing but their buffers, so the fake ModemManager and a fuzzer use them
// as the tool does; every read is checked against the end of its buffer,
// and a message that breaks the rules only makes the reader say "bad".
#pragma once

#include <stddef.h>
#include <stdint.h>

enum dbus_type : uint8_t { dbus_call_msg = 1, dbus_return_msg, dbus_error_msg, dbus_signal_msg };

// Header field codes.
enum dbus_field : uint8_t {
	df_path = 1, df_interface, df_member, df_error_name, df_reply_serial,
	df_destination, df_sender, df_signature
};

/* dbus.cpp: the writer */
// A message being written. Values are aligned from the start of buf, which
// is where the message starts. A value that does not fit sets full, and
// dw_end then gives 0.
struct dwriter {
	uint8_t *buf;
	size_t size, len;
	bool big;	// big-endian
	bool full;
	size_t body;	// where the body starts, once dw_body has been called
};
void dw_begin(dwriter *w, uint8_t *buf, size_t size, bool big, dbus_type type, uint32_t serial);
void dw_field(dwriter *w, dbus_field code, const char *value);	// any field but the reply serial
void dw_reply_serial(dwriter *w, uint32_t serial);
void dw_body(dwriter *w);		// the fields are done
size_t dw_end(dwriter *w);		// the length of the whole message, 0 if it did not fit
void dw_align(dwriter *w, size_t n);
void dw_byte(dwriter *w, uint8_t v);
void dw_u32(dwriter *w, uint32_t v);	// u, i, b
void dw_str(dwriter *w, char type, const char *s);	// s, o or g
void dw_variant(dwriter *w, const char *sig);	// then the value of that type
// An array: its length's place, to be given to dw_array_end with the
// alignment of its elements.
size_t dw_array(dwriter *w, size_t align);
void dw_array_end(dwriter *w, size_t at, size_t align);

/* dbus.cpp: the reader */
struct dbus_header {
	bool big;
	uint8_t type, flags;
	uint32_t serial, reply_serial;
	// The fields but the reply serial, by their codes: strings in the
	// message, ending in its own NUL; "" when absent.
	const char *field[df_signature + 1];
	size_t body, body_len;	// where the body starts, and its length
};
// Given the first 16 bytes of a message, its whole length; 0 when they
// cannot start one.
size_t dbus_length(const uint8_t *msg);
bool dbus_parse(const uint8_t *msg, size_t len, dbus_header *h);

// A walk over values by their signature: over a body, an array's elements,
// a struct's fields or a variant's value. bad is set for good at the first
// error, and every read then gives 0 or "".
struct dreader {
	const uint8_t *msg;	// the message, for alignment and bounds
	size_t pos, end;
	const char *sig, *sig_end, *at;	// the signature walked, and the next type in it
	bool big, bad;
	bool array;	// the walk is over an array's elements, sig each one's type
	int depth;
};
void dr_begin(dreader *r, const uint8_t *msg, const dbus_header *h);
char dr_peek(const dreader *r);		// the next type, '\0' at the end
bool dr_more(dreader *r);		// the walk has another value
uint32_t dr_u32(dreader *r);		// u, i, b, or y widened
const char *dr_str(dreader *r);		// s, o or g
void dr_skip(dreader *r);		// one value of any type
// Steps into the array, struct, dict entry or variant that comes next; the
// inner walk must end with dr_leave.
void dr_enter(dreader *r, dreader *in);
void dr_leave(dreader *r, dreader *in);	// the rest of in skipped

/* dbus.cpp: the connection */
// Connects to the first usable unix socket of an address list (null: the
// system bus's, from DBUS_SYSTEM_BUS_ADDRESS or else the usual socket)
// and authenticates, without Hello. The descriptor, or -1 with errno set.
int dbus_connect(const char *list);
// What dbus_read gives instead of a message's length.
inline constexpr long dbus_closed = 0, dbus_read_error = -1, dbus_too_big = -2,
    dbus_no_message = -3;
// Reads one message into buf, of 16 bytes at least: its length, dbus_closed
// when the peer closed the connection, dbus_read_error (errno), dbus_too_big
// when it is larger than size, dbus_no_message when it is not a message.
long dbus_read(int fd, uint8_t *buf, size_t size);
bool dbus_write(int fd, const uint8_t *msg, size_t len);
