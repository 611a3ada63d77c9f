/* Chained error reports: every fallible operation takes the address of the
 * caller's report pointer as its last argument and leaves there a chain of
 * reports, newest first. */
#ifndef KRASTER_KERR_H
#define KRASTER_KERR_H

#include "kdefs.h"

KRASTER_BEGIN_DECLS

/* Severities. 0xFFFFFFFF prints like 0. */
#define KERR_SEVERITY_MESSAGE 0u
#define KERR_SEVERITY_WARNING 1u
#define KERR_SEVERITY_ERROR 2u
#define KERR_SEVERITY_MESSAGE_ALT 0xFFFFFFFFu

typedef struct Kerr_ErrorReport {
    struct Kerr_ErrorReport *next; /* older report this one wraps; NULL at the end */
    char *function;                /* raising function, heap string, may be NULL */
    int32_t code;                  /* error number, unique within the function */
    uint32_t severity;             /* 0 message, 1 warning, 2 error */
    char *message;                 /* formatted message, heap string, may be NULL */
} Kerr_ErrorReport;

/* Alternative error function: takes over printing of reports. It may leave a
 * result report in *result, which is then printed and deleted. */
typedef void (*Kerr_AltErrorFunction)(void *clientData, Kerr_ErrorReport *report, int endUser,
                                      Kerr_ErrorReport **result);

/* Error handler called by kerr_ErrorOccurred as handler(word, client data). */
typedef void (*Kerr_ErrorHandlerFunction)(intptr_t word, void *clientData);

typedef struct Kerr_ErrorHandler Kerr_ErrorHandler;

KRASTER_API void kerr_Init(Kerr_ErrorReport **err);
KRASTER_API Kerr_ErrorReport *kerr_CreateErrorReport(const char *function, int32_t code,
                                                     uint32_t severity, Kerr_ErrorReport *next,
                                                     const char *format, ...) KRASTER_PRINTF(5, 6);
KRASTER_API Kerr_ErrorReport *kerr_CreateErrorReportV(const char *function, int32_t code,
                                                      uint32_t severity, Kerr_ErrorReport *next,
                                                      const char *format, va_list args);
KRASTER_API void kerr_DeleteErrorReport(Kerr_ErrorReport *report);
KRASTER_API void kerr_DeleteErrorReportEx(Kerr_ErrorReport **report);
KRASTER_API Kerr_ErrorReport *kerr_ErrorReportDuplicate(const Kerr_ErrorReport *report);
/* The third word is passed through unread. */
KRASTER_API void kerr_PrintErrorReport(Kerr_ErrorReport *report, int endUser, intptr_t reserved);
KRASTER_API void kerr_PrintErrorReportNoEML(const Kerr_ErrorReport *report, int endUser);
KRASTER_API void kerr_MessageLog(uint32_t severity, const char *format, ...) KRASTER_PRINTF(2, 3);
KRASTER_API void kerr_SetAltErrorFunction(Kerr_AltErrorFunction function, void *clientData);
KRASTER_API Kerr_ErrorHandler *kerr_ErrorHandlerRegister(Kerr_ErrorHandlerFunction function,
                                                         void *clientData);
KRASTER_API void kerr_ErrorHandlerRemove(Kerr_ErrorHandler *handler);
KRASTER_API void kerr_ErrorOccurred(intptr_t word);

KRASTER_END_DECLS

#endif
