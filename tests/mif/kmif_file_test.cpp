// Dictionaries on file handles: decoding at a file position, writing at
// one, listings, and measuring through the shared null device from threads.
#include <cerrno>
#include <thread>
#include <vector>

#include "mif_test_util.hpp"
#include "support/ktest_checks.hpp"

namespace {

using mift::decode;
using mift::Dict;
using mift::encode;

class MifFile : public mift::MifTest {};

const char *const kText = "{1:lv,}P,{1:oP,p,1:e2:A,B,e,1:x{1:cc,}N,n,1:bb,0:pcs,}Q,.";

TEST_F(MifFile, DecodesAtTheFilePositionAndStopsAfterTheFullStop) {
    ktest::TempDir dir;
    const std::string path = dir.file("dict.txt");
    ktest::writeFile(path, std::string("header|") + kText + "rest");
    ktest::Err err;
    Kfio_Fd *fd = kfio_Open(path.c_str(), "r", &err);
    ASSERT_NE(fd, nullptr) << ktest::messages(err.r);
    for (int i = 0; i < 7; ++i) kfio_Fgetc(fd, nullptr);  // skip "header|"
    Dict dict(kmif_DecodeDictionary(fd, nullptr, &err));
    ASSERT_TRUE(dict) << ktest::messages(err.r);
    EXPECT_EQ(kfio_Fgetc(fd, nullptr), 'r');
    Dict fromString(decode(kText));
    EXPECT_EQ(encode(dict.d), encode(fromString.d));

    // A truncated file fails the first design (decoding into a given
    // dictionary is the reader test's).
    kfio_Close(fd, nullptr);
    ktest::writeFile(path, "{1:lx,}R");
    fd = kfio_Open(path.c_str(), "r", &err);
    EXPECT_EQ(kmif_DecodeDictionary(fd, nullptr, &err), nullptr);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_DecodeDictionary", 2));
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_DecodeName", 3659)) << ktest::messages(err.r);
    kfio_Close(fd, nullptr);
    // A failed read ends the text and is reported with the decoder's failure.
    fd = kfio_Open(path.c_str(), "r", &err);
    kfio_FaultInject(KFIO_OSCALL_READ, 1, EIO);
    EXPECT_EQ(kmif_DecodeDictionary(fd, nullptr, &err), nullptr);
    kfio_FaultInject(KFIO_OSCALL_READ, 0, 0);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_DecodeDictionary", 3)) << ktest::messages(err.r);
    EXPECT_TRUE(ktest::hasCode(err.r, "kfio_Fgetc", 2));
    kfio_Close(fd, nullptr);
    EXPECT_EQ(kmif_DecodeDictionary(nullptr, nullptr, &err), nullptr);
    EXPECT_STREQ(err->message, "Args");
}

TEST_F(MifFile, WritesAtTheFilePosition) {
    ktest::TempDir dir;
    const std::string path = dir.file("out.txt");
    Dict dict(decode(kText));
    const std::string text = encode(dict.d);
    ktest::Err err;
    Kfio_Fd *fd = kfio_Open(path.c_str(), "w", &err);
    ASSERT_NE(fd, nullptr);
    EXPECT_EQ(kfio_Fprintf(fd, nullptr, "prefix:"), 7);
    EXPECT_EQ(kmif_EncodeDictionary(fd, dict.d, &err), static_cast<int32_t>(text.size()));
    EXPECT_FALSE(err);
    EXPECT_EQ(kfio_Close(fd, &err), 0);
    EXPECT_EQ(ktest::readFile(path), "prefix:" + text);

    EXPECT_EQ(kmif_EncodeDictionary(nullptr, dict.d, &err), -1);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_EncodeDictionary", 2547));
    err.reset();
    // A failing write (past the handle's buffer) ends in a report.
    std::string big;
    for (int i = 0; i < 2000; ++i) big += "{1:lvalue,}Design" + std::to_string(i) + ",";
    Dict bigDict(decode(big + "."));
    fd = kfio_Open(path.c_str(), "w", &err);
    kfio_FaultInject(KFIO_OSCALL_WRITE, 1000, EIO);
    EXPECT_EQ(kmif_EncodeDictionary(fd, bigDict.d, &err), -1);
    kfio_FaultInject(KFIO_OSCALL_WRITE, 0, 0);
    EXPECT_TRUE(ktest::hasCode(err.r, "kfio_FileWriteFormatted", 1)) << ktest::messages(err.r);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_EncodeDictionary", 2550));
    EXPECT_EQ(kfio_Close(fd, nullptr), 0);
}

TEST_F(MifFile, ListingsShowSizesOffsetsAndNestedDesigns) {
    ktest::TempDir dir;
    const std::string path = dir.file("listing.txt");
    Dict dict(decode(kText));
    ktest::Err err;
    Kfio_Fd *fd = kfio_Open(path.c_str(), "w", &err);
    EXPECT_EQ(kmif_FprintfDesign(fd, dict->lastDesign, &err), 0);
    EXPECT_EQ(kmif_FprintfDictionary(fd, dict.d, &err), 0);
    kfio_Close(fd, nullptr);
    const std::string listing = ktest::readFile(path);
    const std::string q =
        "Design Q: alignment 8, host size " + std::to_string(dict->lastDesign->hostSize);
    EXPECT_EQ(listing.rfind(q, 0), 0u) << listing;
    EXPECT_TRUE(
        ktest::contains(listing, "  e: 1:e  host offset 4, host size 4, file size 2  {A, B}\n"))
        << listing;
    EXPECT_TRUE(
        ktest::contains(listing, "      Design N: alignment 1, host size 1, file size 1\n"));
    EXPECT_TRUE(ktest::contains(listing, "Dictionary: 4 designs (modified)\n")) << listing;
    EXPECT_TRUE(ktest::contains(
        listing, "  Design Kgda_BaseData: alignment 4, host size 16, file size 12\n"));
    EXPECT_EQ(kmif_FprintfDesign(nullptr, dict->lastDesign, &err), -1);
    EXPECT_STREQ(err->message, "Args");
}

TEST_F(MifFile, ThreadsMeasureThroughTheNullDeviceTogether) {
    std::vector<std::thread> threads;
    std::vector<int> ok(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &ok] {
            const std::string text = "{" + std::to_string(t + 1) + ":cc" + std::to_string(t) +
                                     ",1:bb,}T" + std::to_string(t) + ",.";
            Kmif_Dictionary *d = kmif_DictionaryDecodeFromString(text.c_str(), nullptr);
            for (int i = 0; i < 100 && d; ++i) {
                char *s = kmif_DictionaryEncodeToString(d, nullptr);
                if (s && std::string(s) == mift::kBaseDataText + text) ++ok[t];
                kmsc_HeapFree(s);
            }
            kmif_DictionaryDestroy(d, nullptr);
        });
    for (auto &th : threads) th.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(ok[t], 100);
}

}  // namespace
