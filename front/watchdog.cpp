#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "front/settings.hpp"
#include "modem/modes.hpp"

// The signals that end a run from outside.
static constexpr int stops[] = {SIGTERM, SIGINT, SIGHUP};

static void
put(const char *s, size_t n)
{
	// Nothing can be done about a failing write to standard error here.
	ssize_t r = write(STDERR_FILENO, s, n);
	(void)r;
}

// Runs asynchronously in the middle of any blocking call, so it uses only
// async-signal-safe functions and never the stdio streams.
void
timeout_handler(int)
{
	static constexpr char tail[] = ": Operation timed out\n";

	// A request that has gone out may still be answered; the modem must
	// drop that answer rather than hand it to whoever asks next, and a
	// command's result still to come must not reach the next run either:
	// the AT modes read it with the session's end, or here when no request
	// is out. Only the watchdog waits for it; a failure or a signal from
	// outside ends the run at once.
	const mode_ops *m = run_mode;
	give_back();
	if (m != nullptr && m->drain_now != nullptr)
		m->drain_now();
	put(__progname, strlen(__progname));
	put(": ", 2);
	const char *name = modem_name(m);
	put(name, strlen(name));
	put(tail, sizeof tail - 1);
	_exit(1);
}

// The signals whose handlers end a run.
static void
ending_signals(sigset_t *set)
{
	sigemptyset(set);
	sigaddset(set, SIGALRM);
	for (int s : stops)
		sigaddset(set, s);
}

static void
unblock(int signo)
{
	sigset_t set;

	sigemptyset(&set);
	sigaddset(&set, signo);
	sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

// Whatever ends the run once a request is out ends its session first:
// none of these handlers runs inside another.
void
catch_signal(int signo, void (*handler)(int))
{
	struct sigaction sa = {};

	sa.sa_handler = handler;
	ending_signals(&sa.sa_mask);
	sigaction(signo, &sa, nullptr);
}

// A run stopped from outside leaves the modem as a failed one does, then
// dies by the signal, so that whoever stopped it sees what they expect.
static void
stop_handler(int signo)
{
	give_back();
	catch_signal(signo, SIG_DFL);
	unblock(signo);
	// kill(2) by its number, to ourselves (the tool has one thread, where
	// that is raise): the C library's own would be one more to import.
	syscall(SYS_kill, getpid(), signo);
	// cppcheck-suppress unreachableCode
	_exit(1);	// not reached, unless the signal could not be raised
}

// A run ends through exit, after its answer or a failure's message; no
// handler may then give back a second time what this gives back.
static void
leave()
{
	sigset_t set;

	ending_signals(&set);
	sigprocmask(SIG_BLOCK, &set, nullptr);
	give_back();
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
	unblock(SIGALRM);
}
