// Validation of values stored into declared preferences, and declaration copies.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "support/ktest_checks.hpp"
#include "support/ktest.hpp"

namespace {

const char *const kDeclarations = R"(
category t {
    string s { maxlength 5; default "abc"; }
    number n { minimum -1; maximum 10; default 2; }
    boolean b { boolean "yes" "no"; default "no"; }
    boolean plain;
    enum e { enum "2X2", "4X4"; default "2X2"; }
    color c { default 1, 2, 3; }
}
)";

// A parsed list of the declarations above.
struct Declarations {
    Kpmg_Category *list = nullptr;
    Declarations() {
        ktest::Err e;
        EXPECT_EQ(kpmg_ParseText(kDeclarations, strlen(kDeclarations), "t.pdf", &list, &e), 6)
            << ktest::messages(e.r);
    }
    ~Declarations() { kpmg_FreeCategoryList(list); }
    Kpmg_Preference *operator[](const char *name) const {
        Kpmg_Preference *p = kpmg_MatchPreference(kpmg_MatchCategory(list, "T"), name);
        EXPECT_NE(p, nullptr) << name;
        return p;
    }
};

// Values of each kind.
template <class F>
Kpmg_Value value(F set) {
    Kpmg_Value v{};
    set(v);
    return v;
}
const auto str = [](const char *s) {
    return value([&](auto &v) { v.string = const_cast<char *>(s); });
};
const auto num = [](double x) { return value([&](auto &v) { v.number = x; }); };
const auto boolean = [](int32_t b) { return value([&](auto &v) { v.boolean = b; }); };
const auto color = [](int r, int g, int b) { return value([&](auto &v) { v.color = {r, g, b}; }); };

// Stores a value; returns "changed", "kept" or the error's messages, and
// after " / " the warning printed (if any).
std::string set(Kpmg_Preference *p, int32_t type, const Kpmg_Value &v) {
    ktest::PrintedReports printed;
    ktest::Err e;
    int changed = -1;
    const int rc = kpmg_PreferenceSetValue(p, type, &v, &changed, &e);
    const auto lines = printed.headlines();
    EXPECT_LE(lines.size(), 1u);
    const std::string warning = lines.empty() ? "" : " / " + lines[0];
    if (!lines.empty()) {
        EXPECT_EQ(printed.entries()[0].severity, KERR_SEVERITY_WARNING);
    }
    if (rc != 0) {
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(changed, 0);
        return ktest::messages(e.r) + warning;
    }
    EXPECT_EQ(e.r, nullptr);
    return (changed ? "changed" : "kept") + warning;
}

TEST(PreferenceValidation, StringsAreLimitedByTheirMaximumLength) {
    Declarations d;
    Kpmg_Preference *s = d["s"];
    EXPECT_EQ(set(s, KPMG_STRING, str("abcdef")),
              "kept / String 'abcdef' exceeds maximum length of 5 for preference s; using 'abc'");
    EXPECT_EQ(s->userInForce, 0);
    EXPECT_EQ(set(s, KPMG_STRING, str("abc")), "kept");  // equal to the value in force
    EXPECT_EQ(s->userInForce, 0);
    EXPECT_EQ(set(s, KPMG_STRING, str("abcde")), "changed");  // exactly the maximum
    EXPECT_EQ(s->userInForce, 1);
    EXPECT_STREQ(s->userValue.string, "abcde");
    EXPECT_STREQ(s->defaultValue.string, "abc");
    EXPECT_EQ(
        set(s, KPMG_STRING, str("toolong")),
        "kept / String 'toolong' exceeds maximum length of 5 for preference s; using 'abcde'");
    EXPECT_EQ(set(s, KPMG_STRING, str(nullptr)), "changed");  // NULL stores ""
    EXPECT_STREQ(s->userValue.string, "");
    for (int32_t type : {KPMG_NUMBER, KPMG_BOOLEAN, KPMG_ENUM, KPMG_COLOR})
        EXPECT_EQ(set(s, type, str("x")), "Parameter type mismatch") << type;
}

TEST(PreferenceValidation, NumbersConvertStringsAndKeepTheirBounds) {
    Declarations d;
    Kpmg_Preference *n = d["n"];
    EXPECT_EQ(set(n, KPMG_NUMBER, num(0)), "changed");  // the number 0 is a value
    EXPECT_EQ(n->userValue.number, 0.0);
    EXPECT_EQ(set(n, KPMG_NUMBER, num(-HUGE_VAL)),
              "kept / Value '-inf' is invalid for preference n; using '0.000000'");
    EXPECT_EQ(set(n, KPMG_NUMBER, num(NAN)),
              "kept / Value 'nan' is invalid for preference n; using '0.000000'");
    for (const char *zero : {"0", "0.0", "abc", "", "nan", "-inf", "1e999"})
        EXPECT_EQ(set(n, KPMG_STRING, str(zero)),
                  "Parameter conversion from string to number failed")
            << zero;
    EXPECT_EQ(set(n, KPMG_STRING, str("7.5")), "changed");
    EXPECT_EQ(n->userValue.number, 7.5);
    EXPECT_EQ(set(n, KPMG_NUMBER, num(-3)),
              "kept / Value -3.000000 is less than minimum value -1.000000 for preference n; using "
              "7.500000");
    EXPECT_EQ(set(n, KPMG_STRING, str("11")),
              "kept / Value 11.000000 is greater than maximum value 10.000000 for preference n; "
              "using 7.500000");
    EXPECT_EQ(n->userValue.number, 7.5);
    EXPECT_EQ(set(n, KPMG_NUMBER, num(-1)), "changed");  // both bounds are inclusive
    EXPECT_EQ(set(n, KPMG_NUMBER, num(10)), "changed");
    EXPECT_EQ(set(n, KPMG_NUMBER, num(10)), "kept");
    EXPECT_EQ(set(n, KPMG_BOOLEAN, boolean(1)), "Parameter type mismatch");
    EXPECT_EQ(set(n, KPMG_ENUM, str("3")), "Parameter type mismatch");
    EXPECT_EQ(set(n, KPMG_COLOR, color(1, 2, 3)), "Parameter type mismatch");
    EXPECT_EQ(n->userValue.number, 10.0);
    // An unknown declaration type, null arguments.
    n->type = 9;
    EXPECT_EQ(set(n, KPMG_NUMBER, num(1)), "Unable to set value for parameter type 9");
    n->type = KPMG_NUMBER;
    ktest::Err e;
    Kpmg_Value v = num(1);
    EXPECT_EQ(kpmg_PreferenceSetValue(nullptr, KPMG_NUMBER, &v, nullptr, &e), -1);
    EXPECT_EQ(kpmg_PreferenceSetValue(n, KPMG_NUMBER, nullptr, nullptr, nullptr), -1);
}

TEST(PreferenceValidation, BooleansComeFromWordsNumbersAndBooleans) {
    Declarations d;
    Kpmg_Preference *b = d["b"];
    EXPECT_EQ(set(b, KPMG_STRING, str("YES")), "changed");  // the declared word, any case
    EXPECT_EQ(b->userValue.boolean, 1);
    EXPECT_EQ(set(b, KPMG_STRING, str("No")), "changed");
    EXPECT_EQ(b->userValue.boolean, 0);
    EXPECT_EQ(set(b, KPMG_STRING, str("on")), "changed");  // a general truth word
    EXPECT_EQ(set(b, KPMG_STRING, str("no")), "changed");
    EXPECT_EQ(set(b, KPMG_STRING, str(" 1 ")), "changed");
    EXPECT_EQ(set(b, KPMG_STRING, str("maybe")),
              "kept / Value 'maybe' is invalid for preference b; using 'yes'");
    // "false" is no truth word and not this declaration's false word.
    EXPECT_EQ(set(b, KPMG_STRING, str("false")),
              "kept / Value 'false' is invalid for preference b; using 'yes'");
    EXPECT_EQ(set(b, KPMG_NUMBER, num(0)), "changed");
    EXPECT_EQ(b->userValue.boolean, 0);
    EXPECT_EQ(set(b, KPMG_NUMBER, num(-2)), "changed");
    EXPECT_EQ(set(b, KPMG_BOOLEAN, boolean(5)), "kept");  // any non-zero is the same truth
    EXPECT_EQ(b->userValue.boolean, 1);
    EXPECT_EQ(set(b, KPMG_BOOLEAN, boolean(0)), "changed");
    EXPECT_EQ(set(b, KPMG_ENUM, str("yes")), "Parameter type mismatch");
    EXPECT_EQ(set(b, KPMG_COLOR, color(0, 0, 0)), "Parameter type mismatch");

    Kpmg_Preference *plain = d["plain"];  // no declared words: "true" and "false"
    EXPECT_STREQ(plain->trueWord, "true");
    EXPECT_STREQ(plain->falseWord, "false");
    EXPECT_EQ(set(plain, KPMG_STRING, str("TRUE")), "changed");
    EXPECT_EQ(set(plain, KPMG_STRING, str("False")), "changed");
    EXPECT_EQ(set(plain, KPMG_STRING, str("nope")),
              "kept / Value 'nope' is invalid for preference plain; using 'false'");
}

TEST(PreferenceValidation, EnumerationsMatchNamesIgnoringCaseAndColoursTakeOnlyColours) {
    Declarations d;
    Kpmg_Preference *e = d["e"];
    EXPECT_EQ(set(e, KPMG_STRING, str("4x4")), "changed");
    EXPECT_STREQ(e->userValue.string, "4X4");  // the declared spelling is kept
    EXPECT_EQ(set(e, KPMG_ENUM, str("4X4")), "kept");
    EXPECT_EQ(set(e, KPMG_ENUM, str("3X3")),
              "kept / Value '3X3' is invalid for preference e; using '4X4'");
    EXPECT_EQ(set(e, KPMG_ENUM, str("2x2")), "changed");
    EXPECT_EQ(set(e, KPMG_NUMBER, num(2)), "Parameter type mismatch");
    EXPECT_STREQ(e->userValue.string, "2X2");
    // Colours take only colours.
    Kpmg_Preference *c = d["c"];
    EXPECT_EQ(set(c, KPMG_COLOR, color(1, 2, 3)), "kept");
    EXPECT_EQ(set(c, KPMG_COLOR, color(1, 2, 4)), "changed");
    EXPECT_EQ(c->userValue.color.blue, 4);
    EXPECT_EQ(set(c, KPMG_STRING, str("1,2,3")), "Parameter type mismatch");
    EXPECT_EQ(set(c, KPMG_NUMBER, num(1)), "Parameter type mismatch");
}

TEST(PreferenceValidation, ValueTextFollowsTheType) {
    Declarations d;
    auto text = [](const Kpmg_Preference *p) { return ktest::take(kpmg_PreferenceValueString(p)); };
    const std::pair<const char *, const char *> want[] = {
        {"s", "abc"}, {"n", "2"}, {"b", "no"}, {"e", "2X2"}, {"c", "1,2,3"}};
    for (const auto &[name, value] : want) EXPECT_EQ(text(d[name]), value) << name;
    Kpmg_Value v = num(0.125);
    kpmg_PreferenceSetValue(d["n"], KPMG_NUMBER, &v, nullptr, nullptr);
    EXPECT_EQ(text(d["n"]), "0.125");
    EXPECT_EQ(kpmg_PreferenceValueString(nullptr), nullptr);
}

TEST(PreferenceDeclarations, DupIsDeepAndSurvivesAllocationFailures) {
    Declarations d;
    Kpmg_Preference *e = d["e"];
    Kpmg_Value v = str("4x4");
    ASSERT_EQ(kpmg_PreferenceSetValue(e, KPMG_STRING, &v, nullptr, nullptr), 0);
    Kpmg_Preference *copy = kpmg_PreferenceDup(e);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy->enumNames, e->enumNames);
    EXPECT_NE(copy->userValue.string, e->userValue.string);
    EXPECT_STREQ(copy->enumNames[1], "4X4");
    EXPECT_STREQ(copy->userValue.string, "4X4");
    EXPECT_STREQ(copy->definitionFile, "t.pdf");
    EXPECT_EQ(copy->userInForce, 1);
    copy->enumNames[1][0] = 'X';
    EXPECT_STREQ(e->enumNames[1], "4X4");
    kpmg_PreferenceFree(copy);
    EXPECT_EQ(kpmg_PreferenceDup(nullptr), nullptr);

    Kpmg_Preference *made = nullptr;
    const int failures = ktest::runWithAllocationFailures(
        [&](Kerr_ErrorReport **err) {
            made = kpmg_PreferenceDup(e);
            if (!made) *err = kerr_CreateErrorReport("test", 1, 2, nullptr, "dup failed");
            return made != nullptr;
        },
        [&] { kpmg_PreferenceFree(made), made = nullptr; });
    EXPECT_GE(failures, 8);  // record, strings and each enumeration name
}

TEST(PreferenceDeclarations, CategoryHelpers) {
    Declarations d;
    ktest::Err e;
    refused(e, kpmg_CopyCategory(&d.list, "nosuch", "u", &e) == nullptr,
            "Nonexistent category nosuch");
    Kpmg_Category *u = kpmg_CopyCategory(&d.list, "T", "u", &e);
    ASSERT_NE(u, nullptr) << ktest::messages(e.r);
    EXPECT_EQ(d.list->next, u);
    EXPECT_EQ(u->count, 6);
    EXPECT_STREQ(u->preferences[0]->categoryName, "u");
    EXPECT_STREQ(d.list->preferences[0]->categoryName, "t");
    EXPECT_EQ(kpmg_CopyCategory(&d.list, "t", "U", &e), nullptr);  // names ignore case
    EXPECT_EQ(ktest::messages(e.r), "Trouble copying t to U");
    EXPECT_EQ(kpmg_MatchCategory(d.list, "u"), u);
    EXPECT_EQ(kpmg_RemoveCategory(&d.list, "U"), 1);
    EXPECT_EQ(kpmg_RemoveCategory(&d.list, "u"), 0);
    EXPECT_EQ(d.list->next, nullptr);
    EXPECT_EQ(kpmg_MatchPreference(d.list, "nosuch"), nullptr);
    EXPECT_EQ(kpmg_MatchCategory(d.list, nullptr), nullptr);
}

TEST(Strings, StringToBoolean) {
    for (const char *t : {"true", "YES", " on ", "t", "Y", "1", "-2", "0.5"})
        EXPECT_EQ(kstr_StringToBoolean(t), 1) << t;
    for (const char *f : std::initializer_list<const char *>{"false", "no", "off", "0", "", "  ",
                                                             "nan", "1x", "yess", nullptr})
        EXPECT_EQ(kstr_StringToBoolean(f), 0) << (f ? f : "(null)");
}

}  // namespace
