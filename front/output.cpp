#include <stdio.h>
#include <err.h>

#include "coding/charsets.hpp"
#include "coding/septets.hpp"
#include "front/settings.hpp"

void
print_classic(char *buf)
{
	printf("buf=%s", buf);
	decira(buf);
	puts(buf);
}

void
print_text(const utf8_out *text)
{
	// The text may hold a NUL of its own.
	fwrite(text->buf, 1, text->len, stdout);
	putchar('\n');
}

// The answer is the whole point of the run: if it could not be written,
// the caller must not be told that all went well.
void
finish_output()
{
	if (fflush(stdout) != 0 || ferror(stdout))
		err(1, "stdout");
}
