// Fuzz target for file-node lists, node paths and file names. The input is
// taken as one C string (up to its first NUL) and run through every parser;
// besides crashes and leaks it checks the properties the module promises:
// parse -> compose -> parse gives the same items, reading parts gives the
// parsed values back, the parts of a mask concatenate to the whole name, and
// normalisation is idempotent.
#include "fuzz_support.hpp"

#include <kraster/kraster.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

#define CHECK(cond) kfuzz::check((cond), #cond)

// Takes a heap string; "\x01NULL" stands for NULL (never a parse result).
std::string take(char *s) {
    std::string r = s ? s : "\x01NULL";
    kmsc_HeapFree(s);
    return r;
}

struct Item {
    std::string fileName;
    bool hasTitle;
    std::string title;
    std::vector<std::string> nodePaths;
    bool operator==(const Item &) const = default;
};

bool parse(const char *s, std::vector<Item> &out) {
    Kerr_ErrorReport *err = nullptr;
    Kfnp_FileNodeList *l = kfnp_FileNodeListParse(s, &err);
    if (!l) {
        // A failure always names the parsing step beneath the wrapper.
        CHECK(err && err->next && strcmp(err->next->function, "FileNodeListParse") == 0);
        kerr_DeleteErrorReport(err);
        return false;
    }
    CHECK(!err && l->itemCount >= 1);
    out.clear();
    for (int32_t i = 0; i < l->itemCount; ++i) {
        const Kfnp_FileNodeListItem &it = l->items[i];
        Item v{it.fileName, it.title != nullptr, it.title ? it.title : "", {}};
        for (int32_t k = 0; k < it.nodePathCount; ++k) v.nodePaths.push_back(it.nodePaths[k]);
        out.push_back(v);
    }
    kfnp_FreeNodeList(l);
    return true;
}

void checkList(const char *s) {
    std::vector<Item> items;
    if (!parse(s, items)) {
        CHECK(kfnp_FileNodeListCount(s, 0, nullptr, nullptr) == -1);
        return;
    }
    CHECK(kfnp_FileNodeListCount(s, 0, nullptr, nullptr) == static_cast<int32_t>(items.size()));

    Kfnp_FileNodeList *l = kfnp_FileNodeListParse(s, nullptr);
    CHECK(l);
    const std::string composed = take(kfnp_FileNodeListCompose(l, nullptr));
    kfnp_FreeNodeList(l);
    std::vector<Item> again;
    CHECK(parse(composed.c_str(), again));
    CHECK(again == items);
    l = kfnp_FileNodeListParse(composed.c_str(), nullptr);
    CHECK(take(kfnp_FileNodeListCompose(l, nullptr)) == composed);
    kfnp_FreeNodeList(l);

    const size_t n = items.size() < 4 ? items.size() : 4;
    for (size_t i = 0; i < n; ++i) {
        const Item &it = items[i];
        const auto ii = static_cast<int32_t>(i);
        CHECK(take(kfnp_FileNodeListGet(s, ii, KFNP_FNL_FILENAME, 0, nullptr)) == it.fileName);
        CHECK(take(kfnp_FileNodeListGet(s, ii, KFNP_FNL_TITLE, 0, nullptr)) == it.title);
        for (size_t k = 0; k < it.nodePaths.size() && k < 4; ++k) {
            const std::string p = take(
                kfnp_FileNodeListGet(s, ii, KFNP_FNL_NODEPATH, static_cast<int32_t>(k), nullptr));
            CHECK(p == it.nodePaths[k]);
            Kfnp_NodeNameList *names = kfnp_NodeNameParse(p.c_str(), nullptr);
            CHECK(names && names->isFullPath == 1);
            kfnp_FreeNodeName(names);
        }
        // The written item alone parses to the item.
        const std::string written = take(kfnp_FileNodeListGet(s, ii, KFNP_FNL_ITEM, 0, nullptr));
        std::vector<Item> one;
        CHECK(parse(written.c_str(), one));
        CHECK(one.size() == 1 && one[0] == it);
        CHECK(kfnp_FileNodeListLength(s, ii, KFNP_FNL_ITEM, 0, nullptr) ==
              static_cast<int32_t>(written.size()));
    }

    // Writing a part with its own value keeps the items.
    const Item &first = items[0];
    if (!first.fileName.empty()) {
        std::string t =
            take(kfnp_FileNodeListSet(s, 0, KFNP_FNL_FILENAME, 0, first.fileName.c_str(), nullptr));
        CHECK(parse(t.c_str(), again) && again == items);
        t = take(kfnp_FileNodeListSet(s, 0, KFNP_FNL_TITLE, 0,
                                      first.hasTitle ? first.title.c_str() : nullptr, nullptr));
        CHECK(parse(t.c_str(), again) && again == items);
        if (!first.nodePaths.empty()) {
            t = take(kfnp_FileNodeListSet(s, 0, KFNP_FNL_NODEPATH, -1,
                                          first.nodePaths.back().c_str(), nullptr));
            CHECK(parse(t.c_str(), again) && again == items);
        }
        t = take(kfnp_FileNodeListSet(s, 0, KFNP_FNL_NODEPATH, 99, ":x", nullptr));
        CHECK(parse(t.c_str(), again) && again.size() == items.size());
        CHECK(again[0].nodePaths.size() == first.nodePaths.size() + 1);
    }
    if (items.size() > 1) {
        CHECK(
            parse(take(kfnp_FileNodeListSet(s, -1, KFNP_FNL_FILENAME, 0, nullptr, nullptr)).c_str(),
                  again));
        CHECK(again.size() == items.size() - 1);
    }
}

const int32_t kIndexes[] = {-3, -1, 0, 1, 2, 1000};

void checkNodePath(const char *s) {
    Kfnp_NodeNameList *names = kfnp_NodeNameParse(s, nullptr);
    if (!names) {
        CHECK(!kfnp_NodePathGet(s, KFNP_NODEPATH_ALL, 0, nullptr));
        return;
    }
    kfnp_FreeNodeName(names);
    for (int32_t index : kIndexes) {
        std::string whole;
        for (uint32_t bit = 1; bit <= KFNP_NODEPATH_FOLLOWING; bit <<= 1) {
            const std::string part = take(kfnp_NodePathGet(s, bit, index, nullptr));
            CHECK(kfnp_NodePathLength(s, bit, index, nullptr) == static_cast<int32_t>(part.size()));
            whole += part;
        }
        CHECK(whole == s);
        for (uint32_t mask : {3u, 6u, 7u, 12u, 14u}) {
            const std::string path = take(kfnp_NodePathPath(s, mask, index, nullptr));
            Kfnp_NodeNameList *n = kfnp_NodeNameParse(path.c_str(), nullptr);
            CHECK(n && n->isFullPath);
            kfnp_FreeNodeName(n);
        }
        char *set = kfnp_NodePathSet(s, KFNP_NODEPATH_NAME, index, "x", nullptr);
        CHECK(set);
        kmsc_HeapFree(set);
    }
}

void checkFileName(const char *s) {
    const size_t len = strlen(s);
    for (int32_t index : kIndexes) {
        std::string whole;
        int32_t count = -1;
        for (uint32_t bit = 1; bit <= KFNP_FILENAME_FOLLOWING; bit <<= 1) {
            int32_t offset = -1;
            const int32_t n = kfnp_FileNameLengthX(s, bit, index, &offset, &count, nullptr);
            CHECK(n >= 0 && offset == static_cast<int32_t>(whole.size()));
            const std::string part = take(kfnp_FileNameGet(s, bit, index, nullptr));
            CHECK(static_cast<int32_t>(part.size()) == n);
            whole += part;
        }
        CHECK(whole == s && count >= 0 && static_cast<size_t>(count) <= len);
    }
    CHECK(take(kfnp_FileNameSet(s, KFNP_FILENAME_ALL, 0, s, nullptr)) == s);
    const std::string normal = take(kfnp_FileNameNormalize(s, nullptr));
    CHECK(take(kfnp_FileNameNormalize(normal.c_str(), nullptr)) == normal);
    CHECK(kfnp_FileNameEquals(s, normal.c_str()));
    const std::string internal = take(kfnp_FileNameExternalToInternal(s, nullptr));
    CHECK(internal == "\x01NULL" || internal == s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4096) return 0;
    std::string s(reinterpret_cast<const char *>(data), size);
    s.resize(strlen(s.c_str()));
    checkList(s.c_str());
    checkNodePath(s.c_str());
    checkFileName(s.c_str());
    return 0;
}
