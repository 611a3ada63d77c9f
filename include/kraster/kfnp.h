/* File and node names.
 *
 * File names (internal form). A name is, in this order:
 *   - an optional drive: one ASCII letter followed by ":" at the very start
 *     ("C:", "c:"); nothing else is a drive ("1:", "ab:" are not);
 *   - the root: the run of "/" characters that follows ("" relative, "/"
 *     absolute). A name that starts with exactly "//" (no drive before it) is
 *     a network name ("//server/share/dir"); server and share are its first
 *     two components. A run of three or more slashes is an absolute root;
 *   - components separated by runs of "/"; a trailing "/" belongs to what
 *     follows the last component.
 * On this platform the operating system's (external) form equals the
 * internal form: "/" is kept and "\" is an ordinary byte, not a separator.
 *
 * File-name part masks (KFNP_FILENAME_*), in path order, for "C:/a/b/c.img"
 * with component index 1: DRIVE "C:", ROOT "/", PRECEDING "a/" (the components
 * before the indexed one with their separators), COMPONENT "b" (the indexed
 * component), FOLLOWING "/c.img" (everything after it, separators included).
 * The five parts concatenated give the name back exactly. A mask must have at
 * least one bit ("No options specified in options mask") and its bits must be
 * consecutive ("Invalid (non-consecutive) options"); bits above 16 give
 * "Invalid options specification". A negative component index counts from
 * the end (-1 is the last component); the index is clamped to the components
 * present. A name without components has empty PRECEDING, COMPONENT and
 * FOLLOWING parts.
 *
 * Node paths (inside a file): node names separated by ":"; a full node path
 * starts with ":" and the root node path is ":". A backslash protects the next
 * character. Node-path part masks (KFNP_NODEPATH_*), for ":a:b:c" with index
 * 1: ROOT ":" (the leading colons), PRECEDING "a:", NAME "b", FOLLOWING ":c".
 * Runs of unprotected ":" count as one separator. The mask and index rules are
 * those of file names. Parts are returned as written (protection kept);
 * kfnp_NodeNameParse gives names with the protection removed.
 *
 * File-node lists: FileName ["(" [FileTitle] [NodeList] ")"] {"," item}, where
 * a NodeList is FullNodePath {"," FullNodePath} and the parentheses hold at
 * least one of the two. A backslash protects the next character in every
 * part. A file name ends at an unprotected "(" or ",", a title at an
 * unprotected ":" or ")" ("(" and "," are ordinary in a title), a full node
 * path at an unprotected "," or ")". Only the empty list has an empty file
 * name. Printable characters are 32 to 126 and 128 to 255; any other byte
 * anywhere in the list is reported first ("Parse error; character %ld is
 * illegal"). Positions in messages count bytes from 0; the messages about the
 * item part in parentheses ("<FileNodeListItemSpec> at position %ld ...", "NULL
 * <FileNodeListItemSpec> at position %ld") give the position of its "(".
 * "Expecting <FullNodePath> in position %ld, but found %s" shows the rest of
 * the list from that position. Blanks are kept, never trimmed.
 *
 * File-node list part masks (KFNP_FNL_*): FILENAME, TITLE, NODEPATH, in that
 * order. A single bit reads or replaces one value: the file name and title
 * without protection, or one node path (chosen by the node-path index) in
 * node-path notation. For reading and measuring, a mask of several
 * consecutive bits gives those parts as written in a list, with the
 * protection they need (KFNP_FNL_ITEM: the whole item, all its node paths).
 * Written parts get the least protection that parses back: "\", "(" and ","
 * in file names (and a final "/" when parentheses follow, since "(" may not
 * follow a bare "/"), "\", ":" and ")" in titles, bare "," and ")" in node
 * paths, whose own protection is kept.
 *
 * Normalisation (kfnp_FileNameNormalize, used by Compare and Equals) is
 * purely textual; it neither reads the file system nor the environment:
 * the drive letter is upper-cased; a network root "//" is kept and any other
 * root becomes "/"; runs of "/" become one; "." components are dropped; ".."
 * removes the component before it, is dropped directly below a root and kept
 * at the start of a relative name; trailing slashes go. Case of components is
 * kept (file names are case-sensitive here). A relative name that becomes
 * empty is "."; the empty name stays empty; a relative name whose first
 * component reads like a drive ("a:b") keeps "./" in front of it.
 *
 * Every string result is a heap string that the caller frees with
 * kmsc_HeapFree, except the three constant roots. */
#ifndef KRASTER_KFNP_H
#define KRASTER_KFNP_H

#include "kdefs.h"
#include "kerr.h"

KRASTER_BEGIN_DECLS

/* File-name parts, in path order. */
#define KFNP_FILENAME_DRIVE 0x01u
#define KFNP_FILENAME_ROOT 0x02u
#define KFNP_FILENAME_PRECEDING 0x04u
#define KFNP_FILENAME_COMPONENT 0x08u
#define KFNP_FILENAME_FOLLOWING 0x10u
#define KFNP_FILENAME_ALL 0x1Fu
/* Drive, root and the components before the indexed one: with index -1 the
 * directory of a name, its trailing separator included. */
#define KFNP_FILENAME_DIRECTORY 0x07u

/* Node-path parts, in path order. */
#define KFNP_NODEPATH_ROOT 0x01u
#define KFNP_NODEPATH_PRECEDING 0x02u
#define KFNP_NODEPATH_NAME 0x04u
#define KFNP_NODEPATH_FOLLOWING 0x08u
#define KFNP_NODEPATH_ALL 0x0Fu

/* Parts of a file-node list item, in written order. */
#define KFNP_FNL_FILENAME 0x01u
#define KFNP_FNL_TITLE 0x02u
#define KFNP_FNL_NODEPATH 0x04u
#define KFNP_FNL_ITEM 0x07u

/* One item of a parsed file-node list. */
typedef struct Kfnp_FileNodeListItem {
    char *fileName;        /* protection removed; "" for the empty list */
    char *title;           /* protection removed; NULL when the item has none */
    int32_t nodePathCount; /* number of node paths */
    char **nodePaths;      /* full node paths in node-path notation */
} Kfnp_FileNodeListItem;

typedef struct Kfnp_FileNodeList {
    int32_t itemCount; /* at least 1: the empty string is one empty item */
    Kfnp_FileNodeListItem *items;
} Kfnp_FileNodeList;

/* The node names of a node path, protection removed. */
typedef struct Kfnp_NodeNameList {
    int32_t isFullPath; /* 1 when the path starts with ":" */
    int32_t count;
    char **names;
} Kfnp_NodeNameList;

/* Constant roots (not to be freed): "/", "//" and ":". */
KRASTER_API const char *kfnp_FileNameRoot(void);
KRASTER_API const char *kfnp_FileNameUNCRoot(void);
KRASTER_API const char *kfnp_NodePathRoot(void);

/* ---- File-node lists ---- */

/* Splits a list into items. NULL with a report on a parse error; free the
 * result with kfnp_FreeNodeList. */
KRASTER_API Kfnp_FileNodeList *kfnp_FileNodeListParse(const char *list, Kerr_ErrorReport **err);
KRASTER_API void kfnp_FreeNodeList(Kfnp_FileNodeList *list);
/* Writes a parsed list back, adding the protection each part needs. The
 * result parses to the same list. */
KRASTER_API char *kfnp_FileNodeListCompose(const Kfnp_FileNodeList *list, Kerr_ErrorReport **err);
/* Returns the number of items (-1 on failure); with nodePathCount, also the
 * number of node paths of the given item (negative counts from the end). */
KRASTER_API int32_t kfnp_FileNodeListCount(const char *list, int32_t item, int32_t *nodePathCount,
                                           Kerr_ErrorReport **err);

/* Reads parts of an item (negative item indexes count from the end; a
 * missing item is reported). A part the item does not have (no title, a
 * node-path index outside the item's node paths) reads as "". The
 * node-path index counts as the item index does and only matters for a mask
 * of KFNP_FNL_NODEPATH alone. */
KRASTER_API char *kfnp_FileNodeListGet(const char *list, int32_t item, uint32_t options,
                                       int32_t nodePathIndex, Kerr_ErrorReport **err);
/* Length of what kfnp_FileNodeListGet returns, or -1 with a report. */
KRASTER_API int32_t kfnp_FileNodeListLength(const char *list, int32_t item, uint32_t options,
                                            int32_t nodePathIndex, Kerr_ErrorReport **err);
/* Replaces one part (a single-bit mask) of an item and returns the new list.
 *   KFNP_FNL_FILENAME: data is the plain file name; an item index at or past
 *     the end appends a new item; NULL data removes the item.
 *   KFNP_FNL_TITLE: NULL or "" removes the title.
 *   KFNP_FNL_NODEPATH: data must be a full node path in node-path notation;
 *     an index at or past the end appends, one before the start inserts at
 *     the front; NULL data removes the node path at the index (if any).
 * The item is written again from its parts; the other items stay as written.
 * The result is checked to parse, so an empty file name in a list of several
 * items or in front of a title or node path is reported. */
KRASTER_API char *kfnp_FileNodeListSet(const char *list, int32_t item, uint32_t options,
                                       int32_t nodePathIndex, const char *data,
                                       Kerr_ErrorReport **err);
/* Composes "file(title:node:path)". The title and node path may be NULL or
 * "" (left out); a node path must be a full node path. */
KRASTER_API char *kfnp_FileNodeCreate(const char *fileName, const char *title, const char *nodePath,
                                      Kerr_ErrorReport **err);

/* ---- Node paths ---- */

KRASTER_API char *kfnp_NodePathGet(const char *path, uint32_t options, int32_t index,
                                   Kerr_ErrorReport **err);
/* Replaces the selected range with data as written (it may hold several
 * names or none); the result must be a valid node path. */
KRASTER_API char *kfnp_NodePathSet(const char *path, uint32_t options, int32_t index,
                                   const char *data, Kerr_ErrorReport **err);
KRASTER_API int32_t kfnp_NodePathLength(const char *path, uint32_t options, int32_t index,
                                        Kerr_ErrorReport **err);
/* The selected range as a full node path: with a leading ":" and without
 * trailing separators; ":" when the range holds no name. With
 * KFNP_NODEPATH_ROOT | KFNP_NODEPATH_PRECEDING and index -1 this is the
 * parent of a node. */
KRASTER_API char *kfnp_NodePathPath(const char *path, uint32_t options, int32_t index,
                                    Kerr_ErrorReport **err);
KRASTER_API Kfnp_NodeNameList *kfnp_NodeNameParse(const char *path, Kerr_ErrorReport **err);
KRASTER_API void kfnp_FreeNodeName(Kfnp_NodeNameList *names);

/* ---- File names ---- */

/* 1 when every byte below 128 is printable, no component holds one of
 * \ / : ? * < > | " and ":" appears only after a drive letter; otherwise
 * prints and deletes "Parse error: character %ld is illegal in filename %s"
 * and returns 0 (NULL also gives 0). Bytes of 128 and above are accepted. */
KRASTER_API int kfnp_FileNameHasValidCharacters(const char *name);
/* Between the internal and the operating system's form (equal here); control
 * characters are reported as "Character %ld is not legal". */
KRASTER_API char *kfnp_FileNameExternalToInternal(const char *name, Kerr_ErrorReport **err);
KRASTER_API char *kfnp_FileNameInternalToExternal(const char *name, Kerr_ErrorReport **err);
/* Expands $NAME and ${NAME}, then converts to the external form. */
KRASTER_API char *kfnp_FileNameEvaluateEnv(const char *name, Kerr_ErrorReport **err);

KRASTER_API char *kfnp_FileNameGet(const char *name, uint32_t options, int32_t index,
                                   Kerr_ErrorReport **err);
/* Replaces the selected range with data as written. With the mask
 * KFNP_FILENAME_DRIVE alone data must be "" (no drive) or a letter and ":"
 * ("Bad drive specification"); NULL data: "data must not be the NULL string". */
KRASTER_API char *kfnp_FileNameSet(const char *name, uint32_t options, int32_t index,
                                   const char *data, Kerr_ErrorReport **err);
KRASTER_API int32_t kfnp_FileNameLength(const char *name, uint32_t options, int32_t index,
                                        Kerr_ErrorReport **err);
/* As kfnp_FileNameLength; also gives the byte offset of the range in the
 * name and the number of components of the name (either may be NULL). */
KRASTER_API int32_t kfnp_FileNameLengthX(const char *name, uint32_t options, int32_t index,
                                         int32_t *offset, int32_t *componentCount,
                                         Kerr_ErrorReport **err);
/* Appends a name to a directory name with one "/" between them (none after a
 * root or a bare drive such as "C:"); leading slashes of the name are
 * dropped unless the directory is empty or NULL. */
KRASTER_API char *kfnp_FileNameAddName(const char *directory, const char *name,
                                       Kerr_ErrorReport **err);
/* Joins count parts as kfnp_FileNameAddName does; NULL and empty parts are
 * skipped. */
KRASTER_API char *kfnp_PathJoin(int32_t count, const char *const *parts, Kerr_ErrorReport **err);

KRASTER_API char *kfnp_FileNameNormalize(const char *name, Kerr_ErrorReport **err);
/* Orders the normalised names (-1, 0, 1); NULL sorts first, two NULLs are equal. */
KRASTER_API int kfnp_FileNameCompare(const char *a, const char *b);
/* 1 when the normalised names are equal, else 0. */
KRASTER_API int kfnp_FileNameEquals(const char *a, const char *b);

KRASTER_END_DECLS

#endif
