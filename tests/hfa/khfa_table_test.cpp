// Record tables: records across block boundaries read back after reopening
// and as the raw bytes of their streams, the master and field tables' exact
// layout, designs from text files, and every refusal with its message.
#include <gtest/gtest.h>
#include <kraster/kraster.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/ktest.hpp"
#include "support/ktest_checks.hpp"

namespace {

std::string pad(const std::string &s, size_t width) {
    return s + std::string(width - s.size(), ' ');
}

// The whole byte stream of a named stream, read through the stream API.
std::string streamBytes(Khfa_File *file, const std::string &name) {
    ktest::Err e;
    Khfa_Cache *c = khfa_CacheOpen(file, name.c_str(), kint_GetInit(), &e);
    EXPECT_NE(c, nullptr) << ktest::messages(e.r);
    if (!c) return {};
    std::string out(static_cast<size_t>(khfa_CacheByteCount(c, &e)), '\0');
    out.resize(static_cast<size_t>(std::max(0, khfa_CacheRead(c, out.data(), out.size(), &e))));
    khfa_CacheFree(c, &e);
    return out;
}

std::string field(const Khfa_TableRecord *r, const char *name) {
    char v[256];
    ktest::Err e;
    EXPECT_EQ(khfa_GetRecordFieldByName(r, name, v, sizeof v, &e), 0) << ktest::messages(e.r);
    return v;
}

class HfaTable : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(kint_InitToolkit(nullptr)); }
    ktest::TempDir dir;
    std::string name = dir.file("t.hfa");
    const char *names[5] = {"Label", "Value", "Count", "Flag", "When"};
    const int32_t types[5] = {KHFA_FIELD_CHAR, KHFA_FIELD_FLOAT, KHFA_FIELD_INT, KHFA_FIELD_BOOL,
                              KHFA_FIELD_DATETIME};
    const int32_t widths[5] = {10, 99, 99, 99, 99};  // only char's counts
};

TEST_F(HfaTable, RecordsRoundTripInTheirStoredLayout) {
    ktest::Err e;
    Khfa_TableDesign *d = khfa_TableDesignCreate(5, names, types, widths, &e);
    ASSERT_NE(d, nullptr) << ktest::messages(e.r);
    EXPECT_EQ(d->recordLength, 10 + 16 + 8 + 2 + 15 + 4);
    Khfa_File *f = khfa_CacheFileOpen(name.c_str(), kint_GetInit(), &e);
    ASSERT_NE(f, nullptr) << ktest::messages(e.r);
    Khfa_Table *t = khfa_TableCreate(f, "parcels", d, kint_GetInit(), &e);
    ASSERT_NE(t, nullptr) << ktest::messages(e.r);
    // 300 records of 55 bytes cross many 1024-byte blocks.
    const int n = 300;
    std::string expected;
    Khfa_TableRecord *r = khfa_TableCurrentRecord(t);
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(khfa_ModifyRecordFieldByName(r, "Label", ("p" + std::to_string(i)).c_str(), &e),
                  0);
        ASSERT_EQ(khfa_ModifyRecordFieldByIndex(r, 1, std::to_string(i + 0.5).c_str(), &e), 0);
        ASSERT_EQ(khfa_ModifyRecordFieldByName(r, "Count", std::to_string(-i).c_str(), &e), 0);
        ASSERT_EQ(khfa_ModifyRecordFieldByName(r, "Flag", i % 2 ? "1" : "0", &e), 0);
        ASSERT_EQ(khfa_ModifyRecordFieldByName(r, "When", "20261206170000", &e), 0);
        ASSERT_EQ(khfa_TableRecordWrite(t, i, &e), 0) << ktest::messages(e.r);
        char value[32];
        std::snprintf(value, sizeof value, "%-16.10g", i + 0.5);
        expected += pad("p" + std::to_string(i), 10) + "|" + value + "|" +
                    pad(std::to_string(-i), 8) + "|" + (i % 2 ? "1 " : "0 ") + "|" +
                    pad("20261206170000", 15);
    }
    // A record rewritten in place.
    ASSERT_NE(khfa_TableRecordRead(t, 7, &e), nullptr);
    ASSERT_EQ(khfa_ModifyRecordFieldByName(r, "Label", "seven", &e), 0);
    ASSERT_EQ(khfa_TableRecordWrite(t, 7, &e), 0);
    expected.replace(7 * 55, 10, pad("seven", 10));
    ASSERT_EQ(khfa_TableClose(t, &e), 0) << ktest::messages(e.r);
    // A second table of another design in the same file.
    Khfa_TableDesign *d2 = khfa_TableDesignCreate(1, names, types, widths, &e);
    Khfa_Table *t2 = khfa_TableCreate(f, "small", d2, kint_GetInit(), &e);
    ASSERT_NE(t2, nullptr) << ktest::messages(e.r);
    ASSERT_EQ(khfa_ModifyRecordFieldByIndex(khfa_TableCurrentRecord(t2), 0, "only", &e), 0);
    ASSERT_EQ(khfa_TableRecordWrite(t2, 0, &e), 0);
    ASSERT_EQ(khfa_TableClose(t2, &e), 0);
    ASSERT_EQ(khfa_CacheFileClose(f, &e), 0);

    f = khfa_CacheFileOpen(name.c_str(), kint_GetInit(), &e);
    ASSERT_NE(f, nullptr);
    // bytecount runs one above the last byte written.
    const std::string parcels = streamBytes(f, name + "(:parcels)");
    EXPECT_EQ(parcels.size(), expected.size() + 1);
    EXPECT_EQ(parcels.substr(0, expected.size()), expected);
    const std::string master = pad("parcels", 26) + "|0       |0       |55      |" +
                               pad("parcels_design", 194) + pad("small", 26) +
                               "|0       |0       |10      |" + pad("small_design", 194);
    EXPECT_EQ(streamBytes(f, name + "(:master)").substr(0, master.size()), master);
    const std::string fields = streamBytes(f, name + "(:field)");
    EXPECT_EQ(fields.size(), 6u * 71 + 1);
    EXPECT_EQ(fields.substr(71, 71),
              pad("parcels_design", 26) + "|" + pad("Value", 26) + "|1       |16      ");
    t = khfa_TableOpen(f, "parcels", kint_GetInit(), &e);
    ASSERT_NE(t, nullptr) << ktest::messages(e.r);
    const Khfa_TableDesign *back = khfa_TableDesignGet(t);
    ASSERT_EQ(back->fieldCount, 5);
    for (int i = 0; i < 5; ++i) {
        EXPECT_STREQ(back->fields[i].name, d->fields[i].name);
        EXPECT_EQ(back->fields[i].type, d->fields[i].type);
        EXPECT_EQ(back->fields[i].width, d->fields[i].width);
    }
    EXPECT_EQ(khfa_TableRecordCount(t, &e), n);
    r = khfa_TableRecordRead(t, 7, &e);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(field(r, "Label"), "seven");
    for (int i = 8; i < n; ++i) {
        r = khfa_TableRecordNext(t, &e);
        ASSERT_NE(r, nullptr) << i << ktest::messages(e.r);
        EXPECT_EQ(field(r, "Label"), "p" + std::to_string(i));
        EXPECT_EQ(std::stod(field(r, "Value")), i + 0.5);
        EXPECT_EQ(field(r, "Count"), std::to_string(-i));
        EXPECT_EQ(field(r, "Flag"), i % 2 ? "1" : "0");
    }
    EXPECT_EQ(khfa_TableRecordNext(t, &e), nullptr);
    EXPECT_TRUE(ktest::hasCode(e.r, "khfa_TableRecordNext", 2));
    EXPECT_TRUE(ktest::says(e.r, "Error reading record [300]"));
    // A record of the design loaded and appended at the end.
    Khfa_TableRecord *own = khfa_TableRecordStructureCreate(d, &e);
    ASSERT_EQ(khfa_ModifyRecordFieldByName(own, "Label", "last", &e), 0);
    ASSERT_EQ(khfa_TableRecordLoad(t, own, &e), 0);
    ASSERT_EQ(khfa_TableRecordWrite(t, n, &e), 0);
    EXPECT_EQ(khfa_TableRecordCount(t, &e), n + 1);
    // Re-laid for the small design: Label stays, the rest goes.
    ASSERT_EQ(khfa_TableRecordStructureChange(own, d2, &e), 0);
    EXPECT_EQ(std::string(own->text), pad("last", 10));
    khfa_TableRecordStructureFree(own);
    khfa_TableFree(t);  // not written: the appended record is lost
    t = khfa_TableOpen(f, "small", kint_GetInit(), &e);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(field(khfa_TableRecordRead(t, 0, &e), "Label"), "only");
    khfa_TableFree(t);
    // A table on the caller's stream leaves that stream open when freed.
    Khfa_Cache *borrowed = khfa_CacheOpen(f, (name + "(:parcels)").c_str(), kint_GetInit(), &e);
    ASSERT_NE(borrowed, nullptr) << ktest::messages(e.r);
    t = khfa_TableNew(borrowed, d, &e);
    ASSERT_NE(t, nullptr) << ktest::messages(e.r);
    khfa_TableFree(t);
    EXPECT_EQ(khfa_CacheByteCount(borrowed, &e), static_cast<int64_t>(parcels.size()));
    khfa_CacheFree(borrowed, &e);
    ASSERT_EQ(khfa_CacheFileClose(f, &e), 0);
    khfa_TableDesignFree(d);
    khfa_TableDesignFree(d2);
}

TEST_F(HfaTable, DesignsFromTextFiles) {
    const std::string text = dir.file("designs.txt");
    ktest::writeFile(text,
                     "other 1\nx int\nparcels 3\nLabel CHAR 12\nValue Float\nok Bool 1\n"
                     "broken 2\nonly char\n");
    ktest::Err e;
    Khfa_TableDesign *d = khfa_TableDesignCreateFromFile(text.c_str(), "parcels", &e);
    ASSERT_NE(d, nullptr) << ktest::messages(e.r);
    ASSERT_EQ(d->fieldCount, 3);
    EXPECT_STREQ(d->fields[0].name, "Label");
    EXPECT_EQ((ktest::Ints{d->fields[0].width, d->fields[1].type, d->fields[1].width,
                           d->fields[2].type, d->recordLength}),
              (ktest::Ints{12, KHFA_FIELD_FLOAT, 16, KHFA_FIELD_BOOL, 12 + 16 + 2 + 2}));
    khfa_TableDesignFree(d);
    // 1024 fields are the most a design has.
    std::string wide = "wide 1024\n";
    for (int i = 0; i < 1024; ++i) wide += "f" + std::to_string(i) + " int\n";
    ktest::writeFile(dir.file("wide.txt"), wide);
    d = khfa_TableDesignCreateFromFile(dir.file("wide.txt").c_str(), "wide", &e);
    ASSERT_NE(d, nullptr) << ktest::messages(e.r);
    EXPECT_EQ(d->fieldCount, 1024);
    khfa_TableDesignFree(d);
    const struct {
        std::string file, table, message;
    } bad[] = {
        {dir.file("none.txt"), "parcels", "   file [" + dir.file("none.txt") + "] not found"},
        {dir.file(""), "parcels", "   error opening [" + dir.file("") + "]"},
        {text, "absent", "   error finding design [absent] in file [" + text + "]"},
        {text, "broken", "   error finding design [broken] in file [" + text + "]"},
        {"", "parcels", "Name not provided!"},
        {text, "", "   Table Name not provided!"},
    };
    for (const auto &b : bad) {
        SCOPED_TRACE(b.message);
        EXPECT_EQ(khfa_TableDesignCreateFromFile(b.file.c_str(), b.table.c_str(), &e), nullptr);
        EXPECT_TRUE(ktest::says(e.r, b.message)) << ktest::messages(e.r);
    }
}

TEST_F(HfaTable, RefusalsGiveTheirMessages) {
    ktest::Err e;
    Khfa_TableDesign *d = khfa_TableDesignCreate(5, names, types, widths, &e);
    Khfa_File *f = khfa_CacheFileOpen(name.c_str(), kint_GetInit(), &e);
    ASSERT_TRUE(d && f);
    Khfa_Table *t = khfa_TableCreate(f, "a", d, kint_GetInit(), &e);
    ASSERT_NE(t, nullptr) << ktest::messages(e.r);
    Khfa_TableRecord *r = khfa_TableCurrentRecord(t);
    const char *dup[2] = {"x", "x"};
    const int32_t twoChars[2] = {0, 0}, w[2] = {3, 3};
    char v[4];
    ASSERT_EQ(khfa_ModifyRecordFieldByName(r, "Label", "full", &e), 0);
    ktest::expectRefusals({
        {"khfa_TableCreate", 1, "Name not provided!",
         [&](auto err) { return !khfa_TableCreate(nullptr, "b", d, kint_GetInit(), err); }},
        {"khfa_TableCreate", 2, "   Table Name not provided!",
         [&](auto err) { return !khfa_TableCreate(f, "", d, kint_GetInit(), err); }},
        {"khfa_TableCreate", 2, "   Table Name not provided!",
         [&](auto err) { return !khfa_TableCreate(f, "master", d, kint_GetInit(), err); }},
        {"khfa_TableCreate", 3, "Invalid design",
         [&](auto err) { return !khfa_TableCreate(f, "b", nullptr, kint_GetInit(), err); }},
        {"khfa_TableCreate", 5, "Table [a] already exists",
         [&](auto err) { return !khfa_TableCreate(f, "a", d, kint_GetInit(), err); }},
        {"khfa_TableOpen", 4, "Error opening table [zz]",
         [&](auto err) { return !khfa_TableOpen(f, "zz", kint_GetInit(), err); }},
        {"khfa_TableOpen", 2, "   Table Name not provided!",
         [&](auto err) { return !khfa_TableOpen(f, nullptr, kint_GetInit(), err); }},
        {"khfa_TableDesignCreate", 2, "Field [x] given twice",
         [&](auto err) { return !khfa_TableDesignCreate(2, dup, twoChars, w, err); }},
        {"khfa_TableDesignCreate", 2, "Invalid field 0",
         [&](auto err) { return !khfa_TableDesignCreate(1, names, twoChars, nullptr, err); }},
        {"khfa_TableDesignCreate", 1, "A design has 1 to 1024 fields, not 0",
         [&](auto err) { return !khfa_TableDesignCreate(0, names, types, widths, err); }},
        {"khfa_TableRecordRead", 21, "Error reading record [0]",
         [&](auto err) { return !khfa_TableRecordRead(t, 0, err); }},
        {"khfa_TableRecordWrite", 22, "Error writing record [1]",
         [&](auto err) { return khfa_TableRecordWrite(t, 1, err) == -1; }},
        {"khfa_TableRecordSeek", 20, "Error seeking record [-1]",
         [&](auto err) { return khfa_TableRecordSeek(t, -1, 55, err) == -1; }},
        {"khfa_ModifyRecordFieldByName", 3, "Error modifying record",
         [&](auto err) { return khfa_ModifyRecordFieldByName(r, "Count", "12x", err) == -1; }},
        {"khfa_ModifyRecordFieldByName", 3, "Error modifying record",
         [&](auto err) { return khfa_ModifyRecordFieldByName(r, "Count", "123456789", err); }},
        {"khfa_ModifyRecordFieldByName", 3, "Error modifying record",
         [&](auto err) { return khfa_ModifyRecordFieldByName(r, "Flag", "2", err) == -1; }},
        {"khfa_ModifyRecordFieldByName", 3, "Error modifying record",
         [&](auto err) { return khfa_ModifyRecordFieldByName(r, "Label", "eleven char", err); }},
        {"khfa_ModifyRecordFieldByName", 3, "Error modifying record",
         [&](auto err) { return khfa_ModifyRecordFieldByName(r, "Value", "nan", err) == -1; }},
        {"khfa_ModifyRecordFieldByName", 2, "   field [nope] not found!",
         [&](auto err) { return khfa_ModifyRecordFieldByName(r, "nope", "1", err) == -1; }},
        {"khfa_ModifyRecordFieldByIndex", 2, "   field [5] not found!",
         [&](auto err) { return khfa_ModifyRecordFieldByIndex(r, 5, "1", err) == -1; }},
        {"khfa_ModifyRecordFieldByIndex", 1, "record pointer is NULL",
         [&](auto err) { return khfa_ModifyRecordFieldByIndex(nullptr, 0, "1", err) == -1; }},
        {"khfa_GetRecordFieldByName", 2, "   field [nope] not found!",
         [&](auto err) { return khfa_GetRecordFieldByName(r, "nope", v, 4, err) == -1; }},
        {"khfa_GetRecordFieldByName", 1, "record pointer is NULL",
         [&](auto err) { return khfa_GetRecordFieldByName(nullptr, "Flag", v, 4, err) == -1; }},
        {"khfa_GetRecordFieldByIndex", 3, "The value of field [Label] needs 5 bytes",
         [&](auto err) { return khfa_GetRecordFieldByIndex(r, 0, v, 4, err) == -1; }},
        {"khfa_TableRecordLoad", 1, "record pointer is NULL",
         [&](auto err) { return khfa_TableRecordLoad(t, nullptr, err) == -1; }},
        {"khfa_TableRecordStructureCreate", 1, "Invalid design",
         [&](auto err) { return !khfa_TableRecordStructureCreate(nullptr, err); }},
        {"khfa_TableRecordStructureChange", 1, "record pointer is NULL",
         [&](auto err) { return khfa_TableRecordStructureChange(nullptr, d, err) == -1; }},
        {"khfa_TableNew", 1, "Invalid stream or design",
         [&](auto err) { return !khfa_TableNew(nullptr, d, err); }},
        {"khfa_TableClose", 1, "Table is NULL",
         [&](auto err) { return khfa_TableClose(nullptr, err) == -1; }},
        {"khfa_TableCreate", 6, "Error creating table cache",
         [&](auto err) {
             kfio_FaultInject(KFIO_OSCALL_WRITE, 1000, EIO);
             const bool refused = !khfa_TableCreate(f, "b", d, kint_GetInit(), err);
             kfio_FaultInject(KFIO_OSCALL_WRITE, 0, 0);
             return refused;
         }},
        // The table's stream is there already and the file written out: the
        // records wait in memory until the streams close, and their write fails.
        {"khfa_TableCreate", 8, "Error closing the master table",
         [&](auto err) {
             khfa_CacheClose(khfa_CacheCreate(f, (name + "(:c)").c_str(), kint_GetInit(), err),
                             err);
             if (khfa_FileFlush(f, err) != 0) return false;
             kfio_FaultInject(KFIO_OSCALL_WRITE, 1000, EIO);
             Khfa_Table *made = khfa_TableCreate(f, "c", d, kint_GetInit(), err);
             kfio_FaultInject(KFIO_OSCALL_WRITE, 0, 0);
             khfa_TableFree(made);
             return !made;
         }},
    });
    // Refused values left the record as it was.
    EXPECT_EQ(std::string(r->text, 10), pad("full", 10));
    EXPECT_EQ(std::string(r->text + 11 + 17, 8), pad("", 8));
    // The refused duplicate left the master table with one table.
    khfa_TableFree(t);
    t = khfa_TableOpen(f, "a", kint_GetInit(), &e);
    ASSERT_NE(t, nullptr) << ktest::messages(e.r);
    khfa_TableFree(t);
    ASSERT_EQ(khfa_CacheFileClose(f, &e), 0);
    khfa_TableDesignFree(d);
}

TEST_F(HfaTable, CreationWithEachAllocationFailingReportsOrSucceedsCleanly) {
    ktest::Err e;
    Khfa_TableDesign *d = khfa_TableDesignCreate(5, names, types, widths, &e);
    ASSERT_NE(d, nullptr);
    long allocations = 0;
    for (long n = 0; n <= allocations; ++n) {
        Khfa_File *f = khfa_CacheFileOpen(dir.file("a" + std::to_string(n) + ".hfa").c_str(),
                                          kint_GetInit(), &e);
        ASSERT_NE(f, nullptr) << ktest::messages(e.r);
        kmsc_HeapFailNth(n);
        Khfa_Table *t = khfa_TableCreate(f, "t", d, kint_GetInit(), &e);
        const long made = kmsc_HeapFailNth(0);
        if (n == 0) allocations = made;  // the intact run
        EXPECT_EQ(t == nullptr, e.r != nullptr) << n << ": " << ktest::messages(e.r);
        khfa_TableFree(t);
        EXPECT_EQ(khfa_CacheFileClose(f, &e), 0) << ktest::messages(e.r);
    }
    EXPECT_GT(allocations, 0);
    khfa_TableDesignFree(d);
}

}  // namespace
