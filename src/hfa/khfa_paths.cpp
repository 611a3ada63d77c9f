// The entry tree's two tables and the path buffer of the current entry.
#include <kraster/kmsc.h>

#include <cstring>

#include "hfa/khfa_records.hpp"
#include "hfa/khfa_tree.hpp"

struct PathHashFn {
    size_t operator()(const kr::hfa::PathString &s) const noexcept {
        return std::hash<std::string_view>{}(std::string_view(s.data(), s.size()));
    }
};

struct Khfa_PathTable {
    kr::HeapMap<kr::hfa::PathString, uint32_t, PathHashFn> map;
};

struct Khfa_EntryTable {
    kr::HeapMap<uint32_t, Khfa_Entry> map;
};

namespace kr::hfa {

namespace {
constexpr size_t kInitialTableSize = 100;

PathString key(std::string_view s) {
    return PathString(s.data(), s.size());
}
}  // namespace

void tablesCreate(Khfa_File *file) {
    if (!file->pathTable) {
        file->pathTable = heapNew<Khfa_PathTable>();
        if (!file->pathTable) throw std::bad_alloc();
        file->pathTable->map.reserve(kInitialTableSize);
    }
    if (!file->entryTable) {
        file->entryTable = heapNew<Khfa_EntryTable>();
        if (!file->entryTable) throw std::bad_alloc();
        file->entryTable->map.reserve(kInitialTableSize);
    }
}

void tablesFree(Khfa_File *file) {
    heapDelete(file->pathTable);
    file->pathTable = nullptr;
    heapDelete(file->entryTable);
    file->entryTable = nullptr;
}

void tablesClear(Khfa_File *file) {
    if (file->pathTable) file->pathTable->map.clear();
    if (file->entryTable) file->entryTable->map.clear();
}

void pathHash(Khfa_File *file, std::string_view k, uint32_t pos) {
    if (file->batchMode) return;
    tablesCreate(file);
    file->pathTable->map.insert_or_assign(key(k), pos);
}

bool pathLookup(const Khfa_File *file, std::string_view k, uint32_t &pos) {
    if (file->batchMode || !file->pathTable) return false;
    auto it = file->pathTable->map.find(key(k));
    if (it == file->pathTable->map.end()) return false;
    pos = it->second;
    return true;
}

void pathUnhash(Khfa_File *file, std::string_view k, bool subtree) {
    if (!file->pathTable) return;
    auto &map = file->pathTable->map;
    map.erase(key(k));
    if (!subtree) return;
    for (auto it = map.begin(); it != map.end();) {
        if (it->first.size() > k.size() && std::memcmp(it->first.data(), k.data(), k.size()) == 0)
            it = map.erase(it);
        else
            ++it;
    }
}

void pathRehashSubtree(Khfa_File *file, std::string_view from, std::string_view to) {
    if (!file->pathTable) return;
    auto &map = file->pathTable->map;
    HeapVector<std::pair<PathString, uint32_t>> moved;
    for (auto it = map.begin(); it != map.end();) {
        if (it->first.size() >= from.size() &&
            std::memcmp(it->first.data(), from.data(), from.size()) == 0) {
            PathString renamed = key(to);
            renamed.append(it->first.data() + from.size(), it->first.size() - from.size());
            moved.emplace_back(std::move(renamed), it->second);
            it = map.erase(it);
        } else {
            ++it;
        }
    }
    if (file->batchMode) return;
    for (auto &m : moved) map.insert_or_assign(std::move(m.first), m.second);
}

size_t pathTableSize(const Khfa_File *file) {
    return file->pathTable ? file->pathTable->map.size() : 0;
}

void entryForget(Khfa_File *file, uint32_t pos) {
    if (file->entryTable) file->entryTable->map.erase(pos);
}

size_t entryTableSize(const Khfa_File *file) {
    return file->entryTable ? file->entryTable->map.size() : 0;
}

bool entryRead(Khfa_File *file, uint32_t pos, Khfa_Entry &rec, const char *fn,
               Kerr_ErrorReport **err) {
    if (!file->batchMode && file->entryTable) {
        auto it = file->entryTable->map.find(pos);
        if (it != file->entryTable->map.end() && it->second.modTime != 0.0) {
            rec = it->second;
            return true;
        }
    }
    kr::Report e(err);
    // Position 0 and the fixed records at the start never hold an entry.
    if (pos < KHFA_HEADER_TAG_SIZE) {
        e.error(fn, 9301, "Entry position %lu is not valid", static_cast<unsigned long>(pos));
        return false;
    }
    if (!recordRead(file, pos, Record::Entry, &rec, fn, e.out())) return false;
    if (!file->batchMode) {
        tablesCreate(file);
        file->entryTable->map.insert_or_assign(pos, rec);
    }
    return true;
}

bool entryWrite(Khfa_File *file, uint32_t pos, const Khfa_Entry &rec, const char *fn,
                Kerr_ErrorReport **err) {
    if (!recordWrite(file, pos, Record::Entry, &rec, fn, err)) return false;
    if (!file->batchMode) {
        tablesCreate(file);
        file->entryTable->map.insert_or_assign(pos, rec);
    } else {
        entryForget(file, pos);  // no stale copy once the cache is back on
    }
    if (pos == file->currentEntryPos) file->currentEntry = rec;
    return true;
}

std::string_view currentPath(const Khfa_File *file) {
    if (!file->entryPath) return ":";
    return std::string_view(file->entryPath, static_cast<size_t>(file->entryPathLength));
}

std::string_view parentPath(const Khfa_File *file) {
    std::string_view p = currentPath(file);
    if (p.size() <= 1) return ":";
    const size_t cut = p.rfind(':', p.size() - 2);
    return p.substr(0, cut == std::string_view::npos ? 1 : cut + 1);
}

void pathSet(Khfa_File *file, std::string_view path) {
    const auto need = static_cast<int32_t>(path.size() + 1);
    if (!file->entryPath || need > file->entryPathCapacity) {
        int32_t cap = file->entryPathCapacity > 0 ? file->entryPathCapacity : 320;
        while (cap < need) cap *= 2;
        void *p = kmsc_HeapRealloc(file->entryPath, static_cast<size_t>(cap));
        if (!p) throw std::bad_alloc();
        file->entryPath = static_cast<char *>(p);
        file->entryPathCapacity = cap;
    }
    std::memmove(file->entryPath, path.data(), path.size());
    file->entryPath[path.size()] = '\0';
    file->entryPathLength = static_cast<int32_t>(path.size());
    int32_t depth = 0;
    for (size_t i = 1; i < path.size(); ++i)
        if (path[i] == ':') ++depth;
    file->entryPathDepth = depth;
}

PathString pathKey(std::string_view base, std::string_view path) {
    PathString out(":");
    auto add = [&out](std::string_view text) {
        size_t i = 0;
        while (i < text.size()) {
            size_t j = text.find(':', i);
            if (j == std::string_view::npos) j = text.size();
            if (j > i) {
                out.append(text.data() + i, j - i);
                out.push_back(':');
            }
            i = j + 1;
        }
    };
    if (path.empty() || path[0] != ':') add(base);
    add(path);
    return out;
}

}  // namespace kr::hfa
