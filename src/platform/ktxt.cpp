// Text functions with the usual C string semantics.
#include <kraster/ktxt.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <strings.h>

extern "C" {

KRASTER_API size_t ktxt_Text_strlen(const char *s) {
    return s ? strlen(s) : 0;
}

KRASTER_API int ktxt_Text_strcmp(const char *a, const char *b) {
    if (!a || !b) return (a != nullptr) - (b != nullptr);
    return strcmp(a, b);
}

KRASTER_API int ktxt_Text_strncmp(const char *a, const char *b, size_t n) {
    if (!a || !b) return (a != nullptr) - (b != nullptr);
    return strncmp(a, b, n);
}

KRASTER_API int ktxt_Text__stricmp(const char *a, const char *b) {
    if (!a || !b) return (a != nullptr) - (b != nullptr);
    return strcasecmp(a, b);
}

KRASTER_API int ktxt_Text__strnicmp(const char *a, const char *b, size_t n) {
    if (!a || !b) return (a != nullptr) - (b != nullptr);
    return strncasecmp(a, b, n);
}

KRASTER_API char *ktxt_Text_strcpy(char *dst, const char *src) {
    return strcpy(dst, src);
}

KRASTER_API char *ktxt_Text_strncpy(char *dst, const char *src, size_t n) {
    if (!dst || n == 0) return dst;
    size_t i = 0;
    if (src)
        for (; i + 1 < n && src[i]; ++i) dst[i] = src[i];
    dst[i] = '\0';
    return dst;
}

KRASTER_API char *ktxt_Text_strcat(char *dst, const char *src) {
    return strcat(dst, src);
}

KRASTER_API char *ktxt_Text_strchr(const char *s, int c) {
    return s ? const_cast<char *>(strchr(s, c)) : nullptr;
}

KRASTER_API char *ktxt_Text_strrchr(const char *s, int c) {
    return s ? const_cast<char *>(strrchr(s, c)) : nullptr;
}

KRASTER_API char *ktxt_Text_strstr(const char *s, const char *needle) {
    return s && needle ? const_cast<char *>(strstr(s, needle)) : nullptr;
}

KRASTER_API char *ktxt_Text_strtok_r(char *s, const char *delim, char **save) {
    return strtok_r(s, delim, save);
}

KRASTER_API char *ktxt_Text__strupr(char *s) {
    if (s)
        for (char *p = s; *p; ++p) *p = static_cast<char>(toupper(static_cast<unsigned char>(*p)));
    return s;
}

KRASTER_API char *ktxt_Text__strlwr(char *s) {
    if (s)
        for (char *p = s; *p; ++p) *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
    return s;
}

KRASTER_API int ktxt_Text_sprintf(char *dst, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = vsprintf(dst, format, ap);
    va_end(ap);
    return n;
}

KRASTER_API int ktxt_Text_snprintf(char *dst, size_t n, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int r = vsnprintf(dst, n, format, ap);
    va_end(ap);
    return r;
}

KRASTER_API int ktxt_Text_vsnprintf(char *dst, size_t n, const char *format, va_list args) {
    return vsnprintf(dst, n, format, args);
}

}  // extern "C"
