// The modes: one table, a row per mode, each reached by its
// name. A run goes through a row's entry points alone and keeps its own
// state (the mode it is in, whether a request is out); what a mode needs
// beyond the entry points it keeps to itself, in its own file.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "coding/charsets.hpp"

// What the run asks of a mode; set_up is given it and keeps what it needs.
struct ussd_job {
	const char *request;		// null under -c
	const char *const *replies;	// -r, in order
	size_t reply_count;
	bool port_given;		// -p was given; else port is the built-in one
	bool modern;			// the modern run; else the classic one, byte for byte
};

// An answer of the network, as every mode gives it: its octets and how to
// read them, and beside them the text exactly as it came.
struct ussd_answer {
	int status;		// <m> of +CUSD (3GPP TS 27.007), 0 to 5; -1: the mode cannot tell
	int dcs;		// the data coding scheme; -1: none said
	charset set;		// how the octets are read
	const uint8_t *octets;	// null: no text
	size_t len;
	// The text as it came: -j's raw, and what the classic run prints; in
	// ISO 8859-1 unless set is utf8.
	const char *raw;
	size_t raw_len;
	const char *shown;	// what -v shows the answer as before it is read; null: nothing
};

// What -l learns of a port in a mode, each name whole.
struct port_finding {
	bool busy;		// another program holds it
	char maker[256], model[256], mode[8];
};

struct mode_ops {
	const char *name = nullptr;	// as -m takes it and -j shows it
	bool named = false;		// -m takes it; the classic run is the one it does not
	bool keeps = false;		// -k can keep a session it leaves waiting
	bool schemes = false;		// its answers have a scheme, which -s may overrule
	// The request's coding is learnt at set-up (auto's AT modes): what
	// cannot go is refused after it; else before the modem is touched.
	bool codes_late = false;
	bool hands_over = false;	// a port another mode claims goes to that mode (auto)
	// Whether auto should take this mode for port rather than speak AT on
	// it; null: auto never does.
	bool (*claims)(const char *port) = nullptr;
	// Whether port, which no mode claims, is a device of this mode's kind
	// nonetheless (one of frames whose driver is none of ours), which auto
	// must not speak AT on; null: none is.
	bool (*kind_of)(const char *port) = nullptr;
	// Reaches the modem and readies it; the mode the run goes on in (auto
	// answers with the one it chose).
	const mode_ops *(*set_up)(const mode_ops *self, const ussd_job *job) = nullptr;
	const char *(*refusal)(const char *text) = nullptr;	// why it cannot go; null: it can
	// Sends the request (first) or a reply and takes its answer into a:
	// the mode the run goes on in, or null, with the modem's word in
	// refusal, when it was refused.
	const mode_ops *(*send)(const char *text, bool first, ussd_answer *a, char *refusal,
	    size_t size) = nullptr;
	bool (*end_session)(bool limited) = nullptr;	// false: not confirmed
	// The same from a handler or on the way out of a failed run: async-
	// signal-safe.
	void (*end_session_now)() = nullptr;
	// Gives back what set_up took, on every way out of a run, after any
	// end_session_now; may be null. Async-signal-safe.
	void (*let_go)() = nullptr;
	// What the modem still owes, read away after the watchdog fired, so
	// that it cannot reach the next run; may be null. Async-signal-safe.
	void (*drain_now)() = nullptr;
	// -l: what port says of itself in this mode, in a child of its own
	// under an alarm; false when it gave no answer. Null: -l probes in
	// another mode.
	bool (*probe)(port_finding *f) = nullptr;
	// The name messages give the modem once the run is set up, where it
	// is not the port as given (the modem's own port, when none was given;
	// a URL without its user); null, or null returned: the port.
	// Async-signal-safe.
	const char *(*called)() = nullptr;
};

// The rows, each defined in its mode's own file. classic_run is the run
// with no option beyond -p, -u, -t and -v, which -m does not name; auto
// takes qmi for a device whose driver is qmi_wwan, mbim for cdc_mbim,
// hilink for a URL and mm for a port that ModemManager holds.
extern const mode_ops classic_run, packed_mode, text_mode, ucs2_mode, auto_mode;
extern const mode_ops mm_mode, qmi_mode, mbim_mode, hilink_mode;

/* modes.cpp */
// The rows this build has, in order, ending with null.
extern const mode_ops *const modes[];
const mode_ops *mode_named(const char *name);	// one -m names; null: none such
// A build with a mode of frames on /dev/cdc-wdmN (QMI, MBIM) looks for such
// devices; one without leaves them to the serial mode, which refuses them.
extern const bool frames_built;
bool mode_left_out(const char *name);		// a mode of other builds, not of this one
// Why m cannot send the job's request or one of its replies; null: it can.
const char *job_refusal(const mode_ops *m, const ussd_job *job);
// Whether m asks its modem why a request failed, in this build.
bool mode_asks_why(const mode_ops *m);
// Asks the modem of run mode m, its session ended, why the request could
// not work, before deadline: the reason, into buf, or null when none holds
// or the modem could not be asked.
const char *mode_why(const mode_ops *m, int64_t deadline, char *buf, size_t size);
// A monotonic clock, in milliseconds; deadlines are in it. The frames'
// link declares it too, for the files that include that alone.
int64_t now_ms();	// NOLINT(readability-redundant-declaration)
