// Object encoding: exact bytes of each item kind, the three sinks agreeing,
// header positions in files and memory, the immediate-flush flag and
// concurrent conversions.
#include <thread>

#include "encoding_test_util.hpp"
#include "support/ktest_checks.hpp"

namespace {

using mifenc::Bytes;
using mifenc::Designs;
using mifenc::encode;
using mifenc::hex;

class MifEncoding : public mift::MifTest {};

struct ShortLong {
    uint16_t a;
    int32_t b;
};

TEST_F(MifEncoding, ItemKindsEncodeToTheirExactBytes) {
    Designs d("{1:Sa,1:lb,}A,.");
    ASSERT_EQ(d["A"]->hostSize, 8);
    ShortLong sl{0x0102, -1};
    EXPECT_EQ(hex(encode(&sl, d["A"])), "02 01 FF FF FF FF");

    struct Bits {
        unsigned char one[10];
        unsigned char two[3];
        unsigned char four[3];
    } bits{{1, 0, 1, 1, 0, 0, 0, 0, 1, 1}, {1, 2, 3}, {0xA, 0x5, 0xF}};
    Designs b("{10:1one,3:2two,3:4four,}B,.");
    EXPECT_EQ(hex(encode(&bits, b["B"])), "0D 03 39 5A 0F");
    // Only the low bits of a host value are packed.
    bits.one[1] = 0xFE;
    bits.two[0] = 0xFD;
    EXPECT_EQ(hex(encode(&bits, b["B"])), "0D 03 39 5A 0F");

    Designs e("{2:e2:A,B,v,}E,.");
    const uint32_t enums[2] = {0x00010005u, 0xFFFF1234u};
    EXPECT_EQ(hex(encode(enums, e["E"])), "05 00 34 12");

    struct Numbers {
        int8_t c;
        uint8_t uc;
        int16_t s;
        uint32_t ul;
        float f;
        double d;
        int64_t t;
        float m[2];
        double cm[2];
        int32_t i;
    } n{-2, 0xAB, -3, 0x01020304, 1.0f, -2.0, 0x0807060504030201, {0.5f, -0.5f}, {1.5, 2.5}, 7};
    Designs nd("{1:cc,1:Cuc,1:ss,1:Lul,1:ff,1:dd,1:tt,1:mm,1:Mcm,1:ii,}N,.");
    ASSERT_EQ(nd["N"]->hostSize, static_cast<int32_t>(sizeof n));
    EXPECT_EQ(hex(encode(&n, nd["N"])),
              "FE AB FD FF 04 03 02 01 00 00 80 3F 00 00 00 00 00 00 00 C0 "
              "01 02 03 04 05 06 07 08 00 00 00 3F 00 00 00 BF "
              "00 00 00 00 00 00 F8 3F 00 00 00 00 00 00 04 40 07 00 00 00");
}

TEST_F(MifEncoding, IndirectItemsWriteHeaderAndElementsInItemOrder) {
    Designs d("{1:Cfirst,0:pSv,3:*lw,1:Clast,}P,.");
    struct P {
        uint8_t first;
        Kmif_String v;  // count, then pointer
        int32_t *w;
        uint8_t last;
    };
    ASSERT_EQ(d["P"]->hostSize, static_cast<int32_t>(sizeof(P)));
    uint16_t shorts[3] = {1, 2, 0x0304};
    int32_t longs[3] = {-1, 0, 5};
    P p{0xAA, {3, reinterpret_cast<char *>(shorts)}, longs, 0xBB};
    // Positions count from 0 here: the byte after each header.
    EXPECT_EQ(hex(encode(&p, d["P"])),
              "AA 03 00 00 00 09 00 00 00 01 00 02 00 04 03 "
              "03 00 00 00 17 00 00 00 FF FF FF FF 00 00 00 00 05 00 00 00 BB");
    // A NULL pointer writes count 0 and no elements, whatever the counts say.
    p.v.string = nullptr;
    p.w = nullptr;
    EXPECT_EQ(hex(encode(&p, d["P"])), "AA 00 00 00 00 09 00 00 00 00 00 00 00 11 00 00 00 BB");
    // A negative host count is refused.
    p.v = {-1, reinterpret_cast<char *>(shorts)};
    ktest::Err err;
    EXPECT_EQ(kmif_ObjectSize(&p, d["P"], &err), -1);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_ObjectToMIF", 6)) << ktest::messages(err.r);
}

TEST_F(MifEncoding, FileAndMemoryHeadersRecordThePositionOfTheElements) {
    Designs d("{0:pSv,}P,.");
    uint16_t shorts[3] = {1, 2, 3};
    Kmif_String p{3, reinterpret_cast<char *>(shorts)};
    const Bytes expected = {3, 0, 0, 0, 108, 0, 0, 0, 1, 0, 2, 0, 3, 0};

    ktest::TempDir dir;
    ktest::Err err;
    Kfio_Fd *fd = kfio_Open(dir.file("p.bin").c_str(), "w", &err);
    ASSERT_NE(fd, nullptr);
    const std::string lead(100, 'x');
    ASSERT_EQ(kfio_WriteSeq(fd, lead.data(), lead.size(), &err), lead.size());
    EXPECT_EQ(kmif_ConvertToMIF(fd, &p, d["P"], nullptr, &err), 14) << ktest::messages(err.r);
    ASSERT_EQ(kfio_Close(fd, &err), 0);
    const std::string file = ktest::readFile(dir.file("p.bin"));
    ASSERT_EQ(file.size(), 114u);
    EXPECT_EQ(Bytes(file.begin() + 100, file.end()), expected);

    // The memory form with an explicit position gives the same bytes.
    Bytes buffer(14);
    EXPECT_EQ(kmif_ConvertToMIFEx(nullptr, &p, d["P"], buffer.data(), 14, 100, &err), 14);
    EXPECT_EQ(buffer, expected);
    // The plain memory form records the address of the elements.
    EXPECT_EQ(kmif_ConvertToMIF(nullptr, &p, d["P"], buffer.data(), &err), 14);
    uint32_t position;
    memcpy(&position, buffer.data() + 4, 4);
    EXPECT_EQ(position, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(buffer.data() + 8)));
    // Neither file nor memory: a pure count.
    EXPECT_EQ(kmif_ConvertToMIF(nullptr, &p, d["P"], nullptr, &err), 14);
}

// The capacity stops before any byte beyond it; a failing file write is
// wrapped with the writer's name.
TEST_F(MifEncoding, CapacityAndFileWriteFailuresAreReported) {
    Designs d("{4:lv,}L,.");
    const int32_t v[4] = {1, 2, 3, 4};
    Bytes buffer(16, 0xEE);
    ktest::Err err;
    EXPECT_EQ(kmif_ConvertToMIFEx(nullptr, v, d["L"], buffer.data(), 15, 0, &err), -1);
    EXPECT_TRUE(ktest::says(err.r, "Error while converting object to MIF!"))
        << ktest::messages(err.r);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_ObjectToMIF", 3));
    // A capacity of 0 holds nothing (only a negative one is unlimited).
    EXPECT_EQ(kmif_ConvertToMIFEx(nullptr, v, d["L"], buffer.data(), 0, 0, &err), -1);
    EXPECT_EQ(buffer, Bytes(16, 0xEE));

    ktest::TempDir dir;
    Kfio_Fd *fd = kfio_Open(dir.file("c.bin").c_str(), "w", &err);
    ASSERT_NE(fd, nullptr);
    EXPECT_EQ(kmif_ConvertToMIFEx(fd, v, d["L"], nullptr, 8, 0, &err), -1);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_LongToMIF", 20)) << ktest::messages(err.r);
    ASSERT_EQ(kfio_Close(fd, &err), 0);
    EXPECT_EQ(ktest::readFile(dir.file("c.bin")), "");

    ktest::writeFile(dir.file("r.bin"), "");
    fd = kfio_Open(dir.file("r.bin").c_str(), "r", &err);
    ASSERT_NE(fd, nullptr);
    Designs big("{70000:lv,}L,.");
    std::vector<int32_t> many(70000, 1);
    EXPECT_EQ(kmif_ConvertToMIF(fd, many.data(), big["L"], nullptr, &err), -1);
    const std::string m = ktest::messages(err.r);
    EXPECT_TRUE(m.rfind("Error while converting object to MIF! | Error reported by function "
                        "kmif_LongToMIF",
                        0) == 0)
        << m;
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_LongToMIF", 22)) << m;
    kfio_Close(fd, nullptr);
}

TEST_F(MifEncoding, InvalidObjectsAndDesignsAreReported) {
    Designs d("{1:lv,}L,{}Empty,{1:x{}In,v,}HasEmpty,{0:x{}In2,v,1:Cc,}ZeroEmpty,.");
    const int32_t v = 5;
    ktest::Err err;
    EXPECT_EQ(kmif_ConvertToMIF(nullptr, nullptr, d["L"], nullptr, &err), -1);
    EXPECT_EQ(ktest::messages(err.r), "Invalid object!");
    EXPECT_EQ(kmif_ObjectSize(&v, nullptr, &err), -1);
    EXPECT_EQ(ktest::messages(err.r),
              "Error reported by function kmif_ObjectToMIF | Invalid object or design!");
    EXPECT_EQ(kmif_ObjectSize(&v, d["Empty"], &err), -1);
    err.reset();
    // A nested design without items cannot be encoded either.
    unsigned char object[16] = {};
    EXPECT_EQ(kmif_ObjectSize(object, d["HasEmpty"], &err), -1);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_ObjectToMIF", 1));
    EXPECT_EQ(kmif_ObjectSize(object, d["ZeroEmpty"], &err), 1);

    // A design laid out for 4-byte pointers does not describe a host record here.
    Designs p("{1:*lv,1:lw,}Q,.");
    ASSERT_EQ(kmif_DesignLayout(p["Q"], KMIF_HOST_ILP32, &err), 0);
    EXPECT_EQ(kmif_ObjectSize(object, p["Q"], &err), -1);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_ObjectToMIF", 5)) << ktest::messages(err.r);
}

TEST_F(MifEncoding, ImmediateFlushPutsEveryWriteOnDiskAndIsPerThread) {
    ktest::TempDir dir;
    Designs d("{3:Sv,}S,.");
    const uint16_t v[3] = {1, 2, 3};
    ktest::Err err;
    auto bytesOnDisk = [&](bool flush) {
        if (flush)
            EXPECT_EQ(kmif_StreamImmediateFlushEnable(&err), 0);
        else
            EXPECT_EQ(kmif_StreamImmediateFlushDisable(&err), 0);
        Kfio_Fd *fd = kfio_Open(dir.file("f.bin").c_str(), "w", &err);
        EXPECT_NE(fd, nullptr);
        EXPECT_EQ(kmif_ConvertToMIF(fd, v, d["S"], nullptr, &err), 6);
        const size_t seen = ktest::readFile(dir.file("f.bin")).size();
        kfio_Close(fd, nullptr);
        return seen;
    };
    EXPECT_EQ(bytesOnDisk(false), 0u);  // still in the handle's buffer
    EXPECT_EQ(bytesOnDisk(true), 6u);
    // Another thread has its own flag, clear.
    std::thread([&] {
        Kfio_Fd *fd = kfio_Open(dir.file("g.bin").c_str(), "w", nullptr);
        EXPECT_EQ(kmif_ConvertToMIF(fd, v, d["S"], nullptr, nullptr), 6);
        EXPECT_EQ(ktest::readFile(dir.file("g.bin")).size(), 0u);
        kfio_Close(fd, nullptr);
    }).join();
    EXPECT_EQ(bytesOnDisk(false), 0u);
}

TEST_F(MifEncoding, ConcurrentConversionsAreIndependent) {
    // Bit and enumeration items go through each thread's own work buffer.
    Designs d("{0:p1bits,0:pe1:A,enums,0:pdv,}W,.");
    ktest::TempDir dir;
    std::vector<std::thread> threads;
    std::vector<std::string> failures(4);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            std::mt19937 rng(100 + t);
            for (int round = 0; round < 10; ++round) {
                mifenc::Object object(d["W"], mifenc::newObject(d["W"]));
                mifenc::fillRandom(object.p, d["W"], rng, 70000);
                const std::string path = dir.file("t" + std::to_string(t));
                Kfio_Fd *fd = kfio_Open(path.c_str(), "w+", nullptr);
                const int32_t size = kmif_ConvertToMIF(fd, object.p, d["W"], nullptr, nullptr);
                kfio_Seek64(fd, 0, 0, nullptr);
                void *back = nullptr;
                const int32_t read = kmif_ConvertToHost(fd, nullptr, d["W"], &back, nullptr);
                kfio_Close(fd, nullptr);
                std::string why;
                if (size <= 0 || read != size ||
                    !mifenc::equalObjects(object.p, back, d["W"], &why))
                    failures[t] = "round " + std::to_string(round) + ": " + why;
                kmif_ObjectFree(&back, d["W"], nullptr);
                if (!failures[t].empty()) return;
            }
        });
    for (auto &t : threads) t.join();
    for (const auto &f : failures) EXPECT_EQ(f, "");
}

}  // namespace
