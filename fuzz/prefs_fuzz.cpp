// Fuzz target for the preference file parsers. The first byte picks the job:
//   0  the rest is a definition file;
//   1  the rest is a user file read against fixed declarations, then written
//      and read again: every value must come back;
//   2  the rest is a definition file and a user file separated by a line
//      "%%", the user file read against the definitions.
#include "fuzz_support.hpp"

#include <kraster/kraster.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char *const kDeclarations = R"(category c {
    string s { maxlength 40; }
    string t;
    number n { minimum -100; maximum 100; }
    number free;
    boolean b { boolean "yes" "no"; }
    boolean plain;
    enum e { enum "2X2", "4X4", "nn"; }
    color k;
}
category other { number x; }
)";

Kpmg_Category *declarations() {
    Kpmg_Category *list = nullptr;
    if (kpmg_ParseText(kDeclarations, strlen(kDeclarations), "fixed.pdf", &list, nullptr) != 9)
        abort();
    return list;
}

void exercise(Kpmg_Category *list) {
    for (Kpmg_Category *c = list; c; c = c->next) {
        for (int32_t i = 0; i < c->count; ++i) {
            Kpmg_Preference *copy = kpmg_PreferenceDup(c->preferences[i]);
            kmsc_HeapFree(kpmg_PreferenceValueString(copy));
            kpmg_PreferenceFree(copy);
        }
    }
    kmsc_HeapFree(kpmg_PrfFormat(list, "v8preference"));
}

// A string the user file cannot carry: a '"' followed by blanks and ';'
// ends a string when it is read.
bool unwritable(const char *s) {
    for (const char *q = strchr(s, '"'); q; q = strchr(q + 1, '"')) {
        const char *r = q + 1;
        while (*r == ' ' || *r == '\t') ++r;
        if (*r == ';') return true;
    }
    return false;
}

void roundTrip(Kpmg_Category *list) {
    for (Kpmg_Category *c = list; c; c = c->next)
        for (int32_t i = 0; i < c->count; ++i) {
            Kpmg_Preference *p = c->preferences[i];
            if (p->userInForce && p->userValue.string && unwritable(p->userValue.string)) return;
        }
    char *text = kpmg_PrfFormat(list, "v8preference");
    if (!text) abort();
    Kpmg_Category *again = declarations();
    kfuzz::Reports err;
    if (kpmg_PrfParseText(text, strlen(text), "again", again, &err) < 0) {
        fprintf(stderr, "written file does not read back:\n%s\n", text);
        abort();
    }
    for (Kpmg_Category *c = list, *d = again; c; c = c->next, d = d->next) {
        for (int32_t i = 0; i < c->count; ++i) {
            // The value in force must come back (a user value equal to the
            // default reads back as the default).
            const Kpmg_Preference *p = c->preferences[i], *q = d->preferences[i];
            bool same;
            if (p->type == KPMG_NUMBER) {
                char a[400], b[400];
                snprintf(a, sizeof a, "%f",
                         (p->userInForce ? p->userValue : p->defaultValue).number);
                snprintf(b, sizeof b, "%f",
                         (q->userInForce ? q->userValue : q->defaultValue).number);
                same = strtod(a, nullptr) == strtod(b, nullptr);  // -0 reads back as 0
            } else {
                char *x = kpmg_PreferenceValueString(p), *y = kpmg_PreferenceValueString(q);
                same = x && y && strcmp(x, y) == 0;
                kmsc_HeapFree(x);
                kmsc_HeapFree(y);
            }
            if (!same) {
                fprintf(stderr, "%s.%s does not read back from:\n%s\n", c->name, p->preferenceName,
                        text);
                abort();
            }
        }
    }
    kpmg_FreeCategoryList(again);
    kmsc_HeapFree(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    kfuzz::start();
    if (size == 0) return 0;
    const char *text = reinterpret_cast<const char *>(data) + 1;
    const size_t length = size - 1;
    kfuzz::Reports err;
    Kpmg_Category *list = nullptr;
    switch (data[0] % 3) {
        case 0:
            kpmg_ParseText(text, length, "fuzz.pdf", &list, &err);
            exercise(list);
            break;
        case 1:
            list = declarations();
            kpmg_PrfParseText(text, length, "fuzz", list, &err);
            exercise(list);
            roundTrip(list);
            break;
        default: {
            const std::string all(text, length);
            const size_t split = all.find("\n%%\n");
            const std::string definitions = all.substr(0, split);
            const std::string user = split == std::string::npos ? "" : all.substr(split + 4);
            kpmg_ParseText(definitions.data(), definitions.size(), "fuzz.pdf", &list, &err);
            kpmg_PrfParseText(user.data(), user.size(), "fuzz", list, &err);
            exercise(list);
            break;
        }
    }
    kpmg_FreeCategoryList(list);
    return 0;
}
