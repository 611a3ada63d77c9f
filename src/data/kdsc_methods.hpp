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

// The layer method set "kimg_DSC" (image module).
const MethodEntries &layerMethods();

// Marks a table as belonging to a read-only layer: its columns cannot be
// removed.
void tableReadOnlySet(Kdsc_Table *table, bool readOnly);

}  // namespace kr::dsc
