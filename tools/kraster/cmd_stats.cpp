// kraster stats: computes the statistics and histogram of every layer of an
// image (or of one), stores them with the layer when the file is writable
// and prints them with a summary of the histogram. A progress bar goes to a
// terminal's standard error unless -q is given.
#include <kraster/kraster.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tool.hpp"

namespace {

constexpr const char *kUsage =
    "usage: kraster stats [-q] FILE [--layer NAME] [--skip X,Y] [--exclude V,...]\n";

int fail(const std::string &what, Kerr_ErrorReport *err) {
    fprintf(stderr, "kraster stats: %s failed\n", what.c_str());
    if (err) {
        kerr_PrintErrorReport(err, 0, 0);
        kerr_DeleteErrorReport(err);
    }
    return 1;
}

// Numbers separated by commas; false when one does not parse.
bool numbers(const std::string &text, std::vector<double> &out) {
    out.clear();
    size_t at = 0;
    while (at <= text.size()) {
        const size_t end = std::min(text.find(',', at), text.size());
        const std::string part = text.substr(at, end - at);
        char *stop = nullptr;
        const double v = std::strtod(part.c_str(), &stop);
        if (part.empty() || *stop != '\0' || std::isnan(v)) return false;
        out.push_back(v);
        at = end + 1;
    }
    return !out.empty();
}

// The progress bar: one line redrawn in place.
int bar(double fraction, const char *task, void *shown) {
    const int width = 40, filled = static_cast<int>(fraction * width + 0.5);
    const int percent = static_cast<int>(fraction * 100 + 0.5);
    int &last = *static_cast<int *>(shown);
    if (percent == last) return 0;
    last = percent;
    fprintf(stderr, "\r%s [%.*s%*s] %3d%%", task, filled,
            "########################################", width - filled, "", percent);
    fflush(stderr);
    return 0;
}

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

int statsCommand(const std::vector<std::string> &args) {
    std::string file, layer;
    std::vector<double> skip, exclude;
    bool quiet = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "-q" || a == "--quiet") {
            quiet = true;
        } else if (a == "--layer" && hasValue) {
            layer = args[++i];
        } else if (a == "--skip" && hasValue) {
            if (!numbers(args[++i], skip) || skip.size() != 2 || skip[0] < 1 || skip[1] < 1 ||
                skip[0] != std::floor(skip[0]) || skip[1] != std::floor(skip[1])) {
                fprintf(stderr,
                        "kraster stats: --skip takes two whole numbers X,Y of at least 1\n");
                return 2;
            }
        } else if (a == "--exclude" && hasValue) {
            if (!numbers(args[++i], exclude)) {
                fprintf(stderr, "kraster stats: --exclude takes numbers V,...\n");
                return 2;
            }
        } else if (file.empty() && !a.empty() && a[0] != '-') {
            file = a;
        } else {
            fputs(kUsage, stderr);
            return 2;
        }
    }
    if (file.empty()) {
        fputs(kUsage, stderr);
        return 2;
    }
    Kerr_ErrorReport *err = nullptr;
    Kint_InitToolkitData *tk = kint_InitToolkit(&err);
    if (!tk) return fail("kint_InitToolkit", err);
    std::vector<std::string> names;
    if (!layer.empty()) {
        names.push_back(file + "(:" + layer + ")");
    } else {
        long count = 0;
        char **list = nullptr;
        if (kimg_LayerGetNames(file.c_str(), &count, &list, &err) != 0)
            return fail("kimg_LayerGetNames", err);
        for (long i = 0; i < count; ++i) {
            names.emplace_back(list[i]);
            kmsc_HeapFree(list[i]);
        }
        kmsc_HeapFree(list);
    }
    const bool showBar = !quiet && isatty(STDERR_FILENO);
    int rc = 0;
    for (const std::string &name : names) {
        Kimg_Layer *l = kimg_LayerOpen(name.c_str(), tk, &err, 0);
        if (!l) return fail("kimg_LayerOpen " + name, err);
        std::vector<intptr_t> options;
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
        int shown = -1;
        Kimg_Meter meter{bar, &shown};
        if (showBar)
            options.insert(options.end(),
                           {KIMG_LAYER_OPTION_METER, reinterpret_cast<intptr_t>(&meter)});
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
        if (showBar && shown >= 0) fprintf(stderr, "\n");
        if (!all) {
            kimg_LayerClose(l, nullptr);
            rc = fail("computing the statistics of " + name, err);
            err = nullptr;
            continue;
        }
        printf("%s\n", name.c_str());
        printStatistics(*all, sx, sy, writable);
        ksta_AllStatsDelete(all);
        if (kimg_LayerClose(l, &err) != 0) rc = fail("kimg_LayerClose", err), err = nullptr;
    }
    kimg_FileNameDequeue(file.c_str(), nullptr);
    return rc;
}

}  // namespace

tool::Registrar statsCommandReg("stats", "[-q] FILE [--layer NAME] [--skip X,Y] [--exclude V,...]",
                                "compute, store and print the statistics of every layer",
                                statsCommand);
