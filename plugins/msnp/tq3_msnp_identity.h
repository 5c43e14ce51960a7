/* Identity and policy helpers: handles, guests, friendly names, versions,
 * source addresses, contact lists, impersonation and address scrambling. */
#ifndef TQ3_MSNP_IDENTITY_H
#define TQ3_MSNP_IDENTITY_H

#include <iksemel.h>

#include "tq3_core_interface.h"
#include "tq3_msnp.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_task.h"
#include "tqconn.h"
#include "tqidl.h"

/* "prefix:user;{endpoint}" -> "user" (new text); NULL for NULL. */
char *msnp_normalize_msnp16_guid(const char *handle);

/* The handle as the servers compare handles: the network prefix and the
 * endpoint dropped ("1:bob@x.y;{guid}"), percent escapes decoded, letters
 * lowered. Every lookup and match reads handles in this form. */
std::string msnp_canonical_handle(const char *handle);
/* The same without a copy where there is nothing to change (the common
 * case): `handle` itself, or the canonical form written into `room`. */
const char *msnp_canonical_handle_in(const char *handle, std::string &room);
/* A copy with every byte that is not an ASCII letter or digit made "_". */
char *msnp_normalize_handle(const char *ptrhandler);
/* Admits an unknown handle as a guest: `ptrhandler`, or NULL. */
const char *msnp_guest_user(task_struct *_tstruct, const char *ptrhandler);
/* The friendly name to set in place of `candidate` (new text), or NULL to
 * leave it. */
char *msnp_match_friendly(task_struct *_tstruct, msnp_person *person, const char *candidate);
/* Shows a local user's configured name in place of word `index`; 1. */
int fixed_friendly_for_contacts(task_struct *_tstruct, const char *user, int index);
/* TQ_MATCH_BLOCK when the client's address is outside the person's (or a
 * super's) network; the supers visited go into lda_supers. */
match_t msnp_search_source(msnp_person *person, task_struct *tstruct);
/* The expectation of the client's authentication connection (port 443). */
tq3_expectation *msnp_authentication_expectation(task_struct *tstruct);
/* Component `index` (from 0) of a dotted version, or -1. */
long msnp_version_chunk(const char *version, unsigned index);
match_t msnp_check_client_version(msnp_person *person, const char *client_ver);
match_t msnp_check_system_version(msnp_person *person, const char *sys_name, const char *sys_version,
                                  const char *sys_arch);
/* "contacts" element of the handles (NULL for an empty list unless `force`). */
iks *msnp_serialize_contacts(const std::vector<const char *> &contacts, ikstack *stack, int force);
/* Adds the handle to the run-time user's `contacts` unless it is there. */
void msnp_user_contacts_add(msnp_person *person, const char *contact);
/* The pool's copy of a handle, taken once more; given back with
 * msnp_handle_release (a tqlist_free_fn), which frees the last. */
const char *msnp_handle_intern(const char *handle);
void msnp_handle_release(void *handle);
/* The "impersonate" command: args[0] a connection's number in hexadecimal,
 * args[1] the text sent to its server as the client's message. 0. */
int msnp_impersonate(idl_parser *idl, char **args);
/* Alters the peers' announced addresses in the command's bytes. */
void msnp_scramble_address(task_struct *tstruct);

#endif
