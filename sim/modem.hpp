// A fake GSM modem on a pseudo-terminal.
//
// The modem keeps the controlling side of a pty pair open and serves the
// device side's path, so the tool (or any AT client) can open it like a
// serial port. It behaves like a plain modem: whatever precedes "AT" on a
// line is skipped, command lines are echoed until ATE0, and a line may hold
// several commands (basic ones run together, extended ones separated by
// ';'). It answers the usual set-up, identification and status queries,
// keeps the character set chosen by AT+CSCS, and answers commands it does
// not know with "ERROR" (or "OK" with unknown_ok).
//
// AT+CUSD=1,"<request>"[,<dcs>] gets "OK" and then the network's answer,
// read from the request and written as the kind of modem played does
// (kinds.cpp). The generic kind answers as +CUSD: <m>,"<UCS2 hex>",72 in
// the character set "UCS2", with any other as +CUSD: <m>,"<hex>",15 packed
// as septets, or as plain text when the request came as plain text rather
// than hex. With answer_request the answer text is the request itself;
// with answer_dcs it is coded in that data coding scheme. Requests are read
// as the tool reads answers under -d: by their scheme, through the GSM
// alphabet by default, into UTF-8.
//
// The network answers each request by the menu (menus.cpp), the balance
// codes with the answer text, and any other code as a real network answers
// a code it does not know (kinds.cpp). An answer with status 1 opens a
// session: the next request is the reply to it.
//
// Tests script single exchanges with rules: the first unused rule whose
// command matches a received command line is used (once) instead of the
// built-in answer.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace sim {

struct argument;
struct command;

struct step {
	enum kind { send, pause, hangup, answer } what;
	std::string bytes;	// send: written as they are
	int ms = 0;		// pause: milliseconds; send: pause between bytes when > 0
};

step send(std::string bytes);
step send_slowly(std::string bytes, int ms_per_byte);
step pause(int ms);
step hangup();			// close the controlling side: the device hangs up
step own_answer();		// what the modem says to the command without the rule

// A result line framed as a modem in verbose mode sends it: CR LF text CR LF.
std::string result(std::string_view text);

// The modem played. generic: the fake modem as it always was. huawei: a
// Huawei whose AT^USSDMODE is 1 (requests and answers packed as septets in
// hex) until it is set to 0, when it is a standard modem. huawei_old: a
// Huawei without AT^USSDMODE, always packed. standard: a modem as 3GPP TS
// 27.007 has it, whose USSD strings are text in the character set of
// AT+CSCS (UCS2 in hex). standard_gsm: the same without UCS2.
enum class modem_kind { generic, huawei, huawei_old, standard, standard_gsm };

std::optional<modem_kind> kind_named(std::string_view name);	// "huawei-old" and so on
std::string_view kind_name(modem_kind kind);

// One answer of the menu: the request and the replies that lead to it, and
// what the network says then. Statuses 3 to 5 carry no text.
struct menu_entry {
	std::vector<std::string> path;	// {"*111#"}, {"*111#", "2"}, ...
	int status = 0;
	std::optional<std::string> text;	// UTF-8; none: +CUSD: <status> alone
};

// The menu served when none is given: *101# and a *111# menu of two levels.
std::vector<menu_entry> builtin_menu();

// The entries of a menu file's text (format in doc/fake-modem.1); throws
// std::runtime_error naming the line ("NAME:3: ...") when it is not one.
std::vector<menu_entry> parse_menu(std::string_view text, std::string_view name);
std::vector<menu_entry> read_menu(const std::string &file);

struct rule {
	std::string command;	// from "AT" on, e.g. "AT+CMGF=0"; a final '*' matches any rest
	std::vector<step> steps;	// empty: the modem stays silent
};

// The modem's own state, for the questions a failed run asks: what it says
// of its radio, its SIM and its registrations, and how the network then
// takes a request (refused, or with +CUSD: 4 where there is no
// circuit-switched service). usual: ready and registered on UMTS; refuses:
// as usual, but each question refused.
enum class situation {
	usual, radio_off, sim_pin, sim_puk, sim_locked, no_sim, sim_busy,
	searching, denied, lte_data, sms_only, nr5g, refuses,
};
std::optional<situation> situation_named(std::string_view name);	// "radio-off" and so on

struct options {
	bool raw = true;	// false: leave the usual terminal settings (echo, CR/NL mapping)
	bool echo = true;	// echo command lines until ATE0
	modem_kind kind = modem_kind::generic;
	bool unknown_ok = false;	// "OK" to commands it does not know, as it once did
	// The network's answer to the codes of answer_codes.
	std::string answer = "Balance: 12.34 EUR, valid until 31.12.2026";
	std::vector<std::string> answer_codes = {"*100#"};
	int answer_status = 0;	// its <m>, 0 to 5; 3 to 5 carry no text
	bool answer_text = true;	// false: +CUSD: <m> alone
	// true: the answer carries the request as the network read it (as traced
	// after "USSD "), coded as answer would be, so that tests can tell whose
	// answer is whose when several clients share the modem.
	bool answer_request = false;
	// >= 0: the answer (UTF-8) goes out coded in this data coding scheme,
	// whatever the character set, as +CUSD: 0,"<hex>",<answer_dcs>; -1: as
	// described at the top.
	int answer_dcs = -1;
	// With answer_dcs -1: the network sends text the GSM alphabet lacks in
	// UCS2 (scheme 72), as networks do, rather than failing with +CUSD: 4.
	bool ucs2_when_needed = false;
	std::vector<menu_entry> menu = builtin_menu();
	int session_timeout_ms = 30000;	// a waiting session then ends with +CUSD: 2; 0: never
	int delay_ms = 0;		// between the OK and the +CUSD: answer
	// Sent instead of the OK to a request: "ERROR" or "+CME ERROR: <n>";
	// empty: none. With refuse_after_ok it follows the OK instead.
	std::string refuse;
	bool refuse_after_ok = false;
	bool refuse_ucs2 = false;	// "ERROR" to every request while the character set is UCS2
	// The network's answer before the request's OK, not after it, as some
	// modules send it.
	bool answer_before_ok = false;
	std::string stale;	// written to the device before anyone opens it
	std::vector<rule> rules;
	sim::situation situation = situation::usual;
	int vmin = -1;		// >= 0: c_cc[VMIN] of the device side
	int vtime = -1;		// >= 0: c_cc[VTIME] of the device side, in tenths of a second
	std::vector<std::string> charsets;	// offered by AT+CSCS; empty: those of the kind
	// The ModemManager side (bus.cpp): on the bus at this address it takes
	// ModemManager's name and exports the modem, whose answers come from
	// the same network as the AT side's; empty: none.
	std::string bus;
	std::vector<std::string> mm_ports;	// "NAME[:TYPE]", exported beside the pty
	// Modems exported; those after the first have only the port cdc-wdm<N>
	// (QMI) of their own, N counted from 0, and share the first one's network.
	int mm_modems = 1;
	bool big_endian = false;	// the bus side sends big-endian messages
	// The QMI side (qmi.cpp): the pty speaks QMUX frames instead of AT,
	// answering from the same network. The network's answers come as VOICE
	// USSD indications, the Originate USSD response owed until the
	// dialogue ends, when it carries the last answer too.
	bool qmi = false;
	bool qmi_in_response = false;	// an answer that ends the dialogue comes in the response alone
	bool qmi_utf16 = true;		// false: answers without their UTF-16 TLV
	int qmi_client_ids = 16;	// client ids the device has; then ClientIdsExhausted
	int qmi_refuse = 0;		// > 0: Originate USSD fails with this error
	int qmi_end_reason = -1;	// >= 0: and with this call end reason (TLV 0x10)
	bool qmi_release = false;	// the network ends the session (Release USSD) instead of answering
	bool qmi_interleave = false;	// another client's frames come before each of ours
	int qmi_coding = -1;		// >= 0: the coded text TLV carries this coding byte, whatever the text
	// Another program's Allocate Client ID response (of WDS) comes before
	// each of ours, with the same transaction id; its client stays taken.
	bool qmi_foreign = false;
	// Before the answer to each Originate USSD but the first comes a
	// response that the one before was owed, late, on the client id of
	// this one, as when a run that gave up is followed by one that got
	// the same client id.
	bool qmi_late = false;
	// DMS refuses its UIM messages as InvalidQmiCommand, as newer modems
	// do: the SIM is told by the UIM service alone.
	bool qmi_uim_only = false;
	// Types other than ModemManager's, for clients that must cope with them:
	// of the reply to Initiate and Respond ("s"; "" nothing, "u" the number
	// 0, "as" the answer in an array) and of Ussd's State ("u"; "s" its
	// number as text).
	std::string mm_answer_type = "s";
	std::string mm_state_type = "u";
	// An error of this name, not the objects, to GetManagedObjects, as a bus
	// policy that denies the call gives it; empty: none.
	std::string mm_objects_error;
	// The MBIM side (mbim.cpp): with on, the pty plays a modem's MBIM
	// function instead of its AT port, answering from the same network.
	struct mbim_play {
		bool on = false;
		bool opened = false;	// another client has the function open already
		// Where the network's answer to a USSD command goes: its
		// COMMAND_DONE; an INDICATE_STATUS after a COMMAND_DONE that
		// carries nothing; an INDICATE_STATUS before a COMMAND_DONE that
		// carries it again; a COMMAND_DONE that carries it, then an
		// INDICATE_STATUS with it again.
		enum class answer_in { done, indication, indication_first, both } answer = answer_in::done;
		// Another client's messages before each answer (answers to its
		// transactions, indications of other services), and the bytes
		// written in pieces; before a USSD answer also an answer of
		// another service with its transaction id, and an indication of
		// 4000 bytes.
		bool chatter = false;
		bool no_ussd = false;	// Device Services lists no USSD service
		uint32_t refuse = 0;	// > 0: the status of COMMAND_DONE to every USSD request
		uint32_t open_fails = 0;	// > 0: the status of OPEN_DONE, the function left closed
		// The first USSD request is answered only just before the next
		// one, as to a run that gave up and the run after it.
		bool late = false;
		// >= 64: messages longer than this go in fragments of this size;
		// those of the USSD service with one of them missing or two of
		// them swapped, where fault says so.
		uint32_t fragment = 0;
		enum class fault { none, missing, misordered } fragment_fault = fault::none;
	} mbim;
	// The HiLink side (hilink.cpp): the web API of a HiLink stick served
	// over HTTP at this loopback address ("127.0.0.1:0" picks a port), its
	// USSD from the same network as the AT side's; empty: none.
	std::string hilink;
	// How the firmware hands out its session and tokens: SesTokInfo, its
	// token alone (/api/webserver/token), or its web page's csrf_token tags.
	enum class firmware { sestokinfo, token, page } hilink_firmware = firmware::sestokinfo;
	bool hilink_rotate = false;	// each POST uses up its token; the answer brings the next
	bool hilink_stale = false;	// the first send is refused as with a token gone stale
	int hilink_pending = 2;		// 111019 this many times before each answer
	bool hilink_login = false;	// 100003 to the USSD API: a login is needed
	bool hilink_busy = false;	// another client's request is in progress
	int hilink_refuse = 0;		// > 0: every send refused with this error code
	std::string hilink_message;	// the refusal's <message>
	bool hilink_chunked = false;	// answers in chunks, header names in lower case
	bool hilink_cut = false;	// the answer to /api/ussd/get cut off before its end
	std::string hilink_device_name = "E3372h-320";	// its model, as it is written in the XML
	bool hilink_cut_release = false;	// the same for /api/ussd/release
	std::string hilink_login_at;	// not empty: this path alone answers 100003
	// Not empty: the send answered 200 with this body, taken as no request,
	// and /api/ussd/get holding the answer another client left.
	std::optional<std::string> hilink_send_body;
	// A web server that is no HiLink: 404 to every path, or its own page to
	// every path.
	enum class stranger { none, not_found, own_page } hilink_stranger = stranger::none;
	std::string hilink_pad;		// around each session and token value the device gives
	std::string hilink_list_pad;	// the same around the second token of a login's list alone
	// How the answer's characters beyond U+FFFF are written: in UTF-8, as
	// CESU-8, or as two references to their surrogates.
	enum class astral { utf8, cesu8, references } hilink_astral = astral::utf8;
	// A login before the USSD API, for user "admin" with this password;
	// empty: the device has no login (its state-login answers 100002).
	// The kind its state-login offers: "0", "3", "4" (its password_type),
	// "challenge", or "none" (State 0: logged in without one).
	std::string hilink_password;
	std::string hilink_login_kind = "4";
	int hilink_wrong = 108006;	// the code of a wrong password
	int hilink_lock_after = 0;	// > 0: locked after this many wrong ones
	int hilink_iterations = 100;	// the challenge's rounds
	int hilink_nonce = 32;		// the characters the challenge's nonce adds to the client's
	bool hilink_bad_proof = false;	// the challenge's server signature is wrong
	bool hilink_logout_fails = false;	// the logout refused with 125003
	// Called on the serving thread with each command line received ("< ..."),
	// each answer sent ("> ..." with CR and LF written as \r and \n) and each
	// USSD request as the network would read it ("USSD ...").
	std::function<void(const std::string &)> trace;
};

// What the HiLink logins send, as the device checks them: the Password of
// password_type 4 (user, password, the token its POST carries), and the
// challenge's client proof and server signature (hex) from the password,
// the salt (hex), the rounds and both nonces.
std::string hilink_password_hash(const std::string &user, const std::string &password,
    const std::string &token);
std::pair<std::string, std::string> hilink_proofs(const std::string &password, const std::string &salt_hex,
    int rounds, const std::string &first, const std::string &server);

class modem {
public:
	explicit modem(options opts);	// opens the pty; throws std::runtime_error on failure
	~modem();			// stops serving and closes the pty
	modem(const modem &) = delete;
	modem &operator=(const modem &) = delete;

	const char *path() const;	// the device side, e.g. "/dev/pts/3"
	std::string hilink_url() const;	// "http://127.0.0.1:PORT"; empty without the HiLink side
	void start();			// serve on a background thread until stop()
	void stop();
	bool serve(int timeout_ms);	// serve what arrives within timeout_ms; false once hung up
	// Says of the device under root what the kernel's sysfs says of a
	// character device, by its number: that it belongs to subsystem ("tty",
	// "usbmisc", "wwan") and, where word is not empty, that a WWAN port is of
	// that type ("AT", "QCDM") or that any other is driven by that driver
	// ("qmi_wwan"). A symlink to the device is then read as the device.
	void play_in_sysfs(const std::string &root, const std::string &subsystem,
	    const std::string &word) const;
	std::vector<std::string> received() const;	// command lines, from "AT" on
	// QMI: client ids still taken, and whether a USSD session is open or
	// an Originate USSD response still owed.
	int qmi_clients_held() const { return qmi_held_; }
	bool qmi_session_open() const { return qmi_open_; }

private:
	// modem.cpp: the glue
	void handle(const std::string &line);
	void perform(const std::vector<step> &steps, const std::string &cmd);
	void say(std::string_view bytes);
	void trace(std::string_view what, std::string_view bytes);

	// answers.cpp: what the commands do
	void answer(const std::string &cmd);
	int basic(const command &cmd, std::vector<std::string> &info);
	int extended(const command &cmd, std::vector<std::string> &info, std::string &after);
	int ussd(const std::vector<argument> &args, std::string &after);
	int situation_answer(const command &cmd, std::vector<std::string> &info);
	void reset();

	// kinds.cpp: how the modem played reads requests and writes answers
	struct network_answer {
		int status = 0;
		std::optional<std::string> text;
	};
	bool packed_ussd() const;
	std::vector<std::string> offered_charsets() const;
	std::string_view manufacturer() const;
	std::optional<std::string> read_request(const std::string &str, int dcs, bool &plain) const;
	std::string write_answer(const network_answer &a, bool plain) const;
	network_answer unknown_code() const;

	// menus.cpp: the network's side, sessions and answers that take time
	network_answer respond(const std::string &request);
	bool end_session();
	void tick();
	int until_due(int timeout_ms) const;

	// bus.cpp: the ModemManager side
	struct bus_message;
	void bus_open();
	void bus_receive();
	void bus_handle(const bus_message &m);
	std::vector<uint8_t> bus_call(const char *dest, const char *path, const char *iface,
	    const char *member, const char *arg);
	void bus_close();

	// qmi.cpp: the QMI side
	void qmi_receive(std::string_view bytes);
	void qmi_handle(const std::string &frame);
	void qmi_send(uint8_t service, uint8_t client, uint8_t kind, uint16_t txn, uint16_t id,
	    const std::string &tlvs);
	std::string qmi_answer_tlvs(const network_answer &a, uint8_t utf16, uint8_t coded) const;
	void qmi_network(const network_answer &a);
	void qmi_release_session();
	std::string qmi_situation(uint8_t service, uint16_t id) const;

	// mbim.cpp: the MBIM side
	void mbim_take(std::string_view bytes);
	void mbim_handle(const std::string &msg);
	void mbim_request(uint32_t tid, const uint8_t *info, uint32_t len);
	void mbim_say(const std::string &bytes);
	std::string mbim_released() const;
	std::string fragments(const std::string &msg) const;
	std::string mbim_in_;		// bytes of messages not yet whole
	int mbim_state_ = 0;		// 0: as opts_.mbim.opened says; 1: opened; 2: closed
	std::vector<uint32_t> mbim_tids_;	// transaction ids of the messages received
	std::string mbim_late_;		// the answer held back (mbim.late)
	bool mbim_held_ = false;	// one has been

	// hilink.cpp: the HiLink side
	void hilink_open();
	void hilink_serve();
	std::string hilink_answer(const std::string &method, const std::string &path,
	    const std::string &body, std::string &headers, int &status);
	std::string hilink_user(const std::string &path, const std::string &body, const std::string &token,
	    std::string &headers);
	void hilink_close();
	std::string situation_status(const std::string &path) const;

	// device.cpp: the pseudo-terminal
	void open_pty();
	bool receive(int timeout_ms, std::vector<std::string> &lines);
	bool echoed(const std::string &cmd);
	void put(std::string_view bytes);
	void note_echo(std::string_view bytes);
	void drain();
	void hang_up();
	void nap(int ms);
	void close_pty();

	options opts_;
	int master_ = -1;
	// Held open so that the master never sees EIO, but for a device of frames
	// (QMI, MBIM): a program that finds another holding one refuses it. What
	// is written before the device side is opened waits for it either way.
	int slave_ = -1;
	std::string path_;
	int bus_fd_ = -1;
	std::string bus_in_;	// bytes of messages not yet whole
	int http_fd_ = -1;	// the HiLink side's listening socket
	std::string hilink_url_;
	std::string session_id_;	// the HiLink session, and the tokens it takes next
	std::vector<std::string> tokens_;
	int token_count_ = 0;
	int pending_left_ = 0;		// 111019 still to come before the answer
	std::optional<network_answer> web_answer_;
	bool stale_done_ = false;
	bool logged_in_ = false;	// the HiLink login
	int failed_logins_ = 0;
	std::string first_nonce_, server_nonce_;	// the challenge in progress
	uint32_t bus_serial_ = 0;
	std::string pending_;	// bytes of the line being received
	bool overlong_ = false;	// pending_ overflowed: drop the rest of the line
	std::string sent_line_;	// bytes of the line being sent, while the device echoes
	std::vector<std::string> echoes_;	// sent command lines the device will echo back
	bool echo_;
	bool verbose_ = true;	// ATV: result codes as words, not digits
	bool quiet_ = false;	// ATQ1: no result codes
	int cmee_ = 0;
	int cusd_ = 0;
	int cmgf_ = 0;
	int cfun_ = 1;
	std::string charset_ = "IRA";
	int ussdmode_ = 1;	// AT^USSDMODE of the huawei kind
	std::string refusal_;	// the result line of a request refused
	using clock = std::chrono::steady_clock;
	// The session: what led to the menu now waiting for a reply, and until
	// when it waits; an answer the network has not sent yet, and when it will.
	std::optional<std::vector<std::string>> session_;
	clock::time_point session_ends_;
	std::optional<std::string> due_line_;
	clock::time_point due_at_;
	bool hung_up_ = false;
	std::string qmi_in_;		// bytes of frames not yet whole
	std::vector<std::pair<uint8_t, uint8_t>> qmi_clients_;	// {service, client id} taken
	uint8_t qmi_next_id_ = 1;
	uint8_t qmi_voice_ = 0;		// the client whose USSD session it is
	uint16_t qmi_owed_ = 0;		// its Originate USSD's transaction; 0: none owed
	uint16_t qmi_last_originate_ = 0;	// the transaction of the last Originate USSD; 0: none
	std::optional<network_answer> qmi_due_;	// sent when due_at_ comes (delay_ms)
	std::vector<bool> used_;
	mutable std::mutex mutex_;
	std::vector<std::string> received_;
	std::atomic<bool> stop_{false};
	std::atomic<int> qmi_held_{0};
	std::atomic<bool> qmi_open_{false};
	std::thread thread_;
};

}
