// Decoding dictionary strings. One decoder reads characters through a
// callback, so strings and files share it. Hostile text ends in a report:
// counts are range-checked, nesting is limited, and the items one decoding
// may create (copies of designs referenced by name included) are bounded by
// a fixed allowance plus a small multiple of the characters read, so chains
// of designs that each use the previous one twice cost work linear in the
// text, not exponential.
#include <kraster/kfio.h>
#include <kraster/kmif.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>
#include <kraster/kthr.h>

#include <algorithm>
#include <climits>
#include <new>

#include "core/report.hpp"
#include "mif/kmif_internal.hpp"

namespace kr::mif {

namespace {

constexpr const char *kEndOfText = "Unexpected end of dictionary text";
// Longest name accepted; names are record, item and enumeration names.
constexpr size_t kMaxNameLength = 65536;

// The process-wide name buffer; it starts at 32 bytes and doubles as needed
// and is used only inside the global critical section.
char *g_nameBuffer = nullptr;
size_t g_nameCapacity = 0;

// Items any text may create, and how many more each character read allows.
constexpr int64_t kFreeItems = 4096;
constexpr int64_t kItemsPerCharacter = 4;

struct Decoder {
    Kmif_CharReader reader;
    void *context;
    NameIndex index;
    int64_t consumed = 0;  // characters read
    int64_t created = 0;   // items decoded or copied

    int get() {
        int c = reader(context);
        if (c < 0) return -1;
        ++consumed;
        return c & 0xFF;
    }
    int64_t limit() const {
        return std::min(kMaxDecodedItems, kFreeItems + kItemsPerCharacter * consumed);
    }
    int64_t budget() const { return limit() - created; }
    // Takes n items from the budget; false (with a report) when they exceed it.
    bool charge(int64_t n, const char *fn, kr::Report &e) {
        if (n <= budget()) {
            created += n;
            return true;
        }
        e.error(fn, 3535, "More than %lld items in one dictionary",
                static_cast<long long>(limit()));
        return false;
    }
};

struct CriticalSection {
    CriticalSection() { kthr_ThreadUnsafeCodeEnter(0); }
    ~CriticalSection() { kthr_ThreadUnsafeCodeExit(); }
    CriticalSection(const CriticalSection &) = delete;
    CriticalSection &operator=(const CriticalSection &) = delete;
};

// Frees a half-built item or design unless released.
template <class T, void (*Free)(T *)>
struct Owned {
    T *p = nullptr;
    ~Owned() { Free(p); }
    T *release() {
        T *r = p;
        p = nullptr;
        return r;
    }
};

bool isPrintable(int c) {
    return c >= 0x20 && c <= 0x7E;
}

// kmif_DecodeName: printable characters up to ","; returns a heap copy.
char *decodeName(Decoder &d, Kerr_ErrorReport **err) {
    static const char *const fn = "kmif_DecodeName";
    kr::Report e(err);
    CriticalSection section;
    size_t length = 0;
    for (;;) {
        if (length + 1 >= g_nameCapacity) {
            if (g_nameCapacity >= kMaxNameLength) {
                e.error(fn, 3665, "Name longer than %zu characters", kMaxNameLength);
                return nullptr;
            }
            size_t capacity = g_nameCapacity ? g_nameCapacity * 2 : 32;
            auto *grown = static_cast<char *>(kmsc_HeapRealloc(g_nameBuffer, capacity));
            if (!grown) {
                e.error(fn, 3661, "No memory");
                return nullptr;
            }
            g_nameBuffer = grown;
            g_nameCapacity = capacity;
        }
        const int c = d.get();
        if (c == ',') break;
        if (c < 0) {
            e.error(fn, 3659, "%s", kEndOfText);
            return nullptr;
        }
        if (!isPrintable(c)) {
            e.error(fn, 3658, "Non-printable character %c (0x%02lx) for name", c,
                    static_cast<long>(c));
            return nullptr;
        }
        g_nameBuffer[length++] = static_cast<char>(c);
    }
    g_nameBuffer[length] = '\0';
    char *name = kstr_DuplicateN(g_nameBuffer, length);
    if (!name) e.error(fn, 3661, "No memory");
    return name;
}

// Decimal digits up to ":" (none is 0), at most `maximum`. With
// `closeEnds`, a "}" as first character ends the item list instead.
bool decodeNumber(Decoder &d, const char *fn, const char *what, int codeBase, int64_t maximum,
                  bool closeEnds, int64_t &value, bool &closed, Kerr_ErrorReport **err) {
    kr::Report e(err);
    value = 0;
    closed = false;
    for (bool first = true;; first = false) {
        const int c = d.get();
        if (c == ':') return true;
        if (c == '}' && first && closeEnds) {
            closed = true;
            return true;
        }
        if (c >= '0' && c <= '9') {
            value = value * 10 + (c - '0');
            if (value > maximum) {
                e.error(fn, codeBase + 2, "%s larger than %lld", what,
                        static_cast<long long>(maximum));
                return false;
            }
        } else if (c < 0) {
            e.error(fn, codeBase + 1, "%s", kEndOfText);
            return false;
        } else {
            e.error(fn, codeBase, "Non-numeric character %c (0x%02lx) for %s", c,
                    static_cast<long>(c), what);
            return false;
        }
    }
}

Kmif_Design *decodeDesign(Decoder &d, int level, bool nested, bool &end, Kerr_ErrorReport **err);

// kmif_DecodeItem: one item, or `closed` when the item list ends.
Kmif_Item *decodeItem(Decoder &d, int level, LayoutState &state, bool &closed,
                      Kerr_ErrorReport **err) {
    static const char *const fn = "kmif_DecodeItem";
    kr::Report e(err);
    int64_t count;
    if (!decodeNumber(d, "kmif_DecodeCount", "count", 3727, INT32_MAX, true, count, closed,
                      e.out())) {
        e.error(fn, 3490);
        return nullptr;
    }
    if (closed || !d.charge(1, fn, e)) return nullptr;
    Owned<Kmif_Item, freeItem> item;
    if (!(item.p = newItem())) {
        e.error(fn, 3555, "No memory");
        return nullptr;
    }
    item.p->count = static_cast<int32_t>(count);

    int c = d.get();
    if (c == '*' || c == 'p') {
        item.p->indirectFlag = 1;
        item.p->countedFlag = c == 'p';
        c = d.get();
    }
    const int type = typeFromLetter(c);
    if (!type) {
        if (c < 0)
            e.error(fn, 3481, "%s", kEndOfText);
        else
            e.error(fn, 3480, "Illegal type character %c (0x%02lx)", c, static_cast<long>(c));
        return nullptr;
    }
    item.p->type = type;

    if (type == KMIF_TYPE_ENUM) {
        int64_t n;
        bool unused;
        if (!decodeNumber(d, "kmif_DecodeEnumCount", "enumeration count", 3770, UINT16_MAX, false,
                          n, unused, e.out())) {
            e.error(fn, 3500);
            return nullptr;
        }
        if (n > 0) {
            item.p->enumerationNames =
                static_cast<char **>(kmsc_HeapMalloc(sizeof(char *) * static_cast<size_t>(n)));
            if (!item.p->enumerationNames) {
                e.error(fn, 3555, "No memory");
                return nullptr;
            }
            item.p->enumerationCount = static_cast<uint16_t>(n);
        }
        for (int64_t i = 0; i < n; ++i)
            if (!(item.p->enumerationNames[i] = decodeName(d, e.out()))) {
                e.error(fn, 3505);
                return nullptr;
            }
    } else if (type == KMIF_TYPE_REFERENCE) {
        char *name = decodeName(d, e.out());
        if (!name) {
            e.error(fn, 3510);
            return nullptr;
        }
        auto found = d.index.find(name);
        const Kmif_Design *referenced = found == d.index.end() ? nullptr : found->second;
        kmsc_HeapFree(name);
        if (referenced) {
            // Charged first: the depth walk then costs no more than the copy.
            if (!d.charge(designWeight(referenced, d.budget()), fn, e)) return nullptr;
            if (level + designDepth(referenced) > kMaxNesting) {
                e.error(fn, 3530, "Designs nested more than %d deep", kMaxNesting);
                return nullptr;
            }
        }
        if (!(item.p->nestedDesign = kmif_DesignCopy(referenced, e.out()))) {
            e.error(fn, 3522, "kmif_DesignCopy failed");
            return nullptr;
        }
    } else if (type == KMIF_TYPE_NESTED || type == KMIF_TYPE_BASEDATA) {
        if (level + 1 > kMaxNesting) {
            e.error(fn, 3530, "Designs nested more than %d deep", kMaxNesting);
            return nullptr;
        }
        if (type == KMIF_TYPE_NESTED) {
            bool unused;
            if (!(item.p->nestedDesign = decodeDesign(d, level + 1, true, unused, e.out()))) {
                e.error(fn, 3515);
                return nullptr;
            }
        } else {
            Kmif_Design *baseData = baseDataDesign(e.out());
            if (!baseData) {
                e.error(fn, 3545, "KMIF_DESIGN_FETCH failed");
                return nullptr;
            }
            if (!d.charge(designWeight(baseData, INT64_MAX), fn, e)) return nullptr;
            if (!(item.p->nestedDesign = copyDesign(baseData))) {
                e.error(fn, 3555, "No memory");
                return nullptr;
            }
        }
    }
    if (!layoutItem(item.p, kNativeAbi, state)) {
        e.error(fn, 3540, "Item is too large");
        return nullptr;
    }
    if (!(item.p->name = decodeName(d, e.out()))) {
        e.error(fn, 3550);
        return nullptr;
    }
    return item.release();
}

// kmif_DecodeDesign: "{", items, "}", name, ","; or `end` at the closing ".".
Kmif_Design *decodeDesign(Decoder &d, int level, bool nested, bool &end, Kerr_ErrorReport **err) {
    static const char *const fn = "kmif_DecodeDesign";
    kr::Report e(err);
    end = false;
    const int c = d.get();
    if (c == '.' && !nested) {
        end = true;
        return nullptr;
    }
    if (c != '{') {
        if (c < 0)
            e.error(fn, 3238, "%s", kEndOfText);
        else
            e.error(fn, 3237, "Illegal object definition; start char = %c, 0x%02lx", c,
                    static_cast<long>(c));
        return nullptr;
    }
    Owned<Kmif_Design, freeDesign> design;
    if (!(design.p = newDesign())) {
        e.error(fn, 3255, "No memory");
        return nullptr;
    }
    LayoutState state;
    Kmif_Item *tail = nullptr;
    for (;;) {
        bool closed = false;
        Kmif_Item *item = decodeItem(d, level, state, closed, e.out());
        if (closed) break;
        if (!item) {
            e.error(fn, 3240);
            return nullptr;
        }
        appendItem(design.p, tail, item);
    }
    if (!finishLayout(design.p, state)) {
        e.error(fn, 3245, "Design is too large");
        return nullptr;
    }
    if (!(design.p->name = decodeName(d, e.out()))) {
        e.error(fn, 3250);
        return nullptr;
    }
    return design.release();
}

// Characters of a file handle; a read failure ends the text and is kept.
struct FileReader {
    Kfio_Fd *fd;
    Kerr_ErrorReport *failure;

    static int next(void *context) {
        auto *r = static_cast<FileReader *>(context);
        return r->failure ? -1 : kfio_Fgetc(r->fd, &r->failure);
    }
};

int stringReader(void *context) {
    auto *p = static_cast<const unsigned char **>(context);
    if (!**p) return -1;
    return *(*p)++;
}

}  // namespace

}  // namespace kr::mif

using namespace kr::mif;

extern "C" {

KRASTER_API Kmif_Dictionary *kmif_DictionaryDecode(Kmif_CharReader reader, void *context,
                                                   Kmif_Dictionary *dictionary,
                                                   Kerr_ErrorReport **err) {
    static const char *const fn = "kmif_DictionaryDecode";
    kr::Report e(err);
    if (!reader) {
        e.error(fn, 3100, "Args");
        return nullptr;
    }
    Kmif_Dictionary *created = nullptr;
    if (!dictionary && !(dictionary = created = kmif_DictionaryCreate(e.out()))) {
        e.error(fn, 3105);
        return nullptr;
    }
    try {
        Decoder d{reader, context, {}};
        indexDictionary(dictionary, d.index);
        for (bool first = true;; first = false) {
            Kerr_ErrorReport *failure = nullptr;
            bool end = false;
            Kmif_Design *design = decodeDesign(d, 1, false, end, &failure);
            if (end) break;
            // The dictionary keeps its own copy.
            Kmif_Design *added =
                design ? addDesign(dictionary, design, d.index, &failure) : nullptr;
            freeDesign(design);
            if (added) continue;
            if (first) {
                e.wrap(failure, fn, 3116, "kmif_DecodeDesign failed");
                kmif_DictionaryDestroy(created, nullptr);
                return nullptr;
            }
            // A later design only costs itself and what follows it.
            Kerr_ErrorReport *message = kerr_CreateErrorReport(fn, 3124, KERR_SEVERITY_MESSAGE,
                                                               failure, "kmif_DecodeDesign failed");
            if (!message) message = failure;
            kerr_PrintErrorReport(message, 0, 0);
            kerr_DeleteErrorReport(message);
            break;
        }
    } catch (const std::bad_alloc &) {
        kmif_DictionaryDestroy(created, nullptr);
        e.error(fn, 3110, "No memory");
        return nullptr;
    }
    return dictionary;
}

KRASTER_API Kmif_Dictionary *kmif_DictionaryDecodeFromString(const char *string,
                                                             Kerr_ErrorReport **err) {
    static const char *const fn = "kmif_DictionaryDecodeFromString";
    kr::Report e(err);
    if (!string) {
        e.error(fn, 3014, "Missing dictionary string");
        return nullptr;
    }
    auto cursor = reinterpret_cast<const unsigned char *>(string);
    Kmif_Dictionary *dictionary = kmif_DictionaryDecode(stringReader, &cursor, nullptr, e.out());
    if (!dictionary) e.error(fn, 3023, "kmif_DictionaryDecode failed");
    return dictionary;
}

KRASTER_API Kmif_Dictionary *kmif_DecodeDictionary(Kfio_Fd *fd, Kmif_Dictionary *dictionary,
                                                   Kerr_ErrorReport **err) {
    static const char *const fn = "kmif_DecodeDictionary";
    kr::Report e(err);
    if (!fd) {
        e.error(fn, 1, "Args");
        return nullptr;
    }
    FileReader reader{fd, nullptr};
    Kmif_Dictionary *result = kmif_DictionaryDecode(FileReader::next, &reader, dictionary, e.out());
    if (!result) {
        if (reader.failure) e.wrap(reader.failure, fn, 3, "Cannot read %s", fd->path);
        e.error(fn, 2, "kmif_DictionaryDecode failed");
    } else {
        kerr_DeleteErrorReport(reader.failure);
    }
    return result;
}

}  // extern "C"
