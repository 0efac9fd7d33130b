#include "tests/libc_words.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

struct wording {
	const char *glibc, *musl;
};

// musl's words for the system errors that a device, a file or a stream can
// give, where they are not glibc's.
constexpr wording musl_errors[] = {
	{"Input/output error", "I/O error"},
	{"Inappropriate ioctl for device", "Not a tty"},
	{"Device or resource busy", "Resource busy"},
	{"Too many levels of symbolic links", "Symbolic link loop"},
	{"File name too long", "Filename too long"},
	{"Too many open files", "No file descriptors available"},
	{"Cannot allocate memory", "Out of memory"},
	{"Illegal seek", "Invalid seek"},
	{"Value too large for defined data type", "Value too large for data type"},
	{"Invalid or incomplete multibyte or wide character", "Illegal byte sequence"},
	{"Operation not supported", "Not supported"},
	{"Connection timed out", "Operation timed out"},
};

bool
tool_uses_musl()
{
	static const bool musl = [] {
		const char *libc = std::getenv("USSDQ_TEST_LIBC");
		if (libc == nullptr || *libc == '\0' || std::strcmp(libc, "glibc") == 0)
			return false;
		if (std::strcmp(libc, "musl") == 0)
			return true;
		std::fprintf(stderr, "USSDQ_TEST_LIBC=%s: neither glibc nor musl\n", libc);
		std::exit(2);
	}();
	return musl;
}

}

std::string
in_libc_words(const std::string &line)
{
	if (!tool_uses_musl())
		return line;
	for (const auto &w : musl_errors) {
		std::string tail = std::string(": ") + w.glibc;
		if (line.ends_with(tail))
			return line.substr(0, line.size() - tail.size()) + ": " + w.musl;
	}
	// getopt's complaints: "invalid option -- 'x'" and
	// "option requires an argument -- 'x'".
	for (auto [glibc, musl] : {std::pair{"invalid option -- '", "unrecognized option: "},
	    std::pair{"option requires an argument -- '", "option requires an argument: "}}) {
		std::string from = glibc;
		if (line.size() == from.size() + 2 && line.starts_with(from) && line.back() == '\'')
			return musl + line.substr(from.size(), 1);
	}
	return line;
}
