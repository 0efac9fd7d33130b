#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "modem/frames/link.hpp"
#include "modem/frames/sysfs.hpp"

// The major and minor numbers of a device, as the C library packs them;
// its own functions for them would be two more to import. Linux's numbers
// (12 bits, 20 bits) all lie in the low 32 bits.
static unsigned
dev_major(dev_t d)
{
	return static_cast<unsigned>(d) >> 8 & 0xfff;
}

static unsigned
dev_minor(dev_t d)
{
	return (static_cast<unsigned>(d) & 0xff) | (static_cast<unsigned>(d) >> 12 & 0xfff00);
}

// The path of the file name under the directory that root (sysfs) keeps
// for the character device st by its number, into buf: a symlink or a udev
// name leads to the same directory as the device itself.
[[gnu::noinline]] static void
char_path(char *buf, size_t size, const char *root, const struct stat *st, const char *name)	// NOLINT(bugprone-easily-swappable-parameters)
{
	snprintf(buf, size, "%s/dev/char/%u:%u/%s", root, dev_major(st->st_rdev), dev_minor(st->st_rdev),
	    name);
}

// The start of the file at path into buf (size bytes, its NUL among them),
// read whole where it fits; nothing where it cannot be read. path may lie
// in buf: it is opened before anything is read.
static void
read_start(const char *path, char *buf, size_t size)
{
	const int fd = open(path, O_RDONLY | O_CLOEXEC);
	const ssize_t n = fd < 0 ? 0 : read(fd, buf, size - 1);
	close(fd);
	buf[n > 0 ? n : 0] = '\0';
}

// What names a mode: a WWAN port's type, or the driver of a device that is
// no terminal, as its interface's uevent says it; the first of these found
// in the two files, each read as lines with a line feed before the first.
// Any other is no modem to us (a WWAN port for diagnostics or firmware,
// cdc_wdm alone): "".
static const char *
kernel_mode(const char *root, const struct stat *st)
{
	// The words one after another, in the order they are looked for, and
	// by each the start of its mode in modes.
	static constexpr char words[] = "\nAT\n\0\nDRIVER=huawei_cdc_ncm\n\0\nQMI\n\0\nMBIM\n\0"
	    "\nDRIVER=qmi_wwan\n\0\nDRIVER=qmi_wwan_q\n\0\nDRIVER=cdc_mbim\n";
	static constexpr char modes[] = "at\0qmi\0mbim";
	static constexpr unsigned char mode_at[] = {0, 0, 3, 7, 3, 3, 7};
	static constexpr const char *files[] = {"type", "device/uevent"};
	char path[128];
	char text[1024];
	size_t len = 0;

	for (const char *name : files) {
		char_path(path, sizeof path, root, st, name);
		text[len++] = '\n';
		read_start(path, text + len, 511);
		len += strlen(text + len);
	}
	const char *w = words;
	for (const unsigned char m : mode_at) {
		if (strstr(text, w) != nullptr)
			return modes + m;
		w += strlen(w) + 1;
	}
	return "";
}

const char *sysfs_root = "/sys";

bool
at_port(int fd)
{
	struct stat st;

	return fstat(fd, &st) == 0 && *kernel_mode(sysfs_root, &st) == 'a';
}

// Told from what the kernel says of the device, without opening it: an
// open and a close of a serial port can drop its DTR and hang the modem
// up, and ModemManager's ports are not ours to touch. A device sysfs does
// not know (a pseudo-terminal) is taken for a terminal; a path that is
// not there is left for the open to report. The root is sysfs's mount
// point, a literal but in the tests, which give their own tree.
const char *
device_mode(const char *root, const char *path)	// NOLINT(bugprone-easily-swappable-parameters)
{
	struct stat st;
	char where[128];
	char link[256];

	if (stat(path, &st) != 0)
		return nullptr;
	if (!S_ISCHR(st.st_mode))
		return "";
	char_path(where, sizeof where, root, &st, "subsystem");
	// readlink by its system call: the C library's own would be one more
	// to import.
	const long n = syscall(SYS_readlinkat, AT_FDCWD, where, link, sizeof link - 1);
	if (n <= 0)
		return nullptr;
	link[n] = '\0';
	const char *subsystem = strrchr(link, '/');
	if (strcmp(subsystem != nullptr ? subsystem + 1 : link, "tty") == 0)
		return nullptr;
	return kernel_mode(root, &st);
}

bool
is_terminal(const char *path)
{
	return device_mode("/sys", path) == nullptr;
}

bool
speaks_at(const char *path)
{
	const char *w = device_mode("/sys", path);

	return w == nullptr || *w == 'a';
}

const char *
frames_way(const char *port)
{
	const char *w = device_mode("/sys", port);

	return w != nullptr && *w != 'a' && *w != '\0' ? w : nullptr;
}

// The entries of the directory at path, one name at a time, read without
// opendir, which would bring an allocator into a static build for this
// alone: false at the end, or when it cannot be read.
struct dir_walk {
	int fd;
	char buf[2048];
	size_t at, len;
};

[[gnu::noinline]] static bool
walk_open(dir_walk *w, const char *path)
{
	w->fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	w->at = w->len = 0;
	return w->fd >= 0;
}

static const char *
walk_next(dir_walk *w)
{
	for (;;) {
		if (w->at >= w->len) {
			const long n = syscall(SYS_getdents64, w->fd, w->buf, sizeof w->buf);
			if (n <= 0) {
				close(w->fd);
				return nullptr;
			}
			w->at = 0;
			w->len = static_cast<size_t>(n);
		}
		// A linux_dirent64: inode, offset, then the record's length, its
		// type and the name.
		uint16_t reclen;
		memcpy(&reclen, w->buf + w->at + 16, sizeof reclen);
		const char *name = w->buf + w->at + 19;
		w->at += reclen;
		if (name[0] != '.')
			return name;
	}
}

// Whether pid waits for a lock on the file of st, as /proc/locks shows a
// waiter: behind "->", the pid and the file as the kernel has always
// written them, "%d %02x:%02x:%lu " (the device's major and minor numbers
// in hex, the inode). The file is read a line at a time, however long it
// is; the kernel ends each with a line feed, and writes none so long that
// the room for one would cut it.
static bool
waits_for_lock(long pid, const struct stat *st)
{
	char chunk[512];
	char line[256];
	char file[64];
	size_t len = 0;
	bool waits = false;
	const int fd = open("/proc/locks", O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return false;
	snprintf(file, sizeof file, " %ld %02x:%02x:%llu ", pid, dev_major(st->st_dev), dev_minor(st->st_dev),
	    static_cast<unsigned long long>(st->st_ino));
	for (ssize_t n; !waits && (n = read(fd, chunk, sizeof chunk)) > 0;) {
		for (ssize_t i = 0; i < n && !waits; i++) {
			if (chunk[i] != '\n' && len < sizeof line - 1) {
				line[len++] = chunk[i];
				continue;
			}
			line[len] = '\0';
			len = 0;
			const char *p = strstr(line, " -> ");
			waits = p != nullptr && strstr(p, file) != nullptr;
		}
	}
	close(fd);
	return waits;
}

static long
holder_now(const struct stat *me, char *comm, size_t size)
{
	static dir_walk procs;
	static dir_walk fds;
	char path[64];

	if (!walk_open(&procs, "/proc"))
		return 0;
	for (const char *name; (name = walk_next(&procs)) != nullptr;) {
		// A process's entry is its pid; every other name reads as 0.
		long pid = 0;
		for (const char *c = name; *c >= '0' && *c <= '9'; c++)
			pid = pid * 10 + (*c - '0');
		if (pid <= 0 || pid == getpid())
			continue;
		snprintf(path, sizeof path, "/proc/%ld/fd", pid);
		bool holds = false;
		if (!walk_open(&fds, path))
			continue;
		for (const char *fd; (fd = walk_next(&fds)) != nullptr;) {
			struct stat st;
			snprintf(path, sizeof path, "/proc/%ld/fd/%s", pid, fd);
			holds = holds || (stat(path, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == me->st_rdev);
		}
		if (!holds || waits_for_lock(pid, me))
			continue;
		close(procs.fd);
		snprintf(path, sizeof path, "/proc/%ld/comm", pid);
		read_start(path, comm, size);
		comm[strcspn(comm, "\n")] = '\0';
		return pid;
	}
	return 0;
}

long
device_holder(int fd, char *comm, size_t size)
{
	struct stat me;

	if (fstat(fd, &me) != 0 || !S_ISCHR(me.st_mode))
		return 0;
	// Another run opens the device before it waits for the lock: one seen
	// holding it may be on its way to the lock, and is asked again.
	if (holder_now(&me, comm, size) == 0)
		return 0;
	poll(nullptr, 0, 100);
	return holder_now(&me, comm, size);
}

bool
of_frames(const char *port)
{
	return !speaks_at(port);
}
