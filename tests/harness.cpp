#include "tests/harness.hpp"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
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

outcome
ussdq(std::vector<std::string> args, sim::options opts, run_options run)
{
	sim::modem modem(std::move(opts));
	modem.start();

	int out[2], err[2];
	EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
	EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
	if (run.stdout_path != nullptr)
		posix_spawn_file_actions_addopen(&fa, 1, run.stdout_path, O_WRONLY, 0);
	else
		posix_spawn_file_actions_adddup2(&fa, out[1], 1);
	posix_spawn_file_actions_adddup2(&fa, err[1], 2);

	const char *tool = std::getenv("USSDQ_TEST_TOOL");
	const char *runner = std::getenv("USSDQ_TEST_RUNNER");
	if (tool == nullptr || *tool == '\0')
		tool = USSDQ_PATH;
	std::vector<std::string> words{"ussdq"};
	if (runner != nullptr && *runner != '\0') {
		words.clear();
		std::istringstream split(runner);
		for (std::string w; split >> w;)
			words.push_back(w);
		words.push_back(tool);
	}
	for (auto &a : args)
		words.push_back(replace(a, "PORT", modem.path()));
	std::vector<char *> argv;
	for (auto &w : words)
		argv.push_back(w.data());
	argv.push_back(nullptr);

	outcome r;
	auto start = std::chrono::steady_clock::now();
	pid_t pid;
	EXPECT_EQ(posix_spawnp(&pid, words[0] == "ussdq" ? tool : words[0].c_str(), &fa,
	    nullptr, argv.data(), environ), 0);
	posix_spawn_file_actions_destroy(&fa);
	close(out[1]);
	close(err[1]);

	pollfd fds[] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
	std::string *dest[] = {&r.out, &r.err};
	auto alarm_at = start + std::chrono::milliseconds(run.alarm_after_ms);
	for (int open = 2; open > 0;) {
		int wait = 20000;
		if (run.alarm_after_ms >= 0) {
			auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
			    alarm_at - std::chrono::steady_clock::now()).count();
			if (left <= 0) {
				kill(pid, SIGALRM);
				run.alarm_after_ms = -1;
			} else {
				wait = static_cast<int>(left);
			}
		}
		int ready = poll(fds, 2, wait);
		if (ready == 0 && run.alarm_after_ms >= 0)
			continue;
		if (ready <= 0) {
			ADD_FAILURE() << "ussdq hangs";
			kill(pid, SIGKILL);
			break;
		}
		for (int i = 0; i < 2; i++) {
			char buf[4096];
			if (fds[i].revents == 0)
				continue;
			ssize_t n = read(fds[i].fd, buf, sizeof buf);
			if (n > 0) {
				dest[i]->append(buf, static_cast<std::size_t>(n));
			} else {
				fds[i].fd = -1;
				open--;
			}
		}
	}
	int wstatus;
	waitpid(pid, &wstatus, 0);
	r.seconds = std::chrono::duration<double>(
	    std::chrono::steady_clock::now() - start).count();
	r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
	close(out[0]);
	close(err[0]);
	modem.stop();
	r.sent = modem.received();
	r.err = replace(r.err, modem.path(), "PORT");
	return r;
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


