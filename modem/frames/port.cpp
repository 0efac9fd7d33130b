#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "front/settings.hpp"
#include "modem/frames/link.hpp"
#include "modem/frames/sysfs.hpp"

const dialogue *dlg = &classic_dialogue;
int modem_fd = -1;

static char drain_buf[256];

// Two runs reading one device would take each other's "OK" and answers.
// Only runs (and programs) that lock the device wait for each other; the
// wait counts against the watchdog.
bool
lock_port(int fd, bool wait)
{
	int how = LOCK_EX | LOCK_NB;
	int r;

	// Asked without waiting first, then, where it is held and we are to
	// wait, waited for; flock by its system call, as kill is: the C
	// library's own would be one more to import.
	while ((r = static_cast<int>(syscall(SYS_flock, fd, how))) != 0) {
		if (errno == EINTR)
			continue;
		if (errno != EWOULDBLOCK || how == LOCK_EX)
			break;
		if (!wait)
			return false;
		if (verbose)
			warnx("waiting for %s: in use", port);
		how = LOCK_EX;
	}
	if (r != 0 && verbose)
		warn("%s: going on unlocked", port);
	return true;
}

// A program that set the exclusive flag (TIOCEXCL) reads the port's lines
// itself; root may open it all the same, and then each of the two loses
// the lines the other reads.
static bool
in_exclusive_use(int fd)
{
#ifdef TIOCGEXCL
	int excl = 0;

	return ioctl(fd, TIOCGEXCL, &excl) == 0 && excl != 0;
#else
	(void)fd;
	return false;
#endif
}

bool
port_in_exclusive_use(const char *path)
{
	// Only root may open a port in exclusive use at all.
	const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
	if (fd < 0)
		return errno == EBUSY;
	const bool excl = in_exclusive_use(fd);
	close(fd);
	return excl;
}

// A port left as Linux sets it up echoes what the modem says back into the
// modem, which reads it as commands and answers ERROR. Nothing may come
// between the modem's bytes and ours; the speed stays.
static void
make_raw(struct termios *t)
{
	t->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP |
	    INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
	t->c_oflag &= ~static_cast<tcflag_t>(OPOST);
	t->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
	t->c_cflag = (t->c_cflag & ~static_cast<tcflag_t>(CSIZE | PARENB)) | CS8;
	t->c_cc[VMIN] = 1;
	t->c_cc[VTIME] = 0;
}

// Started without a controlling terminal (cron, init, setsid), we must not
// take the port as one: its hang-up would kill us unheard.
static void
open_port()
{
	if (verbose)
		warnx("opening port %s", port);
	if ((modem_fd = open(port, O_RDWR | O_NOCTTY)) < 0)
		err(1, "%s", port);
}

// The port's settings t, made raw first where told so.
static void
set_port(struct termios *t, bool raw)
{
	if (raw)
		make_raw(t);
	if (tcsetattr(modem_fd, TCSANOW, t) != 0)
		err(1, "%s: tcsetattr", port);
}

bool
port_setup(const dialogue *d, bool wait)
{
	struct termios tty_settings;

	dlg = d;
	open_port();
	if (verbose)
		warnx("port opened");
	if (in_exclusive_use(modem_fd)) {
		if (!wait)
			return false;
		errx(1, "%s: in exclusive use by another program", port);
	}
	// A WWAN port of type AT, or the AT port of a stick that the kernel
	// drives as a network card, is no terminal and has no settings: the
	// modern run speaks AT on it as it is.
	const bool tty = tcgetattr(modem_fd, &tty_settings) == 0;
	if (!tty && !d->strict)
		err(1, "%s: tcgetattr", port);
	if (!tty && !at_port(modem_fd))
		errx(1, "%s: not a serial device", port);
	if (!lock_port(modem_fd, wait))
		return false;

	// Classic runs switch off only line buffering; speed, echo and the rest
	// are left as whoever set up the port wanted them.
	tty_settings.c_lflag &= ~static_cast<tcflag_t>(ICANON);
	if (tty)
		set_port(&tty_settings, d->raw);

	// Whatever the modem said before we came must not be taken for an
	// answer to our commands.
	struct pollfd p = {modem_fd, POLLIN, 0};
	while (poll(&p, 1, 0) > 0 && read(modem_fd, drain_buf, sizeof drain_buf) > 0)
		continue;
	return true;
}

// A QMI or MBIM device speaks frames, not lines, and is most often no
// terminal at all; a pseudo-terminal playing one is set raw. Its lock is
// taken before any holder is looked for: another run waiting for the lock
// has the device open too.
bool
device_setup(bool wait)
{
	struct termios t;

	open_port();
	if (!lock_port(modem_fd, wait))
		return false;
	// Another program reading the device would take the answers meant for
	// us, and we its: the device is refused, as a port in exclusive use is.
	char comm[32];
	if (const long pid = device_holder(modem_fd, comm, sizeof comm)) {
		if (!wait)
			return false;
		errx(1, "%s: in use by another program (%s, pid %ld)", port, shown(comm), pid);
	}
	if (tcgetattr(modem_fd, &t) == 0)
		set_port(&t, true);
	return true;
}
