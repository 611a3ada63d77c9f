/* The library's own preference database: declarations from the definition
 * files ("*.pdf", see kpmg_LoadPDFs), the user's values from the file
 * "v8preference" (kpmg_InitPreferenceFileName), validation of every stored
 * value and change callbacks. It is the method table in force until an
 * application installs another one. Its state is process-wide and guarded by
 * the thread-unsafe section; `data` is the word of kprf_DefaultMethodList. */
#ifndef KRASTER_KPRF_H
#define KRASTER_KPRF_H

#include "kdefs.h"
#include "kerr.h"
#include "kpmg.h"

KRASTER_BEGIN_DECLS

/* Loads declarations and user values on the first call after start-up or
 * after kprf_DefaultDatabaseTerminate; later calls do nothing. Problems in
 * the user file are printed and do not fail the call. */
KRASTER_API int kprf_DefaultDatabaseInitialize(void *data, Kerr_ErrorReport **err);
/* Forgets declarations and values (registered callbacks stay). */
KRASTER_API int kprf_DefaultDatabaseTerminate(void *data, Kerr_ErrorReport **err);
/* Rewrites the user file when values changed since it was last written. */
KRASTER_API int kprf_DefaultDatabaseFlush(void *data, Kerr_ErrorReport **err);
KRASTER_API int kprf_DefaultPreferenceAddCB(void *data, const char *category, const char *name,
                                            Kpmg_PreferenceCallback callback, void *clientData,
                                            Kerr_ErrorReport **err);
KRASTER_API int kprf_DefaultPreferenceRemCB(void *data, const char *category, const char *name,
                                            Kpmg_PreferenceCallback callback, void *clientData,
                                            Kerr_ErrorReport **err);
KRASTER_API int kprf_DefaultPreferenceGet(Kpmg_GetRequest *request, Kerr_ErrorReport **err);
KRASTER_API int kprf_DefaultPreferencePut(void *data, const char *category, const char *name,
                                          int32_t type, const Kpmg_Value *value,
                                          Kerr_ErrorReport **err);

/* The method list of this database (static; ended by a 0 code), for
 * kpmg_PreferenceImplementationMethodsSet. Declared thread-safe: it guards
 * itself with the thread-unsafe section. */
KRASTER_API const intptr_t *kprf_DefaultMethodList(void);
/* A deep copy of the loaded categories (initialising the database first),
 * for listing; free it with kpmg_FreeCategoryList. NULL with a report on
 * failure; NULL without one when nothing is declared. */
KRASTER_API Kpmg_Category *kprf_DefaultCategoryListCopy(Kerr_ErrorReport **err);

KRASTER_END_DECLS

#endif
