// HTTP CONNECT request parsing. The request head is read whole (up to the
// blank line) before anything is decided, so a slow or split request costs
// nothing but its bytes, and every limit is checked on the bytes received.
#include "http_connect.h"

#include <arpa/inet.h>

#include <cstring>

namespace gw {

namespace {

const char *reason(int status)
{
    switch (status) {
    case 200: return "Connection established";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 405: return "Method Not Allowed";
    case 407: return "Proxy Authentication Required";
    case 431: return "Request Header Fields Too Large";
    case 502: return "Bad Gateway";
    case 504: return "Gateway Timeout";
    case 505: return "HTTP Version Not Supported";
    default: return "Error";
    }
}

// RFC 9110 token characters.
bool tchar(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool token(const std::string &s)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (!tchar(c))
            return false;
    return true;
}

bool iequals(const std::string &a, const char *b)
{
    size_t n = std::strlen(b);
    if (a.size() != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

std::string trim_ows(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// Strict Base64 (padding required); false on anything else.
bool base64_decode(const std::string &in, std::string &out)
{
    if (in.empty() || in.size() % 4 != 0)
        return false;
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z')
            return c - 'A';
        if (c >= 'a' && c <= 'z')
            return c - 'a' + 26;
        if (c >= '0' && c <= '9')
            return c - '0' + 52;
        if (c == '+')
            return 62;
        if (c == '/')
            return 63;
        return -1;
    };
    out.clear();
    for (size_t i = 0; i < in.size(); i += 4) {
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            char c = in[i + k];
            if (c == '=' && i + 4 == in.size() && k >= 2) {
                v[k] = 0;
                ++pad;
            } else if (pad || (v[k] = value(c)) < 0) {
                return false;
            }
        }
        unsigned n = (unsigned(v[0]) << 18) | (unsigned(v[1]) << 12) | (unsigned(v[2]) << 6) | unsigned(v[3]);
        out += static_cast<char>((n >> 16) & 0xFF);
        if (pad < 2)
            out += static_cast<char>((n >> 8) & 0xFF);
        if (pad < 1)
            out += static_cast<char>(n & 0xFF);
    }
    return true;
}

// host:port in authority form: a name, an IPv4 address or [IPv6].
bool parse_authority(const std::string &text, SocksTarget &t)
{
    std::string host, port;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return false;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
        in6_addr a6{};
        if (inet_pton(AF_INET6, host.c_str(), &a6) != 1)
            return false;
        t.type = SocksAddressType::IPv6;
        std::memcpy(t.addr.data(), &a6, 16);
    } else {
        size_t colon = text.rfind(':');
        if (colon == std::string::npos)
            return false;
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.empty() || host.size() > 255)
            return false;
        for (char c : host)
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '.' || c == '_'))
                return false;
        in_addr a4{};
        if (inet_pton(AF_INET, host.c_str(), &a4) == 1) {
            t.type = SocksAddressType::IPv4;
            std::memcpy(t.addr.data(), &a4, 4);
        } else {
            t.type = SocksAddressType::Domain;
        }
    }
    if (port.empty() || port.size() > 5)
        return false;
    unsigned long n = 0;
    for (char c : port) {
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + static_cast<unsigned long>(c - '0');
    }
    if (n == 0 || n > 65535)
        return false;
    t.host = host;
    t.port = static_cast<uint16_t>(n);
    return true;
}

} // namespace

std::string http_status_reply(int status)
{
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) + "\r\n";
    if (status == 405)
        out += "Allow: CONNECT\r\n";
    if (status == 407)
        out += "Proxy-Authenticate: Basic realm=\"trevalquin\"\r\n";
    if (status != 200)
        out += "Content-Length: 0\r\nConnection: close\r\n";
    return out + "\r\n";
}

HttpConnectHandshake::HttpConnectHandshake(bool require_password, PasswordCheck check, size_t max_input)
    : require_password_(require_password), check_(std::move(check)), max_input_(max_input)
{
}

SocksStatus HttpConnectHandshake::feed(const uint8_t *data, size_t len)
{
    if (done_)
        return status_ ? SocksStatus::Failed : SocksStatus::Request;
    size_t before = in_.size();
    in_.append(reinterpret_cast<const char *>(data), len);
    // A line ended by a bare LF (or a CR not followed by LF) would never
    // reach the blank line we wait for: refuse it as soon as it shows.
    for (size_t i = before ? before - 1 : 0; i < in_.size(); ++i) {
        if (in_[i] == '\n' && (i == 0 || in_[i - 1] != '\r'))
            return fail(400, "a line that does not end in CRLF");
        if (in_[i] == '\r' && i + 1 < in_.size() && in_[i + 1] != '\n')
            return fail(400, "a CR without LF");
    }
    // The end may straddle two reads: look again from three bytes back.
    size_t from = before >= 3 ? before - 3 : 0;
    size_t end = in_.find("\r\n\r\n", from);
    size_t limit = end == std::string::npos ? in_.size() : end + 4;
    if (limit > max_input_)
        return fail(431, "request head longer than " + std::to_string(max_input_) + " bytes");
    if (end == std::string::npos)
        return SocksStatus::NeedMore;
    leftover_ = in_.substr(end + 4);
    std::string head = in_.substr(0, end + 2);
    in_.clear();
    done_ = true;
    return parse(head);
}

SocksStatus HttpConnectHandshake::parse(const std::string &head)
{
    // Lines end in CRLF; a lone CR or LF, or a control character, makes
    // the head ambiguous to whoever reads it next, so it is refused.
    for (size_t i = 0; i < head.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(head[i]);
        if (c == '\r' && (i + 1 >= head.size() || head[i + 1] != '\n'))
            return fail(400, "a CR without LF");
        if (c == '\n' && (i == 0 || head[i - 1] != '\r'))
            return fail(400, "a line that does not end in CRLF");
        if ((c < 0x20 && c != '\r' && c != '\n' && c != '\t') || c == 0x7F)
            return fail(400, "a control character in the request");
    }
    size_t eol = head.find("\r\n");
    std::string line = head.substr(0, eol);
    size_t sp1 = line.find(' '), sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp1 == std::string::npos || sp2 == std::string::npos || line.find(' ', sp2 + 1) != std::string::npos)
        return fail(400, "request line is not METHOD TARGET VERSION");
    std::string method = line.substr(0, sp1), target = line.substr(sp1 + 1, sp2 - sp1 - 1),
                version = line.substr(sp2 + 1);
    if (!token(method))
        return fail(400, "no method");
    if (version.size() != 8 || version.compare(0, 5, "HTTP/") != 0 || version[6] != '.' ||
        version[5] < '0' || version[5] > '9' || version[7] < '0' || version[7] > '9')
        return fail(400, "no HTTP version");
    if (version != "HTTP/1.1" && version != "HTTP/1.0")
        return fail(505, version + " is not spoken here");
    if (method != "CONNECT")
        return fail(405, "method " + method + " (only CONNECT is relayed)");
    if (!parse_authority(target, target_))
        return fail(400, "CONNECT target is not HOST:PORT with a port from 1 to 65535");

    std::string credentials;
    int authorizations = 0, fields = 0;
    for (size_t at = eol + 2; at < head.size();) {
        size_t next = head.find("\r\n", at);
        std::string field = head.substr(at, next - at);
        at = next + 2;
        if (++fields > 100)
            return fail(431, "more than 100 header fields");
        size_t colon = field.find(':');
        if (colon == std::string::npos || !token(field.substr(0, colon)))
            return fail(400, "a header field without a name");
        if (iequals(field.substr(0, colon), "Proxy-Authorization")) {
            ++authorizations;
            credentials = trim_ows(field.substr(colon + 1));
        }
    }
    if (authorizations > 1)
        return fail(400, "more than one Proxy-Authorization");

    target_.version = 5;
    if (authorizations) {
        std::string decoded;
        size_t sp = credentials.find(' ');
        if (sp == std::string::npos || !iequals(credentials.substr(0, sp), "Basic") ||
            !base64_decode(trim_ows(credentials.substr(sp + 1)), decoded) ||
            decoded.find(':') == std::string::npos)
            return fail(require_password_ ? 407 : 400, "Proxy-Authorization is not Basic USER:PASSWORD");
        std::string user = decoded.substr(0, decoded.find(':'));
        std::string password = decoded.substr(decoded.find(':') + 1);
        if (user.empty() || user.size() > 255 || password.size() > 255)
            return fail(require_password_ ? 407 : 400, "user name or password of a bad length");
        if (require_password_ && !(check_ && check_(user, password)))
            return fail(407, "wrong password for user " + user);
        target_.user = user;
        target_.authenticated = require_password_;
    } else if (require_password_) {
        return fail(407, "no Proxy-Authorization");
    }
    return SocksStatus::Request;
}

SocksStatus HttpConnectHandshake::fail(int status, const std::string &why)
{
    done_ = true;
    status_ = status;
    failure_ = std::to_string(status) + ": " + why;
    reply_ = http_status_reply(status);
    in_.clear();
    return SocksStatus::Failed;
}

std::string HttpConnectHandshake::take_reply()
{
    std::string r;
    r.swap(reply_);
    return r;
}

std::string HttpConnectHandshake::take_leftover()
{
    std::string r;
    r.swap(leftover_);
    return r;
}

std::string HttpConnectHandshake::success_reply(const uint8_t *, int, uint16_t) const
{
    return http_status_reply(200);
}

std::string HttpConnectHandshake::failure_reply(uint8_t code) const
{
    switch (code) {
    case SOCKS_NOT_ALLOWED: return http_status_reply(403);
    case SOCKS_TTL_EXPIRED: return http_status_reply(504);
    default: return http_status_reply(502);
    }
}

} // namespace gw
