// Client connections up to the relay: the handshake of each door, the
// name resolution, the checks on the destination, and the connection to
// the server.
#include "relay.h"

#include <arpa/inet.h>
#include <linux/netfilter_ipv4.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "http_connect.h"
#include "socks.h"

// The IPv6 twin of SO_ORIGINAL_DST (from linux/netfilter_ipv6/ip6_tables.h,
// whose other declarations clash with the C library's).
#ifndef IP6T_SO_ORIGINAL_DST
#define IP6T_SO_ORIGINAL_DST 80
#endif

namespace gw {

namespace {

using tcp = asio::ip::tcp;

// A request is a few hundred bytes; what follows it waits for the relay.
constexpr size_t kHandshakeRead = 4096;

// A redirected connection asks nothing: its target comes from the socket,
// and it gets no reply either way.
class TransparentHandshake : public Handshake {
public:
    SocksStatus feed(const uint8_t *, size_t) override { return SocksStatus::Request; }
    std::string take_reply() override { return {}; }
    const SocksTarget &target() const override { return target_; }
    std::string take_leftover() override { return {}; }
    const std::string &failure() const override { return failure_; }
    std::string success_reply(const uint8_t *, int, uint16_t) const override { return {}; }
    std::string failure_reply(uint8_t) const override { return {}; }
    const char *door() const override { return "transparent"; }

    // Where the client was going before the firewall sent it here.
    bool read_original_destination(int fd)
    {
        sockaddr_in6 dst{};
        socklen_t len = sizeof dst;
        auto *v4 = reinterpret_cast<sockaddr_in *>(&dst);
        if (getsockopt(fd, SOL_IP, SO_ORIGINAL_DST, v4, &len) == 0 && v4->sin_family == AF_INET) {
            target_.type = SocksAddressType::IPv4;
            std::memcpy(target_.addr.data(), &v4->sin_addr, 4);
            target_.port = ntohs(v4->sin_port);
        } else {
            len = sizeof dst;
            if (getsockopt(fd, SOL_IPV6, IP6T_SO_ORIGINAL_DST, &dst, &len) != 0 || dst.sin6_family != AF_INET6) {
                failure_ = std::string("no original destination (") + std::strerror(errno) +
                           "): was the connection redirected by the firewall?";
                return false;
            }
            target_.type = SocksAddressType::IPv6;
            std::memcpy(target_.addr.data(), &dst.sin6_addr, 16);
            target_.port = ntohs(dst.sin6_port);
        }
        char text[INET6_ADDRSTRLEN] = {};
        inet_ntop(target_.type == SocksAddressType::IPv4 ? AF_INET : AF_INET6, target_.addr.data(), text,
                  sizeof text);
        target_.host = text;
        return true;
    }

private:
    SocksTarget target_;
    std::string failure_;
};

std::unique_ptr<Handshake> make_handshake(const RelayContext &ctx, Door door)
{
    switch (door) {
    case Door::Http: return std::make_unique<HttpConnectHandshake>(ctx.require_password, ctx.check_password);
    case Door::Transparent: return std::make_unique<TransparentHandshake>();
    default: {
        auto socks = std::make_unique<SocksHandshake>(ctx.require_password, ctx.check_password);
        socks->allow_socks4(ctx.allow_socks4);
        return socks;
    }
    }
}

// Whether `a` is an address of this host: only those can be bound.
bool local_address(const asio::ip::address &a)
{
    asio::io_context io;
    asio::ip::udp::socket probe(io);
    asio::error_code ec;
    probe.open(a.is_v4() ? asio::ip::udp::v4() : asio::ip::udp::v6(), ec);
    if (!ec)
        probe.bind(asio::ip::udp::endpoint(a, 0), ec);
    return !ec;
}

uint8_t reply_code_for(const asio::error_code &ec)
{
    if (ec == asio::error::connection_refused)
        return SOCKS_CONNECTION_REFUSED;
    if (ec == asio::error::network_unreachable)
        return SOCKS_NETWORK_UNREACHABLE;
    if (ec == asio::error::host_unreachable || ec == asio::error::timed_out)
        return SOCKS_HOST_UNREACHABLE;
    return SOCKS_GENERAL_FAILURE;
}

} // namespace

bool ipv4_of(const asio::ip::address &a, uint32_t &out)
{
    if (a.is_v4()) {
        out = htonl(a.to_v4().to_uint());
        return true;
    }
    if (a.is_v6() && a.to_v6().is_v4_mapped()) {
        out = htonl(asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6()).to_uint());
        return true;
    }
    return false;
}

bool is_own_endpoint(const std::vector<tcp::endpoint> &own, const tcp::endpoint &ep)
{
    auto plain = [](asio::ip::address a) {
        if (a.is_v6() && a.to_v6().is_v4_mapped())
            return asio::ip::address(asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6()));
        return a;
    };
    asio::ip::address target = plain(ep.address());
    for (const auto &o : own) {
        if (o.port() != ep.port())
            continue;
        if (plain(o.address()) == target || (o.address().is_unspecified() && local_address(target)))
            return true;
    }
    return false;
}

Connection::Connection(RelayContext &ctx, tcp::socket client, unsigned long tid, Door door)
    : ctx_(ctx), client_(std::move(client)), server_(client_.get_executor()),
      resolver_(client_.get_executor()), timer_(client_.get_executor()), tid_(tid),
      hs_(make_handshake(ctx, door))
{
}

void Connection::start()
{
    asio::error_code pec;
    tcp::endpoint peer = client_.remote_endpoint(pec);
    ctx_.table->add(tid_, shared_from_this(), pec ? std::string() : peer.address().to_string());
    asio::post(client_.get_executor(), [self = shared_from_this()] {
        asio::error_code ec;
        self->client_.non_blocking(true, ec);
        if (ec) {
            self->close("client socket: " + ec.message());
            return;
        }
        self->timer_.expires_after(std::chrono::seconds(self->ctx_.settings->connect_timeout));
        self->timer_.async_wait([self](const asio::error_code &tec) {
            if (tec || self->closed_)
                return;
            if (self->stage_ == Stage::Handshake) {
                self->close(std::string("no complete request in time"), std::string(self->hs_->door()) + "-timeout");
            } else if (self->stage_ == Stage::Connecting) {
                asio::error_code ignored;
                self->resolver_.cancel();
                self->server_.close(ignored);
                self->refuse(SOCKS_HOST_UNREACHABLE,
                             "no connection to " +
                                 format_host_port(self->hs_->target().host,
                                                  self->hs_->target().port) +
                                 " in time");
            }
        });
        if (std::strcmp(self->hs_->door(), "transparent") == 0)
            self->start_transparent();
        else
            self->read_handshake();
    });
}

void Connection::start_transparent()
{
    auto *door = static_cast<TransparentHandshake *>(hs_.get());
    if (!door->read_original_destination(client_.native_handle())) {
        ctx_.events->notice("transparent-refused", door->failure(), tid_);
        close("no original destination");
        return;
    }
    stage_ = Stage::Connecting;
    resolve();
}

// ---- Handshake -----------------------------------------------------------

void Connection::read_handshake()
{
    client_.async_wait(tcp::socket::wait_read, [self = shared_from_this()](
                                                    const asio::error_code &ec) {
        self->on_handshake_readable(ec);
    });
}

void Connection::on_handshake_readable(const asio::error_code &ec)
{
    if (closed_ || stage_ != Stage::Handshake)
        return;
    if (ec) {
        close("client: " + ec.message());
        return;
    }
    asio::error_code rec;
    uint8_t buf[kHandshakeRead];
    size_t n = client_.read_some(asio::buffer(buf), rec);
    if (rec == asio::error::would_block || rec == asio::error::try_again) {
        read_handshake();
        return;
    }
    if (rec) { // includes a client that left in the middle of its request
        close("client left during the SOCKS request");
        return;
    }
    SocksStatus st = hs_->feed(buf, n);
    std::string reply = hs_->take_reply();
    switch (st) {
    case SocksStatus::NeedMore:
        if (reply.empty())
            read_handshake();
        else
            send_then(std::move(reply), [this] { read_handshake(); });
        break;
    case SocksStatus::Failed:
        ctx_.events->notice(std::string(hs_->door()) + "-refused", hs_->failure(), tid_);
        stage_ = Stage::Closed;
        if (reply.empty())
            close("request refused");
        else
            send_then(std::move(reply), [this] { close("request refused"); });
        break;
    case SocksStatus::Request:
        stage_ = Stage::Connecting;
        leftover_ = hs_->take_leftover();
        if (reply.empty())
            resolve();
        else
            send_then(std::move(reply), [this] { resolve(); });
        break;
    }
}

void Connection::send_then(std::string bytes, std::function<void()> next)
{
    if (bytes.empty()) { // a front door that answers nothing
        next();
        return;
    }
    hs_out_ = std::move(bytes);
    asio::async_write(client_, asio::buffer(hs_out_),
                      [self = shared_from_this(), next = std::move(next)](
                          const asio::error_code &ec, size_t) {
                          if (self->closed_)
                              return;
                          if (ec) {
                              self->close("client write: " + ec.message());
                              return;
                          }
                          next();
                      });
}

void Connection::refuse(uint8_t code, const std::string &why, const std::string &kind, const NoticeAttrs &attrs)
{
    ctx_.events->notice(kind, why, tid_, attrs);
    stage_ = Stage::Closed;
    send_then(hs_->failure_reply(code), [this] { close("connection refused"); });
}

// ---- Connecting ------------------------------------------------------------

void Connection::resolve()
{
    if (closed_ || stage_ != Stage::Connecting)
        return;
    const SocksTarget &t = hs_->target();
    if (t.type == SocksAddressType::Domain) {
        resolver_.async_resolve(
            t.host, std::to_string(t.port),
            [self = shared_from_this()](const asio::error_code &ec,
                                        const tcp::resolver::results_type &results) {
                if (self->closed_ || self->stage_ != Stage::Connecting)
                    return;
                const SocksTarget &tt = self->hs_->target();
                if (ec) {
                    self->refuse(SOCKS_HOST_UNREACHABLE, "cannot resolve " + tt.host + ": " +
                                                             ec.message());
                    return;
                }
                std::vector<tcp::endpoint> eps;
                for (const auto &r : results)
                    eps.push_back(r.endpoint());
                self->on_resolved(std::move(eps));
            });
        return;
    }
    asio::ip::address a;
    if (t.type == SocksAddressType::IPv4) {
        asio::ip::address_v4::bytes_type b;
        std::memcpy(b.data(), t.addr.data(), 4);
        a = asio::ip::address_v4(b);
    } else {
        asio::ip::address_v6::bytes_type b;
        std::memcpy(b.data(), t.addr.data(), 16);
        a = asio::ip::address_v6(b);
    }
    on_resolved({tcp::endpoint(a, t.port)});
}

void Connection::on_resolved(std::vector<tcp::endpoint> endpoints)
{
    const SocksTarget &t = hs_->target();
    std::string dest = format_host_port(t.host, t.port);
    if (endpoints.empty()) {
        refuse(SOCKS_HOST_UNREACHABLE, "no address for " + dest);
        return;
    }
    for (const auto &ep : endpoints)
        if (is_own_endpoint(ctx_.own, ep)) {
            refuse(SOCKS_NOT_ALLOWED, dest + " is the gateway itself");
            return;
        }
    asio::error_code ec;
    tcp::endpoint peer = client_.remote_endpoint(ec);
    if (ec) {
        close("client: " + ec.message());
        return;
    }
    if (!allowed_destinations(endpoints, peer))
        return;
    uint32_t saddr = 0;
    if (ipv4_of(peer.address(), saddr)) {
        for (const auto &ep : endpoints) {
            uint32_t daddr = 0;
            if (!ipv4_of(ep.address(), daddr))
                continue;
            auto found = ctx_.expectations->match(saddr, htons(peer.port()), daddr, htons(t.port),
                                                  Clock::now());
            if (!found.empty()) {
                matched_ = std::move(found);
                endpoints = {ep}; // the expected server, not another address of the name
                break;
            }
        }
    }
    bool msnp_port = ctx_.settings->is_msnp_port(t.port);
    for (const auto &m : matched_) {
        if (!m.data_only && m.owner) {
            module_ = static_cast<ModuleHost *>(m.owner);
            break;
        }
    }
    if (!module_ && msnp_port) {
        for (ModuleHost *m : ctx_.modules) {
            if (m->handles_traffic()) {
                module_ = m;
                break;
            }
        }
    }
    if (module_ && !module_->handles_traffic())
        module_ = nullptr;
    if (ctx_.settings->strict && !msnp_port && matched_.empty()) {
        refuse(SOCKS_NOT_ALLOWED, "strict mode: " + dest + " is neither an MSNP port nor expected");
        return;
    }
    asio::async_connect(server_, endpoints,
                        [self = shared_from_this()](const asio::error_code &cec,
                                                    const tcp::endpoint &) {
                            self->on_connected(cec);
                        });
}

namespace {

// The 16-byte form the rules compare (IPv4 mapped into IPv6).
Address16 address16_of(const asio::ip::address &a)
{
    return a.is_v4() ? asio::ip::make_address_v6(asio::ip::v4_mapped, a.to_v4()).to_bytes() : a.to_v6().to_bytes();
}

} // namespace

bool Connection::allowed_destinations(std::vector<tcp::endpoint> &endpoints, const tcp::endpoint &peer)
{
    const Address16 client = address16_of(peer.address());
    const SocksTarget &t = hs_->target();
    // A name given by a client is not a checked identity: only a user whose
    // password the gateway checked is one.
    const std::string user = t.authenticated ? t.user : std::string();
    auto host = ctx_.host_addresses.get();
    const DestinationRule *refused = nullptr;
    std::string refused_address;
    std::vector<tcp::endpoint> kept;
    for (const auto &ep : endpoints) {
        const DestinationRule *r =
            decide_destination(ctx_.destinations, *host, address16_of(ep.address()), ep.port(), client, user);
        if (r && r->allow) {
            kept.push_back(ep);
        } else if (!refused) {
            refused = r;
            refused_address = format_host_port(ep.address().to_string(), ep.port());
        }
    }
    if (!kept.empty()) {
        endpoints = std::move(kept); // a name may not lead to a denied address
        return true;
    }
    std::string rule = refused ? refused->text() : "no rule allows it";
    std::string origin = refused ? refused->origin : "default";
    refuse(SOCKS_NOT_ALLOWED,
           format_host_port(t.host, t.port) + " (" + refused_address + ") is denied by `" + rule + "` (" + origin + ")",
           "destination-denied",
           {{"destination", refused_address}, {"rule", rule}, {"origin", origin},
            {"client", format_host_port(peer.address().to_string(), peer.port())}});
    return false;
}

void Connection::on_connected(const asio::error_code &ec)
{
    if (closed_ || stage_ != Stage::Connecting)
        return;
    const SocksTarget &t = hs_->target();
    if (ec) {
        refuse(reply_code_for(ec),
               "cannot connect to " + format_host_port(t.host, t.port) + ": " + ec.message());
        return;
    }
    if (!setup_connection())
        return;
    asio::error_code lec;
    tcp::endpoint local = server_.local_endpoint(lec);
    std::string reply;
    if (!lec && local.address().is_v6()) {
        auto b = local.address().to_v6().to_bytes();
        reply = hs_->success_reply(b.data(), 6, local.port());
    } else if (!lec) {
        auto b = local.address().to_v4().to_bytes();
        reply = hs_->success_reply(b.data(), 4, local.port());
    } else {
        reply = hs_->success_reply(nullptr, 4, 0);
    }
    send_then(std::move(reply), [this] { begin_relay(); });
}

} // namespace gw
