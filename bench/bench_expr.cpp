/* Content expressions on chat text: an expression object of the kinds an
 * administrator writes (words, case-blind phrases, card and account
 * numbers, an alternation) tried on ordinary chat lines, none of which
 * matches, as most messages do not. Reported: messages looked through a
 * second. */
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "tq3_msnp.h"
#include "tq3_msnp_message.h"
#include "tq3_msnp_objects_generic.h"

namespace {

const char *const kPatterns[] = {
    "/confidential/ib", "/Top Secret/ib",        "/SECRET-[0-9]+/eb", "/[0-9]{13,16}/eb",
    "/IBAN [A-Z]{2}[0-9]{2}/eb", "/tender|bid price/eib", "/password *[:=]/ib",
};

const char *const kChat[] = {
    "hi, are you coming to the meeting at three? I will bring the slides",
    "lunch at the usual place? I can be there in ten minutes or so",
    "thanks! the build passed on my machine, let me push it after lunch",
    "can you send me the report from last week, the one with the charts",
    "sure, I'll look at it tomorrow morning first thing, it is late now",
};

void BM_ExprChatText(benchmark::State &state)
{
    msnp_object_generic obj{};
    tqlist *nodes = nullptr;
    for (const char *p : kPatterns)
        tqlist_insert_end(&nodes, msnp_expr_node_new(nullptr, p));
    obj.data = nodes;
    std::vector<std::string> bodies(std::begin(kChat), std::end(kChat));
    msnp_message m{};
    m.ctype = MSNP_MESSAGE_TEXTPLAIN;
    size_t i = 0;
    for (auto _ : state) {
        std::string &body = bodies[i++ % bodies.size()];
        m.content = body.data();
        m.content_len = body.size();
        benchmark::DoNotOptimize(message_match_expressions(&obj, nullptr, nullptr, &m, nullptr));
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    msnp_destructor_expr(nodes);
}

} // namespace

BENCHMARK(BM_ExprChatText);
