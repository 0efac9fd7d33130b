// A broken invariant ends the run with a message, so that libFuzzer keeps
// the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void
check_failed(const char *what, const char *file, int line)
{
	std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
	std::abort();
}

#define CHECK(cond) ((cond) ? (void)0 : check_failed(#cond, __FILE__, __LINE__))
