// Space in an HFA file: the free list of blocks in increasing order of
// position, first-fit allocation with splitting, growth at the end of the
// file, freeing with merging on both sides, and the in-memory copy of the
// list kept while write-through is off.
//
// Every link read from a file is checked before it is followed: it must lie
// after the end of the block it comes from (so a walk only moves forward and
// always ends), not touch the header tag or the file header, and the node
// and its block must lie inside the tracked end of file. A link that fails
// the check counts as the end of the list.
#include <kraster/khfa.h>
#include <kraster/kmsc.h>

#include <climits>
#include <cstdio>

#include "core/report.hpp"
#include "hfa/khfa_internal.hpp"
#include "hfa/khfa_records.hpp"

namespace kr::hfa {

namespace {

constexpr int32_t kNode = KHFA_FREE_NODE_SIZE;

// One free block.
struct Block {
    uint32_t position = 0;
    uint32_t next = 0;         // next block as stored
    int32_t size = 0;          // block size, node included
    bool corruptLink = false;  // `next` failed the checks: the block ends the list
};

// ---- The cached list -------------------------------------------------------

Khfa_FreeCacheNode *cacheFind(Khfa_File *file, uint32_t position) {
    Khfa_FreeCacheNode *hint = file->freeCacheHint;
    if (hint && hint->position == position) return hint;
    if (hint && hint->link && hint->link->position == position) return hint->link;
    Khfa_FreeCacheNode *n = (hint && hint->position < position) ? hint : file->freeCache;
    for (; n && n->position < position; n = n->link) {
    }
    return (n && n->position == position) ? n : nullptr;
}

// ---- Node access: on disk while write-through is on, else in the cache -----

const char *const kNodeFn = "khfa_FreeListNode";

bool nodeRead(Khfa_File *file, uint32_t position, Block &b, Kerr_ErrorReport **err) {
    kr::Report e(err);
    b.position = position;
    if (file->freeCacheLoaded) {
        Khfa_FreeCacheNode *n = cacheFind(file, position);
        if (!n) {
            e.error(kNodeFn, 1, "Unable to locate free list item cached in memory");
            return false;
        }
        file->freeCacheHint = n;
        b.next = n->next;
        b.size = n->size;
        return true;
    }
    FreeListNode node{};
    if (!recordRead(file, position, Record::FreeListNode, &node, kNodeFn, e.out())) return false;
    b.next = node.freeList;
    b.size = node.freeSize;
    return true;
}

// Sets the node of an existing block, or writes the node of a new one.
bool nodeWrite(Khfa_File *file, const Block &b, bool insert, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!file->freeCacheLoaded) {
        FreeListNode node{b.next, b.size};
        return recordWrite(file, b.position, Record::FreeListNode, &node, kNodeFn, e.out());
    }
    file->freeCacheDirty = 1;
    if (!insert) {
        Khfa_FreeCacheNode *n = cacheFind(file, b.position);
        if (!n) {
            e.error(kNodeFn, 2, "Unable to locate free list item cached in memory");
            return false;
        }
        n->next = b.next;
        n->size = b.size;
        file->freeCacheHint = n;
        return true;
    }
    Khfa_FreeCacheNode **at = &file->freeCache;
    Khfa_FreeCacheNode *hint = file->freeCacheHint;
    if (hint && hint->position < b.position) at = &hint->link;
    while (*at && (*at)->position < b.position) at = &(*at)->link;
    if (*at && (*at)->position == b.position) {
        e.error(kNodeFn, 3, "Attempting to insert an item that is already in the free list");
        return false;
    }
    auto *n = static_cast<Khfa_FreeCacheNode *>(kmsc_HeapMalloc(sizeof(Khfa_FreeCacheNode)));
    if (!n) {
        e.error(kNodeFn, 4, "Unable to allocate new item for free list cache");
        return false;
    }
    n->position = b.position;
    n->next = b.next;
    n->size = b.size;
    n->link = *at;
    *at = n;
    file->freeCacheHint = n;
    return true;
}

// Takes a block's node out of the list store (on disk its bytes just stay).
bool nodeRemove(Khfa_File *file, uint32_t position, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!file->freeCacheLoaded) return true;
    file->freeCacheDirty = 1;
    Khfa_FreeCacheNode **at = &file->freeCache;
    Khfa_FreeCacheNode *hint = file->freeCacheHint;
    if (hint && hint->link && hint->position < position) at = &hint->link;
    while (*at && (*at)->position < position) at = &(*at)->link;
    if (!*at || (*at)->position != position) {
        e.error(kNodeFn, 5, "Unable to locate free list item cached in memory");
        return false;
    }
    Khfa_FreeCacheNode *gone = *at;
    *at = gone->link;
    file->freeCacheHint = nullptr;
    kmsc_HeapFree(gone);
    return true;
}

// Points the predecessor (or, without one, the header) at target.
bool linkTo(Khfa_File *file, Block *predecessor, uint32_t target, Kerr_ErrorReport **err) {
    if (predecessor) {
        predecessor->next = target;
        return nodeWrite(file, *predecessor, false, err);
    }
    file->header.freeList = target;
    return headerRewrite(file, err);
}

// ---- Walking ---------------------------------------------------------------

// Why a link is refused, or NULL when it may be followed. prev is the block
// the link comes from (NULL for the header's link).
const char *linkFault(const Khfa_File *file, const Block *prev, uint32_t link) {
    const int64_t at = link;
    if (prev && link <= prev->position) return "does not lead forward";
    if (prev && at < int64_t{prev->position} + prev->size) return "overlaps the block before it";
    if (at < KHFA_HEADER_TAG_SIZE) return "overlaps the header tag";
    if (at + kNode > file->headerPtr && at < int64_t{file->headerPtr} + KHFA_FILE_HEADER_SIZE)
        return "overlaps the file header";
    if (at + kNode > file->endOfFile) return "lies beyond the end of the file";
    return nullptr;
}

const char *blockFault(const Khfa_File *file, const Block &b) {
    if (b.size < kNode) return "is smaller than a node";
    if (int64_t{b.position} + b.size > file->endOfFile) return "reaches beyond the end of the file";
    if (b.position < int64_t{file->headerPtr} + KHFA_FILE_HEADER_SIZE &&
        int64_t{b.position} + b.size > file->headerPtr)
        return "overlaps the file header";
    return nullptr;
}

// Steps through the free list one block ahead, so that each block handed out
// already knows whether its link can be followed; a block whose link cannot
// be followed is handed out with corruptLink set and ends the walk. Blocks
// only move forward, so a walk visits at most one block per 8 bytes of file.
class Walker {
  public:
    explicit Walker(Khfa_File *file) : file_(file) {}

    // 1 with the next block, 0 at the end, -1 with a report (read failure).
    int next(Block &out, Kerr_ErrorReport **err) {
        if (!started_) {
            started_ = true;
            int r = fetch(nullptr, file_->header.freeList, pending_, err);
            if (r <= 0) return r;
            havePending_ = true;
        }
        if (!havePending_) return 0;
        out = pending_;
        havePending_ = false;
        if (out.next != 0) {
            int r = fetch(&out, out.next, pending_, err);
            if (r < 0) return -1;
            if (r == 0)
                out.corruptLink = true;
            else
                havePending_ = true;
        }
        return 1;
    }

    // Why the walk stopped early, or NULL.
    const char *fault() const { return fault_; }
    uint32_t faultLink() const { return faultLink_; }
    // True when the header's own link was refused.
    bool headerFault() const { return fault_ && !faultFromBlock_; }

  private:
    // 1 with the block at link, 0 when the link is refused, -1 on failure.
    int fetch(const Block *prev, uint32_t link, Block &b, Kerr_ErrorReport **err) {
        if (link == 0) return 0;
        const char *why = linkFault(file_, prev, link);
        if (!why) {
            if (!nodeRead(file_, link, b, err)) return -1;
            why = blockFault(file_, b);
        }
        if (why) {
            fault_ = why;
            faultLink_ = link;
            faultFromBlock_ = prev != nullptr;
            return 0;
        }
        return 1;
    }

    Khfa_File *file_;
    bool started_ = false;
    bool havePending_ = false;
    Block pending_;
    const char *fault_ = nullptr;
    uint32_t faultLink_ = 0;
    bool faultFromBlock_ = false;
};

void warnCorruption(const Walker &w, const char *fn) {
    kr::warn(nullptr, fn, 100, "Free list corruption detected");
    (void)w;
}

// ---- Allocation and freeing ------------------------------------------------

bool release(Khfa_File *file, uint32_t position, int32_t size, Kerr_ErrorReport **err);

uint32_t allocate(Khfa_File *file, int32_t size, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_NextFreePos";
    kr::Report e(err);
    if (size < 1) {
        e.error(fn, 1, "Zero or negative size; long integer overflow?");
        return 0;
    }
    if (file->readOnly) {
        e.error(fn, 2, "File %s is open for reading only", file->name);
        return 0;
    }
    if (size < kNode) size = kNode;

    Walker walk(file);
    Block prev, cur, tail, tailPrev;
    bool havePrev = false, haveTail = false, tailHasPrev = false;
    for (;;) {
        int r = walk.next(cur, e.out());
        if (r < 0) {
            e.error(fn, 3, "Error reading the free list");
            return 0;
        }
        if (r == 0) break;
        if (cur.corruptLink) cur.next = 0;  // counts as the last block
        if (cur.size == size || int64_t{cur.size} >= int64_t{size} + kNode) {
            // First fit: the block's front is taken; a rest of at least one
            // node stays free in its place.
            Block *before = havePrev ? &prev : nullptr;
            uint32_t replacement = cur.next;
            if (cur.size != size) {
                Block rest;
                rest.position = cur.position + static_cast<uint32_t>(size);
                rest.next = cur.next;
                rest.size = cur.size - size;
                if (!nodeWrite(file, rest, true, e.out())) {
                    e.error(fn, 4, "Error splitting a free block");
                    return 0;
                }
                replacement = rest.position;
            }
            if (!nodeRemove(file, cur.position, e.out()) ||
                !linkTo(file, before, replacement, e.out())) {
                e.error(fn, 5, "Error updating the free list");
                return 0;
            }
            if (walk.fault()) warnCorruption(walk, fn);
            return cur.position;
        }
        if (cur.next == 0 && int64_t{cur.position} + cur.size >= file->endOfFile) {
            tail = cur;
            haveTail = true;
            tailPrev = prev;
            tailHasPrev = havePrev;
        }
        prev = cur;
        havePrev = true;
    }
    if (walk.fault()) warnCorruption(walk, fn);

    // Grow the file: from the tail block, or from the end. When the tail
    // block is larger than the request by less than a node, the file grows so
    // that exactly one node's worth stays free behind the request.
    const int64_t start = haveTail ? tail.position : file->endOfFile;
    const int64_t available = haveTail ? tail.size : 0;
    int64_t length = size;
    if (size < available) length = int64_t{size} + kNode;
    if (file->mapAddress) {
        const int64_t page = static_cast<int64_t>(kmsc_MemPageSizeGet());
        length = (length + page - 1) / page * page;
    }
    if (start + length > KHFA_MAX_END) {
        e.error(fn, 6,
                "Cannot allocate free block; resulting file would exceed the OS or KHFA limit");
        return 0;
    }
    const int64_t newEnd = start + length;
    if (newEnd > file->endOfFile) {
        // One word written at the new end makes the file that long.
        const uint32_t word = 0;
        if (kfio_Seek64(file->fd, newEnd - 4, 0, e.out()) != newEnd - 4 ||
            kfio_FileWriteSequential(file->fd, &word, sizeof word, 0, e.out()) != sizeof word) {
            e.error(fn, 7, "Unable to extend file %s", file->name);
            return 0;
        }
        file->endOfFile = newEnd;
        file->changeState = KHFA_CHANGE_MODIFIED;
        mapRenew(file);
    }
    if (haveTail && (!nodeRemove(file, tail.position, e.out()) ||
                     !linkTo(file, tailHasPrev ? &tailPrev : nullptr, 0, e.out()))) {
        e.error(fn, 8, "Error updating the free list");
        return 0;
    }
    if (length > size) {
        Kerr_ErrorReport *inner = nullptr;
        if (!release(file, static_cast<uint32_t>(start + size), static_cast<int32_t>(length - size),
                     &inner))
            kr::warn(inner, fn, 9, "khfa_FreeSpace failed");
    }
    return static_cast<uint32_t>(start);
}

bool release(Khfa_File *file, uint32_t position, int32_t size, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_FreeSpace";
    kr::Report e(err);
    if (size < kNode) return true;  // too small to hold a node: not tracked
    if (file->readOnly) {
        e.error(fn, 1, "File %s is open for reading only", file->name);
        return false;
    }
    const int64_t end = int64_t{position} + size;
    if (position < KHFA_HEADER_TAG_SIZE || end > file->endOfFile ||
        (position < int64_t{file->headerPtr} + KHFA_FILE_HEADER_SIZE && end > file->headerPtr)) {
        e.error(fn, 2, "Block of %ld bytes at %lu lies outside the free space of %s",
                static_cast<long>(size), static_cast<unsigned long>(position), file->name);
        return false;
    }

    // The last block before position and the first at or after it.
    Walker walk(file);
    Block pred, succ, cur;
    bool havePred = false, haveSucc = false;
    for (;;) {
        int r = walk.next(cur, e.out());
        if (r < 0) {
            e.error(fn, 3, "Error reading the free list");
            return false;
        }
        if (r == 0) break;
        if (cur.corruptLink) cur.next = 0;
        if (cur.position >= position) {
            succ = cur;
            haveSucc = true;
            break;
        }
        pred = cur;
        havePred = true;
    }
    if (walk.fault()) warnCorruption(walk, fn);
    if (haveSucc && succ.position == position) {
        e.error(fn, 4, "Attempting to insert an item that is already in the free list");
        return false;
    }
    if ((havePred && int64_t{pred.position} + pred.size > position) ||
        (haveSucc && end > succ.position)) {
        e.error(fn, 5, "Block of %ld bytes at %lu overlaps free space", static_cast<long>(size),
                static_cast<unsigned long>(position));
        return false;
    }
    int64_t merged = size;
    uint32_t next = haveSucc ? succ.position : 0;
    const bool joinSucc = haveSucc && end == succ.position;
    const bool joinPred = havePred && int64_t{pred.position} + pred.size == position;
    if (joinSucc) {
        merged += succ.size;
        next = succ.next;
    }
    if (joinPred) merged += pred.size;
    if (merged > INT32_MAX) {
        e.error(fn, 6, "Free block of %lld bytes is too large", static_cast<long long>(merged));
        return false;
    }
    if (joinSucc && !nodeRemove(file, succ.position, e.out())) {
        e.error(fn, 7, "Error updating the free list");
        return false;
    }
    if (joinPred) {
        pred.size = static_cast<int32_t>(merged);
        pred.next = next;
        if (!nodeWrite(file, pred, false, e.out())) {
            e.error(fn, 8, "Error updating the free list");
            return false;
        }
        return true;
    }
    Block b;
    b.position = position;
    b.next = next;
    b.size = static_cast<int32_t>(merged);
    if (!nodeWrite(file, b, true, e.out()) ||
        !linkTo(file, havePred ? &pred : nullptr, position, e.out())) {
        e.error(fn, 9, "Error updating the free list");
        return false;
    }
    return true;
}

}  // namespace

uint32_t nextFreePos(Khfa_File *file, int32_t size, Kerr_ErrorReport **err) {
    return allocate(file, size, err);
}

bool freeSpace(Khfa_File *file, uint32_t pos, int32_t size, Kerr_ErrorReport **err) {
    return release(file, pos, size, err);
}

// ---- The cache -------------------------------------------------------------

void freeCacheDrop(Khfa_File *file) {
    for (Khfa_FreeCacheNode *n = file->freeCache; n;) {
        Khfa_FreeCacheNode *next = n->link;
        kmsc_HeapFree(n);
        n = next;
    }
    file->freeCache = nullptr;
    file->freeCacheHint = nullptr;
    file->freeCacheLoaded = 0;
    file->freeCacheDirty = 0;
}

bool freeCacheLoad(Khfa_File *file, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_FreeListCacheLoad";
    kr::Report e(err);
    if (file->freeCacheLoaded) return true;
    Walker walk(file);
    Khfa_FreeCacheNode **tail = &file->freeCache;
    Block b;
    for (;;) {
        int r = walk.next(b, e.out());
        if (r < 0) {
            e.error(fn, 1, "Error reading free list item into cache");
            freeCacheDrop(file);
            e.error(fn, 2, "Error loading free list into cache");
            return false;
        }
        if (r == 0) break;
        auto *n = static_cast<Khfa_FreeCacheNode *>(kmsc_HeapMalloc(sizeof(Khfa_FreeCacheNode)));
        if (!n) {
            freeCacheDrop(file);
            e.error(fn, 3, "Unable to allocate new item for free list cache");
            e.error(fn, 4, "Error loading free list into cache");
            return false;
        }
        n->position = b.position;
        n->next = b.corruptLink ? 0 : b.next;
        n->size = b.size;
        *tail = n;
        tail = &n->link;
    }
    file->freeCacheLoaded = 1;
    // A refused link is cut off: the list written back ends before it.
    file->freeCacheDirty = walk.fault() ? 1 : 0;
    if (walk.headerFault()) file->header.freeList = 0;
    if (walk.fault()) warnCorruption(walk, fn);
    return true;
}

bool freeCacheWriteBack(Khfa_File *file, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_FreeListCacheWriteBack";
    kr::Report e(err);
    if (!file->freeCacheLoaded) return true;
    const uint32_t first = file->freeCache ? file->freeCache->position : 0;
    if (first != file->header.freeList) {
        e.error(fn, 1,
                "Inconsistency detected - position of first cached node not same as free list");
        return false;
    }
    if (file->freeCacheDirty && !file->readOnly) {
        file->freeCacheLoaded = 0;  // the nodes go to the disk now
        for (Khfa_FreeCacheNode *n = file->freeCache; n; n = n->link) {
            FreeListNode node{n->next, n->size};
            if (!recordWrite(file, n->position, Record::FreeListNode, &node, fn, e.out())) {
                file->freeCacheLoaded = 1;
                e.error(fn, 2, "Error in khfa_FileHostDataWrite");
                return false;
            }
        }
    }
    freeCacheDrop(file);
    return true;
}

uint32_t runTake(Khfa_File *file, Khfa_SpaceRun &run, int32_t size, int32_t runSize,
                 Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (static_cast<int64_t>(run.end) - run.pos < size) {
        if (!runRelease(file, run, e.out())) return 0;
        const uint32_t at = runSize > size ? nextFreePos(file, runSize, e.out()) : 0;
        if (at == 0) {
            e.clear();
            return nextFreePos(file, size, e.out());
        }
        run.pos = at;
        run.end = at + static_cast<uint32_t>(runSize);
        if (run.taken < INT32_MAX) ++run.taken;
    }
    const uint32_t pos = run.pos;
    run.pos += static_cast<uint32_t>(size);
    return pos;
}

void runGiveBack(Khfa_File *file, Khfa_SpaceRun &run, uint32_t pos, int32_t size) {
    if (pos + static_cast<uint32_t>(size) == run.pos) {
        run.pos = pos;
        return;
    }
    Kerr_ErrorReport *ignored = nullptr;
    freeSpace(file, pos, size, &ignored);
    kerr_DeleteErrorReport(ignored);
}

bool runRelease(Khfa_File *file, Khfa_SpaceRun &run, Kerr_ErrorReport **err) {
    const uint32_t at = run.pos;
    const auto left = static_cast<int32_t>(run.end - at);
    run.pos = run.end = 0;
    return left <= 0 || freeSpace(file, at, left, err);
}

}  // namespace kr::hfa

using kr::hfa::Operation;

extern "C" {

KRASTER_API uint32_t khfa_NextFreePos(Khfa_File *file, int32_t size, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_NextFreePos";
    kr::Report e(err);
    Operation op(file, fn, e.out());
    if (!op.ok()) return 0;
    return kr::hfa::allocate(file, size, e.out());
}

KRASTER_API int khfa_FreeSpace(Khfa_File *file, uint32_t position, int32_t size,
                               Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_FreeSpace";
    kr::Report e(err);
    Operation op(file, fn, e.out());
    if (!op.ok()) return -1;
    return kr::hfa::release(file, position, size, e.out()) ? 0 : -1;
}

KRASTER_API int64_t khfa_FileFreeSpaceSize(Khfa_File *file, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_FileFreeSpaceSize";
    kr::Report e(err);
    Operation op(file, fn, e.out());
    if (!op.ok()) return -1;
    kr::hfa::Walker walk(file);
    kr::hfa::Block b;
    int64_t sum = 0;
    int r;
    while ((r = walk.next(b, e.out())) > 0) sum += b.size;
    if (r < 0)
        e.error(fn, 1, "Error reading the free list");
    else if (walk.fault())
        e.error(fn, 2, "Corrupt free list");
    return sum;
}

KRASTER_API int khfa_ShowFreeSpace(Khfa_File *file, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_ShowFreeSpace";
    kr::Report e(err);
    Operation op(file, fn, e.out());
    if (!op.ok()) return -1;
    kr::hfa::Walker walk(file);
    kr::hfa::Block b;
    int r;
    while ((r = walk.next(b, e.out())) > 0)
        fprintf(stderr, "Pointer %ld is %ld bytes...next @%ld\n", static_cast<long>(b.position),
                static_cast<long>(b.size), static_cast<long>(b.next));
    if (r < 0) {
        e.error(fn, 1, "Error reading the free list");
        return -1;
    }
    if (walk.fault()) fprintf(stderr, "Corrupt file!\n");
    return 0;
}

}  // extern "C"
