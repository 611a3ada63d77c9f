// The stat cache: facts about one file, each determined on first request
// and remembered as a (value, known) pair.
#include <kraster/kfio.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "core/kfio_internal.hpp"

namespace {

struct Fact {
    int64_t value;
    bool known;
};

enum class Type { Name, Int32, Int64 };

Type typeOf(int option) {
    switch (option) {
        case KFIO_STAT_FILE_NAME:
            return Type::Name;
        case KFIO_STAT_READ_ACCESS:
        case KFIO_STAT_WRITE_ACCESS:
        case KFIO_STAT_EXECUTE_ACCESS:
        case KFIO_STAT_IS_LOCAL:
        case KFIO_STAT_SIZE:
        case KFIO_STAT_EXISTS:
        case KFIO_STAT_IS_DIRECTORY:
        case KFIO_STAT_IS_REGULAR:
        case KFIO_STAT_IS_SYMLINK:
        case KFIO_STAT_PERMISSIONS:
        case KFIO_STAT_READ_ONLY:
        case KFIO_STAT_IS_ASCII:
            return Type::Int32;
        default:
            return Type::Int64;
    }
}

// File systems whose files live on another machine.
bool isNetworkFileSystem(int64_t type) {
    switch (static_cast<uint32_t>(type)) {
        case 0x6969u:      // NFS
        case 0x517Bu:      // SMB
        case 0xFF534D42u:  // CIFS
        case 0xFE534D42u:  // SMB2
        case 0x73757245u:  // Coda
        case 0x5346414Fu:  // AFS
        case 0x01021997u:  // 9P
        case 0x00C36400u:  // Ceph
        case 0x47504653u:  // GPFS
        case 0x0BD00BD0u:  // Lustre
            return true;
        default:
            return false;
    }
}

}  // namespace

struct Kfio_StatCache {
    char *fileName;
    Fact facts[KFIO_STAT_OPTION_COUNT + 1];
};

namespace {

void forget(Kfio_StatCache *cache) {
    for (Fact &f : cache->facts) f = Fact{0, false};
}

void learn(Kfio_StatCache *cache, int option, int64_t value) {
    cache->facts[option] = Fact{value, true};
}

// Fills the facts that one stat call gives. False when the file is not
// there to ask.
bool learnStat(Kfio_StatCache *cache) {
    struct stat st;
    if (stat(cache->fileName, &st) != 0) return false;
    learn(cache, KFIO_STAT_SIZE64, st.st_size);
    learn(cache, KFIO_STAT_IS_DIRECTORY, S_ISDIR(st.st_mode));
    learn(cache, KFIO_STAT_IS_REGULAR, S_ISREG(st.st_mode));
    learn(cache, KFIO_STAT_ACCESS_TIME, st.st_atime);
    learn(cache, KFIO_STAT_MODIFY_TIME, st.st_mtime);
    learn(cache, KFIO_STAT_CHANGE_TIME, st.st_ctime);
    learn(cache, KFIO_STAT_PERMISSIONS, st.st_mode & 07777);
    learn(cache, KFIO_STAT_OWNER, st.st_uid);
    learn(cache, KFIO_STAT_GROUP, st.st_gid);
    learn(cache, KFIO_STAT_LINK_COUNT, static_cast<int64_t>(st.st_nlink));
    learn(cache, KFIO_STAT_DEVICE, static_cast<int64_t>(st.st_dev));
    learn(cache, KFIO_STAT_INODE, static_cast<int64_t>(st.st_ino));
    learn(cache, KFIO_STAT_BLOCK_SIZE, st.st_blksize);
    learn(cache, KFIO_STAT_BLOCKS, st.st_blocks);
    learn(cache, KFIO_STAT_READ_ONLY, (st.st_mode & 0222) == 0);
    return true;
}

// Determines one fact; false when it cannot be told for this file.
bool determine(Kfio_StatCache *cache, int option) {
    if (cache->facts[option].known) return true;
    const char *name = cache->fileName;
    struct stat st;
    switch (option) {
        case KFIO_STAT_EXISTS:
            learn(cache, option, lstat(name, &st) == 0);
            return true;
        case KFIO_STAT_IS_SYMLINK:
            if (lstat(name, &st) != 0) return false;
            learn(cache, option, S_ISLNK(st.st_mode));
            return true;
        case KFIO_STAT_READ_ACCESS:
        case KFIO_STAT_WRITE_ACCESS:
        case KFIO_STAT_EXECUTE_ACCESS: {
            if (stat(name, &st) != 0) return false;
            const int how = option == KFIO_STAT_READ_ACCESS    ? R_OK
                            : option == KFIO_STAT_WRITE_ACCESS ? W_OK
                                                               : X_OK;
            learn(cache, option, access(name, how) == 0);
            return true;
        }
        case KFIO_STAT_IS_LOCAL:
        case KFIO_STAT_FS_TYPE: {
            struct statfs fs;
            if (statfs(name, &fs) != 0) return false;
            learn(cache, KFIO_STAT_FS_TYPE, static_cast<int64_t>(fs.f_type));
            learn(cache, KFIO_STAT_IS_LOCAL, !isNetworkFileSystem(static_cast<int64_t>(fs.f_type)));
            return true;
        }
        case KFIO_STAT_BYTES_AVAILABLE: {
            struct statvfs vfs;
            if (statvfs(name, &vfs) != 0) return false;
            learn(cache, option,
                  static_cast<int64_t>(vfs.f_bavail) * static_cast<int64_t>(vfs.f_frsize));
            return true;
        }
        case KFIO_STAT_IS_ASCII: {
            int r = kfio_IsFileAscii(name, nullptr);
            if (r < 0) return false;
            learn(cache, option, r);
            return true;
        }
        case KFIO_STAT_SIZE:
            if (!determine(cache, KFIO_STAT_SIZE64)) return false;
            learn(cache, option, cache->facts[KFIO_STAT_SIZE64].value);
            return true;
        default:
            return learnStat(cache) && cache->facts[option].known;
    }
}

int walk(Kfio_StatCache *cache, bool set, va_list ap, kr::Report &e) {
    const char *const fn = set ? "kfio_StatCacheSet" : "kfio_StatCacheGet";
    if (!cache) {
        e.error(fn, 1, "Null parameter passed to %s.", fn);
        return -1;
    }
    int result = 0;
    for (;;) {
        const int option = va_arg(ap, int);
        if (option == 0) break;
        if (option < 1 || option > KFIO_STAT_OPTION_COUNT) {
            e.error(fn, 802, "Unknown option %d to %s", option, fn);
            return -1;
        }
        void *address = va_arg(ap, void *);
        if (!address) {
            e.error(fn, 805, "Null value address for option %d", option);
            result = -1;
            continue;
        }
        const Type type = typeOf(option);
        if (set) {
            if (type == Type::Name) {
                char *name = kstr_Duplicate(*static_cast<const char *const *>(address));
                if (!name) {
                    e.error(fn, 349, "Insufficient memory for a StatCache object");
                    result = -1;
                    continue;
                }
                kmsc_HeapFree(cache->fileName);
                cache->fileName = name;
                forget(cache);
            } else {
                learn(cache, option,
                      type == Type::Int32 ? *static_cast<const int32_t *>(address)
                                          : *static_cast<const int64_t *>(address));
            }
            continue;
        }
        if (type == Type::Name) {
            *static_cast<const char **>(address) = cache->fileName;
            continue;
        }
        if (!determine(cache, option)) {
            e.error(fn, 812, "Option %d can not be determined for this file.", option);
            result = -1;
            continue;
        }
        int64_t value = cache->facts[option].value;
        if (option == KFIO_STAT_SIZE && value > INT32_MAX) {
            kr::warn(nullptr, fn, 820, "File is larger than 2G.  Size will be reported as 2G.");
            value = INT32_MAX;
        }
        if (type == Type::Int32)
            *static_cast<int32_t *>(address) = static_cast<int32_t>(value);
        else
            *static_cast<int64_t *>(address) = value;
    }
    return result;
}

}  // namespace

extern "C" {

KRASTER_API int kfio_StatCacheCreate(const char *fileName, Kfio_StatCache **cache,
                                     Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_StatCacheCreate";
    kr::Report e(err);
    if (!fileName || !cache) {
        e.error(fn, 339, "Null parameter passed to kfio_StatCacheCreate.");
        return -1;
    }
    char *name = kfio::expandPath(fileName, e);
    if (!name) {
        e.error(fn, 349, "Insufficient memory for a StatCache object");
        return -1;
    }
    Kfio_StatCache *c = *cache;
    if (!c) {
        c = static_cast<Kfio_StatCache *>(kmsc_HeapMalloc(sizeof(Kfio_StatCache)));
        if (!c) {
            kmsc_HeapFree(name);
            e.error(fn, 349, "Insufficient memory for a StatCache object");
            return -1;
        }
        *cache = c;
    }
    kmsc_HeapFree(c->fileName);
    c->fileName = name;
    forget(c);
    return 0;
}

KRASTER_API int kfio_StatCacheGet(Kfio_StatCache *cache, Kerr_ErrorReport **err, ...) {
    kr::Report e(err);
    va_list ap;
    va_start(ap, err);
    int r = walk(cache, false, ap, e);
    va_end(ap);
    return r;
}

KRASTER_API int kfio_StatCacheSet(Kfio_StatCache *cache, Kerr_ErrorReport **err, ...) {
    kr::Report e(err);
    va_list ap;
    va_start(ap, err);
    int r = walk(cache, true, ap, e);
    va_end(ap);
    return r;
}

KRASTER_API void kfio_StatCacheFree(Kfio_StatCache *cache) {
    if (!cache) return;
    kmsc_HeapFree(cache->fileName);
    kmsc_HeapFree(cache);
}

}  // extern "C"
