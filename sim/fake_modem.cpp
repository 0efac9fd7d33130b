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

constexpr char usage_text[] =
    "usage: fake-modem [--kind NAME] [--answer TEXT] [--status N] [--no-text]\n"
    "                  [--answer-request] [--dcs N] [--ucs2-when-needed] [--menu FILE]\n"
    "                  [--delay MS] [--session-timeout MS] [--refuse ERROR|CME:N]\n"
    "                  [--refuse-after-ok] [--refuse-ucs2] [--charsets LIST]\n"
    "                  [--unknown-ok] [--cooked] [--no-echo] [--vmin N] [--vtime N]\n"
    "                  [--link PATH] [--bus ADDRESS] [--mm-port NAME[:TYPE]]\n"
    "                  [--mm-modems N] [--big-endian] [--qmi] [--qmi-in-response]\n"
    "                  [--qmi-no-utf16] [--qmi-client-ids N] [--qmi-refuse N[:REASON]]\n"
    "                  [--qmi-release] [--qmi-interleave] [--qmi-coding N] [--qmi-foreign]\n"
    "                  [--qmi-late] [--qmi-uim-only]\n"
    "                  [--mbim] [--mbim-opened] [--mbim-answer WHERE]\n"
    "                  [--mbim-chatter] [--mbim-no-ussd] [--mbim-refuse STATUS]\n"
    "                  [--mbim-open-fails STATUS] [--mbim-late] [--mbim-fragment SIZE]\n"
    "                  [--mbim-fragment-fault missing|misordered]\n"
    "                  [--hilink ADDRESS:PORT] [--hilink-firmware NAME] [--hilink-rotate]\n"
    "                  [--hilink-stale] [--hilink-pending N] [--hilink-login] [--hilink-busy]\n"
    "                  [--hilink-refuse CODE[:MESSAGE]] [--hilink-chunked] [--hilink-cut]\n"
    "                  [--hilink-login-at PATH] [--hilink-send-body BODY] [--hilink-stranger 404|page]\n"
    "                  [--hilink-pad TEXT] [--hilink-astral utf8|cesu8|references]\n"
    "                  [--hilink-password PASS] [--hilink-login-kind 0|3|4|challenge|none]\n"
    "                  [--hilink-wrong CODE] [--hilink-lock N] [--hilink-iterations N]\n"
    "                  [--hilink-bad-proof] [--hilink-logout-fails]\n"
    "                  [--situation NAME] [--verbose] [--help]\n"
    "kinds: generic (the default), huawei, huawei-old, standard, standard-gsm\n"
    "situations: usual (the default), radio-off, sim-pin, sim-puk, sim-locked, no-sim,\n"
    "            sim-busy, searching, denied, lte-data, sms-only, 5g, refuses\n";

int usage()
{
	std::fputs(usage_text, stderr);
	return 2;
}

int invalid(const char *option, const char *value)
{
	std::fprintf(stderr, "fake-modem: invalid value for --%s: %s\n", option, value);
	return usage();
}

// A whole decimal number from 0 to max.
bool number(const char *s, long max, int &value)
{
	char *end;
	errno = 0;
	long v = std::strtol(s, &end, 10);
	if (*s < '0' || *s > '9' || *end != '\0' || errno != 0 || v > max)
		return false;
	value = static_cast<int>(v);
	return true;
}

// A c_cc value or a data coding scheme: a whole number from 0 to 255.
bool cc_value(const char *s, int &value)
{
	return number(s, 255, value);
}

// Milliseconds, up to a day.
bool ms_value(const char *s, int &value)
{
	return number(s, 86400000, value);
}

// --refuse: ERROR, CME:<n> or the line itself, +CME ERROR: <n>.
bool refusal(const char *s, std::string &line)
{
	std::string arg = s;
	int code = 0;
	if (arg == "ERROR")
		line = arg;
	else if (arg.starts_with("CME:") && number(arg.c_str() + 4, 65535, code))
		line = "+CME ERROR: " + std::to_string(code);
	else if (arg.starts_with("+CME ERROR: ") && number(arg.c_str() + 12, 65535, code))
		line = "+CME ERROR: " + std::to_string(code);
	else
		return false;
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
		{"situation", required_argument, nullptr, 3000},
		{"verbose", no_argument, nullptr, 'v'},
		{"kind", required_argument, nullptr, 'k'},
		{"status", required_argument, nullptr, 'S'},
		{"no-text", no_argument, nullptr, 'n'},
		{"ucs2-when-needed", no_argument, nullptr, 'u'},
		{"menu", required_argument, nullptr, 'M'},
		{"delay", required_argument, nullptr, 'D'},
		{"session-timeout", required_argument, nullptr, 'T'},
		{"refuse", required_argument, nullptr, 'R'},
		{"refuse-after-ok", no_argument, nullptr, 'A'},
		{"refuse-ucs2", no_argument, nullptr, 'U'},
		{"unknown-ok", no_argument, nullptr, 'o'},
		{"bus", required_argument, nullptr, 'B'},
		{"mm-port", required_argument, nullptr, 'P'},
		{"mm-modems", required_argument, nullptr, 'N'},
		{"big-endian", no_argument, nullptr, 'E'},
		{"qmi", no_argument, nullptr, 'Q'},
		{"qmi-in-response", no_argument, nullptr, 'i'},
		{"qmi-no-utf16", no_argument, nullptr, '6'},
		{"qmi-client-ids", required_argument, nullptr, 'C'},
		{"qmi-refuse", required_argument, nullptr, 'F'},
		{"qmi-release", no_argument, nullptr, 'L'},
		{"qmi-interleave", no_argument, nullptr, 'I'},
		{"qmi-coding", required_argument, nullptr, 3100},
		{"qmi-foreign", no_argument, nullptr, 3101},
		{"qmi-late", no_argument, nullptr, 3102},
		{"qmi-uim-only", no_argument, nullptr, 3103},
		{"hilink", required_argument, nullptr, 'H'},
		{"hilink-firmware", required_argument, nullptr, 2008},
		{"hilink-rotate", no_argument, nullptr, 2000},
		{"hilink-stale", no_argument, nullptr, 2001},
		{"hilink-pending", required_argument, nullptr, 2002},
		{"hilink-login", no_argument, nullptr, 2003},
		{"hilink-busy", no_argument, nullptr, 2004},
		{"hilink-refuse", required_argument, nullptr, 2005},
		{"hilink-chunked", no_argument, nullptr, 2006},
		{"hilink-cut", no_argument, nullptr, 2007},
		{"hilink-login-at", required_argument, nullptr, 2009},
		{"hilink-send-body", required_argument, nullptr, 2010},
		{"hilink-stranger", required_argument, nullptr, 2011},
		{"hilink-pad", required_argument, nullptr, 2012},
		{"hilink-astral", required_argument, nullptr, 2013},
		{"hilink-password", required_argument, nullptr, 2014},
		{"hilink-login-kind", required_argument, nullptr, 2015},
		{"hilink-wrong", required_argument, nullptr, 2016},
		{"hilink-lock", required_argument, nullptr, 2017},
		{"hilink-iterations", required_argument, nullptr, 2018},
		{"hilink-bad-proof", no_argument, nullptr, 2019},
		{"hilink-logout-fails", no_argument, nullptr, 2020},
		{"help", no_argument, nullptr, 'h'},
		{"mbim", no_argument, nullptr, 1000},
		{"mbim-opened", no_argument, nullptr, 1001},
		{"mbim-answer", required_argument, nullptr, 1002},
		{"mbim-chatter", no_argument, nullptr, 1003},
		{"mbim-no-ussd", no_argument, nullptr, 1004},
		{"mbim-refuse", required_argument, nullptr, 1005},
		{"mbim-open-fails", required_argument, nullptr, 1006},
		{"mbim-late", no_argument, nullptr, 1007},
		{"mbim-fragment", required_argument, nullptr, 1008},
		{"mbim-fragment-fault", required_argument, nullptr, 1009},
		{nullptr, 0, nullptr, 0},
	};
	sim::options opts;
	const char *link = nullptr;
	const char *menu = nullptr;
	int index = 0;
	for (int c; (c = ::getopt_long(argc, argv, "", longopts, &index)) != -1;) {
		switch (c) {
		case 'c': opts.raw = false; break;
		case 'e': opts.echo = false; break;
		case 'a': opts.answer = optarg; break;
		case 'r': opts.answer_request = true; break;
		case 'd':
			if (!cc_value(optarg, opts.answer_dcs))
				return invalid(longopts[index].name, optarg);
			break;
		case 'l': link = optarg; break;
		case 'm':
			if (!cc_value(optarg, opts.vmin))
				return invalid(longopts[index].name, optarg);
			break;
		case 't':
			if (!cc_value(optarg, opts.vtime))
				return invalid(longopts[index].name, optarg);
			break;
		case 's':
			opts.charsets = split(optarg);
			if (opts.charsets.empty())
				return invalid(longopts[index].name, optarg);
			break;
		case 'v':
			opts.trace = [](const std::string &line) {
				std::fprintf(stderr, "fake-modem: %s\n", line.c_str());
			};
			break;
		case 'k':
			if (auto kind = sim::kind_named(optarg))
				opts.kind = *kind;
			else
				return invalid(longopts[index].name, optarg);
			break;
		case 'S':
			if (!number(optarg, 5, opts.answer_status))
				return invalid(longopts[index].name, optarg);
			break;
		case 'n': opts.answer_text = false; break;
		case 'u': opts.ucs2_when_needed = true; break;
		case 'M': menu = optarg; break;
		case 'D':
			if (!ms_value(optarg, opts.delay_ms))
				return invalid(longopts[index].name, optarg);
			break;
		case 'T':
			if (!ms_value(optarg, opts.session_timeout_ms))
				return invalid(longopts[index].name, optarg);
			break;
		case 'R':
			if (!refusal(optarg, opts.refuse))
				return invalid(longopts[index].name, optarg);
			break;
		case 'A': opts.refuse_after_ok = true; break;
		case 'U': opts.refuse_ucs2 = true; break;
		case 'o': opts.unknown_ok = true; break;
		case 'B': opts.bus = optarg; break;
		case 'P': opts.mm_ports.emplace_back(optarg); break;
		case 'N':
			if (!number(optarg, 16, opts.mm_modems))
				return invalid(longopts[index].name, optarg);
			break;
		case 'E': opts.big_endian = true; break;
		case 'Q': opts.qmi = true; break;
		case 'i': opts.qmi_in_response = true; break;
		case '6': opts.qmi_utf16 = false; break;
		case 'C':
			if (!number(optarg, 255, opts.qmi_client_ids))
				return invalid(longopts[index].name, optarg);
			break;
		case 'F': {
			std::string arg = optarg;
			std::size_t colon = arg.find(':');
			if (!number(arg.substr(0, colon).c_str(), 65535, opts.qmi_refuse) || opts.qmi_refuse == 0 ||
			    (colon != std::string::npos && !number(arg.c_str() + colon + 1, 65535, opts.qmi_end_reason)))
				return invalid(longopts[index].name, optarg);
			break;
		}
		case 'L': opts.qmi_release = true; break;
		case 'I': opts.qmi_interleave = true; break;
		case 3100:
			if (!number(optarg, 255, opts.qmi_coding))
				return invalid(longopts[index].name, optarg);
			break;
		case 3101: opts.qmi_foreign = true; break;
		case 3102: opts.qmi_late = true; break;
		case 3103: opts.qmi_uim_only = true; break;
		case 1000: opts.mbim.on = true; break;
		case 1001: opts.mbim.opened = true; break;
		case 1002: {
			using in = sim::options::mbim_play::answer_in;
			const std::string a = optarg;
			if (a != "done" && a != "indication" && a != "indication-first" && a != "both")
				return invalid(longopts[index].name, optarg);
			opts.mbim.answer = a == "done" ? in::done : a == "indication" ? in::indication
			    : a == "both" ? in::both : in::indication_first;
			break;
		}
		case 1003: opts.mbim.chatter = true; break;
		case 1004: opts.mbim.no_ussd = true; break;
		case 1005: {
			int status = 0;
			if (!number(optarg, 65535, status) || status == 0)
				return invalid(longopts[index].name, optarg);
			opts.mbim.refuse = static_cast<uint32_t>(status);
			break;
		}
		case 1006: {
			int status = 0;
			if (!number(optarg, 65535, status) || status == 0)
				return invalid(longopts[index].name, optarg);
			opts.mbim.open_fails = static_cast<uint32_t>(status);
			break;
		}
		case 1007: opts.mbim.late = true; break;
		case 1008: {
			int size = 0;
			if (!number(optarg, 65535, size) || size < 64)
				return invalid(longopts[index].name, optarg);
			opts.mbim.fragment = static_cast<uint32_t>(size);
			break;
		}
		case 1009: {
			using fault = sim::options::mbim_play::fault;
			const std::string f = optarg;
			if (f != "missing" && f != "misordered")
				return invalid(longopts[index].name, optarg);
			opts.mbim.fragment_fault = f == "missing" ? fault::missing : fault::misordered;
			break;
		}
		case 'H': opts.hilink = optarg; break;
		case 3000:
			if (auto st = sim::situation_named(optarg))
				opts.situation = *st;
			else
				return invalid(longopts[index].name, optarg);
			break;
		case 2008: {
			using fw = sim::options::firmware;
			std::string f = optarg;
			if (f == "sestokinfo")
				opts.hilink_firmware = fw::sestokinfo;
			else if (f == "token")
				opts.hilink_firmware = fw::token;
			else if (f == "page")
				opts.hilink_firmware = fw::page;
			else
				return invalid(longopts[index].name, optarg);
			break;
		}
		case 2000: opts.hilink_rotate = true; break;
		case 2001: opts.hilink_stale = true; break;
		case 2002:
			if (!number(optarg, 1000, opts.hilink_pending))
				return invalid(longopts[index].name, optarg);
			break;
		case 2003: opts.hilink_login = true; break;
		case 2004: opts.hilink_busy = true; break;
		case 2005: {
			std::string arg = optarg;
			std::size_t colon = arg.find(':');
			if (!number(arg.substr(0, colon).c_str(), 999999, opts.hilink_refuse) || opts.hilink_refuse == 0)
				return invalid(longopts[index].name, optarg);
			if (colon != std::string::npos)
				opts.hilink_message = arg.substr(colon + 1);
			break;
		}
		case 2006: opts.hilink_chunked = true; break;
		case 2007: opts.hilink_cut = true; break;
		case 2009: opts.hilink_login_at = optarg; break;
		case 2010: opts.hilink_send_body = optarg; break;
		case 2011: {
			using st = sim::options::stranger;
			const std::string s = optarg;
			if (s != "404" && s != "page")
				return invalid(longopts[index].name, optarg);
			opts.hilink_stranger = s == "404" ? st::not_found : st::own_page;
			break;
		}
		case 2012: opts.hilink_pad = optarg; break;
		case 2013: {
			using as = sim::options::astral;
			const std::string s = optarg;
			if (s != "utf8" && s != "cesu8" && s != "references")
				return invalid(longopts[index].name, optarg);
			opts.hilink_astral = s == "utf8" ? as::utf8 : s == "cesu8" ? as::cesu8 : as::references;
			break;
		}
		case 2014: opts.hilink_password = optarg; break;
		case 2015: {
			const std::string k = optarg;
			if (k != "0" && k != "3" && k != "4" && k != "challenge" && k != "none")
				return invalid(longopts[index].name, optarg);
			opts.hilink_login_kind = k;
			break;
		}
		case 2016:
			if (!number(optarg, 999999, opts.hilink_wrong) || opts.hilink_wrong == 0)
				return invalid(longopts[index].name, optarg);
			break;
		case 2017:
			if (!number(optarg, 100, opts.hilink_lock_after))
				return invalid(longopts[index].name, optarg);
			break;
		case 2018:
			if (!number(optarg, 1000000, opts.hilink_iterations) || opts.hilink_iterations == 0)
				return invalid(longopts[index].name, optarg);
			break;
		case 2019: opts.hilink_bad_proof = true; break;
		case 2020: opts.hilink_logout_fails = true; break;
		case 'h':
			std::fputs(usage_text, stdout);
			return 0;
		default: return usage();
		}
	}
	if (opts.refuse_after_ok && opts.refuse.empty()) {
		std::fputs("fake-modem: --refuse-after-ok needs --refuse\n", stderr);
		return usage();
	}
	if (optind != argc)
		return usage();
	if (link)
		opts.mm_ports.emplace_back(link);

	try {
		if (menu)
			opts.menu = sim::read_menu(menu);

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
		// The web API's URL, with the port picked when 0 was given.
		if (!opts.hilink.empty())
			std::printf("%s\n", m.hilink_url().c_str());
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
