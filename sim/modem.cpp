// The glue: a modem is served line by line; rules come before its own answers.

#include "sim/modem.hpp"
#include "sim/syntax.hpp"

#include "coding/charsets.hpp"

#include <utility>

namespace sim {

namespace {

bool matches(const std::string &pattern, const std::string &cmd)
{
	if (!pattern.empty() && pattern.back() == '*')
		return cmd.starts_with(std::string_view(pattern).substr(0, pattern.size() - 1));
	return cmd == pattern;
}

// Control characters and bytes that are not well-formed UTF-8 as escapes.
std::string escape(std::string_view bytes)
{
	static constexpr char digits[] = "0123456789abcdef";
	const std::string s(bytes);
	std::string out;
	for (std::size_t i = 0; i < s.size(); ++i) {
		char c = s[i];
		auto u = static_cast<unsigned char>(c);
		uint32_t cp;
		std::size_t len = u >= 0x80 ? utf8_get(s.c_str() + i, &cp) : 0;
		if (len > 0) {
			out.append(s, i, len);
			i += len - 1;
		} else if (c == '\r')
			out += "\\r";
		else if (c == '\n')
			out += "\\n";
		else if (c == '\\')
			out += "\\\\";
		else if (u < 0x20 || u >= 0x7f)
			out += {'\\', 'x', digits[u >> 4], digits[u & 0xf]};
		else
			out += c;
	}
	return out;
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

step own_answer()
{
	return {step::answer, {}, 0};
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
	open_pty();
	reset();
	put(opts_.stale);
	if (!opts_.bus.empty()) {
		try {
			bus_open();
		} catch (...) {
			bus_close();
			close_pty();
			throw;
		}
	}
	if (!opts_.hilink.empty()) {
		try {
			hilink_open();
		} catch (...) {
			bus_close();
			close_pty();
			throw;
		}
	}
}

modem::~modem()
{
	stop();
	hilink_close();
	bus_close();
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
	tick();
	std::vector<std::string> lines;
	if (!receive(until_due(timeout_ms), lines))
		return false;
	for (const std::string &line : lines) {
		if (hung_up_)
			break;
		handle(line);
	}
	if (!hung_up_)
		tick();
	return !hung_up_;
}

void modem::handle(const std::string &line)
{
	std::size_t at = find_at(line);
	if (at == std::string::npos)
		return;
	std::string cmd = line.substr(at);
	if (echoed(cmd))
		return;

	if (echo_)
		put(cmd + "\r");
	{
		std::lock_guard lock(mutex_);
		received_.push_back(cmd);
	}
	trace("< ", cmd);

	for (std::size_t i = 0; i < opts_.rules.size(); ++i) {
		if (used_[i] || !matches(opts_.rules[i].command, cmd))
			continue;
		used_[i] = true;
		std::string u = upper(cmd);
		if (u == "ATE0")
			echo_ = false;
		else if (u == "ATE1")
			echo_ = true;
		perform(opts_.rules[i].steps, cmd);
		return;
	}
	answer(cmd);
}

void modem::perform(const std::vector<step> &steps, const std::string &cmd)
{
	for (const step &s : steps) {
		if (hung_up_ || stop_)
			return;
		switch (s.what) {
		case step::send:
			if (s.ms <= 0) {
				say(s.bytes);
				break;
			}
			if (opts_.trace)
				opts_.trace("> " + escape(s.bytes) + " (slowly)");
			for (std::size_t i = 0; i < s.bytes.size() && !stop_; ++i) {
				if (i > 0)
					nap(s.ms);
				put(std::string_view(s.bytes).substr(i, 1));
			}
			break;
		case step::pause:
			if (opts_.trace)
				opts_.trace("pause " + std::to_string(s.ms) + " ms");
			nap(s.ms);
			break;
		case step::hangup:
			if (opts_.trace)
				opts_.trace("hang up");
			hang_up();
			break;
		case step::answer:
			answer(cmd);
			break;
		}
	}
}

// Answers go to the trace as well.
void modem::say(std::string_view bytes)
{
	trace("> ", bytes);
	put(bytes);
}

void modem::trace(std::string_view what, std::string_view bytes)
{
	if (opts_.trace)
		opts_.trace(std::string(what) + escape(bytes));
}

}
