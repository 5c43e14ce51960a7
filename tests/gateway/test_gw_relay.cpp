// The relay in-process, with a module whose entry points are scripted by
// the bytes they see: expectations, injected bytes, poison, and the
// once-only end of a connection.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "relay.h"

namespace {

using namespace std::chrono_literals;

std::atomic<int> finis{0};
std::atomic<int> tasklets{0};
std::atomic<bool> concurrent{false};
std::atomic<int> inside{0};
std::mutex seen_lock;
std::string seen_expdata;
uint16_t expect_port = 0;
unsigned expect_flags = 0;

// Client-to-server text drives the module:
//   "EXPECT"  registers an expectation for 127.0.0.1:expect_port
//   "INJECT"  leaves bytes for both sides to be sent after the output
//   "POISON"  asks for the end of the connection
match_t scripted_tasklet(tq3_module *, tqconn *conn, tq3_iov *iov)
{
    if (inside.fetch_add(1) != 0)
        concurrent = true;
    ++tasklets;
    size_t len = 0;
    unsigned char *buf = tq3_iov_reassembly(iov, &len);
    std::string text = buf ? std::string(reinterpret_cast<char *>(buf), len) : "";
    free(buf);
    std::this_thread::sleep_for(1ms); // widen any overlap
    if (conn->direction == DIR_CLIENT_TO_SERVER) {
        if (text.find("EXPECT") != std::string::npos) {
            tq3_expectation *e = tq3_expectation_new();
            e->daddr = htonl(INADDR_LOOPBACK);
            e->dmask = 0xFFFFFFFFu;
            e->dport = htons(expect_port);
            e->dpmask = 0xFFFF;
            e->flags = expect_flags;
            e->data = strdup("session-42");
            e->data_destructor = free;
            tqlist_insert_end(&conn->explist, e);
        }
        if (text.find("INJECT") != std::string::npos) {
            conn->clid_b = static_cast<unsigned char *>(malloc(9));
            std::memcpy(conn->clid_b, "to-client", 9);
            conn->clid_bsiz = 9;
            conn->srvd_b = static_cast<unsigned char *>(malloc(9));
            std::memcpy(conn->srvd_b, "to-server", 9);
            conn->srvd_bsiz = 9;
        }
        if (text.find("POISON") != std::string::npos)
            conn->poison_match = TQ_MATCH_BLOCK;
    }
    inside.fetch_sub(1);
    return TQ_MATCH_PASS;
}

int recording_init(tq3_module *, tqconn *conn)
{
    std::lock_guard<std::mutex> g(seen_lock);
    seen_expdata.clear();
    for (tqlist *n = conn->expdata; n; n = n->next)
        seen_expdata += static_cast<const char *>(n->data);
    return 0;
}

int counting_fini(tq3_module *, tqconn *)
{
    ++finis;
    return 0;
}

// A blocking socket helper.
struct Sock {
    int fd = -1;
    explicit Sock(int f = -1) : fd(f) {}
    Sock(Sock &&o) noexcept : fd(o.fd) { o.fd = -1; }
    Sock &operator=(Sock &&o) noexcept
    {
        if (this != &o) {
            if (fd >= 0)
                close(fd);
            fd = o.fd;
            o.fd = -1;
        }
        return *this;
    }
    ~Sock()
    {
        if (fd >= 0)
            close(fd);
    }
    void send(const std::string &s) const { ASSERT_EQ(::send(fd, s.data(), s.size(), MSG_NOSIGNAL), ssize_t(s.size())); }
    // Reads exactly n bytes (or what came before a close or 3 s of silence).
    std::string recv(size_t n) const
    {
        std::string out;
        while (out.size() < n) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 3000) <= 0)
                break;
            char buf[4096];
            ssize_t r = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
            if (r <= 0)
                break;
            out.append(buf, static_cast<size_t>(r));
        }
        return out;
    }
    bool closed_by_peer() const
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 3000) <= 0)
            return false;
        char c;
        return ::recv(fd, &c, 1, 0) == 0;
    }
};

Sock listen_on(uint16_t &port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    EXPECT_EQ(listen(fd, 16), 0);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    port = ntohs(a.sin_port);
    return Sock(fd);
}

class Relay : public ::testing::Test {
protected:
    void SetUp() override
    {
        finis = 0;
        tasklets = 0;
        concurrent = false;
        ops_.name = "scripted";
        ops_.tasklet = scripted_tasklet;
        ops_.tasklet_init = recording_init;
        ops_.tasklet_fini = counting_fini;
        std::string error;
        module_ = gw::ModuleHost::adopt(&ops_, "scripted.so", error);
        ASSERT_TRUE(module_) << error;
        server_ = listen_on(server_port_);
        other_ = listen_on(other_port_);
        settings_.msnp_ports = {server_port_};
        settings_.workers = 2;
        std::string ignored;
        events_.open("", false, ignored);
        ctx_.settings = &settings_;
        ctx_.events = &events_;
        ctx_.expectations = &expectations_;
        ctx_.modules = {module_.get()};
        ctx_.table = &table_;
        acceptor_.open(asio::ip::tcp::v4());
        acceptor_.bind({asio::ip::make_address("127.0.0.1"), 0});
        acceptor_.listen();
        gw_port_ = acceptor_.local_endpoint().port();
        accept();
        for (int i = 0; i < 2; ++i)
            runners_.emplace_back([this] { io_.run(); });
    }

    void TearDown() override
    {
        asio::post(io_, [this] {
            acceptor_.close();
            for (const auto &c : table_.all())
                c->stop();
        });
        guard_.reset();
        for (auto &t : runners_)
            t.join();
    }

    void accept()
    {
        acceptor_.async_accept(asio::make_strand(io_), [this](const asio::error_code &ec,
                                                              asio::ip::tcp::socket s) {
            if (ec)
                return;
            std::make_shared<gw::Connection>(ctx_, std::move(s), ++tid_)->start();
            accept();
        });
    }

    // A client through the gateway to port; `peer` gets the server side.
    Sock open(uint16_t port, Sock &listener, Sock &peer, uint8_t want = 0)
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(gw_port_);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        Sock c(fd);
        std::string req = std::string("\x05\x01\x00\x05\x01\x00\x01\x7f\x00\x00\x01", 11);
        req += static_cast<char>(port >> 8);
        req += static_cast<char>(port & 0xff);
        c.send(req);
        std::string reply = c.recv(12);
        EXPECT_EQ(reply.size(), 12u);
        EXPECT_EQ(reply.size() > 3 ? uint8_t(reply[3]) : 0xff, want);
        if (want == 0)
            peer = Sock(::accept(listener.fd, nullptr, nullptr));
        return c;
    }

    static bool eventually(const std::function<bool()> &f)
    {
        for (int i = 0; i < 300; ++i) {
            if (f())
                return true;
            std::this_thread::sleep_for(10ms);
        }
        return f();
    }

    tq3_module_ops ops_{};
    std::unique_ptr<gw::ModuleHost> module_;
    gw::Settings settings_;
    gw::EventSink events_;
    gw::ExpectationRegistry expectations_;
    gw::ConnectionTable table_;
    gw::RelayContext ctx_;
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> guard_ = asio::make_work_guard(io_);
    asio::ip::tcp::acceptor acceptor_{io_};
    std::vector<std::thread> runners_;
    std::atomic<unsigned long> tid_{0};
    Sock server_, other_;
    uint16_t server_port_ = 0, other_port_ = 0;
    uint16_t gw_port_ = 0;
};

} // namespace

TEST_F(Relay, InjectedBytesFollowTheOutputAndFiniRunsOnce)
{
    Sock peer;
    Sock c = open(server_port_, server_, peer);
    c.send("HELLO INJECT\r\n");
    EXPECT_EQ(peer.recv(14 + 9), "HELLO INJECT\r\nto-server");
    EXPECT_EQ(c.recv(9), "to-client");
    // Both directions at once: tasklets of one connection never overlap.
    std::thread up([&] {
        for (int i = 0; i < 50; ++i)
            c.send("UP " + std::to_string(i) + "\r\n");
    });
    std::string down;
    for (int i = 0; i < 50; ++i)
        down += "DOWN " + std::to_string(i) + "\r\n";
    peer.send(down);
    up.join();
    std::string want_up;
    for (int i = 0; i < 50; ++i)
        want_up += "UP " + std::to_string(i) + "\r\n";
    EXPECT_EQ(peer.recv(want_up.size()), want_up);
    EXPECT_EQ(c.recv(down.size()), down);
    EXPECT_FALSE(concurrent);
    shutdown(c.fd, SHUT_WR);
    EXPECT_TRUE(peer.closed_by_peer());
    peer = Sock();
    EXPECT_TRUE(eventually([] { return finis == 1; }));
    EXPECT_TRUE(eventually([&] { return table_.size() == 0; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(finis, 1);
}

TEST_F(Relay, PoisonEndsTheConnectionAfterItsOutput)
{
    Sock peer;
    Sock c = open(server_port_, server_, peer);
    c.send("POISON\r\n");
    EXPECT_EQ(peer.recv(8), "POISON\r\n");
    EXPECT_TRUE(peer.closed_by_peer());
    EXPECT_TRUE(c.closed_by_peer());
    EXPECT_TRUE(eventually([] { return finis == 1; }));
}

TEST_F(Relay, ExpectedConnectionsGoThroughTheModuleWithTheirData)
{
    struct Case {
        unsigned flags;
        bool through_module;
        bool second_matches;
    } cases[] = {
        {EXPECTATION_FLAG_NONE, true, true},
        {EXPECTATION_FLAG_INVALIDATE, true, false},
        {EXPECTATION_FLAG_DATA_ONLY, false, true},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.flags);
        expectations_.clear();
        expect_port = other_port_;
        expect_flags = k.flags;
        Sock peer;
        Sock c = open(server_port_, server_, peer);
        c.send("EXPECT\r\n");
        EXPECT_EQ(peer.recv(8), "EXPECT\r\n");
        ASSERT_TRUE(eventually([&] { return expectations_.size() == 1; }));

        int before = tasklets;
        Sock speer;
        Sock s = open(other_port_, other_, speer);
        s.send("DATA\r\n");
        EXPECT_EQ(speer.recv(6), "DATA\r\n");
        EXPECT_EQ(tasklets > before, k.through_module);
        if (k.through_module) {
            std::lock_guard<std::mutex> g(seen_lock);
            EXPECT_EQ(seen_expdata, "session-42");
        }
        EXPECT_EQ(expectations_.size(), k.second_matches ? 1u : 0u);
    }
}

TEST_F(Relay, StrictModeRefusesWhatIsNeitherMsnpNorExpected)
{
    settings_.strict = true;
    Sock peer;
    Sock c = open(other_port_, other_, peer, gw::SOCKS_NOT_ALLOWED);
    EXPECT_TRUE(c.closed_by_peer());
    Sock ok = open(server_port_, server_, peer);
    ok.send("STILL\r\n");
    EXPECT_EQ(peer.recv(7), "STILL\r\n");
}
