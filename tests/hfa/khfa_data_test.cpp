// Reads and writes at positions of an HFA file: raw bytes and host objects,
// sequential access, bounds, read-only handles.
#include <gtest/gtest.h>

#include <kraster/kraster.h>

#include "hfa/hfa_test_util.hpp"
#include "support/ktest_checks.hpp"

using namespace hfatest;

namespace {

constexpr uint32_t kSeq = KHFA_SEQUENTIAL_POSITION;

class HfaData : public HfaFileTest {
  protected:
    Khfa_File *&file = f;
    ktest::Err err;
};

TEST_F(HfaData, RawBytesAtPositionsAndInSequence) {
    const uint32_t pos = khfa_NextFreePos(file, 32, &err);
    ASSERT_EQ(pos, 508u);
    EXPECT_EQ(khfa_FileMIFDataWrite(file, pos, 8, "abcdefgh", &err), 8);
    EXPECT_EQ(khfa_FileMIFDataWrite(file, kSeq, 8, "ijklmnop", &err), 8);  // continues
    char text[17] = {};
    EXPECT_EQ(khfa_FileMIFDataRead(file, pos, 4, text, &err), 4);
    EXPECT_EQ(khfa_FileMIFDataRead(file, kSeq, 12, text + 4, &err), 12);
    EXPECT_STREQ(text, "abcdefghijklmnop");
    // A NULL destination only moves the position.
    EXPECT_EQ(khfa_FileMIFDataRead(file, pos + 10, 4, nullptr, &err), 0);
    char two[3] = {};
    EXPECT_EQ(khfa_FileMIFDataRead(file, kSeq, 2, two, &err), 2);
    EXPECT_STREQ(two, "kl");
    // Nothing beyond the tracked end, neither explicitly nor in sequence.
    EXPECT_EQ(khfa_FileMIFDataRead(file, pos + 30, 4, text, &err), -1);
    EXPECT_TRUE(ktest::says(err.r, "beyond the end of file"));
    EXPECT_EQ(khfa_FileMIFDataWrite(file, pos + 30, 4, "xxxx", &err), -1);
    EXPECT_EQ(khfa_FileMIFDataRead(file, pos + 28, 4, nullptr, &err), 0);
    EXPECT_EQ(khfa_FileMIFDataWrite(file, kSeq, 8, "xxxxxxxx", &err), -1);
    EXPECT_EQ(khfa_FileMIFDataRead(file, 0xFFFFFFF0u, 4, text, &err), -1);
    EXPECT_EQ(khfa_FileMIFDataRead(file, pos, -1, text, &err), -1);
    EXPECT_EQ(khfa_FileSize(file), 540);
    close(file);
    file = nullptr;
    const std::string bytes = ktest::readFile(path());
    EXPECT_EQ(bytes.size(), 540u);
    EXPECT_EQ(bytes.substr(508, 16), "abcdefghijklmnop");
}

// A record with a counted pointer: its header carries the absolute file
// position of the elements.
struct Sample {
    int16_t a;
    int32_t b;
    int32_t count;
    int16_t *values;
};

TEST_F(HfaData, HostObjectsRoundTrip) {
    Kmif_Dictionary *d = khfa_FileDictionary(file);
    Kmif_Design *design =
        kmif_DesignCreate(d, "Sample", KMIF_TYPE_S16, "a", KMIF_TYPE_S32, "b",
                          KMIF_TYPE_S16 | KMIF_FLAG_COUNTED_POINTER, "values", 0, &err);
    ASSERT_NE(design, nullptr) << ktest::messages(err.r);
    ASSERT_EQ(design->hostSize, static_cast<int32_t>(sizeof(Sample)));
    int16_t values[3] = {1, -2, 3};
    Sample s{0x0102, -1, 3, values};
    const int32_t size = kmif_ObjectSize(&s, design, &err);
    ASSERT_EQ(size, 2 + 4 + 8 + 6);
    const uint32_t pos = khfa_NextFreePos(file, size, &err);
    ASSERT_NE(pos, 0u);
    EXPECT_EQ(khfa_FileHostDataWrite(file, pos, design, size, &s, &err), size);
    unsigned char raw[20];
    ASSERT_EQ(khfa_FileMIFDataRead(file, pos, size, raw, &err), size);
    const unsigned char expect[20] = {0x02, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 3,    0,    0, 0,
                                      0,    0,    0,    0,    1,    0,    0xFE, 0xFF, 3, 0};
    uint32_t elements = pos + 14;
    std::string expected(reinterpret_cast<const char *>(expect), 20);
    put32(expected, 10, elements);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(raw), 20), expected);

    void *back = nullptr;
    EXPECT_EQ(khfa_FileHostDataRead(file, pos, design, size, &back, &err), size);
    ASSERT_NE(back, nullptr);
    const auto *r = static_cast<const Sample *>(back);
    ASSERT_EQ((ktest::Ints{r->a, r->b, r->count}), (ktest::Ints{0x0102, -1, 3}));
    EXPECT_EQ(r->values[1], -2);
    kmif_ObjectFree(&back, design, nullptr);

    // An object longer than the room given is refused; nothing past it is written.
    int16_t more[40] = {};
    Sample big{1, 2, 40, more};
    EXPECT_EQ(khfa_FileHostDataWrite(file, pos, design, size, &big, &err), -1);
    EXPECT_TRUE(ktest::says(err.r, "kmif_ConvertToMIF failed"));
    // Reads never reach past the end of the file, whatever size is asked.
    EXPECT_EQ(khfa_FileHostDataRead(file, pos, design, 0x7FFFFFF0, &back, &err), -1);
    EXPECT_EQ(back, nullptr);
    // Truncated bytes fail in the decoder.
    EXPECT_EQ(khfa_FileHostDataRead(file, pos, design, 10, &back, &err), -1);
    EXPECT_TRUE(ktest::says(err.r, "kmif_ConvertToHost failed"));
    kmif_ObjectFree(&back, design, nullptr);
}

TEST_F(HfaData, EntryRecordsThroughTheirDesignAndReadOnlyHandles) {
    const Kmif_Design *entry =
        kmif_DictionarySearchByName(khfa_FileDictionary(file), "Khfa_Entry", nullptr);
    ASSERT_NE(entry, nullptr);
    Khfa_Entry root{};
    void *object = &root;
    EXPECT_EQ(khfa_FileHostDataRead(file, 82, entry, 128, &object, &err), 128);
    EXPECT_EQ(std::string(root.name) + " " + root.type + " " + std::to_string(root.parent),
              "root root 0");
    EXPECT_GT(root.modTime, 1.6e9);
    // Written back elsewhere, it reads the same.
    const uint32_t pos = khfa_NextFreePos(file, 128, &err);
    std::strcpy(root.name, "copy");
    EXPECT_EQ(khfa_FileHostDataWrite(file, pos, entry, 128, &root, &err), 128);
    Khfa_Entry copy{};
    object = &copy;
    EXPECT_EQ(khfa_FileHostDataRead(file, pos, entry, 128, &object, &err), 128);
    EXPECT_EQ(std::memcmp(&copy, &root, sizeof root), 0);
    // A read-only handle takes no writes.
    close(file);
    file = khfa_FileOpen(path().c_str(), "r", nullptr, &err);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(khfa_FileMIFDataWrite(file, 300, 4, "xxxx", &err), -1);
    EXPECT_TRUE(ktest::says(err.r, "open for reading only"));
    entry = kmif_DictionarySearchByName(khfa_FileDictionary(file), "Khfa_Entry", nullptr);
    EXPECT_EQ(khfa_FileHostDataWrite(file, 82, entry, 128, &root, &err), -1);
    EXPECT_EQ(khfa_FreeSpace(file, 300, 16, &err), -1);
    char label[16];
    EXPECT_EQ(khfa_FileMIFDataRead(file, 0, 16, label, &err), 16);
}

}  // namespace
