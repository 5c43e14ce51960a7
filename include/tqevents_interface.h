/* Host events: notices a module hands to the host (object changes, user
 * activity, conversation lines). Each event's text is one XML element, which
 * is also the line the chat and activity logs store. */
#ifndef TQEVENTS_INTERFACE_H
#define TQEVENTS_INTERFACE_H

#include <iksemel.h>
#include <time.h>

#include "tq3_core_interface.h"
#include "tqlist.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum event_code {
    EVENT_CODE_NONE = 0,
    EVENT_CODE_OBJECT_NEW,
    EVENT_CODE_OBJECT_DATA,
    EVENT_CODE_OBJECT_RENAME,
    EVENT_CODE_OBJECT_COLLECT,
    EVENT_CODE_LOG_MESSAGE,
    EVENT_CODE_LOG_ACTIVITY,
    EVENT_CODE_LOG_JOINLEAVE,
    EVENT_CODE_LOG_LOGIN,
    EVENT_CODE_LOG_LOGOUT,
    EVENT_CODE_LOG_ONLINE,
    EVENT_CODE_LOG_OFFLINE,
    EVENT_CODE_LOG_STATECHANGE,
    EVENT_CODE_LOG_ADDING,
    EVENT_CODE_LOG_ADDEDBY,
    EVENT_CODE_LOG_REMOVING,
    EVENT_CODE_LOG_REMOVEDBY,
    EVENT_CODE_LOG_CALLING,
    EVENT_CODE_LOG_CALLEDBY,
    EVENT_CODE_LOG_LISTING
} event_code;

typedef struct event_t {
    event_code code;
    time_t time;
    char *text; /* one XML element, owned */
} event_t;

/* Word naming an event code ("login", "object-new", ...); "unknown" else. */
const char *tqevents_code_name(event_code code);
/* Word naming a verdict ("pass", "block", ...), ignoring the HIDDEN and
 * ADVISED flags. */
const char *tqevents_match_name(match_t match);

/* Event texts. Every shortcut renders one element; an attribute whose value
 * is NULL is left out, "time" is the event's time in decimal seconds and
 * "verdict" is tqevents_match_name of the match:
 *   <object-new>copy of the object</object-new>
 *   <object-data>copy of the object</object-data>
 *   <object-rename old=".." new=".."/>
 *   <object-collect name=".."/>
 *   <contact-activity handle code verdict time/>   (code: tqevents_code_name)
 *   <message orig dest session verdict time>text</message>
 *   <activity orig dest session verdict activity time>detail</activity>
 *   <join-leave user type verdict time/>
 * An empty or NULL text/detail gives an element without character data.
 * Results are NULL only when out of memory or as stated below. */

/* Object events carry a copy of the object's XML (the caller keeps the
 * original). NULL arguments give NULL. */
event_t *tqevents_shortcut_object_new(iks *object);
event_t *tqevents_shortcut_object_data(iks *object);
event_t *tqevents_shortcut_object_rename(const char *old_name, const char *new_name);
event_t *tqevents_shortcut_object_collect(const char *name);

/* Activity of a local user (login, logout, contact added...). */
event_t *tqevents_shortcut_contact_activity(const char *handle, event_code code, match_t match);
/* One conversation line. With TQ_MATCH_HIDDEN in `match` the text is left
 * out of the event. */
event_t *tqevents_shortcut_log_message(const char *orig, const char *dest, const char *text,
                                       const char *session, match_t match);
event_t *tqevents_shortcut_log_activity(const char *orig, const char *dest, const char *activity,
                                        const char *detail, const char *session, match_t match);
event_t *tqevents_shortcut_log_join_leave(const char *user, const char *type, match_t match);

/* Appends `event` to the queue (a list of event_t*), which takes it: when
 * it cannot be queued (NULL queue, no memory) it is destroyed. */
void tqevents_insert_event_entry(tqlist **queue, event_t *event);
void tqevents_destroy_event(event_t *event);
/* Destroys every queued event and empties the queue. */
void tqevents_destroy_queue(tqlist **queue);

#ifdef __cplusplus
}
#endif

#endif
