#include "msnp/entity_fixture.h"
#include "tq3_msnp.h"
#include "tq3_msnp_kinds.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_objects_generic.h"
#include "tq3_msnp_statistics.h"
#include "variables.h"

#include <algorithm>
#include <barrier>
#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

/* "name/action=text" of each child element; the element is deleted. */
Strings children(iks *x)
{
    Strings out;
    for (iks *c = iks_first_tag(x); c; c = iks_next_tag(c)) {
        const char *a = iks_find_attrib(c, "action"), *t = iks_cdata(iks_child(c));
        out.push_back(std::string(iks_name(c)) + (a ? std::string("/") + a : "") + "=" + (t ? t : ""));
    }
    iks_delete(x);
    return out;
}

long value_of(const char *name)
{
    auto *v = variable_get(ents->ns, name);
    return v && (v->flags & VARIABLE_INTEGER) ? v->data.integer : -1;
}

class StatisticsTest : public EntityTest {
protected:
    fs::path dir;
    msnp_person *alice = nullptr;
    msnp_statistics s;

    void SetUp() override
    {
        EntityTest::SetUp();
        char tmpl[] = "/tmp/msnp-stats-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        variable_set(self->ns, "log-dir", (dir.string() + "\\logs").c_str());
        ASSERT_NE(alice = user("alice", "alice@x"), nullptr);
        msnp_statistics_zero(&s);
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
    void write_stamped(const std::string &name, long stamp, const std::string &body = "")
    {
        write_file(name, "<statistics timestamp='" + std::to_string(stamp) + "'>\n" + body + "</statistics>");
    }
    std::string read_file(const std::string &name) const
    {
        return (std::stringstream() << std::ifstream(user_dir() / name).rdbuf()).str();
    }
};

/* ---- XML form ---- */

TEST_F(StatisticsTest, ReadingBackRestoresShownCountersOnly)
{
    std::vector<unsigned long> values(sizeof s / sizeof(unsigned long));
    std::iota(values.begin(), values.end(), 1000ul);
    memcpy(&s, values.data(), sizeof s);
    msnp_statistics want = s, back;
    for (unsigned long *hidden : {&want.stats_message_out_textsecway_none, &want.stats_message_in_textsecway_none,
                                  &want.stats_invite_out_photos_none, &want.stats_invite_in_photos_none})
        std::fill(hidden, hidden + 4, 0ul);
    iks *x = msnp_statistics_serialize(&s, nullptr, 0);
    msnp_statistics_zero(&back);
    msnp_statistics_deserialize(&back, x);
    EXPECT_EQ(children(x).size(), 305u);
    EXPECT_EQ(memcmp(&back, &want, sizeof back), 0);
    EXPECT_EQ(back.stats_datacast_in_action_alert, s.stats_datacast_in_action_alert);
    EXPECT_EQ(back.chat_time, s.chat_time);

    /* Absent or empty elements keep the value, text that is no number is 0. */
    msnp_statistics_zero(&s);
    s.stats_message_out_ink_pass = 5;
    s.stats_datacast_out_wink_none = 6;
    s.stats_message_in_control_alert = 8;
    x = iks_tree("<statistics><message-out-ink action='pass'>abc</message-out-ink>"
                 "<message-in-control action='alert'/>"
                 "<message-out-textsecway action='pass'>7</message-out-textsecway>"
                 "<invite-in-photos action='none'>7</invite-in-photos>"
                 "<chat_time action='pass'>42</chat_time><chat_time>1</chat_time></statistics>",
                 0, nullptr);
    msnp_statistics_deserialize(&s, x);
    iks_delete(x);
    EXPECT_EQ((std::vector<unsigned long>{s.stats_message_out_ink_pass, s.stats_datacast_out_wink_none,
                                          s.stats_message_in_control_alert, s.stats_message_out_textsecway_pass,
                                          s.stats_invite_in_photos_none, s.chat_time}),
              (std::vector<unsigned long>{0, 6, 8, 0, 0, 42}));
}

/* ---- Module-wide counters ---- */

TEST_F(StatisticsTest, ConcurrentFirstUseLosesNoCount)
{
    /* The threads meet before each unused name so that they race on its
     * creation, half through one site and half through another. */
    constexpr int kThreads = 4, kNames = 64, kBumps = 300;
    static std::atomic<tq_variable *> sites[kNames][2];
    Strings names;
    for (int k = 0; k < kNames; ++k)
        names.push_back("stats-test-race-" + std::to_string(k));
    std::barrier meet(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int k = 0; k < kNames; ++k) {
                meet.arrive_and_wait();
                for (int i = 0; i < kBumps; ++i)
                    msnp_stat_bump(&sites[k][t % 2], names[k].c_str());
            }
        });
    for (auto &th : threads)
        th.join();
    for (const auto &name : names)
        EXPECT_EQ(value_of(name.c_str()), kThreads * kBumps) << name;
}

/* ---- Files ---- */

TEST_F(StatisticsTest, PersistWritesStampedFileRotatesClearsOrKeeps)
{
    alice->stats.stats_datacast_in_nudge_block = 2;
    time_t before = time(nullptr);
    msnp_persist_statistics(alice, 3);
    EXPECT_EQ(alice->stats.stats_datacast_in_nudge_block, 0u);
    std::string text = read_file("statistics.log");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '>');
    iks *x = iks_tree(text.c_str(), 0, nullptr);
    ASSERT_NE(x, nullptr);
    long stamp = atol(iks_find_attrib(x, "timestamp"));
    EXPECT_TRUE(stamp >= before && stamp <= time(nullptr)) << stamp;
    EXPECT_EQ(children(x), Strings{"datacast-in-nudge/block=2"});

    msnp_persist_statistics(alice, 3); /* nothing counted: no new file */
    EXPECT_FALSE(fs::exists(user_dir() / "statistics.log.0"));
    alice->stats.chat_time = 7;
    msnp_persist_statistics(alice, 3);
    EXPECT_TRUE(fs::exists(user_dir() / "statistics.log.0"));
    EXPECT_NE(read_file("statistics.log").find(">7</chat_time>"), std::string::npos);
    alice->stats.chat_time = 7;

    /* Only users have files; a file that cannot be opened keeps the counts. */
    msnp_person *contact = new_msnp_person(nullptr, "c", "/a.*/", nullptr);
    contact->stats.chat_time = 4;
    msnp_persist_statistics(contact, 3);
    fs::remove_all(user_dir());
    std::ofstream(user_dir()) << "a file where the directory goes";
    msnp_persist_statistics(alice, 3);
    EXPECT_EQ((std::vector<unsigned long>{contact->stats.chat_time, alice->stats.chat_time}),
              (std::vector<unsigned long>{4, 7}));
}

/* The timer writes a user's period while her connections count into it:
 * every count lands in exactly one period. */
TEST_F(StatisticsTest, ConcurrentCountsWhileThePeriodIsWrittenLoseNothing)
{
    constexpr unsigned long kThreads = 2, kBumps = 20000;
    std::atomic<unsigned long> finished{0};
    std::vector<std::thread> counting;
    for (unsigned long t = 0; t < kThreads; ++t)
        counting.emplace_back([&] {
            for (unsigned long i = 0; i < kBumps; ++i)
                __atomic_fetch_add(&alice->stats.chat_time, 1, __ATOMIC_RELAXED);
            ++finished;
        });
    /* Periods end as fast as they can while the counts come (a few
     * hundred files at most: the rotation keeps them all). */
    for (int i = 0; i < 300 && finished < kThreads; ++i)
        msnp_persist_statistics(alice, 400);
    for (auto &t : counting)
        t.join();
    msnp_persist_statistics(alice, 400);
    unsigned long total = alice->stats.chat_time;
    for (const auto &e : fs::directory_iterator(user_dir())) {
        std::string text = read_file(e.path().filename().string());
        size_t end = text.find("</chat_time>");
        if (end != std::string::npos)
            total += std::stoul(text.substr(text.rfind('>', end) + 1));
    }
    EXPECT_EQ(total, kThreads * kBumps);
}

TEST_F(StatisticsTest, ListingVisitsOldestFirstAndSkipsBrokenFiles)
{
    for (int i = 0; i < 3; ++i)
        write_stamped("statistics.log." + std::to_string(i), 30 - i);
    write_stamped("statistics.log", 40);
    auto stamps = [&](int past) {
        Strings out;
        iks *x = msnp_statistics_persisted(alice, past, nullptr);
        for (iks *c = iks_first_tag(x); c; c = iks_next_tag(c))
            out.push_back(iks_find_attrib(c, "timestamp"));
        iks_delete(x);
        return out;
    };
    EXPECT_EQ(stamps(2), (Strings{"29", "30", "40"}));
    for (const char *broken : {"<statistics", "", "just text", "<a></b>"}) {
        write_file("statistics.log.3", broken); /* counted, then skipped */
        EXPECT_EQ(stamps(0), (Strings{"28", "29", "30", "40"})) << broken;
    }
    EXPECT_EQ(msnp_statistics_persisted(alice, -1, nullptr), nullptr);
    EXPECT_EQ(msnp_statistics_persisted(user("bob", "bob@x"), 0, nullptr), nullptr);
    EXPECT_EQ(msnp_statistics_persisted(super("s"), 0, nullptr), nullptr);
}

TEST_F(StatisticsTest, SummingOverATimeRange)
{
    const std::string a = "<message-in-ink action='pass'>2</message-in-ink>\n<chat_time>10</chat_time>\n";
    write_stamped("statistics.log.3", 50, a);
    write_stamped("statistics.log.2", 150, a + "<message-in-ink action='block'>x</message-in-ink>\n");
    write_stamped("statistics.log.1", 160, a);
    write_stamped("statistics.log.0", 250, a);
    write_stamped("statistics.log", 150, a);
    auto sums = [](int ink, int chat) {
        return Strings{"message-in-ink/pass=" + std::to_string(ink), "chat_time=" + std::to_string(chat),
                       "message-in-ink/block=0"};
    };
    for (const auto &[range, stamp, want] : std::vector<std::tuple<const char *, const char *, Strings>>{
             {"100:200", "150", sums(4, 20)}, {"100:", "150", sums(8, 40)}, {"100", "150", sums(8, 40)},
             {":200", "50", sums(6, 30)}, {"", "50", sums(10, 50)}}) {
        iks *x = msnp_statistics_persisted(alice, 0, range);
        ASSERT_NE(x, nullptr) << range;
        EXPECT_STREQ(iks_find_attrib(x, "timestamp"), stamp) << range;
        EXPECT_EQ(children(x), want) << range;
    }
    EXPECT_EQ(msnp_statistics_persisted(alice, 0, "300:"), nullptr);
    EXPECT_EQ(msnp_statistics_persisted(alice, 0, "x:1"), nullptr);
}

TEST_F(StatisticsTest, PersonFormCarriesCurrentAndStoredStatistics)
{
    auto form = [&](const char *arg, const char *range, int flags = WITH_STATISTICS) {
        return xml_text(msnp_serialize_object_single(alice, static_cast<msnp_serialize_flags_t>(flags), arg, range));
    };
    EXPECT_EQ(form("0", nullptr).find("<statistics"), std::string::npos);
    write_stamped("statistics.log", 150, "<chat_time action='none'>5</chat_time>\n");
    EXPECT_NE(form("0", nullptr).find("<statistics>\n<persisted-statistics>\n<statistics timestamp='150'>"),
              std::string::npos);
    EXPECT_EQ(form("zero", nullptr).find("<statistics"), std::string::npos);
    EXPECT_EQ(form("0", nullptr, WITH_NONE).find("statistics"), std::string::npos);
    alice->stats.stats_message_out_p2p_none = 1;
    EXPECT_NE(form("1", "100:200").find("<statistics>\n<message-out-p2p action='none'>1</message-out-p2p>\n"
                                          "<persisted-statistics timestamp='150'>\n<chat_time action='none'>5"
                                          "</chat_time>\n</persisted-statistics>\n</statistics>"),
              std::string::npos);
    EXPECT_EQ(form(nullptr, nullptr).find("persisted"), std::string::npos);
}

} // namespace

/* ---- Variables beside the administrator's changes ---- */

/* Readers take texts and numbers while another thread sets the same
 * variables over and over, changing their type and length: what a reader
 * holds stays readable and is always one of the values set. */
TEST_F(StatisticsTest, ConcurrentReadsOfVariablesWhileTheyAreSet)
{
    const std::vector<std::string> texts = {"short", std::string(200, 'x'), "", "a rather longer value than before"};
    variable_set(ents->ns, "s/race-text", texts[0].c_str());
    variable_set(ents->ns, "i/race-number", "1");
    std::atomic<bool> done{false};
    std::thread setter([&] {
        for (int i = 0; i < 4000; ++i) {
            variable_set(ents->ns, ("s/race-text"), texts[static_cast<size_t>(i) % texts.size()].c_str());
            /* The number changes type too: a text that reads as a number. */
            variable_set(ents->ns, (i % 2 ? "s/race-number" : "i/race-number"), i % 2 ? "7" : "1");
        }
        done = true;
    });
    std::vector<std::thread> readers;
    std::atomic<long> bad{0};
    for (int t = 0; t < 3; ++t)
        readers.emplace_back([&] {
            while (!done) {
                const char *text = msnp_get_var("race-text", "unset");
                long n = msnp_get_var_long("race-number", -1);
                /* The text is read after another variable was: still whole. */
                if (std::find(texts.begin(), texts.end(), std::string(text)) == texts.end())
                    ++bad;
                if (n != 1 && n != 7)
                    ++bad;
            }
        });
    setter.join();
    for (auto &r : readers)
        r.join();
    EXPECT_EQ(bad, 0);
    EXPECT_STREQ(msnp_get_var("race-text", nullptr), texts[3999 % texts.size()].c_str());
}
