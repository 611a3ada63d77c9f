// Internal pieces shared by the preference manager, its parsers and the
// library's own preference database.
#pragma once

#include <kraster/kpmg.h>
#include <kraster/kthr.h>

#include <string>
#include <vector>

namespace kr::prefs {

// Holds the process-wide thread-unsafe section for a scope.
class Section {
  public:
    Section() { kthr_ThreadUnsafeCodeEnter(0); }
    ~Section() { kthr_ThreadUnsafeCodeExit(); }
    Section(const Section &) = delete;
    Section &operator=(const Section &) = delete;
};

// The value slot in force.
inline const Kpmg_Value &inForce(const Kpmg_Preference *p) {
    return p->userInForce ? p->userValue : p->defaultValue;
}
// The words a boolean is written with ("true"/"false" when none declared).
const char *trueWord(const Kpmg_Preference *p);
const char *falseWord(const Kpmg_Preference *p);

// Appends a preference (taking ownership) to the category of its name,
// creating the category at the end of the list when needed. False when
// memory ran out (the preference is then freed).
bool addPreference(Kpmg_Category **list, Kpmg_Preference *p);
// Deep copy of one category under a new name (NULL: same name), or NULL.
Kpmg_Category *copyCategory(const Kpmg_Category *c, const char *newName);
// Number of preferences in a list.
int32_t countPreferences(const Kpmg_Category *list);

// Directories of a ";"-separated search list, each environment-expanded;
// empty pieces are skipped. False when expansion failed (report left).
bool searchList(const char *value, std::vector<std::string> &dirs, Kerr_ErrorReport **err);

// Whole-file text access through the file layer.
bool readTextFile(const char *path, std::string &text, Kerr_ErrorReport **err);
bool writeTextFile(const char *path, const std::string &text, Kerr_ErrorReport **err);
// True when the path names an existing regular file.
bool isFile(const std::string &path);

// The library database's lookup and change log (kprf_default.cpp).
Kpmg_Preference *defaultLookup(const char *category, const char *name, Kerr_ErrorReport **err);
bool defaultUnsaved();
void defaultResetChangeLog();

}  // namespace kr::prefs
