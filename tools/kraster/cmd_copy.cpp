// kraster copy: copies a file through the first copier that takes it. An
// image (a file a raster format plug-in serves, with layers) is copied with
// its support files, into another format when the destination's extension
// or --format names one, with a progress bar, and Ctrl-C leaves no
// destination; any other HFA file is copied entry by entry into a new file
// without free space.
#include <kraster/kraster.h>

#include <cstdio>
#include <string>

#include "cli.hpp"
#include "tool.hpp"

namespace {

constexpr const char *kUsageText =
    "SOURCE DESTINATION [--format TITLE] [--compression NAME] [-q|--progress]";

struct Request {
    std::string source, destination, format, compression;
    const tool::Args *args;
};

// A copier: 1 copied, 0 not its kind of file (try the next), -1 failed
// (reported).
using Copier = int (*)(const Request &r);

bool isImage(const std::string &name) {
    char *title = kimg_FileTitleIdentify(name.c_str(), nullptr);
    if (!title) return false;
    kmsc_HeapFree(title);
    long count = 0;
    char **names = nullptr;
    if (kimg_LayerGetNames(name.c_str(), &count, &names, nullptr) != 0) return false;
    for (long i = 0; i < count; ++i) kmsc_HeapFree(names[i]);
    kmsc_HeapFree(names);
    kimg_FileNameDequeue(name.c_str(), nullptr);
    return count > 0;
}

int copyImage(const Request &r) {
    if (!isImage(r.source)) return 0;
    Kerr_ErrorReport *err = nullptr;
    tool::Progress progress(r.destination, *r.args);
    // An empty compression or title is a null one: the copy's own choice.
    const char *compression = r.compression.empty() ? nullptr : r.compression.c_str();
    const char *title = r.format.empty() ? nullptr : r.format.c_str();
    const int rc =
        kimg_FileCopy(r.source.c_str(), r.destination.c_str(), &err, KIMG_FILE_COPY_OPTION_METER,
                      progress.meter(), KIMG_FILE_COPY_OPTION_COMPRESSION_TYPE_NAME, compression,
                      KIMG_FILE_COPY_OPTION_TITLE, title, 0);
    // Closes what the close queue still holds open.
    kimg_FileNameDequeue(r.source.c_str(), nullptr);
    kimg_FileNameDequeue(r.destination.c_str(), nullptr);
    if (rc != 0) return tool::failed("copy", "copying " + r.source, err), -1;
    return 1;
}

int copyHfa(const Request &r) {
    if (khfa_IsHFAFile(r.source.c_str(), nullptr) == 0) return 0;
    if (!r.format.empty() || !r.compression.empty()) {
        fprintf(stderr,
                "kraster copy: %s is not an image: --format and --compression apply to "
                "images only\n",
                r.source.c_str());
        return -1;
    }
    Kerr_ErrorReport *err = nullptr;
    if (khfa_FileCopy(r.source.c_str(), r.destination.c_str(), nullptr, &err, 0) != 0)
        return tool::failed("copy", "copying " + r.source, err), -1;
    return 1;
}

// In the order they are tried.
const Copier kCopiers[] = {copyImage, copyHfa};

int copyCommand(const std::vector<std::string> &argv) {
    const tool::Args a(argv, {"--format", "--compression"}, {});
    if (!a.ok()) return tool::usageError("copy", kUsageText, a.error());
    if (a.positional().size() != 2)
        return tool::usageError("copy", kUsageText, "a source and a destination are needed");
    Request r{a.positional()[0], a.positional()[1], a.value("--format"), a.value("--compression"),
              &a};
    Kerr_ErrorReport *err = nullptr;
    if (!kint_InitToolkit(&err)) return tool::failed("copy", "kint_InitToolkit", err);
    if (kfio_FileNameExistAsFileOrDir(r.source.c_str(), nullptr) <= 0) {
        fprintf(stderr, "kraster copy: %s: No such file\n", r.source.c_str());
        return tool::kFailed;
    }
    for (Copier copier : kCopiers) {
        const int rc = copier(r);
        if (rc > 0) return tool::kOk;
        if (rc < 0) return tool::kFailed;
    }
    fprintf(stderr, "kraster copy: %s is neither an image nor an HFA file\n", r.source.c_str());
    return tool::kFailed;
}

}  // namespace

tool::Registrar copyCommandReg(
    "copy", kUsageText, "copy an image (between formats) or an HFA file (without free space)",
    copyCommand);
