// Image files inside the library: the raster format plug-in table, format
// identification, shared open files (AFile) and the close queue. The layer
// level reaches plug-ins through these records too.
#pragma once

#include <kraster/kimg.h>
#include <kraster/kthr.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kr::img {

// Holds the process-wide thread-unsafe section for its lifetime (when asked).
class Section {
  public:
    explicit Section(bool enter = true) : held_(enter) {
        if (held_) kthr_ThreadUnsafeCodeEnter(0);
    }
    ~Section() {
        if (held_) kthr_ThreadUnsafeCodeExit();
    }
    Section(const Section &) = delete;
    Section &operator=(const Section &) = delete;

  private:
    bool held_;
};

// The entry points of one plug-in, null where it exports none.
struct RFEntries {
#define KIMG_RF_ENTRY_FIELD(name, type, required) type name = nullptr;
    KIMG_RF_ENTRY_POINTS(KIMG_RF_ENTRY_FIELD)
#undef KIMG_RF_ENTRY_FIELD
};

// One raster format plug-in (RFInstance).
struct RFInstance {
    void *library = nullptr;   // dlopen handle; null while only described
    bool rejected = false;     // misbehaved: never used again in this process
    std::string rejectReason;  // why it was rejected, for listings
    std::string name;          // file name without directory, extension and "lib"
    std::string path;
    bool threadSafe = false;
    bool needsSupportFile = false;
    std::vector<std::string> titles, templates;
    std::vector<char> pseudo, creatable, isDir, filter;      // per title
    std::vector<std::string> shortNames, extensions, magic;  // per title
    std::vector<std::string> compressions, layerTypes, pixelTypes, dataOrders;
    RFEntries fn;

    bool loaded() const { return library != nullptr; }
    bool usable() const { return !rejected; }
    bool declaresMagic() const;
};

// Calls a plug-in entry: inside the thread-unsafe section unless the plug-in
// is thread-safe; errno is cleared before and saved after (the attempt's
// status) in *status when given.
template <class F, class... A>
auto call(const RFInstance &instance, F function, int *status, A... args) {
    Section section(!instance.threadSafe);
    errno = 0;
    auto result = function(args...);
    if (status) *status = errno;
    return result;
}

// Loads a described plug-in on first need ("Conditional load of DLL %s
// failed" as a warning when that fails, and the plug-in is rejected).
// Call inside the section. True when usable and loaded.
bool ensureLoaded(RFInstance &instance);
// Marks a plug-in rejected for the rest of the process.
void reject(RFInstance &instance);

// The process-wide table of plug-ins, built on first use. Call inside the
// section; null with a report when it cannot be built.
struct RFTable;
RFTable *table(Kerr_ErrorReport **err);
std::vector<RFInstance *> instances(RFTable *t);
// The libraries of the class that cannot be used (path and reason): those
// the table rejected and those that did not load when it was built.
std::vector<std::pair<std::string, std::string>> rejectedLibraries(RFTable *t);
RFInstance *instanceByTitle(RFTable *t, const std::string &title, long *titleIndex);

// The shared open file (AFile).
struct AFile {
    std::string name;
    long titleIndex = -1;
    RFInstance *instance = nullptr;
    void *readHandle = nullptr;
    void *updateHandle = nullptr;
    bool updateIsCreate = false;  // the update handle was made with "w+b"
    long references = 0;
    long readOpens = 0;
    long updateOpens = 0;
    bool exists = false;
    bool isDirectory = false;
};

// Identifies (when needed) and opens a shared file: mode "w+b", "r+b", "r"
// or null (identify only); title may be null. Failures leave *status (2, 13,
// 17, 19, 33, 34 ...) and a report. The result holds one reference.
AFile *afileOpen(const char *name, const char *title, const char *mode, int *status,
                 Kerr_ErrorReport **err);
// Releases one use of the mode's handle and one reference, at once.
int afileClose(AFile *file, const char *mode, Kerr_ErrorReport **err);
// Releases through the close queue (modes null, "r", "r+b"); "w+b" at once.
int afileQueue(AFile *file, const char *mode, Kerr_ErrorReport **err);
// The plug-in handle for a mode ("r" reuses the update handle when alone).
void *afileHandle(const AFile *file, const char *mode);
// Performs every queued close of the named file.
void dequeueName(const std::string &name);
void dequeueAll();
long queuedCount();

// Identification with a status instead of a report (RFFileNameIdentifyAndOpen).
// On success returns the instance, fills *titleIndex and, with a mode,
// *handle. On failure returns null with *status set and, unless quiet, a
// report.
RFInstance *identifyAndOpen(const char *name, const char *title, int accessKind, const char *mode,
                            long knownTitle, long *titleIndex, void **handle, int *status,
                            Kerr_ErrorReport **err);
constexpr int kAccessCreate = 1;
constexpr int kAccessFile = 2;
constexpr int kAccessDirectory = 8;
constexpr int kAccessOther = 16;

// The ".aux", ".rrd" or ".chp" name beside a file (same directory and base
// name).
std::string supportName(const std::string &name, const char *extension);
// Wildcard match of a base name against a template ("*", "?", "[...]"),
// letters ignoring case.
bool templateMatch(const char *pattern, const char *name);

// An auxiliary object as a plug-in hands it over: encoded bytes, the text of
// a dictionary holding its design, and the design's name (heap buffers,
// freed with the record).
struct EncodedObject {
    unsigned char *data = nullptr;
    long size = 0;
    char *dictionary = nullptr;
    char *type = nullptr;
    EncodedObject() = default;
    EncodedObject(const EncodedObject &) = delete;
    EncodedObject &operator=(const EncodedObject &) = delete;
    ~EncodedObject();
};
// Reads the object at nodePath of an open image file (from the image or its
// support file): 1 when read, 0 when there is none (no report), -1 with a
// report under fn.
int fileObjectRead(Kimg_File *file, const char *nodePath, EncodedObject &out, const char *fn,
                   Kerr_ErrorReport **err);
// Writes one (creating the support file when the format needs it): 0 or -1.
int fileObjectWrite(Kimg_File *file, const char *nodePath, const unsigned char *data, long size,
                    const char *dictionary, const char *type, const char *fn,
                    Kerr_ErrorReport **err);

// The plug-in of an open image file and its handle for reading or for
// update (null when the file is not held that way).
RFInstance *fileInstance(Kimg_File *file, bool forWrite, void **handle);

// Heap copy of a list (array of heap strings) for callers.
char **heapList(const std::vector<std::string> &list);

}  // namespace kr::img
