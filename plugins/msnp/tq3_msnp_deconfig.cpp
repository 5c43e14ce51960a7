/* Reading the policy document back into the registry: the object list
 * (generic objects, persons, groups) and the content of the relation tree,
 * and the person properties that both the document's "attribute" elements
 * and the "modify" command set by key.
 *
 * Every problem with one element is reported through the parser and only
 * that element (or that child) is skipped; loading goes on with the next
 * one. Loading adds to what the registry already holds. */
#include <iksemel.h>

#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <string>
#include <vector>

#include "tq3_core_interface.h"
#include "tq3_msnp.h"
#include "tq3_msnp_config.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_objects_generic.h"
#include "tq3_msnp_relation.h"
#include "tq3_msnp_rtree.h"
#include "tq3_msnp_statistics.h"
#include "tq3_msnp_xml.h"
#include "tqidl.h"
#include "utils.h"

namespace {

/* An attribute value as the document meant it: the XML reader hands
 * attribute values over with their references still escaped, so a name
 * written as "R&amp;D" must be read as "R&D" to load back the same. */
class attr_text {
public:
    attr_text(iks *node, const char *name)
        : text_(msnp_xml_unescape(node ? iks_find_attrib(node, name) : nullptr))
    {
    }
    ~attr_text() { free(text_); }
    attr_text(const attr_text &) = delete;
    attr_text &operator=(const attr_text &) = delete;
    const char *get() const { return text_; }
    explicit operator bool() const { return text_ != nullptr; }

private:
    char *text_;
};

/* Relations whose target was not there yet when their person was read:
 * they are created by weak resolution, with a fresh uid, once the target
 * appears. The uid the document gave them is put back when the object list
 * is done, so that a saved policy loads back with the same identifiers. */
struct pending_uid {
    std::string person;
    std::string target;
    std::string uid;
};

thread_local std::vector<pending_uid> *pending_uids = nullptr;

/* Collects the waiting uids of one object list; a nested list (there is
 * none in the document form) keeps collecting into the outer one. */
class pending_scope {
public:
    pending_scope() : owner_(pending_uids == nullptr)
    {
        if (owner_)
            pending_uids = &list_;
    }
    ~pending_scope()
    {
        if (owner_)
            pending_uids = nullptr;
    }
    pending_scope(const pending_scope &) = delete;
    pending_scope &operator=(const pending_scope &) = delete;
    bool owner() const { return owner_; }
    std::vector<pending_uid> &list() { return list_; }

private:
    bool owner_;
    std::vector<pending_uid> list_;
};

void warn(idl_parser *idl, const char *fmt, const char *arg)
{
    if (idl && idl->warn)
        idl->warn(idl, fmt, arg);
}

const char *child_text(iks *node, const char *name)
{
    return msnp_xml_first_text(iks_find(node, name));
}

/* NULL-terminated view of owned words, for the operations that take the
 * command form (char**). */
class word_array {
public:
    explicit word_array(std::vector<std::string> &words)
    {
        for (std::string &w : words)
            ptrs_.push_back(w.data());
        ptrs_.push_back(nullptr);
    }
    char **get() { return ptrs_.size() > 1 ? ptrs_.data() : nullptr; }

private:
    std::vector<char *> ptrs_;
};

/* The uid of a relation is an opaque word; one that could not have come
 * from this module (empty, too long, odd bytes) is not adopted. */
bool plausible_uid(const char *uid)
{
    size_t len = uid ? strlen(uid) : 0;
    if (len == 0 || len > 64)
        return false;
    for (const char *p = uid; *p; ++p)
        if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') ||
              *p == '-' || *p == '_'))
            return false;
    return true;
}

/* Gives the relation the uid its document named, unless another relation
 * already has it (the same document loaded twice, or a document that
 * repeats a uid): then the fresh one stays, so that uids remain unique. */
void adopt_uid(idl_parser *idl, msnp_relates *relation, const char *uid)
{
    if (!relation || !plausible_uid(uid) || strcmp(relation->uid, uid) == 0)
        return;
    char *copy = strdup(uid);
    if (!copy)
        return;
    if (!msnp_relation_uid_claim(relation, copy)) {
        if (idl && idl->warn)
            idl->warn(idl, "Relation uid %s already in use, relation keeps %s", uid, relation->uid);
        free(copy);
        return;
    }
    free(relation->uid);
    relation->uid = copy;
}

/* Last relation of `list`, or NULL. */
msnp_relates *last_relation(tqlist *list)
{
    msnp_relates *last = nullptr;
    for (; list; list = list->next)
        last = static_cast<msnp_relates *>(list->data);
    return last;
}

const char *relation_target_ident(const msnp_relates *relation)
{
    if (!relation->relation)
        return nullptr;
    if (relation->rel_type == MSNP_OBJECT_PERSON)
        return static_cast<msnp_person *>(relation->relation)->ident;
    if (relation->rel_type == MSNP_OBJECT_GROUP)
        return static_cast<msnp_group *>(relation->relation)->ident;
    return nullptr;
}

void settle_pending_uids(idl_parser *idl, std::vector<pending_uid> &pending)
{
    for (const pending_uid &p : pending) {
        msnp_person *person = msnp_search_person(p.person.c_str(), 0);
        if (!person)
            continue;
        /* Weak resolution appends, so the newest relation to the target is
         * the one that waited. */
        msnp_relates *found = nullptr;
        for (tqlist *l = person->contactl; l; l = l->next) {
            auto *rel = static_cast<msnp_relates *>(l->data);
            const char *target = relation_target_ident(rel);
            if (target && p.target == target)
                found = rel;
        }
        adopt_uid(idl, found, p.uid.c_str());
    }
}

enum class acl_form { person, tree };

/* Property words of a relation element. The attribute words go first: each
 * sets a field of its own, so their order does not matter. The access-list
 * objects follow in document order, which is the order of the relation's
 * lists, so that a relation reads back with its objects in the order they
 * were written. */
std::vector<std::string> relation_words(idl_parser *idl, iks *rel, acl_form form, const char *object)
{
    std::vector<std::string> words;
    attr_text threshold(rel, "threshold"), risk(rel, "risk"), direction(rel, "direction"),
        action(rel, "action");
    if (threshold)
        words.push_back(std::string("threshold:") + threshold.get());
    if (risk)
        words.push_back(std::string("risk:") + risk.get());
    if (iks_find_attrib(rel, "disable"))
        words.emplace_back("'disable'");
    if (direction)
        words.push_back(std::string("'direction_") + direction.get() + "'");
    if (action)
        words.push_back(std::string("'action_") + action.get() + "'");

    iks *acl = iks_find(rel, "access-list");
    for (iks *o = acl ? iks_first_tag(acl) : nullptr; o; o = iks_next_tag(o)) {
        if (strcmp(iks_name(o), "object") != 0) {
            if (form == acl_form::person)
                warn(idl, "Unknown relation list node: %s", iks_name(o));
            else
                warn(idl, "Unknown access list node: %s", iks_name(o));
            continue;
        }
        const char *text = msnp_xml_first_text(o);
        if (!text) {
            if (form == acl_form::tree)
                warn(idl, "Access list node missing data: %s", object);
            continue;
        }
        words.emplace_back(text);
    }
    return words;
}

/* One "relation" of a person's "relation-list". */
void person_relation(idl_parser *idl, msnp_person *person, iks *rel)
{
    attr_text object(rel, "object");
    if (!object) {
        if (idl && idl->warn)
            idl->warn(idl, "Relation node missing object atribute");
        return;
    }
    attr_text uid(rel, "uid");
    size_t before = tqlist_length(person->contactl);
    int weak = 0;
    msnp_add_object_dest(idl, person, MSNP_OBJECT_PERSON, object.get(), nullptr, &weak);

    /* The relation is addressed the way the "modify" command addresses it:
     * by its index when it exists, by the awaited name when it is weak. A
     * name that made a super (or was refused) leaves nothing to address. */
    std::string key;
    if (tqlist_length(person->contactl) > before) {
        key = std::to_string(tqlist_length(person->contactl) - 1);
        adopt_uid(idl, last_relation(person->contactl), uid.get());
    } else if (weak || (person->weak && person->weak->get_safe(person->weak, object.get()))) {
        key = object.get();
        if (pending_uids && plausible_uid(uid.get()))
            pending_uids->push_back({person->ident, object.get(), uid.get()});
    } else {
        return;
    }

    std::vector<std::string> words = relation_words(idl, rel, acl_form::person, object.get());
    if (words.empty())
        return;
    words.insert(words.begin(), key);
    word_array args(words);
    msnp_modify_object_single(idl, person, args.get());
}

/* Parses a decimal number as the property table reads numbers. */
long number(const char *text)
{
    return strtol(text, nullptr, 10);
}

/* Replaces an owned text; the empty text clears it. */
int set_text(char **field, const char *value)
{
    char *copy = nullptr;
    if (*value) {
        copy = strdup(value);
        if (!copy)
            return 0;
    }
    free(*field);
    *field = copy;
    return 1;
}

int set_network_source(idl_parser *idl, msnp_person *person, char *value)
{
    if (!*value) {
        person->source_addr = 0;
        person->source_mask = 0;
        return 1;
    }
    char *slash = strchr(value, '/');
    const char *mask_text = "255.255.255.255";
    if (slash) {
        *slash = '\0';
        mask_text = slash + 1;
    }
    struct in_addr base, mask;
    if (inet_pton(AF_INET, value, &base) != 1) {
        if (idl)
            idl->error(idl, 2, "Not a valid base: %s", value);
        return 0;
    }
    if (inet_pton(AF_INET, mask_text, &mask) != 1) {
        if (idl)
            idl->error(idl, 2, "Not a valid mask: %s", mask_text);
        return 0;
    }
    person->source_addr = base.s_addr;
    person->source_mask = mask.s_addr;
    return 1;
}

/* One property a line: the attribute's text, or nothing to write. */
void write_attribute(iks *form, const char *key, const char *value)
{
    iks *a = msnp_xml_child(form, "attribute");
    iks_insert_attrib(a, "type", key);
    iks_insert_cdata(a, value, 0);
}

void write_number(iks *form, const char *key, unsigned long value)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%lu", value);
    write_attribute(form, key, buf);
}

void write_int(iks *form, const char *key, int value)
{
    char buf[16];
    snprintf(buf, sizeof buf, "%d", value);
    write_attribute(form, key, buf);
}

using setter = int (*)(idl_parser *idl, msnp_person *person, char *value, const char *next);
using writer = void (*)(iks *form, const msnp_person *person);

int set_bounties_life(idl_parser *, msnp_person *person, char *value, const char *)
{
    person->bounty_life = static_cast<int>(number(value));
    if (person->user)
        person->user->bounty_life = person->bounty_life;
    return 1;
}

int set_bounties_initial(idl_parser *, msnp_person *person, char *value, const char *)
{
    person->bounty_initial = static_cast<int>(number(value));
    if (msnp_user *user = person->user) {
        /* A user without an allowance so far starts with the new one at
         * once instead of at the next period. */
        if (user->bounty_initial == 0)
            user->bounty_current = person->bounty_initial;
        user->bounty_initial = person->bounty_initial;
    }
    return 1;
}

int set_handle(idl_parser *idl, msnp_person *person, char *value, const char *)
{
    if (msnp_person_set_handle(idl, person, *value ? value : nullptr))
        return 1;
    if (idl)
        idl->error(idl, 1000, "Could not change the handle: %s", value);
    return 0;
}

void write_network_source(iks *form, const msnp_person *person)
{
    if (!person->source_addr && !person->source_mask)
        return;
    char addr[INET_ADDRSTRLEN], mask[INET_ADDRSTRLEN], buf[2 * INET_ADDRSTRLEN];
    struct in_addr a, m;
    a.s_addr = person->source_addr;
    m.s_addr = person->source_mask;
    inet_ntop(AF_INET, &a, addr, sizeof addr);
    inet_ntop(AF_INET, &m, mask, sizeof mask);
    snprintf(buf, sizeof buf, "%s/%s", addr, mask);
    write_attribute(form, "network_source", buf);
}

/* The run-time allowance, as the person's form shows it. */
void write_bounties(iks *form, const msnp_person *person)
{
    if (!person->user || !person->user->bounty_initial)
        return;
    char buf[16];
    iks *b = msnp_xml_child(form, "bounties");
    snprintf(buf, sizeof buf, "%d", person->user->bounty_lifecur);
    iks_insert_cdata(iks_insert(b, "lifetime"), buf, 0);
    snprintf(buf, sizeof buf, "%d", person->user->bounty_current);
    iks_insert_cdata(iks_insert(b, "current"), buf, 0);
}

enum class prop_kind {
    text,   /* an owned text; written when set */
    flag,   /* 0 or 1; written as "1" when set */
    number, /* an int; written when non-zero */
    custom, /* `set` and `write` do the work; either may be absent */
};

struct person_field {
    const char *key;
    prop_kind kind;
    char *msnp_person::*text = nullptr;
    int msnp_person::*value = nullptr;
    setter set = nullptr;
    writer write = nullptr;
    bool in_form = true; /* plain kinds: written with the person's form */
};

/* Every property of a person, in the order the person's form writes them,
 * so that what is written is exactly what reads back. */
const person_field person_fields[] = {
    {"psm", prop_kind::text, &msnp_person::psm},
    {"pmm", prop_kind::text, &msnp_person::pmm},
    {"fixed_friendly", prop_kind::flag, nullptr, &msnp_person::fixed_friendly},
    {"no_warnings", prop_kind::flag, nullptr, &msnp_person::no_warnings},
    {"disabled", prop_kind::flag, nullptr, &msnp_person::disabled},
    {"fixed_state", prop_kind::text, &msnp_person::fixed_state},
    {"fixed_privacy", prop_kind::text, &msnp_person::fixed_privacy},
    {"bounties_life", prop_kind::custom, nullptr, nullptr, set_bounties_life,
     [](iks *form, const msnp_person *p) {
         if (p->bounty_life)
             write_int(form, "bounties_life", p->bounty_life);
     }},
    {"bounties_initial", prop_kind::custom, nullptr, nullptr, set_bounties_initial,
     [](iks *form, const msnp_person *p) {
         if (p->bounty_initial)
             write_int(form, "bounties_initial", p->bounty_initial);
     }},
    {"last_login", prop_kind::custom, nullptr, nullptr,
     [](idl_parser *, msnp_person *p, char *value, const char *) {
         p->last_login = strtoul(value, nullptr, 10);
         return 1;
     },
     [](iks *form, const msnp_person *p) {
         if (p->last_login)
             write_number(form, "last_login", p->last_login);
     }},
    {"username", prop_kind::text, &msnp_person::username},
    {"network_source", prop_kind::custom, nullptr, nullptr,
     [](idl_parser *idl, msnp_person *p, char *value, const char *) {
         return set_network_source(idl, p, value);
     },
     write_network_source},
    {"bounties", prop_kind::custom, nullptr, nullptr, nullptr, write_bounties},
    {"no_logs", prop_kind::number, nullptr, &msnp_person::no_logs},
    {"force_logs", prop_kind::number, nullptr, &msnp_person::force_logs},
    {"no_inimailnot", prop_kind::flag, nullptr, &msnp_person::no_inimailnot},
    {"no_actmailnot", prop_kind::flag, nullptr, &msnp_person::no_actmailnot},
    {"no_mailnot", prop_kind::flag, nullptr, &msnp_person::no_mailnot},
    {"auto_reply", prop_kind::text, &msnp_person::auto_reply},
    {"ver_system_lower", prop_kind::text, &msnp_person::ver_system_lower},
    {"ver_system_upper", prop_kind::text, &msnp_person::ver_system_upper},
    {"ver_client_lower", prop_kind::text, &msnp_person::ver_client_lower},
    {"ver_client_upper", prop_kind::text, &msnp_person::ver_client_upper},
    {"risk", prop_kind::custom, nullptr, nullptr,
     [](idl_parser *, msnp_person *p, char *value, const char *) {
         p->risk_level = static_cast<risk_t>(strtoul(value, nullptr, 10));
         return 1;
     },
     /* Deciding threads add to it while the policy is read out. */
     [](iks *form, const msnp_person *p) {
         write_number(form, "risk",
                      std::atomic_ref<risk_t>(const_cast<risk_t &>(p->risk_level)).load(std::memory_order_relaxed));
     }},
    /* Set only: the form writes these elsewhere, or they are actions. */
    {"friendly", prop_kind::text, &msnp_person::friendly, nullptr, nullptr, nullptr, false},
    {"handle", prop_kind::custom, nullptr, nullptr, set_handle},
    {"bounties_lifecur", prop_kind::custom, nullptr, nullptr,
     [](idl_parser *, msnp_person *p, char *value, const char *) {
         if (p->user)
             p->user->bounty_lifecur = static_cast<int>(number(value));
         return 1;
     }},
    {"bounties_current", prop_kind::custom, nullptr, nullptr,
     [](idl_parser *, msnp_person *p, char *value, const char *) {
         if (p->user)
             p->user->bounty_current = static_cast<int>(number(value));
         return 1;
     }},
    {"zero_stats", prop_kind::custom, nullptr, nullptr,
     [](idl_parser *, msnp_person *p, char *, const char *) {
         msnp_statistics_zero(&p->stats);
         return 1;
     }},
    {"contact", prop_kind::custom, nullptr, nullptr,
     [](idl_parser *idl, msnp_person *p, char *value, const char *next) {
         return msnp_relation_change_contact(idl, p, value, next);
     }},
};

} // namespace

/* ------------------------------------------------------------------ */
/* Person properties                                                   */
/* ------------------------------------------------------------------ */

int msnp_modify_person_property(idl_parser *idl, msnp_person *person, const char *key,
                                const char *value, const char *next)
{
    if (!person || !key || !value) {
        if (idl)
            idl->error(idl, 2, "Missing key or value");
        return 0;
    }
    char *text = strdup(value);
    if (!text)
        return 0;
    dequote(text, '"');

    const person_field *field = nullptr;
    for (const person_field &f : person_fields)
        if (strcmp(key, f.key) == 0 && (f.kind != prop_kind::custom || f.set)) {
            field = &f;
            break;
        }
    int result = 0;
    if (!field) {
        if (idl)
            idl->error(idl, 2, "Unknown attribute: %s", key);
    } else {
        switch (field->kind) {
        case prop_kind::text: result = set_text(&(person->*field->text), text); break;
        case prop_kind::flag:
            person->*field->value = number(text) != 0;
            result = 1;
            break;
        case prop_kind::number:
            person->*field->value = static_cast<int>(number(text));
            result = 1;
            break;
        case prop_kind::custom: result = field->set(idl, person, text, next); break;
        }
    }
    free(text);
    return result;
}

void msnp_serialize_person_properties(iks *form, const msnp_person *person)
{
    for (const person_field &f : person_fields) {
        switch (f.kind) {
        case prop_kind::text:
            if (f.in_form && person->*f.text)
                write_attribute(form, f.key, person->*f.text);
            break;
        case prop_kind::flag:
            if (f.in_form && person->*f.value)
                write_attribute(form, f.key, "1");
            break;
        case prop_kind::number:
            if (f.in_form && person->*f.value)
                write_int(form, f.key, person->*f.value);
            break;
        case prop_kind::custom:
            if (f.write)
                f.write(form, person);
            break;
        }
    }
}

/* ------------------------------------------------------------------ */
/* Persons and groups                                                  */
/* ------------------------------------------------------------------ */

int tq3_config_object_person(idl_parser *idl, iks *node)
{
    if (!node || !ents)
        return 0;
    attr_text name(node, "name");
    if (!name) {
        if (idl && idl->warn)
            idl->warn(idl, "Person node missing name atribute");
        return 0;
    }
    attr_text type(node, "type");
    const char *handle_text = child_text(node, "handle");
    const char *friendly_text = child_text(node, "friendly");

    /* A contact's handle is stored without the slashes that mark a
     * pattern; they go back on so that it is read as a pattern again. */
    std::string handle;
    if (handle_text)
        handle = (type && number(type.get()) == PERSON_CONTACT) ? "/" + std::string(handle_text) + "/"
                                                                : handle_text;
    std::string friendly = friendly_text ? friendly_text : "";
    char *args[] = {handle_text ? handle.data() : nullptr, friendly_text ? friendly.data() : nullptr,
                    nullptr};
    msnp_person *person = msnp_new_object_person(idl, name.get(), args);
    if (!person)
        return 0;

    for (iks *c = iks_first_tag(node); c; c = iks_next_tag(c))
        if (strcmp(iks_name(c), "super") == 0) {
            const char *super = msnp_xml_first_text(c);
            if (super)
                msnp_add_object_dest(idl, person, MSNP_OBJECT_PERSON, super, nullptr, nullptr);
        }

    for (iks *c = iks_first_tag(node); c; c = iks_next_tag(c)) {
        if (strcmp(iks_name(c), "attribute") != 0)
            continue;
        attr_text key(c, "type");
        const char *value = msnp_xml_first_text(c);
        if (!key) {
            if (idl && idl->warn)
                idl->warn(idl, "Missing attribute type");
        } else if (!value) {
            if (idl && idl->warn)
                idl->warn(idl, "Missing attribute data");
        } else {
            msnp_modify_person_property(idl, person, key.get(), value, nullptr);
        }
    }

    const char *description = child_text(node, "description");
    if (description)
        set_text(&person->description, description);

    iks *stats = iks_find(node, "statistics");
    if (stats)
        msnp_statistics_deserialize(&person->stats, stats);

    iks *list = iks_find(node, "relation-list");
    for (iks *rel = list ? iks_first_tag(list) : nullptr; rel; rel = iks_next_tag(rel)) {
        if (strcmp(iks_name(rel), "relation") != 0) {
            warn(idl, "Unknown relation node: %s", iks_name(rel));
            continue;
        }
        person_relation(idl, person, rel);
    }
    return 1;
}

int tq3_config_object_group(idl_parser *idl, iks *node)
{
    if (!node || !ents)
        return 0;
    attr_text name(node, "name");
    if (!name) {
        if (idl && idl->warn)
            idl->warn(idl, "Object group missing identification");
        return 0;
    }
    /* The built-in group exists from start-up and its members join it as
     * they are created; reading it again would enter them twice. */
    if (iks_find_attrib(node, "internal"))
        return 0;
    msnp_group *group = msnp_new_object_group(idl, name.get(), nullptr);
    if (!group)
        return 0;

    for (iks *c = iks_first_tag(node); c; c = iks_next_tag(c)) {
        const char *tag = iks_name(c);
        if (strcmp(tag, "description") == 0) {
            const char *description = msnp_xml_first_text(c);
            if (description)
                set_text(&group->description, description);
            continue;
        }
        if (strcmp(tag, "member") != 0) {
            warn(idl, "Unknown group member node: %s", tag);
            continue;
        }
        const char *member = msnp_xml_first_text(c);
        if (!member)
            continue;
        msnp_object_type kind = MSNP_OBJECT_NONE;
        void *object = msnp_generic_object_search(nullptr, member, &kind, 0, nullptr);
        if (object)
            msnp_add_group_member(idl, group, object, kind);
        else
            msnp_add_group_weak(idl, group, member);
    }
    return 1;
}

int tq3_config_objects(idl_parser *idl, iks *node)
{
    pending_scope pending;
    for (iks *x = node; x; x = iks_next_tag(x)) {
        if (iks_type(x) != IKS_TAG)
            continue;
        const char *tag = iks_name(x);
        switch (msnp_object_search_symbol(tag)->type) {
        case MSNP_OBJECT_PERSON: tq3_config_object_person(idl, x); break;
        case MSNP_OBJECT_GROUP: tq3_config_object_group(idl, x); break;
        case MSNP_OBJECT_TIME:
        case MSNP_OBJECT_IMBITMAP:
        case MSNP_OBJECT_EXPR:
        case MSNP_OBJECT_OBJECT: msnp_deserialize_object_generic(idl, x); break;
        default: warn(idl, "Unknown object type: %s", tag); break;
        }
    }

    if (pending.owner())
        settle_pending_uids(idl, pending.list());
    return 1;
}

/* ------------------------------------------------------------------ */
/* The relation tree                                                   */
/* ------------------------------------------------------------------ */

namespace {

/* The node an identifier names below `tree`, as a path; NULL when it does
 * not resolve or names `tree` itself. */
msnp_rtree *existing_node(msnp_rtree *tree, const char *ident)
{
    char *copy = strdup(ident);
    if (!copy)
        return nullptr;
    std::vector<char *> words(strlen(ident) + 2, nullptr);
    int n = strexplode(copy, words.data(), static_cast<int>(words.size() - 1), "/", 0);
    words[static_cast<size_t>(n)] = nullptr;
    msnp_rtree *node = n > 0 ? rtree_resolve_tree_list(tree, words.data()) : nullptr;
    free(copy);
    return node == tree ? nullptr : node;
}

void tree_relation(idl_parser *idl, msnp_rtree *tree, iks *rel)
{
    attr_text object(rel, "object");
    if (!object) {
        if (idl && idl->warn)
            idl->warn(idl, "rtree relation missing object");
        return;
    }
    std::vector<std::string> words = relation_words(idl, rel, acl_form::tree, object.get());
    word_array perm(words);
    size_t before = tqlist_length(tree->contactl);
    msnp_add_object_dest(idl, tree, MSNP_OBJECT_NODE, object.get(), perm.get(), nullptr);
    if (tqlist_length(tree->contactl) > before) {
        attr_text uid(rel, "uid");
        adopt_uid(idl, last_relation(tree->contactl), uid.get());
    }
}

void tree_user(idl_parser *idl, msnp_rtree *tree, iks *user)
{
    const char *name = msnp_xml_first_text(user);
    if (!name) {
        if (idl && idl->warn)
            idl->warn(idl, "rtree user missing content");
        return;
    }
    msnp_add_object_dest(idl, tree, MSNP_OBJECT_NODE, name, nullptr, nullptr);
    /* Placing a user leaves a reply for a command; a load has nobody to
     * read it. */
    if (idl && idl->import && idl->data)
        idl_parser_set_data(idl, nullptr);
}

} // namespace

msnp_rtree *recurse_nodes_and_create_tree(idl_parser *idl, iks *node, msnp_rtree *tree)
{
    if (!tree)
        return nullptr;
    /* Checked here as well as where nodes are made: a document nested
     * deeper than any tree the module holds is not read to the bottom. */
    const bool full = rtree_depth(tree) >= MSNP_RTREE_MAX_DEPTH;
    msnp_rtree *last = nullptr;
    for (iks *x = node; x; x = iks_next_tag(x)) {
        if (iks_type(x) != IKS_TAG)
            continue;
        const char *tag = iks_name(x);
        if (strcmp(tag, "node") == 0) {
            attr_text ident(x, "identifier");
            if (!ident) {
                if (idl && idl->warn)
                    idl->warn(idl, "rtree node missing identification");
                continue;
            }
            if (full) {
                warn(idl, "rtree node too deep: %s", ident.get());
                continue;
            }
            msnp_rtree *child = msnp_new_object_node(idl, ident.get(), tree);
            /* A node that is already there (the creation reported it) is
             * filled in: loading adds to the tree as it does to objects. */
            if (!child)
                child = existing_node(tree, ident.get());
            if (!child)
                continue;
            recurse_nodes_and_create_tree(idl, iks_first_tag(x), child);
            last = child;
        } else if (strcmp(tag, "description") == 0) {
            /* A node's description is among its children; at the top it is
             * the root's own. */
            const char *description = msnp_xml_first_text(x);
            if (description)
                set_text(&tree->description, description);
        } else if (strcmp(tag, "user") == 0) {
            tree_user(idl, tree, x);
        } else if (strcmp(tag, "relation") == 0) {
            tree_relation(idl, tree, x);
        } else {
            warn(idl, "Unknown tree node: %s", tag);
        }
    }
    return last;
}

int tq3_config_relation_trees(idl_parser *idl, iks *node)
{
    if (!node || !ents)
        return 0;
    recurse_nodes_and_create_tree(idl, node, ents->root);
    return 1;
}

int tq3_config_dispatch(idl_parser *idl, iks *node)
{
    if (!node || iks_type(node) != IKS_TAG)
        return 1;
    const char *tag = iks_name(node);
    if (strcmp(tag, "object-list") == 0)
        tq3_config_objects(idl, iks_first_tag(node));
    else if (strcmp(tag, "relation-trees") == 0)
        tq3_config_relation_trees(idl, iks_first_tag(node));
    else
        warn(idl, "Unknown configuration node: %s", tag);
    return 1;
}
