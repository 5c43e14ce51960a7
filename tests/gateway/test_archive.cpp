/* The chat archive in SQLite: the module's events become records that the
 * administrative verbs find, export and check; a record changed, removed
 * or inserted behind the gateway's back breaks its conversation's chain,
 * and retention removes old records without breaking one. */
#include <gtest/gtest.h>

#include <sqlite3.h>

#include "archive.h"
#include "archive_admin.h"
#include "gateway/e2e_helpers.h"
#include "tqevents_interface.h"

using namespace e2e;
using gw::Archive;
using gw::Report;

namespace {

/* An event as the module renders it, and its time. */
std::pair<long, std::string> rendered(event_t *e)
{
    std::pair<long, std::string> out{static_cast<long>(e->time), e->text ? e->text : ""};
    tqevents_destroy_event(e);
    return out;
}

class ArchiveSqlite : public ::testing::Test {
protected:
    TempDir dir;
    std::string db = dir / "archive.db";
    std::unique_ptr<Archive> archive;
    const long now = static_cast<long>(time(nullptr));

    void SetUp() override { reopen(); }

    void reopen()
    {
        archive.reset();
        Archive::Options o;
        o.spec = "sqlite:" + db;
        o.gateway = "gw1";
        o.spill_file = db + ".spill";
        std::string error;
        archive = Archive::open(o, error);
        ASSERT_TRUE(archive) << error;
    }

    void add(unsigned long tid, const char *user, event_t *e, long at = 0)
    {
        auto [t, xml] = rendered(e);
        archive->add(tid, user, "Bob@example.org, zed@example.org", at ? at : t, xml);
    }

    Report run(const std::string &line)
    {
        Report r;
        gw::archive_command(archive.get(), line, r);
        return r;
    }

    void sql(const std::string &statement)
    {
        sqlite3 *h = nullptr;
        ASSERT_EQ(sqlite3_open(db.c_str(), &h), SQLITE_OK);
        char *error = nullptr;
        EXPECT_EQ(sqlite3_exec(h, statement.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
        sqlite3_free(error);
        sqlite3_close(h);
    }

    /* A day of alice's (connection 1) and a word of carol's (2), three days
     * old, two days old and now. */
    void fill()
    {
        const long old = now - 3 * 86400, recent = now - 2 * 86400;
        add(1, "Alice@Example.com", tqevents_shortcut_contact_activity("alice@example.com", EVENT_CODE_LOG_LOGIN, TQ_MATCH_PASS), old);
        add(1, "Alice@Example.com", tqevents_shortcut_log_join_leave("bob@example.org", "join", TQ_MATCH_PASS), old);
        add(1, "Alice@Example.com",
            tqevents_shortcut_log_message("alice@example.com", "Bob@Example.org", "about the tender", "s1", TQ_MATCH_PASS), old);
        add(1, "Alice@Example.com",
            tqevents_shortcut_log_message("bob@example.org", "alice@example.com", "the tender is <b>ready</b>", "s1",
                                          TQ_MATCH_BLOCK),
            recent);
        add(1, "Alice@Example.com",
            tqevents_shortcut_log_activity("alice@example.com", "bob@example.org", "filetransfer", "price.xls", "s1",
                                           TQ_MATCH_PASS),
            recent);
        /* Not conversation records: the policy's own changes, and a broken element. */
        add(1, "Alice@Example.com", tqevents_shortcut_object_collect("bob"));
        archive->add(1, "alice@example.com", "", now, "<message orig='x' verdict='pass'>unterminated");
        add(2, "carol@example.com",
            tqevents_shortcut_log_message("carol@example.com", "dave@example.net", "lunch? \"NEAR(\" * OR", "s2",
                                          TQ_MATCH_PASS));
        /* To everyone in carol's conversation. */
        add(2, "carol@example.com",
            tqevents_shortcut_log_message("carol@example.com", nullptr, "hello both", "s2", TQ_MATCH_PASS));
        ASSERT_TRUE(archive->flush());
    }
};

TEST_F(ArchiveSqlite, EventsBecomeRecordsThatEachFormOfSearchFinds)
{
    fill();
    struct Case {
        std::string query;
        std::vector<std::string> lines; /* pieces of each line, newest first */
    } cases[] = {
        {"search user:alice@EXAMPLE.com",
         {"alice@example.com -> bob@example.org  filetransfer  pass  \"price.xls\"",
          "alice@example.com <- bob@example.org  message  block  \"the tender is <b>ready</b>\"",
          "alice@example.com -> bob@example.org  message  pass  \"about the tender\"",
          "alice@example.com -> bob@example.org  join  pass", "alice@example.com  login  pass"}},
        {"search contact:*@example.org tender", {"block", "about the tender"}},
        {"search tender ready", {"the tender is"}},
        {"search verdict:block", {"block"}},
        {"search user:*@example.com limit:1 offset:1", {"lunch?"}},
        {"search contact:ZED@example.org", {"carol@example.com -> bob@example.org,zed@example.org  message  pass  \"hello both\""}},
        {"search from:" + std::to_string(now - 2 * 86400) + " to:" + std::to_string(now - 86400) + " user:alice*",
         {"filetransfer", "the tender is"}},
        /* The text's own quotes and query words are words, never syntax. */
        {"search \"NEAR(\" OR *", {"lunch?"}},
        {"search nothing-like-this", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.query);
        Report r = run(c.query);
        ASSERT_FALSE(r.failed()) << r.errors[0].second;
        auto got = lines_of(r.data);
        ASSERT_EQ(got.size(), c.lines.size()) << r.data;
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_NE(got[i].find(c.lines[i]), std::string::npos) << got[i];
    }
    for (const char *bad : {"search from:yesterday", "search limit:-1", "export x:y:z format:pdf", "frob"}) {
        Report r = run(bad);
        EXPECT_TRUE(r.failed() || r.data.empty()) << bad;
    }

    /* A conversation exported: oldest first, as JSON lines and as a page
     * that shows the text and never runs it. */
    auto conv = lines_of(run("search verdict:block").data)[0];
    conv = conv.substr(conv.rfind('[') + 1);
    conv = conv.substr(0, conv.find(' '));
    auto jsonl = lines_of(run("export " + conv).data);
    ASSERT_EQ(jsonl.size(), 5u);
    EXPECT_NE(jsonl[0].find("\"seq\":1,\"user\":\"alice@example.com\",\"contact\":\"\""), std::string::npos) << jsonl[0];
    EXPECT_NE(jsonl[3].find("\"text\":\"the tender is <b>ready</b>\""), std::string::npos) << jsonl[3];
    const std::string html = run("export " + conv + " format:html").data;
    EXPECT_NE(html.find("the tender is &lt;b&gt;ready&lt;/b&gt;"), std::string::npos) << html;
    EXPECT_EQ(html.find("<b>ready"), std::string::npos);
    EXPECT_EQ(lines_of(run("export user:carol* format:jsonl").data).size(), 2u);
}

TEST_F(ArchiveSqlite, EveryChangeBehindTheGatewaysBackIsABreakAndRetentionIsNone)
{
    fill();
    auto verify = [&] {
        Report r = run("verify");
        return std::make_pair(r.failed() ? r.errors[0].first : 0, r.data);
    };
    EXPECT_EQ(verify(), std::make_pair(0, std::string("7 records checked, 0 breaks\n")));

    /* Retention removes the oldest of each chain and leaves an anchor: the
     * chains still verify, in batches as small as one. */
    std::string error;
    EXPECT_EQ(archive->purge(now - 2 * 86400 - 1, 1, error), 1) << error;
    EXPECT_EQ(archive->purge(now - 2 * 86400 - 1, 100, error), 2) << error;
    EXPECT_EQ(archive->purge(now - 2 * 86400 - 1, 100, error), 0) << error;
    EXPECT_EQ(verify(), std::make_pair(0, std::string("4 records checked, 0 breaks\n")));
    reopen(); /* the records stay, and new ones go on after them */
    EXPECT_EQ(lines_of(run("search user:alice*").data).size(), 2u);

    struct Tamper {
        const char *name, *statement, *why;
    } tampers[] = {
        {"a text changed", "UPDATE records SET text = 'the tender is off' WHERE text LIKE 'the tender%'",
         "changed after it was written"},
        {"a verdict changed", "UPDATE records SET verdict = 'pass' WHERE verdict = 'block'", "changed after"},
        {"a record removed", "DELETE FROM records WHERE kind = 'message' AND user = 'alice@example.com'",
         "record 4 of the conversation is missing"},
        {"a record inserted", "INSERT INTO records (time, conversation, seq, user, contact, direction, kind, verdict, "
                              "text, prev, hash) SELECT time, conversation, 9, user, contact, direction, kind, "
                              "verdict, 'forged', prev, hash FROM records WHERE kind = 'filetransfer'",
         "record 6 of the conversation is missing"},
        {"the retention's anchor removed", "DELETE FROM anchors", "record 1 of the conversation is missing"},
    };
    /* Closed, the archive is one file (its journal folded in): copied
     * before each change and put back after. */
    const std::string copy = dir / "copy.db";
    archive.reset();
    std::filesystem::copy_file(db, copy);
    for (const Tamper &t : tampers) {
        SCOPED_TRACE(t.name);
        std::filesystem::copy_file(copy, db, std::filesystem::copy_options::overwrite_existing);
        reopen();
        sql(t.statement);
        auto [code, text] = verify();
        EXPECT_EQ(code, 31);
        EXPECT_NE(text.find(t.why), std::string::npos) << text;
        archive.reset();
    }
    std::filesystem::copy_file(copy, db, std::filesystem::copy_options::overwrite_existing);
    reopen();
    EXPECT_EQ(verify().first, 0);
}

} // namespace
