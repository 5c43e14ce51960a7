#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>

#include "expectations.h"

using gw::Clock;
using gw::ExpectationRegistry;

namespace {

int destroyed = 0;

// An expectation for daddr:dport (host order) carrying a text as data.
tq3_expectation *expect(uint32_t daddr, uint16_t dport, unsigned flags, const char *data)
{
    tq3_expectation *e = tq3_expectation_new();
    e->daddr = htonl(daddr);
    e->dmask = 0xFFFFFFFFu;
    e->dport = htons(dport);
    e->dpmask = 0xFFFF;
    e->flags = flags;
    if (data) {
        e->data = strdup(data);
        e->data_size = strlen(data);
        e->data_destructor = [](void *d) {
            ++destroyed;
            free(d);
        };
    }
    return e;
}

std::vector<gw::ExpectationMatch> match(ExpectationRegistry &r, uint32_t daddr, uint16_t dport,
                                        Clock::time_point now)
{
    return r.match(htonl(0x7F000001), htons(40000), htonl(daddr), htons(dport), now);
}

} // namespace

TEST(Expectations, MatchHandsOverDataAndOwner)
{
    destroyed = 0;
    auto t0 = Clock::now();
    int owner_a = 0, owner_b = 0;
    {
        ExpectationRegistry r;
        r.add(expect(0x0A000001, 1863, EXPECTATION_FLAG_NONE, "sb1"), &owner_a, t0);
        r.add(expect(0x0A000002, 1863, EXPECTATION_FLAG_DATA_ONLY, "sb2"), &owner_b, t0);
        r.add(nullptr, &owner_a, t0); // ignored
        EXPECT_EQ(r.size(), 2u);

        EXPECT_TRUE(match(r, 0x0A000001, 1864, t0).empty());
        EXPECT_TRUE(match(r, 0x0A000003, 1863, t0).empty());

        auto m = match(r, 0x0A000001, 1863, t0);
        ASSERT_EQ(m.size(), 1u);
        EXPECT_STREQ(static_cast<const char *>(m[0].expectation->data), "sb1");
        EXPECT_EQ(m[0].owner, &owner_a);
        EXPECT_FALSE(m[0].data_only);

        m = match(r, 0x0A000002, 1863, t0);
        ASSERT_EQ(m.size(), 1u);
        EXPECT_TRUE(m[0].data_only);
        EXPECT_EQ(m[0].owner, &owner_b);
        EXPECT_EQ(destroyed, 0);
    }
    EXPECT_EQ(destroyed, 2); // the registry destroys what it still holds
}

TEST(Expectations, LifetimeEndsMatchingAndExpiryDestroys)
{
    destroyed = 0;
    auto t0 = Clock::now();
    ExpectationRegistry r(std::chrono::seconds(120));
    r.add(expect(0x0A000001, 1863, EXPECTATION_FLAG_NONE, "old"), nullptr, t0);
    r.add(expect(0x0A000001, 1863, EXPECTATION_FLAG_NONE, "new"),
          nullptr, t0 + std::chrono::seconds(60));

    EXPECT_EQ(match(r, 0x0A000001, 1863, t0 + std::chrono::seconds(119)).size(), 2u);
    // At 120 s the first has run out even before the sweep removes it.
    auto late = match(r, 0x0A000001, 1863, t0 + std::chrono::seconds(120));
    ASSERT_EQ(late.size(), 1u);
    EXPECT_STREQ(static_cast<const char *>(late[0].expectation->data), "new");
    late.clear();

    EXPECT_EQ(r.expire(t0 + std::chrono::seconds(119)), 0u);
    EXPECT_EQ(r.expire(t0 + std::chrono::seconds(120)), 1u);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(r.size(), 1u);
    EXPECT_EQ(r.expire(t0 + std::chrono::seconds(500)), 1u);
    EXPECT_EQ(destroyed, 2);
    EXPECT_EQ(r.size(), 0u);
}

TEST(Expectations, TakeListEmptiesTheConnectionsListAndClearByOwner)
{
    destroyed = 0;
    auto t0 = Clock::now();
    int a = 0, b = 0;
    ExpectationRegistry r;
    tqlist *list = nullptr;
    tqlist_insert_end(&list, expect(0x0A000001, 1, 0, "a1"));
    tqlist_insert_end(&list, expect(0x0A000001, 2, 0, "a2"));
    r.take_list(&list, &a, t0);
    EXPECT_EQ(list, nullptr);
    r.add(expect(0x0A000001, 3, 0, "b1"), &b, t0);
    EXPECT_EQ(r.size(), 3u);
    r.clear(&a);
    EXPECT_EQ(r.size(), 1u);
    EXPECT_EQ(destroyed, 2);
    r.clear();
    EXPECT_EQ(r.size(), 0u);
    EXPECT_EQ(destroyed, 3);
    r.take_list(nullptr, &a, t0);
}
