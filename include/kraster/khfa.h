/* HFA container files. */
#ifndef KRASTER_KHFA_H
#define KRASTER_KHFA_H

#include "kdefs.h"
#include "kerr.h"
#include "kint.h"

KRASTER_BEGIN_DECLS

/* Creates the HFA package state (the empty open-file list) in the toolkit's
 * slot if it is not there yet. Returns 0, or -1 with a report. */
KRASTER_API int khfa_Init(Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err);

KRASTER_END_DECLS

#endif
