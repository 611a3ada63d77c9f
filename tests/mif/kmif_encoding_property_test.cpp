// Property test over random designs and random objects: decoding an
// encoding gives the object back (into a fresh object, into an object of
// other contents, and in place), re-encoding gives the same bytes, copies are
// equal, and the file and memory sinks agree.
#include "encoding_test_util.hpp"

namespace {

using mifenc::Bytes;
using mifenc::Designs;
using mifenc::Object;

class MifEncodingProperty : public mift::MifTest {};

void roundTrips(uint32_t seed, bool withBaseData, const ktest::TempDir &dir) {
    std::mt19937 rng(seed);
    const std::string text = mifenc::randomDictionary(rng, withBaseData);
    SCOPED_TRACE(text);
    Designs designs(text);
    const Kmif_Design *top = designs["Top"];
    ASSERT_NE(top, nullptr);

    Object a(top, mifenc::newObject(top));
    mifenc::fillRandom(a.p, top, rng);
    const Bytes bytes = mifenc::encode(a.p, top);
    ASSERT_FALSE(bytes.empty() && top->fileSize > 0);
    std::string why;

    Object fresh(top);
    ASSERT_TRUE(mifenc::decode(bytes, top, &fresh.p));
    ASSERT_TRUE(mifenc::equalObjects(a.p, fresh.p, top, &why)) << why;
    ASSERT_EQ(mifenc::encode(fresh.p, top), bytes);

    // Over an object whose arrays differ in size and presence.
    Object other(top, mifenc::newObject(top));
    mifenc::fillRandom(other.p, top, rng);
    ASSERT_TRUE(mifenc::decode(bytes, top, &other.p));
    ASSERT_TRUE(mifenc::equalObjects(a.p, other.p, top, &why)) << why;
    // In place, into the very arrays that were encoded.
    ASSERT_TRUE(mifenc::decode(bytes, top, &a.p));
    ASSERT_TRUE(mifenc::equalObjects(a.p, fresh.p, top, &why)) << why;

    Object copy(top);
    ktest::Err err;
    ASSERT_EQ(kmif_ObjectCopy(a.p, &copy.p, top, &err), 0) << ktest::messages(err.r);
    ASSERT_TRUE(mifenc::equalObjects(a.p, copy.p, top, &why)) << why;

    // A file sink at an offset writes what a memory sink given that
    // position writes, and the file decodes to the same object.
    const int64_t offset = rng() % 50;
    Bytes positioned(bytes.size());
    ASSERT_EQ(kmif_ConvertToMIFEx(nullptr, a.p, top, positioned.data(),
                                  static_cast<int64_t>(bytes.size()), offset, &err),
              static_cast<int32_t>(bytes.size()));
    const std::string path = dir.file("p" + std::to_string(seed));
    Kfio_Fd *fd = kfio_Open(path.c_str(), "w+", &err);
    ASSERT_NE(fd, nullptr);
    const std::string lead(static_cast<size_t>(offset), '-');
    kfio_WriteSeq(fd, lead.data(), lead.size(), &err);
    ASSERT_EQ(kmif_ConvertToMIF(fd, a.p, top, nullptr, &err), static_cast<int32_t>(bytes.size()))
        << ktest::messages(err.r);
    ASSERT_EQ(kfio_Seek64(fd, offset, 0, &err), offset);
    Object fromFile(top);
    EXPECT_EQ(kmif_ConvertToHost(fd, nullptr, top, &fromFile.p, &err),
              static_cast<int32_t>(bytes.size()))
        << ktest::messages(err.r);
    kfio_Close(fd, nullptr);
    const std::string file = ktest::readFile(path);
    ASSERT_EQ(Bytes(file.begin() + offset, file.end()), positioned);
    ASSERT_TRUE(mifenc::equalObjects(a.p, fromFile.p, top, &why)) << why;

    // With its dictionary, on its own.
    unsigned char *data = nullptr;
    char *dictionary = nullptr, *name = nullptr;
    const int32_t size = kmif_MIFableObjectConvertToMIF(a.p, top, &data, &dictionary, &name, &err);
    ASSERT_EQ(size, static_cast<int32_t>(bytes.size())) << ktest::messages(err.r);
    void *back = nullptr;
    Kmif_Design *design = nullptr;
    EXPECT_EQ(
        kmif_MIFableObjectConvertFromMIFEx(data, size, dictionary, name, &back, &design, &err),
        size)
        << ktest::messages(err.r);
    if (design) {
        EXPECT_TRUE(mifenc::equalObjects(a.p, back, design, &why)) << why;
    }
    kmif_ObjectFree(&back, design, nullptr);
    kmif_DesignDestroy(design, nullptr);
    kmsc_HeapFree(data);
    kmsc_HeapFree(dictionary);
    kmsc_HeapFree(name);
}

TEST_F(MifEncodingProperty, RandomDesignsAndObjectsRoundTrip) {
    ktest::TempDir dir;
    for (uint32_t seed = 1; seed <= 300; ++seed) {
        roundTrips(seed, seed % 2 == 0, dir);
        if (HasFatalFailure()) return;
    }
}

}  // namespace
