// Progress meters shown through a caller's function.
#include <kraster/kmet.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>

#include <algorithm>

#include "core/report.hpp"

struct Kmet_MeterInfo {
    Kmet_MeterFunction function;
    void *context;
    char *taskName;
    int cancelled;
};

extern "C" {

KRASTER_API Kmet_MeterInfo *kmet_MeterInfoCreate(Kmet_MeterFunction function, void *context,
                                                 Kerr_ErrorReport **err) {
    kr::Report e(err);
    auto *m = static_cast<Kmet_MeterInfo *>(kmsc_HeapMalloc(sizeof(Kmet_MeterInfo)));
    if (!m) {
        e.error("kmet_MeterInfoCreate", 1, "No memory");
        return nullptr;
    }
    m->function = function;
    m->context = context;
    return m;
}

KRASTER_API void kmet_MeterInfoDelete(Kmet_MeterInfo *meter) {
    if (!meter) return;
    kmsc_HeapFree(meter->taskName);
    kmsc_HeapFree(meter);
}

KRASTER_API int kmet_MeterInfoPrint(Kmet_MeterInfo *meter, double percent, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!meter) {
        e.error("kmet_MeterInfoPrint", 1, "Invalid meter");
        return -1;
    }
    percent = std::clamp(percent, 0.0, 100.0);
    if (meter->function &&
        meter->function(meter->context, meter->taskName ? meter->taskName : "", percent) != 0)
        meter->cancelled = 1;
    return meter->cancelled;
}

KRASTER_API int kmet_MeterInfoChangeTaskName(Kmet_MeterInfo *meter, const char *taskName,
                                             Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!meter || !taskName) {
        e.error("kmet_MeterInfoChangeTaskName", 1, "Invalid meter or task name");
        return -1;
    }
    char *copy = kstr_Duplicate(taskName);
    if (!copy) {
        e.error("kmet_MeterInfoChangeTaskName", 2, "No memory");
        return -1;
    }
    kmsc_HeapFree(meter->taskName);
    meter->taskName = copy;
    return kmet_MeterInfoPrint(meter, 0.0, e.out()) < 0 ? -1 : 0;
}

}  // extern "C"
