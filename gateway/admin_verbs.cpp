// The administrative verbs.
#include "admin_verbs.h"
#include "textutil.h"

#include <cctype>

namespace gw {

namespace {

const AdminVerb kVerbs[] = {
    {"get", "NAME", AdminOp::Get, false, "the value of a module variable"},
    {"set", "NAME VALUE", AdminOp::Set, true, "set a module variable (an integer when the value is decimal)"},
    {"vars", "", AdminOp::Vars, false, "every variable and counter"},
    {"counters", "", AdminOp::Counters, false, "the statistic counters only"},
    {"save", "", AdminOp::Save, true, "write the policy file from the running policy"},
    {"reload-policy", "", AdminOp::ReloadPolicy, true,
     "load the policy file again; one that cannot be loaded leaves the running policy in place"},
    {"reset", "", AdminOp::Reset, true, "drop the module's policy"},
    {"reopen-logs", "", AdminOp::ReopenLogs, true,
     "begin the events, capture, chat and activity log files anew, after logrotate moved them (as SIGUSR1 does)"},
    {"connections", "", AdminOp::Connections, false,
     "the relayed connections, a line each: TID CLIENT -> SERVER msnp|plain USER DOOR"},
    {"info", "TID", AdminOp::Info, false, "the module's view of one connection, as XML"},
    {"help", "", AdminOp::Help, false, "this list"},
    {"msnp new", "person NAME [HANDLE [FRIENDLY]]", AdminOp::Module, true,
     "a user (HANDLE a sign-in name), a contact (HANDLE /regex/) or, without HANDLE, a super person"},
    {"msnp new", "group|time|expr|imbitmap|object NAME [WORD...]", AdminOp::Module, true,
     "another kind of object, with its first members, included objects or literals"},
    {"msnp new", "node PATH", AdminOp::Module, true, "a tree node (PATH as A/B/C), with the missing nodes above it"},
    {"msnp add", "NAME DEST [WORD...]", AdminOp::Module, true,
     "a relation with its words, a group member, a user in a node, a node under another, an inclusion or a "
     "literal, by the kinds of NAME and DEST"},
    {"msnp del", "OBJ REF...", AdminOp::Module, true,
     "remove references from OBJ: an object's name, a relation position or a 'LITERAL'"},
    {"msnp modify", "OBJ KEY: VALUE | OBJ POSITION|TARGET WORD... | OBJ contact: CUR NEW", AdminOp::Module, true,
     "a person property; relation words applied to relations; a relation re-targeted"},
    {"msnp move", "OBJ [super:] SRC DST", AdminOp::Module, true, "reorder relations, supers or group members"},
    {"msnp rename", "OBJ NEW | OBJ description: TEXT", AdminOp::Module, true, "a new name, or a description"},
    {"msnp collect", "NAME...", AdminOp::Module, true, "destroy objects"},
    {"msnp serialize", "OBJ [with-statistics] [with-contacts] | PATH [DEPTH]", AdminOp::Module, false,
     "an object, or a node and the DEPTH levels below it, as XML"},
    {"msnp glob", "PATTERN [with-statistics]", AdminOp::Module, false,
     "the objects whose names match a shell pattern"},
    {"msnp impersonate", "TID TEXT", AdminOp::Impersonate, true,
     "send TEXT as a message from the user of connection TID (as `connections` lists it; 0xHEX too) to its server"},
    {"msnp log", "list|show [USERS[:CONTACTS] [FROM:TO [TEXT]]]", AdminOp::Module, false,
     "stored conversations, listed or shown, by user and contact patterns, time range and text"},
    {"archive search", "[user:U] [contact:C] [from:TIME] [to:TIME] [verdict:V] [conversation:ID] [offset:N] "
                       "[limit:N] [format:text|jsonl|logs] [WORD...]",
     AdminOp::Archive, false,
     "archived records, newest first: user and contact patterns (* for any run), times as YYYY-MM-DD[THH:MM[:SS]] "
     "or seconds, and words the text must hold"},
    {"archive export", "CONVERSATION|QUERY [format:jsonl|html | --format jsonl|html]", AdminOp::Archive, false,
     "a conversation, or what a search finds, oldest first, as JSON lines or a page of chats"},
    {"archive verify", "", AdminOp::Archive, false,
     "check every conversation's hash chain and name each record changed, removed or inserted since it was written"},
};

// What the module itself answers for: a verb of its own we do not list.
// It checks the level of its own verbs.
const AdminVerb kOtherModuleVerb = {"msnp", "VERB WORDS...", AdminOp::Module, false, "a management command"};

std::string first_word(const std::string &text)
{
    size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos)
        return "";
    return text.substr(start, text.find_first_of(" \t", start) - start);
}

// Roman for the punctuation of an argument list, italic for its words.
std::string roff_args(const std::string &args)
{
    std::string out;
    bool italic = false;
    for (char c : args) {
        bool word = c != ' ' && c != '[' && c != ']' && c != '|' && c != '.';
        if (word != italic) {
            out += word ? "\\fI" : "\\fR";
            italic = word;
        }
        out += roff_escape(std::string(1, c));
    }
    return out + (italic ? "\\fR" : "");
}

} // namespace

std::span<const AdminVerb> admin_verbs()
{
    return kVerbs;
}

const AdminVerb *find_admin_verb(const std::string &verb, const std::string &rest)
{
    std::string name = verb;
    if (verb == "msnp" || verb == "archive") {
        std::string sub = first_word(rest);
        if (sub.empty())
            return verb == "msnp" ? &kOtherModuleVerb : nullptr;
        name += " " + sub;
    }
    for (const auto &v : kVerbs)
        if (name == v.name)
            return &v;
    return verb == "msnp" ? &kOtherModuleVerb : nullptr;
}

std::string admin_help_text()
{
    std::string out;
    for (const auto &v : kVerbs) {
        std::string usage = std::string(v.name) + (*v.args ? " " : "") + v.args;
        out += usage + (usage.size() < 28 ? std::string(28 - usage.size(), ' ') : "\n" + std::string(28, ' ')) +
               v.help + (v.changes ? " [level 0-1]" : "") + "\n";
    }
    return out;
}

std::string admin_verbs_roff()
{
    std::string out;
    for (const auto &v : kVerbs) {
        out += ".TP\n\\fB" + roff_escape(v.name) + "\\fR";
        if (*v.args)
            out += " " + roff_args(v.args);
        std::string help = v.help;
        help[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(help[0])));
        out += "\n" + roff_escape(help) + "." + (v.changes ? " Needs level 0 or 1." : "") + "\n";
    }
    return out;
}

} // namespace gw
