// The fixed records of an HFA file: designs, the dictionary of a new file and
// the conversion of the records between host form and file bytes.
#include <kraster/kmif.h>

#include <cstring>

#include "core/report.hpp"
#include "hfa/khfa_internal.hpp"
#include "hfa/khfa_records.hpp"

namespace kr::hfa {

namespace {

// The module dictionary and its designs, created on first use inside the
// thread-unsafe section (kmif_DesignFetch) and kept for the process.
Kmif_Dictionary *g_dictionary = nullptr;
Kmif_Design *g_fileDesign = nullptr;
Kmif_Design *g_entryDesign = nullptr;
Kmif_Design *g_tagDesign = nullptr;
Kmif_Design *g_nodeDesign = nullptr;
Kmif_Design *g_dataDesign = nullptr;

Kmif_Design *fetchFile(Kerr_ErrorReport **err) {
    return KMIF_DESIGN_FETCH(g_dictionary, g_fileDesign, "Khfa_File", KMIF_TYPE_S32, "version",
                             KMIF_TYPE_U32, "freeList", KMIF_TYPE_U32, "rootEntryPtr",
                             KMIF_TYPE_S16, "entryHeaderLength", KMIF_TYPE_U32, "dictionaryPtr", 0,
                             err);
}

Kmif_Design *fetchEntry(Kerr_ErrorReport **err) {
    return KMIF_DESIGN_FETCH(
        g_dictionary, g_entryDesign, "Khfa_Entry", KMIF_TYPE_U32, "next", KMIF_TYPE_U32, "prev",
        KMIF_TYPE_U32, "parent", KMIF_TYPE_U32, "child", KMIF_TYPE_U32, "data", KMIF_TYPE_S32,
        "dataSize", KMIF_TYPE_S8 | KMIF_FLAG_COUNT, "name", 64, KMIF_TYPE_S8 | KMIF_FLAG_COUNT,
        "type", 32, KMIF_TYPE_TIME, "modTime", 0, err);
}

Kmif_Design *fetchTag(Kerr_ErrorReport **err) {
    return KMIF_DESIGN_FETCH(g_dictionary, g_tagDesign, "Khfa_HeaderTag",
                             KMIF_TYPE_S8 | KMIF_FLAG_COUNT, "label", 16, KMIF_TYPE_U32,
                             "headerPtr", 0, err);
}

Kmif_Design *fetchNode(Kerr_ErrorReport **err) {
    return KMIF_DESIGN_FETCH(g_dictionary, g_nodeDesign, "Khfa_FreeListNode", KMIF_TYPE_U32,
                             "freeList", KMIF_TYPE_S32, "freeSize", 0, err);
}

Kmif_Design *fetchData(Kerr_ErrorReport **err) {
    return KMIF_DESIGN_FETCH(g_dictionary, g_dataDesign, "Khfa_Data", KMIF_TYPE_S32, "size",
                             KMIF_TYPE_U32, "ptr", 0, err);
}

template <class T>
void put(unsigned char *bytes, size_t offset, T value) {
    std::memcpy(bytes + offset, &value, sizeof value);  // little-endian hosts only
}

template <class T>
T get(const unsigned char *bytes, size_t offset) {
    T value;
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

}  // namespace

const Kmif_Design *recordDesign(Record r, Kerr_ErrorReport **err) {
    kr::Report e(err);
    Kmif_Design *d = nullptr;
    switch (r) {
        case Record::HeaderTag:
            d = fetchTag(e.out());
            break;
        case Record::FileHeader:
            d = fetchFile(e.out());
            break;
        case Record::Entry:
            d = fetchEntry(e.out());
            break;
        case Record::FreeListNode:
            d = fetchNode(e.out());
            break;
    }
    if (!d) e.error("khfa_RecordDesign", 1, "KMIF_DESIGN_FETCH failed");
    return d;
}

Kmif_Dictionary *fileDictionaryCreate(Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_FileDictionaryCreate";
    kr::Report e(err);
    Kmif_Design *designs[5] = {fetchFile(e.out()), nullptr, nullptr, nullptr, nullptr};
    if (designs[0]) designs[1] = fetchEntry(e.out());
    if (designs[1]) designs[2] = fetchTag(e.out());
    if (designs[2]) designs[3] = fetchNode(e.out());
    if (designs[3]) designs[4] = fetchData(e.out());
    if (!designs[4]) {
        e.error(fn, 1, "Design fetch failed");
        return nullptr;
    }
    Kmif_Dictionary *dictionary = kmif_DictionaryCreate(e.out());
    if (!dictionary) {
        e.error(fn, 2, "Dictionary create fail");
        return nullptr;
    }
    for (const Kmif_Design *d : designs) {
        if (!kmif_DictionaryAddDesign(dictionary, d, e.out())) {
            e.error(fn, 3, "Design create failed");
            kmif_DictionaryDestroy(dictionary, nullptr);
            return nullptr;
        }
    }
    return dictionary;
}

// Records hold no pointers, indirect items or bit fields, so their file bytes
// are the items' values in design order, little-endian, without padding.
bool pack(Record r, const void *host, unsigned char *bytes, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!host || !bytes) {
        e.error("khfa_RecordPack", 1, "Args");
        return false;
    }
    switch (r) {
        case Record::HeaderTag: {
            const auto *t = static_cast<const HeaderTag *>(host);
            std::memcpy(bytes, t->label, sizeof t->label);
            put(bytes, 16, t->headerPtr);
            break;
        }
        case Record::FileHeader: {
            const auto *h = static_cast<const Khfa_FileHeader *>(host);
            put(bytes, 0, h->version);
            put(bytes, 4, h->freeList);
            put(bytes, 8, h->rootEntryPtr);
            put(bytes, 12, h->entryHeaderLength);
            put(bytes, 14, h->dictionaryPtr);
            break;
        }
        case Record::Entry: {
            const auto *en = static_cast<const Khfa_Entry *>(host);
            put(bytes, 0, en->next);
            put(bytes, 4, en->prev);
            put(bytes, 8, en->parent);
            put(bytes, 12, en->child);
            put(bytes, 16, en->data);
            put(bytes, 20, en->dataSize);
            std::memcpy(bytes + 24, en->name, sizeof en->name);
            std::memcpy(bytes + 88, en->type, sizeof en->type);
            put(bytes, 120, en->modTime);
            break;
        }
        case Record::FreeListNode: {
            const auto *n = static_cast<const FreeListNode *>(host);
            put(bytes, 0, n->freeList);
            put(bytes, 4, n->freeSize);
            break;
        }
    }
    return true;
}

bool unpack(Record r, const unsigned char *bytes, void *host, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!host || !bytes) {
        e.error("khfa_RecordUnpack", 1, "Args");
        return false;
    }
    switch (r) {
        case Record::HeaderTag: {
            auto *t = static_cast<HeaderTag *>(host);
            std::memcpy(t->label, bytes, sizeof t->label);
            t->headerPtr = get<uint32_t>(bytes, 16);
            break;
        }
        case Record::FileHeader: {
            auto *h = static_cast<Khfa_FileHeader *>(host);
            h->version = get<int32_t>(bytes, 0);
            h->freeList = get<uint32_t>(bytes, 4);
            h->rootEntryPtr = get<uint32_t>(bytes, 8);
            h->entryHeaderLength = get<int16_t>(bytes, 12);
            h->dictionaryPtr = get<uint32_t>(bytes, 14);
            break;
        }
        case Record::Entry: {
            auto *en = static_cast<Khfa_Entry *>(host);
            en->next = get<uint32_t>(bytes, 0);
            en->prev = get<uint32_t>(bytes, 4);
            en->parent = get<uint32_t>(bytes, 8);
            en->child = get<uint32_t>(bytes, 12);
            en->data = get<uint32_t>(bytes, 16);
            en->dataSize = get<int32_t>(bytes, 20);
            std::memcpy(en->name, bytes + 24, sizeof en->name);
            std::memcpy(en->type, bytes + 88, sizeof en->type);
            en->modTime = get<double>(bytes, 120);
            // Names from a file may lack their terminator.
            en->name[sizeof en->name - 1] = '\0';
            en->type[sizeof en->type - 1] = '\0';
            break;
        }
        case Record::FreeListNode: {
            auto *n = static_cast<FreeListNode *>(host);
            n->freeList = get<uint32_t>(bytes, 0);
            n->freeSize = get<int32_t>(bytes, 4);
            break;
        }
    }
    return true;
}

bool recordRead(Khfa_File *file, uint32_t position, Record r, void *host, const char *fn,
                Kerr_ErrorReport **err) {
    unsigned char bytes[kMaxRecordSize];
    return readAt(file, position, bytes, fileSize(r), fn, err) && unpack(r, bytes, host, err);
}

bool recordWrite(Khfa_File *file, uint32_t position, Record r, const void *host, const char *fn,
                 Kerr_ErrorReport **err) {
    unsigned char bytes[kMaxRecordSize];
    return pack(r, host, bytes, err) && writeAt(file, position, bytes, fileSize(r), fn, err);
}

}  // namespace kr::hfa
