// Fuzz target for the spheroid and State Plane table parsers (the first
// byte picks the table): any text yields a table whose entries keep the
// parser's promises, or a report; never a crash, hang or over-read.
#include <kraster/kraster.h>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const char *text = reinterpret_cast<const char *>(data + 1);
    Kerr_ErrorReport *err = nullptr;
    if (data[0] & 1) {
        Kprj_SPEntry *t = kprj_SPTableTextParse(text, size - 1, "fuzz", &err);
        if (t && err) abort();
        for (const Kprj_SPEntry *z = t; z; z = z->next)
            if (z->params.count < 9 || z->zoneNumber <= 0 || z->projectionKind < 1 ||
                z->projectionKind > 4 || !(z->params.data[0] > 0))
                abort();
        kprj_SPTableFree(t);
    } else {
        Kprj_SpheroidEntry *t = kprj_SpheroidTableTextParse(text, size - 1, "fuzz", &err);
        if (t && err) abort();
        for (const Kprj_SpheroidEntry *s = t; s; s = s->next) {
            if (!(s->b > 0) || s->b > s->a || s->number < 0) abort();
            for (const Kprj_DatumEntry *d = s->datums; d; d = d->next)
                if (!d->name[0] || (d->type == KPRJ_DATUM_GRID && !d->gridName)) abort();
        }
        kprj_SpheroidTableFree(t);
    }
    kerr_DeleteErrorReport(err);
    return 0;
}
