// What `kraster info` tells about an image beyond each layer's size, map
// information and statistics: the file's format and support files, and per
// layer its compression, null value, pyramid levels and table columns.
#pragma once

#include <kraster/kraster.h>

#include <string>
#include <vector>

namespace tool {

struct FileFacts {
    std::string format;                     // the format title
    std::vector<std::string> supportFiles;  // ".aux", ".rrd", ".chp" files beside it
    std::vector<std::string> compressions;  // the format's, by index
    std::vector<std::string> levels;        // pyramid layers of the file's layers
};

struct LayerExtras {
    std::string compression;
    bool hasNull = false;
    double nullValue = 0;
    struct Level {
        std::string name;
        long width, height;
    };
    std::vector<Level> levels;
    long tableRows = -1;               // -1: no table
    std::vector<std::string> columns;  // "name (type)"
};

// Facts of the file; the layer names of a file listing include pyramid
// levels, which `levels` collects so that the listing can leave them out.
FileFacts fileFacts(const std::string &file, const std::vector<std::string> &layers,
                    Kint_InitToolkitData *tk);
LayerExtras layerExtras(Kimg_Layer *layer, const Kimg_LayerInfo &info, const FileFacts &file,
                        Kint_InitToolkitData *tk);
void printFile(const std::string &file, const FileFacts &f);
void printExtras(const LayerExtras &x);
// JSON members (", \"name\": value" ...) of the file and of a layer.
std::string jsonFile(const FileFacts &f);
std::string jsonExtras(const LayerExtras &x);
// A JSON string literal, and a number in its shortest round-trip form.
std::string jsonQuote(const std::string &s);
std::string jsonNumber(double v);

}  // namespace tool
