/* Toolkit initialisation: one process-wide handle with a slot per package. */
#ifndef KRASTER_KINT_H
#define KRASTER_KINT_H

#include "kdefs.h"
#include "kerr.h"
#include "kfio.h"

KRASTER_BEGIN_DECLS

/* Seven package slots, zero at creation, each filled by its package's Init. */
typedef struct Kint_InitToolkitData {
    void *slot1;
    void *hfaPackage; /* khfa_Init: the open-file list */
    void *slot3;
    void *slot4;
    void *slot5;
    void *projectionTables;  /* map-projection package tables */
    void *statisticsDesigns; /* ksta_Init: the statistics design cache */
} Kint_InitToolkitData;

/* The null device, a sink for output to be thrown away (open for writing
 * after kint_InitToolkit). */
KRASTER_API extern Kfio_Fd *KINT_NULLDEVICE;
KRASTER_API Kfio_Fd **kmsc_AddressOf_KINT_NULLDEVICE(void);

KRASTER_API Kint_InitToolkitData *kint_InitToolkit(Kerr_ErrorReport **err);
KRASTER_API Kint_InitToolkitData *kint_GetInit(void);
KRASTER_API void kint_DeInit(void);
/* The library version, "MAJOR.MINOR.PATCH". */
KRASTER_API const char *kint_Version(void);
/* Directory of the loaded library (a static string), or NULL if unknown. */
KRASTER_API const char *kint_LibraryDirectory(void);
/* Default data directory: the share/kraster directory beside the library's lib/ (a static string).
 */
KRASTER_API const char *kint_DataDirectory(void);
/* Default plug-in directory of a class: <library dir>/kraster/plugins/<className>,
 * as a heap string, or NULL. */
KRASTER_API char *kint_PluginDirectory(const char *className);

KRASTER_END_DECLS

#endif
