/* msnp_tasklet on switchboard traffic: cutting and dispatching on chunks of
 * text messages with MIME headers, typing notifications, P2P binary and
 * JOI/BYE lines; and the whole deciding path of a signed-in user's
 * messages. */
#include <benchmark/benchmark.h>
#include <pthread.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench_module.h"
#include "tq3_msnp.h"
#include "tq3_msnp_dispatcher.h"
#include "tq3_msnp_module.h"
#include "variables.h"

namespace {

std::string payload_command(const std::string &header, const std::string &payload)
{
    return header + " " + std::to_string(payload.size()) + "\r\n" + payload;
}

/* A conversation as a switchboard delivers it, with `count` commands. */
std::vector<std::string> switchboard_commands(size_t count)
{
    std::mt19937 rng(1);
    std::vector<std::string> cmds;
    unsigned trid = 1;
    while (cmds.size() < count) {
        switch (rng() % 10) {
        case 0:
            cmds.push_back("JOI carol" + std::to_string(rng() % 50) +
                           "@example.com Carol 1342177280\r\n");
            break;
        case 1:
            cmds.push_back("BYE carol" + std::to_string(rng() % 50) + "@example.com\r\n");
            break;
        case 2:
        case 3:
            cmds.push_back(payload_command("MSG bob@example.com Bob%20B",
                                           "MIME-Version: 1.0\r\n"
                                           "Content-Type: text/x-msmsgscontrol\r\n"
                                           "TypingUser: bob@example.com\r\n\r\n\r\n"));
            break;
        case 4:
        case 5: {
            std::string body(static_cast<size_t>(1 + rng() % 3000), '\0');
            for (auto &b : body)
                b = static_cast<char>(rng());
            std::string p2p = "MIME-Version: 1.0\r\nContent-Type: application/x-msnmsgrp2p\r\n"
                              "P2P-Dest: alice@example.com\r\n\r\n" +
                              std::string(48, '\0') + body + std::string(4, '\0');
            cmds.push_back(payload_command("MSG " + std::to_string(trid++) + " D", p2p));
            break;
        }
        default: {
            std::string text(static_cast<size_t>(5 + rng() % 400), 'a');
            for (auto &c : text)
                c = static_cast<char>('a' + rng() % 26);
            cmds.push_back(payload_command(
                "MSG bob@example.com Bob%20B",
                "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
                "X-MMS-IM-Format: FN=Segoe%20UI; EF=; CO=0; CS=0; PF=0\r\n\r\n" + text));
            break;
        }
        }
    }
    return cmds;
}

/* Chunks of up to 4 KiB made of whole commands, as bursts usually arrive;
 * `counts` gets the number of commands of each. */
void whole_command_chunks(const std::vector<std::string> &cmds, std::vector<std::string> *chunks,
                          std::vector<size_t> *counts)
{
    std::string cur;
    size_t n = 0;
    for (const auto &c : cmds) {
        if (!cur.empty() && cur.size() + c.size() > 4096) {
            chunks->push_back(cur);
            counts->push_back(n);
            cur.clear();
            n = 0;
        }
        cur += c;
        ++n;
    }
    chunks->push_back(cur);
    counts->push_back(n);
}

/* A connection nobody signed in on: commands that need a user pass
 * unfiltered, so this measures cutting and dispatching alone. */
struct Fixture {
    tq3_module self{};
    tqconn conn{};
    Fixture(conn_direction dir)
    {
        pthread_rwlock_init(&self.data_lock, nullptr);
        self.version = 1;
        conn.direction = dir;
        conn.clid = conn.srvd = -1;
    }
    ~Fixture() { pthread_rwlock_destroy(&self.data_lock); }
};

/* Every chunk ends at a command boundary. */
void report(benchmark::State &state, size_t bytes, size_t commands)
{
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["commands"] =
        benchmark::Counter(static_cast<double>(commands), benchmark::Counter::kIsRate);
}

void BM_TaskletWholeCommands(benchmark::State &state)
{
    std::vector<std::string> chunks;
    std::vector<size_t> counts;
    whole_command_chunks(switchboard_commands(4000), &chunks, &counts);

    Fixture f(DIR_SERVER_TO_CLIENT);
    tq3_iov *iov = tq3_iov_new();
    size_t bytes = 0, commands = 0, i = 0;
    for (auto _ : state) {
        const std::string &chunk = chunks[i];
        tq3_iov_lend(iov, chunk.data(), chunk.size()); /* as the gateway lends its reads */
        benchmark::DoNotOptimize(msnp_tasklet(&f.self, &f.conn, iov));
        tq3_iov_reuse(iov);
        bytes += chunk.size();
        commands += counts[i];
        i = (i + 1) % chunks.size();
    }
    tq3_iov_dtr(iov);
    report(state, bytes, commands);
}
BENCHMARK(BM_TaskletWholeCommands);

/* The same bursts, each arriving in two reads split at a random byte: the
 * first read usually ends inside a command and comes back in front of the
 * second, as the host does it. Bytes are counted once, as they arrive. */
void BM_TaskletSplitBursts(benchmark::State &state)
{
    std::vector<std::string> chunks;
    std::vector<size_t> counts;
    whole_command_chunks(switchboard_commands(4000), &chunks, &counts);
    std::mt19937 rng(2);
    std::vector<size_t> splits;
    for (const auto &c : chunks)
        splits.push_back(1 + rng() % (c.size() - 1));

    Fixture f(DIR_SERVER_TO_CLIENT);
    tq3_iov *iov = tq3_iov_new();
    size_t bytes = 0, commands = 0, i = 0;
    for (auto _ : state) {
        const std::string &chunk = chunks[i];
        tq3_iov_add(iov, chunk.data(), splits[i]);
        /* On MOREDATA the vector still holds the first read, as the host
         * keeps it; the second read is appended behind it. */
        if (msnp_tasklet(&f.self, &f.conn, iov) != TQ_MATCH_MOREDATA)
            tq3_iov_reuse(iov);
        tq3_iov_add(iov, chunk.data() + splits[i], chunk.size() - splits[i]);
        benchmark::DoNotOptimize(msnp_tasklet(&f.self, &f.conn, iov));
        tq3_iov_reuse(iov);
        bytes += chunk.size();
        commands += counts[i];
        i = (i + 1) % chunks.size();
    }
    tq3_iov_dtr(iov);
    report(state, bytes, commands);
}
BENCHMARK(BM_TaskletSplitBursts);

/* The relay benchmark's policy: the user's messages to the peer are
 * decided by a relation with a content expression that does not match,
 * then one with a time window and an IM type set. */
const char kDecidingPolicy[] =
    "<trevalquin><object-list>"
    "<time identifier='Always'><entry type='data'><time type='relative'>all@00:00-23:59</time></entry></time>"
    "<imbitmap identifier='Chat'><entry type='data'><acl>command_receive_message</acl></entry>"
    "<entry type='data'><acl>message_plaintext</acl></entry></imbitmap>"
    "<expr identifier='Leaks'><entry type='data'><expr type='ere'>SECRET-[0-9]+<body/></expr></entry></expr>"
    "<person type='2' name='Peer'><handle>peer@bench\\.example</handle></person>"
    "<person type='3' name='sink'><handle>sink@bench.example</handle>"
    "<attribute type='no_logs'>2</attribute></person>"
    "<person type='3' name='textsink'><handle>texts-sink@bench.example</handle></person>"
    "</object-list><relation-trees><node identifier='Bench'><user>sink</user><user>textsink</user>"
    "<relation object='Peer' action='block' direction='both'><access-list>"
    "<object type='expr'>Leaks</object></access-list></relation>"
    "<relation object='Peer' action='pass' direction='both'><access-list>"
    "<object type='time'>Always</object><object type='imbitmap'>Chat</object></access-list></relation>"
    "<relation object='Peer' action='pass' direction='both'/>"
    "</node></relation-trees></trevalquin>";

/* Text messages of `body` bytes from the signed-in user to the peer, in
 * reads of about 64 KiB as a busy relay gets them, through the policy, the
 * counters and the chat log (written to a temporary directory): with the
 * second argument 0 the user's log notes each message without its text,
 * with 1 the text is logged and handed to the host too. */
void BM_TaskletDeciding(benchmark::State &state)
{
    Module m;
    m.fresh();
    if (!m.load(kDecidingPolicy)) {
        state.SkipWithError("policy not loaded");
        return;
    }
    const std::string dir = bench_log_dir();
    if (dir.empty()) {
        state.SkipWithError("no temporary directory");
        return;
    }
    variable_set(m.self->ns, "s/log-dir", dir.c_str());
    tqconn *conn = tqconn_new();
    tq3_iov *iov = tq3_iov_new();
    const std::string login = std::string("USR 1 OK ") + (state.range(1) ? "texts-" : "") +
                              "sink@bench.example Bench\r\nJOI peer@bench.example Peer\r\n";
    conn->direction = DIR_SERVER_TO_CLIENT;
    tq3_iov_add(iov, login.data(), login.size());
    msnp_tasklet(m.self, conn, iov);
    tq3_iov_reuse(iov);

    std::string payload = "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
                          "X-MMS-IM-Format: FN=Segoe%20UI; EF=; CO=0; CS=0; PF=0\r\n\r\n";
    payload += std::string(static_cast<size_t>(state.range(0)), 'x');
    std::string chunk;
    size_t per_chunk = 0;
    for (unsigned id = 1; chunk.size() < 64 * 1024; ++id, ++per_chunk)
        chunk += payload_command("MSG " + std::to_string(id) + " N", payload);

    conn->direction = DIR_CLIENT_TO_SERVER;
    size_t bytes = 0, commands = 0;
    for (auto _ : state) {
        tq3_iov_lend(iov, chunk.data(), chunk.size());
        benchmark::DoNotOptimize(msnp_tasklet(m.self, conn, iov));
        tq3_iov_reuse(iov);
        tqevents_destroy_queue(&conn->eventsq);
        bytes += chunk.size();
        commands += per_chunk;
    }
    if (!conn->plugin)
        state.SkipWithError("the login was refused");
    msnp_tasklet_fini(m.self, conn);
    tqconn_destroy(conn);
    tq3_iov_dtr(iov);
    report(state, bytes, commands);
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_TaskletDeciding)->Args({100, 0})->Args({1340, 0})->Args({1340, 1});

} // namespace

// Linked with the gateway's allocator: the module is measured as it runs there.
BENCHMARK_MAIN();
