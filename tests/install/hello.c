#include <kraster/kraster.h>
#include <stdio.h>

int main(void) {
    Kerr_ErrorReport *err = NULL;
    if (!kint_InitToolkit(&err)) {
        kerr_PrintErrorReport(err, 0, 0);
        kerr_DeleteErrorReport(err);
        return 1;
    }
    printf("KRaster %s\n", kint_Version());
    return 0;
}
