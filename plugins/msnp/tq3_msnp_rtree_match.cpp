/* Policy matching. A command concerning a remote contact is decided by
 * the first relation that applies, searched in this order: the user's own
 * relations, the implicit super, the user's supers, then the tree nodes
 * holding the user from the nearest up to the root. Quotas and the
 * source-address rule can decide first; "default-action" answers when no
 * relation does.
 *
 * The whole search holds the read side of ents->root_lock, so a policy
 * change (made under its write side) never meets a decision half way. */
#include <regex.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "tq3_core_interface.h"
#include "tq3_msnp.h"
#include "tq3_msnp_conntrack.h"
#include "tq3_msnp_identity.h"
#include "tq3_msnp_match.h"
#include "tq3_msnp_message.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_objects_generic.h"
#include "tq3_msnp_relation.h"
#include "tq3_msnp_rtree.h"
#include "tq3_msnp_statistics.h"
#include "tq3_msnp_task.h"
#include "tq3_msnp_trace.h"
#include "utils.h"

namespace {

/* A thread's last answers about a handle (asked of an owner, a person or
 * none), for as long as no policy change came in between and the registry
 * is the same one: every message of a conversation asks the same questions
 * about the same handles, and the tables and patterns behind the answers
 * take a lock or a regular expression per question. */
template <typename Value, size_t N> class policy_memo {
public:
    template <typename Compute> Value find(const void *owner, const char *handle, Compute compute)
    {
        unsigned long changes = msnp_policy_lock::changes();
        unsigned long long generation = ents ? ents->generation : 0;
        std::string_view asked(handle); /* measured once for all the answers */
        for (const answer &a : answers_)
            if (a.known && a.owner == owner && a.changes == changes && a.generation == generation &&
                a.handle == asked)
                return a.value;
        answer &a = answers_[next_++ % N];
        a.value = compute();
        a.owner = owner;
        a.changes = changes;
        a.generation = generation;
        a.handle = handle;
        a.known = true;
        return a.value;
    }

private:
    struct answer {
        bool known = false;
        const void *owner = nullptr;
        unsigned long changes = 0;
        unsigned long long generation = 0;
        std::string handle;
        Value value{};
    };
    answer answers_[N];
    size_t next_ = 0;
};
/* The contact of the decision this thread is making. */
struct contact_key {
    const char *handle = nullptr;
    const msnp_person *user = nullptr;
    /* The relation that decided, for the verdict trace. */
    const msnp_relates *by = nullptr;
};

/* What a deciding thread keeps, in one block that a function finds once. */
struct matcher_memory {
    policy_memo<msnp_person *, 4> user_persons; /* the user index: contacts that are users */
    policy_memo<msnp_person *, 2> signed_in;    /* the run-time users: the connection's own */
    /* Several relations of a node commonly name the same contact person. */
    policy_memo<bool, 8> pattern_answers;
    contact_key deciding;
    std::string canonical; /* the handle being decided, as servers compare it */
};

class deciding_about {
public:
    deciding_about(matcher_memory &mem, const char *handle) : mem_(mem)
    {
        mem.deciding = {handle,
                        mem.user_persons.find(nullptr, handle, [&] { return msnp_user_handle_find(handle); }),
                        nullptr};
    }
    ~deciding_about() { mem_.deciding = {}; }
    deciding_about(const deciding_about &) = delete;
    deciding_about &operator=(const deciding_about &) = delete;

private:
    matcher_memory &mem_;
};

/* Risk is added by several deciding threads at once. Most relations carry
 * none: adding nothing would still take each counter's cache line. */
void add_risk(risk_t &level, risk_t risk)
{
    if (risk != 0)
        std::atomic_ref<risk_t>(level).fetch_add(risk, std::memory_order_relaxed);
}

void forget(tqlist **visited)
{
    /* Called around every object list of every relation, mostly empty. */
    if (*visited)
        tqlist_destroy_without_refs(visited);
}

match_t default_action()
{
    const char *action = msnp_get_var("default-action", nullptr);
    if (!action)
        return TQ_MATCH_NONE;
    if (strcmp(action, "pass") == 0)
        return TQ_MATCH_PASS;
    if (strcmp(action, "block") == 0)
        return TQ_MATCH_BLOCK;
    if (strcmp(action, "continue") == 0)
        return TQ_MATCH_CONTINUE;
    if (strcmp(action, "alert") == 0)
        return TQ_MATCH_ALERT;
    return TQ_MATCH_NONE; /* "none" and anything unknown */
}

void count(match_t r)
{
    static std::atomic<tq_variable *> sites[4] = {};
    msnp_stat_bump_verdict(sites, "stats-match", r);
}

/* The relation search proper (stages a to d), with R from the earlier
 * steps. */
match_t search_relations(msnp_person *user, task_struct *t, const char *handle, match_t r)
{
    if (user->contactl)
        r = rtree_match_contact_iterate(user->contactl, t, handle);
    if (r == TQ_MATCH_NONE) {
        const char *implicit = msnp_get_var("implicit-super", nullptr);
        msnp_person *super = implicit ? msnp_search_person(implicit, 0) : nullptr;
        if (super && super->type == PERSON_SUPER) {
            r = rtree_match_user_supers(super, t, handle);
            forget(&t->lda_supers);
        }
    }
    for (tqlist *l = user->supers; l && r == TQ_MATCH_NONE; l = l->next) {
        r = rtree_match_user_supers(static_cast<msnp_person *>(l->data), t, handle);
        forget(&t->lda_supers);
    }
    for (tqlist *l = user->rtree_backref; l && r == TQ_MATCH_NONE; l = l->next)
        r = rtree_backref_recurse(static_cast<msnp_rtree *>(l->data), t, handle);
    return r;
}

} // namespace

match_t rtree_backref_match(task_struct *_tstruct, const char *handle)
{
    match_t r = TQ_MATCH_NONE;
    if (!handle || !_tstruct || !_tstruct->conn || !ents) {
        count(r);
        return r;
    }
    auto *ct = static_cast<msnp_conntrack *>(_tstruct->conn->plugin);

    msnp_policy_read policy;
    matcher_memory &mem = tq_thread_object<matcher_memory>();
    /* "Bob@Example.COM", "bob%40example.com" and "1:bob@example.com;{..}"
     * are one contact to the server, and so to the policy. */
    handle = msnp_canonical_handle_in(handle, mem.canonical);
    deciding_about contact(mem, handle);
    msnp_person *user = nullptr;
    if (ct && ct->user_handle)
        user = mem.signed_in.find(nullptr, ct->user_handle, [&] { return msnp_search_user(ct->user_handle); });
    if (user && user->handle && strcasecmp(handle, user->handle) == 0) {
        msnp_trace_decision(handle, TQ_MATCH_PASS, "own handle", nullptr);
        return TQ_MATCH_PASS;
    }

    /* What decided when no relation did (a relation that decides is
     * noted in `deciding` and stands above this). */
    const char *rule = nullptr;
    bool decided = false; /* steps 5 and 6 skip the relation search */
    if (user) {
        r = msnp_search_source(user, _tstruct);
        forget(&_tstruct->lda_supers);
        decided = r == TQ_MATCH_BLOCK && msnp_get_var_long("source-address-block", 1) != 0;
        if (r != TQ_MATCH_NONE)
            rule = "source address";
    }
    if (!decided && user && user->user && user->user->bounty_life != 0 && user->user->bounty_current < 1) {
        r = TQ_MATCH_BLOCK;
        if (_tstruct->opcode == MSN_OPCODE_MSG && msnp_get_var_long("bounties-warning", 0) != 0 &&
            user->no_warnings == 0 && message_by_var(_tstruct->conn, handle, "bounties-text"))
            r = static_cast<match_t>(TQ_MATCH_BLOCK | TQ_MATCH_ADVISED);
        decided = true;
        rule = "quota";
    }
    if (!decided) {
        if (!user || user->disabled) {
            msnp_trace_decision(handle, r, user ? "disabled user" : "no user", nullptr);
            count(r);
            return r;
        }
        r = search_relations(user, _tstruct, handle, r);
    }
    if (r == TQ_MATCH_NONE) {
        r = default_action();
        rule = "default action";
    }
    if (msnp_tracing())
        msnp_trace_decision(handle, r, rule, mem.deciding.by);
    count(r);
    return r;
}

match_t rtree_backref_recurse(msnp_rtree *node, task_struct *_tstruct, const char *handle)
{
    match_t r = TQ_MATCH_NONE;
    for (; node && r == TQ_MATCH_NONE; node = node->backref)
        r = rtree_match_contact_iterate(node->contactl, _tstruct, handle);
    return r;
}

match_t rtree_match_user_supers(msnp_person *super, task_struct *_tstruct, const char *handle)
{
    if (!super)
        return TQ_MATCH_NONE;
    match_t r = rtree_match_contact_iterate(super->contactl, _tstruct, handle);
    for (tqlist *l = super->supers; l && r == TQ_MATCH_NONE; l = l->next) {
        auto *next = static_cast<msnp_person *>(l->data);
        if (msnp_first_visit(&_tstruct->lda_supers, next))
            r = rtree_match_user_supers(next, _tstruct, handle);
    }
    return r;
}

match_t rtree_match_contact_iterate(tqlist *clist, task_struct *_tstruct, const char *handle)
{
    match_t r = TQ_MATCH_NONE;
    for (tqlist *l = clist; l && r == TQ_MATCH_NONE; l = l->next)
        r = rtree_match_contact(static_cast<msnp_relates *>(l->data), _tstruct, handle);
    return r;
}

match_t rtree_match_contact(msnp_relates *relation, task_struct *_tstruct, const char *handle)
{
    if (!relation || (relation->flags & RELATION_DISABLED))
        return TQ_MATCH_NONE;
    if (relation->risk_threshold && _tstruct->risk_level < relation->risk_threshold)
        return TQ_MATCH_NONE;
    if ((relation->direction == DIR_SERVER_TO_CLIENT || relation->direction == DIR_CLIENT_TO_SERVER) &&
        relation->direction != _tstruct->conn->direction)
        return TQ_MATCH_NONE;
    if (relation->rel_type == MSNP_OBJECT_PERSON)
        return match_relation_single(static_cast<msnp_person *>(relation->relation), relation, _tstruct,
                                     handle);
    if (relation->rel_type == MSNP_OBJECT_GROUP) {
        match_t r = match_relation_group(static_cast<msnp_group *>(relation->relation), relation, _tstruct,
                                         handle);
        forget(&_tstruct->lda_groups);
        return r;
    }
    return TQ_MATCH_PASS;
}

namespace {

/* Whether the contact pattern of `person` names `handle`. */
bool pattern_names(const msnp_person *person, const char *handle)
{
    return tq_thread_object<matcher_memory>().pattern_answers.find(person, handle, [&] {
        bool matched = regexec(person->re_handle, handle, 0, nullptr, 0) == 0;
        return person->handle[0] == '!' ? !matched : matched;
    });
}

/* Whether the person names the contact: a user by its handle (in any case), a
 * contact person by its pattern (inverted by a leading "!"). During a
 * decision the contact's own user person, if any, is known from the
 * handle index (user handles are unique), so a user member of a group is
 * told apart by its address instead of a read of its handle. */
bool person_names(const msnp_person *person, const char *handle)
{
    if (!person || !person->handle)
        return false;
    if (person->type == PERSON_USER) {
        const contact_key &key = tq_thread_object<matcher_memory>().deciding;
        if (handle == key.handle)
            return person == key.user;
        return strcasecmp(person->handle, handle) == 0;
    }
    if (person->type == PERSON_CONTACT && person->re_handle)
        return pattern_names(person, handle);
    return false;
}

} // namespace

match_t match_relation_single(msnp_person *person, msnp_relates *relation, task_struct *_tstruct,
                              const char *handle)
{
    return person_names(person, handle) ? match_relation(relation, _tstruct, person) : TQ_MATCH_NONE;
}

namespace {

/* Whether a contact person (a pattern) is a member anywhere below `group`.
 * Kept in the group until a membership changes anywhere: deciding threads
 * that compute it at once store the same answer. */
bool patterns_below(msnp_group *group)
{
    uint64_t changes = msnp_group_changes();
    if (group->below_change.load(std::memory_order_acquire) == changes)
        return group->below_patterns.load(std::memory_order_relaxed) != 0;
    std::vector<const msnp_group *> seen, todo{group};
    bool found = false;
    while (!todo.empty() && !found) {
        const msnp_group *g = todo.back();
        todo.pop_back();
        if (std::find(seen.begin(), seen.end(), g) != seen.end())
            continue;
        seen.push_back(g);
        found = g->patterns != 0;
        if (g->subgroups)
            for (tqlist *l = g->glist; l; l = l->next) {
                auto *record = static_cast<const msnp_group_member *>(l->data);
                if (record && record->type == MSNP_OBJECT_GROUP)
                    todo.push_back(static_cast<const msnp_group *>(record->member));
            }
    }
    group->below_patterns.store(found, std::memory_order_relaxed);
    group->below_change.store(changes, std::memory_order_release);
    return found;
}

/* Whether `user` is a member of `group` or of a group below it, found by
 * climbing from the user's own memberships: a user is in a few groups, a
 * group of groups may hold thousands. */
bool member_below(const msnp_group *group, const msnp_person *user)
{
    std::vector<const msnp_group *> seen, todo;
    for (tqlist *l = user->group_backref; l; l = l->next)
        todo.push_back(static_cast<const msnp_group_member *>(l->data)->back);
    while (!todo.empty()) {
        const msnp_group *g = todo.back();
        todo.pop_back();
        if (g == group)
            return true;
        if (!g || std::find(seen.begin(), seen.end(), g) != seen.end())
            continue;
        seen.push_back(g);
        for (tqlist *l = g->group_backref; l; l = l->next)
            todo.push_back(static_cast<const msnp_group_member *>(l->data)->back);
    }
    return false;
}

} // namespace

/* Each member is tried once per relation, which also ends cycles between
 * groups. A person that does not name the contact gives nothing however
 * often it is tried, so only the persons that do are recorded: a group of
 * fifty costs fifty handle tests, not fifty list insertions. */
match_t match_relation_group(msnp_group *group, msnp_relates *relation, task_struct *_tstruct,
                             const char *handle)
{
    match_t r = TQ_MATCH_NONE;
    if (!group)
        return r;
    /* Read once: in a module each thread-local read is a call. */
    const contact_key key = tq_thread_object<matcher_memory>().deciding;
    if (handle == key.handle && !patterns_below(group)) {
        /* Only user persons are below, and of those only the contact's own
         * user can name the contact: its memberships say whether it is one
         * here, without a walk through the group. */
        if (!key.user || !member_below(group, key.user))
            return r;
        auto *user = const_cast<msnp_person *>(key.user);
        if (!msnp_first_visit(&_tstruct->lda_groups, user))
            return r;
        return match_relation_single(user, relation, _tstruct, handle);
    }
    for (tqlist *l = group->glist; l && r == TQ_MATCH_NONE; l = l->next) {
        auto *record = static_cast<msnp_group_member *>(l->data);
        if (!record)
            continue;
        if (record->type == MSNP_OBJECT_PERSON) {
            /* Deciding, only a pattern needs its person read: any other
             * person names the contact only as the contact's own user. */
            if (handle == key.handle && !record->pattern) {
                if (record->member != key.user)
                    continue;
            } else if (!person_names(static_cast<const msnp_person *>(record->member), handle)) {
                continue;
            }
        }
        if (msnp_first_visit(&_tstruct->lda_groups, record->member))
            r = match_relation_group_member(record, relation, _tstruct, handle);
    }
    return r;
}

match_t match_relation_group_member(msnp_group_member *member, msnp_relates *relation, task_struct *_tstruct,
                                    const char *handle)
{
    if (member->type == MSNP_OBJECT_PERSON)
        return match_relation_single(static_cast<msnp_person *>(member->member), relation, _tstruct, handle);
    if (member->type == MSNP_OBJECT_GROUP)
        return match_relation_group(static_cast<msnp_group *>(member->member), relation, _tstruct, handle);
    return TQ_MATCH_NONE;
}

match_t match_relation(msnp_relates *relation, task_struct *_tstruct, msnp_person *contact)
{
    match_t m = TQ_MATCH_NONE;
    const bool bitmaps = relation->imbitmaps != nullptr;
    const bool exprs = relation->exprs != nullptr;
    /* Expressions read every command that carries text to a contact:
     * MSG, and the messages, pages and invitations through the server. */
    msnp_message *msg = _tstruct->message;
    const bool carries_text = msg != nullptr;

    bool restricted = true;
    if (relation->times) {
        forget(&_tstruct->lda_objects);
        m = foreach_time_match(_tstruct, relation->times);
        forget(&_tstruct->lda_objects);
        if (m == TQ_MATCH_NONE)
            return TQ_MATCH_NONE; /* outside every window */
        restricted = bitmaps || exprs;
    }
    if (restricted) {
        if (bitmaps) {
            forget(&_tstruct->lda_objects);
            m = foreach_imbitmap_match(relation->imbitmaps, relation, _tstruct);
            forget(&_tstruct->lda_objects);
        }
        if (!bitmaps && !exprs) {
            m = TQ_MATCH_PASS;
        } else if (bitmaps || carries_text) {
            match_t before = m;
            if (carries_text && exprs && m == TQ_MATCH_NONE)
                m = TQ_MATCH_PASS;
            if (m == TQ_MATCH_PASS && carries_text && exprs) {
                msnp_expr_type_refs refs{};
                forget(&_tstruct->lda_objects);
                m = foreach_expr_match(relation->exprs, relation, &refs, _tstruct);
                forget(&_tstruct->lda_objects);
                /* Expressions that looked at nothing this message has leave
                 * the IM type result standing. */
                if (m == TQ_MATCH_NONE && !refs.raw && !refs.header) {
                    bool concerned = (msg->ctype == MSNP_MESSAGE_TEXTPLAIN && refs.body) ||
                                     (msg->itype == MSNP_INVITE_FILETRANSFER && refs.fname) ||
                                     (msg->ctype == MSNP_MESSAGE_P2P && msg->itype == MSNP_INVITE_UNKNOWN);
                    if (!concerned)
                        m = before;
                }
            }
        } else {
            m = TQ_MATCH_NONE; /* expressions, and the command is not a message */
        }
    }

    if (m == TQ_MATCH_PASS &&
        (relation->action == TQ_MATCH_BLOCK || relation->action == TQ_MATCH_NONE ||
         relation->action == TQ_MATCH_CONTINUE || relation->action == TQ_MATCH_ALERT))
        m = relation->action;
    if (m != TQ_MATCH_NONE) {
        risk_t risk = relation->risk_level;
        add_risk(_tstruct->conn->risk_level, risk);
        add_risk(_tstruct->risk_level, risk);
        if (contact)
            add_risk(contact->risk_level, risk);
        auto *ct = static_cast<msnp_conntrack *>(_tstruct->conn->plugin);
        if (ct && ct->person)
            add_risk(ct->person->risk_level, risk);
        if (m != TQ_MATCH_CONTINUE && msnp_tracing())
            tq_thread_object<matcher_memory>().deciding.by = relation;
    }
    return m == TQ_MATCH_CONTINUE ? TQ_MATCH_NONE : m;
}

/* ------------------------------------------------------------------ */
/* Time windows                                                        */
/* ------------------------------------------------------------------ */

match_t foreach_time_match(task_struct *_tstruct, tqlist *times)
{
    match_t m = TQ_MATCH_NONE;
    for (tqlist *l = times; l && m == TQ_MATCH_NONE; l = l->next) {
        auto *time = static_cast<msnp_object_generic *>(l->data);
        if (time && msnp_first_look(&_tstruct->lda_objects, time))
            m = recurse_and_match_time(_tstruct, time);
    }
    return m;
}

match_t recurse_and_match_time(task_struct *_tstruct, msnp_object_generic *time)
{
    for (tqlist *l = static_cast<tqlist *>(time->data); l; l = l->next)
        if (match_time_node(static_cast<const msnp_time_node *>(l->data)) == TQ_MATCH_PASS)
            return TQ_MATCH_PASS;
    return time->sibs ? foreach_time_match(_tstruct, time->sibs) : TQ_MATCH_NONE;
}

match_t match_time_node(const msnp_time_node *node)
{
    return msnp_time_node_match(node, msnp_now()) ? TQ_MATCH_PASS : TQ_MATCH_NONE;
}

/* ------------------------------------------------------------------ */
/* IM type sets                                                        */
/* ------------------------------------------------------------------ */

match_t foreach_imbitmap_match(tqlist *bitmaps, msnp_relates *relation, task_struct *_tstruct)
{
    match_t m = TQ_MATCH_NONE;
    for (tqlist *l = bitmaps; l && m == TQ_MATCH_NONE; l = l->next) {
        auto *map = static_cast<msnp_object_generic *>(l->data);
        if (map && msnp_first_look(&_tstruct->lda_objects, map))
            m = match_relation_imbitmap(map, relation, _tstruct);
    }
    return m;
}

match_t match_relation_imbitmap(msnp_object_generic *imbitmap, msnp_relates *relation, task_struct *_tstruct)
{
    auto *bits = static_cast<const msnp_imbitmap_node *>(imbitmap->data);
    unsigned com = bits ? bits->com_type : 0;
    /* The command bit each command needs; commands not listed need none.
     * The message commands also need the message's kind covered. */
    unsigned need = 0;
    bool message = false;
    switch (_tstruct->opcode) {
    case MSN_OPCODE_ADC:
    case MSN_OPCODE_ADD:
    case MSN_OPCODE_ADL: need = MSNP_COM_ADD; break;
    case MSN_OPCODE_BYE:
    case MSN_OPCODE_FLN:
    case MSN_OPCODE_ILN:
    case MSN_OPCODE_JOI:
    case MSN_OPCODE_NLN: need = MSNP_COM_LIST; break;
    case MSN_OPCODE_CAL: need = MSNP_COM_CALL; break;
    case MSN_OPCODE_MSG: need = MSNP_COM_MESSAGE; message = true; break;
    case MSN_OPCODE_REM:
    case MSN_OPCODE_RML: need = MSNP_COM_REM; break;
    case MSN_OPCODE_RNG: need = MSNP_COM_RCALL; break;
    case MSN_OPCODE_UBM: need = MSNP_COM_RECEIVE_FEDERATION; message = true; break;
    case MSN_OPCODE_UBN:
    case MSN_OPCODE_UBX: need = MSNP_COM_RECEIVE_NOTIFICATION; break;
    case MSN_OPCODE_UUM: need = MSNP_COM_SEND_FEDERATION; message = true; break;
    case MSN_OPCODE_UUN:
    case MSN_OPCODE_UUX: need = MSNP_COM_SEND_NOTIFICATION; break;
    default: break;
    }
    bool holds = !need || ((com & need) && (!message || message_match(relation, _tstruct) == TQ_MATCH_PASS));
    if (holds)
        return TQ_MATCH_PASS;
    return imbitmap->sibs ? foreach_imbitmap_match(imbitmap->sibs, relation, _tstruct) : TQ_MATCH_NONE;
}

/* ------------------------------------------------------------------ */
/* The policy lock as threads hold it                                  */
/* ------------------------------------------------------------------ */

namespace {
/* One block, found once per use: every decision takes and leaves the lock. */
struct policy_reader {
    int reads = 0;                 /* nesting of msnp_policy_read */
    msnp_entities *ents = nullptr; /* whose lock they hold */
};
thread_local policy_reader t_reader;
} // namespace

msnp_policy_read::msnp_policy_read() : held_(nullptr)
{
    policy_reader &r = tq_thread_block(t_reader);
    if (r.reads == 0) {
        if (!ents)
            return;
        ents->root_lock.lock_shared();
        r.ents = ents;
    }
    ++r.reads;
    held_ = r.ents;
}

msnp_policy_read::~msnp_policy_read()
{
    if (!held_)
        return;
    policy_reader &r = tq_thread_block(t_reader);
    if (--r.reads == 0) {
        held_->root_lock.unlock_shared();
        r.ents = nullptr;
    }
}

msnp_policy_write::msnp_policy_write() : held_(ents), suspended_(t_reader.reads)
{
    if (suspended_) {
        policy_reader &r = tq_thread_block(t_reader);
        r.ents->root_lock.unlock_shared();
        r.reads = 0;
    }
    if (held_)
        held_->root_lock.lock();
}

msnp_policy_write::~msnp_policy_write()
{
    if (held_)
        held_->root_lock.unlock();
    if (suspended_) {
        policy_reader &r = tq_thread_block(t_reader);
        r.ents->root_lock.lock_shared();
        r.reads = suspended_;
    }
}
