// Chained error reports: creation, deletion, duplication, printing, the
// alternative error function and the error handlers.
#include <kraster/kerr.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>
#include <kraster/kthr.h>

#include <cstdio>
#include <mutex>

#include "core/report.hpp"

namespace {

struct AltFunction {
    Kerr_AltErrorFunction function = nullptr;
    void *clientData = nullptr;
    int threadSafe = 0;  // always 0
};

std::mutex g_altMutex;
AltFunction g_alt;

}  // namespace

struct Kerr_ErrorHandler {
    Kerr_ErrorHandlerFunction function;
    int threadSafe;  // always 0
    void *clientData;
    Kerr_ErrorHandler *next;
    Kerr_ErrorHandler *prev;
};

namespace {
// Recursive so that a handler may register or remove handlers.
std::recursive_mutex g_handlerMutex;
Kerr_ErrorHandler *g_handlers = nullptr;
}  // namespace

extern "C" {

KRASTER_API void kerr_Init(Kerr_ErrorReport **err) {
    if (err) *err = nullptr;
}

KRASTER_API Kerr_ErrorReport *kerr_CreateErrorReportV(const char *function, int32_t code,
                                                      uint32_t severity, Kerr_ErrorReport *next,
                                                      const char *format, va_list args) {
    auto *r = static_cast<Kerr_ErrorReport *>(kmsc_HeapMalloc(sizeof(Kerr_ErrorReport)));
    if (!r) return nullptr;
    r->next = next;
    r->code = code;
    r->severity = severity;
    if (function) {
        r->function = kstr_Duplicate(function);
        if (!r->function) {
            kmsc_HeapFree(r);
            return nullptr;
        }
    }
    if (format) {
        r->message = kstr_Vsprintf(format, args);
        if (!r->message) {
            kmsc_HeapFree(r->function);
            kmsc_HeapFree(r);
            return nullptr;
        }
    }
    return r;
}

KRASTER_API Kerr_ErrorReport *kerr_CreateErrorReport(const char *function, int32_t code,
                                                     uint32_t severity, Kerr_ErrorReport *next,
                                                     const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    Kerr_ErrorReport *r = kerr_CreateErrorReportV(function, code, severity, next, format, ap);
    va_end(ap);
    return r;
}

KRASTER_API void kerr_DeleteErrorReport(Kerr_ErrorReport *report) {
    while (report) {
        Kerr_ErrorReport *next = report->next;
        kmsc_HeapFree(report->function);
        kmsc_HeapFree(report->message);
        kmsc_HeapFree(report);
        report = next;
    }
}

KRASTER_API void kerr_DeleteErrorReportEx(Kerr_ErrorReport **report) {
    if (!report || !*report) return;
    kerr_DeleteErrorReport(*report);
    *report = nullptr;
}

KRASTER_API Kerr_ErrorReport *kerr_ErrorReportDuplicate(const Kerr_ErrorReport *report) {
    Kerr_ErrorReport *head = nullptr;
    Kerr_ErrorReport **tail = &head;
    for (const Kerr_ErrorReport *r = report; r; r = r->next) {
        auto *c = static_cast<Kerr_ErrorReport *>(kmsc_HeapMalloc(sizeof(Kerr_ErrorReport)));
        if (!c) goto fail;
        *tail = c;
        tail = &c->next;
        c->code = r->code;
        c->severity = r->severity;
        c->function = kstr_Duplicate(r->function);
        c->message = kstr_Duplicate(r->message);
        if ((r->function && !c->function) || (r->message && !c->message)) goto fail;
    }
    return head;
fail:
    // A partial copy is never handed out.
    kerr_DeleteErrorReport(head);
    return nullptr;
}

KRASTER_API void kerr_PrintErrorReportNoEML(const Kerr_ErrorReport *report, int endUser) {
    if (!report) {
        fputs("\n", stderr);
        fflush(stderr);
        return;
    }
    for (const Kerr_ErrorReport *r = report; r; r = r->next) {
        const bool plain = r->severity == 0 || r->severity == 0xFFFFFFFFu;
        if (endUser && !plain && r->next && (r->severity == 1 || r->severity == 2)) continue;
        if (!plain && !(endUser && r->next)) {
            fprintf(stderr, " ***%s NUMBER %ld IN FUNCTION %s***\n",
                    r->severity == 1 ? "WARNING" : "ERROR", static_cast<long>(r->code),
                    r->function ? r->function : "(null)");
        }
        if (r->message) {
            fprintf(stderr, " >>>%s<<<\n", r->message);
        } else if (r->next && r->next->function) {
            fprintf(stderr, " >>>%s failed.<<<\n", r->next->function);
        }
    }
    fputs("\n", stderr);
    fflush(stderr);
}

static void printThroughAlt(Kerr_ErrorReport *report, int endUser) {
    AltFunction alt;
    {
        std::lock_guard<std::mutex> lock(g_altMutex);
        alt = g_alt;
    }
    if (!alt.function) {
        kerr_PrintErrorReportNoEML(report, endUser);
        return;
    }
    Kerr_ErrorReport *result = nullptr;
    kthr_ThreadUnsafeCodeEnter(0);
    alt.function(alt.clientData, report, endUser, &result);
    kthr_ThreadUnsafeCodeExit();
    if (result) {
        kerr_PrintErrorReportNoEML(result, endUser);
        kerr_DeleteErrorReport(result);
    }
}

KRASTER_API void kerr_PrintErrorReport(Kerr_ErrorReport *report, int endUser, intptr_t) {
    printThroughAlt(report, endUser);
}

KRASTER_API void kerr_MessageLog(uint32_t severity, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    Kerr_ErrorReport *r = kerr_CreateErrorReportV(nullptr, 0, severity, nullptr, format, ap);
    va_end(ap);
    if (!r) return;
    printThroughAlt(r, 1);
    kerr_DeleteErrorReport(r);
}

KRASTER_API void kerr_SetAltErrorFunction(Kerr_AltErrorFunction function, void *clientData) {
    std::lock_guard<std::mutex> lock(g_altMutex);
    g_alt.function = function;
    g_alt.clientData = function ? clientData : nullptr;
    g_alt.threadSafe = 0;
}

KRASTER_API Kerr_ErrorHandler *kerr_ErrorHandlerRegister(Kerr_ErrorHandlerFunction function,
                                                         void *clientData) {
    if (!function) return nullptr;
    auto *h = static_cast<Kerr_ErrorHandler *>(kmsc_HeapMalloc(sizeof(Kerr_ErrorHandler)));
    if (!h) return nullptr;
    h->function = function;
    h->threadSafe = 0;
    h->clientData = clientData;
    std::lock_guard<std::recursive_mutex> lock(g_handlerMutex);
    h->next = g_handlers;
    if (g_handlers) g_handlers->prev = h;
    g_handlers = h;
    return h;
}

KRASTER_API void kerr_ErrorHandlerRemove(Kerr_ErrorHandler *handler) {
    if (!handler) return;
    std::lock_guard<std::recursive_mutex> lock(g_handlerMutex);
    for (Kerr_ErrorHandler *h = g_handlers; h; h = h->next) {
        if (h != handler) continue;
        if (h->prev)
            h->prev->next = h->next;
        else
            g_handlers = h->next;
        if (h->next) h->next->prev = h->prev;
        kmsc_HeapFree(h);
        return;
    }
}

KRASTER_API void kerr_ErrorOccurred(intptr_t word) {
    std::lock_guard<std::recursive_mutex> lock(g_handlerMutex);
    for (Kerr_ErrorHandler *h = g_handlers; h;) {
        Kerr_ErrorHandler *next = h->next;  // a handler may remove itself
        kthr_ThreadUnsafeCodeEnter(0);
        h->function(word, h->clientData);
        kthr_ThreadUnsafeCodeExit();
        h = next;
    }
}

}  // extern "C"

namespace kr {

void Report::error(const char *function, int code, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    Kerr_ErrorReport *r = kerr_CreateErrorReportV(function, code, 2, *p_, format, ap);
    va_end(ap);
    // Out of memory: the callee's chain stays, the wrapper is lost.
    if (r) *p_ = r;
}

void Report::raise(const char *function, int code, uint32_t severity, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    Kerr_ErrorReport *r = kerr_CreateErrorReportV(function, code, severity, *p_, format, ap);
    va_end(ap);
    if (r) *p_ = r;
}

void Report::wrap(Kerr_ErrorReport *callee, const char *function, int code, const char *format,
                  ...) {
    // The callee's chain goes beneath anything already here.
    if (callee) {
        Kerr_ErrorReport *last = callee;
        while (last->next) last = last->next;
        last->next = *p_;
        *p_ = callee;
    }
    va_list ap;
    va_start(ap, format);
    Kerr_ErrorReport *r = kerr_CreateErrorReportV(function, code, 2, *p_, format, ap);
    va_end(ap);
    if (r) *p_ = r;
}

void warn(Kerr_ErrorReport *callee, const char *function, int code, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    Kerr_ErrorReport *r = kerr_CreateErrorReportV(function, code, 1, callee, format, ap);
    va_end(ap);
    if (!r) {
        kerr_DeleteErrorReport(callee);
        return;
    }
    kerr_PrintErrorReport(r, 0, 0);
    kerr_DeleteErrorReport(r);
}

}  // namespace kr
