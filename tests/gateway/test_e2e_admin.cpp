/* An administrator changes the policy of a running gateway through tqctl:
 * a client already connected meets the change at its next command, the
 * policy survives save and restart unchanged, and every refusal comes back
 * with its code and changes nothing. */
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <deque>
#include <filesystem>

#include "gateway/e2e_fixture.h"

using namespace e2e;

namespace {

class Administration : public GatewayE2E {
protected:
    /* tqctl that must succeed; its standard output. */
    std::string ok(const std::vector<std::string> &words)
    {
        RunResult r = tqctl(words);
        EXPECT_EQ(r.status, 0) << words[0] << " " << words[1] << ": " << r.err;
        return r.out;
    }

    /* The whole policy as the module reads it back: every object and the tree. */
    std::string policy_now() { return ok({"msnp", "glob", "*"}) + ok({"msnp", "serialize", "/"}); }
};

/* A connection is named to the module's verbs as `connections` lists it
 * (or in hexadecimal with 0x), and a name that is none is refused. */
TEST_F(Administration, ImpersonationTakesTheConnectionAsListed)
{
    start();
    OPEN_PAIR(p, ns);
    md5_sign_in(p.client.get(), p.server.get(), "alice@example.com");
    EXPECT_TRUE(pass_through(p.server.get(), p.client.get(), "USR 4 OK alice@example.com Alice\r\n"));
    std::optional<Listed> l;
    ASSERT_TRUE(eventually([&] {
        return (l = find_listed(tqctl({"connections"}).out, "127.0.0.1:" + std::to_string(ns.port()))).has_value();
    }));
    char hex[32];
    std::snprintf(hex, sizeof hex, "0x%lx", l->tid);
    for (const std::string &id : {std::to_string(l->tid), std::string(hex)}) {
        ok({"msnp", "impersonate", id, "hello from " + id});
        std::string got = read_until(p.server.get(), "hello from " + id);
        EXPECT_NE(got.find("MSG 0 U "), std::string::npos) << got;
        EXPECT_NE(got.find("hello from " + id), std::string::npos) << "the whole text, not its first word: " << got;
    }
    for (const auto &[words, said] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"999999", "x"}, "error 27: No connection 999999"},
             {{"1f", "x"}, "error 2: Usage"},
             {{std::to_string(l->tid)}, "error 2: Usage"},
             {{std::to_string(l->tid), "say \"hi\""}, "error 2: The text of msnp impersonate cannot hold"}}) {
        std::vector<std::string> argv{"msnp", "impersonate"};
        argv.insert(argv.end(), words.begin(), words.end());
        RunResult r = tqctl(argv);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(said), std::string::npos) << r.err;
    }
}

TEST_F(Administration, ASessionChangesWhatAConnectedClientMeetsAndSurvivesARestart)
{
    start();
    Sessions t = alice_calls_trent();
    Pair &n = t.ns, &b = t.sb;
    ASSERT_TRUE(b.client && b.server);
    int bc = b.client.get(), bs = b.server.get();
    const std::string to_trent = msg("MSG 3 N", text_payload("lunch?"));
    const std::string from_trent = msg("MSG trent@example.net Trent", text_payload("sure"));
    EXPECT_TRUE(pass_through(bc, bs, to_trent));
    EXPECT_TRUE(pass_through(bs, bc, from_trent));

    /* A contact, a group for it, a time window, a tree node with a rule,
     * and alice moved into that node. */
    ok({"msnp", "new", "person", "trent", "/trent@example\\.net/"});
    ok({"msnp", "new", "group", "Pests"});
    ok({"msnp", "add", "trent", "Pests"});
    ok({"msnp", "new", "time", "Always", "all@00:00-23:59"});
    ok({"msnp", "new", "node", "Desk"});
    std::string rule = ok({"msnp", "add", "Pests", "Desk", "'action_block'", "'direction_both'", "Always"});
    EXPECT_NE(rule.find("index='0'"), std::string::npos) << rule;
    ok({"msnp", "add", "alice", "Desk"});
    ok({"msnp", "del", "/", "alice"});
    EXPECT_NE(ok({"msnp", "serialize", "alice"}).find("<reference>/Desk</reference>"), std::string::npos);

    /* The same messages now stop at the gateway, in both directions; the
     * commands after them still pass. */
    const std::string still = "CAL 4 bob@example.org\r\n";
    ASSERT_TRUE(send_all(bc, to_trent + still));
    EXPECT_EQ(recv_exact(bs, still.size()), still);
    const std::string joined = "JOI bob@example.org Bob\r\n";
    ASSERT_TRUE(send_all(bs, from_trent + joined));
    EXPECT_EQ(recv_exact(bc, joined.size()), joined);

    /* Saved as built. */
    ok({"save"});
    const std::string saved = slurp(policy), built = policy_now();
    ASSERT_NE(saved.find("<group name='Pests'>"), std::string::npos) << saved;

    /* Without the relation the same messages pass again. */
    ok({"msnp", "del", "Desk", "Pests"});
    EXPECT_TRUE(pass_through(bc, bs, to_trent));
    EXPECT_TRUE(pass_through(bs, bc, from_trent));
    b.client.reset();
    b.server.reset();
    n.client.reset();
    n.server.reset();

    /* A restart reads the saved policy back to the same text. */
    ASSERT_EQ(gw.stop(SIGTERM), 0) << gw.stderr_text();
    start();
    EXPECT_EQ(policy_now(), built);
    ok({"save"});
    EXPECT_TRUE(slurp(policy) == saved) << "saved again after the restart:\n" << slurp(policy) << "\nfirst:\n" << saved;
}

/* A rule on Local reaches every user, also one that began as a person
 * without a handle and was given one later, in whatever case it is
 * written: alice's conversation with trent stops once trent is a user. */
TEST_F(Administration, APersonGivenAUserHandleLaterMeetsTheRulesOnLocal)
{
    start();
    Sessions t = alice_calls_trent();
    ASSERT_TRUE(t.sb.client && t.sb.server);
    int bc = t.sb.client.get(), bs = t.sb.server.get();
    const std::string to_trent = msg("MSG 3 N", text_payload("lunch?"));
    const std::string from_trent = msg("MSG TRENT@example.net Trent", text_payload("sure"));

    ok({"msnp", "new", "node", "Desk"});
    ok({"msnp", "add", "Local", "Desk", "'action_block'", "'direction_both'"});
    ok({"msnp", "add", "alice", "Desk"});
    ok({"msnp", "del", "/", "alice"});
    /* trent is nobody's user yet: nothing to stop. */
    ok({"msnp", "new", "person", "trent"});
    EXPECT_TRUE(pass_through(bc, bs, to_trent));
    EXPECT_TRUE(pass_through(bs, bc, from_trent));

    ok({"msnp", "modify", "trent", "handle:", "Trent@Example.NET"});
    EXPECT_NE(ok({"msnp", "serialize", "Local"}).find("<member type='single'>trent</member>"), std::string::npos);
    const std::string still = "CAL 4 bob@example.org\r\n";
    ASSERT_TRUE(send_all(bc, to_trent + still));
    EXPECT_EQ(recv_exact(bs, still.size()), still) << "the message to trent must not pass";
    const std::string joined = "JOI bob@example.org Bob\r\n";
    ASSERT_TRUE(send_all(bs, from_trent + joined));
    EXPECT_EQ(recv_exact(bc, joined.size()), joined) << "the message from trent must not pass";
}

TEST_F(Administration, RefusalsComeBackWithTheirCodeAndChangeNothing)
{
    start({"admin-group=nogroup"});
    struct Row {
        std::vector<std::string> words;
        std::string error;
    };
    const Row rows[] = {
        {{"msnp", "add", "alice", "ghost"}, "error 27: Unknown object: ghost"},
        {{"msnp", "new", "group", "alice"}, "error 25: Object name or path is already used: alice"},
        {{"msnp", "rename", "mallory", "alice"}, "error 25: Object name alice already exists"},
        {{"msnp", "add", "Webcam", "Webcam"}, "error 20: Self reference"},
        {{"msnp", "del", "Local", "alice"}, "error 31: Special object: Local"},
        {{"msnp", "new", "gadget", "g"}, "error 26: Unknown object type: gadget"},
        {{"msnp", "move", "alice", "0"}, "error 2: Invalid syntax"},
        {{"msnp", "collect", "/"}, "error 28: Invalid operation"},
        {{"msnp", "modify", "everyone", "0", "'disable'"}, "error 28: No references found: 0"},
        {{"msnp", "modify", "Webcam", "0", "x"}, "error 30: Object Webcam does not support modify method"},
    };
    const std::string before = policy_now();
    for (const Row &r : rows) {
        SCOPED_TRACE(r.words[1] + " " + r.words[2]);
        RunResult got = tqctl(r.words);
        EXPECT_EQ(got.status, 1);
        EXPECT_NE(got.err.find(r.error), std::string::npos) << got.err;
    }
    EXPECT_TRUE(policy_now() == before) << "a refused command changed the policy";

    /* A member of `admin-group` who is neither root nor the gateway's
     * user may read but not change. */
    struct stat st{};
    ASSERT_EQ(::stat(admin.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    EXPECT_EQ(st.st_gid, 65534u) << "nogroup";
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run tqctl as another user";
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0); /* the way to the socket */
    auto as_nobody = [&](const std::vector<std::string> &words) {
        std::vector<std::string> argv{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                      TQCTL_BIN, "-s", admin};
        argv.insert(argv.end(), words.begin(), words.end());
        return run_program(argv, dir);
    };
    RunResult change = as_nobody({"msnp", "new", "person", "zed"});
    EXPECT_EQ(change.status, 1);
    EXPECT_NE(change.err.find("error 12: More level required"), std::string::npos) << change.err;
    RunResult send = as_nobody({"msnp", "impersonate", "1", "hello"});
    EXPECT_EQ(send.status, 1);
    EXPECT_NE(send.err.find("error 12: More level required"), std::string::npos) << send.err;
    RunResult look = as_nobody({"msnp", "serialize", "alice"});
    EXPECT_EQ(look.status, 0) << look.err;
    EXPECT_NE(look.out.find("name='alice'"), std::string::npos) << look.out;
    EXPECT_TRUE(policy_now() == before);
}

} // namespace

/* 20,000 connections to the administration socket, hundreds of them held
 * open and silent: the extra ones are turned away at once, the relay keeps
 * taking clients meanwhile, and the socket answers again once they go. */
TEST_F(Administration, AFloodOfIdleCallersTakesNothingFromTheRelay)
{
    start();
    auto unix_connect = [&] {
        Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", admin.c_str());
        if (::connect(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            return Fd();
        return fd;
    };
    constexpr size_t kAttempts = 20000, kHeld = 400;
    std::deque<Fd> held;
    for (size_t i = 0; i < kAttempts; ++i) {
        Fd fd = unix_connect();
        if (!fd)
            continue;
        held.push_back(std::move(fd));
        if (held.size() > kHeld)
            held.pop_front();
        if (i % 5000 == 4999) {
            OPEN_PAIR(p, ns);
            EXPECT_TRUE(pass_through(p.client.get(), p.server.get(), "VER 1 MSNP8 CVR0\r\n")) << i;
        }
    }
    /* Of the last callers, held open and silent, all but the few one
     * caller may have are told no. */
    size_t turned_away = 0;
    for (auto &fd : held)
        turned_away += recv_some(fd.get(), 256).bytes.find("E 31 Too many connections") != std::string::npos;
    EXPECT_GE(turned_away, kHeld - 16);
    OPEN_PAIR(p, ns);
    EXPECT_TRUE(pass_through(p.client.get(), p.server.get(), "VER 1 MSNP8 CVR0\r\n"));
    held.clear();
    EXPECT_TRUE(eventually([&] { return tqctl({"connections"}).status == 0; }));
}
