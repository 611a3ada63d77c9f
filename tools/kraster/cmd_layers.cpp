// kraster pyramids: computes the pyramid layers of every layer of an image
// file (or of the layers named), with a progress bar on the standard error.
#include <kraster/kimg.h>
#include <kraster/kraster.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tool.hpp"

namespace {

struct Bar {
    std::string layer;
    int shown = -1;
};

int progress(double fraction, const char *task, void *client) {
    auto *bar = static_cast<Bar *>(client);
    int percent = static_cast<int>(fraction * 100.0 + 0.5);
    if (percent == bar->shown) return 0;
    bar->shown = percent;
    const int width = 40;
    int filled = percent * width / 100;
    fprintf(stderr, "\r%s: %s [%s%s] %3d%%", bar->layer.c_str(), task,
            std::string(static_cast<size_t>(filled), '#').c_str(),
            std::string(static_cast<size_t>(width - filled), '.').c_str(), percent);
    if (percent >= 100) fputc('\n', stderr);
    fflush(stderr);
    return 0;
}

int fail(const char *what, Kerr_ErrorReport *err) {
    fprintf(stderr, "kraster pyramids: %s failed\n", what);
    if (err) {
        kerr_PrintErrorReport(err, 0, 0);
        kerr_DeleteErrorReport(err);
    }
    return 1;
}

int pyramids(const std::vector<std::string> &args) {
    if (args.empty()) {
        fprintf(stderr, "usage: kraster pyramids FILE [LAYER ...]\n");
        return 2;
    }
    Kerr_ErrorReport *err = nullptr;
    Kint_InitToolkitData *tk = kint_InitToolkit(&err);
    if (!tk) return fail("kint_InitToolkit", err);
    std::vector<std::string> layers;
    if (args.size() > 1) {
        for (size_t i = 1; i < args.size(); ++i) layers.push_back(args[0] + "(:" + args[i] + ")");
    } else {
        long count = 0;
        char **names = nullptr;
        if (kimg_LayerGetNames(args[0].c_str(), &count, &names, &err) != 0)
            return fail("kimg_LayerGetNames", err);
        for (long i = 0; i < count; ++i) {
            layers.emplace_back(names[i]);
            kmsc_HeapFree(names[i]);
        }
        kmsc_HeapFree(names);
    }
    for (const std::string &name : layers) {
        Bar bar{name};
        Kimg_Meter meter{progress, &bar};
        Kimg_Layer *l = kimg_LayerOpen(name.c_str(), tk, &err, KIMG_LAYER_OPTION_METER, &meter, 0);
        if (!l) return fail("kimg_LayerOpen", err);
        int rc = kimg_LayerRRDCompute(l, &err);
        long count = 0;
        char **levels = nullptr;
        if (rc == 0 && kimg_SSLayerGetNames(l, &count, &levels, &err) != 0) rc = -1;
        if (rc != 0) {
            kimg_LayerClose(l, nullptr);
            return fail("kimg_LayerRRDCompute", err);
        }
        if (count == 0) printf("%s: smaller than 64 x 64, no pyramid layers\n", name.c_str());
        for (long i = 0; i < count; ++i) {
            Kimg_Layer *lv = kimg_LayerOpen(levels[i], tk, nullptr, KIMG_LAYER_OPTION_READONLY, 0);
            Kimg_LayerInfo info{};
            if (lv && kimg_LayerInfoGet(lv, &info, nullptr) == 0)
                printf("%s: level %ld %s %ld x %ld\n", name.c_str(), i + 1, levels[i], info.width,
                       info.height);
            kimg_LayerClose(lv, nullptr);
            kmsc_HeapFree(levels[i]);
        }
        kmsc_HeapFree(levels);
        if (kimg_LayerClose(l, &err) != 0) return fail("kimg_LayerClose", err);
    }
    // Closes what the close queue still holds open.
    if (kimg_FileNameDequeue(args[0].c_str(), &err) != 0) return fail("kimg_FileNameDequeue", err);
    return 0;
}

tool::Registrar command("pyramids", "FILE [LAYER ...]",
                        "compute the pyramid layers of an image's layers", pyramids);

}  // namespace
