/* Configuration variables of the module, read by name at the moment of use
 * so that a change made by the administrator applies to the next command,
 * and the module's clock. */
#include <string.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "tq3_msnp.h"
#include "tq3_msnp_objects.h"
#include "tqtable.h"
#include "utils.h"
#include "variables.h"

namespace {

/* A command reads a handful of variables, the same ones for every
 * command, and most of them are not set at all. Each thread remembers its
 * last lookups, misses included, until a variable is created or destroyed
 * anywhere; a record, once made, keeps its address, and its value and
 * type are read from it at every use. */
struct Remembered {
    const char *key = nullptr; /* the caller's pointer: usually a literal */
    std::string name;          /* what it held, in case the pointer is reused */
    const tqtable *ns = nullptr;
    unsigned long generation = 0;
    tq_variable *var = nullptr;
    const std::string *text = nullptr; /* this thread's copy of a string value */
};

/* Slots are chosen by the key's address: the hot keys are a few dozen
 * literals, spread well enough to rarely share one. The copies of string
 * values are kept by name, so that two names sharing a slot do not take
 * each other's text from a caller that holds both. */
constexpr size_t kRemembered = 128;
struct Memory {
    Remembered slots[kRemembered];
    std::unordered_map<std::string, std::string> texts;
};

/* The namespace is shared with the host, which may set variables at any
 * time; the locking lookup keeps a reader from seeing a half-built entry. */
Remembered *msnp_var_lookup(const char *key)
{
    if (!key || !ents || !ents->ns)
        return nullptr;
    unsigned long generation = variables_generation();
    Remembered &r = tq_thread_object<Memory>().slots[(reinterpret_cast<uintptr_t>(key) >> 3) % kRemembered];
    if (r.key == key && r.ns == ents->ns && r.generation == generation && strcmp(r.name.c_str(), key) == 0)
        return &r;
    r.key = key;
    r.name = key;
    r.ns = ents->ns;
    r.generation = generation;
    r.var = static_cast<tq_variable *>(ents->ns->get_safe(ents->ns, key));
    r.text = nullptr;
    if (char *copy = variable_text_copy(ents->ns, r.var)) {
        std::string &mine = tq_thread_object<Memory>().texts[r.name];
        mine.assign(copy);
        free(copy);
        r.text = &mine;
    }
    return &r;
}

} // namespace

/* The text is this thread's copy: a concurrent set cannot free it, and it
 * stays as it is until this thread reads the same variable again after a
 * change. */
const char *msnp_get_var(const char *key, const char *def)
{
    Remembered *r = msnp_var_lookup(key);
    return r && r->text ? r->text->c_str() : def;
}

long msnp_get_var_long(const char *key, long def)
{
    Remembered *r = msnp_var_lookup(key);
    return r && r->var ? variable_read_int(ents->ns, r->var, def) : def;
}

static std::atomic<time_t (*)(void)> msnp_clock{nullptr};

time_t msnp_now(void)
{
    time_t (*clock)(void) = msnp_clock.load(std::memory_order_relaxed);
    return clock ? clock() : time(nullptr);
}

void msnp_set_clock(time_t (*clock)(void))
{
    msnp_clock.store(clock, std::memory_order_relaxed);
}
