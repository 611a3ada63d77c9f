// Earth-model internals shared by the table, datum-shift and shift-grid
// units: finding data files, the shift-grid handle and the text tables.
#pragma once

#include <kraster/kprj.h>

#include <string>

#include "core/report.hpp"

namespace kr::prj {

// Largest table or grid file read.
constexpr size_t kMaxDataFileSize = size_t{1} << 30;

// The file `name` along ORVEL_PROJECTIONS_PATH, then in the data directory;
// a name holding "/" is a path taken as it is. Empty when none.
std::string findDataFile(const char *name);

// Reads a whole file; false with a report.
bool readFile(const std::string &path, std::string *text, const char *fn, Report &e);

// Radius of the sphere of equal area (a for a sphere).
double equalAreaRadius(double a, double es);

// Another reference to an open grid (the same handle), or null.
Kprj_Grid *gridRetain(Kprj_Grid *grid);

// The datum entry of that exact name under the named spheroid, or null.
const Kprj_DatumEntry *datumEntry(const char *spheroidName, const char *datumName, const char *fn,
                                  Report &e);

}  // namespace kr::prj
