// The HTTP proxy front door: one CONNECT request (RFC 9110 9.3.6, authority
// form), with Basic proxy authentication (RFC 7617), answered with 200 and
// followed by the relayed bytes. Anything else is refused with its status.
#ifndef GW_HTTP_CONNECT_H
#define GW_HTTP_CONNECT_H

#include <string>

#include "handshake.h"

namespace gw {

class HttpConnectHandshake : public Handshake {
public:
    // With `require_password` a request without valid Basic credentials
    // gets 407; without it credentials are still read (for the user name)
    // and any password passes. A request head longer than `max_input`
    // bytes gets 431.
    explicit HttpConnectHandshake(bool require_password = false, PasswordCheck check = {},
                                  size_t max_input = 8192);

    SocksStatus feed(const uint8_t *data, size_t len) override;
    std::string take_reply() override;
    const SocksTarget &target() const override { return target_; }
    std::string take_leftover() override;
    const std::string &failure() const override { return failure_; }
    std::string success_reply(const uint8_t *bound, int family, uint16_t port) const override;
    std::string failure_reply(uint8_t code) const override;
    const char *door() const override { return "http"; }

    // Status of the refusal (0 while none).
    int status() const { return status_; }

private:
    SocksStatus parse(const std::string &head);
    SocksStatus fail(int status, const std::string &why);

    bool require_password_;
    PasswordCheck check_;
    size_t max_input_;
    bool done_ = false;
    int status_ = 0;
    std::string in_;
    std::string reply_;
    std::string failure_;
    std::string leftover_;
    SocksTarget target_;
};

// "HTTP/1.1 STATUS REASON" with the headers a refusal carries.
std::string http_status_reply(int status);

} // namespace gw

#endif
