// The smallest raster format plug-in that opens files for real: a file
// starting with "BNCH" is its format, and a handle is an open descriptor.
#include <kraster/kimgrf.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
const char *g_titles[] = {"Bench Raster"};
const char *g_templates[] = {"*.bnc"};
const char *g_magic[] = {"0 string BNCH"};

bool ours(const char *name) {
    char head[4] = {};
    int d = open(name, O_RDONLY);
    bool yes = d >= 0 && read(d, head, 4) == 4 && std::memcmp(head, "BNCH", 4) == 0;
    if (d >= 0) close(d);
    return yes;
}
void *openFd(const char *name, const char *mode) {
    int d = open(name, std::strcmp(mode, "r") == 0 ? O_RDONLY : O_RDWR);
    if (d < 0) return nullptr;
    return reinterpret_cast<void *>(static_cast<intptr_t>(d) + 1);
}
}  // namespace

extern "C" {
KIMG_RF_EXPORT long InstanceTitleListGet(long *n, char ***s) {
    *n = 1;
    *s = const_cast<char **>(g_titles);
    return 0;
}
KIMG_RF_EXPORT long InstanceTemplateListGet(long *n, char ***s) {
    *n = 1;
    *s = const_cast<char **>(g_templates);
    return 0;
}
KIMG_RF_EXPORT long InstanceMagicListGet(long *n, char ***s) {
    *n = 1;
    *s = const_cast<char **>(g_magic);
    return 0;
}
KIMG_RF_EXPORT long FileTitleIdentify(const char *name, long *title, Kerr_ErrorReport **) {
    return *title = ours(name) ? 0 : -1;
}
KIMG_RF_EXPORT void *FileTitleIdentifyAndOpen(const char *name, long *title, const char *mode,
                                              Kerr_ErrorReport **) {
    *title = ours(name) ? 0 : -1;
    return *title < 0 || !mode ? nullptr : openFd(name, mode);
}
KIMG_RF_EXPORT void *FileOpen(const char *name, long, const char *mode, Kerr_ErrorReport **) {
    return openFd(name, mode);
}
KIMG_RF_EXPORT long FileClose(void *h, Kerr_ErrorReport **) {
    return close(static_cast<int>(reinterpret_cast<intptr_t>(h) - 1));
}
KIMG_RF_EXPORT long FileLayerNamesGet(void *, long *n, char ***s, Kerr_ErrorReport **) {
    *n = 0;
    *s = nullptr;
    return 0;
}
KIMG_RF_EXPORT void *LayerOpen(void *, const char *, long *, long *, long *, long *, long *, long *,
                               long *, Kerr_ErrorReport **) {
    errno = ENOENT;
    return nullptr;
}
KIMG_RF_EXPORT long LayerRasterRead(void *, long, long, void *, Kerr_ErrorReport **) {
    return -1;
}
}
