#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <paths.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "front/settings.hpp"

// Cron, daemons and init scripts may start us with a standard descriptor
// closed; the port would then be opened in its place and the answer or the
// progress lines written into the modem. /dev/null is opened read-only, so
// that a write to a closed standard output still fails and is reported.
// A reader that went away must give a message and status 1, not a silent
// death by SIGPIPE. fcntl goes by its system call, as kill does: the C
// library's own would be one more to import.
void
safe_start()
{
	for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
		if (syscall(SYS_fcntl, fd, F_GETFD) >= 0 || errno != EBADF)
			continue;
		// Those below are open, so it takes the number fd.
		int null_fd = open(_PATH_DEVNULL, O_RDONLY);
		if (null_fd < 0)
			err(1, "%s", _PATH_DEVNULL);
	}
	catch_signal(SIGPIPE, SIG_IGN);
}
