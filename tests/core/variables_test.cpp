#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "variables.h"

namespace {

class VariablesTest : public ::testing::Test {
protected:
    void SetUp() override { ns = new_tqtable(8); }
    void TearDown() override { tqtable_destroy_with_values(ns, variable_destroy); }

    std::string text_of(const tq_variable *v)
    {
        char *s = variable_to_string(v);
        std::string out = s ? s : "<null>";
        std::free(s);
        return out;
    }

    tqtable *ns = nullptr;
};

} // namespace

TEST_F(VariablesTest, SpecPrefixChoosesTheType)
{
    tq_variable *i = variable_set(ns, "i/count", "42");
    tq_variable *f = variable_set(ns, "f/ratio", "0.25");
    tq_variable *s = variable_set(ns, "s/title", "hello");
    tq_variable *bare = variable_set(ns, "plain", "7");
    ASSERT_TRUE(i && f && s && bare);
    EXPECT_EQ(i->flags, unsigned(VARIABLE_INTEGER));
    EXPECT_EQ(i->data.integer, 42);
    EXPECT_STREQ(i->name, "count");
    EXPECT_EQ(f->flags, unsigned(VARIABLE_FLOAT));
    EXPECT_DOUBLE_EQ(f->data.real, 0.25);
    EXPECT_EQ(s->flags, unsigned(VARIABLE_STRING));
    EXPECT_STREQ(s->data.text, "hello");
    EXPECT_EQ(bare->flags, unsigned(VARIABLE_STRING));
    EXPECT_EQ(variable_get(ns, "count"), i);
    EXPECT_EQ(variable_get(ns, "i/count"), nullptr);  // the prefix is not part of the name
    EXPECT_EQ(ns->get(ns, "plain"), bare);
}

TEST_F(VariablesTest, AddOnlyChangesIntegers)
{
    tq_variable *i = variable_set(ns, "i/n", "10");
    EXPECT_EQ(variable_add(i, 5), 15);
    EXPECT_EQ(variable_add(i, -20), -5);
    tq_variable *s = variable_set(ns, "s", "10");
    EXPECT_EQ(variable_add(s, 1), 0);
    EXPECT_STREQ(s->data.text, "10");
    EXPECT_EQ(variable_add(nullptr, 1), 0);
}

TEST_F(VariablesTest, ConcurrentIncrementsGiveExactTotal)
{
    tq_variable *v = variable_set(ns, "i/stats-total", "0");
    constexpr int kThreads = 8, kEach = 20000;
    std::vector<std::thread> th;
    for (int t = 0; t < kThreads; ++t)
        th.emplace_back([v] {
            for (int k = 0; k < kEach; ++k)
                variable_add(v, 1);
        });
    for (auto &x : th)
        x.join();
    EXPECT_EQ(v->data.integer, long(kThreads) * kEach);
}
