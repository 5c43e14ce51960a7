// The relay in-process, with a module whose entry points are scripted by
// the bytes they see: expectations, injected bytes, poison, and the
// once-only end of a connection.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "gateway/e2e_helpers.h"
#include "relay.h"

namespace {

using namespace std::chrono_literals;
using e2e::eventually;
using e2e::Fd;
using e2e::Listener;
using e2e::recv_exact;
using e2e::send_all;

/* True when the peer closes within the usual wait (after any bytes). */
bool closed(const Fd &fd) { return e2e::recv_until_closed(fd.get()).closed; }

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
        settings_.msnp_ports = {server_.port()};
        settings_.workers = 2;
        std::string ignored;
        events_.open("", false, ignored);
        ctx_.settings = &settings_;
        ctx_.events = &events_;
        ctx_.expectations = &expectations_;
        ctx_.modules = {module_.get()};
        ctx_.table = &table_;
        gw::DestinationRule loopback;
        EXPECT_TRUE(gw::parse_destination_rule("loopback", true, loopback, error)) << error;
        ctx_.destinations = gw::effective_destination_rules({loopback});
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

    // A client through the gateway to `target`, greeting and request in one
    // write; `peer` gets the server side.
    Fd open(Listener &target, Fd &peer)
    {
        Fd c = e2e::tcp_connect(gw_port_);
        EXPECT_TRUE(send_all(c.get(), e2e::bytes({5, 1, 0, 5, 1, 0, 1, 127, 0, 0, 1}) + e2e::be16(target.port())));
        EXPECT_EQ(recv_exact(c.get(), 12).substr(0, 4), e2e::bytes({5, 0, 5, 0}));
        peer = target.accept();
        return c;
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
    Listener server_, other_;
    uint16_t gw_port_ = 0;
};

} // namespace

TEST_F(Relay, InjectedBytesFollowTheOutputAndFiniRunsOnce)
{
    Fd peer;
    Fd c = open(server_, peer);
    ASSERT_TRUE(send_all(c.get(), "HELLO INJECT\r\n"));
    EXPECT_EQ(recv_exact(peer.get(), 14 + 9), "HELLO INJECT\r\nto-server");
    EXPECT_EQ(recv_exact(c.get(), 9), "to-client");
    // Both directions at once: tasklets of one connection never overlap.
    std::string up, down;
    for (int i = 0; i < 50; ++i) {
        up += "UP " + std::to_string(i) + "\r\n";
        down += "DOWN " + std::to_string(i) + "\r\n";
    }
    std::thread upper([&] {
        for (int i = 0; i < 50; ++i)
            send_all(c.get(), "UP " + std::to_string(i) + "\r\n");
    });
    ASSERT_TRUE(send_all(peer.get(), down));
    upper.join();
    EXPECT_EQ(recv_exact(peer.get(), up.size()), up);
    EXPECT_EQ(recv_exact(c.get(), down.size()), down);
    EXPECT_FALSE(concurrent);
    shutdown(c.get(), SHUT_WR);
    EXPECT_TRUE(closed(peer));
    peer.reset();
    EXPECT_TRUE(eventually([] { return finis == 1; }));
    EXPECT_TRUE(eventually([&] { return table_.size() == 0; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(finis, 1);
}

TEST_F(Relay, PoisonEndsTheConnectionAfterItsOutput)
{
    Fd peer;
    Fd c = open(server_, peer);
    ASSERT_TRUE(send_all(c.get(), "POISON\r\n"));
    EXPECT_EQ(recv_exact(peer.get(), 8), "POISON\r\n");
    EXPECT_TRUE(closed(peer));
    EXPECT_TRUE(closed(c));
    EXPECT_TRUE(eventually([] { return finis == 1; }));
}

TEST_F(Relay, ExpectedConnectionsGoThroughTheModuleWithTheirData)
{
    struct Case {
        unsigned flags;
        bool through_module, second_matches;
    } cases[] = {
        {EXPECTATION_FLAG_NONE, true, true},
        {EXPECTATION_FLAG_INVALIDATE, true, false},
        {EXPECTATION_FLAG_DATA_ONLY, false, true},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.flags);
        expectations_.clear();
        expect_port = other_.port();
        expect_flags = k.flags;
        Fd peer, speer;
        Fd c = open(server_, peer);
        ASSERT_TRUE(send_all(c.get(), "EXPECT\r\n"));
        EXPECT_EQ(recv_exact(peer.get(), 8), "EXPECT\r\n");
        ASSERT_TRUE(eventually([&] { return expectations_.size() == 1; }));

        int before = tasklets;
        Fd s = open(other_, speer);
        ASSERT_TRUE(send_all(s.get(), "DATA\r\n"));
        EXPECT_EQ(recv_exact(speer.get(), 6), "DATA\r\n");
        EXPECT_EQ(tasklets > before, k.through_module);
        if (k.through_module) {
            std::lock_guard<std::mutex> g(seen_lock);
            EXPECT_EQ(seen_expdata, "session-42");
        }
        EXPECT_EQ(expectations_.size(), k.second_matches ? 1u : 0u);
    }
}
