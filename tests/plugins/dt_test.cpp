// A descriptor-table method set of the tests: tables kept in HFA files by
// forwarding the entries the tests use to the built-in set's functions, so
// that what a plug-in stored can be checked through the built-in set. Built
// with DT_READ_ONLY it has only the entries that read (no creation, row-count
// change, destruction or column writes).
#include <kraster/kdsc.h>

// An exported entry NAME forwarding its arguments to kdsc_HFA<TARGET>.
#define DT(ret, name, target, params, ...)                              \
    extern "C" __attribute__((visibility("default"))) ret name params { \
        return kdsc_HFA##target(__VA_ARGS__);                           \
    }
using Err = Kerr_ErrorReport **;

DT(void *, TableOpen, TableOpen, (int32_t * numRows, Err err), numRows, err)
DT(int, TableClose, TableClose, (void *table, Err err), table, err)
DT(Kdsc_BinFunction *, TableBinFunctionRead, BinFunctionRead, (void *table, Err err), table, err)
DT(void *, ColumnOpen, ColumnOpen,
   (void *table, const char *name, int32_t *columnType, int32_t *maxNumChars, int32_t *numRows,
    Err err),
   table, name, columnType, maxNumChars, numRows, err)
DT(int, ColumnClose, ColumnClose, (void *column, Err err), column, err)
DT(int, ColumnDataRead, ColumnDataRead,
   (void *column, int32_t first, int32_t count, Kgda_BaseData *data, Err err), column, first, count,
   data, err)
DT(int, InstanceColumnTypesGet, InstanceColumnTypesGet, (int32_t * count, const int32_t **types),
   count, types)

#ifndef DT_READ_ONLY
DT(void *, TableCreate, TableCreate, (int32_t numRows, Err err), numRows, err)
DT(int, TableDestroy, TableDestroy, (void *table, Err err), table, err)
DT(int, TableRowCountSet, TableRowCountSet, (void *table, int32_t numRows, Err err), table, numRows,
   err)
DT(int, TableBinFunctionWrite, BinFunctionWrite,
   (void *table, const Kdsc_BinFunction *binFunction, Err err), table, binFunction, err)
DT(void *, ColumnCreate, ColumnCreate,
   (void *table, const char *name, int32_t columnType, int32_t maxNumChars, Err err), table, name,
   columnType, maxNumChars, err)
DT(int, ColumnDataWrite, ColumnDataWrite,
   (void *column, int32_t first, int32_t count, const Kgda_BaseData *data, Err err), column, first,
   count, data, err)
#endif
