// Host events. Every event text is one XML element rendered by iksemel, so
// user-controlled text (messages, handles) is always escaped.
#include "tqevents_interface.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "utils.h"

namespace {

struct IksDeleter {
    void operator()(iks *x) const { iks_delete(x); }
};
using IksPtr = std::unique_ptr<iks, IksDeleter>;

constexpr unsigned kMatchFlags = TQ_MATCH_HIDDEN | TQ_MATCH_ADVISED;

void attrib(iks *x, const char *name, const char *value)
{
    if (value)
        iks_insert_attrib(x, name, value);
}

void attrib_time(iks *x, time_t t)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(t));
    iks_insert_attrib(x, "time", buf);
}

// The rendered element as one line of valid UTF-8: logs keep one event per
// line, and a message text (network bytes) may hold line breaks, control
// bytes or broken sequences. A line break (CR LF, CR or LF) becomes one
// blank (character references would not read back through our XML reader);
// what no XML document may hold becomes '?'.
char *one_line(const char *rendered)
{
    size_t n = std::strlen(rendered);
    char *text = static_cast<char *>(std::malloc(n + 1));
    if (!text)
        return nullptr;
    /* Spans without a line break are copied whole: message texts are long
     * and rarely hold one. */
    size_t out = 0;
    for (const char *p = rendered; *p;) {
        size_t span = std::strcspn(p, "\r\n");
        std::memcpy(text + out, p, span);
        out += span;
        p += span;
        if (!*p)
            break;
        p += p[0] == '\r' && p[1] == '\n' ? 2 : 1;
        text[out++] = ' ';
    }
    text[out] = '\0';
    sanitize_utf8_string(text);
    return text;
}

// Renders `x` and wraps it in a malloc'd event. Takes `x`.
event_t *finish(IksPtr x, event_code code, time_t now)
{
    if (!x)
        return nullptr;
    char *rendered = iks_string(iks_stack(x.get()), x.get());
    if (!rendered)
        return nullptr;
    auto *ev = static_cast<event_t *>(std::calloc(1, sizeof(event_t)));
    if (!ev)
        return nullptr;
    ev->text = one_line(rendered);
    if (!ev->text) {
        std::free(ev);
        return nullptr;
    }
    ev->code = code;
    ev->time = now;
    return ev;
}

event_t *object_event(const char *element, event_code code, iks *object)
{
    if (!object)
        return nullptr;
    IksPtr x(iks_new(element));
    if (!x)
        return nullptr;
    // Copy into the event's own stack so that deleting the event tree frees
    // the copy too.
    iks *copy = iks_copy_within(object, iks_stack(x.get()));
    if (!copy)
        return nullptr;
    iks_insert_node(x.get(), copy);
    return finish(std::move(x), code, time(nullptr));
}

} // namespace

extern "C" {

const char *tqevents_code_name(event_code code)
{
    switch (code) {
    case EVENT_CODE_NONE: return "none";
    case EVENT_CODE_OBJECT_NEW: return "object-new";
    case EVENT_CODE_OBJECT_DATA: return "object-data";
    case EVENT_CODE_OBJECT_RENAME: return "object-rename";
    case EVENT_CODE_OBJECT_COLLECT: return "object-collect";
    case EVENT_CODE_LOG_MESSAGE: return "message";
    case EVENT_CODE_LOG_ACTIVITY: return "activity";
    case EVENT_CODE_LOG_JOINLEAVE: return "join-leave";
    case EVENT_CODE_LOG_LOGIN: return "login";
    case EVENT_CODE_LOG_LOGOUT: return "logout";
    case EVENT_CODE_LOG_ONLINE: return "online";
    case EVENT_CODE_LOG_OFFLINE: return "offline";
    case EVENT_CODE_LOG_STATECHANGE: return "state-change";
    case EVENT_CODE_LOG_ADDING: return "adding";
    case EVENT_CODE_LOG_ADDEDBY: return "added-by";
    case EVENT_CODE_LOG_REMOVING: return "removing";
    case EVENT_CODE_LOG_REMOVEDBY: return "removed-by";
    case EVENT_CODE_LOG_CALLING: return "calling";
    case EVENT_CODE_LOG_CALLEDBY: return "called-by";
    case EVENT_CODE_LOG_LISTING: return "listing";
    }
    return "unknown";
}

const char *tqevents_match_name(match_t match)
{
    switch (static_cast<unsigned>(match) & ~kMatchFlags) {
    case TQ_MATCH_NONE: return "none";
    case TQ_MATCH_INVALID: return "invalid";
    case TQ_MATCH_MOREDATA: return "more-data";
    case TQ_MATCH_PASS: return "pass";
    case TQ_MATCH_BLOCK: return "block";
    case TQ_MATCH_CONTINUE: return "continue";
    case TQ_MATCH_ALERT: return "alert";
    default: return "unknown";
    }
}

event_t *tqevents_shortcut_object_new(iks *object)
{
    return object_event("object-new", EVENT_CODE_OBJECT_NEW, object);
}

event_t *tqevents_shortcut_object_data(iks *object)
{
    return object_event("object-data", EVENT_CODE_OBJECT_DATA, object);
}

event_t *tqevents_shortcut_object_rename(const char *old_name, const char *new_name)
{
    if (!old_name || !new_name)
        return nullptr;
    IksPtr x(iks_new("object-rename"));
    if (!x)
        return nullptr;
    attrib(x.get(), "old", old_name);
    attrib(x.get(), "new", new_name);
    return finish(std::move(x), EVENT_CODE_OBJECT_RENAME, time(nullptr));
}

event_t *tqevents_shortcut_object_collect(const char *name)
{
    if (!name)
        return nullptr;
    IksPtr x(iks_new("object-collect"));
    if (!x)
        return nullptr;
    attrib(x.get(), "name", name);
    return finish(std::move(x), EVENT_CODE_OBJECT_COLLECT, time(nullptr));
}

event_t *tqevents_shortcut_contact_activity(const char *handle, event_code code, match_t match)
{
    IksPtr x(iks_new("contact-activity"));
    if (!x)
        return nullptr;
    time_t now = time(nullptr);
    attrib(x.get(), "handle", handle);
    attrib(x.get(), "code", tqevents_code_name(code));
    attrib(x.get(), "verdict", tqevents_match_name(match));
    attrib_time(x.get(), now);
    return finish(std::move(x), code, now);
}

event_t *tqevents_shortcut_log_message(const char *orig, const char *dest, const char *text,
                                       const char *session, match_t match)
{
    IksPtr x(iks_new("message"));
    if (!x)
        return nullptr;
    time_t now = time(nullptr);
    attrib(x.get(), "orig", orig);
    attrib(x.get(), "dest", dest);
    attrib(x.get(), "session", session);
    attrib(x.get(), "verdict", tqevents_match_name(match));
    attrib_time(x.get(), now);
    if (text && *text && !(static_cast<unsigned>(match) & TQ_MATCH_HIDDEN))
        iks_insert_cdata(x.get(), text, 0);
    return finish(std::move(x), EVENT_CODE_LOG_MESSAGE, now);
}

event_t *tqevents_shortcut_log_activity(const char *orig, const char *dest, const char *activity,
                                        const char *detail, const char *session, match_t match)
{
    IksPtr x(iks_new("activity"));
    if (!x)
        return nullptr;
    time_t now = time(nullptr);
    attrib(x.get(), "orig", orig);
    attrib(x.get(), "dest", dest);
    attrib(x.get(), "session", session);
    attrib(x.get(), "verdict", tqevents_match_name(match));
    attrib(x.get(), "activity", activity);
    attrib_time(x.get(), now);
    if (detail && *detail)
        iks_insert_cdata(x.get(), detail, 0);
    return finish(std::move(x), EVENT_CODE_LOG_ACTIVITY, now);
}

event_t *tqevents_shortcut_log_join_leave(const char *user, const char *type, match_t match)
{
    IksPtr x(iks_new("join-leave"));
    if (!x)
        return nullptr;
    time_t now = time(nullptr);
    attrib(x.get(), "user", user);
    attrib(x.get(), "type", type);
    attrib(x.get(), "verdict", tqevents_match_name(match));
    attrib_time(x.get(), now);
    return finish(std::move(x), EVENT_CODE_LOG_JOINLEAVE, now);
}

void tqevents_insert_event_entry(tqlist **queue, event_t *event)
{
    if (!event)
        return;
    if (!queue || !tqlist_insert_end(queue, event))
        tqevents_destroy_event(event);  // the queue took it, even on failure
}

void tqevents_destroy_event(event_t *event)
{
    if (!event)
        return;
    std::free(event->text);
    std::free(event);
}

void tqevents_destroy_queue(tqlist **queue)
{
    tqlist_destroy(queue, [](void *e) { tqevents_destroy_event(static_cast<event_t *>(e)); });
}

} // extern "C"
