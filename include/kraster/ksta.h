/* Layer statistics and histograms: the stored statistics objects, the
 * accumulators that compute them from pixel rectangles, and helpers for the
 * colour, class-name and contrast columns of a layer's descriptor table.
 *
 * STORED OBJECTS (designs built once per process, in this item order):
 *   Ksta_Statistics      {minimum, maximum, mean, median, mode, stddev: d}
 *   Ksta_Covariance      {covariance: b}           (layers x layers, f64)
 *   Ksta_ExcludedValues  {valueBD: *b}
 *   Ksta_SkipFactors     {skipFactorX, skipFactorY: l}
 *   Kimg_StatisticsParameters840 {LayerNames: px Kmif_String, ExcludedValues:
 *       *b, AOIname: x Kmif_String, SkipFactorX, SkipFactorY: l, BinFunction:
 *       x Kmif_MIFObject}   (the form written)
 *   Kimg_StatisticsParameters830 {LayerNames: po Kmif_String, ExcludedValues:
 *       *b, AOIname: o Kmif_String, SkipFactorX, SkipFactorY: l, BinFunction:
 *       *o Kdsc_BinFunction}  (read as well)
 * Below a layer's node they are "Statistics", "StatisticsParameters",
 * "HistogramParameters", "Excluded_Values" and "Skip_Factors"; at the root
 * of a file "Covariance" and "CovarianceParameters". The histogram itself is
 * the "Histogram" column (real) of the layer's "Descriptor_Table" with the
 * table's bin function.
 *
 * ACCUMULATION. During accumulation the statistics record of a Ksta_AllStats
 * holds the running minimum and maximum, the sum in `mean` and the sum of
 * squares in `stddev`; ksta_AllStatsFinish turns them into the statistics.
 * Complex values count by their magnitude; NaN values are left out.
 *
 * EXACT-VALUE HISTOGRAM. ksta_AllStatsUVHistogramBegin starts collecting
 * every distinct value with its count, with room for `room` values (512 when
 * not positive). Integer types of at most 16 bits are counted per value in a
 * dense table that never runs out of room; for the wider types, a block that
 * brings more distinct values than the room folds the values collected so
 * far into the sums and accumulation goes on without them. At the end
 * (ksta_AllStatsUVHistogramEnd), with no bin function given:
 *   - u1, u2, u4, u8, s8: a "Direct" histogram over the whole type range
 *     (offset 0, or -128 for s8; 2, 4, 16 or 256 bins);
 *   - other types with at most `room` distinct values: a "Unique Value"
 *     histogram of those values with their exact counts;
 *   - u16 and s16 with more: a "Direct" histogram from the smallest to the
 *     largest value met (one bin per value);
 *   - wider types that ran out of room: a binned histogram of every value.
 *     From the overflow on, values go into 1024 bins of one width starting
 *     at the smallest value collected (integer types: width 1; others: the
 *     collected range over 1023); a value beyond the bins doubles the width
 *     (neighbouring bins merge), towards the side it lies on, until it fits.
 *     The result keeps the bins from the first to the last that hold values:
 *     "Direct" when the bins are still one integer wide, else "Linear".
 * With a bin function, each value's count goes to the bin the bin function
 * gives it; values outside its bins are left out of the histogram.
 *
 * FINISHING. mean = sum / n; stddev = sqrt((sumsq - mean^2 n) / (n - 1)) (0
 * for n = 1; both 0 for n = 0). The mode bin is the first bin with the
 * largest count; the median bin is the last bin added while walking the bins
 * with a running sum that is below n / 2 before each addition. Both bins
 * become values as the lower value of the bin (kdsc_BinFunctionApplyInverse).
 *
 * Every fallible operation takes the caller's report-pointer address last;
 * int results are 0 on success and -1 on failure unless stated. */
#ifndef KRASTER_KSTA_H
#define KRASTER_KSTA_H

#include "kdefs.h"
#include "kdsc.h"
#include "kerr.h"
#include "kgda.h"
#include "kint.h"
#include "kmif.h"

KRASTER_BEGIN_DECLS

struct Kimg_File;
struct Kimg_Layer;

/* Creates the statistics package state (its empty design cache) in the
 * toolkit's slot if it is not there yet. Returns 0, or -1 with a report. */
KRASTER_API int ksta_Init(Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err);

/* ---- Records of the stored objects ------------------------------------- */

typedef struct Ksta_Statistics {
    double minimum;
    double maximum;
    double mean;
    double median;
    double mode;
    double stddev;
} Ksta_Statistics;

typedef struct Ksta_Covariance {
    Kgda_BaseData covariance; /* matrix, layers x layers, f64 */
} Ksta_Covariance;

typedef struct Ksta_ExcludedValues {
    Kgda_BaseData *valueBD; /* the excluded values (a table), or NULL */
} Ksta_ExcludedValues;

typedef struct Ksta_SkipFactors {
    int32_t skipFactorX;
    int32_t skipFactorY;
} Ksta_SkipFactors;

/* Counted list of nested strings ('px' and 'po' items). */
typedef struct Ksta_StringList {
    int32_t count;
    Kmif_String *strings;
} Ksta_StringList;

typedef struct Kimg_StatisticsParameters840 {
    Ksta_StringList LayerNames;
    Kgda_BaseData *ExcludedValues;
    Kmif_String AOIname;
    int32_t SkipFactorX;
    int32_t SkipFactorY;
    Kdsc_MIFObjectRecord BinFunction; /* a stored bin function of either form */
} Kimg_StatisticsParameters840;

typedef struct Kimg_StatisticsParameters830 {
    Ksta_StringList LayerNames;
    Kgda_BaseData *ExcludedValues;
    Kmif_String AOIname;
    int32_t SkipFactorX;
    int32_t SkipFactorY;
    Kdsc_BinFunctionRecord *BinFunction;
} Kimg_StatisticsParameters830;

/* The library's design of a stored type by name ("Ksta_Statistics",
 * "Ksta_Covariance", "Ksta_ExcludedValues", "Ksta_SkipFactors",
 * "Kimg_StatisticsParameters840", "Kimg_StatisticsParameters830"); NULL
 * with a report for another name. */
KRASTER_API const Kmif_Design *ksta_DesignGet(const char *name, Kerr_ErrorReport **err);

/* ---- Histograms ------------------------------------------------------------ */

/* Counts (64-bit floats) of the bins of a bin function. */
typedef struct Ksta_Histogram {
    Kdsc_BinFunction *binFunction; /* owned */
    int32_t binCount;
    double *counts; /* binCount counts */
} Ksta_Histogram;

/* A histogram of a copy of binFunction with zero counts. */
KRASTER_API Ksta_Histogram *ksta_HistogramCreate(const Kdsc_BinFunction *binFunction,
                                                 Kerr_ErrorReport **err);
KRASTER_API Ksta_Histogram *ksta_HistogramCopy(const Ksta_Histogram *histogram,
                                               Kerr_ErrorReport **err);
/* NULL is accepted. */
KRASTER_API void ksta_HistogramDelete(Ksta_Histogram *histogram);

/* ---- Accumulators ------------------------------------------------------------ */

/* The exact-value histogram in progress (opaque). */
typedef struct Ksta_UVHistogram Ksta_UVHistogram;

typedef struct Ksta_AllStats {
    double pixelCount;
    Ksta_Statistics statistics;    /* accumulator, then the result */
    Ksta_Histogram *histogram;     /* NULL: none (yet) */
    Ksta_UVHistogram *uvHistogram; /* NULL when none is in progress */
} Ksta_AllStats;

/* An initialised accumulator. With a bin function, its histogram has that
 * function's bins, cut to the first binCount when binCount is positive and
 * smaller; without one, binCount is ignored. */
KRASTER_API Ksta_AllStats *ksta_AllStatsCreate(const Kdsc_BinFunction *binFunction,
                                               int32_t binCount, Kerr_ErrorReport **err);
/* Zero count and sums, extremes at +inf and -inf, histogram counts 0; an
 * exact-value histogram in progress is dropped. */
KRASTER_API int ksta_AllStatsInit(Ksta_AllStats *allStats, Kerr_ErrorReport **err);
/* Deep copy (the exact-value histogram in progress included). */
KRASTER_API Ksta_AllStats *ksta_AllStatsCopy(const Ksta_AllStats *allStats, Kerr_ErrorReport **err);
/* NULL is accepted. */
KRASTER_API void ksta_AllStatsDelete(Ksta_AllStats *allStats);

/* Accumulates every pixel of the rasters of rects (numeric types, any mix),
 * layer i into accumulator i; mask (NULL: none) is a one-byte raster (u1 to
 * s8) of the rectangles' size: pixels whose mask byte is 0 are left out.
 * The stack of accumulators and of rectangles must have the same count. */
KRASTER_API int ksta_AllStatsAccumulate(Ksta_AllStats *const *allStats, int32_t count,
                                        const Kgda_BaseDataStack *rects, const Kgda_BaseData *mask,
                                        Kerr_ErrorReport **err);
/* Starts the exact-value histogram for values of pixelType (see above). */
KRASTER_API int ksta_AllStatsUVHistogramBegin(Ksta_AllStats *allStats, int32_t pixelType,
                                              int32_t room, Kerr_ErrorReport **err);
/* Accumulates one raster into one accumulator (mask as above). */
KRASTER_API int ksta_AllStatsUVHistogramAccumulate(Ksta_AllStats *allStats,
                                                   const Kgda_BaseData *rect,
                                                   const Kgda_BaseData *mask,
                                                   Kerr_ErrorReport **err);
/* Ends it: count, sums and extremes from the values, and the histogram (see
 * above). Nothing happens without one in progress. */
KRASTER_API int ksta_AllStatsUVHistogramEnd(Ksta_AllStats *allStats, Kerr_ErrorReport **err);
/* The finishing formulas ("uvHistogram must be terminated" while one is in
 * progress; "Pointer to Ksta_AllStats structure is NULL"). */
KRASTER_API int ksta_AllStatsFinish(Ksta_AllStats *allStats, Kerr_ErrorReport **err);

/* One accumulator per layer of a stack and, when asked, the covariance of
 * the layers over the pixels that no layer leaves out. */
typedef struct Ksta_CovarianceSums Ksta_CovarianceSums; /* opaque */
typedef struct Ksta_AllStatsStack {
    int32_t count;
    Ksta_AllStats **allStats;
    Ksta_CovarianceSums *sums; /* NULL without covariance */
    Kgda_BaseData *covariance; /* count x count f64 matrix after finishing */
} Ksta_AllStatsStack;

KRASTER_API Ksta_AllStatsStack *ksta_AllStatsStackCreate(int32_t count,
                                                         const Kdsc_BinFunction *binFunction,
                                                         int32_t binCount, int withCovariance,
                                                         Kerr_ErrorReport **err);
KRASTER_API int ksta_AllStatsStackInit(Ksta_AllStatsStack *stack, Kerr_ErrorReport **err);
KRASTER_API Ksta_AllStatsStack *ksta_AllStatsStackCopy(const Ksta_AllStatsStack *stack,
                                                       Kerr_ErrorReport **err);
KRASTER_API void ksta_AllStatsStackDelete(Ksta_AllStatsStack *stack);
/* Accumulates the layers of rects (and the covariance sums). */
KRASTER_API int ksta_AllStatsStackAccumulate(Ksta_AllStatsStack *stack,
                                             const Kgda_BaseDataStack *rects,
                                             const Kgda_BaseData *mask, Kerr_ErrorReport **err);
/* Ends the exact-value histograms, finishes every layer and the covariance
 * (sample covariance, (sum xy - n mean_x mean_y) / (n - 1); 0 for n < 2). */
KRASTER_API int ksta_AllStatsStackFinish(Ksta_AllStatsStack *stack, Kerr_ErrorReport **err);

/* ---- Stored objects of an open image file --------------------------------
 * nodePath is a node path inside the file (":Layer_1:Statistics"). Reads
 * give new records: NULL with "No statistics info found" (and the like)
 * when the node is missing. */

KRASTER_API Ksta_Statistics *ksta_StatisticsRead(struct Kimg_File *file, const char *nodePath,
                                                 Kerr_ErrorReport **err);
KRASTER_API int ksta_StatisticsWrite(struct Kimg_File *file, const char *nodePath,
                                     const Ksta_Statistics *statistics, Kerr_ErrorReport **err);
KRASTER_API Ksta_Statistics *ksta_StatisticsCopy(const Ksta_Statistics *statistics,
                                                 Kerr_ErrorReport **err);
KRASTER_API void ksta_StatisticsDelete(Ksta_Statistics *statistics);
/* Excluded values ("Excluded_Values") and skip factors ("Skip_Factors")
 * below a layer's node path. */
KRASTER_API int ksta_StatisticsWriteExcludedValues(struct Kimg_File *file, const char *layerNode,
                                                   const Kgda_BaseData *values,
                                                   Kerr_ErrorReport **err);
KRASTER_API int ksta_StatisticsWriteSkipFactors(struct Kimg_File *file, const char *layerNode,
                                                int32_t skipX, int32_t skipY,
                                                Kerr_ErrorReport **err);
/* A covariance matrix at nodePath: a new count x count f64 matrix. */
KRASTER_API Kgda_BaseData *ksta_CovarianceRead(struct Kimg_File *file, const char *nodePath,
                                               Kerr_ErrorReport **err);
/* Refuses a matrix that is not square f64 with a symmetric finite content
 * ("Ill-formed covariance matrix"). */
KRASTER_API int ksta_CovarianceWrite(struct Kimg_File *file, const char *nodePath,
                                     const Kgda_BaseData *covariance, Kerr_ErrorReport **err);
/* The histogram of a layer (the "Histogram" column with the table's bin
 * function), NULL with "No histogram found" when there is none; and
 * writing one (the table made or resized to its bins). */
KRASTER_API Ksta_Histogram *ksta_HistogramRead(struct Kimg_Layer *layer, Kerr_ErrorReport **err);
KRASTER_API int ksta_HistogramWrite(struct Kimg_Layer *layer, const Ksta_Histogram *histogram,
                                    Kerr_ErrorReport **err);

/* ---- Statistics parameters ------------------------------------------------- */

/* What statistics were computed with (opaque): layer names, excluded
 * values, area of interest (a caller's object, not stored) and its name,
 * skip factors, bin function. */
typedef struct Kimg_StatisticsParameters Kimg_StatisticsParameters;

KRASTER_API Kimg_StatisticsParameters *kimg_StatisticsParametersAllocate(Kerr_ErrorReport **err);
KRASTER_API void kimg_StatisticsParametersFree(Kimg_StatisticsParameters *parameters);
/* A new record of "Kimg_StatisticsParameters840" (free it with
 * kmif_ObjectFree and *design, a library design). */
KRASTER_API void *kimg_StatisticsParametersConvertToMIFable(
    const Kimg_StatisticsParameters *parameters, const Kmif_Design **design,
    Kerr_ErrorReport **err);
/* From a record of either form ("Unrecognized statistics parameters type
 * '%s'" for another design). */
KRASTER_API Kimg_StatisticsParameters *kimg_StatisticsParametersConvertFromMIFable(
    const void *object, const Kmif_Design *design, Kerr_ErrorReport **err);

/* Layer names: a heap array of heap strings (free each, then the array). */
KRASTER_API int kimg_StatisticsParametersLayerNamesGet(const Kimg_StatisticsParameters *parameters,
                                                       long *count, char ***names,
                                                       Kerr_ErrorReport **err);
KRASTER_API int kimg_StatisticsParametersLayerNamesSet(Kimg_StatisticsParameters *parameters,
                                                       long count, const char *const *names,
                                                       Kerr_ErrorReport **err);
/* Excluded values: a new 1 x n f64 table (0 x 0 when none); setting takes
 * any numeric BaseData (NULL clears), keeps distinct sorted values and
 * refuses more than 4096 ("More than %ld unique excluded values not
 * currently supported"). */
KRASTER_API Kgda_BaseData *kimg_StatisticsParametersExcludedValuesGet(
    const Kimg_StatisticsParameters *parameters, Kerr_ErrorReport **err);
KRASTER_API int kimg_StatisticsParametersExcludedValuesSet(Kimg_StatisticsParameters *parameters,
                                                           const Kgda_BaseData *values,
                                                           Kerr_ErrorReport **err);
/* The area of interest is a caller's pointer kept as it is. */
KRASTER_API void *kimg_StatisticsParametersAOIGet(const Kimg_StatisticsParameters *parameters);
KRASTER_API int kimg_StatisticsParametersAOISet(Kimg_StatisticsParameters *parameters, void *aoi,
                                                Kerr_ErrorReport **err);
/* The name (owned by the parameters; NULL when none). */
KRASTER_API const char *kimg_StatisticsParametersAOINameGet(
    const Kimg_StatisticsParameters *parameters);
KRASTER_API int kimg_StatisticsParametersAOINameSet(Kimg_StatisticsParameters *parameters,
                                                    const char *name, Kerr_ErrorReport **err);
/* Skip factors, each at least 1 ("Invalid x skip factor", "Invalid y skip
 * factor"). */
KRASTER_API int kimg_StatisticsParametersSkipFactorsGet(const Kimg_StatisticsParameters *parameters,
                                                        long *x, long *y, Kerr_ErrorReport **err);
KRASTER_API int kimg_StatisticsParametersSkipFactorsSet(Kimg_StatisticsParameters *parameters,
                                                        long x, long y, Kerr_ErrorReport **err);
/* The bin function (owned by the parameters; NULL when none); setting
 * stores a copy (NULL clears). */
KRASTER_API const Kdsc_BinFunction *kimg_StatisticsParametersBinFunctionGet(
    const Kimg_StatisticsParameters *parameters);
KRASTER_API int kimg_StatisticsParametersBinFunctionSet(Kimg_StatisticsParameters *parameters,
                                                        const Kdsc_BinFunction *binFunction,
                                                        Kerr_ErrorReport **err);

/* ---- Descriptor-table helpers ----------------------------------------------
 * Columns of the layer's "Descriptor_Table": colours "Red", "Green", "Blue"
 * and "Opacity" (reals 0 to 1), "Class_Names" (strings) and "Contrast"
 * (reals). Reads give new arrays of the table's row count in *rows (NULL
 * with a report when a column is missing); writes make the table (rows
 * rows) and the columns when missing. */

KRASTER_API int ksta_ColorTableRead(struct Kimg_Layer *layer, int32_t *rows, double **red,
                                    double **green, double **blue, double **opacity,
                                    Kerr_ErrorReport **err);
KRASTER_API int ksta_ColorTableWrite(struct Kimg_Layer *layer, int32_t rows, const double *red,
                                     const double *green, const double *blue, const double *opacity,
                                     Kerr_ErrorReport **err);
/* Class names: a heap array of heap strings. */
KRASTER_API int ksta_ClassNamesRead(struct Kimg_Layer *layer, int32_t *rows, char ***names,
                                    Kerr_ErrorReport **err);
KRASTER_API int ksta_ClassNamesWrite(struct Kimg_Layer *layer, int32_t rows,
                                     const char *const *names, Kerr_ErrorReport **err);
KRASTER_API int ksta_ContrastTableRead(struct Kimg_Layer *layer, int32_t *rows, double **values,
                                       Kerr_ErrorReport **err);
KRASTER_API int ksta_ContrastTableWrite(struct Kimg_Layer *layer, int32_t rows,
                                        const double *values, Kerr_ErrorReport **err);

/* A contrast stretch by a number of standard deviations, as a look-up table
 * over the data range: entry i (of `entries`, at least 2) stands for the
 * value v = minimum + i (maximum - minimum) / (entries - 1) and holds its
 * place on the output range 0 to 1, (v - lo) / (hi - lo) clamped to [0, 1],
 * where lo = mean - nStdDev x stddev and hi = mean + nStdDev x stddev. Values
 * more than nStdDev deviations below the mean go to 0, above it to 1. With a
 * zero standard deviation, values below the mean give 0 and the others 1.
 * nStdDev must be positive. Returns a new array (kmsc_HeapFree). */
KRASTER_API double *ksta_LUTCreateForNStdDevStretch(const Ksta_Statistics *statistics,
                                                    double nStdDev, int32_t entries,
                                                    Kerr_ErrorReport **err);

KRASTER_END_DECLS

#endif
