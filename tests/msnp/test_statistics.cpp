#include "msnp/entity_fixture.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <latch>
#include <map>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;

constexpr size_t kCounters = sizeof(msnp_statistics) / sizeof(unsigned long);

std::vector<std::string> tag_names(iks *x, const char *attrib = nullptr)
{
    std::vector<std::string> out;
    for (iks *c = iks_first_tag(x); c; c = iks_next_tag(c)) {
        const char *a = attrib ? iks_find_attrib(c, attrib) : nullptr;
        out.push_back(std::string(iks_name(c)) + (a ? std::string("/") + a : "") + "=" +
                      (iks_cdata(iks_child(c)) ? iks_cdata(iks_child(c)) : ""));
    }
    return out;
}

class StatisticsTest : public EntityTest {
protected:
    fs::path dir;
    msnp_person *alice = nullptr;

    void SetUp() override
    {
        EntityTest::SetUp();
        char tmpl[] = "/tmp/msnp-stats-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        variable_set(self->ns, "log-dir", (dir.string() + "\\logs").c_str());
        alice = user("alice", "alice@x");
        ASSERT_NE(alice, nullptr);
    }
    void TearDown() override
    {
        EntityTest::TearDown();
        fs::remove_all(dir);
    }

    fs::path user_dir() const { return dir / "logs" / "alice@x"; }

    void write_file(const std::string &name, const std::string &text)
    {
        fs::create_directories(user_dir());
        std::ofstream(user_dir() / name) << text;
    }
    void write_stamped(const std::string &name, long stamp, const std::string &body)
    {
        write_file(name, "<statistics timestamp=\"" + std::to_string(stamp) + "\">\n" + body + "</statistics>");
    }
    static std::string read_file(const fs::path &p)
    {
        std::stringstream s;
        s << std::ifstream(p).rdbuf();
        return s.str();
    }
};

/* ---- XML form ---- */

TEST_F(StatisticsTest, OneCounterGivesOneChild)
{
    msnp_statistics s;
    msnp_statistics_zero(&s);
    EXPECT_EQ(msnp_statistics_serialize(&s, nullptr, 0), nullptr);
    s.stats_message_in_textplain_pass = 3;
    EXPECT_EQ(xml_text(msnp_statistics_serialize(&s, nullptr, 0)),
              "<statistics>\n<message-in-textplain action='pass'>3</message-in-textplain>\n</statistics>");
}

TEST_F(StatisticsTest, CompleteDumpNamesEveryShownCounterAndNoChatTime)
{
    msnp_statistics s;
    msnp_statistics_zero(&s);
    s.stats_invite_out_photos_block = 9;
    s.stats_message_in_textsecway_none = 9;
    iks *x = msnp_statistics_serialize(&s, nullptr, 1);
    ASSERT_NE(x, nullptr);
    auto names = tag_names(x, "action");
    ASSERT_EQ(names.size(), 304u);
    EXPECT_EQ(names.front(), "message-out-unknown/none=0");
    EXPECT_EQ(names[3], "message-out-unknown/alert=0");
    EXPECT_EQ(names.back(), "datacast-in-action/alert=0");
    for (const char *want : {"message-out-textplain-bytes/pass=0", "invite-in-european-air-war/block=0",
                             "datacast-out-nudge/alert=0", "invite-in-age-of-empires2/none=0"})
        EXPECT_NE(std::find(names.begin(), names.end(), want), names.end()) << want;
    for (const auto &n : names) {
        EXPECT_EQ(n.find("textsecway"), std::string::npos);
        EXPECT_EQ(n.find("photos"), std::string::npos);
        EXPECT_EQ(n.find("chat_time"), std::string::npos);
    }
    iks_delete(x);
    /* Hidden counters alone give no form at all. */
    EXPECT_EQ(msnp_statistics_serialize(&s, nullptr, 0), nullptr);
}

TEST_F(StatisticsTest, RoundTripRestoresShownCountersAndChatTime)
{
    unsigned long in[kCounters];
    for (size_t i = 0; i < kCounters; ++i)
        in[i] = 1000 + i;
    msnp_statistics s, back;
    memcpy(&s, in, sizeof s);
    iks *x = msnp_statistics_serialize(&s, nullptr, 0);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(tag_names(x).size(), 305u);
    msnp_statistics_zero(&back);
    msnp_statistics_deserialize(&back, x);
    iks_delete(x);

    const size_t hidden[] = {offsetof(msnp_statistics, stats_message_out_textsecway_none),
                             offsetof(msnp_statistics, stats_message_in_textsecway_none),
                             offsetof(msnp_statistics, stats_invite_out_photos_none),
                             offsetof(msnp_statistics, stats_invite_in_photos_none)};
    unsigned long out[kCounters];
    memcpy(out, &back, sizeof back);
    for (size_t i = 0; i < kCounters; ++i) {
        bool is_hidden = false;
        for (size_t h : hidden)
            is_hidden |= i >= h / sizeof(unsigned long) && i < h / sizeof(unsigned long) + 4;
        EXPECT_EQ(out[i], is_hidden ? 0 : in[i]) << "counter " << i;
    }
    EXPECT_EQ(back.chat_time, s.chat_time);
    EXPECT_EQ(back.stats_datacast_in_action_alert, s.stats_datacast_in_action_alert);
}

TEST_F(StatisticsTest, ReadingKeepsAbsentCountersAndReadsNonNumbersAsZero)
{
    msnp_statistics s;
    msnp_statistics_zero(&s);
    s.stats_message_out_ink_pass = 5;
    s.stats_datacast_out_wink_none = 6;
    s.stats_message_in_control_alert = 8;
    s.stats_message_out_textsecway_pass = 4;
    iks *x = iks_tree("<statistics><message-out-ink action='pass'>abc</message-out-ink>"
                      "<message-in-control action='alert'/>"
                      "<message-out-textsecway action='pass'>7</message-out-textsecway>"
                      "<invite-in-photos action='none'>7</invite-in-photos>"
                      "<chat_time action='pass'>42</chat_time><chat_time>1</chat_time></statistics>",
                      0, nullptr);
    ASSERT_NE(x, nullptr);
    msnp_statistics_deserialize(&s, x);
    iks_delete(x);
    EXPECT_EQ(s.stats_message_out_ink_pass, 0u);      /* not a number */
    EXPECT_EQ(s.stats_datacast_out_wink_none, 6u);    /* no element */
    EXPECT_EQ(s.stats_message_in_control_alert, 8u);  /* element without text */
    EXPECT_EQ(s.stats_message_out_textsecway_pass, 4u);
    EXPECT_EQ(s.stats_invite_in_photos_none, 0u);
    EXPECT_EQ(s.chat_time, 42u); /* first chat_time, whatever its action */
}

/* ---- Module-wide counters ---- */

void bump_verdict_site(match_t v) { MSNP_STAT_BUMP_VERDICT("stats-test-verdict", v); }
void bump_site_a() { MSNP_STAT_BUMP("stats-test-shared"); }
void bump_site_b() { MSNP_STAT_BUMP("stats-test-shared"); }
void bump_site_typed() { MSNP_STAT_BUMP("stats-test-typed"); }

long value_of(const char *name)
{
    auto *v = static_cast<tq_variable *>(ents->ns->get_safe(ents->ns, name));
    return v && (v->flags & VARIABLE_INTEGER) ? v->data.integer : -1;
}

TEST_F(StatisticsTest, FirstBumpCreatesAStatisticAndCountsIt)
{
    bump_site_a();
    auto *v = variable_get(self->ns, "stats-test-shared");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->flags, unsigned(VARIABLE_INTEGER | VARIABLE_STATISTIC));
    EXPECT_EQ(v->data.integer, 1);
    bump_site_b();
    bump_site_a();
    EXPECT_EQ(value_of("stats-test-shared"), 3);

    variable_set(self->ns, "stats-test-typed", "text");
    bump_site_typed();
    EXPECT_STREQ(variable_get(self->ns, "stats-test-typed")->data.text, "text");
}

TEST_F(StatisticsTest, VerdictPicksTheSuffix)
{
    const std::vector<std::pair<unsigned, const char *>> rows = {
        {TQ_MATCH_PASS, "pass"}, {TQ_MATCH_BLOCK, "block"}, {TQ_MATCH_ALERT, "alert"},
        {TQ_MATCH_NONE, "none"}, {TQ_MATCH_CONTINUE, "none"}, {TQ_MATCH_INVALID, "none"},
        {TQ_MATCH_BLOCK | TQ_MATCH_HIDDEN, "block"}, {TQ_MATCH_ALERT | TQ_MATCH_ADVISED, "alert"},
        {TQ_MATCH_PASS | TQ_MATCH_ADVISED | TQ_MATCH_HIDDEN, "pass"}};
    std::map<std::string, long> want;
    for (const auto &[verdict, suffix] : rows) {
        bump_verdict_site(static_cast<match_t>(verdict));
        ++want[std::string("stats-test-verdict-") + suffix];
        for (const auto &[name, n] : want)
            EXPECT_EQ(value_of(name.c_str()), n) << name << " after " << verdict;
    }
    EXPECT_EQ(value_of("stats-test-verdict"), -1);
}

TEST_F(StatisticsTest, ConcurrentFirstUseLosesNoCount)
{
    /* Two sites of one name, neither used before. */
    auto site_x = [] { MSNP_STAT_BUMP("stats-test-race"); };
    auto site_y = [] { MSNP_STAT_BUMP("stats-test-race"); };
    constexpr int kThreads = 8, kBumps = 2000;
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int i = 0; i < kBumps; ++i)
                t % 2 ? site_x() : site_y();
        });
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(value_of("stats-test-race"), kThreads * kBumps);
}

TEST_F(StatisticsTest, SitesFollowANewRegistry)
{
    bump_site_a();
    msnp_entities_destroy(ents);
    tq3_module_destroy(self);
    self = tq3_module_new(nullptr);
    ASSERT_NE(msnp_entities_new(self), nullptr);
    bump_site_a();
    EXPECT_EQ(value_of("stats-test-shared"), 1);
}

/* ---- Files ---- */

TEST_F(StatisticsTest, PersistWritesStampedFileRotatesAndClears)
{
    alice->stats.stats_datacast_in_nudge_block = 2;
    time_t before = time(nullptr);
    msnp_persist_statistics(alice, 3);
    std::string text = read_file(user_dir() / "statistics.log");
    EXPECT_EQ(alice->stats.stats_datacast_in_nudge_block, 0u);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '>');
    iks *x = iks_tree(text.c_str(), 0, nullptr);
    ASSERT_NE(x, nullptr);
    long stamp = atol(iks_find_attrib(x, "timestamp"));
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, time(nullptr));
    EXPECT_EQ(tag_names(x, "action"), (std::vector<std::string>{"datacast-in-nudge/block=2"}));
    iks_delete(x);

    msnp_persist_statistics(alice, 3); /* nothing counted: no new period file */
    EXPECT_FALSE(fs::exists(user_dir() / "statistics.log.0"));
    alice->stats.chat_time = 7;
    msnp_persist_statistics(alice, 3);
    EXPECT_TRUE(fs::exists(user_dir() / "statistics.log.0"));
    EXPECT_NE(read_file(user_dir() / "statistics.log").find(">7</chat_time>"), std::string::npos);

    msnp_person *contact = new_msnp_person(nullptr, "c", "/a.*/", nullptr);
    contact->stats.chat_time = 4;
    msnp_persist_statistics(contact, 3);
    EXPECT_EQ(contact->stats.chat_time, 4u);
}

TEST_F(StatisticsTest, UnopenableFileKeepsTheCounts)
{
    fs::create_directories(user_dir().parent_path());
    std::ofstream(user_dir()) << "in the way";
    alice->stats.stats_message_out_textplain_pass = 11;
    msnp_persist_statistics(alice, 3);
    EXPECT_EQ(alice->stats.stats_message_out_textplain_pass, 11u);
}

TEST_F(StatisticsTest, ListingVisitsOldestFirst)
{
    for (int i = 0; i < 3; ++i)
        write_stamped("statistics.log." + std::to_string(i), 30 - i, "");
    write_stamped("statistics.log", 40, "");
    write_file("statistics.log.3", "<statistics"); /* broken: skipped */
    auto stamps = [](iks *x) {
        std::vector<std::string> out;
        for (iks *c = iks_first_tag(x); c; c = iks_next_tag(c))
            out.push_back(iks_find_attrib(c, "timestamp"));
        iks_delete(x);
        return out;
    };
    EXPECT_EQ(stamps(msnp_statistics_persisted(alice, 2, nullptr)),
              (std::vector<std::string>{"29", "30", "40"}));
    EXPECT_EQ(stamps(msnp_statistics_persisted(alice, 0, nullptr)),
              (std::vector<std::string>{"28", "29", "30", "40"}));
    EXPECT_EQ(msnp_statistics_persisted(alice, -1, nullptr), nullptr);
    EXPECT_EQ(msnp_statistics_persisted(user("bob", "bob@x"), 0, nullptr), nullptr);
    EXPECT_EQ(msnp_statistics_persisted(super("s"), 0, nullptr), nullptr);
}

TEST_F(StatisticsTest, SummingOverATimeRange)
{
    const std::string a = "<message-in-ink action=\"pass\">2</message-in-ink>\n<chat_time>10</chat_time>\n";
    write_stamped("statistics.log.3", 50, a);
    write_stamped("statistics.log.2", 150, a + "<message-in-ink action=\"block\">x</message-in-ink>\n");
    write_stamped("statistics.log.1", 160, a);
    write_stamped("statistics.log.0", 250, a);
    write_stamped("statistics.log", 150, a);
    struct Row {
        const char *range;
        const char *stamp;
        std::vector<std::string> sums;
    };
    const std::vector<Row> rows = {
        {"100:200", "150", {"message-in-ink/pass=4", "chat_time=20", "message-in-ink/block=0"}},
        {"100:", "150", {"message-in-ink/pass=8", "chat_time=40", "message-in-ink/block=0"}},
        {"100", "150", {"message-in-ink/pass=8", "chat_time=40", "message-in-ink/block=0"}},
        {":200", "50", {"message-in-ink/pass=6", "chat_time=30", "message-in-ink/block=0"}},
        {"", "50", {"message-in-ink/pass=10", "chat_time=50", "message-in-ink/block=0"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.range);
        iks *x = msnp_statistics_persisted(alice, 0, row.range);
        ASSERT_NE(x, nullptr);
        EXPECT_STREQ(iks_find_attrib(x, "timestamp"), row.stamp);
        EXPECT_EQ(tag_names(x, "action"), row.sums);
        iks_delete(x);
    }
    EXPECT_EQ(msnp_statistics_persisted(alice, 0, "300:"), nullptr);
    EXPECT_EQ(msnp_statistics_persisted(alice, 0, "x:1"), nullptr);
}

TEST_F(StatisticsTest, PersonFormCarriesCurrentAndStoredStatistics)
{
    auto form = [&](const char *arg, const char *range) {
        return xml_text(msnp_serialize_object_single(alice, WITH_STATISTICS, arg, range));
    };
    EXPECT_EQ(form("0", nullptr).find("<statistics"), std::string::npos);
    write_stamped("statistics.log", 150, "<chat_time action=\"none\">5</chat_time>\n");
    EXPECT_NE(form("0", nullptr).find("<statistics>\n<persisted-statistics>\n<statistics timestamp='150'>"),
              std::string::npos);
    EXPECT_EQ(form("zero", nullptr).find("<statistics"), std::string::npos);
    alice->stats.stats_message_out_p2p_none = 1;
    EXPECT_NE(form("1", "100:200").find("<statistics>\n<message-out-p2p action='none'>1</message-out-p2p>\n"
                                          "<persisted-statistics timestamp='150'>\n"
                                          "<chat_time action='none'>5</chat_time>\n</persisted-statistics>\n"
                                          "</statistics>"),
              std::string::npos);
    EXPECT_EQ(form(nullptr, nullptr).find("persisted"), std::string::npos);
    EXPECT_EQ(xml_text(msnp_serialize_object_single(alice, WITH_NONE, "0", nullptr)).find("statistics"),
              std::string::npos);
}

} // namespace
