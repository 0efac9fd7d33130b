#include "tests/harness.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <string_view>
#include <thread>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/libc_words.hpp"

extern char **environ;

std::string
replace(std::string s, const std::string &from, const std::string &to)
{
	for (auto at = s.find(from); at != std::string::npos;
	    at = s.find(from, at + to.size()))
		s.replace(at, from.size(), to);
	return s;
}

bool
exclusive_flag_unseen(const std::string &what)
{
	const char *runner = std::getenv("USSDQ_TEST_RUNNER");
	if (runner == nullptr || *runner == '\0')
		return false;
	std::printf("NOT RUN under %s: %s: it cannot pass TIOCGEXCL on\n", runner, what.c_str());
	return true;
}

namespace {

using clock = std::chrono::steady_clock;

struct child {
	pid_t pid = -1;
	int out = -1, err = -1;	// read ends; -1 where there is none
	clock::time_point start;
};

bool
has(const std::vector<int> &fds, int fd)
{
	return std::find(fds.begin(), fds.end(), fd) != fds.end();
}

// A pipe for the standard descriptor fd: its read end, or -1 when the reader
// is to be gone before the tool writes. The parent's write end is noted, to
// be closed once the tool has its own.
int
pipe_for(posix_spawn_file_actions_t &fa, int fd, bool gone, std::vector<int> &write_ends)
{
	int p[2];
	if (pipe2(p, O_CLOEXEC) != 0) {
		ADD_FAILURE() << "pipe2";
		return -1;
	}
	posix_spawn_file_actions_adddup2(&fa, p[1], fd);
	write_ends.push_back(p[1]);
	if (gone) {
		close(p[0]);
		return -1;
	}
	return p[0];
}

child
spawn(const std::vector<std::string> &args, const char *port, const run_options &run)
{
	child c;
	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	std::vector<int> write_ends;
	if (has(run.closed, 0))
		posix_spawn_file_actions_addclose(&fa, 0);
	else
		posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
	if (has(run.closed, 1))
		posix_spawn_file_actions_addclose(&fa, 1);
	else if (run.stdout_path != nullptr)
		posix_spawn_file_actions_addopen(&fa, 1, run.stdout_path, O_WRONLY, 0);
	else
		c.out = pipe_for(fa, 1, run.stdout_gone, write_ends);
	if (has(run.closed, 2))
		posix_spawn_file_actions_addclose(&fa, 2);
	else if (run.stderr_path != nullptr)
		posix_spawn_file_actions_addopen(&fa, 2, run.stderr_path, O_WRONLY, 0);
	else
		c.err = pipe_for(fa, 2, run.stderr_gone, write_ends);

	// Signals as a plain parent leaves them, whatever this process does
	// with its own: a shell that starts the tests in the background has
	// them ignore SIGINT, which the tool then leaves ignored.
	posix_spawnattr_t attr;
	posix_spawnattr_init(&attr);
	sigset_t def, mask;
	sigemptyset(&def);
	for (int sig : {SIGALRM, SIGHUP, SIGINT, SIGPIPE, SIGTERM})
		sigaddset(&def, sig);
	sigemptyset(&mask);
	if (run.block_alarm)
		sigaddset(&mask, SIGALRM);
	posix_spawnattr_setsigdefault(&attr, &def);
	posix_spawnattr_setsigmask(&attr, &mask);
	short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
	if (run.session_leader)
		flags |= POSIX_SPAWN_SETSID;
	posix_spawnattr_setflags(&attr, flags);

	const char *tool = std::getenv("USSDQ_TEST_TOOL");
	const char *runner = std::getenv("USSDQ_TEST_RUNNER");
	if (tool == nullptr || *tool == '\0')
		tool = USSDQ_PATH;
	const bool own = runner == nullptr || *runner == '\0';
	std::vector<std::string> words{run.name};
	if (!own) {
		words.clear();
		std::istringstream split(runner);
		for (std::string w; split >> w;)
			words.push_back(w);
		words.push_back(tool);
	}
	// Leading NAME=VALUE words are the tool's environment, which never has
	// the password or netrc file of whoever runs the tests.
	std::vector<std::string> env{"NETRC=/dev/null"};
	for (char **e = environ; *e != nullptr; e++)
		if (!std::string_view(*e).starts_with("USSDQ_PASSWORD=") && !std::string_view(*e).starts_with("NETRC="))
			env.push_back(*e);
	std::size_t first = 0;
	for (; first < args.size() && !args[first].empty() && std::isupper(static_cast<unsigned char>(args[first][0])) &&
	    args[first].find('=') != std::string::npos; first++) {
		// In place of a default of the same name: an emulator that builds
		// the tool's environment keeps the last of two, getenv the first.
		const std::string name = args[first].substr(0, args[first].find('=') + 1);
		std::erase_if(env, [&](const std::string &e) { return e.starts_with(name); });
		env.insert(env.begin(), args[first]);
	}
	for (std::size_t i = first; i < args.size(); i++)
		words.push_back(replace(args[i], "PORT", port));
	std::vector<char *> envp;
	for (auto &e : env)
		envp.push_back(e.data());
	envp.push_back(nullptr);
	std::vector<char *> argv;
	for (auto &w : words)
		argv.push_back(w.data());
	argv.push_back(nullptr);

	c.start = clock::now();
	EXPECT_EQ(posix_spawnp(&c.pid, own ? tool : words[0].c_str(), &fa,
	    &attr, argv.data(), envp.data()), 0);
	posix_spawnattr_destroy(&attr);
	posix_spawn_file_actions_destroy(&fa);
	for (int fd : write_ends)
		close(fd);
	return c;
}

// Reads what the tool writes until it has ended; a run that stays silent
// for 20 seconds is killed as hanging.
outcome
collect(child c, run_options run)
{
	using std::chrono::milliseconds;
	outcome r;
	pollfd fds[] = {{c.out, POLLIN, 0}, {c.err, POLLIN, 0}};
	std::string *dest[] = {&r.out, &r.err};
	int open = (c.out >= 0) + (c.err >= 0);
	auto alarm_at = c.start + milliseconds(run.alarm_after_ms);
	bool alarm_due = run.alarm_after_ms >= 0;
	auto quiet_until = clock::now() + std::chrono::seconds(20);
	int wstatus = 0;
	for (;;) {
		// With the pipes closed, only its exit is left to wait for.
		if (open == 0 && waitpid(c.pid, &wstatus, WNOHANG) == c.pid)
			break;
		auto until = quiet_until;
		if (alarm_due)
			until = std::min(until, alarm_at);
		if (open == 0)
			until = std::min(until, clock::now() + milliseconds(5));
		auto left = std::chrono::duration_cast<milliseconds>(until - clock::now()).count();
		int ready = poll(fds, 2, static_cast<int>(std::max<long long>(left, 0)));
		if (alarm_due && clock::now() >= alarm_at) {
			kill(c.pid, run.signal);
			alarm_due = false;
		}
		if (ready > 0) {
			for (int i = 0; i < 2; i++) {
				char buf[4096];
				if (fds[i].revents == 0)
					continue;
				ssize_t n = read(fds[i].fd, buf, sizeof buf);
				if (n > 0) {
					dest[i]->append(buf, static_cast<std::size_t>(n));
				} else {
					close(fds[i].fd);
					fds[i].fd = -1;
					open--;
				}
			}
			quiet_until = clock::now() + std::chrono::seconds(20);
		} else if (clock::now() >= quiet_until) {
			ADD_FAILURE() << "ussdq hangs";
			kill(c.pid, SIGKILL);
			waitpid(c.pid, &wstatus, 0);
			break;
		}
	}
	r.seconds = std::chrono::duration<double>(clock::now() - c.start).count();
	r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
	for (auto &p : fds)
		if (p.fd >= 0)
			close(p.fd);
	return r;
}

// One run on a modem already serving, with standard error in the words the
// tests use.
outcome
run_on(sim::modem &modem, const std::vector<std::string> &args, const run_options &run)
{
	int holder = -1;
	if (run.port_locked || run.port_exclusive)
		holder = open(modem.path(), O_RDWR | O_NOCTTY | O_CLOEXEC);
	if (run.port_locked) {
		EXPECT_EQ(flock(holder, LOCK_EX), 0);
	}
	if (run.port_exclusive) {
		EXPECT_EQ(ioctl(holder, TIOCEXCL), 0);
	}
	pid_t held_by = -1;
	if (run.port_held) {
		posix_spawn_file_actions_t fa;
		posix_spawn_file_actions_init(&fa);
		posix_spawn_file_actions_addopen(&fa, 0, modem.path(), O_RDONLY | O_NOCTTY, 0);
		char sleep[] = "sleep", minute[] = "60";
		char *argv[] = {sleep, minute, nullptr};
		EXPECT_EQ(posix_spawnp(&held_by, "sleep", &fa, nullptr, argv, environ), 0);
		posix_spawn_file_actions_destroy(&fa);
	}
	// "URL" stands for the web API's address, where the modem serves one;
	// "HTTP://URL" for the same with its scheme in capitals.
	std::vector<std::string> words = args;
	if (!modem.hilink_url().empty())
		for (auto &w : words)
			w = replace(replace(replace(w, "HTTP://URL", "HTTP://" + modem.hilink_url().substr(7)), "URL",
			    modem.hilink_url()), "ADDR", modem.hilink_url().substr(7));
	outcome r = collect(spawn(words, modem.path(), run), run);
	if (run.port_exclusive)
		ioctl(holder, TIOCNXCL);	// the fake holds the device open: the flag would stay
	if (holder >= 0)
		close(holder);
	if (held_by > 0) {
		kill(held_by, SIGKILL);
		waitpid(held_by, nullptr, 0);
		r.err = replace(r.err, "pid " + std::to_string(held_by) + ")", "pid PID)");
	}
	r.err = replace(r.err, modem.path(), "PORT");
	if (!modem.hilink_url().empty()) {
		r.out = replace(r.out, modem.hilink_url(), "URL");
		r.err = replace(r.err, modem.hilink_url(), "URL");
	}
	r.port = modem.path();
	return r;
}

// A run through ModemManager leaves the lock file of the fake's modem,
// named after its primary port, the last component of the device's path.
// It goes while the device is still there, so that no other test's modem
// has its name yet.
void
remove_lock(const sim::modem &modem, bool bus)
{
	const std::string path = modem.path();
	if (bus)
		unlink(("/var/lock/ussdq-" + path.substr(path.rfind('/') + 1) + ".lock").c_str());
}

}

outcome
ussdq(std::vector<std::string> args, sim::options opts, run_options run)
{
	const bool bus = !opts.bus.empty();
	sim::modem modem(std::move(opts));
	modem.start();
	outcome r = run_on(modem, args, run);
	modem.stop();
	r.sent = modem.received();
	remove_lock(modem, bus);
	return r;
}

shared_modem::shared_modem(sim::options o) : bus_(!o.bus.empty()), modem_(std::move(o))
{
	modem_.start();
}

shared_modem::~shared_modem()
{
	modem_.stop();
	remove_lock(modem_, bus_);
}

outcome
shared_modem::run(std::vector<std::string> args, run_options run)
{
	outcome r = run_on(modem_, args, run);
	std::vector<std::string> all = modem_.received();
	r.sent.assign(all.begin() + static_cast<long>(seen_), all.end());
	seen_ = all.size();
	return r;
}

std::vector<outcome>
run_all(const std::vector<std::pair<std::vector<std::string>, sim::options>> &runs,
    std::vector<std::vector<std::string>> *network)
{
	std::vector<outcome> rs(runs.size());
	std::vector<std::vector<std::string>> read(runs.size());
	std::atomic<std::size_t> next{0};
	std::vector<std::thread> workers;
	for (int w = 0; w < 8; w++) {
		workers.emplace_back([&] {
			for (std::size_t i; (i = next++) < runs.size();) {
				auto seen = std::make_shared<std::vector<std::string>>();
				sim::options o = runs[i].second;
				o.trace = [seen](const std::string &line) {
					if (line.starts_with("USSD "))
						seen->push_back(line.substr(5));
				};
				rs[i] = ussdq(runs[i].first, o);
				read[i] = *seen;	// the modem's thread has ended
			}
		});
	}
	for (auto &w : workers)
		w.join();
	if (network != nullptr)
		*network = read;
	return rs;
}

std::vector<outcome>
ussdq_together(const std::vector<std::vector<std::string>> &runs, sim::options opts)
{
	const bool bus = !opts.bus.empty();
	sim::modem modem(std::move(opts));
	modem.start();
	std::vector<child> children;
	for (auto &args : runs)
		children.push_back(spawn(args, modem.path(), {}));
	std::vector<outcome> rs;
	for (auto &c : children)
		rs.push_back(collect(c, {}));
	modem.stop();
	for (auto &r : rs) {
		r.sent = modem.received();
		r.err = replace(r.err, modem.path(), "PORT");
	}
	remove_lock(modem, bus);
	return rs;
}

// Each message as warnx prints it.
std::string
msgs(std::initializer_list<std::string> lines)
{
	std::string s;
	for (auto &l : lines)
		s += "ussdq: " + in_libc_words(l) + "\n";
	return s;
}



// ---- The private bus, for the tests of ModemManager's side ----

private_bus::private_bus()
{
	char tmpl[] = "/tmp/ussdq-bus-XXXXXX";
	if (mkdtemp(tmpl) == nullptr) {
		ADD_FAILURE() << "mkdtemp: " << strerror(errno);
		return;
	}
	dir_ = tmpl;
	address_ = "unix:path=" + dir_ + "/socket";
	int ready[2];
	if (pipe2(ready, O_CLOEXEC) != 0) {
		ADD_FAILURE() << "pipe2";
		return;
	}
	std::string config = "--config-file=" USSDQ_BUS_CONF, listen = "--address=" + address_;
	const char *argv[] = {"dbus-daemon", config.c_str(), listen.c_str(), "--nofork",
	    "--print-address=3", nullptr};
	pid_t parent = getpid();
	pid_ = fork();
	if (pid_ == 0) {
		// Whatever way the test's process ends, its bus goes with it.
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		if (getppid() != parent)
			_exit(1);
		dup2(ready[1], 3);
		int null = open("/dev/null", O_WRONLY);
		dup2(null, 2);
		execvp(argv[0], const_cast<char **>(argv));
		_exit(127);
	}
	close(ready[1]);
	char line[512];
	ssize_t n = pid_ > 0 ? read(ready[0], line, sizeof line) : -1;
	close(ready[0]);
	if (n <= 0) {
		ADD_FAILURE() << "dbus-daemon did not start (is the package dbus-daemon installed?)";
		stop();
	}
}

private_bus::~private_bus()
{
	stop();
	if (exported_)
		unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
	if (!dir_.empty()) {
		unlink((dir_ + "/socket").c_str());
		rmdir(dir_.c_str());
	}
}

void
private_bus::stop()
{
	// A child of the test's process that stops it cannot wait for it, so
	// it gives the daemon a moment to close its sockets.
	if (pid_ > 0 && kill(pid_, SIGKILL) == 0 && waitpid(pid_, nullptr, 0) != pid_)
		usleep(100000);
	pid_ = -1;
}

void
private_bus::make_system_bus()
{
	setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
	exported_ = true;
}

outcome
run_client(const std::vector<std::string> &args)
{
	outcome o;
	int out[2], err[2];
	if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
		ADD_FAILURE() << "pipe2";
		return o;
	}
	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
	posix_spawn_file_actions_adddup2(&fa, out[1], 1);
	posix_spawn_file_actions_adddup2(&fa, err[1], 2);
	std::vector<char *> argv;
	for (const std::string &a : args)
		argv.push_back(const_cast<char *>(a.c_str()));
	argv.push_back(nullptr);
	pid_t pid = -1;
	int e = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
	posix_spawn_file_actions_destroy(&fa);
	close(out[1]);
	close(err[1]);
	if (e != 0)
		ADD_FAILURE() << args[0] << ": " << strerror(e) << " (is it installed?)";
	for (int fd : {out[0], err[0]}) {
		std::string &into = fd == out[0] ? o.out : o.err;
		char buf[4096];
		for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
			into.append(buf, static_cast<std::size_t>(n));
		close(fd);
	}
	int status = 0;
	if (e == 0 && waitpid(pid, &status, 0) == pid)
		o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
	return o;
}

bool
built_in(const std::string &mode)
{
	static const std::string modes = [] {
		const std::string out = ussdq({"-V"}).out;
		const auto line = out.find("\nModes:");
		return line == std::string::npos ? std::string() :
		    out.substr(line + 7, out.find('\n', line + 1) - line - 7) + " ";
	}();
	return modes.find(" " + mode + " ") != std::string::npos;
}
