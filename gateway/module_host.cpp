// Module loading and the administrative entry points.
#include "module_host.h"

#include "config_check.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tqevents_interface.h"
#include "variables.h"
#include "textutil.h"

namespace gw {

namespace {

// A parser record for one operation; its gathered results become a Report.
class Parser {
public:
    Parser(const std::string &user, int level, bool import)
    {
        p_ = idl_parser_new();
        if (!p_)
            return;
        p_->import = import ? 1 : 0;
        name_ = strdup(user.c_str());
        user_.name = name_;
        user_.level = level;
        p_->user = &user_;
    }
    ~Parser()
    {
        idl_parser_destroy(p_);
        std::free(name_);
        for (char *a : args_)
            std::free(a);
    }
    Parser(const Parser &) = delete;
    Parser &operator=(const Parser &) = delete;

    idl_parser *get() { return p_; }

    // args[0] the verb, args[1] the rest of the line (never NULL).
    void set_args(const std::string &verb, const std::string &rest)
    {
        args_ = {strdup(verb.c_str()), strdup(rest.c_str()), nullptr};
        p_->args = args_.data();
        p_->argc = rest.empty() ? 1 : 2;
    }

    void collect(Report &r)
    {
        if (!p_)
            return;
        for (tqlist *n = p_->errors; n; n = n->next) {
            const char *line = static_cast<const char *>(n->data);
            char *end = nullptr;
            long code = std::strtol(line, &end, 10);
            if (end && end[0] == ':' && end[1] == ' ')
                r.error(static_cast<int>(code), end + 2);
            else
                r.error(0, line);
        }
        for (tqlist *n = p_->warnings; n; n = n->next)
            r.warnings.emplace_back(static_cast<const char *>(n->data));
        for (tqlist *n = p_->events; n; n = n->next) {
            auto *ev = static_cast<event_t *>(n->data);
            if (ev && ev->text)
                r.events.emplace_back(ev->text);
        }
        if (p_->data)
            r.data += p_->data;
        idl_parser_clear(p_);
    }

private:
    idl_parser *p_ = nullptr;
    idl_user user_{};
    char *name_ = nullptr;
    std::vector<char *> args_;
};

bool read_file(const std::string &file, std::string &out, std::string &error)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = file + ": cannot read the policy file: " + std::strerror(errno);
        return false;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return true;
}

} // namespace

void Report::append(Report &&other)
{
    for (auto &e : other.errors)
        errors.push_back(std::move(e));
    for (auto &w : other.warnings)
        warnings.push_back(std::move(w));
    for (auto &e : other.events)
        events.push_back(std::move(e));
    data += other.data;
}

std::unique_ptr<ModuleHost> ModuleHost::load(const std::string &path, std::string &error)
{
    void *dl = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!dl) {
        const char *why = dlerror();
        error = "cannot load module " + path + ": " + (why ? why : "unknown error");
        return nullptr;
    }
    dlerror();
    auto *ops = static_cast<const tq3_module_ops *>(dlsym(dl, TQ3_PLUGIN_SYMBOL));
    if (!ops) {
        error = "module " + path + " has no " TQ3_PLUGIN_SYMBOL " descriptor";
        dlclose(dl);
        return nullptr;
    }
    auto h = adopt(ops, path, error);
    if (h) {
        h->dl_ = dl;
        h->mod_->dl_handle = dl;
        h->trace_set_ = reinterpret_cast<tq3_trace_set_fn>(dlsym(dl, TQ3_TRACE_SET_SYMBOL));
        h->clock_set_ = reinterpret_cast<tq3_clock_set_fn>(dlsym(dl, TQ3_CLOCK_SET_SYMBOL));
        h->conn_user_ = reinterpret_cast<tq3_conn_user_fn>(dlsym(dl, TQ3_CONN_USER_SYMBOL));
        h->conn_contacts_ = reinterpret_cast<tq3_conn_user_fn>(dlsym(dl, TQ3_CONN_CONTACTS_SYMBOL));
    }
    return h;
}

std::unique_ptr<ModuleHost> ModuleHost::adopt(const tq3_module_ops *ops, const std::string &path,
                                              std::string &error)
{
    if (!ops) {
        error = "module " + path + " has no descriptor";
        return nullptr;
    }
    if (ops->require > kHostInterfaceVersion) {
        error = "module " + path + " requires host interface " + std::to_string(ops->require) +
                ", this gateway offers " + std::to_string(kHostInterfaceVersion);
        return nullptr;
    }
    std::unique_ptr<ModuleHost> h(new ModuleHost);
    h->path_ = path;
    h->mod_ = tq3_module_new(ops);
    if (!h->mod_) {
        error = "module " + path + ": out of memory";
        return nullptr;
    }
    if (ops->init) {
        std::vector<char *> argv = {h->path_.data(), nullptr};
        int rc = ops->init(h->mod_, argv.data());
        if (rc != 0) {
            error = "module " + path + " refused to start (init returned " + std::to_string(rc) +
                    ")";
            tq3_module_destroy(h->mod_);
            h->mod_ = nullptr;
            return nullptr;
        }
    }
    h->ops_ = ops;
    return h;
}

ModuleHost::~ModuleHost()
{
    if (mod_ && ops_ && ops_->fini)
        ops_->fini(mod_);
    tq3_module_destroy(mod_);
    // The code stays mapped: a module keeps its registry in its own
    // globals and may have handed out pointers into it (events, counters).
    // Unmapping buys nothing at exit and would turn all of it into leaks.
}

void ModuleHost::apply_variables(const std::vector<ModuleVariable> &vars)
{
    for (const auto &v : vars)
        variable_set(mod_->ns, ((v.integer ? "i/" : "s/") + v.name).c_str(), v.value.c_str());
}

bool ModuleHost::get_variable(const std::string &name, std::string &value) const
{
    tqtable_rdlock(mod_->ns);
    auto *var = static_cast<tq_variable *>(mod_->ns->get(mod_->ns, name.c_str()));
    char *text = var ? variable_to_string(var) : nullptr;
    tqtable_unlock(mod_->ns);
    if (!text)
        return false;
    value = text;
    std::free(text);
    return true;
}

void ModuleHost::set_variable(const std::string &name, const std::string &value)
{
    variable_set(mod_->ns, ((is_decimal(value) ? "i/" : "s/") + name).c_str(), value.c_str());
}

std::vector<VariableValue> ModuleHost::variables(bool statistics_only) const
{
    struct Walk {
        std::vector<VariableValue> out;
        bool statistics_only;
    } walk{{}, statistics_only};
    tqtable_rdlock(mod_->ns);
    linear_entries_direct(
        mod_->ns,
        [](const char *key, void *value, void *arg) -> int {
            auto *w = static_cast<Walk *>(arg);
            auto *var = static_cast<tq_variable *>(value);
            bool stat = var && (var->flags & VARIABLE_STATISTIC);
            if (!var || (w->statistics_only && !stat))
                return 0;
            char *text = variable_to_string(var);
            w->out.push_back(VariableValue{key, text ? text : "", stat});
            std::free(text);
            return 0;
        },
        &walk);
    tqtable_unlock(mod_->ns);
    std::sort(walk.out.begin(), walk.out.end(),
              [](const VariableValue &a, const VariableValue &b) { return a.name < b.name; });
    return std::move(walk.out);
}

bool ModuleHost::load_policy(const std::string &file, Report &report)
{
    std::string text, error;
    if (!read_file(file, text, error)) {
        report.error(27, error);
        return false;
    }
    return load_policy_text(text, file, report);
}

bool ModuleHost::policy_text(std::string &text)
{
    if (!ops_->getconfig)
        return false;
    std::lock_guard<std::recursive_mutex> g(admin_);
    Parser p("gateway", 0, false);
    char *xml = ops_->getconfig(mod_, p.get());
    if (!xml)
        return false;
    text = xml;
    std::free(xml);
    return true;
}

bool ModuleHost::load_policy_text(const std::string &text, const std::string &file, Report &report)
{
    if (!ops_->setconfig) {
        report.warnings.push_back("module " + name() + " takes no policy; " + file +
                                  " was not loaded");
        return true;
    }
    std::lock_guard<std::recursive_mutex> g(admin_);
    Parser p("gateway", 0, true);
    if (!p.get()) {
        report.error(30, "out of memory");
        return false;
    }
    int ok = ops_->setconfig(mod_, p.get(), text.c_str());
    p.collect(report);
    if (!ok) {
        report.error(2, file + ": the policy is not well-formed XML");
        return false;
    }
    return true;
}

bool ModuleHost::reload_policy(const std::string &file, Report &report)
{
    const bool ok = reload_policy_checked(file, report);
    ++(ok ? reloads_ok_ : reloads_failed_);
    return ok;
}

bool ModuleHost::reload_policy_checked(const std::string &file, Report &report)
{
    const std::string kept = "; the running policy is kept";
    std::lock_guard<std::recursive_mutex> g(admin_);
    std::string text, error;
    if (!read_file(file, text, error)) {
        report.error(27, error + kept);
        return false;
    }
    // A document that is not well-formed is not even tried.
    if (int line = xml_error_line(text)) {
        report.error(2, file + ":" + std::to_string(line) + ": not well-formed XML" + kept);
        return false;
    }
    std::string running;
    bool have_running = policy_text(running);
    // Commands wait while the policy is replaced (a few hundred ms for
    // 10,000 users) rather than meet no policy at all.
    std::unique_lock<std::shared_mutex> gate(gate_);
    reset(report, true);
    if (load_policy_text(text, file, report) && !report.failed())
        return true;
    // One the module reports errors for is undone by loading the running
    // policy again.
    if (have_running) {
        Report undo;
        reset(undo, true);
        load_policy_text(running, "the running policy", undo);
    }
    report.error(2, file + ": the module refused it" + kept);
    return false;
}

bool ModuleHost::save_policy(const std::string &file, Report &report)
{
    if (file.empty()) {
        report.error(30, "no policy file is configured");
        return false;
    }
    if (!ops_->getconfig) {
        report.error(30, "Module does not support saving its configuration");
        return false;
    }
    char *xml;
    {
        std::lock_guard<std::recursive_mutex> g(admin_);
        Parser p("gateway", 0, false);
        xml = ops_->getconfig(mod_, p.get());
        p.collect(report);
    }
    if (!xml) {
        report.error(30, "the module produced no configuration");
        return false;
    }
    std::string contents(xml);
    std::free(xml);
    if (contents.empty() || contents.back() != '\n')
        contents += '\n';
    std::string error;
    if (!write_file_atomically(file, contents, error)) {
        report.error(30, error);
        return false;
    }
    return true;
}

void ModuleHost::reset(Report &report, bool quiet)
{
    if (!ops_->reset)
        return;
    std::lock_guard<std::recursive_mutex> g(admin_);
    // A parser that imports wants no object events: without it, each member
    // leaving a group rendered the whole group again, and dropping 10,000
    // users in groups of 100 held the policy for seconds.
    Parser p("gateway", 0, quiet);
    ops_->reset(mod_, p.get());
    p.collect(report);
}

void ModuleHost::config(const std::string &verb, const std::string &rest,
                        const std::string &user, int level, Report &report)
{
    if (!ops_->config) {
        report.error(30, "Module does not support management commands");
        return;
    }
    std::lock_guard<std::recursive_mutex> g(admin_);
    Parser p(user, level, false);
    if (!p.get()) {
        report.error(30, "out of memory");
        return;
    }
    p.set_args(verb, rest);
    ops_->config(mod_, p.get());
    p.collect(report);
}

bool ModuleHost::info(tqconn *conn, std::string &text)
{
    if (!ops_->info)
        return false;
    char *s = ops_->info(mod_, conn);
    text = s ? s : "";
    std::free(s);
    return true;
}

// The timers change what administration commands read and drop (a reset
// frees the users a quota period walks): one at a time with them.
void ModuleHost::schedtask(long elapsed)
{
    if (!ops_->schedtask)
        return;
    std::lock_guard<std::recursive_mutex> g(admin_);
    ops_->schedtask(mod_, elapsed);
}

void ModuleHost::statistics(int keep, time_t now)
{
    if (!ops_->statistics)
        return;
    std::lock_guard<std::recursive_mutex> g(admin_);
    ops_->statistics(mod_, keep, now);
}

bool write_file_atomically(const std::string &file, const std::string &contents,
                           std::string &error)
{
    size_t slash = file.rfind('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : file.substr(0, slash));
    std::string tmpl = file + ".XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        error = "cannot create a temporary file next to " + file + ": " + std::strerror(errno);
        return false;
    }
    // Keep the permissions of the file being replaced, but never let the
    // policy be read by others or changed by the group.
    struct stat st{};
    fchmod(fd, stat(file.c_str(), &st) == 0 ? (st.st_mode & 0640) : 0640);
    size_t done = 0;
    bool ok = true;
    while (done < contents.size()) {
        ssize_t n = write(fd, contents.data() + done, contents.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (!ok || fsync(fd) != 0) {
        error = "cannot write " + std::string(name.data()) + ": " + std::strerror(errno);
        close(fd);
        unlink(name.data());
        return false;
    }
    close(fd);
    if (rename(name.data(), file.c_str()) != 0) {
        error = "cannot rename to " + file + ": " + std::strerror(errno);
        unlink(name.data());
        return false;
    }
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return true;
}

std::vector<std::string> default_module_candidates(const std::string &exe_dir)
{
    std::vector<std::string> c;
    if (!exe_dir.empty()) {
        c.push_back(exe_dir + "/libtq3_msnp.so");
        size_t slash = exe_dir.rfind('/');
        if (slash != std::string::npos) {
            std::string parent = slash == 0 ? std::string() : exe_dir.substr(0, slash);
            c.push_back(parent + "/libtq3_msnp.so");
            /* Installed: PREFIX/sbin/trevalquin, PREFIX/lib/trevalquin/. */
            c.push_back(parent + "/lib/trevalquin/libtq3_msnp.so");
        }
    }
    c.push_back("libtq3_msnp.so");
    return c;
}

} // namespace gw
