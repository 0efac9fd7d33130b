#include <stdio.h>
#include <err.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "coding/charsets.hpp"
#include "coding/septets.hpp"
#include "front/settings.hpp"
#include "modem/modes.hpp"

void
print_classic(char *buf)
{
	printf("buf=%s", buf);
	decira(buf);
	fputs(buf, stdout);
	putchar('\n');
}

// The length of the control character that starts s, or 0.
static size_t
control_at(const char *s)
{
	const auto c = static_cast<unsigned char>(s[0]);

	// U+0080 to U+009F are C2 80 to C2 9F; a C2 is never last, in the
	// answer, which is whole UTF-8, nor in a NUL-terminated text.
	if (c == 0xc2 && (s[1] & 0xe0) == 0x80)
		return 2;
	return c == 0x7f || (c < 0x20 && c != '\t' && c != '\n');
}

static constexpr char shown_instead[] = "\xef\xbf\xbd";

// On a terminal a control character could retitle it, write to its
// clipboard or hide text: each but LF and TAB shows as U+FFFD there, as
// ls shows odd names. Into a pipe or a file the text goes as it is.
void
put_shown(const char *s, size_t n)
{
	struct termios t;
	const bool tty = tcgetattr(STDOUT_FILENO, &t) == 0;

	for (size_t i = 0, k; i < n; i += k) {
		if (tty && (k = control_at(s + i)) > 0) {
			fputs(shown_instead, stdout);
		} else {
			putchar(static_cast<unsigned char>(s[i]));
			k = 1;
		}
	}
}

size_t
shown_in_message(char *to, size_t size, const char *s, size_t n)
{
	struct termios t;
	const bool tty = tcgetattr(STDERR_FILENO, &t) == 0;
	size_t len = 0;

	for (size_t i = 0, k; i < n; i += k) {
		k = tty ? control_at(s + i) : 0;
		const char *c = k > 0 ? shown_instead : s + i;
		const size_t w = k > 0 ? 3 : 1;
		k += k == 0;
		if (len + w >= size)
			break;
		memcpy(to + len, c, w);
		len += w;
	}
	to[len] = '\0';
	return len;
}

void
print_text(const utf8_out *text)
{
	// The text may hold a NUL of its own.
	put_shown(text->buf, text->len);
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
		// Never a NUL among them: that is escaped above.
		char bytes[5] = {};
		utf8_out out = {bytes, 4, 0};
		utf8_put(&out, cp);
		fputs(bytes, f);
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
	// ModemManager's text is UTF-8 already; a modem's is read byte for
	// byte.
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
