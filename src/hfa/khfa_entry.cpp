// Navigation and editing of the entry tree: seeks, writes, delete, move,
// saved positions and peeks.
#include <kraster/kfnp.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>

#include <cstring>
#include <ctime>
#include <mutex>
#include <new>

#include "hfa/khfa_records.hpp"
#include "hfa/khfa_tree.hpp"

namespace kr::hfa {

namespace {

// File space of one entry record: the record length rounded up to 64 bytes.
int32_t entrySpace(const Khfa_File *file) {
    const int32_t len =
        file->header.entryHeaderLength > 0 ? file->header.entryHeaderLength : KHFA_ENTRY_SIZE;
    return ((len - 1) / 64 + 1) * 64;
}

double now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

PathString childPath(std::string_view parent, const char *name) {
    PathString p(parent.data(), parent.size());
    p.append(name);
    p.push_back(':');
    return p;
}

// The current path without its trailing ":".
PathString displayPath(std::string_view p) {
    if (p.size() <= 1) return PathString(":");
    return PathString(p.data(), p.size() - 1);
}

// The root has no parent and no siblings, whatever its record says.
bool currentIsRoot(const Khfa_File *file) {
    return file->currentEntry.parent == 0 || file->currentEntryPos == file->header.rootEntryPtr;
}

bool seekRoot(Khfa_File *file, kr::Report &e) {
    static const char *const fn = "khfa_EntrySeek";
    Khfa_Entry rec{};
    const uint32_t root = file->header.rootEntryPtr;
    if (root == 0 || !entryRead(file, root, rec, fn, e.out())) {
        e.error(fn, 20, "Corrupt root entry detected...cannot continue");
        return false;
    }
    makeCurrent(file, root, rec, ":");
    return true;
}

// One step to the first child. False when there is none (or it is corrupt,
// which is warned about); a fault leaves a report.
bool stepChild(Khfa_File *file, kr::Report &e) {
    static const char *const fn = "khfa_EntrySeek";
    const Khfa_Entry cur = file->currentEntry;
    if (cur.child == 0) return false;
    Khfa_Entry c{};
    if (!entryRead(file, cur.child, c, fn, e.out())) return false;
    // Only the root is reached without a link back to check: it can be no
    // one's child or sibling, which keeps every walk free of cycles.
    if (c.parent != file->currentEntryPos || c.prev != 0 || c.name[0] == '\0' ||
        cur.child == file->header.rootEntryPtr) {
        const PathString here(currentPath(file));
        kr::warn(nullptr, fn, 21, "Corrupt child entry (%s) of %s detected", c.name, here.c_str());
        return false;
    }
    makeCurrent(file, cur.child, c, childPath(currentPath(file), c.name));
    return true;
}

bool stepSibling(Khfa_File *file, bool forward, kr::Report &e) {
    static const char *const fn = "khfa_EntrySeek";
    const Khfa_Entry cur = file->currentEntry;
    const uint32_t target = forward ? cur.next : cur.prev;
    if (target == 0 || currentIsRoot(file)) return false;
    Khfa_Entry s{};
    if (!entryRead(file, target, s, fn, e.out())) return false;
    const uint32_t back = forward ? s.prev : s.next;
    if (s.parent != cur.parent || back != file->currentEntryPos || s.name[0] == '\0' ||
        target == file->header.rootEntryPtr) {
        const PathString here(currentPath(file));
        kr::warn(nullptr, fn, 22, "Corrupt sibling entry (%s) of %s detected", s.name,
                 here.c_str());
        return false;
    }
    makeCurrent(file, target, s, childPath(parentPath(file), s.name));
    return true;
}

bool stepParent(Khfa_File *file, kr::Report &e) {
    static const char *const fn = "khfa_EntrySeek";
    const Khfa_Entry cur = file->currentEntry;
    if (currentIsRoot(file)) return false;
    if (file->batchMode && file->currentEntryPos == file->batchStartEntry) return false;
    const PathString pp(parentPath(file));
    uint32_t pos = cur.parent;
    if (!file->batchMode && !pathLookup(file, pp, pos)) {
        kr::warn(nullptr, fn, 23, "Parent not hashed yet?");
        pos = cur.parent;
    }
    Khfa_Entry p{};
    if (!entryRead(file, pos, p, fn, e.out())) return false;
    makeCurrent(file, pos, p, pp);
    return true;
}

// Repeats a sibling step to the end of the list.
bool stepToEnd(Khfa_File *file, bool forward, kr::Report &e) {
    for (int64_t n = visitCap(file); n > 0; --n)
        if (!stepSibling(file, forward, e)) return !e.failed();
    e.error("khfa_EntrySeek", 24, "Sibling list of %s does not end", file->entryPath);
    return false;
}

// From the current entry forward, the first whose name (or type) matches.
Khfa_Entry *siblingMatch(Khfa_File *file, const char *name, bool byType, kr::Report &e) {
    for (int64_t n = visitCap(file); n > 0; --n) {
        const char *field = byType ? file->currentEntry.type : file->currentEntry.name;
        if (std::strcmp(field, name) == 0) return &file->currentEntry;
        if (!stepSibling(file, true, e)) return nullptr;
    }
    e.error("khfa_EntrySeek", 25, "Sibling list of %s does not end", file->entryPath);
    return nullptr;
}

// Depth-first pre-order step.
bool stepInTree(Khfa_File *file, kr::Report &e) {
    if (stepChild(file, e)) return true;
    if (e.failed()) return false;
    for (int64_t n = visitCap(file); n > 0; --n) {
        if (stepSibling(file, true, e)) return true;
        if (e.failed() || !stepParent(file, e)) return false;
    }
    return false;
}

Khfa_Entry *pathSeek(Khfa_File *file, const char *name, kr::Report &e) {
    const PathString full = pathKey(parentPath(file), name);
    uint32_t pos = 0;
    Khfa_Entry rec{};
    if (pathLookup(file, full, pos)) {
        if (!entryRead(file, pos, rec, "khfa_EntrySeek", e.out())) return nullptr;
        makeCurrent(file, pos, rec, full);
        return &file->currentEntry;
    }
    // The longest prefix in the path table, then name by name.
    size_t cut = full.size() - 1;
    while (cut > 0) {
        cut = full.rfind(':', cut - 1);
        if (cut == 0) break;
        if (pathLookup(file, std::string_view(full).substr(0, cut + 1), pos)) break;
    }
    if (cut == 0) {
        if (!seekRoot(file, e)) return nullptr;
    } else {
        if (!entryRead(file, pos, rec, "khfa_EntrySeek", e.out())) return nullptr;
        makeCurrent(file, pos, rec, std::string_view(full).substr(0, cut + 1));
    }
    size_t at = cut + 1;
    while (at < full.size()) {
        const size_t end = full.find(':', at);
        const PathString part = full.substr(at, end - at);
        if (!stepChild(file, e)) return nullptr;
        if (!siblingMatch(file, part.c_str(), false, e)) return nullptr;
        at = end + 1;
    }
    return &file->currentEntry;
}

Khfa_Entry *hashedSibling(Khfa_File *file, const char *name, kr::Report &e) {
    const PathString key = childPath(parentPath(file), name);
    uint32_t pos = 0;
    Khfa_Entry rec{};
    if (pathLookup(file, key, pos) && entryRead(file, pos, rec, "khfa_EntrySeek", e.out()) &&
        std::strcmp(rec.name, name) == 0 && rec.parent == file->currentEntry.parent) {
        makeCurrent(file, pos, rec, key);
        return &file->currentEntry;
    }
    if (e.failed()) return nullptr;
    if (!stepToEnd(file, false, e)) return nullptr;
    return siblingMatch(file, name, false, e);
}

}  // namespace

int64_t visitCap(const Khfa_File *file) {
    return file->endOfFile / 64 + 2;
}

bool stepPreOrder(Khfa_File *file, int64_t &depth, kr::Report &e) {
    if (seek(file, KHFA_SEEK_CHILD, nullptr, e)) {
        ++depth;
        return true;
    }
    while (!e.failed() && depth > 0) {
        if (seek(file, KHFA_SEEK_NEXT, nullptr, e)) return true;
        if (e.failed() || !seek(file, KHFA_SEEK_PARENT, nullptr, e)) break;
        --depth;
    }
    return false;
}

void makeCurrent(Khfa_File *file, uint32_t pos, const Khfa_Entry &rec, std::string_view path) {
    // The path first: when memory runs out the current entry stays as it was.
    if (path.data() != file->entryPath || path.size() != static_cast<size_t>(file->entryPathLength))
        pathSet(file, path);
    file->currentEntryPos = pos;
    file->currentEntry = rec;
    pathHash(file, currentPath(file), pos);
}

Khfa_Entry *seek(Khfa_File *file, int method, const char *name, kr::Report &e) {
    switch (method) {
        case KHFA_SEEK_ROOT:
            return seekRoot(file, e) ? &file->currentEntry : nullptr;
        case KHFA_SEEK_NEXT:
        case KHFA_SEEK_PREV:
            return stepSibling(file, method == KHFA_SEEK_NEXT, e) ? &file->currentEntry : nullptr;
        case KHFA_SEEK_FIRST_SIBLING:
        case KHFA_SEEK_LAST_SIBLING:
            return stepToEnd(file, method == KHFA_SEEK_LAST_SIBLING, e) ? &file->currentEntry
                                                                        : nullptr;
        case KHFA_SEEK_CHILD:
            return stepChild(file, e) ? &file->currentEntry : nullptr;
        case KHFA_SEEK_PARENT:
            return stepParent(file, e) ? &file->currentEntry : nullptr;
        case KHFA_SEEK_SIBLING_BY_NAME:
            if (currentIsRoot(file) && !stepChild(file, e)) return nullptr;
            return siblingMatch(file, name, false, e);
        case KHFA_SEEK_PATH:
            return pathSeek(file, name, e);
        case KHFA_SEEK_NEXT_IN_TREE:
            return stepInTree(file, e) ? &file->currentEntry : nullptr;
        case KHFA_SEEK_NEXT_TYPE_IN_TREE:
        case KHFA_SEEK_NEXT_NAME_IN_TREE:
            for (int64_t n = visitCap(file); n > 0; --n) {
                if (!stepInTree(file, e)) return nullptr;
                const char *field = method == KHFA_SEEK_NEXT_TYPE_IN_TREE ? file->currentEntry.type
                                                                          : file->currentEntry.name;
                if (std::strcmp(field, name) == 0) return &file->currentEntry;
            }
            return nullptr;
        case KHFA_SEEK_CHILD_BY_NAME:
            if (!stepChild(file, e)) return nullptr;
            return hashedSibling(file, name, e);
        case KHFA_SEEK_SIBLING_NAME_HASHED:
            return hashedSibling(file, name, e);
        case KHFA_SEEK_CHILD_BY_TYPE:
            if (!stepChild(file, e)) return nullptr;
            return siblingMatch(file, name, true, e);
        case KHFA_SEEK_FIRST_SIBLING_BY_TYPE:
            if (!stepToEnd(file, false, e)) return nullptr;
            return siblingMatch(file, name, true, e);
        case KHFA_SEEK_SIBLING_BY_TYPE:
            return siblingMatch(file, name, true, e);
        case KHFA_SEEK_POSITION_BY_PATH: {
            if (!name) return &file->currentEntry;
            const PathString key = pathKey(":", name);
            uint32_t pos = 0;
            Khfa_Entry rec{};
            if (!pathLookup(file, key, pos)) return nullptr;
            if (!entryRead(file, pos, rec, "khfa_EntrySeek", e.out())) return nullptr;
            makeCurrent(file, pos, rec, key);
            return &file->currentEntry;
        }
        case KHFA_SEEK_SEQUENTIAL: {
            const int64_t at = kfio_Tell64(file->fd, nullptr);
            Khfa_Entry rec{};
            if (at < KHFA_HEADER_TAG_SIZE || at > KHFA_MAX_END) return nullptr;
            if (!recordRead(file, KHFA_SEQUENTIAL_POSITION, Record::Entry, &rec, "khfa_EntrySeek",
                            e.out()))
                return nullptr;
            // The path is unknown in sequential reading: it stays as it was.
            file->currentEntryPos = static_cast<uint32_t>(at);
            file->currentEntry = rec;
            return &file->currentEntry;
        }
        default:
            return nullptr;
    }
}

namespace {

// Rewrites one link field of the record at pos.
bool setLink(Khfa_File *file, uint32_t pos, uint32_t Khfa_Entry::*field, uint32_t value,
             const char *fn, Kerr_ErrorReport **err) {
    Khfa_Entry n{};
    if (!entryRead(file, pos, n, fn, err)) return false;
    n.*field = value;
    return entryWrite(file, pos, n, fn, err);
}

Khfa_Entry *insertEntry(Khfa_File *file, uint32_t parent, uint32_t prev, uint32_t next,
                        std::string_view parentKey, const char *name, const char *type,
                        Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_EntryWrite";
    kr::Report e(err);
    const int32_t space = entrySpace(file);
    const uint32_t pos = nextFreePos(file, space, e.out());
    if (pos == 0) {
        e.error(fn, 10, "NextFreePos fail");
        return nullptr;
    }
    Khfa_Entry rec{};
    rec.parent = parent;
    rec.prev = prev;
    rec.next = next;
    std::strncpy(rec.name, name, sizeof rec.name - 1);
    if (type) std::strncpy(rec.type, type, sizeof rec.type - 1);
    rec.modTime = now();
    if (!entryWrite(file, pos, rec, fn, e.out())) {
        e.error(fn, 11, "WriteCurrentEntry fail");
    } else if (prev != 0) {
        if (!setLink(file, prev, &Khfa_Entry::next, pos, fn, e.out()))
            e.error(fn, 12, "Seek prev failed");
    } else if (!setLink(file, parent, &Khfa_Entry::child, pos, fn, e.out())) {
        e.error(fn, 13, "WriteCurrentEntry fail");
    }
    if (!e.failed() && next != 0 && !setLink(file, next, &Khfa_Entry::prev, pos, fn, e.out()))
        e.error(fn, 14, "Seek next failed");
    if (e.failed()) {
        entryForget(file, pos);
        Kerr_ErrorReport *ignored = nullptr;
        freeSpace(file, pos, space, &ignored);
        kerr_DeleteErrorReport(ignored);
        return nullptr;
    }
    makeCurrent(file, pos, rec, childPath(parentKey, rec.name));
    return &file->currentEntry;
}

// Batch mode takes entry space in runs of this size.
constexpr int32_t kBatchRun = 64 * 1024;

// Batch mode: entries are only appended. A new entry goes below a current
// entry that has no child yet, or after one that has no next sibling; the
// current record is rewritten with its new link and the new record written
// straight to the file, with neither table touched.
Khfa_Entry *batchAppend(Khfa_File *file, int mode, const char *name, const char *type,
                        Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_EntryWrite";
    kr::Report e(err);
    const bool below = mode == KHFA_WRITE_FIRST_CHILD;
    Khfa_Entry cur = file->currentEntry;
    const uint32_t curPos = file->currentEntryPos;
    if (below && cur.child != 0) {
        e.error(fn, 40, "Cannot write additional offspring to a node in batch mode");
        return nullptr;
    }
    if (!below && cur.next != 0) {
        e.error(fn, 41, "Cannot write before an existing node in batch mode");
        return nullptr;
    }
    const int32_t space = entrySpace(file);
    const uint32_t pos = runTake(file, file->batchRun, space, kBatchRun, e.out());
    if (pos == 0) {
        e.error(fn, 10, "NextFreePos fail");
        return nullptr;
    }
    Khfa_Entry rec{};
    rec.parent = below ? curPos : cur.parent;
    rec.prev = below ? 0 : curPos;
    std::strncpy(rec.name, name, sizeof rec.name - 1);
    if (type) std::strncpy(rec.type, type, sizeof rec.type - 1);
    rec.modTime = now();
    (below ? cur.child : cur.next) = pos;
    if (!recordWrite(file, curPos, Record::Entry, &cur, fn, e.out()) ||
        !recordWrite(file, pos, Record::Entry, &rec, fn, e.out())) {
        e.error(fn, 11, "WriteCurrentEntry fail");
        // Not linked: the current record as it was, and the space back.
        Kerr_ErrorReport *ignored = nullptr;
        recordWrite(file, curPos, Record::Entry, &file->currentEntry, fn, &ignored);
        kerr_DeleteErrorReport(ignored);
        runGiveBack(file, file->batchRun, pos, space);
        return nullptr;
    }
    const std::string_view base = below ? currentPath(file) : parentPath(file);
    makeCurrent(file, pos, rec, childPath(base, rec.name));
    return &file->currentEntry;
}

bool checkNames(const char *name, const char *type, bool needName, kr::Report &e) {
    static const char *const fn = "khfa_EntryWrite";
    if (name && std::strlen(name) > KHFA_MAX_NAME_LENGTH) {
        e.error(fn, 1, "The length of KHFA entry name '%s' exceeds the %d character maximum", name,
                KHFA_MAX_NAME_LENGTH);
        return false;
    }
    if (type && std::strlen(type) > KHFA_MAX_TYPE_LENGTH) {
        e.error(fn, 2, "The length of KHFA entry type '%s' exceeds the %d character maximum", type,
                KHFA_MAX_TYPE_LENGTH);
        return false;
    }
    if (needName && (!name || !*name)) {
        e.error(fn, 3, "Push of null name invalid");
        return false;
    }
    if (name && std::strchr(name, ':')) {
        e.error(fn, 4, "Entry name '%s' must not contain ':'", name);
        return false;
    }
    return true;
}

}  // namespace

Khfa_Entry *entryWriteMode(Khfa_File *file, int mode, const char *name, const char *type,
                           Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_EntryWrite";
    kr::Report e(err);
    if (mode < KHFA_WRITE_CURRENT || mode > KHFA_WRITE_LAST_CHILD) {
        e.error(fn, 5, "Invalid write mode %d", mode);
        return nullptr;
    }
    if (file->readOnly) {
        e.error(fn, 6, "File %s is open for reading only", file->name);
        return nullptr;
    }
    const bool atRoot = currentIsRoot(file);
    if (atRoot && mode != KHFA_WRITE_FIRST_CHILD) mode = KHFA_WRITE_LAST_CHILD;
    if (!checkNames(name, type, mode != KHFA_WRITE_CURRENT, e)) return nullptr;
    const uint32_t curPos = file->currentEntryPos;
    const Khfa_Entry cur = file->currentEntry;
    if (file->batchMode && (mode == KHFA_WRITE_PREV || mode == KHFA_WRITE_LAST_CHILD)) {
        e.error(fn, 42, "Invalid write position for batch write mode");
        return nullptr;
    }
    if (file->batchMode && mode != KHFA_WRITE_CURRENT)
        return batchAppend(file, mode, name, type, e.out());
    switch (mode) {
        case KHFA_WRITE_CURRENT: {
            Khfa_Entry rec = cur;
            const bool rename = name && std::strcmp(name, rec.name) != 0;
            if (rename && !*name) {
                e.error(fn, 7, "Push of null name invalid");
                return nullptr;
            }
            if (rename && file->batchMode && curPos == file->batchStartEntry) {
                e.error(fn, 43, "Cannot change the name of the noCache start node in batch mode");
                return nullptr;
            }
            const PathString oldKey(currentPath(file));
            const PathString newKey = childPath(parentPath(file), rename ? name : rec.name);
            if (rename) {
                uint32_t clash = 0;
                if (pathLookup(file, newKey, clash) && clash != curPos) {
                    e.error(fn, 8, "Entry %s exists already", newKey.c_str());
                    return nullptr;
                }
                std::memset(rec.name, 0, sizeof rec.name);
                std::strncpy(rec.name, name, sizeof rec.name - 1);
            }
            if (type) {
                std::memset(rec.type, 0, sizeof rec.type);
                std::strncpy(rec.type, type, sizeof rec.type - 1);
            }
            if (!entryWrite(file, curPos, rec, fn, e.out())) {
                e.error(fn, 9, "WriteCurrentEntry fail");
                return nullptr;
            }
            if (rename) {
                pathUnhash(file, oldKey, true);
                makeCurrent(file, curPos, rec, newKey);
            }
            return &file->currentEntry;
        }
        case KHFA_WRITE_NEXT:
            return insertEntry(file, cur.parent, curPos, cur.next, parentPath(file), name, type,
                               e.out());
        case KHFA_WRITE_PREV:
            return insertEntry(file, cur.parent, cur.prev, curPos, parentPath(file), name, type,
                               e.out());
        case KHFA_WRITE_FIRST_CHILD:
            return insertEntry(file, curPos, 0, cur.child, currentPath(file), name, type, e.out());
        default: {
            if (cur.child == 0)
                return insertEntry(file, curPos, 0, 0, currentPath(file), name, type, e.out());
            const PathString key(currentPath(file));
            if (!stepChild(file, e) || !stepToEnd(file, true, e)) {
                e.error(fn, 15, "Seek next failed");
                return nullptr;
            }
            return insertEntry(file, curPos, file->currentEntryPos, 0, key, name, type, e.out());
        }
    }
}

namespace {

// Unlinks the current entry (which has no children) and frees its space; the
// previous sibling, else the parent, becomes current.
bool unlinkLeaf(Khfa_File *file, kr::Report &e) {
    static const char *const fn = "khfa_EntryDelete";
    const uint32_t pos = file->currentEntryPos;
    const Khfa_Entry rec = file->currentEntry;
    const PathString key(currentPath(file));
    const PathString parentKey(parentPath(file));
    Khfa_Entry n{};
    if (rec.prev != 0) {
        if (!entryRead(file, rec.prev, n, fn, e.out())) return false;
        n.next = rec.next;
        if (!entryWrite(file, rec.prev, n, fn, e.out())) return false;
        pathUnhash(file, key, false);
        makeCurrent(file, rec.prev, n, childPath(parentKey, n.name));
    } else {
        uint32_t parent = rec.parent;
        pathLookup(file, parentKey, parent);
        if (!entryRead(file, parent, n, fn, e.out())) return false;
        n.child = rec.next;
        if (!entryWrite(file, parent, n, fn, e.out())) return false;
        pathUnhash(file, key, false);
        makeCurrent(file, parent, n, parentKey);
    }
    if (rec.next != 0 && !setLink(file, rec.next, &Khfa_Entry::prev, rec.prev, fn, e.out()))
        return false;
    entryForget(file, pos);
    Kerr_ErrorReport *r = nullptr;
    if (!freeSpace(file, pos, entrySpace(file), &r))
        kr::warn(r, fn, 30, "khfa_FreeSpace failed"), r = nullptr;
    if (rec.data != 0 && rec.dataSize > 0 && !freeSpace(file, rec.data, rec.dataSize, &r))
        kr::warn(r, fn, 31, "khfa_FreeSpace failed");
    return true;
}

}  // namespace

bool deleteCurrent(Khfa_File *file, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_EntryDelete";
    kr::Report e(err);
    if (file->batchMode) {
        e.error(fn, 1, "Deletion not allowed while cache is not in use");
        return false;
    }
    if (file->readOnly) {
        e.error(fn, 2, "File %s is open for reading only", file->name);
        return false;
    }
    const uint32_t target = file->currentEntryPos;
    // Depth first from the last child backwards; every round either
    // descends or deletes one entry, so the walk ends.
    for (int64_t n = 2 * visitCap(file); n > 0; --n) {
        const bool isTarget = file->currentEntryPos == target;
        if (file->currentEntry.child != 0) {
            if (!stepChild(file, e)) {
                e.error(fn, 3, "Couldn't find child");
                return false;
            }
            if (!stepToEnd(file, true, e)) {
                e.error(fn, 4, "Couldn't find last");
                return false;
            }
            continue;
        }
        if (isTarget && currentIsRoot(file)) return true;  // the root stays
        if (!unlinkLeaf(file, e)) {
            e.error(fn, 5, "Delete failed");
            return false;
        }
        if (isTarget) return true;
    }
    e.error(fn, 6, "Delete failed");
    return false;
}

void batchBegin(Khfa_File *file) {
    if (file->batchMode) return;
    file->batchStartEntry = file->currentEntryPos;
    entryForget(file, file->currentEntryPos);
    file->batchMode = 1;
}

bool batchEnd(Khfa_File *file, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_FileChange";
    kr::Report e(err);
    if (!file->batchMode) return true;
    file->batchMode = 0;
    file->batchStartEntry = 0;
    if (!runRelease(file, file->batchRun, e.out())) return false;
    // The current entry goes back into the tables, and so do its ancestors
    // written in batch mode, so that later seeks up the tree find them.
    const PathString here(currentPath(file));
    Khfa_Entry rec{};
    if (!entryRead(file, file->currentEntryPos, rec, fn, e.out())) return false;
    makeCurrent(file, file->currentEntryPos, rec, here);
    std::string_view path = here;
    uint32_t pos = rec.parent;
    for (int64_t n = visitCap(file); n > 0 && path.size() > 1 && pos != 0; --n) {
        path = path.substr(0, path.rfind(':', path.size() - 2) + 1);
        uint32_t known = 0;
        if (path.size() <= 1 || pathLookup(file, path, known)) break;
        Khfa_Entry up{};
        if (!entryRead(file, pos, up, fn, e.out())) return false;
        pathHash(file, path, pos);
        pos = up.parent;
    }
    return true;
}

bool positionRestore(Khfa_File *file, std::string_view path, uint32_t pos, Kerr_ErrorReport **err) {
    kr::Report e(err);
    const PathString key = pathKey(":", path);
    if (file->seekByPosition) {
        uint32_t hashed = 0;
        Khfa_Entry rec{};
        if (!pathLookup(file, key, hashed) || hashed != pos) {
            e.error("khfa_EntryPositionSet", 3, "Cannot find entry position");
            return false;
        }
        if (!entryRead(file, pos, rec, "khfa_EntryPositionSet", e.out())) {
            e.error("khfa_EntryPositionSet", 4, "Couldn't set current entry");
            return false;
        }
        makeCurrent(file, pos, rec, key);
        return true;
    }
    const PathString text = displayPath(key);
    if (!seek(file, KHFA_SEEK_PATH, text.c_str(), e)) {
        e.error("khfa_EntryPositionSet", 5, "Couldn't find entry %s", text.c_str());
        return false;
    }
    return true;
}

}  // namespace kr::hfa

using namespace kr::hfa;

namespace {

bool methodNeedsName(int m) {
    return m == KHFA_SEEK_SIBLING_BY_NAME || m == KHFA_SEEK_PATH || (m >= 10 && m <= 16);
}

}  // namespace

extern "C" Khfa_Entry *khfa_EntrySeek(Khfa_File *file, int method, const char *name,
                                      Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_EntrySeek";
    kr::Report e(err);
    Operation op(file, fn, e.out());
    if (!op.ok()) return nullptr;
    if (method < 0 || method > KHFA_SEEK_SEQUENTIAL) {
        e.error(fn, 1, "Invalid seek method");
        return nullptr;
    }
    if (file->batchMode && method != KHFA_SEEK_PARENT) {
        e.error(fn, 2, "Invalid seek method for writing w/o caching");
        return nullptr;
    }
    if (methodNeedsName(method)) {
        if (!name) {
            e.error(fn, 3, "Name parameter must not be null for requested seek type");
            return nullptr;
        }
        if (!*name) {
            e.error(fn, 4, "Name parameter must not be null string");
            return nullptr;
        }
    } else if (method == KHFA_SEEK_POSITION_BY_PATH) {
        if (name && !*name) {
            e.error(fn, 4, "Name parameter must not be null string");
            return nullptr;
        }
    } else if (name) {
        if (method != KHFA_SEEK_SEQUENTIAL)
            kr::warn(nullptr, fn, 5, "Name parameter '%s' will be ignored", name);
        name = nullptr;
    }
    try {
        return seek(file, method, name, e);
    } catch (const std::bad_alloc &) {
        e.error(fn, 6, "No memory");
        return nullptr;
    }
}

extern "C" Khfa_Entry *khfa_EntryWrite(Khfa_File *file, int mode, const char *name,
                                       const char *type, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_EntryWrite";
    kr::Report e(err);
    Operation op(file, fn, e.out());
    if (!op.ok()) return nullptr;
    try {
        return entryWriteMode(file, mode, name, type, e.out());
    } catch (const std::bad_alloc &) {
        e.error(fn, 20, "No memory");
        return nullptr;
    }
}

extern "C" int khfa_EntryDelete(Khfa_File *file, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_EntryDelete";
    kr::Report e(err);
    Operation op(file, fn, e.out());
    if (!op.ok()) return -1;
    try {
        return deleteCurrent(file, e.out()) ? 0 : -1;
    } catch (const std::bad_alloc &) {
        e.error(fn, 20, "No memory");
        return -1;
    }
}

namespace {

int moveEntry(Khfa_File *file, const char *fromPath, const char *toPath, kr::Report &e) {
    static const char *const fn = "khfa_EntryMove";
    if (!fromPath || !*fromPath || !toPath || !*toPath) {
        e.error(fn, 1, "Invalid 'move to' path");
        return -1;
    }
    if (file->readOnly) {
        e.error(fn, 2, "File %s is open for reading only", file->name);
        return -1;
    }
    const PathString here(currentPath(file));
    const PathString from = pathKey(here, fromPath);
    const PathString to = pathKey(here, toPath);
    const PathString fromText = displayPath(from);
    const PathString toText = displayPath(to);
    if (to.size() <= 1 || from.size() <= 1) {
        e.error(fn, 3, "Invalid 'move to' path");
        return -1;
    }
    const size_t cut = to.rfind(':', to.size() - 2);
    const PathString toParent = to.substr(0, cut + 1);
    const PathString newName = to.substr(cut + 1, to.size() - cut - 2);
    if (newName.size() > KHFA_MAX_NAME_LENGTH) {
        e.error(fn, 4, "%s:  Name too long", toText.c_str());
        return -1;
    }
    if (toParent.compare(0, from.size(), from) == 0) {
        e.error(fn, 5, "%s|Cannot move a node into its own subtree", toText.c_str());
        return -1;
    }
    bool ok = false;
    do {
        if (seek(file, KHFA_SEEK_PATH, toText.c_str(), e) || e.failed()) {
            if (!e.failed()) e.error(fn, 6, "%s|Node already exists", toText.c_str());
            break;
        }
        const PathString toParentText = displayPath(toParent);
        if (!seek(file, KHFA_SEEK_PATH, toParentText.c_str(), e)) {
            e.error(fn, 7, "%s|Node not found", toParentText.c_str());
            break;
        }
        const uint32_t parentPos = file->currentEntryPos;
        if (!seek(file, KHFA_SEEK_PATH, fromText.c_str(), e)) {
            e.error(fn, 8, "%s|Node not found", fromText.c_str());
            break;
        }
        const uint32_t pos = file->currentEntryPos;
        Khfa_Entry rec = file->currentEntry;
        Khfa_Entry n{};
        // Unlink from the old siblings.
        const bool unlinked =
            rec.prev != 0 ? setLink(file, rec.prev, &Khfa_Entry::next, rec.next, fn, e.out())
                          : setLink(file, rec.parent, &Khfa_Entry::child, rec.next, fn, e.out());
        if (!unlinked ||
            (rec.next != 0 && !setLink(file, rec.next, &Khfa_Entry::prev, rec.prev, fn, e.out())))
            break;
        // Link as the last child of the new parent.
        Khfa_Entry parent{};
        if (!entryRead(file, parentPos, parent, fn, e.out())) break;
        uint32_t last = 0;
        int64_t cap = visitCap(file);
        for (uint32_t at = parent.child; at != 0 && cap > 0; --cap) {
            if (!entryRead(file, at, n, fn, e.out())) break;
            last = at;
            at = n.next;
        }
        if (e.failed()) break;
        if (cap == 0) {
            e.error(fn, 10, "Corrupt child list of %s", toParentText.c_str());
            break;
        }
        rec.parent = parentPos;
        rec.prev = last;
        rec.next = 0;
        std::memset(rec.name, 0, sizeof rec.name);
        std::memcpy(rec.name, newName.data(), newName.size());
        if (!entryWrite(file, pos, rec, fn, e.out())) break;
        if (last != 0 ? !setLink(file, last, &Khfa_Entry::next, pos, fn, e.out())
                      : !setLink(file, parentPos, &Khfa_Entry::child, pos, fn, e.out()))
            break;
        pathUnhash(file, from, true);
        pathHash(file, to, pos);
        ok = true;
    } while (false);
    // The entry that was current before, under its new path if it moved.
    PathString back = here;
    if (ok && back.compare(0, from.size(), from) == 0) back = to + back.substr(from.size());
    const PathString backText = displayPath(back);
    kr::Report r(nullptr);
    if (!seek(file, KHFA_SEEK_PATH, backText.c_str(), r) && ok) {
        e.error(fn, 9, "File may be corrupt");
        return -1;
    }
    return ok ? 0 : -1;
}

}  // namespace

extern "C" int khfa_EntryMove(Khfa_File *file, const char *fromPath, const char *toPath,
                              Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_EntryMove";
    kr::Report e(err);
    Operation op(file, fn, e.out());
    if (!op.ok()) return -1;
    try {
        return moveEntry(file, fromPath, toPath, e);
    } catch (const std::bad_alloc &) {
        e.error(fn, 20, "No memory");
        return -1;
    }
}

extern "C" char *khfa_CurrentEntryPath(Khfa_File *file, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_CurrentEntryPath";
    kr::Report e(err);
    Operation op(file, fn, e.out());
    if (!op.ok()) return nullptr;
    std::string_view p = currentPath(file);
    if (p.size() > 1) p.remove_suffix(1);
    char *out = kstr_DuplicateN(p.data(), p.size());
    if (!out) e.error(fn, 1, "No memory");
    return out;
}

extern "C" Khfa_EntryPosition *khfa_EntryPositionGet(Khfa_File *file, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_EntryPositionGet";
    kr::Report e(err);
    Operation op(file, fn, e.out());
    if (!op.ok()) return nullptr;
    auto *pos = static_cast<Khfa_EntryPosition *>(kmsc_HeapMalloc(sizeof(Khfa_EntryPosition)));
    if (!pos) {
        e.error(fn, 1, "No memory");
        return nullptr;
    }
    const std::string_view p = currentPath(file);
    pos->path = kstr_DuplicateN(p.data(), p.size());
    if (!pos->path) {
        kmsc_HeapFree(pos);
        e.error(fn, 2, "Can't get current entry path");
        return nullptr;
    }
    pos->position = file->currentEntryPos;
    return pos;
}

extern "C" Khfa_EntryPosition *khfa_EntryGetCurrentPosition(Khfa_File *file,
                                                            Kerr_ErrorReport **err) {
    return khfa_EntryPositionGet(file, err);
}

extern "C" int khfa_EntryPositionSet(Khfa_File *file, const Khfa_EntryPosition *position,
                                     Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_EntryPositionSet";
    kr::Report e(err);
    if (!file) {
        e.error(fn, 1, "Null file parameter");
        return -1;
    }
    if (!position || !position->path) {
        e.error(fn, 2, "Null position parameter");
        return -1;
    }
    Operation op(file, fn, e.out());
    if (!op.ok()) return -1;
    try {
        return positionRestore(file, position->path, position->position, e.out()) ? 0 : -1;
    } catch (const std::bad_alloc &) {
        e.error(fn, 20, "No memory");
        return -1;
    }
}

extern "C" int khfa_EntrySetCurrentPosition(Khfa_File *file, const Khfa_EntryPosition *position,
                                            Kerr_ErrorReport **err) {
    return khfa_EntryPositionSet(file, position, err);
}

extern "C" void khfa_EntryPositionFree(Khfa_EntryPosition **position, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!position || !*position) return;
    kmsc_HeapFree((*position)->path);
    kmsc_HeapFree(*position);
    *position = nullptr;
}

namespace {

int currentHas(Khfa_File *file, const char *fn, uint32_t Khfa_Entry::*field,
               Kerr_ErrorReport **err) {
    kr::Report e(err);
    Operation op(file, fn, e.out());
    if (!op.ok()) return -1;
    return file->currentEntry.*field != 0 ? 1 : 0;
}

std::mutex g_peekMutex;
Khfa_Entry g_peek;

}  // namespace

extern "C" int khfa_EntryCurrentHasNext(Khfa_File *file, Kerr_ErrorReport **err) {
    return currentHas(file, "khfa_EntryCurrentHasNext", &Khfa_Entry::next, err);
}
extern "C" int khfa_EntryCurrentHasPrev(Khfa_File *file, Kerr_ErrorReport **err) {
    return currentHas(file, "khfa_EntryCurrentHasPrev", &Khfa_Entry::prev, err);
}
extern "C" int khfa_EntryCurrentHasChild(Khfa_File *file, Kerr_ErrorReport **err) {
    return currentHas(file, "khfa_EntryCurrentHasChild", &Khfa_Entry::child, err);
}

extern "C" Khfa_Entry *khfa_EntryPeek(Khfa_File *file, int method, const char *name,
                                      Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_EntryPeek";
    kr::Report e(err);
    Operation op(file, fn, e.out());
    if (!op.ok()) return nullptr;
    if (method == KHFA_SEEK_SEQUENTIAL) {
        const Khfa_Entry saved = file->currentEntry;
        const uint32_t savedPos = file->currentEntryPos;
        const int64_t at = kfio_Tell64(file->fd, nullptr);
        Khfa_Entry *found = khfa_EntrySeek(file, method, name, e.out());
        Khfa_Entry *out = nullptr;
        if (found) {
            std::lock_guard<std::mutex> lock(g_peekMutex);
            g_peek = *found;
            out = &g_peek;
        }
        file->currentEntry = saved;
        file->currentEntryPos = savedPos;
        if (at >= 0) kfio_Seek64(file->fd, at, 0, nullptr);
        if (e.failed()) e.error(fn, 2, "khfa_EntrySeek failed");
        return out;
    }
    Khfa_EntryPosition *saved = khfa_EntryPositionGet(file, e.out());
    if (!saved) {
        e.error(fn, 1, "khfa_EntryPositionGet failed");
        return nullptr;
    }
    Khfa_Entry *found = khfa_EntrySeek(file, method, name, e.out());
    Khfa_Entry *out = nullptr;
    if (found) {
        std::lock_guard<std::mutex> lock(g_peekMutex);
        g_peek = *found;
        out = &g_peek;
    }
    const bool seekFailed = e.failed();
    if (seekFailed) e.error(fn, 2, "khfa_EntrySeek failed");
    Kerr_ErrorReport *r = nullptr;
    if (khfa_EntryPositionSet(file, saved, &r) != 0) {
        if (seekFailed)
            kerr_DeleteErrorReport(r);
        else
            e.wrap(r, fn, 3, "Couldn't set current entry");
        out = nullptr;
    }
    khfa_EntryPositionFree(&saved, nullptr);
    return out;
}
