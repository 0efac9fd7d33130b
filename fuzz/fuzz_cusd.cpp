// Feeds any modem output to the answer waits of the tool: lines taken by
// read_line into the wait's buffer, then waited on by cusd_read as the
// classic run or the modern one waits. Both
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
#include "modem/frames/link.hpp"
#include "modem/at.hpp"

namespace {

constexpr std::size_t reply_buf_size = 1088;
constexpr std::size_t text_size = 1024;	// the run's work buffer
constexpr std::string_view cusd_prefix = "+CUSD: ";

// A line as the model sees it.
struct model_line {
	std::string seen;	// what the wait may match: its start, line ending left out
	std::size_t len;	// of the whole line, one final CR left out
	bool cut;
	std::size_t crs;	// the CRs before its LF
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
		// npos + 1 is 0: a line of CRs alone.
		line.crs = raw.size() - (raw.find_last_not_of('\r') + 1);
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
	// The CRs that end lines are kept but not counted against the room,
	// which is twice the text's for them.
	std::size_t crs = 0;
	auto too_long = [&] { return r.text.size() - crs >= text_size || r.text.size() >= 2 * text_size; };
	bool open = model_begin(lines[i].seen, r);
	while (open && !too_long()) {
		if (++i == lines.size()) {
			r.what = outcome::lost;
			return r;
		}
		if (lines[i].cut) {
			r.what = outcome::too_long;
			return r;
		}
		const std::size_t end = text_end(lines[i].seen, false, r.dcs);
		r.text += std::string(lines[i - 1].crs, '\r') + '\n';
		crs += lines[i - 1].crs;
		r.text += lines[i].seen.substr(0, end);
		open = end == std::string::npos;
	}
	if (too_long())
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
		r.what = outcome::answer;
		return r;
	}
	return r;
}

// The input, handed out to read_line a byte at a time as the modem would.
std::string_view bytes;

int
input_byte(std::int64_t)
{
	if (bytes.empty())
		return end_byte;
	const auto c = static_cast<unsigned char>(bytes.front());
	bytes.remove_prefix(1);
	return c;
}

// The lines as read_line gives them to the waits, each checked against the
// model's.
const dialogue *rules;
const std::vector<model_line> *expected;
std::size_t at;

next_line
input_line(char *buf, std::size_t size, std::int64_t deadline, line_read *got)
{
	CHECK(size == reply_buf_size);
	const next_line r = read_line(input_byte, rules, deadline, buf, size, got);
	CHECK(r != next_line::late);
	CHECK((r == next_line::line) == (at < expected->size()));
	if (r != next_line::line)
		return r;
	const model_line &l = (*expected)[at++];
	CHECK(got->len == l.len);
	CHECK(got->cut == l.cut);
	CHECK(got->crs == l.crs);
	CHECK(l.seen == buf);
	return r;
}

outcome
outcome_of(cusd_wait w)
{
	switch (w) {
	case cusd_wait::answer:
		return outcome::answer;
	case cusd_wait::refused:
		return outcome::refused;
	case cusd_wait::bad:
		return outcome::bad;
	case cusd_wait::too_long:
		return outcome::too_long;
	case cusd_wait::lost:
		break;
	}
	return outcome::lost;
}

// The tool's own waits.
result
wait_modern()
{
	result r;
	auto text = std::make_unique<char[]>(2 * text_size);
	auto refusal = std::make_unique<char[]>(reply_buf_size);
	cusd_answer a = {-1, false, 15, text.get(), 0, 2 * text_size, 0};

	r.what = outcome_of(cusd_read(&modern_dialogue, &a, refusal.get(), reply_buf_size,
	    input_line));
	if (r.what == outcome::refused)
		r.line = refusal.get();
	if (r.what != outcome::answer)
		return r;
	CHECK(a.len - a.crs < text_size);
	CHECK(std::strlen(a.text) == a.len);
	r.status = a.status;
	r.has_text = a.has_text;
	r.dcs = a.dcs;
	r.text = std::string(a.text, a.len);
	return r;
}

result
wait_classic()
{
	result r;
	auto text = std::make_unique<char[]>(2 * text_size);
	auto refusal = std::make_unique<char[]>(reply_buf_size);
	cusd_answer a = {-1, false, 15, text.get(), 0, 2 * text_size, 0};

	r.what = outcome_of(cusd_read(&classic_dialogue, &a, refusal.get(), reply_buf_size,
	    input_line));
	if (r.what == outcome::answer) {
		CHECK(a.len < text_size);
		CHECK(std::strlen(a.text) == a.len);
		r.line = a.text;
	}
	return r;
}

}

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (size < 2)
		return 0;
	const bool classic = data[0] % 2 == 0;
	const std::string input(reinterpret_cast<const char *>(data + 1), size - 1);
	const std::vector<model_line> lines = model_lines(input, classic);

	bytes = input;
	rules = classic ? &classic_dialogue : &modern_dialogue;
	expected = &lines;
	at = 0;
	const result got = classic ? wait_classic() : wait_modern();
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
