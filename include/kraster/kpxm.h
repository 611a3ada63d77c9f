/* Pixel conversion: element-wise conversion and fill of buffers between the
 * pixel types of kgda.h.
 *
 * Buffers hold one element per pixel in host form (u1, u2 and u4 take one
 * byte each, value in the low bits; c64 and c128 are real then imaginary
 * part; "string" elements are pointers to NUL-terminated heap strings).
 * Buffers must be aligned for their element's component type. Source and
 * destination must not overlap, except for same-type contiguous conversion,
 * which moves bytes as memmove does (any overlap is safe).
 *
 * Conversion rules, per element:
 *  - integer to integer keeps the value where the destination can hold it and
 *    saturates otherwise (negative values become 0 for unsigned destinations,
 *    values above the maximum become the maximum: 1, 3, 15 for u1, u2, u4);
 *  - integer to real gives the nearest representable value;
 *  - real to integer clamps as a double (a NaN gives the minimum), then rounds
 *    half away from zero (adding 0.5, or subtracting it from negative values
 *    for signed destinations) and truncates;
 *  - real to real widens or narrows with the processor's rounding;
 *  - integer or real to complex sets the real part, imaginary part 0;
 *  - complex to integer or real takes the magnitude sqrt(re*re + im*im) in
 *    double precision, then converts that as above;
 *  - complex to complex converts each part;
 *  - "string" converts only to "string": each destination element receives
 *    its own heap copy (NULL stays NULL); the previous destination pointers
 *    are overwritten, not freed.
 */
#ifndef KRASTER_KPXM_H
#define KRASTER_KPXM_H

#include "kdefs.h"
#include "kerr.h"
#include "kgda.h"

KRASTER_BEGIN_DECLS

/* Converts count contiguous elements. Returns count (0 for count below 1,
 * when nothing is done). The string converter returns -1 when memory runs
 * out; the elements it had written are then NULL again and nothing leaks. */
typedef int64_t (*Kpxm_ConvertFunc)(const void *source, void *destination, int64_t count);

/* Converts count elements taking every sourceStep-th source element and
 * writing every destinationStep-th destination element (steps in elements,
 * may be 0 or negative). Result as for Kpxm_ConvertFunc. */
typedef int64_t (*Kpxm_ConvertIncFunc)(const void *source, void *destination, int64_t count,
                                       int64_t sourceStep, int64_t destinationStep);

/* Stores count copies of the element at value (read once). Returns count
 * (0 for count below 1); the string fill returns -1 when memory runs out,
 * leaving the elements it had written NULL. */
typedef int64_t (*Kpxm_FillFunc)(void *destination, const void *value, int64_t count);

/* Same, writing every step-th element. */
typedef int64_t (*Kpxm_FillIncFunc)(void *destination, const void *value, int64_t count,
                                    int64_t step);

/* The converter matrices, indexed [source type][destination type]. Row and
 * column 13 ("string") are NULL except [13][13]. */
KRASTER_API const Kpxm_ConvertFunc (*kmsc_AddressOf_kpxm_Convert(void))[KGDA_PIXEL_TYPE_COUNT];
KRASTER_API const Kpxm_ConvertIncFunc (
    *kmsc_AddressOf_kpxm_ConvertInc(void))[KGDA_PIXEL_TYPE_COUNT];
/* The fill tables, indexed by pixel type (14 entries, none NULL). */
KRASTER_API const Kpxm_FillFunc *kmsc_AddressOf_kpxm_Fill(void);
KRASTER_API const Kpxm_FillIncFunc *kmsc_AddressOf_kpxm_FillInc(void);

/* Converts count elements of source (type sourceType) into destination (type
 * destinationType). Returns count, or 0 on failure. With a NULL err nothing
 * is done and 0 is returned. A conversion between "string" and a numeric
 * type is refused with a report. */
KRASTER_API int64_t kpxm_ConvertPixels(void *destination, int32_t destinationType,
                                       const void *source, int32_t sourceType, int64_t count,
                                       Kerr_ErrorReport **err);

/* Writes count copies of the element that value points to (for "string",
 * value points to a char pointer and each element gets its own copy).
 * Count 0 does nothing. Returns count, or 0 with a report. */
KRASTER_API int64_t kpxm_FillPixels(void *destination, int32_t type, const void *value,
                                    int64_t count, Kerr_ErrorReport **err);

/* The pixel type whose name is exactly name ("u1" ... "c128", "string"), or
 * -1 with the report "Invalid pixel type:  <name>". */
KRASTER_API int32_t kpxm_StringToType(const char *name, Kerr_ErrorReport **err);

KRASTER_END_DECLS

#endif
