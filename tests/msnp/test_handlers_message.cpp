/* The message filters through the tasklet: whom the policy is asked about,
 * what a refused message leaves behind, conversation warnings and block
 * notices on the right side, the incoming side's own rules (injected
 * messages, mail notifications, the automatic reply), counters by kind and
 * verdict, and hostile commands. */
#include <atomic>
#include <fstream>
#include <sstream>
#include <functional>
#include <map>
#include <thread>

#include "msnp/session_fixture.h"
#include "tq3_msnp_config.h"
#include "tq3_msnp_handlers.h"
#include "tq3_msnp_kinds.h"
#include "tq3_msnp_log.h"
#include "tq3_msnp_module.h"
#include "tq3_msnp_objects.h"

namespace {

const char kMessagePolicy[] =
    "<person type=\"2\" name=\"bob\"><handle>bob@example\\.org</handle></person>"
    "<person type=\"2\" name=\"carol\"><handle>carol@example\\.org</handle></person>"
    "<person type=\"2\" name=\"unverified\"><handle>.*Not%20Verified.*</handle></person>"
    "<person type=\"3\" name=\"alice\"><handle>alice@example.com</handle></person>"
    "<person type=\"3\" name=\"ann\"><handle>ann@example.com</handle>"
    "<attribute type=\"no_mailnot\">1</attribute><attribute type=\"no_inimailnot\">1</attribute>"
    "<attribute type=\"auto_reply\">Back on Monday</attribute></person>";
const char kMessageTree[] = "<user>alice</user><user>ann</user>"
                     "<relation object=\"bob\" action=\"block\" direction=\"both\"/>"
                     "<relation object=\"carol\" action=\"pass\" direction=\"both\"/>"
                     "<relation object=\"unverified\" action=\"pass\" direction=\"both\"/>";

std::string text(const std::string &body)
{
    return "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
           "X-MMS-IM-Format: FN=Arial; EF=; CO=0; CS=0; PF=22\r\n\r\n" +
           body;
}

const std::string kNudge = "MIME-Version: 1.0\r\nContent-Type: text/x-msnmsgr-datacast\r\n\r\nID: 1\r\n\r\n";

/* A P2P packet opening session `session` for the application `guid`. */
std::string p2p_invite(const std::string &to, const std::string &guid, const std::string &session)
{
    std::string slp = "INVITE MSNMSGR:" + to + " MSNSLP/1.0\r\nTo: <msnmsgr:" + to +
                      ">\r\nContent-Type: application/x-msnmsgr-sessionreqbody\r\n\r\n"
                      "EUF-GUID: " + guid + "\r\nSessionID: " + session + "\r\nAppID: 2\r\nContext: AAAA\r\n\r\n";
    return "MIME-Version: 1.0\r\nContent-Type: application/x-msnmsgrp2p\r\nP2P-Dest: " + to + "\r\n\r\n" +
           std::string(48, '\0') + slp + std::string(4, '\0');
}
const std::string kFileTransfer = "{5D3E02AB-6190-11D3-BBBB-00C04F795683}";
const std::string kPicture = "{A4268EEC-FEC5-49E5-95C3-F126696BDBF6}";

class Messages : public SessionTest {
public:
    void SetUp() override
    {
        SessionTest::SetUp();
        ASSERT_TRUE(load(kMessagePolicy, kMessageTree)) << ::testing::PrintToString(errors());
        on_switchboard("alice@example.com", {});
    }

    /* A switchboard session of `user` whose participants are, in list
     * order, `participants`. */
    void on_switchboard(const char *user, const std::vector<const char *> &participants)
    {
        connect();
        std::string usr = std::string("USR 1 OK ") + user + " Me\r\n";
        ASSERT_EQ(server(usr).client, usr);
        ASSERT_NE(tracker(), nullptr);
        for (auto it = participants.rbegin(); it != participants.rend(); ++it)
            msnp_participants_insert_unique(tracker(), *it);
    }

    /* True when the command went on unchanged. */
    bool out(const std::string &command) { return client(command).forwarded == command; }
    bool in(const std::string &command) { return server(command).forwarded == command; }
};

TEST_F(Messages, OutgoingAsksAboutTheDestinationElseEveryParticipant)
{
    const std::string hello = msg("MSG 2 N", text("hello"));
    struct Row {
        const char *name;
        std::vector<const char *> participants;
        const char *insecure;
        std::string command;
        bool passes;
    };
    const Row rows[] = {
        /* Every participant reads a message that names nobody: one that
         * may not keeps it from all, in any order. */
        {"blocked participant first", {"bob@example.org", "carol@example.org"}, "0", hello, false},
        {"blocked participant last", {"carol@example.org", "bob@example.org"}, "0", hello, false},
        {"an undecided participant withholds it too", {"zed@example.org", "carol@example.org"}, "0", hello, false},
        {"nobody decides", {"zed@example.org"}, "0", hello, false},
        {"insecure chat asks nobody", {"bob@example.org"}, "1", hello, true},
        {"nobody in the session and no call", {}, "0", hello, false},
        {"P2P destination decides", {"carol@example.org"}, "0", msg("MSG 3 D", p2p_invite("bob@example.org", kFileTransfer, "1")), false},
        {"UUM names its destination", {"bob@example.org"}, "0", msg("UUM 4 carol@example.org 32 1", text("sms")), true},
        {"an unknown kind is read as text", {"bob@example.org"}, "0",
         msg("MSG 5 U", "MIME-Version: 1.0\r\nContent-Type: text/x-unheard-of\r\n\r\nx"), false},
        {"no empty line: all of it is text", {"bob@example.org"}, "0", msg("MSG 6 N", "Content-Type: text/plain"), false},
        {"an unknown kind to a colleague", {"carol@example.org"}, "0",
         msg("MSG 5 U", "MIME-Version: 1.0\r\nContent-Type: text/x-unheard-of\r\n\r\nx"), true},
        {"an unknown P2P application to a blocked contact", {"carol@example.org"}, "0",
         msg("MSG 7 D", p2p_invite("bob@example.org", "{00000000-0000-0000-0000-000000000000}", "2")), false},
        {"an unknown P2P application to a colleague", {"bob@example.org"}, "0",
         msg("MSG 7 D", p2p_invite("carol@example.org", "{00000000-0000-0000-0000-000000000000}", "2")), true},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        on_switchboard("alice@example.com", r.participants);
        var("i/insecure-chat", r.insecure);
        EXPECT_EQ(out(r.command), r.passes);
    }
}

/* A conversation with a colleague and a blocked contact: the message is
 * for both, so the blocked one keeps it from both, and the chat log says
 * who decided what. The first-decisive rule stays on request. */
TEST_F(Messages, AGroupMessageIsWithheldWhenAnyParticipantIsBlocked)
{
    on_switchboard("alice@example.com", {"carol@example.org", "bob@example.org"});
    const std::string hello = msg("MSG 2 N", text("hello both"));
    EXPECT_FALSE(out(hello));
    msnp_log_flush(conn);
    char *path = msnp_chat_log_path(tracker());
    ASSERT_NE(path, nullptr);
    const std::string log = slurp(path);
    free(path);
    EXPECT_NE(log.find("<participants verdict='block'"), std::string::npos) << log;
    EXPECT_NE(log.find("<participant user='carol@example.org' verdict='pass'/>"
                       "<participant user='bob@example.org' verdict='block'/>"),
              std::string::npos)
        << log;
    var("s/group-verdict", "first");
    EXPECT_TRUE(out(hello));
    /* Nobody joined yet: the message is for the contact called. */
    var("s/group-verdict", "restrictive");
    on_switchboard("alice@example.com", {});
    ASSERT_TRUE(client("CAL 2 carol@example.org\r\n").forwarded.size() > 0);
    EXPECT_TRUE(out(hello));
}

/* Each verdict a message can get, and the result counters it moves: one
 * of the four plain verdicts moves its own, a warned block (the quota
 * warning) or a "continue" default moves none. */
TEST_F(Messages, ResultCountersMoveOnlyForPlainVerdicts)
{
    struct Row {
        const char *name;
        const char *contact;
        std::function<void(Messages &)> setup;
        const char *moved; /* the result that moves, or null */
    };
    const Row rows[] = {
        {"pass", "carol@example.org", nullptr, "pass"},
        {"block", "bob@example.org", nullptr, "block"},
        {"none by default", "zed@example.org", nullptr, "none"},
        {"alert by default", "zed@example.org", [](Messages &t) { t.var("s/default-action", "alert"); }, "alert"},
        {"continue by default", "zed@example.org", [](Messages &t) { t.var("s/default-action", "continue"); },
         nullptr},
        {"block with the quota warning", "carol@example.org",
         [](Messages &t) {
             t.var("i/bounties-warning", "1");
             t.var("s/bounties-text", "\"No time left\"");
             t.tracker()->person->user->bounty_life = 60;
             t.tracker()->person->user->bounty_current = 0;
         },
         nullptr},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        TearDown();
        SetUp();
        on_switchboard("alice@example.com", {r.contact});
        if (r.setup)
            r.setup(*this);
        std::map<std::string, long> before;
        for (const char *v : {"none", "pass", "block", "alert"})
            for (const std::string family : {"stats-message-out-", "stats-message-out-textplain-", "stats-match-"})
                before[family + v] = counter((family + v).c_str());
        out(msg("MSG 2 N", text("hello")));
        for (const auto &[name, was] : before)
            EXPECT_EQ(counter(name.c_str()) - was,
                      r.moved && name.substr(name.rfind('-') + 1) == r.moved ? 1 : 0)
                << name;
    }
}

/* A reload (reset, then the new policy) under a conversation: the
 * connection of a user that the new policy has goes on and meets the new
 * rules; one whose user is gone ends at its next command. */
TEST_F(Messages, AReloadKeepsTheConnectionsOfTheUsersItKeeps)
{
    on_switchboard("alice@example.com", {"carol@example.org"});
    const std::string hello = msg("MSG 2 N", text("hello"));
    ASSERT_TRUE(out(hello));

    msnp_reset(self, idl);
    EXPECT_EQ(tracker()->person, nullptr);
    EXPECT_NE(conn->poison_match, TQ_MATCH_BLOCK) << "the reset alone ends nothing";
    /* The new policy blocks carol. */
    std::string tree = kMessageTree;
    tree.replace(tree.find("object=\"carol\" action=\"pass\""), 34, "object=\"carol\" action=\"block\"");
    ASSERT_TRUE(load(kMessagePolicy, tree)) << ::testing::PrintToString(errors());
    EXPECT_FALSE(out(hello));
    EXPECT_NE(conn->poison_match, TQ_MATCH_BLOCK);
    EXPECT_EQ(tracker()->person, msnp_search_user("alice@example.com"));
    EXPECT_FALSE(tracker()->orphaned);

    /* A policy that binds alice to what her connection is not (a proxy
     * account, a network) or gives her no time: it ends the connection as
     * it would refuse her sign-in. */
    for (const char *binding : {"<attribute type=\"username\">aproxy</attribute>",
                                "<attribute type=\"network_source\">192.168.0.0/255.255.0.0</attribute>",
                                "<attribute type=\"bounties_life\">3600</attribute>"}) {
        SCOPED_TRACE(binding);
        TearDown();
        SetUp();
        on_switchboard("alice@example.com", {"carol@example.org"});
        ASSERT_TRUE(out(hello));
        msnp_reset(self, idl);
        std::string bound = kMessagePolicy;
        const std::string at = "<handle>alice@example.com</handle>";
        bound.insert(bound.find(at) + at.size(), binding);
        ASSERT_TRUE(load(bound, kMessageTree)) << ::testing::PrintToString(errors());
        client(hello);
        EXPECT_EQ(last, TQ_MATCH_BLOCK);
        EXPECT_EQ(conn->poison_match, TQ_MATCH_BLOCK);
    }

    /* A policy without alice. */
    TearDown();
    SetUp();
    on_switchboard("alice@example.com", {"carol@example.org"});
    msnp_reset(self, idl);
    ASSERT_TRUE(load("<person type=\"3\" name=\"ann\"><handle>ann@example.com</handle></person>",
                     "<user>ann</user>"));
    client(hello);
    EXPECT_EQ(last, TQ_MATCH_BLOCK);
    EXPECT_EQ(conn->poison_match, TQ_MATCH_BLOCK);
}

/* An administrator destroys and recreates the signed-in user's person
 * while its messages are decided: every chunk meets the person whole or
 * not at all (the tracker loses it), never half freed. */
TEST_F(Messages, ConcurrentCollectOfTheUserWhileItsMessagesAreDecided)
{
    on_switchboard("alice@example.com", {"carol@example.org"});
    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    std::thread admin([&] {
        idl_parser *p = idl_parser_new();
        auto command = [&](const char *verb, std::string rest) {
            char *args[] = {const_cast<char *>(verb), rest.data(), nullptr};
            p->args = args;
            msnp_config(self, p);
            p->args = nullptr;
            idl_parser_clear(p);
        };
        while (!stop) {
            command("collect", "alice");
            command("new", "person alice alice@example.com");
            command("add", "alice /");
            ++rounds;
        }
        idl_parser_destroy(p);
    });
    const std::string hi = msg("MSG carol@example.org Carol", text("hi"));
    for (int i = 0; i < 3000 && !HasFatalFailure(); ++i) {
        server(hi);
        client(msg("MSG 5 N", text("hello")));
        if (i % 50 == 49) { /* a new session; refused while alice is gone */
            connect();
            server("USR 1 OK alice@example.com Me\r\n");
            if (tracker())
                msnp_participants_insert_unique(tracker(), "carol@example.org");
        }
    }
    stop = true;
    admin.join();
    EXPECT_GT(rounds.load(), 0);
}

TEST_F(Messages, UnverifiedAddressesAreRefusedWhenAsked)
{
    const char *unverified = "zoe@example.org%20(E-mail%20Address%20Not%20Verified)";
    on_switchboard("alice@example.com", {unverified});
    const std::string hello = msg("MSG 2 N", text("hello"));
    const std::string from = msg(std::string("MSG ") + unverified + " Zoe", text("hi"));
    EXPECT_TRUE(out(hello));
    EXPECT_TRUE(in(from));
    var("i/unconfirmed-send-deny", "1");
    var("i/unconfirmed-receive-deny", "1");
    EXPECT_FALSE(out(hello));
    EXPECT_FALSE(in(from));
}

/* A conversation asks the same questions at every message; a change of the
 * policy between two messages decides the next one, whichever way. */
TEST_F(Messages, APolicyChangeDecidesTheVeryNextMessage)
{
    auto modify = [&](const char *rest) {
        idl_parser_clear(idl);
        char *args[] = {const_cast<char *>("modify"), const_cast<char *>(rest), nullptr};
        idl->args = args;
        msnp_config(self, idl);
        idl->args = nullptr;
        EXPECT_TRUE(errors().empty()) << rest << ": " << ::testing::PrintToString(errors());
    };
    on_switchboard("alice@example.com", {"bob@example.org"});
    const std::string hello = msg("MSG 2 N", text("hello"));
    const std::string from = msg("MSG bob@example.org Bob", text("hi"));
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(out(hello)) << i;
        EXPECT_FALSE(in(from)) << i;
    }
    /* bob is now carol's pattern, whose relation passes, and no longer his. */
    modify("bob handle: /robert@example\\.org/");
    modify("carol handle: /bob@example\\.org/");
    EXPECT_TRUE(out(hello));
    EXPECT_TRUE(in(from));
    modify("bob handle: /bob@example\\.org/");
    EXPECT_FALSE(out(hello));
    EXPECT_FALSE(in(from));
}

/* The first text message of a conversation, in either direction, brings
 * the warning to both sides; nothing else does. */
TEST_F(Messages, FirstTextMessageWarnsBothSidesOnce)
{
    var("s/message-warning-text", "This chat is recorded");
    const std::string warning = injected("This chat is recorded");
    const std::string hello = msg("MSG 2 N", text("hello"));

    on_switchboard("alice@example.com", {"carol@example.org"});
    Outcome o = client(hello);
    EXPECT_EQ(o.server, warning + hello);
    EXPECT_EQ(o.client, injected("This chat is recorded", "carol@example.org"));
    EXPECT_EQ(tracker()->clean_to_warn, g_test_now);
    o = client(hello);
    EXPECT_EQ(o.server, hello);
    EXPECT_EQ(o.client, "");
    EXPECT_EQ(server(msg("MSG carol@example.org Carol", text("hi"))).server, "") << "shared with the other side";

    on_switchboard("alice@example.com", {"carol@example.org"});
    const std::string from_carol = msg("MSG carol@example.org Carol", text("hi"));
    o = server(from_carol);
    EXPECT_EQ(o.server, warning);
    EXPECT_EQ(o.client, injected("This chat is recorded", "carol@example.org") + from_carol);

    struct Row {
        const char *name;
        std::function<void(Messages &)> setup;
        std::string command;
    };
    const Row quiet[] = {
        {"UUM does not start the conversation", nullptr, msg("UUM 2 carol@example.org 32 1", text("sms"))},
        {"a warning from this gateway was seen", [](Messages &t) { t.tracker()->lsawarn = 1; }, hello},
        {"one from another gateway, when any counts",
         [](Messages &t) {
             t.tracker()->sawarn = 1;
             t.var("i/warning-repeat-any", "1");
         },
         hello},
        {"warnings off", [](Messages &t) { t.var("i/message-warning-self", "0"); }, hello},
    };
    for (const Row &r : quiet) {
        SCOPED_TRACE(r.name);
        var("i/warning-repeat-any", "0");
        var("i/message-warning-self", "1");
        on_switchboard("alice@example.com", {"carol@example.org"});
        if (r.setup)
            r.setup(*this);
        o = client(r.command);
        EXPECT_EQ(o.server, r.command);
        EXPECT_EQ(o.client, "");
    }
    var("i/message-warning-self", "1");
    on_switchboard("alice@example.com", {"carol@example.org"});
    tracker()->lsawarn = 1;
    var("i/warning-repeat", "1");
    EXPECT_EQ(client(hello).server, warning + hello) << "warning-repeat warns again";
}

TEST_F(Messages, BlockNoticesGoToTheSideThatWroteTheMessage)
{
    var("i/warning-block-enable", "1");
    var("s/warning-block-text", "Not allowed");
    const std::string notice_from_bob = injected("Not allowed", "bob@example.org");
    on_switchboard("alice@example.com", {"bob@example.org"});

    Outcome o = client(msg("MSG 2 N", kNudge));
    EXPECT_EQ(o.forwarded, "");
    EXPECT_EQ(o.client, notice_from_bob);
    EXPECT_EQ(o.server, "");
    EXPECT_EQ(client(msg("MSG 3 D", p2p_invite("bob@example.org", kPicture, "7"))).client, "")
        << "display pictures are refused without a word";
    const std::string transfer = msg("MSG 4 D", p2p_invite("bob@example.org", kFileTransfer, "8"));
    EXPECT_EQ(client(transfer).client, notice_from_bob);
    EXPECT_EQ(client(transfer).client, "") << "later packets of the session";
    var("i/no-warning-block-retry-out", "0");
    EXPECT_EQ(client(transfer).client, notice_from_bob);

    /* Nobody named: the notice carries the session's contact, or goes
     * towards the server without one. */
    on_switchboard("alice@example.com", {"zed@example.org"});
    EXPECT_EQ(client(msg("MSG 5 N", text("x"))).server, injected("Not allowed"));
    free(tracker()->cont_handle);
    tracker()->cont_handle = strdup("carol@example.org");
    EXPECT_EQ(client(msg("MSG 5 N", text("x"))).client, injected("Not allowed", "carol@example.org"));

    on_switchboard("alice@example.com", {"bob@example.org"});
    o = server(msg("MSG bob@example.org Bob", kNudge));
    EXPECT_EQ(o.client, "");
    EXPECT_EQ(o.server, injected("Not allowed")) << "incoming: the writers are told";

    var("i/warning-block-enable", "0");
    on_switchboard("alice@example.com", {"bob@example.org"});
    o = client(msg("MSG 6 N", text("x")));
    EXPECT_EQ(o.client + o.server, "");
}

TEST_F(Messages, IncomingInjectedMessagesMailNotificationsAndTheAutomaticReply)
{
    ASSERT_NE(ents->id_secure, nullptr);
    auto tagged = [](const std::string &id) {
        return msg("MSG carol@example.org Carol", "MIME-Version: 1.0\r\nContent-Type: text/plain\r\nX-Trevalquin: " +
                                                      id + "\r\n\r\nRecorded");
    };
    EXPECT_TRUE(in(tagged(ents->id_secure)));
    EXPECT_EQ(tracker()->sawarn, 1);
    EXPECT_EQ(tracker()->lsawarn, 1);
    on_switchboard("alice@example.com", {});
    EXPECT_TRUE(in(tagged("another-gateway")));
    EXPECT_EQ(tracker()->sawarn, 1);
    EXPECT_EQ(tracker()->lsawarn, 0);
    long in_total = counter("stats-message-in"), passed = counter("stats-message-in-pass");
    var("i/warning-from-local-trevalquin", "0");
    EXPECT_FALSE(in(tagged(ents->id_secure)));
    EXPECT_TRUE(in(tagged("another-gateway")));
    var("i/warning-from-trevalquin", "0");
    EXPECT_FALSE(in(tagged("another-gateway")));
    EXPECT_EQ(counter("stats-message-in"), in_total + 3);
    EXPECT_EQ(counter("stats-message-in-pass"), passed + 1) << "refused injections are not counted further";

    /* Mail notifications on the notification connection of ann, who wants
     * none; alice gets them. New-mail notices are not counted. */
    const std::string initial = msg("MSG Hotmail Hotmail", "MIME-Version: 1.0\r\nContent-Type: "
                                                           "text/x-msmsgsinitialemailnotification; charset=UTF-8\r\n\r\n"
                                                           "Inbox-Unread: 1\r\n\r\n");
    const std::string mail = msg("MSG Hotmail Hotmail", "MIME-Version: 1.0\r\nContent-Type: "
                                                        "text/x-msmsgsemailnotification; charset=UTF-8\r\n\r\n"
                                                        "From: x\r\n\r\n");
    EXPECT_TRUE(in(initial));
    EXPECT_TRUE(in(mail));
    on_switchboard("ann@example.com", {});
    long blocked = counter("stats-message-in-block");
    EXPECT_FALSE(in(mail));
    EXPECT_EQ(counter("stats-message-in-block"), blocked);
    EXPECT_FALSE(in(initial));
    EXPECT_EQ(counter("stats-message-in-block"), blocked + 1);
    EXPECT_EQ(counter("stats-message-in-inimailnotification-block"), 1);

    /* ann's automatic reply answers passing text, not refused or injected
     * messages. */
    size_t size = 0;
    char *made = message_create("Back on Monday", nullptr, &size);
    const std::string expected_reply(made, size);
    free(made);
    EXPECT_EQ(server(msg("MSG carol@example.org Carol", text("there?"))).server, expected_reply);
    EXPECT_EQ(server(msg("MSG bob@example.org Bob", text("there?"))).server, "");
    EXPECT_EQ(server(tagged("another-gateway")).server, "");
}

TEST(BlockNotice, ByKindOfMessage)
{
    struct Row {
        msnp_message_code ctype;
        msnp_invite_code itype;
        msnp_datacast_code dtype;
        int notice;
    };
    const Row rows[] = {
        {MSNP_MESSAGE_TEXTPLAIN, MSNP_INVITE_UNKNOWN, MSNP_DATACAST_UNKNOWN, 1},
        {MSNP_MESSAGE_EMOTICON, MSNP_INVITE_UNKNOWN, MSNP_DATACAST_UNKNOWN, 1},
        {MSNP_MESSAGE_INK, MSNP_INVITE_UNKNOWN, MSNP_DATACAST_UNKNOWN, 1},
        {MSNP_MESSAGE_TEXTSECWAY, MSNP_INVITE_UNKNOWN, MSNP_DATACAST_UNKNOWN, 1},
        {MSNP_MESSAGE_DATACAST, MSNP_INVITE_UNKNOWN, MSNP_DATACAST_WINK, 1},
        {MSNP_MESSAGE_DATACAST, MSNP_INVITE_UNKNOWN, MSNP_DATACAST_UNKNOWN, 0},
        {MSNP_MESSAGE_INVITE, MSNP_INVITE_WEBCAM, MSNP_DATACAST_UNKNOWN, 1},
        {MSNP_MESSAGE_P2P, MSNP_INVITE_PICTURE, MSNP_DATACAST_UNKNOWN, 0},
        {MSNP_MESSAGE_P2P, MSNP_INVITE_UNKNOWN, MSNP_DATACAST_UNKNOWN, 0},
        {MSNP_MESSAGE_P2P, MSNP_INVITE_ALL, MSNP_DATACAST_UNKNOWN, 0},
        {MSNP_MESSAGE_CONTROL, MSNP_INVITE_UNKNOWN, MSNP_DATACAST_UNKNOWN, 0},
    };
    for (const Row &r : rows) {
        msnp_message m{};
        m.ctype = r.ctype;
        m.itype = r.itype;
        m.dtype = r.dtype;
        EXPECT_EQ(msnp_check_block_warn(&m), r.notice) << r.ctype << "/" << r.itype << "/" << r.dtype;
    }
    EXPECT_EQ(msnp_check_block_warn(nullptr), 0);
}

/* Hostile and broken commands on both sides of a signed-in connection and
 * of one that is not: nothing reads past a command (the sanitizer build
 * runs these), nothing is admitted by accident, and the stream goes on. */
TEST_F(Messages, MalformedCommandsNeverReadPastTheirBytes)
{
    const std::string binary("\x00\xff\x01\x80\r\n\r\n\xfe", 9);
    const std::vector<std::string> from_client = {
        "VER\r\n", "VER 1\r\n", "VER 1 \r\n", "VER  MSNP8\r\n", "CVR\r\n", "CVR 2 0x0409\r\n", "ANS\r\n",
        "ANS 1\r\n", "ANS 1 zed@example.org\r\n", "OUT\r\n", "MSG\r\n", "MSG 1 N -5\r\n",
        "MSG 1 N 99999999999999999999\r\n", msg("MSG 1 N", binary), msg("MSG 1 N", "Content-Type: text/plain\r\n\r\n"),
        msg("MSG 1 D", "Content-Type: application/x-msnmsgrp2p\r\n\r\nINVITE"),
        msg("MSG 1 D", "Content-Type: application/x-msnmsgrp2p\r\nP2P-Dest:\r\n\r\n" + std::string(60, 'A')),
        msg("MSG 1 N", "Content-Type: text/x-msnmsgr-datacast\r\n\r\nID:"), msg("UUM 1", text("x")),
    };
    const std::vector<std::string> from_server = {
        "USR\r\n", "USR 4\r\n", "USR 4 OK\r\n", "USR 4 TWN\r\n", "ANS 3\r\n", "MSG\r\n",
        msg("MSG", text("no sender")), msg("MSG Hotmail", binary), msg("UBM", text("x")),
        msg("MSG a b", "Content-Type: text/x-msmsgsinvite\r\n\r\nApplication-GUID:\r\nInvitation-Command: INVITE\r\n\r\n"),
    };
    for (bool signed_in : {true, false}) {
        if (signed_in)
            on_switchboard("alice@example.com", {"carol@example.org"});
        else
            connect();
        for (const std::string &c : from_client) {
            SCOPED_TRACE(::testing::PrintToString(c));
            std::string follow = "OUT\r\n";
            Outcome o = client(c + follow);
            /* Whatever became of the broken command, the next one is
             * relayed whole, unless the broken one announced a payload
             * that has not arrived yet (then the chunk is left as it came
             * for the host to hold) or it was no command of the connection
             * and the server would read the next one glued to its bytes
             * (then both go). Nothing is invented. */
            if (last == TQ_MATCH_MOREDATA) {
                EXPECT_EQ(o.forwarded, c + follow);
            } else if (!signed_in) {
                /* Before a sign-in all but its own commands wait: what
                 * goes out is a part of what came, never more. */
                EXPECT_EQ((c + follow).compare(0, o.forwarded.size(), o.forwarded), 0) << o.forwarded;
            } else if (!o.forwarded.empty()) {
                ASSERT_GE(o.forwarded.size(), follow.size());
                EXPECT_EQ(o.forwarded.substr(o.forwarded.size() - follow.size()), follow);
                EXPECT_NE((c + follow).find(o.forwarded.substr(0, o.forwarded.size() - follow.size())), std::string::npos);
            }
        }
        for (const std::string &c : from_server) {
            SCOPED_TRACE(::testing::PrintToString(c));
            server(c);
        }
        if (!signed_in) {
            EXPECT_EQ(tracker(), nullptr);
        }
    }
}

} // namespace
