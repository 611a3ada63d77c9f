// Helpers shared by the unit conversion files.
#pragma once

#include <kraster/kcvt.h>

#include "core/report.hpp"

namespace kr::cvt {

// The linear map v * scale + shift from in to out. Units of two different
// determined kinds print "Units are not of same type" and give scale 1 and
// shift 0. False with a report for a missing or malformed unit.
bool scaleAndShift(const Kcvt_Unit *in, const Kcvt_Unit *out, double *scale, double *shift,
                   const char *fn, kr::Report &e);

// True when a unit of that name is in the list.
bool isDuplicate(const Kcvt_Unit *list, const char *name);
// Raises the report of kcvt_UnitAddToList for a name already present.
void duplicateError(kr::Report &e);

}  // namespace kr::cvt
