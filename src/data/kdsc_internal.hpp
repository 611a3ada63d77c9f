// Bin-function services used inside the library.
#pragma once

#include <kraster/kdsc.h>

namespace kr::dsc {

// Lower value of bin (a whole number in 0 ... binCount-1); false otherwise.
bool binLower(const Kdsc_BinFunction *binFunction, double bin, double *lower);

}  // namespace kr::dsc
