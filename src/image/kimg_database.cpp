// The description records of raster format plug-ins in the configuration
// database file: one record per format title, with the list of plug-in
// libraries (name, modification time, path) they were built from.
#include <kraster/kint.h>
#include <kraster/kmsc.h>

#include <cstdlib>
#include <map>
#include <sstream>

#include "image/kimg_table.hpp"

namespace kr::img {

bool RFInstance::declaresMagic() const {
    for (const auto &m : magic)
        if (!m.empty()) return true;
    return false;
}

namespace {

constexpr const char *kDbHeader = "kraster rasterformats 1";

std::string escape(const std::string &s) {
    std::string out;
    for (char c : s) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string unescape(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        char c = s[++i];
        out += c == 't' ? '\t' : c == 'n' ? '\n' : c;
    }
    return out;
}

std::vector<std::string> split(const std::string &line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

const char *word(bool b, const char *yes, const char *no) {
    return b ? yes : no;
}

}  // namespace

std::string databaseFileName() {
    const char *cache = std::getenv("XDG_CACHE_HOME");
    if (cache && *cache) return std::string(cache) + "/kraster/rasterformats.db";
    const char *home = std::getenv("HOME");
    if (home && *home) return std::string(home) + "/.cache/kraster/rasterformats.db";
    return "";
}

std::string databaseFormat(const std::vector<dll::Library> &libs,
                           const std::vector<std::unique_ptr<RFInstance>> &list) {
    std::ostringstream out;
    out << kDbHeader << '\n';
    for (const auto &l : libs)
        out << "dll\t" << escape(l.name) << '\t' << l.modifyTime << '\t' << escape(l.path) << '\n';
    char *own = kint_PluginDirectory(KIMG_RF_CLASS_NAME);
    std::string internal = own ? own : "";
    kmsc_HeapFree(own);
    for (const auto &p : list) {
        const RFInstance &i = *p;
        bool isInternal = !internal.empty() && i.path.compare(0, internal.size(), internal) == 0;
        for (size_t t = 0; t < i.titles.size(); ++t) {
            out << "rec\ttitle=" << escape(i.titles[t]) << "\tinstance=" << escape(i.name)
                << "\ttemplate=" << escape(i.templates[t])
                << "\tispseudo=" << word(i.pseudo[t], "true", "false")
                << "\tshortname=" << escape(i.shortNames[t])
                << "\textension=" << escape(i.extensions[t])
                << "\tisdir=" << word(i.isDir[t], "dir", "file")
                << "\tuserfile=" << word(isInternal, "internal", "user")
                << "\tiscreatable=" << word(i.creatable[t], "true", "false")
                << "\tisfilter=" << word(i.filter[t], "true", "false")
                << "\tmagic=" << escape(i.magic[t]) << '\n';
        }
    }
    return out.str();
}

bool databaseParse(const std::string &text, const std::vector<dll::Library> &libs,
                   std::vector<std::unique_ptr<RFInstance>> &list) {
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kDbHeader) return false;
    size_t dllSeen = 0;
    std::map<std::string, RFInstance *> byName;
    std::vector<std::unique_ptr<RFInstance>> out;
    while (std::getline(in, line)) {
        std::vector<std::string> f = split(line);
        if (f[0] == "dll") {
            if (f.size() != 4 || dllSeen >= libs.size()) return false;
            const dll::Library &l = libs[dllSeen++];
            if (unescape(f[1]) != l.name || unescape(f[3]) != l.path ||
                f[2] != std::to_string(l.modifyTime))
                return false;
            continue;
        }
        if (f[0] != "rec") return false;
        std::map<std::string, std::string> kv;
        for (size_t k = 1; k < f.size(); ++k) {
            size_t eq = f[k].find('=');
            if (eq == std::string::npos) return false;
            kv[f[k].substr(0, eq)] = unescape(f[k].substr(eq + 1));
        }
        const std::string &name = kv["instance"];
        RFInstance *inst = byName.count(name) ? byName[name] : nullptr;
        if (!inst) {
            const dll::Library *lib = nullptr;
            for (const auto &l : libs)
                if (l.name == name) lib = &l;
            if (!lib || kv["title"].empty()) return false;
            out.push_back(std::make_unique<RFInstance>());
            inst = out.back().get();
            inst->name = name;
            inst->path = lib->path;
            byName[name] = inst;
        }
        inst->titles.push_back(kv["title"]);
        inst->templates.push_back(kv["template"]);
        inst->shortNames.push_back(kv["shortname"]);
        inst->extensions.push_back(kv["extension"]);
        inst->magic.push_back(kv["magic"]);
        inst->pseudo.push_back(kv["ispseudo"] == "true");
        inst->isDir.push_back(kv["isdir"] == "dir");
        inst->creatable.push_back(kv["iscreatable"] == "true");
        inst->filter.push_back(kv["isfilter"] != "false");
    }
    if (dllSeen != libs.size()) return false;
    list = std::move(out);
    return true;
}

}  // namespace kr::img
