/* Common definitions shared by every public KRaster header. */
#ifndef KRASTER_KDEFS_H
#define KRASTER_KDEFS_H

#include <stddef.h>
#include <stdint.h>
#include <stdarg.h>

#if defined(KRASTER_BUILDING)
#define KRASTER_API __attribute__((visibility("default")))
#else
#define KRASTER_API
#endif

#ifdef __cplusplus
#define KRASTER_BEGIN_DECLS extern "C" {
#define KRASTER_END_DECLS }
#else
#define KRASTER_BEGIN_DECLS
#define KRASTER_END_DECLS
#endif

#if defined(__GNUC__)
#define KRASTER_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define KRASTER_PRINTF(fmt, args)
#endif

#define KRASTER_VERSION_MAJOR 0
#define KRASTER_VERSION_MINOR 1
#define KRASTER_VERSION_PATCH 0
#define KRASTER_VERSION_STRING "0.1.0"

#endif
