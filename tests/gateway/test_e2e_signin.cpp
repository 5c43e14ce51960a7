/* End-to-end: the real gateway decides. Scripted notification servers and
 * switchboards speak an MSNP7-era (MD5) and an MSNP15-era (SSO) sign-in as
 * the public protocol descriptions give them; the test policy refuses some
 * users, blocks one contact, and the gateway's warnings, notices, logs and
 * counters must show what happened. */
#include <gtest/gtest.h>

#include <functional>
#include <filesystem>
#include <map>
#include <set>

#include "gateway/e2e_fixture.h"

using namespace e2e;

namespace {

const std::string kWarning = "Conversations here are recorded";
const std::string kBlocked = "That message was not delivered";

/* An injected text message as the gateway writes it: towards the server
 * (no sender) or towards the client from `orig`. */
std::string injected(const std::string &id, const std::string &text, const std::string &orig = "")
{
    std::string payload = "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\nX-Trevalquin: " + id +
                          "\r\nX-MMS-IM-Format: FN=MS%20Sans%20Serif; EF=; CO=0; PF=0\r\n\r\n" + text;
    return msg(orig.empty() ? "MSG 0 U" : "MSG " + orig + " " + orig, payload);
}

/* The gateway's identifier (32 hex digits), read from an injected
 * message. */
std::string gateway_id(const std::string &bytes)
{
    const std::string tag = "X-Trevalquin: ";
    size_t at = bytes.find(tag);
    if (at == std::string::npos)
        return "";
    std::string id = bytes.substr(at + tag.size(), 32);
    bool hex = id.size() == 32 && id.find_first_not_of("0123456789abcdef") == std::string::npos;
    return hex && bytes.compare(at + tag.size() + 32, 2, "\r\n") == 0 ? id : "";
}

class SignIn : public GatewayE2E {
protected:
    std::string logs = dir / "logs";

    void start_deciding()
    {
        start({"var log-dir = \"" + logs + "\"", "var message-warning-text = \"" + kWarning + "\"",
               "var warning-block-enable = 1", "var warning-block-text = \"" + kBlocked + "\""});
    }

    std::map<std::string, long> counters()
    {
        std::map<std::string, long> out;
        RunResult r = tqctl({"counters"});
        for (const auto &line : lines_of(r.out)) {
            std::istringstream in(line);
            std::string name, eq;
            long value = 0;
            if (in >> name >> eq >> value && eq == "=")
                out[name] = value;
        }
        return out;
    }

    /* MSNP15: protocol, client version and the SSO challenge. */
    void sso_sign_in(int c, int s, const std::string &handle)
    {
        EXPECT_TRUE(pass_through(c, s, "VER 1 MSNP15 MSNP14 MSNP13 CVR0\r\n"));
        EXPECT_TRUE(pass_through(s, c, "VER 1 MSNP15 CVR0\r\n"));
        EXPECT_TRUE(pass_through(c, s, "CVR 2 0x0409 winnt 5.1 i386 MSNMSGR 8.5.1288 msmsgs " + handle + "\r\n"));
        EXPECT_TRUE(pass_through(s, c, "CVR 2 8.5.1288 8.5.1288 8.1.0178 http://msgr.example/ http://www.example/\r\n"));
        EXPECT_TRUE(pass_through(c, s, "USR 3 SSO I " + handle + "\r\n"));
        EXPECT_TRUE(pass_through(s, c, "USR 3 SSO S MBI_KEY_OLD 8CLhG/xfgYZ7TyRQ/jIAWyDmd/w4R4GF2yKLS6tYrnjzi4cFag/Nr+hxsfg5zlCf\r\n"));
        EXPECT_TRUE(pass_through(c, s, "USR 4 SSO S t=EwCoARAnAAAUdpXNY3Ga0nq AQAAABIbbF5S4fMD\r\n"));
    }
};

/* Each refusal drops the server's confirmation and ends the connection on
 * both sides; the counters name the reason where one has a counter. */
TEST_F(SignIn, RefusedSignInsAreDroppedAndTheConnectionEnds)
{
    start_deciding();
    struct Case {
        const char *why;
        std::string handle;
        bool md5;
        std::optional<std::pair<std::string, std::string>> socks_login;
    };
    const Case cases[] = {
        {"unknown user, no guests", "zed@example.com", true, std::nullopt},
        {"disabled person", "bob@example.com", false, std::nullopt},
        {"a SOCKS5 name no password vouches for", "carol@example.com", false, std::make_pair("cproxy", "pw")},
        {"client outside the person's network", "dave@example.com", true, std::nullopt},
        {"quota used up", "erin@example.com", false, std::nullopt},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.why);
        Socks5 opt;
        opt.login = k.socks_login;
        OPEN_PAIR(p, ns, opt);
        int c = p.client.get(), s = p.server.get();
        if (k.md5)
            md5_sign_in(c, s, k.handle);
        else
            sso_sign_in(c, s, k.handle);
        std::string ok = k.md5 ? "USR 4 OK " + k.handle + " Someone\r\n" : "USR 4 OK " + k.handle + " 1 0\r\n";
        ASSERT_TRUE(send_all(s, ok));
        ReadResult r = recv_until_closed(c);
        EXPECT_TRUE(r.closed);
        EXPECT_EQ(r.bytes, "") << "the confirmation never reaches the client";
        EXPECT_TRUE(recv_until_closed(s).closed);
    }
    auto n = counters();
    EXPECT_EQ(n["stats-user-unknown"], 1);
    EXPECT_EQ(n["stats-user-disabled"], 1);
    EXPECT_EQ(n["stats-user-null"], 1);
    EXPECT_EQ(n["stats-user-login"], 0);
    EXPECT_EQ(notices("poisoned", 5).size(), 5u);
}

/* carol is bound to the proxy account cproxy. Only a name whose password
 * the gateway checked proves it: a SOCKS4 user id (let in knowingly, with
 * socks4-without-password) says "cproxy" in vain, another account's
 * checked name is a mismatch, and cproxy's own login signs carol in. */
TEST_F(SignIn, ProxyAccountsAreBoundOnlyToCheckedNames)
{
    std::string users = dir / "users";
    std::ofstream(users) << "cproxy:pw\nmallory:pw2\n";
    start({"user-file=" + users, "socks4-without-password=yes", "var log-dir = \"" + logs + "\""});
    struct Case {
        const char *name;
        std::function<Fd()> open;
        bool admitted;
    };
    const Case cases[] = {
        {"SOCKS4 user id cproxy", [&] { int rep; return socks4_connect(gw.port(), ns.port(), &rep, nullptr, "cproxy"); },
         false},
        {"SOCKS4a user id cproxy",
         [&] { int rep; return socks4_connect(gw.port(), ns.port(), &rep, "localhost", "cproxy"); }, false},
        {"SOCKS5 mallory, checked", [&] { return socks5_connect(gw.port(), ns.port(), nullptr, {std::make_pair("mallory", "pw2"), ""}); },
         false},
        {"SOCKS5 cproxy, checked", [&] { return socks5_connect(gw.port(), ns.port(), nullptr, {std::make_pair("cproxy", "pw"), ""}); },
         true},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Fd c = k.open();
        ASSERT_TRUE(c) << "the front door refused the client";
        Fd s = ns.accept();
        ASSERT_TRUE(s);
        sso_sign_in(c.get(), s.get(), "carol@example.com");
        const std::string ok = "USR 4 OK carol@example.com 1 0\r\n";
        ASSERT_TRUE(send_all(s.get(), ok));
        if (k.admitted) {
            EXPECT_EQ(recv_exact(c.get(), ok.size()), ok);
        } else {
            ReadResult r = recv_until_closed(c.get());
            EXPECT_TRUE(r.closed);
            EXPECT_EQ(r.bytes, "") << "the confirmation never reaches the client";
        }
    }
    auto n = counters();
    EXPECT_EQ(n["stats-user-null"], 2);
    EXPECT_EQ(n["stats-user-mismatch"], 1);
    EXPECT_EQ(n["stats-user-login"], 1);
}

} // namespace

namespace {

/* The example configuration and policy do what the README says a new
 * administrator will see: the unrestricted example user signs in, the
 * first message brings the warning, the blocked contact's messages are
 * stopped with a notice, and the logs and counters show it. */
TEST(ExampleSetup, FirstRulesOfTheExamplePolicyApply)
{
    TempDir dir;
    namespace fs = std::filesystem;
    const fs::path root = dir.path();
    lay_out_examples(dir);
    Listener ns, sb;
    Gateway gw;
    ASSERT_TRUE(gw.start((root / "build/trevalquin").string(),
                         {"listen=127.0.0.1:0", "msnp-ports=" + std::to_string(ns.port()) + "," + std::to_string(sb.port()),
                          "allow-destinations=loopback"},
                         dir, {"-c", "examples/trevalquin.conf", "-f"}))
        << gw.error();

    int rep = -1;
    Fd nc = socks5_connect(gw.port(), ns.port(), &rep), nsrv = ns.accept();
    ASSERT_TRUE(nc && nsrv);
    EXPECT_TRUE(pass_through(nc.get(), nsrv.get(), "VER 1 MSNP8 CVR0\r\n"));
    EXPECT_TRUE(pass_through(nsrv.get(), nc.get(), "VER 1 MSNP8 CVR0\r\n"));
    EXPECT_TRUE(pass_through(nc.get(), nsrv.get(), "USR 2 TWN I dave@corp.example.com\r\n"));
    EXPECT_TRUE(pass_through(nsrv.get(), nc.get(), "USR 2 TWN S ct=1,rver=1,wp=FS_40SEC_0_COMPACT,lc=1033,id=507\r\n"));
    EXPECT_TRUE(pass_through(nc.get(), nsrv.get(), "USR 3 TWN S t=ticket&p=profile\r\n"));
    EXPECT_TRUE(pass_through(nsrv.get(), nc.get(), "USR 3 OK dave@corp.example.com Dave 1 0\r\n"));

    Fd bc = socks5_connect(gw.port(), sb.port(), &rep), bs = sb.accept();
    ASSERT_TRUE(bc && bs);
    EXPECT_TRUE(pass_through(bc.get(), bs.get(), "USR 1 dave@corp.example.com 17262740.1050826919.32308\r\n"));
    EXPECT_TRUE(pass_through(bs.get(), bc.get(), "USR 1 OK dave@corp.example.com Dave\r\n"));
    const std::string hi = msg("MSG kim@customer.example.net Kim", text_payload("hello dave"));
    ASSERT_TRUE(send_all(bs.get(), hi));
    std::string got = recv_some(bc.get(), 1 << 16, milliseconds(1000)).bytes;
    const std::string id = gateway_id(got);
    const std::string warning = "This conversation passes the company gateway and is recorded.";
    EXPECT_EQ(got, injected(id, warning, "kim@customer.example.net") + hi);
    EXPECT_EQ(recv_some(bs.get(), 1 << 16, milliseconds(500)).bytes, injected(id, warning));

    /* The conversation's record is written before what it records is
     * relayed: read the moment a message arrives, the chat log holds it,
     * once, however it came (pipelined behind a withheld one, cut). */
    auto chat_log = [&] {
        std::string chat;
        std::error_code ec;
        for (const auto &f : fs::recursive_directory_iterator(root / "var/logs/dave@corp.example.com", ec))
            if (f.path().filename().string().rfind("chat-", 0) == 0)
                chat += slurp(f.path());
        return chat;
    };
    auto logged_once = [&](const std::string &text, const char *verdict) {
        const std::string chat = chat_log();
        const size_t at = chat.find(text);
        EXPECT_NE(at, std::string::npos) << text << "\n" << chat;
        EXPECT_EQ(chat.find(text, at + 1), std::string::npos) << text << "\n" << chat;
        const size_t line = chat.rfind('\n', at);
        EXPECT_NE(chat.substr(line == std::string::npos ? 0 : line, at - (line == std::string::npos ? 0 : line))
                      .find(std::string("verdict='") + verdict + "'"),
                  std::string::npos)
            << text << "\n" << chat;
    };

    const std::string after = msg("MSG kim@customer.example.net Kim", text_payload("still there?"));
    ASSERT_TRUE(send_all(bs.get(), msg("MSG spy@competitor.example Spy", text_payload("psst")) + after));
    EXPECT_EQ(recv_exact(bc.get(), after.size()), after);
    logged_once("still there?", "pass");
    logged_once("psst", "block");
    const std::string notice = injected(id, "The company policy did not let that message through.");
    EXPECT_EQ(recv_exact(bs.get(), notice.size()), notice);

    /* Kim joined; what dave marks CONFIDENTIAL stays with him, with the
     * notice as from kim. */
    EXPECT_TRUE(pass_through(bs.get(), bc.get(), "JOI kim@customer.example.net Kim\r\n"));
    const std::string ok = msg("MSG 2 N", text_payload("see you at ten"));
    /* Pipelined behind the withheld one and cut inside its own header:
     * still one message, archived once. */
    const std::string both = msg("MSG 3 N", text_payload("CONFIDENTIAL: the price list")) + ok;
    const size_t cut = both.size() - ok.size() + 5;
    ASSERT_TRUE(send_all(bc.get(), both.substr(0, cut)));
    std::this_thread::sleep_for(milliseconds(50));
    ASSERT_TRUE(send_all(bc.get(), both.substr(cut)));
    EXPECT_EQ(recv_exact(bs.get(), ok.size()), ok);
    logged_once("see you at ten", "pass");
    logged_once("CONFIDENTIAL: the price list", "block");
    const std::string from_kim = injected(id, "The company policy did not let that message through.",
                                          "kim@customer.example.net");
    EXPECT_EQ(recv_exact(bc.get(), from_kim.size()), from_kim);

    /* Every line is in the archive within a second of its passing, found
     * by its words; what was withheld is there as withheld. */
    auto tqctl = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {(root / "build/tqctl").string(), "-s", "var/trevalquin.sock"});
        return run_program(args, dir);
    };
    const auto passed = Clock::now();
    RunResult found;
    EXPECT_TRUE(eventually([&] {
        found = tqctl({"archive", "search", "user:dave@corp.example.com", "see", "ten"});
        return found.out.find("dave@corp.example.com -> kim@customer.example.net  message  pass  \"see you at ten\"") !=
               std::string::npos;
    }, milliseconds(1000))) << found.out << found.err;
    EXPECT_LT(Clock::now() - passed, milliseconds(1000));
    EXPECT_EQ(lines_of(found.out).size(), 1u) << found.out;
    found = tqctl({"archive", "search", "verdict:block"});
    EXPECT_EQ(lines_of(found.out).size(), 2u) << found.out;
    EXPECT_NE(found.out.find("<- spy@competitor.example  message  block  \"psst\""), std::string::npos) << found.out;
    found = tqctl({"archive", "verify"});
    EXPECT_EQ(found.status, 0) << found.err;
    EXPECT_NE(found.out.find(" records checked, 0 breaks"), std::string::npos) << found.out;

    RunResult r = tqctl({"counters"});
    EXPECT_NE(r.out.find("stats-message-out-block = 1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("stats-user-login = 1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("stats-message-in-block = 1"), std::string::npos) << r.out;
    EXPECT_NE(chat_log().find("orig='spy@competitor.example' dest='dave@corp.example.com' verdict='block'"),
              std::string::npos);
    EXPECT_EQ(gw.stop(SIGTERM), 0) << gw.stderr_text();
}

} // namespace

/* Everything the gateway writes (chat and activity logs, statistics,
 * captures, events, the saved policy, its pid file) is for the owner and
 * the group to read, nobody else. */
TEST_F(SignIn, EveryFileTheGatewayWritesIsPrivate)
{
    namespace fs = std::filesystem;
    std::set<fs::path> ours;
    for (const auto &e : fs::recursive_directory_iterator(dir.path()))
        ours.insert(e.path());
    ours.erase(policy); /* saved again by the gateway */
    start({"var log-dir = \"" + logs + "\"", "capture=all", "capture-dir=" + (dir / "captures"),
           "statistics-interval=1", "pid-file=" + (dir / "gateway.pid")});
    OPEN_PAIR(n, ns);
    md5_sign_in(n.client.get(), n.server.get(), "alice@example.com");
    EXPECT_TRUE(pass_through(n.server.get(), n.client.get(), "USR 4 OK alice@example.com Alice\r\n"));
    Pair b = call_bob(n);
    ASSERT_TRUE(b.client && b.server);
    send_all(b.client.get(), msg("MSG 3 N", text_payload("hello bob")));
    ASSERT_EQ(tqctl({"save"}).status, 0);
    ASSERT_TRUE(eventually([&] {
        for (const auto &e : fs::recursive_directory_iterator(logs))
            if (e.path().filename().string().find("stat") != std::string::npos)
                return true;
        return false;
    })) << "no statistics were written";
    /* The pid file goes at the stop. */
    EXPECT_EQ(static_cast<unsigned>(fs::status(dir / "gateway.pid").permissions()) & ~0640u, 0u);
    n = Pair();
    b = Pair();
    ASSERT_EQ(gw.stop(SIGTERM), 0) << gw.stderr_text();
    std::set<std::string> kinds;
    for (const auto &e : fs::recursive_directory_iterator(dir.path())) {
        if (ours.count(e.path()) || !(e.is_regular_file() || e.is_directory()))
            continue;
        auto mode = static_cast<unsigned>(fs::status(e.path()).permissions());
        const unsigned most = e.is_directory() ? 0750 : 0640;
        EXPECT_EQ(mode & ~most, 0u) << e.path() << " is " << std::oct << mode;
        if (e.is_regular_file())
            kinds.insert(e.path().extension().string());
    }
    for (const char *kind : {".pcap", ".jsonl", ".log", ".xml"})
        EXPECT_TRUE(kinds.count(kind)) << "no " << kind << " file was checked";
}
