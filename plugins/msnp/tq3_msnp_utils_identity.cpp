/* Identity and policy helpers the handlers and the matcher share: handle
 * forms, guests, friendly names, version bounds, the source-address rule,
 * the authentication expectation, contact lists, impersonation and the
 * scrambling of addresses peers announce to each other. */
#include <iksemel.h>

#include <arpa/inet.h>
#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "tq3_core_interface.h"
#include "tq3_msnp.h"
#include "tq3_msnp_conntrack.h"
#include "tq3_msnp_dispatcher.h"
#include "tq3_msnp_identity.h"
#include "tq3_msnp_message.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_objects_generic.h"
#include "tq3_msnp_rtree.h"
#include "tq3_msnp_statistics.h"
#include "tq3_msnp_task.h"
#include "tqconn.h"
#include "tqidl.h"
#include "utils.h"

namespace {

msnp_conntrack *tracker_of(const task_struct *t)
{
    return t && t->conn ? static_cast<msnp_conntrack *>(t->conn->plugin) : nullptr;
}

void queue_event(tqconn *conn, event_t *ev)
{
    if (!ev)
        return;
    if (!conn || !tqlist_insert_end(&conn->eventsq, ev))
        tqevents_destroy_event(ev);
}

bool ends_with(const std::string &text, const char *suffix)
{
    size_t n = strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

bool begins_with(const std::string &text, const char *prefix)
{
    return text.compare(0, strlen(prefix), prefix) == 0;
}

/* The handle after a network prefix ("1:bob@x.y" names bob@x.y). */
const char *after_network_prefix(const char *handle)
{
    const char *colon = strchr(handle, ':');
    return colon && colon[1] != '\0' ? colon + 1 : handle;
}

} // namespace

char *msnp_normalize_msnp16_guid(const char *handle)
{
    if (!handle)
        return nullptr;
    char *copy = strdup(after_network_prefix(handle));
    if (!copy)
        return nullptr;
    char *semi = strchr(copy, ';');
    if (semi)
        *semi = '\0';
    return copy;
}

std::string msnp_canonical_handle(const char *handle)
{
    std::string out;
    if (!handle)
        return out;
    const char *start = after_network_prefix(handle);
    size_t n = strcspn(start, ";");
    out.reserve(n);
    auto hex = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    /* Only escapes of characters a handle is made of are decoded: the
     * server's own escapes ("%20(E-mail%20Address%20Not%20Verified)")
     * stay as policies name them. */
    auto handle_char = [](int c) { return isalnum(c) || strchr("@._-+", c); };
    for (size_t i = 0; i < n; ++i) {
        char c = start[i];
        if (c == '%' && i + 2 < n && hex(start[i + 1]) >= 0 && hex(start[i + 2]) >= 0) {
            int decoded = hex(start[i + 1]) << 4 | hex(start[i + 2]);
            if (decoded != 0 && handle_char(decoded)) {
                c = static_cast<char>(decoded);
                i += 2;
            }
        }
        out += static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

const char *msnp_canonical_handle_in(const char *handle, std::string &room)
{
    if (!handle)
        return nullptr;
    /* Every decision reads a handle: the bytes that could change it are
     * looked up in one table. */
    static const auto changes = [] {
        std::array<bool, 256> t{};
        for (int c = 'A'; c <= 'Z'; ++c)
            t[static_cast<size_t>(c)] = true;
        t[':'] = t[';'] = t['%'] = true;
        return t;
    }();
    const char *p = handle;
    while (*p && !changes[static_cast<unsigned char>(*p)])
        ++p;
    if (!*p)
        return handle;
    room = msnp_canonical_handle(handle);
    return room.c_str();
}

char *msnp_normalize_handle(const char *ptrhandler)
{
    if (!ptrhandler)
        return nullptr;
    char *copy = strdup(ptrhandler);
    if (!copy)
        return nullptr;
    for (char *p = copy; *p; ++p)
        if (!isalnum(static_cast<unsigned char>(*p)) || static_cast<unsigned char>(*p) > 0x7f)
            *p = '_';
    return copy;
}

/* ------------------------------------------------------------------ */
/* Guests                                                              */
/* ------------------------------------------------------------------ */

const char *msnp_guest_user(task_struct *_tstruct, const char *ptrhandler)
{
    if (!ptrhandler || !ents || msnp_get_var_long("guests-permit", 0) == 0)
        return nullptr;
    if (msnp_search_person_by_handle(ptrhandler, PERSON_USER))
        return nullptr;
    /* An insecure guest is still a person the policy decides for (one
     * admitted without a person would sign in unwatched): it joins the
     * root node rather than the jail, and its admission does not expire. */
    const bool insecure = msnp_get_var_long("guests-insecure", 0) == 1;
    tqconn *conn = _tstruct ? _tstruct->conn : nullptr;

    /* A new user joins the group "Local" and a node: both are read by
     * deciding threads, so the change is made under the policy lock (the
     * caller looks the user up again afterwards). */
    msnp_policy_write policy;
    char *ident = msnp_normalize_handle(ptrhandler);
    msnp_person *person = ident ? new_msnp_person(nullptr, ident, ptrhandler, nullptr) : nullptr;
    free(ident);
    if (!person)
        return nullptr;
    iks *form = msnp_serialize_object_single(person, WITH_NONE, nullptr, nullptr);
    if (form) {
        queue_event(conn, tqevents_shortcut_object_new(form));
        iks_delete(form);
    }
    const char *jail = insecure ? nullptr : msnp_get_var("guests-jail", nullptr);
    msnp_rtree *node = jail ? rtree_resolve_tree(ents->root, jail, nullptr) : nullptr;
    if (!node)
        node = ents->root;
    if (!rtree_add_person(nullptr, node, person) && !tqlist_search_ref(node->people, person))
        return nullptr;
    queue_event(conn, rtree_event_new(node));
    if (person->user && !insecure) {
        person->user->guest_time = msnp_now();
        person->user->guest_grace = msnp_get_var_long("guests-grace", 0);
    }
    return ptrhandler;
}

/* ------------------------------------------------------------------ */
/* Friendly names                                                      */
/* ------------------------------------------------------------------ */

char *msnp_match_friendly(task_struct *_tstruct, msnp_person *person, const char *candidate)
{
    if (!candidate)
        return nullptr;
    if (_tstruct && _tstruct->opcode == MSN_OPCODE_USR && (candidate[0] == '1' || candidate[0] == '0'))
        return nullptr;
    if (strstr(candidate, "%20(E-mail%20Address%20Not%20Verified)"))
        return nullptr;
    msnp_conntrack *ct = tracker_of(_tstruct);
    msnp_person *me = ct ? ct->person : nullptr;
    bool person_fixed = person && person->fixed_friendly == 1;

    const char *forced = nullptr;
    if (me && !me->friendly) {
        if (msnp_get_var_long("fixed-friendly-hard", 0) == 1 || person_fixed)
            forced = me->handle;
    } else if (me && strcmp(me->friendly, candidate) != 0) {
        if (msnp_get_var_long("fixed-friendly", 0) == 1 || person_fixed)
            forced = me->friendly;
    }
    std::string name = forced ? forced : candidate;
    const char *suffix = msnp_get_var("friendly-append", nullptr);
    const char *prefix = msnp_get_var("friendly-prepend", nullptr);
    if (suffix && !ends_with(name, suffix))
        name += suffix;
    if (prefix && !begins_with(name, prefix))
        name.insert(0, prefix);
    if (!forced && !suffix && !prefix)
        return nullptr;
    if (name == candidate)
        return nullptr;
    return strdup(name.c_str());
}

int fixed_friendly_for_contacts(task_struct *_tstruct, const char *user, int index)
{
    if (!_tstruct || !user || msnp_get_var_long("fixed-friendly-for-contacts", 0) == 0)
        return 1;
    /* The contact is named by its handle on the wire, not by the name of
     * its object. */
    msnp_person *person = msnp_search_person_by_handle(user, PERSON_USER);
    if (!person || person->type != PERSON_USER || !person->friendly)
        return 1;
    replace(_tstruct, index, person->friendly);
    reconstruct(_tstruct, 1);
    return 1;
}

/* ------------------------------------------------------------------ */
/* Source addresses and the authentication expectation                 */
/* ------------------------------------------------------------------ */

match_t msnp_search_source(msnp_person *person, task_struct *tstruct)
{
    if (!person || !tstruct || !tstruct->conn)
        return TQ_MATCH_NONE;
    uint32_t addr = tstruct->conn->saddr;
    if ((addr & person->source_mask) != (person->source_addr & person->source_mask))
        return TQ_MATCH_BLOCK;
    match_t result = TQ_MATCH_NONE;
    for (tqlist *l = person->supers; l && result == TQ_MATCH_NONE; l = l->next) {
        auto *super = static_cast<msnp_person *>(l->data);
        if (msnp_first_visit(&tstruct->lda_supers, super))
            result = msnp_search_source(super, tstruct);
    }
    return result;
}

tq3_expectation *msnp_authentication_expectation(task_struct *tstruct)
{
    tq3_expectation *e = tq3_expectation_new();
    if (!e)
        return nullptr;
    e->dport = htons(443);
    e->dpmask = 0xffff;
    if (tstruct && tstruct->conn) {
        e->saddr = tstruct->conn->saddr;
        e->smask = 0xffffffffu;
    }
    /* The messaging server's address is the administrator's to give; a
     * strict expectation without one stays open rather than expecting a
     * connection that can never come. */
    const char *server = msnp_get_var("auth-server-address", nullptr);
    struct in_addr a;
    if (msnp_get_var_long("strict-auth-expectation", 0) != 0 && server &&
        inet_pton(AF_INET, server, &a) == 1) {
        e->daddr = a.s_addr;
        e->dmask = 0xffffffffu;
    }
    return e;
}

/* ------------------------------------------------------------------ */
/* Versions                                                            */
/* ------------------------------------------------------------------ */

long msnp_version_chunk(const char *version, unsigned index)
{
    if (!version)
        return -1;
    const char *p = version;
    for (unsigned i = 0; i < index; ++i) {
        p = strchr(p, '.');
        if (!p)
            return -1;
        ++p;
    }
    if (*p == '\0')
        return -1;
    long v = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
        v = v > (LONG_MAX - 9) / 10 ? LONG_MAX : v * 10 + (*p - '0');
    return v;
}

namespace {

enum class bound_hit { none, lower, upper };

/* Component by component: the first component that differs from a bound
 * decides; a version that runs out of components first is within. */
bound_hit compare_version(const char *version, const char *lower, const char *upper)
{
    bool above_lower = !lower, below_upper = !upper;
    for (unsigned i = 0;; ++i) {
        long v = msnp_version_chunk(version, i);
        if (v == -1)
            return bound_hit::none;
        if (!above_lower) {
            long l = msnp_version_chunk(lower, i);
            if (v < l)
                return bound_hit::lower;
            if (v > l) {
                above_lower = true;
                if (below_upper)
                    return bound_hit::none;
            }
        }
        if (!below_upper) {
            long u = msnp_version_chunk(upper, i);
            if (u != -1) {
                if (v > u)
                    return bound_hit::upper;
                if (v < u) {
                    below_upper = true;
                    if (above_lower)
                        return bound_hit::none;
                }
            }
        }
    }
}

/* A block counts against the bound that caused it. */
match_t version_verdict(bound_hit hit, std::atomic<tq_variable *> *lower_site, const char *lower_counter,
                        std::atomic<tq_variable *> *upper_site, const char *upper_counter)
{
    if (hit == bound_hit::lower)
        msnp_stat_bump(lower_site, lower_counter);
    else if (hit == bound_hit::upper)
        msnp_stat_bump(upper_site, upper_counter);
    return hit == bound_hit::none ? TQ_MATCH_PASS : TQ_MATCH_BLOCK;
}

} // namespace

match_t msnp_check_client_version(msnp_person *person, const char *client_ver)
{
    const char *lower = person && person->ver_client_lower ? person->ver_client_lower
                                                           : msnp_get_var("lower-client-version", nullptr);
    const char *upper = person && person->ver_client_upper ? person->ver_client_upper
                                                           : msnp_get_var("upper-client-version", nullptr);
    if (!lower && !upper)
        return TQ_MATCH_PASS;
    static std::atomic<tq_variable *> lower_blocks{nullptr}, upper_blocks{nullptr};
    return version_verdict(compare_version(client_ver, lower, upper), &lower_blocks,
                           "stats-lower-client-version-blocks", &upper_blocks,
                           "stats-upper-client-version-blocks");
}

match_t msnp_check_system_version(msnp_person *person, const char *sys_name, const char *sys_version,
                                  const char *sys_arch)
{
    if (!sys_name || !sys_arch)
        return TQ_MATCH_NONE;
    std::string suffix = std::string("-") + sys_name + "-" + sys_arch + "-version";
    const char *lower = person && person->ver_system_lower
                            ? person->ver_system_lower
                            : msnp_get_var(("lower" + suffix).c_str(), nullptr);
    const char *upper = person && person->ver_system_upper
                            ? person->ver_system_upper
                            : msnp_get_var(("upper" + suffix).c_str(), nullptr);
    if (!lower && !upper)
        return TQ_MATCH_NONE;
    static std::atomic<tq_variable *> lower_blocks{nullptr}, upper_blocks{nullptr};
    return version_verdict(compare_version(sys_version, lower, upper), &lower_blocks,
                           "stats-lower-system-version-blocks", &upper_blocks,
                           "stats-upper-system-version-blocks");
}

/* ------------------------------------------------------------------ */
/* Contact lists                                                       */
/* ------------------------------------------------------------------ */

iks *msnp_serialize_contacts(const std::vector<const char *> &contacts, ikstack *stack, int force)
{
    if (contacts.empty() && !force)
        return nullptr;
    iks *x = stack ? iks_new_within("contacts", stack) : iks_new("contacts");
    if (!x)
        return nullptr;
    iks_insert_cdata(x, "\n", 1);
    /* Newest first. */
    for (auto c = contacts.rbegin(); c != contacts.rend(); ++c) {
        iks_insert_cdata(iks_insert(x, "contact"), *c, 0);
        iks_insert_cdata(x, "\n", 1);
    }
    return x;
}

namespace {

/* Contact handles, one copy each however many lists hold them: the people
 * of a company list each other, so a hundred thousand lists of a hundred
 * contacts name far fewer handles. A copy goes with its last holder. */
struct handle_pool {
    std::mutex lock;
    std::unordered_map<std::string, unsigned> refs;
};

handle_pool &handles()
{
    static handle_pool *pool = new handle_pool; /* outlives every user */
    return *pool;
}

} // namespace

const char *msnp_handle_intern(const char *handle)
{
    handle_pool &pool = handles();
    std::lock_guard<std::mutex> hold(pool.lock);
    try {
        auto it = pool.refs.try_emplace(handle, 0).first;
        ++it->second;
        return it->first.c_str(); /* a node's key stays where it is */
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

void msnp_handle_release(void *handle)
{
    if (!handle)
        return;
    handle_pool &pool = handles();
    std::lock_guard<std::mutex> hold(pool.lock);
    auto it = pool.refs.find(static_cast<const char *>(handle));
    if (it != pool.refs.end() && it->first.c_str() == handle && --it->second == 0)
        pool.refs.erase(it);
}

namespace {

/* A GUID in 16 bytes, in every form a server reads as the same one: its
 * digits in either case, 8-4-4-4-12 with dashes or 32 without, bare or in
 * braces or parentheses. A client that removes a contact by an identifier
 * written another way than its list line must meet the same rule. False
 * for any other word (kept as text: it matches only itself). */
bool pack_guid(std::string_view w, unsigned char out[16])
{
    if (w.size() >= 2 && ((w.front() == '{' && w.back() == '}') || (w.front() == '(' && w.back() == ')')))
        w = w.substr(1, w.size() - 2);
    const bool dashed = w.size() == 36;
    if (!dashed && w.size() != 32)
        return false;
    size_t n = 0;
    for (size_t i = 0; i < w.size(); ++i) {
        if (dashed && (i == 8 || i == 13 || i == 18 || i == 23)) {
            if (w[i] != '-')
                return false;
            continue;
        }
        const int c = tolower(static_cast<unsigned char>(w[i]));
        const int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (v < 0)
            return false;
        out[n / 2] = static_cast<unsigned char>(n % 2 ? (out[n / 2] | v) : v << 4);
        ++n;
    }
    return true;
}

/* Grows a vector by a quarter: a contact list is learnt once and kept for
 * the session, and doubling would leave up to half of its room unused. */
template <class T> void make_room(std::vector<T> &v)
{
    if (v.size() == v.capacity())
        v.reserve(v.size() + v.size() / 4 + 16);
}

} // namespace

msnp_contact_ids::~msnp_contact_ids()
{
    for (const guid_entry &e : guids_)
        msnp_handle_release(const_cast<char *>(e.handle));
    for (const word_entry &e : words_at_)
        msnp_handle_release(const_cast<char *>(e.handle));
}

bool msnp_contact_ids::learn(const char *id, const char *handle)
{
    const std::string_view word(id);
    guid_entry g;
    const bool is_guid = pack_guid(word, g.guid);
    std::lock_guard<std::mutex> hold(lock_);
    if (!is_guid && word.size() > UINT32_MAX - words_.size())
        return false;
    const char *shared = msnp_handle_intern(handle);
    if (!shared)
        return false;
    try {
        if (is_guid) {
            g.handle = shared;
            make_room(guids_);
            guids_.push_back(g);
        } else {
            words_.append(word);
            make_room(words_at_);
            words_at_.push_back({static_cast<uint32_t>(words_.size() - word.size()),
                                 static_cast<uint32_t>(word.size()), shared});
        }
    } catch (const std::bad_alloc &) {
        msnp_handle_release(const_cast<char *>(shared));
        return false;
    }
    /* A list learnt again (each sign-in brings it) repeats its words: they
     * go once the new ones outnumber the settled ones. */
    if (guids_.size() - guids_ordered_ > std::max<size_t>(guids_ordered_, 64))
        settle(guids_, guids_ordered_);
    if (words_at_.size() - words_ordered_ > std::max<size_t>(words_ordered_, 64))
        settle(words_at_, words_ordered_);
    return true;
}

std::string msnp_contact_ids::find(const char *id)
{
    const std::string_view word(id);
    unsigned char g[16];
    std::lock_guard<std::mutex> hold(lock_);
    if (pack_guid(word, g))
        return find_in(guids_, guids_ordered_, std::string_view(reinterpret_cast<const char *>(g), 16));
    return find_in(words_at_, words_ordered_, word);
}

template <class Entry>
std::string msnp_contact_ids::find_in(std::vector<Entry> &entries, size_t &ordered, std::string_view k)
{
    settle(entries, ordered);
    auto at = std::lower_bound(entries.begin(), entries.end(), k,
                               [this](const Entry &e, std::string_view w) { return key(e) < w; });
    return at != entries.end() && key(*at) == k ? std::string(at->handle) : std::string();
}

/* Puts the entries in order, keeping of each key the first learnt. */
template <class Entry> void msnp_contact_ids::settle(std::vector<Entry> &entries, size_t &ordered)
{
    if (ordered == entries.size())
        return;
    const auto by_key = [this](const Entry &a, const Entry &b) { return key(a) < key(b); };
    const auto middle = entries.begin() + static_cast<std::ptrdiff_t>(ordered);
    /* Stable both: of equal keys the earlier learnt comes first. */
    std::stable_sort(middle, entries.end(), by_key);
    std::inplace_merge(entries.begin(), middle, entries.end(), by_key);
    auto kept = entries.begin();
    for (auto e = entries.begin(); e != entries.end(); ++e) {
        if (kept != entries.begin() && key(kept[-1]) == key(*e))
            msnp_handle_release(const_cast<char *>(e->handle));
        else
            *kept++ = *e;
    }
    const bool dropped = kept != entries.end();
    entries.erase(kept, entries.end());
    ordered = entries.size();
    if constexpr (std::is_same_v<Entry, word_entry>) {
        if (dropped)
            compact_words();
    }
}

/* The words of dropped repeats go too: the rest are written anew. */
void msnp_contact_ids::compact_words()
{
    std::string words;
    try {
        words.reserve(words_.size());
    } catch (const std::bad_alloc &) {
        return; /* they stay, unused, until a later turn */
    }
    for (word_entry &e : words_at_) {
        const std::string_view w = key(e);
        e.at = static_cast<uint32_t>(words.size());
        words.append(w);
    }
    words_.swap(words);
}

void msnp_user_contacts_add(msnp_person *person, const char *contact)
{
    if (!person || !person->user || !contact)
        return;
    msnp_user *user = person->user;
    const char *shared = msnp_handle_intern(contact);
    if (!shared)
        return;
    std::lock_guard<std::mutex> hold(user->contacts_lock);
    /* One copy per text, so the same text is the same pointer. */
    auto at = std::lower_bound(user->contact_set.begin(), user->contact_set.end(), shared);
    if (at != user->contact_set.end() && *at == shared) {
        msnp_handle_release(const_cast<char *>(shared));
        return;
    }
    try {
        const auto index = at - user->contact_set.begin();
        make_room(user->contact_set);
        at = user->contact_set.insert(user->contact_set.begin() + index, shared);
    } catch (const std::bad_alloc &) {
        msnp_handle_release(const_cast<char *>(shared));
        return;
    }
    try {
        make_room(user->contacts);
        user->contacts.push_back(shared);
    } catch (const std::bad_alloc &) {
        user->contact_set.erase(at);
        msnp_handle_release(const_cast<char *>(shared));
    }
}

/* ------------------------------------------------------------------ */
/* Impersonation                                                       */
/* ------------------------------------------------------------------ */

int msnp_impersonate(idl_parser *idl, char **args)
{
    if (!args || !args[0] || !args[1]) {
        if (idl)
            idl->error(idl, 2, "Incorrect syntax");
        return 0;
    }
    tq3_module *self = ents ? ents->self : nullptr;
    if (!self)
        return 0;
    char *end = nullptr;
    unsigned long tid = strtoul(args[0], &end, 16);
    if (end == args[0])
        return 0;
    pthread_rwlock_rdlock(&self->data_lock);
    for (tqlist *l = self->data; l; l = l->next) {
        auto *ct = static_cast<msnp_conntrack *>(l->data);
        if (!ct || !ct->conn || ct->conn->tid != tid)
            continue;
        size_t size = 0;
        char *msg = message_create(args[1], nullptr, &size);
        if (msg) {
            tqconn_send(ct->conn, ct->conn->srvd, msg, size);
            free(msg);
        }
        break;
    }
    pthread_rwlock_unlock(&self->data_lock);
    return 0;
}

/* ------------------------------------------------------------------ */
/* Address scrambling                                                  */
/* ------------------------------------------------------------------ */

namespace {

/* Adds 1 to the byte `offset` bytes after the first match of `field`. */
void bump_after(char *bytes, size_t size, const char *field, size_t offset)
{
    char *at = static_cast<char *>(memmem_local(bytes, size, field, strlen(field)));
    if (at && static_cast<size_t>(at - bytes) + offset < size)
        ++at[offset];
}

} // namespace

void msnp_scramble_address(task_struct *tstruct)
{
    if (!tstruct || !tstruct->data_buffer)
        return;
    char *bytes = tstruct->data_buffer;
    size_t size = tstruct->buffer_size;
    /* The three fields end alike: a message without that ending (every
     * chat message) is looked through once instead of three times. */
    if (memmem_local(bytes, size, "4vPI:", 5)) {
        bump_after(bytes, size, "srddA-lanretxE4vPI:", 20);
        bump_after(bytes, size, "srddA-lanretnI4vPI:", 20);
        bump_after(bytes, size, "stroPdnAsrddAlanretnI4vPI:", 27);
    }
    if (memmem_local(bytes, size, "turnsetup", 9))
        bump_after(bytes, size, "ServerAddress:", 15);
}
