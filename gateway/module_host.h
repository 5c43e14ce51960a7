// One protocol module loaded with dlopen: its record, its entry points and
// what the gateway's administration does with them.
#ifndef GW_MODULE_HOST_H
#define GW_MODULE_HOST_H

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "settings.h"
#include "tq3_trace.h"
#include "trevalquin_plugin.h"

namespace gw {

// Version of the interface this gateway offers its modules; a module whose
// `require` is higher is refused.
constexpr unsigned kHostInterfaceVersion = 1;

// What a module reported through a parser during one operation.
struct Report {
    std::vector<std::pair<int, std::string>> errors;
    std::vector<std::string> warnings;
    std::vector<std::string> events; // event XML
    std::string data;                // reply text

    void error(int code, const std::string &message) { errors.emplace_back(code, message); }
    bool failed() const { return !errors.empty(); }
    void append(Report &&other);
};

struct VariableValue {
    std::string name;
    std::string value;
    bool statistic = false;
};

class ModuleHost {
public:
    ~ModuleHost();
    ModuleHost(const ModuleHost &) = delete;
    ModuleHost &operator=(const ModuleHost &) = delete;

    // dlopen, descriptor, interface check, module record and `init`.
    static std::unique_ptr<ModuleHost> load(const std::string &path, std::string &error);
    // The same for a descriptor already in memory (`path` names it).
    static std::unique_ptr<ModuleHost> adopt(const tq3_module_ops *ops, const std::string &path,
                                             std::string &error);

    tq3_module *record() const { return mod_; }
    // Held shared while a chunk is decided and exclusively while the policy
    // is replaced: no command is decided between dropping the old policy
    // and loading the new one (it would meet an empty policy).
    std::shared_mutex &policy_gate() { return gate_; }
    const tq3_module_ops &ops() const { return *ops_; }
    const std::string &path() const { return path_; }
    std::string name() const { return ops_->name ? ops_->name : "?"; }
    bool handles_traffic() const { return ops_->tasklet != nullptr; }
    // What a module that explains its verdicts exports (null otherwise).
    tq3_trace_set_fn trace_set() const { return trace_set_; }
    tq3_clock_set_fn clock_set() const { return clock_set_; }
    tq3_conn_user_fn conn_user() const { return conn_user_; }
    tq3_conn_user_fn conn_contacts() const { return conn_contacts_; }

    // Module variables of the configuration.
    void apply_variables(const std::vector<ModuleVariable> &vars);
    bool get_variable(const std::string &name, std::string &value) const;
    void set_variable(const std::string &name, const std::string &value);
    // Every variable sorted by name; only counters with `statistics_only`.
    std::vector<VariableValue> variables(bool statistics_only) const;

    // `setconfig` with the text of FILE (import mode, level 0). False when
    // the file cannot be read or is not accepted; `report` has the rest.
    bool load_policy(const std::string &file, Report &report);
    // The same with the document's text (`file` names it in messages).
    bool load_policy_text(const std::string &text, const std::string &file, Report &report);
    // The running policy as a document (`getconfig`).
    bool policy_text(std::string &text);
    // The one way a running policy is replaced (SIGHUP, `reload-policy`):
    // FILE is read and checked first, commands wait while it is loaded, and
    // a file that cannot be read, is not well-formed or that the module
    // refuses leaves the running policy in place; the error names the file
    // (and the line) and says so.
    bool reload_policy(const std::string &file, Report &report);
    // Reloads so far, that replaced the policy and that left it in place.
    uint64_t reloads(bool succeeded) const { return (succeeded ? reloads_ok_ : reloads_failed_).load(); }
    // `getconfig` written to FILE atomically.
    bool save_policy(const std::string &file, Report &report);
    // Drops the policy. `quiet`: the objects' events are not gathered (a
    // reload drops thousands of objects and the reload says so once).
    void reset(Report &report, bool quiet = false);
    // One management command through `config`.
    void config(const std::string &verb, const std::string &rest, const std::string &user,
                int level, Report &report);
    // `info` for one connection; false when the module has none.
    bool info(tqconn *conn, std::string &text);

    void schedtask(long elapsed);
    void statistics(int keep, time_t now);

private:
    bool reload_policy_checked(const std::string &file, Report &report);
    std::atomic<uint64_t> reloads_ok_{0}, reloads_failed_{0};
    ModuleHost() = default;

    void *dl_ = nullptr;
    const tq3_module_ops *ops_ = nullptr;
    tq3_module *mod_ = nullptr;
    std::string path_;
    tq3_trace_set_fn trace_set_ = nullptr;
    tq3_clock_set_fn clock_set_ = nullptr;
    tq3_conn_user_fn conn_user_ = nullptr;
    tq3_conn_user_fn conn_contacts_ = nullptr;
    // Serialises administrative entry points of this module, so that a
    // reload (reset + setconfig) is not interleaved with a command.
    mutable std::recursive_mutex admin_;
    std::shared_mutex gate_;
};

// Writes `contents` to FILE through a temporary file in the same directory,
// fsync and rename, so that readers see the old or the new file, never a
// part. False with `error` set.
bool write_file_atomically(const std::string &file, const std::string &contents,
                           std::string &error);

// Where the default module is looked for: next to the executable, in its
// parent directory, then the bare name for the loader's search path.
std::vector<std::string> default_module_candidates(const std::string &exe_dir);

} // namespace gw

#endif
