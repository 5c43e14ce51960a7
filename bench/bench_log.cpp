/* The "log" command finding one conversation by its text among 10,000
 * stored chat logs (100 users, 10 contacts each, 10 conversations per
 * contact, 20 lines per conversation), and listing them all. */
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench_module.h"
#include "tq3_msnp_log.h"
#include "tq3_msnp_module.h"
#include "variables.h"

namespace {

namespace fs = std::filesystem;

/* The log tree, made once for the run and removed at exit. The path is
 * never destroyed: a handler registered while a static is being made runs
 * after that static is gone, and then had no tree to remove. */
const fs::path &log_tree()
{
    static const fs::path &dir = *new fs::path([] {
        fs::path d = bench_log_dir();
        for (int u = 0; u < 100; ++u)
            for (int c = 0; c < 10; ++c) {
                fs::path contact = d / ("user" + std::to_string(u) + "@corp.example") /
                                   ("contact" + std::to_string(c) + "@partner.example");
                fs::create_directories(contact);
                for (int k = 0; k < 10; ++k) {
                    long start = 1700000000L + (u * 100 + c * 10 + k) * 60L;
                    std::ofstream out(contact / ("chat-" + std::to_string(start) + ".log"));
                    for (int line = 0; line < 20; ++line)
                        out << "<message orig='contact" << c << "@partner.example' dest='user" << u
                            << "@corp.example' verdict='pass' time='" << start + line << "'>"
                            << (u == 42 && c == 7 && k == 3 && line == 11 ? "the quarterly figures are ready"
                                                                          : "see you at the meeting tomorrow")
                            << "</message>\n";
                }
            }
        return d;
    }());
    static const int removed_at_exit = std::atexit([] { fs::remove_all(dir); });
    (void)removed_at_exit;
    return dir;
}

void run_log(benchmark::State &state, const char *words, int expected)
{
    Module m;
    m.fresh();
    variable_set(m.self->ns, "s/log-dir", log_tree().c_str());
    for (auto _ : state) {
        idl_parser_clear(m.idl);
        std::string verb = "log", rest = words;
        char *args[] = {verb.data(), rest.data(), nullptr};
        m.idl->args = args;
        msnp_config(m.self, m.idl);
        m.idl->args = nullptr;
        std::string found = m.idl->data ? m.idl->data : "";
        if (found.find("entries='" + std::to_string(expected) + "'") == std::string::npos) {
            state.SkipWithError("wrong answer");
            break;
        }
    }
}

void BM_LogShowFindsOneConversationAmong10000(benchmark::State &state)
{
    run_log(state, "show * 0: quarterly", 1);
}
BENCHMARK(BM_LogShowFindsOneConversationAmong10000)->Unit(benchmark::kMillisecond);

void BM_LogListAll10000(benchmark::State &state)
{
    run_log(state, "list", 10000);
}
BENCHMARK(BM_LogListAll10000)->Unit(benchmark::kMillisecond);

} // namespace
