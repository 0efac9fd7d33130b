// The HiLink side: the web API of a HiLink stick over HTTP on a loopback
// address, its USSD served by the same network, sessions and menu as the
// AT side, on the same thread, one connection at a time.

#include "sim/modem.hpp"

#include "coding/charsets.hpp"
#include "modem/frames/xml.hpp"
#include "coding/sha256.hpp"
#include "modem/hilink.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr char xml_head[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

std::string response(const std::string &inner)
{
	return xml_head + std::string("<response>") + inner + "</response>\n";
}

std::string error(int code, const std::string &message = {})
{
	return xml_head + std::string("<error><code>") + std::to_string(code) + "</code><message>" +
	    message + "</message></error>\n";
}

std::string escaped(const std::string &s)
{
	std::string out;
	for (char c : s) {
		switch (c) {
		case '&': out += "&amp;"; break;
		case '<': out += "&lt;"; break;
		case '>': out += "&gt;"; break;
		case '"': out += "&quot;"; break;
		case '\'': out += "&apos;"; break;
		default: out += c;
		}
	}
	return out;
}

std::string lower(std::string s)
{
	for (char &c : s)
		if (c >= 'A' && c <= 'Z')
			c = static_cast<char>(c + 32);
	return s;
}

// Header lines with their names in lower case, as HTTP allows.
std::string lower_names(const std::string &lines)
{
	std::string out;
	for (std::size_t at = 0; at < lines.size();) {
		std::size_t colon = lines.find(':', at), end = lines.find("\r\n", at);
		out += lower(lines.substr(at, colon - at)) + lines.substr(colon, end + 2 - colon);
		at = end + 2;
	}
	return out;
}

// The content of an element as the tool reads it, references read.
std::optional<std::string> element(const std::string &doc, const char *name)
{
	std::size_t n;
	const char *v = xml_element(doc.c_str(), name, &n);
	if (v == nullptr)
		return std::nullopt;
	std::string out(4 * n + 4, '\0');
	utf8_out o = {out.data(), out.size(), 0};
	xml_text(v, n, &o);
	out.resize(o.len);
	return out;
}

std::string padded(std::string s, std::size_t n, char with)
{
	s.resize(std::max(s.size(), n), with);
	return s;
}

// Characters beyond U+FFFF as surrogate pairs, in CESU-8 or as references.
std::string astral_written(const std::string &s, options::astral how)
{
	if (how == options::astral::utf8)
		return s;
	std::string out;
	for (std::size_t i = 0; i < s.size(); i++) {
		const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
		if (b(0) < 0xf0 || i + 3 >= s.size()) {
			out += s[i];
			continue;
		}
		const uint32_t cp = (b(0) & 7u) << 18 | (b(1) & 0x3fu) << 12 | (b(2) & 0x3fu) << 6 | (b(3) & 0x3fu);
		for (uint32_t half : {0xd800 + ((cp - 0x10000) >> 10), 0xdc00 + ((cp - 0x10000) & 0x3ff)}) {
			if (how == options::astral::references)
				out += "&#" + std::to_string(half) + ";";
			else
				out += {'\xed', static_cast<char>(0x80 | (half >> 6 & 0x3f)), static_cast<char>(0x80 | (half & 0x3f))};
		}
		i += 3;
	}
	return out;
}

void write_all(int fd, const std::string &s)
{
	for (std::size_t at = 0; at < s.size();) {
		ssize_t w = ::write(fd, s.data() + at, s.size() - at);
		if (w <= 0)
			return;
		at += static_cast<std::size_t>(w);
	}
}

std::string hex(const uint8_t *b, std::size_t n)
{
	std::string out;
	for (std::size_t i = 0; i < n; i++) {
		char two[3];
		std::snprintf(two, sizeof two, "%02x", b[i]);
		out += two;
	}
	return out;
}

std::string base64(const std::string &in)
{
	static constexpr char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
	std::string out;
	for (std::size_t i = 0; i < in.size(); i += 3) {
		unsigned long v = static_cast<unsigned long>(static_cast<unsigned char>(in[i])) << 16;
		if (i + 1 < in.size())
			v |= static_cast<unsigned long>(static_cast<unsigned char>(in[i + 1])) << 8;
		if (i + 2 < in.size())
			v |= static_cast<unsigned char>(in[i + 2]);
		for (std::size_t j = 0; j < 4; j++)
			out += i + j <= in.size() ? digits[v >> (18 - 6 * j) & 63] : '=';
	}
	return out;
}

std::string sha256_hex(const std::string &s)
{
	uint8_t d[sha256_size];
	sha256(d, s.data(), s.size());
	return hex(d, sizeof d);
}

std::string hmac(const std::string &key, const uint8_t *msg, std::size_t n)
{
	uint8_t d[sha256_size];
	hmac_sha256(d, key.data(), key.size(), msg, n);
	return std::string(reinterpret_cast<char *>(d), sizeof d);
}

// The challenge's salt, as the device keeps it with the password.
constexpr char salt_hex[] = "8d4e7c0b5a1f2e3d9c6b0a7f1e2d3c4b5a69788796a5b4c3d2e1f00112233445";

}

std::string hilink_password_hash(const std::string &user, const std::string &password,
    const std::string &token)
{
	return base64(sha256_hex(user + base64(sha256_hex(password)) + token));
}

std::pair<std::string, std::string> hilink_proofs(const std::string &password, const std::string &salt,
    int rounds, const std::string &first, const std::string &server)
{
	std::string salt_bytes;
	for (std::size_t i = 0; i + 1 < salt.size(); i += 2)
		salt_bytes += static_cast<char>(std::stoi(salt.substr(i, 2), nullptr, 16));
	uint8_t salted[sha256_size];
	pbkdf2_sha256(salted, sizeof salted, password.data(), password.size(), salt_bytes.data(),
	    salt_bytes.size(), static_cast<unsigned>(rounds));
	const std::string auth = first + "," + server + "," + server;
	std::string client_key = hmac("Client Key", salted, sizeof salted);
	uint8_t stored[sha256_size];
	sha256(stored, client_key.data(), client_key.size());
	std::string proof = hmac(auth, stored, sizeof stored);
	for (std::size_t i = 0; i < proof.size(); i++)
		proof[i] = static_cast<char>(proof[i] ^ client_key[i]);
	std::string server_key = hmac("Server Key", salted, sizeof salted);
	std::string signature = hmac(auth, reinterpret_cast<const uint8_t *>(server_key.data()), server_key.size());
	return {hex(reinterpret_cast<const uint8_t *>(proof.data()), proof.size()),
	    hex(reinterpret_cast<const uint8_t *>(signature.data()), signature.size())};
}

void modem::hilink_open()
{
	std::string host = opts_.hilink;
	std::size_t colon = host.rfind(':');
	if (colon == std::string::npos)
		throw std::runtime_error("--hilink: ADDRESS:PORT expected: " + host);
	int port = std::stoi(host.substr(colon + 1));
	host = host.substr(0, colon);
	if (host.size() > 2 && host.front() == '[' && host.back() == ']')
		host = host.substr(1, host.size() - 2);
	sockaddr_storage ss{};
	socklen_t len;
	auto *v4 = reinterpret_cast<sockaddr_in *>(&ss);
	auto *v6 = reinterpret_cast<sockaddr_in6 *>(&ss);
	if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
		v4->sin_family = AF_INET;
		v4->sin_port = htons(static_cast<uint16_t>(port));
		len = sizeof *v4;
	} else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
		v6->sin6_family = AF_INET6;
		v6->sin6_port = htons(static_cast<uint16_t>(port));
		len = sizeof *v6;
	} else {
		throw std::runtime_error("--hilink: not an address: " + host);
	}
	http_fd_ = ::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
	int one = 1;
	::setsockopt(http_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
	if (http_fd_ < 0 || ::bind(http_fd_, reinterpret_cast<sockaddr *>(&ss), len) != 0 ||
	    ::listen(http_fd_, 8) != 0)
		throw std::runtime_error("--hilink " + opts_.hilink + ": " + std::strerror(errno));
	::getsockname(http_fd_, reinterpret_cast<sockaddr *>(&ss), &len);
	port = ntohs(ss.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
	hilink_url_ = "http://" + (ss.ss_family == AF_INET ? host : "[" + host + "]") + ":" +
	    std::to_string(port);
}

void modem::hilink_close()
{
	if (http_fd_ >= 0)
		::close(http_fd_);
	http_fd_ = -1;
}

std::string modem::hilink_url() const
{
	return hilink_url_;
}

// One connection: its request read, answered and closed.
void modem::hilink_serve()
{
	int fd = ::accept4(http_fd_, nullptr, nullptr, SOCK_CLOEXEC);
	if (fd < 0)
		return;
	std::string in;
	std::size_t end = std::string::npos, length = 0;
	std::string cookie, token;
	for (char buf[4096]; in.size() < 65536;) {
		if (end != std::string::npos && in.size() >= end + 4 + length)
			break;
		pollfd p = {fd, POLLIN, 0};
		ssize_t n = ::poll(&p, 1, 2000) == 1 ? ::read(fd, buf, sizeof buf) : -1;
		if (n <= 0)
			break;
		in.append(buf, static_cast<std::size_t>(n));
		if (end == std::string::npos && (end = in.find("\r\n\r\n")) != std::string::npos) {
			for (std::size_t at = in.find("\r\n"); at < end; at = in.find("\r\n", at + 2)) {
				std::string h = in.substr(at + 2, in.find("\r\n", at + 2) - at - 2);
				std::size_t c = h.find(':');
				std::string name = lower(h.substr(0, c));
				std::size_t v = c == std::string::npos ? c : h.find_first_not_of(' ', c + 1);
				std::string value = v == std::string::npos ? "" : h.substr(v);
				if (name == "content-length")
					length = std::stoul(value);
				else if (name == "cookie")
					cookie = value;
				else if (name == "__requestverificationtoken")
					token = value;
			}
		}
	}
	if (end == std::string::npos) {
		::close(fd);
		return;
	}
	std::string line = in.substr(0, in.find("\r\n"));
	std::string method = line.substr(0, line.find(' '));
	std::string path = line.substr(method.size() + 1, line.rfind(' ') - method.size() - 1);
	std::string body = in.substr(end + 4);
	trace("hilink < ", line + (body.empty() ? "" : " " + body));
	{
		std::lock_guard lock(mutex_);
		received_.push_back(method + " " + path);
	}
	std::string headers = cookie + "\n" + token;
	int status = 200;
	std::string answer = hilink_answer(method, path, body, headers, status);

	const bool chunked = opts_.hilink_chunked;
	std::string head = "HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK" : " Not Found") +
	    "\r\n" + (chunked ? "content-type: text/html\r\ntransfer-encoding: chunked\r\n" :
	    "Content-Type: text/html\r\nContent-Length: " + std::to_string(answer.size()) + "\r\n") +
	    (chunked ? lower_names(headers) : headers) + "Connection: close\r\n\r\n";
	trace("hilink > ", head.substr(0, head.find("\r\n")) + " " + answer);
	std::string out = head;
	if ((opts_.hilink_cut && path == "/api/ussd/get" && answer.find("<content>") != std::string::npos) ||
	    (opts_.hilink_cut_release && path == "/api/ussd/release")) {
		out += answer.substr(0, answer.size() / 2);	// and the connection closed
	} else if (chunked) {
		for (std::size_t at = 0; at < answer.size(); at += 7) {
			char size[16];
			std::snprintf(size, sizeof size, "%zx\r\n", std::min<std::size_t>(7, answer.size() - at));
			out += size + answer.substr(at, 7) + "\r\n";
		}
		out += "0\r\n\r\n";
	} else {
		out += answer;
	}
	write_all(fd, out);
	::close(fd);
}

// What the device says of its SIM and its network in the modem's
// situation; the radio off reads as no service.
std::string modem::situation_status(const std::string &path) const
{
	using enum situation;
	const situation now = opts_.situation;
	if (path == "/api/pin/status") {
		const int st = now == sim_pin ? 260 : now == sim_puk ? 261 : now == no_sim ? 255 :
		    now == sim_busy ? 256 : now == sim_locked ? 262 : 257;
		return response("<SimState>" + std::to_string(st) + "</SimState><PinOptState>258</PinOptState>");
	}
	const bool none = now == radio_off || now == searching || now == denied;
	const bool lte = now == lte_data || now == sms_only || now == nr5g;
	return response(std::string("<ConnectionStatus>901</ConnectionStatus><ServiceStatus>") +
	    (none ? "0" : "2") + "</ServiceStatus><CurrentNetworkType>" + (none ? "0" : lte ? "19" : "4") +
	    "</CurrentNetworkType>" + (now == nr5g ? "<CurrentNetworkTypeEx>101</CurrentNetworkTypeEx>" : "") +
	    "<CurrentServiceDomain>" + (none ? "0" : lte ? "2" : "3") + "</CurrentServiceDomain>");
}

// The answer's body, status and headers to a request; headers comes in as
// the request's cookie and token, one a line.
std::string modem::hilink_answer(const std::string &method, const std::string &path,
    const std::string &body, std::string &headers, int &status)
{
	using firmware = options::firmware;
	const std::string cookie = headers.substr(0, headers.find('\n'));
	const std::string token = headers.substr(headers.find('\n') + 1);
	headers.clear();
	const firmware kind = opts_.hilink_firmware;
	const std::string &pad = opts_.hilink_pad;
	std::string hpad;	// the same in a header line, which cannot hold a line's end
	for (char c : pad)
		if (c != '\r' && c != '\n')
			hpad += c;
	auto new_token = [this] { return padded("T" + std::to_string(++token_count_), 32, 't'); };
	auto new_session = [&] {
		session_id_ = padded("S" + std::to_string(token_count_), 64, 's');
		logged_in_ = false;	// a new session is not logged in
		if (kind != firmware::sestokinfo)
			headers += "Set-Cookie: SessionID=" + session_id_ + hpad + "; path=/; HttpOnly\r\n";
	};
	auto not_found = [&] {
		status = 404;
		return std::string("<html><body>Not Found</body></html>\n");
	};
	const bool ussd_api = path.starts_with("/api/ussd/") || path == "/api/device/information";

	if (opts_.hilink_stranger == options::stranger::not_found)
		return not_found();
	if (opts_.hilink_stranger == options::stranger::own_page)
		return "<!DOCTYPE html>\n<html><head><title>Router</title></head><body>Log in</body></html>\n";

	if (method == "GET" && path == "/api/webserver/SesTokInfo") {
		if (kind == firmware::page)
			return not_found();
		if (kind == firmware::token)
			return error(100002);
		tokens_ = {new_token()};
		new_session();
		return response("<SesInfo>" + pad + "SessionID=" + session_id_ + pad + "</SesInfo><TokInfo>" + pad +
		    tokens_[0] + pad + "</TokInfo>");
	}
	if (method == "GET" && path == "/api/webserver/token") {
		if (kind != firmware::token)
			return kind == firmware::page ? error(125002) : not_found();
		tokens_ = {new_token()};
		new_session();
		return response("<token>" + pad + std::string(32, 'x') + tokens_[0] + pad + "</token>");
	}
	if (method == "GET" && path == "/html/index.html") {
		if (kind != firmware::page)
			return not_found();
		tokens_ = {new_token(), new_token()};
		new_session();
		return "<!DOCTYPE html>\n<html><head>\n<meta name=\"csrf_token\" content=\"" + pad + tokens_[0] +
		    pad + "\"/>\n<meta name=\"csrf_token\" content=\"" + pad + tokens_[1] + pad +
		    "\"/>\n</head><body></body></html>\n";
	}
	if (method == "GET" && (path == "/api/pin/status" || path == "/api/monitoring/status"))
		return opts_.situation == situation::refuses ? not_found() : situation_status(path);
	if (path.starts_with("/api/user/"))
		return hilink_user(path, body, cookie == "SessionID=" + session_id_ ? token : "", headers);
	if (!ussd_api)
		return not_found();
	if (opts_.hilink_login || path == opts_.hilink_login_at ||
	    (!opts_.hilink_password.empty() && !logged_in_ && opts_.hilink_login_kind != "none"))
		return error(100003);
	if (method == "GET" && path == "/api/device/information")
		return response("<DeviceName>" + opts_.hilink_device_name + "</DeviceName><SerialNumber>0</SerialNumber>");
	if (method == "GET" && path == "/api/ussd/status")
		return response(std::string("<result>") + (opts_.hilink_busy ? "1" : "0") + "</result>");
	if (method == "GET" && path == "/api/ussd/release") {
		trace("session released", "");
		session_.reset();
		web_answer_.reset();
		return response("OK");
	}
	if (method == "GET" && path == "/api/ussd/get") {
		if (!web_answer_ || pending_left_ > 0) {
			pending_left_ -= pending_left_ > 0;
			return error(111019);
		}
		network_answer a = *std::exchange(web_answer_, std::nullopt);
		if (!a.text)
			return error(111020);
		return response("<content>" + astral_written(escaped(*a.text), opts_.hilink_astral) + "</content>");
	}
	if (method != "POST" || path != "/api/ussd/send")
		return not_found();

	if (cookie != "SessionID=" + session_id_)
		return error(125003);
	if (tokens_.empty() || token != tokens_.front())
		return error(125002);
	if (opts_.hilink_stale && !std::exchange(stale_done_, true)) {
		tokens_.clear();
		return error(125002);
	}
	// The web page's tokens are each good for one POST.
	if (opts_.hilink_rotate || kind == firmware::page || logged_in_) {
		tokens_.erase(tokens_.begin());
		if (tokens_.empty() && kind == firmware::page) {
			tokens_ = {new_token(), new_token()};
			headers += "__RequestVerificationTokenone: " + tokens_[0] + hpad + "\r\n"
			    "__RequestVerificationTokentwo: " + tokens_[1] + hpad + "\r\n";
		} else if (tokens_.empty()) {
			tokens_ = {new_token()};
			headers += "__RequestVerificationToken: " + tokens_[0] + hpad + "\r\n";
		}
	}
	if (opts_.hilink_send_body) {
		web_answer_ = network_answer{0, "Answer to another client"};
		pending_left_ = 0;
		return *opts_.hilink_send_body;
	}
	if (opts_.hilink_busy)
		return error(111013);
	if (opts_.hilink_refuse > 0)
		return error(opts_.hilink_refuse, escaped(opts_.hilink_message));
	std::optional<std::string> request = element(body, "content");
	if (!request)
		return error(100005);
	trace("USSD ", *request);
	{
		std::lock_guard lock(mutex_);
		received_.back() += " " + *request;
	}
	// Where there is no circuit-switched service the device says the
	// network takes no USSD; where there is no network at all, no answer
	// comes.
	using enum situation;
	const situation now = opts_.situation;
	if (now == lte_data || now == sms_only || now == nr5g)
		return error(111022);
	const bool lost = now != usual;
	network_answer a = lost ? network_answer{5, std::nullopt} : respond(*request);
	session_ends_ = clock::now() + std::chrono::milliseconds(opts_.session_timeout_ms);
	if (a.status > 2)
		a.text.reset();
	web_answer_ = a;
	pending_left_ = opts_.hilink_pending;
	return response("OK");
}

// The login API: its state, the three logins and the logout. token is the
// one the POST carries, empty when its session is not the device's.
std::string modem::hilink_user(const std::string &path, const std::string &body, const std::string &token,
    std::string &headers)
{
	const std::string &kind = opts_.hilink_login_kind;
	const bool locked = opts_.hilink_lock_after > 0 && failed_logins_ >= opts_.hilink_lock_after;
	if (path == "/api/user/state-login") {
		if (opts_.hilink_password.empty())
			return error(100002);
		const bool in = logged_in_ || kind == "none";
		return response(std::string("<State>") + (in ? "0" : "-1") + "</State><Username>" +
		    (in ? "admin" : "") + "</Username><password_type>" + (kind == "0" || kind == "3" ? kind : "4") +
		    "</password_type><extern_password_type>" + (kind == "challenge" ? "1" : "0") +
		    "</extern_password_type><firstlogin>1</firstlogin><lockstatus>" + (locked ? "1" : "0") +
		    "</lockstatus><remainwaittime>" + (locked ? "5" : "0") + "</remainwaittime>");
	}
	if (opts_.hilink_password.empty())
		return error(100002);
	// Each POST here takes the token in force; a login's answer brings a
	// session and the tokens of it.
	if (token.empty() || tokens_.empty() || token != tokens_.front())
		return error(125002);
	if (opts_.hilink_rotate || opts_.hilink_firmware == options::firmware::page || logged_in_) {
		tokens_.erase(tokens_.begin());
		if (tokens_.empty()) {
			tokens_ = {padded("T" + std::to_string(++token_count_), 32, 't')};
			headers += "__RequestVerificationToken: " + tokens_[0] + "\r\n";
		}
	}
	auto logged_in = [&] {
		logged_in_ = true;
		failed_logins_ = 0;
		session_id_ = padded("L" + std::to_string(++token_count_), 64, 's');
		tokens_ = {padded("T" + std::to_string(++token_count_), 32, 't'),
		    padded("T" + std::to_string(++token_count_), 32, 't')};
		headers = "Set-Cookie: SessionID=" + session_id_ + "; path=/; HttpOnly\r\n";
		// Firmware of the token alone gives them as a list.
		if (opts_.hilink_firmware == options::firmware::token)
			headers += "__RequestVerificationToken: " + tokens_[0] + "#" + opts_.hilink_list_pad + tokens_[1] +
			    opts_.hilink_list_pad + "#\r\n";
		else
			headers += "__RequestVerificationTokenone: " + tokens_[0] + "\r\n"
			    "__RequestVerificationTokentwo: " + tokens_[1] + "\r\n";
		trace("login ", kind);
	};
	auto wrong = [&] {
		trace("login refused", "");
		return error(++failed_logins_ >= opts_.hilink_lock_after && opts_.hilink_lock_after > 0 ? 108007 :
		    opts_.hilink_wrong);
	};
	if (path == "/api/user/logout") {
		if (!logged_in_ || opts_.hilink_logout_fails)
			return error(opts_.hilink_logout_fails ? 125003 : 100003);
		logged_in_ = false;
		trace("logout", "");
		return response("OK");
	}
	if (locked)
		return error(108007);
	if (path == "/api/user/login" && kind != "challenge") {
		const std::string type = element(body, "password_type").value_or("");
		const std::string user = element(body, "Username").value_or("");
		const std::string sent = element(body, "Password").value_or("");
		if (type != (kind == "none" ? "4" : kind))
			return error(100005);
		if (user != "admin" || sent != (kind == "0" || kind == "3" ? base64(opts_.hilink_password) :
		    hilink_password_hash(user, opts_.hilink_password, token)))
			return wrong();
		logged_in();
		return response("OK");
	}
	if (path == "/api/user/challenge_login" && kind == "challenge") {
		if (element(body, "username").value_or("") != "admin")
			return wrong();
		first_nonce_ = element(body, "firstnonce").value_or("");
		server_nonce_ = first_nonce_ + padded("N" + std::to_string(++token_count_),
		    static_cast<std::size_t>(opts_.hilink_nonce), 'n');
		return response("<salt>" + std::string(salt_hex) + "</salt><iterations>" +
		    std::to_string(opts_.hilink_iterations) + "</iterations><servernonce>" + server_nonce_ +
		    "</servernonce><modeselected>1</modeselected>");
	}
	if (path == "/api/user/authentication_login" && kind == "challenge") {
		auto [proof, signature] = hilink_proofs(opts_.hilink_password, salt_hex, opts_.hilink_iterations,
		    first_nonce_, server_nonce_);
		if (server_nonce_.empty() || element(body, "finalnonce").value_or("") != server_nonce_ ||
		    element(body, "clientproof").value_or("") != proof)
			return wrong();
		server_nonce_.clear();
		logged_in();
		if (opts_.hilink_bad_proof)
			signature[0] = signature[0] == '0' ? '1' : '0';
		return response("<serversignature>" + signature + "</serversignature><rsan></rsan><rsae></rsae>");
	}
	return error(100002);
}

}
