// Plug-in class search lists and plug-in names.
#include "services/kdll.hpp"

#include <kraster/kfio.h>
#include <kraster/kint.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>

#include <cctype>
#include <cstdlib>
#include <set>

namespace kr::dll {

std::string classPathVariable(const std::string &className) {
    std::string v = "ORVEL";
    for (unsigned char c : className) {
        if (std::isupper(c) || !std::isalpha(c)) v += '_';
        v += static_cast<char>(std::toupper(c));
    }
    return v + "_PATH";
}

std::vector<std::string> classDirectories(const std::string &className) {
    std::vector<std::string> dirs;
    Kerr_ErrorReport *err = nullptr;
    Kfio_SearchList *list =
        kfio_CreateSLFromEnv(nullptr, classPathVariable(className).c_str(), nullptr, &err);
    kerr_DeleteErrorReport(err);
    for (const Kfio_SearchList *n = list; n; n = n->next) dirs.emplace_back(n->directory);
    kfio_FreeSL(list);
    if (const char *home = std::getenv("MIRAVEN_HOME"); home && *home) {
        const char *arch = std::getenv("ARCHM");
        std::string a = arch ? arch : "";
        dirs.push_back(std::string(home) + "/usr/lib/" + a + "/" + className);
        dirs.push_back(std::string(home) + "/bin/" + a + "/" + className);
    }
    if (char *own = kint_PluginDirectory(className.c_str())) {
        dirs.emplace_back(own);
        kmsc_HeapFree(own);
    }
    return dirs;
}

std::string instanceName(const std::string &fileName) {
    std::string base = fileName.substr(fileName.find_last_of('/') + 1);
    std::string ext;
    if (size_t dot = base.find_last_of('.'); dot != std::string::npos && dot > 0) {
        ext = base.substr(dot + 1);
        base.erase(dot);
    }
    for (char &c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext != "dll" && base.size() > 3 && base.compare(0, 3, "lib") == 0) base.erase(0, 3);
    return base;
}

std::vector<Library> classLibraries(const std::string &className) {
    std::vector<Library> found;
    std::set<std::string> names;
    for (const std::string &dir : classDirectories(className)) {
        Kerr_ErrorReport *err = nullptr;
        Kstr_StringList *files = kfio_FindFilesInPath(dir.c_str(), "*.so", &err);
        kerr_DeleteErrorReport(err);
        if (!files) continue;
        for (int32_t i = 0; i < files->count; ++i) {
            Library lib{instanceName(files->strings[i]), dir + "/" + files->strings[i], 0};
            Kfio_StatInfo info;
            Kerr_ErrorReport *e = nullptr;
            int present = kfio_StatIfPresent(lib.path.c_str(), &info, &e);
            kerr_DeleteErrorReport(e);
            if (present != 1 || (info.mode & 0170000) != 0100000) continue;
            lib.modifyTime = info.modifyTime;
            if (names.insert(lib.name).second) found.push_back(lib);
        }
        kstr_StringListFree(files);
    }
    return found;
}

}  // namespace kr::dll
