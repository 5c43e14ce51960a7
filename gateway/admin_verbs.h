// The administrative verbs, in one table: what each takes, whether it
// changes the gateway or its policy (then level 0 or 1 is needed), whether
// it needs the module, and its line of help. The administration socket, the
// console, `tqctl help` and tqctl's manual page read it.
#ifndef GW_ADMIN_VERBS_H
#define GW_ADMIN_VERBS_H

#include <span>
#include <string>

namespace gw {

enum class AdminOp { Help, Get, Set, Vars, Counters, Save, ReloadPolicy, Reset, Connections, Info, Module, Impersonate, ReopenLogs, Archive };

struct AdminVerb {
    const char *name; // "save"; a module verb as "msnp new"
    const char *args; // as the help writes them
    AdminOp op;
    bool changes;     // needs level 0 or 1
    const char *help;
};

// The row of a request's verb (for `msnp`, of its first word as well), or
// null for a verb nobody knows. `msnp` with a word not listed here still
// goes to the module, which answers for (and checks the level of) its own.
const AdminVerb *find_admin_verb(const std::string &verb, const std::string &rest);

std::span<const AdminVerb> admin_verbs();

// Every verb, a line each, for `help`.
std::string admin_help_text();
// The same as the entries of a manual page's section.
std::string admin_verbs_roff();

} // namespace gw

#endif
