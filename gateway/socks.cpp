// SOCKS handshake state machine.
#include "socks.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace gw {

namespace {

constexpr uint8_t kMethodNone = 0x00;
constexpr uint8_t kMethodPassword = 0x02;
constexpr uint8_t kMethodRefused = 0xFF;
constexpr uint8_t kCommandConnect = 0x01;
constexpr uint8_t kSocks4Granted = 0x5A;
constexpr uint8_t kSocks4Refused = 0x5B;
constexpr size_t kSocks4MaxField = 255;

uint8_t byte(const std::string &s, size_t i) { return static_cast<uint8_t>(s[i]); }

uint16_t port_at(const std::string &s, size_t i)
{
    return static_cast<uint16_t>(byte(s, i) << 8 | byte(s, i + 1));
}

std::string text_address(int family, const uint8_t *addr)
{
    char buf[INET6_ADDRSTRLEN] = {};
    if (!inet_ntop(family == 6 ? AF_INET6 : AF_INET, addr, buf, sizeof buf))
        return {};
    return buf;
}

bool plausible_domain(const std::string &name)
{
    return !name.empty() && std::none_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) <= ' ' || c == 0x7f;
    });
}

} // namespace

SocksHandshake::SocksHandshake(bool require_password, PasswordCheck check, size_t max_input)
    : require_password_(require_password), check_(std::move(check)), max_input_(max_input)
{
}

SocksStatus SocksHandshake::fail(const std::string &why, std::string reply)
{
    stage_ = Stage::Failed;
    failure_ = why;
    reply_ += reply;
    in_.clear();
    return SocksStatus::Failed;
}

SocksStatus SocksHandshake::feed(const uint8_t *data, size_t len)
{
    if (stage_ == Stage::Failed)
        return SocksStatus::Failed;
    if (data && len)
        in_.append(reinterpret_cast<const char *>(data), len);
    if (stage_ == Stage::Done)
        return SocksStatus::Request;
    SocksStatus st;
    Stage before;
    do {
        before = stage_;
        st = step();
    } while (st == SocksStatus::NeedMore && stage_ != before);
    if (st == SocksStatus::NeedMore && in_.size() > max_input_)
        return fail("handshake larger than " + std::to_string(max_input_) + " bytes");
    return st;
}

SocksStatus SocksHandshake::step()
{
    switch (stage_) {
    case Stage::Start:
        if (in_.empty())
            return SocksStatus::NeedMore;
        if (byte(in_, 0) == 5) {
            stage_ = Stage::Greeting5;
            target_.version = 5;
        } else if (byte(in_, 0) == 4) {
            stage_ = Stage::Request4;
            target_.version = 4;
        } else {
            return fail("not a SOCKS client (first byte " + std::to_string(byte(in_, 0)) + ")");
        }
        return SocksStatus::NeedMore;
    case Stage::Greeting5:
        return greeting5();
    case Stage::Auth:
        return auth();
    case Stage::Request5:
        return request5();
    case Stage::Request4:
        return request4();
    case Stage::Done:
        return SocksStatus::Request;
    case Stage::Failed:
        break;
    }
    return SocksStatus::Failed;
}

SocksStatus SocksHandshake::greeting5()
{
    if (in_.size() < 2)
        return SocksStatus::NeedMore;
    size_t n = byte(in_, 1);
    if (in_.size() < 2 + n)
        return SocksStatus::NeedMore;
    const uint8_t *methods = reinterpret_cast<const uint8_t *>(in_.data()) + 2;
    bool none = std::find(methods, methods + n, kMethodNone) != methods + n;
    bool password = std::find(methods, methods + n, kMethodPassword) != methods + n;
    in_.erase(0, 2 + n);
    const char refused[2] = {5, static_cast<char>(kMethodRefused)};
    if (password) {
        reply_ += std::string{5, static_cast<char>(kMethodPassword)};
        stage_ = Stage::Auth;
    } else if (none && !require_password_) {
        reply_ += std::string{5, static_cast<char>(kMethodNone)};
        stage_ = Stage::Request5;
    } else {
        return fail("no acceptable authentication method", std::string(refused, 2));
    }
    return SocksStatus::NeedMore;
}

SocksStatus SocksHandshake::auth()
{
    if (in_.size() < 2)
        return SocksStatus::NeedMore;
    const std::string refused{1, 1};
    if (byte(in_, 0) != 1)
        return fail("bad username/password version", refused);
    size_t ulen = byte(in_, 1);
    if (in_.size() < 2 + ulen + 1)
        return SocksStatus::NeedMore;
    size_t plen = byte(in_, 2 + ulen);
    if (in_.size() < 3 + ulen + plen)
        return SocksStatus::NeedMore;
    std::string user = in_.substr(2, ulen);
    std::string password = in_.substr(3 + ulen, plen);
    in_.erase(0, 3 + ulen + plen);
    if (user.empty() || user.find('\0') != std::string::npos)
        return fail("bad user name", refused);
    if (require_password_ && !(check_ && check_(user, password)))
        return fail("wrong password for user " + user, refused);
    target_.user = user;
    target_.authenticated = require_password_;
    reply_ += std::string{1, 0};
    stage_ = Stage::Request5;
    return SocksStatus::NeedMore;
}

SocksStatus SocksHandshake::request5()
{
    if (in_.size() < 4)
        return SocksStatus::NeedMore;
    if (byte(in_, 0) != 5)
        return fail("bad request version", failure_reply(SOCKS_GENERAL_FAILURE));
    uint8_t atyp = byte(in_, 3);
    size_t need;
    switch (atyp) {
    case 1:
        need = 4 + 4 + 2;
        break;
    case 4:
        need = 4 + 16 + 2;
        break;
    case 3:
        if (in_.size() < 5)
            return SocksStatus::NeedMore;
        need = 4 + 1 + byte(in_, 4) + 2;
        break;
    default:
        return fail("unsupported address type " + std::to_string(atyp),
                    failure_reply(SOCKS_ADDRESS_NOT_SUPPORTED));
    }
    if (in_.size() < need)
        return SocksStatus::NeedMore;
    uint8_t cmd = byte(in_, 1);
    if (cmd != kCommandConnect)
        return fail("unsupported command " + std::to_string(cmd),
                    failure_reply(SOCKS_COMMAND_NOT_SUPPORTED));
    target_.port = port_at(in_, need - 2);
    if (atyp == 1) {
        target_.type = SocksAddressType::IPv4;
        std::memcpy(target_.addr.data(), in_.data() + 4, 4);
        target_.host = text_address(4, target_.addr.data());
    } else if (atyp == 4) {
        target_.type = SocksAddressType::IPv6;
        std::memcpy(target_.addr.data(), in_.data() + 4, 16);
        target_.host = text_address(6, target_.addr.data());
    } else {
        target_.type = SocksAddressType::Domain;
        target_.host = in_.substr(5, byte(in_, 4));
        if (!plausible_domain(target_.host))
            return fail("bad domain name", failure_reply(SOCKS_GENERAL_FAILURE));
    }
    in_.erase(0, need);
    stage_ = Stage::Done;
    return SocksStatus::Request;
}

SocksStatus SocksHandshake::request4()
{
    if (in_.size() < 8)
        return SocksStatus::NeedMore;
    // The user id, and for 4a the host name, end with a NUL.
    size_t user_end = in_.find('\0', 8);
    if (user_end == std::string::npos) {
        if (in_.size() - 8 > kSocks4MaxField)
            return fail("SOCKS4 user id too long", failure_reply(SOCKS_GENERAL_FAILURE));
        return SocksStatus::NeedMore;
    }
    const uint8_t *ip = reinterpret_cast<const uint8_t *>(in_.data()) + 4;
    bool socks4a = ip[0] == 0 && ip[1] == 0 && ip[2] == 0 && ip[3] != 0;
    size_t end = user_end + 1;
    std::string host;
    if (socks4a) {
        size_t host_end = in_.find('\0', end);
        if (host_end == std::string::npos) {
            if (in_.size() - end > kSocks4MaxField)
                return fail("SOCKS4a host name too long", failure_reply(SOCKS_GENERAL_FAILURE));
            return SocksStatus::NeedMore;
        }
        host = in_.substr(end, host_end - end);
        end = host_end + 1;
        if (!plausible_domain(host))
            return fail("bad domain name", failure_reply(SOCKS_GENERAL_FAILURE));
    }
    uint8_t cmd = byte(in_, 1);
    if (cmd != kCommandConnect)
        return fail("unsupported command " + std::to_string(cmd),
                    failure_reply(SOCKS_COMMAND_NOT_SUPPORTED));
    target_.port = port_at(in_, 2);
    target_.user = in_.substr(8, user_end - 8);
    if (!allow_socks4_)
        return fail("SOCKS4 request (user id \"" + target_.user +
                        "\") refused: it carries no password and passwords are required",
                    failure_reply(SOCKS_NOT_ALLOWED));
    if (socks4a) {
        target_.type = SocksAddressType::Domain;
        target_.host = host;
    } else {
        target_.type = SocksAddressType::IPv4;
        std::memcpy(target_.addr.data(), ip, 4);
        target_.host = text_address(4, ip);
    }
    in_.erase(0, end);
    stage_ = Stage::Done;
    return SocksStatus::Request;
}

std::string SocksHandshake::take_reply()
{
    std::string r;
    r.swap(reply_);
    return r;
}

std::string SocksHandshake::take_leftover()
{
    if (stage_ != Stage::Done)
        return {};
    std::string r;
    r.swap(in_);
    return r;
}

std::string SocksHandshake::success_reply(const uint8_t *bound, int family, uint16_t port) const
{
    std::string r;
    if (target_.version == 4) {
        // SOCKS4 clients ignore the bound address; send zeros like most servers.
        r = std::string{0, static_cast<char>(kSocks4Granted)};
        r.append(6, '\0');
        return r;
    }
    r = std::string{5, SOCKS_SUCCEEDED, 0};
    static const uint8_t zeros[16] = {};
    if (!bound)
        bound = zeros;
    if (family == 6) {
        r += '\4';
        r.append(reinterpret_cast<const char *>(bound), 16);
    } else {
        r += '\1';
        r.append(reinterpret_cast<const char *>(bound), 4);
    }
    r += static_cast<char>(port >> 8);
    r += static_cast<char>(port & 0xFF);
    return r;
}

std::string SocksHandshake::failure_reply(uint8_t code) const
{
    std::string r;
    if (target_.version == 4) {
        r = std::string{0, static_cast<char>(kSocks4Refused)};
        r.append(6, '\0');
        return r;
    }
    r = std::string{5, static_cast<char>(code), 0, 1};
    r.append(6, '\0');
    return r;
}

} // namespace gw
