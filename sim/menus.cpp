// The network's side: answers by the menu, the session a menu opens, and
// answers that take their time.

#include "sim/modem.hpp"
#include "sim/syntax.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace sim {

namespace {

constexpr std::string_view invalid_choice = "Invalid choice";

std::string joined(const std::vector<std::string> &path)
{
	std::string s;
	for (const std::string &word : path)
		s += (s.empty() ? "" : " ") + word;
	return s;
}

bool blank(char c)
{
	return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view s)
{
	while (!s.empty() && blank(s.front()))
		s.remove_prefix(1);
	while (!s.empty() && blank(s.back()))
		s.remove_suffix(1);
	return s;
}

// The text of an entry with its escapes read: \n a line break, \\ a
// backslash; none when another escape is in it.
std::optional<std::string> unescaped(std::string_view s)
{
	std::string out;
	for (std::size_t i = 0; i < s.size(); ++i) {
		if (s[i] != '\\') {
			out += s[i];
			continue;
		}
		if (++i == s.size() || (s[i] != 'n' && s[i] != '\\'))
			return std::nullopt;
		out += s[i] == 'n' ? '\n' : '\\';
	}
	return out;
}

}

std::vector<menu_entry> builtin_menu()
{
	return {
		{{"*101#"}, 0, "Data left: 2.5 GB, valid until 31.12.2026"},
		{{"*111#"}, 1, "1 Balance\n2 Bundles"},
		{{"*111#", "1"}, 0, "Balance: 12.34 EUR"},
		{{"*111#", "2"}, 1, "1 Day 1 GB\n2 Week 5 GB"},
		{{"*111#", "2", "1"}, 0, "Day 1 GB bought"},
		{{"*111#", "2", "2"}, 0, "Week 5 GB bought"},
	};
}

// One entry a line: the request and the replies that lead to the answer,
// separated by blanks, then '=', the status and, after a blank, the text.
std::vector<menu_entry> parse_menu(std::string_view text, std::string_view name)
{
	std::vector<menu_entry> menu;
	std::vector<int> lines;	// where each entry was given
	auto fail = [&](int line, const std::string &what) {
		throw std::runtime_error(std::string(name) + ":" + std::to_string(line) + ": " + what);
	};
	int number = 0;
	while (!text.empty()) {
		std::size_t end = text.find('\n');
		std::string_view line = text.substr(0, end);
		text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
		++number;
		if (line.ends_with('\r'))
			line.remove_suffix(1);
		std::string_view content = trimmed(line);
		// Codes may start with '#' (#31#), so a comment's '#' stands alone.
		if (content.empty() || content == "#" || (content.starts_with('#') && blank(content[1])))
			continue;

		std::size_t eq = line.find('=');
		if (eq == std::string_view::npos)
			fail(number, "expected REQUEST [REPLY...] = STATUS [TEXT]");
		menu_entry entry;
		std::istringstream words{std::string(line.substr(0, eq))};
		for (std::string word; words >> word;)
			entry.path.push_back(word);
		if (entry.path.empty())
			fail(number, "no request before '='");

		std::string_view rest = line.substr(eq + 1);
		while (!rest.empty() && blank(rest.front()))
			rest.remove_prefix(1);
		if (rest.empty() || rest.front() < '0' || rest.front() > '5' || (rest.size() > 1 && !blank(rest[1])))
			fail(number, "the status after '=' must be one of 0 to 5");
		entry.status = rest.front() - '0';
		rest.remove_prefix(1);
		while (!rest.empty() && blank(rest.front()))
			rest.remove_prefix(1);
		if (!rest.empty()) {
			if (entry.status > 2)
				fail(number, "status " + std::to_string(entry.status) + " carries no text");
			entry.text = unescaped(rest);
			if (!entry.text)
				fail(number, "only \\n and \\\\ are escapes");
		}
		for (std::size_t i = 0; i < menu.size(); ++i)
			if (menu[i].path == entry.path)
				fail(number, "'" + joined(entry.path) + "' is already given on line " +
				    std::to_string(lines[i]));
		menu.push_back(std::move(entry));
		lines.push_back(number);
	}

	// A reply is only heard while a menu above it waits.
	for (std::size_t i = 0; i < menu.size(); ++i) {
		if (menu[i].path.size() < 2)
			continue;
		std::vector<std::string> above(menu[i].path.begin(), menu[i].path.end() - 1);
		auto parent = std::find_if(menu.begin(), menu.end(),
		    [&](const menu_entry &e) { return e.path == above; });
		if (parent == menu.end() || parent->status != 1)
			fail(lines[i], "no menu (status 1) '" + joined(above) + "' leads to this reply");
	}
	return menu;
}

std::vector<menu_entry> read_menu(const std::string &file)
{
	// stdio rather than a stream, which reads a directory as an empty file.
	std::FILE *f = std::fopen(file.c_str(), "rb");
	if (!f)
		throw std::runtime_error(file + ": " + std::strerror(errno));
	std::string text;
	char buf[4096];
	for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
		text.append(buf, n);
	int error = std::ferror(f) ? errno : 0;
	std::fclose(f);
	if (error)
		throw std::runtime_error(file + ": " + std::strerror(error));
	return parse_menu(text, file);
}

// The network's answer to a request: a reply to the menu that waits, or a
// request of its own. A reply in a session that the answer text opened gets
// that text again. The session goes on while the answer has status 1.
modem::network_answer modem::respond(const std::string &request)
{
	std::vector<std::string> path;
	bool reply = session_.has_value();
	if (reply)
		path = std::move(*session_);
	session_.reset();
	path.push_back(request);

	auto find = [this](const std::vector<std::string> &p) {
		auto e = std::find_if(opts_.menu.begin(), opts_.menu.end(),
		    [&](const menu_entry &m) { return m.path == p; });
		return e == opts_.menu.end() ? nullptr : &*e;
	};
	network_answer a;
	const menu_entry *entry = opts_.answer_request ? nullptr : find(path);
	if (entry) {
		a = {entry->status, entry->text};
	} else if (reply && !opts_.answer_request && find({path.begin(), path.end() - 1})) {
		a = {0, std::string(invalid_choice)};
	} else if (opts_.answer_request ||
	    std::find(opts_.answer_codes.begin(), opts_.answer_codes.end(), path.front()) != opts_.answer_codes.end()) {
		a.status = opts_.answer_status;
		if (opts_.answer_text && a.status <= 2)
			a.text = opts_.answer_request ? request : opts_.answer;
	} else {
		a = unknown_code();
	}
	if (a.status == 1)
		session_ = std::move(path);
	return a;
}

// AT+CUSD=2: false when there was no session to end.
bool modem::end_session()
{
	bool open = session_ || due_line_;
	session_.reset();
	due_line_.reset();
	return open;
}

// Sends the answer that has come due, and ends a session that has waited
// too long for its reply.
void modem::tick()
{
	auto now = clock::now();
	if (due_line_ && now >= due_at_) {
		if (opts_.qmi && qmi_due_)
			qmi_network(*std::exchange(qmi_due_, std::nullopt));
		else if (opts_.mbim.on)
			mbim_say(*due_line_);
		else
			say(*due_line_);
		due_line_.reset();
		session_ends_ = now + std::chrono::milliseconds(opts_.session_timeout_ms);
	} else if (session_ && !due_line_ && opts_.session_timeout_ms > 0 && now >= session_ends_) {
		trace("session timed out", "");
		session_.reset();
		if (opts_.qmi)
			qmi_release_session();
		else if (opts_.mbim.on)
			mbim_say(mbim_released());
		else
			say(result("+CUSD: 2"));
	}
}

// How long serve() may wait for input before tick() has something to do.
int modem::until_due(int timeout_ms) const
{
	using namespace std::chrono;
	std::optional<clock::time_point> next;
	if (due_line_)
		next = due_at_;
	else if (session_ && opts_.session_timeout_ms > 0)
		next = session_ends_;
	if (!next)
		return timeout_ms;
	auto left = std::max<long long>(duration_cast<milliseconds>(*next - clock::now()).count() + 1, 0);
	return timeout_ms >= 0 && left > timeout_ms ? timeout_ms : static_cast<int>(left);
}

}
