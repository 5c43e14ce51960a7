#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "utils.h"

namespace fs = std::filesystem;

namespace {

using Files = std::map<std::string, std::string>;  // name -> content

class TempDir : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string tmpl = (fs::temp_directory_path() / "tqcore-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }

    void write(const std::string &name, const std::string &content) { std::ofstream(dir / name) << content; }
    Files files()
    {
        Files out;
        for (auto &e : fs::directory_iterator(dir)) {
            std::ifstream in(e.path());
            out[e.path().filename().string()] = std::string(std::istreambuf_iterator<char>(in), {});
        }
        return out;
    }
    int rotate(int keep) { return rotate_logs_pattern(dir.c_str(), "stats.log", keep); }
    int count(const char *pattern, int current) { return count_directory_pattern(dir.c_str(), pattern, current); }

    fs::path dir;
};

std::string own(char *s)
{
    std::string out = s ? s : "<null>";
    std::free(s);
    return out;
}

} // namespace

TEST(HostPath, BackslashesBecomeSlashes)
{
    EXPECT_EQ(own(host_path("log\\msn\\a@b.com")), "log/msn/a@b.com");
    EXPECT_EQ(own(host_path("a/b\\c")), "a/b/c");
    EXPECT_EQ(own(host_path(nullptr)), "<null>");
}

TEST_F(TempDir, CheckDirCreatesTheWholeChain)
{
    std::string deep = dir.string() + "\\log\\msn/user@x.com";
    EXPECT_EQ(check_dir_and_create(deep.c_str()), 1);
    EXPECT_TRUE(fs::is_directory(dir / "log" / "msn" / "user@x.com"));
    EXPECT_EQ(check_dir_and_create(deep.c_str()), 1);  // already there
    write("plain", "x");
    EXPECT_EQ(check_dir_and_create((dir / "plain").c_str()), 0);
    EXPECT_EQ(check_dir_and_create((dir / "plain" / "sub").c_str()), 0);
    EXPECT_EQ(check_dir_and_create(""), 0);
    EXPECT_EQ(check_dir_and_create(nullptr), 0);
}

TEST_F(TempDir, RotationNumbersNewestZeroAndKeepsTheLimit)
{
    for (int round = 1; round <= 5; ++round) {
        write("stats.log", "round" + std::to_string(round));
        EXPECT_EQ(rotate(3), std::min(round, 3));
        EXPECT_FALSE(fs::exists(dir / "stats.log"));
    }
    EXPECT_EQ(files(), (Files{{"stats.log.0", "round5"}, {"stats.log.1", "round4"}, {"stats.log.2", "round3"}}));
    EXPECT_EQ(count("stats.log", 0), 3);
    write("stats.log", "current");
    EXPECT_EQ(count("stats.log", 1), 4);
}

TEST_F(TempDir, RotationEdgeCases)
{
    struct Case { const char *what; Files before; int keep; int left; Files after; };
    const std::vector<Case> cases = {
        {"other files are left alone",
         {{"stats.log", "now"}, {"stats.log.01", "n"}, {"stats.log.x", "n"}, {"stats.logger.1", "n"}, {"other.log.0", "n"}},
         2, 1,
         {{"stats.log.0", "now"}, {"stats.log.01", "n"}, {"stats.log.x", "n"}, {"stats.logger.1", "n"}, {"other.log.0", "n"}}},
        {"no current file: no shift, extra copies go",
         {{"stats.log.0", "a"}, {"stats.log.1", "b"}, {"stats.log.5", "old"}}, 2, 2,
         {{"stats.log.0", "a"}, {"stats.log.1", "b"}}},
        {"keep zero only removes copies",
         {{"stats.log", "now"}, {"stats.log.0", "a"}, {"stats.log.7", "b"}}, 0, 0, {{"stats.log", "now"}}},
        {"negative keep", {{"stats.log", "now"}}, -1, 0, {{"stats.log", "now"}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto &[name, content] : c.before)
            write(name, content);
        EXPECT_EQ(rotate(c.keep), c.left);
        EXPECT_EQ(files(), c.after);
        for (const auto &[name, content] : files())
            fs::remove(dir / name);
    }
}

TEST_F(TempDir, RotationRefusesBadNamesAndCountStopsAtTheFirstGap)
{
    EXPECT_EQ(rotate_logs_pattern(dir.c_str(), "../x", 3), -1);
    EXPECT_EQ(rotate_logs_pattern(dir.c_str(), "", 3), -1);
    EXPECT_EQ(rotate_logs_pattern((dir / "missing").c_str(), "x", 3), -1);
    EXPECT_EQ(rotate_logs_pattern(nullptr, "x", 3), -1);

    for (const char *name : {"stats.log.0", "stats.log.1", "stats.log.3"})
        write(name, "");
    EXPECT_EQ(count("stats.log", 0), 2);
    EXPECT_EQ(count("stats.log", 1), 2);  // no current file
    EXPECT_EQ(count("nothing", 0), 0);
}

TEST(FnmatchList, AnyPatternMatches)
{
    tqlist *l = nullptr;
    char p1[] = "*@corp.com", p2[] = "bob?";
    tqlist_insert_end(&l, p1);
    tqlist_insert_end(&l, p2);
    EXPECT_EQ(fnmatch_list(l, "ann@corp.com", 0), 1);
    EXPECT_EQ(fnmatch_list(l, "bobs", 0), 1);
    EXPECT_EQ(fnmatch_list(l, "bob", 0), 0);
    EXPECT_EQ(fnmatch_list(nullptr, "bob", 0), 0);
    EXPECT_EQ(fnmatch_list(l, nullptr, 0), 0);
    tqlist_destroy_without_refs(&l);
}

TEST(UniqueName, IdsAreHexDistinctAndInsecureNamesThisProcess)
{
    char *insecure = nullptr;
    std::string a = own(simple_unique_name(&insecure));
    std::string in = own(insecure);
    EXPECT_NE(in.find("-" + std::to_string(getpid()) + "-"), std::string::npos) << in;
    EXPECT_NE(own(simple_unique_name(nullptr)), a);

    std::set<std::string> seen{a};
    for (int i = 0; i < 5000; ++i)
        seen.insert(own(simple_unique_name_hashed()));
    EXPECT_EQ(seen.size(), 5001u);
    for (const std::string &id : seen) {
        ASSERT_EQ(id.size(), 32u) << id;
        ASSERT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
    }
}
