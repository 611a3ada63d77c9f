// The fixed records of an HFA file (header tag, file header, entry, free-list
// node): their designs in the module dictionary, the dictionary every new
// file starts with, and their conversion between host form and file bytes.
#pragma once

#include <kraster/khfa.h>

#include <cstdint>

struct Khfa_File;

namespace kr::hfa {

enum class Record { HeaderTag, FileHeader, Entry, FreeListNode };

// Host form of the header tag (design "Khfa_HeaderTag").
struct HeaderTag {
    char label[16];
    uint32_t headerPtr;
};

// Host form of a free-list node (design "Khfa_FreeListNode").
struct FreeListNode {
    uint32_t freeList;  // next free block; 0 = last
    int32_t freeSize;   // size of this block, node included
};

// Bytes of a record in the file.
constexpr int32_t fileSize(Record r) {
    switch (r) {
        case Record::HeaderTag:
            return KHFA_HEADER_TAG_SIZE;
        case Record::FileHeader:
            return KHFA_FILE_HEADER_SIZE;
        case Record::Entry:
            return KHFA_ENTRY_SIZE;
        case Record::FreeListNode:
            return KHFA_FREE_NODE_SIZE;
    }
    return 0;
}
constexpr int32_t kMaxRecordSize = KHFA_ENTRY_SIZE;

// The design of a record, created once in the module dictionary; NULL with
// "KMIF_DESIGN_FETCH failed".
const Kmif_Design *recordDesign(Record r, Kerr_ErrorReport **err);
// A new dictionary holding the designs every file starts with: Khfa_File,
// Khfa_Entry, Khfa_HeaderTag, Khfa_FreeListNode, Khfa_Data.
Kmif_Dictionary *fileDictionaryCreate(Kerr_ErrorReport **err);

// Host form to file bytes (fileSize(r) of them) and back. Entry names and
// types read from a file are NUL-terminated within their fields.
bool pack(Record r, const void *host, unsigned char *bytes, Kerr_ErrorReport **err);
bool unpack(Record r, const unsigned char *bytes, void *host, Kerr_ErrorReport **err);

// A record at a position of an open file (checked against its tracked end).
bool recordRead(Khfa_File *file, uint32_t position, Record r, void *host, const char *fn,
                Kerr_ErrorReport **err);
bool recordWrite(Khfa_File *file, uint32_t position, Record r, const void *host, const char *fn,
                 Kerr_ErrorReport **err);

}  // namespace kr::hfa
