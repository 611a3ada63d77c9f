// Block streams: growable byte streams stored in an HFA file as fixed-size
// blocks, reached through an index of block positions that grows in levels,
// and read and written through a few block buffers with write-back.
#include <kraster/kfnp.h>
#include <kraster/kmsc.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <string>

#include "core/report.hpp"
#include "hfa/khfa_internal.hpp"

namespace {

struct Slot {
    int32_t block;  // -1 when empty
    uint32_t pos;
    int32_t dirty;
    unsigned char *buffer;  // blocksize bytes, allocated on first use
};

}  // namespace

struct Khfa_Cache {
    Khfa_File *file;
    Khfa_CacheIO io;
    bool defaultAllocate;
    int32_t blocksize;
    int32_t perIndex;  // positions per index block
    int32_t blockcount;
    int32_t bytecount;
    int64_t position;
    int32_t slotCount;
    int32_t nextSlot;
    Slot *slots;
    uint32_t *flat;  // the root index block when the index is flat, else NULL
    int32_t flatDirty;
    Khfa_Cache *index;         // the next index level when the index is not flat
    Kmif_Design *indexDesign;  // "Khfa_CacheIndex" of perIndex positions (owned)
    bool isIndex;              // the blocks of this stream are index blocks
    uint32_t rootptr;
    Khfa_SpaceRun *run;  // where default allocations come from (the top stream's)
    Khfa_SpaceRun ownRun;
    // Data blocks written back next to each other are gathered here and
    // written in one go (default I/O only): up to gatherBlocks() blocks from
    // pendingPos on.
    unsigned char *pending;
    int32_t pendingCount;
    uint32_t pendingPos;
    char *nodePath;  // the node entry of streams made by create and open
    bool ownsFile;   // the file was opened for this stream
};

namespace kr::hfa {

namespace {

constexpr int32_t kRunBlocks = 64;

Kmif_Dictionary *g_dictionary = nullptr;
Kmif_Design *g_nodeDesign = nullptr;

const Kmif_Design *nodeDesign(Kerr_ErrorReport **err) {
    return KMIF_DESIGN_FETCH(g_dictionary, g_nodeDesign, "Khfa_CacheNode", KMIF_TYPE_S32,
                             "blocksize", KMIF_TYPE_S32, "blockcount", KMIF_TYPE_S32, "bytecount",
                             KMIF_TYPE_S32, "rootptr", 0, err);
}

// ---- Default block I/O -------------------------------------------------------

uint32_t defAllocate(Khfa_File *file, int32_t size, Kerr_ErrorReport **err) {
    return khfa_NextFreePos(file, size, err);
}

int defRelease(Khfa_File *file, uint32_t pos, int32_t size, Kerr_ErrorReport **err) {
    return khfa_FreeSpace(file, pos, size, err);
}

int defRead(Khfa_File *file, uint32_t pos, int32_t size, void *buffer, const Kmif_Design *design,
            Kerr_ErrorReport **err) {
    if (design) return khfa_FileHostDataRead(file, pos, design, size, &buffer, err) < 0 ? -1 : 0;
    return khfa_FileMIFDataRead(file, pos, size, buffer, err) < 0 ? -1 : 0;
}

int defWrite(Khfa_File *file, uint32_t pos, int32_t size, const void *buffer,
             const Kmif_Design *design, Kerr_ErrorReport **err) {
    if (design) return khfa_FileHostDataWrite(file, pos, design, size, buffer, err) < 0 ? -1 : 0;
    return khfa_FileMIFDataWrite(file, pos, size, buffer, err) < 0 ? -1 : 0;
}

// Blocks taken from the file in one run, and gathered for one write: at
// most kRunBlocks and at most 1 MiB.
int32_t gatherBlocks(const Khfa_Cache *c) {
    return std::max(1, std::min(kRunBlocks, (1 << 20) / c->blocksize));
}

uint32_t allocateBlock(Khfa_Cache *c, Kerr_ErrorReport **err) {
    // Runs start small, so that a short stream leaves little space behind.
    if (c->defaultAllocate) {
        const int32_t blocks = std::min(gatherBlocks(c), 4 << std::min(c->run->taken, 4));
        return runTake(c->file, *c->run, c->blocksize, c->blocksize * blocks, err);
    }
    return c->io.allocate(c->file, c->blocksize, err);
}

void releaseBlock(Khfa_Cache *c, uint32_t pos) {
    if (c->defaultAllocate) {
        runGiveBack(c->file, *c->run, pos, c->blocksize);
        return;
    }
    Kerr_ErrorReport *ignored = nullptr;
    c->io.release(c->file, pos, c->blocksize, &ignored);
    kerr_DeleteErrorReport(ignored);
}

// A block position read from a file: inside it and clear of the header
// tag, the header, the root entry and the dictionary.
bool validBlock(const Khfa_Cache *c, uint32_t pos) {
    const Khfa_File *f = c->file;
    const auto clear = [&](uint32_t at, int64_t n) {
        return int64_t{pos} + c->blocksize <= at || pos >= at + n;
    };
    return pos >= KHFA_HEADER_TAG_SIZE && int64_t{pos} + c->blocksize <= f->endOfFile &&
           clear(f->headerPtr, KHFA_FILE_HEADER_SIZE) &&
           clear(f->header.rootEntryPtr, KHFA_ENTRY_SIZE) &&
           clear(f->header.dictionaryPtr, f->dictionaryLength);
}

const Kmif_Design *blockDesign(const Khfa_Cache *c) {
    return c->isIndex ? c->indexDesign : nullptr;
}

// Raw data blocks with the default I/O go straight to the file layer (the
// caller holds the operation on the file).
bool rawDefault(const Khfa_Cache *c, const Kmif_Design *design, bool write) {
    return !design && (write ? c->io.write == defWrite : c->io.read == defRead);
}

bool pendingFlush(Khfa_Cache *c, kr::Report &e) {
    if (c->pendingCount == 0) return true;
    const int32_t n = c->pendingCount * c->blocksize;
    c->pendingCount = 0;
    return writeAt(c->file, c->pendingPos, c->pending, n, "khfa_CacheFlush", e.out());
}

bool blockRead(Khfa_Cache *c, uint32_t pos, void *buffer, const Kmif_Design *design,
               kr::Report &e) {
    if (c->pendingCount > 0 && pos < c->pendingPos + uint32_t(c->pendingCount * c->blocksize) &&
        pos + uint32_t(c->blocksize) > c->pendingPos && !pendingFlush(c, e))
        return false;
    if (rawDefault(c, design, false))
        return readAt(c->file, pos, buffer, c->blocksize, "khfa_FileMIFDataRead", e.out());
    return c->io.read(c->file, pos, c->blocksize, buffer, design, e.out()) == 0;
}

bool blockWrite(Khfa_Cache *c, uint32_t pos, const void *buffer, const Kmif_Design *design,
                kr::Report &e) {
    if (!rawDefault(c, design, true))
        return c->io.write(c->file, pos, c->blocksize, buffer, design, e.out()) == 0;
    if (!c->pending)
        c->pending = static_cast<unsigned char *>(
            kmsc_HeapMalloc(static_cast<size_t>(c->blocksize) * size_t(gatherBlocks(c))));
    if (!c->pending)
        return writeAt(c->file, pos, buffer, c->blocksize, "khfa_FileMIFDataWrite", e.out());
    const uint32_t end = c->pendingPos + uint32_t(c->pendingCount * c->blocksize);
    if (c->pendingCount > 0 && (pos != end || c->pendingCount == gatherBlocks(c)) &&
        !pendingFlush(c, e))
        return false;
    if (c->pendingCount == 0) c->pendingPos = pos;
    std::memcpy(c->pending + size_t(c->pendingCount) * size_t(c->blocksize), buffer,
                static_cast<size_t>(c->blocksize));
    ++c->pendingCount;
    return true;
}

// ---- Objects -------------------------------------------------------------------

void destroy(Khfa_Cache *c) {
    while (c) {
        Khfa_Cache *next = c->index;
        for (int32_t i = 0; c->slots && i < c->slotCount; ++i) kmsc_HeapFree(c->slots[i].buffer);
        kmsc_HeapFree(c->slots);
        kmsc_HeapFree(c->flat);
        kmsc_HeapFree(c->pending);
        kmif_DesignDestroy(c->indexDesign, nullptr);
        kmsc_HeapFree(c->nodePath);
        kmsc_HeapFree(c);
        c = next;
    }
}

bool validGeometry(int32_t blocksize, int32_t slots, int32_t blockcount, const char *fn,
                   kr::Report &e) {
    if (blocksize < 8 || blocksize > KHFA_CACHE_MAX_BLOCK_SIZE || blocksize % 4 != 0) {
        e.error(fn, 101, "Invalid block size %ld", static_cast<long>(blocksize));
        return false;
    }
    if (slots < 1 || slots > KHFA_CACHE_MAX_SLOTS) {
        e.error(fn, 102, "Invalid number of buffer slots %ld", static_cast<long>(slots));
        return false;
    }
    if (blockcount < 0) {
        e.error(fn, 103, "Invalid block count %ld", static_cast<long>(blockcount));
        return false;
    }
    return true;
}

// The object over blockcount blocks reached from rootptr (0: a new root).
Khfa_Cache *build(Khfa_File *file, const Khfa_CacheIO *io, int32_t blocksize, int32_t slots,
                  int32_t blockcount, uint32_t rootptr, bool isIndex, Khfa_SpaceRun *run,
                  kr::Report &e) {
    static const char *const fn = "khfa_CacheNew";
    // Every block takes its own space: a count the file cannot hold is corrupt.
    if (blockcount > file->endOfFile / blocksize) {
        e.error(fn, 104, "Block count %ld does not fit in the file", static_cast<long>(blockcount));
        return nullptr;
    }
    auto *c = static_cast<Khfa_Cache *>(kmsc_HeapMalloc(sizeof(Khfa_Cache)));
    if (!c) {
        e.error(fn, 1, "No memory");
        return nullptr;
    }
    c->file = file;
    c->io.allocate = io && io->allocate ? io->allocate : defAllocate;
    c->io.release = io && io->release ? io->release : defRelease;
    c->io.read = io && io->read ? io->read : defRead;
    c->io.write = io && io->write ? io->write : defWrite;
    c->defaultAllocate = c->io.allocate == defAllocate;
    c->blocksize = blocksize;
    c->perIndex = blocksize / 4;
    c->blockcount = blockcount;
    c->slotCount = slots;
    c->isIndex = isIndex;
    c->run = run ? run : &c->ownRun;
    c->slots = static_cast<Slot *>(kmsc_HeapMalloc(static_cast<size_t>(slots) * sizeof(Slot)));
    c->indexDesign = kmif_DesignCreate(nullptr, "Khfa_CacheIndex", KMIF_TYPE_U32 | KMIF_FLAG_COUNT,
                                       "index", c->perIndex, 0, e.out());
    if (!c->slots || !c->indexDesign) {
        destroy(c);
        e.error(fn, 2, "No memory");
        return nullptr;
    }
    for (int32_t i = 0; i < slots; ++i) c->slots[i].block = -1;
    if (blockcount <= c->perIndex) {
        c->flat = static_cast<uint32_t *>(kmsc_HeapMalloc(static_cast<size_t>(c->perIndex) * 4));
        if (!c->flat) {
            destroy(c);
            e.error(fn, 3, "No memory");
            return nullptr;
        }
        if (rootptr != 0) {
            if (!validBlock(c, rootptr)) {
                destroy(c);
                e.error(fn, 7, "Root index block at %lu is not valid",
                        static_cast<unsigned long>(rootptr));
                e.error(fn, 4, "error reading block!");
                return nullptr;
            }
            if (!blockRead(c, rootptr, c->flat, c->indexDesign, e)) {
                destroy(c);
                e.error(fn, 4, "error reading block!");
                return nullptr;
            }
        } else {
            rootptr = allocateBlock(c, e.out());
            if (rootptr == 0) {
                destroy(c);
                e.error(fn, 5, "error allocating block!");
                return nullptr;
            }
            c->flatDirty = 1;
        }
        c->rootptr = rootptr;
        return c;
    }
    c->index = build(file, io, blocksize, slots, (blockcount - 1) / c->perIndex + 1, rootptr, true,
                     c->run, e);
    if (!c->index) {
        destroy(c);
        e.error(fn, 6, "error creating cache!");
        return nullptr;
    }
    return c;  // the index levels hold the root
}

// The root index block: that of the top index level.
uint32_t rootOf(const Khfa_Cache *c) {
    while (c->index) c = c->index;
    return c->rootptr;
}

// ---- Blocks ------------------------------------------------------------------------

bool writeSlot(Khfa_Cache *c, Slot &s, kr::Report &e) {
    if (!blockWrite(c, s.pos, s.buffer, blockDesign(c), e)) return false;
    s.dirty = 0;
    return true;
}

bool writeRoot(Khfa_Cache *c, kr::Report &e) {
    if (!c->flat || !c->flatDirty) return true;
    if (!blockWrite(c, c->rootptr, c->flat, c->indexDesign, e)) return false;
    c->flatDirty = 0;
    return true;
}

bool flushAll(Khfa_Cache *c, kr::Report &e) {
    for (; c; c = c->index) {
        for (int32_t i = 0; i < c->slotCount; ++i) {
            Slot &s = c->slots[i];
            if (s.block >= 0 && s.dirty && !writeSlot(c, s, e)) {
                e.error("khfa_CacheFlush", 1, "error writing cache buffer!");
                return false;
            }
        }
        if (!pendingFlush(c, e) || !writeRoot(c, e)) {
            e.error("khfa_CacheFlush", 1, "error writing cache buffer!");
            return false;
        }
    }
    return true;
}

// The next slot in round-robin order, its dirty block written back first.
Slot *takeSlot(Khfa_Cache *c, const char *fn, kr::Report &e) {
    Slot &s = c->slots[c->nextSlot];
    c->nextSlot = (c->nextSlot + 1) % c->slotCount;
    if (s.block >= 0 && s.dirty && !writeSlot(c, s, e)) {
        e.error(fn, 11, "error flushing cache!");
        return nullptr;
    }
    if (!s.buffer) {
        s.buffer = static_cast<unsigned char *>(kmsc_HeapMalloc(static_cast<size_t>(c->blocksize)));
        if (!s.buffer) {
            e.error(fn, 12, "No memory");
            return nullptr;
        }
    }
    return &s;
}

uint32_t *elementAddr(Khfa_Cache *c, int32_t block, bool forWrite, kr::Report &e);

unsigned char *getBlock(Khfa_Cache *c, int32_t block, bool forWrite, kr::Report &e) {
    static const char *const fn = "khfa_CacheGetBlock";
    if (block < 0 || block >= c->blockcount) {
        e.error(fn, 10, "Block number (%d) not allocated!", block);
        return nullptr;
    }
    for (int32_t i = 0; i < c->slotCount; ++i) {
        Slot &s = c->slots[i];
        if (s.block == block) {
            if (forWrite) s.dirty = 1;
            return s.buffer;
        }
    }
    Slot *s = takeSlot(c, fn, e);
    if (!s) return nullptr;
    const uint32_t *at = elementAddr(c, block, false, e);
    const uint32_t pos = at ? *at : 0;
    if (!at || !validBlock(c, pos)) {
        if (at)
            e.error(fn, 13, "Block %d has no valid position (%lu)", block,
                    static_cast<unsigned long>(pos));
        e.error(fn, 13, "error finding cache block!");
        s->block = -1;
        return nullptr;
    }
    if (!blockRead(c, pos, s->buffer, blockDesign(c), e)) {
        e.error(fn, 14, "error reading cache block!");
        s->block = -1;
        return nullptr;
    }
    s->block = block;
    s->pos = pos;
    s->dirty = forWrite ? 1 : 0;
    return s->buffer;
}

uint32_t *elementAddr(Khfa_Cache *c, int32_t block, bool forWrite, kr::Report &e) {
    static const char *const fn = "khfa_CacheGetBlockPtrAddr";
    if (c->flat) {
        if (block < 0 || block > c->blockcount || block >= c->perIndex) {
            e.error(fn, 20, "Block number (%d) is not allocated!", block);
            return nullptr;
        }
        if (forWrite) c->flatDirty = 1;
        return c->flat + block;
    }
    if (block < 0 || block > c->blockcount || block / c->perIndex >= c->index->blockcount) {
        e.error(fn, 20, "Block number (%d) is not allocated!", block);
        return nullptr;
    }
    unsigned char *b = getBlock(c->index, block / c->perIndex, forWrite, e);
    if (!b) return nullptr;
    return reinterpret_cast<uint32_t *>(b) + block % c->perIndex;
}

// A new block at the end; it enters a slot zero-filled and dirty, so that
// its bytes in the file are defined once it is written back.
bool extend(Khfa_Cache *c, kr::Report &e);

// The flat index is full: it becomes the first block of an index stream
// whose new root holds its position.
bool addLevel(Khfa_Cache *c, kr::Report &e) {
    if (!writeRoot(c, e)) return false;
    Khfa_Cache *idx = build(c->file, &c->io, c->blocksize, c->slotCount, 0, 0, true, c->run, e);
    if (!idx) return false;
    idx->flat[0] = c->rootptr;
    idx->blockcount = 1;
    kmsc_HeapFree(c->flat);
    c->flat = nullptr;
    c->flatDirty = 0;
    c->index = idx;
    c->rootptr = 0;  // the index levels hold it from now on
    return true;
}

bool extend(Khfa_Cache *c, kr::Report &e) {
    static const char *const fn = "khfa_CacheExtend";
    if (c->blockcount == INT32_MAX) {
        e.error(fn, 30, "error extending cache!");
        return false;
    }
    const int32_t block = c->blockcount;
    if (c->flat && block >= c->perIndex && !addLevel(c, e)) {
        e.error(fn, 30, "error extending cache!");
        return false;
    }
    if (!c->flat && block / c->perIndex >= c->index->blockcount && !extend(c->index, e)) {
        e.error(fn, 30, "error extending cache!");
        return false;
    }
    const uint32_t pos = allocateBlock(c, e.out());
    if (pos == 0) {
        e.error(fn, 31, "error allocating block!");
        return false;
    }
    Slot *s = takeSlot(c, fn, e);
    uint32_t *at = s ? elementAddr(c, block, true, e) : nullptr;
    if (!at) {
        releaseBlock(c, pos);
        e.error(fn, 30, "error extending cache!");
        return false;
    }
    *at = pos;
    std::memset(s->buffer, 0, static_cast<size_t>(c->blocksize));
    s->block = block;
    s->pos = pos;
    s->dirty = 1;
    ++c->blockcount;
    return true;
}

// Gives every block of the stream (index levels included) back.
bool releaseAll(Khfa_Cache *c, kr::Report &e) {
    for (int32_t b = 0; b < c->blockcount; ++b) {
        const uint32_t *at = elementAddr(c, b, false, e);
        if (!at) return false;
        if (*at == 0) continue;  // never written
        if (!validBlock(c, *at)) {
            e.error("khfa_CacheDelete", 20, "Block %d has no valid position (%lu)", b,
                    static_cast<unsigned long>(*at));
            return false;
        }
        if (c->io.release(c->file, *at, c->blocksize, e.out()) != 0) return false;
    }
    if (c->index) return releaseAll(c->index, e);
    return c->io.release(c->file, c->rootptr, c->blocksize, e.out()) == 0;
}

// ---- Names ---------------------------------------------------------------------------

struct NodeName {
    std::string file;
    std::string path;    // absolute, without a trailing ":"
    std::string parent;  // ":" for a child of the root
    std::string name;
};

bool parseName(const char *text, const char *fn, NodeName &out, kr::Report &e) {
    Kfnp_FileNodeList *list = text ? kfnp_FileNodeListParse(text, e.out()) : nullptr;
    if (!list || list->itemCount < 1 || !list->items[0].fileName || !*list->items[0].fileName) {
        kfnp_FreeNodeList(list);
        e.error(fn, 40, "Unable to parse file node list.");
        return false;
    }
    out.file = list->items[0].fileName;
    const char *node = list->items[0].nodePathCount > 0 ? list->items[0].nodePaths[0] : "";
    out.path = node;
    kfnp_FreeNodeList(list);
    Kfnp_NodeNameList *names = kfnp_NodeNameParse(out.path.c_str(), e.out());
    if (!names || names->count < 1) {
        kfnp_FreeNodeName(names);
        e.error(fn, 41, "Unable to parse node path.");
        return false;
    }
    out.path.clear();
    for (int32_t i = 0; i < names->count; ++i) {
        out.parent = out.path.empty() ? ":" : out.path;
        out.path += ":";
        out.path += names->names[i];
    }
    out.name = names->names[names->count - 1];
    kfnp_FreeNodeName(names);
    return true;
}

Khfa_File *fileFor(Khfa_File *file, const NodeName &n, Kint_InitToolkitData *toolkit, bool create,
                   bool &owns, kr::Report &e) {
    owns = false;
    if (file) return file;
    Khfa_File *f = create ? khfa_CacheFileOpen(n.file.c_str(), toolkit, e.out())
                          : khfa_FileOpen(n.file.c_str(), "r+b", toolkit, e.out());
    owns = f != nullptr;
    return f;
}

// Keeps the caller's current entry across the node operations of a stream.
class KeepPosition {
  public:
    explicit KeepPosition(Khfa_File *file)
        : file_(file),
          saved_(file && !file->batchMode ? khfa_EntryPositionGet(file, nullptr) : nullptr) {}
    ~KeepPosition() {
        if (saved_) khfa_EntryPositionSet(file_, saved_, nullptr);
        khfa_EntryPositionFree(&saved_, nullptr);
    }
    KeepPosition(const KeepPosition &) = delete;
    KeepPosition &operator=(const KeepPosition &) = delete;

  private:
    Khfa_File *file_;
    Khfa_EntryPosition *saved_;
};

Khfa_Cache *openNode(Khfa_File *file, const NodeName &n, bool owns, const char *fn, kr::Report &e) {
    const Kmif_Design *design = nodeDesign(e.out());
    if (!design) {
        e.error(fn, 50, "KMIF_DESIGN_FETCH failed");
        return nullptr;
    }
    Khfa_CacheNode node{};
    {
        KeepPosition keep(file);
        Khfa_Entry *rec = khfa_EntrySeek(file, KHFA_SEEK_PATH, n.path.c_str(), e.out());
        if (!rec || std::strcmp(rec->type, "Khfa_CacheNode") != 0 ||
            rec->dataSize != static_cast<int32_t>(sizeof node)) {
            e.error(fn, 51, "Object %s not found!", n.path.c_str());
            return nullptr;
        }
        void *obj = &node;
        if (khfa_FileHostDataRead(file, rec->data, design, rec->dataSize, &obj, e.out()) < 0) {
            e.error(fn, 52, "error generating [%s] cache object", n.path.c_str());
            return nullptr;
        }
    }
    if (!validGeometry(node.blocksize, KHFA_CACHE_SLOTS, node.blockcount, fn, e) ||
        node.bytecount < 0 || node.rootptr <= 0 ||
        node.bytecount / node.blocksize > node.blockcount) {
        e.error(fn, 52, "error generating [%s] cache object", n.path.c_str());
        return nullptr;
    }
    Khfa_Cache *c = build(file, nullptr, node.blocksize, KHFA_CACHE_SLOTS, node.blockcount,
                          static_cast<uint32_t>(node.rootptr), false, nullptr, e);
    if (!c) {
        e.error(fn, 52, "error generating [%s] cache object", n.path.c_str());
        return nullptr;
    }
    c->bytecount = node.bytecount;
    c->nodePath = kstr_Duplicate(n.path.c_str());
    c->ownsFile = owns;
    if (!c->nodePath) {
        destroy(c);
        e.error(fn, 53, "No memory");
        return nullptr;
    }
    return c;
}

// Frees the object; a file opened for the stream is closed.
int freeStream(Khfa_Cache *c, kr::Report &e) {
    if (!c) return 0;
    Khfa_File *file = c->ownsFile ? c->file : nullptr;
    int rc = 0;
    {
        Operation op(c->file, "khfa_CacheFree", e.out());
        if (!runRelease(c->file, c->ownRun, e.out())) rc = -1;
        destroy(c);
    }
    if (file && khfa_FileClose(file, e.out()) != 0) rc = -1;
    return rc;
}

bool checkStream(const Khfa_Cache *c, const char *fn, kr::Report &e) {
    if (c) return true;
    e.error(fn, 90, "Invalid cache handle");
    return false;
}

}  // namespace

}  // namespace kr::hfa

using namespace kr::hfa;

extern "C" {

KRASTER_API const Kmif_Design *khfa_CacheInit(Kerr_ErrorReport **err) {
    kr::Report e(err);
    const Kmif_Design *d = nodeDesign(e.out());
    if (!d) e.error("khfa_CacheInit", 1, "KMIF_DESIGN_FETCH failed");
    return d;
}

KRASTER_API Khfa_File *khfa_CacheFileOpen(const char *name, Kint_InitToolkitData *toolkit,
                                          Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_CacheFileOpen";
    kr::Report e(err);
    Kfio_StatInfo info{};
    const int present = name ? kfio_StatIfPresent(name, &info, e.out()) : -1;
    if (present == 1) {
        Khfa_File *f = khfa_FileOpen(name, "r+b", toolkit, e.out());
        if (!f) e.error(fn, 1, "error opening %s", name);
        return f;
    }
    Khfa_File *f = present == 0 ? khfa_FileCreate(name, toolkit, e.out()) : nullptr;
    if (!f) e.error(fn, 2, "error creating %s", name ? name : "<NULL>");
    return f;
}

KRASTER_API int khfa_CacheFileClose(Khfa_File *file, Kerr_ErrorReport **err) {
    return khfa_FileClose(file, err);
}

KRASTER_API Khfa_Cache *khfa_CacheCreate(Khfa_File *file, const char *name,
                                         Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_CacheCreate";
    kr::Report e(err);
    try {
        NodeName n;
        if (!parseName(name, fn, n, e)) return nullptr;
        bool owns = false;
        file = fileFor(file, n, toolkit, true, owns, e);
        if (!file) return nullptr;
        Khfa_Cache *c = nullptr;
        {
            Operation op(file, fn, e.out());
            if (!op.ok()) return nullptr;
            KeepPosition keep(file);
            const Kmif_Design *design = nodeDesign(e.out());
            const bool known =
                kmif_DictionarySearchByName(file->dictionary, "Khfa_CacheNode", nullptr);
            if (!design || (!known && (file->readOnly || !kmif_DictionaryAddDesign(
                                                             file->dictionary, design, e.out())))) {
                e.error(fn, 1, "error adding cache design to dictionary");
            } else if (khfa_EntrySeek(file, KHFA_SEEK_PATH, n.path.c_str(), e.out()) ||
                       e.failed()) {
                if (!e.failed()) e.error(fn, 2, "Node %s exists already", n.path.c_str());
                e.error(fn, 3, "error creating the %s cache", n.path.c_str());
            } else if (!(c = build(file, nullptr, KHFA_CACHE_BLOCK_SIZE, KHFA_CACHE_SLOTS, 0, 0,
                                   false, nullptr, e)) ||
                       !flushAll(c, e)) {
                e.error(fn, 3, "error creating the %s cache", n.path.c_str());
            } else {
                const Khfa_CacheNode node{KHFA_CACHE_BLOCK_SIZE, 0, 0,
                                          static_cast<int32_t>(c->rootptr)};
                if (khfa_ObjectWrite(file, n.parent.c_str(), n.name.c_str(), "Khfa_CacheNode",
                                     KHFA_WRITE_LAST_CHILD, &node, design, e.out()) != 0) {
                    e.error(fn, 4, "error writing node to file");
                } else {
                    c->nodePath = kstr_Duplicate(n.path.c_str());
                    c->ownsFile = owns;
                    if (!c->nodePath) e.error(fn, 5, "No memory");
                }
            }
            if (e.failed() && c) {
                {
                    // Undoing after a failure; what goes wrong here is dropped.
                    kr::Report ignored(nullptr);
                    releaseAll(c, ignored);
                }
                runRelease(file, c->ownRun, nullptr);
                destroy(c);
                c = nullptr;
            }
        }
        if (!c && owns) khfa_FileClose(file, nullptr);
        return c;
    } catch (const std::bad_alloc &) {
        e.error(fn, 6, "No memory");
        return nullptr;
    }
}

KRASTER_API Khfa_Cache *khfa_CacheOpen(Khfa_File *file, const char *name,
                                       Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_CacheOpen";
    kr::Report e(err);
    try {
        NodeName n;
        if (!parseName(name, fn, n, e)) return nullptr;
        bool owns = false;
        file = fileFor(file, n, toolkit, false, owns, e);
        if (!file) return nullptr;
        Khfa_Cache *c = nullptr;
        {
            Operation op(file, fn, e.out());
            if (op.ok()) c = openNode(file, n, owns, fn, e);
        }
        if (!c && owns) khfa_FileClose(file, nullptr);
        return c;
    } catch (const std::bad_alloc &) {
        e.error(fn, 6, "No memory");
        return nullptr;
    }
}

KRASTER_API Khfa_Cache *khfa_CacheNew(Khfa_File *file, const Khfa_CacheIO *io, int32_t blocksize,
                                      int32_t slots, int32_t blockcount, uint32_t rootptr,
                                      Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_CacheNew";
    kr::Report e(err);
    Operation op(file, fn, e.out());
    if (!op.ok() || !validGeometry(blocksize, slots, blockcount, fn, e)) return nullptr;
    if (rootptr == 0 && blockcount != 0) {
        e.error(fn, 7, "A stream of %ld blocks needs its root", static_cast<long>(blockcount));
        return nullptr;
    }
    return build(file, io, blocksize, slots, blockcount, rootptr, false, nullptr, e);
}

KRASTER_API void *khfa_CacheSeek(Khfa_Cache *c, int64_t offset, int whence,
                                 Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_CacheSeek";
    kr::Report e(err);
    if (!checkStream(c, fn, e)) return nullptr;
    Operation op(c->file, fn, e.out());
    if (!op.ok()) return nullptr;
    int64_t base = 0;
    if (whence == 1)
        base = c->position;
    else if (whence == 2)
        base = static_cast<int64_t>(c->bytecount) - 1;
    else if (whence != 0) {
        e.error(fn, 1, "Invalid seek origin %d", whence);
        return nullptr;
    }
    int64_t target = 0;
    if (__builtin_add_overflow(base, offset, &target) || target < 0 || target >= INT32_MAX) {
        e.error(fn, 2, "Invalid seek position %lld", static_cast<long long>(target));
        return nullptr;
    }
    const auto block = static_cast<int32_t>(target / c->blocksize);
    while (c->blockcount <= block)
        if (!extend(c, e)) {
            e.error(fn, 3, "error extending cache!");
            return nullptr;
        }
    c->position = target;
    return getBlock(c, block, false, e);
}

KRASTER_API int32_t khfa_CacheRead(Khfa_Cache *c, void *buffer, int32_t count,
                                   Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_CacheRead";
    kr::Report e(err);
    if (!checkStream(c, fn, e)) return -1;
    if (count < 0 || (count > 0 && !buffer)) {
        e.error(fn, 1, "Invalid buffer or count %ld", static_cast<long>(count));
        return -1;
    }
    Operation op(c->file, fn, e.out());
    if (!op.ok()) return -1;
    const int64_t end = std::min<int64_t>(c->bytecount, int64_t{c->blockcount} * c->blocksize);
    const auto n = static_cast<int32_t>(std::clamp<int64_t>(end - c->position, 0, count));
    auto *out = static_cast<unsigned char *>(buffer);
    for (int32_t done = 0; done < n;) {
        const auto block = static_cast<int32_t>(c->position / c->blocksize);
        const auto off = static_cast<int32_t>(c->position % c->blocksize);
        const int32_t chunk = std::min(c->blocksize - off, n - done);
        const unsigned char *src = getBlock(c, block, false, e);
        if (!src) {
            e.error(fn, 2, "Error reading block %d", block);
            return -1;
        }
        std::memcpy(out + done, src + off, static_cast<size_t>(chunk));
        done += chunk;
        c->position += chunk;
    }
    return n;
}

KRASTER_API int32_t khfa_CacheWrite(Khfa_Cache *c, const void *buffer, int32_t count,
                                    Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_CacheWrite";
    kr::Report e(err);
    if (!checkStream(c, fn, e)) return -1;
    if (count < 0 || (count > 0 && !buffer)) {
        e.error(fn, 1, "Invalid buffer or count %ld", static_cast<long>(count));
        return -1;
    }
    if (c->position + count >= INT32_MAX) {
        e.error(fn, 2, "A stream cannot reach %lld bytes",
                static_cast<long long>(c->position + count));
        return -1;
    }
    Operation op(c->file, fn, e.out());
    if (!op.ok()) return -1;
    const auto *in = static_cast<const unsigned char *>(buffer);
    for (int32_t done = 0; done < count;) {
        const auto block = static_cast<int32_t>(c->position / c->blocksize);
        const auto off = static_cast<int32_t>(c->position % c->blocksize);
        const int32_t chunk = std::min(c->blocksize - off, count - done);
        while (c->blockcount <= block)
            if (!extend(c, e)) {
                e.error(fn, 3, "Error writing block %d", block);
                return -1;
            }
        unsigned char *dst = getBlock(c, block, true, e);
        if (!dst) {
            e.error(fn, 3, "Error writing block %d", block);
            return -1;
        }
        std::memcpy(dst + off, in + done, static_cast<size_t>(chunk));
        done += chunk;
        c->position += chunk;
    }
    if (c->position >= c->bytecount) c->bytecount = static_cast<int32_t>(c->position + 1);
    return count;
}

KRASTER_API int64_t khfa_CacheGetCurrPos(Khfa_Cache *c, Kerr_ErrorReport **err) {
    kr::Report e(err);
    return checkStream(c, "khfa_CacheGetCurrPos", e) ? c->position : -1;
}

KRASTER_API int64_t khfa_CacheByteCount(Khfa_Cache *c, Kerr_ErrorReport **err) {
    kr::Report e(err);
    return checkStream(c, "khfa_CacheByteCount", e) ? c->bytecount : -1;
}

KRASTER_API int32_t khfa_CacheBlockCount(Khfa_Cache *c, Kerr_ErrorReport **err) {
    kr::Report e(err);
    return checkStream(c, "khfa_CacheBlockCount", e) ? c->blockcount : -1;
}

KRASTER_API void *khfa_CacheGetBlock(Khfa_Cache *c, int32_t block, int forWrite,
                                     Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_CacheGetBlock";
    kr::Report e(err);
    if (!checkStream(c, fn, e)) return nullptr;
    Operation op(c->file, fn, e.out());
    if (!op.ok()) return nullptr;
    return getBlock(c, block, forWrite != 0, e);
}

KRASTER_API uint32_t *khfa_CacheGetBlockPtrAddr(Khfa_Cache *c, int32_t block, int forWrite,
                                                Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_CacheGetBlockPtrAddr";
    kr::Report e(err);
    if (!checkStream(c, fn, e)) return nullptr;
    Operation op(c->file, fn, e.out());
    if (!op.ok()) return nullptr;
    return elementAddr(c, block, forWrite != 0, e);
}

KRASTER_API int khfa_CacheExtend(Khfa_Cache *c, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_CacheExtend";
    kr::Report e(err);
    if (!checkStream(c, fn, e)) return -1;
    Operation op(c->file, fn, e.out());
    if (!op.ok()) return -1;
    return extend(c, e) ? 0 : -1;
}

KRASTER_API int khfa_CacheReduce(Khfa_Cache *, Kerr_ErrorReport **err) {
    kr::Report e(err);
    return 0;
}

KRASTER_API int khfa_CacheFlush(Khfa_Cache *c, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_CacheFlush";
    kr::Report e(err);
    if (!checkStream(c, fn, e)) return -1;
    Operation op(c->file, fn, e.out());
    if (!op.ok()) return -1;
    return flushAll(c, e) ? 0 : -1;
}

KRASTER_API uint32_t khfa_CacheRootPtr(Khfa_Cache *c, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!c) {
        e.error("khfa_CacheRootPtr", 1, "error retrieving cache root");
        return 0;
    }
    return rootOf(c);
}

KRASTER_API int khfa_CacheClose(Khfa_Cache *c, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_CacheClose";
    kr::Report e(err);
    if (!checkStream(c, fn, e)) return -1;
    bool ok = true;
    {
        Operation op(c->file, fn, e.out());
        if (!op.ok()) return -1;
        ok = flushAll(c, e);
        if (ok && c->nodePath) {
            const Kmif_Design *design = nodeDesign(e.out());
            const Khfa_CacheNode node{c->blocksize, c->blockcount, c->bytecount,
                                      static_cast<int32_t>(rootOf(c))};
            KeepPosition keep(c->file);
            ok = design && khfa_ObjectWrite(c->file, c->nodePath, nullptr, nullptr,
                                            KHFA_WRITE_CURRENT, &node, design, e.out()) == 0;
        }
        if (!ok) e.error(fn, 1, "error writing cache to file");
    }
    Kerr_ErrorReport *inner = nullptr;
    kr::Report r(&inner);
    if (freeStream(c, r) != 0) {
        if (ok)
            e.wrap(inner, fn, 2, "Error closing the file of the stream");
        else
            kerr_DeleteErrorReport(inner);
        inner = nullptr;
        ok = false;
    }
    return ok ? 0 : -1;
}

KRASTER_API int khfa_CacheFree(Khfa_Cache *c, Kerr_ErrorReport **err) {
    kr::Report e(err);
    return freeStream(c, e);
}

KRASTER_API int khfa_CacheDelete(Khfa_File *file, const char *name, Kint_InitToolkitData *toolkit,
                                 Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_CacheDelete";
    kr::Report e(err);
    try {
        NodeName n;
        if (!parseName(name, fn, n, e)) return -1;
        bool owns = false;
        file = fileFor(file, n, toolkit, false, owns, e);
        if (!file) return -1;
        int rc = -1;
        {
            Operation op(file, fn, e.out());
            Khfa_Cache *c = op.ok() ? openNode(file, n, false, fn, e) : nullptr;
            if (!c) {
                e.error(fn, 1, "error occurred opening cache %s", n.path.c_str());
            } else {
                const bool released = releaseAll(c, e);
                destroy(c);
                if (!released) {
                    e.error(fn, 2, "error occurred in khfa_CacheFreeSpace");
                } else if (khfa_ObjectDelete(file, n.path.c_str(), nullptr, 0, e.out()) != 0) {
                    e.error(fn, 3, "Could not delete khfa object %s", n.path.c_str());
                } else {
                    rc = 0;
                }
            }
        }
        if (owns) khfa_FileClose(file, rc == 0 ? e.out() : nullptr);
        return e.failed() ? -1 : rc;
    } catch (const std::bad_alloc &) {
        e.error(fn, 6, "No memory");
        return -1;
    }
}

}  // extern "C"
