// Descriptor tables of layers: in a support file or the native image, through
// a plug-in's column entries, and the layer-type rules for bin functions.
#include <gtest/gtest.h>
#include <kraster/kimg.h>
#include <kraster/kraster.h>

#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/plugin_test.hpp"
#include "support/ktest_checks.hpp"

namespace {

struct BfDelete {
    void operator()(Kdsc_BinFunction *f) const { kdsc_BinFunctionDelete(f, nullptr); }
};
using Bf = std::unique_ptr<Kdsc_BinFunction, BfDelete>;

class LayerTable : public ktest::PluginTest {
  protected:
    void SetUp() override {
        install({KRASTER_LP_TEST_DIR "/liblptest.so", KRASTER_LP_TEST_DIR "/liblpdsc.so"});
    }

    // The file's layer, created with the layer type, or opened (read-only
    // when the type is -1).
    Kimg_Layer *layer(const std::string &file, bool create, int32_t type = KIMG_LAYER_ATHEMATIC) {
        const std::string n = dir.file(file) + "(:Band_1)";
        Kimg_Layer *l =
            create
                ? kimg_LayerCreate(n.c_str(), type, KGDA_TYPE_U8, 16, 16, tk, &err, 0)
                : kimg_LayerOpen(n.c_str(), tk, &err, type < 0 ? KIMG_LAYER_OPTION_READONLY : 0, 0);
        EXPECT_NE(l, nullptr) << ktest::messages(err.r);
        return l;
    }
};

std::vector<std::string> names(Kstr_StringList *list) {
    std::vector<std::string> out;
    for (int32_t i = 0; list && i < list->count; ++i) out.push_back(list->strings[i]);
    kstr_StringListFree(list);
    return out;
}

Kgda_BaseData *reals(const std::vector<double> &v) {
    Kgda_BaseData *b = kgda_BaseDataCreate(static_cast<int32_t>(v.size()), 1, KGDA_TYPE_F64,
                                           KGDA_TABLE_OBJECT, nullptr, nullptr);
    int k = 0;
    for (double x : v) reinterpret_cast<double *>(b->windowStart)[k++] = x;
    return b;
}

std::vector<double> column(Kdsc_Table *t, const char *name, int32_t rows) {
    ktest::Err err;
    Kdsc_Column *c = kdsc_ColumnOpen(t, name, &err);
    EXPECT_TRUE(c) << name << ktest::messages(err.r);
    if (!c) return {};
    Kgda_BaseData *b = kdsc_ColumnRead(c, 0, rows, nullptr, &err);
    EXPECT_TRUE(b) << name << ktest::messages(err.r);
    std::vector<double> out;
    if (b)
        out.assign(reinterpret_cast<double *>(b->windowStart),
                   reinterpret_cast<double *>(b->windowStart) + rows);
    kgda_BaseDataDelete(b, nullptr), kdsc_ColumnClose(c, nullptr);
    return out;
}

// Writes a new real column of a table.
void put(Kdsc_Table *t, const char *name, const std::vector<double> &v) {
    ktest::Err err;
    Kdsc_Column *c = kdsc_ColumnCreate(t, name, KDSC_COLUMN_REAL, 0, &err);
    ASSERT_TRUE(c) << name << ktest::messages(err.r);
    Kgda_BaseData *b = reals(v);
    EXPECT_EQ(0, kdsc_ColumnWrite(c, 0, b->numrows, b, &err)) << ktest::messages(err.r);
    kgda_BaseDataDelete(b, nullptr), kdsc_ColumnClose(c, nullptr);
}

// A format that keeps no objects has its tables in the ".aux" support file
// beside the image, under the layer; a native image keeps them inside.
TEST_F(LayerTable, SupportFileOrTheNativeImageKeepsTheTables) {
    for (const char *file : {"a.klp", "b.img"}) {
        SCOPED_TRACE(file);
        Kimg_Layer *l = layer(file, true);
        ASSERT_TRUE(l);
        Kdsc_Table *t = kimg_TableCreate(l, nullptr, 3, nullptr, &err);
        ASSERT_TRUE(t) << ktest::messages(err.r);
        put(t, "Histogram", {4, 5, 6});
        kdsc_TableClose(t, &err);
        EXPECT_EQ(std::vector<std::string>{"Descriptor_Table"},
                  names(kimg_LayerListTables(l, &err)));
        kimg_LayerClose(l, &err);
        kimg_FileNameDequeue(dir.file(file).c_str(), &err);
        const bool native = file[0] == 'b';
        EXPECT_EQ(access(dir.file(native ? "b.aux" : "a.aux").c_str(), F_OK), native ? -1 : 0);
        Khfa_File *f =
            khfa_FileOpen(dir.file(native ? "b.img" : "a.aux").c_str(), "r", nullptr, &err);
        ASSERT_TRUE(f) << ktest::messages(err.r);
        const Khfa_Entry *e = khfa_EntryPeek(f, KHFA_SEEK_PATH, ":Band_1:Descriptor_Table", &err);
        ASSERT_TRUE(e);
        EXPECT_STREQ("Kdsc_Table", e->type);
        EXPECT_TRUE(khfa_EntryPeek(f, KHFA_SEEK_PATH, ":Band_1:Descriptor_Table:Histogram", &err));
        khfa_FileClose(f, &err);
    }
    Kimg_Layer *l = layer("a.klp", false);
    Kdsc_Table *t = kimg_TableOpen(l, nullptr, &err);
    ASSERT_TRUE(t) << ktest::messages(err.r);
    EXPECT_EQ((std::vector<double>{4, 5, 6}), column(t, "Histogram", 3));
    EXPECT_STREQ("Direct", kdsc_BinFunctionTitle(kdsc_TableBinFunctionGet(t)));
    kdsc_TableClose(t, &err);
    EXPECT_EQ(std::vector<std::string>{"Histogram"},
              names(kimg_TableListColumns(l, nullptr, &err)));
    ASSERT_EQ(0, kimg_TableRemove(l, nullptr, &err)) << ktest::messages(err.r);
    EXPECT_FALSE(kimg_TableOpen(l, nullptr, &err));
    EXPECT_TRUE(names(kimg_LayerListTables(l, &err)).empty());
    kimg_LayerClose(l, &err);
}

TEST_F(LayerTable, PluginColumnsThroughTheLayerMethodSet) {
    Kimg_Layer *l = layer("c.kld", true);
    ASSERT_TRUE(l);
    Bf linear(kdsc_BinFunctionCreateLinear(4, 0, 8, &err));
    Kdsc_Table *t = kimg_TableCreate(l, nullptr, 4, linear.get(), &err);
    ASSERT_TRUE(t) << ktest::messages(err.r);
    const std::pair<const char *, std::vector<double>> written[] = {
        {"Histogram", {10, 20, 30, 40}},
        {"Red", {0.1, 0.2, 0.3, 0.4}},
        {"Green", {1, 1, 1, 1}},
        {"Contrast", {0, 0.25, 0.75, 1}}};
    for (const auto &[name, v] : written) put(t, name, v);
    Kdsc_Column *cn = kdsc_ColumnCreate(t, "Class_Names", KDSC_COLUMN_STRING, 16, &err);
    ASSERT_TRUE(cn) << ktest::messages(err.r);
    Kgda_BaseData *one = reals({1});
    EXPECT_EQ(-1, kdsc_ColumnWrite(cn, 0, 1, one, &err));  // reals into strings
    kgda_BaseDataDelete(one, nullptr);
    EXPECT_SAYS(err, "Source and destination column datatype do not match");
    Kgda_BaseData *text =
        kgda_BaseDataCreate(4, 1, KGDA_STRING_TYPE_CODE, KGDA_TABLE_OBJECT, nullptr, nullptr);
    const char *const classes[] = {"Unclassified", "Water", "Forest", "Urban"};
    for (int r = 0; r < 4; ++r) {
        char *copy = kstr_Duplicate(classes[r]);
        std::memcpy(text->windowStart + r * text->pitch, &copy, sizeof copy);
    }
    EXPECT_EQ(0, kdsc_ColumnWrite(cn, 0, 4, text, &err)) << ktest::messages(err.r);
    kgda_BaseDataDelete(text, nullptr), kdsc_ColumnClose(cn, nullptr);
    // The format keeps no opacity: it is read (every row opaque), not created.
    EXPECT_FALSE(kdsc_ColumnCreate(t, "Opacity", KDSC_COLUMN_REAL, 0, &err));
    EXPECT_SAYS(err, "kimg_DSC table format does not support column Opacity");
    EXPECT_FALSE(kdsc_ColumnCreate(t, "Names", KDSC_COLUMN_INTEGER, 0, &err));
    EXPECT_SAYS(err, "does not support integer columns");
    EXPECT_EQ((std::vector<std::string>{"Histogram", "Contrast", "Class_Names", "Red", "Green",
                                        "Blue", "Opacity"}),
              names(kdsc_TableListColumns(t, &err)));
    int64_t when = 0;
    ASSERT_EQ(0, kdsc_TableModTimeGet(t, &when, &err)) << ktest::messages(err.r);
    EXPECT_EQ(1234, when);  // the newest of the columns' times
    EXPECT_REFUSAL(kdsc_TableModTimeGet(t, nullptr, &err), -1, "Args");
    kdsc_TableClose(t, &err);

    // Reopened: rows and bin function come back from the file's objects, the
    // colours share one plug-in table without overwriting each other.
    t = kimg_TableOpen(l, nullptr, &err);
    ASSERT_TRUE(t) << ktest::messages(err.r);
    int32_t rows = 0;
    kdsc_TableRowCountGet(t, &rows, &err);
    EXPECT_EQ(4, rows);
    EXPECT_TRUE(kdsc_BinFunctionIsSame(linear.get(), kdsc_TableBinFunctionGet(t)));
    for (const auto &[name, v] : written) EXPECT_EQ(v, column(t, name, 4)) << name;
    EXPECT_EQ((std::vector<double>{0, 0, 0, 0}), column(t, "Blue", 4));
    EXPECT_EQ((std::vector<double>{1, 1, 1, 1}), column(t, "Opacity", 4));
    cn = kdsc_ColumnOpen(t, "Class_Names", &err);
    ASSERT_TRUE(cn) << ktest::messages(err.r);
    text = kdsc_ColumnRead(cn, 1, 3, nullptr, &err);
    ASSERT_TRUE(text) << ktest::messages(err.r);
    for (int r = 0; r < 3; ++r) {
        const char *got;
        std::memcpy(&got, text->windowStart + r * text->pitch, sizeof got);
        EXPECT_STREQ(classes[r + 1], got);
    }
    kgda_BaseDataDelete(text, nullptr), kdsc_ColumnClose(cn, nullptr);
    // A read the plug-in fails, once the column is removed, is reported
    // under the column's name.
    for (const std::string name : {"Contrast", "Histogram"}) {
        Kdsc_Column *c = kdsc_ColumnOpen(t, name.c_str(), &err);
        ASSERT_EQ(0, kdsc_ColumnRemove(c, &err)) << name << ktest::messages(err.r);
        c = kdsc_ColumnOpen(t, name.c_str(), &err);
        ASSERT_TRUE(c) << name;
        EXPECT_FALSE(kdsc_ColumnRead(c, 0, 4, nullptr, &err));
        EXPECT_SAYS(err, "Cannot read column " + name);
        kdsc_ColumnClose(c, nullptr);
    }
    // Removing the table destroys the plug-in's colour table too.
    ASSERT_EQ(0, kdsc_TableRemove(t, &err)) << ktest::messages(err.r);
    t = kimg_TableCreate(l, nullptr, 4, nullptr, &err);
    ASSERT_TRUE(t) << ktest::messages(err.r);
    EXPECT_REFUSAL(kdsc_ColumnRead(kdsc_ColumnOpen(t, "Red", &err), 0, 4, nullptr, &err), nullptr,
                   "Cannot read column Red | Cannot read the colours");
    kdsc_TableClose(t, &err), kimg_LayerClose(l, &err);
}

TEST_F(LayerTable, LayerTypesAndBinFunctions) {
    const struct {
        int32_t layerType;
        int allowed[6];  // direct, linear, logarithmic, explicit, unique, plug-in
    } rules[] = {
        {KIMG_LAYER_THEMATIC, {1, 0, 0, 0, 0, 0}},
        {KIMG_LAYER_ATHEMATIC, {1, 1, 1, 1, 1, 1}},
        {KIMG_LAYER_FFT, {1, 1, 1, 1, 0, 0}},
        {3, {0, 0, 0, 0, 0, 0}},
    };
    for (const auto &r : rules) {
        EXPECT_EQ(1, kimg_LayerTypeSupportsBinFunction(r.layerType, -1));
        for (int32_t b = 0; b < 6; ++b)
            EXPECT_EQ(r.allowed[b], kimg_LayerTypeSupportsBinFunction(r.layerType, b))
                << r.layerType << " " << b;
    }
    Kimg_Layer *l = layer("d.img", true, KIMG_LAYER_THEMATIC);
    ASSERT_TRUE(l);
    Bf linear(kdsc_BinFunctionCreateLinear(4, 0, 8, &err));
    EXPECT_FALSE(kimg_TableCreate(l, nullptr, 4, linear.get(), &err));
    EXPECT_EQ("Bin function type 'linear' is not supported by layer type 'thematic'",
              ktest::messages(err.r));
    // A table made while athematic, opened after the layer became thematic.
    ASSERT_EQ(0, kimg_LayerLayerTypeChange(l, KIMG_LAYER_ATHEMATIC, &err));
    Kdsc_Table *t = kimg_TableCreate(l, nullptr, 4, linear.get(), &err);
    ASSERT_TRUE(t) << ktest::messages(err.r);
    put(t, "Histogram", {1, 2, 3, 4});
    kdsc_TableClose(t, &err);
    ASSERT_EQ(0, kimg_LayerLayerTypeChange(l, KIMG_LAYER_THEMATIC, &err));
    ktest::PrintedReports printed;
    t = kimg_TableOpen(l, nullptr, &err);
    ASSERT_TRUE(t) << ktest::messages(err.r);
    EXPECT_TRUE(
        printed.contains("Bin function type 'linear' is not supported by layer type "
                         "'thematic';\ntreating layer " +
                         dir.file("d.img") + "(:Band_1) as athematic"));
    Kimg_LayerInfo info{};
    kimg_LayerInfoGet(l, &info, &err);
    EXPECT_EQ(KIMG_LAYER_ATHEMATIC, info.layerType);
    kdsc_TableClose(t, &err), kimg_LayerClose(l, &err);
    kimg_FileNameDequeue(dir.file("d.img").c_str(), &err);
    // A bin function the layer type takes leaves the type alone, silently.
    l = layer("e.img", true, KIMG_LAYER_THEMATIC);
    ASSERT_TRUE(l);
    Bf direct(kdsc_BinFunctionCreateDirect(4, 0, &err));
    kdsc_TableClose(kimg_TableCreate(l, nullptr, 4, direct.get(), &err), &err);
    t = kimg_TableOpen(l, nullptr, &err);
    ASSERT_TRUE(t) << ktest::messages(err.r);
    kimg_LayerInfoGet(l, &info, &err);
    EXPECT_EQ(info.layerType, KIMG_LAYER_THEMATIC);
    EXPECT_EQ(printed.entries().size(), 1u);
    kdsc_TableClose(t, &err), kimg_LayerClose(l, &err);

    // Read-only layers keep their tables and columns.
    l = layer("d.img", false, -1);
    ASSERT_TRUE(l);
    EXPECT_REFUSAL(kimg_TableRemove(l, nullptr, &err), -1,
                   "Could not remove table; layer is opened read-only");
    t = kimg_TableOpen(l, nullptr, &err);
    ASSERT_TRUE(t) << ktest::messages(err.r);
    EXPECT_FALSE(kdsc_ColumnCreate(t, "X", KDSC_COLUMN_REAL, 0, &err));  // file read-only
    Kdsc_Column *c = kdsc_ColumnOpen(t, "Histogram", &err);
    ASSERT_TRUE(c) << ktest::messages(err.r);
    EXPECT_REFUSAL(kdsc_ColumnRemove(c, &err), -1,
                   "Cannot destroy column Histogram; it is read-only");
    EXPECT_EQ((std::vector<double>{1, 2, 3, 4}), column(t, "Histogram", 4));
    kdsc_TableClose(t, &err), kimg_LayerClose(l, &err);
    EXPECT_REFUSAL(kimg_TableOpen(nullptr, nullptr, &err), nullptr, "NULL layer");
}

}  // namespace
