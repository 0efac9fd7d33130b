#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "modem/link.hpp"

const char *
way_by_driver(const char *root, const char *port)
{
	char path[256], link[256];
	const char *name = strrchr(port, '/');

	snprintf(path, sizeof path, "%s/class/usbmisc/%s/device/driver", root,
	    name != nullptr ? name + 1 : port);
	const ssize_t n = readlink(path, link, sizeof link - 1);
	if (n <= 0)
		return nullptr;
	link[n] = '\0';
	const char *driver = strrchr(link, '/');
	driver = driver != nullptr ? driver + 1 : link;
	if (strcmp(driver, "qmi_wwan") == 0)
		return "qmi";
	if (strcmp(driver, "cdc_mbim") == 0)
		return "mbim";
	return nullptr;
}

bool
is_terminal(const char *path)
{
	struct termios t;
	const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);

	if (fd < 0)
		return true;
	const bool tty = tcgetattr(fd, &t) == 0;
	close(fd);
	return tty;
}
