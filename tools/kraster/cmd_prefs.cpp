// Preferences: `kraster prefs` lists every declared preference with the value
// in force and where it comes from; `kraster prefs set CATEGORY.NAME VALUE`
// stores a user value; a demo section reads a few and shows a refusal.
#include <kraster/kraster.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tool.hpp"

namespace {

const char *typeName(int32_t type) {
    switch (type) {
        case KPMG_STRING:
            return "string";
        case KPMG_NUMBER:
            return "number";
        case KPMG_BOOLEAN:
            return "boolean";
        case KPMG_ENUM:
            return "enum";
        case KPMG_COLOR:
            return "color";
        default:
            return "?";
    }
}

std::string valueText(const Kpmg_Preference *p) {
    char *s = kpmg_PreferenceValueString(p);
    std::string r = s ? s : "?";
    kmsc_HeapFree(s);
    if (p->type == KPMG_STRING || p->type == KPMG_ENUM) r = "\"" + r + "\"";
    return r;
}

// What the declaration allows, in a few words.
std::string restrictions(const Kpmg_Preference *p) {
    char buf[160] = "";
    switch (p->type) {
        case KPMG_NUMBER:
            if (p->minimumSet && p->maximumSet)
                snprintf(buf, sizeof buf, "%.15g..%.15g", p->minimum, p->maximum);
            else if (p->minimumSet)
                snprintf(buf, sizeof buf, ">= %.15g", p->minimum);
            else if (p->maximumSet)
                snprintf(buf, sizeof buf, "<= %.15g", p->maximum);
            return buf;
        case KPMG_STRING:
            if (p->maxLengthSet)
                snprintf(buf, sizeof buf, "at most %d bytes", static_cast<int>(p->maxLength));
            return buf;
        case KPMG_BOOLEAN:
            return std::string(p->trueWord ? p->trueWord : "true") + "/" +
                   (p->falseWord ? p->falseWord : "false");
        case KPMG_ENUM: {
            std::string r;
            for (int32_t i = 0; i < p->enumCount; ++i)
                r += (i ? "|" : "") + std::string(p->enumNames[i]);
            return r;
        }
        default:
            return "";
    }
}

std::string baseName(const char *path) {
    const char *slash = path ? strrchr(path, '/') : nullptr;
    return slash ? slash + 1 : (path ? path : "?");
}

void printAndDelete(Kerr_ErrorReport *err) {
    kerr_PrintErrorReport(err, 0, 0);
    kerr_DeleteErrorReport(err);
}

std::string userFileName() {
    Kerr_ErrorReport *err = nullptr;
    char *path = kpmg_InitPreferenceFileName(&err);
    std::string r = path ? path : "(none)";
    kmsc_HeapFree(path);
    kerr_DeleteErrorReport(err);
    return r;
}

int list() {
    Kerr_ErrorReport *err = nullptr;
    Kpmg_Category *categories = kprf_DefaultCategoryListCopy(&err);
    if (err) {
        printAndDelete(err);
        return 1;
    }
    const char *pdfPath = getenv("ORVEL_PDF_PATH");
    printf("definition files: %s\n", pdfPath ? pdfPath : kint_DataDirectory());
    printf("user file: %s\n", userFileName().c_str());
    if (!categories) printf("no preferences are declared\n");
    for (const Kpmg_Category *c = categories; c; c = c->next) {
        printf("\n[%s]\n", c->name);
        for (int32_t i = 0; i < c->count; ++i) {
            const Kpmg_Preference *p = c->preferences[i];
            const std::string from =
                p->userInForce ? "user file" : "default, " + baseName(p->definitionFile);
            printf("  %-30s %-8s %-20s %-22s (%s)\n", p->preferenceName, typeName(p->type),
                   valueText(p).c_str(), restrictions(p).c_str(), from.c_str());
        }
    }
    kpmg_FreeCategoryList(categories);
    return 0;
}

// Counts the warnings printed while a value is stored, printing them as usual.
int g_warnings = 0;
void countWarnings(void *, Kerr_ErrorReport *report, int endUser, Kerr_ErrorReport **) {
    if (report && report->severity == KERR_SEVERITY_WARNING) ++g_warnings;
    kerr_PrintErrorReportNoEML(report, endUser);
}

int set(const std::string &target, const std::string &value) {
    const size_t dot = target.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == target.size()) {
        fprintf(stderr, "kraster prefs set: expected CATEGORY.NAME, got \"%s\"\n", target.c_str());
        return 2;
    }
    const std::string category = target.substr(0, dot), name = target.substr(dot + 1);
    Kerr_ErrorReport *err = nullptr;
    Kpmg_Preference *p = kpmg_LookupParameter(category.c_str(), name.c_str(), &err);
    if (!p) {
        printAndDelete(err);
        return 1;
    }
    const int32_t type = p->type;
    kpmg_PreferenceFree(p);

    g_warnings = 0;
    kerr_SetAltErrorFunction(countWarnings, nullptr);
    int rc;
    char *end = nullptr;
    const double number = strtod(value.c_str(), &end);
    int r = 0, g = 0, b = 0, used = 0;
    if (type == KPMG_NUMBER && !value.empty() && *end == '\0') {
        rc = kpmg_PutNumberPreference(category.c_str(), name.c_str(), number, &err);
    } else if (type == KPMG_COLOR) {
        if (sscanf(value.c_str(), "%d,%d,%d%n", &r, &g, &b, &used) != 3 ||
            used != static_cast<int>(value.size())) {
            kerr_SetAltErrorFunction(nullptr, nullptr);
            fprintf(stderr, "kraster prefs set: a colour is written R,G,B\n");
            return 2;
        }
        rc = kpmg_PutColorPreference(category.c_str(), name.c_str(), Kpmg_Color{r, g, b}, &err);
    } else {
        rc = kpmg_PutStringPreference(category.c_str(), name.c_str(), value.c_str(), &err);
    }
    kerr_SetAltErrorFunction(nullptr, nullptr);
    if (rc != 0) {
        printAndDelete(err);
        return 1;
    }
    const bool changed = kpmg_PreferenceChangesUnsaved() != 0;
    if (kpmg_Close(&err) != 0) {
        printAndDelete(err);
        return 1;
    }
    p = kpmg_LookupParameter(category.c_str(), name.c_str(), nullptr);
    const std::string now = p ? valueText(p) : "?";
    kpmg_PreferenceFree(p);
    if (g_warnings > 0) {
        printf("%s.%s was not changed; the value in force is %s\n", category.c_str(), name.c_str(),
               now.c_str());
        return 1;
    }
    printf("%s.%s = %s%s\n", category.c_str(), name.c_str(), now.c_str(),
           changed ? (" (stored in " + userFileName() + ")").c_str() : " (already in force)");
    return 0;
}

int prefs(const std::vector<std::string> &args) {
    if (args.empty()) return list();
    if (args.size() == 3 && args[0] == "set") return set(args[1], args[2]);
    fprintf(stderr, "usage: kraster prefs [set CATEGORY.NAME VALUE]\n");
    return 2;
}

int demoPreferences() {
    Kerr_ErrorReport *err = nullptr;
    if (!kpmg_Init(&err)) {
        printAndDelete(err);
        return 1;
    }
    printf("preference database: %s, user file %s\n",
           kpmg_GetDataBaseType() == KPMG_DATABASE_LOCAL ? "local" : "global",
           userFileName().c_str());
    printf("memory.heap_size = %g MB\n",
           kpmg_GetNumberPreference("memory", "heap_size", 10.0, nullptr));
    char *kernel = kpmg_GetEnumPreference("filepref", "subsampling_kernel", "2X2", nullptr);
    printf("filepref.subsampling_kernel = %s\n", kernel ? kernel : "?");
    kmsc_HeapFree(kernel);
    printf("orvel.dll_runtime_scan = %s\n",
           kpmg_GetBooleanPreference("orvel", "dll_runtime_scan", 0, nullptr) ? "true" : "false");
    printf("rasterprocess.rp_reprojtolerance = %g pixels\n",
           kpmg_GetNumberPreference("rasterprocess", "rp_reprojtolerance", 0.1, nullptr));
    printf("nosuch.preference (unknown) = %g, the caller's default\n",
           kpmg_GetNumberPreference("nosuch", "preference", 42.0, nullptr));

    // A refused value: the warning is printed and the value in force stays.
    const double before =
        kpmg_GetNumberPreference("filepref", "continuous_stats_percent", 100, nullptr);
    printf("storing 150 into filepref.continuous_stats_percent (at most 100) warns (stderr):\n");
    fflush(stdout);
    if (kpmg_PutNumberPreference("filepref", "continuous_stats_percent", 150, &err) != 0)
        printAndDelete(err);
    fflush(stderr);
    printf("filepref.continuous_stats_percent is still %g\n",
           kpmg_GetNumberPreference("filepref", "continuous_stats_percent", 100, nullptr));
    const bool kept =
        kpmg_GetNumberPreference("filepref", "continuous_stats_percent", 100, nullptr) == before;
    return kept && kpmg_PreferenceChangesUnsaved() == 0 ? 0 : 1;
}

tool::Registrar prefsCommand("prefs", "[set CATEGORY.NAME VALUE]",
                             "list preferences, or store a user value", prefs);
tool::DemoRegistrar preferencesSection(70, "preferences", demoPreferences);

}  // namespace
