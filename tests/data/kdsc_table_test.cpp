// Descriptor tables in HFA files: column bytes as an independent reader
// sees them, row-count changes (space back to the free list, data kept),
// the two stored forms of bin functions, and the refusals.
#include <gtest/gtest.h>

#include <kraster/kdsc.h>

#include <cstring>
#include <string>
#include <atomic>
#include <thread>
#include <vector>

#include "data/kgda_test_util.hpp"
#include "hfa/hfa_tree_util.hpp"
#include "support/ktest_checks.hpp"

namespace {

using hfatest::diskEntry;
using hfatest::le32;
using kgdatest::Bd;
using kgdatest::Bf;
using kgdatest::Err;
using kgdatest::make;

std::string entryType(const std::string &b, uint32_t entry) {
    return std::string(b.c_str() + entry + 24 + 64);
}

// A column's record and elements as stored.
struct RawColumn {
    int32_t numRows = -1;
    uint32_t dataPtr = 0;
    int32_t dataType = -1;
    int32_t maxNumChars = -1;
};

RawColumn rawColumn(const std::string &b, const std::string &path) {
    RawColumn c;
    const uint32_t e = diskEntry(b, path);
    if (!e) return c;
    const uint32_t d = le32(b, e + 16);
    c.numRows = static_cast<int32_t>(le32(b, d));
    c.dataPtr = le32(b, d + 4);
    c.dataType = static_cast<int32_t>(le32(b, d + 8) & 0xFFFF);  // 16-bit enumeration
    c.maxNumChars = static_cast<int32_t>(le32(b, d + 10));
    return c;
}

class KdscTable : public hfatest::HfaTest {
  protected:
    Khfa_File *newFile() {
        Err err;
        Khfa_File *f = khfa_FileCreate(path().c_str(), nullptr, &err);
        EXPECT_TRUE(f) << ktest::messages(err.r);
        EXPECT_TRUE(khfa_EntryWrite(f, KHFA_WRITE_LAST_CHILD, "Layer_1", "Eimg_Layer", &err));
        return f;
    }
};

Bd strings(std::initializer_list<const char *> v) {
    Bd b = make(static_cast<int32_t>(v.size()), 1, KGDA_STRING_TYPE_CODE, KGDA_TABLE_OBJECT);
    int r = 0;
    for (const char *s : v) {
        char *copy = s ? kstr_Duplicate(s) : nullptr;
        std::memcpy(b->windowStart + r++ * b->pitch, &copy, sizeof copy);
    }
    return b;
}

// What a method set supports: table creation and update, column creation
// and update, then each column type 0 to 4.
ktest::Ints supports(const Kdsc_TableMethods *m) {
    ktest::Ints r{kdsc_TableMethodsSupportTableCreation(m), kdsc_TableMethodsSupportTableUpdate(m),
                  kdsc_TableMethodsSupportColumnCreation(m),
                  kdsc_TableMethodsSupportColumnUpdate(m)};
    for (int type = 0; type <= 4; ++type) r.push_back(kdsc_TableMethodsSupportColumnType(m, type));
    return r;
}

// Element r of an f64 array.
double &real(const Kgda_BaseData *b, int r) {
    return reinterpret_cast<double *>(b->windowStart)[r];
}

// A table array holding v, of rows x columns elements of the type.
Bd filled(int32_t rows, int32_t columns, int32_t type, const void *v) {
    Bd b = make(rows, columns, type, KGDA_TABLE_OBJECT);
    std::memcpy(b->windowStart, v, static_cast<size_t>(b->numelements) * b->numbytes);
    return b;
}

std::string stringAt(const Kgda_BaseData *b, int r) {
    const char *s;
    std::memcpy(&s, b->windowStart + r * b->pitch, sizeof s);
    return s ? s : "(null)";
}

TEST_F(KdscTable, ColumnBytesOfEachTypeAsStored) {
    Err err;
    Khfa_File *f = newFile();
    Kdsc_Table *t = kdsc_TableCreate(f, ":Layer_1:Descriptor_Table", 3, nullptr, &err);
    ASSERT_TRUE(t) << ktest::messages(err.r);
    Kdsc_Column *ci = kdsc_ColumnCreate(t, "Histogram", KDSC_COLUMN_INTEGER, 99, &err);
    Kdsc_Column *cr = kdsc_ColumnCreate(t, "Red", KDSC_COLUMN_REAL, 0, &err);
    Kdsc_Column *cc = kdsc_ColumnCreate(t, "Fft", KDSC_COLUMN_COMPLEX, 0, &err);
    Kdsc_Column *cs = kdsc_ColumnCreate(t, "Class_Names", KDSC_COLUMN_STRING, 5, &err);
    ASSERT_TRUE(ci && cr && cc && cs) << ktest::messages(err.r);
    const int32_t iv[3] = {-2, 70000, 5};
    const double rv[3] = {0.5, -1e300, 3}, cv[6] = {1, -1, 2, -2, 3, -3};
    const Bd data[] = {filled(3, 1, KGDA_TYPE_S32, iv), filled(3, 1, KGDA_TYPE_F64, rv),
                       filled(3, 1, KGDA_TYPE_C128, cv), strings({"ab", nullptr, "toolong"})};
    Kdsc_Column *const columns[] = {ci, cr, cc, cs};
    for (int k = 0; k < 4; ++k)
        ASSERT_EQ(0, kdsc_ColumnWrite(columns[k], 0, 3, data[k].get(), &err))
            << k << ktest::messages(err.r);
    // Reading back through the library: rows 1..2 of the strings.
    Bd back(kdsc_ColumnRead(cs, 1, 2, nullptr, &err));
    ASSERT_TRUE(back);
    EXPECT_EQ(stringAt(back.get(), 0) + "|" + stringAt(back.get(), 1), "|toolo");
    // Into the first column of a wider array: the other column stays as it was.
    Bd wide = make(3, 2, KGDA_TYPE_F64, KGDA_TABLE_OBJECT);
    for (int r = 0; r < 3; ++r) kgdatest::at<double>(wide.get(), r, 1) = -7;
    ASSERT_EQ(wide.get(), kdsc_ColumnRead(cr, 0, 3, wide.get(), &err)) << ktest::messages(err.r);
    for (int r = 0; r < 3; ++r) {
        EXPECT_EQ((ktest::Reals{kgdatest::at<double>(wide.get(), r, 0),
                                kgdatest::at<double>(wide.get(), r, 1)}),
                  (ktest::Reals{rv[r], -7}));
    }
    Kstr_StringList *cols = kdsc_TableListColumns(t, &err);
    ASSERT_TRUE(cols && cols->count == 4);
    EXPECT_STREQ("Class_Names", cols->strings[3]);
    kstr_StringListFree(cols);
    ASSERT_EQ(0, kdsc_TableClose(t, &err));
    ASSERT_EQ(0, khfa_FileClose(f, &err));

    const std::string b = ktest::readFile(path());
    const uint32_t table = diskEntry(b, ":Layer_1:Descriptor_Table");
    ASSERT_NE(0u, table);
    EXPECT_EQ("Kdsc_Table", entryType(b, table));
    EXPECT_EQ(3u, le32(b, le32(b, table + 16)));  // numrows
    const struct {
        const char *name;
        int32_t type, width;
        std::string bytes;
    } want[] = {
        {"Histogram", 0, 0, std::string(reinterpret_cast<const char *>(iv), sizeof iv)},
        {"Red", 1, 0, std::string(reinterpret_cast<const char *>(rv), sizeof rv)},
        {"Fft", 2, 0, std::string(reinterpret_cast<const char *>(cv), sizeof cv)},
        {"Class_Names", 3, 5, std::string("ab\0\0\0\0\0\0\0\0toolo", 15)},
    };
    for (const auto &w : want) {
        const std::string at = std::string(":Layer_1:Descriptor_Table:") + w.name;
        const RawColumn c = rawColumn(b, at);
        EXPECT_EQ("Kdsc_Column", entryType(b, diskEntry(b, at)));
        EXPECT_EQ((ktest::Ints{c.numRows, c.dataType, c.maxNumChars}),
                  (ktest::Ints{3, w.type, w.width}))
            << w.name;
        ASSERT_LE(c.dataPtr + w.bytes.size(), b.size()) << w.name;
        EXPECT_EQ(w.bytes, b.substr(c.dataPtr, w.bytes.size())) << w.name;
    }
    // The node types are described in the file's dictionary.
    const std::string dict = b.substr(le32(b, le32(b, 16) + 14));
    EXPECT_TRUE(ktest::contains(dict, "{1:lnumrows,}Kdsc_Table,"));
    EXPECT_TRUE(
        ktest::contains(dict,
                        "{1:lnumRows,1:LcolumnDataPtr,1:e4:integer,real,complex,string,dataType,"
                        "1:lmaxNumChars,}Kdsc_Column,"));
    // The default bin function: Direct over the rows, in the old form.
    const uint32_t bf = diskEntry(b, ":Layer_1:Descriptor_Table:#Bin_Function#");
    ASSERT_NE(0u, bf);
    EXPECT_EQ("Kdsc_BinFunction", entryType(b, bf));
}

TEST_F(KdscTable, RowCountChangesMoveSpaceAndKeepData) {
    Err err;
    Khfa_File *f = newFile();
    Bf lin(kdsc_BinFunctionCreateLinear(30, 0, 100, &err));
    Kdsc_Table *t = kdsc_TableCreate(f, ":Layer_1:Descriptor_Table", 100, lin.get(), &err);
    ASSERT_TRUE(t) << ktest::messages(err.r);
    Kdsc_Column *c = kdsc_ColumnCreate(t, "Red", KDSC_COLUMN_REAL, 0, &err);
    Kdsc_Column *s = kdsc_ColumnCreate(t, "Names", KDSC_COLUMN_STRING, 3, &err);
    ASSERT_TRUE(c && s);
    Bd v = make(100, 1, KGDA_TYPE_F64, KGDA_TABLE_OBJECT);
    for (int i = 0; i < 100; ++i) real(v.get(), i) = i + 0.25;
    ASSERT_EQ(0, kdsc_ColumnWrite(c, 0, 100, v.get(), &err));
    std::vector<char> slots(300, 'x');
    ASSERT_EQ(0, kdsc_ColumnWriteOld(s, 0, 100, slots.data(), &err));
    const int64_t freeBefore = khfa_FileFreeSpaceSize(f, &err);

    // Shrinking: the dropped rows' bytes join the free list in place.
    ASSERT_EQ(0, kdsc_TableRowCountSet(t, 40, &err)) << ktest::messages(err.r);
    EXPECT_EQ(freeBefore + 60 * 8 + 60 * 3, khfa_FileFreeSpaceSize(f, &err));
    khfa_FileFlush(f, &err);
    RawColumn raw = rawColumn(ktest::readFile(path()), ":Layer_1:Descriptor_Table:Red");
    EXPECT_EQ(40, raw.numRows);
    const hfatest::DiskList disk = hfatest::readDiskList(ktest::readFile(path()));
    ASSERT_TRUE(disk.ok);
    bool tailFree = false;
    for (const auto &[pos, size] : disk.blocks)
        tailFree = tailFree || (pos <= raw.dataPtr + 40 * 8 && raw.dataPtr + 40 * 8 < pos + size);
    EXPECT_TRUE(tailFree) << "rows 40.. of Red are not free space";
    EXPECT_EQ(30, kdsc_BinFunctionBinCount(kdsc_TableBinFunctionGet(t)));

    // Growing moves each column and keeps its rows; new rows read as zeros.
    ASSERT_EQ(0, kdsc_TableRowCountSet(t, 250, &err)) << ktest::messages(err.r);
    int32_t rows = 0;
    ASSERT_EQ(0, kdsc_TableRowCountGet(t, &rows, &err));
    EXPECT_EQ(250, rows);
    Bd back(kdsc_ColumnRead(c, 0, 250, nullptr, &err));
    ASSERT_TRUE(back) << ktest::messages(err.r);
    const double *d = &real(back.get(), 0);
    EXPECT_EQ((ktest::Reals{d[0], d[39], d[40], d[249]}), (ktest::Reals{0.25, 39.25, 0, 0}));
    std::vector<char> out(250 * 3, '?');
    ASSERT_EQ(0, kdsc_ColumnReadOld(s, 0, 250, out.data(), &err));
    EXPECT_EQ(std::string(120, 'x') + std::string(3, '\0'), std::string(out.data(), 123));
    khfa_FileFlush(f, &err);
    const RawColumn moved = rawColumn(ktest::readFile(path()), ":Layer_1:Descriptor_Table:Red");
    EXPECT_TRUE(moved.numRows == 250 && raw.dataPtr != moved.dataPtr);
    // Reopened, the file tells the same.
    ASSERT_EQ(0, kdsc_TableClose(t, &err));
    t = kdsc_TableOpen(f, "Layer_1:Descriptor_Table", &err);
    ASSERT_TRUE(t) << ktest::messages(err.r);
    c = kdsc_ColumnOpen(t, "Red", &err);
    ASSERT_TRUE(c);
    Bd again(kdsc_ColumnRead(c, 39, 1, nullptr, &err));
    ASSERT_TRUE(again);
    EXPECT_EQ(39.25, real(again.get(), 0));
    EXPECT_EQ(0, kdsc_ColumnDataMatchesBinFunction(c, &err));  // 30 bins, 250 rows
    // Shrinking below the bins cuts the bin function's window.
    ktest::PrintedReports printed;
    ASSERT_EQ(0, kdsc_TableRowCountSet(t, 20, &err));
    EXPECT_TRUE(printed.contains("Number of rows in table (20) is less than number of bins"));
    const Kdsc_BinFunction *cut = kdsc_TableBinFunctionGet(t);  // 70 is above the window
    EXPECT_EQ((ktest::Ints{kdsc_BinFunctionBinCount(cut), kdsc_BinFunctionApply(cut, 70.0),
                           kdsc_BinFunctionApply(cut, 64.0)}),
              (ktest::Ints{20, 20, 19}));
    ASSERT_EQ(0, kdsc_TableBinFunctionSetAndAdjust(t, lin.get(), &err));
    EXPECT_EQ(1, kdsc_ColumnDataMatchesBinFunction(c, &err));
    kdsc_TableClose(t, &err);
    khfa_FileClose(f, &err);
}

TEST_F(KdscTable, BinFunctionStoredInTheOldFormOnlyWhenWholeAndCutToTheTable) {
    Err err;
    Khfa_File *f = newFile();
    const double l[4] = {0, 10, 20, 35};
    Bd limits = filled(1, 4, KGDA_TYPE_F64, l), uvals = filled(1, 3, KGDA_TYPE_F64, l + 1);
    const Bf kinds[] = {
        Bf(kdsc_BinFunctionCreateDirect(10, -3.5, &err)),
        Bf(kdsc_BinFunctionCreateLinear(10, 0, 100, &err)),
        Bf(kdsc_BinFunctionCreateLogarithm(10, 1, 2, &err)),
        Bf(kdsc_BinFunctionCreateExplicit(3, limits.get(), &err)),
        Bf(kdsc_BinFunctionCreateFromTitle("Unique Value", 3, 0, 0, uvals.get(), &err)),
    };
    for (int window = 0; window < 2; ++window)
        for (const Bf &k : kinds) {
            ASSERT_TRUE(k);
            Bf f0(kdsc_BinFunctionCopy(k.get(), &err));
            if (window) {
                ASSERT_EQ(0, kdsc_BinFunctionBinCountModify(f0.get(), 1, 2, &err));
            }
            const std::string name = std::string(":Layer_1:T") + std::to_string(window) +
                                     std::string(kdsc_BinFunctionTitle(f0.get())).substr(0, 3);
            Kdsc_Table *t = kdsc_TableCreate(f, name.c_str(), 10, f0.get(), &err);
            ASSERT_TRUE(t) << name << ktest::messages(err.r);
            kdsc_TableClose(t, &err);
            khfa_FileFlush(f, &err);
            const std::string b = ktest::readFile(path());
            const bool old = !window && kdsc_BinFunctionType(f0.get()) <= 3;
            EXPECT_EQ(old, diskEntry(b, name + ":#Bin_Function#") != 0) << name;
            EXPECT_EQ(!old, diskEntry(b, name + ":#Bin_Function840#") != 0) << name;
            if (old) {  // numBins, then the 16-bit type, then minLimit and maxLimit
                const uint32_t d = le32(b, diskEntry(b, name + ":#Bin_Function#") + 16);
                EXPECT_EQ(static_cast<uint32_t>(kdsc_BinFunctionType(f0.get())),
                          le32(b, d + 4) & 0xFFFF);
                double lo, hi;
                std::memcpy(&lo, b.data() + d + 6, 8);
                std::memcpy(&hi, b.data() + d + 14, 8);
                const double wantLo[] = {-3.5, 0, 1, 0}, wantHi[] = {5.5, 100, 2, 35};
                EXPECT_EQ(wantLo[kdsc_BinFunctionType(f0.get())], lo) << name;
                EXPECT_EQ(wantHi[kdsc_BinFunctionType(f0.get())], hi) << name;
            }
            t = kdsc_TableOpen(f, name.c_str(), &err);
            ASSERT_TRUE(t) << name << ktest::messages(err.r);
            EXPECT_TRUE(kdsc_BinFunctionIsSame(f0.get(), kdsc_TableBinFunctionGet(t))) << name;
            kdsc_TableClose(t, &err);
        }
    // A bin function wider than the table is cut, with a warning.
    Bf wide(kdsc_BinFunctionCreateDirect(256, 0, &err));
    ktest::PrintedReports printed;
    Kdsc_Table *t = kdsc_TableCreate(f, ":Layer_1:T", 100, wide.get(), &err);
    ASSERT_TRUE(t);
    EXPECT_TRUE(
        printed.contains("Number of rows in table (100) is less than number of bins in "
                         "bin function (256)\nBin function adjusted"));
    EXPECT_EQ(100, kdsc_BinFunctionBinCount(kdsc_TableBinFunctionGet(t)));
    EXPECT_EQ(256, kdsc_BinFunctionBinCount(wide.get()));  // the caller's is copied
    refused(err, kdsc_TableBinFunctionSet(t, wide.get(), &err) == -1,
            "Number of bins exceeds number of rows in table");
    EXPECT_TRUE(ktest::hasCode(err.r, "kdsc_TableBinFunctionSet", 3));
    kdsc_TableClose(t, &err);
    khfa_FileClose(f, &err);
}

TEST_F(KdscTable, Refusals) {
    Err err;
    Khfa_File *f = newFile();
    refused(err, !kdsc_TableCreate(nullptr, ":T", 3, nullptr, &err), "File pointer is NULL");
    refused(err, !kdsc_TableOpen(f, nullptr, &err), "NULL table name");
    refusedWith(err, !kdsc_TableOpen(f, ":Layer_1", &err), ":Layer_1 is not a descriptor table");
    int32_t n;
    refused(err, kdsc_TableRowCountGet(nullptr, &n, &err) == -1, "Table pointer is NULL");
    Kdsc_Table *t = kdsc_TableCreate(f, ":Layer_1:T", 4, nullptr, &err);
    ASSERT_TRUE(t);
    refused(err, kdsc_TableRowCountGet(t, nullptr, &err) == -1, "Count pointer is NULL");
    refusedWith(err, !kdsc_TableCreate(f, ":Layer_1:T", 4, nullptr, &err),
                ":Layer_1:T already exists");
    refused(err, !kdsc_TableOpenWithMethods("nosuchset", &err),
            "Table method set nosuchset not found");
    refused(err, kdsc_TableBinFunctionSet(t, nullptr, &err) == -1, "Bin function pointer is NULL");

    Kdsc_Column *c = kdsc_ColumnCreate(t, "A", KDSC_COLUMN_INTEGER, 0, &err);
    ASSERT_TRUE(c);
    refusedWith(err, !kdsc_ColumnCreate(t, "A", KDSC_COLUMN_REAL, 0, &err),
                "Column A already exists");
    refused(err, !kdsc_ColumnCreate(t, "B", 7, 0, &err), "Unknown column type 7.");
    refusedWith(err, !kdsc_ColumnCreate(t, "B", KDSC_COLUMN_STRING, 0, &err),
                "maxNumChars invalid for string type");
    refused(err, !kdsc_ColumnOpen(t, "Missing", &err), "Column Missing does not exist");
    EXPECT_FALSE(kdsc_ColumnOpenIfPresent(t, "Missing", &err));
    EXPECT_FALSE(err);
    EXPECT_EQ(0, kdsc_ColumnExist(t, "Missing", &err));
    EXPECT_EQ(1, kdsc_ColumnExist(t, "A", &err));
    refusedWith(err, !kdsc_ColumnOpen(t, "#Bin_Function#", &err), "Node type is not Kdsc_Column");
    // A real array into an integer column, and rows past the end.
    Bd reals = make(4, 1, KGDA_TYPE_F64, KGDA_TABLE_OBJECT);
    refusedWith(err, kdsc_ColumnWrite(c, 0, 4, reals.get(), &err) == -1,
                "Source and destination column datatype do not match");
    Bd ints = make(4, 1, KGDA_TYPE_S32, KGDA_TABLE_OBJECT);
    EXPECT_EQ(-1, kdsc_ColumnWrite(c, 1, 4, ints.get(), &err));
    EXPECT_TRUE(ktest::hasCode(err.r, "kdsc_HFAColumnDataWrite", 1));
    EXPECT_FALSE(kdsc_ColumnRead(c, -1, 2, ints.get(), &err));
    EXPECT_TRUE(ktest::hasCode(err.r, "kdsc_HFAColumnDataRead", 1));
    // A column with fewer rows than its table is refused while the check is on.
    const Kmif_Design *cd = kdsc_DesignGet("Kdsc_Column", &err);
    ASSERT_TRUE(cd);
    struct {
        int32_t numRows;
        uint32_t ptr;
        int32_t type, width;
    } shortCol = {2, khfa_NextFreePos(f, 8, &err), 0, 0};
    ASSERT_EQ(0, khfa_ObjectWrite(f, ":Layer_1:T", "Short", "Kdsc_Column", KHFA_WRITE_LAST_CHILD,
                                  &shortCol, cd, &err));
    shortCol.numRows = 0;
    refused(err, !kdsc_ColumnOpen(t, "Short", &err),
            "Column row count is less than table row count");
    EXPECT_EQ(1, kdsc_ColumnRowCountCheckSet(0));
    Kdsc_Column *sc = kdsc_ColumnOpen(t, "Short", &err);
    EXPECT_TRUE(sc) << ktest::messages(err.r);
    kdsc_ColumnRowCountCheckSet(1);
    // Renaming and removing columns.
    ASSERT_EQ(0, kdsc_ColumnChangeName(c, "Renamed", &err)) << ktest::messages(err.r);
    EXPECT_EQ(1, kdsc_ColumnExist(t, "Renamed", &err));
    const int64_t before = khfa_FileFreeSpaceSize(f, &err);
    ASSERT_EQ(0, kdsc_ColumnRemove(c, &err));
    EXPECT_EQ(0, kdsc_ColumnExist(t, "Renamed", &err));
    EXPECT_LT(before, khfa_FileFreeSpaceSize(f, &err));
    ASSERT_EQ(0, kdsc_TableRemove(t, &err)) << ktest::messages(err.r);
    EXPECT_FALSE(khfa_EntryPeek(f, KHFA_SEEK_PATH, ":Layer_1:T", &err));
    khfa_FileClose(f, &err);
}

TEST_F(KdscTable, MethodSetsCopiesAndReordering) {
    Err err;
    Kdsc_TableMethods *m = kdsc_TableMethodsOpen("kdsc_HFA", &err);
    ASSERT_TRUE(m);
    EXPECT_EQ(supports(m), (ktest::Ints{1, 1, 1, 1, 1, 1, 1, 1, 0}));
    kdsc_TableMethodsClose(m, &err);
    m = kdsc_TableMethodsOpen("kimg_DSC", &err);
    ASSERT_TRUE(m);
    EXPECT_EQ((ktest::Ints{kdsc_TableMethodsSupportColumnType(m, KDSC_COLUMN_INTEGER),
                           kdsc_TableMethodsSupportColumnType(m, KDSC_COLUMN_STRING),
                           kdsc_TableMethodsSupportTableCreation(nullptr)}),
              (ktest::Ints{0, 1, 0}));
    kdsc_TableMethodsClose(m, &err);

    Khfa_File *f = newFile();
    Kdsc_Table *t = kdsc_TableCreate(f, ":Layer_1:T", 3, nullptr, &err);
    ASSERT_TRUE(t);
    EXPECT_EQ((ktest::Ints{kdsc_TableSupportsColumnType(t, "complex"),
                           kdsc_TableSupportsColumnType(t, "boolean")}),
              (ktest::Ints{1, 0}));
    Kdsc_Column *a = kdsc_ColumnCreate(t, "A", KDSC_COLUMN_REAL, 0, &err);
    Kdsc_Column *b = kdsc_ColumnCreate(t, "B", KDSC_COLUMN_REAL, 0, &err);
    Kdsc_Column *s = kdsc_ColumnCreate(t, "S", KDSC_COLUMN_STRING, 4, &err);
    ASSERT_TRUE(a && b && s);
    // A stack of two columns written and read at once.
    Kgda_BaseDataStack *stack =
        kgda_BaseDataStackCreate(2, 3, 1, KGDA_TYPE_F64, KGDA_TABLE_OBJECT, &err);
    ASSERT_TRUE(stack) << ktest::messages(err.r);
    for (int l = 0; l < 2; ++l)
        for (int r = 0; r < 3; ++r) real(stack->layers[l], r) = 10 * l + r;
    Kdsc_Column *const pair[] = {a, b};
    ASSERT_EQ(0, kdsc_DescriptorStackWrite(pair, 2, 0, 3, stack, &err)) << ktest::messages(err.r);
    Kdsc_Column *const swapped[] = {b, a};
    ASSERT_EQ(0, kdsc_DescriptorStackRead(swapped, 2, 0, 3, stack, &err));
    EXPECT_EQ((ktest::Reals{real(stack->layers[0], 2), real(stack->layers[1], 2)}),
              (ktest::Reals{12, 2}));
    refused(err, kdsc_DescriptorStackRead(swapped, 3, 0, 3, stack, &err) == -1, "Args");
    kgda_BaseDataStackDelete(stack, &err);
    kdsc_TableClose(t, &err);
    // The built-in entries directly: reordering, copies, a column as one object.
    int32_t rows = 0;
    ASSERT_EQ(0, kdsc_HFATableArgsSet(f, "Layer_1:T", &err));
    void *h = kdsc_HFATableOpen(&rows, &err);
    ASSERT_TRUE(h) << ktest::messages(err.r);
    EXPECT_EQ(3, rows);
    Kstr_StringList *order = kstr_StringListCreate(&err);
    kstr_StringListAppend(order, "S", &err);
    kstr_StringListAppend(order, "B", &err);
    ASSERT_EQ(0, kdsc_HFATableColumnNamesSet(h, order, &err)) << ktest::messages(err.r);
    Kstr_StringList *cols = kdsc_HFATableColumnNamesGet(h, &err);
    ASSERT_TRUE(cols && cols->count == 3);
    EXPECT_EQ(std::string(cols->strings[0]) + cols->strings[1] + cols->strings[2], "SBA");
    kstr_StringListFree(cols);
    kstr_StringListAppend(order, "Nope", &err);
    refused(err, kdsc_HFATableColumnNamesSet(h, order, &err) == -1, "Column Nope does not exist");
    kstr_StringListFree(order);
    void *ca = kdsc_HFAColumnOpen(h, "A", nullptr, nullptr, nullptr, &err);
    void *cb = kdsc_HFAColumnOpen(h, "B", nullptr, nullptr, nullptr, &err);
    void *cs = kdsc_HFAColumnOpen(h, "S", nullptr, nullptr, nullptr, &err);
    ASSERT_TRUE(ca && cb && cs);
    ASSERT_EQ(0, kdsc_HFAColumnDataCopy(ca, cb, &err)) << ktest::messages(err.r);
    refused(err, kdsc_HFAColumnDataCopy(ca, cs, &err) == -1,
            "Source and destination column datatype do not match");
    void *record = kdsc_HFAColumnAndMIFDataRead(ca, &err);
    ASSERT_TRUE(record) << ktest::messages(err.r);
    ASSERT_EQ(0, kdsc_HFATableArgsSet(f, ":Layer_1:T2", &err));
    void *h2 = kdsc_HFATableCreate(3, &err);
    ASSERT_TRUE(h2);
    void *copy = kdsc_HFAColumnAndMIFDataWrite(h2, "Copy", record, &err);
    ASSERT_TRUE(copy) << ktest::messages(err.r);
    Bd back = make(3, 1, KGDA_TYPE_F64, KGDA_TABLE_OBJECT);
    ASSERT_EQ(0, kdsc_HFAColumnDataRead(copy, 0, 3, back.get(), &err));
    EXPECT_EQ(2, real(back.get(), 2));
    void *again = kdsc_HFAColumnAndMIFDataWrite(h, "B", record, &err);  // an existing column
    EXPECT_TRUE(again) << ktest::messages(err.r);
    kdsc_HFAColumnClose(again, &err);
    EXPECT_FALSE(kdsc_HFAColumnAndMIFDataWrite(nullptr, "X", record, &err));
    kmif_ObjectFree(&record, kdsc_DesignGet("Kdsc_HFA_Column", nullptr), &err);
    Bd bb = make(3, 1, KGDA_TYPE_F64, KGDA_TABLE_OBJECT);
    ASSERT_EQ(0, kdsc_HFAColumnDataRead(cb, 0, 3, bb.get(), &err));
    EXPECT_EQ(2, real(bb.get(), 2));  // B holds A's rows now
    for (void *c : {ca, cb, cs, copy}) kdsc_HFAColumnClose(c, &err);
    kdsc_HFATableClose(h, &err);
    kdsc_HFATableClose(h2, &err);
    // A table removed by its method set's arguments.
    ASSERT_EQ(0, kdsc_HFATableArgsSet(f, ":Layer_1:T2", &err));
    ASSERT_EQ(0, kdsc_TableDestroyWithMethods("kdsc_HFA", &err)) << ktest::messages(err.r);
    EXPECT_FALSE(khfa_EntryPeek(f, KHFA_SEEK_PATH, ":Layer_1:T2", &err));
    refused(err, !kdsc_HFATableOpen(&rows, &err), "Args");  // the arguments served once
    refused(err, kdsc_HFATableDestroy(nullptr, &err) == -1, "Table pointer is NULL");
    refused(err, kdsc_HFATableRowCountSet(nullptr, 3, &err) == -1, "Table pointer is NULL");
    khfa_FileClose(f, &err);
}

// Method sets loaded from plug-ins of the class: a full set stores tables the
// built-in set reads back; a read-only set is refused what it lacks, each with
// its message; a library that does not load is no set.
TEST_F(KdscTable, MethodSetsFromPlugIns) {
    ktest::TempDir extra;
    ktest::writeFile(extra.file("broken.so"), "not a shared object");
    ktest::ScopedEnv path("ORVEL_DESCRIPTOR_TABLES_PATH",
                          (std::string(KRASTER_DT_TEST_DIR) + ";" + extra.path()).c_str());
    Err err;
    Khfa_File *f = newFile();
    ASSERT_EQ(0, kdsc_HFATableArgsSet(f, ":Layer_1:P", &err));
    Kdsc_Table *t = kdsc_TableCreateWithMethods("dtforward", 4, nullptr, &err);
    ASSERT_TRUE(t) << ktest::messages(err.r);
    Kdsc_Column *c = kdsc_ColumnCreate(t, "V", KDSC_COLUMN_REAL, 0, &err);
    ASSERT_TRUE(c) << ktest::messages(err.r);
    Bd v = make(4, 1, KGDA_TYPE_F64, KGDA_TABLE_OBJECT);
    for (int r = 0; r < 4; ++r) real(v.get(), r) = 1.5 * r - 2;
    ASSERT_EQ(0, kdsc_ColumnWrite(c, 0, 4, v.get(), &err)) << ktest::messages(err.r);
    ASSERT_EQ(0, kdsc_TableRowCountSet(t, 6, &err)) << ktest::messages(err.r);
    ASSERT_EQ(0, kdsc_TableClose(t, &err));
    // What the plug-in stored, through the built-in set.
    t = kdsc_TableOpen(f, ":Layer_1:P", &err);
    ASSERT_TRUE(t) << ktest::messages(err.r);
    int32_t rows = 0;
    EXPECT_EQ(0, kdsc_TableRowCountGet(t, &rows, &err));
    EXPECT_EQ(6, rows);
    c = kdsc_ColumnOpen(t, "V", &err);
    ASSERT_TRUE(c) << ktest::messages(err.r);
    Bd back(kdsc_ColumnRead(c, 0, 4, nullptr, &err));
    ASSERT_TRUE(back) << ktest::messages(err.r);
    for (int r = 0; r < 4; ++r) EXPECT_EQ(1.5 * r - 2, real(back.get(), r)) << r;
    kdsc_TableClose(t, &err);

    Kdsc_TableMethods *m = kdsc_TableMethodsOpen("dtreadonly", &err);
    ASSERT_TRUE(m) << ktest::messages(err.r);
    EXPECT_EQ(supports(m), (ktest::Ints{0, 0, 0, 0, 1, 1, 1, 1, 0}));
    kdsc_TableMethodsClose(m, &err);
    ASSERT_EQ(0, kdsc_HFATableArgsSet(f, ":Layer_1:Q", &err));
    refused(err, !kdsc_TableCreateWithMethods("dtreadonly", 4, nullptr, &err),
            "dtreadonly table format does not support table creation");
    refused(err, kdsc_TableDestroyWithMethods("dtreadonly", &err) == -1,
            "dtreadonly table format does not support table destruction");
    ASSERT_EQ(0, kdsc_HFATableArgsSet(f, ":Layer_1:P", &err));
    t = kdsc_TableOpenWithMethods("dtreadonly", &err);
    ASSERT_TRUE(t) << ktest::messages(err.r);
    c = kdsc_ColumnOpen(t, "V", &err);
    ASSERT_TRUE(c) << ktest::messages(err.r);
    Bd one(kdsc_ColumnRead(c, 1, 1, nullptr, &err));
    ASSERT_TRUE(one) << ktest::messages(err.r);
    EXPECT_EQ(-0.5, real(one.get(), 0));
    refused(err, kdsc_ColumnWrite(c, 0, 4, v.get(), &err) == -1,
            "dtreadonly table format does not support column update");
    refused(err, !kdsc_ColumnCreate(t, "W", KDSC_COLUMN_REAL, 0, &err),
            "dtreadonly table format does not support column creation");
    refused(err, kdsc_TableRowCountSet(t, 2, &err) == -1,
            "dtreadonly table format does not support row count modification");
    kdsc_TableClose(t, &err);

    {
        ktest::PrintedReports printed;
        refused(err, !kdsc_TableMethodsOpen("broken", &err), "Table method set broken not found");
        EXPECT_TRUE(printed.contains("Conditional load of DLL broken failed"));
    }
    refused(err, !kdsc_TableMethodsOpen("absent", &err), "Table method set absent not found");
    // The full set removes the table.
    ASSERT_EQ(0, kdsc_HFATableArgsSet(f, ":Layer_1:P", &err));
    ASSERT_EQ(0, kdsc_TableDestroyWithMethods("dtforward", &err)) << ktest::messages(err.r);
    EXPECT_FALSE(khfa_EntryPeek(f, KHFA_SEEK_PATH, ":Layer_1:P", &err));
    khfa_FileClose(f, &err);
}

TEST_F(KdscTable, TablesCreatedOnSeveralThreadsAtOnce) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < 4; ++k)
        threads.emplace_back([&, k] {
            Err err;
            Khfa_File *f = khfa_FileCreate(path("t" + std::to_string(k)).c_str(), nullptr, &err);
            if (!f) {
                ++failures;
                return;
            }
            for (int i = 0; i < 25; ++i) {
                const std::string name = ":T" + std::to_string(i);
                Kdsc_Table *t = kdsc_TableCreate(f, name.c_str(), 1 + i + k, nullptr, &err);
                int32_t rows = -1;
                if (!t || kdsc_TableRowCountGet(t, &rows, &err) != 0 || rows != 1 + i + k ||
                    !khfa_EntryPeek(f, KHFA_SEEK_PATH, name.c_str(), nullptr))
                    ++failures;
                kdsc_TableClose(t, &err);
            }
            khfa_FileClose(f, &err);
        });
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(0, failures.load());
}

}  // namespace
