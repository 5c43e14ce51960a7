/* Switchboard sessions through the tasklet: calls and invitations asked of
 * the policy, the invitation's expectation, the participants kept for the
 * message filter, and the counters of each family. */
#include <fstream>
#include <iterator>

#include "msnp/session_fixture.h"
#include "tq3_msnp_conntrack.h"
#include "tq3_msnp_handlers.h"
#include "tq3_msnp_log.h"

namespace {

const char kSessionPolicy[] =
    "<person type=\"2\" name=\"bob\"><handle>bob@example\\.org</handle></person>"
    "<person type=\"2\" name=\"carol\"><handle>carol@example\\.org</handle></person>"
    "<person type=\"2\" name=\"dan\"><handle>dan@example\\.org</handle></person>"
    "<person type=\"3\" name=\"alice\"><handle>alice@example.com</handle></person>";
const char kSessionTree[] = "<user>alice</user>"
                     "<relation object=\"bob\" action=\"block\" direction=\"both\"/>"
                     "<relation object=\"carol\" action=\"pass\" direction=\"both\"/>"
                     "<relation object=\"dan\" action=\"alert\" direction=\"both\"/>";

class Sessions : public SessionTest {
public:
    void SetUp() override
    {
        SessionTest::SetUp();
        ASSERT_TRUE(load(kSessionPolicy, kSessionTree)) << ::testing::PrintToString(errors());
        sign_in("USR 1 OK alice@example.com Alice\r\n");
    }

    /* A switchboard's sign-in, or (with the flags after the name) the
     * notification server's. */
    void sign_in(const std::string &usr)
    {
        connect();
        server(usr);
        ASSERT_NE(tracker(), nullptr);
    }
    void on_notification_server() { sign_in("USR 1 OK alice@example.com Alice 1 0\r\n"); }

    std::vector<std::string> participants()
    {
        std::vector<std::string> out;
        for (tqlist *l = tracker()->ss_users; l; l = l->next)
            out.emplace_back(static_cast<const char *>(l->data));
        return out;
    }
    bool passes_out(const std::string &c) { return client(c).forwarded == c; }
    bool passes_in(const std::string &c) { return server(c).forwarded == c; }
};

TEST_F(Sessions, CallsAndInvitationsAreAskedOfThePolicy)
{
    EXPECT_FALSE(passes_out("CAL 2 zed@example.org\r\n")) << "no relation: dropped";
    EXPECT_FALSE(passes_out("CAL 3 bob@example.org\r\n"));
    EXPECT_FALSE(passes_out("CAL 4\r\n"));
    EXPECT_TRUE(passes_out("CAL 5 carol@example.org\r\n"));
    EXPECT_STREQ(tracker()->cont_handle, "carol@example.org");
    EXPECT_TRUE(passes_out("CAL 6 dan@example.org\r\n")) << "alert passes";
    EXPECT_STREQ(tracker()->cont_handle, "carol@example.org") << "only a plain pass names the contact";
    const std::pair<const char *, long> counts[] = {
        {"stats-call-sent", 5}, {"stats-call-sent-none", 2}, {"stats-call-sent-block", 1},
        {"stats-call-sent-pass", 1}, {"stats-call-sent-alert", 1},
    };
    for (const auto &[name, value] : counts)
        EXPECT_EQ(counter(name), value) << name;

    /* Every invitation prepares the host for the client's switchboard
     * connection, allowed, alerted or refused: one the client opens there
     * anyway is policed. */
    on_notification_server();
    EXPECT_TRUE(passes_in("RNG 11752013 207.46.108.38:1863 CKI 849102291.520491113 carol@example.org Carol\r\n"));
    ASSERT_EQ(tqlist_length(conn->explist), 1u);
    auto *e = static_cast<tq3_expectation *>(conn->explist->data);
    EXPECT_EQ(e->saddr, inet_addr("10.1.2.3"));
    EXPECT_EQ(e->daddr, inet_addr("207.46.108.38"));
    EXPECT_EQ(e->dmask, 0xffffffffu);
    EXPECT_EQ(ntohs(e->dport), 1863);
    auto *s = static_cast<msnp_session *>(e->data);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s->user, "carol@example.org");
    EXPECT_STREQ(s->sess, "11752013");
    EXPECT_STREQ(s->auth, "849102291.520491113");
    EXPECT_TRUE(passes_in("RNG 1 bogus:x CKI 1.2 carol@example.org Carol\r\n"));
    e = static_cast<tq3_expectation *>(conn->explist->data);
    EXPECT_EQ(e->dmask | e->dpmask, 0u) << "what does not parse is left open";
    EXPECT_TRUE(passes_in("RNG 2 10.0.0.1:1863 CKI 1.2 dan@example.org Dan\r\n"));
    EXPECT_FALSE(passes_in("RNG 3 10.0.0.1:1863 CKI 1.2 bob@example.org Bob\r\n"));
    EXPECT_EQ(tqlist_length(conn->explist), 4u);
    EXPECT_EQ(counter("stats-call-received-alert"), 1);
    EXPECT_EQ(counter("stats-call-received-block"), 1);
}

/* The server names the switchboard (or the next notification server) the
 * client will connect to: that connection is expected, at that address
 * and port exactly, carrying no invitation; a line without a readable
 * address expects nothing. */
TEST_F(Sessions, AnnouncedServersAreExpected)
{
    struct Row {
        const char *line;
        const char *daddr; /* nullptr: nothing expected */
        uint16_t dport;
    } rows[] = {
        {"XFR 5 SB 10.0.0.9:1864 CKI 17262740.1050826919.32308\r\n", "10.0.0.9", 1864},
        {"XFR 2 NS 10.0.0.8:1863 0 10.0.0.1:1863\r\n", "10.0.0.8", 1863},
        {"XFR 5 SB switchboard.example:1864 CKI 1.2\r\n", nullptr, 0},
        {"XFR 5 SB 10.0.0.9 CKI 1.2\r\n", nullptr, 0},
        {"XFR 5 XX 10.0.0.9:1864\r\n", nullptr, 0},
        {"XFR 5\r\n", nullptr, 0},
    };
    on_notification_server();
    for (const Row &r : rows) {
        SCOPED_TRACE(r.line);
        tqlist_destroy(&conn->explist, [](void *e) { tq3_expectation_destroy(static_cast<tq3_expectation *>(e)); });
        EXPECT_TRUE(passes_in(r.line));
        if (!r.daddr) {
            EXPECT_EQ(conn->explist, nullptr);
            continue;
        }
        ASSERT_EQ(tqlist_length(conn->explist), 1u);
        auto *e = static_cast<tq3_expectation *>(conn->explist->data);
        EXPECT_EQ(e->saddr, inet_addr("10.1.2.3"));
        EXPECT_EQ(e->daddr, inet_addr(r.daddr));
        EXPECT_EQ(ntohs(e->dport), r.dport);
        EXPECT_EQ(e->dpmask, 0xffff);
        EXPECT_EQ(e->data, nullptr);
    }
}

TEST_F(Sessions, ParticipantsFollowIroJoiAndBye)
{
    EXPECT_TRUE(passes_in("IRO 1 1 2 carol@example.org Carol\r\n"));
    EXPECT_TRUE(passes_in("IRO 1 2 2 carol@example.org Carol\r\n"));
    EXPECT_TRUE(passes_in("IRO 1 1 1 zed@example.org Zed\r\n")) << "no question asked";
    EXPECT_TRUE(passes_in("JOI 1:dan@example.org;{9f4ff5d9} Dan\r\n"));
    EXPECT_FALSE(passes_in("JOI bob@example.org Bob\r\n"));
    EXPECT_EQ(participants(), (std::vector<std::string>{"bob@example.org", "dan@example.org", "zed@example.org",
                                                        "carol@example.org"}));
    /* The refused newcomer decides a message that names nobody. */
    EXPECT_FALSE(passes_out(msg("MSG 2 N", "Content-Type: text/plain\r\n\r\nhi")));
    EXPECT_FALSE(passes_in("BYE bob@example.org\r\n")) << "dropped, yet gone from the session";
    EXPECT_FALSE(passes_in("BYE ghost@example.org\r\n")) << "no relation: dropped, nothing else changes";
    EXPECT_EQ(participants(), (std::vector<std::string>{"dan@example.org", "zed@example.org", "carol@example.org"}));
    /* Zed, whom no relation decides, keeps it from all; by the first
     * participant decided (dan), it goes. */
    EXPECT_FALSE(passes_out(msg("MSG 3 N", "Content-Type: text/plain\r\n\r\nhi")));
    var("s/group-verdict", "first");
    EXPECT_TRUE(passes_out(msg("MSG 3 N", "Content-Type: text/plain\r\n\r\nhi")));

    char *path = msnp_chat_log_path(tracker());
    std::ifstream in(path);
    free(path);
    std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(log.find("user='bob@example.org' type='join' verdict='block'"), std::string::npos) << log;
    EXPECT_NE(log.find("user='bob@example.org' type='leave' verdict='block'"), std::string::npos) << log;
    EXPECT_EQ(counter("stats-chat-participant-pass"), 3);
    EXPECT_EQ(counter("stats-chat-join-block"), 1);
    EXPECT_EQ(counter("stats-chat-leave"), 2);
}

/* A newcomer to a conversation under a warning gets the warning, when the
 * administrator asks for it. */
TEST_F(Sessions, JoinWarningOnlyUnderAWarningWindow)
{
    var("s/message-warning-text", "Recorded");
    var("i/message-warning-join", "1");
    EXPECT_EQ(server("JOI carol@example.org Carol\r\n").server, "") << "no window open";
    tracker()->clean_to_warn = static_cast<int>(g_test_now);
    EXPECT_EQ(server("JOI carol@example.org Carol\r\n").server, injected("Recorded"));
    EXPECT_EQ(tracker()->last_warn, g_test_now);
    EXPECT_EQ(server("JOI dan@example.org Dan\r\n").server, "") << "alert is no pass";
    var("i/message-warning-join", "0");
    EXPECT_EQ(server("JOI carol@example.org Carol\r\n").server, "");
}

} // namespace
