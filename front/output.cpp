#include <stdio.h>
#include <err.h>

#include "coding/charsets.hpp"
#include "coding/septets.hpp"
#include "front/settings.hpp"
#include "modem/modes.hpp"

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

// Every control character is escaped, those of ISO 8859-1's upper half and
// DEL too, so that a script never finds one in what it parses.
static void
json_char(FILE *f, uint32_t cp)
{
	static constexpr char shorts[] = "btnvfr";	// \b from 8 to \r at 13

	if (cp == '"' || cp == '\\') {
		putc('\\', f);
		putc(static_cast<int>(cp), f);
	} else if (cp >= 8 && cp <= 13 && cp != 11) {
		putc('\\', f);
		putc(shorts[cp - 8], f);
	} else if (cp < 0x20 || (cp >= 0x7f && cp < 0xa0)) {
		fprintf(f, "\\u%04x", static_cast<unsigned>(cp));
	} else {
		char bytes[4];
		utf8_out out = {bytes, sizeof bytes, 0};
		utf8_put(&out, cp);
		fwrite(bytes, 1, out.len, f);
	}
}

void
json_string(FILE *f, const char *s, size_t n, bool latin1)
{
	putc('"', f);
	if (latin1)
		for (size_t i = 0; i < n; i++)
			json_char(f, static_cast<unsigned char>(s[i]));
	else
		utf8_walk(s, n, [f](uint32_t cp) {
			json_char(f, cp == not_utf8 ? replacement_char : cp);
			return true;
		});
	putc('"', f);
}

void
print_json(const ussd_answer *a, const utf8_out *text, const char *mode, bool kept)
{
	// -1: the mode does not say.
	if (a->status < 0)
		fputs("{\"status\":null,\"text\":", stdout);
	else
		printf("{\"status\":%d,\"text\":", a->status);
	json_string(stdout, text->buf, text->len, false);
	if (a->dcs < 0)
		fputs(",\"dcs\":null,\"raw\":", stdout);
	else
		printf(",\"dcs\":%d,\"raw\":", a->dcs);
	json_string(stdout, a->octets, a->len, !a->utf8);
	printf(",\"mode\":\"%s\",\"kept\":%s}\n", mode, kept ? "true" : "false");
}

// The answer is the whole point of the run: if it could not be written,
// the caller must not be told that all went well.
void
finish_output()
{
	if (fflush(stdout) != 0 || ferror(stdout))
		err(1, "stdout");
}
