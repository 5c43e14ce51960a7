/* A sign-in on the notification connection with a contact list of N
 * contacts, as the module sees it: the server's confirmation and profile,
 * the client's first contact list (ADL) naming every contact, the
 * server's presence storm (one ILN per contact) and the end of the
 * connection. Each contact is put to the policy, logged and learnt; the
 * time per sign-in must grow with N, not with N squared. */
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <vector>

#include "bench_module.h"
#include "tq3_msnp.h"
#include "tq3_msnp_module.h"
#include "variables.h"

namespace {

const char kPolicy[] = "<trevalquin><object-list>"
                       "<person type='2' name='blocked'><handle>spy[0-9]*@rival\\.example</handle></person>"
                       "<person type='2' name='anyone'><handle>.*</handle></person>"
                       "<person type='3' name='user'><handle>user@corp.example</handle></person>"
                       "</object-list><relation-trees><node identifier='Staff'><user>user</user>"
                       "<relation object='blocked' action='block' direction='both'/>"
                       "<relation object='anyone' action='pass' direction='both'/>"
                       "</node></relation-trees></trevalquin>";

std::string payload_command(const std::string &head, const std::string &payload)
{
    return head + " " + std::to_string(payload.size()) + "\r\n" + payload;
}

/* Reads of at most 64 KiB made of whole commands. */
std::vector<std::string> in_reads(const std::vector<std::string> &commands)
{
    std::vector<std::string> reads(1);
    for (const auto &c : commands) {
        if (!reads.back().empty() && reads.back().size() + c.size() > 64 * 1024)
            reads.emplace_back();
        reads.back() += c;
    }
    return reads;
}

void feed(tq3_module *self, tqconn *conn, conn_direction dir, const std::vector<std::string> &reads)
{
    conn->direction = dir;
    tq3_iov *iov = tq3_iov_new();
    for (const auto &r : reads) {
        tq3_iov_lend(iov, r.data(), r.size()); /* as the gateway lends its reads */
        benchmark::DoNotOptimize(msnp_tasklet(self, conn, iov));
        tq3_iov_reuse(iov);
        tqevents_destroy_queue(&conn->eventsq);
    }
    tq3_iov_dtr(iov);
}

void BM_SignInWithContacts(benchmark::State &state)
{
    const size_t n = static_cast<size_t>(state.range(0));
    Module m;
    m.fresh();
    if (!m.load(kPolicy)) {
        state.SkipWithError("policy not loaded");
        return;
    }
    char dir[] = "/tmp/tq-bench-signin-XXXXXX";
    if (!mkdtemp(dir)) {
        state.SkipWithError("no temporary directory");
        return;
    }
    variable_set(m.self->ns, "s/log-dir", dir);

    /* Contacts c0@partner0.example ... with every tenth a blocked one. */
    std::string list = "<ml l=\"1\">";
    std::vector<std::string> presence;
    for (size_t i = 0; i < n; ++i) {
        std::string name = i % 10 == 9 ? "spy" + std::to_string(i) : "c" + std::to_string(i);
        std::string domain = i % 10 == 9 ? "rival.example" : "partner" + std::to_string(i % 7) + ".example";
        list += "<d n=\"" + domain + "\"><c n=\"" + name + "\" l=\"3\" t=\"1\"/></d>";
        presence.push_back("ILN 9 NLN " + name + "@" + domain + " Contact%20" + std::to_string(i) +
                           " 1342177280\r\n");
    }
    list += "</ml>";
    const std::vector<std::string> login = in_reads(
        {"USR 3 OK user@corp.example 1 0\r\n",
         payload_command("MSG Hotmail Hotmail", "Content-Type: text/x-msmsgsprofile\r\n\r\n")});
    const std::vector<std::string> adl = in_reads({payload_command("ADL 8", list)});
    const std::vector<std::string> storm = in_reads(presence);

    for (auto _ : state) {
        tqconn *conn = tqconn_new();
        feed(m.self, conn, DIR_SERVER_TO_CLIENT, login);
        feed(m.self, conn, DIR_CLIENT_TO_SERVER, adl);
        feed(m.self, conn, DIR_SERVER_TO_CLIENT, storm);
        msnp_tasklet_fini(m.self, conn);
        tqconn_destroy(conn);
    }
    state.counters["contacts"] = static_cast<double>(n);
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_SignInWithContacts)->Arg(100)->Arg(1000)->Arg(5000)->Unit(benchmark::kMillisecond);

} // namespace
