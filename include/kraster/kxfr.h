/* Transform chains: geometric transforms kept as ordered lists of steps,
 * each step an instance of a geometric model with that model's own data.
 * The model "Identity" is built in; every other model ("Affine",
 * "Polynomial", "Projection Pair", "Rational Function" ...) comes from a
 * plug-in of the class "GeometricModels" found by its title. */
#ifndef KRASTER_KXFR_H
#define KRASTER_KXFR_H

#include <stdio.h>

#include "kdefs.h"
#include "kerr.h"
#include "kfga.h"
#include "kgda.h"
#include "khfa.h"
#include "kimg.h"
#include "kprj.h"

KRASTER_BEGIN_DECLS

#define KXFR_GEOMETRIC_MODELS_CLASS "GeometricModels"
#define KXFR_IDENTITY_TITLE "Identity"
#define KXFR_DEFAULT_NODE_NAME "GenericXForm"

/* A chain (opaque): steps applied first to last; no step is the identity. */
typedef struct Kxfr_XForm Kxfr_XForm;

/* Named parameters of one step: count names with their values. */
typedef struct Kxfr_NameParameterList {
    int32_t count;
    char **names;
    double *values;
} Kxfr_NameParameterList;

/* A rectangle in the coordinates of a chain's input or output. */
typedef struct Kxfr_Window {
    double left;
    double top;
    double right;
    double bottom;
} Kxfr_Window;

/* The MIF form of a chain: per step its model title, the dictionary text
 * holding its design, the design's name and the encoded data. */
typedef struct Kxfr_XFormMIF {
    int32_t count;
    char **titles;
    char **dictionaries;
    char **designNames;
    unsigned char **data;
    int32_t *sizes;
} Kxfr_XFormMIF;

/* ---- The geometric-model plug-in interface ---------------------------------
 * A plug-in exports these functions by name; those marked required must be
 * present. Strings and buffers handed to the library are allocated with
 * kmsc_HeapMalloc; the library frees them. "data" is the plug-in's own
 * handle of one step. Functions returning long give a negative value on
 * failure. */
typedef long (*Kxfr_GMInstanceTitleListGetFunc)(long *count, char ***titles); /* required */
typedef long (*Kxfr_GMInstanceIsThreadsafeFunc)(void);
typedef long (*Kxfr_XFormConvertToMIFFunc)(const void *data, char **dictionary, char **designName,
                                           unsigned char **bytes, int32_t *size,
                                           Kerr_ErrorReport **err);
typedef void *(*Kxfr_XFormConvertFromMIFFunc)(const char *dictionary, const char *designName,
                                              const unsigned char *bytes, int32_t size,
                                              Kerr_ErrorReport **err);
typedef void *(*Kxfr_XFormSscanfFunc)(const char *text, Kerr_ErrorReport **err);
typedef char *(*Kxfr_XFormSprintfFunc)(const void *data, Kerr_ErrorReport **err);
typedef void (*Kxfr_XFormDestroyFunc)(void *data); /* required */
typedef long (*Kxfr_XFormIsUsableFunc)(const void *data);
typedef long (*Kxfr_XFormIsSameFunc)(const void *a, const void *b);
typedef long (*Kxfr_XFormIsInverseFunc)(const void *a, const void *b);
typedef void *(*Kxfr_XFormCopyFunc)(const void *data, Kerr_ErrorReport **err);   /* required */
typedef void *(*Kxfr_XFormInvertFunc)(const void *data, Kerr_ErrorReport **err); /* required */
/* Prepend: the step becomes "step after affine"; append: "affine after step". */
typedef long (*Kxfr_XFormAffineFoldFunc)(void *data, const Kfga_Polynomial *affine,
                                         Kerr_ErrorReport **err);
/* 1 with *affine (a new order-1 polynomial) when the step is affine, 0 when
 * it is not. */
typedef long (*Kxfr_XFormAffineExtractFunc)(const void *data, Kfga_Polynomial **affine,
                                            Kerr_ErrorReport **err);
/* count points of interleaved x, y doubles, transformed in place. Required. */
typedef long (*Kxfr_XFormTransformFunc)(const void *data, long count, double *xy);
typedef long (*Kxfr_XFormTransformWindowFunc)(const void *data, const Kxfr_Window *in,
                                              Kxfr_Window *out, Kerr_ErrorReport **err);
/* A new list (freed by the library with kxfr_NameParameterListFree). */
typedef long (*Kxfr_XFormNameParameterListGetFunc)(const void *data, Kxfr_NameParameterList **list,
                                                   Kerr_ErrorReport **err);
typedef long (*Kxfr_XFormNameParameterListSetFunc)(void *data, const Kxfr_NameParameterList *list,
                                                   Kerr_ErrorReport **err);

/* Model constructors reached by name ("XFormCreate" ...): each returns the
 * new step data or NULL with a report.
 *   model "Affine":
 *     XFormCreateUnity(err)
 *     XFormCreate(x0, a, b, y0, c, d, err)   x' = x0 + a x + b y, y' = y0 + c x + d y
 *     XFormCreateUsingCoeffs(const double coeffs[6], err)  the same six values
 *     XFormCreateFromAffinePoly(const Kfga_Polynomial *, err)
 *     XFormCreateFromMapInfo(const Kprj_MapInfo *, err)    pixel to map
 *     XFormFindAffine(const Kgda_BaseData *from, const Kgda_BaseData *to, err)
 *     XFormRotate(double radians, err), XFormTranslate(tx, ty, err),
 *     XFormScaleXY(sx, sy, err)
 *   model "Polynomial":
 *     XFormCreateFromPolyPair(const Kfga_Polynomial *forward,
 *                             const Kfga_Polynomial *inverse or NULL, err)
 *   model "Projection Pair":
 *     XFormCreateFromProjPair(const Kprj_ProParameters *input,
 *                             const Kprj_ProParameters *output, err) */
typedef void *(*Kxfr_XFormCreateUnityFunc)(Kerr_ErrorReport **err);
typedef void *(*Kxfr_XFormCreateFunc)(double x0, double a, double b, double y0, double c, double d,
                                      Kerr_ErrorReport **err);
typedef void *(*Kxfr_XFormCreateUsingCoeffsFunc)(const double *coeffs, Kerr_ErrorReport **err);
typedef void *(*Kxfr_XFormCreateFromAffinePolyFunc)(const Kfga_Polynomial *poly,
                                                    Kerr_ErrorReport **err);
typedef void *(*Kxfr_XFormCreateFromMapInfoFunc)(const Kprj_MapInfo *mapInfo,
                                                 Kerr_ErrorReport **err);
typedef void *(*Kxfr_XFormFindAffineFunc)(const Kgda_BaseData *from, const Kgda_BaseData *to,
                                          Kerr_ErrorReport **err);
typedef void *(*Kxfr_XFormRotateFunc)(double angle, Kerr_ErrorReport **err);
typedef void *(*Kxfr_XFormPairOfDoublesFunc)(double x, double y, Kerr_ErrorReport **err);
typedef void *(*Kxfr_XFormCreateFromPolyPairFunc)(const Kfga_Polynomial *forward,
                                                  const Kfga_Polynomial *inverse,
                                                  Kerr_ErrorReport **err);
typedef void *(*Kxfr_XFormCreateFromProjPairFunc)(const Kprj_ProParameters *input,
                                                  const Kprj_ProParameters *output,
                                                  Kerr_ErrorReport **err);

/* Forgets the loaded list of geometric-model plug-ins (open chains keep
 * their models); the next open searches the class again. */
KRASTER_API void kxfr_GeometricModelsReset(void);

/* ---- Life cycle -------------------------------------------------------------
 * Functions returning int give 0 (or a truth value) on success and -1 with
 * a report; those returning a pointer give NULL with a report. */

/* An empty chain (the identity). */
KRASTER_API Kxfr_XForm *kxfr_XFormNew(Kerr_ErrorReport **err);
KRASTER_API Kxfr_XForm *kxfr_XFormCopy(const Kxfr_XForm *xForm, Kerr_ErrorReport **err);
KRASTER_API void kxfr_XFormFree(Kxfr_XForm *xForm);
/* Number of steps (0 for NULL). */
KRASTER_API int32_t kxfr_XFormStepCount(const Kxfr_XForm *xForm);
/* 1 when the chain maps every point to itself (empty, identity steps, or
 * affine steps that compose to the identity), 0 if not, -1. */
KRASTER_API int kxfr_XFormIsIdentity(const Kxfr_XForm *xForm, Kerr_ErrorReport **err);
/* 1 when every step can be applied, 0 if not, -1. */
KRASTER_API int kxfr_XFormIsUsable(const Kxfr_XForm *xForm, Kerr_ErrorReport **err);
/* 1 when both chains apply the same mapping step by step, 0 if not, -1.
 * The compacted chains are compared step by step with the models'
 * XFormIsSame; a model offering only XFormIsInverse is asked whether one
 * step is the inverse of the other's inverse ("XFormInvert failed"). */
KRASTER_API int kxfr_XFormIsSame(const Kxfr_XForm *a, const Kxfr_XForm *b, Kerr_ErrorReport **err);

/* ---- Chain algebra --------------------------------------------------------- */

/* Appends copies of second's steps after first's (first applied first). */
KRASTER_API int kxfr_XFormComposition(Kxfr_XForm *first, const Kxfr_XForm *second,
                                      Kerr_ErrorReport **err);
/* outer after inner (inner applied first), into result (its steps replaced)
 * or a new chain. */
KRASTER_API Kxfr_XForm *kxfr_XFormCompose(const Kxfr_XForm *outer, const Kxfr_XForm *inner,
                                          Kxfr_XForm *result, Kerr_ErrorReport **err);
/* The inverse chain into result (its steps replaced) or a new chain. */
KRASTER_API Kxfr_XForm *kxfr_XFormInvert(const Kxfr_XForm *xForm, Kxfr_XForm *result,
                                         Kerr_ErrorReport **err);
/* Merges affine runs and folds affine steps into their neighbours, in place. */
KRASTER_API int kxfr_XFormCompact(Kxfr_XForm *xForm, Kerr_ErrorReport **err);
KRASTER_API int kxfr_XFormIsCompacted(const Kxfr_XForm *xForm);

/* ---- Application ------------------------------------------------------------ */

/* Points of a BaseData matrix (one column per point, at least 2 rows; only
 * x and y are used) into output (at least 2 x n; a new 2 x n f64 matrix
 * when NULL). Returns output. */
KRASTER_API Kgda_BaseData *kxfr_Transform(const Kxfr_XForm *xForm, const Kgda_BaseData *input,
                                          Kgda_BaseData *output, Kerr_ErrorReport **err);
/* count points of interleaved x, y doubles in place. */
KRASTER_API int kxfr_CoordBlockTransform(const Kxfr_XForm *xForm, int64_t count, double *xy,
                                         Kerr_ErrorReport **err);
/* The bounding rectangle of the image of a rectangle: through the model's
 * window function for a one-step chain that has one, else through points
 * along the four edges. */
KRASTER_API int kxfr_WindowTransform(const Kxfr_XForm *xForm, const Kxfr_Window *in,
                                     Kxfr_Window *out, Kerr_ErrorReport **err);
/* The vertices of a polygon (count coordinates) into out (may be in). */
KRASTER_API int kxfr_TransformObjectPoly(const Kxfr_XForm *xForm, int32_t count,
                                         const Kprj_Coordinate *in, Kprj_Coordinate *out,
                                         Kerr_ErrorReport **err);

/* ---- Affine access ------------------------------------------------------------ */

/* The chain's mapping as an order-1 polynomial; an error when it is not
 * affine ("XForm is not affine"). */
KRASTER_API Kfga_Polynomial *kxfr_XFormExtractAffine(const Kxfr_XForm *xForm,
                                                     Kerr_ErrorReport **err);
/* 1 with *affine when the chain is affine, 0 (and NULL) when not, -1. */
KRASTER_API int kxfr_XFormAffineExtractIfPresent(const Kxfr_XForm *xForm, Kfga_Polynomial **affine,
                                                 Kerr_ErrorReport **err);
/* The least-squares affine chain taking from (2 x n, n >= 3) onto to. */
KRASTER_API Kxfr_XForm *kxfr_XFormFindAffine(const Kgda_BaseData *from, const Kgda_BaseData *to,
                                             Kerr_ErrorReport **err);
/* The angle (radians, counter-clockwise) by which an affine chain turns the
 * x axis. */
KRASTER_API int kxfr_XFormFindRotationAngle(const Kxfr_XForm *xForm, double *angle,
                                            Kerr_ErrorReport **err);

/* ---- Constructors -------------------------------------------------------------- */

/* One "Affine" step of the identity. */
KRASTER_API Kxfr_XForm *kxfr_XFormCreateUnity(Kerr_ErrorReport **err);
/* Pixel to map (direction 0) or map to pixel (1) of map information. */
KRASTER_API Kxfr_XForm *kxfr_XFormCreateFromMapInfo(const Kprj_MapInfo *mapInfo, int direction,
                                                    Kerr_ErrorReport **err);
KRASTER_API Kxfr_XForm *kxfr_XFormRotate(double angle, Kerr_ErrorReport **err);
KRASTER_API Kxfr_XForm *kxfr_XFormTranslate(double tx, double ty, Kerr_ErrorReport **err);
KRASTER_API Kxfr_XForm *kxfr_XFormScale(double scale, Kerr_ErrorReport **err);
KRASTER_API Kxfr_XForm *kxfr_XFormScaleXY(double sx, double sy, Kerr_ErrorReport **err);
/* x' = c[0] + c[1] x + c[2] y, y' = c[3] + c[4] x + c[5] y. */
KRASTER_API Kxfr_XForm *kxfr_XFormCreateUsingCoeffs(const double coeffs[6], Kerr_ErrorReport **err);
KRASTER_API Kxfr_XForm *kxfr_XFormCreateFromAffinePoly(const Kfga_Polynomial *poly,
                                                       Kerr_ErrorReport **err);
/* One "Polynomial" step; the inverse is fitted when NULL. */
KRASTER_API Kxfr_XForm *kxfr_XFormCreateFromPolyPair(const Kfga_Polynomial *forward,
                                                     const Kfga_Polynomial *inverse,
                                                     Kerr_ErrorReport **err);
/* One "Projection Pair" step (points in the projections' native units). */
KRASTER_API Kxfr_XForm *kxfr_XFormCreateFromProjPair(const Kprj_ProjectionPair *pair,
                                                     Kerr_ErrorReport **err);
/* The scale from one named unit to another. */
KRASTER_API Kxfr_XForm *kxfr_XFormCreateFromUnits(const char *fromUnits, const char *toUnits,
                                                  Kerr_ErrorReport **err);
/* The affine polynomial, then the projection pair. */
KRASTER_API Kxfr_XForm *kxfr_XFormCreate(const Kfga_Polynomial *affine,
                                         const Kprj_ProjectionPair *pair, Kerr_ErrorReport **err);
/* Source map units to the input projection's native units, the pair, then
 * the output's native units to the destination map units (only the unit
 * step when pair is NULL). */
KRASTER_API Kxfr_XForm *kxfr_XFormCreateFromProjPairAndMapInfo(const Kprj_ProjectionPair *pair,
                                                               const Kprj_MapInfo *source,
                                                               const Kprj_MapInfo *destination,
                                                               Kerr_ErrorReport **err);

/* ---- Reprojection ---------------------------------------------------------------
 * A transform approximating a change of map system by polynomials: a grid of
 * source pixel positions is carried through the exact chain (source pixel to
 * source map, map to map, destination map to destination pixel) and
 * polynomials of rising order are fitted until the fit error is within the
 * tolerance. The fitted polynomial P always maps destination pixels to
 * source pixels; the kind says what the returned chain maps. */
typedef int32_t Kxfr_ReprojXFormType;
/* destination map -> source map: source pixel-to-map after P after
 * destination map-to-pixel */
#define KXFR_REPROJ_MAP_TO_MAP 0
/* destination map -> source pixel: P after destination map-to-pixel */
#define KXFR_REPROJ_MAP_TO_PIXEL 1
/* destination pixel -> source pixel: P alone */
#define KXFR_REPROJ_PIXEL_TO_PIXEL 2
/* destination pixel -> source map: source pixel-to-map after P */
#define KXFR_REPROJ_PIXEL_TO_MAP 3

/* Preferences of category "rasterprocess" read at every build from a
 * projection pair: sample columns and rows (at least 2), the largest
 * accepted fit error and the highest order tried. */
#define KXFR_REPROJ_PREFERENCE_CATEGORY "rasterprocess"

/* Converts the map points of srcPoints (one column per point, rows x and y,
 * f64) from the source system into dstPoints (2 x n f64, same column
 * count). Returns 0, or -1 with a report. */
typedef int (*Kxfr_MapToMapFunc)(void *context, const Kgda_BaseData *srcPoints,
                                 Kgda_BaseData *dstPoints, Kerr_ErrorReport **err);

/* The approximation for a map-to-map function: srcMapToPixel and
 * dstMapToPixel are the two map-to-pixel chains, srcWidth and srcHeight the
 * distances in pixels between the source's corner pixel centres (one less
 * than its pixel counts), columns x rows the sample grid (raised to 2 x 2),
 * maxOrder the highest order tried. *error is the tolerance on entry and
 * the reached fit error on return (source pixels, square root of the sum of
 * squared residual components over all samples). */
KRASTER_API Kxfr_XForm *kxfr_XFormCreateReprojFromMapToMapFuncX(
    Kxfr_MapToMapFunc func, void *context, const Kxfr_XForm *srcMapToPixel, long srcWidth,
    long srcHeight, const Kxfr_XForm *dstMapToPixel, Kxfr_ReprojXFormType kind, long columns,
    long rows, long maxOrder, double *error, Kerr_ErrorReport **err);
/* The same with a tolerance: a fit error above it is reported beside the
 * returned chain as the warning "RMS: %8.6lf excedes tolerance: %8.6lf". */
KRASTER_API Kxfr_XForm *kxfr_XFormCreateReprojFromMapToMapFunc(
    Kxfr_MapToMapFunc func, void *context, const Kxfr_XForm *srcMapToPixel, long srcWidth,
    long srcHeight, const Kxfr_XForm *dstMapToPixel, Kxfr_ReprojXFormType kind, long columns,
    long rows, long maxOrder, double tolerance, Kerr_ErrorReport **err);
/* From two map informations and a projection pair (NULL: the same system,
 * only the units change), with the grid, tolerance and order of the
 * preferences. */
KRASTER_API Kxfr_XForm *kxfr_XFormCreateReprojFromProjPair(const Kprj_ProjectionPair *pair,
                                                           const Kprj_MapInfo *srcMapInfo,
                                                           const Kprj_MapInfo *dstMapInfo,
                                                           Kxfr_ReprojXFormType kind,
                                                           Kerr_ErrorReport **err);
/* From the map informations and projections of two layers. */
KRASTER_API Kxfr_XForm *kxfr_XFormCreateReprojFromLayers(struct Kimg_Layer *srcLayer,
                                                         struct Kimg_Layer *dstLayer,
                                                         Kxfr_ReprojXFormType kind,
                                                         Kerr_ErrorReport **err);
/* From a layer and a destination projection with its map information. */
KRASTER_API Kxfr_XForm *kxfr_XFormCreateReprojFromLayerAndProj(
    struct Kimg_Layer *srcLayer, const Kprj_ProParameters *dstProParameters,
    const Kprj_MapInfo *dstMapInfo, Kxfr_ReprojXFormType kind, Kerr_ErrorReport **err);

/* Fits a polynomial-pair chain mapping dstPoints onto srcPoints (both 2 x n,
 * one column per point; forward destination to source, inverse source to
 * destination) for orders 1 up to maxOrder (no higher than n points allow),
 * stopping once the fit error is within the tolerance; the fit with the
 * smallest error is kept, the lower order on a tie. *error: the tolerance
 * in, the reached error out. */
KRASTER_API Kxfr_XForm *kxfr_XFormComputeFromPointsX(const Kgda_BaseData *srcPoints,
                                                     const Kgda_BaseData *dstPoints, long maxOrder,
                                                     double *error, Kerr_ErrorReport **err);
KRASTER_API Kxfr_XForm *kxfr_XFormComputeFromPoints(const Kgda_BaseData *srcPoints,
                                                    const Kgda_BaseData *dstPoints, long maxOrder,
                                                    double tolerance, Kerr_ErrorReport **err);
/* Residuals: a matrix of points by coordinates (row i point i). *total gets
 * the square root of the sum of all squared components; perPoint (optional,
 * one f64 element per point) each point's residual length. */
KRASTER_API int kxfr_ComputeRMSErrorFromResiduals(const Kgda_BaseData *residuals,
                                                  Kgda_BaseData *perPoint, double *total,
                                                  Kerr_ErrorReport **err);
/* The residuals of xForm carrying fromPoints onto toPoints (both 2 x n, one
 * column per point) measured as above. */
KRASTER_API int kxfr_ComputeRMSErrorFromPoints(const Kxfr_XForm *xForm,
                                               const Kgda_BaseData *fromPoints,
                                               const Kgda_BaseData *toPoints,
                                               Kgda_BaseData *perPoint, double *total,
                                               Kerr_ErrorReport **err);
/* Carries map information into another projection: the outer corners of
 * the area are projected and the pixel counts kept. outUnits NULL takes
 * "degrees" for a geographic output and "meters" otherwise. A new record
 * (free with kprj_MapInfoFree). */
KRASTER_API Kprj_MapInfo *kxfr_ReprojectMapInfo(const Kprj_MapInfo *mapInfo,
                                                const Kprj_ProParameters *inProParameters,
                                                const Kprj_ProParameters *outProParameters,
                                                const char *outUnits, Kerr_ErrorReport **err);

/* ---- Data access ----------------------------------------------------------------- */

/* The data of step index (owned by the chain); *title (if not NULL) gets
 * the model's title (owned by the library). */
KRASTER_API void *kxfr_XFormDataGet(const Kxfr_XForm *xForm, int32_t index, const char **title,
                                    Kerr_ErrorReport **err);
/* Replaces the data of step index (the chain takes data; the old is freed). */
KRASTER_API int kxfr_XFormDataSet(Kxfr_XForm *xForm, int32_t index, void *data,
                                  Kerr_ErrorReport **err);
/* A chain of one step of the model titled title, taking data. */
KRASTER_API Kxfr_XForm *kxfr_XFormCreateFromTitleAndData(const char *title, void *data,
                                                         Kerr_ErrorReport **err);
/* One list per step (*count of them; a step whose model has none gets an
 * empty list). Free with kxfr_NameParameterListFree. */
KRASTER_API Kxfr_NameParameterList *kxfr_XFormNameParameterListGet(const Kxfr_XForm *xForm,
                                                                   int32_t *count,
                                                                   Kerr_ErrorReport **err);
/* Sets every step's parameters from lists as kxfr_XFormNameParameterListGet
 * gave them. */
KRASTER_API int kxfr_XFormNameParameterListSet(Kxfr_XForm *xForm,
                                               const Kxfr_NameParameterList *lists, int32_t count,
                                               Kerr_ErrorReport **err);
KRASTER_API int kxfr_NameParameterListParameterValueGet(const Kxfr_NameParameterList *list,
                                                        int32_t index, double *value,
                                                        Kerr_ErrorReport **err);
KRASTER_API int kxfr_NameParameterListParameterValueSet(Kxfr_NameParameterList *list, int32_t index,
                                                        double value, Kerr_ErrorReport **err);
/* Frees count lists laid out one after the other (their names too). */
KRASTER_API void kxfr_NameParameterListFree(Kxfr_NameParameterList *lists, int32_t count);
/* A new list of count names (copied) with their values. */
KRASTER_API Kxfr_NameParameterList *kxfr_NameParameterListCreate(int32_t count,
                                                                 const char *const *names,
                                                                 const double *values,
                                                                 Kerr_ErrorReport **err);

/* ---- Text and MIF forms ------------------------------------------------------------ */

/* Three parallel results: the number of steps, their model titles and
 * their texts (heap arrays of heap strings; free each with kmsc_HeapFree). */
KRASTER_API int kxfr_XFormConvertToASCII(const Kxfr_XForm *xForm, int32_t *count, char ***titles,
                                         char ***texts, Kerr_ErrorReport **err);
KRASTER_API Kxfr_XForm *kxfr_XFormConvertFromASCII(int32_t count, const char *const *titles,
                                                   const char *const *texts,
                                                   Kerr_ErrorReport **err);
/* Each step's text on a line, then an empty line. */
KRASTER_API int kxfr_XFormPrint(const Kxfr_XForm *xForm, FILE *stream, Kerr_ErrorReport **err);
KRASTER_API int kxfr_XFormPrintStdout(const Kxfr_XForm *xForm, Kerr_ErrorReport **err);
/* The MIF form of every step (a model without a MIF conversion gives its
 * text as a Kxfr_ASCIIXForm object). Free with kxfr_XFormMIFFree. */
KRASTER_API Kxfr_XFormMIF *kxfr_XFormConvertToMIF(const Kxfr_XForm *xForm, Kerr_ErrorReport **err);
KRASTER_API Kxfr_XForm *kxfr_XFormConvertFromMIF(const Kxfr_XFormMIF *mif, Kerr_ErrorReport **err);
KRASTER_API void kxfr_XFormMIFFree(Kxfr_XFormMIF *mif);

/* ---- Storage ------------------------------------------------------------------------ */

/* Writes the chain as the child name of parentPath (an existing one is
 * replaced): the header (Kxfr_GenericXFormHeader) and a child "XForm%ld"
 * per step. */
KRASTER_API int kxfr_XFormWriteWithName(Khfa_File *file, const char *parentPath, const char *name,
                                        const Kxfr_XForm *xForm, Kerr_ErrorReport **err);
KRASTER_API int kxfr_XFormWrite(Khfa_File *file, const char *parentPath, const Kxfr_XForm *xForm,
                                Kerr_ErrorReport **err);
/* The chain stored below parentPath ("GenericXForm", else the older "XForm"
 * layout); NULL without a report when there is none. */
KRASTER_API Kxfr_XForm *kxfr_XFormReadIfPresent(Khfa_File *file, const char *parentPath,
                                                Kerr_ErrorReport **err);
/* The same; an absent chain is an error. */
KRASTER_API Kxfr_XForm *kxfr_XFormRead(Khfa_File *file, const char *parentPath,
                                       Kerr_ErrorReport **err);

KRASTER_END_DECLS

#endif
