// String-keyed table kept in insertion order. Entries live in a std::list so
// that iterators stay valid across inserts and removals; once the table is
// more than a few entries, a hash index maps each key to its entry. The plain slots never lock: callers that hold the
// table's lock (tqtable_rdlock/wrlock) call them from inside the critical
// section, and the `_safe` slots wrap them with the lock.
#include "tqtable.h"

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <list>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>

namespace {

struct Entry {
    std::string key;
    void *value;
};

struct KeyHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

using Pos = std::list<Entry>::iterator;

// Up to this many entries a key is found by walking the entries: most
// tables are a message's header lines or a command's options, and hashing
// and indexing them cost more than comparing a few keys.
constexpr size_t kLinearMax = 8;

struct Impl {
    std::list<Entry> order;
    // Built when the table outgrows kLinearMax, then kept up to date.
    std::unordered_map<std::string, Pos, KeyHash, std::equal_to<>> index;
    bool indexed = false;
    size_t buckets;
    // Mirrors order.size() so that tqtable_count needs no lock and can be
    // called by a thread that already holds the write lock.
    std::atomic<size_t> count{0};
    pthread_rwlock_t lock;

    explicit Impl(size_t b) : buckets(b ? b : 16) { pthread_rwlock_init(&lock, nullptr); }
    ~Impl() { pthread_rwlock_destroy(&lock); }
};

Impl *impl_of(tqtable *t) { return t ? static_cast<Impl *>(t->impl) : nullptr; }

Pos find(Impl *i, std::string_view key)
{
    if (i->indexed) {
        auto it = i->index.find(key);
        return it == i->index.end() ? i->order.end() : it->second;
    }
    for (Pos p = i->order.begin(); p != i->order.end(); ++p)
        if (p->key == key)
            return p;
    return i->order.end();
}

// Holds the table's lock, taken with `Lock`, for the guard's scope.
template <int (*Lock)(pthread_rwlock_t *)> class Guard {
public:
    explicit Guard(Impl *i) : i_(i) { Lock(&i_->lock); }
    ~Guard() { pthread_rwlock_unlock(&i_->lock); }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;

private:
    Impl *i_;
};
using ReadGuard = Guard<pthread_rwlock_rdlock>;
using WriteGuard = Guard<pthread_rwlock_wrlock>;

// Appends a new entry and indexes it; throws std::bad_alloc with the table
// unchanged.
void append_entry(Impl *i, const char *key, void *value)
{
    i->order.push_back(Entry{key, value});
    try {
        if (i->indexed) {
            i->index.emplace(key, std::prev(i->order.end()));
        } else if (i->order.size() > kLinearMax) {
            decltype(i->index) index(i->buckets);
            for (Pos p = i->order.begin(); p != i->order.end(); ++p)
                index.emplace(p->key, p);
            i->index.swap(index);
            i->indexed = true;
        }
    } catch (...) {
        i->order.pop_back();
        throw;
    }
}

void *t_get(tqtable *t, const char *key)
{
    Impl *i = impl_of(t);
    if (!i || !key)
        return nullptr;
    Pos p = find(i, key);
    return p == i->order.end() ? nullptr : p->value;
}

void *t_set(tqtable *t, const char *key, void *value)
{
    Impl *i = impl_of(t);
    if (!i || !key)
        return nullptr;
    try {
        Pos p = find(i, key);
        if (p != i->order.end()) {
            void *old = p->value;
            p->value = value;
            return old;
        }
        append_entry(i, key, value);
        i->count.store(i->order.size(), std::memory_order_relaxed);
    } catch (const std::bad_alloc &) {
    }
    return nullptr;
}

int t_set_unique(tqtable *t, const char *key, void *value)
{
    Impl *i = impl_of(t);
    if (!i || !key)
        return 0;
    if (find(i, key) != i->order.end())
        return 0;
    try {
        append_entry(i, key, value);
    } catch (const std::bad_alloc &) {
        return 0;
    }
    i->count.store(i->order.size(), std::memory_order_relaxed);
    return 1;
}

void *t_remove(tqtable *t, const char *key)
{
    Impl *i = impl_of(t);
    if (!i || !key)
        return nullptr;
    Pos p = find(i, key);
    if (p == i->order.end())
        return nullptr;
    void *value = p->value;
    if (i->indexed)
        i->index.erase(i->index.find(std::string_view(key)));
    i->order.erase(p);
    i->count.store(i->order.size(), std::memory_order_relaxed);
    return value;
}

int t_rename(tqtable *t, const char *from, const char *to)
{
    Impl *i = impl_of(t);
    if (!i || !from || !to)
        return 0;
    Pos pos = find(i, from);
    if (pos == i->order.end())
        return 0;
    if (std::strcmp(from, to) == 0)
        return 1;
    if (find(i, to) != i->order.end())
        return 0;
    try {
        std::string newkey(to);
        if (i->indexed)
            i->index.emplace(newkey, pos);
        // Both allocations succeeded: nothing below can throw.
        pos->key.swap(newkey);
        if (i->indexed)
            i->index.erase(i->index.find(std::string_view(from)));
    } catch (const std::bad_alloc &) {
        return 0;
    }
    return 1;
}

// A list of one datum per entry, in insertion order. With `owned` each
// datum is a new copy that the list frees should building it fail.
template <typename Datum> tqlist *collect(tqtable *t, Datum datum_of, bool owned)
{
    Impl *i = impl_of(t);
    tqlist *out = nullptr;
    tqlist *tail = nullptr;
    if (!i)
        return nullptr;
    for (const Entry &e : i->order) {
        void *datum = datum_of(e);
        // Append after the remembered tail: keeps the copy linear in size.
        tqlist *node = datum || !owned ? tqlist_insert_after(&out, tail, datum) : nullptr;
        if (!node) {
            if (owned) {
                std::free(datum);
                tqlist_destroy(&out, nullptr);
            } else {
                tqlist_destroy_without_refs(&out);
            }
            return nullptr;
        }
        tail = node;
    }
    return out;
}

tqlist *t_keys(tqtable *t)
{
    return collect(t, [](const Entry &e) -> void * { return strdup(e.key.c_str()); }, true);
}

tqlist *t_values(tqtable *t)
{
    return collect(t, [](const Entry &e) { return e.value; }, false);
}

void *t_get_safe(tqtable *t, const char *key)
{
    Impl *i = impl_of(t);
    if (!i)
        return nullptr;
    ReadGuard g(i);
    return t_get(t, key);
}

void *t_set_safe(tqtable *t, const char *key, void *value)
{
    Impl *i = impl_of(t);
    if (!i)
        return nullptr;
    WriteGuard g(i);
    return t_set(t, key, value);
}

int t_set_unique_safe(tqtable *t, const char *key, void *value)
{
    Impl *i = impl_of(t);
    if (!i)
        return 0;
    WriteGuard g(i);
    return t_set_unique(t, key, value);
}

void *t_remove_safe(tqtable *t, const char *key)
{
    Impl *i = impl_of(t);
    if (!i)
        return nullptr;
    WriteGuard g(i);
    return t_remove(t, key);
}

int t_rename_safe(tqtable *t, const char *from, const char *to)
{
    Impl *i = impl_of(t);
    if (!i)
        return 0;
    WriteGuard g(i);
    return t_rename(t, from, to);
}

tqlist *t_keys_safe(tqtable *t)
{
    Impl *i = impl_of(t);
    if (!i)
        return nullptr;
    ReadGuard g(i);
    return t_keys(t);
}

tqlist *t_values_safe(tqtable *t)
{
    Impl *i = impl_of(t);
    if (!i)
        return nullptr;
    ReadGuard g(i);
    return t_values(t);
}

} // namespace

extern "C" {

tqtable *new_tqtable(size_t buckets)
{
    auto *t = static_cast<tqtable *>(std::calloc(1, sizeof(tqtable)));
    if (!t)
        return nullptr;
    try {
        t->impl = new Impl(buckets);
    } catch (const std::bad_alloc &) {
        std::free(t);
        return nullptr;
    }
    t->get = t_get;
    t->set = t_set;
    t->set_unique = t_set_unique;
    t->remove = t_remove;
    t->rename = t_rename;
    t->keys = t_keys;
    t->values = t_values;
    t->get_safe = t_get_safe;
    t->set_safe = t_set_safe;
    t->set_unique_safe = t_set_unique_safe;
    t->remove_safe = t_remove_safe;
    t->rename_safe = t_rename_safe;
    t->keys_safe = t_keys_safe;
    t->values_safe = t_values_safe;
    return t;
}

void tqtable_destroy(tqtable *t)
{
    if (!t)
        return;
    delete impl_of(t);
    std::free(t);
}

void tqtable_destroy_with_values(tqtable *t, tqlist_free_fn release)
{
    Impl *i = impl_of(t);
    if (!i)
        return;
    for (Entry &e : i->order) {
        if (release)
            release(e.value);
        else
            std::free(e.value);
    }
    tqtable_destroy(t);
}

size_t tqtable_count(tqtable *t)
{
    Impl *i = impl_of(t);
    return i ? i->count.load(std::memory_order_relaxed) : 0;
}

size_t linear_entries_direct(tqtable *t, tqtable_visit_fn visit, void *arg)
{
    Impl *i = impl_of(t);
    if (!i || !visit)
        return 0;
    size_t n = 0;
    for (const Entry &e : i->order) {
        ++n;
        if (visit(e.key.c_str(), e.value, arg))
            break;
    }
    return n;
}

void tqtable_rdlock(tqtable *t)
{
    if (Impl *i = impl_of(t))
        pthread_rwlock_rdlock(&i->lock);
}

void tqtable_wrlock(tqtable *t)
{
    if (Impl *i = impl_of(t))
        pthread_rwlock_wrlock(&i->lock);
}

void tqtable_unlock(tqtable *t)
{
    if (Impl *i = impl_of(t))
        pthread_rwlock_unlock(&i->lock);
}

} // extern "C"
