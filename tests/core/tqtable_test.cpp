#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tqtable.h"

namespace {

std::vector<std::string> keys_of(tqtable *t)
{
    std::vector<std::string> out;
    tqlist *k = t->keys_safe(t);
    for (tqlist *n = k; n; n = n->next)
        out.emplace_back(static_cast<char *>(n->data));
    tqlist_destroy(&k, nullptr);
    return out;
}

int v1, v2;

class TqTableTest : public ::testing::Test {
protected:
    void SetUp() override { t = new_tqtable(4); ASSERT_NE(t, nullptr); }
    void TearDown() override { tqtable_destroy(t); }
    tqtable *t = nullptr;
};

} // namespace

TEST_F(TqTableTest, SetLastWinsSetUniqueKeepsFirstKeysAreCopiedAndRemoveGivesBack)
{
    std::string key = "k";
    EXPECT_EQ(t->set(t, key.c_str(), &v1), nullptr);
    EXPECT_EQ(t->set(t, "k", &v2), &v1);
    key[0] = 'X';
    EXPECT_EQ(t->get(t, "k"), &v2);
    EXPECT_EQ(t->get(t, "missing"), nullptr);
    EXPECT_EQ(t->set_unique(t, "u", &v1), 1);
    EXPECT_EQ(t->set_unique(t, "u", &v2), 0);
    EXPECT_EQ(t->get(t, "u"), &v1);
    EXPECT_EQ(t->set(t, nullptr, &v1), nullptr);
    EXPECT_EQ(t->set_unique(t, nullptr, &v1), 0);
    EXPECT_EQ(t->get(t, nullptr), nullptr);
    EXPECT_EQ(tqtable_count(t), 2u);
    // Removing gives the value back.
    EXPECT_EQ(t->remove(t, "k"), &v2);
    EXPECT_EQ(t->remove(t, "k"), nullptr);
    EXPECT_EQ(tqtable_count(t), 1u);
    EXPECT_EQ(keys_of(t), std::vector<std::string>{"u"});
}

TEST_F(TqTableTest, SafeSlotsSurviveConcurrentWriters)
{
    constexpr int kThreads = 4, kKeys = 500;
    std::vector<std::thread> th;
    for (int w = 0; w < kThreads; ++w) {
        th.emplace_back([this, w] {
            for (int i = 0; i < kKeys; ++i) {
                std::string k = std::to_string(w) + "/" + std::to_string(i);
                t->set_safe(t, k.c_str(), &v1);
                t->get_safe(t, k.c_str());
                if (i % 2)
                    t->remove_safe(t, k.c_str());
            }
        });
    }
    for (auto &x : th)
        x.join();
    EXPECT_EQ(tqtable_count(t), static_cast<size_t>(kThreads * kKeys / 2));
}

// Small tables are searched entry by entry and large ones through an
// index built on the way: a table growing and shrinking across that line
// must answer as a plain ordered map would, whatever the operation.
TEST(TqTable, GrowingAndShrinkingAcrossTheIndexAgreesWithAModel)
{
    tqtable *t = new_tqtable(0);
    ASSERT_NE(t, nullptr);
    std::vector<std::pair<std::string, int *>> model;  // insertion order
    auto at = [&](const std::string &k) {
        for (size_t i = 0; i < model.size(); ++i)
            if (model[i].first == k)
                return static_cast<long>(i);
        return -1L;
    };
    static int values[40];
    unsigned seed = 7;
    for (int step = 0; step < 4000; ++step) {
        seed = seed * 1103515245u + 12345u;
        // Phases that fill and then drain the table make it cross the line often.
        bool filling = (step / 300) % 2 == 0;
        std::string k = "key" + std::to_string((seed >> 8) % 40);
        std::string k2 = "key" + std::to_string((seed >> 16) % 40);
        int *v = &values[(seed >> 4) % 40];
        switch ((seed >> 24) % 4) {
        case 0:
        case 1:
            if (filling) {
                void *old = t->set(t, k.c_str(), v);
                long i = at(k);
                EXPECT_EQ(old, i < 0 ? nullptr : model[i].second) << k;
                if (i < 0)
                    model.emplace_back(k, v);
                else
                    model[i].second = v;
            } else {
                long i = at(k);
                EXPECT_EQ(t->remove(t, k.c_str()), i < 0 ? nullptr : model[i].second) << k;
                if (i >= 0)
                    model.erase(model.begin() + i);
            }
            break;
        case 2: {
            long from = at(k), to = at(k2);
            int ok = t->rename(t, k.c_str(), k2.c_str());
            EXPECT_EQ(ok, from >= 0 && (to < 0 || k == k2)) << k << " -> " << k2;
            if (ok)
                model[from].first = k2;
            break;
        }
        default: {
            long i = at(k);
            EXPECT_EQ(t->get(t, k.c_str()), i < 0 ? nullptr : model[i].second) << k;
        }
        }
        ASSERT_EQ(tqtable_count(t), model.size()) << "step " << step;
    }
    std::vector<std::string> want;
    for (const auto &[k, v] : model)
        want.push_back(k);
    EXPECT_EQ(keys_of(t), want);
    tqtable_destroy(t);
}
