/* Small XML helpers of the serialised forms: one child a line, element
 * and text checks, and decoding what the XML reader leaves escaped. */
#ifndef TQ3_MSNP_XML_H
#define TQ3_MSNP_XML_H

#include <iksemel.h>

#include "tqidl.h"

/* Children of serialised objects stand one per line: a "\n" text node
 * goes before every child but the first. */
iks *msnp_xml_child(iks *parent, const char *name);
void msnp_xml_child_node(iks *parent, iks *child);
void msnp_xml_text_child(iks *parent, const char *name, const char *text);
/* Whether `node` is an element called `name`; warns "Not a valid node"
 * through `idl` when it is not. */
int msnp_xml_expect_tag(idl_parser *idl, iks *node, const char *name);
/* Parses a document of exactly one element (the reader iksemel's iks_tree
 * would use leaks every top-level element but the last, and accepts such
 * documents). NULL with *err set when the text is not one well-formed
 * element. */
iks *msnp_xml_parse(const char *text, size_t len, int *err);
/* Text of the first character-data child of `node`, or NULL. */
const char *msnp_xml_first_text(iks *node);
/* The same, warning "Entry without data" through `idl` when there is none. */
const char *msnp_xml_entry_text(idl_parser *idl, iks *node);
/* "'text'", newly allocated; NULL when out of memory. */
char *msnp_quote_literal(const char *text);
/* Copy of `text` with the XML references (&amp; &lt; &gt; &quot; &apos;,
 * &#N; and &#xN;) replaced by their characters; an unknown or broken
 * reference stays as written. The XML reader leaves attribute values
 * undecoded. NULL for NULL or out of memory. */
char *msnp_xml_unescape(const char *text);

#endif
