/* Registry indexes that keep policy loading linear.
 *
 * A weak reference waits for a name; when an object of that name is
 * created, only the persons and groups waiting for it are visited instead
 * of every person and group. The user-handle index answers the duplicate
 * check of every new user without a scan of all persons, and the relation
 * index keeps relation uids unique when documents bring their own.
 *
 * Both indexes only point at objects that are alive: a holder leaves the
 * weak index when it is released, and a person leaves the handle index
 * when its handle changes or it is released. A holder that dropped a weak
 * entry by other means may stay listed under that name; resolution looks
 * the name up in the holder's own table, so such an entry is harmless. */
#include <string.h>

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tq3_msnp.h"
#include "tq3_msnp_identity.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_relation.h"

/* Looked up by a handle as it came, without a copy: every decision asks for
 * the contact's user. */
struct handle_hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

struct msnp_indexes {
    std::mutex lock;
    std::unordered_map<std::string, std::vector<msnp_weak_holder>> waiting;
    std::unordered_map<void *, std::vector<std::string>> names_of;
    std::unordered_map<std::string, msnp_person *, handle_hash, std::equal_to<>> user_handles;
    std::unordered_map<std::string, msnp_relates *> relation_uids;
};

msnp_indexes *msnp_indexes_new()
{
    return new msnp_indexes();
}

void msnp_indexes_destroy(msnp_indexes *idx)
{
    delete idx;
}

/* Drops `key` from an index when it names `owner`: an entry another
 * object took over in the meantime stays. */
template <typename Map, typename Owner> static void erase_own(Map &index, const char *key, Owner *owner)
{
    auto it = index.find(std::string(key));
    if (it != index.end() && it->second == owner)
        index.erase(it);
}

static msnp_indexes *indexes()
{
    return ents ? ents->indexes : nullptr;
}

void msnp_weak_wait(msnp_object_type type, void *holder, const char *name)
{
    msnp_indexes *idx = indexes();
    if (!idx || !holder || !name)
        return;
    std::lock_guard<std::mutex> guard(idx->lock);
    idx->waiting[name].push_back({type, holder});
    idx->names_of[holder].emplace_back(name);
}

void msnp_weak_forget(void *holder)
{
    msnp_indexes *idx = indexes();
    if (!idx || !holder)
        return;
    std::lock_guard<std::mutex> guard(idx->lock);
    auto names = idx->names_of.find(holder);
    if (names == idx->names_of.end())
        return;
    for (const std::string &name : names->second) {
        auto w = idx->waiting.find(name);
        if (w == idx->waiting.end())
            continue;
        std::erase_if(w->second, [holder](const msnp_weak_holder &h) { return h.object == holder; });
        if (w->second.empty())
            idx->waiting.erase(w);
    }
    idx->names_of.erase(names);
}

std::vector<msnp_weak_holder> msnp_weak_take(const char *name)
{
    std::vector<msnp_weak_holder> out;
    msnp_indexes *idx = indexes();
    if (!idx || !name)
        return out;
    std::lock_guard<std::mutex> guard(idx->lock);
    auto w = idx->waiting.find(name);
    if (w == idx->waiting.end())
        return out;
    out = std::move(w->second);
    idx->waiting.erase(w);
    for (const msnp_weak_holder &h : out) {
        auto names = idx->names_of.find(h.object);
        if (names == idx->names_of.end())
            continue;
        std::erase(names->second, std::string(name));
        if (names->second.empty())
            idx->names_of.erase(names);
    }
    return out;
}

void msnp_user_handle_index(msnp_person *person, const char *old_handle)
{
    msnp_indexes *idx = indexes();
    if (!idx || !person)
        return;
    std::lock_guard<std::mutex> guard(idx->lock);
    if (old_handle)
        erase_own(idx->user_handles, msnp_canonical_handle(old_handle).c_str(), person);
    if (person->type == PERSON_USER && person->handle)
        idx->user_handles.emplace(msnp_canonical_handle(person->handle), person);
}

void msnp_user_handle_forget(msnp_person *person)
{
    msnp_indexes *idx = indexes();
    if (!idx || !person || !person->handle)
        return;
    std::lock_guard<std::mutex> guard(idx->lock);
    erase_own(idx->user_handles, msnp_canonical_handle(person->handle).c_str(), person);
}

msnp_person *msnp_user_handle_find(const char *handle)
{
    msnp_indexes *idx = indexes();
    if (!idx || !handle)
        return nullptr;
    std::lock_guard<std::mutex> guard(idx->lock);
    /* Users are found by handle as servers compare handles. */
    std::string room;
    auto it = idx->user_handles.find(std::string_view(msnp_canonical_handle_in(handle, room)));
    return it == idx->user_handles.end() ? nullptr : it->second;
}

int msnp_relation_uid_claim(msnp_relates *relation, const char *uid)
{
    msnp_indexes *idx = indexes();
    if (!idx || !relation || !uid)
        return 1;
    std::lock_guard<std::mutex> guard(idx->lock);
    auto [it, fresh] = idx->relation_uids.emplace(uid, relation);
    if (!fresh && it->second != relation)
        return 0;
    if (relation->uid && strcmp(relation->uid, uid) != 0)
        erase_own(idx->relation_uids, relation->uid, relation);
    return 1;
}

void msnp_relation_uid_forget(msnp_relates *relation)
{
    msnp_indexes *idx = indexes();
    if (!idx || !relation || !relation->uid)
        return;
    std::lock_guard<std::mutex> guard(idx->lock);
    erase_own(idx->relation_uids, relation->uid, relation);
}
