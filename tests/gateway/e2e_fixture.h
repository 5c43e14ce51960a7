/* The gateway under test with the end-to-end test policy, scripted servers
 * on loopback, and the helpers the scenarios share: relayed pairs, byte-exact
 * pass-through checks, event and tqctl access. */
#ifndef TESTS_GATEWAY_E2E_FIXTURE_H
#define TESTS_GATEWAY_E2E_FIXTURE_H

#include <gtest/gtest.h>

#include <iksemel.h>

#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "gateway/e2e_helpers.h"

namespace e2e {

/* A relayed connection: the client's end at the gateway and the server's
 * end accepted by a scripted server. */
struct Pair {
    Fd client, server;
};

/* A client-side chunk of the conversation and the server-side peer must see
 * the same bytes; `seg` > 0 sends them a few bytes at a time. */
inline ::testing::AssertionResult pass_through(int from, int to, const std::string &bytes, size_t seg = 0)
{
    bool sent = seg ? send_segmented(from, bytes, seg) : send_all(from, bytes);
    if (!sent)
        return ::testing::AssertionFailure() << "send failed";
    std::string got = recv_exact(to, bytes.size());
    if (got != bytes)
        return ::testing::AssertionFailure() << "relayed bytes differ\n  sent: " << ::testing::PrintToString(bytes)
                                             << "\n  got:  " << ::testing::PrintToString(got);
    return ::testing::AssertionSuccess();
}

/* Every line of an events file is one well-formed XML element. */
inline ::testing::AssertionResult each_line_is_xml(const std::string &text)
{
    for (const auto &l : lines_of(text)) {
        int err = 0;
        iks *x = iks_tree(l.c_str(), 0, &err);
        if (!x)
            return ::testing::AssertionFailure() << "not XML: " << l;
        iks_delete(x);
    }
    return ::testing::AssertionSuccess();
}

/* One line of `connections`: TID CLIENT -> SERVER msnp|plain USER DOOR. */
struct Listed {
    unsigned long tid = 0;
    std::string client, server, kind, user, door;
};

/* The first line of `connections` output whose server is `server`. */
inline std::optional<Listed> find_listed(const std::string &out, const std::string &server)
{
    for (const auto &line : lines_of(out)) {
        std::istringstream in(line);
        Listed l;
        std::string arrow;
        if ((in >> l.tid >> l.client >> arrow >> l.server >> l.kind >> l.user >> l.door) && arrow == "->" &&
            l.server == server)
            return l;
    }
    return std::nullopt;
}

inline std::string replace_all(std::string text, const std::string &from, const std::string &to)
{
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

inline std::string msg(const std::string &head, const std::string &payload)
{
    return head + " " + std::to_string(payload.size()) + "\r\n" + payload;
}

inline std::string text_payload(const std::string &text)
{
    return "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
           "X-MMS-IM-Format: FN=Arial; EF=; CO=0; CS=0; PF=22\r\n\r\n" +
           text;
}

/* MSNP7: protocol, policy and MD5 challenge, up to the server's
 * confirmation, which is left to the caller. */
inline void md5_sign_in(int c, int s, const std::string &handle)
{
    EXPECT_TRUE(pass_through(c, s, "VER 1 MSNP7 MSNP6 MSNP5 MSNP4 CVR0\r\n"));
    EXPECT_TRUE(pass_through(s, c, "VER 1 MSNP7 MSNP6 MSNP5 MSNP4 CVR0\r\n"));
    EXPECT_TRUE(pass_through(c, s, "INF 2\r\n"));
    EXPECT_TRUE(pass_through(s, c, "INF 2 MD5\r\n"));
    EXPECT_TRUE(pass_through(c, s, "USR 3 MD5 I " + handle + "\r\n"));
    EXPECT_TRUE(pass_through(s, c, "USR 3 MD5 S 1013928519.693957190\r\n"));
    EXPECT_TRUE(pass_through(c, s, "USR 4 MD5 S 9a3e1a4e7b33a9a7fd0d17dd1d2dcbd8\r\n"));
}

/* Opens a relayed pair through the gateway, or ends the test. */
#define OPEN_PAIR(p, ...)                                                                                          \
    Pair p = open_pair(__VA_ARGS__);                                                                               \
    ASSERT_TRUE(p.client && p.server)

class GatewayE2E : public ::testing::Test {
protected:
    TempDir dir;
    Listener ns, sb, plain; /* notification server, switchboard, a non-MSNP service */
    Gateway gw;
    std::string policy = dir / "policy.xml";
    std::string admin = dir / "admin.sock";
    std::string events = dir / "events.log";
    /* The scripted servers are on loopback, which the gateway's own rules
     * deny: a scenario about those rules clears this. */
    std::vector<std::string> destinations{"allow-destinations=loopback"};

    void SetUp() override
    {
        ASSERT_FALSE(dir.path().empty());
        ASSERT_TRUE(ns.port() && sb.port() && plain.port());
        std::filesystem::copy_file(std::string(TQ_SOURCE_DIR) + "/tests/gateway/data/policy.xml", policy);
    }

    /* Every scenario ends with an orderly stop: exit status 0 also means
     * that the sanitizer build found no leak in the gateway. */
    void TearDown() override
    {
        if (gw.running()) {
            EXPECT_EQ(gw.stop(SIGTERM), 0) << "gateway stderr:\n" << gw.stderr_text();
        }
    }

    std::vector<std::string> settings(const std::vector<std::string> &extra = {}) const
    {
        std::vector<std::string> s{
            "listen=127.0.0.1:0",
            "module=" TQ_MODULE_PATH,
            "policy=" + policy,
            "admin-socket=" + admin,
            "events-file=" + events,
            "msnp-ports=" + std::to_string(ns.port()) + "," + std::to_string(sb.port()),
            "connect-timeout=2",
            "var e2e-number = 42",
            "var e2e-text = \"hello world\"",
        };
        s.insert(s.end(), destinations.begin(), destinations.end());
        s.insert(s.end(), extra.begin(), extra.end());
        return s;
    }

    void start(const std::vector<std::string> &extra = {})
    {
        ASSERT_TRUE(gw.start(TQ_GATEWAY_BIN, settings(extra), dir)) << gw.error();
    }

    Pair open_pair(Listener &server, const Socks5 &opt = {})
    {
        Pair p;
        int rep = -1;
        p.client = socks5_connect(gw.port(), server.port(), &rep, opt);
        EXPECT_EQ(rep, 0) << "SOCKS5 CONNECT refused";
        if (p.client)
            p.server = server.accept();
        EXPECT_TRUE(p.server) << "the gateway did not reach the server";
        return p;
    }

    /* Alice, signed in on the notification server's pair `n`, is sent to
     * the switchboard (MSNP7 XFR), signs in there and calls bob, who
     * joins: the switchboard pair, or one without sockets on failure. */
    Pair call_bob(Pair &n)
    {
        const std::string ck = "17262740.1050826919.32308";
        int c = n.client.get(), s = n.server.get();
        EXPECT_TRUE(pass_through(c, s, "XFR 5 SB\r\n"));
        EXPECT_TRUE(pass_through(s, c, "XFR 5 SB 127.0.0.1:" + std::to_string(sb.port()) + " CKI " + ck + "\r\n"));
        Pair b = open_pair(sb);
        if (!b.client || !b.server)
            return b;
        int bc = b.client.get(), bs = b.server.get();
        EXPECT_TRUE(pass_through(bc, bs, "USR 1 alice@example.com " + ck + "\r\n"));
        EXPECT_TRUE(pass_through(bs, bc, "USR 1 OK alice@example.com Alice%20Example\r\n"));
        EXPECT_TRUE(pass_through(bc, bs, "CAL 2 bob@example.org\r\n"));
        EXPECT_TRUE(pass_through(bs, bc, "CAL 2 RINGING 11752013\r\nJOI bob@example.org Bob\r\n"));
        return b;
    }

    /* Alice signs in on the notification server (MSNP7, MD5) and, on a
     * switchboard connection of her own, calls trent, who joins: both
     * pairs, the switchboard's without sockets on failure. */
    struct Sessions {
        Pair ns, sb;
    };
    Sessions alice_calls_trent()
    {
        Sessions out;
        out.ns = open_pair(ns);
        if (!out.ns.client || !out.ns.server)
            return out;
        md5_sign_in(out.ns.client.get(), out.ns.server.get(), "alice@example.com");
        EXPECT_TRUE(pass_through(out.ns.server.get(), out.ns.client.get(), "USR 4 OK alice@example.com Alice\r\n"));
        out.sb = open_pair(sb);
        if (!out.sb.client || !out.sb.server)
            return out;
        int bc = out.sb.client.get(), bs = out.sb.server.get();
        EXPECT_TRUE(pass_through(bc, bs, "USR 1 alice@example.com 17262740.1050826919.32308\r\n"));
        EXPECT_TRUE(pass_through(bs, bc, "USR 1 OK alice@example.com Alice\r\n"));
        EXPECT_TRUE(pass_through(bc, bs, "CAL 2 trent@example.net\r\n"));
        EXPECT_TRUE(pass_through(bs, bc, "CAL 2 RINGING 11752013\r\nJOI trent@example.net Trent\r\n"));
        return out;
    }

    /* One round trip on a fresh connection: the gateway still serves. A
     * protocol exchange, which needs no sign-in. */
    void expect_still_serving(Listener &server)
    {
        OPEN_PAIR(p, server);
        EXPECT_TRUE(pass_through(p.client.get(), p.server.get(), "VER 1 MSNP8 CVR0\r\n"));
        EXPECT_TRUE(pass_through(p.server.get(), p.client.get(), "VER 1 MSNP8 CVR0\r\n"));
    }
    /* Alice signs in on switchboard pair `p` and bob joins her: what her
     * client sends is decided from then on (before, it waits for the
     * sign-in), and her messages have a reader. */
    void sign_in_sb(Pair &p)
    {
        EXPECT_TRUE(pass_through(p.client.get(), p.server.get(), "USR 1 alice@example.com 1.2.3\r\n"));
        EXPECT_TRUE(pass_through(p.server.get(), p.client.get(),
                                 "USR 1 OK alice@example.com Alice\r\nJOI bob@example.org Bob\r\n"));
    }

    /* Lines of the events file that are gateway notices of `kind`, once
     * at least `min` of them were written. */
    std::vector<std::string> notices(const std::string &kind, size_t min = 1) const
    {
        std::vector<std::string> out;
        eventually([&] {
            out.clear();
            for (const auto &l : lines_of(slurp(events)))
                if (l.rfind("<notice kind=\"" + kind + "\"", 0) == 0)
                    out.push_back(l);
            return out.size() >= min;
        });
        return out;
    }

    RunResult tqctl(const std::vector<std::string> &words)
    {
        std::vector<std::string> argv{TQCTL_BIN, "-s", admin};
        argv.insert(argv.end(), words.begin(), words.end());
        return run_program(argv, dir);
    }
};

/* A copy of the example configuration and policy in `dir`, laid out as
 * the source tree has them, with `build` pointing at the built programs:
 * the gateway started there finds what the README promises. */
inline void lay_out_examples(const TempDir &dir)
{
    namespace fs = std::filesystem;
    const fs::path src(TQ_SOURCE_DIR), root = dir.path();
    fs::create_directory(root / "examples");
    for (const char *f : {"trevalquin.conf", "policy.xml"})
        fs::copy_file(src / "examples" / f, root / "examples" / f);
    fs::create_directory_symlink(fs::path(TQCTL_BIN).parent_path(), root / "build");
}

} // namespace e2e

#endif
