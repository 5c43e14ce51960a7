#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gateway/e2e_helpers.h"
#include "socks.h"

using gw::SocksAddressType;
using gw::SocksHandshake;
using gw::SocksStatus;

namespace {


SocksStatus feed(SocksHandshake &h, const std::string &s)
{
    return h.feed(reinterpret_cast<const uint8_t *>(s.data()), s.size());
}

// Feeds `input` one byte at a time; returns the last status and gathers
// every reply byte.
SocksStatus feed_bytewise(SocksHandshake &h, const std::string &input, std::string &replies)
{
    SocksStatus st = SocksStatus::NeedMore;
    for (char c : input) {
        st = feed(h, std::string(1, c));
        replies += h.take_reply();
        if (st != SocksStatus::NeedMore)
            break;
    }
    return st;
}

const std::string kGreetNone = bytes({5, 1, 0});
const std::string kConnect4 = bytes({5, 1, 0, 1, 10, 0, 0, 7, 0x07, 0x47}); // 10.0.0.7:1863

} // namespace

TEST(Socks5, ConnectFormsWholeOrBytewise)
{
    struct Case {
        std::string input, replies;
        SocksAddressType type;
        std::string host;
        uint16_t port;
        std::string user; // with the password method: without a check, any password, and the name unproven
    } cases[] = {
        {kGreetNone + kConnect4, bytes({5, 0}), SocksAddressType::IPv4, "10.0.0.7", 1863, ""},
        {kGreetNone + bytes({5, 1, 0, 3, 15}) + "messenger.local" + bytes({0x07, 0x47}), bytes({5, 0}),
         SocksAddressType::Domain, "messenger.local", 1863, ""},
        {kGreetNone + bytes({5, 1, 0, 4, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 80}),
         bytes({5, 0}), SocksAddressType::IPv6, "2001:db8::1", 80, ""},
        {kGreetNone + bytes({5, 1, 0, 1, 127, 0, 0, 1, 0xff, 0xff}), bytes({5, 0}), SocksAddressType::IPv4,
         "127.0.0.1", 65535, ""},
        {bytes({5, 2, 0, 2, 1, 5}) + "alice" + bytes({3}) + "xyz" + kConnect4, bytes({5, 2, 1, 0}),
         SocksAddressType::IPv4, "10.0.0.7", 1863, "alice"},
    };
    for (const auto &c : cases) {
        for (bool bytewise : {false, true}) {
            SCOPED_TRACE(c.host + (bytewise ? " bytewise" : " whole"));
            SocksHandshake h;
            std::string replies;
            SocksStatus st = bytewise ? feed_bytewise(h, c.input, replies) : feed(h, c.input);
            if (!bytewise)
                replies = h.take_reply();
            ASSERT_EQ(st, SocksStatus::Request);
            EXPECT_EQ(replies, c.replies);
            EXPECT_EQ(h.target().version, 5);
            EXPECT_EQ(h.target().type, c.type);
            EXPECT_EQ(h.target().host, c.host);
            EXPECT_EQ(h.target().port, c.port);
            EXPECT_EQ(h.target().user, c.user);
            EXPECT_FALSE(h.target().authenticated);
        }
    }
}

TEST(Socks5, RequiredPasswordIsChecked)
{
    auto check = [](const std::string &u, const std::string &p) { return u == "bob" && p == "pw"; };
    struct Case {
        std::string input;
        SocksStatus status;
        std::string replies;
    } cases[] = {
        {bytes({5, 1, 2, 1, 3}) + "bob" + bytes({2}) + "pw" + kConnect4, SocksStatus::Request,
         bytes({5, 2, 1, 0})},
        {bytes({5, 1, 2, 1, 3}) + "bob" + bytes({2}) + "no", SocksStatus::Failed,
         bytes({5, 2, 1, 1})},
        {bytes({5, 1, 2, 1, 3}) + "eve" + bytes({2}) + "pw", SocksStatus::Failed,
         bytes({5, 2, 1, 1})},
        // Without the password method on offer there is nothing to agree on.
        {kGreetNone, SocksStatus::Failed, bytes({5, 0xff})},
        // An empty user name is refused even when passwords are not checked.
        {bytes({5, 1, 2, 1, 0, 0}), SocksStatus::Failed, bytes({5, 2, 1, 1})},
        // Wrong subnegotiation version.
        {bytes({5, 1, 2, 2, 1, 'a', 0}), SocksStatus::Failed, bytes({5, 2, 1, 1})},
    };
    for (const auto &c : cases) {
        SocksHandshake h(true, check);
        std::string replies;
        EXPECT_EQ(feed_bytewise(h, c.input, replies), c.status);
        EXPECT_EQ(replies, c.replies);
    }
}

TEST(Socks5, MalformedAndUnsupportedRequestsGetTheirReplyCode)
{
    struct Case {
        std::string input;
        int code; // -1: closed without a reply
    } cases[] = {
        {bytes({5, 0}), 0xff},                             // no methods offered
        {bytes({5, 1, 0x80}), 0xff},                       // only a private method
        {kGreetNone + bytes({5, 2, 0, 1, 1, 2, 3, 4, 0, 80}), gw::SOCKS_COMMAND_NOT_SUPPORTED},
        {kGreetNone + bytes({5, 3, 0, 1, 1, 2, 3, 4, 0, 80}), gw::SOCKS_COMMAND_NOT_SUPPORTED},
        {kGreetNone + bytes({5, 1, 0, 9, 1, 2, 3, 4, 0, 80}), gw::SOCKS_ADDRESS_NOT_SUPPORTED},
        {kGreetNone + bytes({4, 1, 0, 1, 1, 2, 3, 4, 0, 80}), gw::SOCKS_GENERAL_FAILURE},
        {kGreetNone + bytes({5, 1, 0, 3, 0, 0, 80}), gw::SOCKS_GENERAL_FAILURE}, // empty name
        {kGreetNone + bytes({5, 1, 0, 3, 3, 'a', ' ', 'b', 0, 80}), gw::SOCKS_GENERAL_FAILURE},
        {bytes({'G', 'E', 'T', ' '}), -1},
        {bytes({0x16, 3, 1}), -1},
    };
    for (const auto &c : cases) {
        SocksHandshake h;
        std::string replies;
        EXPECT_EQ(feed_bytewise(h, c.input, replies), SocksStatus::Failed) << c.code;
        EXPECT_FALSE(h.failure().empty());
        if (c.code < 0) {
            EXPECT_TRUE(replies.empty());
        } else if (c.code == 0xff) {
            EXPECT_EQ(replies, bytes({5, 0xff}));
        } else {
            ASSERT_EQ(replies.size(), 2u + 10u);
            EXPECT_EQ(replies.substr(2, 2), bytes({5, c.code}));
        }
        // Once failed, more input changes nothing.
        EXPECT_EQ(feed(h, kConnect4), SocksStatus::Failed);
        EXPECT_TRUE(h.take_reply().empty());
    }
}

TEST(Socks5, BytesAfterTheRequestAreKeptForTheServer)
{
    SocksHandshake h;
    ASSERT_EQ(feed(h, kGreetNone + kConnect4 + "VER 1 MSNP8"), SocksStatus::Request);
    EXPECT_EQ(feed(h, " CVR0\r\n"), SocksStatus::Request);
    EXPECT_EQ(h.take_leftover(), "VER 1 MSNP8 CVR0\r\n");
    EXPECT_EQ(h.take_leftover(), "");
}

TEST(Socks5, InputBeyondTheBoundFails)
{
    SocksHandshake h(false, {}, 16);
    std::string in = kGreetNone + bytes({5, 1, 0, 3, 40}) + std::string(20, 'a');
    EXPECT_EQ(feed(h, in), SocksStatus::Failed);
    // The same request completes under the default bound.
    SocksHandshake roomy;
    EXPECT_EQ(feed(roomy, in + std::string(20, 'a') + bytes({0, 80})), SocksStatus::Request);
    EXPECT_EQ(roomy.target().host, std::string(40, 'a'));
}

TEST(Socks4, ConnectAndSocks4a)
{
    struct Case {
        std::string input;
        SocksAddressType type;
        std::string host;
        std::string user;
    } cases[] = {
        {bytes({4, 1, 0x07, 0x47, 10, 1, 2, 3}) + "carol" + bytes({0}), SocksAddressType::IPv4,
         "10.1.2.3", "carol"},
        {bytes({4, 1, 0x07, 0x47, 0, 0, 0, 9, 0}) + "sb.example.net" + bytes({0}),
         SocksAddressType::Domain, "sb.example.net", ""},
    };
    for (const auto &c : cases) {
        for (bool bytewise : {false, true}) {
            SocksHandshake h;
            std::string replies;
            SocksStatus st = bytewise ? feed_bytewise(h, c.input, replies) : feed(h, c.input);
            ASSERT_EQ(st, SocksStatus::Request) << c.host;
            EXPECT_TRUE(replies.empty()); // SOCKS4 answers only the request
            EXPECT_EQ(h.target().version, 4);
            EXPECT_EQ(h.target().type, c.type);
            EXPECT_EQ(h.target().host, c.host);
            EXPECT_EQ(h.target().port, 1863);
            EXPECT_EQ(h.target().user, c.user);
            EXPECT_FALSE(h.target().authenticated);
        }
    }
    SocksHandshake h;
    feed(h, cases[0].input);
    EXPECT_EQ(h.success_reply(nullptr, 4, 0), bytes({0, 0x5a, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(h.failure_reply(gw::SOCKS_HOST_UNREACHABLE), bytes({0, 0x5b, 0, 0, 0, 0, 0, 0}));
}

TEST(Socks4, BindAndOverlongFieldsAreRefused)
{
    const std::string refused = bytes({0, 0x5b, 0, 0, 0, 0, 0, 0});
    std::vector<std::string> inputs = {
        bytes({4, 2, 0, 80, 10, 0, 0, 1, 0}),                         // BIND
        bytes({4, 1, 0, 80, 10, 0, 0, 1}) + std::string(300, 'u'),    // user id without end
        bytes({4, 1, 0, 80, 0, 0, 0, 1, 0}) + std::string(300, 'h'),  // 4a host without end
        bytes({4, 1, 0, 80, 0, 0, 0, 1, 0}) + bytes({0}),             // 4a empty host
    };
    for (const auto &in : inputs) {
        SocksHandshake h;
        EXPECT_EQ(feed(h, in), SocksStatus::Failed);
        EXPECT_EQ(h.take_reply(), refused);
    }
}

TEST(Socks4, RefusedWherePasswordsAreRequiredUnlessAllowed)
{
    const std::string request = bytes({4, 1, 0x07, 0x47, 10, 0, 0, 7}) + "tester" + '\0';
    for (bool allowed : {false, true}) {
        SCOPED_TRACE(allowed);
        SocksHandshake h(true, [](const std::string &, const std::string &) { return true; });
        h.allow_socks4(allowed);
        std::string replies;
        SocksStatus st = feed_bytewise(h, request, replies);
        if (allowed) {
            EXPECT_EQ(st, SocksStatus::Request);
            EXPECT_EQ(h.target().user, "tester");
            EXPECT_TRUE(replies.empty());
        } else {
            EXPECT_EQ(st, SocksStatus::Failed);
            EXPECT_EQ(replies, bytes({0, 0x5b, 0, 0, 0, 0, 0, 0}));
            EXPECT_NE(h.failure().find("no password"), std::string::npos) << h.failure();
        }
    }
}
