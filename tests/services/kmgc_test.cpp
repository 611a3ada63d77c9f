#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/ktest.hpp"

namespace {

using Table = std::unique_ptr<Kmgc_MagicTable, decltype(&kmgc_MagicTableDestroy)>;

// A table of the "\n"-separated lines, which must append cleanly.
Table makeTable(const std::string &lines) {
    Table t(kmgc_MagicTableCreate(nullptr), kmgc_MagicTableDestroy);
    ktest::Err err;
    if (!lines.empty()) {
        EXPECT_GE(kmgc_MagicAppend(t.get(), lines.c_str(), &err), 0) << lines;
    }
    EXPECT_FALSE(err) << lines << ": " << ktest::messages(err.r);
    return t;
}

TEST(Magic, TestsOfEveryTypeOperatorAndOffset) {
    using S = std::string;
    // Lines of one table are separated by "\n"; does entry 0 match the bytes?
    const struct {
        const char *lines;
        std::vector<std::string> match, miss;  // bytes that entry 0 matches, does not
    } cases[] = {
        {"0 byte 0x7f", {"\x7f"}, {""}},  // field beyond the buffer
        {"1 byte 0", {S("\x01\x00", 2)}, {}},
        {"2 byte 0", {}, {S("\x01\x00", 2)}},
        {"0 short 0x0102", {"\x02\x01"}, {}},  // little-endian on every host
        {"0 beshort 0x0102", {"\x01\x02"}, {}},
        {"0 long 0x01020304", {"\x04\x03\x02\x01"}, {}},
        {"0 belong 0x01020304", {"\x01\x02\x03\x04"}, {}},
        {"0 lelong 0x01020304", {}, {"\x04\x03\x02"}},
        {"0 ledate 010", {S("\x08\0\0\0", 4)}, {}},  // octal
        {"0 byte -1", {"\xff"}, {}},                 // equality over the field's width
        {"0 byte !0x41", {"B"}, {"A"}},
        {"0 byte <0x41", {"@"}, {"A"}},
        {"0 byte >0x41", {"B"}, {"A"}},
        {"0 byte >0x7f", {"\x80"}, {}},      // unsigned unless written negative
        {"0 byte >-2", {"\x7f"}, {"\x80"}},  // signed: -128 > -2 is false
        {"0 beshort <-1", {"\xff\xfe"}, {}},
        {"0 byte &0x81", {"\x81"}, {"\x80"}},
        {"0 byte ^0x81", {"\x7e"}, {"\x01"}},
        {"0 byte x", {"\x33"}, {""}},
        {"0 beshort&0xff00 0x1200", {"\x12\x34"}, {"\x13\x34"}},
        {"0x2 string BM", {"xxBM"}, {}},
        {"2 string BM", {}, {"xxB"}},
        {"0 string !BM", {}, {"BM"}},
        {"0 string <BM", {"BA"}, {"BM"}},
        {"0 string >BM", {"B\xff"}, {"BM"}},  // bytes compare unsigned
        {"0 string x", {""}, {}},
        {"0 string \\<a\\ \\x\\\tb", {"<a x\tb"}, {}},
        {"0 string =x", {"x"}, {}},
        {"0 string \\x89PNG\\r\\n\\032\\n", {"\x89PNG\r\n\x1a\n"}, {}},
        {"0 string \\0\\01\\1234\\xfg", {S("\0\001\1234\x0fg", 6)}, {}},
        {"0 string \\t\\v\\f\\a\\b\\\\\\", {"\t\v\f\a\b\\\\"}, {}},
        // Indirect offsets: the pointer plus the adjustment.
        {"(1.b) byte 0x55", {"x\x03x\x55"}, {}},
        {"(1.b+1) byte 0x55", {"\x02\x02x\x55"}, {}},
        {"(1.b-1) byte 0x55", {"\x55\x01"}, {}},
        {"(1.b-2) byte 0x55", {}, {"\x55\x01"}},  // before the start
        {"(0.S) byte 0x55", {S("\0\x03x\x55", 4)}, {}},
        {"(0) byte 0x55", {S("\x04\0\0\0\x55", 5)}, {}},
        {"(0.L) byte 0x55", {S("\0\0\0\x04\x55", 5)}, {}},
        {"(0.B) byte 0x55", {}, {"\x05xxxx"}},  // target beyond the buffer
        {"(3.l) byte 0", {}, {"\x04\0\0"}},     // pointer beyond the buffer
        // Continuations: every test must hold; "&" counts from the parent.
        {"0 string AB\n>2 byte 1", {"AB\x01"}, {"AB\x02"}},
        {"1 string AB\n>&1 byte 1\n>>&0 string C", {"xABx\001C"}, {"xABx\001D"}},
        {"0 byte 1\n>1 byte 2\n>>&0 byte 3\n>&0 byte 2", {"\x01\x02\x03"}, {}},
        {"(0.b) byte 7\n>&1 byte 9", {"\x02x\x07x\x09"}, {}},
        {"(0.b) byte 7\n>(&0.b) byte 9", {"\x02x\x07\x04\x09"}, {}},
        {"0 byte 1\n>&0xffff byte 1", {}, {"\x01"}},
    };
    for (const auto &c : cases) {
        Table t = makeTable(c.lines);
        for (const S &b : c.match)
            EXPECT_EQ(kmgc_MagicMatch(t.get(), 0, b.data(), b.size()), 0) << c.lines;
        for (const S &b : c.miss)
            EXPECT_EQ(kmgc_MagicMatch(t.get(), 0, b.data(), b.size()), -1) << c.lines;
    }
}

TEST(Magic, BadLinesAreReportedAndLeaveTheTableAsItWas) {
    const std::string longString(KMGC_STRING_MAX + 1, 'a');
    const std::string tooLong = "0 string " + longString;
    const std::string okLong = "0 string " + std::string(KMGC_STRING_MAX, 'a');
    const std::string tooLongMessage = "String too long: " + longString + "\n";
    const std::string tooDeep = std::string(KMGC_LEVEL_MAX + 1, '>') + "0 byte 2";
    const struct {
        const char *line;
        int code;
        const char *message;
    } bad[] = {
        {"", 10, "Empty magic line"},
        {"# only a comment\n \t", 10, "Empty magic line"},
        {"x byte 1", 2, "offset x invalid"},
        {"1048577 byte 1", 2, "offset 1048577 invalid"},
        {"0x99999999999999999 byte 1", 2, "offset 0x99999999999999999 invalid"},
        {"12z byte 1", 2, "offset 12z invalid"},
        {"&2 byte 1", 2, "offset &2 invalid"},
        {"(2.q) byte 1", 3, "indirect offset type q invalid"},
        {"(2.l byte 1", 4, "missing ')' in indirect offset"},
        {"(2.l+) byte 1", 2, "offset (2.l+) invalid"},
        {"(2.l+1048577) byte 1", 2, "offset (2.l+1048577) invalid"},
        {"(2.) byte 1", 3, "indirect offset type ) invalid"},
        {"(2)x byte 1", 2, "offset (2)x invalid"},
        {"&(2) byte 1", 2, "offset &(2) invalid"},
        {"0", 5, "Missing type"},
        {"0 word 1", 5, "type word invalid"},
        {"0 string&1 a", 5, "type string&1 invalid"},
        {"0 byte&0x100 1", 5, "type byte&0x100 invalid"},
        {"0 byte&z 1", 5, "type byte&z invalid"},
        {"0 byte", 6, "Missing value to compare"},
        {"0 byte -", 6, "Missing value to compare"},
        {"0 string =", 6, "Missing value to compare"},
        {"0 byte 256", 8, "Value 256 invalid"},
        {"0 byte -129", 8, "Value -129 invalid"},
        {"0 beshort 0x10000", 8, "Value 0x10000 invalid"},
        {"0 byte 1x", 8, "Value 1x invalid"},
        {"0 byte &-1", 8, "Value &-1 invalid"},
        {tooLong.c_str(), 7, tooLongMessage.c_str()},
        {">>>0 byte 2", 11, "Continuation level 3 invalid"},
        {tooDeep.c_str(), 11, "Continuation level 17 invalid"},
    };
    for (const auto &b : bad) {
        Table t = makeTable("0 byte 1\n>0 byte 1");
        ktest::Err err;
        // Lines before the bad one are taken back, a continuation included.
        const std::string text =
            b.code == 10 ? b.line : std::string(">0 byte 1 more\n0 byte 5\n") + b.line;
        EXPECT_EQ(kmgc_MagicAppend(t.get(), text.c_str(), &err), -1) << b.line;
        EXPECT_TRUE(ktest::hasCode(err.r, "kmgc_MagicAppend", b.code)) << b.line;
        EXPECT_EQ(ktest::messages(err.r), b.message) << b.line;
        EXPECT_EQ((ktest::Ints{kmgc_MagicCount(t.get()), kmgc_MagicMaxBytes(t.get()),
                               kmgc_MagicMatch(t.get(), 0, "\x01", 1)}),
                  (ktest::Ints{1, 1, 0}))
            << b.line;
        EXPECT_STREQ(kmgc_MagicMessage(t.get(), 0), "") << b.line;
    }
    const std::string longest(KMGC_STRING_MAX, 'a');
    EXPECT_EQ(kmgc_MagicMatch(makeTable(okLong).get(), 0, longest.data(), longest.size()), 0);

    Table t = makeTable("ASCII");
    ktest::Err err;
    EXPECT_EQ(kmgc_MagicAppend(t.get(), ">0 byte 1", &err), -1);
    EXPECT_EQ(ktest::messages(err.r), "Continuation line follows no magic entry");
    for (const auto &[table, text] : {std::pair{(Kmgc_MagicTable *)nullptr, "0 byte 1"},
                                      std::pair{t.get(), (const char *)nullptr}}) {
        EXPECT_EQ(kmgc_MagicAppend(table, text, &err), -1);
        EXPECT_TRUE(ktest::hasCode(err.r, "kmgc_MagicAppend", 1));
    }
}

TEST(Magic, MatchingOrderStartIndexAndArguments) {
    Table t = makeTable("0 string GIF8\nASCII\n0 byte 0x47\n0 string GIF89a");
    ASSERT_EQ(kmgc_MagicCount(t.get()), 4);
    const char *gif = "GIF89a";
    // From 1 the ASCII entry is skipped.
    EXPECT_EQ(
        (ktest::Ints{kmgc_MagicMatch(t.get(), 0, gif, 6), kmgc_MagicMatch(t.get(), 1, gif, 6),
                     kmgc_MagicMatch(t.get(), 3, gif, 6), kmgc_MagicMatch(t.get(), 4, gif, 6),
                     kmgc_MagicMatch(t.get(), 3, gif, 5), kmgc_MagicMatch(t.get(), -1, gif, 6),
                     kmgc_MagicMatch(nullptr, 0, gif, 6), kmgc_MagicMatch(t.get(), 0, nullptr, 1),
                     kmgc_MagicMatch(t.get(), 0, nullptr, 0)}),
        (ktest::Ints{0, 2, 3, -1, -1, -1, -1, -1, -1}));

    // A continuation reports the index of the entry it extends.
    ktest::Err err;
    EXPECT_EQ(kmgc_MagicAppend(t.get(), "# comment\n\n>4 byte 0x38\r\n0 byte 0x47", &err), 3);
    EXPECT_EQ(kmgc_MagicCount(t.get()), 5);
    EXPECT_EQ(kmgc_MagicMatch(t.get(), 3, "GIF89a", 6), 4);  // 4 is '9', not '8'
}

TEST(Magic, MaxBytesCoversEveryFixedFieldAndWidensForIndirectOnes) {
    const struct {
        const char *lines;
        int32_t maxBytes;
    } cases[] = {
        {"", 0},
        {"ASCII", 0},
        {"3 beshort 1", 5},
        {"0 string x", 0},
        {"257 string ustar\n0 byte 1", 262},
        {"4 byte 1\n>&2 belong 0\n>>&1 string abc", 15},
        {"1048576 long 0", 1048580},
        {"(0.b) byte 1", KMGC_INDIRECT_BYTES},
        {"(9000.l) byte 1", 9004},  // the pointer field itself is further
        {"(0.b) byte 1\n>&0 byte 1", KMGC_INDIRECT_BYTES},
        {"0 byte 1\n>(&8000.S) byte 1", 8003},
    };
    for (const auto &c : cases)
        EXPECT_EQ(kmgc_MagicMaxBytes(makeTable(c.lines).get()), c.maxBytes) << c.lines;
    EXPECT_EQ(kmgc_MagicMaxBytes(nullptr), 0);
}

TEST(Magic, CharacterSetEntriesAndMessages) {
    ktest::PrintedReports printed;
    Table t = makeTable(
        "ASCII\nASCII+0x00:-0x7e:+9:\nASCII-0x20\nASCII+0x80: trailing\nASCIIfoo\n"
        "0 string MM Big \\bTIFF\n0 byte 1");
    const uint8_t *plain = kmgc_MagicCharSet(t.get(), 0);
    ASSERT_NE(plain, nullptr);
    std::string allowed;
    for (int c = 0; c < 128; ++c)
        if (plain[c]) allowed += static_cast<char>(c);
    std::string expected = "\b\t\n\v\f\r\x1b";
    for (int c = 0x20; c < 0x7f; ++c) expected += static_cast<char>(c);
    EXPECT_EQ(allowed, expected);

    const uint8_t *plus = kmgc_MagicCharSet(t.get(), 1);
    EXPECT_TRUE(plus[0] && plus[9] && plus['A'] && !plus[0x7e] && !plus[1]);
    EXPECT_TRUE(!kmgc_MagicCharSet(t.get(), 2)[0x20] && kmgc_MagicCharSet(t.get(), 2)['!']);
    EXPECT_FALSE(kmgc_MagicCharSet(t.get(), 3)[0]);  // the bad item is not applied
    for (int32_t notCharSet : {-1, 5, 7})
        EXPECT_EQ(kmgc_MagicCharSet(t.get(), notCharSet), nullptr);
    EXPECT_EQ(printed.headlines(),
              (std::vector<std::string>{
                  "Ignoring extraneous characters found after 'ASCII' keyword (+0x80: trailing)",
                  "Ignoring extraneous characters found after 'ASCII' keyword (foo)"}));

    ktest::Err err;
    EXPECT_EQ(
        kmgc_MagicAppend(t.get(), ">2 byte 0 little-endian\n>3 byte 0\n>4 byte 0 \\b, v1", &err),
        6);
    EXPECT_EQ(
        (std::vector<std::string>{kmgc_MagicMessage(t.get(), 5), kmgc_MagicMessage(t.get(), 6),
                                  kmgc_MagicMessage(t.get(), 0)}),
        (std::vector<std::string>{"Big \\bTIFF", "little-endian, v1", ""}));
    EXPECT_TRUE(!kmgc_MagicMessage(t.get(), 7) && !kmgc_MagicMessage(nullptr, 0));
    EXPECT_EQ(kmgc_MagicCount(nullptr), 0);
}

}  // namespace
