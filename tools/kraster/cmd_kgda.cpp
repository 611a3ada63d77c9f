// BaseData: the demo section inverts a small f64 matrix, multiplies it back
// and shows the arrays in the BaseData print format and the text format.
#include <kraster/kraster.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "tool.hpp"

namespace {

// Element (r, c) of an f64 matrix (stored column by column).
double &element(const Kgda_BaseData *m, int r, int c) {
    return *reinterpret_cast<double *>(m->windowStart + c * m->pitch + r * m->numbytes);
}

int fail(Kerr_ErrorReport *err) {
    kerr_PrintErrorReport(err, 0, 0);
    kerr_DeleteErrorReport(err);
    return 1;
}

int demoBaseData() {
    const int n = 3;
    const double values[n][n] = {{4, -2, 1}, {3, 6, -4}, {2, 1, 8}};
    Kerr_ErrorReport *err = nullptr;
    Kgda_BaseData *a = kgda_BaseDataCreate(n, n, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, &err);
    if (!a) return fail(err);
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) element(a, r, c) = values[r][c];
    printf("A, a 3 x 3 f64 matrix (printed a column per line, as it is stored):\n");
    kgda_BaseDataPrint(a, nullptr);

    Kgda_BaseData *inverse = kgda_MatrixInvert(a, nullptr, &err);
    Kgda_BaseData *product =
        inverse ? kgda_BaseDataCreate(n, n, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, &err)
                : nullptr;
    if (!product) {
        kgda_BaseDataDelete(inverse, nullptr);
        kgda_BaseDataDelete(a, nullptr);
        return fail(err);
    }
    printf("A^-1 (LU decomposition with column pivoting):\n");
    kgda_BaseDataPrint(inverse, nullptr);

    double worst = 0;
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) {
            double s = 0;
            for (int k = 0; k < n; ++k) s += element(a, r, k) * element(inverse, k, c);
            element(product, r, c) = s;
            worst = std::fmax(worst, std::fabs(s - (r == c ? 1.0 : 0.0)));
        }
    printf("A x A^-1:\n");
    kgda_BaseDataPrint(product, nullptr);
    printf("largest difference from the identity: %.3g\n", worst);

    // The text format: one line per row whatever the storage order.
    Kgda_BaseDataStack *stack = kgda_BaseDataStackPtrCreate(1, &err);
    char *name = stack ? kfio_TempNameInTmpdir("kraster-basedata.", &err) : nullptr;
    int rc = 0;
    if (name) {
        stack->layers[0] = a;
        stack->derivedFlag = 1;  // a stays ours
        if (kgda_BaseDataStackWriteAscii(stack, name, &err) == 0) {
            Kfio_Fd *fd = kfio_Open(name, "r", &err);
            char line[256];
            printf("A in the text format:\n");
            while (fd && kfio_Fgets(line, sizeof line, fd, nullptr)) printf("  %s", line);
            if (fd) kfio_Close(fd, nullptr);
        }
        kfio_FileUnlink(name, nullptr);
    }
    if (err) rc = fail(err);
    kmsc_HeapFree(name);
    kgda_BaseDataStackDelete(stack, nullptr);
    kgda_BaseDataDelete(product, nullptr);
    kgda_BaseDataDelete(inverse, nullptr);
    kgda_BaseDataDelete(a, nullptr);
    return rc != 0 || worst > 1e-12 ? 1 : 0;
}

tool::DemoRegistrar baseDataSection(35, "BaseData matrices", demoBaseData);

}  // namespace
