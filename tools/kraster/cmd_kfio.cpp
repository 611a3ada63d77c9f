// File access: a `which` subcommand and a demo section showing the buffered
// handle at work.
#include <kraster/kraster.h>

#include <cstdio>
#include <string>

#include "tool.hpp"

namespace {

long osCalls() {
    long n = 0;
    for (int kind = 0; kind < KFIO_OSCALL_KINDS; ++kind) n += kfio_OsCallCount(kind);
    return n;
}

int which(const std::vector<std::string> &args) {
    if (args.size() != 2) {
        fprintf(stderr, "usage: kraster which NAME \"DIR;DIR...\"\n");
        return 2;
    }
    Kerr_ErrorReport *err = nullptr;
    Kfio_SearchList *list = kfio_CreateSLFromString(nullptr, args[1].c_str(), &err);
    char *found = err ? nullptr : kfio_Which(list, args[0].c_str(), &err);
    kfio_FreeSL(list);
    if (err) {
        kerr_PrintErrorReport(err, 0, 0);
        kerr_DeleteErrorReport(err);
        return 1;
    }
    printf("%s\n", found ? found : "(not found)");
    int rc = found ? 0 : 1;
    kmsc_HeapFree(found);
    return rc;
}

int demoFileAccess() {
    Kerr_ErrorReport *err = nullptr;
    char *name = kfio_TempNameInTmpdir("kraster-demo.", &err);
    Kfio_Fd *fd = name ? kfio_Open(name, "w+", &err) : nullptr;
    if (!fd) {
        kerr_PrintErrorReport(err, 0, 0);
        kerr_DeleteErrorReport(err);
        kmsc_HeapFree(name);
        return 1;
    }
    printf("temporary file: %s\n", name);
    long before = osCalls();
    for (int i = 0; i < 1000; ++i) kfio_Fprintf(fd, nullptr, "line %04d\n", i);
    printf("1000 formatted lines (%lld bytes) written with %ld system calls\n",
           static_cast<long long>(kfio_Tell64(fd, nullptr)), osCalls() - before);
    kfio_Flush(fd, nullptr);
    kfio_Seek(fd, 0, 0, nullptr);
    char line[32];
    kfio_Fgets(line, sizeof line, fd, nullptr);
    before = osCalls();
    kfio_Seek(fd, 500 * 10, 0, nullptr);
    kfio_Fgets(line, sizeof line, fd, nullptr);
    printf("seek back inside the buffer and read \"%.9s\": %ld system calls; buffer %d bytes\n",
           line, osCalls() - before, fd->bufferCapacity);
    int rc = kfio_Close(fd, &err);
    kfio_FileUnlink(name, nullptr);
    kmsc_HeapFree(name);
    if (rc != 0) {
        kerr_PrintErrorReport(err, 0, 0);
        kerr_DeleteErrorReport(err);
        return 1;
    }
    return 0;
}

tool::Registrar whichCommand("which", "NAME \"DIR;DIR...\"",
                             "find a file as the library's search lists do", which);
tool::DemoRegistrar fileAccessSection(15, "file access", demoFileAccess);

}  // namespace
