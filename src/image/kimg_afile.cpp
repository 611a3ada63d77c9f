// Shared open files (AFile): one per file name in use, one plug-in handle
// per mode shared by all users, and the queue of recently closed files.
#include <kraster/kfio.h>
#include <kraster/kfnp.h>

#include <algorithm>
#include <cstring>
#include <deque>

#include "core/report.hpp"
#include "image/kimg_internal.hpp"

namespace kr::img {

namespace {

constexpr const char *kOpenFn = "AFileIdentifyAndOpen";
constexpr const char *kCloseFn = "AFileClose";
constexpr size_t kQueueSize = 16;

// The AFile array; free slots (null) are reused.
std::vector<AFile *> g_files;

struct Queued {
    AFile *file;
    std::string mode;  // "", "r" or "r+b"
};
// Oldest first.
std::deque<Queued> g_queue;

bool same(const char *a, const char *b) {
    if (a == b) return true;
    if (!a || !b) return false;
    return std::strcmp(a, b) == 0;
}

bool isUpdate(const char *mode) {
    return mode && (same(mode, KIMG_RF_MODE_UPDATE) || same(mode, KIMG_RF_MODE_CREATE));
}

AFile *lookup(const char *name) {
    // Plain comparison first: the common case of one caller repeating a name.
    for (AFile *f : g_files)
        if (f && f->name == name) return f;
    for (AFile *f : g_files)
        if (f && kfnp_FileNameEquals(f->name.c_str(), name)) return f;
    return nullptr;
}

void release(AFile *file) {
    if (--file->references > 0) return;
    std::replace(g_files.begin(), g_files.end(), file, static_cast<AFile *>(nullptr));
    delete file;
}

}  // namespace

void *afileHandle(const AFile *file, const char *mode) {
    if (!file || !mode) return nullptr;
    if (isUpdate(mode)) return file->updateHandle;
    return file->readHandle ? file->readHandle : file->updateHandle;
}

AFile *afileOpen(const char *name, const char *title, const char *mode, int *status,
                 Kerr_ErrorReport **err) {
    Report e(err);
    int localStatus = 0;
    if (!status) status = &localStatus;
    *status = 0;
    if (!name || !*name) {
        *status = KIMG_RF_STATUS_NO_SUCH_FILE;
        e.error(kOpenFn, 1, "No file name");
        return nullptr;
    }
    if (mode && !same(mode, KIMG_RF_MODE_CREATE) && !same(mode, KIMG_RF_MODE_UPDATE) &&
        !same(mode, KIMG_RF_MODE_READ)) {
        *status = 22;
        e.error(kOpenFn, 2, "%s:  Invalid mode", name);
        return nullptr;
    }
    Section section;
    AFile *file = lookup(name);
    bool fresh = !file;
    if (fresh) {
        file = new AFile;
        file->name = name;
        Kerr_ErrorReport *se = nullptr;
        int kind = kfio_FileNameExistAsFileOrDir(name, &se);
        kerr_DeleteErrorReport(se);
        file->exists = kind > 0;
        file->isDirectory = kind == 1;
        auto slot = std::find(g_files.begin(), g_files.end(), nullptr);
        if (slot == g_files.end()) slot = g_files.insert(g_files.end(), nullptr);
        *slot = file;
    }
    ++file->references;
    auto fail = [&](int code, int st) {
        *status = st;
        (void)code;
        release(file);
        return static_cast<AFile *>(nullptr);
    };
    if (same(mode, KIMG_RF_MODE_CREATE) && file->exists) {
        e.error(kOpenFn, 3, "%s:  File already exists", name);
        return fail(3, KIMG_RF_STATUS_FILE_EXISTS);
    }
    if ((same(mode, KIMG_RF_MODE_READ) || same(mode, KIMG_RF_MODE_UPDATE)) && !file->exists) {
        e.error(kOpenFn, 4, "%s:  No such file or diretory", name);
        return fail(4, KIMG_RF_STATUS_NO_SUCH_FILE);
    }
    int kind = same(mode, KIMG_RF_MODE_CREATE) ? kAccessCreate
               : file->isDirectory             ? kAccessDirectory
               : file->exists                  ? kAccessFile
                                               : kAccessOther;
    void *handle = nullptr;
    if (!file->instance) {
        long index = -1;
        RFInstance *inst =
            identifyAndOpen(name, title, kind, mode, -1, &index, &handle, status, e.out());
        if (!inst) return fail(5, *status);
        file->instance = inst;
        file->titleIndex = index;
    } else if (title && file->instance->titles[file->titleIndex] != title) {
        e.error(kOpenFn, 6, "Title mismatch");
        return fail(6, KIMG_RF_STATUS_MISMATCH);
    }
    if (!mode) return file;
    bool update = isUpdate(mode);
    void *&slot = update ? file->updateHandle : file->readHandle;
    long &users = update ? file->updateOpens : file->readOpens;
    if (!update && !file->readHandle && file->updateHandle) {
        ++file->updateOpens;  // a read reuses the update handle
        if (handle)
            call(*file->instance, file->instance->fn.FileClose, nullptr, handle,
                 static_cast<Kerr_ErrorReport **>(nullptr));
        return file;
    }
    if (!slot) {
        if (!handle) {
            long index = -1;
            identifyAndOpen(name, file->instance->titles[file->titleIndex].c_str(), kind, mode,
                            file->titleIndex, &index, &handle, status, e.out());
            if (!handle) return fail(7, *status ? *status : KIMG_RF_STATUS_MISMATCH);
        }
        slot = handle;
        if (same(mode, KIMG_RF_MODE_CREATE)) {
            file->updateIsCreate = true;
            file->exists = true;
        }
    } else if (handle) {
        call(*file->instance, file->instance->fn.FileClose, nullptr, handle,
             static_cast<Kerr_ErrorReport **>(nullptr));
    }
    ++users;
    return file;
}

int afileClose(AFile *file, const char *mode, Kerr_ErrorReport **err) {
    Report e(err);
    if (!file) return 0;
    Section section;
    int rc = 0;
    if (mode) {
        bool update = isUpdate(mode);
        // A read served by the update handle released that handle's use.
        if (!update && !file->readHandle) update = true;
        void *&slot = update ? file->updateHandle : file->readHandle;
        long &users = update ? file->updateOpens : file->readOpens;
        if (users > 0 && --users == 0 && slot) {
            Kerr_ErrorReport *perr = nullptr;
            long r = call(*file->instance, file->instance->fn.FileClose, nullptr, slot, &perr);
            slot = nullptr;
            if (update) file->updateIsCreate = false;
            if (r < 0) {
                warn(perr, kCloseFn, 1, "AFileClose failed for %s", file->name.c_str());
                rc = -1;
            } else {
                kerr_DeleteErrorReport(perr);
            }
        }
    }
    release(file);
    return rc;
}

int afileQueue(AFile *file, const char *mode, Kerr_ErrorReport **err) {
    if (!file) return 0;
    if (same(mode, KIMG_RF_MODE_CREATE)) return afileClose(file, mode, err);
    Report e(err);
    Section section;
    std::string m = mode ? mode : "";
    for (auto it = g_queue.begin(); it != g_queue.end(); ++it)
        if (it->file == file && it->mode == m) {
            // Already queued: the entry becomes the newest and this close is
            // performed now.
            Queued q = *it;
            g_queue.erase(it);
            g_queue.push_back(q);
            return afileClose(file, mode, e.out());
        }
    int rc = 0;
    if (g_queue.size() >= kQueueSize) {
        Queued oldest = g_queue.front();
        g_queue.pop_front();
        rc = afileClose(oldest.file, oldest.mode.empty() ? nullptr : oldest.mode.c_str(), nullptr);
    }
    g_queue.push_back({file, m});
    return rc;
}

void dequeueName(const std::string &name) {
    Section section;
    for (auto it = g_queue.begin(); it != g_queue.end();) {
        if (it->file->name == name || kfnp_FileNameEquals(it->file->name.c_str(), name.c_str())) {
            Queued q = *it;
            it = g_queue.erase(it);
            afileClose(q.file, q.mode.empty() ? nullptr : q.mode.c_str(), nullptr);
        } else {
            ++it;
        }
    }
}

void dequeueAll() {
    Section section;
    while (!g_queue.empty()) {
        Queued q = g_queue.front();
        g_queue.pop_front();
        afileClose(q.file, q.mode.empty() ? nullptr : q.mode.c_str(), nullptr);
    }
}

long queuedCount() {
    Section section;
    return static_cast<long>(g_queue.size());
}

std::string supportName(const std::string &name, const char *extension) {
    size_t slash = name.find_last_of('/');
    size_t dot = name.find_last_of('.');
    std::string stem = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)
                           ? name.substr(0, dot)
                           : name;
    return stem + extension;
}

}  // namespace kr::img
