// Definition-file and user-file grammars: every clause, the warnings for
// clauses that do not fit, conditional and expanded defaults, malformed files.
#include <gtest/gtest.h>

#include <string>

#include "support/ktest_checks.hpp"
#include "support/ktest.hpp"

namespace {

using ktest::Ints;
using ktest::Reals;

struct List {
    Kpmg_Category *list = nullptr;
    ~List() { kpmg_FreeCategoryList(list); }
    Kpmg_Preference *get(const char *category, const char *name) const {
        return kpmg_MatchPreference(kpmg_MatchCategory(list, category), name);
    }
    int32_t parse(const std::string &text, Kerr_ErrorReport **err, const char *source = "t.pdf") {
        return kpmg_ParseText(text.data(), text.size(), source, &list, err);
    }
    int32_t user(const std::string &text, Kerr_ErrorReport **err,
                 const char *source = "v8preference") {
        return kpmg_PrfParseText(text.data(), text.size(), source, list, err);
    }
};

TEST(DefinitionFile, EveryClauseIsCarried) {
    const char *text = R"(# hash comment
// line comment
/* block
   comment */
CATEGORY Imaging {
    STRING title { maxlength 13; default "MIRAVEN \"X\"\t1"; }
    number ratio { minimum -0.5; maximum 2.5e1; default 1e-1; }
    boolean flag { boolean "ja" "nein"; default "JA"; };
    enum kernel { enum "2X2", "4X4", "nn"; default "4x4"; }
    color frame { default 255, 0, -1; }
    string bare;
}; category other { number n; }
)";
    List l;
    ktest::PrintedReports printed;
    ktest::Err e;
    ASSERT_EQ(l.parse(text, &e, "imaging.pdf"), 7) << ktest::messages(e.r);
    EXPECT_TRUE(printed.entries().empty());
    ASSERT_NE(l.list, nullptr);
    EXPECT_STREQ(l.list->name, "Imaging");
    EXPECT_STREQ(l.list->next->name, "other");

    const Kpmg_Preference *title = l.get("imaging", "TITLE");
    ASSERT_NE(title, nullptr);
    EXPECT_EQ((Ints{title->type, title->maxLengthSet, title->maxLength, title->userInForce}),
              (Ints{KPMG_STRING, 1, 13, 0}));
    EXPECT_STREQ(title->defaultValue.string, "MIRAVEN \"X\"\t1");
    EXPECT_STREQ(title->categoryName, "Imaging");
    EXPECT_STREQ(title->definitionFile, "imaging.pdf");
    const Kpmg_Preference *ratio = l.get("Imaging", "ratio");
    EXPECT_EQ((Reals{1.0 * ratio->minimumSet, ratio->minimum, 1.0 * ratio->maximumSet,
                     ratio->maximum, ratio->defaultValue.number}),
              (Reals{1, -0.5, 1, 25, 0.1}));
    const Kpmg_Preference *flag = l.get("Imaging", "flag");
    EXPECT_STREQ(flag->trueWord, "ja");
    EXPECT_STREQ(flag->falseWord, "nein");
    const Kpmg_Preference *kernel = l.get("Imaging", "kernel");
    ASSERT_EQ(kernel->enumCount, 3);
    EXPECT_STREQ(kernel->enumNames[2], "nn");
    EXPECT_STREQ(kernel->defaultValue.string, "4X4");
    const Kpmg_Preference *frame = l.get("Imaging", "frame");
    EXPECT_EQ((Ints{flag->defaultValue.boolean, frame->defaultValue.color.red,
                    frame->defaultValue.color.blue}),
              (Ints{1, 255, -1}));
    EXPECT_STREQ(l.get("Imaging", "bare")->defaultValue.string, "");
    EXPECT_EQ(l.get("other", "n")->defaultValue.number, 0.0);

    // Defaults without a default clause.
    ASSERT_EQ(l.parse("category c { number low { minimum 3; } number high { maximum -2; }"
                      " boolean b; enum e { enum \"p\", \"q\"; } color k; }",
                      &e),
              5)
        << ktest::messages(e.r);
    EXPECT_EQ(l.get("c", "low")->defaultValue.number, 3.0);  // 0 moved into the bounds
    EXPECT_EQ(l.get("c", "high")->defaultValue.number, -2.0);
    EXPECT_EQ(l.get("c", "b")->defaultValue.boolean, 0);
    EXPECT_STREQ(l.get("c", "e")->defaultValue.string, "p");
    EXPECT_EQ(l.get("c", "k")->defaultValue.color.green, 0);
}

// Clauses that do not fit the type are ignored, defaults of the wrong kind
// refused, each with a warning.
TEST(DefinitionFile, ClausesThatDoNotFitTheTypeAreIgnoredWithAWarning) {
    const char *text = R"(category c {
    number n { maxlength 4; expand; boolean "y" "n"; enum "a"; default 5; }
    string s { minimum 1; maximum 2; default "x"; }
}
category d {
    number n { default "7"; default 3; default expand "x"; default 1, 2, 3; }
    color k { default 4; }
    boolean b { default 1; default "true"; }
    enum e { enum "a", "b"; default expand "b"; }
})";
    List l;
    ktest::PrintedReports printed;
    ktest::Err e;
    ASSERT_EQ(l.parse(text, &e), 6) << ktest::messages(e.r);
    EXPECT_EQ(printed.headlines(),
              (std::vector<std::string>{
                  "Maximum length ignored on non-KPMG_STRING type parameter, n",
                  "Expand flag ignored on non-KPMG_STRING type parameter, n",
                  "Boolean declaration ignored for non-string type parameter, n",
                  "Enum declaration ignored for non-string type parameter, n",
                  "Minimum value restriction ignored on non-KPMG_NUMBER type parameter, s",
                  "Maximum value restriction ignored on non-KPMG_NUMBER type parameter, s",
                  "Encountered a string default for a non-string preference.",
                  "Encountered an expanded string default for a non-string preference.",
                  "Encountered a color default for a non-color preference.",
                  "Encountered a numeric default for a non-numeric preference.",
                  "Encountered a numeric default for a non-numeric preference.",
                  "Encountered an expanded string default for a non-string preference.",
              }));
    for (const auto &entry : printed.entries()) EXPECT_EQ(entry.severity, KERR_SEVERITY_WARNING);
    // The location travels beneath the warning.
    EXPECT_NE(printed.entries()[0].messages.find("t.pdf: line 2"), std::string::npos);
    EXPECT_NE(printed.entries()[4].messages.find("t.pdf: line 3"), std::string::npos);
    const Kpmg_Preference *n = l.get("c", "n"), *s = l.get("c", "s");
    EXPECT_EQ((Ints{n->maxLengthSet, n->expandFlag, n->enumCount, s->minimumSet, s->maximumSet}),
              (Ints{0, 0, 0, 0, 0}));
    EXPECT_EQ(n->defaultValue.number, 5.0);
    EXPECT_EQ(l.get("d", "n")->defaultValue.number, 3.0);
    EXPECT_EQ(l.get("d", "k")->defaultValue.color.red, 0);
    EXPECT_EQ(l.get("d", "b")->defaultValue.boolean, 1);
    EXPECT_STREQ(l.get("d", "e")->defaultValue.string, "a");
}

TEST(DefinitionFile, DefaultsMayDependOnTheArchitecture) {
    const std::string text = R"(category c {
    number n { default 4; default 16 arch "X86_64", "aarch64"; default 32 arch "x86_64"; default 8; }
    string s { default "generic" arch "sparc"; default "plain"; }
})";
    // The defaults of n and s under an architecture.
    auto parsed = [&](const char *arch) {
        ktest::ScopedEnv env("ARCH", arch);
        List l;
        EXPECT_EQ(l.parse(text, nullptr), 2);
        return l.list ? std::to_string(l.get("c", "n")->defaultValue.number) + " " +
                            l.get("c", "s")->defaultValue.string
                      : std::string();
    };
    // The first matching conditional default wins, otherwise the last
    // unconditional one.
    EXPECT_EQ(parsed("x86_64"), "16.000000 plain");
    EXPECT_EQ(parsed("AArch64"), "16.000000 plain");
    EXPECT_EQ(parsed("SPARC"), "8.000000 generic");
    EXPECT_EQ(parsed(nullptr), "8.000000 plain");
}

TEST(DefinitionFile, StringDefaultsMarkedForExpansionAreExpanded) {
    ktest::ScopedEnv env("KPMG_TEST_DIR", "/data/x");
    List l;
    ktest::Err e;
    auto text = [](const char *d) {
        return std::string(R"(category c {
        string a { default expand "$KPMG_TEST_DIR/a"; }
        string b { expand; default "${KPMG_TEST_DIR}/b"; }
        string c { default "$KPMG_TEST_DIR/c"; }
        string d { expand; maxlength 8; default ")") +
               d + "\"; } }";
    };
    ASSERT_EQ(l.parse(text("$KPMG_TEST_DIR/d"), &e), -1);
    // d expands to 9 characters, one too many: nothing is added.
    EXPECT_EQ(l.list, nullptr);
    EXPECT_NE(ktest::messages(e.r).find("the default of c.d exceeds its maximum length"),
              std::string::npos);
    ASSERT_EQ(l.parse(text("$KPMG_TEST_DIR"), &e), 4);
    EXPECT_STREQ(l.get("c", "a")->defaultValue.string, "/data/x/a");
    EXPECT_STREQ(l.get("c", "b")->defaultValue.string, "/data/x/b");
    EXPECT_EQ((Ints{l.get("c", "a")->expandFlag, l.get("c", "b")->expandFlag}), (Ints{0, 1}));
    EXPECT_STREQ(l.get("c", "c")->defaultValue.string, "$KPMG_TEST_DIR/c");
    EXPECT_STREQ(l.get("c", "d")->defaultValue.string, "/data/x");
}

TEST(DefinitionFile, MalformedFilesAddNothing) {
    const struct {
        const char *text;
        int line;
        const char *message;
    } cases[] = {
        {"category c { string s { default \"open; } }", 1, "unterminated string"},
        {"category c {\n string s { default \"a\nb\"; } }", 2, "unterminated string"},
        {"\n/* never closed\n\n", 2, "unterminated comment"},
        {"category c { number n; ", 1, "expected a preference type, found the end of the file"},
        {"category c { real r; }", 1, "expected a preference type, found 'real'"},
        {"category c { number n { step 2; } }", 1, "unknown clause 'step'"},
        {"category c { enum e { enum 2X2; } }", 1, "malformed number 2X"},
        {"category c { string s { maxlength -1; } }", 1,
         "expected an integer from 0 to 2147483647, found -1"},
        {"category c { string s { maxlength 1.5; } }", 1,
         "expected an integer from 0 to 2147483647, found 1.5"},
        {"category c { color k { default 1, 2.5, 3; } }", 1,
         "expected an integer from -2147483648 to 2147483647, found 2.5"},
        {"category c { color k { default 1, 2; } }", 1, "expected ',' between colour components"},
        {"category c { enum e; }", 1, "the enumeration c.e declares no names"},
        {"category c { enum e { enum \"a\"; default \"b\"; } }", 1,
         "the default 'b' of c.e is not one of its names"},
        {"category c { enum e { enum \"a\", \"\"; } }", 1, "an enumeration name may not be empty"},
        {"category c { boolean b { default \"maybe\"; } }", 1,
         "the default 'maybe' of c.b is not a truth word"},
        {"category c { boolean b { boolean \"on\" \"ON\"; } }", 1,
         "the true and false words must be two different words"},
        {"category c {\n number n {\n minimum 2;\n default 1;\n } }", 4,
         "the default of c.n lies outside its bounds"},
        {"category c { number n { minimum 2; maximum 1; } }", 1,
         "the minimum of c.n exceeds its maximum"},
        {"category c { number n { default 1e999; } }", 1, "number out of range 1e999"},
        {"number n;", 1, "expected 'category', found 'number'"},
        {"category { }", 1, "expected a category name, found '{'"},
        {"category c { number n { default 1 } }", 1, "expected ';' after the default, found '}'"},
        {"category c { number n } }", 1,
         "expected '{' or ';' after the preference name, found '}'"},
        {"category c { number n; } }", 1, "expected 'category', found '}'"},
        {"category c { string s { default \"a\" arch; } }", 1, "expected a string, found ';'"},
        {"category c @", 1, "unexpected character '@'"},
    };
    for (const auto &c : cases) {
        List l;
        ASSERT_EQ(l.parse("category keep { number k; }", nullptr), 1);
        ktest::Err e;
        EXPECT_EQ(l.parse(c.text, &e), -1) << c.text;
        const std::string m = ktest::messages(e.r);
        EXPECT_EQ(m.rfind("KPMG: Error return from klex_Parse! | ", 0), 0u) << m;
        const std::string want = "t.pdf: line " + std::to_string(c.line) + ": " + c.message;
        EXPECT_NE(m.find(want), std::string::npos) << c.text << " -> " << m;
        EXPECT_TRUE(ktest::hasCode(e.r, "kpmg_ParseText", 2));
        // Only the earlier declaration is there.
        ASSERT_NE(l.list, nullptr);
        EXPECT_EQ(l.list->next, nullptr);
        EXPECT_EQ(l.list->count, 1);
    }
    // A NUL byte inside the text is an error, not the end of the text.
    List l;
    ktest::Err e;
    const std::string withNul("category c { number n; }\0 junk", 30);
    refusedWith(e, l.parse(withNul, &e) == -1, "unexpected byte 0x00");
}

TEST(DefinitionFile, ADeclarationMadeTwiceKeepsTheFirst) {
    List l;
    ktest::PrintedReports printed;
    ASSERT_EQ(
        l.parse("category c { number n { default 1; } number N { default 2; } }", nullptr, "a.pdf"),
        1);
    ASSERT_EQ(l.parse("category C { number n { default 3; } number m; }", nullptr, "b.pdf"), 1);
    EXPECT_EQ(printed.headlines(),
              (std::vector<std::string>{
                  "a.pdf: preference c.N is declared again; the first declaration stays",
                  "b.pdf: preference C.n is declared again; the first declaration stays"}));
    EXPECT_EQ(l.get("c", "n")->defaultValue.number, 1.0);
    EXPECT_STREQ(l.get("c", "m")->definitionFile, "b.pdf");
}

TEST(DefinitionFile, AllocationFailuresLeaveTheListAsItWas) {
    const std::string text =
        "category c { enum e { enum \"a\", \"b\"; default \"b\"; } boolean b { boolean \"y\" "
        "\"n\"; }"
        " string s { expand; default \"$HOME\"; } } category d { color k { default 1,2,3; } }";
    Kpmg_Category *list = nullptr;
    const int failures = ktest::runWithAllocationFailures(
        [&](Kerr_ErrorReport **err) {
            const int32_t n = kpmg_ParseText(text.data(), text.size(), "t.pdf", &list, err);
            if (n < 0) {
                EXPECT_EQ(list, nullptr);
            }
            return n == 4;
        },
        [&] { kpmg_FreeCategoryList(list), list = nullptr; });
    EXPECT_GT(failures, 10);
}

const char *const kUserDeclarations = R"(category filepref {
    number percent { minimum 0; maximum 100; default 100; }
    string title { default "MIRAVEN Image"; }
    boolean external { boolean "yes" "no"; }
    enum kernel { enum "2X2", "4X4"; }
    color frame;
})";

TEST(UserFile, EntriesAreStoredThroughValidation) {
    List l;
    ASSERT_EQ(l.parse(kUserDeclarations, nullptr), 5);
    const char *text = R"(/*
** v8preference - a header like the one the library writes
*/
FilePref.Percent : 25.000000;
filepref.title : "C:\\images\\new";
filepref.external : yes;   # a bare word
filepref.kernel : "4x4";
filepref.frame : 1, 2 ,3;
filepref.percent : "250";
nosuch.thing : 1;
filepref.gone : "x";
filepref.frame : "red";
)";
    ktest::PrintedReports printed;
    ktest::Err e;
    EXPECT_EQ(l.user(text, &e), 9) << ktest::messages(e.r);
    EXPECT_EQ(
        printed.headlines(),
        (std::vector<std::string>{
            "Value 250.000000 is greater than maximum value 100.000000 for preference percent; "
            "using 25.000000",
            "nosuch.thing: Preference category nosuch not found",
            "Entry filepref.gone is no longer valid!.",
            "v8preference: line 12: value of filepref.frame not stored",
        }));
    EXPECT_NE(printed.entries()[3].messages.find("Parameter type mismatch"), std::string::npos);
    EXPECT_NE(printed.entries()[1].messages.find("v8preference: line 10"), std::string::npos);
    EXPECT_STREQ(l.get("filepref", "title")->userValue.string, "C:\\images\\new");
    EXPECT_STREQ(l.get("filepref", "kernel")->userValue.string, "4X4");
    EXPECT_EQ((Reals{l.get("filepref", "percent")->userValue.number,
                     1.0 * l.get("filepref", "external")->userValue.boolean,
                     1.0 * l.get("filepref", "frame")->userValue.color.blue}),
              (Reals{25, 1, 3}));
}

TEST(UserFile, SyntaxErrorsStopTheReadingWithALine) {
    const struct {
        const char *text;
        int line;
        const char *message;
    } cases[] = {
        {"filepref.percent : 5\nfilepref.title : \"x\";", 2,
         "expected ';' after the value, found 'filepref'"},
        {"filepref.percent 5;", 1, "expected ':' after the preference name, found the number 5"},
        {"filepref percent : 5;", 1, "expected '.' between the category and the preference name"},
        {"filepref.title : \"never closed;\n\n", 1, "unterminated string"},
        {"filepref.frame : 1, 2.5, 3;", 1, "a colour component must be an integer, found 2.5"},
        {"filepref.frame : 1, 2;", 1, "expected ',' between colour components, found ';'"},
        {"filepref.title : ;", 1, "expected a value, found ';'"},
        {"\n\n: x;", 3, "expected a category name, found ':'"},
        {"filepref.percent : 1 2;", 1, "expected ';' after the value, found the number 2"},
    };
    for (const auto &c : cases) {
        List l;
        ASSERT_EQ(l.parse(kUserDeclarations, nullptr), 5);
        ktest::Err e;
        refusedWith(e, l.user(c.text, &e, "v8") == -1,
                    "v8: line " + std::to_string(c.line) + ": " + c.message);
    }
    // Entries before the error stay stored.
    List l;
    ASSERT_EQ(l.parse(kUserDeclarations, nullptr), 5);
    EXPECT_EQ(l.user("filepref.percent : 7;\nfilepref.title : oops oops;", nullptr), -1);
    EXPECT_EQ(l.get("filepref", "percent")->userValue.number, 7.0);
}

TEST(UserFile, AllocationFailuresAreReported) {
    List l;
    ASSERT_EQ(l.parse(kUserDeclarations, nullptr), 5);
    const std::string text = "filepref.title : \"first\";\nfilepref.kernel : \"4X4\";\n";
    const int failures = ktest::runWithAllocationFailures(
        [&](Kerr_ErrorReport **err) {
            ktest::PrintedReports quiet;
            return kpmg_PrfParseText(text.data(), text.size(), "v8", l.list, err) == 2 &&
                   l.get("filepref", "title")->userInForce == 1 &&
                   l.get("filepref", "kernel")->userInForce == 1;
        },
        [&] {
            for (const char *n : {"title", "kernel"}) {
                Kpmg_Preference *p = l.get("filepref", n);
                kpmg_ValueClear(&p->userValue);
                p->userInForce = 0;
            }
        });
    EXPECT_GE(failures, 1);
}

}  // namespace
