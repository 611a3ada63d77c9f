// Decoding dictionary strings: the exact failure reports, the
// first-versus-later design rule and hostile input.
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "mif_test_util.hpp"
#include "support/ktest_checks.hpp"

namespace {

using mift::decode;
using mift::Dict;

class MifParse : public mift::MifTest {};

struct Failure {
    const char *text, *function;
    int code;
    const char *message;
};

void expectFailure(const Failure &f) {
    ktest::Err err;
    EXPECT_EQ(kmif_DictionaryDecodeFromString(f.text, &err), nullptr) << f.text;
    ASSERT_TRUE(err) << f.text;
    ASSERT_NE(err->next, nullptr);
    EXPECT_EQ((ktest::Ints{err->code, err->next->code}), (ktest::Ints{3023, 3116}));
    EXPECT_EQ(
        ktest::messages(err.r).rfind("kmif_DictionaryDecode failed | kmif_DecodeDesign failed", 0),
        0u);
    bool found = false;
    for (const Kerr_ErrorReport *r = err.r; r; r = r->next) {
        if (r->code != f.code || !r->function || std::string(r->function) != f.function) continue;
        found = true;
        EXPECT_STREQ(r->message, f.message ? f.message : r->message) << f.text;
        EXPECT_EQ(r->severity, 2u);
    }
    EXPECT_TRUE(found) << f.text << ": " << ktest::messages(err.r);
}

// Codes without their messages are in the corpus below.
TEST_F(MifParse, MalformedTextGivesTheExactReport) {
    const Failure cases[] = {
        {"{1a:lx,}A,.", "kmif_DecodeCount", 3727, "Non-numeric character a (0x61) for count"},
        {"x", "kmif_DecodeDesign", 3237, "Illegal object definition; start char = x, 0x78"},
        {"{1:l\tx,}A,.", "kmif_DecodeName", 3658, "Non-printable character \t (0x09) for name"},
        {"{1:oB,b,}A,{}B,.", "kmif_DecodeItem", 3522, "kmif_DesignCopy failed"},
        {"{1:oB,b,}A,.", "kmif_DesignCopy", 1, "Invalid source design"},
        {"{1:qx,}A,.", "kmif_DecodeItem", 3480, "Illegal type character q (0x71)"},
        {"{1:p*lx,}A,.", "kmif_DecodeItem", 3480, "Illegal type character * (0x2a)"},
        {"{1:x.", "kmif_DecodeDesign", 3237, "Illegal object definition; start char = ., 0x2e"},
        {"", "kmif_DecodeDesign", 3238, "Unexpected end of dictionary text"},
        {"{1:lx", "kmif_DecodeName", 3659, "Unexpected end of dictionary text"},
        {"{1:", "kmif_DecodeItem", 3481, "Unexpected end of dictionary text"},
        {"{12", "kmif_DecodeCount", 3728, "Unexpected end of dictionary text"},
    };
    for (const Failure &f : cases) expectFailure(f);
}

// One malformed string per line: function, code, text (C escapes \t \n \\ \xNN).
TEST_F(MifParse, MalformedCorpus) {
    std::ifstream in(std::string(KRASTER_TEST_DATA_DIR) + "/mif/malformed_dictionaries.txt");
    ASSERT_TRUE(in.good());
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string function, escaped;
        int code = 0;
        fields >> function >> code;
        fields.get();
        std::getline(fields, escaped);
        std::string text;
        for (size_t i = 0; i < escaped.size(); ++i) {
            if (escaped[i] != '\\' || i + 1 == escaped.size()) {
                text += escaped[i];
                continue;
            }
            const char c = escaped[++i];
            if (c == 'x') {
                text += static_cast<char>(std::stoi(escaped.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                text += c == 't' ? '\t' : c == 'n' ? '\n' : c;
            }
        }
        expectFailure({text.c_str(), function.c_str(), code, nullptr});
        ++count;
    }
    EXPECT_GE(count, 20);
}

struct Cursor {
    std::string text;
    size_t pos = 0;
    static int get(void *context) {
        auto *c = static_cast<Cursor *>(context);
        return c->pos < c->text.size() ? static_cast<unsigned char>(c->text[c->pos++]) : -1;
    }
};

TEST_F(MifParse, FirstDesignFailuresFailTheDictionaryAndReadersStopAtTheFullStop) {
    // A later design that fails is printed as a plain message (no header
    // line of its own) and the designs before it are kept.
    testing::internal::CaptureStderr();
    ktest::Err err;
    Dict dict(kmif_DictionaryDecodeFromString("{1:lx,}A,{1:cy,}B,{1:zq,}C,{1:lw,}D,.", &err));
    const std::string printed = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(dict);
    EXPECT_FALSE(err);
    EXPECT_EQ(mift::designNames(dict.d), "A B");
    EXPECT_EQ(printed.rfind(" >>>kmif_DecodeDesign failed<<<\n", 0), 0u) << printed;
    EXPECT_TRUE(ktest::contains(printed, "Illegal type character z (0x7a)")) << printed;

    // A missing final "." is a failing later design too.
    testing::internal::CaptureStderr();
    Dict unterminated(kmif_DictionaryDecodeFromString("{}A,", &err));
    EXPECT_TRUE(ktest::contains(testing::internal::GetCapturedStderr(), "Unexpected end"));
    ASSERT_TRUE(unterminated);
    EXPECT_EQ(mift::designNames(unterminated.d), "A");

    // "." alone is an empty dictionary; a duplicate name keeps the first design.
    Dict empty(decode("."));
    EXPECT_EQ(empty->firstDesign, nullptr);
    EXPECT_EQ(empty->modifiedFlag, 0);
    Dict twice(decode("{1:lx,}A,{1:cy,1:cz,}A,."));
    EXPECT_EQ(mift::designNames(twice.d), "A");
    EXPECT_EQ(twice->firstDesign->fileSize, 4);

    EXPECT_EQ(kmif_DictionaryDecodeFromString(nullptr, &err), nullptr);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_DictionaryDecodeFromString", 3014));
    EXPECT_STREQ(err->message, "Missing dictionary string");

    // A reader decodes into a given dictionary and stops at the full stop.
    err.reset();
    Dict known(decode("{1:ln,}Known,."));
    Cursor cursor{"{1:oKnown,k,}User,.trailing bytes"};
    EXPECT_EQ(kmif_DictionaryDecode(Cursor::get, &cursor, known.d, &err), known.d);
    EXPECT_FALSE(err);
    EXPECT_EQ(cursor.pos, cursor.text.find('.') + 1);  // nothing read past the "."
    EXPECT_EQ(mift::designNames(known.d), "Known User");

    // A failing first design leaves a given dictionary as it was.
    Cursor bad{"{1:oMissing,m,}X,."};
    EXPECT_EQ(kmif_DictionaryDecode(Cursor::get, &bad, known.d, &err), nullptr);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_DictionaryDecode", 3116));
    EXPECT_EQ(mift::designNames(known.d), "Known User");
    EXPECT_EQ(kmif_DictionaryDecode(nullptr, nullptr, nullptr, &err), nullptr);
    EXPECT_STREQ(err->message, "Args");
    // A NUL byte from a reader is a character of the name, not its end.
    Cursor nul{std::string("{1:l\0x,}N,.", 11)};
    EXPECT_EQ(kmif_DictionaryDecode(Cursor::get, &nul, nullptr, &err), nullptr);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_DecodeName", 3658)) << ktest::messages(err.r);
}

TEST_F(MifParse, HostileNestingAndGrowthEndInReports) {
    // Designs nested in place: 64 levels decode, 65 do not.
    auto nestedText = [](int levels) {
        std::string s;
        for (int i = 1; i < levels; ++i) s += "{1:x";
        s += "{1:lv,}L,";
        for (int i = 1; i < levels; ++i) s += "n,}L,";
        return s + ".";
    };
    Dict deep(decode(nestedText(64)));
    EXPECT_TRUE(deep);
    ktest::Err err;
    EXPECT_EQ(kmif_DictionaryDecodeFromString(nestedText(65).c_str(), &err), nullptr);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_DecodeItem", 3530)) << ktest::messages(err.r);

    // References by name deepen too: a chain of 70 designs stops at the limit
    // (a later design, so the dictionary keeps D0 to D63).
    std::string chain = "{1:lv,}D0,";
    for (int i = 1; i < 70; ++i)
        chain += "{1:oD" + std::to_string(i - 1) + ",n,}D" + std::to_string(i) + ",";
    testing::internal::CaptureStderr();
    Dict chained(decode(chain + "."));
    EXPECT_TRUE(ktest::contains(testing::internal::GetCapturedStderr(), "nested more than 64"));
    EXPECT_EQ(mift::designCount(chained.d), 64);

    // Each design uses the previous one twice: the copies would double with
    // every design. The work stays linear in the text: the heap blocks one
    // decoding allocates (items, names and designs, copies included) stay
    // below a small multiple of the text's length plus a fixed allowance,
    // whether the doubling starts at once or after a long harmless prefix.
    auto doubling = [](const std::string &prefix, int designs) {
        std::string text = prefix + "{1:lv,}D0,";
        for (int i = 1; i < designs; ++i) {
            std::string prev = "D" + std::to_string(i - 1);
            text += "{0:o" + prev + ",a,0:*o" + prev + ",b,}D" + std::to_string(i) + ",";
        }
        return text + ".";
    };
    std::string harmless;
    for (int i = 0; i < 400; ++i) harmless += "{1:lv,1:cw,}H" + std::to_string(i) + ",";
    for (const std::string &prefix : {std::string(), harmless}) {
        const std::string text = doubling(prefix, 40);
        kmsc_HeapFailAfter(-1);
        testing::internal::CaptureStderr();
        Dict doubled(decode(text));
        const long blocks = kmsc_HeapFailAfter(-1);
        EXPECT_TRUE(
            ktest::contains(testing::internal::GetCapturedStderr(), "items in one dictionary"));
        EXPECT_LT(mift::designCount(doubled.d), 400 + 20);
        EXPECT_LT(blocks, 32 * static_cast<long>(text.size()) + 40000) << text.size();
    }

    // Names stop at the name limit: 65534 characters are the most.
    for (size_t length : {65534, 65535, 70000}) {
        const std::string text = "{1:l" + std::string(length, 'n') + ",}A,.";
        Kmif_Dictionary *d = kmif_DictionaryDecodeFromString(text.c_str(), &err);
        EXPECT_EQ(d != nullptr, length == 65534) << length;
        EXPECT_TRUE(d || ktest::hasCode(err.r, "kmif_DecodeName", 3665)) << length;
        kmif_DictionaryDestroy(d, nullptr);
    }
}

TEST_F(MifParse, OutOfMemoryAnywhereFailsCleanly) {
    // Warm up the process-wide caches (name buffer, generic data design).
    Dict warm(decode("{1:bw,1:l" + std::string(100, 'w') + ",}W,."));
    const std::string text =
        "{1:cc,}N,{1:ln,1:e2:A,B,e,1:x{1:cc,}M,x,2:oN,o,1:bb,0:pcs,}Everything,.";
    Kmif_Dictionary *dict = nullptr;
    testing::internal::CaptureStderr();  // failures in the second design are printed
    const int failures = ktest::runWithAllocationFailures(
        [&](Kerr_ErrorReport **err) {
            dict = kmif_DictionaryDecodeFromString(text.c_str(), err);
            return dict && mift::designNames(dict) == "N Kgda_BaseData M Everything";
        },
        [&] {
            kmif_DictionaryDestroy(dict, nullptr);
            dict = nullptr;
        });
    testing::internal::GetCapturedStderr();
    EXPECT_GT(failures, 20);
}

TEST_F(MifParse, ConcurrentDecodingSharesTheNameBuffer) {
    std::vector<std::thread> threads;
    std::vector<int> ok(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &ok] {
            const std::string name(40 + t * 30, static_cast<char>('a' + t));
            const std::string text =
                "{1:l" + name + ",1:e2:" + name + "," + name + ",e,}" + name + ",.";
            for (int i = 0; i < 200; ++i) {
                Kmif_Dictionary *d = kmif_DictionaryDecodeFromString(text.c_str(), nullptr);
                if (d && d->firstDesign && name == d->firstDesign->name &&
                    name == d->firstDesign->itemList->name &&
                    name == d->firstDesign->itemList->next->enumerationNames[1])
                    ++ok[t];
                kmif_DictionaryDestroy(d, nullptr);
            }
        });
    for (auto &th : threads) th.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(ok[t], 200);
}

}  // namespace
