// The native image format plug-in: the entry points of the raster format
// contract (kimgrf.h) over the format code of image.cpp. Its one title,
// "MIRAVEN Image", covers images (*.img), pyramid files (*.rrd) and support
// files (*.aux): they are one HFA-based format, recognised by content.
#include <kraster/khfa.h>
#include <kraster/kimgrf.h>
#include <kraster/kmif.h>
#include <kraster/kmsc.h>
#include <kraster/kpxm.h>
#include <kraster/kstr.h>
#include <kraster/kthr.h>

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

#include "codec.hpp"
#include "image.hpp"

using namespace miraven;

namespace {

// One title serves images, ".rrd" pyramid files and ".aux" support files
// alike, so that a file keeps one identification whichever way it is
// reached (by template, by content, or by the title the caller names).
const char *const kTitles[] = {KIMG_RF_NATIVE_TITLE};
const char *const kTemplates[] = {"*.img"};
const char *const kShortNames[] = {"MIRAVEN"};
const char *const kExtensions[] = {".img"};
const char *const kMagic[] = {"0 string KHFA_HEADER_TAG"};
long kDirFlags[] = {0};
long kFilterFlags[] = {1};
long kCreatableFlags[] = {1};
constexpr long kTitleCount = 1;
const char *const kLayerTypes[] = {"thematic", "athematic", "fft"};
const char *const kPixelTypes[] = {"u1",  "u2",  "u4",  "u8",  "s8",  "u16", "s16",
                                   "u32", "s32", "f32", "f64", "c64", "c128"};
const char *const kOrders[] = {"BSQ"};
long kOrderWritable[] = {1};
constexpr int32_t kDefaultBlock = 64;

struct FileHandle {
    std::shared_ptr<Image> image;
    bool writable;
    long title;
};

struct LayerHandle {
    std::shared_ptr<Image> image;
    Layer *layer;
    bool writable;  // opened through a handle of mode "r+b" or "w+b"
};

// The thread-unsafe section (when hfa) and then the image's mutex.
class Guard {
  public:
    Guard(Image &image, bool hfa) : image_(image), hfa_(hfa) {
        if (hfa_) kthr_ThreadUnsafeCodeEnter(0);
        image_.mutex().lock();
    }
    ~Guard() {
        image_.mutex().unlock();
        if (hfa_) kthr_ThreadUnsafeCodeExit();
    }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;

  private:
    Image &image_;
    bool hfa_;
};

struct Section {
    Section() { kthr_ThreadUnsafeCodeEnter(0); }
    ~Section() { kthr_ThreadUnsafeCodeExit(); }
};

// The report slot of an entry: the caller's (cleared on entry, as every
// fallible call does), or a local one whose chain is dropped on return.
struct ErrSlot {
    Kerr_ErrorReport *local = nullptr;
    Kerr_ErrorReport **slot;
    explicit ErrSlot(Kerr_ErrorReport **err) : slot(err ? err : &local) { *slot = nullptr; }
    ~ErrSlot() { kerr_DeleteErrorReport(local); }
    ErrSlot(const ErrSlot &) = delete;
    ErrSlot &operator=(const ErrSlot &) = delete;
};
#define REPORT_SLOT(err) \
    ErrSlot slot_(err);  \
    err = slot_.slot

// Failure return: a report (when a format is given) and errno.
long failed(Kerr_ErrorReport **err, int errnum, const char *fn, int code, const char *format, ...)
    __attribute__((format(printf, 5, 6)));
long failed(Kerr_ErrorReport **err, int errnum, const char *fn, int code, const char *format, ...) {
    if (format && err) {
        va_list ap;
        va_start(ap, format);
        *err = kerr_CreateErrorReportV(fn, code, KERR_SEVERITY_ERROR, *err, format, ap);
        va_end(ap);
    }
    errno = errnum;
    return -1;
}

// A failure whose report a callee already left: wrapped, errno set.
long wrapped(Kerr_ErrorReport **err, int errnum, const char *fn, int code) {
    if (err) *err = kerr_CreateErrorReport(fn, code, KERR_SEVERITY_ERROR, *err, nullptr);
    errno = errnum;
    return -1;
}

long list(long *count, char ***names, const char *const *table, long n) {
    if (!count || !names) {
        errno = EINVAL;
        return -1;
    }
    *count = n;
    *names = const_cast<char **>(table);
    return 0;
}

long flags(long *count, long **out, long *table, long n) {
    if (!count || !out) {
        errno = EINVAL;
        return -1;
    }
    *count = n;
    *out = table;
    return 0;
}

// 0 when the file starts with the HFA header tag, else an errno value.
int probe(const char *name) {
    const int fd = ::open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? KIMG_RF_STATUS_NO_SUCH_FILE : errno;
    char tag[16] = {};
    const ssize_t r = read(fd, tag, sizeof tag);
    ::close(fd);
    return r == 16 && memcmp(tag, KHFA_HEADER_TAG, 16) == 0 ? 0 : KIMG_RF_STATUS_UNRECOGNIZED;
}

bool validMode(const char *mode) {
    return mode && (!strcmp(mode, KIMG_RF_MODE_READ) || !strcmp(mode, KIMG_RF_MODE_UPDATE) ||
                    !strcmp(mode, KIMG_RF_MODE_CREATE));
}

void *openHandle(const char *fn, const char *name, long title, const char *mode,
                 Kerr_ErrorReport **err) {
    std::shared_ptr<Image> image;
    {
        Section section;
        image = Image::open(name, mode, err);
    }
    if (!image) {
        const int e = access(name, F_OK) != 0 && strcmp(mode, KIMG_RF_MODE_CREATE) != 0
                          ? KIMG_RF_STATUS_NO_SUCH_FILE
                      : access(name, strcmp(mode, KIMG_RF_MODE_READ) ? R_OK | W_OK : R_OK) != 0
                          ? KIMG_RF_STATUS_PERMISSION_DENIED
                          : EIO;
        wrapped(err, e, fn, 1);
        return nullptr;
    }
    auto *h = new (std::nothrow)
        FileHandle{std::move(image), strcmp(mode, KIMG_RF_MODE_READ) != 0, title};
    if (!h) failed(err, ENOMEM, fn, 2, "No memory");
    return h;
}

// Layer name from a node path (":Layer_1" or "Layer_1").
std::string layerName(const char *path) {
    if (!path) return std::string();
    return std::string(path[0] == ':' ? path + 1 : path);
}

bool validPath(const char *path) {
    return path && path[0] == ':' && path[1] != '\0' && path[strlen(path) - 1] != ':';
}

// Entries of these types are the format's own and not auxiliary objects.
bool reservedType(const char *type) {
    return !strcmp(type, kLayerType) || !strcmp(type, "Kimg_BlockTable") ||
           !strcmp(type, "Kimg_BlockDataFile");
}

// Makes every missing ancestor of path an entry of type Kimg_Node. Inside
// the section.
int ensureParents(Khfa_File *hfa, const std::string &path, Kerr_ErrorReport **err) {
    size_t at = 1;
    while (true) {
        const size_t colon = path.find(':', at);
        if (colon == std::string::npos) return 0;
        const std::string prefix = path.substr(0, colon);
        if (!khfa_EntryPeek(hfa, KHFA_SEEK_PATH, prefix.c_str(), nullptr)) {
            const size_t up = prefix.rfind(':');
            const std::string parent = up == 0 ? ":" : prefix.substr(0, up);
            if (!khfa_EntrySeek(hfa, KHFA_SEEK_PATH, parent.c_str(), err) ||
                !khfa_EntryWrite(hfa, KHFA_WRITE_LAST_CHILD, prefix.c_str() + up + 1, kNodeType,
                                 err))
                return -1;
        }
        at = colon + 1;
    }
}

// Stores a text object (design Kimg_Text) at path, or removes it for NULL.
int textWrite(Khfa_File *hfa, const std::string &path, const char *text, Kerr_ErrorReport **err) {
    const bool exists = khfa_EntryPeek(hfa, KHFA_SEEK_PATH, path.c_str(), nullptr) != nullptr;
    if (!text)
        return exists ? khfa_ObjectDelete(hfa, path.c_str(), nullptr, KHFA_SEEK_PATH, err) : 0;
    Kmif_String s{static_cast<int32_t>(strlen(text) + 1), const_cast<char *>(text)};
    if (exists)
        return khfa_ObjectWrite(hfa, path.c_str(), nullptr, "Kimg_Text", KHFA_WRITE_CURRENT, &s,
                                designs(nullptr)->text, err);
    if (ensureParents(hfa, path, err) != 0) return -1;
    const size_t up = path.rfind(':');
    const std::string parent = up == 0 ? ":" : path.substr(0, up);
    return khfa_ObjectWrite(hfa, parent.c_str(), path.c_str() + up + 1, "Kimg_Text",
                            KHFA_WRITE_LAST_CHILD, &s, designs(nullptr)->text, err);
}

// 1 with *text (heap string) when present, 0 when missing, -1 on failure.
int textRead(Khfa_File *hfa, const std::string &path, char **text, Kerr_ErrorReport **err) {
    Kmif_String s{};
    void *obj = &s;
    const int found = khfa_ObjectReadIfPresent(hfa, path.c_str(), nullptr, KHFA_SEEK_PATH, &obj,
                                               designs(nullptr)->text, err);
    if (found <= 0) return found;
    *text = kmif_KmifStringToString(&s, nullptr);
    kmsc_HeapFree(s.string);
    return *text ? 1 : -1;
}

char **heapList(const std::vector<std::string> &names, bool colon) {
    if (names.empty()) return nullptr;
    auto **out = static_cast<char **>(kmsc_HeapMalloc(names.size() * sizeof(char *)));
    if (!out) return nullptr;
    for (size_t i = 0; i < names.size(); ++i) {
        out[i] = kstr_Duplicate(((colon ? ":" : "") + names[i]).c_str());
        if (!out[i]) {
            for (size_t k = 0; k < i; ++k) kmsc_HeapFree(out[k]);
            kmsc_HeapFree(out);
            return nullptr;
        }
    }
    return out;
}

// The dictionary text of a design with the designs it uses ("" on failure).
std::string designText(const Kmif_Design *design) {
    Kmif_Dictionary *one = kmif_DictionaryCreate(nullptr);
    char *text = one && kmif_DictionaryAddDesign(one, design, nullptr)
                     ? kmif_DictionaryEncodeToString(one, nullptr)
                     : nullptr;
    std::string out = text ? text : "";
    kmsc_HeapFree(text);
    kmif_DictionaryDelete(one, nullptr);
    return out;
}

// Byte copy of a file that keeps holes as holes.
int copySparse(const std::string &from, const std::string &to) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return -1;
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (out < 0) {
        ::close(in);
        return -1;
    }
    struct stat st {};
    int rc = fstat(in, &st);
    std::vector<char> buffer(1 << 20);
    off_t at = 0;
    while (rc == 0 && at < st.st_size) {
        off_t data = lseek(in, at, SEEK_DATA);
        if (data < 0) break;  // only a hole remains
        off_t hole = lseek(in, data, SEEK_HOLE);
        if (hole < 0) hole = st.st_size;
        for (off_t p = data; p < hole && rc == 0;) {
            const ssize_t r = pread(in, buffer.data(),
                                    static_cast<size_t>(std::min<off_t>(hole - p, 1 << 20)), p);
            if (r <= 0 || pwrite(out, buffer.data(), static_cast<size_t>(r), p) != r) rc = -1;
            p += r > 0 ? r : 0;
        }
        at = hole;
    }
    if (rc == 0 && ftruncate(out, st.st_size) != 0) rc = -1;
    ::close(in);
    if (::close(out) != 0) rc = -1;
    return rc;
}

// The companion file of an image on disk ("" when none).
std::string companionOf(const char *name, Kerr_ErrorReport **err, bool *ok) {
    Section section;
    auto image = Image::open(name, KIMG_RF_MODE_READ, err);
    *ok = image != nullptr;
    if (!image) return std::string();
    std::lock_guard<std::shared_mutex> lock(image->mutex());
    if (image->writable() && image->flush(err) != 0) *ok = false;
    return image->companionPath();
}

// Points the image at its moved companion file.
int companionFix(const char *image, const std::string &companion, Kerr_ErrorReport **err) {
    Section section;
    auto img = Image::open(image, KIMG_RF_MODE_UPDATE, err);
    if (!img) return -1;
    std::lock_guard<std::shared_mutex> lock(img->mutex());
    img->companionRename(companion.substr(companion.rfind('/') + 1));
    return img->flush(err);
}

std::string companionFor(const char *image) {
    return directoryOf(image) + companionNameFor(image);
}

int64_t statTime(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_mtime) : -1;
}

}  // namespace

#define RF extern "C" KIMG_RF_EXPORT

// ---- Instance -----------------------------------------------------------------

RF long InstanceIsThreadsafe(void) {
    return 1;
}
RF long InstanceTitleListGet(long *count, char ***names) {
    return list(count, names, kTitles, kTitleCount);
}
RF long InstanceTemplateListGet(long *count, char ***names) {
    return list(count, names, kTemplates, kTitleCount);
}
RF long InstanceShortNameListGet(long *count, char ***names) {
    return list(count, names, kShortNames, kTitleCount);
}
RF long InstanceExtListGet(long *count, char ***names) {
    return list(count, names, kExtensions, kTitleCount);
}
RF long InstanceMagicListGet(long *count, char ***names) {
    return list(count, names, kMagic, kTitleCount);
}
RF long InstanceCompressionTypesGet(long *count, char ***names) {
    return list(count, names, kCompressionNames, kCompressionCount);
}
RF long InstanceLayerTypesGet(long *count, char ***names) {
    return list(count, names, kLayerTypes, 3);
}
RF long InstancePixelTypesGet(long *count, char ***names) {
    return list(count, names, kPixelTypes, 13);
}
RF long InstanceRasterDataOrderTypesGet(long *count, char ***names, long **writable) {
    if (!writable) {
        errno = EINVAL;
        return -1;
    }
    *writable = kOrderWritable;
    return list(count, names, kOrders, 1);
}
RF long InstanceMapProjectionIsSupported(void) {
    return 1;
}
RF long InstanceIsDirFlagsGet(long *count, long **out) {
    return flags(count, out, kDirFlags, kTitleCount);
}
RF long InstanceFilterFlagsGet(long *count, long **out) {
    return flags(count, out, kFilterFlags, kTitleCount);
}
RF long InstanceIsCreatableFlagsGet(long *count, long **out) {
    return flags(count, out, kCreatableFlags, kTitleCount);
}

// ---- Files ----------------------------------------------------------------------

RF long FileTitleIdentify(const char *fileName, long *titleIndex, Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "FileTitleIdentify";
    if (!fileName || !titleIndex) return failed(err, EINVAL, fn, 1, "Missing file name or title");
    const long asked = *titleIndex;
    const int status = probe(fileName);
    if (status != 0) {
        *titleIndex = -1;
        return failed(
            err,
            status == KIMG_RF_STATUS_UNRECOGNIZED && asked >= 0 ? KIMG_RF_STATUS_MISMATCH : status,
            fn, 2, nullptr);
    }
    *titleIndex = 0;
    return 0;
}

RF void *FileOpen(const char *fileName, long titleIndex, const char *mode, Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "FileOpen";
    if (!fileName || titleIndex < 0 || titleIndex >= kTitleCount || !validMode(mode)) {
        failed(err, EINVAL, fn, 1, "Invalid arguments (title %ld, mode %s)", titleIndex,
               mode ? mode : "NULL");
        return nullptr;
    }
    if (strcmp(mode, KIMG_RF_MODE_CREATE) == 0) {
        if (access(fileName, F_OK) == 0) {
            failed(err, KIMG_RF_STATUS_FILE_EXISTS, fn, 2, "%s:  File already exists", fileName);
            return nullptr;
        }
    } else if (const int status = probe(fileName)) {
        failed(err, status, fn, 3, "%s is not a file of the %s format", fileName,
               kTitles[titleIndex]);
        return nullptr;
    }
    return openHandle(fn, fileName, titleIndex, mode, err);
}

RF void *FileTitleIdentifyAndOpen(const char *fileName, long *titleIndex, const char *mode,
                                  Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "FileTitleIdentifyAndOpen";
    if (!fileName || !titleIndex) {
        failed(err, EINVAL, fn, 1, "Missing file name or title");
        return nullptr;
    }
    if (mode && !validMode(mode)) {
        failed(err, EINVAL, fn, 2, "%s:  Invalid mode", mode);
        return nullptr;
    }
    if (mode && strcmp(mode, KIMG_RF_MODE_CREATE) == 0) {
        *titleIndex = 0;
        return FileOpen(fileName, *titleIndex, mode, err);
    }
    if (FileTitleIdentify(fileName, titleIndex, err) != 0 || !mode) return nullptr;
    return FileOpen(fileName, *titleIndex, mode, err);
}

RF long FileClose(void *file, Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "FileClose";
    auto *h = static_cast<FileHandle *>(file);
    if (!h) return failed(err, EINVAL, fn, 1, "Missing file handle");
    long rc = 0;
    if (h->writable) {
        Guard g(*h->image, true);
        if (h->image->flush(err) != 0) rc = wrapped(err, EIO, fn, 2);
    }
    {
        // The last reference closes the HFA file, inside the section.
        Section section;
        delete h;
    }
    if (rc != 0) errno = EIO;
    return rc;
}

RF long FileFlush(void *file, Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "FileFlush";
    auto *h = static_cast<FileHandle *>(file);
    if (!h) return failed(err, EINVAL, fn, 1, "Missing file handle");
    if (!h->writable) return 0;
    Guard g(*h->image, true);
    return h->image->flush(err) == 0 ? 0 : wrapped(err, EIO, fn, 2);
}

RF long FileDestroy(const char *fileName, long titleIndex, Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "FileDestroy";
    (void)titleIndex;
    if (!fileName) return failed(err, EINVAL, fn, 1, "Missing file name");
    bool ok = false;
    Kerr_ErrorReport *quiet = nullptr;
    const std::string companion = companionOf(fileName, &quiet, &ok);
    kerr_DeleteErrorReport(quiet);
    if (unlink(fileName) != 0) {
        const int e = errno;
        return failed(err, e, fn, 2, "Cannot remove %s: %s", fileName, strerror(e));
    }
    if (!companion.empty() && unlink(companion.c_str()) != 0 && errno != ENOENT) {
        const int e = errno;
        return failed(err, e, fn, 3, "Cannot remove %s: %s", companion.c_str(), strerror(e));
    }
    return 0;
}

RF long FileModTimeGet(const char *fileName, long titleIndex, int64_t *modTime,
                       Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "FileModTimeGet";
    (void)titleIndex;
    if (!fileName || !modTime) return failed(err, EINVAL, fn, 1, "Missing file name or time");
    const int64_t t = statTime(fileName);
    if (t < 0) {
        const int e = errno;
        return failed(err, e, fn, 2, "Cannot stat %s: %s", fileName, strerror(e));
    }
    bool ok = false;
    Kerr_ErrorReport *quiet = nullptr;
    const std::string companion = companionOf(fileName, &quiet, &ok);
    kerr_DeleteErrorReport(quiet);
    *modTime = companion.empty() ? t : std::max(t, statTime(companion));
    return 0;
}

static long copyOrRename(const char *fn, const char *source, const char *destination, bool move,
                         Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    if (!source || !destination) return failed(err, EINVAL, fn, 1, "Missing file name");
    if (access(destination, F_OK) == 0)
        return failed(err, KIMG_RF_STATUS_FILE_EXISTS, fn, 2, "Attempt to %s over %s",
                      move ? "rename" : "copy", destination);
    bool ok = false;
    const std::string companion = companionOf(source, err, &ok);
    if (!ok) return wrapped(err, EIO, fn, 3);
    const std::string newCompanion = companion.empty() ? std::string() : companionFor(destination);
    if (!newCompanion.empty() && access(newCompanion.c_str(), F_OK) == 0)
        return failed(err, KIMG_RF_STATUS_FILE_EXISTS, fn, 4, "Attempt to %s over %s",
                      move ? "rename" : "copy", newCompanion.c_str());
    auto transfer = [&](const std::string &from, const std::string &to) {
        return move ? rename(from.c_str(), to.c_str()) : copySparse(from, to);
    };
    if (transfer(source, destination) != 0) {
        const int e = errno;
        if (!move) unlink(destination);
        return failed(err, e, fn, 5, "Cannot %s %s to %s: %s", move ? "rename" : "copy", source,
                      destination, strerror(e));
    }
    if (newCompanion.empty()) return 0;
    if (transfer(companion, newCompanion) != 0 ||
        companionFix(destination, newCompanion, err) != 0) {
        const int e = errno ? errno : EIO;
        // Undo: a rename goes back, a copy is removed.
        if (move) {
            rename(newCompanion.c_str(), companion.c_str());
            rename(destination, source);
        } else {
            unlink(newCompanion.c_str());
            unlink(destination);
        }
        return failed(err, e, fn, 6, "Cannot %s companion file %s to %s", move ? "rename" : "copy",
                      companion.c_str(), newCompanion.c_str());
    }
    return 0;
}

RF long FileCopy(const char *source, const char *destination, long titleIndex,
                 Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    (void)titleIndex;
    return copyOrRename("FileCopy", source, destination, false, err);
}

RF long FileRename(const char *source, const char *destination, long titleIndex,
                   Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    (void)titleIndex;
    return copyOrRename("FileRename", source, destination, true, err);
}

RF long FileDataRead(void *file, const char *nodePath, unsigned char **data, long *dataSize,
                     char **dictionary, char **typeName, Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "FileDataRead";
    auto *h = static_cast<FileHandle *>(file);
    if (!h || !validPath(nodePath) || !data || !dataSize || !dictionary || !typeName)
        return failed(err, EINVAL, fn, 1, "Invalid arguments");
    *data = nullptr;
    *dataSize = 0;
    *dictionary = *typeName = nullptr;
    Guard g(*h->image, true);
    Khfa_File *hfa = h->image->hfa();
    Khfa_Entry *e = khfa_EntrySeek(hfa, KHFA_SEEK_PATH, nodePath, err);
    if (!e) {
        if (*err) return wrapped(err, EIO, fn, 2);
        return failed(err, KIMG_RF_STATUS_NO_SUCH_FILE, fn, 3, "Object %s does not exist in %s",
                      nodePath, h->image->name().c_str());
    }
    const std::string type = e->type;
    if (e->dataSize <= 0 || e->data == 0 || reservedType(type.c_str()) || type == kNodeType)
        return failed(err, KIMG_RF_STATUS_NO_SUCH_FILE, fn, 4, "%s holds no object in %s", nodePath,
                      h->image->name().c_str());
    const Kmif_Design *design =
        kmif_DictionarySearchByName(khfa_FileDictionary(hfa), type.c_str(), nullptr);
    if (!design)
        return failed(err, EIO, fn, 5, "Design %s of %s is missing from the dictionary of %s",
                      type.c_str(), nodePath, h->image->name().c_str());
    void *bytes = nullptr;
    int32_t size = 0;
    if (khfa_ObjectDataReadIfPresent(hfa, nodePath, nullptr, KHFA_SEEK_PATH, &bytes, &size, err) !=
        1)
        return wrapped(err, EIO, fn, 6);
    Kmif_Dictionary *one = kmif_DictionaryCreate(err);
    char *text = one && kmif_DictionaryAddDesign(one, design, err)
                     ? kmif_DictionaryEncodeToString(one, err)
                     : nullptr;
    kmif_DictionaryDelete(one, nullptr);
    char *name = text ? kstr_Duplicate(type.c_str()) : nullptr;
    if (!name) {
        kmsc_HeapFree(bytes);
        kmsc_HeapFree(text);
        return *err ? wrapped(err, EIO, fn, 7) : failed(err, ENOMEM, fn, 8, "No memory");
    }
    *data = static_cast<unsigned char *>(bytes);
    *dataSize = size;
    *dictionary = text;
    *typeName = name;
    return 0;
}

RF long FileDataWrite(void *file, const char *nodePath, const unsigned char *data, long dataSize,
                      const char *dictionary, const char *typeName, Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "FileDataWrite";
    auto *h = static_cast<FileHandle *>(file);
    if (!h || !validPath(nodePath) || !data || dataSize <= 0 || dataSize > INT32_MAX ||
        !dictionary || !typeName || !*typeName || strlen(typeName) > KHFA_MAX_TYPE_LENGTH)
        return failed(err, EINVAL, fn, 1, "Invalid arguments");
    if (!h->writable)
        return failed(err, EACCES, fn, 2, "%s is read-only", h->image->name().c_str());
    const std::string path = nodePath;
    const size_t up = path.rfind(':');
    if (path.size() - up - 1 > KHFA_MAX_NAME_LENGTH)
        return failed(err, EINVAL, fn, 3, "Invalid node path %s", nodePath);
    std::unique_ptr<Kmif_Dictionary, void (*)(Kmif_Dictionary *)> given(
        kmif_DictionaryDecodeFromString(dictionary, err),
        [](Kmif_Dictionary *d) { kmif_DictionaryDelete(d, nullptr); });
    if (!given) return wrapped(err, EINVAL, fn, 4);
    const Kmif_Design *design = kmif_DictionarySearchByName(given.get(), typeName, nullptr);
    if (!design)
        return failed(err, EINVAL, fn, 5, "Design %s not found in the dictionary given", typeName);
    void *object = nullptr;
    if (kmif_ConvertToHostEx(nullptr, data, dataSize, design, &object, err) < 0)
        return wrapped(err, EINVAL, fn, 6);
    struct Free {
        void *&o;
        const Kmif_Design *d;
        ~Free() { kmif_ObjectFree(&o, d, nullptr); }
    } release{object, design};
    Guard g(*h->image, true);
    Khfa_File *hfa = h->image->hfa();
    // The file's dictionary must describe the object as the given one does:
    // every design it uses that the file already has must be the same.
    Kmif_Dictionary *own = khfa_FileDictionary(hfa);
    std::unique_ptr<Kmif_Dictionary, void (*)(Kmif_Dictionary *)> used(
        kmif_DictionaryCreate(err), [](Kmif_Dictionary *d) { kmif_DictionaryDelete(d, nullptr); });
    if (!used || !kmif_DictionaryAddDesign(used.get(), design, err))
        return wrapped(err, EIO, fn, 7);
    for (const Kmif_Design *d = used->firstDesign; d; d = d->next) {
        const Kmif_Design *there = kmif_DictionarySearchByName(own, d->name, nullptr);
        if (there && designText(there) != designText(d))
            return failed(err, EINVAL, fn, 8, "Design %s differs from the one in %s", d->name,
                          h->image->name().c_str());
    }
    if (!kmif_DictionaryAddDesign(own, design, err)) return wrapped(err, EIO, fn, 8);
    const Khfa_Entry *e = khfa_EntryPeek(hfa, KHFA_SEEK_PATH, nodePath, nullptr);
    if (e && (reservedType(e->type) || !strcmp(e->type, kNodeType)))
        return failed(err, EINVAL, fn, 9, "%s is not an object node of %s", nodePath,
                      h->image->name().c_str());
    int rc;
    if (e) {
        rc = khfa_ObjectWrite(hfa, nodePath, nullptr, typeName, KHFA_WRITE_CURRENT, object, design,
                              err);
    } else {
        const std::string parent = up == 0 ? ":" : path.substr(0, up);
        rc = ensureParents(hfa, path, err);
        if (rc == 0)
            rc = khfa_ObjectWrite(hfa, parent.c_str(), path.c_str() + up + 1, typeName,
                                  KHFA_WRITE_LAST_CHILD, object, design, err);
    }
    return rc == 0 ? 0 : wrapped(err, EIO, fn, 10);
}

RF long FileDataModTimeGet(void *file, const char *nodePath, int64_t *modTime,
                           Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "FileDataModTimeGet";
    auto *h = static_cast<FileHandle *>(file);
    if (!h || !validPath(nodePath) || !modTime)
        return failed(err, EINVAL, fn, 1, "Invalid arguments");
    Guard g(*h->image, true);
    const Khfa_Entry *e = khfa_EntryPeek(h->image->hfa(), KHFA_SEEK_PATH, nodePath, nullptr);
    if (!e)
        return failed(err, KIMG_RF_STATUS_NO_SUCH_FILE, fn, 2, "Object %s does not exist in %s",
                      nodePath, h->image->name().c_str());
    *modTime = static_cast<int64_t>(e->modTime);
    return 0;
}

RF long FileDataDestroy(void *file, const char *nodePath, Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "FileDataDestroy";
    auto *h = static_cast<FileHandle *>(file);
    if (!h || !validPath(nodePath)) return failed(err, EINVAL, fn, 1, "Invalid arguments");
    if (!h->writable)
        return failed(err, EACCES, fn, 2, "%s is read-only", h->image->name().c_str());
    Guard g(*h->image, true);
    Khfa_File *hfa = h->image->hfa();
    const Khfa_Entry *e = khfa_EntryPeek(hfa, KHFA_SEEK_PATH, nodePath, nullptr);
    if (!e)
        return failed(err, KIMG_RF_STATUS_NO_SUCH_FILE, fn, 3, "Object %s does not exist in %s",
                      nodePath, h->image->name().c_str());
    if (reservedType(e->type))
        return failed(err, EINVAL, fn, 4, "%s is not an object node of %s", nodePath,
                      h->image->name().c_str());
    return khfa_ObjectDelete(hfa, nodePath, nullptr, KHFA_SEEK_PATH, err) == 0
               ? 0
               : wrapped(err, EIO, fn, 5);
}

RF long FileDependentGet(void *file, char **dependentName, Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "FileDependentGet";
    auto *h = static_cast<FileHandle *>(file);
    if (!h || !dependentName) return failed(err, EINVAL, fn, 1, "Invalid arguments");
    *dependentName = nullptr;
    Guard g(*h->image, true);
    return textRead(h->image->hfa(), ":DependentFile", dependentName, err) < 0
               ? wrapped(err, EIO, fn, 2)
               : 0;
}

RF long FileDependentSet(void *file, const char *dependentName, Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "FileDependentSet";
    auto *h = static_cast<FileHandle *>(file);
    if (!h) return failed(err, EINVAL, fn, 1, "Invalid arguments");
    if (!h->writable)
        return failed(err, EACCES, fn, 2, "%s is read-only", h->image->name().c_str());
    Guard g(*h->image, true);
    return textWrite(h->image->hfa(), ":DependentFile", dependentName, err) == 0
               ? 0
               : wrapped(err, EIO, fn, 3);
}

RF long FileDependentLayerNameGet(void *file, const char *layerName, char **dependentLayerName,
                                  Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "FileDependentLayerNameGet";
    auto *h = static_cast<FileHandle *>(file);
    if (!h || !validPath(layerName) || !dependentLayerName)
        return failed(err, EINVAL, fn, 1, "Invalid arguments");
    *dependentLayerName = nullptr;
    Guard g(*h->image, true);
    return textRead(h->image->hfa(), std::string(layerName) + ":DependentLayerName",
                    dependentLayerName, err) < 0
               ? wrapped(err, EIO, fn, 2)
               : 0;
}

RF long FileDependentLayerNameSet(void *file, const char *layerName, const char *dependentLayerName,
                                  Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "FileDependentLayerNameSet";
    auto *h = static_cast<FileHandle *>(file);
    if (!h || !validPath(layerName)) return failed(err, EINVAL, fn, 1, "Invalid arguments");
    if (!h->writable)
        return failed(err, EACCES, fn, 2, "%s is read-only", h->image->name().c_str());
    Guard g(*h->image, true);
    return textWrite(h->image->hfa(), std::string(layerName) + ":DependentLayerName",
                     dependentLayerName, err) == 0
               ? 0
               : wrapped(err, EIO, fn, 3);
}

RF long FileLayerNamesGet(void *file, long *count, char ***names, Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "FileLayerNamesGet";
    auto *h = static_cast<FileHandle *>(file);
    if (!h || !count || !names) return failed(err, EINVAL, fn, 1, "Invalid arguments");
    *count = 0;
    *names = nullptr;
    std::vector<std::string> list;
    {
        Guard g(*h->image, true);
        if (h->image->layerNames(list, err) != 0) return wrapped(err, EIO, fn, 2);
    }
    char **out = heapList(list, true);
    if (!list.empty() && !out) return failed(err, ENOMEM, fn, 3, "No memory");
    *count = static_cast<long>(list.size());
    *names = out;
    return 0;
}

RF long FileLayerNamesSet(void *file, long count, const char *const *names,
                          Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "FileLayerNamesSet";
    auto *h = static_cast<FileHandle *>(file);
    if (!h || count < 0 || (count > 0 && !names))
        return failed(err, EINVAL, fn, 1, "Invalid arguments");
    if (!h->writable)
        return failed(err, EACCES, fn, 2, "%s is read-only", h->image->name().c_str());
    Guard g(*h->image, true);
    std::vector<std::string> present;
    if (h->image->layerNames(present, err) != 0) return wrapped(err, EIO, fn, 3);
    // The listed layers are moved, in list order, behind the others.
    Khfa_File *hfa = h->image->hfa();
    for (long i = 0; i < count; ++i) {
        const std::string n = layerName(names[i]);
        if (std::find(present.begin(), present.end(), n) == present.end())
            return failed(err, KIMG_RF_STATUS_NO_SUCH_FILE, fn, 4, "Layer %s does not exist in %s",
                          names[i] ? names[i] : "NULL", h->image->name().c_str());
    }
    for (long i = 0; i < count; ++i) {
        const std::string path = ":" + layerName(names[i]);
        static const char *const kParked = ":\x01order";
        if (khfa_EntryMove(hfa, path.c_str(), kParked, err) != 0 ||
            khfa_EntryMove(hfa, kParked, path.c_str(), err) != 0)
            return wrapped(err, EIO, fn, 5);
    }
    return 0;
}

RF long FileRasterDataOrderGet(void *file, char **order, Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "FileRasterDataOrderGet";
    if (!file || !order) return failed(err, EINVAL, fn, 1, "Invalid arguments");
    *order = kstr_Duplicate("bsq");
    return *order ? 0 : failed(err, ENOMEM, fn, 2, "No memory");
}

RF long FileRasterDataOrderSet(void *file, const char *order, Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "FileRasterDataOrderSet";
    if (!file || !order) return failed(err, EINVAL, fn, 1, "Invalid arguments");
    if (strcasecmp(order, "BSQ") != 0)
        return failed(err, EINVAL, fn, 2, "Data order %s is not supported; layers are BSQ", order);
    return 0;
}

// ---- Layers ---------------------------------------------------------------------

RF void *LayerOpen(void *file, const char *layerPath, long *width, long *height, long *pixelType,
                   long *compression, long *layerType, long *blockWidth, long *blockHeight,
                   Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "LayerOpen";
    auto *h = static_cast<FileHandle *>(file);
    if (!h || !layerPath || !width || !height || !pixelType || !compression || !layerType ||
        !blockWidth || !blockHeight) {
        failed(err, EINVAL, fn, 1, "Invalid arguments");
        return nullptr;
    }
    Guard g(*h->image, true);
    Layer *l = h->image->layer(layerName(layerPath), err);
    if (!l) {
        if (*err)
            wrapped(err, EIO, fn, 2);
        else
            failed(err, KIMG_RF_STATUS_NO_SUCH_FILE, fn, 3, "Layer %s does not exist in %s",
                   layerPath, h->image->name().c_str());
        return nullptr;
    }
    auto *lh = new (std::nothrow) LayerHandle{h->image, l, h->writable};
    if (!lh) {
        failed(err, ENOMEM, fn, 4, "No memory");
        return nullptr;
    }
    ++l->opens;
    *width = l->rec.width;
    *height = l->rec.height;
    *pixelType = l->rec.pixelType;
    *compression = l->rec.compression;
    *layerType = l->rec.layerType;
    *blockWidth = l->rec.blockWidth;
    *blockHeight = l->rec.blockHeight;
    return lh;
}

RF void *LayerCreate(void *file, const char *layerPath, long layerType, long pixelType, long width,
                     long height, long compression, long *blockWidth, long *blockHeight,
                     Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "LayerCreate";
    auto *h = static_cast<FileHandle *>(file);
    if (!h || !layerPath || !blockWidth || !blockHeight) {
        failed(err, EINVAL, fn, 1, "Invalid arguments");
        return nullptr;
    }
    if (layerType < 0 || layerType > 2 || pixelType < 0 || pixelType > 12 || compression < 0 ||
        compression >= kCompressionCount || width < 1 || height < 1 || width > INT32_MAX ||
        height > INT32_MAX) {
        failed(err, EINVAL, fn, 2,
               "Invalid layer %s: %ld x %ld, layer type %ld, pixel type %ld, compression %ld",
               layerPath, width, height, layerType, pixelType, compression);
        return nullptr;
    }
    if (!h->writable) {
        failed(err, EACCES, fn, 3, "%s is read-only", h->image->name().c_str());
        return nullptr;
    }
    // Block sizes outside what the format takes are brought inside it.
    long bw = *blockWidth > 0 ? *blockWidth : std::min<long>(width, kDefaultBlock);
    long bh = *blockHeight > 0 ? *blockHeight : std::min<long>(height, kDefaultBlock);
    bw = std::min<long>(bw, kMaxBlockSide);
    bh = std::min<long>(bh, kMaxBlockSide);
    while (bw * bh * pixelMemoryBytes(static_cast<int32_t>(pixelType)) > kMaxBlockBytes)
        (bw >= bh ? bw : bh) /= 2;
    Guard g(*h->image, true);
    Layer *l = h->image->layerCreate(
        layerName(layerPath), static_cast<int32_t>(layerType), static_cast<int32_t>(pixelType),
        static_cast<int32_t>(width), static_cast<int32_t>(height), static_cast<int32_t>(bw),
        static_cast<int32_t>(bh), static_cast<int32_t>(compression), err);
    if (!l) {
        wrapped(err, EIO, fn, 4);
        return nullptr;
    }
    auto *lh = new (std::nothrow) LayerHandle{h->image, l, h->writable};
    if (!lh) {
        failed(err, ENOMEM, fn, 5, "No memory");
        return nullptr;
    }
    ++l->opens;
    *blockWidth = bw;
    *blockHeight = bh;
    return lh;
}

RF long LayerClose(void *layer, Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "LayerClose";
    auto *lh = static_cast<LayerHandle *>(layer);
    if (!lh) return failed(err, EINVAL, fn, 1, "Missing layer handle");
    long rc = 0;
    {
        Guard g(*lh->image, true);
        --lh->layer->opens;
        if (lh->writable && lh->image->flush(err) != 0) rc = wrapped(err, EIO, fn, 2);
    }
    Section section;
    delete lh;
    if (rc != 0) errno = EIO;
    return rc;
}

RF long LayerDestroy(void *file, const char *layerPath, Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "LayerDestroy";
    auto *h = static_cast<FileHandle *>(file);
    if (!h || !layerPath) return failed(err, EINVAL, fn, 1, "Invalid arguments");
    if (!h->writable)
        return failed(err, EACCES, fn, 2, "%s is read-only", h->image->name().c_str());
    Guard g(*h->image, true);
    Layer *l = h->image->layer(layerName(layerPath), err);
    if (!l)
        return *err ? wrapped(err, EIO, fn, 3)
                    : failed(err, KIMG_RF_STATUS_NO_SUCH_FILE, fn, 4,
                             "Layer %s does not exist in %s", layerPath, h->image->name().c_str());
    if (l->opens > 0) return failed(err, EBUSY, fn, 5, "Layer %s is open", layerPath);
    return h->image->layerDestroy(l->name, err) == 0 ? 0 : wrapped(err, EIO, fn, 6);
}

RF long LayerLayerTypeRead(void *layer, long *layerType, Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    auto *lh = static_cast<LayerHandle *>(layer);
    if (!lh || !layerType) return failed(err, EINVAL, "LayerLayerTypeRead", 1, "Invalid arguments");
    Guard g(*lh->image, false);
    *layerType = lh->layer->rec.layerType;
    return 0;
}

RF long LayerLayerTypeWrite(void *layer, long layerType, Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "LayerLayerTypeWrite";
    auto *lh = static_cast<LayerHandle *>(layer);
    if (!lh || layerType < 0 || layerType > 2)
        return failed(err, EINVAL, fn, 1, "Invalid layer type %ld", layerType);
    Guard g(*lh->image, true);
    if (!lh->writable)
        return failed(err, EACCES, fn, 2, "%s is read-only", lh->image->name().c_str());
    const int32_t old = lh->layer->rec.layerType;
    lh->layer->rec.layerType = static_cast<int32_t>(layerType);
    if (lh->image->recordWrite(lh->layer, err) != 0) {
        lh->layer->rec.layerType = old;
        return wrapped(err, EIO, fn, 3);
    }
    return 0;
}

RF long LayerRasterNullValueRead(void *layer, Kgda_BaseData *nullValue, Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "LayerRasterNullValueRead";
    auto *lh = static_cast<LayerHandle *>(layer);
    if (!lh || !nullValue || !nullValue->windowStart || nullValue->numelements < 1 ||
        nullValue->datatype < 0 || nullValue->datatype > 12)
        return failed(err, EINVAL, fn, 1, "Invalid arguments");
    Guard g(*lh->image, false);
    const LayerRecord &r = lh->layer->rec;
    if (!r.nullValueSet)
        return failed(err, KIMG_RF_STATUS_NO_SUCH_FILE, fn, 2, "Layer %s has no null value",
                      lh->layer->name.c_str());
    const bool complex = r.pixelType == KGDA_TYPE_C64 || r.pixelType == KGDA_TYPE_C128;
    return kpxm_ConvertPixels(nullValue->windowStart, nullValue->datatype, r.nullValue,
                              complex ? KGDA_TYPE_C128 : KGDA_TYPE_F64, 1, err) == 1
               ? 0
               : wrapped(err, EINVAL, fn, 3);
}

RF long LayerRasterNullValueWrite(void *layer, const Kgda_BaseData *nullValue,
                                  Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "LayerRasterNullValueWrite";
    auto *lh = static_cast<LayerHandle *>(layer);
    if (!lh || !nullValue || !nullValue->windowStart || nullValue->numelements < 1 ||
        nullValue->datatype < 0 || nullValue->datatype > 12)
        return failed(err, EINVAL, fn, 1, "Invalid arguments");
    Guard g(*lh->image, true);
    if (!lh->writable)
        return failed(err, EACCES, fn, 2, "%s is read-only", lh->image->name().c_str());
    LayerRecord &r = lh->layer->rec;
    const LayerRecord old = r;
    const bool complex = r.pixelType == KGDA_TYPE_C64 || r.pixelType == KGDA_TYPE_C128;
    // The value is taken as the layer's pixel type would hold it.
    alignas(16) unsigned char pixel[16] = {};
    double value[2] = {};
    if (kpxm_ConvertPixels(pixel, r.pixelType, nullValue->windowStart, nullValue->datatype, 1,
                           err) != 1 ||
        kpxm_ConvertPixels(value, complex ? KGDA_TYPE_C128 : KGDA_TYPE_F64, pixel, r.pixelType, 1,
                           err) != 1)
        return wrapped(err, EINVAL, fn, 3);
    r.nullValueSet = 1;
    r.nullValue[0] = value[0];
    r.nullValue[1] = value[1];
    if (lh->image->recordWrite(lh->layer, err) != 0) {
        r = old;
        return wrapped(err, EIO, fn, 4);
    }
    return 0;
}

// A block read under the weakest lock that keeps it safe: shared when the
// read changes nothing in the image, else the image's own mutex, and also
// the thread-unsafe section when the read goes through the HFA layer.
template <class Read>
long readUnderLocks(LayerHandle *lh, int32_t column, int32_t row, const char *fn,
                    Kerr_ErrorReport **err, Read read) {
    Image &img = *lh->image;
    {
        std::shared_lock<std::shared_mutex> readers(img.mutex());
        if (img.readsShared(lh->layer, column, row))
            return read() == 0 ? 0 : wrapped(err, EIO, fn, 2);
    }
    {
        Guard g(img, false);
        if (img.readsWithoutHfa(lh->layer)) return read() == 0 ? 0 : wrapped(err, EIO, fn, 2);
    }
    Guard g(img, true);
    return read() == 0 ? 0 : wrapped(err, EIO, fn, 2);
}

RF long LayerRasterRead(void *layer, long blockRow, long blockColumn, void *data,
                        Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "LayerRasterRead";
    auto *lh = static_cast<LayerHandle *>(layer);
    if (!lh || !data || blockRow < 0 || blockColumn < 0 || blockRow > INT32_MAX ||
        blockColumn > INT32_MAX)
        return failed(err, EINVAL, fn, 1, "Invalid arguments");
    const auto row = static_cast<int32_t>(blockRow), column = static_cast<int32_t>(blockColumn);
    return readUnderLocks(lh, column, row, fn, err,
                          [&] { return lh->image->blockRead(lh->layer, column, row, data, err); });
}

RF long LayerRasterReadPart(void *layer, long blockRow, long blockColumn, long firstColumn,
                            long firstRow, long columns, long rows, void *data, long pitch,
                            Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "LayerRasterReadPart";
    auto *lh = static_cast<LayerHandle *>(layer);
    if (!lh || !data || blockRow < 0 || blockColumn < 0 || blockRow > INT32_MAX ||
        blockColumn > INT32_MAX)
        return failed(err, EINVAL, fn, 1, "Invalid arguments");
    const auto row = static_cast<int32_t>(blockRow), column = static_cast<int32_t>(blockColumn);
    auto *out = static_cast<uint8_t *>(data);
    Layer *ly = lh->layer;
    const long bw = ly->rec.blockWidth;
    if (firstColumn < 0 || columns < 1 || firstColumn + columns <= bw || firstColumn >= bw)
        return readUnderLocks(lh, column, row, fn, err, [&] {
            return lh->image->blockReadPart(ly, column, row, firstColumn, firstRow, columns, rows,
                                            out, pitch, err);
        });
    // A part that reaches past its block goes on into the blocks to the
    // right: line after line across them when they all lie in place, else
    // block by block.
    if (columns > (ly->across - blockColumn) * bw - firstColumn)
        return failed(err, EINVAL, fn, 3, "Part of block row %ld past the end of layer %s",
                      blockRow, ly->name.c_str());
    const long count = (firstColumn + columns + bw - 1) / bw;
    const long px = pixelMemoryBytes(ly->rec.pixelType);
    if (firstRow >= 0 && rows >= 1 && firstRow + rows <= ly->rec.blockHeight &&
        pitch >= columns * px) {
        std::shared_lock<std::shared_mutex> readers(lh->image->mutex());
        if (lh->image->runReadInPlace(ly, column, row, static_cast<int32_t>(count), firstColumn,
                                      firstRow, columns, rows, out, pitch))
            return 0;
    }
    for (long k = 0, x = firstColumn, left = columns; k < count; ++k, x = 0) {
        const long n = std::min(left, bw - x);
        const long r = readUnderLocks(lh, column + static_cast<int32_t>(k), row, fn, err, [&] {
            return lh->image->blockReadPart(ly, column + static_cast<int32_t>(k), row, x, firstRow,
                                            n, rows, out, pitch, err);
        });
        if (r < 0) return r;
        out += n * px;
        left -= n;
    }
    return 0;
}

RF long LayerRasterVisit(void *layer, long blockRow, long blockColumn, long count,
                         Kimg_RFBlockVisitFunc visit, void *client, Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "LayerRasterVisit";
    auto *lh = static_cast<LayerHandle *>(layer);
    if (!lh || !visit || blockRow < 0 || blockColumn < 0 || count < 1 || blockRow > INT32_MAX ||
        blockColumn > INT32_MAX || count > INT32_MAX - blockColumn)
        return failed(err, EINVAL, fn, 1, "Invalid arguments");
    static thread_local std::vector<uint8_t> copy;
    Image &img = *lh->image;
    const auto row = static_cast<int32_t>(blockRow), first = static_cast<int32_t>(blockColumn);
    const int32_t last = first + static_cast<int32_t>(count) - 1;
    int32_t stopped = -1;  // the column whose visit said stop
    auto one = [&](int32_t column) {
        // The next block comes in while this one is visited.
        if (column < last) img.blockPrefetch(lh->layer, column + 1, row);
        const uint8_t *at = img.blockInPlace(lh->layer, column, row);
        if (!at) {
            copy.resize(static_cast<size_t>(lh->layer->memoryBlockBytes));
            if (img.blockRead(lh->layer, column, row, copy.data(), err) != 0) return -1;
            at = copy.data();
        }
        if (visit(client, column, at) != 0) stopped = column;
        return 0;
    };
    auto refused = [&] {
        return failed(err, ECANCELED, fn, 3, "Block (%ld, %ld) of %s refused", blockRow,
                      static_cast<long>(stopped), lh->layer->name.c_str());
    };
    {
        // A run whose blocks all read shared goes under one lock.
        std::shared_lock<std::shared_mutex> readers(img.mutex());
        bool shared = true;
        for (int32_t column = first; shared && column <= last; ++column)
            shared = img.readsShared(lh->layer, column, row);
        for (int32_t column = first; shared && column <= last && stopped < 0; ++column)
            if (one(column) != 0) return wrapped(err, EIO, fn, 2);
        if (shared) return stopped < 0 ? 0 : refused();
    }
    for (int32_t column = first; column <= last && stopped < 0; ++column) {
        const long r = readUnderLocks(lh, column, row, fn, err, [&] { return one(column); });
        if (r < 0) return r;
    }
    if (stopped >= 0) return refused();
    return 0;
}

RF long LayerRasterWrite(void *layer, long blockRow, long blockColumn, const void *data,
                         Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "LayerRasterWrite";
    auto *lh = static_cast<LayerHandle *>(layer);
    if (!lh || !data || blockRow < 0 || blockColumn < 0 || blockRow > INT32_MAX ||
        blockColumn > INT32_MAX)
        return failed(err, EINVAL, fn, 1, "Invalid arguments");
    if (!lh->writable)
        return failed(err, EACCES, fn, 2, "%s is read-only", lh->image->name().c_str());
    Guard g(*lh->image, true);
    return lh->image->blockWrite(lh->layer, static_cast<int32_t>(blockColumn),
                                 static_cast<int32_t>(blockRow), data, err) == 0
               ? 0
               : wrapped(err, EIO, fn, 3);
}

RF long LayerRasterWriteRun(void *layer, long blockRow, long blockColumn, long count,
                            const void *data, Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "LayerRasterWriteRun";
    auto *lh = static_cast<LayerHandle *>(layer);
    if (!lh || !data || blockRow < 0 || blockColumn < 0 || count < 1 || blockRow > INT32_MAX ||
        blockColumn > INT32_MAX || count > INT32_MAX)
        return failed(err, EINVAL, fn, 1, "Invalid arguments");
    if (!lh->writable)
        return failed(err, EACCES, fn, 2, "%s is read-only", lh->image->name().c_str());
    Guard g(*lh->image, true);
    return lh->image->blockWriteRun(lh->layer, static_cast<int32_t>(blockColumn),
                                    static_cast<int32_t>(blockRow), static_cast<int32_t>(count),
                                    data, err) == 0
               ? 0
               : wrapped(err, EIO, fn, 3);
}

RF long LayerRasterReadMIF(void *layer, long blockRow, long blockColumn, unsigned char **data,
                           long *dataSize, Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "LayerRasterReadMIF";
    auto *lh = static_cast<LayerHandle *>(layer);
    if (!lh || !data || !dataSize || blockRow < 0 || blockColumn < 0 || blockRow > INT32_MAX ||
        blockColumn > INT32_MAX)
        return failed(err, EINVAL, fn, 1, "Invalid arguments");
    *data = nullptr;
    *dataSize = 0;
    std::vector<uint8_t> stored;
    {
        Guard g(*lh->image, true);
        if (lh->image->blockReadStored(lh->layer, static_cast<int32_t>(blockColumn),
                                       static_cast<int32_t>(blockRow), stored, err) != 0)
            return wrapped(err, EIO, fn, 2);
    }
    auto *out = static_cast<unsigned char *>(kmsc_HeapMalloc(stored.size()));
    if (!out) return failed(err, ENOMEM, fn, 3, "No memory");
    memcpy(out, stored.data(), stored.size());
    *data = out;
    *dataSize = static_cast<long>(stored.size());
    return 0;
}

RF long LayerRasterModTimeGet(void *layer, int64_t *modTime, Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "LayerRasterModTimeGet";
    auto *lh = static_cast<LayerHandle *>(layer);
    if (!lh || !modTime) return failed(err, EINVAL, fn, 1, "Invalid arguments");
    Guard g(*lh->image, true);
    Layer *l = lh->layer;
    if (l->rasterModTime > 0) {
        *modTime = static_cast<int64_t>(l->rasterModTime);
        return 0;
    }
    const std::string path = ":" + l->name;
    const Khfa_Entry *e = khfa_EntryPeek(lh->image->hfa(), KHFA_SEEK_PATH,
                                         (path + ":" + kBlockTableName).c_str(), nullptr);
    if (!e) e = khfa_EntryPeek(lh->image->hfa(), KHFA_SEEK_PATH, path.c_str(), nullptr);
    if (!e) return failed(err, EIO, fn, 2, "Layer %s has vanished", l->name.c_str());
    *modTime = static_cast<int64_t>(e->modTime);
    return 0;
}

RF long LayerRRDLayerNamesGet(void *layer, long *count, char ***names, Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "LayerRRDLayerNamesGet";
    auto *lh = static_cast<LayerHandle *>(layer);
    if (!lh || !count || !names) return failed(err, EINVAL, fn, 1, "Invalid arguments");
    *count = 0;
    *names = nullptr;
    struct {
        int32_t count;
        Kmif_String *names;
    } host{};
    void *obj = &host;
    std::vector<std::string> list;
    {
        Guard g(*lh->image, true);
        const int found = khfa_ObjectReadIfPresent(
            lh->image->hfa(), (":" + lh->layer->name + ":RRDNamesList").c_str(), nullptr,
            KHFA_SEEK_PATH, &obj, designs(nullptr)->nameList, err);
        if (found < 0) return wrapped(err, EIO, fn, 2);
        for (int32_t i = 0; i < host.count && host.names; ++i) {
            char *s = kmif_KmifStringToString(&host.names[i], nullptr);
            list.emplace_back(s ? s : "");
            kmsc_HeapFree(s);
        }
        kmif_ObjectItemsFree(&obj, designs(nullptr)->nameList, nullptr);
    }
    char **out = heapList(list, false);
    if (!list.empty() && !out) return failed(err, ENOMEM, fn, 3, "No memory");
    *count = static_cast<long>(list.size());
    *names = out;
    return 0;
}

RF long LayerRRDLayerNamesSet(void *layer, long count, const char *const *names,
                              Kerr_ErrorReport **err) {
    REPORT_SLOT(err);
    static const char *const fn = "LayerRRDLayerNamesSet";
    auto *lh = static_cast<LayerHandle *>(layer);
    if (!lh || count < 0 || count > INT32_MAX || (count > 0 && !names))
        return failed(err, EINVAL, fn, 1, "Invalid arguments");
    std::vector<Kmif_String> strings(static_cast<size_t>(count));
    for (long i = 0; i < count; ++i) {
        if (!names[i]) return failed(err, EINVAL, fn, 2, "Name %ld is missing", i);
        strings[i] = {static_cast<int32_t>(strlen(names[i]) + 1), const_cast<char *>(names[i])};
    }
    struct {
        int32_t count;
        Kmif_String *names;
    } host{static_cast<int32_t>(count), strings.data()};
    Guard g(*lh->image, true);
    if (!lh->writable)
        return failed(err, EACCES, fn, 3, "%s is read-only", lh->image->name().c_str());
    Khfa_File *hfa = lh->image->hfa();
    const std::string path = ":" + lh->layer->name + ":RRDNamesList";
    const bool exists = khfa_EntryPeek(hfa, KHFA_SEEK_PATH, path.c_str(), nullptr) != nullptr;
    const int rc = exists
                       ? khfa_ObjectWrite(hfa, path.c_str(), nullptr, nullptr, KHFA_WRITE_CURRENT,
                                          &host, designs(nullptr)->nameList, err)
                       : khfa_ObjectWrite(hfa, (":" + lh->layer->name).c_str(), "RRDNamesList",
                                          "Kimg_NameList", KHFA_WRITE_LAST_CHILD, &host,
                                          designs(nullptr)->nameList, err);
    return rc == 0 ? 0 : wrapped(err, EIO, fn, 4);
}
