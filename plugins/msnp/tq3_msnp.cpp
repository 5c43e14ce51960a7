/* The module's face towards the host: the exported descriptor, the
 * registry global, the per-chunk and end-of-connection entry points, start
 * and reload, the policy document in both directions, and the
 * administrative entry points (reset, statistics persistence). */
#include <iksemel.h>

#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "tq3_core_interface.h"
#include "tq3_iovec.h"
#include "tq3_msnp.h"
#include "tq3_msnp_config.h"
#include "tq3_msnp_conntrack.h"
#include "tq3_msnp_dispatcher.h"
#include "tq3_msnp_framing.h"
#include "tq3_msnp_handlers.h"
#include "tq3_msnp_identity.h"
#include "tq3_msnp_log.h"
#include "tq3_msnp_message.h"
#include "tq3_msnp_module.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_objects_generic.h"
#include "tq3_msnp_rtree.h"
#include "tq3_msnp_statistics.h"
#include "tq3_msnp_task.h"
#include "tq3_msnp_trace.h"
#include "tq3_msnp_xml.h"
#include "tqconn.h"
#include "tqidl.h"
#include "trevalquin_plugin.h"
#include "utils.h"

extern "C" {

msnp_entities *ents = nullptr;

/* Entry points left null here arrive with the code that implements them
 * (management commands, timers, connection information). */
const tq3_module_ops plugin_data = {
    .name = "msnp",
    .description = "MSN",
    .author = "Trevalquin gateway team",
    .owner = "Trevalquin gateway team",
    .tag = "$Id: tq3_msnp.cpp 23.50 $",
    .version = 23,
    .patch = 50,
    .require = 1,
    .tasklet = msnp_tasklet,
    .tasklet_init = nullptr,
    .tasklet_fini = msnp_tasklet_fini,
    .init = msnp_init,
    .fini = nullptr,
    .postinit = nullptr,
    .config = msnp_config,
    .getconfig = msnp_getconfig,
    .setconfig = msnp_setconfig,
    .statistics = msnp_statistics_persistence,
    .schedtask = msnp_schedtask,
    .reload = msnp_reload,
    .poll = nullptr,
    .info = msnp_info,
    .reset = msnp_reset,
    .alarm = nullptr,
    .task_alarm = nullptr,
};

} // extern "C"

namespace {

/* True when the chunk's last piece may still continue in bytes the host
 * has not seen: it does not end in CR LF, or it is a payload command that
 * the chunk cut short. A payload cut right after a CR LF inside it would
 * otherwise be dispatched truncated and its tail would arrive as a chunk
 * that starts in the middle of a command. */
bool ends_inside_command(const tq3_decouple_data *dd)
{
    if (!dd->moredata || dd->size == 0)
        return false;
    if (dd->incomplete)
        return true;
    const char *piece = dd->ptrs[dd->size - 1];
    size_t len = dd->ptrsize[dd->size - 1];
    return len < 2 || piece[len - 1] != '\n' || piece[len - 2] != '\r';
}

/* An orphaned connection's user in the policy now in force: false when it
 * has none (or a disabled one), and the connection ends. */
bool readopt(msnp_conntrack *ct, tq3_module *self, tqconn *conn)
{
    if (!ents)
        return false;
    msnp_policy_write policy;
    if (!ct->orphaned.load(std::memory_order_relaxed))
        return true; /* another chunk of the connection was first */
    msnp_person *person = msnp_search_user(ct->user_handle);
    if (!person || person->disabled)
        return false;
    /* The new policy admits the user as a sign-in would: a proxy account,
     * a network or a quota it now sets ends a connection it refuses. */
    task_struct t{};
    t.conn = conn;
    t.self = self;
    if (msnp_admission_checks(&t, person) == TQ_MATCH_BLOCK)
        return false;
    ct->person = person;
    ct->orphaned.store(false, std::memory_order_release);
    return true;
}

msnp_dialect dialect_of(const tqconn *conn)
{
    return msnp_dialect_unpack(conn->frame_state, conn->direction == DIR_CLIENT_TO_SERVER);
}

/* Commands of the versions after the cap that carry what the policy does
 * not decide: messages, presence and contact changes. */
bool undecided_carrier(const char *piece, size_t size)
{
    if (size < 4 || piece[3] != ' ')
        return false;
    for (const char *word : {"SDG", "PUT", "DEL", "NFY"})
        if (memcmp(piece, word, 3) == 0)
            return true;
    return false;
}

/* A piece that is not a command of the connection's dialect (a word its
 * peers do not send, a line that is no command at all, a command of a
 * version the policy does not read) is never relayed undecided: it is
 * dropped under "strict" and when malformed, and otherwise gets the
 * policy's "default-action" (dropped when that is unset). The server may
 * read such bytes differently from us, which is exactly how a message would
 * be hidden from the policy. */
bool unreadable(const tq3_decouple_data *dd, size_t i, const msnp_table *entry)
{
    if (dd->fit[i] != MSNP_FIT_COMMAND)
        return true;
    return entry->opcode == MSN_OPCODE_UNKNOWN && undecided_carrier(dd->ptrs[i], dd->ptrsize[i]);
}

match_t decide_unreadable(tqconn *conn, const char *piece, size_t size, int fit)
{
    static msnp_stat_family counters("stats-command-unknown");
    match_t verdict = TQ_MATCH_BLOCK;
    if (fit != MSNP_FIT_MALFORMED && msnp_get_var_long("strict", 0) == 0) {
        const char *action = msnp_get_var("default-action", nullptr);
        if (action && strcmp(action, "pass") == 0)
            verdict = TQ_MATCH_PASS;
        else if (action && strcmp(action, "alert") == 0)
            verdict = TQ_MATCH_ALERT;
    }
    counters.count();
    counters.count_result(verdict);
    msnp_trace_decision(nullptr, verdict,
                        fit == MSNP_FIT_MALFORMED ? "malformed command"
                        : verdict == TQ_MATCH_BLOCK ? "unknown command"
                                                    : "unknown command, default action",
                        nullptr);
    /* The user's activity log says what came (the line's start, printable);
     * before a user is known there is nobody's log to write. */
    const auto *ct = static_cast<const msnp_conntrack *>(conn->plugin);
    if (!ct || !ct->person)
        return verdict;
    std::string detail;
    for (size_t k = 0; k < size && k < 40 && piece[k] != '\r'; ++k)
        detail += piece[k] >= 0x20 && piece[k] < 0x7f ? piece[k] : '?';
    const bool out = conn->direction == DIR_CLIENT_TO_SERVER;
    msn_sb_activity_log(nullptr, conn,
                        tqevents_shortcut_log_activity(out ? ct->user_handle : "server", out ? "server" : ct->user_handle,
                                                       fit == MSNP_FIT_MALFORMED ? "malformed-command" : "unknown-command",
                                                       detail.c_str(), ct->session, verdict));
    return verdict;
}

/* One piece of a chunk decided: by its handler when it is a command of the
 * connection's dialect, as unreadable otherwise. */
match_t decide_piece(task_struct **task, tqconn *conn, tq3_decouple_data *dd, size_t i, tq3_module *self,
                     const msnp_table *entry, bool in_place)
{
    if (unreadable(dd, i, entry)) {
        *task = nullptr;
        return decide_unreadable(conn, dd->ptrs[i], dd->ptrsize[i], dd->fit[i]);
    }
    return in_place ? tq3_msn_dispatch_in_place(task, conn, dd, i, self, entry)
                    : tq3_msn_dispatch_entry(task, conn, dd, i, self, entry);
}

/* What a client sends before the server has confirmed who it is: nothing
 * can be decided for a user not known yet, and passing it would let a
 * message ride in the same write as the sign-in. The commands wait here,
 * whole and in order, until the confirmation decides them or the refusal
 * ends the connection. */
struct parking_lot {
    std::mutex lock;
    std::unordered_map<const tqconn *, std::string> held;
};

parking_lot &parking()
{
    static parking_lot lot;
    return lot;
}

/* The client's commands that make the sign-in itself. */
bool signs_in(const msnp_table *entry)
{
    if (!entry)
        return false;
    switch (entry->opcode) {
    case MSN_OPCODE_VER:
    case MSN_OPCODE_CVR:
    case MSN_OPCODE_USR:
    case MSN_OPCODE_ANS:
    case MSN_OPCODE_INF:
        return true;
    default:
        return false;
    }
}

bool awaiting_sign_in(const tqconn *conn)
{
    const auto *ct = static_cast<const msnp_conntrack *>(conn->plugin);
    return !ct || !ct->confirmed;
}

bool has_parked(const tqconn *conn)
{
    parking_lot &p = parking();
    std::lock_guard<std::mutex> guard(p.lock);
    auto it = p.held.find(conn);
    return it != p.held.end() && !it->second.empty();
}

/* False when the client has sent more than it may before its sign-in. */
bool park(const tqconn *conn, const char *bytes, size_t size)
{
    const size_t limit = static_cast<size_t>(msnp_get_var_long("signin-held-max", 65536));
    parking_lot &p = parking();
    std::lock_guard<std::mutex> guard(p.lock);
    std::string &held = p.held[conn];
    if (held.size() + size > limit) {
        p.held.erase(conn);
        return false;
    }
    held.append(bytes, size);
    return true;
}

std::string unpark(const tqconn *conn)
{
    parking_lot &p = parking();
    std::lock_guard<std::mutex> guard(p.lock);
    std::string out;
    auto it = p.held.find(conn);
    if (it != p.held.end()) {
        out.swap(it->second);
        p.held.erase(it);
    }
    return out;
}

/* The confirmation came: what waited is decided as if it arrived now, and
 * what passes goes to the server after the confirmation. */
void decide_parked(tq3_module *self, tqconn *conn, msnp_table_lookup lookup)
{
    std::string bytes = unpark(conn);
    if (bytes.empty())
        return;
    const conn_direction direction = conn->direction;
    conn->direction = DIR_CLIENT_TO_SERVER;
    /* Cut again in the version the sign-in settled. */
    tq3_decouple_data *dd =
        tq3_msn_decouple_as(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), dialect_of(conn));
    if (!dd) {
        conn->direction = direction;
        return;
    }
    std::string out;
    for (size_t i = 0; i < dd->size; ++i) {
        task_struct *task = nullptr;
        match_t verdict = decide_piece(&task, conn, dd, i, self, tq3_msn_piece_entry(dd, i, lookup), false);
        if (verdict == TQ_MATCH_PASS || verdict == TQ_MATCH_ALERT) {
            if (task && task->data_buffer)
                out.append(task->data_buffer, task->buffer_size);
            else if (!task)
                out.append(dd->ptrs[i], dd->ptrsize[i]);
        }
        task_struct_destroy(task);
    }
    conn->direction = direction;
    tq3_decouple_data_destroy(dd);
    if (!out.empty())
        tqconn_send(conn, conn->srvd, out.data(), out.size());
}

} // namespace

match_t msnp_tasklet_lookup(tq3_module *self, tqconn *conn, tq3_iov *iov,
                            msnp_table_lookup lookup)
{
    if (!conn || !iov)
        return TQ_MATCH_PASS;
    if (!lookup)
        lookup = table_search_opcode_wrapper;

    /* The decoupler takes its own padded copy: a chunk in one piece (as
     * the host hands them) is read where it lies, not first joined. */
    size_t len = 0;
    unsigned char *buf = nullptr;
    const unsigned char *bytes;
    if (iov->iovc == 1) {
        bytes = iov->data[0];
        len = iov->size[0];
    } else {
        bytes = buf = tq3_iov_reassembly(iov, &len);
    }
    if (!bytes || len == 0) {
        free(buf);
        return TQ_MATCH_PASS;
    }

    tq3_decouple_data *dd = tq3_msn_decouple_as(bytes, len, dialect_of(conn));
    if (!dd || dd->size == 0) {
        tq3_decouple_data_destroy(dd);
        free(buf);
        return TQ_MATCH_PASS;
    }
    /* Keep nothing: the host hands these bytes back in front of the next
     * chunk of this connection and direction. (Every command of the chunk
     * is decided on its own below, whatever stands before it: a numeric
     * reply or an unknown word ahead of a MSG carries nothing through.) */
    if (ends_inside_command(dd)) {
        tq3_decouple_data_destroy(dd);
        free(buf);
        return TQ_MATCH_MOREDATA;
    }

    tq3_iov_reuse(iov);
    bool lost = false;
    auto *tracked = static_cast<msnp_conntrack *>(conn->plugin);
    if (tracked && tracked->orphaned.load(std::memory_order_acquire) && !readopt(tracked, self, conn)) {
        tq3_decouple_data_destroy(dd);
        free(buf);
        conn->poison_match = TQ_MATCH_BLOCK;
        return TQ_MATCH_BLOCK;
    }
    /* The commands are decided where they lie in the decoupled copy, which
     * the vector then keeps: what passes goes out from there, neighbours as
     * one piece. A verdict trace compares each command with what came, so
     * its tasks work on copies of their own, as they do when there is no
     * memory to hand the copy over. */
    bool in_place = !msnp_tracing() && tq3_iov_keep(iov, dd->base) == 1;
    if (in_place)
        dd->base = nullptr;
    /* The handlers read the policy and the person of the tracker: no
     * management command changes or frees them until the chunk is done. */
    msnp_policy_read policy;
    const bool from_client = conn->direction == DIR_CLIENT_TO_SERVER;
    const bool was_awaiting = awaiting_sign_in(conn);
    bool parking_now = from_client && was_awaiting && has_parked(conn);
    for (size_t i = 0; i < dd->size; ++i) {
        task_struct *task = nullptr;
        const msnp_table *entry = tq3_msn_piece_entry(dd, i, lookup);
        if (from_client && awaiting_sign_in(conn) && (parking_now || !signs_in(entry))) {
            parking_now = true;
            if (!park(conn, dd->ptrs[i], dd->ptrsize[i])) {
                lost = true;
                break;
            }
            continue;
        }
        msnp_trace_begin();
        match_t verdict = decide_piece(&task, conn, dd, i, self, entry, in_place);
        if (msnp_tracing()) {
            bool same = !task || !task->data_buffer ||
                        (task->buffer_size == dd->ptrsize[i] && memcmp(task->data_buffer, dd->ptrs[i], dd->ptrsize[i]) == 0);
            msnp_trace_end(conn, dd->ptrs[i], dd->ptrsize[i], static_cast<size_t>(dd->ptrs[i] - dd->ptrs[0]), verdict,
                           verdict != TQ_MATCH_BLOCK && !same);
        }
        if (verdict == TQ_MATCH_ALERT)
            verdict = TQ_MATCH_PASS;
        if (verdict == TQ_MATCH_PASS) {
            /* Without a task the command goes on untouched. The task's
             * bytes (rewritten or not) are handed over as they are. */
            int kept_piece;
            if (!task) {
                kept_piece = in_place ? tq3_iov_lend(iov, dd->ptrs[i], dd->ptrsize[i])
                                      : tq3_iov_add(iov, dd->ptrs[i], dd->ptrsize[i]);
            } else if (task->data_lent) {
                kept_piece = tq3_iov_lend(iov, task->data_buffer, task->buffer_size);
            } else {
                kept_piece = task->data_buffer && tq3_iov_take(iov, task->data_buffer, task->buffer_size);
                if (kept_piece)
                    task->data_buffer = nullptr;
            }
            lost = lost || !kept_piece;
        }
        task_struct_destroy(task);
    }
    if (!from_client && was_awaiting && !lost) {
        if (conn->poison_match == TQ_MATCH_BLOCK)
            unpark(conn); /* refused: what waited goes with the connection */
        else if (!awaiting_sign_in(conn))
            decide_parked(self, conn, lookup);
    }
    msnp_log_flush(conn);

    tq3_decouple_data_destroy(dd);
    free(buf);
    if (lost) {
        /* A command the policy let through could not be kept (no memory):
         * the rest of the stream would arrive with a hole in it, so the
         * connection ends instead, where the host can say why. */
        conn->poison_match = TQ_MATCH_BLOCK;
        return TQ_MATCH_BLOCK;
    }
    return TQ_MATCH_PASS;
}

match_t msnp_tasklet(tq3_module *self, tqconn *conn, tq3_iov *iov)
{
    return msnp_tasklet_lookup(self, conn, iov, table_search_opcode_wrapper);
}

int msnp_config(tq3_module *self, idl_parser *idl)
{
    if (!idl || !idl->args || !idl->args[0])
        return 0;
    const char *verb = idl->args[0];
    const msnp_token *token = msnp_token_structure(verb);
    if (token->token_type == MSNP_TOKEN_UNKNOWN) {
        if (idl->error)
            idl->error(idl, 2, "Unknown definition (msnp): %s", verb);
        return 0;
    }
    char *rest = idl->args[1] ? strdup(idl->args[1]) : nullptr;
    char *words[256] = {};
    int n = rest ? strexplode(rest, words, 255, " \t", '"') : 0;
    words[n > 0 ? n : 0] = nullptr;
    char **args = rest ? words : nullptr;

    switch (token->token_type) {
    case MSNP_TOKEN_LOG: msnp_log(idl, args); break;
    case MSNP_TOKEN_IMPERSONATE: msnp_impersonate(idl, args); break;
    case MSNP_TOKEN_GLOB: msnp_glob_object(idl, args); break;
    case MSNP_TOKEN_SERIALIZE: msnp_serialize_object(idl, args); break;
    default: {
        /* Every other verb changes objects that deciding threads read
         * under the read side: one change at a time, and none while a
         * command is being decided. */
        if (!ents)
            break;
        std::unique_lock<msnp_policy_lock> policy(ents->root_lock);
        switch (token->token_type) {
        case MSNP_TOKEN_NEW:
            if (!args || !args[0]) {
                if (idl->error)
                    idl->error(idl, 2, "Missing definitions to construct");
            } else {
                msnp_new_object(idl, args[0], args[1], args[1] ? args + 2 : nullptr);
            }
            break;
        case MSNP_TOKEN_DEL: msnp_del_object(idl, args); break;
        case MSNP_TOKEN_ADD: msnp_add_object(idl, args); break;
        case MSNP_TOKEN_MODIFY: msnp_modify_object(idl, args); break;
        case MSNP_TOKEN_MOVE: msnp_move_object(idl, args); break;
        case MSNP_TOKEN_COLLECT: msnp_collect_object(self, idl, args); break;
        case MSNP_TOKEN_RENAME: msnp_rename_object(idl, args); break;
        default: break;
        }
    }
    }
    free(rest);
    /* The parser carries the outcome: its errors, warnings and reply. */
    return 0;
}

char *msnp_info(tq3_module *self, tqconn *conn)
{
    (void)self;
    if (!conn || !conn->plugin)
        return nullptr;
    iks *x = serialize_conntrack(static_cast<msnp_conntrack *>(conn->plugin));
    if (!x)
        return nullptr;
    const char *text = iks_string(iks_stack(x), x);
    char *copy = text ? strdup(text) : nullptr;
    iks_delete(x);
    return copy;
}

int msnp_tasklet_fini(tq3_module *self, tqconn *conn)
{
    if (conn)
        unpark(conn);
    if (!conn || !conn->plugin)
        return 0;
    auto *ct = static_cast<msnp_conntrack *>(conn->plugin);

    /* The person may be collected by a command meanwhile (the tracker then
     * loses it): it is read under the policy lock. */
    msnp_policy_read policy;
    msnp_person *person = ct->person;
    /* A person's block is shared by all its connections, which end on
     * threads of their own. */
    if (person)
        __atomic_fetch_add(&person->stats.chat_time, ct->stats.get(&msnp_statistics::chat_time),
                           __ATOMIC_RELAXED);
    if (ct->master == 1 && person) {
        msnp_user *user = person->user;
        if (user) {
            user->welcomed = 0;
            user->master = 0;
        }
        msn_sb_activity_log(nullptr, conn,
                            tqevents_shortcut_contact_activity(person->handle, EVENT_CODE_LOG_LOGOUT,
                                                               TQ_MATCH_PASS));
    }

    conn->plugin = nullptr;
    if (self) {
        pthread_rwlock_wrlock(&self->data_lock);
        tqlist_unlink_remove_ref(&self->data, ct);
        pthread_rwlock_unlock(&self->data_lock);
    }
    msnp_conntrack_destroy(ct);
    return 0;
}

/* ------------------------------------------------------------------ */
/* Initialisation and the policy document                              */
/* ------------------------------------------------------------------ */

int msnp_init(tq3_module *self, char **arg)
{
    (void)arg;
    if (!self || self->version == 0)
        return 1;
    /* The registry outlives code reloads; a second start keeps it. */
    if (self->block)
        return 0;
    return msnp_entities_new(self) ? 0 : 1;
}

void msnp_reload(tq3_module *self, char **arg)
{
    (void)arg;
    if (self)
        ents = static_cast<msnp_entities *>(self->block);
}

int msnp_setconfig(tq3_module *self, idl_parser *idl, const char *config)
{
    (void)self;
    if (!config || !ents)
        return 0;
    iks *doc = msnp_xml_parse(config, strlen(config), nullptr);
    if (!doc)
        return 0;
    /* Matching reads the tree and the relations under the read side; a
     * load changes both, so it holds the write side for its whole run as
     * the changing management commands do. */
    {
        std::unique_lock<msnp_policy_lock> guard(ents->root_lock);
        for (iks *x = iks_first_tag(doc); x; x = iks_next_tag(x))
            tq3_config_dispatch(idl, x);
    }
    iks_delete(doc);
    return 1;
}

char *msnp_getconfig(tq3_module *self, idl_parser *idl)
{
    (void)self;
    (void)idl;
    if (!ents)
        return nullptr;
    iks *doc = iks_new("trevalquin");
    if (!doc)
        return nullptr;
    iks_insert_attrib(doc, "version", "1.0");

    std::shared_lock<msnp_policy_lock> guard(ents->root_lock);
    long persist = msnp_get_var_long("persist-statistics", 0);
    iks *objects = msnp_serialize_objects_from_glob("*", persist != 0);
    if (objects) {
        iks_insert_node(doc, iks_copy_within(objects, iks_stack(doc)));
        iks_insert_cdata(doc, "\n", 1);
        iks_delete(objects);
    }

    iks *trees = iks_insert(doc, "relation-trees");
    iks_insert_cdata(trees, "\n", 1);
    iks *scratch = iks_new("rtree");
    if (scratch) {
        iks *root = msnp_serialize_object_node(ents->root, scratch, static_cast<unsigned>(-1));
        /* The document holds what the root holds, not the root itself. */
        if (root)
            slurp_xml_tree(trees, root);
        iks_delete(scratch);
    }
    guard.unlock();

    const char *text = iks_string(iks_stack(doc), doc);
    char *copy = text ? strdup(text) : nullptr;
    iks_delete(doc);
    return copy;
}

/* ------------------------------------------------------------------ */
/* Administration                                                      */
/* ------------------------------------------------------------------ */

void msnp_collect_all_from_generic_table(idl_parser *idl, tqtable *generic)
{
    if (!generic)
        return;
    /* Destruction under the held write lock takes the plain removal:
     * the table's lock is not recursive. */
    tqtable_wrlock(generic);
    while (tqtable_count(generic) > 0) {
        tqlist *values = generic->values(generic);
        if (!values)
            break;
        for (tqlist *l = values; l; l = l->next)
            msnp_destroy_object_generic(idl, static_cast<msnp_object_generic *>(l->data), 1);
        tqlist_destroy_without_refs(&values);
    }
    tqtable_unlock(generic);
}

void msnp_reset(tq3_module *self, idl_parser *idl)
{
    if (!ents)
        return;
    if (!self)
        self = ents->self;
    std::unique_lock<msnp_policy_lock> guard(ents->root_lock);
    for (tqlist *l = ents->root->siblings, *next; l; l = next) {
        next = l->next;
        auto *node = static_cast<msnp_rtree *>(l->data);
        if (idl && idl->event) {
            char *path = rtree_reverse(node);
            event_t *ev = path ? tqevents_shortcut_object_collect(path) : nullptr;
            if (ev)
                idl->event(idl, ev);
            free(path);
        }
        msnp_rtree_unlink_node(idl, node);
    }

    /* Destroying a person or a group destroys no other, so one snapshot of
     * each table serves the whole sweep (a copy per object would make the
     * reset of a large policy quadratic). */
    /* A reset is most often the first half of a reload: connected users
     * keep their connections until the policy that follows says otherwise. */
    tqlist *people = ents->people->values_safe(ents->people);
    msnp_destroy_people(self, idl, people, true);
    tqlist_destroy_without_refs(&people);

    tqlist *groups = ents->groups->values_safe(ents->groups);
    for (tqlist *l = groups; l; l = l->next)
        if (l->data != ents->group_local)
            msnp_destroy_group(idl, static_cast<msnp_group *>(l->data));
    tqlist_destroy_without_refs(&groups);

    msnp_collect_all_from_generic_table(idl, ents->imbitmaps);
    msnp_collect_all_from_generic_table(idl, ents->exprs);
    msnp_collect_all_from_generic_table(idl, ents->times);
    msnp_collect_all_from_generic_table(idl, ents->objects);
}

namespace {

int visit_persist(const char *, void *value, void *arg)
{
    msnp_persist_statistics(static_cast<msnp_person *>(value), *static_cast<int *>(arg));
    return 0;
}

} // namespace

namespace {

/* A quota period runs down; a new one restores the allowance. */
int visit_quota_period(const char *, void *value, void *arg)
{
    auto *u = static_cast<msnp_user *>(value);
    long elapsed = *static_cast<long *>(arg);
    if (!u || u->bounty_life == 0)
        return 0;
    if (u->bounty_lifecur > 0) {
        u->bounty_lifecur -= static_cast<int>(elapsed);
    } else {
        u->bounty_lifecur = u->bounty_life;
        u->bounty_current = u->bounty_initial;
    }
    return 0;
}

/* One connection's share of the periodic work: guest expiry, quota use
 * and the repeated warning. */
void tick_tracker(msnp_conntrack *ct, long elapsed, time_t now)
{
    msnp_user *u = ct->person ? ct->person->user : nullptr;
    if (u) {
        if (u->guest_time && u->guest_grace && now - u->guest_time >= u->guest_grace) {
            ct->conn->poison_match = TQ_MATCH_BLOCK;
            return;
        }
        if (u->bounty_life != 0 && u->bounty_lifecur > 0) {
            u->bounty_current -= static_cast<int>(elapsed);
            if (u->bounty_current <= 0 && msnp_get_var_long("bounties-out", 0) != 0)
                ct->conn->poison_match = TQ_MATCH_BLOCK;
        }
    }
    std::string first;
    {
        std::shared_lock<std::shared_mutex> guard(ct->ss_users_lock);
        if (!ct->ss_users)
            return;
        if (ct->ss_users->data)
            first = static_cast<const char *>(ct->ss_users->data);
    }
    /* Inside the warning window the warning is repeated every time_warn
     * seconds. The first message sets last_warn, so the window has always
     * closed by then: as the handlers stand, this never sends. */
    if (ct->clean_to_warn != 0 && now - ct->clean_to_warn < ct->time_warn) {
        if (ct->time_warn != 0 && now - ct->last_warn >= ct->time_warn) {
            message_by_var(ct->conn, nullptr, "message-warning-text");
            if (msnp_get_var_long("message-warning-self", 0) != 0 && !first.empty())
                message_by_var(ct->conn, first.c_str(), "message-warning-text");
            ct->last_warn = msnp_now();
        }
        return;
    }
    if (ct->clean_to_warn != 0)
        msnp_mark_idle_conntrack(ct);
}

} // namespace

void msnp_schedtask(tq3_module *self, long elapsed)
{
    if (!ents)
        return;
    tqtable_rdlock(ents->users);
    linear_entries_direct(ents->users, visit_quota_period, &elapsed);
    tqtable_unlock(ents->users);

    if (self) {
        pthread_rwlock_wrlock(&self->data_lock);
        time_t now = msnp_now();
        for (tqlist *l = self->data; l; l = l->next) {
            auto *ct = static_cast<msnp_conntrack *>(l->data);
            if (ct && ct->conn)
                tick_tracker(ct, elapsed, now);
        }
        pthread_rwlock_unlock(&self->data_lock);
    }

    long flush_every = msnp_get_var_long("log-flush-time", 14400);
    if (flush_every <= 0)
        return;
    ents->log_flush += elapsed;
    if (ents->log_flush >= flush_every) {
        ents->log_flush = 0;
        msnp_flush_logs();
    }
}

void msnp_statistics_persistence(tq3_module *self, int count, time_t now)
{
    (void)self;
    (void)now;
    if (!ents || !ents->people)
        return;
    tqtable_rdlock(ents->people);
    linear_entries_direct(ents->people, visit_persist, &count);
    tqtable_unlock(ents->people);
}
