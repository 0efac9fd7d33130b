#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "modem/frames/link.hpp"
#include "modem/frames/sysfs.hpp"

const char *
way_by_driver(const char *root, const char *port)
{
	char path[256];
	char link[256];
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

// Told from what the kernel says of the device, without opening it: an
// open and a close of a serial port can drop its DTR and hang the modem
// up, and ModemManager's ports are not ours to touch. A device sysfs does
// not know (a pseudo-terminal) is taken for a terminal; a path that is
// not there is left for the open to report.
bool
is_terminal(const char *path)
{
	struct stat st;
	char where[64];
	char link[256];

	if (stat(path, &st) != 0)
		return true;
	if (!S_ISCHR(st.st_mode))
		return false;
	snprintf(where, sizeof where, "/sys/dev/char/%u:%u/subsystem", major(st.st_rdev),
	    minor(st.st_rdev));
	const ssize_t n = readlink(where, link, sizeof link - 1);
	if (n <= 0)
		return true;
	link[n] = '\0';
	const char *subsystem = strrchr(link, '/');
	return strcmp(subsystem != nullptr ? subsystem + 1 : link, "tty") == 0;
}

const char *
frames_way(const char *port)
{
	return is_terminal(port) ? nullptr : way_by_driver("/sys", port);
}

bool
of_frames(const char *port)
{
	return !is_terminal(port);
}
