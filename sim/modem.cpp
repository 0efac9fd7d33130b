#include "sim/modem.hpp"

#include "coding/septets.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

// Longer command lines are dropped, as a modem's command buffer would.
constexpr std::size_t max_line = 4096;

// Command lines the device side may still echo back; older ones are forgotten.
constexpr std::size_t max_echoes = 64;

std::size_t find_at(std::string_view line)
{
	for (std::size_t i = 0; i + 1 < line.size(); ++i)
		if ((line[i] == 'A' || line[i] == 'a') && (line[i + 1] == 'T' || line[i + 1] == 't'))
			return i;
	return std::string_view::npos;
}

std::string upper(std::string_view s)
{
	std::string u(s);
	for (char &c : u)
		if (c >= 'a' && c <= 'z')
			c = static_cast<char>(c - 'a' + 'A');
	return u;
}

bool matches(const std::string &pattern, const std::string &cmd)
{
	if (!pattern.empty() && pattern.back() == '*')
		return cmd.starts_with(std::string_view(pattern).substr(0, pattern.size() - 1));
	return cmd == pattern;
}

}

step send(std::string bytes)
{
	return {step::send, std::move(bytes), 0};
}

step send_slowly(std::string bytes, int ms_per_byte)
{
	return {step::send, std::move(bytes), ms_per_byte};
}

step pause(int ms)
{
	return {step::pause, {}, ms};
}

step hangup()
{
	return {step::hangup, {}, 0};
}

std::string result(std::string_view text)
{
	std::string r = "\r\n";
	r += text;
	r += "\r\n";
	return r;
}

modem::modem(options opts)
	: opts_(std::move(opts)), echo_(opts_.echo), used_(opts_.rules.size(), false)
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
	slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
	if (slave_ < 0)
		fail(name);
	if (opts_.raw) {
		termios t;
		if (::tcgetattr(slave_, &t) != 0)
			fail("tcgetattr");
		::cfmakeraw(&t);
		if (::tcsetattr(slave_, TCSANOW, &t) != 0)
			fail("tcsetattr");
	}
	put(opts_.stale);
}

modem::~modem()
{
	stop();
	close_pty();
}

const char *modem::path() const
{
	return path_.c_str();
}

void modem::start()
{
	if (thread_.joinable())
		return;
	stop_ = false;
	thread_ = std::thread([this] {
		while (!stop_ && serve(50)) {
		}
	});
}

void modem::stop()
{
	stop_ = true;
	if (thread_.joinable())
		thread_.join();
}

std::vector<std::string> modem::received() const
{
	std::lock_guard lock(mutex_);
	return received_;
}

bool modem::serve(int timeout_ms)
{
	if (hung_up_)
		return false;
	pollfd p{master_, POLLIN, 0};
	int r = ::poll(&p, 1, timeout_ms);
	if (r <= 0)
		return true;
	char buf[4096];
	ssize_t n = ::read(master_, buf, sizeof buf);
	if (n < 0 && (errno == EAGAIN || errno == EINTR))
		return true;
	if (n <= 0) {
		// Nobody holds the device side any more, which our own descriptor
		// should prevent; there is nothing left to serve.
		close_pty();
		hung_up_ = true;
		return false;
	}
	for (char c : std::string_view(buf, static_cast<std::size_t>(n))) {
		if (hung_up_)
			break;
		if (c == '\r' || c == '\n') {
			std::string line = std::exchange(pending_, {});
			if (!line.empty() && !std::exchange(overlong_, false))
				handle(std::move(line));
		} else if (pending_.size() < max_line) {
			pending_ += c;
		} else {
			overlong_ = true;
		}
	}
	return !hung_up_;
}

void modem::handle(std::string line)
{
	std::size_t at = find_at(line);
	if (at == std::string::npos)
		return;
	std::string cmd = line.substr(at);

	for (auto e = echoes_.begin(); e != echoes_.end(); ++e) {
		if (*e == cmd) {
			echoes_.erase(e);
			return;
		}
	}

	if (echo_)
		put(cmd + "\r");
	{
		std::lock_guard lock(mutex_);
		received_.push_back(cmd);
	}

	for (std::size_t i = 0; i < opts_.rules.size(); ++i) {
		if (used_[i] || !matches(opts_.rules[i].command, cmd))
			continue;
		used_[i] = true;
		std::string u = upper(cmd);
		if (u == "ATE0")
			echo_ = false;
		else if (u == "ATE1")
			echo_ = true;
		perform(opts_.rules[i].steps);
		return;
	}
	answer(cmd);
}

void modem::answer(const std::string &cmd)
{
	std::string u = upper(cmd);
	if (u == "ATE0" || u == "ATE1") {
		echo_ = u == "ATE1";
		put(result("OK"));
		return;
	}
	const std::string_view cusd = "AT+CUSD=1,\"";
	if (u.starts_with(cusd) && u.find('"', cusd.size()) != std::string::npos) {
		put(result("OK"));
		char packed[1024];
		if (septet_pack(opts_.answer.c_str(), packed, sizeof packed) != nullptr)
			put(result("+CUSD: 4"));
		else
			put(result(std::string("+CUSD: 0,\"") + packed + "\",15"));
		return;
	}
	put(result("OK"));
}

void modem::perform(const std::vector<step> &steps)
{
	for (const step &s : steps) {
		if (hung_up_ || stop_)
			return;
		switch (s.what) {
		case step::send:
			if (s.ms <= 0) {
				put(s.bytes);
				break;
			}
			for (std::size_t i = 0; i < s.bytes.size() && !stop_; ++i) {
				if (i > 0)
					nap(s.ms);
				put(std::string_view(s.bytes).substr(i, 1));
			}
			break;
		case step::pause:
			nap(s.ms);
			break;
		case step::hangup:
			drain();
			close_pty();
			hung_up_ = true;
			break;
		}
	}
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

// While the device side echoes (a terminal left in its usual settings), all
// we send comes back to us. Command lines in it, above all our own echo of
// the tool's commands, must not be answered again, or the modem would go on
// answering itself for ever.
void modem::note_echo(std::string_view bytes)
{
	termios t;
	if (::tcgetattr(slave_, &t) != 0 || !(t.c_lflag & ECHO)) {
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

// Sleeps in short slices so that stop() need not wait out a long pause.
void modem::nap(int ms)
{
	using namespace std::chrono;
	auto end = steady_clock::now() + milliseconds(ms);
	for (auto now = steady_clock::now(); !stop_ && now < end; now = steady_clock::now())
		std::this_thread::sleep_for(std::min<steady_clock::duration>(end - now, 10ms));
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
