/* Constructors of the four generic kinds: each builds a template with its
 * kind, name and operations and hands it to msnp_new_object_generic. */
#include <stdlib.h>
#include <string.h>

#include "tq3_msnp.h"
#include "tq3_msnp_objects_generic.h"
#include "tqidl.h"
#include "tqlist.h"

static msnp_object_generic template_for(msnp_object_type type, const char *name) {
    msnp_object_generic generic;
    memset(&generic, 0, sizeof generic);
    generic.type = type;
    generic.ident = name ? strdup(name) : nullptr;
    return generic;
}

/* Whatever the template still owns after creation (everything, when the
 * creation failed) is released here. */
static msnp_object_generic *finish(idl_parser *idl, msnp_object_generic *generic, char **args) {
    msnp_object_generic *obj = nullptr;
    if (generic->ident)
        obj = msnp_new_object_generic(idl, generic, args);
    free(generic->ident);
    free(generic->description);
    if (generic->data) {
        if (generic->destructor)
            generic->destructor(generic->data);
        else
            tqlist_destroy((tqlist **)&generic->data, nullptr);
    }
    return obj;
}

msnp_object_generic *msnp_new_object_time(idl_parser *idl, const char *name, char **args) {
    msnp_object_generic generic = template_for(MSNP_OBJECT_TIME, name);
    generic.decodedata = msnp_decodedata_object_time;
    generic.encodedata = msnp_encodedata_object_time;
    generic.del_literal = msnp_del_object_time_literal;
    generic.add_literal = msnp_add_object_time_literal;
    return finish(idl, &generic, args);
}

msnp_object_generic *msnp_new_object_expr(idl_parser *idl, const char *name, char **args) {
    msnp_object_generic generic = template_for(MSNP_OBJECT_EXPR, name);
    generic.destructor = msnp_destructor_expr;
    generic.decodedata = msnp_decodedata_object_expr;
    generic.encodedata = msnp_encodedata_object_expr;
    generic.del_literal = msnp_del_object_expr_literal;
    generic.add_literal = msnp_add_object_expr_literal;
    return finish(idl, &generic, args);
}

msnp_object_generic *msnp_new_object_imbitmap(idl_parser *idl, const char *name, char **args) {
    msnp_object_generic generic = template_for(MSNP_OBJECT_IMBITMAP, name);
    generic.destructor = msnp_destructor_imbitmap;
    generic.decodedata = msnp_decodedata_object_imbitmap;
    generic.encodedata = msnp_encodedata_object_imbitmap;
    generic.del_literal = msnp_del_object_imbitmap_literal;
    generic.add_literal = msnp_add_object_imbitmap_literal;
    generic.data = calloc(1, sizeof(msnp_imbitmap_node));
    if (!generic.data) {
        free(generic.ident);
        return nullptr;
    }
    return finish(idl, &generic, args);
}

msnp_object_generic *msnp_new_object_object(idl_parser *idl, const char *name, char **args) {
    msnp_object_generic generic = template_for(MSNP_OBJECT_OBJECT, name);
    return finish(idl, &generic, args);
}
