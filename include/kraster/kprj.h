/* Map information and projection parameters: the records that tie a layer's
 * pixels to map coordinates and name the map system, their MIF designs,
 * their storage below a layer node of an HFA file, comparison, printing,
 * the polynomial of a map information record and projection library files. */
#ifndef KRASTER_KPRJ_H
#define KRASTER_KPRJ_H

#include <stdio.h>

#include "kcvt.h"
#include "kdefs.h"
#include "kerr.h"
#include "kfga.h"
#include "khfa.h"
#include "kint.h"
#include "kmif.h"

KRASTER_BEGIN_DECLS

/* ---- Records --------------------------------------------------------------- */

/* Counted string: count is the byte count including the NUL; 0 (with no
 * data) is the empty string. Same layout as Kmif_String. */
typedef struct Kprj_CharStrPtr {
    int32_t count;
    char *data;
} Kprj_CharStrPtr;

/* Counted array of doubles. */
typedef struct Kprj_DblArrayPtr {
    int32_t count;
    double *data;
} Kprj_DblArrayPtr;

typedef struct Kprj_Coordinate {
    double x;
    double y;
} Kprj_Coordinate;

typedef struct Kprj_Size {
    double width;
    double height;
} Kprj_Size;

/* Map information of one layer: where the centres of the upper-left and
 * lower-right pixels lie, the pixel size (both positive) and the units. */
typedef struct Kprj_MapInfo {
    Kprj_CharStrPtr proName; /* "Unknown" when none is recorded */
    Kprj_Coordinate *upperLeftCenter;
    Kprj_Coordinate *lowerRightCenter;
    Kprj_Size *pixelSize;
    Kprj_CharStrPtr units; /* "other" when not convertible */
} Kprj_MapInfo;

typedef enum Kprj_ProType { KPRJ_INTERNAL = 0, KPRJ_EXTERNAL = 1 } Kprj_ProType;

typedef enum Kprj_DatumType {
    KPRJ_DATUM_PARAMETRIC = 0,
    KPRJ_DATUM_GRID = 1,
    KPRJ_DATUM_REGRESSION = 2,
    KPRJ_DATUM_NONE = 3 /* in memory only: no datum */
} Kprj_DatumType;

/* The earth model's datum. Kept with the spheroid in memory, stored as a
 * node of its own ("Datum" below "Projection"). */
typedef struct Kprj_Datum {
    Kprj_CharStrPtr datumname; /* "Undefined" when there is none */
    int32_t type;              /* Kprj_DatumType */
    Kprj_DblArrayPtr params;   /* 7 values for a parametric datum */
    Kprj_CharStrPtr gridname;  /* shift-grid file of a grid datum */
    void *grid;                /* in memory only: the open shift grid, or NULL */
} Kprj_Datum;

typedef struct Kprj_Spheroid {
    Kprj_CharStrPtr sphereName;
    double a;        /* semi-major axis, metres */
    double b;        /* semi-minor axis, metres */
    double eSquared; /* eccentricity squared */
    double radius;   /* sphere radius of the sphere-only families, metres */
    Kprj_Datum *datum;
} Kprj_Spheroid;

/* Projection numbers of the families this Part names. */
#define KPRJ_GEOGRAPHIC 0
#define KPRJ_UTM 1
#define KPRJ_STATE_PLANE 2

typedef struct Kprj_ProParameters {
    int32_t proType; /* Kprj_ProType */
    int32_t proNumber;
    Kprj_CharStrPtr proExeName;
    Kprj_CharStrPtr proName;
    int32_t proZone;
    Kprj_DblArrayPtr proParams; /* angles in radians, distances in metres */
    Kprj_Spheroid *proSpheroid;
} Kprj_ProParameters;

/* ---- Counted values ----------------------------------------------------------
 * Functions returning int give 0 on success and -1 with a report; the
 * equality tests give 1 (equal), 0 (not) or -1 with a report. */

/* Sets the string from text with trailing blanks, line feeds and carriage
 * returns stripped (NULL text empties it). */
KRASTER_API int kprj_CharStrCreate(const char *text, Kprj_CharStrPtr *charStr,
                                   Kerr_ErrorReport **err);
KRASTER_API int kprj_CharStrCopy(const Kprj_CharStrPtr *in, Kprj_CharStrPtr *out,
                                 Kerr_ErrorReport **err);
/* Same count and bytes (1), else 0. */
KRASTER_API int kprj_CharStrsEqual(const Kprj_CharStrPtr *a, const Kprj_CharStrPtr *b);
/* The text as a heap string ("" for the empty string); NULL with a report. */
KRASTER_API char *kprj_CharStrToString(const Kprj_CharStrPtr *charStr, Kerr_ErrorReport **err);
KRASTER_API void kprj_CharStrFree(Kprj_CharStrPtr *charStr);

/* count doubles, all 0.0; count 0 frees the data. */
KRASTER_API int kprj_DblArrayCreate(int32_t count, Kprj_DblArrayPtr *array, Kerr_ErrorReport **err);
KRASTER_API int kprj_DblArrayCopy(const Kprj_DblArrayPtr *in, Kprj_DblArrayPtr *out,
                                  Kerr_ErrorReport **err);
/* Common entries within 1e-9 and every surplus entry below 1e-9 in size. */
KRASTER_API int kprj_DblArraysEqual(const Kprj_DblArrayPtr *a, const Kprj_DblArrayPtr *b);
KRASTER_API void kprj_DblArrayFree(Kprj_DblArrayPtr *array);

/* Copies allocate the output when it is NULL and return it. */
KRASTER_API Kprj_Coordinate *kprj_CoordinateCreate(Kerr_ErrorReport **err);
KRASTER_API Kprj_Coordinate *kprj_CoordinateCopy(const Kprj_Coordinate *in, Kprj_Coordinate *out,
                                                 Kerr_ErrorReport **err);
KRASTER_API void kprj_CoordinateFree(Kprj_Coordinate *coordinate);
/* Both components within 1e-9; two NULLs are equal, one NULL an error. */
KRASTER_API int kprj_CoordinatesEqual(const Kprj_Coordinate *a, const Kprj_Coordinate *b,
                                      Kerr_ErrorReport **err);
KRASTER_API Kprj_Size *kprj_SizeCreate(Kerr_ErrorReport **err);
KRASTER_API Kprj_Size *kprj_SizeCopy(const Kprj_Size *in, Kprj_Size *out, Kerr_ErrorReport **err);
KRASTER_API void kprj_SizeFree(Kprj_Size *size);
KRASTER_API int kprj_SizesEqual(const Kprj_Size *a, const Kprj_Size *b, Kerr_ErrorReport **err);

/* ---- Map information ---------------------------------------------------------- */

/* An empty record (no sub-records, empty strings). */
KRASTER_API Kprj_MapInfo *kprj_MapInfoCreate(Kerr_ErrorReport **err);
/* Deep copy into out (whose old contents are freed), or a new record when
 * out is NULL. Returns the copy. */
KRASTER_API Kprj_MapInfo *kprj_MapInfoCopy(const Kprj_MapInfo *in, Kprj_MapInfo *out,
                                           Kerr_ErrorReport **err);
KRASTER_API void kprj_MapInfoFree(Kprj_MapInfo *mapInfo);
/* Same proName, corners and pixel size within 1e-9, same units. */
KRASTER_API int kprj_MapInfosEqual(const Kprj_MapInfo *a, const Kprj_MapInfo *b,
                                   Kerr_ErrorReport **err);
/* Setters create the sub-record when it is missing. */
KRASTER_API int kprj_MapInfoProjectionNameSet(Kprj_MapInfo *mapInfo, const char *name,
                                              Kerr_ErrorReport **err);
KRASTER_API int kprj_MapInfoUpperLeftCenterSet(Kprj_MapInfo *mapInfo, double x, double y,
                                               Kerr_ErrorReport **err);
KRASTER_API int kprj_MapInfoLowerRightCenterSet(Kprj_MapInfo *mapInfo, double x, double y,
                                                Kerr_ErrorReport **err);
KRASTER_API int kprj_MapInfoPixelSizeSet(Kprj_MapInfo *mapInfo, double width, double height,
                                         Kerr_ErrorReport **err);
KRASTER_API int kprj_MapInfoUnitsSet(Kprj_MapInfo *mapInfo, const char *units,
                                     Kerr_ErrorReport **err);

/* The "Map_Info" node of type Kprj_MapInfo looked for among the children of
 * entryPath (the current entry when NULL), then among its siblings. Read
 * fails when there is none; ReadIfPresent returns NULL without a report and
 * also applies the units rule (empty units, or a proName of "Other" or
 * "None", give "other"). All readers turn an empty, "Other" or "None"
 * proName into "Unknown". ReadSimple reads the current entry. */
KRASTER_API Kprj_MapInfo *kprj_MapInfoRead(Khfa_File *file, const char *entryPath,
                                           Kerr_ErrorReport **err);
KRASTER_API Kprj_MapInfo *kprj_MapInfoReadIfPresent(Khfa_File *file, const char *entryPath,
                                                    Kerr_ErrorReport **err);
KRASTER_API Kprj_MapInfo *kprj_MapInfoReadSimple(Khfa_File *file, Kerr_ErrorReport **err);
/* Writes the record as "Map_Info" below entryPath (the current entry when
 * NULL), rewriting an existing one in place. WriteSimple always adds a new
 * child. */
KRASTER_API int kprj_MapInfoWrite(Khfa_File *file, const char *entryPath,
                                  const Kprj_MapInfo *mapInfo, Kerr_ErrorReport **err);
KRASTER_API int kprj_MapInfoWriteSimple(Khfa_File *file, const char *entryPath,
                                        const Kprj_MapInfo *mapInfo, Kerr_ErrorReport **err);

/* The unit of the record's units (owned by the unit list). */
KRASTER_API const Kcvt_Unit *kprj_UnitGetFromMapInfo(const Kprj_MapInfo *mapInfo,
                                                     Kerr_ErrorReport **err);
/* *scale: the factor from the units of `from` to those of `to`. */
KRASTER_API int kprj_MapInfoComputeUnitScale(const Kprj_MapInfo *from, const Kprj_MapInfo *to,
                                             double *scale, Kerr_ErrorReport **err);
/* The affine map from pixel (column, row; 0,0 the centre of the upper-left
 * pixel) to map coordinates, into polynomial (order >= 1, 2 dimensions both
 * ways) or a new order-1 polynomial when NULL. Returns the polynomial. */
KRASTER_API Kfga_Polynomial *kprj_MapInfoToPolynomial(const Kprj_MapInfo *mapInfo,
                                                      Kfga_Polynomial *polynomial,
                                                      Kerr_ErrorReport **err);
/* Pixel of the layer of `from` to pixel of the layer of `to`, through map
 * coordinates with the units scaled. */
KRASTER_API Kfga_Polynomial *kprj_ComputeTransformBetweenMapInfos(const Kprj_MapInfo *from,
                                                                  const Kprj_MapInfo *to,
                                                                  Kerr_ErrorReport **err);

/* "other", "Unknown". */
KRASTER_API const char *kprj_UnitsNameOther(void);
KRASTER_API const char *kprj_ProjectionNameUnknown(void);
/* 0 for NULL, "" or "other" (any case); else 1 when the unit conversion
 * knows the name. */
KRASTER_API int kprj_UnitsAreConvertable(const char *name);

/* ---- Spheroid, datum and projection parameters ------------------------------- */

/* A zero spheroid owning a datum "Undefined" of type KPRJ_DATUM_NONE. */
KRASTER_API Kprj_Spheroid *kprj_SpheroidCreate(Kerr_ErrorReport **err);
KRASTER_API Kprj_Spheroid *kprj_SpheroidCopy(const Kprj_Spheroid *in, Kprj_Spheroid *out,
                                             Kerr_ErrorReport **err);
KRASTER_API void kprj_SpheroidFree(Kprj_Spheroid *spheroid);
/* a, b and radius within 1e-5, eSquared within 1e-9; then equal when either
 * datum is "Undefined", else same datum name and parameters. */
KRASTER_API int kprj_SpheroidsEqual(const Kprj_Spheroid *a, const Kprj_Spheroid *b,
                                    Kerr_ErrorReport **err);
/* Resets the datum to "Undefined", type KPRJ_DATUM_NONE, nothing else. */
KRASTER_API int kprj_DatumInit(Kprj_Datum *datum, Kerr_ErrorReport **err);
/* Frees what the datum holds and the datum itself. */
KRASTER_API void kprj_DatumFree(Kprj_Datum *datum);

/* ---- Spheroid and State Plane tables, datums and datum shift ------------------
 * The tables "spheroid.tab" and "sptable.tab" are found along the
 * directories of ORVEL_PROJECTIONS_PATH, then in the data directory
 * (kint_DataDirectory), and read once into the package data. Points are
 * (x = longitude, y = latitude) in radians. */

/* One datum of a spheroid table entry. */
typedef struct Kprj_DatumEntry {
    struct Kprj_DatumEntry *next;
    char *name;
    int32_t type; /* KPRJ_DATUM_PARAMETRIC, _GRID or _REGRESSION */
    /* Parametric: dx, dy, dz (metres), rx, ry, rz (radians, rotation of the
     * coordinate frame), s (scale difference); the shift to WGS 84. A
     * three-parameter datum leaves the last four 0. */
    double params[7];
    char *gridName; /* grid: the shift-grid file ("" for a datum without one) */
} Kprj_DatumEntry;

/* One spheroid of the spheroid table with the datums defined on it. */
typedef struct Kprj_SpheroidEntry {
    struct Kprj_SpheroidEntry *next;
    char *name;
    int32_t number;
    double a; /* semi-major axis, metres */
    double b; /* semi-minor axis, metres */
    Kprj_DatumEntry *datums;
} Kprj_SpheroidEntry;

/* State Plane projection kinds. */
#define KPRJ_SP_TRANSVERSE_MERCATOR 1
#define KPRJ_SP_LAMBERT_CONFORMAL_CONIC 2
#define KPRJ_SP_POLYCONIC 3
#define KPRJ_SP_OBLIQUE_MERCATOR 4
/* NAD codes. */
#define KPRJ_NAD27 1
#define KPRJ_NAD83 2

/* One zone of the State Plane table. params holds at least 9 values: the
 * semi-major axis, the eccentricity squared, then by projection kind (angles
 * packed degrees-minutes-seconds DDDMMMSSS.SS, distances in metres):
 *   1 Transverse Mercator: 2 central meridian, 3 scale factor, 6 latitude
 *     of origin, 7 false easting, 8 false northing;
 *   2 Lambert Conformal Conic: 2 central meridian, 4 second and 5 first
 *     standard parallel, 6 latitude of origin, 7 false easting, 8 false
 *     northing;
 *   3 Polyconic: 2 central meridian, 3 latitude of origin, 4 false easting,
 *     5 false northing;
 *   4 Oblique Mercator: 2 longitude of the centre, 3 scale factor,
 *     5 azimuth of the centre line, 6 latitude of origin, 7 false easting,
 *     8 false northing.
 * Unused values are 0. */
typedef struct Kprj_SPEntry {
    struct Kprj_SPEntry *next;
    char *name;
    int32_t projectionKind; /* KPRJ_SP_... */
    int32_t nadCode;        /* KPRJ_NAD27 or KPRJ_NAD83 */
    int32_t zoneNumber;
    int32_t alternateZoneNumber; /* 0 when the zone has none */
    Kprj_DblArrayPtr params;
} Kprj_SPEntry;

/* Opaque shift grid of a grid datum (Kprj_Datum.grid). */
typedef struct Kprj_Grid Kprj_Grid;

/* Parses a spheroid table (text, or the file fileName; with neither, the
 * file "spheroid.tab" found as above). Returns a new list (NULL for an empty
 * table), freed with kprj_SpheroidTableFree; NULL with a report naming the
 * line on failure. */
KRASTER_API Kprj_SpheroidEntry *kprj_SpheroidTableParse(const char *fileName,
                                                        Kerr_ErrorReport **err);
KRASTER_API Kprj_SpheroidEntry *kprj_SpheroidTableTextParse(const char *text, size_t size,
                                                            const char *sourceName,
                                                            Kerr_ErrorReport **err);
KRASTER_API void kprj_SpheroidTableFree(Kprj_SpheroidEntry *table);
/* The same for the State Plane table "sptable.tab". */
KRASTER_API Kprj_SPEntry *kprj_SPTableParse(const char *fileName, Kerr_ErrorReport **err);
KRASTER_API Kprj_SPEntry *kprj_SPTableTextParse(const char *text, size_t size,
                                                const char *sourceName, Kerr_ErrorReport **err);
KRASTER_API void kprj_SPTableFree(Kprj_SPEntry *table);

/* The package tables, read on first use and kept for the process. */
KRASTER_API const Kprj_SpheroidEntry *kprj_SpheroidTableRead(Kint_InitToolkitData *toolkit,
                                                             Kerr_ErrorReport **err);
KRASTER_API const Kprj_SPEntry *kprj_SPTableRead(Kint_InitToolkitData *toolkit,
                                                 Kerr_ErrorReport **err);

/* Table entries by number or exact name; NULL with a report. */
KRASTER_API const Kprj_SpheroidEntry *kprj_SpheroidEntryByNumber(Kint_InitToolkitData *toolkit,
                                                                 int32_t number,
                                                                 Kerr_ErrorReport **err);
KRASTER_API const Kprj_SpheroidEntry *kprj_SpheroidEntryByName(Kint_InitToolkitData *toolkit,
                                                               const char *name,
                                                               Kerr_ErrorReport **err);
/* Fill the spheroid's name, axes, eccentricity squared and radius (a for a
 * sphere, else the radius of the sphere of equal area) from the table entry
 * ("Invalid spheroid name" when the table has no such name). The datum is
 * left as it is. */
KRASTER_API int kprj_SpheroidByName(Kint_InitToolkitData *toolkit, const char *name,
                                    Kprj_Spheroid *spheroid, Kerr_ErrorReport **err);
KRASTER_API int kprj_SpheroidByNum(Kint_InitToolkitData *toolkit, int32_t number,
                                   Kprj_Spheroid *spheroid, Kerr_ErrorReport **err);
/* The table number of the named spheroid, or -1 with a report. */
KRASTER_API int32_t kprj_SpheroidNumberByName(Kint_InitToolkitData *toolkit, const char *name,
                                              Kerr_ErrorReport **err);
/* Fills a, b, eSquared and radius from the axes (name and datum are left as
 * they are). Axes outside 6300000 to 6420000 metres leave the spheroid
 * untouched and give a warning report (severity 1); returns -1 then. */
KRASTER_API int kprj_SpheroidByAxes(double a, double b, Kprj_Spheroid *spheroid,
                                    Kerr_ErrorReport **err);
/* The same from the first two projection parameters: the semi-major axis,
 * then the semi-minor axis (above 1), the eccentricity squared (0 to 1) or
 * 0 for a sphere ("Insufficient projection parameters" for fewer than 2). */
KRASTER_API int kprj_SpheroidByParms(const Kprj_DblArrayPtr *proParams, Kprj_Spheroid *spheroid,
                                     Kerr_ErrorReport **err);
/* The name of the first table spheroid whose axes both lie within 1e-5
 * metres (or the given tolerance) of a and b, as a heap string; NULL with
 * "Spheroid name not found in Spheroid table". */
KRASTER_API char *kprj_GetSpheroidNameByAxes(double a, double b, Kerr_ErrorReport **err);
KRASTER_API char *kprj_GetSpheroidNameByAxesWithTolerance(double a, double b, double tolerance,
                                                          Kerr_ErrorReport **err);
/* The name of the first table spheroid that defines the datum (heap
 * string). */
KRASTER_API char *kprj_GetSpheroidNameByDatumName(const char *datumName, Kerr_ErrorReport **err);

/* Resets the datum to "Undefined" (type KPRJ_DATUM_NONE, closing an open
 * grid), then, unless a name is empty or the datum is "Undefined", copies
 * the table's datum of that name under the named spheroid: parametric
 * datums get 7 parameters, grid datums their grid name with the grid
 * opened. */
KRASTER_API int kprj_DatumByName(Kint_InitToolkitData *toolkit, const char *spheroidName,
                                 const char *datumName, Kprj_Datum *datum, Kerr_ErrorReport **err);
/* Sets the datum of the record's spheroid by name (kprj_DatumByName with
 * the spheroid's name). */
KRASTER_API int kprj_ProParametersDatumSet(Kint_InitToolkitData *toolkit,
                                           Kprj_ProParameters *proParameters, const char *datumName,
                                           Kerr_ErrorReport **err);

/* The State Plane zone of a NAD code (KPRJ_NAD27 or KPRJ_NAD83); a negative
 * zone is matched against the alternate zone numbers. */
KRASTER_API const Kprj_SPEntry *kprj_SPEntryByZoneNumber(Kint_InitToolkitData *toolkit,
                                                         int32_t zone, int32_t nadCode,
                                                         Kerr_ErrorReport **err);

/* Moves count points (longitude, latitude in radians) from the datum of
 * the input spheroid to that of the output spheroid. in and out may be the
 * same array. 0, or -1 with a report. */
KRASTER_API int kprj_DatumShift(const Kprj_Coordinate *in, const Kprj_Spheroid *inSpheroid,
                                Kprj_Coordinate *out, const Kprj_Spheroid *outSpheroid,
                                int32_t count, Kerr_ErrorReport **err);
/* The single methods: both datums parametric, or both grid datums. */
KRASTER_API int kprj_DatumShiftParametric(const Kprj_Coordinate *in,
                                          const Kprj_Spheroid *inSpheroid, Kprj_Coordinate *out,
                                          const Kprj_Spheroid *outSpheroid, int32_t count,
                                          Kerr_ErrorReport **err);
KRASTER_API int kprj_DatumShiftGrid(const Kprj_Coordinate *in, const Kprj_Spheroid *inSpheroid,
                                    Kprj_Coordinate *out, const Kprj_Spheroid *outSpheroid,
                                    int32_t count, Kerr_ErrorReport **err);
/* Regression datum to WGS 84 (forward 1) or back (forward 0). */
KRASTER_API int kprj_DatumShiftRegression(const Kprj_Coordinate *in, Kprj_Coordinate *out,
                                          int32_t count, const char *datumName, int forward,
                                          Kerr_ErrorReport **err);

/* Standard Molodensky changes of longitude, latitude and height (radians,
 * metres) for a point at height h. */
KRASTER_API void kprj_Molod(double lon, double lat, double h, double a, double f, double da,
                            double df, double dx, double dy, double dz, double *dlon, double *dlat,
                            double *dh);
/* Geographic (radians, height in metres) to geocentric and back on a
 * spheroid (a, eccentricity squared). */
KRASTER_API void kprj_Geog2Geoc(double lon, double lat, double h, double a, double es, double *x,
                                double *y, double *z);
KRASTER_API void kprj_Geoc2Geog(double x, double y, double z, double a, double es, double *lon,
                                double *lat, double *h);
/* Seven-parameter change of geocentric coordinates: params as in
 * Kprj_DatumEntry (the s entry unused), scale the full scale factor. */
KRASTER_API void kprj_Geoc2Geoc(double x, double y, double z, const double params[7], double scale,
                                double *xo, double *yo, double *zo);
/* 0 NAD27 to NAD83, 1 NAD83 to NAD27, 2 NAD83 to HARN, 3 HARN to NAD83,
 * 4 NAD27 to HARN, 5 HARN to NAD27; any other grid datum takes the part of
 * NAD27. -1 with "Invalid datum shift" for other pairs. */
KRASTER_API int kprj_GetDatumShiftDirection(const char *inDatumName, const char *outDatumName,
                                            Kerr_ErrorReport **err);

/* Opens a shift-grid file (a name holding "/" is a path; others are found
 * along ORVEL_PROJECTIONS_PATH, then in the
 * data directory); every opening of the same name shares one handle,
 * released by kprj_DatumGridFileClose. An empty name gives a grid without
 * sub-grids. */
KRASTER_API Kprj_Grid *kprj_DatumGridFileOpen(const char *gridName, Kerr_ErrorReport **err);
KRASTER_API void kprj_DatumGridFileClose(Kprj_Grid *grid);
/* Number of sub-grids. */
KRASTER_API int32_t kprj_GridSubGridCount(const Kprj_Grid *grid);
/* Shifts in arc-seconds at (lon, lat) in degrees, from the first sub-grid
 * holding the point (0 outside every sub-grid); the longitude shift is
 * east-positive. */
KRASTER_API void kprj_GetShifts(const Kprj_Grid *grid, double lon, double lat, double *dlon,
                                double *dlat);
/* Applies the grid to count points (radians), or finds the points the
 * forward shift moves onto the given ones. */
KRASTER_API int kprj_ShiftForward(const Kprj_Grid *grid, const Kprj_Coordinate *in,
                                  Kprj_Coordinate *out, int32_t count, Kerr_ErrorReport **err);
KRASTER_API int kprj_ShiftInverse(const Kprj_Grid *grid, const Kprj_Coordinate *in,
                                  Kprj_Coordinate *out, int32_t count, Kerr_ErrorReport **err);
/* Converts an NTv2 grid-shift file into a shift-grid file. */
KRASTER_API int kprj_GridFileConvertNTv2(const char *inFileName, const char *outFileName,
                                         Kerr_ErrorReport **err);

KRASTER_API Kprj_ProParameters *kprj_ProParametersCreate(Kerr_ErrorReport **err);
KRASTER_API Kprj_ProParameters *kprj_ProParametersCopy(const Kprj_ProParameters *in,
                                                       Kprj_ProParameters *out,
                                                       Kerr_ErrorReport **err);
KRASTER_API void kprj_ProParametersFree(Kprj_ProParameters *proParameters);
KRASTER_API int kprj_ProParametersEqual(const Kprj_ProParameters *a, const Kprj_ProParameters *b,
                                        Kerr_ErrorReport **err);
/* Writes the readable listing to stream (standard output when NULL). */
KRASTER_API int kprj_ProParametersPrint(const Kprj_ProParameters *proParameters, FILE *stream,
                                        Kerr_ErrorReport **err);
/* "Projection" below entryPath, with its "Datum" child (see MapInfo). */
KRASTER_API Kprj_ProParameters *kprj_ProParametersRead(Khfa_File *file, const char *entryPath,
                                                       Kerr_ErrorReport **err);
KRASTER_API Kprj_ProParameters *kprj_ProParametersReadIfPresent(Khfa_File *file,
                                                                const char *entryPath,
                                                                Kerr_ErrorReport **err);
KRASTER_API Kprj_ProParameters *kprj_ProParametersReadSimple(Khfa_File *file,
                                                             Kerr_ErrorReport **err);
KRASTER_API int kprj_ProParametersWrite(Khfa_File *file, const char *entryPath,
                                        const Kprj_ProParameters *proParameters,
                                        Kerr_ErrorReport **err);
KRASTER_API int kprj_ProParametersWriteSimple(Khfa_File *file, const char *entryPath,
                                              const Kprj_ProParameters *proParameters,
                                              Kerr_ErrorReport **err);

/* ---- Designs ------------------------------------------------------------------ */

/* The package dictionary (created on first use, kept for the process):
 * Kprj_Coordinate, Kprj_Size, Kprj_MapInfo, Kprj_Spheroid,
 * Kprj_ProParameters, Kprj_Datum, Kprj_ProjectionObject830,
 * Kprj_EarthModel830, Kprj_MapProjection830. */
KRASTER_API Kmif_Dictionary *kprj_InitDictionaryCreate(Kerr_ErrorReport **err);
/* Each adds its design (and the designs it uses) to a dictionary and
 * returns the design there. */
KRASTER_API Kmif_Design *kprj_CoordinateDesignDefine(Kmif_Dictionary *dictionary,
                                                     Kerr_ErrorReport **err);
KRASTER_API Kmif_Design *kprj_SizeDesignDefine(Kmif_Dictionary *dictionary, Kerr_ErrorReport **err);
KRASTER_API Kmif_Design *kprj_MapInfoDesignDefine(Kmif_Dictionary *dictionary,
                                                  Kerr_ErrorReport **err);
KRASTER_API Kmif_Design *kprj_SpheroidDesignDefine(Kmif_Dictionary *dictionary,
                                                   Kerr_ErrorReport **err);
KRASTER_API Kmif_Design *kprj_ProParametersDesignDefine(Kmif_Dictionary *dictionary,
                                                        Kerr_ErrorReport **err);
KRASTER_API Kmif_Design *kprj_DatumDesignDefine(Kmif_Dictionary *dictionary,
                                                Kerr_ErrorReport **err);

/* A whole projection (parameters, spheroid and datum) as an encoded
 * Kprj_MapProjection830 object with its dictionary string (heap buffers,
 * freed with kmsc_HeapFree). Returns the byte count, or -1 with a report. */
KRASTER_API int32_t kprj_ProjectionConvertToMIF(const Kprj_ProParameters *proParameters,
                                                unsigned char **data, char **dictionary,
                                                char **designName, Kerr_ErrorReport **err);
/* The inverse; accepts Kprj_ProParameters and Kprj_MapProjection830 objects
 * ("Don't know how to convert from %s" for others). */
KRASTER_API Kprj_ProParameters *kprj_ProjectionConvertFromMIF(const unsigned char *data,
                                                              int64_t size, const char *dictionary,
                                                              const char *designName,
                                                              Kerr_ErrorReport **err);

/* ---- Projection library files ------------------------------------------------- */

typedef struct Kprj_ProjectionItem Kprj_ProjectionItem;
typedef struct Kprj_ProjectionLibrary Kprj_ProjectionLibrary;

/* A library read from fileName, or an empty one titled "noname" when
 * fileName is NULL. */
KRASTER_API Kprj_ProjectionLibrary *kprj_ProjectionLibraryCreate(const char *fileName,
                                                                 Kerr_ErrorReport **err);
KRASTER_API void kprj_ProjectionLibraryFree(Kprj_ProjectionLibrary *library);
KRASTER_API int kprj_ProjectionLibrarySetTitle(Kprj_ProjectionLibrary *library, const char *title,
                                               Kerr_ErrorReport **err);
KRASTER_API const char *kprj_ProjectionLibraryGetTitle(const Kprj_ProjectionLibrary *library);
KRASTER_API int kprj_ProjectionLibraryWrite(const Kprj_ProjectionLibrary *library,
                                            const char *fileName, Kerr_ErrorReport **err);
KRASTER_API int32_t kprj_ProjectionLibraryItemCount(const Kprj_ProjectionLibrary *library);
/* Adds a copy of the item. */
KRASTER_API int kprj_ProjectionLibraryAddItem(Kprj_ProjectionLibrary *library,
                                              const Kprj_ProjectionItem *item,
                                              Kerr_ErrorReport **err);
/* Items stay the library's. */
KRASTER_API Kprj_ProjectionItem *kprj_ProjectionLibraryGetItemByName(
    const Kprj_ProjectionLibrary *library, const char *title, Kerr_ErrorReport **err);
KRASTER_API Kprj_ProjectionItem *kprj_ProjectionLibraryGetItemByIndex(
    const Kprj_ProjectionLibrary *library, int32_t index, Kerr_ErrorReport **err);
KRASTER_API int kprj_ProjectionLibraryDeleteItem(Kprj_ProjectionLibrary *library, int32_t index,
                                                 Kerr_ErrorReport **err);
/* An item titled "noname" holding a copy of proParameters (or a new record). */
KRASTER_API Kprj_ProjectionItem *kprj_ProjectionItemCreate(const Kprj_ProParameters *proParameters,
                                                           Kerr_ErrorReport **err);
KRASTER_API Kprj_ProjectionItem *kprj_ProjectionItemCopy(const Kprj_ProjectionItem *item,
                                                         Kerr_ErrorReport **err);
KRASTER_API void kprj_ProjectionItemFree(Kprj_ProjectionItem *item);
/* Writes the item's text to stream. */
KRASTER_API int kprj_ProjectionItemWrite(const Kprj_ProjectionItem *item, FILE *stream,
                                         Kerr_ErrorReport **err);
KRASTER_API const char *kprj_ProjectionItemGetTitle(const Kprj_ProjectionItem *item);
KRASTER_API int kprj_ProjectionItemSetTitle(Kprj_ProjectionItem *item, const char *title,
                                            Kerr_ErrorReport **err);
/* The item's record (the item's own). */
KRASTER_API const Kprj_ProParameters *kprj_ProjectionItemProParametersGet(
    const Kprj_ProjectionItem *item);

KRASTER_END_DECLS

#endif
