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

} // namespace

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
