// The tests write the messages they expect in glibc's words. The C library
// a build of the tool uses, named by USSDQ_TEST_LIBC (glibc, the default, or
// musl), words some system errors and getopt's complaints its own way.
#pragma once

#include <string>

// One message, without the program's name, as the tool's C library words it.
std::string in_libc_words(const std::string &line);
