/* The umbrella header compiles as C99 with warnings as errors, and a few
 * calls link against the shared library. */
#include <kraster/kraster.h>

#include <stdio.h>

int main(void) {
    Kerr_ErrorReport *err = NULL;
    Kint_InitToolkitData *toolkit = kint_InitToolkit(&err);
    if (!toolkit) {
        kerr_PrintErrorReport(err, 0, 0);
        kerr_DeleteErrorReport(err);
        return 1;
    }
    char *s = kstr_Sprintf("%s-%d", "c", 99);
    int ok = s && s[0] == 'c';
    kmsc_HeapFree(s);
    printf("%s\n", kint_Version());
    return ok ? 0 : 1;
}
