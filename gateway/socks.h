// SOCKS4/4a and SOCKS5 (RFC 1928, RFC 1929) handshake as a byte-in,
// byte-out state machine, free of any I/O so that every partial or hostile
// input can be tested directly.
#ifndef GW_SOCKS_H
#define GW_SOCKS_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "handshake.h"

namespace gw {

class SocksHandshake : public Handshake {
public:

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

    SocksStatus feed(const uint8_t *data, size_t len) override;
    std::string take_reply() override;
    bool has_reply() const { return !reply_.empty(); }

    const SocksTarget &target() const override { return target_; }
    std::string take_leftover() override;
    const std::string &failure() const override { return failure_; }

    std::string success_reply(const uint8_t *bound, int family, uint16_t port) const override;
    std::string failure_reply(uint8_t code) const override;
    const char *door() const override { return "socks"; }

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
