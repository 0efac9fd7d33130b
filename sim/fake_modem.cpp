// fake-modem: serves a fake GSM modem on a pseudo-terminal until interrupted.
// The device path goes to standard output as one line for scripts to read.

#include "sim/modem.hpp"

#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t quit = 0;

void on_signal(int)
{
	quit = 1;
}

int usage()
{
	std::fputs("usage: fake-modem [--cooked] [--no-echo] [--answer TEXT] [--answer-request]\n"
	    "                  [--dcs N] [--link PATH] [--vmin N] [--vtime N] [--charsets LIST]\n"
	    "                  [--verbose]\n", stderr);
	return 2;
}

// A c_cc value or a data coding scheme: a whole number from 0 to 255.
bool cc_value(const char *s, int &value)
{
	char *end;
	errno = 0;
	long v = std::strtol(s, &end, 10);
	if (*s < '0' || *s > '9' || *end != '\0' || errno != 0 || v > 255)
		return false;
	value = static_cast<int>(v);
	return true;
}

std::vector<std::string> split(const char *list)
{
	std::vector<std::string> words;
	std::string word;
	for (const char *p = list;; ++p) {
		if (*p == ',' || *p == '\0') {
			if (!word.empty())
				words.push_back(std::exchange(word, {}));
			if (*p == '\0')
				return words;
		} else {
			word += *p;
		}
	}
}

void make_link(const char *link, const char *target)
{
	struct stat st;
	if (::lstat(link, &st) == 0) {
		if (!S_ISLNK(st.st_mode))
			throw std::runtime_error(std::string(link) + " exists and is not a symbolic link");
		::unlink(link);
	}
	if (::symlink(target, link) != 0)
		throw std::runtime_error(std::string(link) + ": " + std::strerror(errno));
}

// Another fake modem may have taken the link over meanwhile; leave it alone then.
void remove_link(const char *link, const char *target)
{
	char buf[4096];
	ssize_t n = ::readlink(link, buf, sizeof buf - 1);
	if (n < 0)
		return;
	buf[n] = '\0';
	if (std::strcmp(buf, target) == 0)
		::unlink(link);
}

}

int main(int argc, char *argv[])
{
	static const option longopts[] = {
		{"cooked", no_argument, nullptr, 'c'},
		{"no-echo", no_argument, nullptr, 'e'},
		{"answer", required_argument, nullptr, 'a'},
		{"answer-request", no_argument, nullptr, 'r'},
		{"dcs", required_argument, nullptr, 'd'},
		{"link", required_argument, nullptr, 'l'},
		{"vmin", required_argument, nullptr, 'm'},
		{"vtime", required_argument, nullptr, 't'},
		{"charsets", required_argument, nullptr, 's'},
		{"verbose", no_argument, nullptr, 'v'},
		{nullptr, 0, nullptr, 0},
	};
	sim::options opts;
	const char *link = nullptr;
	for (int c; (c = ::getopt_long(argc, argv, "", longopts, nullptr)) != -1;) {
		switch (c) {
		case 'c': opts.raw = false; break;
		case 'e': opts.echo = false; break;
		case 'a': opts.answer = optarg; break;
		case 'r': opts.answer_request = true; break;
		case 'd':
			if (!cc_value(optarg, opts.answer_dcs))
				return usage();
			break;
		case 'l': link = optarg; break;
		case 'm':
			if (!cc_value(optarg, opts.vmin))
				return usage();
			break;
		case 't':
			if (!cc_value(optarg, opts.vtime))
				return usage();
			break;
		case 's':
			opts.charsets = split(optarg);
			if (opts.charsets.empty())
				return usage();
			break;
		case 'v':
			opts.trace = [](const std::string &line) {
				std::fprintf(stderr, "fake-modem: %s\n", line.c_str());
			};
			break;
		default: return usage();
		}
	}
	if (optind != argc)
		return usage();

	try {
		// Handlers first, so that no signal can end us between making the
		// link and the loop that removes it.
		struct sigaction sa {};
		sa.sa_handler = on_signal;
		sigemptyset(&sa.sa_mask);
		sigaction(SIGINT, &sa, nullptr);
		sigaction(SIGTERM, &sa, nullptr);
		sigaction(SIGHUP, &sa, nullptr);

		sim::modem m(opts);
		if (link)
			make_link(link, m.path());

		std::printf("%s\n", m.path());
		std::fflush(stdout);

		bool alive = true;
		while (!quit && (alive = m.serve(100))) {
		}
		if (link)
			remove_link(link, m.path());
		if (!alive) {
			std::fputs("fake-modem: the device hung up\n", stderr);
			return 1;
		}
		return 0;
	} catch (const std::exception &e) {
		std::fprintf(stderr, "fake-modem: %s\n", e.what());
		return 1;
	}
}
