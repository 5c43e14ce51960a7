// tqreplay: runs a policy over recorded MSNP traffic and says, for every
// command a decision touched, what was decided and by which rule; or,
// with --diff, only where two policies decide differently.
#include <getopt.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "capture_reader.h"
#include "module_host.h"
#include "replay.h"
#include "settings.h"
#include "verdict_trace.h"

using namespace tqreplay;

namespace {

void usage(std::ostream &out)
{
    out << "usage: tqreplay -p POLICY.xml [options] CAPTURE...\n"
           "  -p, --policy FILE    the policy to replay the captures against\n"
           "  -d, --diff FILE      print only the commands another policy decides differently\n"
           "  -j, --json           one JSON object per line instead of text\n"
           "  -c, --config FILE    the gateway's configuration (module, msnp-ports, var lines)\n"
           "  -s, --set KEY=VALUE  one setting, as the gateway's --set\n"
           "  -P, --port PORT      one more server port of notification servers (besides msnp-ports)\n"
           "  -h, --help\n"
           "CAPTURE: pcap or pcapng files, from the gateway's capture or from tcpdump/Wireshark.\n"
           "Exit status: 0 replayed, 1 a capture is damaged (what came before the damage is\n"
           "replayed), 2 bad arguments, module or policy, 3 replayed, but some of the input\n"
           "could not be read with certainty (the warnings say what and where).\n";
}

std::string local_time(time_t t)
{
    struct tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

std::vector<std::string> text_lines(const Verdict &v)
{
    std::vector<std::string> out;
    std::string note = v.outcome == "block" ? " (withheld)" : v.rewritten ? " (rewritten)" : "";
    for (const Decision &d : v.decisions)
        out.push_back(local_time(v.when) + "  " + (v.user.empty() ? "-" : v.user) + "  " + v.direction + "  " +
                      (d.contact.empty() ? "-" : d.contact) + "  " + d.verdict + note + "  \"" + v.command +
                      "\"  by " + d.by());
    return out;
}

struct Tally {
    long decided = 0, blocked = 0, alerted = 0;
};

std::vector<std::pair<std::string, Tally>> tally(const std::vector<Verdict> &verdicts)
{
    std::map<std::string, Tally> t;
    std::vector<std::string> order;
    for (const Verdict &v : verdicts) {
        std::map<std::string, std::string> seen; // rule -> strongest verdict in this command
        for (const Decision &d : v.decisions) {
            std::string &w = seen[d.by()];
            if (w != "block")
                w = d.verdict == "block" ? "block" : (d.verdict == "alert" || w == "alert") ? "alert" : d.verdict;
        }
        for (const auto &[by, verdict] : seen) {
            if (!t.count(by))
                order.push_back(by);
            Tally &x = t[by];
            ++x.decided;
            x.blocked += verdict == "block";
            x.alerted += verdict == "alert";
        }
    }
    std::vector<std::pair<std::string, Tally>> out;
    for (const auto &by : order)
        out.emplace_back(by, t[by]);
    return out;
}

void print_summary(const std::string &policy, const std::vector<Verdict> &verdicts, bool json, const char *which)
{
    auto rows = tally(verdicts);
    if (json) {
        for (const auto &[by, x] : rows) {
            std::string line = "{\"summary\":";
            gw::json_string(line, which);
            line += ",\"policy\":";
            gw::json_string(line, policy);
            line += ",\"by\":";
            gw::json_string(line, by);
            line += ",\"decided\":" + std::to_string(x.decided) + ",\"blocked\":" + std::to_string(x.blocked) +
                    ",\"alerted\":" + std::to_string(x.alerted) + "}";
            std::cout << line << "\n";
        }
        return;
    }
    std::cout << "\nsummary with " << policy << ": " << verdicts.size() << " commands decided\n";
    size_t width = 14;
    for (const auto &[by, x] : rows)
        width = std::max(width, by.size());
    std::cout << "  " << std::string("by") << std::string(width - 2, ' ') << "  decided  blocked  alerted\n";
    for (const auto &[by, x] : rows) {
        std::string n1 = std::to_string(x.decided), n2 = std::to_string(x.blocked), n3 = std::to_string(x.alerted);
        std::cout << "  " << by << std::string(width - by.size(), ' ') << "  " << std::string(7 - std::min<size_t>(7, n1.size()), ' ')
                  << n1 << "  " << std::string(7 - std::min<size_t>(7, n2.size()), ' ') << n2 << "  "
                  << std::string(7 - std::min<size_t>(7, n3.size()), ' ') << n3 << "\n";
    }
}

// What must be equal for two verdicts on one command to be the same.
std::string signature(const Verdict &v)
{
    std::string s = v.outcome + (v.rewritten ? " rewritten" : "");
    for (const Decision &d : v.decisions)
        s += "|" + d.contact + " " + d.verdict + " " + d.by();
    return s;
}

using Key = std::tuple<size_t, std::string, uint64_t>; // stream, direction, offset

Key key_of(const Verdict &v)
{
    return {v.stream, v.direction, v.offset};
}

void print_diff(const std::vector<Verdict> &a, const std::vector<Verdict> &b, bool json)
{
    std::map<Key, const Verdict *> in_b;
    for (const Verdict &v : b)
        in_b[key_of(v)] = &v;
    std::set<Key> in_a;
    // In the order of the replay: A's commands, B's own merged by time.
    std::vector<std::pair<const Verdict *, const Verdict *>> rows;
    for (const Verdict &v : a) {
        in_a.insert(key_of(v));
        auto it = in_b.find(key_of(v));
        const Verdict *other = it == in_b.end() ? nullptr : it->second;
        if (!other || signature(v) != signature(*other))
            rows.emplace_back(&v, other);
    }
    for (const Verdict &v : b)
        if (!in_a.count(key_of(v)))
            rows.emplace_back(nullptr, &v);
    std::stable_sort(rows.begin(), rows.end(), [](const auto &x, const auto &y) {
        const Verdict *p = x.first ? x.first : x.second, *q = y.first ? y.first : y.second;
        return p->when < q->when;
    });
    for (const auto &[va, vb] : rows) {
        if (json) {
            const Verdict *v = va ? va : vb;
            std::cout << "{\"stream\":" << v->stream << ",\"direction\":\"" << v->direction
                      << "\",\"offset\":" << v->offset << ",\"a\":" << (va ? va->json : "null")
                      << ",\"b\":" << (vb ? vb->json : "null") << "}\n";
            continue;
        }
        if (va)
            for (const auto &l : text_lines(*va))
                std::cout << "- " << l << "\n";
        else
            std::cout << "- " << local_time(vb->when) << "  \"" << vb->command << "\"  not decided\n";
        if (vb)
            for (const auto &l : text_lines(*vb))
                std::cout << "+ " << l << "\n";
        else
            std::cout << "+ " << local_time(va->when) << "  \"" << va->command << "\"  not decided\n";
    }
    if (!json)
        std::cout << rows.size() << " commands decided differently\n";
}

std::string sidecar_of(const std::string &capture)
{
    std::filesystem::path p(capture);
    if (p.extension() == ".pcap" || p.extension() == ".pcapng")
        p.replace_extension(".jsonl");
    else
        p += ".jsonl";
    return p.string();
}

// Removes the temporary log directory when the replay ends.
struct TempDir {
    std::string path;
    ~TempDir()
    {
        std::error_code ec;
        if (!path.empty())
            std::filesystem::remove_all(path, ec);
    }
};

} // namespace

int main(int argc, char **argv)
{
    std::string policy, other, config;
    std::vector<std::string> overrides;
    std::vector<uint16_t> extra_ports;
    bool json = false;
    static const option longs[] = {{"policy", required_argument, nullptr, 'p'},
                                   {"diff", required_argument, nullptr, 'd'},
                                   {"json", no_argument, nullptr, 'j'},
                                   {"config", required_argument, nullptr, 'c'},
                                   {"set", required_argument, nullptr, 's'},
                                   {"port", required_argument, nullptr, 'P'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "p:d:jc:s:P:h", longs, nullptr)) != -1) {
        switch (c) {
        case 'p': policy = optarg; break;
        case 'd': other = optarg; break;
        case 'j': json = true; break;
        case 'c': config = optarg; break;
        case 's': overrides.push_back(optarg); break;
        case 'P': {
            char *end = nullptr;
            long port = strtol(optarg, &end, 10);
            if (!end || *end || port < 1 || port > 65535) {
                std::cerr << "tqreplay: bad port \"" << optarg << "\"\n";
                return 2;
            }
            extra_ports.push_back(static_cast<uint16_t>(port));
            break;
        }
        case 'h': usage(std::cout); return 0;
        default: usage(std::cerr); return 2;
        }
    }
    if (policy.empty() || optind >= argc) {
        usage(std::cerr);
        return 2;
    }

    gw::Settings settings;
    std::string error;
    if (!config.empty() && !gw::read_settings_file(config, settings, error)) {
        std::cerr << "tqreplay: " << error << "\n";
        return 2;
    }
    gw::SettingsReader reader(settings);
    reader.begin_source();
    for (const auto &o : overrides)
        if (!reader.override_setting(o, error)) {
            std::cerr << "tqreplay: --set " << o << ": " << error << "\n";
            return 2;
        }

    // Every capture is read before the replay: their packets are merged by
    // time, as the gateway saw them.
    int status = 0;
    std::vector<Segment> segments;
    ReplayOptions opt;
    opt.msnp_ports = settings.msnp_ports;
    opt.msnp_ports.insert(opt.msnp_ports.end(), extra_ports.begin(), extra_ports.end());
    opt.max_held_bytes = settings.max_held_bytes;
    // Anything read with doubt (packets left out, gaps, retransmissions
    // that disagree) means the verdicts may not be the gateway's.
    bool doubtful = false;
    auto warn = [&doubtful](const std::string &w) {
        std::cerr << "tqreplay: warning: " << w << "\n";
        doubtful = true;
    };
    for (int i = optind; i < argc; ++i) {
        std::vector<std::string> doubts;
        if (!read_capture(argv[i], segments, error, doubts)) {
            std::cerr << "tqreplay: " << error << "\n";
            status = 1;
        }
        for (const auto &d : doubts)
            warn(d);
        read_connection_meta(sidecar_of(argv[i]), opt.meta);
    }
    std::stable_sort(segments.begin(), segments.end(), [](const Segment &x, const Segment &y) {
        return x.ts.tv_sec != y.ts.tv_sec ? x.ts.tv_sec < y.ts.tv_sec : x.ts.tv_usec < y.ts.tv_usec;
    });

    std::string module_path;
    if (!settings.modules.empty()) {
        module_path = settings.modules.front();
    } else {
        std::error_code ec;
        std::string exe = std::filesystem::canonical("/proc/self/exe", ec).parent_path().string();
        auto candidates = gw::default_module_candidates(exe);
        module_path = candidates.back();
        for (const auto &cand : candidates)
            if (cand.find('/') != std::string::npos && access(cand.c_str(), R_OK) == 0) {
                module_path = cand;
                break;
            }
    }
    auto module = gw::ModuleHost::load(module_path, error);
    if (!module) {
        std::cerr << "tqreplay: " << error << "\n";
        return 2;
    }
    if (!module->trace_set()) {
        std::cerr << "tqreplay: module " << module_path << " cannot explain its verdicts\n";
        return 2;
    }
    // The policy's logs go to a directory of our own, which goes at the end:
    // a replay must not add to the chat logs of real users.
    TempDir logs;
    char tmpl[] = "/tmp/tqreplay-XXXXXX";
    if (!mkdtemp(tmpl)) {
        std::cerr << "tqreplay: cannot make a temporary directory\n";
        return 2;
    }
    logs.path = tmpl;
    module->apply_variables(settings.vars);
    module->set_variable("log-dir", logs.path);

    auto load = [&](const std::string &file) {
        gw::Report report;
        bool ok = module->load_policy(file, report);
        for (const auto &[code, message] : report.errors)
            std::cerr << "tqreplay: " << file << ": error " << code << ": " << message << "\n";
        return ok && !report.failed();
    };
    if (!load(policy))
        return 2;
    std::vector<Verdict> a = replay(*module, segments, opt, warn);
    if (other.empty()) {
        for (const Verdict &v : a) {
            if (json) {
                std::cout << v.json << "\n";
            } else {
                for (const auto &l : text_lines(v))
                    std::cout << l << "\n";
            }
        }
        print_summary(policy, a, json, "a");
        return status ? status : doubtful ? 3 : 0;
    }
    gw::Report dropped;
    module->reset(dropped, true);
    if (!load(other))
        return 2;
    std::vector<Verdict> b = replay(*module, segments, opt, warn);
    print_diff(a, b, json);
    print_summary(policy, a, json, "a");
    print_summary(other, b, json, "b");
    return status ? status : doubtful ? 3 : 0;
}
