// File-system operations: thin wrappers over the OS with reports, file and
// directory copies and removal, deleting with a retry question, and the
// memory-mapping entry points (which map nothing).
#include <kraster/kfio.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>
#include <kraster/kthr.h>

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "core/kfio_internal.hpp"

namespace {

using kfio::HeapString;

int defaultQuery(const char *, int) {
    return KFIO_ANSWER_CANCEL;
}
Kfio_QueryFunction g_query = defaultQuery;

// Expands a path argument; NULL (with a report of fn) when it is NULL or
// cannot be expanded.
HeapString expand(const char *path, const char *fn, kr::Report &e) {
    if (!path) {
        e.error(fn, 90, "Null path");
        return nullptr;
    }
    HeapString p(kfio::expandPath(path, e));
    if (!p) e.error(fn, 91);
    return p;
}

void fill(Kfio_StatInfo *info, const struct stat &st) {
    if (!info) return;
    info->size = st.st_size;
    info->mode = st.st_mode;
    info->linkCount = static_cast<uint32_t>(st.st_nlink);
    info->owner = st.st_uid;
    info->group = st.st_gid;
    info->accessTime = st.st_atime;
    info->modifyTime = st.st_mtime;
    info->changeTime = st.st_ctime;
    info->device = st.st_dev;
    info->inode = st.st_ino;
}

bool missing(int error) {
    return error == ENOENT || error == ENOTDIR;
}

int statIfPresent(const char *path, Kfio_StatInfo *info, bool link, const char *fn, kr::Report &e) {
    HeapString p = expand(path, fn, e);
    if (!p) return -1;
    struct stat st;
    if ((link ? lstat(p.get(), &st) : stat(p.get(), &st)) == 0) {
        fill(info, st);
        return 1;
    }
    if (missing(errno)) return 0;
    e.error(fn, 1, "Unable to get the status of %s\n%s", p.get(), strerror(errno));
    return -1;
}

// Free bytes for the caller on the file system of path, or of the
// directory that would hold it when it does not exist yet.
int64_t freeBytes(const char *path, const char *fn, kr::Report &e) {
    HeapString p = expand(path, fn, e);
    if (!p) return -1;
    struct statvfs vfs;
    if (statvfs(p.get(), &vfs) != 0) {
        HeapString parent(kfio_UpDir(p.get(), nullptr));
        if (!parent || statvfs(parent.get(), &vfs) != 0) {
            e.error(fn, 1, "Unable to get the free space of %s\n%s", p.get(), strerror(errno));
            return -1;
        }
    }
    return static_cast<int64_t>(vfs.f_bavail) * static_cast<int64_t>(vfs.f_frsize);
}

int copyFile(const char *source, const char *destination, kr::Report &e) {
    static const char *const fn = "kfio_FileCopy";
    struct stat from, to;
    if (stat(source, &from) != 0) {
        e.error(fn, 1, "Unable to copy %s\n%s", source, strerror(errno));
        return -1;
    }
    // Opening the target with "w+b" would empty the source first.
    if (stat(destination, &to) == 0 && to.st_dev == from.st_dev && to.st_ino == from.st_ino) {
        e.error(fn, 2, "Cannot copy %s onto itself", source);
        return -1;
    }
    Kfio_Fd *in = kfio_Open(source, "rb", e.out());
    if (!in) {
        e.error(fn, 3);
        return -1;
    }
    Kfio_Fd *out = kfio_Open(destination, "w+b", e.out());
    if (!out) {
        kfio_Close(in, nullptr);
        e.error(fn, 4);
        return -1;
    }
    std::vector<unsigned char> chunk(1 << 20);
    bool ok = true;
    for (;;) {
        size_t n = kfio_ReadSeq(in, chunk.data(), chunk.size(), nullptr);
        if (n > 0 && kfio_WriteSeq(out, chunk.data(), n, e.out()) != n) {
            ok = false;
            break;
        }
        if (n < chunk.size()) break;
    }
    kfio_Close(in, nullptr);
    if (kfio_Close(out, ok ? e.out() : nullptr) != 0) {
        kfio_fclose(out);  // drops what could not be written
        ok = false;
    }
    if (!ok) {
        e.error(fn, 5, "Unable to copy %s to %s", source, destination);
        return -1;
    }
    chmod(destination, from.st_mode & 07777);
    return 0;
}

int copyDirectory(const std::string &source, const std::string &destination, kr::Report &e) {
    static const char *const fn = "kfio_DirectoryCopy";
    struct stat st;
    if (stat(source.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        e.error(fn, 1, "%s: no such directory", source.c_str());
        return -1;
    }
    if (mkdir(destination.c_str(), st.st_mode & 07777) != 0 && errno != EEXIST) {
        e.error(fn, 2, "Unable to create directory %s\n%s", destination.c_str(), strerror(errno));
        return -1;
    }
    DIR *dir = opendir(source.c_str());
    if (!dir) {
        e.error(fn, 3, "Unable to read directory %s\n%s", source.c_str(), strerror(errno));
        return -1;
    }
    int result = 0;
    while (struct dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string from = source + "/" + name, to = destination + "/" + name;
        struct stat est;
        if (lstat(from.c_str(), &est) != 0) continue;
        if (S_ISDIR(est.st_mode)) {
            result = copyDirectory(from, to, e);
        } else if (S_ISLNK(est.st_mode)) {
            std::vector<char> target(PATH_MAX + 1);
            ssize_t n = readlink(from.c_str(), target.data(), PATH_MAX);
            if (n >= 0) {
                target[static_cast<size_t>(n)] = '\0';
                unlink(to.c_str());
                if (symlink(target.data(), to.c_str()) != 0) {
                    e.error(fn, 4, "Unable to copy the link %s\n%s", from.c_str(), strerror(errno));
                    result = -1;
                }
            }
        } else if (S_ISREG(est.st_mode)) {
            result = copyFile(from.c_str(), to.c_str(), e);
        }
        if (result != 0) break;
    }
    closedir(dir);
    return result;
}

// Removes a tree; "RECYCLED" entries, and so the directories above them,
// stay. *kept is set when something stayed.
int removeTree(const std::string &path, bool *kept, kr::Report &e) {
    static const char *const fn = "kfio_DirectoryRemoveRecursive";
    DIR *dir = opendir(path.c_str());
    if (!dir) {
        e.error(fn, 1, "Unable to read directory %s\n%s", path.c_str(), strerror(errno));
        return -1;
    }
    int result = 0;
    bool keptHere = false;
    while (struct dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (kstr_Eqic(name.c_str(), "RECYCLED")) {
            keptHere = true;
            continue;
        }
        const std::string child = path + "/" + name;
        struct stat st;
        if (lstat(child.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            result = removeTree(child, &keptHere, e);
        } else if (unlink(child.c_str()) != 0) {
            e.error(fn, 2, "Unable to remove %s\n%s", child.c_str(), strerror(errno));
            result = -1;
        }
        if (result != 0) break;
    }
    closedir(dir);
    if (result != 0) return result;
    if (keptHere) {
        *kept = true;
        return 0;
    }
    if (rmdir(path.c_str()) != 0) {
        e.error(fn, 3, "Unable to remove directory %s\n%s", path.c_str(), strerror(errno));
        return -1;
    }
    return 0;
}

const char *unlinkMessage(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
        case EROFS:
            return "The file %s cannot be deleted\nbecause the read-only attribute is set.\n\n"
                   "Change the access permissions and then press 'Retry' to continue,\n"
                   "or press 'Cancel'.";
        case EBUSY:
        case ETXTBSY:
            return "The file %s cannot be deleted\nbecause it is in use by another "
                   "application.\n\nClose the file and then press 'Retry' to continue,\n"
                   "or press 'Cancel'.";
        default:
            return "File %s cannot be deleted.\nThe file is open, is displayed on a viewer, or "
                   "is in read-only mode\nYou may close the file, clear the viewer, or change the "
                   "read-only atribute\nand retry the operation.\n";
    }
}

}  // namespace

extern "C" {

KRASTER_API int kfio_Access(const char *path, int mode, Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_Access";
    kr::Report e(err);
    HeapString p = expand(path, fn, e);
    if (!p) return -1;
    int how = ((mode & 4) ? R_OK : 0) | ((mode & 2) ? W_OK : 0) | ((mode & 1) ? X_OK : 0);
    if (access(p.get(), how ? how : F_OK) == 0) return 0;
    e.error(fn, 1, "Cannot access %s\n%s", p.get(), strerror(errno));
    return -1;
}

KRASTER_API int kfio_Create(const char *path, uint32_t permissions, Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_Create";
    kr::Report e(err);
    HeapString p = expand(path, fn, e);
    if (!p) return -1;
    int d = kfio::osOpen(p.get(), O_WRONLY | O_CREAT | O_TRUNC, permissions & 07777);
    if (d < 0) {
        e.error(fn, 1, "Unable to create %s\n%s", p.get(), strerror(errno));
        return -1;
    }
    close(d);
    return 0;
}

KRASTER_API int kfio_Chmod(const char *path, uint32_t permissions, Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_Chmod";
    kr::Report e(err);
    HeapString p = expand(path, fn, e);
    if (!p) return -1;
    if (chmod(p.get(), permissions & 07777) == 0) return 0;
    e.error(fn, 1, "Unable to change the permissions of %s\n%s", p.get(), strerror(errno));
    return -1;
}

KRASTER_API int kfio_IsFileReadOnly(const char *path, Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_IsFileReadOnly";
    kr::Report e(err);
    HeapString p = expand(path, fn, e);
    if (!p) return -1;
    struct stat st;
    if (stat(p.get(), &st) != 0) {
        e.error(fn, 1, "Unable to get the status of %s\n%s", p.get(), strerror(errno));
        return -1;
    }
    return access(p.get(), W_OK) == 0 ? 0 : 1;
}

KRASTER_API int kfio_Stat(const char *path, Kfio_StatInfo *info, Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_Stat";
    kr::Report e(err);
    int r = statIfPresent(path, info, false, fn, e);
    if (r == 0) e.error(fn, 2, "Unable to get the status of %s\n%s", path, strerror(ENOENT));
    return r == 1 ? 0 : -1;
}

KRASTER_API int kfio_StatIfPresent(const char *path, Kfio_StatInfo *info, Kerr_ErrorReport **err) {
    kr::Report e(err);
    return statIfPresent(path, info, false, "kfio_StatIfPresent", e);
}

KRASTER_API int kfio_LstatIfPresent(const char *path, Kfio_StatInfo *info, Kerr_ErrorReport **err) {
    kr::Report e(err);
    return statIfPresent(path, info, true, "kfio_LstatIfPresent", e);
}

KRASTER_API int kfio_SetModTime(const char *path, int64_t seconds, Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_SetModTime";
    kr::Report e(err);
    HeapString p = expand(path, fn, e);
    if (!p) return -1;
    struct timespec times[2] = {{static_cast<time_t>(seconds), 0},
                                {static_cast<time_t>(seconds), 0}};
    if (utimensat(AT_FDCWD, p.get(), times, 0) == 0) return 0;
    e.error(fn, 1, "Unable to set the modification time of %s\n%s", p.get(), strerror(errno));
    return -1;
}

KRASTER_API int kfio_FileExists(const char *path, Kerr_ErrorReport **err) {
    kr::Report e(err);
    Kfio_StatInfo info;
    return statIfPresent(path, &info, false, "kfio_FileExists", e) == 1 && !S_ISDIR(info.mode);
}

KRASTER_API int kfio_IsDirectory(const char *path, Kerr_ErrorReport **err) {
    kr::Report e(err);
    Kfio_StatInfo info;
    return statIfPresent(path, &info, false, "kfio_IsDirectory", e) == 1 && S_ISDIR(info.mode);
}

KRASTER_API int kfio_FileNameExistAsFileOrDir(const char *path, Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_FileNameExistAsFileOrDir";
    kr::Report e(err);
    HeapString p = expand(path, fn, e);
    if (!p) return -1;
    struct stat st;
    if (stat(p.get(), &st) == 0) return S_ISDIR(st.st_mode) ? 1 : 2;
    if (missing(errno)) return 0;
    e.error(fn, 1, "Unable to test %s\n%s", p.get(), strerror(errno));
    return -1;
}

KRASTER_API int kfio_MakeDir(const char *path, Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_MakeDir";
    kr::Report e(err);
    HeapString p = expand(path, fn, e);
    if (!p) return -1;
    if (mkdir(p.get(), 0777) == 0) return 0;
    e.error(fn, 1, "Unable to create directory %s\n%s", p.get(), strerror(errno));
    return -1;
}

KRASTER_API int kfio_ChangeDir(const char *path, Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_ChangeDir";
    kr::Report e(err);
    HeapString p = expand(path, fn, e);
    if (!p) return -1;
    if (chdir(p.get()) == 0) return 0;
    e.error(fn, 1, "Unable to change to directory %s\n%s", p.get(), strerror(errno));
    return -1;
}

KRASTER_API char *kfio_CurrentDirName(Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_CurrentDirName";
    kr::Report e(err);
    for (size_t size = 256; size <= (size_t{1} << 20); size *= 2) {
        auto *buffer = static_cast<char *>(kmsc_HeapMalloc(size));
        if (!buffer) break;
        if (getcwd(buffer, size)) return buffer;
        const int code = errno;
        kmsc_HeapFree(buffer);
        if (code != ERANGE) {
            e.error(fn, 1, "Unable to get the current directory\n%s", strerror(code));
            return nullptr;
        }
    }
    e.error(fn, 2, "Unable to get the current directory");
    return nullptr;
}

KRASTER_API char *kfio_UpDir(const char *path, Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_UpDir";
    kr::Report e(err);
    HeapString p = expand(path, fn, e);
    if (!p) return nullptr;
    char *s = p.get();
    size_t n = strlen(s);
    while (n > 1 && s[n - 1] == '/') --n;  // "a/b/" is "a/b"
    while (n > 0 && s[n - 1] != '/') --n;  // drop the last name
    while (n > 1 && s[n - 1] == '/') --n;  // and the slashes before it
    const char *r = n == 0 ? "." : nullptr;
    char *up = r ? kstr_Duplicate(r) : kstr_DuplicateN(s, n);
    if (!up) e.error(fn, 1, "Insufficient memory");
    return up;
}

KRASTER_API int kfio_DirectoryCopy(const char *source, const char *destination,
                                   Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_DirectoryCopy";
    kr::Report e(err);
    HeapString from = expand(source, fn, e);
    HeapString to = from ? expand(destination, fn, e) : nullptr;
    if (!to) return -1;
    return kfio::guarded(e, fn, -1, [&] { return copyDirectory(from.get(), to.get(), e); });
}

KRASTER_API int kfio_FileCopy(const char *source, const char *destination, Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_FileCopy";
    kr::Report e(err);
    HeapString from = expand(source, fn, e);
    HeapString to = from ? expand(destination, fn, e) : nullptr;
    if (!to) return -1;
    return kfio::guarded(e, fn, -1, [&] { return copyFile(from.get(), to.get(), e); });
}

KRASTER_API int kfio_FileNameChange(const char *oldPath, const char *newPath,
                                    Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_FileNameChange";
    kr::Report e(err);
    HeapString from = expand(oldPath, fn, e);
    HeapString to = from ? expand(newPath, fn, e) : nullptr;
    if (!to) return -1;
    if (rename(from.get(), to.get()) == 0) return 0;
    const int code = errno;
    struct stat st;
    if (code == EXDEV && stat(from.get(), &st) == 0 && !S_ISDIR(st.st_mode)) {
        // Another file system: copy, then remove the original.
        int r = kfio::guarded(e, fn, -1, [&] { return copyFile(from.get(), to.get(), e); });
        if (r == 0 && unlink(from.get()) == 0) return 0;
        if (r == 0) e.error(fn, 2, "Unable to remove %s\n%s", from.get(), strerror(errno));
    }
    e.error(fn, 1, "Unable to rename %s to %s\n%s", from.get(), to.get(), strerror(code));
    return -1;
}

KRASTER_API int kfio_DirectoryRemove(const char *path, Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_DirectoryRemove";
    kr::Report e(err);
    HeapString p = expand(path, fn, e);
    if (!p) return -1;
    if (rmdir(p.get()) == 0) return 0;
    e.error(fn, 1, "Unable to remove directory %s\n%s", p.get(), strerror(errno));
    return -1;
}

KRASTER_API int kfio_DirectoryRemoveRecursive(const char *path, Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_DirectoryRemoveRecursive";
    kr::Report e(err);
    HeapString p = expand(path, fn, e);
    if (!p) return -1;
    bool kept = false;
    return kfio::guarded(e, fn, -1, [&] { return removeTree(p.get(), &kept, e); });
}

KRASTER_API Kstr_StringList *kfio_FindFilesInPath(const char *directory, const char *pattern,
                                                  Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_FindFilesInPath";
    kr::Report e(err);
    HeapString p = expand(directory, fn, e);
    if (!p) return nullptr;
    return kfio::guarded<Kstr_StringList *>(e, fn, nullptr, [&]() -> Kstr_StringList * {
        DIR *dir = opendir(p.get());
        if (!dir) {
            e.error(fn, 1, "Unable to read directory %s\n%s", p.get(), strerror(errno));
            return nullptr;
        }
        std::vector<std::string> names;
        while (struct dirent *entry = readdir(dir)) {
            if (!strcmp(entry->d_name, ".") || !strcmp(entry->d_name, "..")) continue;
            if (!pattern || fnmatch(pattern, entry->d_name, 0) == 0) names.push_back(entry->d_name);
        }
        closedir(dir);
        std::sort(names.begin(), names.end());
        Kstr_StringList *list = kstr_StringListCreate(e.out());
        for (size_t i = 0; list && i < names.size(); ++i) {
            if (kstr_StringListAppend(list, names[i].c_str(), e.out()) != 0) {
                kstr_StringListFree(list);
                list = nullptr;
            }
        }
        if (!list) e.error(fn, 2);
        return list;
    });
}

KRASTER_API char *kfio_NextFilename(const char *name, Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_NextFilename";
    kr::Report e(err);
    HeapString p = expand(name, fn, e);
    if (!p) return nullptr;
    return kfio::guarded<char *>(e, fn, nullptr, [&]() -> char * {
        const std::string path = p.get();
        const size_t slash = path.rfind('/');
        const size_t baseStart = slash == std::string::npos ? 0 : slash + 1;
        size_t dot = path.rfind('.');
        if (dot == std::string::npos || dot <= baseStart) dot = path.size();
        size_t digits = dot;
        while (digits > baseStart && isdigit(static_cast<unsigned char>(path[digits - 1])))
            --digits;
        const std::string stem = path.substr(0, digits), extension = path.substr(dot);
        const int width = static_cast<int>(dot - digits);
        // Numbers too long to count are restarted at 1 after them.
        unsigned long long number = 0;
        if (width > 0 && width <= 18) number = std::stoull(path.substr(digits, dot - digits));
        const std::string head = width > 18 ? path.substr(0, dot) : stem;
        for (int tries = 0; tries < 100000; ++tries) {
            ++number;
            char digitsText[32];
            snprintf(digitsText, sizeof digitsText, "%0*llu", width <= 18 ? width : 0, number);
            const std::string candidate = head + digitsText + extension;
            struct stat st;
            if (lstat(candidate.c_str(), &st) != 0 && errno == ENOENT) {
                char *r = kstr_Duplicate(candidate.c_str());
                if (!r) e.error(fn, 2, "Insufficient memory");
                return r;
            }
        }
        e.error(fn, 1, "No free name after %s", p.get());
        return nullptr;
    });
}

KRASTER_API int64_t kfio_FileSizeExtendedGet(const char *path, Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_FileSizeExtendedGet";
    kr::Report e(err);
    Kfio_StatInfo info;
    int r = statIfPresent(path, &info, false, fn, e);
    if (r == 1) return info.size;
    if (r == 0) e.error(fn, 2, "Unable to get the size of %s\n%s", path, strerror(ENOENT));
    return -1;
}

KRASTER_API uint32_t kfio_FileSizeGet(const char *path, Kerr_ErrorReport **err) {
    int64_t size = kfio_FileSizeExtendedGet(path, err);
    return size < 0 ? 0xFFFFFFFFu : static_cast<uint32_t>(size);
}

KRASTER_API int64_t kfio_BytesAvailable(const char *path, Kerr_ErrorReport **err) {
    kr::Report e(err);
    return freeBytes(path, "kfio_BytesAvailable", e);
}

KRASTER_API int64_t kfio_BlocksAvailable(const char *path, int64_t blockSize,
                                         Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_BlocksAvailable";
    kr::Report e(err);
    if (blockSize <= 0) {
        e.error(fn, 2, "Invalid block size %" PRId64, blockSize);
        return -1;
    }
    int64_t bytes = freeBytes(path, fn, e);
    return bytes < 0 ? -1 : bytes / blockSize;
}

KRASTER_API int kfio_CheckBytesAvailable(const char *path, int64_t bytes, Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_CheckBytesAvailable";
    kr::Report e(err);
    int64_t available = freeBytes(path, fn, e);
    if (available < 0) return -1;
    if (available >= bytes) return 1;
    e.error(fn, 2, "Not enough disk space for %s: %" PRId64 " bytes needed, %" PRId64 " available",
            path, bytes, available);
    return 0;
}

KRASTER_API int kfio_IsFileAscii(const char *path, Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_IsFileAscii";
    kr::Report e(err);
    Kfio_Fd *fd = kfio_Open(path, "rb", e.out());
    if (!fd) {
        e.error(fn, 1);
        return -1;
    }
    unsigned char head[4096];
    size_t n = kfio_ReadSeq(fd, head, sizeof head, nullptr);
    kfio_Close(fd, nullptr);
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = head[i];
        if ((c < 0x20 || c > 0x7E) && c != '\t' && c != '\n' && c != '\r' && c != '\f') return 0;
    }
    return 1;
}

KRASTER_API int kfio_PathNameIsRelative(const char *path, Kerr_ErrorReport **err) {
    kr::Report e(err);
    HeapString p = expand(path, "kfio_PathNameIsRelative", e);
    return p && p.get()[0] != '/';
}

KRASTER_API int kfio_FileNameIsPortable(const char *name, Kerr_ErrorReport **err) {
    static const char kPortable[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789.-_";
    kr::Report e(err);
    if (!name) {
        e.error("kfio_FileNameIsPortable", 1, "Null name");
        return 0;
    }
    return *name && name[strspn(name, kPortable)] == '\0';
}

KRASTER_API char *kfio_GetFileVersionInfoField(const char *path, const char *field,
                                               Kerr_ErrorReport **err) {
    kr::Report e(err);
    e.error("kfio_GetFileVersionInfoField", 1,
            "No version information \\StringFileInfo\\040904B0\\%s in %s", field ? field : "",
            path ? path : "(null)");
    return nullptr;
}

KRASTER_API int kfio_FileSystemIsLocal(const char *) {
    return 1;
}

KRASTER_API int kfio_CountOpenFiles(void) {
    return 0;
}

KRASTER_API Kfio_Mmap *kfio_MmapCreate(Kfio_Fd *, int, Kerr_ErrorReport **err) {
    if (err) *err = nullptr;
    return nullptr;
}

KRASTER_API void kfio_MmapDestroy(Kfio_Mmap *) {}

KRASTER_API int kfio_MmapMap(Kfio_Mmap *, Kerr_ErrorReport **err) {
    if (err) *err = nullptr;
    return -1;
}

KRASTER_API int kfio_MmapUnmap(Kfio_Mmap *, Kerr_ErrorReport **err) {
    if (err) *err = nullptr;
    return 0;
}

KRASTER_API void *kfio_MmapMapExtent(Kfio_Mmap *, int64_t, size_t, Kerr_ErrorReport **err) {
    if (err) *err = nullptr;
    return nullptr;
}

KRASTER_API int kfio_MmapUnmapExtent(Kfio_Mmap *, void *, size_t, Kerr_ErrorReport **err) {
    if (err) *err = nullptr;
    return 0;
}

KRASTER_API void *kfio_MmapAddressGet(Kfio_Mmap *) {
    return nullptr;
}

KRASTER_API void *kfio_Mmap(Kfio_Fd *, int64_t, size_t, int, Kerr_ErrorReport **err) {
    if (err) *err = nullptr;
    return nullptr;
}

KRASTER_API int kfio_Munmap(void *, size_t) {
    return 0;
}

KRASTER_API Kfio_QueryFunction kfio_SetQueryFunction(Kfio_QueryFunction function) {
    kthr_ThreadUnsafeCodeEnter(0);
    Kfio_QueryFunction previous = g_query == defaultQuery ? nullptr : g_query;
    g_query = function ? function : defaultQuery;
    kthr_ThreadUnsafeCodeExit();
    return previous;
}

KRASTER_API int kfio_FileUnlink(const char *path, Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_FileUnlink";
    kr::Report e(err);
    HeapString p = expand(path, fn, e);
    if (!p) return -1;
    for (;;) {
        if (unlink(p.get()) == 0) return 0;
        const int code = errno;
        if (missing(code)) return 0;
        char *question = kstr_Sprintf(unlinkMessage(code), p.get());
        kthr_ThreadUnsafeCodeEnter(0);
        const int answer = g_query(question ? question : p.get(), KFIO_QUERY_RETRY_CANCEL);
        kthr_ThreadUnsafeCodeExit();
        kmsc_HeapFree(question);
        if (answer != KFIO_ANSWER_RETRY) {
            e.error(fn, 3363, "Unable to delete the file %s\n%s", p.get(), strerror(code));
            return -1;
        }
    }
}

}  // extern "C"
