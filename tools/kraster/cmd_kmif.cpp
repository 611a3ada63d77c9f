// MIF dictionaries: a subcommand that decodes a dictionary string and shows
// its designs with both host layouts, and the demo section.
#include <kraster/kraster.h>

#include <cstdio>
#include <string>

#include "tool.hpp"

namespace {

const char kLetters[] = "?xoe124CcSsLlfdmMbti";

void showDesign(const Kmif_Design *d) {
    // The same design laid out for the classic 32-bit platform.
    Kmif_Design *ilp32 = kmif_DesignCopy(d, nullptr);
    if (ilp32 && kmif_DesignLayout(ilp32, KMIF_HOST_ILP32, nullptr) != 0) {
        kmif_DesignDestroy(ilp32, nullptr);
        ilp32 = nullptr;
    }
    printf("  %s: file %d bytes, host %d bytes (align %d)", d->name, d->fileSize, d->hostSize,
           d->alignment);
    if (ilp32) printf(", 32-bit host %d bytes (align %d)", ilp32->hostSize, ilp32->alignment);
    printf("\n");
    const Kmif_Item *i32 = ilp32 ? ilp32->itemList : nullptr;
    for (const Kmif_Item *i = d->itemList; i; i = i->next, i32 = i32 ? i32->next : nullptr) {
        const char letter =
            i->type >= KMIF_TYPE_FIRST && i->type <= KMIF_TYPE_LAST ? kLetters[i->type] : '?';
        printf("    %-12s %d:%s%c  offset %3d size %3d", i->name, i->count,
               i->countedFlag    ? "p"
               : i->indirectFlag ? "*"
                                 : "",
               letter, i->hostOffset, i->hostSize);
        if (i32) printf("  (32-bit %3d size %3d)", i32->hostOffset, i32->hostSize);
        printf("  file %d\n", i->fileSize);
    }
    kmif_DesignDestroy(ilp32, nullptr);
}

int showDictionary(const char *text) {
    Kerr_ErrorReport *err = nullptr;
    Kmif_Dictionary *dict = kmif_DictionaryDecodeFromString(text, &err);
    if (!dict) {
        kerr_PrintErrorReport(err, 0, 0);
        kerr_DeleteErrorReport(err);
        return 1;
    }
    for (const Kmif_Design *d = dict->firstDesign; d; d = d->next) showDesign(d);
    char *written = kmif_DictionaryEncodeToString(dict, &err);
    if (written) printf("  written again: %s\n", written);
    kmsc_HeapFree(written);
    kmif_DictionaryDestroy(dict, nullptr);
    if (err) {
        kerr_PrintErrorReport(err, 0, 0);
        kerr_DeleteErrorReport(err);
        return 1;
    }
    return 0;
}

int mifDictionary(const std::vector<std::string> &args) {
    if (args.size() != 1) {
        fprintf(stderr, "usage: kraster mif-dictionary STRING\n");
        return 2;
    }
    kint_InitToolkit(nullptr);
    return showDictionary(args[0].c_str());
}

int demoMif() {
    kint_InitToolkit(nullptr);
    printf("the identity transform's dictionary string:\n");
    if (showDictionary(KMIF_KXFR_IDENTITY_DICTIONARY)) return 1;
    printf(
        "a record with a double, a character, a counted string and a generic data object;\n"
        "nested designs are written in place and again on their own:\n");
    if (showDictionary("{1:dx,1:cy,0:pcname,1:bdata,}Sample,.")) return 1;

    // Malformed text ends in a report.
    Kerr_ErrorReport *err = nullptr;
    Kmif_Dictionary *bad = kmif_DictionaryDecodeFromString("{1a:lx,}A,.", &err);
    if (bad || !err) return 1;
    const Kerr_ErrorReport *inner = err;
    while (inner->next) inner = inner->next;
    printf("\"{1a:lx,}A,.\" is refused: %s\n", inner->message);
    kerr_DeleteErrorReport(err);
    return 0;
}

tool::Registrar mifDictionaryCommand("mif-dictionary", "STRING",
                                     "decode a MIF dictionary string and show its layouts",
                                     mifDictionary);
tool::DemoRegistrar mifSection(20, "MIF dictionaries and designs", demoMif);

}  // namespace
