// MIF objects: a subcommand that decodes one object of a design from a file
// and lists its values, and the demo section for the object encoding.
#include <kraster/kraster.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tool.hpp"

namespace {

constexpr int kShown = 8;  // values listed per item

void printHex(const unsigned char *bytes, int32_t n) {
    for (int32_t i = 0; i < n; ++i) printf("%02X%s", bytes[i], i + 1 < n ? " " : "");
    printf("\n");
}

void printObject(const unsigned char *object, const Kmif_Design *design, int indent);

void printValue(const unsigned char *p, const Kmif_Item *item) {
    switch (item->type) {
        case KMIF_TYPE_ENUM: {
            uint32_t v;
            memcpy(&v, p, 4);
            if (v < item->enumerationCount && item->enumerationNames)
                printf(" %s", item->enumerationNames[v]);
            else
                printf(" %" PRIu32, v);
            break;
        }
        case KMIF_TYPE_U1:
        case KMIF_TYPE_U2:
        case KMIF_TYPE_U4:
        case KMIF_TYPE_U8:
            printf(" %u", p[0]);
            break;
        case KMIF_TYPE_S8:
            printf(" %d", static_cast<int8_t>(p[0]));
            break;
        case KMIF_TYPE_U16: {
            uint16_t v;
            memcpy(&v, p, 2);
            printf(" %u", v);
            break;
        }
        case KMIF_TYPE_S16: {
            int16_t v;
            memcpy(&v, p, 2);
            printf(" %d", v);
            break;
        }
        case KMIF_TYPE_U32: {
            uint32_t v;
            memcpy(&v, p, 4);
            printf(" %" PRIu32, v);
            break;
        }
        case KMIF_TYPE_S32:
        case KMIF_TYPE_INT: {
            int32_t v;
            memcpy(&v, p, 4);
            printf(" %" PRId32, v);
            break;
        }
        case KMIF_TYPE_F32:
        case KMIF_TYPE_C64: {
            float v[2];
            memcpy(v, p, item->type == KMIF_TYPE_F32 ? 4 : 8);
            if (item->type == KMIF_TYPE_F32)
                printf(" %g", v[0]);
            else
                printf(" (%g, %g)", v[0], v[1]);
            break;
        }
        case KMIF_TYPE_F64:
        case KMIF_TYPE_C128: {
            double v[2];
            memcpy(v, p, item->type == KMIF_TYPE_F64 ? 8 : 16);
            if (item->type == KMIF_TYPE_F64)
                printf(" %.17g", v[0]);
            else
                printf(" (%.17g, %.17g)", v[0], v[1]);
            break;
        }
        case KMIF_TYPE_TIME: {
            int64_t v;
            memcpy(&v, p, 8);
            printf(" %" PRId64, v);
            break;
        }
        case KMIF_TYPE_BASEDATA: {
            Kgda_BaseData b;
            memcpy(&b, p, sizeof b);
            printf(" [%d x %d, type %d, object type %d]", b.numrows, b.numcolumns, b.datatype,
                   b.objecttype);
            break;
        }
        default:
            break;
    }
}

void printObject(const unsigned char *object, const Kmif_Design *design, int indent) {
    for (const Kmif_Item *item = design->itemList; item; item = item->next) {
        const unsigned char *field = object + item->hostOffset;
        const unsigned char *values = field;
        int64_t count = item->count;
        printf("%*s%s:", indent, "", item->name);
        if (item->indirectFlag) {
            const size_t at = item->countedFlag ? offsetof(Kmif_String, string) : 0;
            memcpy(&values, field + at, sizeof values);
            if (item->countedFlag) {
                int32_t n;
                memcpy(&n, field, 4);
                count = n;
            }
            if (!values) count = 0;
            printf(" (%" PRId64 " pointed to)", count);
        }
        if (item->type == KMIF_TYPE_S8 && count > 0 && memchr(values, 0, count)) {
            printf(" \"%s\"\n", reinterpret_cast<const char *>(values));
            continue;
        }
        const bool nested = item->type == KMIF_TYPE_NESTED || item->type == KMIF_TYPE_REFERENCE;
        if (nested) printf("\n");
        for (int64_t i = 0; i < count && i < kShown; ++i) {
            const unsigned char *element = values + i * item->hostElementSize;
            if (!nested) {
                printValue(element, item);
                continue;
            }
            printf("%*s[%" PRId64 "]\n", indent + 2, "", i);
            printObject(element, item->nestedDesign, indent + 4);
        }
        if (nested)
            printf("%s", count > kShown ? "    ...\n" : "");
        else
            printf("%s\n", count > kShown ? " ..." : "");
    }
}

int report(Kerr_ErrorReport *err) {
    kerr_PrintErrorReport(err, 0, 0);
    kerr_DeleteErrorReport(err);
    return 1;
}

int mifDecode(const std::vector<std::string> &args) {
    if (args.size() < 3 || args.size() > 4) {
        fprintf(stderr, "usage: kraster mif-decode DICTIONARY DESIGN FILE [OFFSET]\n");
        return 2;
    }
    kint_InitToolkit(nullptr);
    Kerr_ErrorReport *err = nullptr;
    Kmif_Dictionary *dict = kmif_DictionaryDecodeFromString(args[0].c_str(), &err);
    if (!dict) return report(err);
    const Kmif_Design *design = kmif_DictionarySearchByName(dict, args[1].c_str(), &err);
    int status = 0;
    Kfio_Fd *fd = nullptr;
    void *object = nullptr;
    if (!design) {
        fprintf(stderr, "no design %s in the dictionary\n", args[1].c_str());
        status = 1;
    } else if (!(fd = kfio_Open(args[2].c_str(), "r", &err))) {
        status = report(err);
    } else if (args.size() == 4 &&
               kfio_Seek64(fd, strtoll(args[3].c_str(), nullptr, 0), 0, &err) < 0) {
        status = report(err);
    } else {
        const int32_t n = kmif_ConvertToHost(fd, nullptr, design, &object, &err);
        if (n < 0) {
            status = report(err);
        } else {
            printf("%s, %d bytes:\n", design->name, n);
            printObject(static_cast<unsigned char *>(object), design, 2);
        }
    }
    kmif_ObjectFree(&object, design, nullptr);
    kfio_Close(fd, nullptr);
    kmif_DictionaryDestroy(dict, nullptr);
    return status;
}

int demoEncoding() {
    kint_InitToolkit(nullptr);
    Kmif_Dictionary *dict = kmif_DictionaryDecodeFromString(
        "{1:Sa,1:lb,}A,{1:e3:RED,GREEN,BLUE,colour,10:1flags,0:pcname,0:pdvalues,}Sample,.",
        nullptr);
    if (!dict) return 1;
    const Kmif_Design *a = kmif_DictionarySearchByName(dict, "A", nullptr);
    const Kmif_Design *sample = kmif_DictionarySearchByName(dict, "Sample", nullptr);

    struct {
        uint16_t a;
        int32_t b;
    } ab{0x0102, -1};
    unsigned char bytes[128];
    Kerr_ErrorReport *err = nullptr;
    int32_t n = kmif_ConvertToMIFEx(nullptr, &ab, a, bytes, sizeof bytes, 0, &err);
    if (n < 0) return report(err);
    printf("{1:Sa,1:lb,}A with a = 0x0102, b = -1: a %d-byte host record, %d bytes:\n  ",
           a->hostSize, n);
    printHex(bytes, n);

    struct {
        uint32_t colour;
        unsigned char flags[10];
        Kmif_String name;
        int32_t count;
        double *values;
    } s{2, {1, 0, 1, 1, 0, 0, 0, 0, 1, 1}, {}, 0, nullptr};
    double values[3] = {0.5, -1.0, 1e10};
    kmif_KmifStringFromString(&s.name, "demo", nullptr);
    s.count = 3;
    s.values = values;
    n = kmif_ConvertToMIFEx(nullptr, &s, sample, bytes, sizeof bytes, 0, &err);
    kmsc_HeapFree(s.name.string);
    if (n < 0) return report(err);
    printf(
        "an enumeration (2 bytes), ten 1-bit flags (2 bytes), a counted string and a counted\n"
        "array of doubles, each behind an 8-byte header of count and position: %d bytes\n  ",
        n);
    printHex(bytes, n);
    void *back = nullptr;
    if (kmif_ConvertToHostEx(nullptr, bytes, n, sample, &back, &err) != n) return report(err);
    printf("decoded again:\n");
    printObject(static_cast<unsigned char *>(back), sample, 2);
    kmif_ObjectFree(&back, sample, nullptr);

    // A truncated encoding ends in a report, not in a read past its end.
    if (kmif_ConvertToHostEx(nullptr, bytes, n - 5, sample, &back, &err) >= 0) return 1;
    printf("the same bytes without their last 5:\n");
    fflush(stdout);
    kerr_PrintErrorReport(err, 0, 0);
    kerr_DeleteErrorReport(err);
    kmif_DictionaryDestroy(dict, nullptr);
    return 0;
}

}  // namespace

tool::Registrar mifDecodeCommand("mif-decode", "DICTIONARY DESIGN FILE [OFFSET]",
                                 "decode one MIF object from a file and list its values",
                                 mifDecode);
tool::DemoRegistrar mifEncodingSection(25, "MIF object encoding", demoEncoding);
