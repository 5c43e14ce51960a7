/* The chat archive, in SQLite and in a real PostgreSQL server: the
 * module's events become records that the administrative verbs find,
 * export and check; a record changed, removed or inserted behind the
 * gateway's back breaks its conversation's chain; retention removes old
 * records without breaking one; and a database that goes away loses
 * nothing and holds up no relay thread. */
#include <gtest/gtest.h>

#include <sqlite3.h>

#include "archive.h"
#include "archive_admin.h"
#include "events.h"
#include "gateway/e2e_helpers.h"
#include "gateway/postgres_server.h"
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

/* One server for every PostgreSQL test, a database for each. */
PostgresServer *postgres()
{
    /* Stopped, and its directory removed, when the program ends. */
    static std::unique_ptr<PostgresServer> server = [] {
        auto s = std::make_unique<PostgresServer>();
        if (s->error().empty())
            s->start();
        return s;
    }();
    return server.get();
}

class ArchiveStores : public ::testing::TestWithParam<std::string> {
protected:
    TempDir dir;
    std::string db = dir / "archive.db";
    std::string spec;
    std::unique_ptr<Archive> archive;
    const long now = static_cast<long>(time(nullptr));
    size_t max_queued = 100000;
    gw::EventSink events;

    bool pg() const { return GetParam() == "postgresql"; }

    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(events.open(dir / "events.log", false, error)) << error;
        if (pg()) {
            ASSERT_EQ(postgres()->error(), "");
            static int n = 0;
            const std::string name = "archive" + std::to_string(++n);
            ASSERT_EQ(postgres()->exec("CREATE DATABASE " + name), "");
            spec = postgres()->uri(name);
        } else {
            spec = "sqlite:" + db;
        }
        reopen();
    }

    void reopen()
    {
        archive.reset();
        Archive::Options o;
        o.spec = spec;
        o.gateway = "gw1";
        o.spill_file = db + ".spill";
        o.max_queued = max_queued;
        o.events = &events;
        std::string error;
        archive = Archive::open(o, error);
        ASSERT_TRUE(archive) << error;
    }

    /* An empty archive again. */
    void fresh()
    {
        archive.reset();
        if (pg())
            ASSERT_EQ(postgres()->exec("DROP TABLE records, anchors", spec.substr(spec.find("///") + 3, spec.find('?') - spec.find("///") - 3)), "");
        else
            for (const char *end : {"", "-wal", "-shm"})
                std::filesystem::remove(db + end);
        reopen();
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
        if (pg()) {
            const std::string name = spec.substr(spec.find("///") + 3, spec.find('?') - spec.find("///") - 3);
            EXPECT_EQ(postgres()->exec(statement, name), "");
            return;
        }
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
        /* Not for the archive: a contact's presence, the policy's own
         * changes, and a broken element. */
        add(1, "Alice@Example.com", tqevents_shortcut_contact_activity("bob@example.org", EVENT_CODE_LOG_ONLINE, TQ_MATCH_PASS));
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

TEST_P(ArchiveStores, EventsBecomeRecordsThatEachFormOfSearchFinds)
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
    const std::string html = run("export " + conv + " --format html").data;
    EXPECT_NE(html.find("the tender is &lt;b&gt;ready&lt;/b&gt;"), std::string::npos) << html;
    EXPECT_EQ(html.find("<b>ready"), std::string::npos);
    EXPECT_EQ(lines_of(run("export user:carol* format:jsonl").data).size(), 2u);
}

/* A word in more records than are worth fetching whole through the text
 * index (PostgreSQL then reads it as a filter of the newest records, once
 * the statistics say it is common): newest first, alone, with a user, and
 * with a rare word beside it. */
TEST_P(ArchiveStores, ACommonWordComesNewestFirst)
{
    for (int i = 0; i < 25000; ++i)
        add(1 + i % 2, i % 2 ? "alice@example.com" : "carol@example.com",
            tqevents_shortcut_log_message(i % 2 ? "alice@example.com" : "carol@example.com", "bob@example.org",
                                          ("common " + std::to_string(i)).c_str(), "s", TQ_MATCH_PASS),
            now - 25000 + i);
    ASSERT_TRUE(archive->flush(60000));
    sql("ANALYZE");
    struct Case {
        std::string query;
        std::vector<std::string> newest;
    } cases[] = {
        {"search common limit:3", {"common 24999", "common 24998", "common 24997"}},
        {"search common user:carol* limit:2", {"common 24998", "common 24996"}},
        {"search common 12345", {"common 12345"}},
        {"search COMMON limit:1 offset:2", {"common 24997"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.query);
        auto got = lines_of(run(c.query).data);
        ASSERT_EQ(got.size(), c.newest.size());
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_NE(got[i].find("\"" + c.newest[i] + "\""), std::string::npos) << got[i];
    }
}

TEST_P(ArchiveStores, EveryChangeBehindTheGatewaysBackIsABreakAndRetentionIsNone)
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
    /* Opened again (a restart within the same second), the archive keeps
     * its records, and a connection numbered as before begins a chain of
     * its own: nothing new is taken for a record already there. */
    reopen();
    add(1, "alice@example.com", tqevents_shortcut_log_message("alice@example.com", "bob@example.org", "again", "s", TQ_MATCH_PASS));
    ASSERT_TRUE(archive->flush());
    EXPECT_EQ(lines_of(run("search user:alice*").data).size(), 3u);
    EXPECT_EQ(verify(), std::make_pair(0, std::string("5 records checked, 0 breaks\n")));

    struct Tamper {
        const char *name, *statement, *why;
    } tampers[] = {
        {"a text changed", "UPDATE records SET text = 'the tender is off' WHERE text LIKE 'the tender%'",
         "changed after it was written"},
        {"a verdict changed", "UPDATE records SET verdict = 'pass' WHERE verdict = 'block'", "changed after"},
        {"a record removed", "DELETE FROM records WHERE kind = 'message' AND \"user\" = 'alice@example.com'",
         "record 4 of the conversation is missing"},
        {"a record inserted", "INSERT INTO records (time, conversation, seq, \"user\", contact, direction, kind, verdict, "
                              "text, prev, hash) SELECT time, conversation, 9, \"user\", contact, direction, kind, "
                              "verdict, 'forged', prev, hash FROM records WHERE kind = 'filetransfer'",
         "record 6 of the conversation is missing"},
        {"the retention's anchor removed", "DELETE FROM anchors", "record 1 of the conversation is missing"},
    };
    for (const Tamper &t : tampers) {
        SCOPED_TRACE(t.name);
        fresh();
        fill();
        ASSERT_EQ(archive->purge(now - 2 * 86400 - 1, 100, error), 3) << error;
        sql(t.statement);
        auto [code, text] = verify();
        EXPECT_EQ(code, 31);
        EXPECT_NE(text.find(t.why), std::string::npos) << text;
    }
    fresh();
    fill();
    EXPECT_EQ(verify().first, 0);
}

/* PostgreSQL goes away under load, as a crash would, for longer than the
 * memory queue lasts: the relay threads' calls stay as quick as ever, the
 * records wait in memory and in the spill file, and once the server is
 * back every one of them is in the archive, each chain whole. */
class ArchiveOutage : public ArchiveStores {};

TEST_P(ArchiveOutage, ADatabaseThatGoesAwayLosesNothingAndHoldsUpNobody)
{
    max_queued = 300;
    reopen();
    std::atomic<bool> stop{false};
    std::atomic<long> added{0};
    std::atomic<long long> slowest_us{0};
    std::thread relay([&] {
        for (unsigned long i = 0; !stop; ++i) {
            auto [t, xml] = rendered(tqevents_shortcut_log_message("alice@example.com", "bob@example.org",
                                                                   ("line " + std::to_string(i)).c_str(), "s",
                                                                   TQ_MATCH_PASS));
            const auto before = Clock::now();
            archive->add(1 + i % 7, "alice@example.com", "", t, xml);
            const long long us =
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - before).count();
            if (us > slowest_us)
                slowest_us = us;
            ++added;
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    std::this_thread::sleep_for(milliseconds(300));
    postgres()->stop();
    std::this_thread::sleep_for(milliseconds(2500));
    const long during = added;
    ASSERT_TRUE(postgres()->start()) << postgres()->error();
    std::this_thread::sleep_for(milliseconds(300));
    stop = true;
    relay.join();
    EXPECT_TRUE(eventually([&] { return archive->flush(1000); }, milliseconds(20000)));
    /* Waiting for the database would take the outage's length; a busy
     * machine may still hold the thread up for a few scheduling rounds. */
    EXPECT_LT(slowest_us.load(), 500000) << "a relay thread waited for the database";
    EXPECT_GT(during, static_cast<long>(max_queued)) << "the outage outlasted the memory queue";

    std::string error;
    std::vector<gw::ArchiveBreak> breaks;
    long long checked = 0;
    ASSERT_TRUE(archive->verify(breaks, checked, error)) << error;
    EXPECT_EQ(checked, added.load());
    EXPECT_TRUE(breaks.empty()) << breaks[0].conversation << " #" << breaks[0].seq << ": " << breaks[0].why;
    const std::string said = slurp(dir / "events.log");
    for (const char *kind : {"archive-error", "archive-spill", "archive-spill-replayed", "archive-resumed"})
        EXPECT_NE(said.find(std::string("kind=\"") + kind + "\""), std::string::npos) << kind << "\n" << said;
    EXPECT_FALSE(std::filesystem::exists(db + ".spill"));
}

INSTANTIATE_TEST_SUITE_P(Archive, ArchiveStores, ::testing::Values("sqlite", "postgresql"),
                         [](const auto &info) { return info.param; });
/* A SQLite file does not go away. */
INSTANTIATE_TEST_SUITE_P(Archive, ArchiveOutage, ::testing::Values("postgresql"),
                         [](const auto &info) { return info.param; });

} // namespace
