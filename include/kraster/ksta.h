/* Layer statistics and histograms. */
#ifndef KRASTER_KSTA_H
#define KRASTER_KSTA_H

#include "kdefs.h"
#include "kerr.h"
#include "kint.h"

KRASTER_BEGIN_DECLS

/* Creates the statistics package state (its empty design cache) in the
 * toolkit's slot if it is not there yet. Returns 0, or -1 with a report. */
KRASTER_API int ksta_Init(Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err);

KRASTER_END_DECLS

#endif
