// The tool's ModemManager client against the fake ModemManager on a
// private bus, in both byte orders. Each case runs in a child process,
// since a failure ends the process; the fake runs as a program of its own,
// so that the test's process has no thread to fork with.
#include <err.h>
#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "front/settings.hpp"
#include "modem/frames/dbus.hpp"
#include "modem/mm.hpp"
#include "tests/harness.hpp"

extern char **environ;

namespace {

// fake-modem on the bus, for as long as the object lives.
struct fake_program {
	pid_t pid = -1;
	std::string pty;

	fake_program(const std::string &bus, std::vector<std::string> args)
	{
		args.insert(args.begin(), {FAKE_MODEM_PATH, "--bus", bus});
		int out[2];
		if (pipe(out) != 0)
			return;
		posix_spawn_file_actions_t fa;
		posix_spawn_file_actions_init(&fa);
		posix_spawn_file_actions_adddup2(&fa, out[1], 1);
		posix_spawn_file_actions_addclose(&fa, out[0]);
		std::vector<char *> argv;
		for (std::string &a : args)
			argv.push_back(a.data());
		argv.push_back(nullptr);
		if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0)
			pid = -1;
		posix_spawn_file_actions_destroy(&fa);
		close(out[1]);
		char c;
		while (read(out[0], &c, 1) == 1 && c != '\n')
			pty += c;
		close(out[0]);
	}
	~fake_program()
	{
		if (pid > 0) {
			kill(pid, SIGTERM);
			waitpid(pid, nullptr, 0);
		}
	}
};

// The lines as warnx writes them, as a regular expression matching them alone.
std::string said(const std::vector<std::string> &lines)
{
	std::string re = "^";
	for (const std::string &line : lines)
		for (char c : std::string(program_invocation_short_name) + ": " + line + "\n") {
			if (std::string_view(".[]{}()*+?^$|\\").find(c) != std::string_view::npos)
				re += '\\';
			re += c;
		}
	return re + "$";
}

void say_refusal(bool ok, const char *refusal)
{
	if (!ok)
		warnx("refused: %s", refusal);
}

std::string modem_path(int n)
{
	return "/org/freedesktop/ModemManager1/Modem/" + std::to_string(n);
}

}

TEST(ModemManagerClient, FindsTheModemAndTalksToIt)
{
	using action = std::function<void(const char *pty)>;
	char answer[256], refusal[256];
	const std::string wrong_state = "org.freedesktop.ModemManager1.Error.Core.WrongState: ";
	const struct {
		const char *what;
		std::vector<std::string> fake;	// its options; absent: no fake on the bus
		bool fake_runs;
		int verbose;
		action run;
		int status;
		std::vector<std::string> err;	// PORT: the pty
	} cases[] = {
		{"no bus", {}, false, 0, [](const char *) {
			setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/socket", 1);
			mm_open("/dev/ttyUSB2", true);
		}, 1, {"ModemManager is not running"}},
		{"a bus without ModemManager", {}, false, 0, [](const char *) { mm_open("/dev/ttyUSB2", true); },
		    1, {"ModemManager is not running"}},
		{"no modem", {"--mm-modems", "0"}, true, 0, [](const char *) { mm_open("", false); },
		    1, {"no modem managed by ModemManager"}},
		{"several modems", {"--mm-modems", "2"}, true, 0, [](const char *) { mm_open("", false); },
		    1, {"several modems; name one with -p"}},
		{"a port of none", {"--mm-modems", "2"}, true, 0, [](const char *) { mm_open("/dev/ttyUSB7", true); },
		    1, {"/dev/ttyUSB7: not a port of a modem ModemManager manages"}},
		{"a QMI modem by its port", {"--mm-modems", "2"}, true, 1, [&](const char *) {
			mm_open("/dev/cdc-wdm0", true);
			warnx("%s", mm_path);
			mm_call("Initiate", "*101#", answer, sizeof answer, refusal, sizeof refusal);
		}, 0, {"mm: calling GetManagedObjects()", modem_path(1), "mm: calling Initiate(\"*101#\")",
		    "mm: reply \"Data left: 2.5 GB, valid until 31.12.2026\""}},
		{"the only modem, a menu walked", {}, true, 1, [&](const char *) {
			mm_open("", false);
			warnx("%s", mm_path);
			mm_call("Initiate", "*111#", answer, sizeof answer, refusal, sizeof refusal);
			mm_state();
			mm_call("Respond", "2", answer, sizeof answer, refusal, sizeof refusal);
			mm_call("Respond", "1", answer, sizeof answer, refusal, sizeof refusal);
			mm_state();
		}, 0, {"mm: calling GetManagedObjects()", modem_path(0),
		    "mm: calling Initiate(\"*111#\")", "mm: reply \"1 Balance\n2 Bundles\"",
		    "mm: calling Get(\"State\")", "mm: reply 3",
		    "mm: calling Respond(\"2\")", "mm: reply \"1 Day 1 GB\n2 Week 5 GB\"",
		    "mm: calling Respond(\"1\")", "mm: reply \"Day 1 GB bought\"",
		    "mm: calling Get(\"State\")", "mm: reply 1"}},
		{"refusals", {"--mm-port", "/dev/ttyUSB2"}, true, 0, [&](const char *) {
			mm_open("ttyUSB2", true);
			say_refusal(mm_cancel(refusal, sizeof refusal), refusal);
			say_refusal(mm_call("Respond", "1", answer, sizeof answer, refusal, sizeof refusal), refusal);
			say_refusal(mm_call("Initiate", "*111#", answer, sizeof answer, refusal, sizeof refusal), refusal);
			say_refusal(mm_call("Initiate", "*111#", answer, sizeof answer, refusal, sizeof refusal), refusal);
			say_refusal(mm_cancel(refusal, sizeof refusal), refusal);
		}, 0, {"refused: " + wrong_state + "Cannot cancel USSD: no active session",
		    "refused: " + wrong_state + "Cannot respond USSD: no active session",
		    "refused: " + wrong_state + "Cannot initiate USSD: a session is already active"}},
		{"an answer with status 4", {"--status", "4"}, true, 0, [&](const char *pty) {
			mm_open(pty, true);
			say_refusal(mm_call("Initiate", "*100#", answer, sizeof answer, refusal, sizeof refusal), refusal);
		}, 0, {"refused: org.freedesktop.ModemManager1.Error.Core.Unsupported: Operation not supported"}},
		{"a session cancelled as a handler does", {}, true, 0, [&](const char *pty) {
			mm_end_session_now();
			mm_open(pty, true);
			mm_call("Initiate", "*111#", answer, sizeof answer, refusal, sizeof refusal);
			warnx("%u", mm_state());
			mm_end_session_now();
			warnx("%u", mm_state());
		}, 0, {"3", "1"}},
		{"whether it manages a port", {}, true, 0, [&](const char *pty) {
			warnx("%d %d", mm_manages("/dev/ttyUSB9"), mm_manages(pty));
			mm_open(pty, true);
			mm_call("Initiate", "*101#", answer, sizeof answer, refusal, sizeof refusal);
			warnx("%s", answer);
		}, 0, {"0 1", "Data left: 2.5 GB, valid until 31.12.2026"}},
		{"whether it manages a port, with no ModemManager", {}, false, 0, [&](const char *) {
			warnx("%d", mm_manages("/dev/ttyUSB2"));
		}, 0, {"0"}},
	};
	for (bool big : {false, true}) {
		for (const auto &c : cases) {
			private_bus bus;
			ASSERT_TRUE(bus.ok());
			bus.make_system_bus();
			std::vector<std::string> args = c.fake;
			if (big)
				args.emplace_back("--big-endian");
			std::unique_ptr<fake_program> fake;
			if (c.fake_runs) {
				fake = std::make_unique<fake_program>(bus.address(), args);
				ASSERT_FALSE(fake->pty.empty()) << c.what;
			}
			const char *pty = fake ? fake->pty.c_str() : "/dev/ttyUSB2";
			EXPECT_EXIT({
				verbose = c.verbose;
				c.run(pty);
				exit(0);
			}, testing::ExitedWithCode(c.status), said(c.err)) << c.what << (big ? ", big-endian" : "");
		}
	}
}

TEST(ModemManagerClient, EndsTheRunWhenTheBusGoes)
{
	private_bus bus;
	ASSERT_TRUE(bus.ok());
	bus.make_system_bus();
	fake_program fake(bus.address(), {});
	char answer[64], refusal[64];
	EXPECT_EXIT({
		mm_open(fake.pty.c_str(), true);
		bus.stop();
		mm_call("Initiate", "*101#", answer, sizeof answer, refusal, sizeof refusal);
		exit(0);
	}, testing::ExitedWithCode(1), "^[^:]*: bus: (the connection was closed|Broken pipe|Connection reset by peer)\n$");
}

// The address lists a bus is named by: the first unix socket in them, its
// path's %XX escapes read; a broken escape names no socket.
TEST(ModemManagerClient, ConnectsByTheAddressList)
{
	private_bus bus;
	ASSERT_TRUE(bus.ok());
	const std::string path = bus.address().substr(sizeof "unix:path=" - 1);
	std::string escaped;
	for (char c : path)
		escaped += c == '/' ? std::string("%2f") : c == '-' ? std::string("%2D") : std::string(1, c);
	const struct {
		std::string list;
		int error;	// 0: connected
	} cases[] = {
		{bus.address(), 0},
		{"tcp:host=localhost,port=1;" + bus.address(), 0},
		{"unix:guid=0123,path=" + escaped + ";unix:path=/nonexistent", 0},
		{"unix:path=" + path + "%2", EADDRNOTAVAIL},
		{"unix:path=" + path + "%", EADDRNOTAVAIL},
		{"unix:path=" + path + "%zz", EADDRNOTAVAIL},
		{"unix:guid=0123;tcp:host=localhost", EADDRNOTAVAIL},
		{"unix:path=" + path + "-none", ENOENT},
	};
	for (const auto &c : cases) {
		errno = 0;
		const int fd = dbus_connect(c.list.c_str());
		EXPECT_EQ(fd < 0 ? errno : 0, c.error) << c.list;
		if (fd >= 0)
			close(fd);
	}
}

// The header fields a reply is read by: each known code only with its own
// type, the reply serial among them; a code unknown is passed over.
TEST(ModemManagerClient, ReadsHeaderFieldsOfTheirOwnTypesOnly)
{
	const struct {
		const char *name;
		uint8_t code;
		const char *type, *value;	// value: the string, or the serial in decimal
		bool good;
	} cases[] = {
		{"reply serial", df_reply_serial, "u", "7", true},
		{"reply serial as a string", df_reply_serial, "s", "7", false},
		{"error name", df_error_name, "s", "org.example.Error", true},
		{"error name as a path", df_error_name, "o", "/org/example", false},
		{"path as a string", df_path, "s", "/org/example", false},
		{"a code unknown", 9, "s", "anything", true},
		{"code 0", 0, "s", "anything", false},
	};
	for (const auto &c : cases) {
		for (bool big : {false, true}) {
			uint8_t buf[256];
			dwriter w;
			dw_begin(&w, buf, sizeof buf, big, dbus_error_msg, 5);
			dw_align(&w, 8);
			dw_byte(&w, c.code);
			dw_variant(&w, c.type);
			if (*c.type == 'u')
				dw_u32(&w, static_cast<uint32_t>(atoi(c.value)));
			else
				dw_str(&w, *c.type, c.value);
			dw_body(&w);
			const size_t len = dw_end(&w);
			ASSERT_NE(len, 0u) << c.name;
			dbus_header h;
			ASSERT_EQ(dbus_parse(buf, len, &h), c.good) << c.name << (big ? ", big-endian" : "");
			if (!c.good)
				continue;
			EXPECT_EQ(h.reply_serial, c.code == df_reply_serial ? 7u : 0u) << c.name;
			EXPECT_STREQ(h.field[df_error_name], c.code == df_error_name ? c.value : "") << c.name;
		}
	}
}

// A message that does not fit its buffer ends as 0, never written past it.
TEST(ModemManagerClient, WritesNoMessagePastItsBuffer)
{
	auto write = [](uint8_t *buf, size_t size) {
		dwriter w;
		dw_begin(&w, buf, size, false, dbus_call_msg, 1);
		dw_field(&w, df_path, "/org/example");
		dw_field(&w, df_member, "Initiate");
		dw_field(&w, df_signature, "s");
		dw_body(&w);
		dw_str(&w, 's', "*101#");
		return dw_end(&w);
	};
	uint8_t whole[256];
	const size_t len = write(whole, sizeof whole);
	ASSERT_GT(len, 16u);
	dbus_header h;
	ASSERT_TRUE(dbus_parse(whole, len, &h));
	EXPECT_STREQ(h.field[df_member], "Initiate");
	for (size_t size = 0; size < len; size++) {
		uint8_t buf[256];
		memset(buf, 0xa5, sizeof buf);
		EXPECT_EQ(write(buf, size), 0u) << size;
		for (size_t i = size; i < sizeof buf; i++)
			ASSERT_EQ(buf[i], 0xa5) << size << " " << i;
	}
}
