/* Handle normalisation for handles read from the wire. */
#include <stdlib.h>
#include <string.h>

#include "tq3_msnp.h"

/* MSNP16+ writes handles as "network:user;{endpoint}". Only "user" names
 * a person, so the network prefix (text up to the first colon, when
 * something follows it) and the endpoint suffix (from the first semicolon)
 * are dropped. */
char *msnp_normalize_msnp16_guid(const char *handle) {
    if (!handle)
        return nullptr;
    const char *start = handle;
    const char *colon = strchr(handle, ':');
    if (colon && colon[1] != '\0')
        start = colon + 1;
    char *copy = strdup(start);
    if (!copy)
        return nullptr;
    char *semi = strchr(copy, ';');
    if (semi)
        *semi = '\0';
    return copy;
}
