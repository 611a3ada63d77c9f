/* Text functions with the usual C string semantics, NULL-tolerant where noted. */
#ifndef KRASTER_KTXT_H
#define KRASTER_KTXT_H

#include "kdefs.h"

KRASTER_BEGIN_DECLS

KRASTER_API size_t ktxt_Text_strlen(const char *s);             /* NULL gives 0 */
KRASTER_API int ktxt_Text_strcmp(const char *a, const char *b); /* NULL sorts first */
KRASTER_API int ktxt_Text_strncmp(const char *a, const char *b, size_t n);
KRASTER_API int ktxt_Text__stricmp(const char *a, const char *b);
KRASTER_API int ktxt_Text__strnicmp(const char *a, const char *b, size_t n);
KRASTER_API char *ktxt_Text_strcpy(char *dst, const char *src);
/* Copies at most n bytes and always terminates when n > 0. */
KRASTER_API char *ktxt_Text_strncpy(char *dst, const char *src, size_t n);
KRASTER_API char *ktxt_Text_strcat(char *dst, const char *src);
KRASTER_API char *ktxt_Text_strchr(const char *s, int c);
KRASTER_API char *ktxt_Text_strrchr(const char *s, int c);
KRASTER_API char *ktxt_Text_strstr(const char *s, const char *needle);
KRASTER_API char *ktxt_Text_strtok_r(char *s, const char *delim, char **save);
KRASTER_API char *ktxt_Text__strupr(char *s);
KRASTER_API char *ktxt_Text__strlwr(char *s);
KRASTER_API int ktxt_Text_sprintf(char *dst, const char *format, ...) KRASTER_PRINTF(2, 3);
KRASTER_API int ktxt_Text_snprintf(char *dst, size_t n, const char *format, ...)
    KRASTER_PRINTF(3, 4);
KRASTER_API int ktxt_Text_vsnprintf(char *dst, size_t n, const char *format, va_list args);

KRASTER_END_DECLS

#endif
