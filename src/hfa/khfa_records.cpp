// The fixed records of an HFA file: designs, the dictionary of a new file and
// the conversion of the records between host form and file bytes.
#include <kraster/kmif.h>

#include <atomic>
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

// Designs never change once made: later lookups skip the fetch.
std::atomic<const Kmif_Design *> g_cached[4];

}  // namespace

const Kmif_Design *recordDesign(Record r, Kerr_ErrorReport **err) {
    auto &cached = g_cached[static_cast<int>(r)];
    if (const Kmif_Design *d = cached.load(std::memory_order_acquire)) return d;
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
    if (!d) {
        e.error("khfa_RecordDesign", 1, "KMIF_DESIGN_FETCH failed");
        return nullptr;
    }
    cached.store(d, std::memory_order_release);
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

bool pack(Record r, const void *host, unsigned char *bytes, Kerr_ErrorReport **err) {
    kr::Report e(err);
    const Kmif_Design *design = recordDesign(r, e.out());
    if (!design) return false;
    if (kmif_ConvertToMIFEx(nullptr, host, design, bytes, fileSize(r), 0, e.out()) != fileSize(r)) {
        e.error("khfa_RecordPack", 1, "kmif_ConvertToMIF failed");
        return false;
    }
    return true;
}

bool unpack(Record r, const unsigned char *bytes, void *host, Kerr_ErrorReport **err) {
    kr::Report e(err);
    const Kmif_Design *design = recordDesign(r, e.out());
    if (!design) return false;
    void *object = host;
    if (!host || kmif_ConvertToHostEx(nullptr, bytes, fileSize(r), design, &object, e.out()) !=
                     fileSize(r)) {
        e.error("khfa_RecordUnpack", 1, "kmif_ConvertToHost failed");
        return false;
    }
    if (r == Record::Entry) {
        // Names from a file may lack their terminator.
        auto *entry = static_cast<Khfa_Entry *>(host);
        entry->name[sizeof entry->name - 1] = '\0';
        entry->type[sizeof entry->type - 1] = '\0';
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
