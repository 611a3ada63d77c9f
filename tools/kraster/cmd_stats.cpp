// kraster stats: computes the statistics and histogram of every layer of an
// image (or of one), stores them with the layer when the file is writable
// and prints them with a summary of the histogram, with the progress bar of
// the image subcommands.
#include <kraster/kraster.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli.hpp"
#include "tool.hpp"

namespace {

constexpr const char *kUsage = "FILE [--layer NAME] [--skip X,Y] [--exclude V,...] [-q|--progress]";

void printStatistics(const Ksta_AllStats &a, long skipX, long skipY, bool stored) {
    const Ksta_Statistics &s = a.statistics;
    printf("  pixels: %.0f (skip %ld x %ld)\n", a.pixelCount, skipX, skipY);
    printf("  minimum %.10g, maximum %.10g, mean %.10g, median %.10g, mode %.10g, stddev %.10g\n",
           s.minimum, s.maximum, s.mean, s.median, s.mode, s.stddev);
    if (const Ksta_Histogram *h = a.histogram) {
        int32_t peak = 0, used = 0;
        double total = 0;
        for (int32_t i = 0; i < h->binCount; ++i) {
            total += h->counts[i];
            used += h->counts[i] > 0;
            if (h->counts[i] > h->counts[peak]) peak = i;
        }
        double lower = 0;
        kdsc_BinFunctionApplyInverse(h->binFunction, peak, &lower, nullptr, nullptr);
        printf(
            "  histogram: \"%s\", %d bins (%d used), %.0f counted, largest bin %d (from %.10g) "
            "with %.0f\n",
            kdsc_BinFunctionTitle(h->binFunction), h->binCount, used, total, peak, lower,
            h->counts[peak]);
    } else {
        printf("  histogram: none (too many distinct values)\n");
    }
    printf("  stored: %s\n", stored ? "yes" : "no (read-only)");
}

int statsCommand(const std::vector<std::string> &argv) {
    const tool::Args a(argv, {"--layer", "--skip", "--exclude"}, {});
    if (!a.ok()) return tool::usageError("stats", kUsage, a.error());
    if (a.positional().size() != 1)
        return tool::usageError("stats", kUsage, "one file name is needed");
    const std::string file = a.positional()[0], layer = a.value("--layer");
    std::vector<double> skip, exclude;
    if (a.has("--skip") &&
        (!tool::parseNumbers(a.value("--skip"), &skip) || skip.size() != 2 || skip[0] < 1 ||
         skip[1] < 1 || skip[0] != std::floor(skip[0]) || skip[1] != std::floor(skip[1])))
        return tool::usageError("stats", kUsage,
                                "--skip takes two whole numbers X,Y of at least 1");
    if (a.has("--exclude") && !tool::parseNumbers(a.value("--exclude"), &exclude))
        return tool::usageError("stats", kUsage, "--exclude takes numbers V,...");
    Kerr_ErrorReport *err = nullptr;
    Kint_InitToolkitData *tk = kint_InitToolkit(&err);
    if (!tk) return tool::failed("stats", "kint_InitToolkit", err);
    std::vector<std::string> names;
    if (!layer.empty()) {
        names.push_back(file + "(:" + layer + ")");
    } else {
        long count = 0;
        char **list = nullptr;
        if (kimg_LayerGetNames(file.c_str(), &count, &list, &err) != 0)
            return tool::failed("stats", "kimg_LayerGetNames", err);
        for (long i = 0; i < count; ++i) {
            names.emplace_back(list[i]);
            kmsc_HeapFree(list[i]);
        }
        kmsc_HeapFree(list);
    }
    int rc = tool::kOk;
    for (const std::string &name : names) {
        Kimg_Layer *l = kimg_LayerOpen(name.c_str(), tk, &err, 0);
        if (!l) return tool::failed("stats", "kimg_LayerOpen " + name, err);
        tool::Progress progress("Computing statistics", a);
        std::vector<intptr_t> options = {KIMG_LAYER_OPTION_METER,
                                         reinterpret_cast<intptr_t>(progress.meter())};
        Kgda_BaseData *values = nullptr;
        if (!skip.empty())
            options.insert(options.end(),
                           {KIMG_LAYER_OPTION_SKIP_FACTORS, intptr_t(skip[0]), intptr_t(skip[1])});
        if (!exclude.empty()) {
            values = kgda_BaseDataCreate(1, int32_t(exclude.size()), KGDA_TYPE_F64,
                                         KGDA_TABLE_OBJECT, exclude.data(), nullptr);
            options.insert(options.end(),
                           {KIMG_LAYER_OPTION_EXCLUDED_VALUES, reinterpret_cast<intptr_t>(values)});
        }
        options.push_back(0);
        int status = kimg_LayerChangeOptionsVAPtr(l, &err, options.data());
        kgda_BaseDataDelete(values, nullptr);
        long sx = 1, sy = 1;
        if (status == 0) status = kimg_LayerDetermineStatisticsSkip(l, &sx, &sy, &err);
        const bool writable = !kimg_LayerReadOnlyQuery(l);
        Ksta_AllStats *all = status == 0 ? ksta_AllStatsCreate(nullptr, 0, &err) : nullptr;
        if (all && kimg_LayerComputeStatistics(l, all, &err) != 0) {
            ksta_AllStatsDelete(all);
            all = nullptr;
        }
        progress.relabel("");
        if (!all) {
            kimg_LayerClose(l, nullptr);
            rc = tool::failed("stats", "computing the statistics of " + name, err);
            err = nullptr;
            continue;
        }
        printf("%s\n", name.c_str());
        printStatistics(*all, sx, sy, writable);
        ksta_AllStatsDelete(all);
        if (kimg_LayerClose(l, &err) != 0)
            rc = tool::failed("stats", "kimg_LayerClose", err), err = nullptr;
    }
    kimg_FileNameDequeue(file.c_str(), nullptr);
    return rc;
}

}  // namespace

tool::Registrar statsCommandReg("stats", kUsage,
                                "compute, store and print the statistics of every layer",
                                statsCommand);
