/* The policy decision on a 10,000-user policy: users in a three-level tree
 * of nodes whose relations name groups of 50 users and carry time windows
 * and IM type sets, five supers, and a number of own relations per user
 * (the benchmark's argument: how the cost grows with the relations a user
 * sees). Each decision is for a contact no relation names, so every stage
 * of the search runs to its end, the worst case of a real decision.
 *
 * Reported: decisions per second, and the median and 99th percentile of
 * single decisions timed one by one, for a thousand users in turn and for
 * four; under contention, two deciding threads while a third changes the
 * policy every millisecond. */
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "bench_module.h"
#include "tq3_msnp_conntrack.h"
#include "tq3_msnp_match.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_relation.h"
#include "tq3_msnp_rtree.h"
#include "tq3_msnp_task.h"

namespace {

constexpr int kUsers = 10000;
constexpr int kGroupSize = 50;
constexpr int kGroups = kUsers / kGroupSize;
constexpr int kSupers = 5;
constexpr int kSites = 8, kDepts = 4, kTeams = 8; /* 8 + 32 + 256 nodes */
constexpr int kTrackers = 1000;

std::string policy_with(int own_relations)
{
    std::string doc = "<trevalquin><object-list>"
                      "<time identifier='Office'><entry type='data'><time type='relative'>"
                      "month_all,mo,tu,we,th,fr@08:00-18:00</time></entry></time>"
                      "<imbitmap identifier='Chat'><entry type='data'><acl>command_receive_message</acl></entry>"
                      "<entry type='data'><acl>message_plaintext</acl></entry></imbitmap>"
                      "<imbitmap identifier='Files'><entry type='data'><acl>message_p2p</acl></entry></imbitmap>";
    char buf[512];
    for (int s = 0; s < kSupers; ++s) {
        snprintf(buf, sizeof buf, "<person name='s%d'><relation-list>", s);
        doc += buf;
        for (int r = 0; r < 4; ++r) {
            snprintf(buf, sizeof buf,
                     "<relation object='g%d' action='alert'><access-list><object type='imbitmap'>Files</object>"
                     "</access-list></relation>",
                     (s * 4 + r) % kGroups);
            doc += buf;
        }
        doc += "</relation-list></person>";
    }
    for (int u = 0; u < kUsers; ++u) {
        snprintf(buf, sizeof buf, "<person type='1' name='u%d'><handle>u%d@example.com</handle><super>s%d</super>",
                 u, u, u % kSupers);
        doc += buf;
        if (own_relations)
            doc += "<relation-list>";
        for (int r = 0; r < own_relations; ++r) {
            snprintf(buf, sizeof buf, "<relation object='u%d' action='%s'/>", (u + r + 1) % kUsers,
                     r % 2 ? "block" : "pass");
            doc += buf;
        }
        if (own_relations)
            doc += "</relation-list>";
        doc += "</person>";
    }
    for (int g = 0; g < kGroups; ++g) {
        snprintf(buf, sizeof buf, "<group name='g%d'>", g);
        doc += buf;
        for (int m = 0; m < kGroupSize; ++m) {
            snprintf(buf, sizeof buf, "<member type='single'>u%d</member>", g * kGroupSize + m);
            doc += buf;
        }
        doc += "</group>";
    }
    doc += "</object-list><relation-trees>";
    int team = 0, user = 0;
    const int teams = kSites * kDepts * kTeams;
    for (int s = 0; s < kSites; ++s) {
        snprintf(buf, sizeof buf, "<node identifier='site%d'><relation object='g%d' action='block'/>", s, s);
        doc += buf;
        for (int d = 0; d < kDepts; ++d) {
            snprintf(buf, sizeof buf,
                     "<node identifier='dept%d'><relation object='g%d' action='alert'><access-list>"
                     "<object type='time'>Office</object></access-list></relation>",
                     d, (s * kDepts + d) % kGroups);
            doc += buf;
            for (int t = 0; t < kTeams; ++t, ++team) {
                snprintf(buf, sizeof buf,
                         "<node identifier='team%d'><relation object='g%d' action='block'><access-list>"
                         "<object type='time'>Office</object><object type='imbitmap'>Chat</object></access-list>"
                         "</relation><relation object='g%d' action='pass'/>",
                         t, team % kGroups, (team + 1) % kGroups);
                doc += buf;
                for (; user < (team + 1) * kUsers / teams; ++user) {
                    snprintf(buf, sizeof buf, "<user>u%d</user>", user);
                    doc += buf;
                }
                doc += "</node>";
            }
            doc += "</node>";
        }
        doc += "</node>";
    }
    doc += "</relation-trees></trevalquin>";
    return doc;
}

/* A loaded policy and connections of signed-in users, per size. */
struct Fixture {
    Module m;
    std::vector<tqconn> conns;
    std::vector<msnp_conntrack *> trackers;
    explicit Fixture(int own_relations) : conns(kTrackers)
    {
        m.fresh();
        if (!m.load(policy_with(own_relations)))
            return;
        for (int i = 0; i < kTrackers; ++i) {
            char handle[64];
            snprintf(handle, sizeof handle, "u%d@example.com", i * (kUsers / kTrackers));
            conns[i].clid = conns[i].srvd = -1;
            conns[i].direction = DIR_CLIENT_TO_SERVER;
            trackers.push_back(msnp_conntrack_new(handle, &conns[i], msnp_search_user(handle)));
            conns[i].plugin = trackers.back();
        }
    }
    ~Fixture()
    {
        for (msnp_conntrack *t : trackers)
            msnp_conntrack_destroy(t);
    }
    bool ready() const { return trackers.size() == static_cast<size_t>(kTrackers); }
    match_t decide(int i)
    {
        task_struct t{};
        t.conn = &conns[static_cast<size_t>(i % kTrackers)];
        t.opcode = MSN_OPCODE_MSG;
        match_t r = rtree_backref_match(&t, "stranger@elsewhere.org");
        tqlist_destroy_without_refs(&t.lda_groups);
        tqlist_destroy_without_refs(&t.lda_supers);
        tqlist_destroy_without_refs(&t.lda_objects);
        tqlist_destroy_without_refs(&t.lda_temp);
        return r;
    }
};

/* One registry at a time: the module has one. */
Fixture &fixture(int own_relations)
{
    static std::unique_ptr<Fixture> loaded;
    static int size = -1;
    if (size != own_relations) {
        loaded.reset();
        loaded = std::make_unique<Fixture>(own_relations);
        size = own_relations;
    }
    return *loaded;
}

void BM_Decide(benchmark::State &state)
{
    Fixture &f = fixture(static_cast<int>(state.range(0)));
    if (!f.ready()) {
        state.SkipWithError("the policy did not load");
        return;
    }
    /* Deciding for a few users keeps their relations in the cache, which
     * shows the search's own cost; a thousand users show the memory's. */
    const int users = static_cast<int>(state.range(1));
    int i = 0;
    std::vector<double> ns;
    ns.reserve(1 << 20);
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(f.decide(i++ % users));
        auto t1 = std::chrono::steady_clock::now();
        if (ns.size() < ns.capacity())
            ns.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
    }
    std::sort(ns.begin(), ns.end());
    if (!ns.empty()) {
        state.counters["median_ns"] = ns[ns.size() / 2];
        state.counters["p99_ns"] = ns[ns.size() * 99 / 100];
    }
    state.counters["decisions_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                           benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Decide)
    ->ArgNames({"own_relations", "users"})
    ->ArgsProduct({{0, 8, 32, 128}, {kTrackers, 4}})
    ->MinTime(1.0);

/* Two deciding threads; with the argument 1 a third thread adds and
 * removes a relation in a node and moves a node every millisecond. */
void BM_DecideContended(benchmark::State &state)
{
    Fixture &f = fixture(8);
    if (!f.ready()) {
        state.SkipWithError("the policy did not load");
        return;
    }
    const bool writer = state.range(0) != 0;
    long total = 0, changes = 0;
    for (auto _ : state) {
        std::atomic<bool> stop{false};
        std::atomic<long> decided{0};
        auto decider = [&](int start) {
            long n = 0;
            for (int i = start; !stop; i += 7)
                f.decide(i), ++n;
            decided += n;
        };
        std::thread a(decider, 0), b(decider, 3);
        std::thread w;
        if (writer)
            w = std::thread([&] {
                msnp_rtree *team = rtree_resolve_tree(ents->root, "site0/dept0/team0", nullptr);
                msnp_rtree *dept0 = team->backref, *dept1 = rtree_resolve_tree(ents->root, "site0/dept1", nullptr);
                msnp_person *target = msnp_search_person("u9999", 0);
                for (int i = 0; !stop; ++i) {
                    {
                        std::unique_lock<msnp_policy_lock> write(ents->root_lock);
                        msnp_relates *r = new_relation_desc(nullptr, target, nullptr, MSNP_OBJECT_PERSON);
                        rtree_add_contact(nullptr, team, r);
                        rtree_add_sibling(nullptr, i % 2 ? dept0 : dept1, team);
                        msnp_unlink_relation(nullptr, r);
                    }
                    ++changes;
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            });
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        stop = true;
        a.join();
        b.join();
        if (w.joinable())
            w.join();
        total += decided;
        state.SetIterationTime(0.5);
    }
    state.counters["decisions_per_s"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsRate);
    state.counters["policy_changes"] = static_cast<double>(changes);
}
BENCHMARK(BM_DecideContended)->Arg(0)->Arg(1)->UseManualTime()->Iterations(4)->Unit(benchmark::kMillisecond);

} // namespace
