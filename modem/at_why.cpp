#include <stdio.h>
#include <string.h>

#include "modem/frames/link.hpp"
#include "modem/why.hpp"

// What a question came to: its information line, a refusal, or nothing
// before the deadline, after which nothing more is asked.
enum class heard { answer, refused, none };

// Sends cmd and reads to its own final result: the line that starts with
// prefix, or the refusal, into line.
static heard
ask(const char *cmd, char *line, size_t size, int64_t deadline)
{
	char buf[128];
	const size_t n = strcspn(cmd + 2, "?");	// "+CREG" of "AT+CREG?"
	line_read got;
	at_exchange x;
	bool found = false;

	at_command(cmd);
	at_begin(&x, "at_why", modem_line);
	x.deadline = deadline;
	while (at_next(&x, buf, sizeof buf, &got))
		if (!got.cut && !found && strncmp(buf, cmd + 2, n) == 0 && buf[n] == ':')
			found = snprintf(line, size, "%s", buf + n + 1) >= 0;
	if (x.end != next_line::line) {
		// Gone, it is presumed, or too late to wait for.
		results_owed = 0;
		return heard::none;
	}
	if (strcmp(buf, "OK") != 0) {
		snprintf(line, size, "%s", buf);
		return heard::refused;
	}
	return found ? heard::answer : heard::refused;
}

// The number of the field'th comma-separated field of a line, -1 when
// there is none such. The numbers looked for are all small: a longer one
// is read as far as 1000 or more, which none of them is.
static long
field(const char *p, int field)
{
	for (; field > 0 && p != nullptr; field--)
		if ((p = strchr(p, ',')) != nullptr)
			p++;
	if (p == nullptr)
		return -1;
	p += strspn(p, " ");
	long n = *p >= '0' && *p <= '9' ? 0 : -1;
	for (; *p >= '0' && *p <= '9' && n < 1000; p++)
		n = n * 10 + (*p - '0');
	return n;
}

// <stat> of +CREG, +CEREG and +C5GREG.
static reg_state
registration(const char *cmd, char *line, size_t size, int64_t deadline, heard *h)
{
	// By <stat>: 0 not searching, 1 and 5 registered (home, roaming), 2
	// searching, 3 denied, 6 and 7 SMS only, 9 and 10 registered for CSFB
	// not preferred; 4 and 8 (unknown, emergency only) say nothing.
	static constexpr reg_state by_stat[] = {
		reg_state::not_searching, reg_state::registered, reg_state::searching, reg_state::denied,
		reg_state::unknown, reg_state::registered, reg_state::sms_only, reg_state::sms_only,
		reg_state::unknown, reg_state::registered, reg_state::registered,
	};

	*h = ask(cmd, line, size, deadline);
	const long stat = *h == heard::answer ? field(line, 1) : -1;
	return stat >= 0 && stat < 11 ? by_stat[stat] : reg_state::unknown;
}

// What +CPIN's answer, or its refusal, says of the SIM, and the name of the
// lock it asks to be opened.
static void
sim_from(heard h, const char *line, modem_state *s)
{
	const char *p = line + strspn(line, " \"");
	p = h == heard::answer ? p : strncmp(p, "+CME ERROR:", 11) == 0 ? p + 11 + strspn(p + 11, " ") : "";
	const size_t len = strcspn(p, "\"");
	// An answer with nothing in its quotes says nothing.
	if (h == heard::answer && len > 0)
		s->sim = strncmp(p, "READY", 5) == 0 || strncmp(p, "SIM PIN2", 8) == 0 ||
		    strncmp(p, "SIM PUK2", 8) == 0 ? sim_state::ready
		    : len == 7 && strncmp(p, "SIM P", 5) == 0 ? p[5] == 'I' ? sim_state::pin : sim_state::puk
		    : sim_state::locked;
	else if (strcmp(p, "10") == 0 || strcmp(p, "SIM not inserted") == 0)
		s->sim = sim_state::absent;
	else if (strcmp(p, "14") == 0 || strcmp(p, "SIM busy") == 0)
		s->sim = sim_state::not_ready;
	snprintf(s->lock, sizeof s->lock, "%.*s", static_cast<int>(len), p);
}

// The access technology that <AcT> of +COPS names.
static access_tech
tech_of(long act)
{
	if (act == 11 || act == 12)
		return access_tech::nr5g;
	if (act == 7 || act == 9 || act == 10 || act == 13)
		return access_tech::lte;
	return access_tech::other;
}

bool
at_why(modem_state *s, int64_t deadline)
{
	char line[96];
	heard h;
	bool told = false;

	if ((h = ask("AT+CFUN?", line, sizeof line, deadline)) == heard::none)
		return false;
	if (h == heard::answer) {
		const long fun = field(line, 0);
		s->radio_off = static_cast<signed char>(fun == 0 || fun == 4);
		if (s->radio_off)
			return true;
		told = true;
	}
	if ((h = ask("AT+CPIN?", line, sizeof line, deadline)) == heard::none)
		return told;
	sim_from(h, line, s);
	if (s->sim != sim_state::unknown && s->sim != sim_state::ready)
		return true;
	told |= s->sim == sim_state::ready;

	s->cs = registration("AT+CREG?", line, sizeof line, deadline, &h);
	const bool creg_refused = h == heard::refused;
	if (h != heard::none)
		s->eps = registration("AT+CEREG?", line, sizeof line, deadline, &h);
	if (h != heard::none)
		s->fivegs = registration("AT+C5GREG?", line, sizeof line, deadline, &h);
	// The access technology follows the operator's name, which may hold
	// commas of its own.
	const char *p = nullptr;
	if (h != heard::none && ask("AT+COPS?", line, sizeof line, deadline) == heard::answer &&
	    (p = strrchr(line, '"')) != nullptr && field(p, 1) >= 0)
		s->tech = tech_of(field(p, 1));
	// A modem registered on LTE that will not say how it stands for
	// circuit-switched service has none.
	if (creg_refused && (s->eps == reg_state::registered || s->fivegs == reg_state::registered))
		s->cs_service = 0;
	return told || s->cs != reg_state::unknown || s->eps != reg_state::unknown ||
	    s->fivegs != reg_state::unknown || s->tech != access_tech::unknown;
}
