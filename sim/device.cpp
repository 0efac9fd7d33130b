// The pseudo-terminal: its settings, command lines in, bytes out, hang-up.

#include "sim/modem.hpp"
#include "sim/syntax.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

// Longer command lines are dropped, as a modem's command buffer would.
constexpr std::size_t max_line = 4096;

// Command lines the device side may still echo back; older ones are forgotten.
constexpr std::size_t max_echoes = 64;

}

void modem::open_pty()
{
	auto fail = [this](const char *what) {
		std::string msg = std::string(what) + ": " + std::strerror(errno);
		close_pty();
		throw std::runtime_error(msg);
	};

	master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
	if (master_ < 0)
		fail("posix_openpt");
	if (::fcntl(master_, F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(master_, F_SETFL, O_NONBLOCK) != 0)
		fail("fcntl");
	if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
		fail("grantpt");
	char name[128];
	if (int e = ::ptsname_r(master_, name, sizeof name); e != 0) {
		errno = e;
		fail("ptsname_r");
	}
	path_ = name;
	if (!opts_.qmi && !opts_.mbim.on) {
		slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
		if (slave_ < 0)
			fail(name);
	}
	if (opts_.vmin > 255 || opts_.vtime > 255) {
		errno = EINVAL;
		fail("vmin/vtime");
	}
	// The master's settings are the device side's.
	if (opts_.raw || opts_.vmin >= 0 || opts_.vtime >= 0) {
		termios t;
		if (::tcgetattr(master_, &t) != 0)
			fail("tcgetattr");
		if (opts_.raw)
			::cfmakeraw(&t);
		if (opts_.vmin >= 0)
			t.c_cc[VMIN] = static_cast<cc_t>(opts_.vmin);
		if (opts_.vtime >= 0)
			t.c_cc[VTIME] = static_cast<cc_t>(opts_.vtime);
		if (::tcsetattr(master_, TCSANOW, &t) != 0)
			fail("tcsetattr");
	}
}

// Reads what arrives within timeout_ms and adds the non-empty lines it
// completes; false once nobody can write to the device any more.
bool modem::receive(int timeout_ms, std::vector<std::string> &lines)
{
	pollfd p[3] = {{master_, POLLIN, 0}, {bus_fd_, POLLIN, 0}, {http_fd_, POLLIN, 0}};
	int r = ::poll(p, 3, timeout_ms);
	if (r <= 0)
		return true;
	if (http_fd_ >= 0 && p[2].revents != 0)
		hilink_serve();
	if (bus_fd_ >= 0 && p[1].revents != 0)
		bus_receive();
	if (p[0].revents == 0)
		return true;
	char buf[4096];
	ssize_t n = ::read(master_, buf, sizeof buf);
	if (n < 0 && (errno == EAGAIN || errno == EINTR))
		return true;
	if (n < 0 && errno == EIO && slave_ < 0) {
		// Nobody has the device of frames open now; the next run may.
		nap(10);
		return true;
	}
	if (n <= 0) {
		// Nobody holds the device side any more, which our own descriptor
		// should prevent; there is nothing left to serve.
		close_pty();
		hung_up_ = true;
		return false;
	}
	if (opts_.qmi) {
		qmi_receive(std::string_view(buf, static_cast<std::size_t>(n)));
		return true;
	}
	if (opts_.mbim.on) {
		mbim_take(std::string_view(buf, static_cast<std::size_t>(n)));
		return true;
	}
	for (char c : std::string_view(buf, static_cast<std::size_t>(n))) {
		if (c == '\r' || c == '\n') {
			std::string line = std::exchange(pending_, {});
			if (!line.empty() && !std::exchange(overlong_, false))
				lines.push_back(std::move(line));
		} else if (pending_.size() < max_line) {
			pending_ += c;
		} else {
			overlong_ = true;
		}
	}
	return true;
}

// Whether a command line is the device's echo of one we sent; it is
// forgotten then.
bool modem::echoed(const std::string &cmd)
{
	for (auto e = echoes_.begin(); e != echoes_.end(); ++e) {
		if (*e == cmd) {
			echoes_.erase(e);
			return true;
		}
	}
	return false;
}

void modem::put(std::string_view bytes)
{
	if (master_ < 0)
		return;
	note_echo(bytes);
	while (!bytes.empty()) {
		ssize_t n = ::write(master_, bytes.data(), bytes.size());
		if (n > 0) {
			bytes.remove_prefix(static_cast<std::size_t>(n));
			continue;
		}
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0 && errno != EAGAIN)
			return;
		// The device's input is full: the tool stopped reading or has gone.
		// Give up after a second rather than hang the modem.
		pollfd p{master_, POLLOUT, 0};
		int r = 0;
		for (int waited = 0; r == 0 && waited < 1000 && !stop_; waited += 50)
			r = ::poll(&p, 1, 50);
		if (r == 0 || (r < 0 && errno != EINTR))
			return;
	}
}

// While the device side echoes (a terminal left in its usual settings), all
// we send comes back to us. Command lines in it, above all our own echo of
// the tool's commands, must not be answered again, or the modem would go on
// answering itself for ever.
void modem::note_echo(std::string_view bytes)
{
	termios t;
	if (::tcgetattr(master_, &t) != 0 || !(t.c_lflag & ECHO)) {
		sent_line_.clear();
		return;
	}
	for (char c : bytes) {
		if (c != '\r' && c != '\n') {
			if (sent_line_.size() < max_line)
				sent_line_ += c;
			continue;
		}
		if (std::size_t at = find_at(sent_line_); at != std::string::npos) {
			if (echoes_.size() == max_echoes)
				echoes_.erase(echoes_.begin());
			echoes_.push_back(sent_line_.substr(at));
		}
		sent_line_.clear();
	}
}

// A hangup discards whatever the device has not read yet, so give the tool up
// to a second to read what was sent before it; otherwise a script of "send,
// hang up" would deliver its last bytes only now and then.
void modem::drain()
{
	for (int waited = 0; waited < 1000 && !stop_; waited += 10) {
		nap(10);
		int queued = 0;
		if (::ioctl(slave_, TIOCINQ, &queued) != 0 || queued == 0)
			return;
	}
}

void modem::hang_up()
{
	drain();
	close_pty();
	hung_up_ = true;
}

// Sleeps in short slices so that stop() need not wait out a long pause.
void modem::nap(int ms)
{
	using namespace std::chrono;
	auto end = steady_clock::now() + milliseconds(ms);
	for (auto now = steady_clock::now(); !stop_ && now < end; now = steady_clock::now())
		std::this_thread::sleep_for(std::min<steady_clock::duration>(end - now, 10ms));
}

void modem::play_in_sysfs(const std::string &root, const std::string &subsystem,
    const std::string &word) const
{
	struct stat st;
	if (::stat(path(), &st) != 0)
		throw std::runtime_error(path_ + ": " + std::strerror(errno));
	const std::string name = path_.substr(path_.rfind('/') + 1),
	    node = root + "/devices/fake/" + name, iface = root + "/devices/fake/usb-" + name,
	    number = root + "/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
		std::to_string(minor(st.st_rdev)),
	    cls = root + "/class/" + subsystem, driver = root + "/bus/usb/drivers/" + word;
	if (std::system(("rm -rf '" + node + "' '" + iface + "' '" + number + "' && mkdir -p '" +
	    root + "/dev/char' '" + node + "' '" + iface + "' '" + cls + "' '" + driver + "'").c_str()) != 0)
		throw std::runtime_error("cannot make " + node);
	bool ok = ::symlink(node.c_str(), number.c_str()) == 0 &&
	    ::symlink(cls.c_str(), (node + "/subsystem").c_str()) == 0 &&
	    ::symlink(iface.c_str(), (node + "/device").c_str()) == 0;
	auto write = [](const std::string &file, const std::string &text) {
		FILE *f = std::fopen(file.c_str(), "w");
		bool written = f != nullptr && std::fputs(text.c_str(), f) >= 0;
		return f != nullptr && std::fclose(f) == 0 && written;
	};
	if (ok && !word.empty() && subsystem == "wwan")
		ok = write(node + "/type", word + "\n");
	else if (ok && !word.empty())
		ok = ::symlink(driver.c_str(), (iface + "/driver").c_str()) == 0 &&
		    write(iface + "/uevent", "DEVTYPE=usb_interface\nDRIVER=" + word +
			"\nINTERFACE=255/255/255\n");
	if (!ok)
		throw std::runtime_error(number + ": " + std::strerror(errno));
}

void modem::close_pty()
{
	if (master_ >= 0)
		::close(master_);
	if (slave_ >= 0)
		::close(slave_);
	master_ = slave_ = -1;
}

}
