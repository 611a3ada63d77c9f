// Bad arguments of every unit-conversion operation: each failure gives its
// result and a report naming the function, its code and message.
#include <gtest/gtest.h>
#include <kraster/kraster.h>

#include <string>

#include "support/ktest.hpp"

namespace {

TEST(KcvtArgs, EveryFailureIsReported) {
    ASSERT_TRUE(kint_InitToolkit(nullptr));
    const Kcvt_Unit *feet = kcvt_UnitSetByName("feet", nullptr);
    ASSERT_NE(feet, nullptr);
    Kcvt_Unit broken{};  // no conversion polynomials
    broken.type = feet->type;
    double in[2] = {1, 2}, out[2];
    Kgda_BaseData *text =
        kgda_BaseDataCreate(2, 2, KGDA_TYPE_U8, KGDA_MATRIX_OBJECT, nullptr, nullptr);
    ktest::expectRefusals({
        {"kcvt_UnitsConvert", 1, "Uninitialized input Unit structure",
         [&](auto err) { return kcvt_UnitsConvert(in, nullptr, out, feet, 2, err) == -1; }},
        {"kcvt_UnitsConvert", 2, "Uninitialized output Unit structure",
         [&](auto err) { return kcvt_UnitsConvert(in, feet, out, nullptr, 2, err) == -1; }},
        {"kcvt_UnitsConvert", 4, "Invalid unit input",
         [&](auto err) { return kcvt_UnitsConvert(in, &broken, out, feet, 2, err) == -1; }},
        {"kcvt_UnitsConvert", 4, "Invalid unit output",
         [&](auto err) { return kcvt_UnitsConvert(in, feet, out, &broken, 2, err) == -1; }},
        {"kcvt_UnitsConvert", 5, "Invalid input values",
         [&](auto err) { return kcvt_UnitsConvert(in, feet, out, feet, -1, err) == -1; }},
        {"kcvt_UnitsConvert", 5, "Invalid input values",
         [&](auto err) { return kcvt_UnitsConvert(nullptr, feet, out, feet, 2, err) == -1; }},
        {"kcvt_UnitsConvertByName", 1, "for inUnit",
         [&](auto err) { return kcvt_UnitsConvertByName(in, "furlongs?", out, "feet", 2, err); }},
        {"kcvt_UnitsConvertByName", 2, "for outUnit",
         [&](auto err) { return kcvt_UnitsConvertByName(in, "feet", out, nullptr, 2, err); }},
        {"kcvt_UnitsConvertByName", 3, "Invalid input values",
         [&](auto err) { return kcvt_UnitsConvertByName(in, "feet", nullptr, "feet", 2, err); }},
        {"kcvt_UnitsConvertMatrix", 1, "Invalid input matrix",
         [&](auto err) { return kcvt_UnitsConvertMatrix(nullptr, feet, feet, err) == -1; }},
        {"kcvt_UnitsConvertMatrix", 1, "Invalid input matrix",
         [&](auto err) { return kcvt_UnitsConvertMatrix(text, feet, feet, err) == -1; }},
        {"kcvt_UnitsConvertMatrixByName", 1, "for inUnit",
         [&](auto err) { return kcvt_UnitsConvertMatrixByName(text, "x0", "feet", err); }},
        {"kcvt_UnitsConvertMatrixByName", 2, "for outUnit",
         [&](auto err) { return kcvt_UnitsConvertMatrixByName(text, "feet", "", err); }},
        {"kcvt_UnitsConvertMatrixByName", 3, "Invalid input matrix",
         [&](auto err) { return kcvt_UnitsConvertMatrixByName(text, "feet", "meters", err); }},
        {"kcvt_UnitSetByName", 1, "Invalid input unitname",
         [&](auto err) { return !kcvt_UnitSetByName(nullptr, err); }},
        {"kcvt_UnitSetByName", 3, "unitname 0 not found",
         [&](auto err) { return !kcvt_UnitSetByName("0", err); }},
        {"kcvt_UnitSetByName", 3, "unitname inf not found",
         [&](auto err) { return !kcvt_UnitSetByName("inf", err); }},
        {"kcvt_UnitCopy", 1, "Invalid input Kcvt_Unit",
         [&](auto err) { return !kcvt_UnitCopy(nullptr, err); }},
        {"kcvt_UnitAddToList", 1, "Invalid input Kcvt_Unit",
         [&](auto err) { return !kcvt_UnitAddToList(nullptr, nullptr, err); }},
        {"kcvt_UnitFactor", 1, "Invalid input Kcvt_Unit",
         [&](auto err) {
             double f, o;
             return kcvt_UnitFactor(nullptr, &f, &o, err) == -1;
         }},
        {"kcvt_UnitsTextParse", 1, "Invalid units text",
         [&](auto err) { return !kcvt_UnitsTextParse(nullptr, 3, "t", err); }},
        {"kcvt_GCTPPackedDMS2DecimalDegrees", 1, "Invalid DMS version",
         [&](auto err) { return kcvt_GCTPPackedDMS2DecimalDegrees(in, out, 2, 2, err) == -1; }},
        {"kcvt_GCTPPackedDMS2DecimalDegrees", 2, "Invalid input values",
         [&](auto err) { return kcvt_GCTPPackedDMS2DecimalDegrees(in, nullptr, 2, 0, err); }},
        {"kcvt_DecimalDegrees2GCTPPackedDMS", 1, "Invalid DMS version",
         [&](auto err) { return kcvt_DecimalDegrees2GCTPPackedDMS(in, out, 2, -1, err) == -1; }},
        {"kcvt_DecimalDegrees2GCTPPackedDMS", 2, "Invalid input values",
         [&](auto err) { return kcvt_DecimalDegrees2GCTPPackedDMS(in, out, -5, 1, err) == -1; }},
        {"kcvt_GCTPPackedDMS2Radians", 1, "Invalid DMS version",
         [&](auto err) { return kcvt_GCTPPackedDMS2Radians(in, out, 2, 7, err) == -1; }},
        {"kcvt_Radians2GCTPPackedDMS", 2, "Invalid input values",
         [&](auto err) { return kcvt_Radians2GCTPPackedDMS(nullptr, out, 1, 0, err) == -1; }},
    });
    kgda_BaseDataDelete(text, nullptr);
}

}  // namespace
