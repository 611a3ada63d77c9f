// kraster copy: copies a file through the first copier that takes it. Image
// files will get a copier of their own, tried before the HFA one; an HFA
// file is copied entry by entry into a new file without free space.
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

// A copier: 1 copied, 0 not its kind of file (try the next), -1 failed
// (reported).
using Copier = int (*)(const std::string &source, const std::string &destination);

int copyHfa(const std::string &source, const std::string &destination) {
    if (khfa_IsHFAFile(source.c_str(), nullptr) == 0) return 0;
    Kerr_ErrorReport *err = nullptr;
    if (khfa_FileCopy(source.c_str(), destination.c_str(), nullptr, &err, 0) != 0)
        return failed(err), -1;
    return 1;
}

// In the order they are tried.
const Copier kCopiers[] = {copyHfa};

int copyCommand(const std::vector<std::string> &args) {
    if (args.size() != 2) {
        fprintf(stderr, "usage: kraster copy SOURCE DESTINATION\n");
        return 2;
    }
    Kerr_ErrorReport *err = nullptr;
    if (!kint_InitToolkit(&err)) return failed(err), 1;
    for (Copier copier : kCopiers) {
        const int rc = copier(args[0], args[1]);
        if (rc > 0) return 0;
        if (rc < 0) return 1;
    }
    fprintf(stderr, "kraster copy: %s is not a file this tool can copy (an HFA file)\n",
            args[0].c_str());
    return 1;
}

}  // namespace

tool::Registrar copyCommandReg("copy", "SOURCE DESTINATION",
                               "copy an HFA file entry by entry (the copy holds no free space)",
                               copyCommand);
