// Bin functions and descriptor tables inside the library: the in-memory bin
// function, plug-in kinds, and the stored designs.
#pragma once

#include <kraster/kdsc.h>

#include <string>
#include <vector>

#include "core/report.hpp"

// Plug-in kinds carry this type number (no stored enumeration).
#define KDSC_BIN_FUNCTION_PLUGIN 5

namespace kr::dsc {

// A kind served by a "BinFunctions" plug-in.
struct PluginKind {
    std::string title;
    std::string name;
    void *library = nullptr;
    Kdsc_BFCreateFunc create = nullptr;
    Kdsc_BFDestroyFunc destroy = nullptr;
    Kdsc_BFCopyFunc copy = nullptr;
    Kdsc_BFIsSameFunc isSame = nullptr;
    Kdsc_BFBinCountFunc binCount = nullptr;
    Kdsc_BFApplyFunc apply = nullptr;
    Kdsc_BFApplyInverseFunc applyInverse = nullptr;
    Kdsc_BFBCSyncOldFunc syncOld = nullptr;
    Kdsc_BFConvertToMIFFunc toMIF = nullptr;
    Kdsc_BFConvertFromMIFFunc fromMIF = nullptr;
};

// The plug-in kind of a title, loading the class on first use; null when
// no plug-in has it.
const PluginKind *pluginKind(const char *title);

// Lower value of bin (a whole number in 0 ... binCount-1); false otherwise.
bool binLower(const Kdsc_BinFunction *binFunction, double bin, double *lower);

// Titles of the built-in kinds by type number (0 ... 4).
const char *builtinTitle(int32_t kind);

// A design of this process's designs is used to read a stored record only
// when the file's design of that name has the same items (names, types,
// counts, pointer kinds, nested designs).
bool sameDesign(const Kmif_Design *a, const Kmif_Design *b);

// A zero-filled record of a shared design. Unlike kmif_ObjectAllocate it
// leaves the design alone, so that threads may share the library's designs.
void *objectAllocate(const Kmif_Design *design, kr::Report &e);

// Wraps an existing kind's data into a bin function with a fresh window.
Kdsc_BinFunction *wrapPlugin(const PluginKind *kind, void *data, const char *fn, kr::Report &e);

}  // namespace kr::dsc

struct Kdsc_BinFunction {
    int32_t kind = KDSC_BIN_FUNCTION_DIRECT;
    int32_t numBins = 0;   // the kind's own bins
    int32_t startBin = 0;  // first of them that is used
    int32_t binCount = 0;  // bins used
    double offset = 0, min = 0, max = 0, upper = 0;
    std::vector<double> list;                     // explicit limits or unique values, ascending
    const kr::dsc::PluginKind *plugin = nullptr;  // plug-in kinds
    void *data = nullptr;                         // the plug-in kind's data

    Kdsc_BinFunction() = default;
    Kdsc_BinFunction(const Kdsc_BinFunction &) = delete;
    Kdsc_BinFunction &operator=(const Kdsc_BinFunction &) = delete;
    ~Kdsc_BinFunction() {
        if (plugin && data) plugin->destroy(data);
    }
};
