// A bin-function plug-in of the tests: the kind "Test Step" puts v into bin
// floor(v / width) of numBins bins. Built with BF_NO_CREATE it cannot
// create bin functions ("Test Uncreatable"); with BF_SYNC ("Test Synced
// Step") it also has the old stored form (as a linear bin function over
// [0, numBins x width]).
#include <kraster/kdsc.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>

#include <cmath>
#include <cstring>

#define BF extern "C" __attribute__((visibility("default")))

namespace {

struct Step {
    int32_t numBins;
    double width;
};

const char kDict[] = "{1:lnumBins,1:dwidth,}Test_Step,.";

}  // namespace

BF const char *BinFunctionTitleGet(void) {
#if defined(BF_NO_CREATE)
    return "Test Uncreatable";
#elif defined(BF_SYNC)
    return "Test Synced Step";
#else
    return "Test Step";
#endif
}

#ifndef BF_NO_CREATE
BF void *BinFunctionCreate(int32_t numBins, double min, double, const Kgda_BaseData *,
                           Kerr_ErrorReport **err) {
    if (numBins < 1 || !(min > 0)) {
        *err = kerr_CreateErrorReport("BinFunctionCreate", 1, 2, *err, "Bad step");
        return nullptr;
    }
    auto *s = static_cast<Step *>(kmsc_HeapMalloc(sizeof(Step)));
    if (s) *s = {numBins, min};
    return s;
}
#endif

BF void BinFunctionDestroy(void *data) {
    kmsc_HeapFree(data);
}

BF void *BinFunctionCopy(const void *data, Kerr_ErrorReport **) {
    auto *s = static_cast<Step *>(kmsc_HeapMalloc(sizeof(Step)));
    if (s) *s = *static_cast<const Step *>(data);
    return s;
}

BF int BinFunctionIsSame(const void *a, const void *b) {
    return std::memcmp(a, b, sizeof(Step)) == 0;
}

BF int32_t BinFunctionBinCount(const void *data) {
    return static_cast<const Step *>(data)->numBins;
}

BF int32_t BinFunctionApply(const void *data, double v) {
    const Step *s = static_cast<const Step *>(data);
    const double k = std::floor(v / s->width);
    if (!(k >= 0)) return -1;
    return k > s->numBins ? s->numBins : static_cast<int32_t>(k);
}

BF int BinFunctionApplyInverse(const void *data, int32_t bin, double *lower, double *upper,
                               Kerr_ErrorReport **) {
    const Step *s = static_cast<const Step *>(data);
    *lower = bin * s->width;
    *upper = (bin + 1) * s->width;
    return 0;
}

#ifdef BF_SYNC
BF int BinFunctionBCSyncOld(const void *data, Kdsc_BinFunctionRecord *record, Kerr_ErrorReport **) {
    const Step *s = static_cast<const Step *>(data);
    record->numBins = s->numBins;
    record->binFunctionType = KDSC_BIN_FUNCTION_LINEAR;
    record->minLimit = 0;
    record->maxLimit = s->numBins * s->width;
    return 0;
}
#endif

BF int32_t BinFunctionConvertToMIF(const void *data, unsigned char **bytes, char **dictionary,
                                   char **typeName, Kerr_ErrorReport **) {
    const Step *s = static_cast<const Step *>(data);
    *bytes = static_cast<unsigned char *>(kmsc_HeapMalloc(12));
    *dictionary = kstr_Duplicate(kDict);
    *typeName = kstr_Duplicate("Test_Step");
    std::memcpy(*bytes, &s->numBins, 4);
    std::memcpy(*bytes + 4, &s->width, 8);
    return 12;
}

BF void *BinFunctionConvertFromMIF(const unsigned char *bytes, int32_t size, const char *dictionary,
                                   const char *typeName, Kerr_ErrorReport **err) {
    if (size != 12 || !bytes || std::strcmp(dictionary, kDict) != 0 ||
        std::strcmp(typeName, "Test_Step") != 0) {
        *err = kerr_CreateErrorReport("BinFunctionConvertFromMIF", 1, 2, *err, "Not a step");
        return nullptr;
    }
    auto *s = static_cast<Step *>(kmsc_HeapMalloc(sizeof(Step)));
    std::memcpy(&s->numBins, bytes, 4);
    std::memcpy(&s->width, bytes + 4, 8);
    if (s->numBins < 1 || !(s->width > 0)) {
        kmsc_HeapFree(s);
        *err = kerr_CreateErrorReport("BinFunctionConvertFromMIF", 2, 2, *err, "Bad step");
        return nullptr;
    }
    return s;
}
