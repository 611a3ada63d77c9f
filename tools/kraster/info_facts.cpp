// The file and layer facts of `kraster info` (see info_facts.hpp).
#include "info_facts.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace tool {
namespace {

std::vector<std::string> strings(long count, char **names) {
    std::vector<std::string> v;
    for (long i = 0; i < count; ++i) {
        v.emplace_back(names[i] ? names[i] : "");
        kmsc_HeapFree(names[i]);
    }
    kmsc_HeapFree(names);
    return v;
}

std::string baseName(const std::string &path) {
    return path.substr(path.find_last_of('/') + 1);
}

}  // namespace

std::string jsonQuote(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char b[8];
            snprintf(b, sizeof b, "\\u%04x", c);
            out += b;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string jsonNumber(double v) {
    if (!std::isfinite(v)) return "null";
    char b[40];
    const auto r = std::to_chars(b, b + sizeof b, v);
    return std::string(b, r.ptr);
}

FileFacts fileFacts(const std::string &file, const std::vector<std::string> &layers,
                    Kint_InitToolkitData *tk) {
    FileFacts f;
    if (char *title = kimg_FileTitleIdentify(file.c_str(), nullptr)) {
        f.format = title;
        kmsc_HeapFree(title);
    }
    const size_t dot = file.find_last_of('.');
    const std::string stem =
        dot == std::string::npos || dot < file.find_last_of('/') + 1 ? file : file.substr(0, dot);
    for (const char *ext : {".aux", ".rrd", ".chp"}) {
        const std::string s = stem + ext;
        if (s != file && kfio_FileNameExistAsFileOrDir(s.c_str(), nullptr) > 0)
            f.supportFiles.push_back(s);
    }
    long count = 0;
    char **names = nullptr;
    if (kimg_FileCompressionTypesGet(file.c_str(), &count, &names, nullptr) == 0)
        f.compressions = strings(count, names);
    for (const std::string &name : layers) {
        Kimg_Layer *l = kimg_LayerOpen(name.c_str(), tk, nullptr, KIMG_LAYER_OPTION_READONLY, 0);
        if (l && kimg_SSLayerGetNames(l, &count, &names, nullptr) == 0)
            for (const std::string &level : strings(count, names)) f.levels.push_back(level);
        kimg_LayerClose(l, nullptr);
    }
    return f;
}

LayerExtras layerExtras(Kimg_Layer *layer, const Kimg_LayerInfo &info, const FileFacts &file,
                        Kint_InitToolkitData *tk) {
    LayerExtras x;
    if (info.compression >= 0 && static_cast<size_t>(info.compression) < file.compressions.size())
        x.compression = file.compressions[static_cast<size_t>(info.compression)];
    if (Kgda_BaseData *null = kimg_LayerRasterNullValueRead(layer, nullptr)) {
        x.hasNull = kimg_LayerRasterNullValueGetS(layer, &x.nullValue, nullptr) == 0;
        kgda_BaseDataDelete(null, nullptr);
    }
    long count = 0;
    char **names = nullptr;
    if (kimg_SSLayerGetNames(layer, &count, &names, nullptr) == 0)
        for (const std::string &level : strings(count, names)) {
            Kimg_Layer *l =
                kimg_LayerOpen(level.c_str(), tk, nullptr, KIMG_LAYER_OPTION_READONLY, 0);
            Kimg_LayerInfo li{};
            if (l && kimg_LayerInfoGet(l, &li, nullptr) == 0)
                x.levels.push_back({level, li.width, li.height});
            kimg_LayerClose(l, nullptr);
        }
    Kerr_ErrorReport *none = nullptr;
    if (Kdsc_Table *t = kimg_TableOpen(layer, nullptr, &none)) {
        int32_t rows = 0;
        if (kdsc_TableRowCountGet(t, &rows, nullptr) == 0) x.tableRows = rows;
        if (Kstr_StringList *columns = kdsc_TableListColumns(t, nullptr)) {
            for (int32_t i = 0; i < columns->count; ++i) {
                std::string c = columns->strings[i];
                Kdsc_Column *col = kdsc_ColumnOpen(t, columns->strings[i], nullptr);
                int32_t type = -1, width = 0, dataType = 0;
                if (col && kdsc_ColumnInfoGet(col, &type, &width, &dataType, nullptr) == 0)
                    c += std::string(" (") + kdsc_ColumnTypeName(type) + ")";
                kdsc_ColumnClose(col, nullptr);
                x.columns.push_back(c);
            }
            kstr_StringListFree(columns);
        }
        kdsc_TableClose(t, nullptr);
    }
    kerr_DeleteErrorReport(none);
    return x;
}

void printFile(const std::string &file, const FileFacts &f) {
    printf("%s: %s", file.c_str(), f.format.empty() ? "unknown format" : f.format.c_str());
    if (!f.supportFiles.empty()) {
        printf(", support files");
        for (const std::string &s : f.supportFiles) printf(" %s", baseName(s).c_str());
    }
    printf("\n");
}

void printExtras(const LayerExtras &x) {
    if (!x.compression.empty()) printf("  compression: %s\n", x.compression.c_str());
    if (x.hasNull) printf("  null value: %s\n", jsonNumber(x.nullValue).c_str());
    if (!x.levels.empty()) {
        printf("  pyramid levels:");
        for (size_t i = 0; i < x.levels.size(); ++i)
            printf("%s %ld x %ld", i ? "," : "", x.levels[i].width, x.levels[i].height);
        printf("\n");
    }
    if (x.tableRows >= 0) {
        printf("  table: %ld rows", x.tableRows);
        for (size_t i = 0; i < x.columns.size(); ++i)
            printf("%s%s", i ? ", " : "; columns ", x.columns[i].c_str());
        printf("\n");
    }
}

std::string jsonFile(const FileFacts &f) {
    std::string o = ", \"format\": " + jsonQuote(f.format) + ", \"supportFiles\": [";
    for (size_t i = 0; i < f.supportFiles.size(); ++i)
        o += (i ? ", " : "") + jsonQuote(f.supportFiles[i]);
    return o + "]";
}

std::string jsonExtras(const LayerExtras &x) {
    std::string o = ", \"compression\": " + jsonQuote(x.compression) +
                    ", \"nullValue\": " + (x.hasNull ? jsonNumber(x.nullValue) : "null") +
                    ", \"pyramidLevels\": [";
    for (size_t i = 0; i < x.levels.size(); ++i)
        o += std::string(i ? ", " : "") + "{\"name\": " + jsonQuote(x.levels[i].name) +
             ", \"width\": " + std::to_string(x.levels[i].width) +
             ", \"height\": " + std::to_string(x.levels[i].height) + "}";
    o += "], \"table\": ";
    if (x.tableRows < 0) return o + "null";
    o += "{\"rows\": " + std::to_string(x.tableRows) + ", \"columns\": [";
    for (size_t i = 0; i < x.columns.size(); ++i) o += (i ? ", " : "") + jsonQuote(x.columns[i]);
    return o + "]}";
}

}  // namespace tool
