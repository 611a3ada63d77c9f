// A descriptor-table method set of the tests: tables kept in HFA files by
// forwarding the entries the tests use to the built-in set's functions, so
// that what a plug-in stored can be checked through the built-in set. Built
// with DT_READ_ONLY it has only the entries that read (no creation, row-count
// change, destruction or column writes).
#include <kraster/kdsc.h>

#define DT extern "C" __attribute__((visibility("default")))

DT void *TableOpen(int32_t *numRows, Kerr_ErrorReport **err) {
    return kdsc_HFATableOpen(numRows, err);
}
DT int TableClose(void *table, Kerr_ErrorReport **err) {
    return kdsc_HFATableClose(table, err);
}
DT Kdsc_BinFunction *TableBinFunctionRead(void *table, Kerr_ErrorReport **err) {
    return kdsc_HFABinFunctionRead(table, err);
}
DT void *ColumnOpen(void *table, const char *name, int32_t *columnType, int32_t *maxNumChars,
                    int32_t *numRows, Kerr_ErrorReport **err) {
    return kdsc_HFAColumnOpen(table, name, columnType, maxNumChars, numRows, err);
}
DT int ColumnClose(void *column, Kerr_ErrorReport **err) {
    return kdsc_HFAColumnClose(column, err);
}
DT int ColumnDataRead(void *column, int32_t first, int32_t count, Kgda_BaseData *data,
                      Kerr_ErrorReport **err) {
    return kdsc_HFAColumnDataRead(column, first, count, data, err);
}
DT int InstanceColumnTypesGet(int32_t *count, const int32_t **types) {
    return kdsc_HFAInstanceColumnTypesGet(count, types);
}

#ifndef DT_READ_ONLY
DT void *TableCreate(int32_t numRows, Kerr_ErrorReport **err) {
    return kdsc_HFATableCreate(numRows, err);
}
DT int TableDestroy(void *table, Kerr_ErrorReport **err) {
    return kdsc_HFATableDestroy(table, err);
}
DT int TableRowCountSet(void *table, int32_t numRows, Kerr_ErrorReport **err) {
    return kdsc_HFATableRowCountSet(table, numRows, err);
}
DT int TableBinFunctionWrite(void *table, const Kdsc_BinFunction *binFunction,
                             Kerr_ErrorReport **err) {
    return kdsc_HFABinFunctionWrite(table, binFunction, err);
}
DT void *ColumnCreate(void *table, const char *name, int32_t columnType, int32_t maxNumChars,
                      Kerr_ErrorReport **err) {
    return kdsc_HFAColumnCreate(table, name, columnType, maxNumChars, err);
}
DT int ColumnDataWrite(void *column, int32_t first, int32_t count, const Kgda_BaseData *data,
                       Kerr_ErrorReport **err) {
    return kdsc_HFAColumnDataWrite(column, first, count, data, err);
}
#endif
