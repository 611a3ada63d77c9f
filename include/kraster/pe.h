/* The external projection engine: coordinate systems as objects, their
 * text form, and point conversion between a projected system and its
 * geographic system. Built on PROJ as the separate library
 * libkraster_pe.so, which libkraster loads at run time (PE_LIB, PE_LIB_PATH)
 * and calls only through these names; nothing in libkraster links to it.
 *
 * Conventions: angles passed in and out are radians, lengths metres, and
 * geographic points are (longitude, latitude) from Greenwich. Coordinate
 * system text is WKT (WKT2 or WKT1 on input, "EPSG:nnnn" and other
 * "AUTHORITY:code" names too). Object constructors return NULL on failure
 * and pe_error_text() then says why (per thread). Every object is released
 * with pe_coordsys_del, every string with pe_string_del. Objects may be
 * used from several threads; point conversion on one object is serialised.
 * Method and parameter names are the engine's own (docs/projection-engine.md). */
#ifndef KRASTER_PE_H
#define KRASTER_PE_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(KRASTER_PE_BUILDING)
#define PE_API __attribute__((visibility("default")))
#else
#define PE_API
#endif

#ifndef KRASTER_PE_OBJECT_DEFINED
#define KRASTER_PE_OBJECT_DEFINED
typedef struct pe_object pe_object;
#endif

/* Object kinds (pe_object_type). */
#define PE_TYPE_NONE 0
#define PE_TYPE_GEOGCS 1     /* geographic coordinate system */
#define PE_TYPE_PROJCS 2     /* projected coordinate system */
#define PE_TYPE_PROJECTION 3 /* a method with its parameter values */
#define PE_TYPE_PARAMETER 4  /* a named value */
#define PE_TYPE_UNIT 5       /* a linear or angular unit */
#define PE_TYPE_GEOGTRAN 6   /* a datum's shift to WGS 84 (its parameters) */

/* Unit kinds (pe_unit_lookup). */
#define PE_UNIT_LINEAR 1  /* factor to metres */
#define PE_UNIT_ANGULAR 2 /* factor to radians */

/* Text forms (pe_coordsys_to_string). */
#define PE_STR_WKT2 0
#define PE_STR_WKT1 1

/* Why the last call of this thread failed ("" when it did not). */
PE_API const char *pe_error_text(void);

/* A geographic or projected coordinate system from its text. */
PE_API pe_object *pe_coordsys_from_string(const char *text);
/* Text of a coordinate system (WKT2 or WKT1 as asked); the string is freed
 * with pe_string_del. pe_coordsys_from_string accepts it again. */
PE_API char *pe_coordsys_to_string(const pe_object *coordsys, int form);
PE_API void pe_string_del(char *text);
/* Releases any object (NULL is harmless). */
PE_API void pe_coordsys_del(pe_object *object);
PE_API pe_object *pe_object_clone(const pe_object *object);
PE_API int pe_object_type(const pe_object *object);
/* The object's name (the object's own string; "" when it has none). */
PE_API const char *pe_object_name(const pe_object *object);

/* An object by authority and code: a coordinate system, or a linear or
 * angular unit ("EPSG" codes 9001 to 9299 are units: 9001 the metre). */
PE_API pe_object *pe_factory(const char *authority, int code);
/* A unit of the given kind and factor (to metres or radians). */
PE_API pe_object *pe_unit_new(const char *name, double factor, int kind);
/* A named value: angles in radians, lengths in metres. */
PE_API pe_object *pe_parameter_new(const char *name, double value);
/* The shift of a datum to WGS 84 from 3 or 7 parameters named
 * "X_Axis_Translation" ... "Scale_Difference". */
PE_API pe_object *pe_geogtran_new(const char *name, int count, pe_object *const *parameters);
/* A geographic system (degrees, Greenwich) on the named datum and ellipsoid
 * with semi-axes a and b (b == a: a sphere); geogtran may be NULL. */
PE_API pe_object *pe_geogcs_new(const char *name, const char *datum, const char *spheroid, double a,
                                double b, const pe_object *geogtran);
/* A projection: a method of the engine's list and its parameters. */
PE_API pe_object *pe_projection_new(const char *method, int count, pe_object *const *parameters);
/* A projected system on geogcs; linearUnit is a unit object (NULL: metres). */
PE_API pe_object *pe_projcs_new(const char *name, const pe_object *geogcs,
                                const pe_object *projection, const pe_object *linearUnit);
/* A copy of a coordinate system with its linear (projected) or angular
 * (geographic) unit replaced by unit. */
PE_API pe_object *pe_coordsys_unit_change(const pe_object *coordsys, const pe_object *unit);

/* The geographic system of a coordinate system (the base of a projected
 * one, a copy of a geographic one). */
PE_API pe_object *pe_coordsys_geogcs(const pe_object *coordsys);
/* Earth model of a geographic system: semi-axes, prime meridian (radians
 * east of Greenwich) and the datum's shift to WGS 84 (translations in
 * metres, rotations in radians of the coordinate frame, scale difference in
 * parts per million). Returns the number of shift values (0, 3 or 7), -1 on
 * failure. datum and spheroid get the object's own name strings. */
PE_API int pe_geogcs_earth(const pe_object *geogcs, const char **datum, const char **spheroid,
                           double *a, double *b, double *primeMeridian, double toWGS84[7]);
/* The unit of a coordinate system: its name and factor to metres or
 * radians. 0, or -1 on failure. */
PE_API int pe_coordsys_unit(const pe_object *coordsys, const char **name, double *factor);
/* Method of a projected system or projection (the engine's name, or the
 * underlying name when the engine's list lacks it) and its parameters. */
PE_API const char *pe_projcs_method(const pe_object *projcs);
PE_API int pe_projcs_parameter_count(const pe_object *projcs);
/* Name and value of parameter index (NULL when out of range). */
PE_API const char *pe_projcs_parameter(const pe_object *projcs, int index, double *value);

/* A unit by name (ignoring case, "_" for blanks): 1 with its factor and
 * kind, 0 when unknown. */
PE_API int pe_unit_lookup(const char *name, double *factor, int *kind);

/* Points in place, count (x, y) pairs: geographic (radians) to projected
 * (metres) and back. For a geographic system the points stay. Returns
 * count, or -1 with pe_error_text() when the object or arguments are bad;
 * points that cannot be converted become HUGE_VAL. */
PE_API int pe_geog_to_proj(const pe_object *coordsys, int count, double *xy);
PE_API int pe_proj_to_geog(const pe_object *coordsys, int count, double *xy);

#ifdef __cplusplus
}
#endif

#endif
