// Entry tables of descriptor-table method sets.
#pragma once

#include <kraster/kdsc.h>

namespace kr::dsc {

// The entries of one method set, null where it has none.
struct MethodEntries {
#define KDSC_ENTRY_FIELD(name, type) type name = nullptr;
    KDSC_TABLE_ENTRY_POINTS(KDSC_ENTRY_FIELD)
#undef KDSC_ENTRY_FIELD
};

// Makes a set of the library's own known by name to kdsc_TableMethodsOpen.
void builtinMethodsAdd(const char *name, const MethodEntries &entries);

}  // namespace kr::dsc
