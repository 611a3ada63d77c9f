/* Descriptor tables: bin functions, which map values to bins (table rows)
 * and bins back to the value ranges they cover. */
#ifndef KRASTER_KDSC_H
#define KRASTER_KDSC_H

#include "kdefs.h"
#include "kerr.h"
#include "kgda.h"

KRASTER_BEGIN_DECLS

/* A bin function: a kind ("Direct", "Linear", "Logarithmic (Toolkit)",
 * "Explicit", "Unique Value") with its own numBins bins, of which the window
 * startBin ... startBin + binCount - 1 is used; bins are numbered within the
 * window. Opaque; made by the create functions, freed with
 * kdsc_BinFunctionDelete. */
typedef struct Kdsc_BinFunction Kdsc_BinFunction;

/* Stored kind numbers; "Unique Value" has none in the stored enumeration. */
typedef enum Kdsc_BinFunctionType {
    KDSC_BIN_FUNCTION_DIRECT = 0,
    KDSC_BIN_FUNCTION_LINEAR = 1,
    KDSC_BIN_FUNCTION_LOGARITHMIC = 2,
    KDSC_BIN_FUNCTION_EXPLICIT = 3,
    KDSC_BIN_FUNCTION_UNIQUE = 4
} Kdsc_BinFunctionType;

/* Bin of v: floor(v - offset). */
KRASTER_API Kdsc_BinFunction *kdsc_BinFunctionCreateDirect(int32_t numBins, double offset,
                                                           Kerr_ErrorReport **err);
/* Bin of v: floor((v - min) numBins / (upper - min)), upper being max widened
 * by one unit in the last place; min and max are swapped when max < min. */
KRASTER_API Kdsc_BinFunction *kdsc_BinFunctionCreateLinear(int32_t numBins, double min, double max,
                                                           Kerr_ErrorReport **err);
/* Bin of v: floor((2^((v - min) / (upper - min)) - 1) numBins). */
KRASTER_API Kdsc_BinFunction *kdsc_BinFunctionCreateLogarithm(int32_t numBins, double min,
                                                              double max, Kerr_ErrorReport **err);
/* numBins + 1 limits (the first elements of an integer or real array in row
 * order), sorted ascending: bin i covers [limits[i], limits[i + 1]). */
KRASTER_API Kdsc_BinFunction *kdsc_BinFunctionCreateExplicit(int32_t numBins,
                                                             const Kgda_BaseData *limits,
                                                             Kerr_ErrorReport **err);
/* By title: "Direct" (offset = min), "Linear" and "Logarithmic (Toolkit)"
 * (min, max), "Explicit" (values: numBins + 1 limits), "Unique Value"
 * (values: numBins distinct values, sorted here). */
KRASTER_API Kdsc_BinFunction *kdsc_BinFunctionCreateFromTitle(const char *title, int32_t numBins,
                                                              double min, double max,
                                                              const Kgda_BaseData *values,
                                                              Kerr_ErrorReport **err);
KRASTER_API Kdsc_BinFunction *kdsc_BinFunctionCopy(const Kdsc_BinFunction *binFunction,
                                                   Kerr_ErrorReport **err);
KRASTER_API void kdsc_BinFunctionDelete(Kdsc_BinFunction *binFunction, Kerr_ErrorReport **err);

/* Bin of a value: 0 ... binCount - 1, -1 below the range (and for NaN),
 * binCount above it; -2 for a NULL bin function. */
KRASTER_API int32_t kdsc_BinFunctionApply(const Kdsc_BinFunction *binFunction, double value);
/* Bins of every element of values (integer or real) into bins (s32, same
 * shape). */
KRASTER_API int kdsc_BinFunctionApplyToValues(const Kdsc_BinFunction *binFunction,
                                              const Kgda_BaseData *values, Kgda_BaseData *bins,
                                              Kerr_ErrorReport **err);
/* Lower and upper value of bin (0 <= bin < binCount, else "bin out of range
 * for bin function"); either pointer may be NULL. */
KRASTER_API int kdsc_BinFunctionApplyInverse(const Kdsc_BinFunction *binFunction, int32_t bin,
                                             double *lower, double *upper, Kerr_ErrorReport **err);
/* Lower value of the bin of every element of bins (integer types) into
 * values (f64, same shape). */
KRASTER_API int kdsc_BinFunctionApplyInverseToValues(const Kdsc_BinFunction *binFunction,
                                                     const Kgda_BaseData *bins,
                                                     Kgda_BaseData *values, Kerr_ErrorReport **err);

/* binCount, or -1 for NULL. */
KRASTER_API int32_t kdsc_BinFunctionBinCount(const Kdsc_BinFunction *binFunction);
/* Moves the window: startBin += offset, binCount = count (count > 0, the
 * window inside the kind's bins). */
KRASTER_API int kdsc_BinFunctionBinCountModify(Kdsc_BinFunction *binFunction, int32_t offset,
                                               int32_t count, Kerr_ErrorReport **err);
/* Kdsc_BinFunctionType, or -1 for NULL. */
KRASTER_API int32_t kdsc_BinFunctionType(const Kdsc_BinFunction *binFunction);
/* The kind's title, or NULL. */
KRASTER_API const char *kdsc_BinFunctionTitle(const Kdsc_BinFunction *binFunction);
/* "Direct", "Linear", "Logarithmic", "Explicit" give 0 ... 3; else -1. */
KRASTER_API int32_t kdsc_BinFunctionTypeFromTitle(const char *title);
/* Lower value of bin 0 and upper value of bin binCount - 1; NaN for NULL. */
KRASTER_API double kdsc_BinFunctionMinLimit(const Kdsc_BinFunction *binFunction);
KRASTER_API double kdsc_BinFunctionMaxLimit(const Kdsc_BinFunction *binFunction);
/* 1 when both map every value to the same bin (same kind, data and window). */
KRASTER_API int kdsc_BinFunctionIsSame(const Kdsc_BinFunction *a, const Kdsc_BinFunction *b);

KRASTER_END_DECLS

#endif
