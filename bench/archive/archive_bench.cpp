// Fills an archive as the relay would (one thread adding the module's
// events), then times searches an auditor makes: words of the text, and a
// user over a week. With --outage the database is stopped for a while
// under a steady load and started again; the run then checks that every
// record arrived and every chain is whole.
//
//   archive_bench STORE [--messages N] [--users U] [--rate PER-SECOND]
//                 [--outage SECONDS --stop CMD --start CMD] [--searches N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "archive.h"
#include "events.h"
#include "tqevents_interface.h"

using Clock = std::chrono::steady_clock;

namespace {

struct Args {
    std::string store;
    long messages = 10'000'000, users = 10'000, rate = 0, outage = 0, searches = 200;
    bool search_only = false; // the archive is filled already (by an earlier run)
    std::string stop, start;
};

// Words of a made-up language, some far more common than others.
std::vector<std::string> vocabulary(size_t n)
{
    static const char *syllables[] = {"ka", "lo", "mi", "ren", "to", "sa", "vel", "nu", "dra", "pe", "qui", "so"};
    std::vector<std::string> words;
    std::mt19937 rng(7);
    for (size_t i = 0; i < n; ++i) {
        std::string w;
        for (int k = 0, parts = 2 + static_cast<int>(rng() % 3); k < parts; ++k)
            w += syllables[rng() % 12];
        words.push_back(w + std::to_string(i % 97));
    }
    return words;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

long run(const char *cmd)
{
    long rc = std::system(cmd);
    if (rc != 0)
        std::fprintf(stderr, "archive_bench: `%s` failed (%ld)\n", cmd, rc);
    return rc;
}

} // namespace

int main(int argc, char **argv)
{
    Args a;
    for (int i = 1; i < argc; ++i) {
        std::string k = argv[i];
        auto next = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
        if (k == "--messages")
            a.messages = std::atol(next().c_str());
        else if (k == "--users")
            a.users = std::atol(next().c_str());
        else if (k == "--rate")
            a.rate = std::atol(next().c_str());
        else if (k == "--outage")
            a.outage = std::atol(next().c_str());
        else if (k == "--searches")
            a.searches = std::atol(next().c_str());
        else if (k == "--search-only")
            a.search_only = true;
        else if (k == "--stop")
            a.stop = next();
        else if (k == "--start")
            a.start = next();
        else if (a.store.empty())
            a.store = k;
    }
    if (a.store.empty() || a.users <= 0 || a.messages <= 0) {
        std::fprintf(stderr, "usage: archive_bench STORE [--messages N] [--users U] [--rate R] [--outage S --stop CMD "
                             "--start CMD] [--searches N]\n");
        return 2;
    }

    gw::EventSink events;
    std::string error;
    events.open("", true, error);
    gw::Archive::Options o;
    o.spec = a.store;
    o.gateway = "bench";
    o.spill_file = "/tmp/archive_bench.spill";
    o.max_queued = 50'000;
    o.events = &events;
    auto archive = gw::Archive::open(o, error);
    if (!archive) {
        std::fprintf(stderr, "archive_bench: %s\n", error.c_str());
        return 1;
    }

    const auto words = vocabulary(20'000);
    std::mt19937_64 rng(42);
    // Word ranks drawn from a long-tailed law: common words are common.
    std::exponential_distribution<double> rank(1.0 / 400);
    const long span = 90L * 86400, start_time = static_cast<long>(std::time(nullptr)) - span;
    std::vector<double> add_us;
    add_us.reserve(static_cast<size_t>(std::min(a.messages, 2'000'000L)));
    double slowest_us = 0;
    bool outage_begun = false, outage_over = false;
    Clock::time_point outage_end{};
    const auto begin = Clock::now();
    for (long i = 0; i < (a.search_only ? 0 : a.messages); ++i) {
        const long user = static_cast<long>(rng() % static_cast<unsigned long>(a.users));
        const long contact = static_cast<long>(rng() % 200);
        std::string text;
        for (int w = 0, n = 4 + static_cast<int>(rng() % 9); w < n; ++w) {
            size_t r = std::min(words.size() - 1, static_cast<size_t>(rank(rng)));
            text += (w ? " " : "") + words[r];
        }
        if (rng() % 1000 == 0)
            text += " tender";
        const std::string me = "user" + std::to_string(user) + "@corp.example";
        const std::string them = "contact" + std::to_string(contact) + "@partner.example";
        const bool out = rng() & 1;
        event_t *e = tqevents_shortcut_log_message(out ? me.c_str() : them.c_str(), out ? them.c_str() : me.c_str(),
                                                   text.c_str(), "s", rng() % 50 ? TQ_MATCH_PASS : TQ_MATCH_BLOCK);
        const long t = start_time + span * i / a.messages;
        // A conversation per user (one long chain each).
        const unsigned long tid = static_cast<unsigned long>(user);
        const auto before = Clock::now();
        archive->add(tid, me, them, t, e->text);
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - before).count();
        tqevents_destroy_event(e);
        if (add_us.size() < add_us.capacity())
            add_us.push_back(us);
        slowest_us = std::max(slowest_us, us);

        if (a.rate > 0) { // a steady load, as relay threads would bring it
            auto due = begin + std::chrono::microseconds(1'000'000 * (i + 1) / a.rate);
            std::this_thread::sleep_until(due);
        } else if (i % 10000 == 0) {
            // As fast as the archive takes them, short of what would spill.
            while (archive->counts().queued > 30'000)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (a.outage > 0 && !outage_begun && i >= a.messages / 3) {
            std::printf("outage: stopping the database for %ld s at record %ld\n", a.outage, i);
            std::fflush(stdout);
            run(a.stop.c_str());
            outage_begun = true;
            outage_end = Clock::now() + std::chrono::seconds(a.outage);
        }
        if (outage_begun && !outage_over && Clock::now() >= outage_end) {
            run(a.start.c_str());
            outage_over = true;
            std::printf("outage: database started again at record %ld\n", i);
            std::fflush(stdout);
        }
    }
    int status = 0;
    if (!a.search_only) {
        const auto added = Clock::now();
        while (!archive->flush(60'000))
            std::printf("waiting for the archive (queued %llu)\n",
                        static_cast<unsigned long long>(archive->counts().queued));
        const auto written = Clock::now();
        const double secs = std::chrono::duration<double>(written - begin).count();
        std::printf("records                      %ld from %ld users\n", a.messages, a.users);
        std::printf("insert rate (records/s)      %.0f  (%.1f s; the last %.1f s after the last add)\n",
                    static_cast<double>(a.messages) / secs, secs, std::chrono::duration<double>(written - added).count());
        std::printf("add() on the relay thread    p99 %.1f us, max %.1f us\n", percentile(add_us, 0.99), slowest_us);
        const auto c = archive->counts();
        std::printf("spilled records              %llu\n", static_cast<unsigned long long>(c.spilled));

        if (a.outage > 0) {
            std::vector<gw::ArchiveBreak> breaks;
            long long checked = 0;
            if (!archive->verify(breaks, checked, error)) {
                std::fprintf(stderr, "archive_bench: verify: %s\n", error.c_str());
                return 1;
            }
            std::printf("verify                       %lld records of %ld, %zu breaks: %s\n", checked, a.messages,
                        breaks.size(), checked == a.messages && breaks.empty() ? "ok" : "LOST OR BROKEN");
            status = checked == a.messages && breaks.empty() ? 0 : 1;
        }
    }

    struct Kind {
        const char *name;
        std::vector<double> ms;
        size_t found = 0;
    } kinds[] = {{"text search (ms)", {}, 0}, {"user + week (ms)", {}, 0}, {"text + user (ms)", {}, 0}};
    for (long q = 0; q < a.searches; ++q) {
        gw::ArchiveQuery tq, uq, bq;
        tq.text = q % 4 == 0 ? "tender" : words[50 + rng() % 2000];
        uq.user = "user" + std::to_string(rng() % static_cast<unsigned long>(a.users)) + "@corp.example";
        uq.from = start_time + static_cast<long>(rng() % static_cast<unsigned long>(span - 7 * 86400));
        uq.to = uq.from + 7 * 86400;
        bq.user = uq.user;
        bq.text = words[rng() % 200];
        gw::ArchiveQuery *queries[] = {&tq, &uq, &bq};
        for (int k = 0; k < 3; ++k) {
            std::vector<gw::ArchiveRecord> out;
            const auto t0 = Clock::now();
            if (!archive->search(*queries[k], out, error)) {
                std::fprintf(stderr, "archive_bench: search: %s\n", error.c_str());
                return 1;
            }
            kinds[k].ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            kinds[k].found += out.size();
        }
    }
    for (const auto &k : kinds)
        if (!k.ms.empty())
            std::printf("%-28s p50 %.1f, p95 %.1f, max %.1f  (%.0f results each, at most 100)\n", k.name,
                    percentile(k.ms, 0.5), percentile(k.ms, 0.95), percentile(k.ms, 1.0),
                    k.ms.empty() ? 0.0 : static_cast<double>(k.found) / static_cast<double>(k.ms.size()));
    return status;
}
