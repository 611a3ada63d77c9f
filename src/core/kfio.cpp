// Buffered file access (first part: open and close, used by the toolkit's
// null device).
#include <kraster/kfio.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <strings.h>

#include "core/report.hpp"

extern "C" {

KRASTER_API Kfio_Fd *kfio_Open(const char *path, const char *mode, Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_Open";
    kr::Report e(err);
    if (!path || !mode) {
        e.error(fn, 2, "Null argument");
        return nullptr;
    }
    char *expanded = kstr_PathExpand(path, e.out());
    if (!expanded) {
        e.error(fn, 3);
        return nullptr;
    }
    int flags;
    bool write = true;
    if (mode[0] == 'w' || mode[0] == 'W')
        flags = O_RDWR | O_CREAT | O_TRUNC;
    else if (mode[0] == 'a' || mode[0] == 'A')
        flags = O_RDWR | O_CREAT;
    else if ((mode[0] == 'r' || mode[0] == 'R') && strchr(mode, '+'))
        flags = O_RDWR;
    else {
        flags = O_RDONLY;
        write = false;
    }
    int fd = open(expanded, flags | O_CLOEXEC, 0666);
    if (fd < 0) {
        e.error(fn, 1, "Error opening file %s\nError %d", expanded, errno);
        kmsc_HeapFree(expanded);
        return nullptr;
    }
    auto *f = static_cast<Kfio_Fd *>(kmsc_HeapMalloc(sizeof(Kfio_Fd)));
    char *modeCopy = kstr_Duplicate(mode);
    if (!f || !modeCopy) {
        close(fd);
        kmsc_HeapFree(f);
        kmsc_HeapFree(modeCopy);
        kmsc_HeapFree(expanded);
        e.error(fn, 4, "No memory");
        return nullptr;
    }
    f->validityMark = f->osHandle = fd;
    f->path = expanded;
    f->mode = modeCopy;
    f->openFlag = 1;
    f->writeAccess = write ? 1 : 0;
    f->bufferCursor = -1;
    f->bufferPosition = -1;
    f->bufferCapacity = KFIO_BUFFER_SIZE;
    return f;
}

KRASTER_API int kfio_Close(Kfio_Fd *fd, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!fd || fd->validityMark != fd->osHandle) return 0;
    close(fd->osHandle);
    kmsc_HeapFree(fd->path);
    kmsc_HeapFree(fd->mode);
    kmsc_HeapFree(fd);
    return 0;
}

}  // extern "C"
