// Feeds any modem output to the answer wait: lines taken by read_line into
// the wait's buffer, then looked at as the classic wait (cusd_take) or as
// the wait of -d and the modes (cusd_begin, cusd_go_on) looks at them. Both
// the lines and the answer are checked against a model built here on
// std::string that knows nothing of buffers or C strings but the one NUL
// rule. The first byte of the input picks the wait: even is classic.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/check.hpp"
#include "modem/link.hpp"

namespace {

constexpr std::size_t reply_buf_size = 1088;
constexpr std::size_t text_size = 1024;	// the run's work buffer
constexpr std::string_view cusd_prefix = "+CUSD: ";

// A line as the model sees it.
struct model_line {
	std::string seen;	// what the wait may match: its start, line ending left out
	std::size_t len;	// of the whole line, one final CR left out
	bool cut;
};

// Every line is the bytes up to an LF. The bytes after the last LF are a
// line the end of input cut short, which is no line.
std::vector<model_line>
model_lines(std::string_view input, bool classic)
{
	std::vector<model_line> lines;
	for (std::size_t lf; (lf = input.find('\n')) != std::string_view::npos;
	    input.remove_prefix(lf + 1)) {
		const std::string_view raw = input.substr(0, lf);
		model_line line;
		line.len = raw.size() - (raw.ends_with('\r') ? 1 : 0);
		line.cut = line.len > reply_buf_size - 1;
		std::string_view seen = raw.substr(0, reply_buf_size - 1);
		while (seen.ends_with('\r'))
			seen.remove_suffix(1);
		// The tool holds lines as C strings; classic runs cut them at
		// their first CR.
		seen = seen.substr(0, seen.find('\0'));
		if (classic)
			seen = seen.substr(0, seen.find('\r'));
		line.seen = std::string(seen);
		lines.push_back(std::move(line));
	}
	return lines;
}

bool
is_digit(char c)
{
	return c >= '0' && c <= '9';
}

// Over 255 is read as the default alphabet.
int
scheme_value(std::string_view digits)
{
	while (digits.size() > 1 && digits.front() == '0')
		digits.remove_prefix(1);
	if (digits.size() > 3)
		return 15;
	int v = 0;
	for (char c : digits)
		v = v * 10 + (c - '0');
	return v > 255 ? 15 : v;
}

// Where the quoted text of this line ends, read from the end of the line
// backwards: spaces, digits, spaces, a comma, spaces, the quote. On the
// +CUSD line a quote and spaces alone end it too. npos when the text goes on.
std::size_t
text_end(std::string_view line, bool first, int &dcs)
{
	std::size_t i = line.size();
	auto skip_spaces = [&] {
		while (i > 0 && line[i - 1] == ' ')
			i--;
	};
	skip_spaces();
	const std::size_t digits_end = i;
	while (i > 0 && is_digit(line[i - 1]))
		i--;
	if (i == digits_end) {
		if (first && i > 0 && line[i - 1] == '"') {
			dcs = 15;
			return i - 1;
		}
		return std::string_view::npos;
	}
	const std::string_view digits = line.substr(i, digits_end - i);
	skip_spaces();
	if (i == 0 || line[i - 1] != ',')
		return std::string_view::npos;
	i--;
	skip_spaces();
	if (i == 0 || line[i - 1] != '"')
		return std::string_view::npos;
	dcs = scheme_value(digits);
	return i - 1;
}

enum class outcome { lost, refused, bad, too_long, answer };

struct result {
	outcome what = outcome::lost;
	std::string line;	// the refusal, or the classic answer's text
	int status = -1;
	bool has_text = false;
	int dcs = -1;
	std::string text;
};

bool
is_refusal_line(const std::string &s)
{
	return s == "ERROR" || s.starts_with("+CME ERROR:") || s.starts_with("+CMS ERROR:");
}

// The answer line of -d: +CUSD: <m>[,"<str>"[,<dcs>]], <m> from 0 to 5.
// Returns whether the text goes on over the next lines.
bool
model_begin(std::string_view s, result &r)
{
	s.remove_prefix(cusd_prefix.size());
	auto skip_spaces = [&] {
		while (!s.empty() && s.front() == ' ')
			s.remove_prefix(1);
	};
	skip_spaces();
	std::size_t n = 0;
	while (n < s.size() && is_digit(s[n]))
		n++;
	std::string_view m = s.substr(0, n);
	while (m.size() > 1 && m.front() == '0')
		m.remove_prefix(1);
	if (m.empty() || m.size() > 1 || m[0] > '5') {
		r.what = outcome::bad;
		return false;
	}
	r.what = outcome::answer;
	r.status = m[0] - '0';
	r.dcs = 15;
	s.remove_prefix(n);
	skip_spaces();
	if (s.empty())
		return false;
	if (s.front() != ',') {
		r.what = outcome::bad;
		return false;
	}
	s.remove_prefix(1);
	skip_spaces();
	if (s.empty() || s.front() != '"')
		return false;
	s.remove_prefix(1);
	r.has_text = true;
	const std::size_t end = text_end(s, true, r.dcs);
	r.text = s.substr(0, end);
	return end == std::string_view::npos;
}

result
model_modern(const std::vector<model_line> &lines)
{
	result r;
	std::size_t i = 0;
	for (; i < lines.size(); i++) {
		const model_line &l = lines[i];
		if (l.cut) {
			if (l.seen.starts_with(cusd_prefix)) {
				r.what = outcome::too_long;
				return r;
			}
			continue;
		}
		if (is_refusal_line(l.seen)) {
			r.what = outcome::refused;
			r.line = l.seen;
			return r;
		}
		if (l.seen.starts_with(cusd_prefix))
			break;
	}
	if (i == lines.size())
		return r;
	bool open = model_begin(lines[i].seen, r);
	while (open && r.text.size() < text_size) {
		if (++i == lines.size()) {
			r.what = outcome::lost;
			return r;
		}
		if (lines[i].cut) {
			r.what = outcome::too_long;
			return r;
		}
		const std::size_t end = text_end(lines[i].seen, false, r.dcs);
		r.text += '\n';
		r.text += lines[i].seen.substr(0, end);
		open = end == std::string::npos;
	}
	if (r.text.size() >= text_size)
		r.what = outcome::too_long;
	return r;
}

// The classic answer line: the text from the first quote to the next one.
result
model_classic(const std::vector<model_line> &lines)
{
	result r;
	for (const model_line &l : lines) {
		if (!l.seen.starts_with(cusd_prefix))
			continue;
		r.what = outcome::bad;
		if (l.cut) {
			r.what = outcome::too_long;
			return r;
		}
		const std::size_t open = l.seen.find('"');
		const std::size_t close = open == std::string::npos ?
		    open : l.seen.find('"', open + 1);
		if (close == std::string::npos)
			return r;
		if (close - open - 1 >= text_size) {
			r.what = outcome::too_long;
			return r;
		}
		r.line = l.seen.substr(open + 1, close - open - 1);
		// A comma and a number up to 255, spaces around either, or 15.
		std::string_view rest = std::string_view(l.seen).substr(close + 1);
		r.dcs = 15;
		while (rest.ends_with(' '))
			rest.remove_suffix(1);
		std::size_t d = rest.size();
		while (d > 0 && is_digit(rest[d - 1]))
			d--;
		const std::string_view digits = rest.substr(d);
		rest = rest.substr(0, d);
		while (rest.ends_with(' '))
			rest.remove_suffix(1);
		if (!digits.empty() && rest.ends_with(',') &&
		    rest.find_first_not_of(' ') == rest.size() - 1)
			r.dcs = scheme_value(digits);
		r.what = outcome::answer;
		return r;
	}
	return r;
}

// The lines as read_line gives them, each checked against the model's.
class line_source {
public:
	line_source(FILE *in, const std::vector<model_line> &lines) : in_(in), lines_(lines) {}
	bool
	next(char *buf, line_read *got)
	{
		const bool read = read_line(in_, buf, reply_buf_size, got);
		CHECK(read == (at_ < lines_.size()));
		if (!read)
			return false;
		const model_line &l = lines_[at_++];
		CHECK(got->len == l.len);
		CHECK(got->cut == l.cut);
		CHECK(l.seen == buf);
		return true;
	}

private:
	FILE *in_;
	const std::vector<model_line> &lines_;
	std::size_t at_ = 0;
};

// As at_wanswer waits, with the endings it leaves by errx as outcomes.
result
wait_modern(line_source &src)
{
	result r;
	auto buf = std::make_unique<char[]>(reply_buf_size);
	auto text = std::make_unique<char[]>(text_size);
	cusd_answer a = {-1, false, 15, text.get(), 0, text_size};
	line_read got;

	for (;;) {
		if (!src.next(buf.get(), &got))
			return r;
		if (got.cut && std::strncmp(buf.get(), "+CUSD: ", 7) == 0) {
			r.what = outcome::too_long;
			return r;
		}
		if (got.cut)
			continue;
		if (is_refusal(buf.get())) {
			r.what = outcome::refused;
			r.line = buf.get();
			return r;
		}
		cusd_part part = cusd_begin(buf.get(), &a);
		while (part == cusd_part::open) {
			if (!src.next(buf.get(), &got))
				return r;
			part = got.cut ? cusd_part::too_long : cusd_go_on(buf.get(), &a);
		}
		if (part == cusd_part::bad) {
			r.what = outcome::bad;
			return r;
		}
		if (part == cusd_part::too_long) {
			r.what = outcome::too_long;
			return r;
		}
		if (part == cusd_part::whole)
			break;
	}
	CHECK(a.len < text_size);
	CHECK(std::strlen(a.text) == a.len);
	r.what = outcome::answer;
	r.status = a.status;
	r.has_text = a.has_text;
	r.dcs = a.dcs;
	r.text = std::string(a.text, a.len);
	return r;
}

// As at_wcusd waits.
result
wait_classic(line_source &src)
{
	result r;
	auto buf = std::make_unique<char[]>(reply_buf_size);
	auto dest = std::make_unique<char[]>(text_size);
	line_read got;

	for (;;) {
		if (!src.next(buf.get(), &got))
			return r;
		if (got.cut && std::strncmp(buf.get(), "+CUSD: ", 7) == 0) {
			r.what = outcome::too_long;
			return r;
		}
		if (got.cut)
			continue;
		switch (cusd_take(buf.get(), dest.get(), text_size, &r.dcs)) {
		case cusd_line::other:
			continue;
		case cusd_line::bad:
			r.what = outcome::bad;
			return r;
		case cusd_line::too_long:
			r.what = outcome::too_long;
			return r;
		case cusd_line::answer:
			CHECK(strnlen(dest.get(), text_size) < text_size);
			r.what = outcome::answer;
			r.line = dest.get();
			return r;
		}
	}
}

}

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (size < 2)
		return 0;
	const bool classic = data[0] % 2 == 0;
	// fmemopen wants a writable buffer even to read.
	std::string input(reinterpret_cast<const char *>(data + 1), size - 1);
	const std::vector<model_line> lines = model_lines(input, classic);
	decode = classic ? 0 : 1;	// which line ends the reader cuts

	FILE *in = fmemopen(input.data(), input.size(), "r");
	CHECK(in != nullptr);
	line_source src(in, lines);
	const result got = classic ? wait_classic(src) : wait_modern(src);
	std::fclose(in);
	const result want = classic ? model_classic(lines) : model_modern(lines);

	CHECK(got.what == want.what);
	CHECK(got.line == want.line);
	if (got.what == outcome::answer) {
		CHECK(got.status == want.status);
		CHECK(got.has_text == want.has_text);
		CHECK(got.dcs == want.dcs);
		CHECK(got.text == want.text);
	}
	return 0;
}
