// Raster format plug-ins: `kraster formats` lists every usable plug-in with
// its titles, templates, pixel types, compressions and whether it needs a
// support file; `kraster identify FILE...` names the format of files.
#include <kraster/kraster.h>

#include <cstdio>
#include <string>

#include "tool.hpp"

namespace {

int report(Kerr_ErrorReport *err) {
    kerr_PrintErrorReport(err, 0, 0);
    kerr_DeleteErrorReport(err);
    return 1;
}

std::string joined(long count, char **names) {
    std::string s;
    for (long i = 0; i < count; ++i) s += (i ? " " : "") + std::string(names[i]);
    return s;
}

int formats(const std::vector<std::string> &) {
    Kerr_ErrorReport *err = nullptr;
    if (!kint_InitToolkit(&err)) return report(err);
    long count = 0;
    Kimg_RFDescription *d = nullptr;
    if (kimg_RasterFormatsDescribe(&count, &d, &err) != 0) return report(err);
    long usable = 0;
    for (long k = 0; k < count; ++k) usable += !d[k].rejected;
    printf("%ld raster format plug-in%s\n", usable, usable == 1 ? "" : "s");
    for (long k = 0; k < count; ++k) {
        if (d[k].rejected) {
            printf("%s (%s): rejected: %s\n", d[k].instanceName, d[k].path, d[k].rejectReason);
            continue;
        }
        printf("%s (%s)%s\n", d[k].instanceName, d[k].path, d[k].threadSafe ? ", thread-safe" : "");
        for (long t = 0; t < d[k].titleCount; ++t)
            printf("  title \"%s\": template %s%s%s\n", d[k].titles[t], d[k].templates[t],
                   d[k].pseudo[t] ? " (pseudo)" : "", d[k].creatable[t] ? ", creatable" : "");
        printf("  pixel types: %s\n", joined(d[k].pixelTypeCount, d[k].pixelTypes).c_str());
        printf("  compressions: %s\n", joined(d[k].compressionCount, d[k].compressions).c_str());
        printf("  layer types: %s\n", joined(d[k].layerTypeCount, d[k].layerTypes).c_str());
        printf("  needs support file: %s\n", d[k].needsSupportFile ? "yes" : "no");
    }
    kimg_RasterFormatsDescriptionFree(count, d);
    return 0;
}

int identify(const std::vector<std::string> &args) {
    Kerr_ErrorReport *err = nullptr;
    if (!kint_InitToolkit(&err)) return report(err);
    int rc = 0;
    for (const std::string &name : args) {
        char *instance = nullptr;
        char *title = kimg_FileTitleIdentifyX(name.c_str(), &instance, nullptr, nullptr, &err);
        if (!title) {
            rc = report(err);
            err = nullptr;
            continue;
        }
        printf("%s: %s (plug-in %s)\n", name.c_str(), title, instance);
        kmsc_HeapFree(title);
        kmsc_HeapFree(instance);
    }
    return rc;
}

tool::Registrar formatsCommand("formats", "", "list the raster format plug-ins and what they offer",
                               formats);
tool::Registrar identifyCommand("identify", "FILE...", "name the raster format of files", identify);

}  // namespace
