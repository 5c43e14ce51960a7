// What a front door asks of a client before its bytes are relayed: a
// byte-in, byte-out exchange that ends with a target to connect to, or with
// a refusal. Free of any I/O, so that every partial or hostile input can be
// tested directly.
#ifndef GW_HANDSHAKE_H
#define GW_HANDSHAKE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace gw {

// SOCKS5 reply codes, also the reasons a relay gives any front door for not
// connecting; SOCKS4 knows only granted (0x5A) and refused (0x5B).
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
    Request,  // a complete request: target() is valid
    Failed,   // send take_reply() (if any), then close
};

enum class SocksAddressType { IPv4, IPv6, Domain };

struct SocksTarget {
    // The proxy protocol as the module sees it: 4 or 5 for SOCKS (an HTTP
    // login counts as 5, since it carries a checked user name the same
    // way), 0 for a connection that came without any.
    int version = 0;
    SocksAddressType type = SocksAddressType::IPv4;
    std::array<uint8_t, 16> addr{}; // network order; 4 bytes used for IPv4
    std::string host;               // domain name, or the address as text
    uint16_t port = 0;              // host order
    std::string user;               // proxy user name (SOCKS4: the user id)
    bool authenticated = false;     // a password was checked
};

// Decides a user name and password pair.
using PasswordCheck = std::function<bool(const std::string &user, const std::string &password)>;

class Handshake {
public:
    virtual ~Handshake() = default;

    virtual SocksStatus feed(const uint8_t *data, size_t len) = 0;
    // Bytes to send to the client now; taking them empties the buffer.
    virtual std::string take_reply() = 0;
    virtual const SocksTarget &target() const = 0;
    // Bytes the client sent after its request (forwarded to the server).
    virtual std::string take_leftover() = 0;
    // Short reason of a failure, for the events file.
    virtual const std::string &failure() const = 0;
    // Final replies to the request. `bound` holds the server-side local
    // address (4 or 16 bytes, network order; `family` 4 or 6).
    virtual std::string success_reply(const uint8_t *bound, int family, uint16_t port) const = 0;
    virtual std::string failure_reply(uint8_t code) const = 0;
    // The front door's name in events and listings.
    virtual const char *door() const = 0;
};

} // namespace gw

#endif
