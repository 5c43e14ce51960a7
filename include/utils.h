/* Text, path, file and XML helpers of the host. */
#ifndef TQ_UTILS_H
#define TQ_UTILS_H

#include <iksemel.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "tqlist.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Cuts `text` in place into at most `max` words separated by any byte of
 * `seps`, storing pointers in `words`. Empty words are skipped. With a
 * non-zero `quote`, a word that begins with it runs to the next `quote`
 * (separators inside are kept, and so are the quote characters); bytes
 * glued to the closing quote belong to the same word, and an unclosed quote
 * runs to the end of the text. A quote inside a word is an ordinary byte.
 * Each word ends at the next separator, which is overwritten with NUL; once
 * `max` words are found the rest of the text is left uncut and not
 * returned, so the last word never holds separators of unquoted text.
 * `words` needs room for `max` entries only (no terminating NULL is
 * written). A NULL `seps` means no separators. Returns the count (0 for a
 * NULL text or words, or max <= 0). */
int strexplode(char *text, char **words, int max, const char *seps, char quote);

/* Removes one enclosing pair of `quote` (the first and last byte) in place
 * when both are present and the text has at least two bytes (a lone quote
 * character is left alone). Returns `text`. */
char *dequote(char *text, char quote);

/* BSD-style bounded copy/append; return the length they tried to create. */
size_t strlcpy(char *dst, const char *src, size_t size);
size_t strlcat(char *dst, const char *src, size_t size);

/* First occurrence of `needle` in `hay`, or NULL; an empty needle gives
 * NULL. */
void *memmem_local(const void *hay, size_t hay_len, const void *needle, size_t needle_len);
/* Occurrences of `c` in the text (0 for NULL text or c == '\0'). */
int count_char_from_string(const char *text, char c);
/* Replaces, in place, every byte that is not part of a well-formed UTF-8
 * sequence (and every control byte but TAB, LF, CR) with '?'. Returns the
 * number of bytes replaced. Well-formed means RFC 3629: no overlong forms,
 * no surrogates, nothing above U+10FFFF; each byte of a broken or truncated
 * sequence counts and is replaced. Control bytes are 0x01-0x1F and 0x7F
 * (C1 controls are well-formed two-byte characters and stay). */
int sanitize_utf8_string(char *text);
/* Length of the well-formed UTF-8 sequence at `s` (the rules above), or 0;
 * 1 for any ASCII byte. Reads no further than a NUL. */
size_t utf8_sequence(const unsigned char *s);

/* Splits DELIM pattern DELIM options in place. The pattern runs to the last
 * DELIM, so it may itself hold the delimiter. Returns 1 with *pattern and
 * *options set (options may be empty), or 0 when the text does not start
 * with DELIM, has no closing DELIM or the pattern is empty; on 0 the text
 * is unchanged. "/a/b/i" gives pattern "a/b" and options "i". */
int data_format(char *text, char delim, char **pattern, char **options);

/* Reads "H:MM-H:MM" (hours 0-23 in one or two digits, minutes 00-59 in
 * exactly two; blanks and tabs allowed around the dash and at both ends,
 * nothing else). "23:59" is the last minute; "24:00" is rejected. Returns 1
 * and the four values, or 0 leaving them untouched. */
int range_hourminute(const char *text, int *hour_start, int *minute_start, int *hour_end,
                     int *minute_end);

/* 1 when `name` matches any fnmatch pattern (char*) of the list; NULL
 * entries are skipped, a NULL name matches nothing. */
int fnmatch_list(const tqlist *patterns, const char *name, int flags);

/* True when `text` occurs, without regard to letter case, in the character
 * data or attribute values of `node`, its descendants or its following
 * siblings and their descendants. Case is folded for ASCII letters only;
 * element and attribute names are not searched. An empty text is found in
 * any node; a NULL node or text gives 0. */
int super_simple_xml_search(iks *node, const char *text);
/* Appends copies of every child of `src` (elements and character data) to
 * `dest`, allocated in `dest`'s stack so that they live and die with it.
 * Returns how many. */
int slurp_xml_tree(iks *dest, iks *src);

/* Makes a host path of a module path: both '\\' and '/' separate parts,
 * and the result (newly allocated; NULL for NULL) uses '/'. The path
 * arguments of the directory and rotation helpers below go through the
 * same conversion. */
char *host_path(const char *path);
/* Creates every directory of `path` that is missing (mode 0755 before the
 * umask). 1 when the directory exists afterwards, 0 otherwise (also when a
 * part of the path is a file). */
int check_dir_and_create(const char *path);
/* Rotates DIR/NAME: NAME.k becomes NAME.k+1 (higher numbers are older),
 * NAME becomes NAME.0, and rotated copies numbered `keep` and above are
 * removed, so at most `keep` copies (NAME.0 .. NAME.keep-1) remain.
 * keep <= 0 only removes the rotated copies. When NAME does not exist
 * nothing is shifted; copies numbered `keep` and above are still removed.
 * Only names NAME.<decimal without leading zeros> are rotated copies.
 * Returns the number of rotated copies left, or -1 when NAME is empty,
 * ".", ".." or holds a separator, or DIR cannot be read. */
int rotate_logs_pattern(const char *dir, const char *name, int keep);
/* Number of rotated copies NAME.0, NAME.1 ... present without a gap (with
 * `flags` 1, NAME itself is counted too). */
int count_directory_pattern(const char *dir, const char *name, int flags);

/* Reads dotted IPv4 text (exactly four decimal parts 0-255) into a
 * network-order address. 1 or 0. */
int host_address(const char *text, uint32_t *addr);

/* Unique name for this run: returns the secure form (32 hex digits of
 * random data from getrandom), and the insecure form "HOST-PID-TIME"
 * (time in epoch seconds) through `insecure` when given. Both newly
 * allocated; the result is NULL when no random data can be had. */
char *simple_unique_name(char **insecure);
/* Unique identifier, 32 lower-case hex digits, distinct for every call in
 * this process (random half plus a scrambled counter). */
char *simple_unique_name_hashed(void);

#ifdef __cplusplus
}

#include <memory>

/* This thread's `var`, its address looked up once. In a shared library a
 * read of a thread-local is a call into the dynamic loader, and compilers
 * make that call again after every other call rather than keep its answer;
 * a function that reads a thread-local block several times takes it
 * through this. */
template <typename T> inline T &tq_thread_block(T &var)
{
    T *p = &var;
    asm("" : "+r"(p));
    return *p;
}

/* This thread's own T, made at its first use and freed when the thread
 * ends. A thread-local with a destructor costs a second loader call at
 * every use, for its guard; this costs one. */
template <typename T> T &tq_thread_object()
{
    thread_local T *t_object = nullptr;
    if (T *p = t_object)
        return *p;
    thread_local std::unique_ptr<T> t_owner;
    t_owner = std::make_unique<T>();
    t_object = t_owner.get();
    return *t_object;
}
#endif

#endif
