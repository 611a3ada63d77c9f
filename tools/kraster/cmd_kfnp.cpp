// File and node names: the `fnp` subcommand prints the parts of file-node
// lists, and a demo section parses and composes a few names.
#include <kraster/kraster.h>

#include <cstdio>
#include <string>

#include "tool.hpp"

namespace {

std::string take(char *s) {
    std::string r = s ? s : "";
    kmsc_HeapFree(s);
    return r;
}

void printFileName(const char *name) {
    const std::string drive = take(kfnp_FileNameGet(name, KFNP_FILENAME_DRIVE, -1, nullptr));
    const std::string root = take(kfnp_FileNameGet(name, KFNP_FILENAME_ROOT, -1, nullptr));
    const std::string dir = take(kfnp_FileNameGet(name, KFNP_FILENAME_DIRECTORY, -1, nullptr));
    const std::string base = take(kfnp_FileNameGet(name, KFNP_FILENAME_COMPONENT, -1, nullptr));
    const std::string normal = take(kfnp_FileNameNormalize(name, nullptr));
    printf("    drive \"%s\", root \"%s\"%s, directory \"%s\", name \"%s\"\n", drive.c_str(),
           root.c_str(), root == kfnp_FileNameUNCRoot() && drive.empty() ? " (network)" : "",
           dir.c_str(), base.c_str());
    printf("    normalised \"%s\"\n", normal.c_str());
}

void printNodePath(int index, const char *path) {
    printf("  node path %d: %s\n", index, path);
    Kfnp_NodeNameList *names = kfnp_NodeNameParse(path, nullptr);
    if (!names) return;
    printf("    names:");
    for (int32_t i = 0; i < names->count; ++i) printf(" \"%s\"", names->names[i]);
    printf("%s\n", names->count ? "" : " (the root)");
    kfnp_FreeNodeName(names);
    const uint32_t parent = KFNP_NODEPATH_ROOT | KFNP_NODEPATH_PRECEDING;
    printf("    parent %s\n", take(kfnp_NodePathPath(path, parent, -1, nullptr)).c_str());
}

// Prints every part of a file-node list; returns 1 (after printing the
// report) when it does not parse.
int printList(const char *list) {
    Kerr_ErrorReport *err = nullptr;
    Kfnp_FileNodeList *l = kfnp_FileNodeListParse(list, &err);
    if (!l) {
        fflush(stdout);
        kerr_PrintErrorReport(err, 0, 0);
        kerr_DeleteErrorReport(err);
        return 1;
    }
    printf("%s\n", list);
    for (int32_t i = 0; i < l->itemCount; ++i) {
        const Kfnp_FileNodeListItem &it = l->items[i];
        printf("item %d\n  file name: %s\n", i, it.fileName);
        printFileName(it.fileName);
        if (it.title) printf("  title: %s\n", it.title);
        for (int32_t k = 0; k < it.nodePathCount; ++k) printNodePath(k, it.nodePaths[k]);
    }
    printf("composed: %s\n", take(kfnp_FileNodeListCompose(l, nullptr)).c_str());
    kfnp_FreeNodeList(l);
    return 0;
}

int fnp(const std::vector<std::string> &args) {
    if (args.empty()) {
        fprintf(stderr, "usage: kraster fnp LIST...\n");
        return 2;
    }
    int rc = 0;
    for (const std::string &a : args) rc |= printList(a.c_str());
    return rc;
}

int demoNames() {
    const char *list =
        "C:/data/scene\\(1\\).img(Landsat scene:Layer_1,:Layer_2\\,b),"
        "//server/share/dem.img(:Band_1),./work/../out.img";
    if (printList(list) != 0) return 1;

    Kerr_ErrorReport *err = nullptr;
    char *name = kfnp_FileNodeCreate("/tmp/a,b.img", "Title: one", ":Layer_1", &err);
    if (!name) {
        kerr_PrintErrorReport(err, 0, 0);
        kerr_DeleteErrorReport(err);
        return 1;
    }
    printf("composed from parts: %s\n", name);
    kmsc_HeapFree(name);

    // A node list entry that is not a full node path, as the toolkit reports it.
    const char *bad = "f.img(:a,b)";
    Kfnp_FileNodeList *l = kfnp_FileNodeListParse(bad, &err);
    if (l || !err) {
        kfnp_FreeNodeList(l);
        kerr_DeleteErrorReport(err);
        return 1;
    }
    fflush(stdout);
    fprintf(stderr, "parsing %s (stderr):\n", bad);
    kerr_PrintErrorReport(err, 0, 0);
    kerr_DeleteErrorReport(err);
    return 0;
}

tool::Registrar fnpCommand("fnp", "LIST...", "print the parts of file-node lists", fnp);
tool::DemoRegistrar namesSection(50, "file and node names", demoNames);

}  // namespace
