// Temporary directories (one per thread) and temporary names and files.
#include <kraster/kfio.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>
#include <kraster/kthr.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/kfio_internal.hpp"

namespace {

Kthr_Key g_temporaryKey = KTHR_KEY_INITIALIZER(kmsc_FreeFunc);

bool isDirectory(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Expands and checks a temporary directory; returns it as a heap string.
char *checkedDirectory(const char *directory, const char *fn, kr::Report &e) {
    char *expanded = kfio::expandPath(directory, e);
    if (!expanded) {
        e.error(fn, 1);
        return nullptr;
    }
    if (!isDirectory(expanded)) {
        e.error(fn, 4419, "%s: no such directory", expanded);
        kmsc_HeapFree(expanded);
        return nullptr;
    }
    if (access(expanded, R_OK | W_OK) != 0) {
        e.error(fn, 4422, "Cannot access %s", expanded);
        kmsc_HeapFree(expanded);
        return nullptr;
    }
    return expanded;
}

// 1 when something of that name exists, 0 when not, -1 when it cannot be
// told.
int nameExists(const char *name) {
    struct stat st;
    if (lstat(name, &st) == 0) return 1;
    return errno == ENOENT ? 0 : -1;
}

// Creates a unique file "tmpXXXXXX" in the temporary directory; returns
// its descriptor (the name in *name), or -1.
int createTemporary(const char *fn, kfio::HeapString *name, kr::Report &e) {
    const char *directory = kfio_DirectoryGetTemporary(e.out());
    if (!directory) {
        e.error(fn, 1);
        return -1;
    }
    name->reset(kstr_Sprintf("%s/tmpXXXXXX", directory));
    if (!*name) {
        e.error(fn, 2, "Insufficient memory for a temporary name");
        return -1;
    }
    int d = mkostemp(name->get(), O_CLOEXEC);
    if (d < 0) {
        e.error(fn, 3, "Unable to create a temporary file in %s\n%s", directory, strerror(errno));
        return -1;
    }
    return d;
}

}  // namespace

extern "C" {

KRASTER_API const char *kfio_DirectoryGetTemporary(Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_DirectoryGetTemporary";
    kr::Report e(err);
    if (auto *remembered = static_cast<const char *>(kthr_KeyGet(&g_temporaryKey)))
        return remembered;
    const char *value = "/tmp";
    for (const char *name : {"ORVEL_TMPDIR", "TEMP", "TMPDIR"}) {
        const char *v = getenv(name);
        if (v && *v) {
            value = v;
            break;
        }
    }
    char *directory = checkedDirectory(value, fn, e);
    if (!directory) return nullptr;
    if (kthr_KeySet(&g_temporaryKey, directory) != 0) {
        kmsc_HeapFree(directory);
        e.error(fn, 2, "Unable to remember the temporary directory");
        return nullptr;
    }
    return directory;
}

KRASTER_API int kfio_DirectorySetTemporary(const char *directory, Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_DirectorySetTemporary";
    kr::Report e(err);
    if (!directory) {
        e.error(fn, 3, "Null directory");
        return -1;
    }
    char *checked = checkedDirectory(directory, fn, e);
    if (!checked) return -1;
    void *old = kthr_KeyGet(&g_temporaryKey);
    if (kthr_KeySet(&g_temporaryKey, checked) != 0) {
        kmsc_HeapFree(checked);
        e.error(fn, 2, "Unable to remember the temporary directory");
        return -1;
    }
    kmsc_HeapFree(old);
    return 0;
}

KRASTER_API char *kfio_MakeTemp(char *pathTemplate) {
    if (!pathTemplate) return nullptr;
    const size_t end = strlen(pathTemplate);
    size_t start = end;
    while (start > 0 && (pathTemplate[start - 1] == 'X' || pathTemplate[start - 1] == 'x')) --start;
    // The process id, least significant digit last; X's to spare become 0.
    long pid = labs(static_cast<long>(getpid()));
    for (size_t i = end; i > start; --i) {
        pathTemplate[i - 1] = static_cast<char>('0' + pid % 10);
        pid /= 10;
    }
    if (char *slash = strrchr(pathTemplate, '/')) {
        // Test the directory part in place (the root stays "/").
        char *cut = slash == pathTemplate ? slash + 1 : slash;
        const char kept = *cut;
        *cut = '\0';
        const bool directoryExists = isDirectory(pathTemplate);
        *cut = kept;
        if (!directoryExists) return nullptr;
    }
    for (;;) {
        const int exists = nameExists(pathTemplate);
        if (exists == 0) return pathTemplate;
        if (exists < 0 || start == end) return nullptr;
        // Advance the first replaced character; "z" wraps and carries.
        for (size_t i = start;; ++i) {
            if (i == end) return nullptr;
            char &c = pathTemplate[i];
            if (isdigit(static_cast<unsigned char>(c))) {
                c = 'a';
                break;
            }
            if (c != 'z') {
                ++c;
                break;
            }
            c = 'a';
        }
    }
}

KRASTER_API char *kfio_TempName(const char *directory, const char *prefix, Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_TempName";
    kr::Report e(err);
    kfio::HeapString expanded;
    if (directory) {
        expanded.reset(kfio::expandPath(directory, e));
        if (!expanded) {
            e.error(fn, 1);
            return nullptr;
        }
        directory = expanded.get();
    } else {
        directory = kfio_DirectoryGetTemporary(e.out());
        if (!directory) {
            e.error(fn, 2);
            return nullptr;
        }
    }
    if (!prefix || !*prefix) prefix = "tmp.";
    const size_t n = strlen(directory);
    const bool adjoin = (n > 0 && directory[n - 1] == '/') || prefix[0] == '/';
    char *name = kstr_Sprintf(adjoin ? "%s%sXXXXXX" : "%s/%sXXXXXX", directory, prefix);
    if (!name) {
        e.error(fn, 3, "Insufficient memory for a temporary name");
        return nullptr;
    }
    if (!kfio_MakeTemp(name)) {
        e.error(fn, 4, "Unable to make a temporary name in %s", directory);
        kmsc_HeapFree(name);
        return nullptr;
    }
    return name;
}

KRASTER_API char *kfio_TempNameInTmpdir(const char *prefix, Kerr_ErrorReport **err) {
    return kfio_TempName(nullptr, prefix, err);
}

KRASTER_API Kfio_Fd *kfio_TmpFile(Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_TmpFile";
    kr::Report e(err);
    kfio::HeapString name;
    int d = createTemporary(fn, &name, e);
    if (d < 0) return nullptr;
    // The name goes now; the file lives until its descriptor is closed.
    unlink(name.get());
    Kfio_Fd *fd = kfio::newRecord(d, name.get(), "rw", true);
    if (!fd) {
        close(d);
        e.error(fn, 4, "Insufficient memory for a file handle");
        return nullptr;
    }
    name.release();
    return fd;
}

KRASTER_API char *kfio_TmpName(Kerr_ErrorReport **err) {
    kr::Report e(err);
    kfio::HeapString name;
    int d = createTemporary("kfio_TmpName", &name, e);
    if (d < 0) return nullptr;
    close(d);
    return name.release();
}

}  // extern "C"
