// Files of the preference manager: search lists, the definition files along
// ORVEL_PDF_PATH, the user file's location, and whole-file text access
// through the file layer.
#include <kraster/kfio.h>
#include <kraster/kint.h>
#include <kraster/kmsc.h>
#include <kraster/kpmg.h>
#include <kraster/kstr.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "core/report.hpp"
#include "preferences/prefs_internal.hpp"

namespace kr::prefs {
namespace {

const char *const kUserFile = "v8preference";

// Text files larger than this are not preference files.
constexpr int64_t kLargestFile = int64_t{16} << 20;

// The "*.pdf" files of a directory, sorted by name (none if it cannot be read).
std::vector<std::string> definitionFiles(const std::string &dir) {
    std::vector<std::string> files;
    Kerr_ErrorReport *ignored = nullptr;
    Kstr_StringList *names = kfio_FindFilesInPath(dir.c_str(), "*.pdf", &ignored);
    kerr_DeleteErrorReport(ignored);
    if (!names) return files;
    try {
        for (int32_t i = 0; i < names->count; ++i) {
            std::string path = dir + "/" + names->strings[i];
            if (isFile(path)) files.push_back(std::move(path));
        }
    } catch (...) {
        kstr_StringListFree(names);
        throw;
    }
    kstr_StringListFree(names);
    return files;
}

// Creates the directories of a path that are missing (not the last name).
void makeParentDirectories(const std::string &path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string dir = path.substr(0, slash);
        if (!kfio_IsDirectory(dir.c_str(), nullptr)) kfio_MakeDir(dir.c_str(), nullptr);
    }
}

// Directory of the user's own preferences when no search list is given.
bool personalDirectory(std::string &dir) {
    const char *xdg = getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') {
        dir = std::string(xdg) + "/kraster";
        return true;
    }
    const char *home = getenv("HOME");
    if (home && home[0]) {
        dir = std::string(home) + "/.config/kraster";
        return true;
    }
    return false;
}

}  // namespace

bool isFile(const std::string &path) {
    return kfio_FileExists(path.c_str(), nullptr) == 1;
}

bool searchList(const char *value, std::vector<std::string> &dirs, Kerr_ErrorReport **err) {
    kr::Report e(err);
    dirs.clear();
    Kfio_SearchList *list = kfio_CreateSLFromString(nullptr, value, e.out());
    if (e.failed()) return false;
    try {
        for (const Kfio_SearchList *n = list; n; n = n->next) dirs.push_back(n->directory);
    } catch (...) {
        kfio_FreeSL(list);
        throw;
    }
    kfio_FreeSL(list);
    return true;
}

bool readTextFile(const char *path, std::string &text, Kerr_ErrorReport **err) {
    static const char *const fn = "kpmg_ReadTextFile";
    kr::Report e(err);
    Kfio_Fd *fd = kfio_Open(path, "r", e.out());
    if (!fd) return false;
    bool ok = false;
    const int64_t size = kfio_FileSizeGetByHandle64(fd, e.out());
    if (size > kLargestFile) {
        e.error(fn, 1, "%s is too large for a preference file (%lld bytes)", path,
                static_cast<long long>(size));
    } else if (size >= 0) {
        try {
            text.assign(static_cast<size_t>(size), '\0');
            ok = kfio_ReadSeq(fd, text.data(), text.size(), e.out()) == text.size();
        } catch (...) {
            kfio_Close(fd, nullptr);
            throw;
        }
    }
    kfio_Close(fd, nullptr);
    return ok;
}

bool writeTextFile(const char *path, const std::string &text, Kerr_ErrorReport **err) {
    static const char *const fn = "kprf_DefaultDatabaseFlush";
    kr::Report e(err);
    makeParentDirectories(path);
    Kfio_Fd *fd = kfio_Open(path, "w+", e.out());
    if (!fd) {
        e.error(fn, 11, "Unable to Create/Open Global Preference file (%s).", path);
        return false;
    }
    const bool written = kfio_WriteSeq(fd, text.data(), text.size(), e.out()) == text.size();
    if (kfio_Close(fd, e.out()) != 0) {
        // The buffer could not be written out and the handle stayed open: the
        // file is lost anyway, so drop the buffer to release the handle.
        fd->dirty = 0;
        Kerr_ErrorReport *ignored = nullptr;
        kfio_Close(fd, &ignored);
        kerr_DeleteErrorReport(ignored);
        return false;
    }
    return written;
}

}  // namespace kr::prefs

using namespace kr::prefs;

extern "C" {

KRASTER_API const char *kpmg_GetPreferenceFileName(void) {
    return kUserFile;
}

KRASTER_API char *kpmg_InitPreferenceFileName(Kerr_ErrorReport **err) {
    static const char *const fn = "kpmg_InitPreferenceFileName";
    kr::Report e(err);
    try {
        std::vector<std::string> dirs;
        if (const char *env = getenv("ORVEL_PREFERENCES_PATH")) {
            if (!searchList(env, dirs, e.out())) {
                e.error(fn, 1,
                        "Environment variable ORVEL_PREFERENCES_PATH yields invalid search list");
                return nullptr;
            }
        }
        std::string path;
        for (const auto &d : dirs) {
            if (isFile(d + "/" + kUserFile)) {
                path = d + "/" + kUserFile;
                break;
            }
        }
        if (path.empty() && !dirs.empty()) path = dirs.front() + "/" + kUserFile;
        if (path.empty()) {
            std::string dir;
            if (!personalDirectory(dir)) {
                e.error(fn, 2,
                        "No directory for the user preference file: neither XDG_CONFIG_HOME nor "
                        "HOME is set");
                return nullptr;
            }
            path = dir + "/" + kUserFile;
        }
        char *result = kstr_Duplicate(path.c_str());
        if (!result) e.error(fn, 3, "No memory");
        return result;
    } catch (const std::bad_alloc &) {
        e.error(fn, 3, "No memory");
        return nullptr;
    }
}

KRASTER_API int32_t kpmg_Parse(const char *fileName, Kpmg_Category **list, Kerr_ErrorReport **err) {
    static const char *const fn = "kpmg_Parse";
    kr::Report e(err);
    try {
        std::string text;
        if (!fileName || !readTextFile(fileName, text, e.out())) {
            e.error(fn, 1, "Unable to read preference definition file %s",
                    fileName ? fileName : "(null)");
            return -1;
        }
        const int32_t n = kpmg_ParseText(text.data(), text.size(), fileName, list, e.out());
        if (n < 0) e.error(fn, 2);
        return n;
    } catch (const std::bad_alloc &) {
        e.error(fn, 3, "No memory");
        return -1;
    }
}

KRASTER_API int32_t kpmg_PrfParse(const char *fileName, Kpmg_Category *list,
                                  Kerr_ErrorReport **err) {
    static const char *const fn = "kpmg_PrfParse";
    kr::Report e(err);
    try {
        std::string text;
        if (!fileName || !readTextFile(fileName, text, e.out())) {
            e.error(fn, 1, "Unable to read preference file %s", fileName ? fileName : "(null)");
            return -1;
        }
        const int32_t n = kpmg_PrfParseText(text.data(), text.size(), fileName, list, e.out());
        if (n < 0) e.error(fn, 2);
        return n;
    } catch (const std::bad_alloc &) {
        e.error(fn, 3, "No memory");
        return -1;
    }
}

KRASTER_API int32_t kpmg_LoadPDFs(Kpmg_Category **list, Kerr_ErrorReport **err) {
    static const char *const fn = "kpmg_LoadPDFs";
    kr::Report e(err);
    if (!list) {
        e.error(fn, 2, "Null argument");
        return -1;
    }
    try {
        std::vector<std::string> dirs;
        if (const char *env = getenv("ORVEL_PDF_PATH")) {
            if (!searchList(env, dirs, e.out()) || dirs.empty()) {
                e.error(fn, 1, "Environment variable ORVEL_PDF_PATH yields invalid search list");
                return -1;
            }
        } else {
            dirs.push_back(kint_DataDirectory());
        }
        int32_t total = 0;
        for (const auto &dir : dirs) {
            for (const auto &file : definitionFiles(dir)) {
                Kerr_ErrorReport *local = nullptr;
                const int32_t n = kpmg_Parse(file.c_str(), list, &local);
                if (n < 0) {
                    kerr_PrintErrorReport(local, 0, 0);
                    kerr_DeleteErrorReport(local);
                    continue;
                }
                total += n;
            }
        }
        return total;
    } catch (const std::bad_alloc &) {
        e.error(fn, 3, "No memory");
        return -1;
    }
}

}  // extern "C"
