/* Descriptor tables: attribute tables of typed columns (one row per bin of
 * the values they describe) and bin functions, which map values to bins
 * (table rows) and bins back to the value ranges they cover.
 *
 * STORAGE. The built-in method set "kdsc_HFA" keeps a table in an HFA file:
 * a node of type "Kdsc_Table" {numrows: l}, one child per column of type
 * "Kdsc_Column" {numRows: l, columnDataPtr: L, dataType: e (integer, real,
 * complex, string), maxNumChars: l} named by the column name, and the bin
 * function as the child "#Bin_Function#" (type "Kdsc_BinFunction", the old
 * form: {numBins: l, binFunctionType: e (direct, linear, logarithmic,
 * explicit), minLimit: d, maxLimit: d, binLimits: *b}) or
 * "#Bin_Function840#" (type "Kdsc_BinFunction840": {startBin: l, binCount:
 * L, origBinCount: L, binFunction: x Kmif_MIFObject, title: x Kmif_String},
 * Kmif_MIFObject being {type: x Kmif_String, MIFDictionary: pc, MIFObject:
 * pC}). A column's elements lie contiguously at columnDataPtr, numRows of
 * them, little-endian: integer columns as s32, real as f64, complex as two
 * f64, string as maxNumChars bytes padded with NULs.
 *
 * METHOD SETS. Tables are reached through a method set named by a string:
 * "kdsc_HFA" (built in), "kimg_DSC" (layer tables held by a raster format
 * plug-in, see kimg_TableOpen) or a plug-in of the class "DescriptorTables"
 * found along ORVEL_DESCRIPTOR_TABLES_PATH and the default directories,
 * whose name is the library's name ("libfoo.so" is "foo"). Such a plug-in
 * exports the entries of KDSC_TABLE_ENTRY_POINTS below by name (without
 * the "kdsc_HFA" prefix: "TableCreate", "ColumnDataRead", ...), with the
 * signatures of the Kdsc_Table*Func types. Arguments that differ from set to
 * set (a file and a node path for "kdsc_HFA") are handed to the set's
 * create and open entries through per-thread storage set just before
 * (kdsc_HFATableArgsSet).
 *
 * Every fallible operation takes the caller's report-pointer address last;
 * int results are 0 on success and -1 on failure unless stated. */
#ifndef KRASTER_KDSC_H
#define KRASTER_KDSC_H

#include "kdefs.h"
#include "kerr.h"
#include "kgda.h"
#include "khfa.h"
#include "kmif.h"
#include "kstr.h"

#include <stdio.h>

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
/* Prints the title, the window and the kind's data to stream (NULL: the
 * standard output). */
KRASTER_API int kdsc_BinFunctionPrint(const Kdsc_BinFunction *binFunction, FILE *stream,
                                      Kerr_ErrorReport **err);
/* Moves every value range of a built-in kind by offset (the direct offset,
 * the linear and logarithmic min and max, the explicit limits and unique
 * values); plug-in kinds are refused. */
KRASTER_API int kdsc_BinFunctionTranslate(Kdsc_BinFunction *binFunction, double offset,
                                          Kerr_ErrorReport **err);
/* Limits type of the stored form: the Kdsc_BinFunctionType of the four
 * stored kinds, -1 for the others and for NULL. */
KRASTER_API int32_t kdsc_BinFunctionLimitsType(const Kdsc_BinFunction *binFunction);

/* ---- Stored forms ---------------------------------------------------------- */

/* Host records of the stored designs. */
typedef struct Kdsc_BinFunctionRecord { /* "Kdsc_BinFunction" */
    int32_t numBins;
    int32_t binFunctionType; /* 0 direct ... 3 explicit */
    double minLimit;
    double maxLimit;
    Kgda_BaseData *binLimits; /* explicit: numBins + 1 limits (f64 table), else NULL */
} Kdsc_BinFunctionRecord;
typedef struct Kdsc_CountedBytes { /* a counted pointer ('p') */
    int32_t count;
    unsigned char *data;
} Kdsc_CountedBytes;
typedef struct Kdsc_MIFObjectRecord { /* "Kmif_MIFObject" */
    Kmif_String type;
    Kmif_String MIFDictionary;
    Kdsc_CountedBytes MIFObject;
} Kdsc_MIFObjectRecord;
typedef struct Kdsc_BinFunction840Record { /* "Kdsc_BinFunction840" */
    int32_t startBin;
    uint32_t binCount;
    uint32_t origBinCount;
    Kdsc_MIFObjectRecord binFunction;
    Kmif_String title;
} Kdsc_BinFunction840Record;

/* The library's designs of the stored node types by name ("Kdsc_Table",
 * "Kdsc_Column", "Kdsc_BinFunction", "Kdsc_BinFunction840",
 * "Kmif_MIFObject", "Kmif_String", "Kdsc_HFA_Column"), built once per
 * process; NULL with a report for another name. */
KRASTER_API const Kmif_Design *kdsc_DesignGet(const char *name, Kerr_ErrorReport **err);
/* The stored record of a bin function: the old form "Kdsc_BinFunction" when
 * the kind has one and the window is whole, else "Kdsc_BinFunction840".
 * *object is a new record of *design (a library design: free the record
 * with kmif_ObjectFree and that design). */
KRASTER_API int kdsc_BinFunctionConvertToMIFable(const Kdsc_BinFunction *binFunction, void **object,
                                                 const Kmif_Design **design,
                                                 Kerr_ErrorReport **err);
/* The bin function of a stored record of either form (its design must
 * describe the same items as the library's design of that name). */
KRASTER_API Kdsc_BinFunction *kdsc_BinFunctionConvertFromMIFable(const void *object,
                                                                 const Kmif_Design *design,
                                                                 Kerr_ErrorReport **err);
/* The same by type name ("Kdsc_BinFunction" or "Kdsc_BinFunction840") with
 * the library's designs. */
KRASTER_API Kdsc_BinFunction *kdsc_BinFunctionCreate(const void *object, const char *typeName,
                                                     Kerr_ErrorReport **err);

/* ---- Bin-function plug-ins ----------------------------------------------------
 * A library of the class "BinFunctions" (ORVEL_BIN_FUNCTIONS_PATH, then the
 * default directories) adds one kind, named by the title it returns. It
 * exports, by these names: BinFunctionTitleGet, BinFunctionCreate,
 * BinFunctionDestroy, BinFunctionCopy, BinFunctionIsSame, BinFunctionBinCount,
 * BinFunctionApply, BinFunctionApplyInverse, BinFunctionConvertToMIF,
 * BinFunctionConvertFromMIF (all required but BinFunctionCreate) and
 * BinFunctionBCSyncOld (optional: only kinds that have the old stored form).
 * Apply returns the kind's raw bin: -1 below, its bin count above. Data
 * given to ConvertToMIF's outputs are allocated with kmsc_HeapMalloc and
 * become the library's. */
#define KDSC_BIN_FUNCTIONS_CLASS "BinFunctions"
typedef const char *(*Kdsc_BFTitleGetFunc)(void);
typedef void *(*Kdsc_BFCreateFunc)(int32_t numBins, double min, double max,
                                   const Kgda_BaseData *values, Kerr_ErrorReport **err);
typedef void (*Kdsc_BFDestroyFunc)(void *data);
typedef void *(*Kdsc_BFCopyFunc)(const void *data, Kerr_ErrorReport **err);
typedef int (*Kdsc_BFIsSameFunc)(const void *a, const void *b);
typedef int32_t (*Kdsc_BFBinCountFunc)(const void *data);
typedef int32_t (*Kdsc_BFApplyFunc)(const void *data, double value);
typedef int (*Kdsc_BFApplyInverseFunc)(const void *data, int32_t bin, double *lower, double *upper,
                                       Kerr_ErrorReport **err);
typedef int (*Kdsc_BFBCSyncOldFunc)(const void *data, Kdsc_BinFunctionRecord *record,
                                    Kerr_ErrorReport **err);
typedef int32_t (*Kdsc_BFConvertToMIFFunc)(const void *data, unsigned char **bytes,
                                           char **dictionary, char **typeName,
                                           Kerr_ErrorReport **err);
typedef void *(*Kdsc_BFConvertFromMIFFunc)(const unsigned char *bytes, int32_t size,
                                           const char *dictionary, const char *typeName,
                                           Kerr_ErrorReport **err);

/* ---- Columns and tables ------------------------------------------------------ */

/* Column types. */
#define KDSC_COLUMN_INTEGER 0
#define KDSC_COLUMN_REAL 1
#define KDSC_COLUMN_COMPLEX 2
#define KDSC_COLUMN_STRING 3
#define KDSC_COLUMN_TYPE_COUNT 4

/* Column type to BaseData type (s32, f64, c128, string) and BaseData type
 * (0 ... 13) to column type (-1 for types that cannot be written). */
KRASTER_API const int32_t *kmsc_AddressOf_Kdsc_ColToBdConvertTbl(void);
KRASTER_API const int32_t *kmsc_AddressOf_Kdsc_BdToColConvertTbl(void);
/* "integer", "real", "complex", "string", or NULL. */
KRASTER_API const char *kdsc_ColumnTypeName(int32_t columnType);

typedef struct Kdsc_Table Kdsc_Table;               /* an open table (opaque) */
typedef struct Kdsc_Column Kdsc_Column;             /* an open column (opaque) */
typedef struct Kdsc_TableMethods Kdsc_TableMethods; /* a method set (opaque) */

/* Entry points of a method set (handles are the set's own). */
typedef void *(*Kdsc_TableCreateFunc)(int32_t numRows, Kerr_ErrorReport **err);
typedef void *(*Kdsc_TableOpenFunc)(int32_t *numRows, Kerr_ErrorReport **err);
typedef int (*Kdsc_TableCloseFunc)(void *table, Kerr_ErrorReport **err);
/* Removes the table (closed or open handle passed) from its store. */
typedef int (*Kdsc_TableDestroyFunc)(void *table, Kerr_ErrorReport **err);
typedef int (*Kdsc_TableRowCountSetFunc)(void *table, int32_t numRows, Kerr_ErrorReport **err);
/* Column names in stored order (a new list). */
typedef Kstr_StringList *(*Kdsc_TableColumnNamesGetFunc)(void *table, Kerr_ErrorReport **err);
/* Puts the named columns first, in the given order. */
typedef int (*Kdsc_TableColumnNamesSetFunc)(void *table, const Kstr_StringList *names,
                                            Kerr_ErrorReport **err);
/* The stored bin function (NULL without a report when none), and storing one. */
typedef Kdsc_BinFunction *(*Kdsc_TableBinFunctionReadFunc)(void *table, Kerr_ErrorReport **err);
typedef int (*Kdsc_TableBinFunctionWriteFunc)(void *table, const Kdsc_BinFunction *binFunction,
                                              Kerr_ErrorReport **err);
typedef void *(*Kdsc_ColumnCreateFunc)(void *table, const char *name, int32_t columnType,
                                       int32_t maxNumChars, Kerr_ErrorReport **err);
/* Opens a column: NULL without a report when it does not exist. */
typedef void *(*Kdsc_ColumnOpenFunc)(void *table, const char *name, int32_t *columnType,
                                     int32_t *maxNumChars, int32_t *numRows,
                                     Kerr_ErrorReport **err);
typedef int (*Kdsc_ColumnCloseFunc)(void *column, Kerr_ErrorReport **err);
typedef int (*Kdsc_ColumnDestroyFunc)(void *table, const char *name, Kerr_ErrorReport **err);
typedef int (*Kdsc_ColumnRenameFunc)(void *table, const char *oldName, const char *newName,
                                     Kerr_ErrorReport **err);
/* count rows from first into (from) a BaseData table of count x 1 of the
 * column's BaseData type. */
typedef int (*Kdsc_ColumnDataReadFunc)(void *column, int32_t first, int32_t count,
                                       Kgda_BaseData *data, Kerr_ErrorReport **err);
typedef int (*Kdsc_ColumnDataWriteFunc)(void *column, int32_t first, int32_t count,
                                        const Kgda_BaseData *data, Kerr_ErrorReport **err);
typedef int (*Kdsc_ColumnModTimeGetFunc)(void *column, int64_t *modTime, Kerr_ErrorReport **err);
/* The column types the set stores (a static array). */
typedef int (*Kdsc_InstanceColumnTypesGetFunc)(int32_t *count, const int32_t **types);

/* X(name, type): the entries of a method set, in order. */
#define KDSC_TABLE_ENTRY_POINTS(X)                           \
    X(TableCreate, Kdsc_TableCreateFunc)                     \
    X(TableOpen, Kdsc_TableOpenFunc)                         \
    X(TableClose, Kdsc_TableCloseFunc)                       \
    X(TableDestroy, Kdsc_TableDestroyFunc)                   \
    X(TableRowCountSet, Kdsc_TableRowCountSetFunc)           \
    X(TableColumnNamesGet, Kdsc_TableColumnNamesGetFunc)     \
    X(TableColumnNamesSet, Kdsc_TableColumnNamesSetFunc)     \
    X(TableBinFunctionRead, Kdsc_TableBinFunctionReadFunc)   \
    X(TableBinFunctionWrite, Kdsc_TableBinFunctionWriteFunc) \
    X(ColumnCreate, Kdsc_ColumnCreateFunc)                   \
    X(ColumnOpen, Kdsc_ColumnOpenFunc)                       \
    X(ColumnClose, Kdsc_ColumnCloseFunc)                     \
    X(ColumnDestroy, Kdsc_ColumnDestroyFunc)                 \
    X(ColumnRename, Kdsc_ColumnRenameFunc)                   \
    X(ColumnDataRead, Kdsc_ColumnDataReadFunc)               \
    X(ColumnDataWrite, Kdsc_ColumnDataWriteFunc)             \
    X(ColumnModTimeGet, Kdsc_ColumnModTimeGetFunc)           \
    X(InstanceColumnTypesGet, Kdsc_InstanceColumnTypesGetFunc)

/* A method set by name (see METHOD SETS); each open must be matched by a
 * close. NULL with a report when no set has that name. */
KRASTER_API Kdsc_TableMethods *kdsc_TableMethodsOpen(const char *name, Kerr_ErrorReport **err);
KRASTER_API int kdsc_TableMethodsClose(Kdsc_TableMethods *methods, Kerr_ErrorReport **err);
/* 1 when the set has the entries for it, else 0. Update: rows can be
 * changed and columns written; a column type: it is in the set's list. */
KRASTER_API int kdsc_TableMethodsSupportTableCreation(const Kdsc_TableMethods *methods);
KRASTER_API int kdsc_TableMethodsSupportTableUpdate(const Kdsc_TableMethods *methods);
KRASTER_API int kdsc_TableMethodsSupportColumnCreation(const Kdsc_TableMethods *methods);
KRASTER_API int kdsc_TableMethodsSupportColumnUpdate(const Kdsc_TableMethods *methods);
KRASTER_API int kdsc_TableMethodsSupportColumnType(const Kdsc_TableMethods *methods,
                                                   int32_t columnType);

/* Arguments of the next create or open of the built-in set on this thread:
 * the file (kept open by the table while it is open) and the table's node
 * path. */
KRASTER_API int kdsc_HFATableArgsSet(Khfa_File *file, const char *nodePath, Kerr_ErrorReport **err);

/* Tables in HFA files (the set "kdsc_HFA"). create makes the node (its
 * parent must exist; "%s already exists" when it does) with numRows rows;
 * a NULL bin function gives a "Direct" one with numRows bins; a bin function
 * with more bins than rows is copied with its window cut to the first rows
 * and the warning "Number of rows in table (%d) is less than number of bins
 * in bin function (%d)\nBin function adjusted". */
KRASTER_API Kdsc_Table *kdsc_TableCreate(Khfa_File *file, const char *tableName, int32_t numRows,
                                         const Kdsc_BinFunction *binFunction,
                                         Kerr_ErrorReport **err);
KRASTER_API Kdsc_Table *kdsc_TableOpen(Khfa_File *file, const char *tableName,
                                       Kerr_ErrorReport **err);
/* The same through a method set by name (its arguments set before). */
KRASTER_API Kdsc_Table *kdsc_TableCreateWithMethods(const char *methodsName, int32_t numRows,
                                                    const Kdsc_BinFunction *binFunction,
                                                    Kerr_ErrorReport **err);
KRASTER_API Kdsc_Table *kdsc_TableOpenWithMethods(const char *methodsName, Kerr_ErrorReport **err);
/* Removes the table that the set's arguments name. */
KRASTER_API int kdsc_TableDestroyWithMethods(const char *methodsName, Kerr_ErrorReport **err);
/* Closes the table and every column still open through it. NULL is
 * accepted. */
KRASTER_API int kdsc_TableClose(Kdsc_Table *table, Kerr_ErrorReport **err);
/* Removes the table from its store and closes it (the handle is freed
 * either way). */
KRASTER_API int kdsc_TableRemove(Kdsc_Table *table, Kerr_ErrorReport **err);
KRASTER_API int kdsc_TableRowCountGet(const Kdsc_Table *table, int32_t *count,
                                      Kerr_ErrorReport **err);
/* Changes the row count of the table and every column; a bin function with
 * more bins than the new count is cut to it. */
KRASTER_API int kdsc_TableRowCountSet(Kdsc_Table *table, int32_t count, Kerr_ErrorReport **err);
/* The table's bin function (owned by the table), or NULL. */
KRASTER_API const Kdsc_BinFunction *kdsc_TableBinFunctionGet(const Kdsc_Table *table);
/* Stores a copy ("Number of bins exceeds number of rows in table" when it
 * has more bins than the table rows). */
KRASTER_API int kdsc_TableBinFunctionSet(Kdsc_Table *table, const Kdsc_BinFunction *binFunction,
                                         Kerr_ErrorReport **err);
/* Sets the row count to the bin count first, then stores a copy. */
KRASTER_API int kdsc_TableBinFunctionSetAndAdjust(Kdsc_Table *table,
                                                  const Kdsc_BinFunction *binFunction,
                                                  Kerr_ErrorReport **err);
/* 1 when the column has one row per bin of the table's bin function, 0 when
 * not, -1 with a report. */
KRASTER_API int kdsc_ColumnDataMatchesBinFunction(const Kdsc_Column *column,
                                                  Kerr_ErrorReport **err);
/* Column names in stored order (a new list; kstr_StringListFree). */
KRASTER_API Kstr_StringList *kdsc_TableListColumns(Kdsc_Table *table, Kerr_ErrorReport **err);
/* Latest modification time of the table's columns (seconds since 1970; 0
 * when it has none). */
KRASTER_API int kdsc_TableModTimeGet(Kdsc_Table *table, int64_t *modTime, Kerr_ErrorReport **err);
/* 1 when the table's set stores the column type named ("integer", "real",
 * "complex", "string"), else 0. */
KRASTER_API int kdsc_TableSupportsColumnType(const Kdsc_Table *table, const char *typeName);

/* Creates a column (the table's row count; maxNumChars is the string width,
 * at least 1, and ignored for the other types; "Column %s already exists"). */
KRASTER_API Kdsc_Column *kdsc_ColumnCreate(Kdsc_Table *table, const char *name, int32_t columnType,
                                           int32_t maxNumChars, Kerr_ErrorReport **err);
/* Opens a column ("Column %s does not exist" when missing). */
KRASTER_API Kdsc_Column *kdsc_ColumnOpen(Kdsc_Table *table, const char *name,
                                         Kerr_ErrorReport **err);
/* As kdsc_ColumnOpen; NULL without a report when missing. */
KRASTER_API Kdsc_Column *kdsc_ColumnOpenIfPresent(Kdsc_Table *table, const char *name,
                                                  Kerr_ErrorReport **err);
/* 1 when the column exists, 0 when not, -1 with a report. */
KRASTER_API int kdsc_ColumnExist(Kdsc_Table *table, const char *name, Kerr_ErrorReport **err);
/* Switches the check that refuses to open a column with fewer rows than its
 * table ("Column row count is less than table row count"; on by default).
 * Returns the previous setting. */
KRASTER_API int kdsc_ColumnRowCountCheckSet(int on);
/* Column type, string width and the BaseData type of its elements. */
KRASTER_API int kdsc_ColumnInfoGet(const Kdsc_Column *column, int32_t *columnType,
                                   int32_t *maxNumChars, int32_t *dataType, Kerr_ErrorReport **err);
/* Rows first ... first + count - 1 into (from) data, a table of count x 1
 * (at least) of the column's BaseData type; read creates it when NULL. */
KRASTER_API Kgda_BaseData *kdsc_ColumnRead(Kdsc_Column *column, int32_t first, int32_t count,
                                           Kgda_BaseData *data, Kerr_ErrorReport **err);
KRASTER_API int kdsc_ColumnWrite(Kdsc_Column *column, int32_t first, int32_t count,
                                 const Kgda_BaseData *data, Kerr_ErrorReport **err);
/* The same with a raw buffer: numeric elements packed in host form, string
 * elements in slots of maxNumChars bytes (an absent string as zeros). */
KRASTER_API int kdsc_ColumnReadOld(Kdsc_Column *column, int32_t first, int32_t count, void *buffer,
                                   Kerr_ErrorReport **err);
KRASTER_API int kdsc_ColumnWriteOld(Kdsc_Column *column, int32_t first, int32_t count,
                                    const void *buffer, Kerr_ErrorReport **err);
KRASTER_API int kdsc_ColumnGetTimeStamp(Kdsc_Column *column, int64_t *modTime,
                                        Kerr_ErrorReport **err);
KRASTER_API int kdsc_ColumnChangeName(Kdsc_Column *column, const char *newName,
                                      Kerr_ErrorReport **err);
KRASTER_API int kdsc_ColumnClose(Kdsc_Column *column, Kerr_ErrorReport **err);
/* Removes the column from its table and closes it (freed either way). */
KRASTER_API int kdsc_ColumnRemove(Kdsc_Column *column, Kerr_ErrorReport **err);
/* Rows first ... first + count - 1 of several columns of one type: stack
 * layer i is column i (each a count x 1 table). */
KRASTER_API int kdsc_DescriptorStackRead(Kdsc_Column *const *columns, int32_t columnCount,
                                         int32_t first, int32_t count, Kgda_BaseDataStack *stack,
                                         Kerr_ErrorReport **err);
KRASTER_API int kdsc_DescriptorStackWrite(Kdsc_Column *const *columns, int32_t columnCount,
                                          int32_t first, int32_t count,
                                          const Kgda_BaseDataStack *stack, Kerr_ErrorReport **err);

/* Built-in set entries (also reachable through kdsc_TableMethodsOpen). */
KRASTER_API void *kdsc_HFATableCreate(int32_t numRows, Kerr_ErrorReport **err);
KRASTER_API void *kdsc_HFATableOpen(int32_t *numRows, Kerr_ErrorReport **err);
KRASTER_API int kdsc_HFATableClose(void *table, Kerr_ErrorReport **err);
KRASTER_API int kdsc_HFATableDestroy(void *table, Kerr_ErrorReport **err);
KRASTER_API int kdsc_HFATableRowCountSet(void *table, int32_t numRows, Kerr_ErrorReport **err);
KRASTER_API Kstr_StringList *kdsc_HFATableColumnNamesGet(void *table, Kerr_ErrorReport **err);
KRASTER_API int kdsc_HFATableColumnNamesSet(void *table, const Kstr_StringList *names,
                                            Kerr_ErrorReport **err);
KRASTER_API Kdsc_BinFunction *kdsc_HFABinFunctionRead(void *table, Kerr_ErrorReport **err);
KRASTER_API int kdsc_HFABinFunctionWrite(void *table, const Kdsc_BinFunction *binFunction,
                                         Kerr_ErrorReport **err);
KRASTER_API void *kdsc_HFAColumnCreate(void *table, const char *name, int32_t columnType,
                                       int32_t maxNumChars, Kerr_ErrorReport **err);
KRASTER_API void *kdsc_HFAColumnOpen(void *table, const char *name, int32_t *columnType,
                                     int32_t *maxNumChars, int32_t *numRows,
                                     Kerr_ErrorReport **err);
KRASTER_API int kdsc_HFAColumnClose(void *column, Kerr_ErrorReport **err);
KRASTER_API int kdsc_HFAColumnDestroy(void *table, const char *name, Kerr_ErrorReport **err);
KRASTER_API int kdsc_HFAColumnRename(void *table, const char *oldName, const char *newName,
                                     Kerr_ErrorReport **err);
KRASTER_API int kdsc_HFAColumnDataRead(void *column, int32_t first, int32_t count,
                                       Kgda_BaseData *data, Kerr_ErrorReport **err);
KRASTER_API int kdsc_HFAColumnDataWrite(void *column, int32_t first, int32_t count,
                                        const Kgda_BaseData *data, Kerr_ErrorReport **err);
KRASTER_API int kdsc_HFAColumnModTimeGet(void *column, int64_t *modTime, Kerr_ErrorReport **err);
KRASTER_API int kdsc_HFAInstanceColumnTypesGet(int32_t *count, const int32_t **types);
/* Copies every row of one column into another of the same column type
 * ("Source and destination column datatype do not match"). */
KRASTER_API int kdsc_HFAColumnDataCopy(void *source, void *destination, Kerr_ErrorReport **err);
/* A column as one object of type "Kdsc_HFA_Column" {column: *o Kdsc_Column,
 * data: pC the elements in file form}: read gives a new record (free it
 * with kmif_ObjectFree and kdsc_DesignGet("Kdsc_HFA_Column")); write
 * creates the named column in the table (or replaces one of the same type
 * and rows) from such a record. */
KRASTER_API void *kdsc_HFAColumnAndMIFDataRead(void *column, Kerr_ErrorReport **err);
KRASTER_API void *kdsc_HFAColumnAndMIFDataWrite(void *table, const char *name, const void *record,
                                                Kerr_ErrorReport **err);

KRASTER_END_DECLS

#endif
