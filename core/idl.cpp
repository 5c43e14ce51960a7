// Management-command parser record with gathering default callbacks: the
// host reads back what a module reported once the command has run.
#include "tqidl.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void gather(tqlist **into, char *text)
{
    if (text && !tqlist_insert_end(into, text))
        std::free(text);
}

// The message of a printf-style call, newly allocated; NULL when it could
// not be made.
char *format_message(const char *fmt, va_list ap)
{
    char *msg = nullptr;
    return vasprintf(&msg, fmt ? fmt : "", ap) < 0 ? nullptr : msg;
}

void default_error(idl_parser *p, int code, const char *fmt, ...)
{
    if (!p)
        return;
    p->last_code = code;
    va_list ap;
    va_start(ap, fmt);
    char *msg = format_message(fmt, ap);
    va_end(ap);
    if (!msg)
        return;
    char *line = nullptr;
    if (asprintf(&line, "%d: %s", code, msg) < 0)
        line = nullptr;
    std::free(msg);
    gather(&p->errors, line);
}

void default_warn(idl_parser *p, const char *fmt, ...)
{
    if (!p)
        return;
    va_list ap;
    va_start(ap, fmt);
    char *msg = format_message(fmt, ap);
    va_end(ap);
    if (msg)
        gather(&p->warnings, msg);
}

void default_event(idl_parser *p, event_t *ev)
{
    if (!ev)
        return;
    if (!p) {
        tqevents_destroy_event(ev);
        return;
    }
    tqevents_insert_event_entry(&p->events, ev);
}

void default_event_first(idl_parser *p, event_t *ev)
{
    if (!ev)
        return;
    if (!p || !tqlist_insert_begin(&p->events, ev))
        tqevents_destroy_event(ev);
}

} // namespace

extern "C" {

idl_parser *idl_parser_new(void)
{
    auto *p = static_cast<idl_parser *>(std::calloc(1, sizeof(idl_parser)));
    if (!p)
        return nullptr;
    p->error = default_error;
    p->warn = default_warn;
    p->event = default_event;
    p->event_first = default_event_first;
    return p;
}

void idl_parser_set_data(idl_parser *p, const char *text)
{
    if (!p)
        return;
    char *copy = text ? strdup(text) : nullptr;
    std::free(p->data);
    p->data = copy;
}

void idl_parser_clear(idl_parser *p)
{
    if (!p)
        return;
    std::free(p->data);
    p->data = nullptr;
    p->last_code = 0;
    tqlist_destroy(&p->errors, nullptr);
    tqlist_destroy(&p->warnings, nullptr);
    tqevents_destroy_queue(&p->events);
}

void idl_parser_destroy(idl_parser *p)
{
    if (!p)
        return;
    idl_parser_clear(p);
    std::free(p);
}

} // extern "C"
