/* Unit conversion: named units read from the units file "units.dat",
 * conversions of values and coordinate matrices between them, and angles in
 * decimal degrees, degree-minute-second triples and packed DMS numbers. */
#ifndef KRASTER_KCVT_H
#define KRASTER_KCVT_H

#include "kdefs.h"
#include "kerr.h"
#include "kfga.h"
#include "kfio.h"
#include "kgda.h"

KRASTER_BEGIN_DECLS

/* Kinds of quantity (Kcvt_Unit.type); the units file selects 0 to 4 with
 * the keywords ANGLE, DISTANCE, VOLUME, AREA and TIME. */
#define KCVT_UNIT_UNDETERMINED (-1) /* created empty, or from the projection engine */
#define KCVT_UNIT_ANGLE 0           /* standard unit: radians */
#define KCVT_UNIT_DISTANCE 1        /* meters */
#define KCVT_UNIT_VOLUME 2          /* cubic meters */
#define KCVT_UNIT_AREA 3            /* square meters */
#define KCVT_UNIT_TIME 4            /* seconds */
#define KCVT_UNIT_NUMBER 5          /* a name read as a number n: factor 1 / n */

/* A named unit: toStd maps a value in this unit to the standard unit of its
 * kind (x' = factor x + offset, an order-1 polynomial in two variables that
 * treats both alike); fromStd is its inverse. */
typedef struct Kcvt_Unit {
    struct Kcvt_Unit *next;
    int32_t type;
    char *name;
    Kfga_Polynomial *toStd;
    Kfga_Polynomial *fromStd;
} Kcvt_Unit;

/* A new empty unit: type -1, everything else 0. */
KRASTER_API Kcvt_Unit *kcvt_UnitCreate(Kerr_ErrorReport **err);
/* A unit of a type and name with toStd = factor x + offset and fromStd its
 * inverse (a factor of 0 has none and is refused). */
KRASTER_API Kcvt_Unit *kcvt_UnitNew(int32_t type, const char *name, double factor, double offset,
                                    Kerr_ErrorReport **err);
/* A deep copy (next is NULL). */
KRASTER_API Kcvt_Unit *kcvt_UnitCopy(const Kcvt_Unit *unit, Kerr_ErrorReport **err);
/* Appends unit (which the list then owns) at the end of list and returns
 * the list (unit itself when list is NULL). A unit whose name is already in
 * the list is refused and stays the caller's. */
KRASTER_API Kcvt_Unit *kcvt_UnitAddToList(Kcvt_Unit *list, Kcvt_Unit *unit, Kerr_ErrorReport **err);
/* Frees one unit (name and polynomials, not its successors) or a list. */
KRASTER_API void kcvt_UnitFree(Kcvt_Unit *unit);
KRASTER_API void kcvt_UnitListFree(Kcvt_Unit *list);
/* The factor and offset of toStd. Returns 0, or -1 with a report. */
KRASTER_API int kcvt_UnitFactor(const Kcvt_Unit *unit, double *factor, double *offset,
                                Kerr_ErrorReport **err);

/* The unit of that name from the process list (read from "units.dat" on
 * first use). A name that is not in the list and not known to an external
 * projection engine is read as a number n (not 0): the unit "n" of type
 * KCVT_UNIT_NUMBER and factor 1 / n is added to the list. The unit belongs
 * to the list. */
KRASTER_API const Kcvt_Unit *kcvt_UnitSetByName(const char *name, Kerr_ErrorReport **err);

/* Looks up a unit factor in an external projection engine: returns 1 and
 * sets *factor when the engine knows the name, else 0. */
typedef int (*Kcvt_ExternalUnitLookup)(const char *name, double *factor);
/* Installs the lookup used by kcvt_UnitSetByName for names missing from the
 * list (NULL removes it); the projection engine installs its own. */
KRASTER_API void kcvt_UnitSetExternalLookup(Kcvt_ExternalUnitLookup lookup);

/* Converts count values from inUnit to outUnit: v (a c) + (b c + d) with a,
 * b the input unit's toStd factor and offset and c, d the output unit's
 * fromStd factor and offset. Units of two different determined kinds (not
 * KCVT_UNIT_NUMBER) print the warning "Units are not of same type" and the
 * values are copied unchanged (the call succeeds). output may be input. */
KRASTER_API int kcvt_UnitsConvert(const double *input, const Kcvt_Unit *inUnit, double *output,
                                  const Kcvt_Unit *outUnit, int64_t count, Kerr_ErrorReport **err);
KRASTER_API int kcvt_UnitsConvertByName(const double *input, const char *inUnit, double *output,
                                        const char *outUnit, int64_t count, Kerr_ErrorReport **err);
/* Converts every element of a matrix of coordinates (f32 or f64, in place)
 * through the polynomial transform: the matrix is taken as points of two
 * coordinates, a 2 x n matrix one point per column, any other shape
 * element by element. Returns 0, or -1 with a report. */
KRASTER_API int kcvt_UnitsConvertMatrix(Kgda_BaseData *matrix, const Kcvt_Unit *inUnit,
                                        const Kcvt_Unit *outUnit, Kerr_ErrorReport **err);
KRASTER_API int kcvt_UnitsConvertMatrixByName(Kgda_BaseData *matrix, const char *inUnit,
                                              const char *outUnit, Kerr_ErrorReport **err);

/* Parses a units file (the grammar is described in share/kraster/units.dat)
 * and returns its units as a new list: from stream when it is not NULL
 * (fileName then only names it in messages), else from fileName, else
 * "units.dat" found along ORVEL_ETC_PATH (default: the library's
 * share/kraster). A file without units gives NULL without a report. */
KRASTER_API Kcvt_Unit *kcvt_UnitsFileParse(Kfio_Fd *stream, const char *fileName,
                                           Kerr_ErrorReport **err);
/* The same from text in memory (size bytes); name is used in messages. */
KRASTER_API Kcvt_Unit *kcvt_UnitsTextParse(const char *text, size_t size, const char *name,
                                           Kerr_ErrorReport **err);

/* Decimal degrees to degrees, minutes and seconds (minutes and seconds
 * positive, the sign on the degrees) and back. */
KRASTER_API void kcvt_DD2DMS(double decimalDegrees, double *degrees, double *minutes,
                             double *seconds);
KRASTER_API double kcvt_DMS2DD(double degrees, double minutes, double seconds);

/* Packed degree-minute-second numbers: version 0 DDDMMMSSS.SS (degrees x
 * 1000000 + minutes x 1000 + seconds), version 1 DDDMMSS.SS (x 10000, x
 * 100); any other version is refused before anything is converted.
 * Unpacking leaves values that are not valid packed numbers (degrees above
 * 180, minutes or seconds above 60) unwritten, converts the others and then
 * fails with "Invalid packed decimal value". Packing stops at the first
 * value above 180 degrees ("Invalid decimal degrees"; the values before it
 * stay written). Return 0, or -1 with a report. */
KRASTER_API int kcvt_GCTPPackedDMS2DecimalDegrees(const double *input, double *output,
                                                  int64_t count, int32_t version,
                                                  Kerr_ErrorReport **err);
KRASTER_API int kcvt_DecimalDegrees2GCTPPackedDMS(const double *input, double *output,
                                                  int64_t count, int32_t version,
                                                  Kerr_ErrorReport **err);
KRASTER_API int kcvt_GCTPPackedDMS2Radians(const double *input, double *output, int64_t count,
                                           int32_t version, Kerr_ErrorReport **err);
KRASTER_API int kcvt_Radians2GCTPPackedDMS(const double *input, double *output, int64_t count,
                                           int32_t version, Kerr_ErrorReport **err);

KRASTER_END_DECLS

#endif
