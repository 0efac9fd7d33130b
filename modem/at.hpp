// The AT mode: the +CUSD: answer read over the AT link, and the choice
// auto makes among the AT codings.
#pragma once

#include <stddef.h>

#include "modem/frames/link.hpp"

/* cusd.cpp */
// The answer of an AT modem: +CUSD: <m>[,"<str>"[,<dcs>]], the text
// perhaps over several lines.
struct cusd_answer {
	int status;	// <m>, 0 to 5
	bool has_text;
	int dcs;	// 15 when none came
	char *text;	// the quoted text as it came, NUL-terminated
	size_t len;
	size_t size;	// room for text and its NUL
	// Of len, the CRs that ended its lines; the rest must stay below
	// work_buf_size.
	size_t crs;
};
enum class cusd_part { other, whole, open, bad, too_long };
cusd_part cusd_begin(const char *line, cusd_answer *a);	// the +CUSD: line
// A line of an open text, after the crs CRs that ended the line before.
cusd_part cusd_go_on(const char *line, size_t crs, cusd_answer *a);
// What a wait for an answer came to.
enum class cusd_wait { answer, refused, bad, too_long, lost };
// The one wait for an answer, by d's rules: into a, or the refusal (its
// line into refusal) where d is strict.
cusd_wait cusd_read(const dialogue *d, cusd_answer *a, char *refusal, size_t size,
    line_source src);
// The same from the modem, by the port's dialogue: false when the modem
// refused the request; any other failure ends the run.
bool at_wait_answer(cusd_answer *a, char *refusal, size_t size);

/* atmodes.cpp */
// What auto would choose by what the modem says it takes: packed, text or
// ucs2.
const char *choose_mode();
