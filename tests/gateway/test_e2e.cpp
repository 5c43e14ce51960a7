/* End-to-end tests of the gateway program: the real binary runs as a child
 * on loopback with a test policy, scripted MSNP servers and clients talk
 * through its SOCKS port, and tqctl drives its administration socket. */
#include <gtest/gtest.h>

#include <iksemel.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

#include "gateway/e2e_fixture.h"

using namespace e2e;

namespace {

/* ---- relaying MSNP ------------------------------------------------------ */

/* Bulk traffic in both directions at once, sent in pieces that each end
 * in the middle of a command, so that no read ever ends on a command
 * boundary: everything arrives, in order, unchanged, and a peer that keeps
 * completing commands is never taken for one that sends an endless one
 * (the streams are well beyond max-held-bytes). */
TEST_F(GatewayE2E, BulkStreamsBothWaysArriveIntact)
{
    start({"max-held-bytes=262144"});
    /* About 1.5 MiB of payload commands, and the middle of each. */
    auto stream = [](unsigned seed, std::vector<size_t> &cuts) {
        std::string all;
        for (unsigned i = 0; all.size() < 1536 * 1024; ++i) {
            std::string body(static_cast<size_t>(1 + (i * 7919u + seed) % 1800), '\0');
            for (size_t k = 0; k < body.size(); ++k)
                body[k] = static_cast<char>((k * 31 + i + seed) & 0xff);
            std::string cmd = msg("MSG " + std::to_string(i + 1) + " N", body);
            cuts.push_back(all.size() + cmd.size() / 2);
            all += cmd;
        }
        cuts.push_back(all.size());
        return all;
    };
    auto sender = [](int fd, const std::string &all, const std::vector<size_t> &cuts) {
        no_delay(fd);
        size_t from = 0;
        for (size_t cut : cuts) {
            if (!send_all(fd, all.substr(from, cut - from)))
                return;
            from = cut;
        }
    };
    std::vector<size_t> up_cuts, down_cuts;
    const std::string up = stream(1, up_cuts), down = stream(2, down_cuts);
    for (Listener *target : {&sb, &plain}) {
        SCOPED_TRACE(target == &sb ? "switchboard port" : "plain port");
        OPEN_PAIR(p, *target);
        if (target == &sb)
            sign_in_sb(p);
        std::thread t1(sender, p.client.get(), std::cref(up), std::cref(up_cuts));
        std::thread t2(sender, p.server.get(), std::cref(down), std::cref(down_cuts));
        std::string got_up, got_down;
        std::thread r1([&] { got_up = recv_exact(p.server.get(), up.size(), milliseconds(20000)); });
        got_down = recv_exact(p.client.get(), down.size(), milliseconds(20000));
        r1.join();
        t1.join();
        t2.join();
        EXPECT_TRUE(got_up == up) << "client-to-server stream differs; " << got_up.size() << " of " << up.size();
        EXPECT_TRUE(got_down == down) << "server-to-client stream differs; " << got_down.size() << " of "
                                      << down.size();
    }
    EXPECT_EQ(slurp(events).find("held-bytes-exceeded"), std::string::npos) << slurp(events);
}

/* ---- SOCKS forms ---------------------------------------------------------- */

/* Every way of asking for a connection, each to its own MSNP port so that
 * `connections` tells them apart: relayed, and listed with the user. */
TEST_F(GatewayE2E, EverySocksFormRelaysAndRecordsTheUser)
{
    using Login = std::pair<std::string, std::string>;
    Listener v4[5], v6(64, true);
    std::string ports = std::to_string(v6.port() ? v6.port() : v4[0].port());
    for (auto &l : v4)
        ports += "," + std::to_string(l.port());
    start({"msnp-ports=" + ports});
    const uint16_t g = gw.port();
    struct Form {
        const char *name;
        Listener &target;
        std::function<Fd(uint16_t dst, int *rep)> connect;
        const char *host, *user; /* how `connections` names the destination and the user */
    } forms[] = {
        {"socks5_ipv4", v4[0], [&](uint16_t d, int *rep) { return socks5_connect(g, d, rep); }, "127.0.0.1", nullptr},
        {"socks5_password", v4[1],
         [&](uint16_t d, int *rep) { return socks5_connect(g, d, rep, {Login("carol", "any"), ""}); }, "127.0.0.1",
         "carol"},
        {"socks5_domain", v4[2],
         [&](uint16_t d, int *rep) {
             return socks5_connect(g, d, rep, {std::nullopt, socks5_request_domain("localhost", d)});
         },
         "localhost", nullptr},
        {"socks5_ipv6", v6,
         [&](uint16_t d, int *rep) {
             return socks5_connect(g, d, rep, {std::nullopt, socks5_request_ipv6_loopback(d)});
         },
         "[::1]", nullptr},
        {"socks4", v4[3], [&](uint16_t d, int *rep) { return socks4_connect(g, d, rep); }, "127.0.0.1", "tester"},
        {"socks4a", v4[4], [&](uint16_t d, int *rep) { return socks4_connect(g, d, rep, "localhost"); },
         "localhost", "tester"},
    };
    for (Form &f : forms) {
        SCOPED_TRACE(f.name);
        if (!f.target.port())
            continue; /* no IPv6 loopback here */
        int rep = -1;
        Fd client = f.connect(f.target.port(), &rep);
        ASSERT_TRUE(client) << "refused with " << rep;
        Fd server = f.target.accept();
        ASSERT_TRUE(server);
        EXPECT_TRUE(pass_through(client.get(), server.get(), "VER 1 MSNP15 MSNP14 CVR0\r\n", 3));
        EXPECT_TRUE(pass_through(server.get(), client.get(), "VER 1 MSNP15\r\n"));

        RunResult r = tqctl({"connections"});
        ASSERT_EQ(r.status, 0) << r.err;
        auto l = find_listed(r.out, std::string(f.host) + ":" + std::to_string(f.target.port()));
        ASSERT_TRUE(l) << r.out;
        EXPECT_GT(l->tid, 0u);
        EXPECT_EQ(l->client.rfind("127.0.0.1:", 0), 0u) << l->client;
        EXPECT_EQ(l->kind, "msnp");
        if (f.user) {
            EXPECT_EQ(l->user, f.user);
        } else {
            EXPECT_TRUE(l->user.empty() || l->user == "-") << l->user;
        }
    }
}

TEST_F(GatewayE2E, UserFileChecksPasswordsAndStrictModeRefusesOtherPorts)
{
    std::string users = dir / "users";
    std::ofstream(users) << "carol:s3cret\ndave:pa:ss\n";
    start({"user-file=" + users, "strict=yes"});
    using Login = std::pair<std::string, std::string>;

    int rep = -1;
    EXPECT_FALSE(socks5_connect(gw.port(), ns.port(), &rep, {Login("carol", "wrong"), ""}));
    EXPECT_EQ(rep, 0x101) << "a wrong password must fail the sub-negotiation";
    EXPECT_FALSE(socks5_connect(gw.port(), ns.port(), &rep, {Login("mallory", "s3cret"), ""}));
    EXPECT_EQ(rep, 0x101);
    EXPECT_FALSE(socks5_connect(gw.port(), ns.port(), &rep)) << "no-auth offered while a user file is in force";
    Fd ok = socks5_connect(gw.port(), ns.port(), &rep, {Login("dave", "pa:ss"), ""});
    EXPECT_TRUE(ok) << "a password may hold a colon; got " << rep;
    Fd srv = ns.accept();
    ASSERT_TRUE(srv);
    EXPECT_TRUE(pass_through(ok.get(), srv.get(), "VER 1 MSNP8 CVR0\r\n"));

    /* Strict: a port that is neither MSNP nor expected is not relayed. */
    EXPECT_FALSE(socks5_connect(gw.port(), plain.port(), &rep, {Login("carol", "s3cret"), ""}));
    EXPECT_EQ(rep, 0x02);
    EXPECT_FALSE(plain.accept(milliseconds(300))) << "the refused destination was contacted anyway";
    auto refused = notices("connect-refused");
    ASSERT_EQ(refused.size(), 1u) << slurp(events);
    EXPECT_NE(refused[0].find(std::to_string(plain.port())), std::string::npos) << refused[0];

    /* SOCKS4 has no password to check: refused, and nobody is contacted. */
    EXPECT_FALSE(socks4_connect(gw.port(), ns.port(), &rep));
    EXPECT_EQ(rep, 0x5b);
    EXPECT_FALSE(ns.accept(milliseconds(300)));
    auto socks4 = notices("socks-refused", 4); /* after the three password refusals */
    ASSERT_EQ(socks4.size(), 4u) << slurp(events);
    EXPECT_NE(socks4[3].find("SOCKS4 request (user id &quot;tester&quot;) refused"), std::string::npos)
        << socks4[3];
}

TEST_F(GatewayE2E, ClientsOutsideTheAllowedNetworksGetNoHandshake)
{
    start({"allow-clients=10.0.0.0/8, 192.0.2.0/24"});
    Fd c = tcp_connect(gw.port());
    ASSERT_TRUE(c);
    send_all(c.get(), bytes({5, 1, 0}));
    ReadResult r = recv_until_closed(c.get());
    EXPECT_TRUE(r.closed);
    EXPECT_TRUE(r.bytes.empty()) << "a refused client got a SOCKS reply";
    auto refused = notices("client-refused");
    ASSERT_EQ(refused.size(), 1u) << slurp(events);
    EXPECT_NE(refused[0].find("client 127.0.0.1:"), std::string::npos) << refused[0];
}

/* ---- administration ------------------------------------------------------- */

TEST_F(GatewayE2E, TqctlVariablesModuleCommandsSaveAndConnections)
{
    start();
    struct stat st {};
    ASSERT_EQ(::stat(admin.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    RunResult vars = tqctl({"vars"});
    ASSERT_EQ(vars.status, 0) << vars.err;
    auto ls = lines_of(vars.out);
    EXPECT_TRUE(std::is_sorted(ls.begin(), ls.end())) << vars.out;
    auto has = [&](const std::string &l) { return std::find(ls.begin(), ls.end(), l) != ls.end(); };
    EXPECT_TRUE(has("e2e-number = 42")) << vars.out;
    EXPECT_TRUE(has("e2e-text = hello world")) << vars.out;

    struct Step {
        std::vector<std::string> cmd;
        int status;
        std::string out;
    };
    const Step steps[] = {
        {{"get", "e2e-number"}, 0, "42\n"},
        {{"set", "e2e-number", "-17"}, 0, ""},
        {{"get", "e2e-number"}, 0, "-17\n"},
        {{"set", "e2e-text", "two", "words"}, 0, ""},
        {{"get", "e2e-text"}, 0, "two words\n"},
        {{"set", "e2e-fresh", "5"}, 0, ""},
        {{"get", "e2e-fresh"}, 0, "5\n"},
        {{"get", "e2e-no-such-variable"}, 1, ""},
        {{"frobnicate", "now"}, 1, ""},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.cmd[0] + " " + s.cmd.back());
        RunResult r = tqctl(s.cmd);
        EXPECT_EQ(r.status, s.status) << r.err;
        EXPECT_EQ(r.out, s.out);
        if (s.status == 1) {
            EXPECT_NE(r.err.find("error "), std::string::npos) << r.err;
        }
    }

    RunResult help = tqctl({"help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("connections"), std::string::npos) << help.out;

    RunResult nowhere = run_program({TQCTL_BIN, "-s", dir / "no-such.sock", "vars"}, dir);
    EXPECT_EQ(nowhere.status, 2);
    EXPECT_NE(nowhere.err.find("no-such.sock"), std::string::npos) << nowhere.err;

    /* The module answers its management verbs and refuses others with
     * their code. */
    RunResult logs = tqctl({"msnp", "log", "list"});
    EXPECT_EQ(logs.status, 0) << logs.err;
    EXPECT_NE(logs.out.find("<logs entries='0'"), std::string::npos) << logs.out;
    RunResult frob = tqctl({"msnp", "frob"});
    EXPECT_EQ(frob.status, 1);
    EXPECT_NE(frob.err.find("error 2: Unknown definition (msnp): frob"), std::string::npos) << frob.err;

    /* `save` writes the module's policy as a document that parses. */
    std::filesystem::remove(policy);
    RunResult save = tqctl({"save"});
    ASSERT_EQ(save.status, 0) << save.err;
    ASSERT_TRUE(std::filesystem::exists(policy));
    int err = 0;
    iks *doc = iks_tree(slurp(policy).c_str(), 0, &err);
    ASSERT_NE(doc, nullptr) << "saved policy does not parse:\n" << slurp(policy);
    EXPECT_STREQ(iks_name(doc), "trevalquin");
    iks_delete(doc);

    /* A live relayed connection is listed, and gone once it ends. */
    OPEN_PAIR(p, ns);
    EXPECT_TRUE(pass_through(p.client.get(), p.server.get(), "VER 1 MSNP8 CVR0\r\n"));
    std::string dst = "127.0.0.1:" + std::to_string(ns.port());
    RunResult conns = tqctl({"connections"});
    ASSERT_EQ(conns.status, 0) << conns.err;
    auto listed = find_listed(conns.out, dst);
    ASSERT_TRUE(listed) << conns.out;
    EXPECT_EQ(listed->kind, "msnp");
    RunResult info = tqctl({"info", std::to_string(listed->tid)});
    EXPECT_TRUE(info.status == 0 || info.err.find("error ") != std::string::npos) << info.err;
    EXPECT_EQ(tqctl({"info", "999999"}).status, 1) << "info on a connection that does not exist";

    /* Half-closed is still alive; both sides gone is gone. */
    p.client.reset();
    EXPECT_TRUE(recv_until_closed(p.server.get()).closed);
    EXPECT_TRUE(find_listed(tqctl({"connections"}).out, dst));
    p.server.reset();
    EXPECT_TRUE(eventually([&] { return !find_listed(tqctl({"connections"}).out, dst); }));

    /* The connection's events: who went where, and what it carried. */
    auto attrs_of = [&](const std::string &kind) {
        std::map<std::string, std::string> a;
        for (const auto &line : notices(kind)) {
            int err = 0;
            iks *x = iks_tree(line.c_str(), 0, &err);
            if (x && iks_find_attrib(x, "destination") == dst)
                for (iks *at = iks_attrib(x); at; at = iks_next(at))
                    a[iks_name(at)] = iks_cdata(at);
            iks_delete(x);
        }
        return a;
    };
    auto opened = attrs_of("connection-open");
    EXPECT_EQ(opened["tid"], std::to_string(listed->tid));
    EXPECT_EQ(opened["client"], listed->client);
    EXPECT_EQ(opened["module"], "msnp");
    EXPECT_EQ(opened.count("user"), 1u);
    auto closed = attrs_of("connection-close");
    EXPECT_EQ(closed["bytes-from-client"], "18");
    EXPECT_EQ(closed["bytes-from-server"], "0");
    EXPECT_EQ(closed["reason"], "closed by both sides");
    EXPECT_FALSE(closed["duration"].empty());
    EXPECT_TRUE(each_line_is_xml(slurp(events)));
}

/* The README's way in: the gateway on the example configuration, from a
 * copy of the tree's layout, and every tqctl line the README shows, run as
 * written. The tracked example policy must come out untouched. */
TEST(Readme, TqctlExamplesWorkOnTheExampleSetup)
{
    TempDir dir;
    namespace fs = std::filesystem;
    const fs::path src(TQ_SOURCE_DIR), root = dir.path();
    lay_out_examples(dir);
    const std::string example = slurp(src / "examples/policy.xml");

    std::string script = "set -u\n";
    int tqctl_lines = 0;
    bool in_sh = false;
    for (const auto &line : lines_of(slurp(src / "README.md"))) {
        if (line.rfind("```", 0) == 0) {
            in_sh = line == "```sh";
            continue;
        }
        if (!in_sh || (line.rfind("build/tqctl ", 0) != 0 && line.rfind("export ", 0) != 0))
            continue;
        tqctl_lines += line.rfind("build/tqctl ", 0) == 0;
        script += line + " || { echo 'README example failed: " + replace_all(line, "'", "") + "' >&2; exit 1; }\n";
    }
    ASSERT_GE(tqctl_lines, 5) << "the README's tqctl examples were not found";

    Gateway gw;
    ASSERT_TRUE(gw.start((root / "build/trevalquin").string(), {"listen=127.0.0.1:0"}, dir,
                         {"-c", "examples/trevalquin.conf", "-f"}))
        << gw.error();
    EXPECT_EQ(slurp(root / "var/policy.xml"), example) << "the policy is seeded from the example";
    RunResult r = run_program({"/bin/sh", "-c", script}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("error"), std::string::npos) << r.err;
    EXPECT_EQ(gw.stop(SIGTERM), 0) << gw.stderr_text();

    EXPECT_EQ(slurp(root / "examples/policy.xml"), example) << "the tracked example was written";
    std::string saved = slurp(root / "var/policy.xml");
    EXPECT_NE(saved, example) << "save wrote the state policy";
    EXPECT_NE(saved.find("<trevalquin"), std::string::npos) << saved;
    EXPECT_NE(slurp(root / "var/trevalquin-events.log").find("<notice"), std::string::npos);
}

/* ---- as a daemon ------------------------------------------------------------ */

/* Started as root with `user = nobody`, the gateway binds its sockets,
 * writes its pid file and then runs as nobody (real and effective user and
 * group), and still relays and saves the policy into its state directory. */
TEST_F(GatewayE2E, DropsToTheConfiguredUserAndKeepsWorking)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to change user";
    struct passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    namespace fs = std::filesystem;
    const fs::path state = dir.path() / "state";
    fs::create_directory(state);
    fs::copy_file(policy, state / "policy.xml");
    for (const fs::path &p : {state, state / "policy.xml"})
        ASSERT_EQ(::chown(p.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    ::chmod(dir.path().c_str(), 0711); /* nobody passes through to its state */
    const std::string pid_file = (state / "trevalquin.pid").string();
    start({"user=nobody", "pid-file=" + pid_file, "policy=" + (state / "policy.xml").string(),
           "var log-dir = \"" + (state / "logs").string() + "\""});

    std::string pid = slurp(pid_file);
    ASSERT_FALSE(pid.empty());
    std::map<std::string, std::string> status;
    for (const auto &line : lines_of(slurp("/proc/" + std::to_string(std::atol(pid.c_str())) + "/status"))) {
        size_t colon = line.find(':');
        if (colon != std::string::npos)
            status[line.substr(0, colon)] = line.substr(colon + 1);
    }
    const std::string uid = std::to_string(nobody->pw_uid), gid = std::to_string(nobody->pw_gid);
    EXPECT_EQ(status["Uid"], "\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid);
    EXPECT_EQ(status["Gid"], "\t" + gid + "\t" + gid + "\t" + gid + "\t" + gid);
    EXPECT_EQ(status["Groups"], "\t" + gid + " ");

    expect_still_serving(ns);
    RunResult r = tqctl({"save"});
    EXPECT_EQ(r.status, 0) << r.err;
    struct stat st{};
    ASSERT_EQ(::stat((state / "policy.xml").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, nobody->pw_uid) << "saved by the gateway as nobody";
    /* The events file, opened as root, is nobody's: the gateway opens it
     * again when the logs are rotated. */
    ASSERT_EQ(::stat(events.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, nobody->pw_uid);
    r = tqctl({"reopen-logs"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(gw.stop(SIGTERM), 0) << gw.stderr_text();
    EXPECT_FALSE(fs::exists(pid_file)) << "the pid file goes with the gateway";
}

TEST(Version, IsPrintedOnRequest)
{
    TempDir dir;
    RunResult r = run_program({TQ_GATEWAY_BIN, "--version"}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("trevalquin ", 0), 0u) << r.out;
}

/* ---- bad input -------------------------------------------------------------- */

constexpr int kNoReply = -1, kAnyFailure = 0x100, kSocks4Reject = 0x200;

struct BadSocks {
    const char *name;
    std::string send;    /* everything the client sends */
    bool half_close;     /* then shuts down its sending side */
    std::string allowed; /* the reply that must come first ("" = none) */
    int then;            /* what may follow it before the close: kNoReply, a
                            SOCKS5 REP code, kAnyFailure (REP != 0) or
                            kSocks4Reject (a SOCKS4 rejection) */
    const char *notice;  /* the notice kind the events file must get, or null */
};
void PrintTo(const BadSocks &b, std::ostream *os) { *os << b.name; }

class BadSocksInput : public GatewayE2E, public ::testing::WithParamInterface<BadSocks> {};

TEST_P(BadSocksInput, IsRefusedCleanlyAndOthersStillServed)
{
    const BadSocks &b = GetParam();
    start();
    /* An unrelated relayed connection open across the bad one. */
    OPEN_PAIR(bystander, ns);

    Fd fd = tcp_connect(gw.port());
    ASSERT_TRUE(fd);
    send_all(fd.get(), b.send); /* the gateway may close before reading it all */
    if (b.half_close)
        ::shutdown(fd.get(), SHUT_WR);
    ReadResult r = recv_until_closed(fd.get());
    std::string shown = ::testing::PrintToString(r.bytes);
    EXPECT_TRUE(r.closed) << "the gateway kept a bad client open";
    ASSERT_EQ(r.bytes.substr(0, b.allowed.size()), b.allowed) << shown;
    std::string tail = r.bytes.substr(b.allowed.size());
    if (b.then == kNoReply) {
        EXPECT_EQ(tail, "") << "unexpected reply " << shown;
    } else if (b.then == kSocks4Reject && !tail.empty()) {
        ASSERT_EQ(tail.size(), 8u) << shown;
        EXPECT_TRUE(tail[0] == 0 && tail[1] >= 0x5b && tail[1] <= 0x5d) << shown;
    } else if (!tail.empty()) {
        ASSERT_GE(tail.size(), 2u) << shown;
        EXPECT_EQ(tail[0], 5) << shown;
        int rep = static_cast<unsigned char>(tail[1]);
        EXPECT_TRUE(b.then == kAnyFailure ? rep != 0 : rep == b.then) << shown;
    }
    EXPECT_FALSE(ns.accept(milliseconds(100))) << "a bad request reached a server";
    if (b.notice) {
        EXPECT_EQ(notices(b.notice).size(), 1u) << slurp(events);
    }

    EXPECT_TRUE(pass_through(bystander.client.get(), bystander.server.get(), "VER 1 MSNP8 CVR0\r\n"));
    expect_still_serving(ns);
}

const std::string kGreet = bytes({5, 1, 0});
const std::string kChosen = bytes({5, 0});

INSTANTIATE_TEST_SUITE_P(
    Gateway, BadSocksInput,
    ::testing::Values(
        BadSocks{"wrong_version_byte", bytes({6, 1, 0}), false, "", kNoReply, "socks-refused"},
        BadSocks{"http_request", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", false, "", kNoReply, "socks-refused"},
        BadSocks{"no_acceptable_method", bytes({5, 1, 0x80}), false, bytes({5, 0xff}), kNoReply, "socks-refused"},
        BadSocks{"zero_methods", bytes({5, 0}), false, bytes({5, 0xff}), kNoReply, "socks-refused"},
        BadSocks{"truncated_greeting", bytes({5, 3, 0}), true, "", kNoReply, nullptr},
        BadSocks{"truncated_request", kGreet + bytes({5, 1, 0, 1, 127, 0}), true, kChosen, kAnyFailure, nullptr},
        /* connect-timeout is 2 s: a client that stops mid-request is let go */
        BadSocks{"stalled_request", kGreet + bytes({5, 1, 0, 1, 127, 0}), false, kChosen, kAnyFailure,
                 "socks-timeout"},
        BadSocks{"bad_address_type", kGreet + bytes({5, 1, 0, 9, 127, 0, 0, 1, 0, 80}), false, kChosen, 8,
                 "socks-refused"},
        BadSocks{"bind_command", kGreet + bytes({5, 2, 0, 1, 127, 0, 0, 1, 0, 80}), false, kChosen, 7,
                 "socks-refused"},
        BadSocks{"wrong_request_version", kGreet + bytes({4, 1, 0, 1, 127, 0, 0, 1, 0, 80}), false, kChosen,
                 kAnyFailure, "socks-refused"},
        BadSocks{"empty_domain", kGreet + bytes({5, 1, 0, 3, 0, 0, 80}), false, kChosen, kAnyFailure,
                 "socks-refused"},
        BadSocks{"socks4_unterminated_user", bytes({4, 1, 0, 80, 127, 0, 0, 1}) + std::string(300, 'u'), true, "",
                 kSocks4Reject, nullptr},
        BadSocks{"junk_flood", std::string(256 * 1024, '\xee'), false, "", kNoReply, "socks-refused"}),
    [](const auto &info) { return std::string(info.param.name); });

/* A client gone inside a command, and a peer whose command never ends:
 * both sides of that relay end, and only that relay. */
TEST_F(GatewayE2E, ClientGoneInsideACommandOrSendingAnEndlessOneEndsBothSides)
{
    start({"max-held-bytes=4096"});
    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "orderly close");
        OPEN_PAIR(p, sb);
        EXPECT_TRUE(pass_through(p.client.get(), p.server.get(), "USR 1 alice@example.com 1.2.3\r\n"));
        /* A payload command that never completes. */
        ASSERT_TRUE(send_all(p.client.get(), "MSG 2 N 400\r\nMIME-Version: 1.0\r\nContent-"));
        std::this_thread::sleep_for(milliseconds(100));
        if (reset) {
            linger l{1, 0};
            ::setsockopt(p.client.get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
        p.client.reset();
        ReadResult r = recv_until_closed(p.server.get());
        EXPECT_TRUE(r.closed);
        EXPECT_EQ(r.bytes.find("MIME"), std::string::npos) << "half a command was relayed";
    }
    EXPECT_EQ(slurp(events).find("held-bytes-exceeded"), std::string::npos);

    OPEN_PAIR(p, sb);
    /* A header line that never ends: never a whole command. */
    send_all(p.client.get(), "MSG 1 N " + std::string(64 * 1024, '7'));
    EXPECT_TRUE(recv_until_closed(p.client.get()).closed) << "the gateway held bytes beyond its bound";
    EXPECT_TRUE(recv_until_closed(p.server.get()).closed);
    auto cut = notices("held-bytes-exceeded");
    ASSERT_EQ(cut.size(), 1u) << slurp(events);
    EXPECT_NE(cut[0].find(" tid=\""), std::string::npos) << cut[0];
    expect_still_serving(sb);
}

TEST_F(GatewayE2E, SilentServersDoNotStallOthers)
{
    start();
    /* A server that accepts and never says a word. */
    OPEN_PAIR(mute, ns);
    EXPECT_TRUE(pass_through(mute.client.get(), mute.server.get(), "VER 1 MSNP8 CVR0\r\n"));

    /* A server that never even completes the TCP handshake: its backlog
     * is full, so further connection attempts go unanswered. */
    Listener full(0);
    std::vector<Fd> fillers;
    for (int i = 0; i < 8; ++i)
        fillers.push_back(tcp_connect(full.port(), SOCK_NONBLOCK));
    std::atomic<int> rep{-2};
    auto t0 = Clock::now();
    std::thread waiting([&] {
        int r = -1;
        Fd f = socks5_connect(gw.port(), full.port(), &r);
        rep = f ? 0 : r;
    });
    /* Meanwhile, business as usual. */
    expect_still_serving(sb);
    EXPECT_TRUE(pass_through(mute.client.get(), mute.server.get(), "CVR 2 0x0409 winnt 5.1 i386 A B C x\r\n"));
    waiting.join();
    auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - t0);
    if (rep == 0)
        GTEST_SKIP() << "this network stack completed the connection despite the full backlog";
    EXPECT_NE(rep, 0);
    EXPECT_LT(took, milliseconds(4500)) << "connect-timeout=2 not honoured";
    auto refused = notices("connect-refused");
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_NE(refused[0].find(std::to_string(full.port())), std::string::npos) << refused[0];

    mute.client.reset();
    EXPECT_TRUE(recv_until_closed(mute.server.get()).closed);
}

TEST_F(GatewayE2E, ConnectionsBeyondTheLimitAreRefused)
{
    constexpr int kLimit = 4;
    start({"max-connections=" + std::to_string(kLimit)});
    std::vector<Pair> open;
    for (int i = 0; i < kLimit; ++i) {
        open.push_back(open_pair(plain));
        ASSERT_TRUE(open.back().client && open.back().server);
    }
    for (int i = 0; i < 3 * kLimit; ++i)
        EXPECT_FALSE(socks5_connect(gw.port(), plain.port())) << "extra connection " << i << " was relayed";
    EXPECT_FALSE(plain.accept(milliseconds(100)));
    EXPECT_FALSE(notices("connection-limit").empty()) << slurp(events);
    for (auto &p : open)
        EXPECT_TRUE(pass_through(p.server.get(), p.client.get(), "still here\n"));

    /* Room again once one ends. */
    open.pop_back();
    EXPECT_TRUE(eventually([&] {
        Fd f = socks5_connect(gw.port(), plain.port());
        Fd s = f ? plain.accept() : Fd();
        return s && pass_through(f.get(), s.get(), "x");
    }));
}

/* ---- life cycle ------------------------------------------------------------- */

TEST_F(GatewayE2E, HangupReloadsAndTerminationSignalsEndConnectionsAndExitZero)
{
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(sig));
        start({"save-on-exit=yes"});
        OPEN_PAIR(p, ns);
        if (sig == SIGTERM) { /* a hangup first: it reloads and the gateway serves on */
            gw.signal(SIGHUP);
            EXPECT_EQ(notices("reload").size(), 1u) << slurp(events);
            EXPECT_TRUE(gw.running());
            expect_still_serving(sb);
            EXPECT_EQ(tqctl({"get", "e2e-number"}).out, "42\n");
        }
        EXPECT_TRUE(pass_through(p.client.get(), p.server.get(), "VER 1 MSNP8 CVR0\r\n"));
        std::filesystem::remove(policy);
        auto t0 = Clock::now();
        EXPECT_EQ(gw.stop(sig), 0) << gw.stderr_text();
        EXPECT_TRUE(std::filesystem::exists(policy)) << "save-on-exit did not write the policy";
        EXPECT_LT(Clock::now() - t0, milliseconds(3000));
        EXPECT_TRUE(recv_until_closed(p.client.get(), milliseconds(1000)).closed);
        EXPECT_TRUE(recv_until_closed(p.server.get(), milliseconds(1000)).closed);
        EXPECT_FALSE(std::filesystem::exists(admin)) << "stale administration socket left behind";
    }
    EXPECT_EQ(notices("stopping", 2).size(), 2u) << slurp(events);
}

/* logrotate with the configuration the install ships moves the events
 * file away while events are written; the gateway begins a new file on
 * its signal, and every event is in one of the two files, once. */
TEST_F(GatewayE2E, LogrotateMovesTheEventsFileAndLosesNoEvent)
{
    namespace fs = std::filesystem;
    const std::string logs = dir / "log", state = dir / "state";
    fs::create_directories(logs);
    fs::create_directories(state);
    events = logs + "/events.log";
    start({"pid-file=" + state + "/trevalquin.pid"});
    std::string conf = slurp(std::string(TQ_SOURCE_DIR) + "/dist/trevalquin.logrotate.in");
    for (const auto &[from, to] : {std::pair<std::string, std::string>{"@TQ_LOGDIR@", logs}, {"@TQ_STATEDIR@", state}})
        for (size_t at; (at = conf.find(from)) != std::string::npos;)
            conf.replace(at, from.size(), to);
    std::ofstream(dir / "logrotate.conf") << conf;

    auto person = [&](int n) { EXPECT_EQ(tqctl({"msnp", "new", "person", "p" + std::to_string(n)}).status, 0); };
    for (int n = 0; n < 20; ++n)
        person(n);
    int rc = -1;
    std::thread rotate([&] {
        rc = sh("logrotate -f -s " + state + "/status " + std::string(dir / "logrotate.conf"));
    });
    for (int n = 20; n < 40; ++n)
        person(n);
    rotate.join();
    ASSERT_EQ(rc, 0);
    ASSERT_TRUE(eventually([&] { return fs::exists(events); })) << "no new events file after the signal";
    for (int n = 40; n < 50; ++n)
        person(n);

    std::map<std::string, int> seen;
    for (const std::string &file : {events + ".1", events})
        for (const auto &line : lines_of(slurp(file)))
            for (size_t at = line.find("name='p"); at != std::string::npos; at = line.find("name='p", at + 1))
                ++seen[line.substr(at + 6, line.find('\'', at + 6) - at - 6)];
    EXPECT_EQ(seen.size(), 50u);
    for (const auto &[name, times] : seen)
        EXPECT_EQ(times, 1) << name;
    EXPECT_NE(slurp(events).find("name='p49'"), std::string::npos) << "after the signal, events go to the new file";
    EXPECT_NE(slurp(events + ".1").find("name='p0'"), std::string::npos);

    /* The same by hand, through the administration socket. */
    fs::rename(events, events + ".2");
    EXPECT_EQ(tqctl({"reopen-logs"}).status, 0);
    person(50);
    EXPECT_NE(slurp(events).find("name='p50'"), std::string::npos);
    EXPECT_EQ(slurp(events + ".2").find("name='p50'"), std::string::npos);
    /* Both times the module was asked to begin its chat and activity logs
     * anew at their next line. */
    EXPECT_EQ(tqctl({"get", "log-reopen-generation"}).out, "2\n");
}

/* With events-syslog every event goes to the journal too, as a line with
 * its kind in a field of its own. The journal is this test's socket, in a
 * mount namespace where /run is a private tmpfs. */
TEST_F(GatewayE2E, EventsReachTheJournalWithTheirKind)
{
    if (Netns where = run_in_own_netns(dir, "GatewayE2E.EventsReachTheJournalWithTheirKind", "--mount");
        where != Netns::inside) {
        if (where == Netns::not_root)
            GTEST_SKIP() << "needs root for a mount namespace";
        return;
    }
    ASSERT_EQ(sh("mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/journal"), 0);
    Fd journal(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    std::strcpy(at.sun_path, "/run/systemd/journal/socket");
    ASSERT_EQ(::bind(journal.get(), reinterpret_cast<sockaddr *>(&at), sizeof at), 0);

    start({"events-syslog=yes", "events-syslog-facility=local3"});
    gw.signal(SIGHUP);
    ASSERT_EQ(tqctl({"msnp", "new", "person", "zed"}).status, 0);
    std::map<std::string, std::map<std::string, std::string>> by_kind;
    char buf[65536];
    pollfd p{journal.get(), POLLIN, 0};
    while (!(by_kind.count("object-new") && by_kind.count("reload")) && ::poll(&p, 1, 5000) == 1) {
        ssize_t n = ::recv(journal.get(), buf, sizeof buf, 0);
        ASSERT_GT(n, 0);
        std::map<std::string, std::string> fields;
        for (const auto &line : lines_of(std::string(buf, static_cast<size_t>(n))))
            if (size_t eq = line.find('='); eq != std::string::npos)
                fields[line.substr(0, eq)] = line.substr(eq + 1);
        by_kind[fields["TREVALQUIN_KIND"]] = fields;
    }
    std::string kinds;
    for (const auto &[kind, f] : by_kind)
        kinds += kind + " ";
    ASSERT_TRUE(by_kind.count("reload")) << "the gateway's own notice; came: " << kinds;
    ASSERT_TRUE(by_kind.count("object-new")) << "the module's event; came: " << kinds;
    for (const auto &[kind, f] : by_kind) {
        SCOPED_TRACE(kind);
        EXPECT_EQ(f.at("SYSLOG_IDENTIFIER"), "trevalquin");
        EXPECT_EQ(f.at("SYSLOG_FACILITY"), "19");
        EXPECT_EQ(f.at("PRIORITY"), "6");
        EXPECT_EQ(f.at("MESSAGE").rfind("<", 0), 0u);
    }
    EXPECT_NE(by_kind["object-new"].at("MESSAGE").find("zed"), std::string::npos);
    for (const auto &[kind, f] : by_kind)
        EXPECT_NE(slurp(events).find(f.at("MESSAGE")), std::string::npos) << "the file has it as well: " << kind;
}

/* A hangup while a conversation is being decided: the policy is replaced
 * under it (5,000 more persons make that take a while) and every message
 * sent before, during and after arrives, in order. Nothing is decided
 * against the empty policy between the drop and the load, and the user,
 * placed in a node, keeps its connection without the dropped person. */
TEST_F(GatewayE2E, HangupDuringAConversationLosesNoMessage)
{
    /* Alice at the top of the tree, then in a node: a reload keeps her
     * connections either way. */
    const std::string original = slurp(policy);
    for (bool in_node : {false, true}) {
        SCOPED_TRACE(in_node ? "in a node" : "at the top");
        std::string doc = original, more;
        for (int i = 0; i < 5000; ++i)
            more += "<person name='staff" + std::to_string(i) + "' type='3'><handle>staff" + std::to_string(i) +
                    "@example.com</handle></person>\n";
        doc.insert(doc.find("</object-list>"), more);
        if (in_node) {
            doc.replace(doc.find("<relation-trees>"), 16, "<relation-trees><node identifier='Staff'>");
            doc.replace(doc.find("</relation-trees>"), 17, "</node></relation-trees>");
        }
        std::ofstream(policy, std::ios::trunc) << doc;
        std::ofstream(events, std::ios::trunc).close();
        start();
        Sessions t = alice_calls_trent();
        Pair &n = t.ns, &b = t.sb;
        ASSERT_TRUE(b.client && b.server);
        int bc = b.client.get(), bs = b.server.get();

        std::string all;
        std::thread talk([&] {
            for (int i = 0; i < 300; ++i) {
                std::string m = msg("MSG " + std::to_string(i + 3) + " N", text_payload("message " + std::to_string(i)));
                all += m;
                if (!send_all(bc, m))
                    return;
                std::this_thread::sleep_for(milliseconds(2));
            }
        });
        std::this_thread::sleep_for(milliseconds(100));
        gw.signal(SIGHUP);
        talk.join();
        EXPECT_EQ(recv_exact(bs, all.size(), milliseconds(10000)), all);
        EXPECT_EQ(notices("reload").size(), 1u) << slurp(events);
        EXPECT_TRUE(notices("poisoned", 0).empty()) << slurp(events);
        /* The notification server's connection is still served. */
        EXPECT_TRUE(pass_through(n.client.get(), n.server.get(), "CHG 6 NLN 0\r\n"));
        EXPECT_EQ(gw.stop(SIGTERM), 0) << gw.stderr_text();
    }
}

/* SIGHUP and `tqctl reload-policy` replace the policy the same way: one
 * a start would refuse (not well-formed, or refused by the module) keeps
 * the running one, and the refusal names the file, the line and why. */
TEST_F(GatewayE2E, ABadPolicyKeepsTheRunningOneHoweverItIsReloaded)
{
    start();
    const struct {
        const char *doc, *why;
    } bad[] = {
        {"<trevalquin><object-list>\n<person name='x'>\n</trevalquin>\n", ":3: not well-formed XML"},
        {"<trevalquin><relation-trees><user>ghost</user></relation-trees></trevalquin>\n", ": the module refused it"},
    };
    size_t refusals = 0;
    for (bool hangup : {true, false})
        for (const auto &b : bad) {
            SCOPED_TRACE(std::string(hangup ? "SIGHUP: " : "tqctl: ") + b.why);
            std::ofstream(policy, std::ios::trunc) << b.doc;
            const std::string expected = policy + b.why;
            if (hangup) {
                gw.signal(SIGHUP);
                ASSERT_TRUE(eventually([&] {
                    auto errors = notices("reload-error", 0);
                    return errors.size() > refusals &&
                           errors.back().find("the running policy is kept") != std::string::npos;
                })) << slurp(events);
                auto errors = notices("reload-error", 0);
                refusals = errors.size();
                EXPECT_NE(errors.back().find(expected), std::string::npos) << errors.back();
            } else {
                RunResult r = tqctl({"reload-policy"});
                EXPECT_EQ(r.status, 1);
                EXPECT_NE(r.err.find(expected + "; the running policy is kept"), std::string::npos) << r.err;
            }
            /* The running policy is whole: its people are there, and it
             * still decides. */
            EXPECT_NE(tqctl({"msnp", "glob", "*"}).out.find("mallory"), std::string::npos);
            ASSERT_EQ(tqctl({"save"}).status, 0);
            std::string saved = slurp(policy);
            EXPECT_NE(saved.find("mallory@example"), std::string::npos) << saved;
            EXPECT_EQ(saved.find("ghost"), std::string::npos);
        }
    EXPECT_TRUE(notices("reload", 0).empty()) << "no reload was reported as done";
    expect_still_serving(ns);
}

/* `-t` names each problem with its file and line, and passes the
 * example configuration. */
TEST_F(GatewayE2E, ConfigurationTestNamesFileAndLine)
{
    const std::string conf = dir / "t.conf", doc = dir / "t.xml";
    struct Row {
        const char *name, *config, *policy, *expected;
    };
    const Row rows[] = {
        {"unknown setting", "workers = 2\n\nfrobs = 1\n", nullptr, "t.conf:3: unknown setting"},
        {"bad listen address", "listen = 127.0.0.1:99999\n", nullptr, "t.conf:1: "},
        {"destination with host bits", "workers = 1\nallow-destinations = 10.0.0.1/8\n", nullptr,
         "t.conf:2: allow-destinations: bad destination \"10.0.0.1/8\""},
        {"destination rule without a target", "deny-destinations = port 25\n", nullptr,
         "t.conf:1: deny-destinations: nothing before \"port\""},
        {"destination port out of range", "deny-destinations = any port 0-80\n", nullptr, "bad port \"0-80\""},
        {"missing module", "workers = 1\nmodule = /nonexistent/libnothing.so\n", nullptr,
         "t.conf:2: cannot load module /nonexistent/libnothing.so"},
        {"policy not XML", "policy = t.xml\n", "<trevalquin>\n<object-list>\n</trevalquin>\n",
         "t.xml:3: not well-formed XML"},
        {"unknown object", "policy = t.xml\n", "<trevalquin>\n<relation-trees>\n<user>ghost</user>\n"
         "</relation-trees>\n</trevalquin>\n", "t.xml:3: error 1003"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        std::ofstream(conf, std::ios::trunc) << r.config << "module = " TQ_MODULE_PATH "\n";
        if (std::string(r.name) == "missing module")
            std::ofstream(conf, std::ios::trunc) << r.config;
        if (r.policy)
            std::ofstream(doc, std::ios::trunc) << r.policy;
        RunResult out = run_program({TQ_GATEWAY_BIN, "-t", "-c", "t.conf"}, dir);
        EXPECT_EQ(out.status, 1);
        EXPECT_NE(out.err.find(r.expected), std::string::npos) << out.err;
        EXPECT_EQ(out.out.find("configuration OK"), std::string::npos);
    }

    TempDir example;
    lay_out_examples(example);
    RunResult ok = run_program({(example.path() / "build/trevalquin").string(), "-t", "-c", "examples/trevalquin.conf"},
                               example);
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.err.find("warning: clients"), std::string::npos) << ok.err;
    EXPECT_EQ(ok.out.substr(ok.out.size() - 17), "configuration OK\n");

    /* The rules in force, in the order they are tried, each with where it
     * comes from; a door open beyond loopback without passwords is named. */
    std::ofstream(conf, std::ios::trunc) << "module = " TQ_MODULE_PATH "\n"
                                         << "listen = 0.0.0.0:1080\nallow-clients = 10.0.0.0/8\n"
                                            "allow-destinations = 192.0.2.0/24,2001:db8::/32 port 1863,8000-8100 "
                                            "from 10.1.0.0/16 user alice,bob\n"
                                            "deny-destinations = private\n";
    ok = run_program({TQ_GATEWAY_BIN, "-t", "-c", "t.conf"}, dir);
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_NE(ok.err.find("t.conf:3: warning: clients of 10.0.0.0/8 (allow-clients) use the relay without a password"),
              std::string::npos)
        << ok.err;
    EXPECT_EQ(ok.out, "destination rules (the first that matches decides):\n"
                      "  allow-destinations = 192.0.2.0/24,2001:db8::/32 port 1863,8000-8100 from 10.1.0.0/16 user "
                      "alice,bob    # t.conf:4\n"
                      "  deny-destinations = private    # t.conf:5\n"
                      "  deny-destinations = loopback    # default\n"
                      "  deny-destinations = link-local    # default\n"
                      "  deny-destinations = multicast    # default\n"
                      "  deny-destinations = broadcast    # default\n"
                      "  deny-destinations = unspecified    # default\n"
                      "  deny-destinations = own    # default\n"
                      "  allow-destinations = any    # default\n"
                      "configuration OK\n");
}

TEST_F(GatewayE2E, PolicyProblemsAreReportedNotFatal)
{
    std::ofstream(policy) << "<trevalquin version='1.0'><object-list>"
                          "<person><handle>nobody@example.com</handle></person>"
                          "<person name='alice'><handle>alice@example.com</handle></person>"
                          "</object-list><bogus/></trevalquin>";
    /* In the foreground events are echoed to the terminal too: each
     * problem is still said there once, in words. */
    ASSERT_TRUE(gw.start(TQ_GATEWAY_BIN, settings(), dir, {"-f"})) << gw.error();
    auto warned = notices("policy-warning", 2);
    ASSERT_EQ(warned.size(), 2u) << slurp(events);
    EXPECT_NE(warned[0].find("Person node missing name atribute"), std::string::npos) << warned[0];
    EXPECT_NE(warned[1].find("Unknown configuration node: bogus"), std::string::npos) << warned[1];
    EXPECT_TRUE(each_line_is_xml(slurp(events)));
    const std::string said = gw.stderr_text();
    const std::string bogus = "Unknown configuration node: bogus";
    EXPECT_NE(said.find("policy: warning: " + bogus), std::string::npos) << said;
    EXPECT_EQ(said.find(bogus), said.rfind(bogus)) << said;

    /* Through the administration socket the same warnings come back as
     * warnings; the loaded part still counts as a success. */
    RunResult r = tqctl({"reload-policy"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("warning: Unknown configuration node: bogus"), std::string::npos) << r.err;
    EXPECT_NE(tqctl({"save"}).status, 1);
    EXPECT_NE(slurp(policy).find("alice@example.com"), std::string::npos);

    /* A policy that is not XML at all is refused, and the gateway serves on. */
    std::ofstream(policy) << "<trevalquin><object-list>";
    r = tqctl({"reload-policy"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("error "), std::string::npos) << r.err;
    expect_still_serving(ns);
}

struct BadStart {
    const char *name;
    std::string config;   /* file contents for -c ("" = no file) */
    std::string setting;  /* one extra --set ("" = none) */
    std::string message;  /* text the error must contain */
};
void PrintTo(const BadStart &b, std::ostream *os) { *os << b.name; }

class StartupFailure : public GatewayE2E, public ::testing::WithParamInterface<BadStart> {};

TEST_P(StartupFailure, ExitsNonZeroWithAMessage)
{
    const BadStart &b = GetParam();
    std::vector<std::string> argv{TQ_GATEWAY_BIN};
    if (!b.config.empty()) {
        std::string cfg = dir / "bad.conf";
        std::ofstream(cfg) << b.config;
        argv.insert(argv.end(), {"-c", cfg});
    }
    for (const auto &s : settings())
        argv.insert(argv.end(), {"--set", s});
    Listener busy;
    std::string broken = dir / "broken.xml";
    std::ofstream(broken) << "<trevalquin><object-list>";
    auto fill = [&](const std::string &t) {
        return replace_all(replace_all(t, "BUSY", std::to_string(busy.port())), "BROKEN", broken);
    };
    std::string setting = fill(b.setting), message = fill(b.message);
    if (!setting.empty())
        argv.insert(argv.end(), {"--set", setting});
    RunResult r = run_program(argv, dir);
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.status, -1) << "it crashed or hung";
    EXPECT_EQ(r.out.find("listening on"), std::string::npos);
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Gateway, StartupFailure,
    ::testing::Values(BadStart{"unknown_key", "# comment\n\nworkers = 2\nfrobs = 3\n", "", ":4"},
                      BadStart{"bad_listen", "", "listen=127.0.0.1:99999", "listen"},
                      BadStart{"missing_module", "", "module=/nonexistent/libnothing.so", "libnothing"},
                      BadStart{"port_in_use", "", "listen=127.0.0.1:BUSY", "BUSY"},
                      BadStart{"unreadable_policy", "", "policy=/nonexistent/policy.xml", "/nonexistent/policy.xml"},
                      BadStart{"policy_not_xml", "", "policy=BROKEN", "BROKEN"},
                      BadStart{"open_relay", "", "listen=0.0.0.0:0", "allow-clients = NETWORK/BITS"},
                      BadStart{"unknown_user", "", "user=no-such-user-tq", "\"no-such-user-tq\" does not exist"},
                      BadStart{"unknown_admin_group", "", "admin-group=no-such-group-tq",
                               "to group no-such-group-tq: no such group"},
                      /* As root: the test directory is root's alone; as anyone
                       * else: becoming another user is refused. */
                      BadStart{"state_not_writable", "", "user=nobody", "user \"nobody\""}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
