// The library's own preference database behind the manager: definition
// files along ORVEL_PDF_PATH, the user file, callbacks, the shipped files.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/ktest_checks.hpp"
#include "support/ktest.hpp"

namespace {

const char *const kDefinitions = R"(category filepref {
    number continuous_stats_percent { minimum 0; maximum 100; default 100; }
    string title { maxlength 20; default "MIRAVEN Image"; }
    boolean rrd_external { boolean "yes" "no"; default "no"; }
    enum subsampling_kernel { enum "2X2", "4X4"; default "2X2"; }
    color frame { default 10, 20, 30; }
}
)";

class DefaultDatabase : public testing::Test {
  protected:
    void SetUp() override {
        mkdir(dir_.file("pdf").c_str(), 0777);
        env_.push_back(
            std::make_unique<ktest::ScopedEnv>("ORVEL_PDF_PATH", dir_.file("pdf").c_str()));
        env_.push_back(
            std::make_unique<ktest::ScopedEnv>("XDG_CONFIG_HOME", dir_.file("config").c_str()));
        env_.push_back(std::make_unique<ktest::ScopedEnv>("ORVEL_PREFERENCES_PATH", nullptr));
        kprf_DefaultDatabaseTerminate(nullptr, nullptr);
    }
    void TearDown() override { kprf_DefaultDatabaseTerminate(nullptr, nullptr); }

    void define(const std::string &name, const std::string &text) {
        ktest::writeFile(dir_.file("pdf/" + name), text);
    }
    std::string userFile() const { return dir_.file("config/kraster/v8preference"); }
    void env(const char *name, const char *value) {
        env_.push_back(std::make_unique<ktest::ScopedEnv>(name, value));
    }

    ktest::TempDir dir_;
    std::vector<std::unique_ptr<ktest::ScopedEnv>> env_;
};

// The preference most of these tests use, filepref.continuous_stats_percent.
int putPct(double v, Kerr_ErrorReport **err = nullptr) {
    return kpmg_PutNumberPreference("filepref", "continuous_stats_percent", v, err);
}
double getPct(double dflt, Kerr_ErrorReport **err = nullptr) {
    return kpmg_GetNumberPreference("filepref", "continuous_stats_percent", dflt, err);
}
int addCb(void (*f)(void *), void *data, Kerr_ErrorReport **err = nullptr) {
    return kpmg_AddPreferenceCallback("filepref", "continuous_stats_percent", f, data, err);
}
int removeCb(void (*f)(void *), void *data, Kerr_ErrorReport **err = nullptr) {
    return kpmg_RemovePreferenceCallback("filepref", "continuous_stats_percent", f, data, err);
}

std::string getString(const char *category, const char *name, const char *dflt,
                      Kerr_ErrorReport **err = nullptr) {
    return ktest::take(kpmg_GetStringPreference(category, name, dflt, err));
}

// Values the declarations refuse, through the manager's report chain; one
// out of bounds is only a warning (its text is the validation tests').
TEST_F(DefaultDatabase, WritesAreValidatedAgainstTheDeclarations) {
    define("a.pdf", kDefinitions);
    ktest::PrintedReports printed;
    ktest::Err e;
    EXPECT_EQ(putPct(-5, &e), 0);
    EXPECT_EQ(getPct(1, &e), 100.0);
    EXPECT_EQ(printed.headlines().size(), 1u);
    refused(e, kpmg_PutStringPreference("filepref", "continuous_stats_percent", "0", &e) == -1,
            "ImplementationMethods.prefPut failed | DefaultPreferencePut failed | Parameter "
            "conversion from string to number failed");
    EXPECT_TRUE(ktest::hasCode(e.r, "kprf_DefaultPreferencePut", 1));
    refused(e, kpmg_PutNumberPreference("filepref", "nosuch", 1, &e) == -1,
            "ImplementationMethods.prefPut failed | DefaultPreferencePut failed | Preference "
            "filepref.nosuch not found");
    refusedWith(e, kpmg_PutColorPreference("filepref", "title", Kpmg_Color{}, &e) == -1,
                "Parameter type mismatch");
}

TEST_F(DefaultDatabase, AnEmptyDatabaseRefusesWritesAndCallbacks) {
    ktest::Err e;
    EXPECT_EQ(kpmg_GetNumberPreference("memory", "heap_size", 10, &e), 10.0);
    EXPECT_EQ(e.r, nullptr);
    refused(e, kpmg_PutNumberPreference("memory", "heap_size", 1, &e) == -1,
            "ImplementationMethods.prefPut failed | DefaultPreferencePut failed | Preference "
            "database is empty");
    e.reset();
    refused(e,
            kpmg_AddPreferenceCallback(
                "memory", "heap_size", [](void *) {}, nullptr, &e) == -1,
            "ImplementationMethods.prefAddCB failed | DefaultPreferenceAddCB failed | Preference "
            "database is empty");
    kprf_DefaultDatabaseTerminate(nullptr, nullptr);
    // The same when the only file fails to parse.
    define("broken.pdf", "category c { number n { default x; } }");
    ktest::PrintedReports printed;
    refusedWith(e, kpmg_PutNumberPreference("c", "n", 1, &e) == -1, "Preference database is empty");
    ASSERT_EQ(printed.entries().size(), 1u);
    EXPECT_NE(printed.entries()[0].messages.find("KPMG: Error return from klex_Parse!"),
              std::string::npos);
}

TEST_F(DefaultDatabase, AnInvalidSearchListFailsTheInitialisation) {
    env("ORVEL_PDF_PATH", ";;");
    ktest::Err e;
    refused(e, kpmg_Init(&e) == nullptr,
            "ImplementationMethods.dbInitialize failed | DefaultDatabaseInitialize failed | "
            "Environment variable ORVEL_PDF_PATH yields invalid search list");
    e.reset();
    refused(e, kpmg_LoadPDFs(nullptr, &e) == -1, "Null argument");
    e.reset();
    // Reads print the failure and go on with the default.
    ktest::PrintedReports printed;
    EXPECT_EQ(kpmg_GetNumberPreference("memory", "heap_size", 10, &e), 10.0);
    EXPECT_EQ(e.r, nullptr);
    EXPECT_TRUE(printed.contains("ImplementationMethods.dbInitialize failed"));
}

struct Counter {
    int calls = 0;
    static void note(void *self) { ++static_cast<Counter *>(self)->calls; }
};

// A callback that reads the preference it hears about.
struct Reader {
    double seen = 0;
    static void note(void *self) { static_cast<Reader *>(self)->seen = getPct(-1); }
};

TEST_F(DefaultDatabase, CallbacksHearOfChangesOnly) {
    define("a.pdf", kDefinitions);
    Counter a, b;
    ktest::Err e;
    ASSERT_EQ(addCb(Counter::note, &a, &e), 0);
    ASSERT_EQ(
        kpmg_AddPreferenceCallback("FILEPREF", "CONTINUOUS_STATS_PERCENT", Counter::note, &b, &e),
        0);
    refused(e, kpmg_AddPreferenceCallback("filepref", "nosuch", Counter::note, &a, &e) == -1,
            "ImplementationMethods.prefAddCB failed | DefaultPreferenceAddCB failed | Preference "
            "filepref.nosuch not found");
    e.reset();
    {
        ktest::PrintedReports quiet;
        putPct(50);   // changes
        putPct(50);   // same value
        putPct(500);  // refused
        kpmg_PutStringPreference("filepref", "continuous_stats_percent", "0", nullptr);  // refused
        kpmg_PutStringPreference("filepref", "title", "other", nullptr);  // another one
    }
    EXPECT_EQ(a.calls, 1);
    EXPECT_EQ(b.calls, 1);
    ASSERT_EQ(removeCb(Counter::note, &a, &e), 0);
    kpmg_PutStringPreference("filepref", "continuous_stats_percent", "60", nullptr);
    EXPECT_EQ(a.calls, 1);
    EXPECT_EQ(b.calls, 2);
    refused(e, removeCb(Counter::note, &a, &e) == -1,
            "ImplementationMethods.prefRemCB failed | DefaultPreferenceRemCB failed | No such "
            "callback for preference filepref.continuous_stats_percent");
    // Callbacks survive the database being ended and loaded again.
    kpmg_Close(nullptr);
    putPct(70);
    EXPECT_EQ(b.calls, 3);
    EXPECT_EQ(removeCb(Counter::note, &b), 0);
    // A callback may read the new value.
    Reader r;
    ASSERT_EQ(addCb(Reader::note, &r), 0);
    EXPECT_EQ(putPct(33), 0);
    EXPECT_EQ(r.seen, 33.0);
    EXPECT_EQ(removeCb(Reader::note, &r), 0);
}

TEST_F(DefaultDatabase, TheUserFileIsWrittenThenReadBack) {
    define("a.pdf", kDefinitions);
    ktest::Err e;
    EXPECT_EQ(ktest::take(kpmg_InitPreferenceFileName(&e)), userFile()) << ktest::messages(e.r);
    EXPECT_STREQ(kpmg_GetPreferenceFileName(), "v8preference");

    EXPECT_EQ(kpmg_PreferenceChangesUnsaved(), 0);
    ASSERT_EQ(putPct(12.5, &e), 0);
    EXPECT_EQ(kpmg_PreferenceChangesUnsaved(), 1);
    kpmg_InitPreferenceChangeLogging();  // a fresh log forgets the change
    EXPECT_EQ(kpmg_PreferenceChangesUnsaved(), 0);
    ASSERT_EQ(kpmg_PutStringPreference("filepref", "title", "D:\\img\\new", &e), 0);
    ASSERT_EQ(kpmg_PutBooleanPreference("filepref", "rrd_external", 1, &e), 0);
    ASSERT_EQ(kpmg_PutColorPreference("filepref", "frame", Kpmg_Color{1, 2, 3}, &e), 0);
    EXPECT_EQ(kpmg_PreferenceChangesUnsaved(), 1);
    ASSERT_EQ(kpmg_Close(&e), 0) << ktest::messages(e.r);
    EXPECT_EQ(kpmg_PreferenceChangesUnsaved(), 0);
    EXPECT_EQ(ktest::readFile(userFile()),
              "/*\n"
              "******************************************************\n"
              "** " +
                  userFile() +
                  " - This file is automatically created  \n"
                  "**                 by the ORVEL Preferences Editor.   \n"
                  "******************************************************\n"
                  "*/\n\n\n"
                  "filepref.continuous_stats_percent : 12.500000;\n"
                  "filepref.title : \"D:\\\\img\\\\new\";\n"
                  "filepref.rrd_external : \"yes\";\n"
                  "filepref.frame : 1,2,3;\n");

    // The next use loads the file again.
    EXPECT_EQ(getPct(0, &e), 12.5);
    EXPECT_EQ(getString("filepref", "title", "x"), "D:\\img\\new");
    EXPECT_EQ(kpmg_GetBooleanPreference("filepref", "rrd_external", 0, &e), 1);
    EXPECT_EQ(kpmg_GetColorPreference("filepref", "frame", Kpmg_Color{}, &e).blue, 3);
    refused(e, kpmg_LookupParameter("filepref", "nosuch", &e) == nullptr,
            "Preference filepref.nosuch not found");
    e.reset();

    // Nothing changed: closing leaves the file alone.
    ktest::writeFile(userFile(), "filepref.title : \"hand made\";\n");
    ASSERT_EQ(kpmg_Close(&e), 0);
    EXPECT_EQ(ktest::readFile(userFile()), "filepref.title : \"hand made\";\n");
}

TEST_F(DefaultDatabase, AUserFileWithProblemsStillLoads) {
    define("a.pdf", kDefinitions);
    mkdir(dir_.file("config").c_str(), 0777);
    mkdir(dir_.file("config/kraster").c_str(), 0777);
    ktest::writeFile(userFile(),
                     "filepref.title : \"kept\";\n"
                     "old.thing : 1;\n"
                     "filepref.continuous_stats_percent : 250;\n"
                     "filepref.continuous_stats_percent : 50\n"  // missing ';'
                     "filepref.frame : 9,9,9;\n");
    ktest::PrintedReports printed;
    EXPECT_EQ(getString("filepref", "title", "x"), "kept");
    EXPECT_EQ(getPct(0), 100.0);
    EXPECT_EQ(kpmg_GetColorPreference("filepref", "frame", Kpmg_Color{}, nullptr).red, 10);
    // The reports themselves are the parser's (UserFile tests); they name the file.
    EXPECT_TRUE(printed.contains(userFile() + ": line 5: expected ';' after the value"));
    EXPECT_EQ(kpmg_PreferenceChangesUnsaved(), 0);
}

TEST_F(DefaultDatabase, TheUserFileLivesAlongItsSearchList) {
    mkdir(dir_.file("a").c_str(), 0777);
    mkdir(dir_.file("b").c_str(), 0777);
    env("ORVEL_PREFERENCES_PATH", (dir_.file("a") + ";" + dir_.file("b")).c_str());
    auto name = [] {
        ktest::Err e;
        char *p = kpmg_InitPreferenceFileName(&e);
        std::string r = p ? p : ktest::messages(e.r);
        kmsc_HeapFree(p);
        return r;
    };
    EXPECT_EQ(name(), dir_.file("a/v8preference"));  // none there yet: the first directory
    ktest::writeFile(dir_.file("b/v8preference"), "");
    EXPECT_EQ(name(), dir_.file("b/v8preference"));  // the first that holds one
    env("ORVEL_PREFERENCES_PATH", "");
    EXPECT_EQ(name(), userFile());  // an empty list: the personal directory
    env("XDG_CONFIG_HOME", nullptr);
    env("HOME", dir_.path().c_str());
    EXPECT_EQ(name(), dir_.file(".config/kraster/v8preference"));
    env("HOME", nullptr);
    EXPECT_EQ(name(),
              "No directory for the user preference file: neither XDG_CONFIG_HOME nor HOME is set");
}

TEST_F(DefaultDatabase, AFailedFlushKeepsTheChanges) {
    define("a.pdf", kDefinitions);
    mkdir(dir_.file("config").c_str(), 0777);
    ktest::writeFile(dir_.file("config/kraster"), "a file where the directory should be");
    ASSERT_EQ(putPct(5), 0);
    ktest::Err e;
    EXPECT_EQ(kpmg_Close(&e), -1);
    const std::string m = ktest::messages(e.r);
    EXPECT_EQ(
        m.rfind("ImplementationMethods.dbFlush failed | DefaultDatabaseFlush failed | Unable to "
                "Create/Open Global Preference file (" +
                    userFile() + ").",
                0),
        0u)
        << m;
    EXPECT_EQ(kpmg_PreferenceChangesUnsaved(), 1);
    EXPECT_EQ(getPct(0), 5.0);
}

TEST_F(DefaultDatabase, FileErrorsOfTheFileLayerAreReported) {
    define("a.pdf", kDefinitions);
    ktest::Err e;
    Kpmg_Category *list = nullptr;
    EXPECT_EQ(kpmg_Parse(dir_.file("pdf/none.pdf").c_str(), &list, &e), -1);
    EXPECT_EQ(ktest::messages(e.r).rfind("Unable to read preference definition file " +
                                             dir_.file("pdf/none.pdf") + " | Error opening file",
                                         0),
              0u)
        << ktest::messages(e.r);
    e.reset();
    // A read that fails in the operating system.
    kfio_FaultInject(KFIO_OSCALL_READ, 1, EIO);
    EXPECT_EQ(kpmg_Parse(dir_.file("pdf/a.pdf").c_str(), &list, &e), -1);
    kfio_FaultInject(KFIO_OSCALL_READ, 0, 0);
    EXPECT_EQ(list, nullptr);
    EXPECT_TRUE(ktest::hasCode(e.r, "kpmg_Parse", 1));
    EXPECT_EQ(kpmg_Parse(dir_.file("pdf/a.pdf").c_str(), &list, &e), 5);
    kpmg_FreeCategoryList(list);

    // A write that fails keeps the changes unsaved; the next flush writes them.
    ASSERT_EQ(putPct(5), 0);
    kfio_FaultInject(KFIO_OSCALL_WRITE, 2, ENOSPC);
    EXPECT_EQ(kpmg_Close(&e), -1);
    kfio_FaultInject(KFIO_OSCALL_WRITE, 0, 0);
    EXPECT_EQ(kpmg_PreferenceChangesUnsaved(), 1);
    EXPECT_EQ(kpmg_Close(&e), 0) << ktest::messages(e.r);
    EXPECT_NE(ktest::readFile(userFile()).find("filepref.continuous_stats_percent : 5.000000;\n"),
              std::string::npos);
}

TEST_F(DefaultDatabase, ConcurrentReadsWritesAndCallbacks) {
    define("a.pdf", kDefinitions);
    std::atomic<int> heard{0};
    auto note = [](void *d) { ++*static_cast<std::atomic<int> *>(d); };
    ASSERT_EQ(kpmg_AddPreferenceCallback("filepref", "frame", note, &heard, nullptr), 0);
    std::vector<std::thread> threads;
    std::atomic<int> bad{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &bad] {
            for (int i = 0; i < 200; ++i) {
                Kerr_ErrorReport *err = nullptr;
                if (t % 2) {
                    kpmg_PutColorPreference("filepref", "frame", Kpmg_Color{t, i, 0}, &err);
                    char *s = kpmg_GetStringPreference("filepref", "title", "", &err);
                    if (!s || std::string(s) != "MIRAVEN Image") ++bad;
                    kmsc_HeapFree(s);
                } else {
                    const double v = getPct(-1, &err);
                    if (v != 100.0) ++bad;
                }
                if (err) ++bad;
                kerr_DeleteErrorReport(err);
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GE(heard.load(), 200);  // every put of a new colour changed the value
    EXPECT_EQ(kpmg_RemovePreferenceCallback("filepref", "frame", note, &heard, nullptr), 0);
}

TEST_F(DefaultDatabase, TheBigHeapReadsItsSizeThroughTheManager) {
    // A declaration of the wrong type shows the read: the manager's report
    // is printed by kmsc_HeapBigInit.
    define("m.pdf", "category memory { string heap_size { default \"lots\"; } }");
    ktest::PrintedReports printed;
    kmsc_HeapBigInit();
    kmsc_HeapBigInit();  // read again each time
    EXPECT_EQ(printed.headlines(), (std::vector<std::string>{"Type mismatch", "Type mismatch"}));
    EXPECT_EQ(printed.entries()[0].function, "kpmg_GetNumberPreference");
}

TEST_F(DefaultDatabase, CopiesOfTheCategoryList) {
    define("a.pdf", kDefinitions);
    define("b.pdf", "category other { number n; }");
    ktest::Err e;
    Kpmg_Category *list = kprf_DefaultCategoryListCopy(&e);
    ASSERT_NE(list, nullptr) << ktest::messages(e.r);
    EXPECT_STREQ(list->name, "filepref");
    EXPECT_EQ(list->count, 5);
    EXPECT_STREQ(list->next->name, "other");
    EXPECT_EQ(list->next->next, nullptr);
    kpmg_FreeCategoryList(list);
    EXPECT_GT(ktest::runMaking(kprf_DefaultCategoryListCopy, kpmg_FreeCategoryList), 5);
}

// The definition files shipped in share/kraster declare every preference the
// library reads, with its default.
TEST_F(DefaultDatabase, TheShippedDefinitionFilesDeclareEveryPreference) {
    env("ORVEL_PDF_PATH", nullptr);
    ktest::PrintedReports printed;
    struct Expect {
        const char *category, *name;
        int32_t type;
        double number;
        const char *text;
    } const expected[] = {
        {"memory", "heap_size", KPMG_NUMBER, 10, nullptr},
        {"orvel", "dll_runtime_scan", KPMG_BOOLEAN, 0, nullptr},
        {"filepref", "continuous_stats_percent", KPMG_NUMBER, 100, nullptr},
        {"filepref", "continuous_stats_min_pixels", KPMG_NUMBER, 1, nullptr},
        {"filepref", "hyperspectral_layer_minimum", KPMG_NUMBER, 16, nullptr},
        {"filepref", "compute_subsampled_images", KPMG_BOOLEAN, 0, nullptr},
        {"filepref", "subsampling_kernel", KPMG_ENUM, 0, "2X2"},
        {"filepref", "rrd_external", KPMG_BOOLEAN, 0, nullptr},
        {"filepref", "use_old_rrd_layers", KPMG_BOOLEAN, 0, nullptr},
        {"filepref", "initial_rrd_layer_number", KPMG_NUMBER, 1, nullptr},
        {"filepref", "force_output_format", KPMG_BOOLEAN, 0, nullptr},
        {"filepref", "default_output_format", KPMG_STRING, 0, "MIRAVEN Image"},
        {"rasterprocess", "rp_reprojskipx", KPMG_NUMBER, 16, nullptr},
        {"rasterprocess", "rp_reprojskipy", KPMG_NUMBER, 16, nullptr},
        {"rasterprocess", "rp_reprojtolerance", KPMG_NUMBER, 0.1, nullptr},
        {"rasterprocess", "rp_reprojmaxorder", KPMG_NUMBER, 2, nullptr},
    };
    for (const auto &x : expected) {
        ktest::Err e;
        Kpmg_Preference *p = kpmg_LookupParameter(x.category, x.name, &e);
        ASSERT_NE(p, nullptr) << x.category << "." << x.name << ": " << ktest::messages(e.r);
        EXPECT_EQ(p->type, x.type) << x.name;
        if (x.type == KPMG_NUMBER) {
            EXPECT_EQ(p->defaultValue.number, x.number) << x.name;
        } else if (x.type == KPMG_BOOLEAN) {
            EXPECT_EQ(p->defaultValue.boolean, x.number) << x.name;
        } else {
            EXPECT_STREQ(p->defaultValue.string, x.text) << x.name;
        }
        kpmg_PreferenceFree(p);
    }
    Kpmg_Preference *kernel = kpmg_LookupParameter("filepref", "subsampling_kernel", nullptr);
    ASSERT_NE(kernel, nullptr);
    ASSERT_EQ(kernel->enumCount, 2);
    EXPECT_STREQ(kernel->enumNames[1], "4X4");
    kpmg_PreferenceFree(kernel);
    EXPECT_TRUE(printed.entries().empty());
}

}  // namespace
