// The configuration test: what a start would refuse or report, without
// binding anything.
#include "config_check.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <iksemel.h>

#include "module_host.h"

namespace gw {

namespace {

/* Elements must close in the order they opened, and one root must hold
 * everything: the reader itself checks the characters, not the nesting. */
struct nesting {
    std::vector<std::string> open;
    int roots = 0;
    bool broken = false;
};

int on_tag(void *user, char *name, char **, int type)
{
    auto *n = static_cast<nesting *>(user);
    if (type == IKS_OPEN || type == IKS_SINGLE) {
        if (n->open.empty() && ++n->roots > 1)
            n->broken = true;
        if (type == IKS_OPEN)
            n->open.emplace_back(name);
    } else if (type == IKS_CLOSE) {
        if (n->open.empty() || n->open.back() != name)
            n->broken = true;
        else
            n->open.pop_back();
    }
    return n->broken ? IKS_HOOK : IKS_OK;
}

} // namespace

int xml_error_line(const std::string &text)
{
    nesting n;
    iksparser *p = iks_sax_new(&n, on_tag, nullptr);
    if (!p)
        return 0;
    int rc = iks_parse(p, text.c_str(), text.size(), 1);
    bool bad = rc != IKS_OK || n.broken || !n.open.empty() || n.roots != 1;
    int line = bad ? static_cast<int>(iks_nr_lines(p)) + 1 : 0;
    iks_parser_delete(p);
    return line;
}

int line_naming(const std::string &text, const std::string &name)
{
    if (name.empty())
        return 0;
    size_t best = std::string::npos;
    for (const std::string &form : {">" + name + "<", "'" + name + "'", "\"" + name + "\""})
        best = std::min(best, text.find(form));
    if (best == std::string::npos)
        return 0;
    return 1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<long>(best), '\n'));
}

namespace {

std::string origin_of(const Settings &s, const std::string &key)
{
    auto it = s.origin.find(key);
    return it == s.origin.end() ? std::string() : it->second + ": ";
}

/* "FILE:LINE: " for a message of the module about the policy: the line
 * that names the object the message ends with, when one does. */
std::string policy_place(const std::string &file, const std::string &text, const std::string &message)
{
    size_t colon = message.rfind(": ");
    int line = colon == std::string::npos ? 0 : line_naming(text, message.substr(colon + 2));
    return file + (line ? ":" + std::to_string(line) : std::string()) + ": ";
}

/* Doors through which clients beyond loopback come in without a password:
 * what they say their name is cannot be believed. */
std::vector<std::string> unauthenticated_doors(const Settings &s)
{
    std::vector<std::string> out;
    std::string beyond;
    for (const auto &n : s.effective_allow_clients())
        if (!is_loopback_network(n))
            beyond += (beyond.empty() ? "" : ",") + format_network(n);
    if (beyond.empty())
        return out;
    const std::string who = "clients of " + beyond + " (allow-clients)";
    if (s.user_file.empty() && (!s.listen.empty() || !s.http_listen.empty()))
        out.push_back(origin_of(s, "allow-clients") + "warning: " + who +
                      " use the relay without a password: set user-file to require one");
    else if (s.socks4_without_password && !s.listen.empty())
        out.push_back(origin_of(s, "socks4-without-password") + "warning: " + who +
                      " may use SOCKS4, which carries no password");
    if (!s.transparent_listen.empty())
        out.push_back(origin_of(s, "transparent-listen") + "warning: " + who +
                      " are relayed from the transparent listener, which asks no password");
    return out;
}

} // namespace

CheckResult check_configuration(const LaunchOptions &opts, const Settings &settings)
{
    CheckResult out;
    std::string problem = open_relay_problem(settings);
    if (!problem.empty())
        out.errors.push_back(origin_of(settings, "listen") + problem);
    out.warnings = unauthenticated_doors(settings);
    for (const auto &r : effective_destination_rules(settings.destination_rules))
        out.rules.push_back(r.text() + "    # " + r.origin);

    std::vector<std::string> paths = settings.modules;
    if (paths.empty()) {
        auto candidates = default_module_candidates(opts.exe_dir);
        std::string chosen = candidates.back();
        for (const auto &c : candidates)
            if (c.find('/') != std::string::npos && access(c.c_str(), R_OK) == 0) {
                chosen = c;
                break;
            }
        paths.push_back(chosen);
    }
    std::unique_ptr<ModuleHost> module;
    for (const auto &p : paths) {
        std::string error;
        auto m = ModuleHost::load(p, error);
        if (!m) {
            out.errors.push_back(origin_of(settings, "module") + error);
            continue;
        }
        if (!module)
            module = std::move(m);
    }
    if (settings.policy.empty() || !module)
        return out;

    /* Before the first start the policy does not exist yet: the document
     * named by policy-seed is what it will be made of. */
    std::string file = settings.policy;
    if (access(file.c_str(), F_OK) != 0 && !settings.policy_seed.empty())
        file = settings.policy_seed;
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        out.errors.push_back(origin_of(settings, file == settings.policy ? "policy" : "policy-seed") + file +
                             ": cannot be read: " + std::strerror(errno));
        return out;
    }
    std::stringstream buf;
    buf << in.rdbuf();
    const std::string text = buf.str();
    if (int line = xml_error_line(text)) {
        out.errors.push_back(file + ":" + std::to_string(line) + ": not well-formed XML");
        return out;
    }
    module->apply_variables(settings.module_variables());
    Report r;
    module->load_policy_text(text, file, r);
    for (const auto &[code, message] : r.errors)
        out.errors.push_back(policy_place(file, text, message) + "error " + std::to_string(code) + ": " + message);
    for (const auto &w : r.warnings)
        out.warnings.push_back(policy_place(file, text, w) + "warning: " + w);
    return out;
}

} // namespace gw
