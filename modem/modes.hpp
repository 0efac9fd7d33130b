// The ways to the modem: one table, a row per mode, each reached by its
// name. A run goes through a row's entry points alone and keeps its own
// state (the mode it is in, whether a request is out); what a mode needs
// beyond the entry points it keeps to itself, in its own file.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct utf8_out;

// What the run asks of a mode; set_up is given it and keeps what it needs.
struct ussd_job {
	const char *request;		// null under -c
	const char *const *replies;	// -r, in order
	size_t reply_count;
	bool port_given;		// -p was given; else port is the built-in one
};

// An answer of the network, as every mode gives it.
struct ussd_answer {
	int status;		// <m> of +CUSD (3GPP TS 27.007), 0 to 5; -1: the mode cannot tell
	int dcs;		// the data coding scheme; -1: none said
	const char *octets;	// the text as it came, shown as raw by -j; null: no text
	size_t len;
	bool utf8;		// octets are UTF-8 text; else each the ISO 8859-1 character of its number
};

struct mode_ops {
	const char *name;	// as -m takes it and -j shows it
	bool named;		// -m takes it; the classic run is the one it does not
	bool keeps;		// -k can keep a session it leaves waiting
	bool schemes;		// its answers have a scheme, which -s may overrule
	// Whether auto should take this mode for port rather than speak AT on
	// it; null: auto never does.
	bool (*claims)(const char *port);
	// Reaches the modem and readies it; the mode the run goes on in (auto
	// answers with the one it chose).
	const mode_ops *(*set_up)(const mode_ops *self, const ussd_job *job);
	const char *(*refusal)(const char *text);	// why it cannot go; null: it can
	// Sends the request (first) or a reply and takes its answer into a:
	// the mode the run goes on in, or null, with the modem's word in
	// refusal, when it was refused.
	const mode_ops *(*ask)(const char *text, bool first, ussd_answer *a, char *refusal,
	    size_t size);
	bool (*end_session)(bool limited);	// false: not confirmed
	// The same from a handler or on the way out of a failed run: async-
	// signal-safe.
	void (*end_session_now)();
	// Gives back what set_up took, on every way out of a run, after any
	// end_session_now; may be null. Async-signal-safe.
	void (*let_go)();
	// The answer's octets as UTF-8 into out, read by scheme dcs; false
	// when they cannot be read.
	bool (*read)(const char *octets, size_t len, int dcs, utf8_out *out);
};

/* modes.cpp */
// The rows this build has, in order, ending with null.
extern const mode_ops *const modes[];
const mode_ops *mode_named(const char *name);	// one -m names; null: none such
bool mode_left_out(const char *name);		// a mode of other builds, not of this one
// Why m cannot send the job's request or one of its replies; null: it can.
const char *job_refusal(const mode_ops *m, const ussd_job *job);
// After a failure's message, the session of run mode m is ended and its
// modem asked why the request could not work, for at most 2 s; one line
// says so when a reason holds. Nothing where m or this build asks nothing.
void mode_why(const mode_ops *m);
