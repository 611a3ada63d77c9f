/* Resampling methods: plug-ins of the class "ResampleMethods" that compute
 * destination pixels from source pixels (pyramid levels, resampled reads).
 * They are found like raster format plug-ins (kimgrf.h) along
 * ORVEL_RESAMPLE_METHODS_PATH, then $MIRAVEN_HOME/usr/lib/$ARCHM/ResampleMethods
 * and $MIRAVEN_HOME/bin/$ARCHM/ResampleMethods, then
 * <directory of libkraster.so>/kraster/plugins/ResampleMethods, and loaded
 * when a method is first asked for. A plug-in serves one method per title.
 *
 * THE MAPPING. A method fills a destination rectangle from a source
 * rectangle through an axis-aligned scale (Kirf_Scale): destination pixel
 * (row r, column c) covers the source area [x0 + c dx, x0 + (c + 1) dx) x
 * [y0 + r dy, y0 + (r + 1) dy), in source pixel coordinates where source
 * pixel (i, j) covers [j, j + 1) x [i, i + 1). Its centre is
 * (x0 + (c + 0.5) dx, y0 + (r + 0.5) dy).
 *
 * ENTRY POINTS (plain C functions exported by name):
 *   InstanceTitleListGet (required) and InstanceIsThreadsafe as in kimgrf.h;
 *   per-title lists, each optional (a failing call gets the plug-in ignored,
 *   "<Name> returning garbage from %s:  DLL ignored"):
 *     InstanceGeometricModelsInstanceListsGet (long *count, char ***lists):
 *       comma-separated geometric model names the method accepts ("" any;
 *       the scale of this header is the model "Scale");
 *     InstanceKernelSizeListGet (long *count, long **sizes): source pixels
 *       across the kernel (1 nearest, 2, 4 ...); 0 means variable, which needs
 *       ResampleBlockCheck ("Kernel size of '%s' cannot be zero w/o a
 *       supporting ResampleBlockCheck");
 *     InstanceSrcDataTypesGet (long *count, char ***lists): comma-separated
 *       pixel types the method reads ("" all); other sources are converted;
 *     InstanceDstDataTypesGet (long *count, char ***names): the pixel type
 *       the method writes ("" the source's);
 *     InstanceSourceRangeFlagsGet (long *count, long **flags): non-zero when
 *       ResampleDataCreate needs the source's value range;
 *   ResampleDataCreate, ResampleDataDestroy, ResampleBlockInterpolate
 *   (required), ResampleBlockCheck and ResamplePointsInterpolate (optional),
 *   with the signatures below.
 * Status returns are long, negative on failure, as in kimgrf.h. */
#ifndef KRASTER_KIRF_H
#define KRASTER_KIRF_H

#include "kdefs.h"
#include "kerr.h"
#include "kgda.h"

KRASTER_BEGIN_DECLS

#define KIRF_CLASS_NAME "ResampleMethods"

/* Destination pixel to source coordinates (see THE MAPPING). */
typedef struct Kirf_Scale {
    double x0, y0; /* source position of the destination's top left corner */
    double dx, dy; /* source pixels per destination pixel (positive) */
} Kirf_Scale;

/* What a method is given for one use. */
typedef struct Kirf_MethodSetup {
    int32_t srcPixelType; /* pixel type of the source rectangles */
    int32_t dstPixelType; /* pixel type of the destination rectangles */
    int32_t hasNull;      /* 1: source pixels equal to nullValue are no data */
    double nullValue;     /* as a double of the source type */
    double srcMinimum;    /* the source's value range, when the method asks */
    double srcMaximum;
    int64_t srcColumns; /* size of the source: source rectangles are clipped */
    int64_t srcRows;    /* to it (0: unbounded) */
} Kirf_MethodSetup;

/* ---- Plug-in entry points -------------------------------------------------- */
typedef long (*Kirf_InstanceListGetFunc)(long *count, char ***names);
typedef long (*Kirf_InstanceFlagsGetFunc)(long *count, long **flags);
typedef long (*Kirf_InstanceIsThreadsafeFunc)(void);
/* The method's data for one use of title titleIndex. */
typedef void *(*Kirf_ResampleDataCreateFunc)(long titleIndex, const Kirf_MethodSetup *setup,
                                             Kerr_ErrorReport **err);
typedef long (*Kirf_ResampleDataDestroyFunc)(void *data, Kerr_ErrorReport **err);
/* Fills the whole destination rectangle. The source rectangle holds the
 * source pixels from (srcColumn, srcRow) on, in the coordinates of the
 * mapping; pixels the kernel needs outside it are left out of the result
 * (weights renormalised), and a pixel with no data left becomes the null
 * value (0 without one). Sets *underflow or *overflow when values left the
 * destination type's range. */
typedef long (*Kirf_ResampleBlockInterpolateFunc)(void *data, const Kgda_BaseData *source,
                                                  long srcColumn, long srcRow,
                                                  const Kirf_Scale *scale,
                                                  Kgda_BaseData *destination, int32_t *underflow,
                                                  int32_t *overflow, Kerr_ErrorReport **err);
/* Optional: the same at given source positions instead of a scale. xy holds
 * 2 x rows x columns doubles, the x and y of each destination pixel's centre
 * in the source coordinates of THE MAPPING, row by row; a position that is
 * not finite gives the null value (0 without one). A method without it
 * cannot be used with a transform chain. */
typedef long (*Kirf_ResamplePointsInterpolateFunc)(void *data, const Kgda_BaseData *source,
                                                   long srcColumn, long srcRow, const double *xy,
                                                   Kgda_BaseData *destination, int32_t *underflow,
                                                   int32_t *overflow, Kerr_ErrorReport **err);
/* For kernels of variable size: the source rectangle a destination block
 * needs (first column and row, columns, rows). */
typedef long (*Kirf_ResampleBlockCheckFunc)(void *data, const Kirf_Scale *scale, long dstColumns,
                                            long dstRows, long *srcColumn, long *srcRow,
                                            long *srcColumns, long *srcRows,
                                            Kerr_ErrorReport **err);

/* ---- Library side --------------------------------------------------------- */

/* The title of a classic interpolation kind: 0 "Nearest Neighbor", 1
 * "Bilinear Interpolation", 2 "Cubic Convolution"; NULL for another. */
KRASTER_API const char *kirf_ResampleMethodFromInterpolationType(int32_t type);

/* 1 when a method of this title is available, 0 when not (with the report
 * "%s:  Unknown Resample Method", or "Missing resample method name",
 * "No resampling methods found"). */
KRASTER_API int kirf_ResampleMethodExists(const char *title, Kerr_ErrorReport **err);

/* Fills rects (srcLayerCount rasters of columns x rows, made by the library
 * in the pixel type the method reads) with the source pixels of the
 * rectangle at (column, row), which lies inside the source when the setup
 * gave its size. Instead of copying, the function may make a raster a view
 * (kgda_BaseDataReDerive) of the same size and type into memory of its own
 * that stays unchanged until the block is done. Returns 0 or -1 with a
 * report. */
typedef int (*Kirf_SrcPixelRectsGetFunc)(void *clientData, long column, long row, long columns,
                                         long rows, Kgda_BaseDataStack *rects,
                                         Kerr_ErrorReport **err);

typedef struct Kirf_ResampleData Kirf_ResampleData;
/* A transform chain (kxfr.h). */
struct Kxfr_XForm;

/* Prepares resampling srcLayerCount layers of srcPixelType with the method
 * of the given title through the scale. The setup's dstPixelType, range and
 * null value are filled by the caller; dstPixelType -1 takes the method's
 * (or the source's). A method that does not read the source's type gets it
 * converted ("Possible data loss:   source (%s) converted to %s for
 * resample" as a warning). Errors: "Missing srcPixelRectsGetFunc", "Missing
 * resampleMethod", "Missing xForm", "srcLayerCount must be positive",
 * "Resample type %s is invalid for supplied xForm". */
KRASTER_API Kirf_ResampleData *kirf_ResampleDataCreate(Kirf_SrcPixelRectsGetFunc srcGet,
                                                       void *clientData, const char *resampleMethod,
                                                       const Kirf_Scale *xForm, long srcLayerCount,
                                                       const Kirf_MethodSetup *setup,
                                                       Kerr_ErrorReport **err);
/* The same through a transform chain instead of a scale: destination
 * pixel (row r, column c) takes the source value at the image of (c, r)
 * under the chain, both in pixel coordinates where pixel (i, j) has its
 * centre at (j, i). The chain is copied. The method's plug-in must offer
 * ResamplePointsInterpolate, and the method's geometric model list must
 * name the model of every step (an empty list takes any); else "Resample
 * type %s is invalid for supplied xForm". A chain that cannot be applied
 * to a block fails its kirf_ResampleBlockInterpolate
 * ("kxfr_CoordBlockTransform failed"). Other errors as above. */
KRASTER_API Kirf_ResampleData *kirf_ResampleDataCreateXForm(
    Kirf_SrcPixelRectsGetFunc srcGet, void *clientData, const char *resampleMethod,
    const struct Kxfr_XForm *xForm, long srcLayerCount, const Kirf_MethodSetup *setup,
    Kerr_ErrorReport **err);
/* The pixel type the method writes. */
KRASTER_API int32_t kirf_ResampleDataDstPixelType(const Kirf_ResampleData *data);
/* Fills the destination rectangle inDstRectangle (column, row, columns,
 * rows; integral) into the rasters of dst (srcLayerCount layers of the
 * destination pixel type, at least columns x rows, the rectangle's top left
 * corner at their first element). When the source data for the rectangle cannot
 * be held it is split in halves and each half done in turn ("No memory for
 * source data read and further subdivision impossible" at a single pixel).
 * Underflow or overflow is warned: "%s%s%s resampling data block; results
 * may be incorrect". */
KRASTER_API int kirf_ResampleBlockInterpolate(Kirf_ResampleData *data, const double *inDstRectangle,
                                              Kgda_BaseDataStack *dst, Kerr_ErrorReport **err);
KRASTER_API void kirf_ResampleDataDestroy(Kirf_ResampleData *data, Kerr_ErrorReport **err);
/* Testing aid: the most source bytes one block may read before it is split
 * (0 restores the default, 64 MiB). */
KRASTER_API void kirf_ResampleSourceLimitSet(int64_t bytes);

KRASTER_END_DECLS

#endif
