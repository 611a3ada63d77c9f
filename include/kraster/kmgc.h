/* Magic-number recognition: tables of magic lines, compiled once when they
 * are appended, matched against the leading bytes of a file.
 *
 * A magic line has the notation of the magic files of the Unix file command:
 *
 *     [>...]OFFSET  TYPE[&MASK]  TEST  [MESSAGE]
 *
 * fields separated by blanks or tabs.
 *
 * OFFSET: where the tested field starts, a number written in decimal, in hex
 *   after "0x" or in octal after a leading "0", at most KMGC_OFFSET_MAX.
 *   "(N.t+A)" or "(N.t-A)" is an indirect offset: the pointer of type t stored
 *   at N, plus or minus A, is the offset; t is "b" (byte), "s" (little-endian
 *   16 bits), "l" (little-endian 32 bits), "B", "S", "L" (the big-endian ones);
 *   ".t" may be left out for "l" and the adjustment for 0. Pointers are
 *   unsigned. In a continuation line a leading "&" ("&N", "(&N.t)") makes N
 *   relative to the end of the field tested by the line one level up.
 *
 * TYPE: "byte" (8 bits), "short" and "leshort" (16 bits little-endian),
 *   "beshort" (16 bits big-endian), "long", "lelong", "date", "ledate"
 *   (32 bits little-endian; a date is seconds since 1970), "belong", "bedate"
 *   (32 bits big-endian), "string" (bytes). "short", "long" and "date" are
 *   little-endian on every host. A numeric type may carry "&MASK": the field
 *   is ANDed with MASK before the comparison.
 *
 * TEST of a numeric type: an optional operator and a number (decimal, hex or
 *   octal, an optional leading "-"), which must fit the field's width:
 *   "=V" or "V" equal, "!V" not equal, "<V" and ">V" less and greater, "&V"
 *   every bit of V set, "^V" every bit of V clear, "x" any value. Orderings
 *   compare the field as unsigned unless V is written negative; then the
 *   field is sign-extended and compared as signed.
 * TEST of "string": an optional operator "=", "!", "<" or ">" and the bytes
 *   to compare, up to the first unescaped blank, at most KMGC_STRING_MAX of
 *   them. Escapes: "\\", "\ " (blank), "\a" "\b" "\f" "\n" "\r" "\t" "\v",
 *   "\NNN" (one to three octal digits), "\xHH" (one or two hex digits); any
 *   other escaped character stands for itself, so "\<" and "\x" with no hex
 *   digit give a literal "<" and "x". "<" and ">" compare the file's bytes
 *   with the value as unsigned bytes over the value's length; "x" matches
 *   any bytes.
 *
 * MESSAGE: the rest of the line, kept as written (see kmgc_MagicMessage).
 *
 * A line starting with ">" (one ">" per level, up to KMGC_LEVEL_MAX) is a
 * continuation: a further test of the entry last appended, which matches only
 * when all of its tests do. A continuation goes at most one level deeper than
 * the line before it.
 *
 * A line starting with "ASCII" makes a character-set entry for text formats:
 * a table of the 128 seven-bit codes, allowing by default tab, line feed,
 * vertical tab, form feed, carriage return, backspace, escape and the
 * printable codes 0x20 to 0x7e. The keyword may be followed by "+C:" items
 * (allow code C) and "-C:" items (forbid code C), C a number below 128, e.g.
 * "ASCII+0x00:" for text padded with NUL bytes. Anything else after the
 * keyword is ignored with a printed warning. kmgc_MagicMatch never matches a
 * character-set entry: the caller tests whole files with kmgc_MagicCharSet.
 *
 * Appending takes exclusive access to the table; matching and the other
 * queries only read it, so several threads may match against one table. */
#ifndef KRASTER_KMGC_H
#define KRASTER_KMGC_H

#include "kdefs.h"
#include "kerr.h"

KRASTER_BEGIN_DECLS

/* Largest offset (and indirect adjustment) written in a line. */
#define KMGC_OFFSET_MAX 1048576
/* Longest string value, in bytes after escapes. */
#define KMGC_STRING_MAX 127
/* Deepest continuation level. */
#define KMGC_LEVEL_MAX 16
/* Leading bytes reported by kmgc_MagicMaxBytes, at least, for a table with
 * a test whose position depends on the file's bytes (indirect offsets). */
#define KMGC_INDIRECT_BYTES 4096

typedef struct Kmgc_MagicTable Kmgc_MagicTable;

/* An empty table, or NULL with a report. */
KRASTER_API Kmgc_MagicTable *kmgc_MagicTableCreate(Kerr_ErrorReport **err);
/* Frees the table; NULL is harmless. */
KRASTER_API void kmgc_MagicTableDestroy(Kmgc_MagicTable *table);

/* Compiles magic lines and adds them to the table. The text holds one line
 * or several separated by "\n"; blank lines and lines starting with "#" are
 * skipped. Returns the index of the entry that the first line made (or, for
 * a continuation line, extended): the text's entries are those from there to
 * kmgc_MagicCount() - 1. Returns -1 with a report, the table unchanged, when
 * a line is bad or the text holds no line. */
KRASTER_API int32_t kmgc_MagicAppend(Kmgc_MagicTable *table, const char *text,
                                     Kerr_ErrorReport **err);

/* Index of the first entry at or after start that matches the count bytes
 * at buffer (the leading bytes of a file), or -1 when none does. A test of a
 * field not wholly inside the buffer fails. Returns -1 for a NULL table, a
 * negative start, or a NULL buffer with a non-zero count. */
KRASTER_API int32_t kmgc_MagicMatch(const Kmgc_MagicTable *table, int32_t start, const void *buffer,
                                    size_t count);

/* Number of leading bytes of a file that every test of the table can reach
 * (0 for an empty or NULL table); see KMGC_INDIRECT_BYTES. */
KRASTER_API int32_t kmgc_MagicMaxBytes(const Kmgc_MagicTable *table);

/* Number of entries (0 for NULL). */
KRASTER_API int32_t kmgc_MagicCount(const Kmgc_MagicTable *table);

/* The 128 flags (non-zero: allowed) of a character-set entry; NULL for any
 * other entry or an index out of range. Owned by the table. */
KRASTER_API const uint8_t *kmgc_MagicCharSet(const Kmgc_MagicTable *table, int32_t index);

/* The message of an entry: that of its first line followed by those of its
 * continuations, each after one blank unless it starts with "\b" (dropped).
 * "" when there is none; NULL for an index out of range. Owned by the table
 * and valid until the next append. */
KRASTER_API const char *kmgc_MagicMessage(const Kmgc_MagicTable *table, int32_t index);

KRASTER_END_DECLS

#endif
