/* Sign-in and session admission through the tasklet: who is admitted on a
 * notification-server or switchboard login, what a refusal leaves behind,
 * the authentication expectations, the fixed friendly name, the version
 * checks, the welcome and the end of a conversation. */
#include <fstream>
#include <functional>
#include <sstream>

#include "msnp/session_fixture.h"
#include "tq3_msnp_conntrack.h"
#include "tq3_msnp_handlers.h"
#include "tq3_msnp_log.h"
#include "tq3_msnp_objects.h"

namespace {

const char kLoginPolicy[] =
    "<person type=\"2\" name=\"anyone\"><handle>.*</handle></person>"
    "<person type=\"3\" name=\"alice\"><handle>alice@example.com</handle>"
    "<friendly>Alice%20Fixed</friendly><attribute type=\"fixed_friendly\">1</attribute></person>"
    "<person type=\"3\" name=\"bob\"><handle>bob@example.com</handle>"
    "<attribute type=\"disabled\">1</attribute></person>"
    "<person type=\"3\" name=\"carol\"><handle>carol@example.com</handle>"
    "<attribute type=\"username\">cproxy</attribute></person>"
    "<person type=\"3\" name=\"dave\"><handle>dave@example.com</handle>"
    "<attribute type=\"network_source\">192.168.0.0/255.255.0.0</attribute></person>"
    "<person type=\"3\" name=\"erin\"><handle>erin@example.com</handle>"
    "<attribute type=\"bounties_life\">3600</attribute></person>"
    "<person type=\"3\" name=\"fay\"><handle>fay@example.com</handle>"
    "<attribute type=\"bounties_life\">3600</attribute><attribute type=\"bounties_initial\">600</attribute></person>";
const char kLoginTree[] = "<user>alice</user><user>bob</user><user>carol</user><user>dave</user><user>erin</user>"
                     "<user>fay</user>"
                     "<relation object=\"anyone\" action=\"pass\" direction=\"both\"/>";

class Login : public SessionTest {
public:
    void SetUp() override
    {
        SessionTest::SetUp();
        ASSERT_TRUE(load(kLoginPolicy, kLoginTree)) << ::testing::PrintToString(errors());
    }

    size_t trackers() const { return tqlist_length(self->data); }
    void unset(const char *name) { variable_destroy(self->ns->remove(self->ns, name)); }
    /* Users keep their welcome across connections that were no master. */
    void alice_welcomed(bool welcomed)
    {
        msnp_person *p = msnp_search_user("alice@example.com");
        if (p && p->user)
            p->user->welcomed = welcomed;
    }
    size_t expectations() const { return tqlist_length(conn->explist); }
};

/* What a client sends before the server confirms its sign-in waits: the
 * confirmation decides it and sends what passes after the confirmation;
 * a refusal drops it with the connection; a client that sends too much
 * before it is known loses the connection. */
TEST_F(Login, CommandsBeforeTheConfirmationWaitForIt)
{
    Outcome early = client("USR 4 MD5 S 9a3e1a4e7b33a9a7fd0d17dd1d2dcbd8\r\nCHG 5 NLN 0\r\nPNG\r\n");
    EXPECT_EQ(early.forwarded, "USR 4 MD5 S 9a3e1a4e7b33a9a7fd0d17dd1d2dcbd8\r\n");
    EXPECT_EQ(client("CVR 6 0x0409 winnt 5.1 i386 MSNMSGR 7.0 msmsgs alice@example.com\r\n").forwarded, "")
        << "a sign-in command behind a waiting one waits too";
    Outcome confirmed = server("USR 4 OK alice@example.com Alice%20Fixed 1 0\r\n");
    EXPECT_EQ(confirmed.server, "CHG 5 NLN 0\r\nPNG\r\nCVR 6 0x0409 winnt 5.1 i386 MSNMSGR 7.0 msmsgs alice@example.com\r\n");
    EXPECT_EQ(client("PNG\r\n").forwarded, "PNG\r\n") << "signed in: nothing waits";

    TearDown();
    SetUp();
    EXPECT_EQ(client("PNG\r\n").forwarded, "");
    Outcome refused = server("USR 4 OK bob@example.com 1 0\r\n");
    EXPECT_EQ(refused.server, "");
    EXPECT_EQ(conn->poison_match, TQ_MATCH_BLOCK);

    TearDown();
    SetUp();
    var("i/signin-held-max", "16");
    EXPECT_EQ(client("PNG\r\nPNG\r\nPNG\r\n").forwarded, "");
    EXPECT_EQ(conn->poison_match, TQ_MATCH_NONE);
    client("CHG 5 NLN 0\r\n");
    EXPECT_EQ(last, TQ_MATCH_BLOCK);
    EXPECT_EQ(conn->poison_match, TQ_MATCH_BLOCK);
}

/* The notification server confirms a sign-in: every admission rule, with
 * what a refusal leaves behind (nothing forwarded, the connection poisoned,
 * no tracker, no login event) and the counter that says why. */
TEST_F(Login, NotificationServerConfirmationAdmitsOrRefuses)
{
    struct Row {
        const char *name;
        const char *line;
        std::function<void(Login &)> setup;
        bool admitted;
        const char *counter; /* moved by one, or null */
    };
    const Row rows[] = {
        {"configured user, MSNP8 form", "USR 4 OK alice@example.com Alice%20Fixed 1 0\r\n", nullptr, true,
         "stats-user-login"},
        {"configured user, MSNP15 form", "USR 4 OK alice@example.com 1 0\r\n", nullptr, true, "stats-user-login"},
        {"unknown user without guests", "USR 4 OK zed@example.com 1 0\r\n", nullptr, false, "stats-user-unknown"},
        {"unknown user as a guest", "USR 4 OK zed@example.com 1 0\r\n",
         [](Login &t) { t.var("i/guests-permit", "1"); }, true, "stats-user-guest"},
        {"disabled person", "USR 4 OK bob@example.com 1 0\r\n", nullptr, false, "stats-user-disabled"},
        {"SOCKS5 user name matches", "USR 4 OK carol@example.com 1 0\r\n",
         [](Login &t) { t.socks_user("cproxy"); }, true, "stats-user-login"},
        {"SOCKS5 user name differs", "USR 4 OK carol@example.com 1 0\r\n",
         [](Login &t) { t.socks_user("mallory"); }, false, "stats-user-mismatch"},
        {"SOCKS5 without user name", "USR 4 OK carol@example.com 1 0\r\n", nullptr, false, "stats-user-null"},
        {"SOCKS5 without user name, allowed", "USR 4 OK carol@example.com 1 0\r\n",
         [](Login &t) { t.var("i/null-user-valid", "1"); }, true, "stats-user-null"},
        {"SOCKS4 carries no checked name", "USR 4 OK carol@example.com 1 0\r\n",
         [](Login &t) { t.conn->version = 4; }, false, "stats-user-null"},
        {"no proxy login at all", "USR 4 OK carol@example.com 1 0\r\n", [](Login &t) { t.conn->version = 0; },
         false, "stats-user-null"},
        {"client outside the person's network", "USR 4 OK dave@example.com 1 0\r\n", nullptr, false, nullptr},
        {"outside the network, not enforced", "USR 4 OK dave@example.com 1 0\r\n",
         [](Login &t) { t.var("i/source-address-out", "0"); }, true, "stats-user-login"},
        {"client inside the person's network", "USR 4 OK dave@example.com 1 0\r\n",
         [](Login &t) { t.conn->saddr = inet_addr("192.168.7.7"); }, true, "stats-user-login"},
        {"quota used up", "USR 4 OK erin@example.com 1 0\r\n", nullptr, false, nullptr},
        {"quota left, first sign-in after the policy loads", "USR 4 OK fay@example.com 1 0\r\n", nullptr, true,
         "stats-user-login"},
        {"unknown user as an insecure guest", "USR 4 OK zed@example.com 1 0\r\n",
         [](Login &t) { t.var("i/guests-permit", "1"), t.var("i/guests-insecure", "1"); }, true, "stats-user-guest"},
        {"quota used up, not enforced", "USR 4 OK erin@example.com 1 0\r\n",
         [](Login &t) { t.var("i/bounties-out", "0"); }, true, "stats-user-login"},
        {"unverified account allowed by default", "USR 4 OK alice@example.com 0 0\r\n", nullptr, true,
         "stats-user-login"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        if (row.setup)
            row.setup(*this);
        long before = row.counter ? counter(row.counter) : 0;
        Outcome o = server(row.line);
        if (row.counter) {
            EXPECT_EQ(counter(row.counter), before + 1) << row.counter;
        }
        std::vector<std::string> events;
        for (const std::string &e : take_events()) /* a guest also brings its new objects */
            if (e.rfind("<contact-activity", 0) == 0)
                events.push_back(e);
        if (row.admitted) {
            EXPECT_EQ(o.client.substr(0, 9), std::string(row.line).substr(0, 9));
            EXPECT_NE(conn->poison_match, TQ_MATCH_BLOCK);
            ASSERT_NE(tracker(), nullptr);
            EXPECT_EQ(trackers(), 1u);
            msnp_person *p = tracker()->person;
            ASSERT_TRUE(p && p->user);
            EXPECT_EQ(p->last_login, static_cast<unsigned long>(g_test_now));
            EXPECT_EQ(p->user->master, 1);
            ASSERT_EQ(events.size(), 1u);
            EXPECT_NE(events[0].find("code='login'"), std::string::npos) << events[0];
            char *path = msnp_activity_log_path(tracker()->user_handle);
            EXPECT_EQ(slurp(path), events[0] + "\n");
            free(path);
        } else {
            EXPECT_EQ(o.client, "");
            EXPECT_EQ(conn->poison_match, TQ_MATCH_BLOCK);
            EXPECT_EQ(tracker(), nullptr);
            EXPECT_EQ(trackers(), 0u);
            EXPECT_TRUE(events.empty());
            EXPECT_EQ(counter("stats-user-login"), 0);
        }
    }
}

TEST_F(Login, RefusalsAndAFailedVerificationUnderTheirVariables)
{
    var("i/try-conntrack-hard-out", "0");
    EXPECT_EQ(server("USR 4 OK bob@example.com 1 0\r\n").client, "");
    EXPECT_NE(conn->poison_match, TQ_MATCH_BLOCK) << "dropped, but the connection stays";

    /* An unverified account refused after admission keeps its tracker on
     * the connection until it ends. */
    connect();
    var("i/try-conntrack-hard-out", "1");
    var("i/unconfirmed-out", "1");
    EXPECT_EQ(server("USR 4 OK alice@example.com 0 0\r\n").client, "");
    EXPECT_EQ(conn->poison_match, TQ_MATCH_BLOCK);
    EXPECT_NE(tracker(), nullptr);
    EXPECT_EQ(counter("stats-user-login"), 0);
    EXPECT_TRUE(take_events().empty());
    const std::string again = "USR 4 OK alice@example.com 1 0\r\n";
    EXPECT_EQ(server(again).client, again) << "a connection with a tracker is not admitted again";

    /* A line without a handle word is refused outright. */
    connect();
    EXPECT_EQ(server("USR 4 OK\r\n").client, "");
    EXPECT_EQ(conn->poison_match, TQ_MATCH_BLOCK);
}

/* The authentication step announces a separate secure connection from the
 * client's address; a Mac client gets three. Nothing is admitted yet. */
TEST_F(Login, AuthenticationStepRegistersExpectationsAndAdmitsNobody)
{
    const std::string twn = "USR 3 TWN S lc=1033,id=507,tw=40,fs=1,ct=1062764229,kpp=1,kv=5\r\n";
    EXPECT_EQ(server(twn).client, twn);
    ASSERT_EQ(expectations(), 1u);
    auto *e = static_cast<tq3_expectation *>(conn->explist->data);
    EXPECT_EQ(e->saddr, inet_addr("10.1.2.3"));
    EXPECT_EQ(e->smask, 0xffffffffu);
    EXPECT_EQ(ntohs(e->dport), 443);
    EXPECT_EQ(tracker(), nullptr);

    connect();
    const std::string cvr = "CVR 2 0x0409 mac 10.4 powerpc MSNMSGR 6.0.0602 MSMSGS alice@example.com\r\n";
    EXPECT_EQ(client(cvr).server, cvr);
    EXPECT_STREQ(conn->client[ID_OS], "mac");
    EXPECT_STREQ(conn->client[ID_VERSION], "6.0.0602");
    server("USR 3 SSO S MBI_KEY_OLD 8CLhG/xfgYZ7TyRQ/jIAWyDmd/w4R4GF2yKLS6tYrnjzi4cFag/Nr+hxsfg5zlCf\r\n");
    EXPECT_EQ(expectations(), 3u);
    EXPECT_EQ(counter("stats-user-macmsg"), 1);
    connect();
    var("i/macmsg-expectation-double", "0");
    client(cvr);
    server(twn);
    EXPECT_EQ(expectations(), 1u);
}

/* A switchboard login (identifier 1) is admitted without the
 * notification-server checks and without a login event; a client's answer
 * to an invitation takes the contact and the session from the invitation it
 * matched, and the invitation's expectation is withdrawn. */
TEST_F(Login, SwitchboardLoginAndAnswerToAnInvitation)
{
    const std::string usr = "USR 1 OK carol@example.com Carol\r\n";
    EXPECT_EQ(server(usr).client, usr);
    ASSERT_NE(tracker(), nullptr);
    EXPECT_EQ(tracker()->cont_handle, nullptr);
    EXPECT_TRUE(take_events().empty());
    EXPECT_EQ(counter("stats-user-login"), 0);
    EXPECT_EQ(server(usr).client, usr) << "a second confirmation keeps the tracker";
    EXPECT_EQ(trackers(), 1u);

    connect();
    msnp_session other{const_cast<char *>("zoe@example.org"), const_cast<char *>("999"), const_cast<char *>("x")};
    msnp_session invited{const_cast<char *>("bob@example.org"), const_cast<char *>("11752013"),
                         const_cast<char *>("849102291.520491113")};
    tqlist_insert_end(&conn->expdata, &other);
    tqlist_insert_end(&conn->expdata, &invited);
    const std::string ans = "ANS 1 alice@example.com 849102291.520491113 11752013\r\n";
    EXPECT_EQ(client(ans).server, ans);
    ASSERT_NE(tracker(), nullptr);
    EXPECT_STREQ(tracker()->user_handle, "alice@example.com");
    EXPECT_STREQ(tracker()->cont_handle, "bob@example.org");
    EXPECT_STREQ(tracker()->session, "11752013");
    EXPECT_EQ(conn->expdata, nullptr);
    ASSERT_EQ(expectations(), 1u);
    auto *e = static_cast<tq3_expectation *>(conn->explist->data);
    EXPECT_EQ(e->data, &invited);
    EXPECT_EQ(e->flags, unsigned(EXPECTATION_FLAG_DATA_ONLY | EXPECTATION_FLAG_INVALIDATE));
    EXPECT_EQ(e->data_destructor, nullptr) << "the record stays the invitation's";
}

/* A fixed friendly name replaces the confirmed one for the client and is
 * sent to the server; the MSNP15 verification flag is never taken for a
 * name. */
TEST_F(Login, FixedFriendlyNameIsShownAndSentToTheServer)
{
    Outcome o = server("USR 4 OK alice@example.com Alice%20Example 1 0\r\n");
    EXPECT_EQ(o.client, "USR 4 OK alice@example.com Alice%20Fixed 1 0\r\n");
    EXPECT_EQ(o.server, "REA 0 alice@example.com Alice%20Fixed\r\n");
    EXPECT_EQ(counter("stats-user-friendly-fixed"), 1);

    connect();
    alice_welcomed(false);
    var("i/friendly-forced-initial", "0");
    o = server("USR 4 OK alice@example.com Alice%20Example 1 0\r\n");
    EXPECT_EQ(o.client, "USR 4 OK alice@example.com Alice%20Fixed 1 0\r\n");
    EXPECT_EQ(o.server, "");

    connect();
    o = server("USR 4 OK alice@example.com 1 0\r\n");
    EXPECT_EQ(o.client, "USR 4 OK alice@example.com 1 0\r\n");
    EXPECT_EQ(o.server, "");
}

TEST_F(Login, VersionBoundsOnVerAndCvr)
{
    struct Row {
        const char *lower, *upper, *line;
        bool passes;
    };
    const Row ver[] = {
        {nullptr, nullptr, "VER 1 MSNP8 CVR0\r\n", true},
        {nullptr, nullptr, "VER 1 CVR0\r\n", true},
        {"MSNP9", nullptr, "VER 1 MSNP8 CVR0\r\n", false},
        {nullptr, "MSNP9", "VER 1 MSNP8 CVR0\r\n", true},
        {nullptr, "MSNP9", "VER 1 MSNP15 MSNP8 CVR0\r\n", false},
        {"MSNP8", "MSNP12", "VER 1 MSNP12 MSNP11 MSNP8 CVR0 MSNP2\r\n", true},
        {"MSNP8", nullptr, "VER 1 MSNP\r\n", false},
    };
    for (const Row &r : ver) {
        SCOPED_TRACE(r.line);
        connect();
        unset("msnp-lower-version");
        unset("msnp-upper-version");
        if (r.lower)
            var("s/msnp-lower-version", r.lower);
        if (r.upper)
            var("s/msnp-upper-version", r.upper);
        EXPECT_EQ(client(r.line).server == r.line, r.passes);
    }
    client("VER 1 MSNP8 MSNP7 CVR0\r\n");
    EXPECT_STREQ(conn->protocol[ID_VERSION], "MSNP8 MSNP7");
    EXPECT_STREQ(conn->protocol[ID_NAME], "MSNP");

    /* System versions decide first; the client version only when none of
     * the three system checks does. */
    const std::string winxp = "CVR 2 0x0409 winnt 5.1 i386 MSNMSGR 8.1.0178 MSMSGS alice@example.com\r\n";
    var("s/lower-winnt-i386-version", "5.0");
    var("s/lower-client-version", "9.0");
    EXPECT_EQ(client(winxp).server, winxp) << "the system check passes it";
    unset("lower-winnt-i386-version");
    EXPECT_EQ(client(winxp).server, "") << "undecided system, client too old";
    var("s/lower-any-any-version", "6.0");
    EXPECT_EQ(client(winxp).server, "") << "the third system check refuses";
    const std::string answer = "CVR 2 8.1.0178 8.1.0178 7.0.0816 http://x/ http://y/\r\n";
    EXPECT_EQ(server(answer).client, answer) << "the server's CVR is not checked";
}

/* The welcome goes with the first answered switchboard of a login, after
 * the ANS line, from the sender its mode names; never twice. */
TEST_F(Login, WelcomeOncePerLoginFromTheSenderOfItsMode)
{
    var("s/message-warning-welcome-text", "Chats are recorded");
    struct Row {
        const char *mode;
        bool participant, adl_initial;
        const char *sender; /* null: nothing sent */
    };
    const Row rows[] = {
        {"1", true, false, MSNP_WELCOME_SENDER},
        {"2", true, false, MSNP_WELCOME_SENDER},
        {"2", true, true, "bob@example.org"},
        {"2", false, true, nullptr},
        {"3", true, false, "bob@example.org"},
        {"3", false, false, nullptr},
        {"0", true, false, nullptr},
        {"7", true, false, nullptr},
    };
    const std::string ans = "ANS 3 OK\r\n";
    for (const Row &r : rows) {
        SCOPED_TRACE(std::string("mode ") + r.mode + (r.participant ? " with" : " without") + " participant");
        connect();
        alice_welcomed(false);
        var("i/message-warning-welcome", r.mode);
        server("USR 1 OK alice@example.com Alice\r\n");
        ASSERT_NE(tracker(), nullptr);
        tracker()->adl_initial = r.adl_initial;
        if (r.participant)
            msnp_participants_insert_unique(tracker(), "bob@example.org");
        Outcome o = server(ans);
        EXPECT_EQ(o.client, ans + (r.sender ? injected("Chats are recorded", r.sender) : ""));
        EXPECT_EQ(server(ans).client, ans) << "once per login";
    }
    connect();
    alice_welcomed(false);
    var("i/message-warning-welcome", "1");
    server("USR 1 OK alice@example.com Alice\r\n");
    EXPECT_EQ(server("ANS 3 BUSY\r\n").client, "ANS 3 BUSY\r\n") << "only an answered session";
    var("s/message-warning-welcome-sender", "it@corp.example.com");
    EXPECT_EQ(server(ans).client, ans + injected("Chats are recorded", "it@corp.example.com"));
}

} // namespace
