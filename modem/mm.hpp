// USSD through ModemManager on the system bus: the modem is found by its
// ports, and the request, the replies and the session's end are method
// calls on its Ussd interface. Initiate and Respond wait for the network
// as long as -t lets them; the other calls have no time limit of their
// own, and the run's watchdog covers them.
#pragma once

#include <stddef.h>
#include <stdint.h>

/* mm.cpp */
// Connects to the system bus and finds the modem by port (the last
// component of port matched against the last component of each entry of
// the modem's Ports) when port_given, else the only modem. Ends the run
// (errx, status 1) with "ModemManager is not running", "no modem managed
// by ModemManager", "several modems; name one with -p" or "PORT: not a
// port of a modem ModemManager manages".
void mm_open(const char *port, bool port_given);
extern char mm_path[256];		// the object path of the modem found
// Whether ModemManager runs and manages a modem with this port; never ends
// the run, and prints nothing without -v.
bool mm_manages(const char *port);
uint32_t mm_state();			// the Ussd interface's State property
// For the questions of a failed run: the number property name of the
// modem's interface iface (".Modem" or ".Modem.Modem3gpp" after
// ModemManager's name); -1, never ending the run, when it gave none.
int64_t mm_number(const char *iface, const char *name);
// Initiate or Respond ("Initiate"/"Respond") with text (UTF-8): true with
// the answer (UTF-8, invalid sequences replaced by U+FFFD) in answer; false
// with "NAME: MESSAGE" of the D-Bus error reply in refusal. With text null,
// a call without argument (Cancel), answer untouched.
bool mm_call(const char *method, const char *text, char *answer, size_t size,
    char *refusal, size_t rsize);
bool mm_cancel(char *refusal, size_t rsize);	// Cancel(); false with the error as above
// For the watchdog and signal handlers: writes a ready-made Cancel() call
// (built by mm_open) to the bus and reads its reply for at most 1 s, with
// only write, poll and read. Does nothing before mm_open.
void mm_end_session_now();

// Ussd's State while the network waits for the user's reply.
inline constexpr uint32_t mm_user_response = 3;

