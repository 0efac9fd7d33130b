// Under -v, the frames of QMI and MBIM as their modes show them, one line
// each: written with write alone, so that the handlers can show what they
// send too.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <unistd.h>

#include "coding/charsets.hpp"

// The parts of the line up to a null pointer, then a space and the hex of
// each group of bytes of the frame: its first most bytes (512 at the
// most, which the line has room for), and cut (under 16 characters) after
// them where it has more. A part that would not fit (a long program name)
// is cut short.
inline void
show_frame(const char *const *parts, const uint8_t *f, size_t n, size_t group, size_t most,
    const char *cut)
{
	static constexpr size_t head = 320;
	char line[head + 3 * 512 + 16];
	size_t k = 0;

	for (; *parts != nullptr; parts++)
		for (const char *s = *parts; *s != '\0' && k < head; s++)
			line[k++] = *s;
	for (size_t j = 0; j < n && j < most; j++) {
		if (j % group == 0)
			line[k++] = ' ';
		hex_put(f + j, 1, line + k, false);
		k += 2;
	}
	for (; n > most && *cut != '\0'; cut++)
		line[k++] = *cut;
	line[k++] = '\n';
	ssize_t r = write(STDERR_FILENO, line, k);
	(void)r;
}
