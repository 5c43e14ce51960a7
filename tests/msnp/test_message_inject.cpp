/* Injected messages, byte for byte, towards either side and held while the
 * connection asks for it; and the kind checks of relations on messages. */
#include <sys/socket.h>
#include <unistd.h>

#include "msnp/decision_fixture.h"
#include "tq3_msnp_module.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_objects_generic.h"
#include "tq3_msnp_relation.h"

namespace {

class Injection : public DecisionTest {
protected:
    int client[2] = {-1, -1}, server[2] = {-1, -1};

    void SetUp() override
    {
        DecisionTest::SetUp();
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, client), 0);
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, server), 0);
        conn.clid = client[0];
        conn.srvd = server[0];
        free(ents->id_secure);
        ents->id_secure = strdup("gw-4711");
    }
    void TearDown() override
    {
        for (int fd : {client[0], client[1], server[0], server[1]})
            close(fd);
        DecisionTest::TearDown();
    }
    /* What arrived at the far end of one side so far. */
    static std::string arrived(int fd)
    {
        std::string out;
        char buf[1024];
        for (ssize_t n; (n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
            out.append(buf, static_cast<size_t>(n));
        return out;
    }
};

TEST_F(Injection, BytesTowardsEitherSide)
{
    const std::string payload = "MIME-Version: 1.0\r\n"
                                "Content-Type: text/plain; charset=UTF-8\r\n"
                                "X-Trevalquin: gw-4711\r\n"
                                "X-MMS-IM-Format: FN=MS%20Sans%20Serif; EF=; CO=0; PF=0\r\n"
                                "\r\n"
                                "Monitored";
    var("s/message-warning-text", "\"Monitored\"");
    EXPECT_EQ(message_by_var(&conn, nullptr, "message-warning-text"), 1);
    EXPECT_EQ(arrived(server[1]), "MSG 0 U 150\r\n" + payload);
    EXPECT_EQ(payload.size(), 150u);
    EXPECT_EQ(message_by_var(&conn, "bob@x", "message-warning-text"), 1);
    EXPECT_EQ(arrived(client[1]), "MSG bob@x bob@x 150\r\n" + payload);
    EXPECT_EQ(arrived(server[1]), "");

    var("s/message-warning-charset", "ISO-8859-1");
    var("s/message-warning-font", "Arial");
    var("s/message-warning-font-modifier", "B");
    var("s/message-warning-font-fgcolor", "ff");
    size_t size = 0;
    char *m = message_create("x", nullptr, &size);
    EXPECT_EQ(std::string(m, size), "MSG 0 U 137\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=ISO-8859-1\r\n"
                                    "X-Trevalquin: gw-4711\r\nX-MMS-IM-Format: FN=Arial; EF=B; CO=ff; PF=0\r\n\r\nx");
    free(m);

    /* Held while the connection asks: the last one wins. */
    conn.clid_buf = 1;
    message_send(&conn, "first", "bob@x");
    message_send(&conn, "second", "bob@x");
    std::string held(reinterpret_cast<char *>(conn.clid_b), conn.clid_bsiz);
    EXPECT_NE(held.find("\r\n\r\nsecond"), std::string::npos) << held;
    EXPECT_EQ(held.find("first"), std::string::npos);
    EXPECT_EQ(arrived(client[1]), "");

    var("i/message-warning-disabled", "1");
    EXPECT_EQ(message_by_var(&conn, nullptr, "message-warning-text"), 1);
    EXPECT_EQ(arrived(server[1]), "");
    EXPECT_EQ(message_by_var(&conn, nullptr, "no-such-text"), 0);
}

/* Kind checks: a relation's IM type sets must cover the message's kind;
 * encrypted conversations can be refused outright. */
TEST_F(DecisionTest, MessageKindsAgainstImTypeSets)
{
    ASSERT_TRUE(load("<imbitmap identifier='Text'><entry type='data'><acl>message_plaintext</acl></entry></imbitmap>"
                     "<imbitmap identifier='Files'><entry type='data'><acl>message_invite</acl></entry>"
                     "<entry type='data'><acl>invite_file_transfer</acl></entry></imbitmap>"
                     "<imbitmap identifier='Nudges'><entry type='data'><acl>message_datacast</acl></entry>"
                     "<entry type='data'><acl>datacast_nudge</acl></entry></imbitmap>"
                     "<person type='2' name='P'><handle>.*</handle></person>"
                     "<person type='1' name='alice'><handle>a@x</handle><relation-list>"
                     "<relation object='P'><access-list><object type='imbitmap'>Text</object>"
                     "<object type='imbitmap'>Files</object><object type='imbitmap'>Nudges</object></access-list>"
                     "</relation></relation-list></person>"));
    msnp_relates *rel = static_cast<msnp_relates *>(msnp_search_person("alice", 0)->contactl->data);
    const std::string ft = "MIME-Version: 1.0\r\nContent-Type: text/x-msmsgsinvite; charset=UTF-8\r\n\r\n"
                           "Application-GUID: {5D3E02AB-6190-11D3-BBBB-00C04F795683}\r\nInvitation-Command: INVITE\r\n";
    const std::string voice = "MIME-Version: 1.0\r\nContent-Type: text/x-msmsgsinvite; charset=UTF-8\r\n\r\n"
                              "Application-GUID: {02D3C01F-BF30-4825-A83A-DE7AF41648AA}\r\n";
    const struct {
        std::string payload;
        match_t expected;
    } cases[] = {
        {text_message("hi"), TQ_MATCH_PASS},
        {text_message("?OTR:AAMG"), TQ_MATCH_PASS},
        {"MIME-Version: 1.0\r\nContent-Type: text/x-mms-emoticon\r\n\r\n:)", TQ_MATCH_NONE},
        {ft, TQ_MATCH_PASS},
        {voice, TQ_MATCH_NONE},
        {"MIME-Version: 1.0\r\nContent-Type: text/x-msnmsgr-datacast\r\n\r\nID: 1\r\n\r\n", TQ_MATCH_PASS},
        {"MIME-Version: 1.0\r\nContent-Type: text/x-msnmsgr-datacast\r\n\r\nID: 2\r\n\r\n", TQ_MATCH_NONE},
    };
    for (const auto &c : cases) {
        message(c.payload);
        EXPECT_EQ(message_match(rel, &task), c.expected) << c.payload;
    }
    var("i/crypto-block-otr", "1");
    message(text_message("?OTR:AAMG"));
    EXPECT_EQ(message_match(rel, &task), TQ_MATCH_BLOCK);
    var("i/crypto-block-simp", "1");
    message("MIME-Version: 1.0\r\nContent-Type: text/plain\r\nVia: SimpLite\r\n\r\nx");
    EXPECT_EQ(message_match(rel, &task), TQ_MATCH_BLOCK);
    forget_task();
    EXPECT_EQ(message_match(rel, &task), TQ_MATCH_PASS) << "nothing parsed";
}

} // namespace

namespace {

/* One expression object against one message: every kind, the modifiers
 * and the scopes, and which scopes were counted as applied. */
TEST_F(DecisionTest, ExpressionKindsModifiersAndScopes)
{
    const std::string ft = "MIME-Version: 1.0\r\nContent-Type: text/x-msmsgsinvite; charset=UTF-8\r\n\r\n"
                           "Application-GUID: {5D3E02AB-6190-11D3-BBBB-00C04F795683}\r\n"
                           "Application-File: setup.exe\r\n";
    const std::string emoticon = "MIME-Version: 1.0\r\nContent-Type: text/x-mms-emoticon\r\n\r\nhi";
    const struct {
        const char *node; /* inside <expr type=...> */
        std::string payload;
        match_t expected;
        msnp_expr_type_refs refs; /* body, header, raw, fname */
    } cases[] = {
        {"type='literal'>hi<body/>", text_message("hi"), TQ_MATCH_PASS, {1, 0, 0, 0}},
        {"type='literal'>hi<body/>", text_message("hi there"), TQ_MATCH_NONE, {1, 0, 0, 0}},
        {"type='sre'>h.*e<body/>", text_message("oh there"), TQ_MATCH_PASS, {1, 0, 0, 0}},
        {"type='ere'>(dog|cat)s?$<body/>", text_message("two cats"), TQ_MATCH_PASS, {1, 0, 0, 0}},
        {"type='glob'>*secret*<body/>", text_message("top secret plan"), TQ_MATCH_PASS, {1, 0, 0, 0}},
        {"type='glob'>*secret*<ignorecase/><body/>", text_message("TOP SECRET"), TQ_MATCH_PASS, {1, 0, 0, 0}},
        {"type='glob'>*secret*<body/>", text_message("TOP SECRET"), TQ_MATCH_NONE, {1, 0, 0, 0}},
        {"type='literal'>hi<inverse/><body/>", text_message("hello"), TQ_MATCH_PASS, {1, 0, 0, 0}},
        {"type='literal'>hi<inverse/><body/>", text_message("hi"), TQ_MATCH_NONE, {1, 0, 0, 0}},
        {"type='glob'>*UTF-8*hi<header/><body/>", text_message("hi"), TQ_MATCH_PASS, {1, 1, 0, 0}},
        {"type='literal'>hi<body/>", emoticon, TQ_MATCH_NONE, {0, 0, 0, 0}},
        {"type='literal'>hi<raw/><body/>", emoticon, TQ_MATCH_PASS, {1, 0, 1, 0}},
        {"type='glob'>*.exe<filename/><body/>", text_message("x.exe"), TQ_MATCH_NONE, {1, 0, 0, 0}},
        {"type='glob'>*.exe<filename/>", ft, TQ_MATCH_PASS, {0, 0, 0, 1}},
        {"type='glob'>*.zip<filename/>", ft, TQ_MATCH_NONE, {0, 0, 0, 1}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.node);
        msnp_reset(self, nullptr);
        ASSERT_TRUE(load(std::string("<expr identifier='E'><entry type='data'><expr ") + c.node +
                         "</expr></entry></expr>"));
        message(c.payload);
        msnp_expr_type_refs refs{};
        msnp_object_generic *e = msnp_search_expr("E", 0);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(message_match_expressions(e, nullptr, &task, task.message, &refs), c.expected);
        EXPECT_EQ(refs.body, c.refs.body);
        EXPECT_EQ(refs.header, c.refs.header);
        EXPECT_EQ(refs.raw, c.refs.raw);
        EXPECT_EQ(refs.fname, c.refs.fname);
    }
    /* An object that includes itself is evaluated once. */
    msnp_reset(self, nullptr);
    ASSERT_TRUE(load("<expr identifier='E'><entry type='data'><expr type='literal'>x<body/></expr></entry>"
                     "<entry type='indirect'>E</entry></expr>"));
    message(text_message("hi"));
    tqlist list{msnp_search_expr("E", 0), nullptr, nullptr};
    msnp_expr_type_refs refs{};
    EXPECT_EQ(foreach_expr_match(&list, nullptr, &refs, &task), TQ_MATCH_NONE);
    EXPECT_EQ(refs.body, 1u);
}

} // namespace
