// Helpers of the HFA tests: a toolkit fixture, little-endian access to file
// bytes, and an independent reader of the free list stored in a file.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "support/ktest.hpp"

namespace hfatest {

inline uint32_t le32(const std::string &b, size_t at) {
    uint32_t v = 0;
    if (at + 4 <= b.size()) std::memcpy(&v, b.data() + at, 4);
    return v;
}

inline void put32(std::string &b, size_t at, uint32_t v) {
    if (b.size() < at + 4) b.resize(at + 4, '\0');
    std::memcpy(b.data() + at, &v, 4);
}

// The strings of a list (freed), or {"<null>"} for no list.
inline std::vector<std::string> listed(Kstr_StringList *list) {
    if (!list) return {"<null>"};
    std::vector<std::string> out(list->strings, list->strings + list->count);
    kstr_StringListFree(list);
    return out;
}

// Free blocks read straight from the bytes of a file: position -> size.
// `ok` is false when a link does not lead forward or leaves the file.
struct DiskList {
    std::map<uint32_t, int32_t> blocks;
    bool ok = true;
};

inline DiskList readDiskList(const std::string &bytes) {
    DiskList list;
    const uint32_t headerPtr = le32(bytes, 16);
    uint32_t link = le32(bytes, headerPtr + 4);
    uint32_t last = 0;
    while (link != 0) {
        if (link <= last || uint64_t{link} + 8 > bytes.size()) {
            list.ok = false;
            break;
        }
        list.blocks[link] = static_cast<int32_t>(le32(bytes, link + 4));
        last = link;
        link = le32(bytes, link);
    }
    return list;
}

// Every test runs in its own process with an initialised toolkit and a
// fresh temporary directory.
class HfaTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(kint_InitToolkit(nullptr), nullptr); }
    std::string path(const std::string &name = "test.hfa") const { return dir.file(name); }
    ktest::TempDir dir;
};

// Creates an HFA file, failing the test on error.
inline Khfa_File *create(const std::string &path) {
    ktest::Err err;
    Khfa_File *f = khfa_FileCreate(path.c_str(), nullptr, &err);
    EXPECT_NE(f, nullptr) << ktest::messages(err.r);
    return f;
}

inline void close(Khfa_File *f) {
    ktest::Err err;
    EXPECT_EQ(khfa_FileClose(f, &err), 0) << ktest::messages(err.r);
}

// HfaTest with a new file f, open for the length of the test.
class HfaFileTest : public HfaTest {
  protected:
    void SetUp() override {
        HfaTest::SetUp();
        f = create(path());
        ASSERT_NE(f, nullptr);
    }
    void TearDown() override {
        if (f) close(f);
    }
    Khfa_File *f = nullptr;
};

}  // namespace hfatest
