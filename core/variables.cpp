// Host variables. A record, once in the namespace, is never reallocated:
// modules keep pointers to their counters and bump them without a lock.
#include "variables.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr unsigned kTypeMask = VARIABLE_STRING | VARIABLE_INTEGER | VARIABLE_FLOAT;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// A whole text (blanks around it allowed) as a number that `convert`
// (strtol in base 10, or strtod) reads.
template <typename T, typename Convert> bool parse_number(const char *text, T *out, Convert convert)
{
    if (!text)
        return false;
    while (is_space(*text))
        ++text;
    if (!*text)
        return false;
    errno = 0;
    char *end = nullptr;
    T v = convert(text, &end);
    if (end == text || errno == ERANGE)
        return false;
    while (is_space(*end))
        ++end;
    if (*end)
        return false;
    *out = v;
    return true;
}

bool parse_long(const char *text, long *out)
{
    return parse_number(text, out, [](const char *t, char **end) { return std::strtol(t, end, 10); });
}

bool parse_double(const char *text, double *out)
{
    return parse_number(text, out, [](const char *t, char **end) { return std::strtod(t, end); });
}

// Splits "i/NAME", "f/NAME", "s/NAME" or "NAME" into type and name.
unsigned spec_type(const char *spec, const char **name)
{
    if (spec[0] != '\0' && spec[1] == '/') {
        switch (spec[0]) {
        case 'i':
            *name = spec + 2;
            return VARIABLE_INTEGER;
        case 'f':
            *name = spec + 2;
            return VARIABLE_FLOAT;
        case 's':
            *name = spec + 2;
            return VARIABLE_STRING;
        default:
            break;
        }
    }
    *name = spec;
    return VARIABLE_STRING;
}

std::atomic<unsigned long> generation{1};

void changed() { generation.fetch_add(1, std::memory_order_acq_rel); }

} // namespace

extern "C" {

unsigned long variables_generation(void) { return generation.load(std::memory_order_acquire); }

tq_variable *variable_set(tqtable *ns, const char *spec, const char *value)
{
    if (!ns || !spec)
        return nullptr;
    const char *name = nullptr;
    unsigned type = spec_type(spec, &name);
    if (!*name)
        return nullptr;

    // Prepare the new value before taking the lock: only pointer and number
    // stores happen inside it.
    char *text = nullptr;
    long integer = 0;
    double real = 0.0;
    if (type == VARIABLE_STRING) {
        text = strdup(value ? value : "");
        if (!text)
            return nullptr;
    } else if (type == VARIABLE_INTEGER) {
        if (!parse_long(value, &integer))
            integer = 0;
    } else if (!parse_double(value, &real)) {
        real = 0.0;
    }

    tqtable_wrlock(ns);
    auto *var = static_cast<tq_variable *>(ns->get(ns, name));
    if (!var) {
        var = static_cast<tq_variable *>(std::calloc(1, sizeof(tq_variable)));
        char *copy = var ? strdup(name) : nullptr;
        if (!copy || !ns->set_unique(ns, name, var)) {
            tqtable_unlock(ns);
            std::free(copy);
            std::free(var);
            std::free(text);
            return nullptr;
        }
        var->name = copy;
        changed();
    }
    // Integers are read without the lock (variable_read_int): the type
    // word says which member is valid, and a reader that saw INTEGER checks
    // the type again after the number. So a number is stored before the
    // type becomes INTEGER, and the type leaves INTEGER before anything
    // else is stored. Flags other than the type (VARIABLE_STATISTIC) belong
    // to the record and survive a change of value.
    unsigned flags = __atomic_load_n(&var->flags, __ATOMIC_SEQ_CST);
    char *old_text = (flags & kTypeMask) == VARIABLE_STRING ? var->data.text : nullptr;
    unsigned now = (flags & ~kTypeMask) | type;
    if (type == VARIABLE_INTEGER) {
        __atomic_store_n(&var->data.integer, integer, __ATOMIC_SEQ_CST);
        __atomic_store_n(&var->flags, now, __ATOMIC_SEQ_CST);
    } else {
        __atomic_store_n(&var->flags, now, __ATOMIC_SEQ_CST);
        if (type == VARIABLE_STRING)
            __atomic_store_n(&var->data.text, text, __ATOMIC_SEQ_CST);
        else
            __atomic_store(&var->data.real, &real, __ATOMIC_SEQ_CST);
    }
    // Text readers hold the lock: nobody reads the old text any more.
    std::free(old_text);
    // Readers that keep copies of values learn that theirs may be stale.
    changed();
    tqtable_unlock(ns);
    return var;
}

tq_variable *variable_get(tqtable *ns, const char *name)
{
    if (!ns || !name)
        return nullptr;
    return static_cast<tq_variable *>(ns->get_safe(ns, name));
}

long variable_convert_to_int(const tq_variable *var, long def)
{
    if (!var)
        return def;
    switch (var->flags & kTypeMask) {
    case VARIABLE_INTEGER:
        return __atomic_load_n(&var->data.integer, __ATOMIC_SEQ_CST);
    case VARIABLE_FLOAT: {
        double d = var->data.real;
        // Out-of-range conversion is undefined: clamp instead.
        if (!(d == d))
            return def;
        if (d >= static_cast<double>(LONG_MAX))
            return LONG_MAX;
        if (d <= static_cast<double>(LONG_MIN))
            return LONG_MIN;
        return static_cast<long>(d);
    }
    case VARIABLE_STRING: {
        long v;
        return parse_long(var->data.text, &v) ? v : def;
    }
    default:
        return def;
    }
}

char *variable_text_copy(tqtable *ns, const tq_variable *var)
{
    if (!ns || !var)
        return nullptr;
    tqtable_rdlock(ns);
    char *copy = (var->flags & kTypeMask) == VARIABLE_STRING ? strdup(var->data.text ? var->data.text : "") : nullptr;
    tqtable_unlock(ns);
    return copy;
}

long variable_read_int(tqtable *ns, const tq_variable *var, long def)
{
    if (!var)
        return def;
    // The same type before and after is not enough: two sets in between
    // (to a text and back to a number) leave the type word as it was while
    // the number was read from a text's pointer. Every set ends by moving
    // the generation, so an unmoved generation means no set finished.
    const unsigned long before = generation.load(std::memory_order_seq_cst);
    unsigned flags = __atomic_load_n(&var->flags, __ATOMIC_SEQ_CST);
    if ((flags & kTypeMask) == VARIABLE_INTEGER) {
        long v = __atomic_load_n(&var->data.integer, __ATOMIC_SEQ_CST);
        if (__atomic_load_n(&var->flags, __ATOMIC_SEQ_CST) == flags &&
            generation.load(std::memory_order_seq_cst) == before)
            return v;
    }
    if (!ns)
        return def;
    tqtable_rdlock(ns);
    long v = variable_convert_to_int(var, def);
    tqtable_unlock(ns);
    return v;
}

long variable_add(tq_variable *var, long delta)
{
    if (!var || (var->flags & kTypeMask) != VARIABLE_INTEGER)
        return 0;
    // Counters wrap like unsigned numbers rather than overflowing.
    auto *cell = reinterpret_cast<unsigned long *>(&var->data.integer);
    return static_cast<long>(__atomic_add_fetch(cell, static_cast<unsigned long>(delta), __ATOMIC_SEQ_CST));
}

char *variable_to_string(const tq_variable *var)
{
    if (!var)
        return nullptr;
    switch (var->flags & kTypeMask) {
    case VARIABLE_INTEGER: {
        char *out = nullptr;
        if (asprintf(&out, "%ld", __atomic_load_n(&var->data.integer, __ATOMIC_SEQ_CST)) < 0)
            return nullptr;
        return out;
    }
    case VARIABLE_FLOAT: {
        // Shortest text that reads back as the same double.
        char buf[64];
        auto res = std::to_chars(buf, buf + sizeof buf - 1, var->data.real);
        if (res.ec != std::errc())
            return nullptr;
        *res.ptr = '\0';
        return strdup(buf);
    }
    case VARIABLE_STRING:
        return strdup(var->data.text ? var->data.text : "");
    default:
        return strdup("");
    }
}

void variable_destroy(void *v)
{
    auto *var = static_cast<tq_variable *>(v);
    if (!var)
        return;
    changed();
    if ((var->flags & kTypeMask) == VARIABLE_STRING)
        std::free(var->data.text);
    std::free(var->name);
    std::free(var);
}

} // extern "C"
