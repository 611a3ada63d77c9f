// GeoTIFF georeferencing of the TIFF plug-in: the GeoTIFF tags of a file
// turned into map information and projection parameters, and back.
#pragma once

#include <kraster/kprj.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tiffgeo {

// The GeoTIFF tags of an image (empty when absent).
struct Tags {
    std::vector<uint16_t> keys;                                // GeoKeyDirectory
    std::vector<double> tiepoints, scale, transform, doubles;  // doubles: GeoDoubleParams
    bool empty() const {
        return keys.empty() && tiepoints.empty() && scale.empty() && transform.empty() &&
               doubles.empty();
    }
};

// Outcome of reading: the record, none in the tags, or tags that say
// something the records cannot hold (`why` tells what).
enum class Read { Found, None, Unmapped };

// Map information of a width x height image.
Read mapInfo(const Tags &tags, uint32_t width, uint32_t height, Kprj_MapInfo **out,
             std::string &why);
Read projection(const Tags &tags, Kprj_ProParameters **out, std::string &why);

// Change the tags to hold the record; false (tags unchanged) with `why`.
bool setMapInfo(Tags &tags, const Kprj_MapInfo &mapInfo, std::string &why);
bool setProjection(Tags &tags, const Kprj_ProParameters &projection, std::string &why);

}  // namespace tiffgeo
