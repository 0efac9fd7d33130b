#include <signal.h>
#include <string.h>
#include <unistd.h>

#include "front/settings.hpp"

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

	put(__progname, strlen(__progname));
	put(": ", 2);
	put(port, strlen(port));
	put(tail, sizeof tail - 1);
	_exit(1);
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
