// Demo section: an HFA file made in a temporary directory, with space
// allocated and freed and the free list shown as the library prints it.
#include <kraster/kraster.h>

#include <cstdio>
#include <string>

#include "tool.hpp"

namespace {

bool failed(Kerr_ErrorReport *err) {
    if (!err) return false;
    kerr_PrintErrorReport(err, 0, 0);
    kerr_DeleteErrorReport(err);
    return true;
}

void showFreeList(Khfa_File *file, const char *when) {
    Kerr_ErrorReport *err = nullptr;
    const int64_t free = khfa_FileFreeSpaceSize(file, &err);
    printf("%s: file %lld bytes, %lld free\n", when, static_cast<long long>(khfa_FileSize(file)),
           static_cast<long long>(free));
    fflush(stdout);
    khfa_ShowFreeSpace(file, &err);  // prints to the standard error stream
    fflush(stderr);
    failed(err);
}

int demoHfa() {
    Kerr_ErrorReport *err = nullptr;
    if (!kint_InitToolkit(&err)) return failed(err), 1;
    char *tempName = kfio_TempNameInTmpdir("kraster-demo.", &err);
    if (!tempName) return failed(err), 1;
    const std::string name = std::string(tempName) + ".hfa";
    kmsc_HeapFree(tempName);
    Khfa_File *file = khfa_FileCreate(name.c_str(), nullptr, &err);
    if (!file) return failed(err), 1;
    printf("created %s: %lld bytes (tag at 0, header at 64, root entry at 82, dictionary at 210)\n",
           name.c_str(), static_cast<long long>(khfa_FileSize(file)));

    // Five blocks side by side; freeing the second and fourth leaves two
    // holes, freeing the third between them merges all three.
    const int32_t sizes[] = {100, 200, 300, 400, 50};
    uint32_t at[5] = {};
    for (int i = 0; i < 5; ++i) {
        at[i] = khfa_NextFreePos(file, sizes[i], &err);
        if (!at[i]) return failed(err), khfa_FileClose(file, nullptr), 1;
        printf("allocated %3d bytes at %u\n", sizes[i], at[i]);
    }
    int rc = khfa_FreeSpace(file, at[1], sizes[1], &err);
    if (rc == 0) rc = khfa_FreeSpace(file, at[3], sizes[3], &err);
    if (rc != 0) return failed(err), khfa_FileClose(file, nullptr), 1;
    showFreeList(file, "after freeing the 200 and 400 byte blocks");
    if (khfa_FreeSpace(file, at[2], sizes[2], &err) != 0)
        return failed(err), khfa_FileClose(file, nullptr), 1;
    showFreeList(file, "after freeing the 300 byte block between them");
    const uint32_t reused = khfa_NextFreePos(file, 250, &err);
    if (!reused) return failed(err), khfa_FileClose(file, nullptr), 1;
    printf("250 more bytes: first fit at %u\n", reused);
    showFreeList(file, "after that");

    rc = khfa_FileClose(file, &err);
    const int32_t version = khfa_IsHFAFile(name.c_str(), nullptr);
    kfio_FileUnlink(name.c_str(), nullptr);
    if (rc != 0) return failed(err), 1;
    printf("closed; the file is an HFA file of version %d\n", version);
    return version == 1 ? 0 : 1;
}

tool::DemoRegistrar hfaSection(80, "HFA file structure", demoHfa);

}  // namespace
