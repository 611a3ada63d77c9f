// Format identification of a file name: default format, title, templates in
// two passes, content magic and character sets, asking every plug-in, and
// the checks on each plug-in's answer.
#include <kraster/kfio.h>
#include <kraster/kmsc.h>
#include <kraster/kpmg.h>

#include <cctype>
#include <cstring>
#include <set>

#include "core/report.hpp"
#include "image/kimg_internal.hpp"
#include "image/kimg_table.hpp"

namespace kr::img {

namespace {

constexpr const char *kFn = "RFFileNameIdentifyAndOpen";
constexpr const char *kAskFn = "RFInstanceFileNameIdentifyAndOpen";

enum class Answer { No, Yes, Failed };

bool isCreate(const char *mode) {
    return mode && std::strcmp(mode, KIMG_RF_MODE_CREATE) == 0;
}

// Write permission of the directory that will hold a new file.
bool directoryWritable(const char *name) {
    std::string dir = name;
    size_t slash = dir.find_last_of('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    Kfio_StatCache *cache = nullptr;
    Kerr_ErrorReport *e = nullptr;
    int32_t writable = 0;
    if (kfio_StatCacheCreate(dir.c_str(), &cache, &e) == 0)
        kfio_StatCacheGet(cache, &e, KFIO_STAT_WRITE_ACCESS, &writable, 0);
    kerr_DeleteErrorReport(e);
    kfio_StatCacheFree(cache);
    return writable != 0;
}

struct Search {
    const char *name;
    const char *mode;
    long known;  // title found by an earlier identification, or -1
    long *titleIndex;
    void **handle;
    int *status;
    Report &e;
    std::set<RFInstance *> asked;
};

// Asks one plug-in through FileTitleIdentifyAndOpen and checks its answer
// (RFInstanceFileNameIdentifyAndOpen). `expect` is the title asked for, or -1.
Answer ask(RFInstance &inst, Search &s, long expect) {
    s.asked.insert(&inst);
    if (!ensureLoaded(inst)) {
        *s.status = KIMG_RF_STATUS_MISMATCH;
        return Answer::No;
    }
    if (isCreate(s.mode) && !directoryWritable(s.name)) {
        *s.status = KIMG_RF_STATUS_PERMISSION_DENIED;
        s.e.error(kAskFn, 1, "%s:  Permission denied", s.name);
        return Answer::Failed;
    }
    long index = expect >= 0 ? expect : s.known;
    Kerr_ErrorReport *perr = nullptr;
    int status = 0;
    void *h = call(inst, inst.fn.FileTitleIdentifyAndOpen, &status, s.name, &index, s.mode, &perr);
    const char *path = inst.path.c_str();
    if (index >= static_cast<long>(inst.titles.size())) {
        warn(perr, kAskFn, 2, "Bogus info returned from %s:  DLL ignored", path);
        if (h) call(inst, inst.fn.FileClose, nullptr, h, static_cast<Kerr_ErrorReport **>(nullptr));
        reject(inst);
        *s.status = KIMG_RF_STATUS_MISMATCH;
        return Answer::No;
    }
    if (h && index < 0) {
        warn(perr, kAskFn, 3, "Handle returned for unidentified file from %s:  DLL ignored", path);
        reject(inst);
        *s.status = KIMG_RF_STATUS_MISMATCH;
        return Answer::No;
    }
    if (h && !s.mode) {
        warn(nullptr, kAskFn, 4,
             "Handle returned from %s when no mode specified:  DLL may be leaking descriptors",
             path);
        h = nullptr;
    }
    if (index >= 0 && s.known >= 0 && index != s.known) {
        s.e.wrap(perr, kAskFn, 5,
                 "RFInstanceFileNameIdentifyAndOpen: returned file type (%ld) differs from "
                 "previous identification",
                 index);
        if (h) call(inst, inst.fn.FileClose, nullptr, h, static_cast<Kerr_ErrorReport **>(nullptr));
        if (h && isCreate(s.mode) && inst.fn.FileDestroy)
            call(inst, inst.fn.FileDestroy, nullptr, s.name, index,
                 static_cast<Kerr_ErrorReport **>(nullptr));
        *s.status = KIMG_RF_STATUS_MISMATCH;
        return Answer::Failed;
    }
    if (index < 0) {
        kerr_DeleteErrorReport(perr);
        *s.status = status ? status : KIMG_RF_STATUS_MISMATCH;
        return Answer::No;
    }
    if (s.mode && !h) {
        *s.status = status ? status : KIMG_RF_STATUS_MISMATCH;
        s.e.wrap(perr, kAskFn, 6, "%s:  %s could not open the file in mode %s", s.name,
                 inst.name.c_str(), s.mode);
        return Answer::Failed;
    }
    kerr_DeleteErrorReport(perr);
    *s.titleIndex = index;
    if (s.handle) *s.handle = h;
    *s.status = 0;
    return Answer::Yes;
}

std::string baseName(const char *name) {
    std::string n = name;
    while (n.size() > 1 && n.back() == '/') n.pop_back();
    size_t slash = n.find_last_of('/');
    return slash == std::string::npos ? n : n.substr(slash + 1);
}

// The default format for new files (steps 1 and 6).
RFInstance *defaultFormat(RFTable *t, Search &s, Answer &answer) {
    Kerr_ErrorReport *pe = nullptr;
    char *title =
        kpmg_GetStringPreference("filepref", "default_output_format", KIMG_RF_NATIVE_TITLE, &pe);
    kerr_DeleteErrorReport(pe);
    long index = -1;
    RFInstance *inst = instanceByTitle(t, title ? title : KIMG_RF_NATIVE_TITLE, &index);
    kmsc_HeapFree(title);
    if (!inst || !ensureLoaded(*inst)) {
        *s.status = KIMG_RF_STATUS_MISMATCH;
        s.e.error(kFn, 1, "Trouble loading default RF Instance");
        answer = Answer::Failed;
        return nullptr;
    }
    if (!inst->creatable[index]) {
        *s.status = KIMG_RF_STATUS_NOT_CREATABLE;
        s.e.error(kFn, 2, "Default RF not supporting creation?");
        answer = Answer::Failed;
        return nullptr;
    }
    if (!s.mode) {
        *s.titleIndex = index;
        answer = Answer::Yes;
        return inst;
    }
    answer = ask(*inst, s, index);
    return answer == Answer::Yes ? inst : nullptr;
}

// Content recognition (step 4): magic entries in table order, then the
// character sets of text formats.
RFInstance *byContent(RFTable *t, Search &s, Answer &answer) {
    if (!t->magicBuilt) magicBuild(*t);
    int32_t need = kmgc_MagicMaxBytes(t->magic);
    Kerr_ErrorReport *e = nullptr;
    Kfio_Fd *fd = kfio_Open(s.name, "r", &e);
    kerr_DeleteErrorReport(e);
    if (!fd) return nullptr;
    std::vector<unsigned char> head(static_cast<size_t>(need > 0 ? need : 0));
    size_t got = head.empty() ? 0 : kfio_ReadSeq(fd, head.data(), head.size(), nullptr);
    for (int32_t start = 0; need > 0;) {
        int32_t m = kmgc_MagicMatch(t->magic, start, head.data(), got);
        if (m < 0 || static_cast<size_t>(m) >= t->owners.size()) break;
        start = m + 1;
        RFInstance *inst = t->owners[m].instance;
        if (!inst || inst->rejected || s.asked.count(inst)) continue;
        answer = ask(*inst, s, -1);
        if (answer != Answer::No) {
            kfio_Close(fd, nullptr);
            return answer == Answer::Yes ? inst : nullptr;
        }
    }
    RFInstance *chosen = nullptr;
    if (!t->allowed.empty()) {
        // Text only when every byte is 7-bit and allowed by some text format.
        std::vector<char> seen(128, 0);
        bool text = kfio_Seek64(fd, 0, 0, nullptr) == 0;
        unsigned char chunk[4096];
        for (size_t n; text && (n = kfio_ReadSeq(fd, chunk, sizeof chunk, nullptr)) > 0;)
            for (size_t i = 0; i < n && text; ++i) {
                text = chunk[i] < 128 && t->allowed[chunk[i]];
                if (text) seen[chunk[i]] = 1;
            }
        for (int32_t i = 0; text && !chosen && i < kmgc_MagicCount(t->magic); ++i) {
            const uint8_t *set = kmgc_MagicCharSet(t->magic, i);
            if (!set || static_cast<size_t>(i) >= t->owners.size()) continue;
            RFInstance *inst = t->owners[i].instance;
            if (!inst || inst->rejected || s.asked.count(inst)) continue;
            bool fits = true;
            for (int c = 0; c < 128 && fits; ++c) fits = !seen[c] || set[c];
            if (fits) chosen = inst;
        }
    }
    kfio_Close(fd, nullptr);
    if (!chosen) return nullptr;
    answer = ask(*chosen, s, -1);
    return answer == Answer::Yes ? chosen : nullptr;
}

}  // namespace

void magicFree(RFTable &t) {
    kmgc_MagicTableDestroy(t.magic);
    t.magic = nullptr;
    t.owners.clear();
    t.allowed.clear();
    t.magicBuilt = false;
}

void magicBuild(RFTable &t) {
    magicFree(t);
    Kerr_ErrorReport *e = nullptr;
    t.magic = kmgc_MagicTableCreate(&e);
    kerr_DeleteErrorReport(e);
    t.magicBuilt = true;
    if (!t.magic) return;
    for (auto &p : t.list) {
        if (p->rejected) continue;
        for (size_t title = 0; title < p->magic.size(); ++title) {
            const std::string &lines = p->magic[title];
            for (size_t at = 0; at < lines.size();) {
                size_t end = lines.find('\n', at);
                std::string line = lines.substr(at, end == std::string::npos ? end : end - at);
                at = end == std::string::npos ? lines.size() : end + 1;
                if (line.empty()) continue;
                int32_t index = kmgc_MagicAppend(t.magic, line.c_str(), &e);
                if (index < 0) {
                    warn(e, "RFInstanceMagicBuild", 1, "Magic of %s ignored: %s", p->name.c_str(),
                         line.c_str());
                    e = nullptr;
                    continue;
                }
                if (static_cast<size_t>(index) >= t.owners.size())
                    t.owners.resize(index + 1, {nullptr, -1});
                if (!t.owners[index].instance)
                    t.owners[index] = {p.get(), static_cast<long>(title)};
            }
        }
    }
    for (int32_t i = 0; i < kmgc_MagicCount(t.magic); ++i)
        if (const uint8_t *set = kmgc_MagicCharSet(t.magic, i)) {
            t.allowed.resize(128, 0);
            for (int c = 0; c < 128; ++c) t.allowed[c] |= set[c] != 0;
        }
}

bool templateMatch(const char *p, const char *n) {
    auto lower = [](char c) { return std::tolower(static_cast<unsigned char>(c)); };
    const char *starP = nullptr, *starN = nullptr;
    while (*n) {
        if (*p == '*') {
            starP = ++p;
            starN = n;
            continue;
        }
        bool ok = false;
        const char *next = p + 1;
        if (*p == '?') {
            ok = true;
        } else if (*p == '[') {
            const char *q = p + 1;
            bool negate = *q == '!' || *q == '^';
            if (negate) ++q;
            bool in = false;
            for (bool first = true; *q && (first || *q != ']'); first = false, ++q) {
                if (q[1] == '-' && q[2] && q[2] != ']') {
                    in |= lower(*n) >= lower(q[0]) && lower(*n) <= lower(q[2]);
                    q += 2;
                } else {
                    in |= lower(*q) == lower(*n);
                }
            }
            if (*q == ']') {
                ok = in != negate;
                next = q + 1;
            } else {
                ok = *n == '[';  // an unclosed "[" is an ordinary character
            }
        } else if (*p) {
            ok = lower(*p) == lower(*n);
        }
        if (ok) {
            p = next;
            ++n;
        } else if (starP) {
            p = starP;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (*p == '*') ++p;
    return *p == 0;
}

RFInstance *identifyAndOpen(const char *name, const char *title, int accessKind, const char *mode,
                            long knownTitle, long *titleIndex, void **handle, int *status,
                            Kerr_ErrorReport **err) {
    Report e(err);
    Section section;
    long localIndex = -1;
    int localStatus = 0;
    if (!titleIndex) titleIndex = &localIndex;
    if (!status) status = &localStatus;
    *titleIndex = -1;
    if (handle) *handle = nullptr;
    RFTable *t = table(e.out());
    if (!t) {
        *status = KIMG_RF_STATUS_MISMATCH;
        return nullptr;
    }
    Search s{name, mode, knownTitle, titleIndex, handle, status, e, {}};
    bool create = accessKind == kAccessCreate;
    bool exists = accessKind == kAccessFile || accessKind == kAccessDirectory;
    Answer answer = Answer::No;
    RFInstance *found = nullptr;

    // 1. New files forced into the default format.
    Kerr_ErrorReport *pe = nullptr;
    bool force = kpmg_GetBooleanPreference("filepref", "force_output_format", 0, &pe) != 0;
    kerr_DeleteErrorReport(pe);
    if (create && !title && force) return defaultFormat(t, s, answer);

    // 2. A title given.
    if (title) {
        long index = -1;
        RFInstance *inst = instanceByTitle(t, title, &index);
        if (!inst) {
            *status = KIMG_RF_STATUS_MISMATCH;
            e.error(kFn, 3, "%s:  Unknown format title %s", name, title);
            return nullptr;
        }
        if (create && !inst->creatable[index]) {
            *status = KIMG_RF_STATUS_NOT_CREATABLE;
            e.error(kFn, 4, "Title %s is not creatable", title);
            return nullptr;
        }
        if (!ensureLoaded(*inst)) {
            *status = KIMG_RF_STATUS_MISMATCH;
            e.error(kFn, 5, "RFInstanceFileNameIdentifyAndOpen failed");
            return nullptr;
        }
        if (!exists && !mode) {
            *titleIndex = index;
            return inst;
        }
        answer = ask(*inst, s, index);
        if (answer == Answer::Yes) return inst;
        if (answer == Answer::No) {
            *status = KIMG_RF_STATUS_MISMATCH;
            e.error(kFn, 5, "RFInstanceFileNameIdentifyAndOpen failed");
        }
        return nullptr;
    }

    // 3. Templates: loaded plug-ins first, then the ones only described.
    std::string base = baseName(name);
    if (base.empty() || base == "/") {
        *status = KIMG_RF_STATUS_NO_SUCH_FILE;
        e.error(kFn, 6, "No base file name");
        return nullptr;
    }
    RFInstance *fallback = nullptr;
    long fallbackTitle = -1;
    for (int pass = 0; pass < 2 && !found; ++pass) {
        for (RFInstance *inst : instances(t)) {
            if (inst->loaded() != (pass == 0) || inst->rejected) continue;
            for (size_t i = 0; i < inst->templates.size() && !found; ++i) {
                if (inst->pseudo[i] || !templateMatch(inst->templates[i].c_str(), base.c_str()))
                    continue;
                if (exists) {
                    if (s.asked.count(inst)) break;
                    answer = ask(*inst, s, -1);
                    if (answer == Answer::Failed) return nullptr;
                    if (answer == Answer::Yes) found = inst;
                    break;
                }
                if (create && !inst->creatable[i]) {
                    if (!fallback) fallback = inst, fallbackTitle = static_cast<long>(i);
                    continue;
                }
                if (!ensureLoaded(*inst)) break;
                if (!mode) {
                    *titleIndex = static_cast<long>(i);
                    return inst;
                }
                answer = ask(*inst, s, static_cast<long>(i));
                if (answer == Answer::Yes) return inst;
                return nullptr;
            }
            if (found) break;
        }
    }
    if (found) return found;
    if (create && fallback) {
        *status = KIMG_RF_STATUS_NOT_CREATABLE;
        e.error(kFn, 4, "Title %s is not creatable", fallback->titles[fallbackTitle].c_str());
        return nullptr;
    }

    // 4. Content recognition of an existing file.
    bool byMagic = false;
    if (accessKind == kAccessFile) {
        byMagic = true;
        found = byContent(t, s, answer);
        if (found || answer == Answer::Failed) return found;
    }
    // 5. Every plug-in: loaded ones first, then the others.
    if (exists) {
        for (int pass = 0; pass < 2; ++pass)
            for (RFInstance *inst : instances(t)) {
                if (inst->loaded() != (pass == 0) || inst->rejected || s.asked.count(inst))
                    continue;
                if (byMagic && inst->declaresMagic()) continue;
                answer = ask(*inst, s, -1);
                if (answer == Answer::Yes) return inst;
                if (answer == Answer::Failed) return nullptr;
            }
    }
    // 6. A new file with nothing better: the default format.
    if (create) return defaultFormat(t, s, answer);
    // 7. Nothing.
    *status = KIMG_RF_STATUS_UNRECOGNIZED;
    e.error(kFn, 7, "%s:  Unrecognized format", name);
    return nullptr;
}

}  // namespace kr::img
