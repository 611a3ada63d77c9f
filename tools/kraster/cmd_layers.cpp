// kraster pyramids: computes the pyramid layers of every layer of an image
// file (or of the layers named), with a progress bar on the standard error.
#include <kraster/kimg.h>
#include <kraster/kraster.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli.hpp"
#include "tool.hpp"

namespace {

constexpr const char *kUsageText =
    "FILE [LAYER ...] [--kernel 2x2|4x4|nearest] [--external] [-q|--progress]";

// The pyramid kernel of a --kernel choice.
const char *kernelOf(const std::string &name) {
    if (name == "2x2" || name == "2X2") return "2X2";
    if (name == "4x4" || name == "4X4") return "4X4";
    if (name == "nearest") return "NEAREST";
    return nullptr;
}

std::vector<std::string> layerNames(const tool::Args &a, Kerr_ErrorReport **err) {
    const std::vector<std::string> &p = a.positional();
    std::vector<std::string> layers;
    if (p.size() > 1) {
        for (size_t i = 1; i < p.size(); ++i) layers.push_back(p[0] + "(:" + p[i] + ")");
        return layers;
    }
    long count = 0;
    char **names = nullptr;
    if (kimg_LayerGetNames(p[0].c_str(), &count, &names, err) != 0) return layers;
    for (long i = 0; i < count; ++i) {
        layers.emplace_back(names[i]);
        kmsc_HeapFree(names[i]);
    }
    kmsc_HeapFree(names);
    return layers;
}

// Computes the levels of one layer and prints them; false with a report.
bool compute(const std::string &name, const char *kernel, bool external, tool::Progress &progress,
             Kint_InitToolkitData *tk, Kerr_ErrorReport **err) {
    intptr_t options[8];
    int k = 0;
    options[k++] = KIMG_LAYER_OPTION_METER;
    options[k++] = reinterpret_cast<intptr_t>(progress.meter());
    if (kernel) {
        options[k++] = KIMG_LAYER_OPTION_RRD_KERNEL;
        options[k++] = reinterpret_cast<intptr_t>(kernel);
    }
    if (external) {
        options[k++] = KIMG_LAYER_OPTION_RRD_EXTERNAL;
        options[k++] = 1;
    }
    options[k] = 0;
    Kimg_Layer *l = kimg_LayerOpenVAPtr(name.c_str(), tk, err, options);
    if (!l) return false;
    progress.relabel(name);
    long count = 0;
    char **levels = nullptr;
    bool ok =
        kimg_LayerRRDCompute(l, err) == 0 && kimg_SSLayerGetNames(l, &count, &levels, err) == 0;
    if (ok && count == 0) printf("%s: smaller than 64 x 64, no pyramid layers\n", name.c_str());
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
    if (kimg_LayerClose(l, ok ? err : nullptr) != 0) ok = false;
    return ok;
}

int pyramids(const std::vector<std::string> &argv) {
    const tool::Args a(argv, {"--kernel"}, {"--external"});
    if (!a.ok()) return tool::usageError("pyramids", kUsageText, a.error());
    if (a.positional().empty()) return tool::usageError("pyramids", kUsageText, "no file named");
    const char *kernel = nullptr;
    if (a.has("--kernel") && !(kernel = kernelOf(a.value("--kernel"))))
        return tool::usageError("pyramids", kUsageText, "--kernel is 2x2, 4x4 or nearest");
    const std::string &file = a.positional()[0];
    Kerr_ErrorReport *err = nullptr;
    Kint_InitToolkitData *tk = kint_InitToolkit(&err);
    if (!tk) return tool::failed("pyramids", "kint_InitToolkit", err);
    const std::vector<std::string> layers = layerNames(a, &err);
    if (layers.empty()) return tool::failed("pyramids", "listing the layers of " + file, err);
    int rc = tool::kOk;
    {
        tool::Progress progress(file, a);
        for (const std::string &name : layers)
            if (!compute(name, kernel, a.has("--external"), progress, tk, &err)) {
                rc = tool::failed("pyramids", "computing the pyramid layers of " + name, err);
                break;
            }
    }
    // Closes what the close queue still holds open.
    if (kimg_FileNameDequeue(file.c_str(), &err) != 0 && rc == tool::kOk)
        rc = tool::failed("pyramids", "closing " + file, err);
    return rc;
}

tool::Registrar command("pyramids", kUsageText, "compute the pyramid layers of an image's layers",
                        pyramids);

}  // namespace
