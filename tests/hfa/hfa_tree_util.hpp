// Helpers of the entry-tree tests: short forms of the tree operations and an
// independent reader of the entry tree stored in a file's bytes.
#pragma once

#include <kraster/khfa.h>
#include <kraster/kmsc.h>

#include <string>
#include <vector>

#include "hfa/hfa_test_util.hpp"

namespace hfatest {

// The current path, or "<error>".
inline std::string where(Khfa_File *f) {
    ktest::Err err;
    char *p = khfa_CurrentEntryPath(f, &err);
    std::string s = p ? p : "<error>";
    kmsc_HeapFree(p);
    return s;
}

inline bool seekTo(Khfa_File *f, const char *path) {
    ktest::Err err;
    Khfa_Entry *e = khfa_EntrySeek(f, KHFA_SEEK_PATH, path, &err);
    EXPECT_FALSE(err) << ktest::messages(err.r);
    return e != nullptr;
}

inline void write(Khfa_File *f, int mode, const char *name, const char *type = "t") {
    ktest::Err err;
    EXPECT_NE(khfa_EntryWrite(f, mode, name, type, &err), nullptr) << ktest::messages(err.r);
}

// Entries in depth-first pre-order read straight from the file bytes:
// "path type dataSize" each, or "corrupt" at the first bad link.
inline std::vector<std::string> diskTree(const std::string &b) {
    std::vector<std::string> out;
    const uint32_t header = le32(b, 16);
    const uint32_t root = le32(b, header + 8);
    auto name = [&](uint32_t at, size_t off, size_t n) {
        std::string s = b.substr(at + off, n);
        return s.substr(0, s.find('\0'));
    };
    struct Frame {
        uint32_t pos;
        std::string path;
    };
    std::vector<Frame> stack{{root, ""}};
    size_t guard = b.size() / 128 + 2;
    while (!stack.empty()) {
        if (guard-- == 0 || stack.back().pos + 128 > b.size()) {
            out.push_back("corrupt");
            break;
        }
        const Frame f = stack.back();
        stack.pop_back();
        if (f.pos != root) {
            out.push_back(f.path + " " + name(f.pos, 88, 32) + " " +
                          std::to_string(static_cast<int32_t>(le32(b, f.pos + 20))));
            const uint32_t next = le32(b, f.pos);
            const size_t cut = f.path.rfind(':');
            if (next) stack.push_back({next, f.path.substr(0, cut + 1) + name(next, 24, 64)});
        }
        const uint32_t child = le32(b, f.pos + 12);
        if (child)
            stack.push_back({child, (f.pos == root ? ":" : f.path + ":") + name(child, 24, 64)});
    }
    return out;
}

// The entry at an absolute path, found by walking the records in the bytes.
inline uint32_t diskEntry(const std::string &b, const std::string &path) {
    uint32_t at = le32(b, le32(b, 16) + 8);
    size_t i = 1;
    while (i < path.size()) {
        size_t j = path.find(':', i);
        if (j == std::string::npos) j = path.size();
        const std::string name = path.substr(i, j - i);
        at = le32(b, at + 12);
        while (at && std::string(b.c_str() + at + 24) != name) at = le32(b, at);
        if (!at) return 0;
        i = j + 1;
    }
    return at;
}

}  // namespace hfatest
