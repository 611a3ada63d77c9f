// Projection package internals shared by the record, storage, design and
// library-file units: the package state, record adoption after decoding, the
// query lists of the projection table and the earth-model lookups.
#pragma once

#include <kraster/kmsc.h>
#include <kraster/kprj.h>

#include <string>
#include <vector>

#include "core/report.hpp"

namespace kr::prj {

// The package designs (all inside the package dictionary).
struct Designs {
    Kmif_Dictionary *dictionary = nullptr;
    Kmif_Design *coordinate = nullptr;
    Kmif_Design *size = nullptr;
    Kmif_Design *mapInfo = nullptr;
    Kmif_Design *spheroid = nullptr;
    Kmif_Design *proParameters = nullptr;
    Kmif_Design *datum = nullptr;
    Kmif_Design *projectionObject830 = nullptr;
    Kmif_Design *earthModel830 = nullptr;
    Kmif_Design *mapProjection830 = nullptr;
};

// The package designs, built on first use ("Toolkit has not been
// initialized" when the toolkit is not). Null with a report.
const Designs *designs(const char *fn, Report &e);

// Record allocation on the library heap (zero-filled).
template <class T>
T *allocate() {
    return static_cast<T *>(kmsc_HeapMalloc(sizeof(T)));
}

// Turns a spheroid or datum decoded with its design (whose host record is
// shorter than the C record: the in-memory fields are not stored) into a
// full record. The decoded shell is freed; null when memory runs out.
Kprj_Spheroid *adoptSpheroid(void *decoded, const Designs &d);
Kprj_Datum *adoptDatum(void *decoded, const Designs &d);

// Decodes an encoded object with the package design `ours` after checking
// that the given dictionary describes type the same way ("Don't know how to
// convert from %s" otherwise). The object is laid out by `ours`; null with a
// report.
void *decodeAs(const Kmif_Design *ours, const unsigned char *data, int64_t size,
               const char *dictionary, const char *type, const char *fn, Report &e);

// The datum a projection gets when none is stored: by the first parameter
// for State Plane, else "Undefined". False with a report.
bool datumWhenMissing(Kprj_ProParameters *p, const char *fn, Report &e);

// The datum as stored: what its type does not use left out (a shallow copy
// that shares the rest with `datum`).
Kprj_Datum datumAsStored(const Kprj_Datum &datum);

// Frees a datum's contents (closing an open grid) and resets it to
// "Undefined" of type KPRJ_DATUM_NONE.
bool datumReset(Kprj_Datum *datum);

// One entry of a projection's query list, which names the parameters the
// projection asks for. The kinds carry the query table's codes. A condition
// entry selects the branch whose value matches the parameter.
enum class QueryKind {
    Spheroid = 0,
    SpheroidByName = 1,
    UtmZone = 2,
    SpZone = 3,
    Number = 4,
    Angle = 5,
    Distance = 6,
    NadCode = 7,
    Condition = 8,
    Integer = 9
};
struct QueryEntry {
    QueryKind kind = QueryKind::Number;
    int index = -1;      // index into proParams (-1 for spheroid and zone entries)
    std::string prompt;  // text shown when asking
    std::string unit;    // angles: "dd" or "radians"; distances: "feet" or "meters"
    struct Branch {
        double value;
        std::string label;
        std::vector<QueryEntry> entries;
    };
    std::vector<Branch> branches;  // condition entries only
};
// The query list of a projection by name (ignoring case) in the package's
// projection table, or null when the table has none.
const std::vector<QueryEntry> *queryList(const char *projectionName);

// Earth-model lookups by name in the spheroid table, for the State Plane
// datum rule and projection library files. False with a report.
bool spheroidByName(const char *name, Kprj_Spheroid *spheroid, const char *fn, Report &e);
bool datumByName(const char *spheroidName, const char *datumName, Kprj_Datum *datum, const char *fn,
                 Report &e);

// Decoded proName rule and the units rule of the readers.
void nameRule(Kprj_MapInfo *mapInfo, bool unitsRule);

}  // namespace kr::prj
