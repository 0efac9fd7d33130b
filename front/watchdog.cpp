#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include "front/settings.hpp"
#include "modem/link.hpp"

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
	static constexpr char end_session[] = "AT+CUSD=2\r\n";

	// A request that has gone out may still be answered; the modem must
	// drop that answer rather than hand it to whoever asks next. The write
	// must not block: a port that takes nothing would hold us here for ever.
	if (request_out && modem_fd >= 0) {
		fcntl(modem_fd, F_SETFL, fcntl(modem_fd, F_GETFL) | O_NONBLOCK);
		ssize_t r = write(modem_fd, end_session, sizeof end_session - 1);
		(void)r;
	}
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
