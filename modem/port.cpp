#include <err.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "front/settings.hpp"
#include "modem/link.hpp"

int modem_fd = -1;
FILE *modem_in;
FILE *modem_out;

static char drain_buf[256];

void
port_setup()
{
	struct termios tty_settings;

	if (verbose)
		warnx("opening port %s", port);
	if ((modem_fd = open(port, O_RDWR)) < 0)
		err(1, "%s", port);
	if (verbose)
		warnx("port opened");

	// Only line buffering is switched off; speed, echo and the rest are
	// left as whoever set up the port wanted them.
	if (tcgetattr(modem_fd, &tty_settings) != 0)
		err(1, "%s: tcgetattr", port);
	tty_settings.c_lflag &= ~static_cast<tcflag_t>(ICANON);
	if (tcsetattr(modem_fd, TCSANOW, &tty_settings) != 0)
		err(1, "%s: tcsetattr", port);

	if ((modem_in = fdopen(modem_fd, "r")) == nullptr)
		err(1, "fdopen");
	if ((modem_out = fdopen(modem_fd, "w")) == nullptr)
		err(1, "fdopen");

	// Whatever the modem said before we came must not be taken for an
	// answer to our commands.
	int flags = fcntl(modem_fd, F_GETFL);
	fcntl(modem_fd, F_SETFL, flags | O_NONBLOCK);
	while (read(modem_fd, drain_buf, sizeof drain_buf) > 0)
		continue;
	fcntl(modem_fd, F_SETFL, flags);
	fflush(modem_in);
}
