// Object decoding: long bit arrays, files and memory cursors, and truncated
// or hostile input.
#include "encoding_test_util.hpp"

namespace {

using mifenc::Bytes;
using mifenc::Designs;
using mifenc::Object;

class MifDecoding : public mift::MifTest {};

Bytes le32(uint32_t v) {
    return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
            static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Long bit arrays cross the packing kernels' word groups and, from files,
// the work buffer's pieces.
TEST_F(MifDecoding, LongBitArraysRoundTripThroughMemoryAndFiles) {
    ktest::TempDir dir;
    for (const char *letter : {"1", "2", "4"}) {
        Designs d(std::string("{0:p") + letter + "v,}B,.");
        for (int32_t count : {1, 7, 8, 9, 63, 64, 65, 1000, 300001}) {
            std::mt19937 rng(count);
            const int bits = letter[0] - '0';
            std::vector<unsigned char> values(static_cast<size_t>(count));
            for (auto &v : values) v = static_cast<unsigned char>(rng() % (1u << bits));
            Kmif_String host{count, reinterpret_cast<char *>(values.data())};
            const Bytes bytes = mifenc::encode(&host, d["B"]);
            ASSERT_EQ(bytes.size(), 8u + (static_cast<size_t>(count) * bits + 7) / 8);
            // Reference packing, one value at a time.
            for (int32_t i = 0; i < count; ++i) {
                const int64_t bit = int64_t{i} * bits;
                ASSERT_EQ((bytes[8 + bit / 8] >> (bit % 8)) & ((1 << bits) - 1), values[i])
                    << letter << " " << count << " at " << i;
            }
            if (count * bits % 8) {
                EXPECT_EQ(bytes.back() >> (count * bits % 8), 0);
            }

            Object memory(d["B"]);
            ASSERT_TRUE(mifenc::decode(bytes, d["B"], &memory.p));
            const auto *back = static_cast<const Kmif_String *>(memory.p);
            ASSERT_EQ(back->count, count);
            EXPECT_EQ(memcmp(back->string, values.data(), values.size()), 0);

            ktest::writeFile(dir.file("b"), std::string(bytes.begin(), bytes.end()));
            Kfio_Fd *fd = kfio_Open(dir.file("b").c_str(), "r", nullptr);
            Object file(d["B"]);
            EXPECT_EQ(kmif_ConvertToHost(fd, nullptr, d["B"], &file.p, nullptr),
                      static_cast<int32_t>(bytes.size()));
            kfio_Close(fd, nullptr);
            EXPECT_TRUE(mifenc::equalObjects(memory.p, file.p, d["B"], nullptr));
        }
    }
}

TEST_F(MifDecoding, CursorAndFileFormsAdvancePastTheObject) {
    Designs d("{1:Sa,1:lb,}A,.");
    const Bytes two = {1, 0, 2, 0, 0, 0, 3, 0, 4, 0, 0, 0};
    const unsigned char *cursor = two.data();
    Object first(d["A"]), second(d["A"]);
    ktest::Err err;
    EXPECT_EQ(kmif_ConvertToHostX(nullptr, &cursor, d["A"], &first.p, &err), 6);
    EXPECT_EQ(kmif_ConvertToHostX(nullptr, &cursor, d["A"], &second.p, &err), 6);
    EXPECT_EQ(cursor, two.data() + 12);
    EXPECT_EQ(static_cast<int32_t *>(second.p)[1], 4);

    ktest::TempDir dir;
    ktest::writeFile(dir.file("a"), std::string(two.begin(), two.end()) + "x");
    Kfio_Fd *fd = kfio_Open(dir.file("a").c_str(), "r", &err);
    Object third(d["A"]);
    EXPECT_EQ(kfio_Seek64(fd, 6, 0, &err), 6);
    EXPECT_EQ(kmif_ConvertToHostX(fd, nullptr, d["A"], &third.p, &err), 6);
    EXPECT_EQ(kfio_Tell64(fd, &err), 12);
    // One byte left: the file form refuses before allocating.
    void *none = nullptr;
    EXPECT_EQ(kmif_ConvertToHost(fd, nullptr, d["A"], &none, &err), -1);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_ConvertToHost", 5)) << ktest::messages(err.r);
    EXPECT_EQ(none, nullptr);
    kfio_Close(fd, nullptr);
}

TEST_F(MifDecoding, HostileCountsFailBeforeAllocating) {
    Designs d("{0:pdv,3:*lw,1:x{1:lq,}In,z,}H,.");
    const long before = kmsc_HeapLiveBlocks();
    struct Case {
        Bytes bytes;
        int code;
    } cases[] = {
        // A count far beyond the bytes given.
        {cat({le32(0x7FFFFFFF), le32(8), Bytes(64, 0)}), 7},
        // A count that does not fit 31 bits.
        {cat({le32(0xFFFFFFFF), le32(8), Bytes(16, 0)}), 6},
        // A plain pointer whose count is neither 0 nor the declared 3.
        {cat({le32(0), le32(8), le32(2), le32(16), le32(1), le32(2), le32(5)}), 8},
        // A header cut short.
        {cat({le32(1), le32(8), Bytes(8, 0), le32(0)}), 2},
    };
    for (const Case &c : cases) {
        void *object = nullptr;
        {
            ktest::Err err;
            EXPECT_FALSE(mifenc::decode(c.bytes, d["H"], &object, &err));
            EXPECT_TRUE(ktest::hasCode(err.r, "kmif_MIFtoObject", c.code))
                << c.code << ": " << ktest::messages(err.r);
        }
        EXPECT_EQ(object, nullptr);
        EXPECT_EQ(kmsc_HeapLiveBlocks(), before);
    }
}

// Every prefix of a valid encoding fails cleanly, and leaves the object
// consistent enough to be decoded into again and freed.
TEST_F(MifDecoding, EveryTruncationFailsCleanly) {
    Designs d(
        "{1:cq,0:psr,}In,"
        "{1:e1:A,e,0:pSv,3:*oIn,w,11:1bits,0:poIn,list,1:oIn,last,2:x{1:dd,}Flat,flat,}T,.");
    std::mt19937 rng(11);
    Object source(d["T"], mifenc::newObject(d["T"]));
    mifenc::fillRandom(source.p, d["T"], rng);
    const Bytes bytes = mifenc::encode(source.p, d["T"]);
    ASSERT_GT(bytes.size(), 20u);
    Object reused(d["T"], mifenc::newObject(d["T"]));
    for (size_t n = 0; n < bytes.size(); ++n) {
        const Bytes prefix(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(n));
        void *fresh = nullptr;
        ktest::Err err;
        EXPECT_FALSE(mifenc::decode(prefix, d["T"], &fresh, &err)) << n;
        EXPECT_TRUE(err) << n;
        EXPECT_EQ(fresh, nullptr);
        EXPECT_FALSE(mifenc::decode(prefix, d["T"], &reused.p, &err)) << n;
    }
    ASSERT_TRUE(mifenc::decode(bytes, d["T"], &reused.p));
    std::string why;
    EXPECT_TRUE(mifenc::equalObjects(source.p, reused.p, d["T"], &why)) << why;
}

TEST_F(MifDecoding, ArgumentsAreChecked) {
    Designs d("{1:lv,}L,{}Empty,.");
    const Bytes four(4, 0);
    void *object = nullptr;
    ktest::Err err;
    EXPECT_EQ(kmif_ConvertToHost(nullptr, four.data(), d["L"], nullptr, &err), -1);
    EXPECT_EQ(ktest::messages(err.r), "Bad objectPP.");
    EXPECT_EQ(kmif_ConvertToHost(nullptr, nullptr, d["L"], &object, &err), -1);
    EXPECT_EQ(kmif_ConvertToHost(nullptr, four.data(), d["Empty"], &object, &err), -1);
    EXPECT_EQ(kmif_ConvertToHostEx(nullptr, four.data(), -2, d["L"], &object, &err), -1);
    EXPECT_EQ(kmif_ConvertToHostEx(nullptr, four.data(), 3, d["L"], &object, &err), -1);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(kmif_ConvertToHostEx(nullptr, four.data(), 4, d["L"], &object, &err), 4);
    // A reader that runs out of bytes inside an element is named in the chain.
    Designs n("{0:px{0:plq,1:lr,}In,v,}N,.");
    void *nested = nullptr;
    EXPECT_FALSE(
        mifenc::decode(cat({le32(1), le32(8), le32(1), le32(16), le32(7)}), n["N"], &nested, &err));
    EXPECT_EQ(ktest::messages(err.r),
              "kmif_MIFtoObject failed | kmif_MIFtoObject failed | kmif_MIFtoLong failed | "
              "Unexpected end of data: 4 bytes needed, 0 left");
    kmif_ObjectFree(&object, d["L"], nullptr);
}

}  // namespace
