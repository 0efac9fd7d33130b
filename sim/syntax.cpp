#include "sim/syntax.hpp"

namespace sim {

namespace {

bool is_alpha(char c)
{
	return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool is_digit(char c)
{
	return c >= '0' && c <= '9';
}

void skip_spaces(std::string_view &rest)
{
	while (rest.starts_with(" "))
		rest.remove_prefix(1);
}

// One basic command from the front of rest; false on a syntax error.
bool basic(std::string_view &rest, command &cmd)
{
	cmd.basic = true;
	cmd.name = upper(rest.substr(0, 1));
	rest.remove_prefix(1);
	if (cmd.name == "&") {
		if (rest.empty() || !is_alpha(rest.front()))
			return false;
		cmd.name += upper(rest.substr(0, 1));
		rest.remove_prefix(1);
	}
	if (cmd.name == "D") {
		rest = {};
		return true;
	}
	std::size_t n = 0;
	while (n < rest.size() && is_digit(rest[n]))
		++n;
	std::optional<int> value = n == 0 ? 0 : small_number(rest.substr(0, n));
	rest.remove_prefix(n);
	if (!value)
		return false;
	cmd.value = *value;
	if (cmd.name == "S") {
		if (rest.starts_with("?")) {
			rest.remove_prefix(1);
			cmd.how = form::read;
		} else if (rest.starts_with("=")) {
			rest.remove_prefix(1);
			cmd.how = form::set;
			n = 0;
			while (n < rest.size() && is_digit(rest[n]))
				++n;
			cmd.args.push_back({false, std::string(rest.substr(0, n))});
			rest.remove_prefix(n);
		}
	}
	return true;
}

// One extended command from the front of rest, up to its ';' or the end;
// false on a syntax error.
bool extended(std::string_view &rest, command &cmd)
{
	std::size_t n = 1;
	while (n < rest.size() && (is_alpha(rest[n]) || is_digit(rest[n]) ||
	    std::string_view("!%-./:_").find(rest[n]) != std::string_view::npos))
		++n;
	cmd.name = upper(rest.substr(0, n));
	rest.remove_prefix(n);
	if (rest.starts_with("=?")) {
		cmd.how = form::test;
		rest.remove_prefix(2);
	} else if (rest.starts_with("?")) {
		cmd.how = form::read;
		rest.remove_prefix(1);
	} else if (rest.starts_with("=")) {
		cmd.how = form::set;
		rest.remove_prefix(1);
		for (;;) {
			argument arg;
			skip_spaces(rest);
			if (rest.starts_with("\"")) {
				std::size_t close = rest.find('"', 1);
				if (close == std::string_view::npos)
					return false;
				arg = {true, std::string(rest.substr(1, close - 1))};
				rest.remove_prefix(close + 1);
				skip_spaces(rest);
			} else {
				std::string_view text = rest.substr(0, rest.find_first_of(",;"));
				rest.remove_prefix(text.size());
				while (text.ends_with(" "))
					text.remove_suffix(1);
				arg.text = std::string(text);
			}
			cmd.args.push_back(std::move(arg));
			if (!rest.starts_with(","))
				break;
			rest.remove_prefix(1);
		}
	}
	return rest.empty() || rest.front() == ';';
}

}

command_line parse(std::string_view line)
{
	command_line parsed;
	std::string_view rest = line.substr(line.size() < 2 ? line.size() : 2);
	while (!rest.empty()) {
		char c = rest.front();
		if (c == ' ' || c == ';') {
			rest.remove_prefix(1);
			continue;
		}
		command cmd;
		if (!(is_alpha(c) || c == '&' ? basic(rest, cmd) : extended(rest, cmd))) {
			parsed.bad = true;
			break;
		}
		parsed.commands.push_back(std::move(cmd));
	}
	return parsed;
}

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

std::optional<int> small_number(std::string_view s)
{
	if (s.empty() || s.size() > 3)
		return std::nullopt;
	int n = 0;
	for (char c : s) {
		if (!is_digit(c))
			return std::nullopt;
		n = n * 10 + (c - '0');
	}
	if (n > 255)
		return std::nullopt;
	return n;
}

}
