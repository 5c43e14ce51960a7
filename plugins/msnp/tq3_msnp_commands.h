/* Management commands of the module: the verbs an administrator sends
 * through the host's command parser. */
#ifndef TQ3_MSNP_COMMANDS_H
#define TQ3_MSNP_COMMANDS_H

#include "tq3_msnp.h"

/* "glob PATTERN [with-statistics]": the objects whose names match, as an
 * "object-list" element in the parser's data. 1, or 0 on a refusal. */
int msnp_glob_object(idl_parser *idl, char **args);
/* "serialize OBJ [options]": one object's XML in the parser's data. */
int msnp_serialize_object(idl_parser *idl, char **args);

#endif
