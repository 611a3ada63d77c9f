/* String services: heap copies, formatting into heap strings, environment
 * expansion of paths, case-insensitive comparison, string lists. Every string
 * returned is allocated on the library heap and freed with kmsc_HeapFree. */
#ifndef KRASTER_KSTR_H
#define KRASTER_KSTR_H

#include "kdefs.h"
#include "kerr.h"

KRASTER_BEGIN_DECLS

typedef struct Kstr_StringList {
    int32_t count;
    char **strings; /* count heap strings */
} Kstr_StringList;

/* Heap copy of s; NULL for NULL or when memory runs out. */
KRASTER_API char *kstr_Duplicate(const char *s);
/* Heap copy of the first n bytes of s (fewer if s is shorter), terminated. */
KRASTER_API char *kstr_DuplicateN(const char *s, size_t n);
KRASTER_API char *kstr_Sprintf(const char *format, ...) KRASTER_PRINTF(1, 2);
KRASTER_API char *kstr_Vsprintf(const char *format, va_list args);
/* Expands $NAME and ${NAME} (letters, digits and '_'); an unset variable
 * expands to nothing, "$$" gives one "$", an unterminated "${" is kept as
 * written. "/" stays "/". Returns a heap string, or NULL with a report. */
KRASTER_API char *kstr_PathExpand(const char *path, Kerr_ErrorReport **err);
/* 1 if equal ignoring ASCII case (two NULLs are equal), else 0. */
KRASTER_API int kstr_Eqic(const char *a, const char *b);
/* 1 when the string reads as true: "true", "yes", "on", "t" or "y" (any case,
 * surrounding blanks allowed), or a number other than 0; else 0. */
KRASTER_API int kstr_StringToBoolean(const char *s);
/* Heap copy of the variable's value, or NULL when it is not set. */
KRASTER_API char *kstr_GetEnv(const char *name);

KRASTER_API Kstr_StringList *kstr_StringListCreate(Kerr_ErrorReport **err);
/* Appends a copy of s; returns 0 on success, -1 with a report. */
KRASTER_API int kstr_StringListAppend(Kstr_StringList *list, const char *s, Kerr_ErrorReport **err);
/* Appends a copy of s unless an equal string is present; returns 1 when
 * added, 0 when already present, -1 with a report. */
KRASTER_API int kstr_StringListAppendUniq(Kstr_StringList *list, const char *s,
                                          Kerr_ErrorReport **err);
/* Index of s in the list (exact comparison), or -1. */
KRASTER_API int32_t kstr_StringListFind(const Kstr_StringList *list, const char *s);
KRASTER_API void kstr_StringListFree(Kstr_StringList *list);

KRASTER_END_DECLS

#endif
