/* Loading and dumping a large policy: 10,000 user persons, 1,000 groups,
 * 20,000 relations and a three-level tree of 500 nodes.
 *
 * Half of each person's relations name a person defined later in the
 * document, so they start weak and are resolved when that person loads;
 * groups come before their members for the same reason. This is the shape
 * in which quadratic weak resolution, duplicate checks or list appends
 * would show. The resident memory of one loaded registry is reported as
 * the counter "registry_MiB". */
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include <unistd.h>

#include "bench_module.h"
#include "tq3_msnp_module.h"

namespace {

constexpr int kPersons = 10000;
constexpr int kGroups = 1000;
constexpr int kRelationsPerPerson = 2;
constexpr int kTop = 8, kMid = 8, kLeaves = 428; /* 8 + 64 + 428 = 500 nodes */

std::string generated_policy()
{
    std::string doc = "<trevalquin version=\"1.0\">\n<object-list>\n";
    char buf[512];
    /* Groups first: their members are still undefined, so each member is
     * weak until its person loads. Every tenth group nests the next one. */
    for (int g = 0; g < kGroups; ++g) {
        snprintf(buf, sizeof buf, "<group name=\"g%d\"><description>team %d</description>", g, g);
        doc += buf;
        for (int m = 0; m < 10; ++m) {
            snprintf(buf, sizeof buf, "<member>u%d</member>", g * 10 + m);
            doc += buf;
        }
        if (g % 10 == 0 && g + 1 < kGroups) {
            snprintf(buf, sizeof buf, "<member>g%d</member>", g + 1);
            doc += buf;
        }
        doc += "</group>\n";
    }
    static const char *const actions[] = {"pass", "block", "alert"};
    static const char *const directions[] = {"in", "out", "both"};
    for (int p = 0; p < kPersons; ++p) {
        snprintf(buf, sizeof buf,
                 "<person name=\"u%d\"><handle>u%d@example.com</handle>"
                 "<friendly>User %d</friendly><attribute type=\"risk\">%d</attribute>"
                 "<relation-list>",
                 p, p, p, p % 7);
        doc += buf;
        /* One relation back to an earlier person, one forward (weak). */
        int targets[kRelationsPerPerson] = {(p + kPersons - 1) % kPersons, (p + 1) % kPersons};
        for (int r = 0; r < kRelationsPerPerson; ++r) {
            snprintf(buf, sizeof buf,
                     "<relation object=\"u%d\" action=\"%s\" direction=\"%s\" risk=\"%d\"/>",
                     targets[r], actions[(p + r) % 3], directions[(p + r) % 3], r + 1);
            doc += buf;
        }
        doc += "</relation-list></person>\n";
    }
    doc += "</object-list>\n<relation-trees>\n";
    int leaf = 0, user = 0;
    for (int t = 0; t < kTop; ++t) {
        snprintf(buf, sizeof buf, "<node identifier=\"site%d\">", t);
        doc += buf;
        for (int m = 0; m < kMid; ++m) {
            snprintf(buf, sizeof buf, "<node identifier=\"dept%d\">", m);
            doc += buf;
            int leaves = kLeaves / (kTop * kMid) + (t * kMid + m < kLeaves % (kTop * kMid) ? 1 : 0);
            for (int l = 0; l < leaves; ++l, ++leaf) {
                snprintf(buf, sizeof buf,
                         "<node identifier=\"team%d\"><relation object=\"g%d\" action=\"block\" "
                         "direction=\"both\"/>",
                         leaf, leaf % kGroups);
                doc += buf;
                for (; user < (leaf + 1) * kPersons / kLeaves; ++user) {
                    snprintf(buf, sizeof buf, "<user>u%d</user>", user);
                    doc += buf;
                }
                doc += "</node>";
            }
            doc += "</node>\n";
        }
        doc += "</node>\n";
    }
    doc += "</relation-trees>\n</trevalquin>\n";
    return doc;
}

const std::string &policy()
{
    static const std::string doc = generated_policy();
    return doc;
}

long resident_kib()
{
    long pages = 0, resident = 0;
    FILE *f = fopen("/proc/self/statm", "r");
    if (!f)
        return 0;
    if (fscanf(f, "%ld %ld", &pages, &resident) != 2)
        resident = 0;
    fclose(f);
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}


void BM_SetConfig(benchmark::State &state)
{
    Module m;
    policy(); /* generated outside the timing */
    /* Freed registries stay in the allocator's arenas, so only the first
     * load shows its footprint. */
    double registry_kib = 0;
    for (auto _ : state) {
        state.PauseTiming();
        m.fresh();
        long before = resident_kib();
        state.ResumeTiming();
        if (!m.load(policy())) {
            state.SkipWithError("the generated policy did not load cleanly");
            return;
        }
        state.PauseTiming();
        registry_kib = std::max(registry_kib, static_cast<double>(resident_kib() - before));
        m.drop();
        state.ResumeTiming();
    }
    state.counters["registry_MiB"] = registry_kib / 1024.0;
    state.counters["policy_MiB"] = static_cast<double>(policy().size()) / (1024.0 * 1024.0);
}
BENCHMARK(BM_SetConfig)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_GetConfig(benchmark::State &state)
{
    Module m;
    m.fresh();
    if (!m.load(policy())) {
        state.SkipWithError("the generated policy did not load cleanly");
        return;
    }
    size_t bytes = 0;
    for (auto _ : state) {
        char *doc = msnp_getconfig(m.self, m.idl);
        if (!doc) {
            state.SkipWithError("getconfig gave nothing");
            return;
        }
        bytes = strlen(doc);
        free(doc);
    }
    state.counters["document_MiB"] = static_cast<double>(bytes) / (1024.0 * 1024.0);
}
BENCHMARK(BM_GetConfig)->Unit(benchmark::kMillisecond)->Iterations(3);

/* Dropping the loaded policy, as "reload-policy" does before loading. */
void BM_Reset(benchmark::State &state)
{
    Module m;
    policy();
    for (auto _ : state) {
        state.PauseTiming();
        m.fresh();
        if (!m.load(policy())) {
            state.SkipWithError("the generated policy did not load cleanly");
            return;
        }
        state.ResumeTiming();
        msnp_reset(m.self, m.idl);
    }
}
BENCHMARK(BM_Reset)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace
