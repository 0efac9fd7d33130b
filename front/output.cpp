#include <stdio.h>
#include <string.h>
#include <err.h>
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

// On a terminal a control character could retitle it, write to its
// clipboard or hide text: each but LF and TAB shows as U+FFFD there, as
// ls shows odd names. Into a pipe or a file the text goes as it is. The
// length of the one at s, or 0 for none: U+0080 to U+009F are C2 80 to C2
// 9F, and a C2 is never last, in the answer, which is whole UTF-8, nor in
// a NUL-terminated text.
static size_t
control_at(const char *s)
{
	const auto c = static_cast<unsigned char>(*s);

	if (c == 0xc2 && (s[1] & 0xe0) == 0x80)
		return 2;
	return c == 0x7f || (c < 0x20 && c != '\t' && c != '\n');
}

static constexpr char replacement[] = "\xef\xbf\xbd";

void
put_shown(const char *s, size_t n)
{
	struct termios t;
	const bool tty = tcgetattr(STDOUT_FILENO, &t) == 0;

	for (size_t i = 0; i < n; i++) {
		const size_t c = tty ? control_at(s + i) : 0;
		if (c != 0) {
			fputs(replacement, stdout);
			i += c - 1;
		} else {
			putchar(s[i]);
		}
	}
}

const char *
shown(const char *s)
{
	static char buf[4096];
	struct termios t;

	if (!modern || tcgetattr(STDERR_FILENO, &t) != 0)
		return s;
	size_t n = 0;
	for (; *s != '\0' && n < sizeof buf - 3; s++) {
		if (const size_t c = control_at(s)) {
			memcpy(buf + n, replacement, 3);
			n += 3;
			s += c - 1;
		} else {
			buf[n++] = *s;
		}
	}
	buf[n] = '\0';
	return buf;
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
json_char(uint32_t cp)
{
	static constexpr char shorts[] = "btnvfr";	// \b from 8 to \r at 13

	const int escaped = cp == '"' || cp == '\\' ? static_cast<int>(cp) :
	    cp >= 8 && cp <= 13 && cp != 11 ? shorts[cp - 8] : 0;

	if (escaped != 0) {
		putchar('\\');
		putchar(escaped);
	} else if (cp < 0x20 || (cp >= 0x7f && cp < 0xa0)) {
		printf("\\u%04x", static_cast<unsigned>(cp));
	} else {
		// Never a NUL among them: that is escaped above.
		char bytes[5] = {};
		utf8_out out = {bytes, 4, 0};
		utf8_put(&out, cp);
		fputs(bytes, stdout);
	}
}

void
json_string(const char *s, size_t n, bool latin1)
{
	putchar('"');
	// A byte that starts no well-formed character is U+FFFD.
	for (size_t i = 0, k = 1; i < n; i += k) {
		uint32_t cp = static_cast<unsigned char>(s[i]);
		if (!latin1 && (k = utf8_take(s + i, n - i, &cp)) == 0) {
			cp = replacement_char;
			k = 1;
		}
		json_char(cp);
	}
	putchar('"');
}

// lead, then n, or null where n is -1: the mode does not say.
static void
json_number(const char *lead, int n)
{
	fputs(lead, stdout);
	if (n < 0)
		fputs("null", stdout);
	else
		printf("%d", n);
}

void
print_json(const ussd_answer *a, const utf8_out *text, const char *mode, bool kept)
{
	json_number("{\"status\":", a->status);
	fputs(",\"text\":", stdout);
	json_string(text->buf, text->len, false);
	json_number(",\"dcs\":", a->dcs);
	fputs(",\"raw\":", stdout);
	// UTF-8 text stays as it is; a modem's is read byte for byte.
	json_string(a->raw, a->raw_len, a->set != charset::utf8);
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
