// khfa_ListFile: the entry tree of a file with types, modification times and
// the values of every stored object.
#include <kraster/kgda.h>
#include <kraster/kmsc.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "hfa/khfa_tree.hpp"

using namespace kr::hfa;

namespace {

// Host objects nest at most this deep in a listing (recursive designs).
constexpr int kMaxNesting = 32;

void printElement(FILE *out, const std::string &indent, const std::string &name, long i, int type,
                  const unsigned char *p) {
    const char *n = name.c_str();
    const char *in = indent.c_str();
    auto integer = [&](long long v) {
        fprintf(out, "%s%s[%ld] = %d\n", in, n, i, static_cast<int>(v));
    };
    auto real = [&](double v) { fprintf(out, "%s%s[%ld] = %f\n", in, n, i, v); };
    switch (type) {
        case KMIF_TYPE_U1:
        case KMIF_TYPE_U2:
        case KMIF_TYPE_U4:
        case KMIF_TYPE_U8:
            integer(*p);
            break;
        case KMIF_TYPE_S8:
            integer(static_cast<signed char>(*p));
            break;
        case KMIF_TYPE_U16: {
            uint16_t v;
            std::memcpy(&v, p, 2);
            integer(v);
            break;
        }
        case KMIF_TYPE_S16: {
            int16_t v;
            std::memcpy(&v, p, 2);
            integer(v);
            break;
        }
        case KMIF_TYPE_U32: {
            uint32_t v;
            std::memcpy(&v, p, 4);
            integer(v);
            break;
        }
        case KMIF_TYPE_S32:
        case KMIF_TYPE_INT:
        case KMIF_TYPE_ENUM: {
            int32_t v;
            std::memcpy(&v, p, 4);
            integer(v);
            break;
        }
        case KMIF_TYPE_F32: {
            float v;
            std::memcpy(&v, p, 4);
            real(v);
            break;
        }
        case KMIF_TYPE_F64:
        case KMIF_TYPE_TIME: {
            double v;
            std::memcpy(&v, p, 8);
            real(v);
            break;
        }
        case KMIF_TYPE_C64: {
            float v[2];
            std::memcpy(v, p, 8);
            fprintf(out,
                    "%s%s[%ld] = (%f"
                    ",%f)\n",
                    in, n, i, v[0], v[1]);
            break;
        }
        case KMIF_TYPE_C128: {
            double v[2];
            std::memcpy(v, p, 16);
            fprintf(out,
                    "%s%s[%ld] = (%f"
                    ",%f)\n",
                    in, n, i, v[0], v[1]);
            break;
        }
        default:
            break;
    }
}

// The elements of a BaseData, addressed as the BaseData module lays them out.
void printBaseData(FILE *out, const std::string &indent, const std::string &name,
                   const Kgda_BaseData *b) {
    fprintf(out, "%s%s: %d x %d\n", indent.c_str(), name.c_str(), b->numrows, b->numcolumns);
    if (!b->windowStart || b->numrows <= 0 || b->numcolumns <= 0) return;
    static const int kItemType[] = {KMIF_TYPE_U1,  KMIF_TYPE_U2,  KMIF_TYPE_U4,  KMIF_TYPE_U8,
                                    KMIF_TYPE_S8,  KMIF_TYPE_U16, KMIF_TYPE_S16, KMIF_TYPE_U32,
                                    KMIF_TYPE_S32, KMIF_TYPE_F32, KMIF_TYPE_F64, KMIF_TYPE_C64,
                                    KMIF_TYPE_C128};
    if (b->datatype < 0 || b->datatype > KGDA_TYPE_C128) return;
    const bool matrix = b->objecttype == KGDA_MATRIX_OBJECT;
    long index = 0;
    for (int32_t r = 0; r < b->numrows; ++r)
        for (int32_t c = 0; c < b->numcolumns; ++c) {
            const unsigned char *p =
                b->windowStart + (matrix ? static_cast<int64_t>(c) * b->pitch + r * b->numbytes
                                         : static_cast<int64_t>(r) * b->pitch + c * b->numbytes);
            printElement(out, indent, name, index++, kItemType[b->datatype], p);
        }
}

void printObject(FILE *out, const std::string &indent, const std::string &prefix,
                 const unsigned char *object, const Kmif_Design *design, int depth) {
    if (!object || depth > kMaxNesting) return;
    for (const Kmif_Item *item = design->itemList; item; item = item->next) {
        const std::string name = prefix + (item->name ? item->name : "");
        const unsigned char *at = object + item->hostOffset;
        long count = item->count;
        const unsigned char *elements = at;
        if (item->indirectFlag) {
            if (item->countedFlag) {
                int32_t c = 0;
                std::memcpy(&c, at, sizeof c);
                count = c;
                at += 8;
            }
            std::memcpy(&elements, at, sizeof elements);
            if (!elements) count = 0;
        }
        const long size = item->hostElementSize;
        if (item->type == KMIF_TYPE_S8) {
            std::string text;
            for (long i = 0; i < count && elements[i]; ++i)
                text.push_back(static_cast<char>(elements[i]));
            fprintf(out, "%s%s[%ld] = \"%s\"\n", indent.c_str(), name.c_str(), 0L, text.c_str());
            continue;
        }
        for (long i = 0; i < count; ++i) {
            const unsigned char *p = elements + i * size;
            switch (item->type) {
                case KMIF_TYPE_NESTED:
                case KMIF_TYPE_REFERENCE:
                    if (item->nestedDesign)
                        printObject(out, indent, name + "[" + std::to_string(i) + "].", p,
                                    item->nestedDesign, depth + 1);
                    break;
                case KMIF_TYPE_BASEDATA:
                    printBaseData(out, indent, name, reinterpret_cast<const Kgda_BaseData *>(p));
                    break;
                default:
                    printElement(out, indent, name, i, item->type, p);
            }
        }
    }
}

bool listEntry(Khfa_File *file, FILE *out, int depth, kr::Report &e) {
    static const char *const fn = "khfa_ListFile";
    const Khfa_Entry rec = file->currentEntry;
    const std::string indent(static_cast<size_t>(2 * depth), ' ');
    char when[64] = "unknown";
    // Times read from a file may be anything: only a plausible one is shown.
    const bool plausible = rec.modTime > 0 && rec.modTime < 1e12;
    const auto secs = plausible ? static_cast<time_t>(rec.modTime) : 0;
    tm t{};
    if (plausible && gmtime_r(&secs, &t)) strftime(when, sizeof when, "%a %b %d %H:%M:%S %Y", &t);
    fprintf(out, "%s%s (last modified %s)\n", indent.c_str(), rec.name, when);
    fprintf(out, "%s  (%s Object)\n", indent.c_str(), rec.type);
    if (rec.data == 0 || rec.dataSize <= 0 || !rec.type[0]) return true;
    const Kmif_Design *design = kmif_DictionarySearchByName(file->dictionary, rec.type, nullptr);
    if (!design) {
        fprintf(out, "%s  %ld bytes of unknown design\n", indent.c_str(),
                static_cast<long>(rec.dataSize));
        return true;
    }
    void *object = nullptr;
    if (khfa_FileHostDataRead(file, rec.data, design, rec.dataSize, &object, e.out()) < 0) {
        // A damaged object is shown as such; the listing goes on.
        kr::warn(e.get(), fn, 2, "Cannot read the object of %s", rec.name);
        *e.out() = nullptr;
        return true;
    }
    printObject(out, indent + "    ", "", static_cast<const unsigned char *>(object), design, 0);
    kmif_ObjectFree(&object, design, nullptr);
    return true;
}

}  // namespace

extern "C" int khfa_ListFile(Khfa_File *file, const char *startPath, FILE *stream,
                             Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_ListFile";
    kr::Report e(err);
    Operation op(file, fn, e.out());
    if (!op.ok()) return -1;
    FILE *out = stream ? stream : stdout;
    try {
        const PathString saved(currentPath(file));
        const char *start = startPath ? startPath : ":";
        if (!seek(file, KHFA_SEEK_PATH, start, e)) {
            e.error(fn, 1, "Could not find starting node \"%s\"", start);
            return -1;
        }
        int64_t depth = 0;
        bool ok = listEntry(file, out, 0, e);
        for (int64_t n = 2 * visitCap(file); ok && n > 0; --n) {
            const bool moved = stepPreOrder(file, depth, e);
            if (e.failed()) {
                ok = false;
                break;
            }
            if (!moved) break;
            ok = listEntry(file, out, static_cast<int>(depth), e);
        }
        fflush(out);
        kr::Report r(nullptr);
        const PathString back = saved.size() > 1 ? saved.substr(0, saved.size() - 1) : saved;
        seek(file, KHFA_SEEK_PATH, back.c_str(), r);
        if (!ok) e.error(fn, 3, "EntrySeek fail");
        return ok ? 0 : -1;
    } catch (const std::bad_alloc &) {
        e.error(fn, 4, "No memory");
        return -1;
    }
}
