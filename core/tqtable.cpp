// String-keyed table kept in insertion order. A small table (a message's
// header lines, a command's options) keeps its entries in the table's own
// block and finds a key by walking them: one allocation for the whole
// table. Past a few entries they move to a std::list, whose nodes stay put
// across inserts and removals, and a hash index maps each key to its node
// (the index's key is a view of the node's own: a key is kept once).
// The plain slots never lock: callers that hold the table's lock
// (tqtable_rdlock/wrlock) call them from inside the critical section, and
// the `_safe` slots wrap them with the lock.
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
    void *value = nullptr;
};

struct KeyHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

using List = std::list<Entry>;
using Pos = List::iterator;

// Up to this many entries a key is found by walking the entries: hashing
// and indexing a few keys costs more than comparing them.
constexpr size_t kLinearMax = 8;

struct Impl {
    // The C face lives in the same block as what it points to.
    tqtable face{};
    // The entries while there are at most kLinearMax, in order, each built
    // when it comes: a table is made for every relayed message's header,
    // which has three or four lines.
    alignas(Entry) unsigned char small_room[kLinearMax * sizeof(Entry)];
    size_t small_n = 0;
    // All entries once the table outgrew `small`, then kept so.
    bool indexed = false;
    List order;
    std::unordered_map<std::string_view, Pos, KeyHash> index;
    size_t buckets;
    // The number of entries, so that tqtable_count needs no lock and can
    // be called by a thread that already holds the write lock.
    std::atomic<size_t> count{0};
    pthread_rwlock_t lock;

    explicit Impl(size_t b) : buckets(b ? b : 16) { pthread_rwlock_init(&lock, nullptr); }
    ~Impl()
    {
        drop_small();
        pthread_rwlock_destroy(&lock);
    }

    Entry *small() { return std::launder(reinterpret_cast<Entry *>(small_room)); }
    void drop_small()
    {
        for (size_t k = 0; k < small_n; ++k)
            small()[k].~Entry();
        small_n = 0;
    }

    size_t size() const { return indexed ? order.size() : small_n; }
    void counted() { count.store(size(), std::memory_order_relaxed); }
};

Impl *impl_of(tqtable *t) { return t ? static_cast<Impl *>(t->impl) : nullptr; }

// Calls `visit` on each entry in order until it answers true.
template <typename Visit> void each(Impl *i, Visit visit)
{
    if (i->indexed) {
        for (Entry &e : i->order)
            if (visit(e))
                return;
        return;
    }
    for (size_t k = 0; k < i->small_n; ++k)
        if (visit(i->small()[k]))
            return;
}

Entry *find(Impl *i, std::string_view key)
{
    if (i->indexed) {
        auto it = i->index.find(key);
        return it == i->index.end() ? nullptr : &*it->second;
    }
    for (size_t k = 0; k < i->small_n; ++k)
        if (i->small()[k].key == key)
            return &i->small()[k];
    return nullptr;
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

// Appends a new entry; throws std::bad_alloc with the table unchanged.
void append_entry(Impl *i, std::string_view key, void *value)
{
    if (!i->indexed && i->small_n < kLinearMax) {
        new (&i->small()[i->small_n]) Entry{std::string(key), value};
        ++i->small_n;
        return;
    }
    if (!i->indexed) {
        // The entries move to the list, built aside and then swapped in.
        List order;
        for (size_t k = 0; k < i->small_n; ++k)
            order.push_back(Entry{i->small()[k].key, i->small()[k].value});
        order.push_back(Entry{std::string(key), value});
        decltype(i->index) index(i->buckets);
        for (Pos p = order.begin(); p != order.end(); ++p)
            index.emplace(std::string_view(p->key), p);
        i->order.swap(order);
        i->index.swap(index);
        i->indexed = true;
        i->drop_small();
        return;
    }
    i->order.push_back(Entry{std::string(key), value});
    try {
        i->index.emplace(std::string_view(i->order.back().key), std::prev(i->order.end()));
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
    Entry *e = find(i, key);
    return e ? e->value : nullptr;
}

void *t_set(tqtable *t, const char *key, void *value)
{
    Impl *i = impl_of(t);
    if (!i || !key)
        return nullptr;
    try {
        std::string_view k(key); // measured once for the search and the copy
        if (Entry *e = find(i, k)) {
            void *old = e->value;
            e->value = value;
            return old;
        }
        append_entry(i, k, value);
        i->counted();
    } catch (const std::bad_alloc &) {
    }
    return nullptr;
}

int t_set_unique(tqtable *t, const char *key, void *value)
{
    Impl *i = impl_of(t);
    if (!i || !key)
        return 0;
    std::string_view k(key);
    if (find(i, k))
        return 0;
    try {
        append_entry(i, k, value);
    } catch (const std::bad_alloc &) {
        return 0;
    }
    i->counted();
    return 1;
}

void *t_remove(tqtable *t, const char *key)
{
    Impl *i = impl_of(t);
    if (!i || !key)
        return nullptr;
    void *value = nullptr;
    if (i->indexed) {
        auto it = i->index.find(std::string_view(key));
        if (it == i->index.end())
            return nullptr;
        Pos p = it->second;
        value = p->value;
        i->index.erase(it);
        i->order.erase(p);
    } else {
        Entry *e = find(i, key);
        if (!e)
            return nullptr;
        value = e->value;
        for (Entry *end = i->small() + i->small_n - 1; e < end; ++e)
            *e = std::move(e[1]);
        --i->small_n;
        i->small()[i->small_n].~Entry();
    }
    i->counted();
    return value;
}

int t_rename(tqtable *t, const char *from, const char *to)
{
    Impl *i = impl_of(t);
    if (!i || !from || !to)
        return 0;
    Entry *e = find(i, from);
    if (!e)
        return 0;
    if (std::strcmp(from, to) == 0)
        return 1;
    if (find(i, to))
        return 0;
    try {
        std::string newkey(to);
        if (i->indexed) {
            // The index entry is taken out, given a view of the new key and
            // put back: the index holds as many entries as it did, so this
            // neither allocates nor rehashes, and nothing can fail.
            auto node = i->index.extract(i->index.find(std::string_view(from)));
            e->key.swap(newkey);
            node.key() = std::string_view(e->key);
            i->index.insert(std::move(node));
        } else {
            e->key.swap(newkey);
        }
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
    bool failed = false;
    each(i, [&](const Entry &e) {
        void *datum = datum_of(e);
        // Append after the remembered tail: keeps the copy linear in size.
        tqlist *node = datum || !owned ? tqlist_insert_after(&out, tail, datum) : nullptr;
        if (!node) {
            if (owned)
                std::free(datum);
            failed = true;
            return true;
        }
        tail = node;
        return false;
    });
    if (failed) {
        if (owned)
            tqlist_destroy(&out, nullptr);
        else
            tqlist_destroy_without_refs(&out);
        return nullptr;
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
    auto *i = new (std::nothrow) Impl(buckets);
    if (!i)
        return nullptr;
    tqtable *t = &i->face;
    t->impl = i;
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
    delete impl_of(t);
}

void tqtable_destroy_with_values(tqtable *t, tqlist_free_fn release)
{
    Impl *i = impl_of(t);
    if (!i)
        return;
    each(i, [&](Entry &e) {
        if (release)
            release(e.value);
        else
            std::free(e.value);
        return false;
    });
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
    each(i, [&](const Entry &e) {
        ++n;
        return visit(e.key.c_str(), e.value, arg) != 0;
    });
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
