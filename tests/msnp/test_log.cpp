/* Chat and activity logs: where the files go, what a person's logging
 * settings do to the line and to the host's event, and how each kind of
 * message is recorded. */
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "msnp/session_fixture.h"
#include "tq3_msnp_log.h"
#include "tq3_msnp_module.h"
#include "tq3_msnp_objects.h"

namespace {

size_t lines_in(const std::string &text)
{
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

class Logs : public SessionTest {
public:
    void SetUp() override
    {
        SessionTest::SetUp();
        ASSERT_TRUE(load("<person type=\"2\" name=\"anyone\"><handle>.*</handle></person>"
                         "<person type=\"3\" name=\"alice\"><handle>alice@example.com</handle></person>",
                         "<user>alice</user><relation object=\"anyone\" action=\"pass\" direction=\"both\"/>"));
        server("USR 1 OK alice@example.com Alice\r\n");
        ASSERT_NE(tracker(), nullptr);
        take_events();
    }

    std::string chat_log()
    {
        char *path = msnp_chat_log_path(tracker());
        std::string text = path ? slurp(path) : "";
        free(path);
        return text;
    }

    msnp_person *alice() { return msnp_search_user("alice@example.com"); }
};

TEST_F(Logs, FilesAreNamedAfterUserContactAndTimeAndStayInsideTheLogDirectory)
{
    std::string created = std::to_string(g_test_now);
    char *path = msnp_chat_log_path(tracker());
    EXPECT_EQ(std::string(path), log_dir + "/alice@example.com/unknown/chat-" + created + ".log");
    free(path);
    tracker()->cont_handle = strdup("bob@example.org");
    path = msnp_chat_log_path(tracker());
    EXPECT_EQ(std::string(path), log_dir + "/alice@example.com/bob@example.org/chat-" + created + ".log");
    free(path);

    path = msnp_activity_log_path("alice@example.com");
    EXPECT_EQ(std::string(path), log_dir + "/alice@example.com/alice@example.com.log");
    free(path);
    var("s/log-date-format", "%Y%m%d");
    path = msnp_activity_log_path("alice@example.com");
    EXPECT_EQ(std::string(path), log_dir + "/alice@example.com/alice@example.com-20260311.log");
    free(path);

    /* Handles come from the network. */
    free(tracker()->cont_handle);
    tracker()->cont_handle = strdup("../../etc");
    path = msnp_chat_log_path(tracker());
    EXPECT_EQ(std::string(path), log_dir + "/alice@example.com/.._.._etc/chat-" + created + ".log");
    free(path);
    path = msnp_activity_log_path("..");
    EXPECT_EQ(std::string(path), log_dir + "/_/_-20260311.log");
    free(path);

    /* The default directory is relative, written with either separator. */
    var("s/log-dir", "log\\msn");
    path = msnp_activity_log_path("a@b");
    EXPECT_EQ(std::string(path).rfind("log/msn/a@b/a@b-", 0), 0u) << path;
    free(path);
}

/* logrotate moves the files away; once the host raises
 * "log-reopen-generation", the next line of the conversation begins a new
 * file by the same name. No activity line is written into a moved file. */
TEST_F(Logs, FilesMovedAwayAreBegunAnewWhenTheHostAsks)
{
    char *chat = msnp_chat_log_path(tracker());
    char *activity = msnp_activity_log_path("alice@example.com");
    auto write_both = [&](const std::string &text) {
        server(msg("MSG carol@example.org Carol", "Content-Type: text/plain\r\n\r\n" + text));
        msn_sb_activity_log(nullptr, conn,
                            tqevents_shortcut_contact_activity("alice@example.com", EVENT_CODE_LOG_ONLINE, TQ_MATCH_PASS));
        msnp_log_flush(conn);
    };
    write_both("before the move");
    for (const char *file : {chat, activity})
        ASSERT_EQ(std::rename(file, (std::string(file) + ".1").c_str()), 0) << file;
    write_both("moved, not yet asked");
    EXPECT_FALSE(std::ifstream(chat).good()) << "still the moved file until the host asks";
    var("i/log-reopen-generation", "1");
    write_both("after the signal");
    EXPECT_EQ(lines_in(slurp(std::string(chat) + ".1")), 2u);
    EXPECT_EQ(slurp(std::string(chat) + ".1").find("after the signal"), std::string::npos);
    EXPECT_NE(slurp(chat).find("after the signal"), std::string::npos);
    EXPECT_EQ(lines_in(slurp(chat)), 1u);
    /* An activity line opens its file by name each time: the next line
     * after the move already begins the new file. */
    EXPECT_EQ(lines_in(slurp(std::string(activity) + ".1")), 1u);
    EXPECT_EQ(lines_in(slurp(activity)), 2u);
    free(chat);
    free(activity);
}

/* A message's line and event under each combination of the person's
 * settings and "log-disabled": the line is always written, with the text
 * hidden when asked; the event reaches the host unless no_logs is 2 or
 * more (force_logs wins everywhere). */
TEST_F(Logs, PersonSettingsHideTheTextOrKeepTheEventFromTheHost)
{
    struct Row {
        int no_logs, force_logs;
        const char *disabled;
        bool text_shown, handed;
    };
    const Row rows[] = {
        {0, 0, "0", true, true}, {1, 0, "0", false, true}, {2, 0, "0", false, false},
        {0, 0, "1", false, true}, {2, 1, "1", true, true},
    };
    int n = 0;
    for (const Row &r : rows) {
        SCOPED_TRACE("no_logs " + std::to_string(r.no_logs) + " force_logs " + std::to_string(r.force_logs) +
                     " log-disabled " + r.disabled);
        alice()->no_logs = r.no_logs;
        alice()->force_logs = r.force_logs;
        var("i/log-disabled", r.disabled);
        std::string secret = "secret number " + std::to_string(++n);
        server(msg("MSG carol@example.org Carol", "Content-Type: text/plain\r\n\r\n" + secret));
        std::string log = chat_log();
        std::string last = log.substr(log.rfind("<message"));
        EXPECT_EQ(last.find(secret) != std::string::npos, r.text_shown) << last;
        EXPECT_NE(last.find("orig='carol@example.org' dest='alice@example.com'"), std::string::npos) << last;
        EXPECT_EQ(take_events().size(), r.handed ? 1u : 0u);
    }

    /* Activities: no_logs 1 keeps them out of the activity log, 2 also
     * from the host; without a person they are written and handed over. */
    for (int level : {0, 1, 2}) {
        alice()->no_logs = level;
        alice()->force_logs = 0;
        msn_sb_activity_log(nullptr, conn,
                            tqevents_shortcut_contact_activity("alice@example.com", EVENT_CODE_LOG_ONLINE, TQ_MATCH_PASS));
        EXPECT_EQ(take_events().size(), level < 2 ? 1u : 0u) << level;
    }
    char *path = msnp_activity_log_path("alice@example.com");
    EXPECT_FALSE(std::ifstream(path).good()) << "written before the chunk's end";
    msnp_log_flush(conn);
    EXPECT_EQ(lines_in(slurp(path)), 1u);
    tracker()->person = nullptr;
    msn_sb_activity_log(nullptr, conn,
                        tqevents_shortcut_contact_activity("alice@example.com", EVENT_CODE_LOG_ONLINE, TQ_MATCH_PASS));
    EXPECT_EQ(take_events().size(), 1u);
    msnp_log_flush(conn);
    EXPECT_EQ(lines_in(slurp(path)), 2u);
    free(path);
    server(msg("MSG carol@example.org Carol", "Content-Type: text/plain\r\n\r\nno person"));
    EXPECT_NE(chat_log().find("no person"), std::string::npos);
    EXPECT_TRUE(take_events().empty()) << "a message without a person is not handed over";
}

TEST_F(Logs, EachKindOfMessageIsRecordedByItsName)
{
    auto p2p = [](const std::string &guid, const std::string &context) {
        std::string slp = "INVITE MSNMSGR:bob@example.org MSNSLP/1.0\r\nTo: <msnmsgr:bob@example.org>\r\n\r\nEUF-GUID: " +
                          guid + "\r\nSessionID: 5\r\nAppID: 2\r\nContext: " + context + "\r\n\r\n";
        return msg("MSG 3 D", "MIME-Version: 1.0\r\nContent-Type: application/x-msnmsgrp2p\r\nP2P-Dest: "
                              "bob@example.org\r\n\r\n" + std::string(48, '\0') + slp);
    };
    /* A file-transfer context: 20 bytes, then the name in UTF-16LE. */
    std::string ctx(20, '\0');
    for (char c : std::string("plan.doc"))
        ctx += std::string{c, '\0'};
    char *b64 = iks_base64_encode(ctx.data(), static_cast<int>(ctx.size()));
    const std::string with_name = b64;
    iks_free(b64);

    struct Row {
        std::string command;
        const char *recorded; /* a piece of the line, or null for none */
    };
    const Row rows[] = {
        {msg("MSG 2 N", "Content-Type: text/x-msnmsgr-datacast\r\n\r\nID: 1\r\n\r\n"), "activity='nudge'"},
        {msg("MSG 2 N", "Content-Type: text/x-msnmsgr-datacast\r\n\r\nID: 3\r\n\r\n"), nullptr},
        {msg("MSG 2 N", "Content-Type: text/x-mms-animemoticon\r\n\r\n:)\tx"), "activity='text/x-mms-emoticon'"},
        {msg("MSG 2 N", "Content-Type: text/x-secway\r\n\r\nAAAA"), "&lt;textsecway /&gt;"},
        {p2p("{4BD96FC0-AB17-4425-A14A-439185962DC8}", "AAAA"), "activity='webcam'"},
        {p2p("{5D3E02AB-6190-11D3-BBBB-00C04F795683}", "AAAA"), nullptr},
        {p2p("{5D3E02AB-6190-11D3-BBBB-00C04F795683}", with_name), "activity='file_transfer'"},
        {msg("MSG 2 N", "Content-Type: text/x-msmsgscontrol\r\nTypingUser: a\r\n\r\n\r\n"), nullptr},
        {msg("MSG 2 N", "Content-Type: text/plain\r\n\r\n"), "verdict='pass'"},
    };
    server("JOI bob@example.org Bob\r\n"); /* alice's messages have a reader */
    for (const Row &r : rows) {
        SCOPED_TRACE(::testing::PrintToString(r.command));
        size_t before = lines_in(chat_log());
        client(r.command);
        std::string log = chat_log();
        ASSERT_EQ(lines_in(log), before + (r.recorded ? 1 : 0));
        if (r.recorded) {
            size_t end = log.rfind('\n', log.size() - 2);
            std::string last = log.substr(end == std::string::npos ? 0 : end + 1);
            EXPECT_NE(last.find(r.recorded), std::string::npos) << last;
        }
    }
    EXPECT_NE(chat_log().find(">plan.doc</activity>"), std::string::npos);
}

} // namespace

namespace {

/* The "log" command over a small log tree: users and contacts by pattern
 * and comma list, the time range, the text search, and names that are not
 * conversations. */
TEST_F(Logs, LogCommandListsAndShowsTheChosenConversations)
{
    namespace fs = std::filesystem;
    auto put = [&](const std::string &rel, const std::string &text) {
        fs::path p = fs::path(log_dir) / rel;
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text;
    };
    const std::string hello = "<message orig='bob' verdict='pass' time='100'>hello there</message>\n";
    const std::string other = "<message orig='bob' verdict='pass' time='150'>good bye</message>\n";
    put("alice/bob/chat-100.log", hello);
    put("alice/bob/chat-150.log", other);
    put("alice/carol/chat-300.log", hello);
    put("dave/bob/chat-120.log", hello);
    put("carol/bob/chat-200.log", other);
    put("alice/bob/chat-12x.log", hello);
    put("alice/bob/chat-130.log", "<message>unclosed\n");

    auto run = [&](const std::string &rest) {
        idl_parser_clear(idl);
        std::string verb = "log";
        char *args[] = {verb.data(), rest.empty() ? nullptr : const_cast<char *>(rest.c_str()), nullptr};
        idl->args = args;
        msnp_config(self, idl);
        idl->args = nullptr;
        std::string out = idl->data ? idl->data : "";
        return out;
    };
    auto entries = [](const std::string &xml) {
        size_t at = xml.find("entries='");
        return at == std::string::npos ? -1 : std::atoi(xml.c_str() + at + 9);
    };
    struct Row {
        const char *words;
        int entries;
    };
    const Row rows[] = {
        {"list", 6},
        {"list alice", 4},
        {"list alice:bob", 3},
        {"list alice,carol:bob", 4},
        {"list *:bob 100:150", 4},
        {"list * 150", 3},
        {"list * :120", 2},
        {"show alice*:bob* 100:200 hello", 1},
        {"show * 0: hello", 3},
        {"show alice:bob", 2},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.words);
        std::string xml = run(r.words);
        EXPECT_EQ(entries(xml), r.entries) << xml;
    }
    std::string shown = run("show dave");
    EXPECT_NE(shown.find("<log user='dave' contact='bob' time='120'>"), std::string::npos) << shown;
    EXPECT_NE(shown.find("hello there"), std::string::npos);
    EXPECT_EQ(run("list").find("12x"), std::string::npos);

    run("");
    EXPECT_EQ(errors(), std::vector<std::string>{"2: Missing log search definition"});
    run("find x");
    EXPECT_EQ(errors(), std::vector<std::string>{"2: Unknown log search definition: find"});
    idl_parser_clear(idl);
    std::string verb = "frob";
    char *args[] = {verb.data(), nullptr, nullptr};
    idl->args = args;
    msnp_config(self, idl);
    idl->args = nullptr;
    EXPECT_EQ(errors(), std::vector<std::string>{"2: Unknown definition (msnp): frob"});
}

} // namespace
