// SOCKS4/4a and SOCKS5 (RFC 1928, RFC 1929) handshake as a byte-in,
// byte-out state machine, free of any I/O so that every partial or hostile
// input can be tested directly.
#ifndef GW_SOCKS_H
#define GW_SOCKS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace gw {

// SOCKS5 reply codes; SOCKS4 knows only granted (0x5A) and refused (0x5B).
enum SocksReply : uint8_t {
    SOCKS_SUCCEEDED = 0x00,
    SOCKS_GENERAL_FAILURE = 0x01,
    SOCKS_NOT_ALLOWED = 0x02,
    SOCKS_NETWORK_UNREACHABLE = 0x03,
    SOCKS_HOST_UNREACHABLE = 0x04,
    SOCKS_CONNECTION_REFUSED = 0x05,
    SOCKS_TTL_EXPIRED = 0x06,
    SOCKS_COMMAND_NOT_SUPPORTED = 0x07,
    SOCKS_ADDRESS_NOT_SUPPORTED = 0x08,
};

enum class SocksStatus {
    NeedMore, // send take_reply() (if any) and read more
    Request,  // a complete CONNECT request: target() is valid
    Failed,   // send take_reply() (if any), then close
};

enum class SocksAddressType { IPv4, IPv6, Domain };

struct SocksTarget {
    int version = 0; // 4 or 5
    SocksAddressType type = SocksAddressType::IPv4;
    std::array<uint8_t, 16> addr{}; // network order; 4 bytes used for IPv4
    std::string host;               // domain name, or the address as text
    uint16_t port = 0;              // host order
    std::string user;               // SOCKS5 user name or SOCKS4 user id
    bool authenticated = false;     // SOCKS5 username/password method used
};

class SocksHandshake {
public:
    // Decides a SOCKS5 username/password pair.
    using PasswordCheck = std::function<bool(const std::string &user, const std::string &password)>;

    // With `require_password` only the username/password method is
    // offered and `check` decides; without it the method is still chosen
    // when the client offers it (to learn the user name), and any password
    // is accepted. More than `max_input` bytes before the request is
    // complete fails the handshake.
    explicit SocksHandshake(bool require_password = false, PasswordCheck check = {},
                            size_t max_input = 2048);

    // SOCKS4 carries no password: where passwords are required it is
    // refused unless allowed here.
    void allow_socks4(bool allowed) { allow_socks4_ = allowed; }

    SocksStatus feed(const uint8_t *data, size_t len);
    // Bytes to send to the client now; taking them empties the buffer.
    std::string take_reply();
    bool has_reply() const { return !reply_.empty(); }

    const SocksTarget &target() const { return target_; }
    // Bytes the client sent after its request (forwarded to the server).
    std::string take_leftover();
    // Short reason of a failure, for the events file.
    const std::string &failure() const { return failure_; }

    // Final replies to the request. `bound` holds the server-side local
    // address (4 or 16 bytes, network order; `family` 4 or 6).
    std::string success_reply(const uint8_t *bound, int family, uint16_t port) const;
    std::string failure_reply(uint8_t code) const;

private:
    enum class Stage { Start, Greeting5, Auth, Request5, Request4, Done, Failed };

    SocksStatus step();
    SocksStatus greeting5();
    SocksStatus auth();
    SocksStatus request5();
    SocksStatus request4();
    SocksStatus fail(const std::string &why, std::string reply = {});

    bool require_password_;
    bool allow_socks4_ = true;
    PasswordCheck check_;
    size_t max_input_;
    Stage stage_ = Stage::Start;
    std::string in_;
    std::string reply_;
    std::string failure_;
    SocksTarget target_;
};

} // namespace gw

#endif
