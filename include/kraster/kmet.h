/* Progress meters: a task name and a fraction done, shown through a
 * caller's function, which may ask for the work to be cancelled. */
#ifndef KRASTER_KMET_H
#define KRASTER_KMET_H

#include "kdefs.h"
#include "kerr.h"

KRASTER_BEGIN_DECLS

/* A progress meter (opaque). */
typedef struct Kmet_MeterInfo Kmet_MeterInfo;

/* Shows the task name and the percentage done (0 to 100). Returns non-zero
 * to ask for the work to be cancelled. */
typedef int (*Kmet_MeterFunction)(void *context, const char *taskName, double percent);

/* A meter showing through function (NULL: nothing is shown). NULL with a
 * report when memory runs out. */
KRASTER_API Kmet_MeterInfo *kmet_MeterInfoCreate(Kmet_MeterFunction function, void *context,
                                                 Kerr_ErrorReport **err);
KRASTER_API void kmet_MeterInfoDelete(Kmet_MeterInfo *meter);
/* Replaces the task name and shows the meter at 0 percent. 0, or -1 with a
 * report. */
KRASTER_API int kmet_MeterInfoChangeTaskName(Kmet_MeterInfo *meter, const char *taskName,
                                             Kerr_ErrorReport **err);
/* Shows the meter at percent (clamped to 0 to 100). Returns 1 when a cancel
 * was asked for (now or before), 0 when the work goes on, -1 with a report. */
KRASTER_API int kmet_MeterInfoPrint(Kmet_MeterInfo *meter, double percent, Kerr_ErrorReport **err);

KRASTER_END_DECLS

#endif
