#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "front/settings.hpp"
#include "modem/link.hpp"

// The signals that end a run from outside.
static constexpr int stops[] = {SIGTERM, SIGINT, SIGHUP};

static void
put(const char *s, size_t n)
{
	// Nothing can be done about a failing write to standard error here.
	ssize_t r = write(STDERR_FILENO, s, n);
	(void)r;
}

// A session that may be open is ended through the mode the run is in.
static void
end_session_now()
{
	if (request_out) {
		request_out = 0;
		way->end_now();
	}
}

// Runs asynchronously in the middle of any blocking call, so it uses only
// async-signal-safe functions and never the stdio streams.
void
timeout_handler(int)
{
	static constexpr char tail[] = ": Operation timed out\n";

	// A request that has gone out may still be answered; the modem must
	// drop that answer rather than hand it to whoever asks next, and a
	// command's result still to come must not reach the next run either.
	end_session_now();
	at_drain_now();
	put(__progname, strlen(__progname));
	put(": ", 2);
	put(port, strlen(port));
	put(tail, sizeof tail - 1);
	_exit(1);
}

// A run stopped from outside leaves the modem as a failed one does, then
// dies by the signal, so that whoever stopped it sees what they expect.
static void
stop_handler(int signo)
{
	sigset_t set;

	end_session_now();
	signal(signo, SIG_DFL);
	sigemptyset(&set);
	sigaddset(&set, signo);
	sigprocmask(SIG_UNBLOCK, &set, nullptr);
	raise(signo);
	// cppcheck-suppress unreachableCode
	_exit(1);	// not reached, unless the signal could not be raised
}

// Whatever ends the run once a request is out ends its session first:
// none of these handlers runs inside another.
static void
catch_signal(int signo, void (*handler)(int))
{
	struct sigaction sa = {};

	sa.sa_handler = handler;
	sigemptyset(&sa.sa_mask);
	sigaddset(&sa.sa_mask, SIGALRM);
	for (int s : stops)
		sigaddset(&sa.sa_mask, s);
	sigaction(signo, &sa, nullptr);
}

// A failure ends the run through exit, after its message.
static void
leave()
{
	sigset_t set;

	sigfillset(&set);
	sigprocmask(SIG_BLOCK, &set, nullptr);
	end_session_now();
}

void
arm_watchdog()
{
	catch_signal(SIGALRM, timeout_handler);
	for (int signo : stops) {
		struct sigaction old;
		// One that our parent ignores stays ignored.
		if (sigaction(signo, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
			catch_signal(signo, stop_handler);
	}
	atexit(leave);
	unblock_alarm();
	alarm(static_cast<unsigned>(timeout));
}

// The signal mask survives exec: a parent that blocks SIGALRM would
// otherwise switch the watchdog off without a word.
void
unblock_alarm()
{
	sigset_t set;

	sigemptyset(&set);
	sigaddset(&set, SIGALRM);
	sigprocmask(SIG_UNBLOCK, &set, nullptr);
}
