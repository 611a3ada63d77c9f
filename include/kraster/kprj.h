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

/* ---- Projection engine ---------------------------------------------------------
 * Geographic points are (longitude, latitude) in radians, projected points
 * (x, y) in metres. Point arrays may be converted in place. */

/* Projection numbers of the built-in families. */
#define KPRJ_ALBERS 3
#define KPRJ_LAMBERT_CONFORMAL_CONIC 4
#define KPRJ_MERCATOR 5
#define KPRJ_POLAR_STEREOGRAPHIC 6
#define KPRJ_POLYCONIC 7
#define KPRJ_EQUIDISTANT_CONIC 8
#define KPRJ_TRANSVERSE_MERCATOR 9
#define KPRJ_OBLIQUE_MERCATOR 20
#define KPRJ_ALASKA_CONFORMAL 26

/* A point array: count points of (x, y). */
typedef struct Kprj_Point {
    int32_t count;
    Kprj_Coordinate *points;
} Kprj_Point;

/* The slots of a projection object. The point converters return 0, or -1
 * with a report after converting what they could (failed points become
 * HUGE_VAL). */
typedef int (*Kprj_PointsFunction)(const void *parameters, int64_t count, const Kprj_Coordinate *in,
                                   Kprj_Coordinate *out, Kerr_ErrorReport **err);
typedef void *(*Kprj_CopyParametersFunction)(const void *parameters, Kerr_ErrorReport **err);
/* 1 equal, 0 not, -1 with a report. */
typedef int (*Kprj_ProParametersEqualFunction)(const Kprj_ProParameters *a,
                                               const Kprj_ProParameters *b, Kerr_ErrorReport **err);
typedef void (*Kprj_QuitFunction)(void *parameters);

/* A ready projection: the record it was built from, the family's private
 * block of precomputed constants and the family's functions. */
typedef struct Kprj_MapProjection {
    Kprj_ProParameters *proParameters;
    void *parameters;
    Kprj_PointsFunction toLL;
    Kprj_PointsFunction fromLL;
    Kprj_CopyParametersFunction copyParameters;
    Kprj_ProParametersEqualFunction proParametersEqual;
    Kprj_QuitFunction quit;
} Kprj_MapProjection;

/* The outer object: a title naming its kind ("Kprj_ProParameters" for the
 * built-in and external projections) and the object of that kind. */
typedef struct Kprj_Projection {
    char *title;
    Kprj_MapProjection *mapProjection;
} Kprj_Projection;

/* Reads the projection query table once (package data). */
KRASTER_API int kprj_Init(Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err);
KRASTER_API int kprj_InitProjectionData(Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err);

KRASTER_API Kprj_Projection *kprj_ProjectionInit(Kint_InitToolkitData *toolkit,
                                                 const Kprj_ProParameters *proParameters,
                                                 Kerr_ErrorReport **err);
KRASTER_API Kprj_Projection *kprj_ProjectionCopy(const Kprj_Projection *projection,
                                                 Kerr_ErrorReport **err);
/* Releases the private block (ending an external program); the object
 * stays and can no longer project. */
KRASTER_API int kprj_ProjectionQuit(Kprj_Projection *projection, Kerr_ErrorReport **err);
KRASTER_API void kprj_ProjectionFree(Kprj_Projection *projection);
/* 1 when both were built from equal parameter records, 0 if not, -1. */
KRASTER_API int kprj_ProjectionsEqual(const Kprj_Projection *a, const Kprj_Projection *b,
                                      Kerr_ErrorReport **err);
/* 1 when points can be carried from a to b (both ready), else 0. */
KRASTER_API int kprj_ProjectionsOKToProject(const Kprj_Projection *a, const Kprj_Projection *b,
                                            Kerr_ErrorReport **err);
/* Converts count points of one projection object. */
KRASTER_API int kprj_ProjectionToLL(const Kprj_Projection *projection, int64_t count,
                                    const Kprj_Coordinate *in, Kprj_Coordinate *out,
                                    Kerr_ErrorReport **err);
KRASTER_API int kprj_ProjectionFromLL(const Kprj_Projection *projection, int64_t count,
                                      const Kprj_Coordinate *in, Kprj_Coordinate *out,
                                      Kerr_ErrorReport **err);

/* Two projection objects initialised together. */
typedef struct Kprj_ProjectionPair {
    Kprj_Projection *input;
    Kprj_Projection *output;
} Kprj_ProjectionPair;

KRASTER_API Kprj_ProjectionPair *kprj_ProjectionPairCreate(Kerr_ErrorReport **err);
/* (Re)initialises both sides from the records. */
KRASTER_API int kprj_ProjectionPairInit(Kint_InitToolkitData *toolkit, Kprj_ProjectionPair *pair,
                                        const Kprj_ProParameters *input,
                                        const Kprj_ProParameters *output, Kerr_ErrorReport **err);
/* The pair for (input, output): *pair is reused when its sides were built
 * from equal records, else (re)initialised; a new pair when *pair is NULL.
 * Returns *pair. */
KRASTER_API Kprj_ProjectionPair *kprj_ProjectionPairGet(Kint_InitToolkitData *toolkit,
                                                        Kprj_ProjectionPair **pair,
                                                        const Kprj_ProParameters *input,
                                                        const Kprj_ProParameters *output,
                                                        Kerr_ErrorReport **err);
KRASTER_API Kprj_ProjectionPair *kprj_ProjectionPairCopy(const Kprj_ProjectionPair *pair,
                                                         Kerr_ErrorReport **err);
KRASTER_API int kprj_ProjectionPairQuit(Kprj_ProjectionPair *pair, Kerr_ErrorReport **err);
KRASTER_API void kprj_ProjectionPairFree(Kprj_ProjectionPair *pair);

/* Input system to output system: toLL, datum shift, fromLL. */
KRASTER_API int kprj_Project(const Kprj_ProjectionPair *pair, int64_t count,
                             const Kprj_Coordinate *in, Kprj_Coordinate *out,
                             Kerr_ErrorReport **err);
KRASTER_API int kprj_ProjectPair(const Kprj_Projection *input, const Kprj_Projection *output,
                                 int64_t count, const Kprj_Coordinate *in, Kprj_Coordinate *out,
                                 Kerr_ErrorReport **err);
/* The same with the points in named units ("radians" is the engine's unit
 * for geographic systems, "meters" for projected ones). */
KRASTER_API int kprj_ProjectWithUnits(const Kprj_ProjectionPair *pair, int64_t count,
                                      const Kprj_Coordinate *in, const char *inUnits,
                                      Kprj_Coordinate *out, const char *outUnits,
                                      Kerr_ErrorReport **err);
KRASTER_API int kprj_ProjectPairWithUnits(const Kprj_Projection *input,
                                          const Kprj_Projection *output, int64_t count,
                                          const Kprj_Coordinate *in, const char *inUnits,
                                          Kprj_Coordinate *out, const char *outUnits,
                                          Kerr_ErrorReport **err);

KRASTER_API Kprj_Point *kprj_PointsCreate(int32_t count, Kerr_ErrorReport **err);
KRASTER_API Kprj_Point *kprj_PointsCopy(const Kprj_Point *points, Kerr_ErrorReport **err);
KRASTER_API void kprj_PointsFree(Kprj_Point *points);
/* Converts the points in place between two named units. */
KRASTER_API int kprj_PointsConvertByUnitName(Kprj_Point *points, const char *inUnits,
                                             const char *outUnits, Kerr_ErrorReport **err);

/* Angle entries of a 15-entry parameter array between packed DMS and
 * radians, or between any two named angle units; the other entries are
 * copied. */
KRASTER_API int kprj_GCTPProParams2Radians(int32_t proNumber, const Kprj_DblArrayPtr *in,
                                           Kprj_DblArrayPtr *out, Kerr_ErrorReport **err);
KRASTER_API int kprj_Radians2GCTPProParams(int32_t proNumber, const Kprj_DblArrayPtr *in,
                                           Kprj_DblArrayPtr *out, Kerr_ErrorReport **err);
KRASTER_API int kprj_GCTPProParamsConvert(int32_t proNumber, const Kprj_DblArrayPtr *in,
                                          const char *inUnits, Kprj_DblArrayPtr *out,
                                          const char *outUnits, Kerr_ErrorReport **err);

/* A longitude extent (radians) at a latitude as metres on the sphere of
 * nominal radius of the earth, and back. */
KRASTER_API double kprj_ConvertLonSizeToMeters(double lonSize, double latitude);
KRASTER_API double kprj_ConvertMetersToLonSize(double meters, double latitude);
/* The angle (radians, counter-clockwise) from the map's x axis to grid
 * north at a projected point. */
KRASTER_API int kprj_ComputeNorthAngleFromXAxis(const Kprj_Projection *projection, double x,
                                                double y, double *angle, Kerr_ErrorReport **err);

/* Support functions of the families. */
KRASTER_API double kprj_E0fn(double es);
KRASTER_API double kprj_E1fn(double es);
KRASTER_API double kprj_E2fn(double es);
KRASTER_API double kprj_E3fn(double es);
KRASTER_API double kprj_E4fn(double e);
KRASTER_API double kprj_Mlfn(double e0, double e1, double e2, double e3, double phi);
KRASTER_API double kprj_Msfn(double sinphi, double cosphi, double e);
KRASTER_API double kprj_Tsfn(double e, double phi, double sinphi);
KRASTER_API double kprj_Qsfn(double e, double sinphi, double cosphi);
/* Inverse latitude iterations: 0 with *phi, or -1 with "Latitude failed to
 * converge after %ld iterations". */
KRASTER_API int kprj_Phi1(double qs, double e, double es, double *phi, Kerr_ErrorReport **err);
KRASTER_API int kprj_Phi2(double e, double ts, double *phi, Kerr_ErrorReport **err);
KRASTER_API int kprj_Phi3(double ml, double e0, double e1, double e2, double e3, double *phi,
                          Kerr_ErrorReport **err);
KRASTER_API int kprj_Phi4(double eccent, double e0, double e1, double e2, double e3, double a,
                          double b, double *c, double *phi, Kerr_ErrorReport **err);
KRASTER_API int kprj_Phi5(double eccent, double qs, double *phi, Kerr_ErrorReport **err);
KRASTER_API int kprj_Phi6(double e, double ts, double *phi, Kerr_ErrorReport **err);
KRASTER_API double kprj_Adjl(double lon);
KRASTER_API double kprj_Asin(double x);
KRASTER_API double kprj_Sign(double x);
KRASTER_API void kprj_Sincos(double x, double *sine, double *cosine);

/* UTM zone (1 to 60) of a longitude in radians. */
KRASTER_API int32_t kprj_UTMZoneFromLongitude(double longitude);
/* NAD code of a State Plane record: 2 (NAD83) or 1 (NAD27). */
KRASTER_API int32_t kprj_NADCodeGet(const Kprj_ProParameters *proParameters);

/* ---- External projections ---------------------------------------------------------
 * A projection of type KPRJ_EXTERNAL names a module, proExeName + ".so",
 * found along ORVEL_PROJECTIONS_PATH (default ".;./bin") and exporting the
 * four functions below; else a program of that name started as a child and
 * spoken to over a connection each way: every request is an 8-byte header
 * (command, byte count; 32-bit host order) and the data, every answer a
 * header (status, byte count) and the data. A non-zero status is followed
 * by the child's reports as text fields of 5 characters ("%5ld"): code,
 * length and function name, severity, length and message. */

#define KPRJ_X_INIT 0   /* data: the Kprj_ProParameters record encoded with its design */
#define KPRJ_X_TOLL 1   /* data: count points of two doubles; answer: the points */
#define KPRJ_X_FROMLL 2 /* data: count points of two doubles; answer: the points */
#define KPRJ_X_QUIT 4   /* no data, no answer */

/* kprj_XProjectionInit: the module's instance for a record, or NULL with a
 * report. */
typedef void *(*Kprj_XProjectionInitFunction)(const Kprj_ProParameters *proParameters,
                                              Kerr_ErrorReport **err);
/* kprj_XProjectionToLL, kprj_XProjectionFromLL: 0, or -1 with a report. */
typedef int (*Kprj_XProjectionPointsFunction)(void *instance, int64_t count,
                                              const Kprj_Coordinate *in, Kprj_Coordinate *out,
                                              Kerr_ErrorReport **err);
/* kprj_XProjectionQuit: releases the instance. */
typedef void (*Kprj_XProjectionQuitFunction)(void *instance);

/* ---- Coordinate systems of the external projection engine -------------------
 * The engine library (libkraster_pe.so; see pe.h) is loaded on first use:
 * the file named by PE_LIB (default "libkraster_pe.so"), in the directory
 * PE_LIB_PATH when set, else beside libkraster.so, else along the loader's
 * search path. A failed load prints a warning naming PE_LIB as invalid and
 * the calling operation fails with "kdll_Find failed"; so does a library
 * lacking a function. The built-in families never need the engine.
 *
 * Projection numbers 34 to 52 are projections the built-in families lack,
 * carried out by the engine (kprj_PEMethodName; docs/projection-engine.md),
 * with parameters in the common layout: 2 scale factor or first standard
 * parallel, 3 azimuth or second standard parallel, 4 central meridian, 5
 * latitude of origin, 6 false easting, 7 false northing, 8 family-specific.
 * Outer projection objects made from a coordinate-system text are titled
 * "PE_PROJCS" (a projected system) or "PE_COORDSYS" (a geographic one);
 * their points go through the engine with the system exactly as given, in
 * metres (projected) or radians (geographic), whatever the system's units. */

#ifndef KRASTER_PE_OBJECT_DEFINED
#define KRASTER_PE_OBJECT_DEFINED
typedef struct pe_object pe_object;
#endif

#define KPRJ_PE_FIRST 34
#define KPRJ_PE_LAST 52
#define KPRJ_PE_COORDSYS "PE_COORDSYS"
#define KPRJ_PE_PROJCS "PE_PROJCS"

/* Forgets the loaded engine: the next use reads PE_LIB and PE_LIB_PATH and
 * loads it again (the old library stays mapped for objects it made). */
KRASTER_API void kprj_PEReset(void);
/* The engine's method name of projection number 34 to 52 (NULL otherwise). */
KRASTER_API const char *kprj_PEMethodName(int32_t proNumber);

/* A projection object titled "PE_PROJCS" or "PE_COORDSYS" from a
 * coordinate-system text (WKT or "EPSG:nnnn"). Its record
 * (mapProjection->proParameters) is the system's translation (as
 * kprj_COORDSYSToMapProjection gives it); a system without one fails. */
KRASTER_API Kprj_Projection *kprj_MapProjectionFromPEString(Kint_InitToolkitData *toolkit,
                                                            const char *text,
                                                            Kerr_ErrorReport **err);
/* The WKT2 of a projection object of any title (a heap string; free with
 * kmsc_HeapFree). */
KRASTER_API char *kprj_MapProjectionToPEString(const Kprj_Projection *projection,
                                               Kerr_ErrorReport **err);
/* Reads a projection text file (".prj") into a new record. */
KRASTER_API Kprj_ProParameters *kprj_PEPrjRead(Kint_InitToolkitData *toolkit, const char *fileName,
                                               Kerr_ErrorReport **err);
/* Writes the one-line WKT1 of a record to a projection text file. */
KRASTER_API int kprj_PEPrjWrite(const char *fileName, const Kprj_ProParameters *proParameters,
                                Kerr_ErrorReport **err);

/* Engine objects from records, released with kprj_PEObjectFree. */
KRASTER_API pe_object *kprj_MapProjectionToCOORDSYS(const Kprj_ProParameters *proParameters,
                                                    Kerr_ErrorReport **err);
KRASTER_API pe_object *kprj_GEOGCSFromSpheroidDatum(const Kprj_Spheroid *spheroid,
                                                    Kerr_ErrorReport **err);
KRASTER_API pe_object *kprj_PROJECTIONFromProNumber(const Kprj_ProParameters *proParameters,
                                                    Kerr_ErrorReport **err);
/* A new record from an engine coordinate system: a built-in family when the
 * system is one (Transverse Mercator with UTM constants becomes UTM), else
 * number 34 to 52; the prime meridian is moved to Greenwich. */
KRASTER_API Kprj_ProParameters *kprj_COORDSYSToMapProjection(Kint_InitToolkitData *toolkit,
                                                             const pe_object *coordsys,
                                                             Kerr_ErrorReport **err);
/* A copy of a coordinate system with its linear or angular unit changed to
 * the named one. */
KRASTER_API pe_object *kprj_COORDSYSUnitChange(const pe_object *coordsys, const char *unitName,
                                               Kerr_ErrorReport **err);
KRASTER_API void kprj_PEObjectFree(pe_object *object);

/* A record for a system given as "EPSG:nnnn" (or another authority code),
 * a WKT text, or the name of a projection text file: a built-in family
 * when the system maps to one (EPSG:32633 is UTM zone 33 north), else a
 * number 34 to 52. */
KRASTER_API Kprj_ProParameters *kprj_ProParametersFromSystemText(Kint_InitToolkitData *toolkit,
                                                                 const char *system,
                                                                 Kerr_ErrorReport **err);

/* The map units of a system given as for kprj_ProParametersFromSystemText,
 * as a heap string: the units file's name when it has one ("meters",
 * "feet", "us_survey_feet", "degrees", "radians"), else the engine's. */
KRASTER_API char *kprj_SystemTextUnits(const char *system, Kerr_ErrorReport **err);

/* ---- Projection query table ------------------------------------------------------ */

/* One projection of the table (the table's own). */
typedef struct Kprj_QueryProjection Kprj_QueryProjection;
typedef struct Kprj_QueryTable Kprj_QueryTable;

/* Parses a table from text (name for reports), or the file fileName when
 * text is NULL. */
KRASTER_API Kprj_QueryTable *kprj_QueryTableParse(const char *text, const char *fileName,
                                                  Kerr_ErrorReport **err);
KRASTER_API void kprj_QueryTableFree(Kprj_QueryTable *table);
/* The package table (read from "mapprojections.dat" on first use). */
KRASTER_API const Kprj_QueryTable *kprj_QueryTableGet(Kint_InitToolkitData *toolkit,
                                                      Kerr_ErrorReport **err);
/* Writes the table (the package table when NULL) in the syntax the parser
 * reads. */
KRASTER_API int kprj_QueryListPrint(const Kprj_QueryTable *table, FILE *stream,
                                    Kerr_ErrorReport **err);
/* Writes one projection's entries. */
KRASTER_API int kprj_QueryEntryListPrint(const Kprj_QueryProjection *projection, FILE *stream,
                                         Kerr_ErrorReport **err);
KRASTER_API int32_t kprj_QueryTableCount(const Kprj_QueryTable *table);
KRASTER_API const Kprj_QueryProjection *kprj_QueryTableItem(const Kprj_QueryTable *table,
                                                            int32_t index);
/* Name, type (KPRJ_INTERNAL or KPRJ_EXTERNAL), number, module name. */
KRASTER_API const char *kprj_QueryProjectionName(const Kprj_QueryProjection *projection);
KRASTER_API int32_t kprj_QueryProjectionType(const Kprj_QueryProjection *projection);
KRASTER_API int32_t kprj_QueryProjectionNumber(const Kprj_QueryProjection *projection);
KRASTER_API const char *kprj_QueryProjectionModule(const Kprj_QueryProjection *projection);

/* Lookups in the package table; the name is compared ignoring case. */
KRASTER_API const Kprj_QueryProjection *kprj_QueryByName(Kint_InitToolkitData *toolkit,
                                                         const char *name, Kerr_ErrorReport **err);
KRASTER_API const Kprj_QueryProjection *kprj_QueryByNumber(Kint_InitToolkitData *toolkit,
                                                           int32_t number, Kerr_ErrorReport **err);
/* The name of an internal projection number (the table's own string). */
KRASTER_API const char *kprj_ProjName(Kint_InitToolkitData *toolkit, int32_t number,
                                      Kerr_ErrorReport **err);
/* The internal projection number of a name, or -1 with a report. */
KRASTER_API int32_t kprj_Proj7xNumber(Kint_InitToolkitData *toolkit, const char *name,
                                      Kerr_ErrorReport **err);
/* Every name of the table as a heap array of heap strings (*count names);
 * free each and the array with kmsc_HeapFree. */
KRASTER_API char **kprj_ProjectionNamesGet(Kint_InitToolkitData *toolkit, int32_t *count,
                                           Kerr_ErrorReport **err);
/* A record for the named projection with spheroid "Clarke 1866", its
 * parameters 0 ("Invalid Projection Name" when the table has no such name). */
KRASTER_API Kprj_ProParameters *kprj_ProParametersCreateByName(Kint_InitToolkitData *toolkit,
                                                               const char *name,
                                                               Kerr_ErrorReport **err);

/* Sets parameter index of a record from a value in the unit the query
 * table names for that entry (angles in decimal degrees or radians,
 * distances in feet or metres; other entries as given). */
KRASTER_API int kprj_QueryParameterSet(const Kprj_QueryProjection *projection,
                                       Kprj_ProParameters *proParameters, int32_t index,
                                       double value, Kerr_ErrorReport **err);

/* Interactive queries reading answers line by line from in and writing the
 * prompts to out. */
KRASTER_API const Kprj_QueryProjection *kprj_QuerySelect(Kint_InitToolkitData *toolkit, FILE *in,
                                                         FILE *out, Kerr_ErrorReport **err);
KRASTER_API int kprj_SpheroidSelect(Kint_InitToolkitData *toolkit, Kprj_Spheroid *spheroid,
                                    FILE *in, FILE *out, Kerr_ErrorReport **err);
/* Asks for the projection and its parameters; a new record. */
KRASTER_API Kprj_ProParameters *kprj_ProParametersQuery(Kint_InitToolkitData *toolkit, FILE *in,
                                                        FILE *out, Kerr_ErrorReport **err);

KRASTER_END_DECLS

#endif
