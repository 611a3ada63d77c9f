// Files of the preference manager: search lists, the definition files along
// ORVEL_PDF_PATH, the user file's location, and whole-file text access
// through the file layer.
#include <kraster/kfio.h>
#include <kraster/kint.h>
#include <kraster/kmsc.h>
#include <kraster/kpmg.h>
#include <kraster/kstr.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/report.hpp"
#include "preferences/prefs_internal.hpp"

namespace kr::prefs {
namespace {

const char *const kUserFile = "v8preference";

// The "*.pdf" files of a directory, sorted by name (none if it cannot be read).
std::vector<std::string> definitionFiles(const std::string &dir) {
    std::vector<std::string> files;
    DIR *d = opendir(dir.c_str());
    if (!d) return files;
    while (const dirent *entry = readdir(d)) {
        const size_t n = strlen(entry->d_name);
        if (n > 4 && strcmp(entry->d_name + n - 4, ".pdf") == 0) {
            std::string path = dir + "/" + entry->d_name;
            if (isFile(path)) files.push_back(std::move(path));
        }
    }
    closedir(d);
    std::sort(files.begin(), files.end());
    return files;
}

// Creates the directories of a path that are missing (not the last name).
void makeParentDirectories(const std::string &path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0777);
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
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool searchList(const char *value, std::vector<std::string> &dirs, Kerr_ErrorReport **err) {
    kr::Report e(err);
    dirs.clear();
    char *expanded = kstr_PathExpand(value, e.out());
    if (!expanded) return false;
    std::string all = expanded;
    kmsc_HeapFree(expanded);
    size_t start = 0;
    while (start <= all.size()) {
        size_t end = all.find(';', start);
        if (end == std::string::npos) end = all.size();
        std::string piece = all.substr(start, end - start);
        const size_t first = piece.find_first_not_of(" \t");
        if (first != std::string::npos) {
            piece = piece.substr(first, piece.find_last_not_of(" \t") - first + 1);
            dirs.push_back(piece);
        }
        start = end + 1;
    }
    return true;
}

// TODO(kfio): read through kfio_ReadSeq once the file layer's core is on main.
bool readTextFile(const char *path, std::string &text, Kerr_ErrorReport **err) {
    kr::Report e(err);
    Kfio_Fd *fd = kfio_Open(path, "r", e.out());
    if (!fd) return false;
    text.clear();
    char buffer[4096];
    bool ok = true;
    for (;;) {
        const ssize_t n = read(fd->osHandle, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            e.error("kpmg_ReadFile", 1, "Error reading %s\nError %d", path, errno);
            ok = false;
        }
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    kfio_Close(fd, nullptr);
    return ok;
}

bool writeTextFile(const char *path, const std::string &text, Kerr_ErrorReport **err) {
    kr::Report e(err);
    makeParentDirectories(path);
    Kfio_Fd *fd = kfio_Open(path, "w+", e.out());
    if (!fd) {
        e.error("kprf_DefaultDatabaseFlush", 11,
                "Unable to Create/Open Global Preference file (%s).", path);
        return false;
    }
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd->osHandle, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            e.error("kprf_DefaultDatabaseFlush", 12, "Could not write %zu bytes to %s",
                    text.size() - done, path);
            kfio_Close(fd, nullptr);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return kfio_Close(fd, e.out()) == 0;
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
