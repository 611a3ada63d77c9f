/* Generic data: pixel types and the BaseData array record. */
#ifndef KRASTER_KGDA_H
#define KRASTER_KGDA_H

#include "kdefs.h"
#include "kerr.h"

KRASTER_BEGIN_DECLS

/* Pixel types; code 13 ("string") has no enumeration name of its own and is
 * used by BaseData tables only. */
typedef enum Kgda_PixelType {
    KGDA_TYPE_U1 = 0,
    KGDA_TYPE_U2 = 1,
    KGDA_TYPE_U4 = 2,
    KGDA_TYPE_U8 = 3,
    KGDA_TYPE_S8 = 4,
    KGDA_TYPE_U16 = 5,
    KGDA_TYPE_S16 = 6,
    KGDA_TYPE_U32 = 7,
    KGDA_TYPE_S32 = 8,
    KGDA_TYPE_F32 = 9,
    KGDA_TYPE_F64 = 10,
    KGDA_TYPE_C64 = 11,
    KGDA_TYPE_C128 = 12
} Kgda_PixelType;

#define KGDA_STRING_TYPE_CODE 13
#define KGDA_PIXEL_TYPE_COUNT 14

/* Per-type tables, indexed by pixel type code (0 to 13). */
/* Names "u1" ... "c128", "string", followed by a NULL entry. */
KRASTER_API const char *const *kmsc_AddressOf_kgda_PixelTypeName(void);
/* Bits per pixel: 1, 2, 4, 8, 8, 16, 16, 32, 32, 32, 64, 64, 128, and the
 * width of a pointer for "string". */
KRASTER_API const int32_t *kmsc_AddressOf_kgda_NumBitsPerPixel(void);
/* Bytes per element in memory: 1, 1, 1, 1, 1, 2, 2, 4, 4, 4, 8, 8, 16, and
 * sizeof(char *) for "string" (sub-byte types take one byte each). */
KRASTER_API const int32_t *kmsc_AddressOf_kgda_NumBytesPerPixel(void);
/* Smallest and largest value of the integer types 0 to 8, as doubles; 0 for
 * the real, complex and string types. */
KRASTER_API const double *kmsc_AddressOf_kgda_IntegerMinValue(void);
KRASTER_API const double *kmsc_AddressOf_kgda_IntegerMaxValue(void);

/* Object types of a BaseData array. */
typedef enum Kgda_ObjectType {
    KGDA_SCALAR_OBJECT = 0,
    KGDA_TABLE_OBJECT = 1,
    KGDA_MATRIX_OBJECT = 2,
    KGDA_RASTER_OBJECT = 3
} Kgda_ObjectType;

/* The generic array: a scalar, table, matrix (stored column by column) or
 * raster (row by row) of one pixel type, owning its buffer or borrowing it. */
typedef struct Kgda_BaseData {
    int32_t numrows;
    int32_t numcolumns;
    int32_t datatype;   /* Kgda_PixelType or 13 for strings */
    int32_t objecttype; /* Kgda_ObjectType */
    unsigned char *data;        /* start of the element buffer */
    unsigned char *windowStart; /* address of the first element */
    int32_t pitch;              /* bytes from one line to the next */
    int32_t derivedFlag;        /* 0 owns the buffer, 1 borrows it */
    int32_t numelements;        /* numrows x numcolumns */
    int32_t numbytes;           /* bytes per element */
    void *tag;                  /* copied along by copy and derive */
} Kgda_BaseData;

KRASTER_END_DECLS

#endif
