#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "utils.h"

namespace fs = std::filesystem;

namespace {

class TempDir : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string tmpl = (fs::temp_directory_path() / "tqcore-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }

    void write(const std::string &name, const std::string &content)
    {
        std::ofstream(dir / name) << content;
    }
    std::string read(const std::string &name)
    {
        std::ifstream in(dir / name);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::set<std::string> names()
    {
        std::set<std::string> out;
        for (auto &e : fs::directory_iterator(dir))
            out.insert(e.path().filename().string());
        return out;
    }
    int rotate(int keep) { return rotate_logs_pattern(dir.c_str(), "stats.log", keep); }

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
        int left = rotate(3);
        EXPECT_EQ(left, std::min(round, 3));
        EXPECT_FALSE(fs::exists(dir / "stats.log"));
    }
    EXPECT_EQ(names(), (std::set<std::string>{"stats.log.0", "stats.log.1", "stats.log.2"}));
    EXPECT_EQ(read("stats.log.0"), "round5");
    EXPECT_EQ(read("stats.log.1"), "round4");
    EXPECT_EQ(read("stats.log.2"), "round3");
    EXPECT_EQ(count_directory_pattern(dir.c_str(), "stats.log", 0), 3);
    write("stats.log", "current");
    EXPECT_EQ(count_directory_pattern(dir.c_str(), "stats.log", 1), 4);
}

TEST_F(TempDir, RotationLeavesOtherFilesAlone)
{
    write("stats.log", "now");
    write("stats.log.01", "not ours");
    write("stats.log.x", "not ours");
    write("stats.logger.1", "not ours");
    write("other.log.0", "not ours");
    EXPECT_EQ(rotate(2), 1);
    EXPECT_EQ(names(), (std::set<std::string>{"stats.log.0", "stats.log.01", "stats.log.x",
                                              "stats.logger.1", "other.log.0"}));
}

TEST_F(TempDir, RotationWithoutCurrentFileDoesNotShift)
{
    write("stats.log.0", "a");
    write("stats.log.1", "b");
    write("stats.log.5", "old");
    EXPECT_EQ(rotate(2), 2);
    EXPECT_EQ(names(), (std::set<std::string>{"stats.log.0", "stats.log.1"}));
    EXPECT_EQ(read("stats.log.0"), "a");
}

TEST_F(TempDir, RotationKeepZeroOnlyRemovesCopies)
{
    write("stats.log", "now");
    write("stats.log.0", "a");
    write("stats.log.7", "b");
    EXPECT_EQ(rotate(0), 0);
    EXPECT_EQ(names(), std::set<std::string>{"stats.log"});
    EXPECT_EQ(rotate(-1), 0);
    EXPECT_EQ(read("stats.log"), "now");
}

TEST_F(TempDir, RotationRefusesBadNames)
{
    EXPECT_EQ(rotate_logs_pattern(dir.c_str(), "../x", 3), -1);
    EXPECT_EQ(rotate_logs_pattern(dir.c_str(), "", 3), -1);
    EXPECT_EQ(rotate_logs_pattern((dir / "missing").c_str(), "x", 3), -1);
    EXPECT_EQ(rotate_logs_pattern(nullptr, "x", 3), -1);
}

TEST_F(TempDir, CountStopsAtTheFirstGap)
{
    write("stats.log.0", "");
    write("stats.log.1", "");
    write("stats.log.3", "");
    EXPECT_EQ(count_directory_pattern(dir.c_str(), "stats.log", 0), 2);
    EXPECT_EQ(count_directory_pattern(dir.c_str(), "stats.log", 1), 2);  // no current file
    EXPECT_EQ(count_directory_pattern(dir.c_str(), "nothing", 0), 0);
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

TEST(UniqueName, SecureIsHexAndInsecureNamesThisProcess)
{
    char *insecure = nullptr;
    std::string a = own(simple_unique_name(&insecure));
    std::string in = own(insecure);
    ASSERT_EQ(a.size(), 32u);
    EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(in.find("-" + std::to_string(getpid()) + "-"), std::string::npos) << in;
    EXPECT_NE(own(simple_unique_name(nullptr)), a);
}

TEST(UniqueName, HashedIdsAreDistinct)
{
    std::set<std::string> seen;
    for (int i = 0; i < 5000; ++i) {
        std::string id = own(simple_unique_name_hashed());
        ASSERT_EQ(id.size(), 32u);
        ASSERT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 5000u);
}
