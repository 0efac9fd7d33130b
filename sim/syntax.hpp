// The AT command-line syntax, apart from what any command means.
//
// A command line is "AT" and then commands: basic ones (a letter or '&' and
// a letter, and a number) run together, and extended ones (a name such as
// "+CUSD", then nothing, '?', "=?" or '=' and arguments) separated by ';'.
// Names come in upper case; arguments are kept as they came.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

enum class form { action, read, test, set };	// NAME, NAME?, NAME=?, NAME=...

struct argument {
	bool quoted = false;
	std::string text;	// unquoted and empty: left out
};

struct command {
	std::string name;	// "E", "&F", "S", "D", "+CUSD"
	bool basic = false;
	int value = 0;		// basic: the number after the name, 0 when none
	form how = form::action;	// read or set: only S<n>? and S<n>=... among basic ones
	std::vector<argument> args;	// set: the arguments
};

struct command_line {
	std::vector<command> commands;
	bool bad = false;	// a syntax error follows the commands
};

// The commands of a line from "AT" on. D (dial) takes the rest of the line.
command_line parse(std::string_view line);

// Where "AT" (in either case) begins; npos when nowhere.
std::size_t find_at(std::string_view line);

std::string upper(std::string_view s);

// A numeric parameter: a whole decimal number from 0 to 255.
std::optional<int> small_number(std::string_view s);

}
