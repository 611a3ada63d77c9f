// Statistics inside the library: the package designs, the decoding of
// stored objects, the parameters record and the accumulation engine that the
// layer operations drive.
#pragma once

#include <kraster/kimg.h>
#include <kraster/ksta.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/report.hpp"
#include "image/ksta_package.hpp"

namespace kr::sta {

// The package with its designs built (inside the thread-unsafe section, once
// per process); null with a report under fn.
Ksta_Package *package(const char *fn, Report &e);
// The filepref preferences, read on first use and kept current.
Ksta_Preferences preferences();

// Decodes an object handed over as encoded bytes with its dictionary: it must
// be of a type described like one of `accepted` (its index in *which). Null
// with a report under fn otherwise. The object is laid out by that design.
void *decode(const unsigned char *data, long size, const char *dictionary, const char *type,
             const Kmif_Design *const *accepted, int acceptedCount, int *which, const char *fn,
             Report &e);

// Encodes an object of a design and stores it at nodePath of an open image
// file (or its support file).
bool writeObject(Kimg_File *file, const char *nodePath, const void *object,
                 const Kmif_Design *design, const char *fn, Report &e);

// Excluded values: distinct and sorted, at most kMaxExcluded of them.
constexpr long kMaxExcluded = 4096;
bool excludedFrom(const Kgda_BaseData *values, std::vector<double> &out, const char *fn, Report &e);
// A 1 x n f64 table of values (0 x 0 when empty).
Kgda_BaseData *excludedTable(const std::vector<double> &values, Report &e);

// True when a covariance matrix is square f64 with a symmetric finite
// content.
bool wellFormed(const Kgda_BaseData *m);

// Sets the area of interest of a layer's statistics from a numeric raster
// of the layer's size (non-zero inside), or drops it (null).
bool layerAoiSet(Kimg_Layer *layer, const Kgda_BaseData *mask, const char *fn, Report &e);

// The engine: accumulation of one raster (rows x columns elements of
// `type` starting at data, rows `pitch` bytes apart) sampled every stepX
// columns and stepY rows from its first pixel, leaving out pixels whose mask
// byte is 0 (mask: one byte per pixel, rows maskPitch apart) and the
// excluded values (sorted).
struct Raster {
    const unsigned char *data = nullptr;
    int32_t type = 0;
    long rows = 0, columns = 0, pitch = 0;
    long stepX = 1, stepY = 1;
    const unsigned char *mask = nullptr;
    long maskPitch = 0;
};
bool accumulate(Ksta_AllStats &a, const Raster &r, const std::vector<double> &excluded,
                const char *fn, Report &e);
// The values of one row as doubles (complex by magnitude), sampled as above;
// NaN where the pixel is left out.
void rowValues(const Raster &r, long row, const std::vector<double> &excluded, double *out);

}  // namespace kr::sta

// Parameters of a statistics computation.
struct Kimg_StatisticsParameters {
    std::vector<std::string> layerNames;
    std::vector<double> excluded;
    void *aoi = nullptr;
    std::string aoiName;
    long skipX = 1, skipY = 1;
    Kdsc_BinFunction *binFunction = nullptr;
    ~Kimg_StatisticsParameters() { kdsc_BinFunctionDelete(binFunction, nullptr); }
};

namespace kr::sta {
// Adds the covariance sums of rasters of one size (sampled alike) over the
// pixels no raster leaves out.
void covarianceAdd(Ksta_CovarianceSums *sums, const std::vector<Raster> &rasters,
                   const std::vector<double> &excluded);
}  // namespace kr::sta
