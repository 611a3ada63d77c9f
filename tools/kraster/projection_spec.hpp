// Projections named on the command line: a name of the projection query
// table (or a unique beginning of one, ignoring case) with optional
// settings after semicolons:
//   "UTM;zone=18;south;spheroid=GRS 1980;datum=NAD83"
//   "Geographic;spheroid=WGS 84;datum=WGS 84"
// pN=V sets parameter N in the unit the query table gives for it (angles in
// decimal degrees); "north" and "south" set the hemisphere parameter of UTM
// (parameter 3 to 1 or -1).
#pragma once

#include <kraster/kraster.h>

#include <string>

namespace tool {

// A new record, or NULL with *why (and the report in *err when there is one).
Kprj_ProParameters *projectionFromSpec(Kint_InitToolkitData *toolkit, const std::string &spec,
                                       std::string *why, Kerr_ErrorReport **err);

// Map units people use with a projection: "degrees" for geographic systems,
// "meters" otherwise.
const char *defaultMapUnits(const Kprj_ProParameters *p);

}  // namespace tool
